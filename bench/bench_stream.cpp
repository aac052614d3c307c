// tavrod under load, as a child process on a pty, with WebSocket clients on
// 127.0.0.1 only:
//  1. latency: End line written on the pty -> event at the last-connected
//     client, p50/p99, with 1, 100, 1,000 and 5,000 connected clients (200
//     calls each, 20 ms apart), with tavrod's own fan-out time, its CPU per
//     event per client, the calls the other clients lost and its RSS;
//  2. fan-out: 1,000 clients x 2,000 calls written as fast as the pty takes
//     them: every client gets every call in order; CPU and peak RSS of tavrod;
//  3. unplugged: CPU of tavrod over 10 s while its device is absent.
// The other clients are ws_load (raw sockets on one epoll loop in a process
// of their own), so that they cost the machine what idle screens cost and
// the measuring client, a real QWebSocket, is not queued behind them; it
// connects last, so tavrod serves it last.
//
//   bench_stream [--tavrod PATH]... [--clients 1,100,1000,5000]
//                [--fanout-clients 1000] [--calls 2000]
// Each --tavrod is measured in turn (by default the one built here), so one
// run gives the figures of an older build next to this one.
#include "bench_common.h"
#include "pty_pair.h"
#include "wait_until.h"
#include "http_request.h"
#include "websocket.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QNetworkRequest>
#include <QProcess>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// A call event as tavrod sent it, for the floor.
QByteArray sampleEvent;

// tavrod with room for every client of the run.
class Tavrod : public TavrodChild
{
public:
    Tavrod(const QString &program, const QString &folder, const QString &device)
        : TavrodChild(program, folder,
                      {"--map", "COM1=" + device, "--db", folder + "/bench.db", "--max-stream-clients", "6000",
                       "--max-connections", "2000"})
    {
    }
};

// A client that only counts calls and checks their order by number.
struct Client
{
    std::unique_ptr<QWebSocket> socket = std::make_unique<QWebSocket>();
    qint64 calls = 0;
    qint64 lastNumber = -1;
    bool outOfOrder = false;
    Clock::time_point lastAt;
};

qint64 numberIn(const QString &text)
{
    const qsizetype at = text.indexOf(QLatin1String("\"lNumber\":\"9"));
    if (at < 0)
        return -1;
    return QStringView(text).mid(at + 12, 8).toLongLong();
}

std::vector<std::unique_ptr<Client>> connectClients(quint16 port, const QByteArray &token, int count)
{
    std::vector<std::unique_ptr<Client>> clients;
    int connected = 0;
    for (int i = 0; i < count; ++i) {
        auto client = std::make_unique<Client>();
        Client *c = client.get();
        QObject::connect(c->socket.get(), &QWebSocket::connected, [&connected] { ++connected; });
        QObject::connect(c->socket.get(), &QWebSocket::textMessageReceived, [c](const QString &text) {
            const qint64 number = numberIn(text);
            if (number < 0)
                return;
            if (number <= c->lastNumber)
                c->outOfOrder = true;
            c->lastNumber = number;
            ++c->calls;
            c->lastAt = Clock::now();
            if (sampleEvent.isEmpty())
                sampleEvent = text.toUtf8();
        });
        QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/stream").arg(port)));
        request.setRawHeader("Authorization", "Bearer " + token);
        c->socket->open(request);
        clients.push_back(std::move(client));
        if (i % 100 == 99) // a few at a time, as real clients come
            waitUntil([&] { return connected > i - 50; }, 10000);
    }
    waitUntil([&] { return connected == count; }, 30000);
    if (connected != count)
        std::printf("only %d of %d clients connected\n", connected, count);
    return clients;
}

// The other clients: ws_load, which answers "done LOST DISORDERED BAD"
// to "wait N" once each of them has N more calls.
class LoadClients
{
public:
    LoadClients(const Tavrod &tavrod, int count) : LoadClients(tavrod.port, tavrod.token, count) {}
    LoadClients(quint16 port, const QByteArray &token, int count)
    {
        if (count <= 0)
            return;
        m_process.start(QStringLiteral(WS_LOAD_PATH),
                        {QString::number(port), QString::fromLatin1(token), QString::number(count)});
        waitUntil([&] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; }, 150000);
        const QList<QByteArray> words = m_process.readLine().trimmed().split(' ');
        if (words.value(0) != "connected" || words.value(1).toInt() != count)
            std::printf("only %d of %d load clients connected\n", words.value(1).toInt(), count);
    }
    ~LoadClients()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
    }
    struct Result
    {
        qint64 lost = 0;
        int disordered = 0;
        qint64 badFrames = 0;
    };
    Result waitFor(qint64 calls)
    {
        if (m_process.state() == QProcess::NotRunning)
            return {};
        m_process.write("wait " + QByteArray::number(calls) + "\n");
        waitUntil([&] { return m_process.canReadLine(); }, 310000);
        const QList<QByteArray> words = m_process.readLine().trimmed().split(' ');
        return {words.value(1).toLongLong(), words.value(2).toInt(), words.value(3).toLongLong()};
    }

private:
    QProcess m_process;
};

// tavrod's own figure: total seconds and count of handing events to every client.
std::pair<double, double> fanOutTotals(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return {0, 0};
    socket.write("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    QByteArray text;
    while (socket.waitForReadyRead(5000))
        text += socket.readAll();
    double sum = 0, count = 0;
    for (const QByteArray &line : text.split('\n')) {
        if (line.startsWith("tavrod_stream_fanout_seconds_sum "))
            sum = line.mid(33).toDouble();
        if (line.startsWith("tavrod_stream_fanout_seconds_count "))
            count = line.mid(35).toDouble();
    }
    return {sum, count};
}

QByteArray callReport(qint64 number)
{
    return "Report\r\nD\r\nTime:12071330\r\nNumber:9" + QByteArray::number(number).rightJustified(8, '0')
        + "\r\nName:bench\r\nGroup:1\r\nType:S\r\nEnd\r\n";
}

void latency(PtyPair &pty, const Tavrod &tavrod, int clientCount, qint64 &nextNumber)
{
    constexpr int calls = 200;
    LoadClients others(tavrod, clientCount - 1);
    auto clients = connectClients(tavrod.port, tavrod.token, 1);
    const auto [sumBefore, countBefore] = fanOutTotals(tavrod.port);
    const ProcStats before = statsOf(tavrod.pid());
    std::vector<double> last;
    for (int i = 0; i < calls; ++i) {
        const qint64 number = nextNumber++;
        const auto written = Clock::now();
        pty.write(callReport(number));
        const bool all = waitUntil([&] {
            return std::all_of(clients.begin(), clients.end(), [&](const auto &c) { return c->lastNumber >= number; });
        }, 10000);
        if (!all) {
            std::printf("call %lld did not reach the measuring client\n", static_cast<long long>(number));
            break;
        }
        last.push_back(std::chrono::duration<double, std::milli>(clients.front()->lastAt - written).count());
        QElapsedTimer gap;
        gap.start();
        waitUntil([&] { return gap.elapsed() >= 20; }, 100);
    }
    const LoadClients::Result load = others.waitFor(calls);
    const ProcStats after = statsOf(tavrod.pid());
    const auto [sum, count] = fanOutTotals(tavrod.port);
    const double fanOutMs = count > countBefore ? 1000.0 * (sum - sumBefore) / (count - countBefore) : -1.0;
    const qint64 lost = load.lost + std::max<qint64>(0, calls - clients.front()->calls);
    std::printf("latency, %4d client(s): last-connected client p50 %.2f ms p99 %.2f ms max %.2f ms; "
                "fan-out %.3f ms an event (%.2f us a client); CPU %.2f us an event a client (user %.2f); "
                "lost %lld, out of order %d, bad frames %lld; RSS %.1f MiB (peak %.1f MiB)\n",
                clientCount, percentile(last, 0.5), percentile(last, 0.99), percentile(last, 1.0), fanOutMs,
                1000.0 * fanOutMs / clientCount,
                1e6 * (after.cpuSeconds - before.cpuSeconds) / (double(calls) * clientCount),
                1e6 * (after.userSeconds - before.userSeconds) / (double(calls) * clientCount),
                static_cast<long long>(lost), load.disordered + (clients.front()->outOfOrder ? 1 : 0),
                static_cast<long long>(load.badFrames), after.rssMiB, after.peakRssMiB);
    std::fflush(stdout);
}

void fanOut(PtyPair &pty, const Tavrod &tavrod, int clientCount, int calls, qint64 &nextNumber)
{
    LoadClients others(tavrod, clientCount - 1);
    auto clients = connectClients(tavrod.port, tavrod.token, 1);
    const ProcStats before = statsOf(tavrod.pid());
    const qint64 firstNumber = nextNumber;
    nextNumber += calls;
    QElapsedTimer wall;
    wall.start();
    // The terminal's side writes from its own thread, as fast as the pty takes it.
    std::thread writer([&pty, firstNumber, calls] {
        QByteArray chunk;
        for (int i = 0; i < calls; ++i) {
            chunk += callReport(firstNumber + i);
            if (chunk.size() > 4096 || i == calls - 1) {
                pty.write(chunk);
                chunk.clear();
            }
        }
    });
    const bool done = waitUntil([&] {
        return std::all_of(clients.begin(), clients.end(), [&](const auto &c) { return c->calls >= calls; });
    }, 300000);
    writer.join();
    const LoadClients::Result load = others.waitFor(calls);
    const double seconds = wall.elapsed() / 1000.0;
    const ProcStats after = statsOf(tavrod.pid());
    qint64 lost = load.lost;
    int disordered = load.disordered;
    for (const auto &c : clients) {
        lost += std::max<qint64>(0, calls - c->calls);
        disordered += c->outOfOrder ? 1 : 0;
    }
    const double cpu = after.cpuSeconds - before.cpuSeconds;
    std::printf("fan-out %d clients x %d calls: %s in %.1f s; lost %lld; clients out of order %d; bad frames %lld; "
                "tavrod CPU %.1f s (%.2f us an event a client, user %.2f); tavrod peak RSS %.1f MiB\n",
                clientCount, calls, done ? "all delivered" : "NOT all delivered", seconds,
                static_cast<long long>(lost), disordered, static_cast<long long>(load.badFrames), cpu,
                1e6 * cpu / (double(calls) * clientCount),
                1e6 * (after.userSeconds - before.userSeconds) / (double(calls) * clientCount), after.peakRssMiB);
    std::fflush(stdout);
}

double threadCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// The kernel's part of a fan-out: the frame of a call event sent with a
// bare loop of ::send() to every client, the same ws_load clients on
// loopback, paced as the latency runs are. What tavrod spends beyond this
// is its own.
void floor(int clientCount)
{
    constexpr int events = 200;
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    std::vector<std::unique_ptr<QTcpSocket>> sockets;
    QObject::connect(&server, &QTcpServer::newConnection, [&] {
        while (QTcpSocket *socket = server.nextPendingConnection()) {
            sockets.emplace_back(socket);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                if (!socket->peek(4096).contains("\r\n\r\n"))
                    return;
                tavrod::HttpRequest request;
                for (const QByteArray &line : socket->readAll().split('\n')) {
                    const qsizetype colon = line.indexOf(':');
                    if (colon > 0)
                        request.headers.append({line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed()});
                }
                socket->write(tavrod::ws::handshakeAnswer(request));
            });
        }
    });
    LoadClients load(server.serverPort(), "floor", clientCount);
    std::vector<int> fds;
    for (const auto &socket : sockets)
        fds.push_back(int(socket->socketDescriptor()));

    static const QRegularExpression idField(QStringLiteral("\"id\":\\d+"));
    const QString sample = QString::fromUtf8(sampleEvent);
    std::vector<double> loops;
    double cpuSeconds = 0;
    qint64 failed = 0;
    for (int i = 1; i <= events; ++i) {
        const QByteArray frame = tavrod::ws::frame(
            tavrod::ws::Text, QString(sample).replace(idField, QStringLiteral("\"id\":%1").arg(i)).toUtf8());
        const auto start = Clock::now();
        const double cpuStart = threadCpuSeconds();
        for (int fd : fds) {
            if (::send(fd, frame.constData(), size_t(frame.size()), MSG_DONTWAIT | MSG_NOSIGNAL) != frame.size())
                ++failed;
        }
        loops.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        cpuSeconds += threadCpuSeconds() - cpuStart;
        QElapsedTimer gap;
        gap.start();
        waitUntil([&] { return gap.elapsed() >= 20; }, 100);
    }
    const LoadClients::Result result = load.waitFor(events);
    double sum = 0;
    for (double ms : loops)
        sum += ms;
    std::printf("floor, %4d client(s): a bare ::send() loop of a %lld-byte frame: %.3f ms an event (%.2f us a "
                "client; CPU %.2f us a client), p50 %.2f ms p99 %.2f ms; short sends %lld, lost %lld, out of order %d, bad frames %lld\n",
                clientCount, static_cast<long long>(sampleEvent.size()), sum / events,
                1000.0 * sum / events / clientCount, 1e6 * cpuSeconds / events / clientCount, percentile(loops, 0.5), percentile(loops, 0.99),
                static_cast<long long>(failed), static_cast<long long>(result.lost), result.disordered,
                static_cast<long long>(result.badFrames));
    std::fflush(stdout);
}

void unplugged(const QString &program, const QString &folder)
{
    Tavrod tavrod(program, folder, folder + "/no-such-device");
    const ProcStats before = statsOf(tavrod.pid());
    QElapsedTimer wall;
    wall.start();
    waitUntil([&] { return wall.elapsed() >= 10000; }, 11000);
    const ProcStats after = statsOf(tavrod.pid());
    std::printf("unplugged: tavrod CPU %.3f s over %.1f s (%.2f %% of a core)\n", after.cpuSeconds - before.cpuSeconds,
                wall.elapsed() / 1000.0, 100.0 * (after.cpuSeconds - before.cpuSeconds) / (wall.elapsed() / 1000.0));
    std::fflush(stdout);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption tavrodOption("tavrod", "A tavrod to measure (repeatable).", "PATH");
    const QCommandLineOption clientsOption("clients", "Client counts for the latency.", "N,N,...",
                                           "1,100,1000,5000");
    const QCommandLineOption fanOutClientsOption("fanout-clients", "Clients for the fan-out.", "N", "1000");
    const QCommandLineOption callsOption("calls", "Calls for the fan-out.", "N", "2000");
    parser.addOptions({tavrodOption, clientsOption, fanOutClientsOption, callsOption});
    parser.addHelpOption();
    parser.process(app);
    QStringList programs = parser.values(tavrodOption);
    if (programs.isEmpty())
        programs.append(QStringLiteral(TAVROD_PATH));
    QList<int> counts;
    for (const QString &count : parser.value(clientsOption).split(u',', Qt::SkipEmptyParts))
        counts.append(std::max(1, count.toInt()));
    const int fanOutClients = std::max(1, parser.value(fanOutClientsOption).toInt());
    const int calls = std::max(1, parser.value(callsOption).toInt());

    // Thousands of clients need more descriptors than the usual soft limit,
    // here and in tavrod and ws_load (which inherit it).
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    QTemporaryDir dir;
    PtyPair pty;
    qint64 nextNumber = 1;
    for (int i = 0; i < programs.size(); ++i) {
        const QString folder = dir.filePath(QString::number(i));
        std::printf("== %s\n", qPrintable(programs[i]));
        {
            Tavrod tavrod(programs[i], folder, pty.slavePath());
            if (tavrod.port == 0) {
                std::fprintf(stderr, "tavrod did not start\n");
                return 1;
            }
            QElapsedTimer settle;
            settle.start();
            waitUntil([&] { return settle.elapsed() > 500; }, 1000); // the port opens
            for (int count : counts)
                latency(pty, tavrod, count, nextNumber);
            fanOut(pty, tavrod, fanOutClients, calls, nextNumber);
        }
        unplugged(programs[i], folder + "/absent");
    }
    if (sampleEvent.isEmpty())
        return 0;
    std::printf("== floor (no tavrod)\n");
    for (int count : counts)
        floor(count);
    return 0;
}
