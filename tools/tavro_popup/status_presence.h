// Where the program shows that it runs: the system tray icon, or, on a
// desktop without a tray, a small status window in its place.
#ifndef TAVRO_POPUP_STATUS_PRESENCE_H
#define TAVRO_POPUP_STATUS_PRESENCE_H

#include <QIcon>
#include <QObject>
#include <QPointer>

class QLabel;
class QMenu;
class QSystemTrayIcon;
class QWidget;

namespace popup {

class StatusPresence : public QObject
{
    Q_OBJECT

public:
    enum class Look { Connected, Disconnected, PortClosed };

    // useTray false forces the status window (as on a desktop without a tray).
    StatusPresence(QMenu &menu, bool useTray, QObject *parent = nullptr);
    ~StatusPresence() override;

    void show(Look look, const QString &text);
    bool usesTray() const { return m_tray != nullptr; }
    QWidget *statusWindow() const { return m_window; }
    QString text() const { return m_text; }
    Look look() const { return m_look; }

    static QIcon iconFor(Look look);

private:
    QMenu &m_menu;
    QSystemTrayIcon *m_tray = nullptr;
    QPointer<QWidget> m_window;
    QLabel *m_dot = nullptr;
    QLabel *m_label = nullptr;
    QString m_text;
    Look m_look = Look::Disconnected;
};

} // namespace popup

#endif
