// tavrod put together: one control, its JSON bridge, the store, the port
// keeper, the HTTP API, the stream and the hooks, all on one event loop.
#ifndef TAVROD_SERVICE_H
#define TAVROD_SERVICE_H

#include "options.h"

#include <QObject>

#include <memory>

class tavro_m;

namespace tavro::bridge {
class CallQueue;
class JsonBridge;
}

namespace tavrod {

class Access;
class CallOutcomes;
class DialApi;
class ExportApi;
class StatsApi;
class MissedApi;
class Api;
class EventLog;
class HookRunner;
class HttpServer;
class LoginSync;
class Metrics;
class MqttPublisher;
class PortKeeper;
class EventStore;
class SharedLog;
class SqliteStore;
class StreamHub;
class WebRoutes;

class Service : public QObject
{
    Q_OBJECT

public:
    explicit Service(Options options, QObject *parent = nullptr);
    ~Service() override;

    // Opens the store, reads or creates the token, listens, opens the ports.
    bool start(QString *error);
    // Closes the ports and the clients and writes what waits for the store.
    void stop();

    quint16 port() const;
    Api &api() { return *m_api; }

private:
    // The steps of start(), in their order.
    bool openStore(QString *error);
    bool loadToken(QString *error);
    void startControl();
    void startStream();
    void startHooks();
    void startHttp();
    void startWeb();
    void startCallRoutes();
    bool listen(QString *error);
    void startMqtt();
    void onBridgeEvent(const QJsonObject &event);
    void startOutcomes();

    Options m_options;
    std::unique_ptr<Metrics> m_metrics;
    std::unique_ptr<tavro_m> m_control;
    std::unique_ptr<tavro::bridge::JsonBridge> m_bridge;
    std::unique_ptr<tavro::bridge::CallQueue> m_calls;
    std::unique_ptr<SqliteStore> m_store;
    std::unique_ptr<SharedLog> m_shared; // with a postgresql:// --db
    EventStore *m_eventStore = nullptr;  // the one the log writes to
    std::unique_ptr<EventLog> m_log;
    std::unique_ptr<PortKeeper> m_ports;
    std::unique_ptr<StreamHub> m_stream;
    std::unique_ptr<HookRunner> m_hooks;
    std::unique_ptr<Access> m_access;
    std::unique_ptr<HttpServer> m_http;
    std::unique_ptr<Api> m_api;
    std::unique_ptr<WebRoutes> m_web; // the dashboard
    std::unique_ptr<LoginSync> m_logins;
    std::unique_ptr<MqttPublisher> m_mqtt; // with --mqtt
    std::unique_ptr<CallOutcomes> m_outcomes; // answered or missed
    std::unique_ptr<MissedApi> m_missed;
    std::unique_ptr<DialApi> m_dial;
    std::unique_ptr<ExportApi> m_export;
    std::unique_ptr<StatsApi> m_stats;
    bool m_stopped = false;
};

} // namespace tavrod

#endif
