// The connection to tavrod: the token, the event stream with its replay,
// reconnecting by itself, and the state of the terminal's ports.
#ifndef TAVRO_POPUP_SERVICE_LINK_H
#define TAVRO_POPUP_SERVICE_LINK_H

#include "call_info.h"

#include <QElapsedTimer>
#include <QJsonObject>
#include <QMap>
#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <QUrl>
#include <QWebSocket>

#include <deque>
#include <functional>

namespace popup {

class ServiceLink : public QObject
{
    Q_OBJECT

public:
    enum class State { Disconnected, Connecting, Connected };

    explicit ServiceLink(QObject *parent = nullptr);

    // The service's address (http://HOST:PORT) and the file whose first
    // line is the token. Takes effect at the next connection.
    void configure(const QUrl &base, const QString &tokenFile);
    QUrl base() const { return m_base; }
    void start();
    void stop();

    State state() const { return m_state; }
    // Ports the service reported closed (empty when all are open).
    QStringList closedPorts() const;
    // Why the last attempt failed, in Korean; empty while connected.
    QString problem() const { return m_problem; }
    qint64 lastId() const { return m_lastId; }
    // Milliseconds until the next attempt while disconnected.
    int retryDelay() const { return m_delay; }

    // POST /api/call with one call object; the answer (or an error object
    // {"error": text}) goes to done.
    void postCall(const QJsonObject &call, std::function<void(const QJsonObject &)> done);

    // How often to ping, and after how long without an answer a connection
    // counts as gone (defaults 5 s and 15 s).
    void setKeepAlive(int pingEveryMs, int silentLimitMs);

    // One message of the stream, as it arrived.
    void takeMessage(const QString &text);

signals:
    void stateChanged();
    void callArrived(const popup::CallInfo &call);
    void missedCall(qint64 callId);

private:
    void connectNow();
    void openStream(qint64 boundary);
    void onDisconnected();
    void scheduleRetry();
    void fetchPorts();
    void setState(State state, const QString &problem = {});
    bool firstTime(const QString &key);
    QNetworkRequest request(const QString &path) const;
    QByteArray readToken(QString *problem) const;

    QUrl m_base;
    QString m_tokenFile;
    QByteArray m_token;
    QNetworkAccessManager m_network;
    QPointer<QWebSocket> m_socket;
    QTimer m_retry;
    QTimer m_ping;
    QElapsedTimer m_sincePong;
    int m_silentLimit;
    State m_state = State::Disconnected;
    QString m_problem;
    bool m_running = false;
    int m_delay = 500;
    int m_attempt = 0;      // counts attempts, so late answers of an old one are ignored
    qint64 m_lastId = -1;   // -1: never connected, take only what comes from now on
    qint64 m_boundary = 0;  // the service's last id when this connection began
    bool m_resumed = false; // this connection resumes an earlier one
    QMap<QString, bool> m_ports;
    // Events seen, for events that carry no id yet; bounded.
    QSet<QString> m_seen;
    std::deque<QString> m_seenOrder;
};

} // namespace popup

#endif
