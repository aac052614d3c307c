#include "http_server.h"

#include "logging.h"
#include <QHostInfo>
#include "websocket.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkInterface>
#include <QTcpSocket>
#include <QUrl>

#include <climits>

namespace tavrod {

namespace {

// Connections are counted per peer: all of 127.0.0.0/8 is one local peer
// (any local process can bind any of it), an IPv6 peer is its /64.
QByteArray peerKey(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return (v4 >> 24) == 127 ? QByteArray("127.0.0.0/8") : QHostAddress(v4).toString().toLatin1();
    if (address == QHostAddress(QHostAddress::LocalHostIPv6))
        return "::1";
    const Q_IPV6ADDR v6 = address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(v6.c), 8).toHex() + "/64";
}

// "name", "name:port", "[v6]:port", lower case, without port or final dot.
QByteArray hostName(const QByteArray &host)
{
    QByteArray name = host.trimmed().toLower();
    if (name.startsWith('[')) {
        const qsizetype close = name.indexOf(']');
        name = close < 0 ? QByteArray() : name.mid(1, close - 1);
    } else if (name.count(':') == 1) {
        name.truncate(name.indexOf(':'));
    }
    if (name.endsWith('.'))
        name.chop(1);
    return name;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100: return "Continue";
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
    case 421: return "Misdirected Request";
    case 426: return "Upgrade Required";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
    }
}

QByteArray serialize(const HttpResponse &response, bool keepAlive, bool withBody = true)
{
    QByteArray out;
    out.reserve(256 + response.body.size());
    out += "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    if (!response.contentType.isEmpty())
        out += "Content-Type: " + response.contentType + "\r\n";
    if (response.stream)
        out += "Transfer-Encoding: chunked\r\n";
    else
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
    if (withBody && !response.stream)
        out += response.body;
    return out;
}

// Bytes waiting in the socket before the next piece of a streamed body is made.
constexpr qint64 streamWatermark = 256 * 1024;

} // namespace

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


HttpServer::HttpServer(const HttpLimits &limits, QObject *parent)
    : QObject(parent)
    , m_limits(limits)
{
    connect(&m_server, &QTcpServer::newConnection, this, &HttpServer::acceptConnections);
    m_hostNames = {"localhost", "localhost.localdomain"};
    const QByteArray own = QHostInfo::localHostName().toLower().toUtf8();
    if (!own.isEmpty())
        m_hostNames << own;
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
    refreshOwnNames();
    return true;
}

void HttpServer::close()
{
    m_server.close();
    for (HttpConnection *connection : findChildren<HttpConnection *>(Qt::FindDirectChildrenOnly))
        connection->flushAndClose();
}

void HttpServer::setAllowedHosts(const QStringList &names)
{
    for (const QString &name : names)
        m_hostNames << hostName(name.toUtf8());
}

void HttpServer::refreshOwnNames()
{
    m_ownAddresses = QNetworkInterface::allAddresses();
    m_ownAddresses << m_server.serverAddress();
    m_ownAge.start();
}

// A page of another site that resolves its name to this machine (DNS
// rebinding) still sends its own name: only ours are answered.
bool HttpServer::isAllowedHost(const QByteArray &host)
{
    const QByteArray name = hostName(host);
    if (m_hostNames.contains(name))
        return true;
    const QHostAddress address(QString::fromLatin1(name));
    if (address.isNull())
        return false;
    if (address.isLoopback() || m_ownAddresses.contains(address))
        return true;
    // Addresses come and go (DHCP, a VPN): look again, at most once a minute.
    if (m_ownAge.isValid() && m_ownAge.elapsed() < 60000)
        return false;
    refreshOwnNames();
    return m_ownAddresses.contains(address);
}

void HttpServer::noteBound(const QByteArray &kind, int status, const QHostAddress &peer, const QString &detail)
{
    emit boundReached(kind, status);
    LogState &state = m_logged[kind];
    if (state.last.isValid() && state.last.elapsed() < 1000) {
        ++state.unlogged;
        return;
    }
    const QString status_ = status ? QStringLiteral(" (%1)").arg(status) : QString();
    const QString more = state.unlogged ? QStringLiteral(", %1 more since the last line").arg(state.unlogged)
                                        : QString();
    const QString from = peer.isNull() ? QString() : QStringLiteral(" from ") + peer.toString();
    qCWarning(lcHttp, "%s%s%s: %s%s", kind.constData(), qPrintable(status_), qPrintable(from), qPrintable(detail),
              qPrintable(more));
    state.last.start();
    state.unlogged = 0;
}

void HttpServer::refuse(QTcpSocket *socket, const QByteArray &kind, const QString &text)
{
    noteBound(kind, 503, socket->peerAddress(), text);
    // Refused at once; it holds nothing afterwards.
    socket->write(serialize(HttpResponse::error(503, text), false));
    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState)
        socket->deleteLater();
    else
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
}

// Closes the newest idle connection (of this peer when it is at its limit):
// an idle keep-alive costs its client only a reconnect. Failing that, the
// one stalled longest (beyond stalledMs): a trickling client must not keep
// a prompt one out, and the newcomer, being the youngest, is the last to go.
bool HttpServer::makeRoom(const QByteArray &peer)
{
    const bool peerFull = m_perPeer.value(peer) >= m_limits.peerLimit();
    if (!peerFull && m_connections < m_limits.maxConnections)
        return true;
    const QList<HttpConnection *> connections = findChildren<HttpConnection *>(Qt::FindDirectChildrenOnly);
    HttpConnection *stalled = nullptr;
    qint64 longest = m_limits.stalledMs;
    for (auto it = connections.crbegin(); it != connections.crend(); ++it) {
        HttpConnection *connection = *it;
        if (peerFull && connection->peer() != peer)
            continue;
        if (connection->isIdle()) {
            noteBound("idle-closed", 0, QHostAddress(), QStringLiteral("an idle connection closed to make room"));
            connection->flushAndClose();
            return true;
        }
        if (const qint64 ms = connection->stalledFor(); ms >= longest) {
            longest = ms;
            stalled = connection;
        }
    }
    if (!stalled)
        return false;
    noteBound("stalled-closed", 0, QHostAddress(),
              QStringLiteral("a connection stalled for %1 s closed to make room").arg(longest / 1000.0));
    stalled->flushAndClose();
    return true;
}

void HttpServer::acceptConnections()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        const QByteArray peer = peerKey(socket->peerAddress());
        const bool peerFull = m_perPeer.value(peer) >= m_limits.peerLimit();
        if (!makeRoom(peer)) {
            if (peerFull)
                refuse(socket, "per-peer", QStringLiteral("too many connections from this address"));
            else
                refuse(socket, "full", QStringLiteral("too many connections"));
            continue;
        }
        new HttpConnection(*this, socket, peer);
    }
}

HttpConnection::HttpConnection(HttpServer &server, QTcpSocket *socket, const QByteArray &peer)
    : QObject(&server)
    , m_server(server)
    , m_socket(socket)
    , m_peer(peer)
    , m_parser(server.limits())
{
    ++m_server.m_connections;
    ++m_server.m_perPeer[m_peer];
    socket->setParent(this);
    // Beyond this Qt stops reading and the kernel holds the rest (and, when
    // its buffers fill, the client waits).
    socket->setReadBufferSize(server.limits().maxRequestBytes());
    connect(socket, &QTcpSocket::readyRead, this, &HttpConnection::pump);
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        if (m_phase == Phase::Idle)
            m_timer.start(); // a client taking its answers is not idle
        if (m_phase == Phase::Idle || m_phase == Phase::Answering)
            m_since.start();
        pump();
    });
    connect(socket, &QTcpSocket::disconnected, this, &HttpConnection::finish);
    connect(socket, &QTcpSocket::errorOccurred, this, &HttpConnection::finish);
    // An answer too large to hold (an export) goes out as the client takes it.
    connect(socket, &QTcpSocket::bytesWritten, this, &HttpConnection::pumpStream);
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &HttpConnection::timedOut);
    setPhase(Phase::Idle);
    QMetaObject::invokeMethod(this, &HttpConnection::pump, Qt::QueuedConnection);
}

HttpConnection::~HttpConnection()
{
    --m_server.m_connections;
    if (--m_server.m_perPeer[m_peer] <= 0)
        m_server.m_perPeer.remove(m_peer);
}

// A keep-alive between requests. A connection that has sent nothing yet is
// not idle but stalled: its first bytes may be on their way.
bool HttpConnection::isIdle() const
{
    return m_phase == Phase::Idle && m_sequence > 0 && !m_closing && !m_stream && m_socket && m_buffer.isEmpty()
        && m_socket->bytesToWrite() == 0;
}

qint64 HttpConnection::stalledFor() const
{
    if (!m_socket)
        return -1;
    const bool stuck = m_closing || m_phase == Phase::Head || m_phase == Phase::Body
        || (m_phase == Phase::Idle && (m_sequence == 0 || m_socket->bytesToWrite() > 0));
    return stuck ? m_since.elapsed() : -1;
}

// Reads and handles requests until one waits for its answer, the input runs
// dry, or the client stops taking answers. Reading stops in those states, so
// what the client sends beyond them stays in the kernel.
void HttpConnection::pump()
{
    if (m_pumping)
        return;
    m_pumping = true;
    while (!m_closing && !m_waiting && !m_stream && m_socket && !outputBacklogged()) {
        const qsizetype before = m_buffer.size();
        readAvailable();
        HttpRequest request;
        const HttpRequestParser::Status status = m_parser.parse(m_buffer, &request);
        if (status == HttpRequestParser::Status::Failed) {
            const int code = m_parser.failure().status;
            refuse(code == 431 ? "header-size" : code == 413 ? "body-size" : "malformed", m_parser.failure());
            break;
        }
        const bool done = status == HttpRequestParser::Status::Done;
        if (!m_headChecked && (done || m_parser.hasHead())) {
            if (const std::optional<HttpResponse> refusal = checkHead(done ? request : m_parser.head())) {
                refuse(refusal->status == 421 ? "host" : "malformed", *refusal);
                break;
            }
            m_headChecked = true;
            if (!done && m_parser.head().http11
                && m_parser.head().header("expect").compare("100-continue", Qt::CaseInsensitive) == 0)
                m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
        }
        if (done) {
            m_headChecked = false;
            dispatch(std::move(request));
            continue;
        }
        setPhase(m_buffer.isEmpty() ? Phase::Idle : m_parser.hasHead() ? Phase::Body : Phase::Head);
        if (m_buffer.size() == before || m_socket->bytesAvailable() == 0)
            break;
    }
    m_pumping = false;
}

void HttpConnection::readAvailable()
{
    const HttpLimits &limits = m_server.limits();
    const qsizetype bound = m_parser.hasHead()
        ? std::max(limits.maxRequestBytes(),
                   qsizetype(limits.maxHeaderBytes) + limits.bodyLimit(m_parser.head().method, m_parser.head().target))
        : limits.maxRequestBytes();
    const qsizetype room = bound - m_buffer.size();
    if (room <= 0 || m_socket->bytesAvailable() == 0)
        return;
    m_buffer += m_socket->read(room);
}

bool HttpConnection::outputBacklogged()
{
    const bool backlogged = m_socket->bytesToWrite() > m_server.limits().maxUnsentBytes;
    if (backlogged && !m_backlogNoted)
        m_server.noteBound("output-backlog", 0, m_socket->peerAddress(),
                           QStringLiteral("the client does not take its answers; reading paused"));
    m_backlogNoted = backlogged;
    return backlogged;
}

std::optional<HttpResponse> HttpConnection::checkHead(const HttpRequest &head)
{
    const int hosts = head.headerCount("host");
    if (hosts > 1 || (hosts == 0 && head.http11))
        return HttpResponse::error(400, QStringLiteral("an HTTP/1.1 request needs one Host header"));
    if (hosts == 1 && !m_server.isAllowedHost(head.header("host")))
        return HttpResponse::error(421, QStringLiteral("this server does not answer to that host name; "
                                                       "tavrod --allowed-host NAME adds one"));
    if (head.isWebSocketUpgrade()) {
        if (head.header("sec-websocket-version") != "13") {
            HttpResponse refusal = HttpResponse::error(400, QStringLiteral("WebSocket version 13 expected"));
            refusal.headers.append({QByteArray("Sec-WebSocket-Version"), QByteArray("13")});
            return refusal;
        }
        const auto key = QByteArray::fromBase64Encoding(head.header("sec-websocket-key"),
                                                        QByteArray::AbortOnBase64DecodingErrors);
        if (!key || key.decoded.size() != 16)
            return HttpResponse::error(400, QStringLiteral("missing or malformed Sec-WebSocket-Key"));
    }
    return std::nullopt;
}

void HttpConnection::dispatch(HttpRequest request)
{
    request.peer = m_socket->peerAddress();
    if (request.isWebSocketUpgrade()) {
        upgrade(request);
        return;
    }
    m_current = std::move(request);
    m_waiting = true;
    setPhase(Phase::Answering);
    m_clock.start();
    const quint64 sequence = ++m_sequence;
    if (m_server.m_handler)
        m_server.m_handler(m_current, HttpResponder(this, sequence));
    else
        answer(sequence, HttpResponse::error(404, QStringLiteral("no such resource")));
}

// Idle keep-alive: idleTimeoutMs. Headers: headerTimeoutMs from the first
// byte. Body: bodyTimeoutFor(its length) from the end of the headers. A
// request being answered is not timed.
void HttpConnection::setPhase(Phase phase)
{
    if (phase == m_phase)
        return;
    m_phase = phase;
    m_since.start();
    const HttpLimits &limits = m_server.limits();
    switch (phase) {
    case Phase::Idle: m_timer.start(limits.idleTimeoutMs); break;
    case Phase::Head: m_timer.start(limits.headerTimeoutMs); break;
    case Phase::Body: m_timer.start(int(std::min<qint64>(limits.bodyTimeoutFor(m_parser.bodyLength()), INT_MAX))); break;
    case Phase::Answering: m_timer.stop(); break;
    }
}

void HttpConnection::timedOut()
{
    if (m_closing || m_phase == Phase::Idle || !m_socket) {
        finish();
        return;
    }
    const HttpLimits &limits = m_server.limits();
    if (m_phase == Phase::Head) {
        refuse("header-timeout", HttpResponse::error(408, QStringLiteral("request headers not complete within %1 s")
                                                              .arg(limits.headerTimeoutMs / 1000.0)));
    } else if (m_phase == Phase::Body) {
        refuse("body-timeout",
               HttpResponse::error(408, QStringLiteral("request body of %1 bytes not complete within %2 s")
                                            .arg(m_parser.bodyLength())
                                            .arg(limits.bodyTimeoutFor(m_parser.bodyLength()) / 1000.0)));
    }
}

void HttpConnection::refuse(const QByteArray &kind, const HttpResponse &response)
{
    m_server.noteBound(kind, response.status, m_socket->peerAddress(),
                       QJsonDocument::fromJson(response.body).object().value(u"error").toString());
    m_current = HttpRequest(); // the refusal has its body, whatever the last request was
    write(response, false);
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
    if (!keepAlive)
        return;
    // Until the next request starts, a client that does not take this
    // answer is bounded by the idle time.
    setPhase(Phase::Idle);
    if (!m_pumping)
        QMetaObject::invokeMethod(this, &HttpConnection::pump, Qt::QueuedConnection);
}

void HttpConnection::write(const HttpResponse &response, bool keepAlive)
{
    m_socket->write(serialize(response, keepAlive, m_current.method != "HEAD"));
    if (response.stream && m_current.method != "HEAD") {
        // Not idle while it streams, but a client that stops taking the
        // pieces is dropped after the idle time, as one that stops reading.
        m_stream = response.stream;
        m_streamKeepAlive = keepAlive;
        setPhase(Phase::Idle);
        pumpStream();
        return;
    }
    if (!keepAlive) {
        m_closing = true;
        m_buffer.clear();
        m_socket->disconnectFromHost();
        // A client that never takes the answer is dropped after the idle time.
        m_phase = Phase::Idle;
        m_since.start();
        m_timer.start(m_server.limits().idleTimeoutMs);
    }
}

void HttpConnection::pumpStream()
{
    // Only as fast as the client reads: memory stays at the watermark.
    while (m_stream && m_socket && !m_closing && m_socket->bytesToWrite() < streamWatermark) {
        const QByteArray piece = m_stream();
        if (!piece.isEmpty()) {
            m_socket->write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
            continue;
        }
        m_stream = nullptr;
        m_socket->write("0\r\n\r\n");
        if (!m_streamKeepAlive) {
            m_closing = true;
            m_buffer.clear();
            m_socket->disconnectFromHost();
            m_since.start();
            m_timer.start(m_server.limits().idleTimeoutMs);
        } else {
            QMetaObject::invokeMethod(this, &HttpConnection::pump, Qt::QueuedConnection);
        }
    }
}

void HttpConnection::upgrade(const HttpRequest &request)
{
    m_current = request;
    if (m_server.m_upgradeCheck) {
        if (const std::optional<HttpResponse> refusal = m_server.m_upgradeCheck(request)) {
            write(*refusal, false);
            return;
        }
    }
    if (const std::optional<HttpResponse> refusal = ws::checkHandshake(request)) {
        write(*refusal, false);
        return;
    }
    // From here the socket speaks WebSocket; what followed the handshake is its first frames.
    QTcpSocket *socket = std::exchange(m_socket, nullptr);
    socket->disconnect(this);
    socket->setParent(nullptr);
    auto *webSocket = new WebSocket(socket, std::exchange(m_buffer, {}));
    webSocket->write(ws::handshakeAnswer(request));
    emit m_server.webSocketConnected(webSocket, request);
    if (!webSocket->parent())
        webSocket->abort(); // nobody took it
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
    m_timer.stop();
    deleteLater();
}

} // namespace tavrod
