// The open cards, bottom right of the screen (where the tray is on most
// desktops), the newest above the older ones.
#ifndef TAVRO_POPUP_CARD_STACK_H
#define TAVRO_POPUP_CARD_STACK_H

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSize>

namespace popup {

class CallCard;

class CardStack : public QObject
{
    Q_OBJECT

public:
    explicit CardStack(QObject *parent = nullptr);
    ~CardStack() override;

    // Takes the card, places it above the others and shows it. When the
    // screen is full the oldest card closes (the tray menu still has it).
    void add(CallCard *card);
    QList<CallCard *> cards() const;
    CallCard *find(const QString &identity) const;
    void setHideAfter(int seconds);
    void closeAll();

signals:
    // A card is shown on the screen (its window exposed).
    void cardShown(popup::CallCard *card);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void layout();
    void remove(CallCard *card);
    static QSize frameOf(const CallCard *card);

    QList<QPointer<CallCard>> m_cards; // oldest first
    int m_hideAfter = 0;
};

} // namespace popup

#endif
