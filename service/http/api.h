// The HTTP API: routes, the token check, and the answers' JSON. Everything
// under /api/ needs a token or a session: reads a view scope, commands and
// settings admin; /healthz and /metrics need none.
#ifndef TAVROD_API_H
#define TAVROD_API_H

#include "access.h"
#include "http_server.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>

#include <functional>

namespace tavrod {

class EventLog;
class EventSource;
class EventStore;
class Metrics;
class StreamHub;
struct Gauges;

class Api
{
public:
    // Queues one control call; false when the queue is full. reply runs
    // once with the bridge's answer object.
    using SubmitCall = std::function<bool(const QJsonObject &request,
                                          std::function<void(const QJsonObject &answer)> reply)>;
    using Route = std::function<void(const HttpRequest &, HttpResponder)>;

    struct Parts
    {
        EventLog &log;
        EventStore &store;
        // The serial ports as the service keeps them: how many are open, and
        // each one's state for /api/ports.
        std::function<int()> openPorts;
        std::function<QJsonArray()> describePorts;
        StreamHub &stream;
        Metrics &metrics;
        Access &access;
        SubmitCall submitCall;
        std::function<int()> callsPending;
        std::function<int()> httpConnections;
        // With a shared database: where /api/events reads (else the log),
        // and what it adds to /healthz.
        EventSource *events = nullptr;
        std::function<void(QJsonObject &health)> describeHealth = {};
    };

    explicit Api(Parts parts);

    // A route of its own (the dashboard's pages): exact path and method,
    // and the scope it needs (None: open to all).
    void addRoute(const QByteArray &method, const QString &path, Scope needs, Route route);
    // needsToken: GET and HEAD need view, other methods admin.
    void addRoute(const QByteArray &method, const QString &path, bool needsToken, Route route);
    // (A path added with addRoute that ends in "/*" takes any last segment:
    // /api/customers/*.) Every path under a prefix that no exact route takes ("/api/missed/"
    // for "/api/missed/ID/done"); the route reads the rest of the path.
    void addPrefixRoute(const QByteArray &method, const QString &prefix, Scope needs, Route route);

    void handle(const HttpRequest &request, HttpResponder responder) const;
    // For the HTTP server: nullopt lets a WebSocket upgrade of /api/stream through.
    std::optional<HttpResponse> checkUpgrade(const HttpRequest &request) const;
    // The label for request metrics: a known path or "other".
    QString routeLabel(const QString &path) const;

    Gauges gauges() const;

private:
    struct Entry
    {
        Scope needs;
        Route route;
    };
    // False after answering a request that lacks what it needs.
    bool admit(const HttpRequest &request, Scope needs, HttpResponder &responder) const;
    void postCall(const HttpRequest &request, HttpResponder responder) const;
    void getCalls(const HttpRequest &request, HttpResponder responder) const;
    void getEvents(const HttpRequest &request, HttpResponder responder) const;
    // The routes of a path: its own, else those of its parent with "/*",
    // else a prefix route's; null when none (label "other").
    const QMap<QByteArray, Entry> *routesFor(const QString &path, QString *label) const;

    Parts m_parts;
    QMap<QString, QMap<QByteArray, Entry>> m_routes;
    QMap<QString, QMap<QByteArray, Entry>> m_prefixRoutes;
};

// "2026-12-07", "2026-12-07T10:00", "2026-12-07T10:00:00.000+09:00"...
// -> "2026-12-07T01:00:00.000Z" (UTC); a time without an offset is UTC.
bool normaliseTime(const QString &text, QString *out);

struct CallQuery;
// The history search of /api/calls (and what shares its filters) from a
// request's query; false with the reason for a 400.
bool callQueryFromRequest(const HttpRequest &request, CallQuery *query, QString *error);

} // namespace tavrod

#endif
