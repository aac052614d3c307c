#include "popup_app.h"

#include "call_card.h"

#include <QApplication>
#include <QDesktopServices>
#include <QSettings>

namespace popup {

namespace {

// A burst of replayed calls rings once.
constexpr int beepGapMs = 1000;

QString menuLine(const CallInfo &call)
{
    const QString number = formatNumber(call.number);
    QString line = QStringLiteral("%1  %2  %3")
                       .arg(call.at.isValid() ? call.at.toString(QStringLiteral("HH:mm")) : QStringLiteral("--:--"),
                            number.isEmpty() ? QStringLiteral("번호 없음") : number, call.displayName().left(20));
    if (call.callState == 2)
        line += QStringLiteral("  (통화중착신)");
    // "&" would be taken as a shortcut marker.
    return line.replace(u'&', QStringLiteral("&&"));
}

} // namespace

PopupApp::PopupApp(QSettings &store, const PopupSettings &settings, bool useTray, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_settings(settings)
{
    m_menu.setObjectName(QStringLiteral("trayMenu"));
    m_presence = std::make_unique<StatusPresence>(m_menu, useTray);
    connect(&m_link, &ServiceLink::stateChanged, this, &PopupApp::updateStatus);
    connect(&m_link, &ServiceLink::callArrived, this, &PopupApp::onCall);
    connect(&m_link, &ServiceLink::missedCall, this, [this] {
        ++m_missed;
        rebuildMenu();
    });
    m_stack.setHideAfter(m_settings.hideAfterSeconds);
    rebuildMenu();
    updateStatus();
}

PopupApp::~PopupApp()
{
    m_link.stop();
    m_stack.closeAll();
}

void PopupApp::start()
{
    if (!m_settings.problem().isEmpty()) {
        openSettings();
        return;
    }
    m_link.configure(QUrl(m_settings.url), m_settings.tokenFile);
    m_link.start();
}

void PopupApp::applySettings(const PopupSettings &settings)
{
    m_settings = settings;
    m_settings.save(m_store);
    m_stack.setHideAfter(settings.hideAfterSeconds);
    m_link.stop();
    start();
}

void PopupApp::openSettings()
{
    if (m_dialog) {
        m_dialog->raise();
        return;
    }
    m_dialog = new SettingsDialog(m_settings);
    m_dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_dialog, &QDialog::accepted, this, [this] { applySettings(m_dialog->settings()); });
    m_dialog->show();
}

void PopupApp::onCall(const CallInfo &call)
{
    m_recent.push_front(call);
    if (m_recent.size() > size_t(recentLimit))
        m_recent.pop_back();
    rebuildMenu();
    showCard(call);
    ring();
    emit callShown(call);
}

void PopupApp::ring()
{
    if (!m_settings.sound)
        return;
    if (m_lastBeep.isValid() && m_lastBeep.elapsed() < beepGapMs)
        return;
    m_lastBeep.start();
    ++m_beeps;
    QApplication::beep();
}

void PopupApp::showCard(const CallInfo &call)
{
    m_stack.add(new CallCard(call, m_link));
}

void PopupApp::reopen(const QString &identity)
{
    if (CallCard *open = m_stack.find(identity)) {
        open->raise();
        return;
    }
    for (const CallInfo &call : m_recent) {
        if (call.identity() == identity) {
            showCard(call);
            return;
        }
    }
}

QUrl PopupApp::dashboard(const QString &fragment) const
{
    QUrl url(m_settings.url);
    if (url.path().isEmpty())
        url.setPath(QStringLiteral("/"));
    if (!fragment.isEmpty())
        url.setFragment(fragment);
    return url;
}

void PopupApp::updateStatus()
{
    const QString where = m_settings.url.isEmpty() ? QStringLiteral("(주소 없음)") : m_settings.url;
    switch (m_link.state()) {
    case ServiceLink::State::Connected: {
        const QStringList closed = m_link.closedPorts();
        if (closed.isEmpty())
            m_presence->show(StatusPresence::Look::Connected, QStringLiteral("연결됨: %1").arg(where));
        else
            m_presence->show(StatusPresence::Look::PortClosed,
                             QStringLiteral("포트 닫힘 (%1): %2").arg(closed.join(QStringLiteral(", ")), where));
        break;
    }
    case ServiceLink::State::Connecting:
        m_presence->show(StatusPresence::Look::Disconnected, QStringLiteral("연결하는 중: %1").arg(where));
        break;
    case ServiceLink::State::Disconnected:
        m_presence->show(StatusPresence::Look::Disconnected,
                         QStringLiteral("연결 끊김: %1\n%2")
                             .arg(where, m_link.problem().isEmpty() ? QStringLiteral("시작 전") : m_link.problem()));
        break;
    }
    rebuildMenu();
}

void PopupApp::rebuildMenu()
{
    m_menu.clear();
    QAction *status = m_menu.addAction(m_presence ? m_presence->text().section(u'\n', 0, 0) : QString());
    status->setEnabled(false);
    m_menu.addSection(QStringLiteral("최근 전화"));
    if (m_recent.empty())
        m_menu.addAction(QStringLiteral("아직 없음"))->setEnabled(false);
    for (const CallInfo &call : m_recent) {
        QAction *action = m_menu.addAction(menuLine(call));
        action->setObjectName(QStringLiteral("recentCall"));
        const QString identity = call.identity();
        connect(action, &QAction::triggered, this, [this, identity] { reopen(identity); });
    }
    if (m_missed > 0) {
        m_menu.addSeparator();
        QAction *missed = m_menu.addAction(QStringLiteral("부재중 %1건").arg(m_missed));
        missed->setObjectName(QStringLiteral("missedCalls"));
        // The dashboard's list is where they are dealt with; here they are counted until looked at.
        connect(missed, &QAction::triggered, this, [this] {
            QDesktopServices::openUrl(dashboard(QStringLiteral("missed")));
            m_missed = 0;
            rebuildMenu();
        });
    }
    m_menu.addSeparator();
    connect(m_menu.addAction(QStringLiteral("대시보드 열기")), &QAction::triggered, this,
            [this] { QDesktopServices::openUrl(dashboard({})); });
    connect(m_menu.addAction(QStringLiteral("설정…")), &QAction::triggered, this, &PopupApp::openSettings);
    connect(m_menu.addAction(QStringLiteral("끝내기")), &QAction::triggered, qApp, &QCoreApplication::quit);
}

} // namespace popup
