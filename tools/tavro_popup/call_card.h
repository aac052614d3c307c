// The card of one call: a small always-on-top window of its own, titled
// with the number, with the customer, the number and what to do about it.
#ifndef TAVRO_POPUP_CALL_CARD_H
#define TAVRO_POPUP_CALL_CARD_H

#include "call_info.h"

#include <QTimer>
#include <QUrl>
#include <QWidget>

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace popup {

class ServiceLink;

class CallCard : public QWidget
{
    Q_OBJECT

public:
    CallCard(const CallInfo &call, ServiceLink &link, QWidget *parent = nullptr);

    const CallInfo &call() const { return m_call; }
    // Closes the card by itself this many seconds after it shows (0: stays).
    void setHideAfter(int seconds);

    // The dashboard's pages for this number, opened in the default browser.
    QUrl customerUrl() const;
    QUrl historyUrl() const;

    static QString titleFor(const CallInfo &call);

signals:
    void closed(popup::CallCard *card);

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    void reject();
    void addHead(QVBoxLayout *layout, const CallInfo &call);
    void addCaller(QVBoxLayout *layout, const CallInfo &call);
    void addButtons(QVBoxLayout *layout, const CallInfo &call);
    QLabel *addLabel(const QString &name, const QString &text, int pointDelta = 0, bool bold = false);

    CallInfo m_call;
    ServiceLink &m_link;
    QLabel *m_status = nullptr;
    QPushButton *m_reject = nullptr;
    QTimer m_hide;
};

} // namespace popup

#endif
