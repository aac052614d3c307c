// The program without its command line: the link to the service, the
// cards, the tray (or status window) and its menu, wired together.
#ifndef TAVRO_POPUP_POPUP_APP_H
#define TAVRO_POPUP_POPUP_APP_H

#include "call_info.h"
#include "card_stack.h"
#include "popup_settings.h"
#include "service_link.h"
#include "status_presence.h"

#include <QElapsedTimer>
#include <QMenu>
#include <QObject>
#include <QPointer>

#include <deque>
#include <memory>

class QSettings;

namespace popup {

class PopupApp : public QObject
{
    Q_OBJECT

public:
    static constexpr int recentLimit = 20;

    // store keeps the settings (and receives what the dialog changes);
    // useTray false puts the status window in the tray's place.
    PopupApp(QSettings &store, const PopupSettings &settings, bool useTray = true, QObject *parent = nullptr);
    ~PopupApp() override;

    void start();
    void applySettings(const PopupSettings &settings);
    void openSettings();

    ServiceLink &link() { return m_link; }
    CardStack &stack() { return m_stack; }
    QMenu &menu() { return m_menu; }
    StatusPresence &presence() { return *m_presence; }
    const std::deque<CallInfo> &recent() const { return m_recent; }
    int missedCount() const { return m_missed; }
    // How many beeps the sound setting let through (for the settings' test).
    int beeps() const { return m_beeps; }

signals:
    void callShown(const popup::CallInfo &call);

private:
    void onCall(const CallInfo &call);
    void showCard(const CallInfo &call);
    void reopen(const QString &identity);
    void updateStatus();
    void rebuildMenu();
    void ring();
    QUrl dashboard(const QString &fragment) const;

    QSettings &m_store;
    PopupSettings m_settings;
    ServiceLink m_link;
    CardStack m_stack;
    QMenu m_menu;
    std::unique_ptr<StatusPresence> m_presence;
    std::deque<CallInfo> m_recent; // newest first
    int m_missed = 0;
    int m_beeps = 0;
    QElapsedTimer m_lastBeep;
    QPointer<SettingsDialog> m_dialog;
};

} // namespace popup

#endif
