#include "metrics.h"

namespace tavrod {

namespace {

template<typename H, typename B>
void observe(H &h, const B &buckets, double seconds)
{
    for (size_t i = 0; i < buckets.size(); ++i) {
        if (seconds <= buckets[i])
            ++h.counts[i];
    }
    ++h.count;
    h.sum += seconds;
}

// The text format's lines: metric(name, type, help) opens a metric,
// value(series, v) adds one sample to it.
struct Writer
{
    QByteArray &out;
    void operator()(const char *name, const char *type, const char *help) const
    {
        out += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    void operator()(const QByteArray &series, double v) const
    {
        out += series + ' ' + QByteArray::number(v, 'g', 12) + '\n';
    }
};

} // namespace

void Metrics::observeRequest(const QString &route, double seconds)
{
    observe(m_requests[route], buckets, seconds);
}

void Metrics::countHttpBound(const QByteArray &kind, int status)
{
    ++m_httpBounds[kind];
    if (status > 0)
        ++m_httpRefused[status];
}

void Metrics::observeFanOut(double seconds)
{
    observe(m_fanOut, buckets, seconds);
}

QByteArray Metrics::render(const Gauges &g) const
{
    QByteArray out;
    renderCounts(g, out);
    renderHistograms(out);
    renderMqtt(out);
    return out;
}

void Metrics::renderCounts(const Gauges &g, QByteArray &out) const
{
    const Writer metric{out}, value{out};
    metric("tavrod_events_total", "counter", "Events from the terminal, by kind.");
    for (auto it = m_events.cbegin(); it != m_events.cend(); ++it)
        value("tavrod_events_total{kind=\"" + it.key().toUtf8() + "\"}", double(it.value()));
    metric("tavrod_calls_total", "counter", "Incoming calls (ReceiveCall events).");
    value("tavrod_calls_total", double(m_events.value(QStringLiteral("ReceiveCall"))));
    metric("tavrod_api_calls_total", "counter", "Calls of the control through POST /api/call.");
    value("tavrod_api_calls_total{result=\"queued\"}", double(m_apiCalls));
    value("tavrod_api_calls_total{result=\"refused\"}", double(m_apiCallsRefused));
    metric("tavrod_api_calls_pending", "gauge", "Calls waiting for their turn.");
    value("tavrod_api_calls_pending", g.callsPending);
    metric("tavrod_ports_open", "gauge", "Serial ports open.");
    value("tavrod_ports_open", g.portsOpen);
    metric("tavrod_stream_clients", "gauge", "WebSocket stream clients.");
    value("tavrod_stream_clients", g.streamClients);
    metric("tavrod_stream_closed_slow_total", "counter", "Stream clients closed for a backlog over the bound.");
    value("tavrod_stream_closed_slow_total", double(m_streamClosedSlow));
    metric("tavrod_auth_failures_total", "counter",
           "Failed logins and wrong tokens: answered late, or refused with 429 past the per-peer bound.");
    value("tavrod_auth_failures_total{result=\"delayed\"}", double(m_authFailures));
    value("tavrod_auth_failures_total{result=\"refused\"}", double(m_authRefused));
    metric("tavrod_auth_forbidden_total", "counter", "Requests refused for the scope of their token (403).");
    value("tavrod_auth_forbidden_total", double(m_authForbidden));
    metric("tavrod_http_connections", "gauge", "Open HTTP connections.");
    value("tavrod_http_connections", g.httpConnections);
    metric("tavrod_http_refused_total", "counter", "Requests and connections refused by the HTTP server, by status.");
    for (auto it = m_httpRefused.cbegin(); it != m_httpRefused.cend(); ++it)
        value("tavrod_http_refused_total{status=\"" + QByteArray::number(it.key()) + "\"}", double(it.value()));
    metric("tavrod_http_bounds_total", "counter", "Bounds of HTTP connections reached, by bound.");
    for (auto it = m_httpBounds.cbegin(); it != m_httpBounds.cend(); ++it)
        value("tavrod_http_bounds_total{bound=\"" + it.key() + "\"}", double(it.value()));
    metric("tavrod_store_failures_total", "counter", "Failed writes to the store.");
    value("tavrod_store_failures_total", double(g.storeFailures));
    metric("tavrod_store_degraded", "gauge", "1 while events wait for the store.");
    value("tavrod_store_degraded", g.degraded ? 1 : 0);
    metric("tavrod_store_unsaved_events", "gauge", "Events waiting for the store.");
    value("tavrod_store_unsaved_events", g.unsavedEvents);
    metric("tavrod_store_dropped_events_total", "counter", "Unsaved events dropped beyond the bound.");
    value("tavrod_store_dropped_events_total", double(g.droppedEvents));
    metric("tavrod_hooks_total", "counter", "On-call hook runs, by outcome.");
    value("tavrod_hooks_total{result=\"ok\"}", double(m_hooksOk));
    value("tavrod_hooks_total{result=\"failed\"}", double(m_hooksFailed));
    value("tavrod_hooks_total{result=\"dropped\"}", double(m_hooksDropped));
}

void Metrics::renderHistograms(QByteArray &out) const
{
    const Writer metric{out}, value{out};
    metric("tavrod_http_request_duration_seconds", "histogram", "Time to answer an HTTP request.");
    for (auto it = m_requests.cbegin(); it != m_requests.cend(); ++it) {
        const QByteArray route = it.key().toUtf8();
        const Histogram &h = it.value();
        for (size_t i = 0; i < buckets.size(); ++i)
            value("tavrod_http_request_duration_seconds_bucket{route=\"" + route + "\",le=\""
                      + QByteArray::number(buckets[i]) + "\"}",
                  double(h.counts[i]));
        value("tavrod_http_request_duration_seconds_bucket{route=\"" + route + "\",le=\"+Inf\"}", double(h.count));
        value("tavrod_http_request_duration_seconds_sum{route=\"" + route + "\"}", h.sum);
        value("tavrod_http_request_duration_seconds_count{route=\"" + route + "\"}", double(h.count));
    }
    metric("tavrod_stream_fanout_seconds", "histogram", "Time to hand one event to every stream client.");
    for (size_t i = 0; i < buckets.size(); ++i)
        value("tavrod_stream_fanout_seconds_bucket{le=\"" + QByteArray::number(buckets[i]) + "\"}",
              double(m_fanOut.counts[i]));
    value("tavrod_stream_fanout_seconds_bucket{le=\"+Inf\"}", double(m_fanOut.count));
    value("tavrod_stream_fanout_seconds_sum", m_fanOut.sum);
    value("tavrod_stream_fanout_seconds_count", double(m_fanOut.count));
}

void Metrics::renderMqtt(QByteArray &out) const
{
    if (!m_mqtt)
        return;
    const Writer metric{out}, value{out};
    const MqttGauges mqtt = m_mqtt();
    metric("tavrod_mqtt_state", "gauge", "The broker connection: 1 for the current state.");
    const char *const states[] = {"connecting", "connected", "refused"};
    for (int i = 0; i < 3; ++i)
        value(QByteArray("tavrod_mqtt_state{state=\"") + states[i] + "\"}", mqtt.state == i ? 1 : 0);
    metric("tavrod_mqtt_backlog_events", "gauge", "Stored events the broker has not acknowledged.");
    value("tavrod_mqtt_backlog_events", double(mqtt.backlog));
    metric("tavrod_mqtt_acked_id", "gauge", "The last event id the broker acknowledged.");
    value("tavrod_mqtt_acked_id", double(mqtt.ackedId));
    metric("tavrod_mqtt_published_total", "counter", "Events the broker acknowledged.");
    value("tavrod_mqtt_published_total", double(mqtt.published));
}

} // namespace tavrod
