#include "api.h"

#include "access.h"
#include "customers_api.h"
#include "event_log.h"
#include "event_store.h"
#include "metrics.h"
#include "stream.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QTimeZone>

namespace tavrod {

namespace {

HttpResponse unauthorized()
{
    HttpResponse response = HttpResponse::error(401, QStringLiteral("missing or wrong bearer token"));
    response.headers.append({QByteArray("WWW-Authenticate"), QByteArray("Bearer")});
    return response;
}

HttpResponse forbidden(Scope needs)
{
    return HttpResponse::error(403, QStringLiteral("this needs a token of scope %1").arg(scopeName(needs)));
}

// A whole number in [min, max]; absent gives fallback.
bool intParam(const HttpRequest &request, const QString &name, qint64 min, qint64 max, qint64 fallback,
              qint64 *out, QString *error)
{
    if (!request.query.hasQueryItem(name)) {
        *out = fallback;
        return true;
    }
    bool ok = false;
    const qint64 value = request.query.queryItemValue(name, QUrl::FullyDecoded).toLongLong(&ok);
    if (!ok || value < min || value > max) {
        *error = QStringLiteral("%1 must be a whole number from %2 to %3").arg(name).arg(min).arg(max);
        return false;
    }
    *out = value;
    return true;
}

QString textParam(const HttpRequest &request, const QString &name)
{
    return request.query.queryItemValue(name, QUrl::FullyDecoded);
}

} // namespace

bool normaliseTime(const QString &text, QString *out)
{
    QDateTime time = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!time.isValid()) {
        const QDate date = QDate::fromString(text, Qt::ISODate);
        if (!date.isValid())
            return false;
        time = date.startOfDay(Qt::UTC);
    }
    if (time.timeSpec() == Qt::LocalTime)
        time.setTimeSpec(Qt::UTC);
    *out = time.toUTC().toString(Qt::ISODateWithMs);
    return true;
}

Api::Api(Parts parts)
    : m_parts(std::move(parts))
{
    addRoute("GET", QStringLiteral("/healthz"), false, [this](const HttpRequest &, HttpResponder responder) {
        const EventLog &log = m_parts.log;
        QJsonObject health{{"status", log.degraded() ? "degraded" : "ok"},
                           {"site", log.site()},
                           {"lastId", log.lastId()},
                           {"unsavedEvents", log.unsavedCount()},
                           {"portsOpen", m_parts.openPorts()},
                           {"streamClients", m_parts.stream.clientCount()}};
        if (log.degraded())
            health.insert(QStringLiteral("storeError"), log.lastStoreError());
        if (m_parts.describeHealth)
            m_parts.describeHealth(health);
        responder.send(HttpResponse::json(200, health));
    });
    addRoute("GET", QStringLiteral("/metrics"), false, [this](const HttpRequest &, HttpResponder responder) {
        HttpResponse response;
        response.contentType = "text/plain; version=0.0.4; charset=utf-8";
        response.body = m_parts.metrics.render(gauges());
        responder.send(response);
    });
    addRoute("POST", QStringLiteral("/api/call"), Scope::Admin,
             [this](const HttpRequest &request, HttpResponder responder) { postCall(request, responder); });
    addRoute("GET", QStringLiteral("/api/calls"), true,
             [this](const HttpRequest &request, HttpResponder responder) { getCalls(request, responder); });
    addRoute("GET", QStringLiteral("/api/events"), true,
             [this](const HttpRequest &request, HttpResponder responder) { getEvents(request, responder); });
    addRoute("GET", QStringLiteral("/api/ports"), true, [this](const HttpRequest &, HttpResponder responder) {
        responder.send(HttpResponse::json(200, {{"ports", m_parts.describePorts()}}));
    });
    addCustomerRoutes(*this, m_parts.store, m_parts.log);
    addRoute("GET", QStringLiteral("/api/stream"), true, [](const HttpRequest &, HttpResponder responder) {
        HttpResponse response = HttpResponse::error(426, QStringLiteral("/api/stream is a WebSocket"));
        response.headers.append({QByteArray("Upgrade"), QByteArray("websocket")});
        responder.send(response);
    });
}

void Api::addRoute(const QByteArray &method, const QString &path, Scope needs, Route route)
{
    m_routes[path].insert(method, Entry{needs, std::move(route)});
}

void Api::addRoute(const QByteArray &method, const QString &path, bool needsToken, Route route)
{
    const Scope needs = !needsToken ? Scope::None : method == "GET" || method == "HEAD" ? Scope::View : Scope::Admin;
    addRoute(method, path, needs, std::move(route));
}

bool Api::admit(const HttpRequest &request, Scope needs, HttpResponder &responder) const
{
    if (needs == Scope::None)
        return true;
    const Principal who = m_parts.access.identify(request);
    if (who.scope == Scope::None) {
        // A wrong token is a guess; no credential at all is not.
        if (Access::hasBearer(request))
            m_parts.access.refuseGuess(request, responder, unauthorized());
        else
            responder.send(unauthorized());
        return false;
    }
    if (!who.allows(needs)) {
        m_parts.metrics.countForbidden();
        responder.send(forbidden(needs));
        return false;
    }
    return true;
}

void Api::addPrefixRoute(const QByteArray &method, const QString &prefix, Scope needs, Route route)
{
    m_prefixRoutes[prefix].insert(method, Entry{needs, std::move(route)});
}

const QMap<QByteArray, Api::Entry> *Api::routesFor(const QString &path, QString *label) const
{
    const auto exact = m_routes.constFind(path);
    if (exact != m_routes.cend()) {
        *label = path;
        return &*exact;
    }
    // "/api/customers/*" takes any last segment.
    if (!path.endsWith(u'/')) {
        const QString pattern = path.left(path.lastIndexOf(u'/') + 1) + u'*';
        const auto any = m_routes.constFind(pattern);
        if (any != m_routes.cend()) {
            *label = pattern;
            return &*any;
        }
    }
    for (auto it = m_prefixRoutes.cbegin(); it != m_prefixRoutes.cend(); ++it) {
        if (path.startsWith(it.key()) && path.size() > it.key().size()) {
            *label = it.key() + u'*';
            return &*it;
        }
    }
    *label = QStringLiteral("other");
    return nullptr;
}

QString Api::routeLabel(const QString &path) const
{
    QString label;
    routesFor(path, &label);
    return label;
}

void Api::handle(const HttpRequest &request, HttpResponder responder) const
{
    QString label;
    const QMap<QByteArray, Entry> *path = routesFor(request.path, &label);
    if (!path) {
        // Unknown paths under /api/ are not told apart from forbidden ones.
        if (request.path.startsWith(u"/api/") && !admit(request, Scope::View, responder))
            return;
        return responder.send(HttpResponse::error(404, QStringLiteral("no such resource: %1").arg(request.path)));
    }
    auto entry = path->constFind(request.method);
    if (entry == path->cend() && request.method == "HEAD")
        entry = path->constFind("GET");
    if (entry != path->cend() && !admit(request, entry->needs, responder))
        return;
    if (entry == path->cend()) {
        HttpResponse response = HttpResponse::error(
            405, QStringLiteral("%1 is not allowed on %2").arg(QString::fromLatin1(request.method), request.path));
        response.headers.append({QByteArray("Allow"), path->keys().join(", ")});
        return responder.send(response);
    }
    entry->route(request, std::move(responder));
}

std::optional<HttpResponse> Api::checkUpgrade(const HttpRequest &request) const
{
    if (request.path != u"/api/stream")
        return HttpResponse::error(404, QStringLiteral("no WebSocket at %1").arg(request.path));
    if (request.method != "GET")
        return HttpResponse::error(405, QStringLiteral("a WebSocket upgrade is a GET"));
    if (!Access::sameOrigin(request))
        return HttpResponse::error(403, QStringLiteral("Origin is not this service"));
    if (!m_parts.access.authorized(request))
        return Access::hasBearer(request) ? m_parts.access.refusalNow(request, unauthorized()) : unauthorized();
    if (m_parts.stream.isFull())
        return HttpResponse::error(503, QStringLiteral("too many stream clients"));
    std::optional<qint64> after;
    QString error;
    if (!readCursor(request.query, &after, &error))
        return HttpResponse::error(400, error);
    return std::nullopt;
}

void Api::postCall(const HttpRequest &request, HttpResponder responder) const
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return responder.send(HttpResponse::error(
            400, QStringLiteral("not valid JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset)));
    if (!document.isObject())
        return responder.send(HttpResponse::error(400, QStringLiteral("the body must be one JSON object")));
    const bool queued = m_parts.submitCall(document.object(), [responder](const QJsonObject &answer) mutable {
        responder.send(HttpResponse::json(200, answer));
    });
    m_parts.metrics.countApiCall(queued);
    if (!queued)
        responder.send(HttpResponse::error(503, QStringLiteral("too many calls waiting; try again later")));
}

bool callQueryFromRequest(const HttpRequest &request, CallQuery *out, QString *error)
{
    CallQuery query;
    qint64 limit = 0;
    if (!intParam(request, QStringLiteral("limit"), 1, 1000, 50, &limit, error)
        || !intParam(request, QStringLiteral("before"), 1, std::numeric_limits<qint64>::max(), 0, &query.before,
                     error))
        return false;
    query.limit = int(limit);
    // NFC, as the stores index names: decomposed jamo find composed syllables.
    query.q = textParam(request, QStringLiteral("q")).trimmed().normalized(QString::NormalizationForm_C);
    if (query.q.contains(QChar(0))) {
        *error = QStringLiteral("q must not contain NUL");
        return false;
    }
    query.port = textParam(request, QStringLiteral("port"));
    query.site = textParam(request, QStringLiteral("site"));
    query.outcome = textParam(request, QStringLiteral("outcome"));
    if (!query.outcome.isEmpty() && query.outcome != u"answered" && query.outcome != u"missed"
        && query.outcome != u"pending") {
        *error = QStringLiteral("outcome must be answered, missed or pending");
        return false;
    }
    for (auto [name, target] : {std::pair{QStringLiteral("since"), &query.since},
                                std::pair{QStringLiteral("until"), &query.until}}) {
        const QString text = textParam(request, name);
        if (!text.isEmpty() && !normaliseTime(text, target)) {
            *error = QStringLiteral("%1 must be an ISO 8601 date or time").arg(name);
            return false;
        }
    }
    if (query.q.size() > 200) {
        *error = QStringLiteral("q is longer than 200 characters");
        return false;
    }
    *out = query;
    return true;
}

void Api::getCalls(const HttpRequest &request, HttpResponder responder) const
{
    CallQuery query;
    QString error;
    if (!callQueryFromRequest(request, &query, &error))
        return responder.send(HttpResponse::error(400, error));
    CallPage page;
    if (!m_parts.store.findCalls(query, &page, &error))
        return responder.send(HttpResponse::error(503, QStringLiteral("the store cannot be read: %1").arg(error)));
    responder.send(HttpResponse::json(
        200, {{"calls", page.calls}, {"next", page.next > 0 ? QJsonValue(page.next) : QJsonValue()}}));
}

void Api::getEvents(const HttpRequest &request, HttpResponder responder) const
{
    std::optional<qint64> after;
    qint64 limit = 0;
    QString error;
    if (!readCursor(request.query, &after, &error)
        || !intParam(request, QStringLiteral("limit"), 1, 1000, 100, &limit, &error))
        return responder.send(HttpResponse::error(400, error));
    QList<QByteArray> rows;
    EventSource &source = m_parts.events ? *m_parts.events : static_cast<EventSource &>(m_parts.log);
    if (!source.eventsAfter(after.value_or(0), int(limit), &rows, &error))
        return responder.send(HttpResponse::error(503, QStringLiteral("the store cannot be read: %1").arg(error)));
    // The rows are JSON already; joined rather than parsed and written again.
    HttpResponse response;
    response.body = "{\"events\":[" + rows.join(',') + "]}";
    responder.send(response);
}

Gauges Api::gauges() const
{
    Gauges g;
    g.portsOpen = m_parts.openPorts();
    g.streamClients = m_parts.stream.clientCount();
    g.httpConnections = m_parts.httpConnections ? m_parts.httpConnections() : 0;
    g.callsPending = m_parts.callsPending ? m_parts.callsPending() : 0;
    g.unsavedEvents = m_parts.log.unsavedCount();
    g.degraded = m_parts.log.degraded();
    if (m_parts.describeHealth) {
        QJsonObject health;
        m_parts.describeHealth(health);
        g.degraded = g.degraded || health.value(QStringLiteral("status")).toString() == u"degraded";
    }
    g.storeFailures = m_parts.log.storeFailures();
    g.droppedEvents = m_parts.log.droppedCount();
    return g;
}

} // namespace tavrod
