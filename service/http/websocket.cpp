#include "websocket.h"

#include "logging.h"
#include "http_server.h"

#include <QCryptographicHash>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QTimer>

#include <sys/socket.h>

namespace tavrod {

namespace ws {

namespace {

// Read from the socket in pieces of this size, so that a flood of small
// frames is handled in bounded slices and Qt buffers no more than this.
constexpr qint64 readChunk = 64 * 1024;

bool isKnownOpcode(quint8 opcode)
{
    return opcode <= Binary || (opcode >= Close && opcode <= Pong);
}

} // namespace

QByteArray frame(Opcode opcode, QByteArrayView payload)
{
    const qsizetype size = payload.size();
    QByteArray out;
    out.reserve(size + 10);
    out.append(char(0x80 | opcode));
    if (size < 126) {
        out.append(char(size));
    } else if (size <= 0xFFFF) {
        out.append(char(126));
        out.append(char(size >> 8));
        out.append(char(size & 0xFF));
    } else {
        out.append(char(127));
        for (int shift = 56; shift >= 0; shift -= 8)
            out.append(char((quint64(size) >> shift) & 0xFF));
    }
    out.append(payload.data(), size);
    return out;
}

QByteArray closeFrame(quint16 code, const QString &reason)
{
    QByteArray payload;
    payload.append(char(code >> 8));
    payload.append(char(code & 0xFF));
    // A control frame carries at most 125 bytes; cut on a character boundary.
    QString text = reason;
    while (text.toUtf8().size() > 123)
        text.chop(1);
    payload.append(text.toUtf8());
    return frame(Close, payload);
}

std::optional<HttpResponse> checkHandshake(const HttpRequest &request)
{
    if (request.header("sec-websocket-version") != "13") {
        HttpResponse refusal = HttpResponse::error(426, QStringLiteral("only WebSocket version 13 is served"));
        refusal.headers.append({QByteArray("Sec-WebSocket-Version"), QByteArray("13")});
        return refusal;
    }
    // The key is 16 random bytes in base64.
    const QByteArray key = request.header("sec-websocket-key");
    const auto decoded = QByteArray::fromBase64Encoding(key, QByteArray::AbortOnBase64DecodingErrors);
    if (key.isEmpty() || !decoded || decoded.decoded.size() != 16)
        return HttpResponse::error(400, QStringLiteral("a WebSocket upgrade needs a valid Sec-WebSocket-Key"));
    return std::nullopt;
}

QByteArray handshakeAnswer(const HttpRequest &request)
{
    static const QByteArray guid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    const QByteArray accept =
        QCryptographicHash::hash(request.header("sec-websocket-key") + guid, QCryptographicHash::Sha1).toBase64();
    return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: "
        + accept + "\r\n\r\n";
}

FrameReader::Status FrameReader::fail(quint16 code, const QString &text)
{
    m_failureCode = code;
    m_failureText = text;
    return Status::Failed;
}

FrameReader::Status FrameReader::next(const QByteArray &buffer, qsizetype *offset, Frame *out)
{
    const qsizetype start = *offset;
    const qsizetype available = buffer.size() - start;
    if (available < 2)
        return Status::NeedMore;
    const auto *bytes = reinterpret_cast<const uchar *>(buffer.constData() + start);
    const bool fin = bytes[0] & 0x80;
    const quint8 opcode = bytes[0] & 0x0F;
    const bool masked = bytes[1] & 0x80;
    const bool control = opcode & 0x8;
    quint64 length = bytes[1] & 0x7F;

    if (bytes[0] & 0x70)
        return fail(ws::CloseProtocolError, QStringLiteral("reserved bits set"));
    if (!isKnownOpcode(opcode))
        return fail(ws::CloseProtocolError, QStringLiteral("unknown opcode %1").arg(opcode));
    if (!masked)
        return fail(ws::CloseProtocolError, QStringLiteral("a client's frames must be masked"));
    if (control && (!fin || length > 125))
        return fail(ws::CloseProtocolError, QStringLiteral("control frames are whole and at most 125 bytes"));
    if (!control && (opcode == Continuation) != m_inMessage)
        return fail(ws::CloseProtocolError, m_inMessage ? QStringLiteral("a new message inside a fragmented one")
                                                        : QStringLiteral("a continuation outside a message"));

    qsizetype header = 2;
    if (length == 126 || length == 127) {
        const int extra = length == 126 ? 2 : 8;
        if (available < 2 + extra)
            return Status::NeedMore;
        length = 0;
        for (int i = 0; i < extra; ++i)
            length = (length << 8) | bytes[2 + i];
        header += extra;
        if (length >> 63)
            return fail(ws::CloseProtocolError, QStringLiteral("frame length out of range"));
    }
    if (!control && length + quint64(m_messageSize) > quint64(m_maxMessage))
        return fail(ws::CloseTooBig, QStringLiteral("messages to the stream are at most %1 bytes").arg(m_maxMessage));
    header += 4; // the mask
    if (quint64(available) < quint64(header) + length)
        return Status::NeedMore;

    const uchar *mask = bytes + header - 4;
    QByteArray payload(buffer.constData() + start + header, qsizetype(length));
    for (qsizetype i = 0; i < payload.size(); ++i)
        payload[i] = char(uchar(payload[i]) ^ mask[i % 4]);
    if (!control) {
        m_inMessage = !fin;
        m_messageSize = fin ? 0 : m_messageSize + qint64(length);
    }
    out->opcode = Opcode(opcode);
    out->fin = fin;
    out->payload = std::move(payload);
    *offset = start + header + qsizetype(length);
    return Status::Ready;
}

} // namespace ws

WebSocket::WebSocket(QTcpSocket *socket, QByteArray pending, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_input(std::move(pending))
    , m_fd(int(socket->socketDescriptor()))
{
    m_clock.start();
    // An answer to an earlier request on this connection may still wait in Qt.
    m_queued = socket->bytesToWrite() > 0;
    socket->setParent(this);
    // Qt stops reading from the system while this much waits unread.
    socket->setReadBufferSize(ws::readChunk);
    connect(socket, &QTcpSocket::readyRead, this, &WebSocket::readFrames);
    connect(socket, &QTcpSocket::bytesWritten, this, [this] {
        m_queued = m_socket->bytesToWrite() > 0;
        emit bytesWritten();
    });
    connect(socket, &QTcpSocket::disconnected, this, &WebSocket::ended);
    connect(socket, &QTcpSocket::errorOccurred, this, &WebSocket::ended);
    if (!m_input.isEmpty() || socket->bytesAvailable() > 0)
        QMetaObject::invokeMethod(this, &WebSocket::readFrames, Qt::QueuedConnection);
}

WebSocket::~WebSocket() = default;

qint64 WebSocket::queuedBytes() const
{
    return m_socket->bytesToWrite();
}

void WebSocket::queue(const QByteArray &bytes)
{
    m_socket->write(bytes);
    m_queued = true;
}

qsizetype WebSocket::sendNow(const QByteArray &frame) const
{
    // No write notifier to arm and disarm per client and event. A refusal
    // is left to Qt's write, which reports it.
    const ssize_t n = ::send(m_fd, frame.constData(), size_t(frame.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    return n > 0 ? qsizetype(n) : 0;
}

bool WebSocket::writeRest(const QByteArray &frame, qsizetype sent)
{
    queue(sent == 0 ? frame : frame.mid(sent));
    if (m_socket->bytesToWrite() <= maxBacklog)
        return true;
    qCInfo(lcStream) << "closing a stream client whose unsent backlog passed" << maxBacklog << "bytes";
    emit overflowed();
    abort();
    return false;
}

void WebSocket::close(quint16 code, const QString &reason)
{
    if (!isOpen())
        return;
    queue(ws::closeFrame(code, reason));
    m_closeSent = true;
    // The client answers with its close frame; one that never does is cut off.
    QTimer::singleShot(closeTimeoutMs, this, &WebSocket::abort);
}

void WebSocket::abort()
{
    if (m_gone)
        return;
    m_socket->abort();
    ended();
}

void WebSocket::readFrames()
{
    while (!m_gone && !m_closeReceived) {
        if (m_input.size() < ws::readChunk)
            m_input += m_socket->read(ws::readChunk - m_input.size());
        qsizetype offset = 0;
        ws::FrameReader::Frame frame;
        ws::FrameReader::Status status;
        while (!m_gone && !m_closeReceived
               && (status = m_reader.next(m_input, &offset, &frame)) == ws::FrameReader::Status::Ready)
            handle(frame);
        if (m_gone || m_closeReceived)
            return;
        if (status == ws::FrameReader::Status::Failed) {
            qCInfo(lcStream) << "closing a stream client:" << m_reader.failureText();
            close(m_reader.failureCode(), m_reader.failureText());
            stopReading();
            return;
        }
        m_input.remove(0, offset);
        if (m_socket->bytesAvailable() == 0)
            return;
    }
}

void WebSocket::stopReading()
{
    // Nothing the client sends afterwards is read; the close frame goes out first.
    m_closeReceived = true;
    m_input.clear();
    disconnect(m_socket, &QTcpSocket::readyRead, this, &WebSocket::readFrames);
    m_socket->disconnectFromHost();
}

void WebSocket::handle(const ws::FrameReader::Frame &frame)
{
    switch (frame.opcode) {
    case ws::Ping:
        if (isOpen() && pingAllowed())
            write(ws::frame(ws::Pong, frame.payload));
        break;
    case ws::Close:
        if (frame.payload.size() == 1) {
            close(ws::CloseProtocolError, QStringLiteral("a close frame's code has two bytes"));
        } else if (!m_closeSent) {
            // Answered with the same code, then the connection ends.
            queue(frame.payload.isEmpty()
                                ? ws::frame(ws::Close, {})
                                : ws::closeFrame(quint16(uchar(frame.payload[0]) << 8 | uchar(frame.payload[1])), {}));
            m_closeSent = true;
            QTimer::singleShot(closeTimeoutMs, this, &WebSocket::abort);
        }
        stopReading();
        break;
    default:
        break; // the stream has no use for what a client says; pongs included
    }
}

bool WebSocket::pingAllowed()
{
    const qint64 now = m_clock.elapsed();
    if (now - m_pingWindowStart >= 1000) {
        m_pingWindowStart = now;
        m_pingsInWindow = 0;
    }
    return ++m_pingsInWindow <= maxPingsPerSecond;
}

void WebSocket::ended()
{
    if (m_gone)
        return;
    m_gone = true;
    m_socket->disconnect(this);
    emit disconnected();
    deleteLater();
}

} // namespace tavrod
