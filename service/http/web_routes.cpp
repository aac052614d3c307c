#include "web_routes.h"

#include "access.h"
#include "api.h"
#include "http_server.h"

#include <QDateTime>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QUrlQuery>

#include <limits>

namespace tavrod {

namespace {

QByteArray contentTypeOf(const QString &fileName)
{
    static const struct {
        const char *suffix;
        const char *type;
    } types[] = {{".html", "text/html; charset=utf-8"},
                 {".js", "text/javascript; charset=utf-8"},
                 {".css", "text/css; charset=utf-8"},
                 {".svg", "image/svg+xml"},
                 {".wav", "audio/wav"}};
    for (const auto &entry : types) {
        if (fileName.endsWith(QLatin1String(entry.suffix)))
            return entry.type;
    }
    return "application/octet-stream";
}

struct LoginForm
{
    QByteArray token;
    bool remember = false;
};

// {"token": "...", "remember": true} or a form's token=...&remember=1
LoginForm loginForm(const HttpRequest &request)
{
    LoginForm form;
    const QByteArray type = request.header("content-type").toLower();
    if (type.startsWith("application/x-www-form-urlencoded")) {
        QByteArray body = request.body;
        body.replace('+', ' ');
        const QUrlQuery fields(QString::fromUtf8(body));
        form.token = fields.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8();
        form.remember = fields.queryItemValue(QStringLiteral("remember")) == u"1";
        return form;
    }
    const QJsonObject object = QJsonDocument::fromJson(request.body).object();
    const QJsonValue token = object.value(QStringLiteral("token"));
    form.token = token.isString() ? token.toString().toUtf8() : QByteArray();
    form.remember = object.value(QStringLiteral("remember")).toBool();
    return form;
}

Principal principalOf(const LoginRow &row)
{
    return Principal{row.name, scopeFromName(row.scope), row.name != u"admin"};
}

QByteArray cookieHeader(const QByteArray &value, qint64 maxAgeSeconds)
{
    return QByteArray(WebRoutes::cookieName) + '=' + value + "; Path=/; HttpOnly; SameSite=Strict; Max-Age="
        + QByteArray::number(maxAgeSeconds);
}

} // namespace

// ---------------------------------------------------------------------------

SessionStore::SessionStore(int maxSessions, qint64 idleMs, Clock clock)
    : m_maxSessions(std::max(1, maxSessions))
    , m_idleMs(idleMs)
    , m_clock(clock ? std::move(clock) : Clock(&monotonicMs))
{
}

QByteArray SessionStore::create(const Principal &who, bool remembered)
{
    const qint64 now = m_clock();
    dropExpired(now);
    evictOldest(remembered);
    const QByteArray id = randomSecret();
    m_sessions.insert(id, Session{now, who, remembered});
    return id;
}

void SessionStore::adopt(const QByteArray &id, const Principal &who, qint64 idleForMs)
{
    if (id.isEmpty() || m_sessions.contains(id))
        return;
    evictOldest(true);
    m_sessions.insert(id, Session{m_clock() - idleForMs, who, true});
}

void SessionStore::evictOldest(bool remembered)
{
    const int bound = remembered ? maxRemembered : m_maxSessions;
    for (;;) {
        int count = 0;
        auto oldest = m_sessions.end();
        for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
            if (it->remembered != remembered)
                continue;
            ++count;
            if (oldest == m_sessions.end() || it->lastUse < oldest->lastUse)
                oldest = it;
        }
        if (count < bound)
            return;
        end(oldest);
    }
}

const Session *SessionStore::touch(const QByteArray &id)
{
    const auto it = m_sessions.find(id);
    if (id.isEmpty() || it == m_sessions.end())
        return nullptr;
    const qint64 now = m_clock();
    if (now - it->lastUse >= idleOf(*it)) {
        end(it);
        return nullptr;
    }
    it->lastUse = now;
    return &*it;
}

void SessionStore::remove(const QByteArray &id)
{
    const auto it = m_sessions.find(id);
    if (it != m_sessions.end())
        end(it);
}

void SessionStore::removeIf(const std::function<bool(const QByteArray &, const Session &)> &pick)
{
    QList<QByteArray> ids;
    for (auto it = m_sessions.cbegin(); it != m_sessions.cend(); ++it) {
        if (pick(it.key(), it.value()))
            ids.append(it.key());
    }
    for (const QByteArray &id : std::as_const(ids))
        remove(id);
}

void SessionStore::end(QHash<QByteArray, Session>::iterator it)
{
    const QByteArray id = it.key();
    m_sessions.erase(it);
    if (m_onSessionEnded)
        m_onSessionEnded(id);
}

void SessionStore::dropExpired(qint64 now)
{
    removeIf([&](const QByteArray &, const Session &session) { return now - session.lastUse >= idleOf(session); });
}

// ---------------------------------------------------------------------------

WebRoutes::WebRoutes(Access &access, Api &api)
    : m_access(access)
{
    addStaticFiles(api);
    api.addRoute("POST", QStringLiteral("/login"), false,
                 [this](const HttpRequest &request, HttpResponder responder) { login(request, responder); });
    // Whether this browser is logged in, as whom, without a 401 in its
    // console. A wrong bearer token is a guess like any other.
    api.addRoute("GET", QStringLiteral("/session"), false, [this](const HttpRequest &request, HttpResponder responder) {
        const Principal who = m_access.identify(request);
        if (who.scope == Scope::None && Access::hasBearer(request))
            return m_access.refuseGuess(request, responder,
                                        HttpResponse::error(401, QStringLiteral("missing or wrong bearer token")));
        QJsonObject answer{{"session", who.scope != Scope::None}};
        if (who.scope != Scope::None) {
            answer.insert(QStringLiteral("name"), who.name);
            answer.insert(QStringLiteral("scope"), scopeName(who.scope));
        }
        responder.send(HttpResponse::json(200, answer));
    });
    api.addRoute("POST", QStringLiteral("/logout"), false,
                 [this](const HttpRequest &request, HttpResponder responder) { responder.send(logout(request)); });
    m_access.setSessionCheck([this](const HttpRequest &request) { return acceptsSession(request); });
}

WebRoutes::~WebRoutes()
{
    m_access.setSessionCheck({});
}

void WebRoutes::addStaticFiles(Api &api)
{
    QDirIterator files(QStringLiteral(":/web"), QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString resource = files.next();
        QFile file(resource);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        HttpResponse response;
        response.contentType = contentTypeOf(resource);
        response.body = file.readAll();
        const QString path = resource.mid(int(qstrlen(":/web")));
        const auto route = [response](const HttpRequest &, HttpResponder responder) { responder.send(response); };
        api.addRoute("GET", path == u"/index.html" ? QStringLiteral("/") : path, false, route);
    }
}

QByteArray WebRoutes::sessionCookie(const HttpRequest &request)
{
    for (const auto &header : request.headers) {
        if (header.first != "cookie")
            continue;
        for (const QByteArray &pair : header.second.split(';')) {
            const QByteArray trimmed = pair.trimmed();
            const qsizetype eq = trimmed.indexOf('=');
            if (eq > 0 && trimmed.left(eq) == cookieName)
                return trimmed.mid(eq + 1);
        }
    }
    return {};
}

Principal WebRoutes::acceptsSession(const HttpRequest &request)
{
    // SameSite=Strict keeps the cookie off other sites' requests; the
    // Origin check also covers browsers that ignore SameSite.
    if (request.method != "GET" && request.method != "HEAD" && !Access::sameOrigin(request))
        return {};
    const Session *session = findSession(sessionCookie(request));
    return session ? session->who : Principal{};
}

const Session *WebRoutes::findSession(const QByteArray &id)
{
    if (id.isEmpty())
        return nullptr;
    const Session *session = m_sessions.touch(id);
    if (!session) {
        // A remembered session from before a restart: the store knows its hash.
        const auto stored = m_stored.constFind(secretHash(id));
        if (stored == m_stored.cend())
            return nullptr;
        const QDateTime lastUsed = QDateTime::fromString(stored->lastUsed, Qt::ISODateWithMs);
        const qint64 idle = std::max<qint64>(0, lastUsed.msecsTo(QDateTime::currentDateTimeUtc()));
        if (!lastUsed.isValid() || idle >= SessionStore::rememberedIdleMs)
            return nullptr;
        m_sessions.adopt(id, principalOf(*stored), idle);
        session = m_sessions.touch(id);
    }
    if (session && session->remembered)
        m_usedSessions.insert(secretHash(id));
    return session;
}

void WebRoutes::syncWithStore(const QList<LoginRow> &rows)
{
    m_stored.clear();
    QSet<QString> tokens;
    for (const LoginRow &row : rows) {
        if (row.session)
            m_stored.insert(row.hash, row);
        else
            tokens.insert(row.name);
    }
    // Revoked with `tavrod token`: sessions and the sessions of tokens.
    m_sessions.removeIf([&](const QByteArray &id, const Session &session) {
        return (session.remembered && !m_stored.contains(secretHash(id)))
            || (session.who.device && !tokens.contains(session.who.name));
    });
}

QList<QByteArray> WebRoutes::takeUsedSessions()
{
    const QList<QByteArray> used = m_usedSessions.values();
    m_usedSessions.clear();
    return used;
}

void WebRoutes::login(const HttpRequest &request, HttpResponder responder)
{
    // A page of another site must not log the browser in with its own token.
    if (!Access::sameOrigin(request))
        return responder.send(HttpResponse::error(403, QStringLiteral("Origin is not this service")));
    const LoginForm form = loginForm(request);
    const HttpResponse wrong = HttpResponse::error(401, QStringLiteral("토큰이 맞지 않습니다."));
    if (form.token.isEmpty())
        return responder.send(wrong);
    const Principal who = m_access.principalOfToken(form.token);
    if (who.scope == Scope::None)
        return m_access.refuseGuess(request, responder, wrong);
    bool remembered = form.remember;
    QByteArray id = m_sessions.create(who, remembered);
    if (remembered && m_keeper.remember) {
        const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
        if (!m_keeper.remember(LoginRow{secretHash(id), who.name, scopeName(who.scope), now, now, true})) {
            // The store cannot keep it: an ordinary session rather than none.
            m_sessions.remove(id);
            id = m_sessions.create(who, false);
            remembered = false;
        }
    }
    HttpResponse response = HttpResponse::json(
        200, {{"ok", true}, {"name", who.name}, {"scope", scopeName(who.scope)}, {"remembered", remembered}});
    const qint64 maxAge = (remembered ? SessionStore::rememberedIdleMs : m_sessions.idleMs()) / 1000;
    response.headers.append({"Set-Cookie", cookieHeader(id, maxAge)});
    responder.send(response);
}

HttpResponse WebRoutes::logout(const HttpRequest &request)
{
    if (!Access::sameOrigin(request))
        return HttpResponse::error(403, QStringLiteral("Origin is not this service"));
    const QByteArray id = sessionCookie(request);
    if (!id.isEmpty()) {
        const QByteArray hash = secretHash(id);
        const Session *session = m_sessions.touch(id);
        if ((session && session->remembered) || m_stored.contains(hash)) {
            m_stored.remove(hash);
            if (m_keeper.forget)
                m_keeper.forget(hash);
        }
        m_sessions.remove(id);
    }
    HttpResponse response = HttpResponse::json(200, {{"ok", true}});
    response.headers.append({"Set-Cookie", cookieHeader(QByteArray(), 0)});
    return response;
}

} // namespace tavrod
