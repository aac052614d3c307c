#include "http_server.h"

#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrl>
#include <QWebSocket>

namespace tavrod {

namespace {

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 101: return "Switching Protocols";
    case 200: return "OK";
    case 204: return "No Content";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 426: return "Upgrade Required";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
    }
}

bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(const QByteArray &text)
{
    if (text.isEmpty())
        return false;
    for (char c : text) {
        if (!isTokenChar(c))
            return false;
    }
    return true;
}

bool headerHasToken(const QByteArray &value, const char *token)
{
    for (const QByteArray &part : value.split(',')) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QByteArray serialize(const HttpResponse &response, bool keepAlive, bool withBody = true)
{
    QByteArray out;
    out.reserve(256 + response.body.size());
    out += "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    if (!response.contentType.isEmpty())
        out += "Content-Type: " + response.contentType + "\r\n";
    if (!response.streamedBody)
        out += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    out += "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
    // Dashboard: no inline script or foreign source on any answer, no framing.
    out += "Content-Security-Policy: default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
           "connect-src 'self'; base-uri 'none'; form-action 'self'; frame-ancestors 'none'\r\n"
           "Referrer-Policy: no-referrer\r\n";
    for (const auto &header : response.headers)
        out += header.first + ": " + header.second + "\r\n";
    out += "\r\n";
    if (withBody)
        out += response.body;
    return out;
}

} // namespace

QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (const auto &entry : headers) {
        if (entry.first == name)
            return entry.second;
    }
    return QByteArray();
}

bool HttpRequest::isWebSocketUpgrade() const
{
    return headerHasToken(header("upgrade"), "websocket") && headerHasToken(header("connection"), "upgrade");
}

HttpResponse HttpResponse::json(int status, const QJsonObject &object)
{
    HttpResponse response;
    response.status = status;
    response.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return response;
}

HttpResponse HttpResponse::error(int status, const QString &text)
{
    return json(status, {{"error", text}});
}

HttpRequestParser::Status HttpRequestParser::fail(int status, const QString &text)
{
    m_failure = HttpResponse::error(status, text);
    return Status::Failed;
}

HttpRequestParser::Status HttpRequestParser::parse(QByteArray &buffer, HttpRequest *request)
{
    // Stray line ends between requests are allowed and ignored.
    qsizetype start = 0;
    while (buffer.size() >= start + 2 && buffer[start] == '\r' && buffer[start + 1] == '\n')
        start += 2;
    if (start > 0)
        buffer.remove(0, start);

    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0) {
        if (buffer.size() > m_limits.maxHeaderBytes)
            return fail(431, QStringLiteral("request headers larger than %1 bytes").arg(m_limits.maxHeaderBytes));
        return Status::NeedMore;
    }
    if (headerEnd + 4 > m_limits.maxHeaderBytes)
        return fail(431, QStringLiteral("request headers larger than %1 bytes").arg(m_limits.maxHeaderBytes));

    QList<QByteArray> lines = buffer.left(headerEnd + 2).split('\n');
    lines.removeLast(); // after the last CR LF
    HttpRequest out;
    const QByteArray requestLine = lines.first().chopped(lines.first().endsWith('\r') ? 1 : 0);
    const QList<QByteArray> parts = requestLine.split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || !parts[1].startsWith('/'))
        return fail(400, QStringLiteral("malformed request line"));
    const QByteArray version = parts[2];
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return fail(505, QStringLiteral("only HTTP/1.0 and HTTP/1.1 are served"));
    for (char c : parts[1]) {
        if (uchar(c) <= 0x20 || uchar(c) >= 0x7f)
            return fail(400, QStringLiteral("malformed request target"));
    }
    out.method = parts[0];
    out.target = parts[1];

    qint64 contentLength = 0;
    bool haveLength = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (!line.endsWith('\r'))
            return fail(400, QStringLiteral("header line without CR LF"));
        line.chop(1);
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return fail(400, QStringLiteral("malformed header line"));
        const QByteArray name = line.left(colon).toLower();
        if (!isToken(name))
            return fail(400, QStringLiteral("malformed header name"));
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            bool ok = false;
            const qint64 length = value.toLongLong(&ok);
            if (!ok || length < 0 || value.startsWith('+') || (haveLength && length != contentLength))
                return fail(400, QStringLiteral("malformed Content-Length"));
            contentLength = length;
            haveLength = true;
        } else if (name == "transfer-encoding") {
            return fail(501, QStringLiteral("Transfer-Encoding is not supported; send Content-Length"));
        }
        out.headers.append({name, value});
    }
    if (contentLength > m_limits.maxBodyBytes)
        return fail(413, QStringLiteral("request body larger than %1 bytes").arg(m_limits.maxBodyBytes));
    const qsizetype total = headerEnd + 4 + qsizetype(contentLength);
    if (buffer.size() < total)
        return Status::NeedMore;
    out.body = buffer.mid(headerEnd + 4, qsizetype(contentLength));
    buffer.remove(0, total);

    const qsizetype question = out.target.indexOf('?');
    out.path = QUrl::fromPercentEncoding(question < 0 ? out.target : out.target.left(question));
    if (question >= 0) {
        // Form encoding writes a blank as '+'.
        QByteArray query = out.target.mid(question + 1);
        query.replace('+', "%20");
        out.query.setQuery(QString::fromLatin1(query));
    }
    const QByteArray connection = out.header("connection");
    out.keepAlive = version == "HTTP/1.1" ? !headerHasToken(connection, "close")
                                          : headerHasToken(connection, "keep-alive");
    *request = std::move(out);
    return Status::Done;
}

HttpResponder::HttpResponder(HttpConnection *connection, quint64 sequence)
    : m_connection(connection)
    , m_sequence(sequence)
{
}

void HttpResponder::send(const HttpResponse &response)
{
    if (m_connection)
        m_connection->answer(m_sequence, response);
}

bool HttpResponder::isConnected() const
{
    return !m_connection.isNull();
}

HttpServer::HttpServer(const HttpLimits &limits, QObject *parent)
    : QObject(parent)
    , m_limits(limits)
    , m_webSockets(QStringLiteral("tavrod"), QWebSocketServer::NonSecureMode)
{
    connect(&m_server, &QTcpServer::newConnection, this, &HttpServer::acceptConnections);
    connect(&m_webSockets, &QWebSocketServer::newConnection, this, [this] {
        while (QWebSocket *socket = m_webSockets.nextPendingConnection())
            emit webSocketConnected(socket);
    });
}

HttpServer::~HttpServer()
{
    close();
}

bool HttpServer::listen(const QHostAddress &address, quint16 port, QString *error)
{
    if (!m_server.listen(address, port)) {
        *error = m_server.errorString();
        return false;
    }
    return true;
}

void HttpServer::close()
{
    m_server.close();
    for (HttpConnection *connection : findChildren<HttpConnection *>(Qt::FindDirectChildrenOnly))
        connection->flushAndClose();
}

void HttpServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        if (m_connections >= m_limits.maxConnections) {
            // Refused politely and at once; it holds nothing afterwards.
            socket->write(serialize(HttpResponse::error(503, QStringLiteral("too many connections")), false));
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            continue;
        }
        new HttpConnection(*this, socket);
    }
}

HttpConnection::HttpConnection(HttpServer &server, QTcpSocket *socket)
    : QObject(&server)
    , m_server(server)
    , m_socket(socket)
    , m_parser(server.limits())
{
    ++m_server.m_connections;
    socket->setParent(this);
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::readInput);
    connect(socket, &QTcpSocket::disconnected, this, &HttpConnection::finish);
    connect(socket, &QTcpSocket::errorOccurred, this, &HttpConnection::finish);
    // Idle or slow clients (slowloris) do not hold a connection for ever;
    // a request being answered (SendCmd waiting) is not idle.
    m_idle.setSingleShot(true);
    m_idle.setInterval(server.limits().idleTimeoutMs);
    connect(&m_idle, &QTimer::timeout, this, [this] {
        if (!m_waiting)
            finish();
    });
    m_idle.start();
    QMetaObject::invokeMethod(this, &HttpConnection::readInput, Qt::QueuedConnection);
}

HttpConnection::~HttpConnection()
{
    --m_server.m_connections;
}

void HttpConnection::readInput()
{
    if (m_closing || !m_socket)
        return;
    // The bytes of a request stay in the socket's transaction until it is
    // known not to be a WebSocket upgrade, which needs them unread.
    if (m_buffer.isEmpty() && !m_inTransaction) {
        m_socket->startTransaction();
        m_inTransaction = true;
    }
    m_buffer += m_socket->readAll();
    m_idle.start();
    handleNext();
}

void HttpConnection::handleNext()
{
    if (m_waiting || m_closing)
        return;
    HttpRequest request;
    const HttpRequestParser::Status status = m_parser.parse(m_buffer, &request);
    if (status == HttpRequestParser::Status::NeedMore)
        return;
    if (status == HttpRequestParser::Status::Failed) {
        write(m_parser.failure(), false);
        return;
    }
    request.peer = m_socket->peerAddress();
    if (request.isWebSocketUpgrade()) {
        upgrade(request);
        return;
    }
    if (m_inTransaction) {
        m_socket->commitTransaction();
        m_inTransaction = false;
    }
    m_current = std::move(request);
    m_waiting = true;
    m_clock.start();
    const quint64 sequence = ++m_sequence;
    if (m_server.m_handler)
        m_server.m_handler(m_current, HttpResponder(this, sequence));
    else
        answer(sequence, HttpResponse::error(404, QStringLiteral("no such resource")));
}

void HttpConnection::answer(quint64 sequence, const HttpResponse &response)
{
    if (!m_waiting || sequence != m_sequence || m_closing)
        return;
    m_waiting = false;
    emit m_server.requestFinished(m_current.method, m_current.path, response.status,
                                  double(m_clock.nsecsElapsed()) / 1e9);
    const bool keepAlive = m_current.keepAlive && response.status < 400;
    write(response, keepAlive);
    if (keepAlive && !m_buffer.isEmpty())
        QMetaObject::invokeMethod(this, &HttpConnection::handleNext, Qt::QueuedConnection);
}

void HttpConnection::write(const HttpResponse &response, bool keepAlive)
{
    if (m_inTransaction) {
        m_socket->commitTransaction();
        m_inTransaction = false;
    }
    if (response.streamedBody) {
        keepAlive = false; // the end of the body is the end of the connection
        m_socket->write(serialize(response, false, false));
        if (m_current.method != "HEAD") {
            m_streamedBody = response.streamedBody;
            m_closing = true;
            m_buffer.clear();
            connect(m_socket, &QTcpSocket::bytesWritten, this, &HttpConnection::pumpStreamedBody);
            pumpStreamedBody();
            return;
        }
    } else {
        m_socket->write(serialize(response, keepAlive, m_current.method != "HEAD"));
    }
    m_idle.start();
    if (!keepAlive) {
        m_closing = true;
        m_buffer.clear();
        m_socket->disconnectFromHost();
    }
}

void HttpConnection::pumpStreamedBody()
{
    // A reader that stops reading stops the pulls; the idle timer ends it.
    constexpr qint64 lowWater = 64 * 1024;
    m_idle.start();
    while (m_streamedBody && m_socket->bytesToWrite() < lowWater) {
        const QByteArray piece = m_streamedBody();
        if (piece.isEmpty()) {
            m_streamedBody = nullptr;
            m_socket->disconnectFromHost();
            return;
        }
        m_socket->write(piece);
    }
}

void HttpConnection::upgrade(const HttpRequest &request)
{
    m_current = request;
    if (!m_inTransaction || !m_buffer.isEmpty()) {
        // Pipelined in behind another request: its bytes are no longer whole.
        write(HttpResponse::error(400, QStringLiteral("a WebSocket upgrade must be the first request on its connection")),
              false);
        return;
    }
    if (m_server.m_upgradeCheck) {
        if (const std::optional<HttpResponse> refusal = m_server.m_upgradeCheck(request)) {
            write(*refusal, false);
            return;
        }
    }
    // From here QWebSocketServer reads the handshake again from the start.
    QTcpSocket *socket = std::exchange(m_socket, nullptr);
    socket->disconnect(this);
    socket->rollbackTransaction();
    m_inTransaction = false;
    socket->setParent(nullptr);
    m_server.m_webSockets.handleConnection(socket);
    emit socket->readyRead();
    deleteLater();
}

void HttpConnection::flushAndClose()
{
    if (m_socket) {
        m_socket->flush();
        m_socket->disconnectFromHost();
    }
    delete this;
}

void HttpConnection::finish()
{
    // The socket is a child: deleting the connection closes it.
    m_closing = true;
    m_waiting = false;
    m_idle.stop();
    deleteLater();
}

} // namespace tavrod
