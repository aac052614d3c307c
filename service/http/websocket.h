// The server side of a WebSocket (RFC 6455) on a socket the HTTP server has
// upgraded: the handshake's answer, unmasked server frames, and a strict
// reader of the client's frames. The stream frames each event once and
// writes the same bytes to every client, so no client costs a conversion.
//
// Bounds: a client's data messages are refused beyond maxIncoming (1009),
// broken frames close it with 1002, pings beyond maxPingsPerSecond are not
// answered, and an unsent backlog past maxBacklog (whatever filled it:
// events or pongs) ends the connection at once.
#ifndef TAVROD_WEBSOCKET_H
#define TAVROD_WEBSOCKET_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <optional>

class QTcpSocket;

namespace tavrod {

struct HttpRequest;
struct HttpResponse;

namespace ws {

enum Opcode : quint8 { Continuation = 0x0, Text = 0x1, Binary = 0x2, Close = 0x8, Ping = 0x9, Pong = 0xA };

enum CloseCode : quint16 {
    CloseNormal = 1000,
    CloseGoingAway = 1001,
    CloseProtocolError = 1002,
    CloseAbnormal = 1006, // never sent: a peer that left without a close frame
    ClosePolicyViolated = 1008,
    CloseTooBig = 1009,
    CloseInternalError = 1011,
    CloseSessionEnded = 4401, // the dashboard session or token it came with is no longer valid
};

// One whole, unmasked server frame.
QByteArray frame(Opcode opcode, QByteArrayView payload);
QByteArray closeFrame(quint16 code, const QString &reason);

// nullopt when the upgrade request is a valid RFC 6455 handshake, else the
// answer that refuses it (400, or 426 for another protocol version).
std::optional<HttpResponse> checkHandshake(const HttpRequest &request);
// The 101 answer to a checked handshake.
QByteArray handshakeAnswer(const HttpRequest &request);

// Reads the client's frames from the front of a buffer, by the rules of
// RFC 6455 for a server: masked, no reserved bits, known opcodes, control
// frames whole and short, continuations only inside a message.
class FrameReader
{
public:
    struct Frame
    {
        Opcode opcode = Text;
        bool fin = true;
        QByteArray payload; // unmasked
    };
    enum class Status { NeedMore, Ready, Failed };

    explicit FrameReader(qint64 maxMessage) : m_maxMessage(maxMessage) {}

    // Reads the frame at *offset and moves *offset past it when Ready.
    Status next(const QByteArray &buffer, qsizetype *offset, Frame *frame);
    quint16 failureCode() const { return m_failureCode; }
    const QString &failureText() const { return m_failureText; }

private:
    Status fail(quint16 code, const QString &text);

    qint64 m_maxMessage;
    bool m_inMessage = false;
    qint64 m_messageSize = 0;
    quint16 m_failureCode = 0;
    QString m_failureText;
};

} // namespace ws

// One upgraded connection. Deletes itself once the connection has ended
// (disconnected() is emitted first), whoever ended it.
class WebSocket : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 maxBacklog = 1 << 20;
    static constexpr qint64 maxIncoming = 4096;
    static constexpr int maxPingsPerSecond = 10;
    static constexpr int closeTimeoutMs = 2000;

    // Takes the socket over, with the bytes that followed the handshake.
    WebSocket(QTcpSocket *socket, QByteArray pending, QObject *parent = nullptr);
    ~WebSocket() override;

    // Writes one frame made by ws::frame (or the handshake's answer). False when the connection is
    // closing or gone, or when this write passed maxBacklog (then it is
    // aborted: overflowed() and disconnected() have been emitted).
    // While Qt holds nothing unsent, the bytes go straight to the system:
    // a fan-out touches this object and the kernel, nothing else.
    bool write(const QByteArray &frame)
    {
        if (!m_queued && isOpen()) {
            const qsizetype sent = sendNow(frame);
            if (sent == frame.size())
                return true;
            return writeRest(frame, sent);
        }
        return isOpen() && writeRest(frame, 0);
    }
    qint64 bytesToWrite() const { return m_queued ? queuedBytes() : 0; }
    // Brings what write() and bytesToWrite() look at into the cache, ahead
    // of a write that follows other clients' sends.
    void prefetchForWrite() const { __builtin_prefetch(&m_fd); }
    bool isOpen() const { return !m_closeSent && !m_gone; }

    // Sends a close frame; the connection ends when the client answers it,
    // or after closeTimeoutMs.
    void close(quint16 code, const QString &reason);
    void abort();

Q_SIGNALS:
    void bytesWritten();
    void overflowed();
    void disconnected();

private:
    qsizetype sendNow(const QByteArray &frame) const;
    bool writeRest(const QByteArray &frame, qsizetype sent);
    qint64 queuedBytes() const;
    void queue(const QByteArray &bytes);
    void readFrames();
    void handle(const ws::FrameReader::Frame &frame);
    bool pingAllowed();
    void stopReading();
    void ended();

    QTcpSocket *m_socket;
    QByteArray m_input;
    ws::FrameReader m_reader{maxIncoming};
    QElapsedTimer m_clock;
    qint64 m_pingWindowStart = 0;
    int m_pingsInWindow = 0;
    // What a write looks at, together on one cache line.
    int m_fd; // the socket's descriptor, asked once
    bool m_queued = false; // Qt may hold unsent bytes of this socket
    bool m_closeSent = false;
    bool m_closeReceived = false; // or the client broke the rules: nothing more is read
    bool m_gone = false;
};

} // namespace tavrod

#endif
