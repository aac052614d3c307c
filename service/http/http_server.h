// A small HTTP/1.1 server on QTcpServer, with the bounds the service needs
// on every connection (HttpLimits): input held, answers unsent, time to send
// headers and body, connections at once and per peer, and the Host names it
// answers to. WebSocket upgrades are checked before they are accepted and
// then handed on as a WebSocket. (Qt HTTP Server 6.4 has none of these
// bounds and accepts every upgrade.)
#ifndef TAVROD_HTTP_SERVER_H
#define TAVROD_HTTP_SERVER_H

#include "http_request.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <optional>

class QTcpSocket;

namespace tavrod {

class WebSocket;

class HttpConnection;

// Answers one request, now or later (a handler may keep it while a command
// waits). Answering a request whose client is gone does nothing.
class HttpResponder
{
public:
    HttpResponder() = default;
    void send(const HttpResponse &response);

private:
    friend class HttpConnection;
    HttpResponder(HttpConnection *connection, quint64 sequence);
    QPointer<HttpConnection> m_connection;
    quint64 m_sequence = 0;
};

class HttpServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<void(const HttpRequest &, HttpResponder)>;
    // nullopt accepts the upgrade; a response refuses it.
    using UpgradeCheck = std::function<std::optional<HttpResponse>(const HttpRequest &)>;

    explicit HttpServer(const HttpLimits &limits, QObject *parent = nullptr);
    ~HttpServer() override;

    bool listen(const QHostAddress &address, quint16 port, QString *error);
    quint16 port() const { return m_server.serverPort(); }
    void close();

    void setHandler(Handler handler) { m_handler = std::move(handler); }
    void setUpgradeCheck(UpgradeCheck check) { m_upgradeCheck = std::move(check); }

    // Host names answered besides loopback and the machine's own names and
    // addresses (any port); others get 421.
    void setAllowedHosts(const QStringList &names);
    bool isAllowedHost(const QByteArray &host);

    int connectionCount() const { return m_connections; }
    const HttpLimits &limits() const { return m_limits; }

Q_SIGNALS:
    // An accepted WebSocket, with the request that opened it; the receiver
    // takes it (it deletes itself once its connection ends).
    void webSocketConnected(tavrod::WebSocket *socket, const tavrod::HttpRequest &request);
    void requestFinished(const QByteArray &method, const QString &path, int status, double seconds);
    // A bound was reached: kind names it ("header-timeout", "per-peer", ...),
    // status is the refusal sent (0 when none was).
    void boundReached(const QByteArray &kind, int status);

private:
    friend class HttpConnection;
    void acceptConnections();
    bool makeRoom(const QByteArray &peer);
    void refuse(QTcpSocket *socket, const QByteArray &kind, const QString &text);
    void refreshOwnNames();
    // Counts it, and logs it unless the same kind was logged within a second.
    void noteBound(const QByteArray &kind, int status, const QHostAddress &peer, const QString &detail);

    struct LogState
    {
        QElapsedTimer last;
        qint64 unlogged = 0;
    };

    HttpLimits m_limits;
    QTcpServer m_server;
    Handler m_handler;
    UpgradeCheck m_upgradeCheck;
    int m_connections = 0;
    QHash<QByteArray, int> m_perPeer;
    QSet<QByteArray> m_hostNames;  // lower case
    QList<QHostAddress> m_ownAddresses;
    QElapsedTimer m_ownAge;
    QHash<QByteArray, LogState> m_logged;
};

// One client connection; lives until the client or the server closes it.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    HttpConnection(HttpServer &server, QTcpSocket *socket, const QByteArray &peer);
    ~HttpConnection() override;

    // Hands what is written to the system (answers given while stopping
    // still reach their clients) and closes.
    void flushAndClose();

    // Between requests: nothing of the next one read, nothing unsent.
    bool isIdle() const;
    // How long its request has been stuck in headers or body, or its
    // answers untaken (or it has been closing); -1 when it is not stuck.
    qint64 stalledFor() const;
    const QByteArray &peer() const { return m_peer; }
    // Input read from the socket and not yet consumed by requests.
    qsizetype bufferedInput() const { return m_buffer.size(); }

private:
    friend class HttpResponder;
    // Where the connection is; each phase but Answering has its time bound.
    enum class Phase { Idle, Head, Body, Answering };

    void pump();
    void readAvailable();
    bool outputBacklogged();
    std::optional<HttpResponse> checkHead(const HttpRequest &head);
    void dispatch(HttpRequest request);
    void setPhase(Phase phase);
    void timedOut();
    void refuse(const QByteArray &kind, const HttpResponse &response);
    void answer(quint64 sequence, const HttpResponse &response);
    void write(const HttpResponse &response, bool keepAlive);
    void upgrade(const HttpRequest &request);
    void finish();
    void pumpStream();

    HttpServer &m_server;
    QTcpSocket *m_socket;
    const QByteArray m_peer;
    HttpRequestParser m_parser;
    QByteArray m_buffer;
    QTimer m_timer;
    Phase m_phase = Phase::Answering;
    QElapsedTimer m_since;  // the phase began or the client last took output
    QElapsedTimer m_clock;
    HttpRequest m_current;
    quint64 m_sequence = 0;
    bool m_waiting = false;  // a request is being answered
    bool m_closing = false;
    bool m_headChecked = false;
    bool m_pumping = false;
    bool m_backlogNoted = false;
    std::function<QByteArray()> m_stream; // a body being sent piece by piece
    bool m_streamKeepAlive = false;
};

} // namespace tavrod

#endif
