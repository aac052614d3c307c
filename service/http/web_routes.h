// The dashboard's side of tavrod: the page's files (Qt resources under
// :/web), the login that trades a token for a session cookie, and the
// sessions themselves. The API accepts a live session in place of the
// bearer token, with the name and scope of the token it was made from; see
// Access::setSessionCheck. A remembered session is also kept (hashed) in the
// store and outlives a restart.
#ifndef TAVROD_WEB_ROUTES_H
#define TAVROD_WEB_ROUTES_H

#include "access.h"
#include "login_book.h"

#include <QByteArray>
#include <QHash>
#include <QSet>

#include <functional>

namespace tavrod {

class Api;
struct HttpRequest;
struct HttpResponse;

struct Session
{
    qint64 lastUse = 0;
    Principal who;
    bool remembered = false;
};

// Random session ids kept in memory, each with an idle expiry. The count is
// bounded: a new login past the bound ends the ordinary session idle
// longest. Remembered sessions idle 30 days and have a bound of their own.
// Every end of a session (logout, eviction, expiry noticed, revocation) is
// told to the ended callback, which closes the session's streams.
class SessionStore
{
public:
    using Clock = std::function<qint64()>; // milliseconds, monotonic

    static constexpr int defaultMaxSessions = 64;
    static constexpr qint64 defaultIdleMs = 12LL * 60 * 60 * 1000;
    static constexpr int maxRemembered = LoginBook::maxSessions;
    static constexpr qint64 rememberedIdleMs = 30LL * 24 * 60 * 60 * 1000;

    explicit SessionStore(int maxSessions = defaultMaxSessions, qint64 idleMs = defaultIdleMs, Clock clock = {});

    QByteArray create(const Principal &who = {QStringLiteral("admin"), Scope::Admin, false}, bool remembered = false);
    // A remembered session the store knows from before a restart.
    void adopt(const QByteArray &id, const Principal &who, qint64 idleForMs);
    // The live session, its idle time restarted; null when none.
    const Session *touch(const QByteArray &id);
    void remove(const QByteArray &id);
    // Ends every session the predicate picks.
    void removeIf(const std::function<bool(const QByteArray &id, const Session &)> &pick);
    int count() const { return int(m_sessions.size()); }
    qint64 idleMs() const { return m_idleMs; }
    void setEndedCallback(std::function<void(const QByteArray &id)> onSessionEnded)
    {
        m_onSessionEnded = std::move(onSessionEnded);
    }

private:
    qint64 idleOf(const Session &session) const { return session.remembered ? rememberedIdleMs : m_idleMs; }
    void dropExpired(qint64 now);
    void evictOldest(bool remembered);
    void end(QHash<QByteArray, Session>::iterator it);

    int m_maxSessions;
    qint64 m_idleMs;
    Clock m_clock;
    QHash<QByteArray, Session> m_sessions;
    std::function<void(const QByteArray &)> m_onSessionEnded;
};

// Where remembered sessions are kept beyond this process (the store);
// LoginSync provides it.
struct SessionKeeper
{
    std::function<bool(const LoginRow &session)> remember;
    std::function<void(const QByteArray &hash)> forget;
};

class WebRoutes
{
public:
    static constexpr const char *cookieName = "tavro_session";

    // Adds the page's routes and /login, /session, /logout to api, and lets access
    // accept this store's sessions.
    WebRoutes(Access &access, Api &api);
    ~WebRoutes();

    SessionStore &sessions() { return m_sessions; }
    void setKeeper(SessionKeeper keeper) { m_keeper = std::move(keeper); }
    // The remembered sessions and device tokens the store holds now: sessions
    // gone from it, and sessions of tokens gone from it, end here too.
    void syncWithStore(const QList<LoginRow> &rows);
    // Hashes of the remembered sessions used since the last call.
    QList<QByteArray> takeUsedSessions();

    // The session id the request's Cookie header carries, empty when none.
    static QByteArray sessionCookie(const HttpRequest &request);

private:
    void addStaticFiles(Api &api);
    void login(const HttpRequest &request, HttpResponder responder);
    HttpResponse logout(const HttpRequest &request);
    Principal acceptsSession(const HttpRequest &request);
    const Session *findSession(const QByteArray &id);

    Access &m_access;
    SessionStore m_sessions;
    SessionKeeper m_keeper;
    // The store's remembered sessions by hash, and when each was last used.
    QHash<QByteArray, LoginRow> m_stored;
    QSet<QByteArray> m_usedSessions;
};

} // namespace tavrod

#endif
