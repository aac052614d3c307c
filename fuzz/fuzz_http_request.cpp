// libFuzzer target: arbitrary bytes as what a client sends to tavrod, cut
// into pieces, first through the request parser (then the token and Origin
// checks on every request it accepts), then through a real connection of
// the HTTP server on 127.0.0.1: pipelined, cut where the input says, by a
// client that may never read its answers, with requests that may wait.
//
// Input layout: byte 0 the piece size (1..256), byte 1 the client's manners
// (bit 0: never reads, bit 1: "/wait" requests are answered only at the
// end), the rest the client's bytes.
// Promises checked (a broken one aborts): a parsed request consumed input,
// its body is within the bound and as long as it says, a refusal is a 4xx/5xx
// with a JSON error, nothing is read past the input, and a connection never
// holds more than one request's bytes of input nor much more than its bound
// of unsent answers.
#include "access.h"
#include "http_server.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QTcpSocket>

#include <sys/socket.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace tavrod;

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant violated: %s\n", what);
        std::abort();
    }
}

void parseAlone(const uint8_t *data, size_t size, size_t piece)
{
    const HttpLimits limits;
    HttpRequestParser parser(limits);
    const Access access("token");
    QByteArray buffer;
    for (size_t at = 0; at < size; at += piece) {
        buffer.append(reinterpret_cast<const char *>(data + at), qsizetype(std::min(piece, size - at)));
        for (;;) {
            HttpRequest request;
            const qsizetype before = buffer.size();
            const auto status = parser.parse(buffer, &request);
            if (status == HttpRequestParser::Status::NeedMore)
                break;
            if (status == HttpRequestParser::Status::Failed) {
                const HttpResponse &failure = parser.failure();
                require(failure.status >= 400 && failure.status < 600, "refusal status");
                require(QJsonDocument::fromJson(failure.body).object().contains("error"), "refusal body");
                return;
            }
            require(buffer.size() < before, "a request consumed input");
            require(request.body.size() <= limits.maxBodyBytes, "body bound");
            require(request.path.startsWith(u'/') || request.path.isEmpty(), "path");
            (void)access.authorized(request);
            (void)Access::sameOrigin(request);
            (void)request.isWebSocketUpgrade();
        }
    }
}

// Small bounds, so that short inputs reach them.
HttpLimits connectionLimits()
{
    HttpLimits limits;
    limits.maxHeaderBytes = 1024;
    limits.maxBodyBytes = 2048;
    limits.maxUnsentBytes = 4096;
    return limits;
}

struct Rig
{
    HttpServer server {connectionLimits()};
    QList<HttpResponder> held;
    bool holding = false;

    Rig()
    {
        server.setHandler([this](const HttpRequest &request, HttpResponder responder) {
            if (holding && request.path == u"/wait")
                held.append(responder);
            else
                responder.send(HttpResponse::json(200, {{"fill", QString(int(request.target.size()) * 64, u'x')}}));
        });
        QString error;
        require(server.listen(QHostAddress::LocalHost, 0, &error), "listen");
    }

    void checkBounds()
    {
        const HttpLimits &limits = server.limits();
        for (HttpConnection *connection : server.findChildren<HttpConnection *>()) {
            require(connection->bufferedInput() <= limits.maxRequestBytes(), "input held by a connection");
            if (const QTcpSocket *socket = connection->findChild<QTcpSocket *>()) {
                require(socket->bytesAvailable() <= limits.maxRequestBytes(), "input held by a socket");
                // One answer may pass the bound: at most the largest there is.
                require(socket->bytesToWrite() <= limits.maxUnsentBytes + 64 * limits.maxHeaderBytes + 4096,
                        "answers unsent");
            }
        }
    }

    void spin(int rounds)
    {
        for (int i = 0; i < rounds; ++i) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            checkBounds();
        }
    }
};

void driveConnection(Rig &rig, const uint8_t *data, size_t size, size_t piece, uint8_t manners)
{
    const bool neverReads = manners & 1;
    rig.holding = manners & 2;
    QTcpSocket client;
    if (neverReads) {
        client.setReadBufferSize(1);
        client.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 2048);
    }
    client.connectToHost(QHostAddress::LocalHost, rig.server.port());
    require(client.waitForConnected(2000), "connect");
    for (int i = 0; i < 100 && rig.server.connectionCount() == 0; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    // The kernel's buffers would otherwise take every answer short inputs make.
    for (HttpConnection *connection : rig.server.findChildren<HttpConnection *>()) {
        if (auto *socket = connection->findChild<QTcpSocket *>()) {
            const int small = 2048;
            ::setsockopt(int(socket->socketDescriptor()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        }
    }
    for (size_t at = 0; at < size && client.state() == QAbstractSocket::ConnectedState; at += piece) {
        client.write(reinterpret_cast<const char *>(data + at), qint64(std::min(piece, size - at)));
        client.flush();
        rig.spin(2);
        if (!neverReads)
            client.readAll();
    }
    rig.spin(4);
    for (HttpResponder &responder : rig.held)
        responder.send(HttpResponse::json(200, {}));
    rig.held.clear();
    rig.spin(2);
    client.abort();
    for (int i = 0; i < 200 && rig.server.connectionCount() > 0; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    require(rig.server.connectionCount() == 0, "a connection outlived its client");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_http_request";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static Rig rig;
    if (size < 2)
        return 0;
    const size_t piece = size_t(data[0]) + 1;
    parseAlone(data + 2, size - 2, piece);
    driveConnection(rig, data + 2, size - 2, piece, data[1]);
    return 0;
}
