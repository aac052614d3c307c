// The HTTP server's bounds per connection, against hostile clients on
// 127.0.0.1 and ::1: input held while answers are not taken, time to send a
// request, connections per peer, the Host names answered, and requests that
// must get an answer (100 Continue, LF line ends, short bodies, raw UTF-8).
#include "http_server.h"
#include "options.h"

#include <QHostInfo>
#include <QJsonDocument>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QtTest>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tavrod;

namespace {

// The server and the requests it kept: "/wait" is answered only when told.
struct Server
{
    HttpServer http;
    QList<HttpResponder> waiting;
    int handled = 0;

    explicit Server(const HttpLimits &limits)
        : http(limits)
    {
        http.setHandler([this](const HttpRequest &request, HttpResponder responder) {
            ++handled;
            if (request.path == u"/wait")
                waiting.append(responder);
            else if (request.path == u"/big")
                responder.send(HttpResponse::json(200, {{"fill", QString(16 * 1024, u'x')}}));
            else
                responder.send(HttpResponse::json(200, {{"path", request.path}, {"body", QString(request.body)}}));
        });
        QString error;
        if (!http.listen(QHostAddress::Any, 0, &error))
            qWarning("listen: %s", qPrintable(error));
    }
    QList<HttpConnection *> connections() const { return http.findChildren<HttpConnection *>(); }
};

// Reads until the text appears or the time is up; what came.
QByteArray readUntil(QTcpSocket &socket, const QByteArray &text, int ms = 5000)
{
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    // The server runs in this thread: wait in the event loop.
    while (!got.contains(text) && clock.elapsed() < ms && socket.state() != QAbstractSocket::UnconnectedState) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
        got += socket.readAll();
    }
    return got + socket.readAll();
}

void connectTo(QTcpSocket &socket, const Server &server, const QHostAddress &address = QHostAddress::LocalHost)
{
    socket.connectToHost(address, server.http.port());
    QVERIFY(socket.waitForConnected(3000));
}

QByteArray get(const QByteArray &path, const QByteArray &host = "127.0.0.1")
{
    return "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

// A client socket that never reads, with a small receive buffer.
int rawClient(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0)
        qWarning("connect failed");
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

// Writes as much of data as the kernel takes while the server runs.
qsizetype pour(int fd, const QByteArray &data, int ms)
{
    qsizetype at = 0;
    QElapsedTimer clock;
    clock.start();
    while (at < data.size() && clock.elapsed() < ms) {
        const ssize_t n = ::write(fd, data.constData() + at, size_t(data.size() - at));
        if (n > 0)
            at += n;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return at;
}

void runFor(int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 20);
}

} // namespace

class TestHttpBounds : public QObject
{
    Q_OBJECT

private slots:
    void pipelinedInputStaysBoundedWhileAnswersWait()
    {
        const HttpLimits limits;
        Server server(limits);

        // 4000 pipelined requests of 16 KiB answers to a client that never reads.
        QByteArray pipelined;
        for (int i = 0; i < 4000; ++i)
            pipelined += get("/big");
        const int greedy = rawClient(server.http.port());
        pour(greedy, pipelined, 3000);
        runFor(300);
        QCOMPARE(server.connections().size(), 1);
        HttpConnection *connection = server.connections().first();
        QVERIFY(connection->bufferedInput() <= limits.maxRequestBytes());
        const auto *socket = connection->findChild<QTcpSocket *>();
        QVERIFY2(socket->bytesToWrite() <= limits.maxUnsentBytes + 20 * 1024,
                 QByteArray::number(socket->bytesToWrite()).constData());
        QVERIFY2(server.handled < 1000, QByteArray::number(server.handled).constData());
        ::close(greedy);
        runFor(100);

        // Behind a request that waits nothing more is read; once it is
        // answered the rest is served.
        QTcpSocket client;
        connectTo(client, server);
        client.write(get("/wait"));
        QByteArray behind;
        for (int i = 0; i < 2000; ++i)
            behind += get("/x" + QByteArray::number(i));
        client.write(behind);
        runFor(500);
        QCOMPARE(server.waiting.size(), 1);
        for (HttpConnection *c : server.connections())
            QVERIFY(c->bufferedInput() <= limits.maxRequestBytes());
        server.waiting.takeFirst().send(HttpResponse::json(200, {}));
        const QByteArray answers = readUntil(client, "\"/x1999\"", 10000);
        QCOMPARE(answers.count("HTTP/1.1 200 "), 2001);
    }

    void slowRequestsTimeOutAndPeersShareTheHouse()
    {
        HttpLimits limits;
        limits.headerTimeoutMs = 300;
        limits.bodyTimeoutMs = 300;
        limits.minBodyBytesPerSecond = 1000;
        limits.maxConnections = 4; // two per peer (half)
        Server server(limits);
        QSignalSpy bounds(&server.http, &HttpServer::boundReached);

        // A trickle of header bytes does not hold the connection.
        QTcpSocket slow;
        connectTo(slow, server);
        QElapsedTimer clock;
        clock.start();
        QByteArray got;
        for (const char c : QByteArray("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Trickle: abcdefghijklmnopqrstuvwxyz")) {
            slow.write(&c, 1);
            got += readUntil(slow, "HTTP/1.1", 100);
            if (!got.isEmpty())
                break;
        }
        QVERIFY2(got.startsWith("HTTP/1.1 408 ") && got.contains("{\"error\""), got.constData());
        QVERIFY(clock.elapsed() < 2500);

        // A request that waits on its handler is not timed.
        QTcpSocket patient;
        connectTo(patient, server);
        patient.write(get("/wait"));
        runFor(800);
        QCOMPARE(server.waiting.size(), 1);
        server.waiting.takeFirst().send(HttpResponse::json(200, {}));
        QVERIFY(readUntil(patient, "{}").startsWith("HTTP/1.1 200 "));

        // At the peer's limit its newest idle connection makes room; when
        // none is idle the newcomer is refused.
        QTcpSocket busy;
        connectTo(busy, server);
        busy.write(get("/"));
        QVERIFY(readUntil(busy, "}").startsWith("HTTP/1.1 200 "));
        QCOMPARE(server.http.connectionCount(), 2);
        QTcpSocket newcomer;
        connectTo(newcomer, server);
        QTRY_COMPARE(server.http.connectionCount(), 2);
        QTRY_COMPARE(busy.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(patient.state(), QAbstractSocket::ConnectedState);
        patient.write(get("/wait"));
        newcomer.write(get("/wait"));
        QTRY_COMPARE(server.waiting.size(), 2);
        QTcpSocket refused;
        connectTo(refused, server);
        QVERIFY(readUntil(refused, "}").startsWith("HTTP/1.1 503 "));
        // Another peer (::1) still gets in.
        QTcpSocket other;
        connectTo(other, server, QHostAddress::LocalHostIPv6);
        other.write(get("/", "[::1]"));
        QVERIFY(readUntil(other, "}").startsWith("HTTP/1.1 200 "));

        // A request stuck in its headers gives way to a newcomer.
        HttpLimits one;
        one.maxConnections = 2;
        one.stalledMs = 100;
        Server small(one);
        QTcpSocket trickler;
        connectTo(trickler, small);
        trickler.write("GET / HTTP/1.1\r\n");
        runFor(300);
        QTcpSocket prompt;
        connectTo(prompt, small);
        prompt.write(get("/"));
        QVERIFY(readUntil(prompt, "}").startsWith("HTTP/1.1 200 "));
        QTRY_COMPARE(trickler.state(), QAbstractSocket::UnconnectedState);

        bool counted408 = false;
        for (const QList<QVariant> &bound : bounds)
            counted408 |= bound.at(1).toInt() == 408;
        QVERIFY(counted408);
    }

    void eachHeaderByteIsScannedOnce()
    {
        HttpRequestParser parser{HttpLimits{}};
        HttpRequest out;
        QByteArray buffer = "POST /api/call HTTP/1.1\r\nHost: 127.0.0.1\r\nX: " + QByteArray(15000, 'a')
            + "\r\nContent-Length: 2000\r\n";
        // Head one byte at a time, then the body one byte at a time.
        QByteArray rest = "\r\n" + QByteArray(2000, 'b');
        const qsizetype total = buffer.size() + rest.size();
        QCOMPARE(parser.parse(buffer, &out), HttpRequestParser::Status::NeedMore);
        for (char c : rest) {
            buffer.append(c);
            const auto status = parser.parse(buffer, &out);
            QVERIFY(status != HttpRequestParser::Status::Failed);
        }
        QCOMPARE(out.body.size(), 2000);
        QVERIFY(buffer.isEmpty());
        QVERIFY2(parser.bytesScanned() <= total, QByteArray::number(parser.bytesScanned()).constData());
    }

    void answersOnlyItsOwnHostNames()
    {
        Server server(HttpLimits{});
        server.http.setAllowedHosts({"Shop.lan"});
        QSignalSpy bounds(&server.http, &HttpServer::boundReached);
        const struct {
            QByteArray request;
            QByteArray status;
        } cases[] = {
            {get("/", "evil.example"), "421"},
            {get("/", "evil.example:8080"), "421"},
            {get("/", "127.0.0.1.evil.example"), "421"},
            {"GET / HTTP/1.1\r\n\r\n", "400"},
            {"GET / HTTP/1.1\r\nHost: localhost\r\nHost: evil.example\r\n\r\n", "400"},
            {"GET / HTTP/1.0\r\n\r\n", "200"},
            {get("/", "localhost:8080"), "200"},
            {get("/", "127.0.0.2"), "200"},
            {get("/", "[::1]:80"), "200"},
            {get("/", "shop.LAN:8080"), "200"},
            {get("/", QHostInfo::localHostName().toUtf8()), "200"},
            // A WebSocket upgrade without its key or with another version.
            {"GET /s HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
             "Sec-WebSocket-Version: 13\r\n\r\n", "400"},
            {"GET /s HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 8\r\n\r\n", "400"},
        };
        for (const auto &c : cases) {
            QTcpSocket client;
            connectTo(client, server);
            client.write(c.request);
            const QByteArray answer = readUntil(client, "}");
            QVERIFY2(answer.startsWith("HTTP/1.1 " + c.status + ' ') && answer.contains("{\""), c.request.constData());
        }
        QCOMPARE(bounds.count(), 7);
        QCOMPARE(bounds.first().at(1).toInt(), 421);

        Options options;
        QString message;
        QCOMPARE(parseOptions({"tavrod", "--allowed-host", "a.lan", "--allowed-host", "b.lan",
                               "--max-connections-per-peer", "7"}, &options, &message),
                 ParseResult::Run);
        QCOMPARE(options.allowedHosts, QStringList({"a.lan", "b.lan"}));
        QCOMPARE(options.maxConnectionsPerPeer, 7);
    }

    void everyRequestGetsAnAnswer()
    {
        HttpLimits limits;
        limits.bodyTimeoutMs = 300;
        Server server(limits);

        // 100 Continue as soon as the head is accepted, then the answer.
        QTcpSocket expecting;
        connectTo(expecting, server);
        expecting.write("POST /e HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\nContent-Length: 5\r\n\r\n");
        QCOMPARE(readUntil(expecting, "\r\n\r\n", 3000), QByteArray("HTTP/1.1 100 Continue\r\n\r\n"));
        expecting.write("hello");
        QVERIFY(readUntil(expecting, "}").contains("\"body\":\"hello\""));

        // LF alone ends lines.
        QTcpSocket bare;
        connectTo(bare, server);
        bare.write("POST /lf HTTP/1.1\nHost: 127.0.0.1\nContent-Length: 2\n\nok");
        const QByteArray answer = readUntil(bare, "}");
        QVERIFY2(answer.startsWith("HTTP/1.1 200 ") && answer.contains("\"path\":\"/lf\""), answer.constData());

        // A body shorter than announced: 408 when its time is up.
        QTcpSocket shortBody;
        connectTo(shortBody, server);
        shortBody.write("POST /s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10\r\n\r\nabc");
        const QByteArray timedOut = readUntil(shortBody, "}", 5000);
        QVERIFY2(timedOut.startsWith("HTTP/1.1 408 ") && timedOut.contains("{\"error\""), timedOut.constData());
    }

    void rawUtf8InTheTargetIsRead()
    {
        HttpRequestParser parser{HttpLimits{}};
        HttpRequest out;
        // What curl sends for the README's example.
        QByteArray raw = "GET /api/calls?q=길동&limit=20 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
                         "GET /이름 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        QCOMPARE(parser.parse(raw, &out), HttpRequestParser::Status::Done);
        QCOMPARE(out.path, QStringLiteral("/api/calls"));
        QCOMPARE(out.query.queryItemValue("q", QUrl::FullyDecoded), QStringLiteral("길동"));
        QCOMPARE(out.query.queryItemValue("limit", QUrl::FullyDecoded), QStringLiteral("20"));
        QCOMPARE(parser.parse(raw, &out), HttpRequestParser::Status::Done);
        QCOMPARE(out.path, QStringLiteral("/이름"));
        for (const QByteArray bad : {"GET /a\tb HTTP/1.1\r\n\r\n", "GET /a\x7f HTTP/1.1\r\n\r\n", "GET a HTTP/1.1\r\n\r\n"}) {
            QByteArray input = bad;
            HttpRequestParser fresh{HttpLimits{}};
            QCOMPARE(fresh.parse(input, &out), HttpRequestParser::Status::Failed);
            QCOMPARE(fresh.failure().status, 400);
        }
    }
};

QTEST_GUILESS_MAIN(TestHttpBounds)
#include "tst_http_bounds.moc"
