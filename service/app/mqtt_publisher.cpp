#include "mqtt_publisher.h"

#include "logging.h"
#include <QDateTime>
#include <QDeadlineTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QUrl>

#include <mosquitto.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace tavrod {

namespace {

constexpr int keepAliveSeconds = 30;
constexpr int connectTimeoutMs = 10000;
// At shutdown, how long acknowledgements of what is in flight are awaited.
constexpr int stopWaitMs = 1000;

QString errorText(int rc)
{
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    if (rc == MOSQ_ERR_TLS)
        return QStringLiteral("TLS failed (is --mqtt-ca the CA of the broker's certificate?)");
    return QString::fromUtf8(mosquitto_strerror(rc));
}

// A topic level from a name: '/', '+' and '#' would change the topic's shape.
QString topicLevel(const QString &name)
{
    QString level = name;
    for (QChar &c : level) {
        if (c == u'/' || c == u'+' || c == u'#' || c.unicode() < 0x20)
            c = u'_';
    }
    return level.isEmpty() ? QStringLiteral("_") : level;
}

// Home Assistant's discovery topics allow [a-zA-Z0-9_-] in the node id.
QString discoveryId(const QString &name)
{
    static const QRegularExpression other(QStringLiteral("[^A-Za-z0-9_-]"));
    return QString(name).replace(other, QStringLiteral("_"));
}

QByteArray onOff(bool on)
{
    return on ? QByteArrayLiteral("ON") : QByteArrayLiteral("OFF");
}

} // namespace

QString MqttTarget::display() const
{
    QString text = tls ? QStringLiteral("mqtts://") : QStringLiteral("mqtt://");
    if (!user.isEmpty())
        text += user + u'@';
    text += host.contains(u':') ? u'[' + host + u']' : host;
    return text + u':' + QString::number(port) + u'/' + prefix;
}

bool parseMqttUrl(const QString &text, MqttTarget *target, QString *error)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || (scheme != u"mqtt" && scheme != u"mqtts")) {
        *error = QStringLiteral("expected mqtt://[USER[:PASS]@]HOST[:PORT][/PREFIX] or mqtts://...");
        return false;
    }
    MqttTarget out;
    out.tls = scheme == u"mqtts";
    out.host = url.host();
    if (out.host.isEmpty()) {
        *error = QStringLiteral("the URL names no host");
        return false;
    }
    out.port = url.port(out.tls ? 8883 : 1883);
    out.user = url.userName();
    out.password = url.password();
    QString prefix = url.path();
    while (prefix.startsWith(u'/'))
        prefix.remove(0, 1);
    while (prefix.endsWith(u'/'))
        prefix.chop(1);
    // A '#' starts the URL's fragment: it was meant for the prefix.
    if (prefix.contains(u'+') || prefix.contains(u'#') || url.hasFragment() || url.hasQuery()) {
        *error = QStringLiteral("the topic prefix cannot hold +, # or ?");
        return false;
    }
    if (!prefix.isEmpty())
        out.prefix = prefix;
    *target = out;
    return true;
}

MqttPublisher::MqttPublisher(MqttTarget target, QString site, QStringList ports, EventSource &source,
                             EventStore &store, QObject *parent)
    : QObject(parent)
    , m_target(std::move(target))
    , m_site(std::move(site))
    , m_ports(std::move(ports))
    , m_source(source)
    , m_store(store)
    , m_siteTopic(m_target.prefix + u'/' + topicLevel(m_site))
    , m_nodeId(QStringLiteral("tavro_") + discoveryId(m_site))
    , m_ackKey(QStringLiteral("mqtt.acked.") + m_site)
{
    mosquitto_lib_init();
    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this, &MqttPublisher::onTick);
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &MqttPublisher::connectNow);
    m_ringEnd.setSingleShot(true);
    connect(&m_ringEnd, &QTimer::timeout, this, [this] { setRinging(false); });
}

MqttPublisher::~MqttPublisher()
{
    stop();
    mosquitto_lib_cleanup();
}

const QStringList &MqttPublisher::publishedKinds()
{
    static const QStringList kinds{"ReceiveCall", "HookEvent", "CallOutcome", "PortState"};
    return kinds;
}

QString MqttPublisher::stateName() const
{
    switch (m_state) {
    case State::Connected:
        return QStringLiteral("connected");
    case State::Refused:
        return QStringLiteral("refused");
    case State::Connecting:
        break;
    }
    return QStringLiteral("connecting");
}

qint64 MqttPublisher::backlog() const
{
    return std::max<qint64>(0, m_source.lastId() - m_acked);
}

void MqttPublisher::describe(QJsonObject &health) const
{
    QJsonObject mqtt{{"broker", m_target.display()},
                     {"state", stateName()},
                     {"ackedId", m_acked},
                     {"backlog", backlog()}};
    if (!m_error.isEmpty())
        mqtt.insert(QStringLiteral("error"), m_error);
    if (!m_storeError.isEmpty())
        mqtt.insert(QStringLiteral("storeError"), m_storeError);
    health.insert(QStringLiteral("mqtt"), mqtt);
}

void MqttPublisher::start()
{
    m_stopped = false;
    qCInfo(lcMqtt, "publishing to %s as %s", qPrintable(m_target.display()), qPrintable(m_siteTopic));
    loadAcked();
    m_tick.start();
    connectNow();
}

void MqttPublisher::stop()
{
    if (m_stopped)
        return;
    m_stopped = true;
    m_tick.stop();
    m_reconnect.stop();
    m_ringEnd.stop();
    if (m_client && m_connacked) {
        // What is in flight gets a moment for its PUBACK, so that a restart
        // repeats little; then the broker hears "offline" from us, not the will.
        QDeadlineTimer deadline(stopWaitMs);
        while (!deadline.hasExpired() && std::any_of(m_sent.begin(), m_sent.end(), [](const Sent &s) {
                   return !s.acked;
               })) {
            if (mosquitto_loop(m_client, 50, window) != MOSQ_ERR_SUCCESS)
                break;
        }
        takeAcks();
        publishRaw(m_siteTopic + QStringLiteral("/status"), "offline", true);
        mosquitto_disconnect(m_client);
    }
    saveAcked();
    dropClient();
}

void MqttPublisher::eventAvailable()
{
    queueFill();
}

void MqttPublisher::queueFill()
{
    if (m_fillQueued)
        return;
    m_fillQueued = true;
    // A burst of events becomes one read of the store.
    QTimer::singleShot(0, this, [this] {
        m_fillQueued = false;
        fill();
    });
}

bool MqttPublisher::loadAcked()
{
    if (m_ackedKnown)
        return true;
    QString value;
    QString error;
    if (!m_store.readValue(m_ackKey, &value, &error)) {
        if (m_storeError != error)
            qCWarning(lcMqtt, "cannot read how far the broker got: %s", qPrintable(error));
        m_storeError = error;
        return false;
    }
    // Without a record (MQTT newly turned on) the history stays out of the
    // broker: publishing starts with the next event.
    m_acked = value.isEmpty() ? m_source.lastId() : value.toLongLong();
    m_readUpTo = m_acked;
    m_ackedKnown = true;
    m_storeError.clear();
    saveAcked();
    return true;
}

void MqttPublisher::saveAcked()
{
    if (!m_ackedKnown || m_acked == m_savedAcked)
        return;
    QString error;
    if (m_store.writeValue(m_ackKey, QString::number(m_acked), &error)) {
        m_savedAcked = m_acked;
        m_storeError.clear();
        return;
    }
    // Tried again every second; said once.
    if (m_storeError != error)
        qCWarning(lcMqtt, "cannot keep the acknowledged id %lld: %s", static_cast<long long>(m_acked),
                  qPrintable(error));
    m_storeError = error;
}

void MqttPublisher::setState(State state, const QString &error)
{
    if (state == m_state && error == m_error)
        return;
    m_state = state;
    m_error = error;
    switch (state) {
    case State::Connected:
        qCInfo(lcMqtt, "connected to %s", qPrintable(m_target.display()));
        break;
    case State::Refused:
        qCWarning(lcMqtt, "%s refused the connection: %s", qPrintable(m_target.display()), qPrintable(error));
        break;
    case State::Connecting:
        if (!error.isEmpty())
            qCWarning(lcMqtt, "%s: %s; trying again", qPrintable(m_target.display()), qPrintable(error));
        break;
    }
}

void MqttPublisher::connectNow()
{
    dropClient();
    if (m_stopped)
        return;
    const QByteArray clientId = ("tavrod-" + m_nodeId).toUtf8().left(64);
    m_client = mosquitto_new(clientId.constData(), true, this);
    if (!m_client) {
        setState(State::Connecting, QStringLiteral("cannot create the MQTT client"));
        scheduleReconnect();
        return;
    }
    mosquitto_int_option(m_client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_max_inflight_messages_set(m_client, window);
    mosquitto_connect_callback_set(m_client, &MqttPublisher::onConnectCallback);
    mosquitto_disconnect_callback_set(m_client, &MqttPublisher::onDisconnectCallback);
    mosquitto_publish_callback_set(m_client, &MqttPublisher::onPublishCallback);
    if (!m_target.user.isEmpty())
        mosquitto_username_pw_set(m_client, m_target.user.toUtf8().constData(),
                                  m_target.password.isEmpty() ? nullptr : m_target.password.toUtf8().constData());
    const QByteArray status = (m_siteTopic + QStringLiteral("/status")).toUtf8();
    mosquitto_will_set(m_client, status.constData(), 7, "offline", 1, true);
    if (m_target.tls) {
        const QByteArray ca = m_target.caFile.toLocal8Bit();
        const int rc = mosquitto_tls_set(m_client, ca.isEmpty() ? nullptr : ca.constData(),
                                         ca.isEmpty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            setState(State::Refused, QStringLiteral("TLS: %1").arg(errorText(rc)));
            scheduleReconnect();
            return;
        }
    }
    m_connacked = false;
    errno = 0;
    const int rc = mosquitto_connect_async(m_client, m_target.host.toUtf8().constData(), m_target.port,
                                           keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        setState(State::Connecting, errorText(rc));
        scheduleReconnect();
        return;
    }
    m_connectStarted.start();
    watchSocket();
}

void MqttPublisher::dropClient()
{
    m_readWatch.reset();
    m_writeWatch.reset();
    if (m_client) {
        mosquitto_destroy(m_client);
        m_client = nullptr;
    }
    m_connacked = false;
    // What was in flight goes again, from the store, on the next connection.
    m_sent.clear();
    m_midToId.clear();
    m_readUpTo = m_acked;
}

void MqttPublisher::scheduleReconnect()
{
    dropClient();
    if (m_stopped)
        return;
    m_reconnect.start(m_pauseMs);
    m_pauseMs = std::min(m_pauseMs * 2, lastPauseMs);
}

void MqttPublisher::watchSocket()
{
    const int fd = mosquitto_socket(m_client);
    if (fd < 0) {
        setState(State::Connecting, QStringLiteral("no socket"));
        scheduleReconnect();
        return;
    }
    m_readWatch = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    connect(m_readWatch.get(), &QSocketNotifier::activated, this, &MqttPublisher::onReadable);
    m_writeWatch = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    connect(m_writeWatch.get(), &QSocketNotifier::activated, this, &MqttPublisher::onWritable);
    updateWriteWatch();
}

void MqttPublisher::updateWriteWatch()
{
    if (m_client && m_writeWatch)
        m_writeWatch->setEnabled(mosquitto_want_write(m_client));
}

void MqttPublisher::handleLoopResult(int rc)
{
    if (rc == MOSQ_ERR_SUCCESS || !m_client) {
        updateWriteWatch();
        return;
    }
    // A refusal keeps its reason; anything else is a lost or failed connection.
    if (m_state == State::Refused && !m_connacked) {
        scheduleReconnect();
        return;
    }
    setState(State::Connecting, errorText(rc));
    scheduleReconnect();
}

void MqttPublisher::onReadable()
{
    if (!m_client)
        return;
    errno = 0;
    const int rc = mosquitto_loop_read(m_client, window);
    handleLoopResult(rc);
    takeAcks();
    fill();
}

void MqttPublisher::onWritable()
{
    if (!m_client)
        return;
    errno = 0;
    handleLoopResult(mosquitto_loop_write(m_client, window));
}

void MqttPublisher::onTick()
{
    if (!loadAcked())
        return;
    saveAcked();
    if (!m_client)
        return;
    if (!m_connacked && m_connectStarted.hasExpired(connectTimeoutMs)) {
        setState(State::Connecting, QStringLiteral("no answer within %1 s").arg(connectTimeoutMs / 1000));
        scheduleReconnect();
        return;
    }
    errno = 0;
    handleLoopResult(mosquitto_loop_misc(m_client));
    // The store may have failed a read; try again.
    fill();
}

void MqttPublisher::onConnectCallback(mosquitto *, void *self, int rc)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    if (rc != 0) {
        publisher->setState(State::Refused, QString::fromUtf8(mosquitto_connack_string(rc)));
        // Until the broker's mind changes, ask it rarely.
        publisher->m_pauseMs = std::max(publisher->m_pauseMs, 5000);
        return;
    }
    publisher->m_connacked = true;
    publisher->m_pauseMs = firstPauseMs;
    publisher->setState(State::Connected);
    // Inside the callback libmosquitto only queues; the writes follow.
    publisher->publishRaw(publisher->m_siteTopic + QStringLiteral("/status"), "online", true);
    publisher->publishDiscovery();
}

void MqttPublisher::onDisconnectCallback(mosquitto *, void *, int)
{
    // The loop call that noticed it returns an error; that reconnects.
}

void MqttPublisher::onPublishCallback(mosquitto *, void *self, int mid)
{
    auto *publisher = static_cast<MqttPublisher *>(self);
    const auto found = publisher->m_midToId.find(mid);
    if (found == publisher->m_midToId.end())
        return;
    const qint64 id = found.value();
    publisher->m_midToId.erase(found);
    for (Sent &sent : publisher->m_sent) {
        if (sent.id == id) {
            sent.acked = true;
            ++publisher->m_publishedCount;
            break;
        }
    }
}

void MqttPublisher::takeAcks()
{
    while (!m_sent.empty() && m_sent.front().acked) {
        m_acked = m_sent.front().id;
        m_sent.pop_front();
    }
}

void MqttPublisher::fill()
{
    for (;;) {
        takeAcks();
        if (!m_client || !m_connacked || !m_ackedKnown || int(m_sent.size()) >= window)
            break;
        QList<QByteArray> rows;
        QString error;
        if (!m_source.eventsAfter(m_readUpTo, window - int(m_sent.size()), &rows, &error)) {
            // Tried again on the next event or tick; said once.
            if (m_storeError != error)
                qCWarning(lcMqtt, "cannot read the events after %lld: %s", static_cast<long long>(m_readUpTo),
                          qPrintable(error));
            m_storeError = error;
            break;
        }
        if (m_ackedKnown && m_savedAcked == m_acked)
            m_storeError.clear();
        if (rows.isEmpty())
            break;
        for (const QByteArray &json : rows) {
            const QJsonObject event = QJsonDocument::fromJson(json).object();
            const qint64 id = event.value(QStringLiteral("id")).toInteger();
            if (id <= m_readUpTo)
                continue;
            m_readUpTo = id;
            const bool ours = event.value(QStringLiteral("site")).toString() == m_site
                && publishedKinds().contains(event.value(QStringLiteral("event")).toString());
            if (!ours) {
                m_sent.push_back({id, -1, true});
                continue;
            }
            publishEvent(id, json, event);
            if (!m_client)
                return; // the connection failed on the way
        }
    }
    updateWriteWatch();
}

void MqttPublisher::publishEvent(qint64 id, const QByteArray &json, const QJsonObject &event)
{
    const QString kind = event.value(QStringLiteral("event")).toString();
    const QString portName = event.value(QStringLiteral("portName")).toString();
    int mid = -1;
    const int rc = publishRaw(m_siteTopic + QStringLiteral("/event/") + topicLevel(kind), json, false, &mid);
    if (rc != MOSQ_ERR_SUCCESS) {
        handleLoopResult(rc);
        return;
    }
    m_sent.push_back({id, mid, false});
    m_midToId.insert(mid, id);

    // The entities' own states follow the events in their order.
    const QString portTopic = m_siteTopic + QStringLiteral("/port/") + topicLevel(portName);
    if (kind == u"ReceiveCall") {
        publishRaw(m_siteTopic + QStringLiteral("/last_call"), json, true);
        const QDateTime at = QDateTime::fromString(event.value(QStringLiteral("at")).toString(), Qt::ISODateWithMs);
        const qint64 age = at.isValid() ? at.msecsTo(QDateTime::currentDateTimeUtc()) : ringMs;
        // A call from a backlog replayed after an outage rings no more.
        if (age < ringMs) {
            setRinging(true, portName);
            m_ringEnd.start(int(ringMs - std::max<qint64>(0, age)));
        }
    } else if (kind == u"HookEvent") {
        const bool lifted = event.value(QStringLiteral("eventType")).toBool();
        publishRaw(portTopic + QStringLiteral("/handset"), onOff(lifted), true);
        if (lifted && portName == m_ringingPort)
            setRinging(false);
    } else if (kind == u"PortState") {
        publishRaw(portTopic + QStringLiteral("/connected"), onOff(event.value(QStringLiteral("open")).toBool()),
                   true);
    } else if (kind == u"CallOutcome") {
        if (portName.isEmpty() || portName == m_ringingPort)
            setRinging(false);
    }
}

int MqttPublisher::publishRaw(const QString &topic, const QByteArray &payload, bool retain, int *mid)
{
    if (!m_client)
        return MOSQ_ERR_NO_CONN;
    errno = 0;
    const int rc = mosquitto_publish(m_client, mid, topic.toUtf8().constData(), int(payload.size()),
                                     payload.constData(), 1, retain);
    // What the socket did not take yet goes when it is writable.
    updateWriteWatch();
    return rc;
}

void MqttPublisher::setRinging(bool ringing, const QString &portName)
{
    const bool changed = ringing != !m_ringingPort.isEmpty();
    m_ringingPort = ringing ? (portName.isEmpty() ? QStringLiteral("?") : portName) : QString();
    if (!ringing)
        m_ringEnd.stop();
    if (changed && m_connacked)
        publishRaw(m_siteTopic + QStringLiteral("/ringing"), onOff(ringing), true);
}

void MqttPublisher::publishDiscovery()
{
    const QJsonObject device{{"identifiers", QJsonArray{m_nodeId}},
                             {"name", QStringLiteral("tavro ") + m_site},
                             {"manufacturer", "tavro"},
                             {"model", "tavrod"},
                             {"sw_version", TAVROD_VERSION}};
    const QString status = m_siteTopic + QStringLiteral("/status");
    const auto publishConfig = [&](const QString &component, const QString &object, QJsonObject config) {
        config.insert(QStringLiteral("unique_id"), m_nodeId + u'_' + object);
        config.insert(QStringLiteral("object_id"), m_nodeId + u'_' + object);
        config.insert(QStringLiteral("availability_topic"), status);
        config.insert(QStringLiteral("device"), device);
        publishRaw(QStringLiteral("homeassistant/%1/%2/%3/config").arg(component, m_nodeId, object),
                   QJsonDocument(config).toJson(QJsonDocument::Compact), true);
    };
    // The customer's name when the book knows the number, else the line's
    // name, else the number.
    const QString name = QStringLiteral(
        "(value_json.customer.name if value_json.customer and value_json.customer.name"
        " else value_json.cidInfo.lName)");
    const QString lastCall = m_siteTopic + QStringLiteral("/last_call");
    publishConfig(QStringLiteral("sensor"), QStringLiteral("last_caller"),
                  {{"name", "last caller"},
                   {"icon", "mdi:phone-incoming"},
                   {"state_topic", lastCall},
                   {"value_template", QStringLiteral("{{ %1 or value_json.cidInfo.lNumber }}").arg(name)},
                   {"json_attributes_topic", lastCall},
                   {"json_attributes_template",
                    QStringLiteral("{{ {'name': %1, 'number': value_json.cidInfo.lNumber, 'port': "
                                   "value_json.portName, 'at': value_json.at} | tojson }}")
                        .arg(name)}});
    publishConfig(QStringLiteral("binary_sensor"), QStringLiteral("ringing"),
                  {{"name", "ringing"}, {"icon", "mdi:phone-ring"}, {"state_topic", m_siteTopic + "/ringing"}});
    for (const QString &port : m_ports) {
        const QString object = port.toLower();
        const QString portTopic = m_siteTopic + QStringLiteral("/port/") + topicLevel(port);
        publishConfig(QStringLiteral("binary_sensor"), object + QStringLiteral("_handset"),
                      {{"name", port + QStringLiteral(" handset")},
                       {"icon", "mdi:phone-classic"},
                       {"state_topic", portTopic + QStringLiteral("/handset")}});
        publishConfig(QStringLiteral("binary_sensor"), object + QStringLiteral("_connection"),
                      {{"name", port + QStringLiteral(" connection")},
                       {"device_class", "connectivity"},
                       {"entity_category", "diagnostic"},
                       {"state_topic", portTopic + QStringLiteral("/connected")}});
    }
    publishRaw(m_siteTopic + QStringLiteral("/ringing"), onOff(!m_ringingPort.isEmpty()), true);
}

} // namespace tavrod
