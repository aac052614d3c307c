// Counters of the service, written in the Prometheus text format.
#ifndef TAVROD_METRICS_H
#define TAVROD_METRICS_H

#include <QByteArray>
#include <QMap>
#include <QString>

#include <array>
#include <functional>

namespace tavrod {

// Values that are read at the moment of a scrape rather than counted.
struct Gauges
{
    int portsOpen = 0;
    int streamClients = 0;
    int httpConnections = 0;
    int callsPending = 0;
    int unsavedEvents = 0;
    bool degraded = false;
    qint64 storeFailures = 0;
    qint64 droppedEvents = 0;
};

// The MQTT publisher's state, read at a scrape.
struct MqttGauges
{
    int state = 0; // 0 connecting, 1 connected, 2 refused
    qint64 backlog = 0;
    qint64 ackedId = 0;
    qint64 published = 0;
};

class Metrics
{
public:
    static constexpr std::array<double, 9> buckets {0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.5, 1, 5};

    void countEvent(const QString &kind) { ++m_events[kind]; }
    void countApiCall(bool accepted) { ++(accepted ? m_apiCalls : m_apiCallsRefused); }
    void countHook(bool ok) { ++(ok ? m_hooksOk : m_hooksFailed); }
    void countHookDropped() { ++m_hooksDropped; }
    void countStreamClosedSlow() { ++m_streamClosedSlow; }
    // A failed login or wrong token; refused when answered with 429.
    void countAuthFailure(bool refused) { ++(refused ? m_authRefused : m_authFailures); }
    void countForbidden() { ++m_authForbidden; }
    // A bound of the HTTP server reached; status is the refusal sent, 0 for none.
    void countHttpBound(const QByteArray &kind, int status);
    // route is a known path or "other", so the label set stays small.
    void observeRequest(const QString &route, double seconds);
    // Time to hand one event to every stream client.
    void observeFanOut(double seconds);

    QByteArray render(const Gauges &gauges) const;
    // Set when the service publishes to a broker.
    void setMqttSource(std::function<MqttGauges()> source) { m_mqtt = std::move(source); }

private:
    void renderCounts(const Gauges &g, QByteArray &out) const;
    void renderHistograms(QByteArray &out) const;
    void renderMqtt(QByteArray &out) const;

    struct Histogram
    {
        std::array<quint64, buckets.size()> counts {};
        quint64 count = 0;
        double sum = 0;
    };
    QMap<QString, qint64> m_events;
    QMap<QString, Histogram> m_requests;
    Histogram m_fanOut;
    qint64 m_apiCalls = 0;
    qint64 m_apiCallsRefused = 0;
    qint64 m_hooksOk = 0;
    qint64 m_hooksFailed = 0;
    qint64 m_hooksDropped = 0;
    qint64 m_streamClosedSlow = 0;
    qint64 m_authFailures = 0;
    qint64 m_authRefused = 0;
    qint64 m_authForbidden = 0;
    std::function<MqttGauges()> m_mqtt;
    QMap<QByteArray, qint64> m_httpBounds;
    QMap<int, qint64> m_httpRefused;
};

} // namespace tavrod

#endif
