#include "service.h"
#include "logging.h"

#include "access.h"
#include "api.h"
#include "call_outcomes.h"
#include "call_queue.h"
#include "dial_api.h"
#include "event_log.h"
#include "export_api.h"
#include "hooks.h"
#include "http_server.h"
#include "json_bridge.h"
#include "login_sync.h"
#include "metrics.h"
#include "mqtt_publisher.h"
#include "missed_api.h"
#include "port_keeper.h"
#include "shared_log.h"
#include "sqlite_store.h"
#include "stats_api.h"
#include "stream.h"
#include "web_routes.h"

#include "tavro/tavro_m.h"

#include <QJsonDocument>

#include <cstdio>

namespace tavrod {

Service::Service(Options options, QObject *parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_metrics(std::make_unique<Metrics>())
{
}

Service::~Service()
{
    stop();
}

quint16 Service::port() const
{
    return m_http ? m_http->port() : 0;
}

bool Service::start(QString *error)
{
    if (!openStore(error) || !loadToken(error))
        return false;
    startControl();
    startStream();
    startHooks();
    // The PortState events themselves come through the bridge.
    m_ports = std::make_unique<PortKeeper>(*m_control, m_options.openPorts);
    connect(m_control.get(), &tavro_m::PortStateChanged, m_ports.get(), &PortKeeper::noteState);
    startHttp();
    startWeb();
    if (!listen(error))
        return false;
    startMqtt();
    startOutcomes();
    m_ports->start();
    return true;
}

bool Service::loadToken(QString *error)
{
    QByteArray token;
    bool created = false;
    if (!loadOrCreateToken(m_options.tokenFile, &token, &created, error))
        return false;
    qCInfo(lcService, "API token %s %s", created ? "created in" : "read from",
                 qPrintable(m_options.tokenFile));
    m_access = std::make_unique<Access>(token, m_metrics.get());
    return true;
}

// The device link and the JSON bridge over it.
void Service::startControl()
{
    tavro::PortMap map = tavro::defaultPortMap();
    for (auto it = m_options.portMap.cbegin(); it != m_options.portMap.cend(); ++it)
        map.insert(it.key(), it.value());
    m_control = std::make_unique<tavro_m>(map);
    m_bridge = std::make_unique<tavro::bridge::JsonBridge>(*m_control, nullptr);
    m_bridge->setDebugEnabled(false);
    connect(m_bridge.get(), &tavro::bridge::JsonBridge::eventRaised, this, &Service::onBridgeEvent);
    // Calls from every client run one at a time, never nested in a wait.
    m_calls = std::make_unique<tavro::bridge::CallQueue>(*m_bridge, m_options.maxQueuedCalls);
}

// The WebSocket stream, and what else follows the event log: the event
// counts and the store's health.
void Service::startStream()
{
    m_stream = std::make_unique<StreamHub>(m_shared ? static_cast<EventSource &>(*m_shared) : *m_log, *m_metrics,
                                           m_options.maxStreamClients);
    connect(m_stream.get(), &StreamHub::debugWantedChanged, this,
            [this](bool wanted) { m_bridge->setDebugEnabled(wanted); });
    if (m_shared) {
        // The database numbers and announces every site's events; only the
        // unnumbered debug texts go from the log to the stream directly.
        connect(m_shared.get(), &SharedLog::published, m_stream.get(), &StreamHub::publish);
        connect(m_log.get(), &EventLog::published, m_stream.get(), [this](const EventRecord &event) {
            if (event.id == 0)
                m_stream->publish(event);
        });
    } else {
        connect(m_log.get(), &EventLog::published, m_stream.get(), &StreamHub::publish);
    }
    connect(m_log.get(), &EventLog::published, this, [this](const EventRecord &event) {
        if (event.id > 0)
            m_metrics->countEvent(event.kind);
    });
    connect(m_log.get(), &EventLog::degradedChanged, this, [](bool degraded) {
        if (degraded)
            qCWarning(lcStore, "degraded: the store cannot be written");
        else
            qCInfo(lcStore, "store ok");
    });
}

void Service::startHooks()
{
    m_hooks = std::make_unique<HookRunner>(m_options.onCall, m_options.hookTimeoutMs, m_options.hookParallel,
                                           *m_metrics);
    if (!m_hooks->isEmpty() && m_shared) {
        // This site's calls, with the id the shared database gave them (or,
        // while they wait in the spool, their localId), each once.
        connect(m_shared.get(), &SharedLog::published, this, [this](const EventRecord &event) {
            if (event.kind != u"ReceiveCall" || event.site != m_options.site)
                return;
            QJsonObject call = callFromEvent(event.object);
            if (event.provisional)
                call.insert(QStringLiteral("localId"), event.object.value(QStringLiteral("localId")));
            m_hooks->run(QJsonDocument(call).toJson(QJsonDocument::Compact));
        });
    } else if (!m_hooks->isEmpty()) {
        connect(m_log.get(), &EventLog::stored, this, [this](const EventRecord &event) {
            if (event.kind == u"ReceiveCall")
                m_hooks->run(QJsonDocument(callFromEvent(event.object)).toJson(QJsonDocument::Compact));
        });
    }
}

void Service::startHttp()
{
    HttpLimits limits;
    limits.maxConnections = m_options.maxConnections;
    limits.maxConnectionsPerPeer = m_options.maxConnectionsPerPeer;
    m_http = std::make_unique<HttpServer>(limits);
    m_http->setAllowedHosts(m_options.allowedHosts);
    connect(m_http.get(), &HttpServer::boundReached, this, [this](const QByteArray &kind, int status) {
        m_metrics->countHttpBound(kind, status);
    });
    m_api = std::make_unique<Api>(Api::Parts{
        *m_log, *m_eventStore,
        [this] { return m_ports->openCount(); },
        [this] { return m_ports->describe(); },
        *m_stream, *m_metrics, *m_access,
        [this](const QJsonObject &request, std::function<void(const QJsonObject &)> reply) {
            return m_calls->enqueue(request, std::move(reply));
        },
        [this] { return m_calls->pending() + (m_calls->busy() ? 1 : 0); },
        [this] { return m_http->connectionCount(); },
        m_shared.get(),
        [this](QJsonObject &health) {
            if (m_shared)
                m_shared->describe(health);
            if (m_mqtt)
                m_mqtt->describe(health);
        }});
}

void Service::startWeb()
{
    // Dashboard: the page, its login and the session cookie as a second key.
    m_web = std::make_unique<WebRoutes>(*m_access, *m_api);
    startCallRoutes();
    // A session that ends (logout, eviction, expiry, revocation) takes its open streams with it.
    m_web->sessions().setEndedCallback([this](const QByteArray &id) { m_stream->closeSession(id); });
    // Device tokens and remembered sessions, as `tavrod token` changes them.
    m_logins = std::make_unique<LoginSync>(m_options.dbPath, *m_access, *m_web);
    QString loginError;
    if (!m_logins->start(&loginError))
        qCWarning(lcService, "device tokens cannot be read yet (%s); the token file works",
                     qPrintable(loginError));
    m_http->setHandler([this](const HttpRequest &request, HttpResponder responder) {
        m_api->handle(request, std::move(responder));
    });
    m_http->setUpgradeCheck([this](const HttpRequest &request) { return m_api->checkUpgrade(request); });
    connect(m_http.get(), &HttpServer::webSocketConnected, m_stream.get(), &StreamHub::accept);
    connect(m_http.get(), &HttpServer::requestFinished, this,
            [this](const QByteArray &, const QString &path, int, double seconds) {
                m_metrics->observeRequest(m_api->routeLabel(path), seconds);
            });
}

// What a shop does with its calls: missed ones, call-back, export, statistics.
void Service::startCallRoutes()
{
    m_missed = std::make_unique<MissedApi>(*m_api, *m_access, *m_eventStore,
                                           [this](const QJsonObject &event) { m_log->record(event); });
    m_dial = std::make_unique<DialApi>(
        *m_api,
        [this](const QJsonObject &request, std::function<void(const QJsonObject &)> reply) {
            return m_calls->enqueue(request, std::move(reply));
        },
        [this](const QString &portName) {
            for (const QJsonValue &port : m_ports->describe()) {
                if (port[QStringLiteral("portName")].toString() == portName)
                    return port[QStringLiteral("open")].toBool();
            }
            return false;
        });
    m_export = std::make_unique<ExportApi>(*m_api, *m_eventStore);
    m_stats = std::make_unique<StatsApi>(*m_api, *m_eventStore);
    connect(m_log.get(), &EventLog::published, m_dial.get(), [this](const EventRecord &event) {
        if (event.id > 0)
            m_dial->observe(event.object);
    });
}

bool Service::listen(QString *error)
{
    if (!m_http->listen(m_options.listenAddress, m_options.listenPort, error)) {
        *error = QStringLiteral("cannot listen on %1:%2: %3")
                     .arg(m_options.listenAddress.toString())
                     .arg(m_options.listenPort)
                     .arg(*error);
        return false;
    }
    const QString host = m_options.listenAddress.protocol() == QAbstractSocket::IPv6Protocol
        ? u'[' + m_options.listenAddress.toString() + u']'
        : m_options.listenAddress.toString();
    qCInfo(lcService, "listening on http://%s:%u", qPrintable(host), unsigned(m_http->port()));
    return true;
}

void Service::startMqtt()
{
    if (m_options.mqttUrl.isEmpty())
        return;
    MqttTarget target;
    QString error;
    parseMqttUrl(m_options.mqttUrl, &target, &error); // checked with the options
    if (!m_options.mqttPassword.isEmpty())
        target.password = m_options.mqttPassword;
    target.caFile = m_options.mqttCaFile;
    EventSource &source = m_shared ? static_cast<EventSource &>(*m_shared) : *m_log;
    m_mqtt = std::make_unique<MqttPublisher>(target, m_options.site, m_options.openPorts, source, *m_eventStore);
    // Told of every numbered event; it reads them back from the store.
    if (m_shared) {
        connect(m_shared.get(), &SharedLog::published, m_mqtt.get(), [this](const EventRecord &event) {
            if (!event.provisional)
                m_mqtt->eventAvailable();
        });
    } else {
        connect(m_log.get(), &EventLog::published, m_mqtt.get(), [this](const EventRecord &event) {
            if (event.id > 0)
                m_mqtt->eventAvailable();
        });
    }
    m_metrics->setMqttSource([this] {
        return MqttGauges{int(m_mqtt->state()), m_mqtt->backlog(), m_mqtt->ackedId(), m_mqtt->publishedCount()};
    });
    m_mqtt->start();
}

void Service::startOutcomes()
{
    // Recorded after the event that decided it has gone everywhere, never
    // from inside the log's own publishing.
    m_outcomes = std::make_unique<CallOutcomes>(m_options.ringWindowMs, [this](const QJsonObject &event) {
        QMetaObject::invokeMethod(this, [this, event] { m_log->record(event); }, Qt::QueuedConnection);
    });
    // The site's own numbering in both stores: what the tracker decides by.
    connect(m_log.get(), &EventLog::published, m_outcomes.get(), [this](const EventRecord &event) {
        if (event.id > 0)
            m_outcomes->observe(event.object);
    });
    // Calls that were ringing when the service stopped are decided from the
    // store: their window may have passed meanwhile, or a lift was stored.
    constexpr int backlogLimit = 100000;
    QList<QJsonObject> backlog;
    QString error;
    if (!m_eventStore->outcomeBacklog(m_options.site, backlogLimit, &backlog, &error))
        qCWarning(lcStore, "pending calls cannot be read (%s); they stay pending", qPrintable(error));
    m_outcomes->resume(backlog);
}

bool Service::openStore(QString *error)
{
    if (isPostgresUrl(m_options.dbPath)) {
        PgTarget target;
        if (!parsePostgresUrl(m_options.dbPath, &target, error))
            return false;
        qCInfo(lcService, "shared database %s, spool %s", qPrintable(target.display()),
                     qPrintable(m_options.spoolPath));
        m_shared = std::make_unique<SharedLog>(target, m_options.spoolPath, m_options.site);
        m_eventStore = &m_shared->store();
    } else {
        m_store = std::make_unique<SqliteStore>(m_options.dbPath);
        m_eventStore = m_store.get();
    }
    if (!m_eventStore->open(error))
        return false;
    m_log = std::make_unique<EventLog>(*m_eventStore, m_options.site);
    m_log->start();
    if (m_store)
        qCInfo(lcService, "store %s (schema %d), last event id %lld", qPrintable(m_options.dbPath),
                     SqliteStore::schemaVersion(), static_cast<long long>(m_log->lastId()));
    return true;
}

void Service::onBridgeEvent(const QJsonObject &event)
{
    m_log->record(event);
}

void Service::stop()
{
    if (m_stopped || !m_log)
        return;
    m_stopped = true;
    // Waiting callers get an answer; a running SendCmd ends once its port is closed.
    if (m_calls)
        m_calls->abortPending(QStringLiteral("the service is stopping"));
    if (m_ports)
        m_ports->closeAll();
    if (m_stream)
        m_stream->closeAll();
    if (m_logins)
        m_logins->stop();
    if (m_hooks)
        m_hooks->stop();
    if (m_http)
        m_http->close();
    if (!m_log->flush())
        qCWarning(lcService, "%d events could not be written to the store: %s", m_log->unsavedCount(),
                     qPrintable(m_log->lastStoreError()));
    if (m_mqtt)
        m_mqtt->stop(); // while the store is open: it keeps its acknowledged id there
    m_eventStore->close();
    qCInfo(lcService, "stopped");
}

} // namespace tavrod
