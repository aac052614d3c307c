// A small HTTP/1.1 server on QTcpServer, with the bounds the service needs:
// header and body size, connections at once, idle time; WebSocket upgrades
// are checked before they are accepted and then handed to QWebSocketServer.
// (Qt HTTP Server 6.4 has none of these bounds and accepts every upgrade.)
#ifndef TAVROD_HTTP_SERVER_H
#define TAVROD_HTTP_SERVER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>
#include <QUrlQuery>
#include <QWebSocketServer>

#include <functional>
#include <optional>

class QTcpSocket;
class QWebSocket;

namespace tavrod {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

struct HttpRequest
{
    QByteArray method;
    QByteArray target;   // as sent: path and query
    QString path;        // decoded path
    QUrlQuery query;
    HeaderList headers;  // names in lower case
    QByteArray body;
    QHostAddress peer;
    bool keepAlive = true;

    // The first value of a header (name in lower case), empty when absent.
    QByteArray header(const QByteArray &name) const;
    bool isWebSocketUpgrade() const;
};

struct HttpResponse
{
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    HeaderList headers;

    // A body too large to hold: pulled piece by piece while the socket
    // drains, until it gives an empty piece; sent without a length and the
    // connection closed after it. Set instead of body.
    std::function<QByteArray()> streamedBody = {};

    static HttpResponse json(int status, const QJsonObject &object);
    // {"error": text}
    static HttpResponse error(int status, const QString &text);
};

struct HttpLimits
{
    int maxHeaderBytes = 16 * 1024;
    int maxBodyBytes = 64 * 1024;
    int maxConnections = 256;
    int idleTimeoutMs = 30000;
};

// Reads one request from the front of a buffer.
class HttpRequestParser
{
public:
    enum class Status { NeedMore, Done, Failed };
    explicit HttpRequestParser(const HttpLimits &limits) : m_limits(limits) {}

    // On Done the request's bytes are removed from buffer. On Failed,
    // failure() is the 4xx/5xx answer to send before closing.
    Status parse(QByteArray &buffer, HttpRequest *request);
    const HttpResponse &failure() const { return m_failure; }

private:
    Status fail(int status, const QString &text);
    HttpLimits m_limits;
    HttpResponse m_failure;
};

class HttpConnection;

// Answers one request, now or later (a handler may keep it while a command
// waits). Answering a request whose client is gone does nothing.
class HttpResponder
{
public:
    HttpResponder() = default;
    void send(const HttpResponse &response);
    bool isConnected() const;

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

    int connectionCount() const { return m_connections; }
    const HttpLimits &limits() const { return m_limits; }

Q_SIGNALS:
    // An accepted WebSocket; the receiver owns it.
    void webSocketConnected(QWebSocket *socket);
    void requestFinished(const QByteArray &method, const QString &path, int status, double seconds);

private:
    friend class HttpConnection;
    void acceptConnections();

    HttpLimits m_limits;
    QTcpServer m_server;
    QWebSocketServer m_webSockets;
    Handler m_handler;
    UpgradeCheck m_upgradeCheck;
    int m_connections = 0;
};

// One client connection; lives until the client or the server closes it.
class HttpConnection : public QObject
{
    Q_OBJECT

public:
    HttpConnection(HttpServer &server, QTcpSocket *socket);
    ~HttpConnection() override;

    // Hands what is written to the system (answers given while stopping
    // still reach their clients) and closes.
    void flushAndClose();

private:
    friend class HttpResponder;
    void readInput();
    void handleNext();
    void answer(quint64 sequence, const HttpResponse &response);
    void write(const HttpResponse &response, bool keepAlive);
    void upgrade(const HttpRequest &request);
    void finish();
    void pumpStreamedBody();

    HttpServer &m_server;
    std::function<QByteArray()> m_streamedBody;
    QTcpSocket *m_socket;
    HttpRequestParser m_parser;
    QByteArray m_buffer;
    QTimer m_idle;
    QElapsedTimer m_clock;
    HttpRequest m_current;
    quint64 m_sequence = 0;
    bool m_waiting = false;  // a request is being answered
    bool m_closing = false;
    bool m_inTransaction = false;
};

} // namespace tavrod

#endif
