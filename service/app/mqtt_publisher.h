// Stored events to an MQTT broker (libmosquitto), with Home Assistant
// discovery. The client runs on the service's event loop: its socket sits on
// QSocketNotifiers and a timer drives its keep-alive; it has no thread.
//
// What is published comes from the store, never from memory: a window of
// events after the last id the broker acknowledged is read, sent with QoS 1,
// and refilled as PUBACKs arrive. The acknowledged id is kept in the store,
// so after a broker outage or a restart publishing resumes where the broker
// stopped taking events, in order.
#ifndef TAVROD_MQTT_PUBLISHER_H
#define TAVROD_MQTT_PUBLISHER_H

#include "event_store.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QSocketNotifier>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <memory>

struct mosquitto;

namespace tavrod {

// mqtt://[USER[:PASS]@]HOST[:PORT][/PREFIX], or mqtts:// for TLS.
struct MqttTarget
{
    bool tls = false;
    QString host;
    int port = 1883;
    QString user;
    QString password;
    QString prefix = QStringLiteral("tavro");
    QString caFile; // for mqtts://; empty: the system's certificates

    // For logs and /healthz: without the password.
    QString display() const;
};

bool parseMqttUrl(const QString &text, MqttTarget *target, QString *error);

class MqttPublisher : public QObject
{
    Q_OBJECT

public:
    // Events sent and not yet acknowledged (or read and skipped) at most.
    static constexpr int window = 100;
    // Pauses between connection attempts grow from the first to the last.
    static constexpr int firstPauseMs = 500;
    static constexpr int lastPauseMs = 30000;
    // A call rings on the panel until its outcome, the handset or this.
    static constexpr int ringMs = 45000;

    enum class State { Connecting, Connected, Refused };

    // source: the numbered events (all sites with a shared database);
    // store: where the acknowledged id is kept; ports: the ports that get
    // a handset and a connectivity entity.
    MqttPublisher(MqttTarget target, QString site, QStringList ports, EventSource &source, EventStore &store,
                  QObject *parent = nullptr);
    ~MqttPublisher() override;

    // The kinds of event that go to the broker.
    static const QStringList &publishedKinds();

    void start();
    // Says "offline", disconnects and keeps the acknowledged id.
    void stop();

    // A new event is in the source: read on from the store soon.
    void eventAvailable();

    State state() const { return m_state; }
    QString stateName() const;
    QString lastError() const { return m_error; }
    qint64 ackedId() const { return m_acked; }
    // Stored events not yet acknowledged by the broker.
    qint64 backlog() const;
    qint64 publishedCount() const { return m_publishedCount; }
    // Adds the broker's state and the backlog to /healthz.
    void describe(QJsonObject &health) const;

    // Topics, for the tests and the README's names.
    QString siteTopic() const { return m_siteTopic; }

private:
    struct Sent
    {
        qint64 id = 0;
        int mid = -1;      // -1: read but not ours, nothing to wait for
        bool acked = false;
    };

    void connectNow();
    void dropClient();
    void scheduleReconnect();
    void watchSocket();
    void updateWriteWatch();
    void onReadable();
    void onWritable();
    void onTick();
    void handleLoopResult(int rc);
    void fill();
    void queueFill();
    bool loadAcked();
    void saveAcked();
    void publishEvent(qint64 id, const QByteArray &json, const QJsonObject &event);
    int publishRaw(const QString &topic, const QByteArray &payload, bool retain, int *mid = nullptr);
    void publishDiscovery();
    void setRinging(bool ringing, const QString &portName = {});
    void setState(State state, const QString &error = {});
    void takeAcks();

    static void onConnectCallback(mosquitto *client, void *self, int rc);
    static void onDisconnectCallback(mosquitto *client, void *self, int rc);
    static void onPublishCallback(mosquitto *client, void *self, int mid);

    MqttTarget m_target;
    QString m_site;
    QStringList m_ports;
    EventSource &m_source;
    EventStore &m_store;
    QString m_siteTopic; // PREFIX/SITE
    QString m_nodeId;    // tavro_SITE, as discovery allows
    QString m_ackKey;

    mosquitto *m_client = nullptr;
    std::unique_ptr<QSocketNotifier> m_readWatch;
    std::unique_ptr<QSocketNotifier> m_writeWatch;
    QTimer m_tick;      // keep-alive and retries of the store
    QTimer m_reconnect;
    QTimer m_ringEnd;
    QElapsedTimer m_connectStarted;
    int m_pauseMs = firstPauseMs;
    State m_state = State::Connecting;
    QString m_error;
    QString m_storeError; // reading or keeping the acknowledged id
    bool m_connacked = false;
    bool m_stopped = true;
    bool m_fillQueued = false;

    bool m_ackedKnown = false;
    qint64 m_acked = 0;     // every id up to here is acknowledged (or not ours)
    qint64 m_savedAcked = -1;
    qint64 m_readUpTo = 0;  // the last id read from the source
    std::deque<Sent> m_sent;
    QHash<int, qint64> m_midToId;
    qint64 m_publishedCount = 0;
    QString m_ringingPort;
};

} // namespace tavrod

#endif
