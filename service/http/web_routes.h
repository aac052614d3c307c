// The dashboard's side of tavrod: the page's files (Qt resources under
// :/web), the login that trades the service token for a session cookie, and
// the sessions themselves. The API accepts a live session in place of the
// bearer token; see Access::setSessionCheck.
#ifndef TAVROD_WEB_ROUTES_H
#define TAVROD_WEB_ROUTES_H

#include <QByteArray>
#include <QHash>

#include <functional>

namespace tavrod {

class Access;
class Api;
struct HttpRequest;
struct HttpResponse;

// Random session ids kept in memory, each with an idle expiry. The count is
// bounded: a new login past the bound ends the session idle longest.
class SessionStore
{
public:
    using Clock = std::function<qint64()>; // milliseconds, monotonic

    static constexpr int defaultMaxSessions = 64;
    static constexpr qint64 defaultIdleMs = 12LL * 60 * 60 * 1000;

    explicit SessionStore(int maxSessions = defaultMaxSessions, qint64 idleMs = defaultIdleMs, Clock clock = {});

    QByteArray create();
    // True for a live session; using it restarts its idle time.
    bool touch(const QByteArray &id);
    void remove(const QByteArray &id);
    int count() const { return int(m_lastUse.size()); }
    qint64 idleMs() const { return m_idleMs; }

private:
    void dropExpired(qint64 now);

    int m_maxSessions;
    qint64 m_idleMs;
    Clock m_clock;
    QHash<QByteArray, qint64> m_lastUse;
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

    // The session id the request's Cookie header carries, empty when none.
    static QByteArray sessionCookie(const HttpRequest &request);

private:
    void addStaticFiles(Api &api);
    HttpResponse login(const HttpRequest &request);
    HttpResponse logout(const HttpRequest &request);
    bool acceptsSession(const HttpRequest &request);

    Access &m_access;
    SessionStore m_sessions;
};

} // namespace tavrod

#endif
