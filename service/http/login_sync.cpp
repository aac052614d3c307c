#include "login_sync.h"

#include "logging.h"
#include "access.h"
#include "web_routes.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QLoggingCategory>

namespace tavrod {

LoginSync::LoginSync(const QString &db, Access &access, WebRoutes &web, QObject *parent)
    : QObject(parent)
    , m_book(db)
    , m_access(access)
    , m_web(web)
{
    m_timer.setInterval(pollMs);
    connect(&m_timer, &QTimer::timeout, this, &LoginSync::poll);
    m_web.setKeeper(SessionKeeper{
        [this](const LoginRow &session) {
            QString error;
            if (ensureOpen() && m_book.addSession(session, &error))
                return true;
            qCWarning(lcAccess, "cannot remember a session: %s", qPrintable(error));
            return false;
        },
        [this](const QByteArray &hash) {
            QString error;
            if (ensureOpen() && !m_book.revokeSession(hash, nullptr, &error))
                qCWarning(lcAccess, "cannot forget a session: %s", qPrintable(error));
        }});
}

LoginSync::~LoginSync()
{
    stop();
}

bool LoginSync::start(QString *error)
{
    m_lastOpenAttempt = QDateTime::currentMSecsSinceEpoch();
    const bool opened = m_book.open(error);
    if (opened)
        poll();
    m_timer.start();
    return opened;
}

void LoginSync::stop()
{
    m_timer.stop();
    if (m_book.isOpen())
        poll(); // the last uses
    m_web.setKeeper({});
    m_book.close();
}

bool LoginSync::ensureOpen()
{
    if (m_book.isOpen())
        return true;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (now - m_lastOpenAttempt < reopenMs)
        return false;
    m_lastOpenAttempt = now;
    QString error;
    return m_book.open(&error);
}

void LoginSync::poll()
{
    if (!ensureOpen())
        return;
    QString error;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QList<QByteArray> used = m_access.takeUsedTokens() + m_web.takeUsedSessions();
    QList<LoginRow> rows;
    // Idle sessions are few and old: dropped once a minute, not every beat.
    const bool sweep = m_polls++ % 60 == 0;
    const bool ok = m_book.markUsed(used, now.toString(Qt::ISODateWithMs), &error)
        && (!sweep
            || m_book.dropIdleSessions(now.addMSecs(-SessionStore::rememberedIdleMs).toString(Qt::ISODateWithMs),
                                       &error))
        && m_book.list(&rows, &error);
    if (!ok) {
        // Known tokens and sessions stay as they were until it answers again.
        if (!m_warned)
            qCWarning(lcAccess, "cannot read the tokens from the store: %s", qPrintable(error));
        m_warned = true;
        m_book.close();
        return;
    }
    if (m_warned)
        qCInfo(lcAccess, "the tokens can be read from the store again");
    m_warned = false;
    QHash<QByteArray, Principal> tokens;
    for (const LoginRow &row : std::as_const(rows)) {
        if (!row.session)
            tokens.insert(row.hash, Principal{row.name, scopeFromName(row.scope), true});
    }
    m_access.setDeviceTokens(std::move(tokens));
    m_web.syncWithStore(rows);
}

} // namespace tavrod
