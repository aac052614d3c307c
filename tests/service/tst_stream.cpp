// The stream's own WebSocket server: the handshake, the rules for a
// client's frames, the bounds on what a client can make it send, streams
// that end with their session, and the after= cursor. The clients here are
// raw sockets, so that they can break the rules a library client keeps.
#include "event_log.h"
#include "http_server.h"
#include "metrics.h"
#include "service.h"
#include "stream.h"
#include "wait_until.h"
#include "websocket.h"

#include <QFile>
#include <QJsonDocument>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using namespace tavrod;

namespace {

class MemoryStore : public EventStore
{
public:
    QList<EventRecord> rows;
    bool open(QString *) override { return true; }
    void close() override {}
    bool append(const QList<EventRecord> &events, QString *) override
    {
        rows += events;
        return true;
    }
    qint64 lastId() override { return rows.isEmpty() ? 0 : rows.last().id; }
    bool eventsAfter(qint64 after, int limit, QList<QByteArray> *out, QString *) override
    {
        for (const EventRecord &row : rows) {
            if (row.id > after && out->size() < limit)
                out->append(row.json);
        }
        return true;
    }
    bool findCalls(const CallQuery &, CallPage *, QString *) override { return true; }
};

struct Frame
{
    quint8 opcode = 0;
    QByteArray payload;
    quint16 closeCode() const { return quint16(uchar(payload[0]) << 8 | uchar(payload[1])); }
};

// A client on a bare socket: sends any frame, masked or not, and reads the
// server's frames as they are.
class RawClient
{
public:
    // The status line and headers of the answer to the upgrade.
    QByteArray open(quint16 port, const QByteArray &target, const QList<QByteArray> &headers = {},
                    const QByteArray &key = "dGhlIHNhbXBsZSBub25jZQ==")
    {
        socket.connectToHost(QHostAddress::LocalHost, port);
        QByteArray request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                             "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n";
        if (!key.isEmpty())
            request += "Sec-WebSocket-Key: " + key + "\r\n";
        for (const QByteArray &header : headers)
            request += header + "\r\n";
        socket.write(request + "\r\n");
        waitUntil([&] { return input().contains("\r\n\r\n") || socket.state() == QAbstractSocket::UnconnectedState; });
        const qsizetype end = m_input.indexOf("\r\n\r\n");
        const QByteArray head = m_input.left(end);
        m_input.remove(0, end < 0 ? m_input.size() : end + 4);
        return head;
    }

    void send(quint8 firstByte, const QByteArray &payload, bool masked = true)
    {
        QByteArray out(1, char(firstByte));
        const char maskBit = masked ? char(0x80) : char(0);
        if (payload.size() < 126) {
            out += char(maskBit | char(payload.size()));
        } else {
            out += char(maskBit | 126);
            out += char(payload.size() >> 8);
            out += char(payload.size() & 0xFF);
        }
        QByteArray body = payload;
        if (masked) {
            const char mask[4] = {0x12, 0x34, 0x56, 0x78};
            out.append(mask, 4);
            for (qsizetype i = 0; i < body.size(); ++i)
                body[i] = char(body[i] ^ mask[i % 4]);
        }
        socket.write(out + body);
    }

    // The frames that arrived whole so far.
    QList<Frame> frames()
    {
        input();
        QList<Frame> out;
        while (m_input.size() >= 2) {
            qsizetype length = m_input[1] & 0x7F, header = 2;
            if (length == 126) {
                length = qsizetype(uchar(m_input[2])) << 8 | uchar(m_input[3]);
                header = 4;
            }
            if (m_input.size() < header + length)
                break;
            out.append({quint8(m_input[0] & 0x0F), m_input.mid(header, length)});
            m_input.remove(0, header + length);
        }
        m_received += out;
        return out;
    }

    // Waits for the server's close frame and then for the end of the connection.
    std::optional<quint16> closeCode()
    {
        waitUntil([&] {
            frames();
            return socket.state() == QAbstractSocket::UnconnectedState;
        });
        for (const Frame &frame : std::as_const(m_received)) {
            if (frame.opcode == ws::Close && frame.payload.size() >= 2)
                return frame.closeCode();
        }
        return std::nullopt;
    }

    QList<QJsonObject> messages()
    {
        frames();
        QList<QJsonObject> out;
        for (const Frame &frame : std::as_const(m_received)) {
            if (frame.opcode == ws::Text)
                out.append(QJsonDocument::fromJson(frame.payload).object());
        }
        return out;
    }

    QTcpSocket socket;

private:
    const QByteArray &input()
    {
        m_input += socket.readAll();
        return m_input;
    }
    QByteArray m_input;
    QList<Frame> m_received;
};

// The stream and an HTTP server that lets every upgrade through, over a store in memory.
struct StreamRig
{
    MemoryStore store;
    EventLog log{store, QStringLiteral("A")};
    Metrics metrics;
    StreamHub hub{log, metrics, 100};
    HttpServer server{HttpLimits{}};

    StreamRig()
    {
        QString error;
        server.listen(QHostAddress::LocalHost, 0, &error);
        server.setUpgradeCheck([](const HttpRequest &) { return std::optional<HttpResponse>(); });
        QObject::connect(&server, &HttpServer::webSocketConnected, &hub, &StreamHub::accept);
        QObject::connect(&log, &EventLog::published, &hub, &StreamHub::publish);
    }
    void record(int count)
    {
        for (int i = 0; i < count; ++i)
            log.record({{"event", "HookEvent"}, {"portName", "COM1"}, {"eventType", true}});
    }
};

} // namespace

class tst_stream : public QObject
{
    Q_OBJECT

private slots:
    void handshakeIsCheckedAndAnswered()
    {
        StreamRig rig;
        RawClient good;
        const QByteArray head = good.open(rig.server.port(), "/api/stream");
        QVERIFY2(head.startsWith("HTTP/1.1 101 "), head.constData());
        // The accept value of RFC 6455's own example key.
        QVERIFY(head.contains("\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo="));
        QTRY_COMPARE(rig.hub.clientCount(), 1);

        RawClient noKey;
        QVERIFY(noKey.open(rig.server.port(), "/api/stream", {}, QByteArray()).startsWith("HTTP/1.1 400 "));
        RawClient shortKey;
        QVERIFY(shortKey.open(rig.server.port(), "/api/stream", {}, "c2hvcnQ=").startsWith("HTTP/1.1 400 "));
        QCOMPARE(rig.hub.clientCount(), 1);
    }

    void brokenOrOversizedClientFramesCloseTheClient()
    {
        const struct {
            const char *what;
            quint8 firstByte;
            QByteArray payload;
            bool masked;
            quint16 code;
        } cases[] = {
            {"unmasked text", 0x81, "hello", false, ws::CloseProtocolError},
            {"reserved bit", 0xC1, "hello", true, ws::CloseProtocolError},
            {"unknown opcode", 0x83, "hello", true, ws::CloseProtocolError},
            {"fragmented ping", 0x09, "hello", true, ws::CloseProtocolError},
            {"long ping", 0x89, QByteArray(126, 'p'), true, ws::CloseProtocolError},
            {"lone continuation", 0x80, "hello", true, ws::CloseProtocolError},
            {"close code cut in half", 0x88, "\x03", true, ws::CloseProtocolError},
            {"large text", 0x81, QByteArray(5000, 'x'), true, ws::CloseTooBig},
            {"large message in pieces", 0x01, QByteArray(3000, 'x'), true, ws::CloseTooBig},
        };
        StreamRig rig;
        for (const auto &c : cases) {
            RawClient client;
            QVERIFY(client.open(rig.server.port(), "/api/stream").startsWith("HTTP/1.1 101 "));
            client.send(c.firstByte, c.payload, c.masked);
            if (c.firstByte == 0x01)
                client.send(0x80, c.payload); // the second piece passes the bound
            QCOMPARE(client.closeCode(), std::optional<quint16>(c.code));
        }
        QTRY_COMPARE(rig.hub.clientCount(), 0);

        // Within the rules: a small message is ignored, a close is answered with its code.
        RawClient polite;
        polite.open(rig.server.port(), "/api/stream");
        polite.send(0x81, "hello");
        polite.send(0x88, QByteArray("\x03\xe8", 2));
        QCOMPARE(polite.closeCode(), std::optional<quint16>(ws::CloseNormal));
    }

    void aClientCannotMakeTheStreamHoldMoreThanItsBound()
    {
        StreamRig rig;
        // A ping flood from a client that never reads: at most ten a second are answered.
        RawClient flooder;
        flooder.open(rig.server.port(), "/api/stream");
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 5000; ++i)
            flooder.send(0x89, QByteArray(125, 'p'));
        QTest::qWait(300);
        QTRY_VERIFY(flooder.socket.bytesToWrite() == 0);
        QTest::qWait(100);
        int pongs = 0;
        for (const Frame &frame : flooder.frames())
            pongs += frame.opcode == ws::Pong ? 1 : 0;
        QVERIFY(pongs >= 1);
        QVERIFY2(pongs <= WebSocket::maxPingsPerSecond * (1 + int(clock.elapsed() / 1000)),
                 qPrintable(QString::number(pongs)));
        QCOMPARE(rig.hub.clientCount(), 1);

        // Whatever fills a backlog, past the bound the connection ends.
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        QTcpSocket reader; // never reads
        reader.setReadBufferSize(1);
        reader.connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QTRY_VERIFY(listener.hasPendingConnections());
        auto *socket = new WebSocket(listener.nextPendingConnection(), {});
        QSignalSpy overflowed(socket, &WebSocket::overflowed);
        QSignalSpy disconnected(socket, &WebSocket::disconnected);
        const QByteArray frame = ws::frame(ws::Binary, QByteArray(64 * 1024, 'x'));
        qint64 peak = 0;
        int writes = 0;
        while (writes < 1000 && socket->write(frame)) {
            peak = std::max(peak, socket->bytesToWrite());
            ++writes;
        }
        QVERIFY(writes < 1000);
        QVERIFY(peak <= WebSocket::maxBacklog);
        QCOMPARE(overflowed.size(), 1);
        QCOMPARE(disconnected.size(), 1);
    }

    void framesStayWholeAndInOrderWhenTheSystemIsFull()
    {
        // The first frames go straight to the system; once it takes only
        // part of one, the rest and every later one wait in Qt behind it,
        // even after the client has made room in the system again.
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        QTcpSocket reader;
        QByteArray received;
        connect(&reader, &QTcpSocket::readyRead, this, [&] { received += reader.readAll(); });
        reader.connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QTRY_VERIFY(listener.hasPendingConnections());
        auto *socket = new WebSocket(listener.nextPendingConnection(), {});
        QByteArray sent;
        auto writeNext = [&, i = 0]() mutable {
            const QByteArray frame =
                ws::frame(ws::Text, QByteArray::number(i) + QByteArray(4000 + i % 97, char('a' + i % 26)));
            ++i;
            sent += frame;
            return socket->write(frame);
        };
        for (int i = 0; i < 20000 && socket->bytesToWrite() == 0; ++i)
            QVERIFY(writeNext());
        QVERIFY(socket->bytesToWrite() > 0);
        // The client reads without this loop running: nothing queued moves.
        while (reader.waitForReadyRead(100)) {
        }
        for (int i = 0; i < 20; ++i)
            QVERIFY(writeNext());
        socket->close(ws::CloseNormal, QStringLiteral("bye"));
        sent += ws::closeFrame(ws::CloseNormal, QStringLiteral("bye"));
        QVERIFY(!socket->write(ws::frame(ws::Text, "after the close")));
        QVERIFY(waitUntil([&] { return received.size() >= sent.size(); }, 20000));
        QCOMPARE(received.size(), sent.size());
        QVERIFY(received == sent);
    }

    void streamsEndWithTheirSession()
    {
        StreamRig rig;
        RawClient first, second, other, bearer;
        first.open(rig.server.port(), "/api/stream", {"Cookie: tavro_session=AAA"});
        second.open(rig.server.port(), "/api/stream", {"Cookie: theme=dark; tavro_session=AAA"});
        other.open(rig.server.port(), "/api/stream", {"Cookie: tavro_session=BBB"});
        // The token let this one in; the cookie riding along does not bind it.
        bearer.open(rig.server.port(), "/api/stream", {"Authorization: Bearer t", "Cookie: tavro_session=AAA"});
        QTRY_COMPARE(rig.hub.clientCount(), 4);

        rig.hub.closeSession("AAA");
        QCOMPARE(rig.hub.clientCount(), 2); // at once: no event reaches them any more
        QCOMPARE(first.closeCode(), std::optional<quint16>(ws::CloseSessionEnded));
        QCOMPARE(second.closeCode(), std::optional<quint16>(ws::CloseSessionEnded));
        rig.record(1);
        QTRY_COMPARE(other.messages().size(), 1);
        QTRY_COMPARE(bearer.messages().size(), 1);
        QVERIFY(first.messages().isEmpty());
    }

    void cursorBeyondTheNewestIdIsClampedAndSaid()
    {
        StreamRig rig;
        rig.record(3);
        RawClient client;
        client.open(rig.server.port(), "/api/stream?after=100");
        QTRY_COMPARE(client.messages().size(), 1);
        QCOMPARE(client.messages().first(), (QJsonObject{{"event", "StreamNotice"},
                                                         {"notice", "cursor-clamped"},
                                                         {"requested", 100},
                                                         {"lastId", 3}}));
        rig.record(1);
        QTRY_COMPARE(client.messages().size(), 2);
        QCOMPARE(client.messages().last().value("id").toInteger(), 4);

        RawClient replay; // a cursor in range replays without a notice
        replay.open(rig.server.port(), "/api/stream?after=2");
        QTRY_COMPARE(replay.messages().size(), 2);
        QCOMPARE(replay.messages().first().value("id").toInteger(), 3);
    }

    void malformedCursorIsRefusedOnBothEndpoints()
    {
        QTemporaryDir dir;
        Options options;
        options.listenPort = 0;
        options.dbPath = dir.filePath(QStringLiteral("events.sqlite"));
        options.tokenFile = dir.filePath(QStringLiteral("token"));
        Service service(options);
        QString error;
        QVERIFY2(service.start(&error), qPrintable(error));
        QFile tokenFile(options.tokenFile);
        QVERIFY(tokenFile.open(QIODevice::ReadOnly));
        const QByteArray bearer = "Authorization: Bearer " + tokenFile.readLine().trimmed();

        for (const QByteArray cursor : {"abc", "-1", "1x", ""}) {
            RawClient stream;
            const QByteArray head = stream.open(service.port(), "/api/stream?after=" + cursor, {bearer});
            QVERIFY2(head.startsWith("HTTP/1.1 400 "), cursor.constData());
            RawClient events; // a plain GET on the same kind of socket
            events.socket.connectToHost(QHostAddress::LocalHost, service.port());
            events.socket.write("GET /api/events?after=" + cursor + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + bearer
                                + "\r\nConnection: close\r\n\r\n");
            QByteArray answer;
            waitUntil([&] {
                answer += events.socket.readAll();
                return answer.contains("\r\n\r\n");
            });
            QVERIFY2(answer.startsWith("HTTP/1.1 400 "), cursor.constData());
        }
        RawClient fine;
        QVERIFY(fine.open(service.port(), "/api/stream?after=0", {bearer}).startsWith("HTTP/1.1 101 "));
    }
};

QTEST_GUILESS_MAIN(tst_stream)
#include "tst_stream.moc"
