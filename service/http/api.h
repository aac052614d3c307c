// The HTTP API: routes, the token check, and the answers' JSON. Everything
// under /api/ needs the token; /healthz and /metrics do not.
#ifndef TAVROD_API_H
#define TAVROD_API_H

#include "http_server.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>

#include <functional>

namespace tavrod {

class Access;
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
        const Access &access;
        SubmitCall submitCall;
        std::function<int()> callsPending;
        std::function<int()> httpConnections;
        // With a shared database: where /api/events reads (else the log),
        // and what it adds to /healthz.
        EventSource *events = nullptr;
        std::function<void(QJsonObject &health)> describeHealth = {};
    };

    explicit Api(Parts parts);

    // A route of its own (the dashboard's pages): exact path and method.
    void addRoute(const QByteArray &method, const QString &path, bool needsToken, Route route);
    // A path that ends in "/*" takes any last segment (/api/customers/*).

    void handle(const HttpRequest &request, HttpResponder responder) const;
    // For the HTTP server: nullopt lets a WebSocket upgrade of /api/stream through.
    std::optional<HttpResponse> checkUpgrade(const HttpRequest &request) const;
    // The label for request metrics: a known path or "other".
    QString routeLabel(const QString &path) const;

    Gauges gauges() const;

private:
    struct Entry
    {
        bool needsToken;
        Route route;
    };
    void postCall(const HttpRequest &request, HttpResponder responder) const;
    void getCalls(const HttpRequest &request, HttpResponder responder) const;
    void getEvents(const HttpRequest &request, HttpResponder responder) const;
    // The routes of a path: its own, else those of its parent with "/*".
    QMap<QString, QMap<QByteArray, Entry>>::const_iterator findRoutes(const QString &path) const;

    Parts m_parts;
    QMap<QString, QMap<QByteArray, Entry>> m_routes;
};

// "2026-12-07", "2026-12-07T10:00", "2026-12-07T10:00:00.000+09:00"...
// -> "2026-12-07T01:00:00.000Z" (UTC); a time without an offset is UTC.
bool normaliseTime(const QString &text, QString *out);

} // namespace tavrod

#endif
