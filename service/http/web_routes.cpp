#include "web_routes.h"

#include "access.h"
#include "api.h"
#include "http_server.h"

#include <QDirIterator>
#include <QElapsedTimer>
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

qint64 monotonicMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return clock.elapsed();
}

// The token from {"token": "..."} or from a form's token=...
QByteArray tokenFromBody(const HttpRequest &request)
{
    const QByteArray type = request.header("content-type").toLower();
    if (type.startsWith("application/x-www-form-urlencoded")) {
        QByteArray body = request.body;
        body.replace('+', ' ');
        return QUrlQuery(QString::fromUtf8(body)).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8();
    }
    const QJsonValue token = QJsonDocument::fromJson(request.body).object().value(QStringLiteral("token"));
    return token.isString() ? token.toString().toUtf8() : QByteArray();
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

QByteArray SessionStore::create()
{
    const qint64 now = m_clock();
    dropExpired(now);
    while (m_lastUse.size() >= m_maxSessions) {
        auto oldest = m_lastUse.begin();
        for (auto it = m_lastUse.begin(); it != m_lastUse.end(); ++it) {
            if (it.value() < oldest.value())
                oldest = it;
        }
        m_lastUse.erase(oldest);
    }
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray id = QByteArray(reinterpret_cast<const char *>(words), sizeof words)
                              .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    m_lastUse.insert(id, now);
    return id;
}

bool SessionStore::touch(const QByteArray &id)
{
    const auto it = m_lastUse.find(id);
    if (id.isEmpty() || it == m_lastUse.end())
        return false;
    const qint64 now = m_clock();
    if (now - it.value() >= m_idleMs) {
        m_lastUse.erase(it);
        return false;
    }
    it.value() = now;
    return true;
}

void SessionStore::remove(const QByteArray &id)
{
    m_lastUse.remove(id);
}

void SessionStore::dropExpired(qint64 now)
{
    m_lastUse.removeIf([&](const auto &entry) { return now - entry.value() >= m_idleMs; });
}

// ---------------------------------------------------------------------------

WebRoutes::WebRoutes(Access &access, Api &api)
    : m_access(access)
{
    addStaticFiles(api);
    api.addRoute("POST", QStringLiteral("/login"), false,
                 [this](const HttpRequest &request, HttpResponder responder) { responder.send(login(request)); });
    // Whether this browser is logged in, without a 401 in its console.
    api.addRoute("GET", QStringLiteral("/session"), false, [this](const HttpRequest &request, HttpResponder responder) {
        responder.send(HttpResponse::json(200, {{"session", m_access.authorized(request)}}));
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

bool WebRoutes::acceptsSession(const HttpRequest &request)
{
    // SameSite=Strict keeps the cookie off other sites' requests; the
    // Origin check also covers browsers that ignore SameSite.
    if (request.method != "GET" && request.method != "HEAD" && !Access::sameOrigin(request))
        return false;
    return m_sessions.touch(sessionCookie(request));
}

HttpResponse WebRoutes::login(const HttpRequest &request)
{
    // A page of another site must not log the browser in with its own token.
    if (!Access::sameOrigin(request))
        return HttpResponse::error(403, QStringLiteral("Origin is not this service"));
    const QByteArray token = tokenFromBody(request);
    if (token.isEmpty() || !m_access.tokenMatches(token))
        return HttpResponse::error(401, QStringLiteral("토큰이 맞지 않습니다."));
    HttpResponse response = HttpResponse::json(200, {{"ok", true}});
    response.headers.append({"Set-Cookie", cookieHeader(m_sessions.create(), m_sessions.idleMs() / 1000)});
    return response;
}

HttpResponse WebRoutes::logout(const HttpRequest &request)
{
    if (!Access::sameOrigin(request))
        return HttpResponse::error(403, QStringLiteral("Origin is not this service"));
    m_sessions.remove(sessionCookie(request));
    HttpResponse response = HttpResponse::json(200, {{"ok", true}});
    response.headers.append({"Set-Cookie", cookieHeader(QByteArray(), 0)});
    return response;
}

} // namespace tavrod
