// tavrod publishing to a mosquitto broker, all on 127.0.0.1: the broker and
// tavrod are child processes, the terminal is played on a pty, and a
// libmosquitto subscriber in this process (QoS 1) receives the calls.
//  1. latency: End line written on the pty -> call at the subscriber, p50/p99
//     over 1,000 calls, one at a time;
//  2. CPU: a burst of 10x as many calls written as fast as the pty takes them, tavrod's
//     CPU per call with --mqtt against the same burst without it.
// Arguments (optional): calls, for smaller runs.
#include "bench_common.h"
#include "pty_pair.h"
#include "wait_until.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <mosquitto.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <unistd.h>


namespace {

using Clock = std::chrono::steady_clock;

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class Child
{
public:
    Child(const QString &program, const QStringList &arguments)
    {
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                         [this] { errors += m_process.readAllStandardError(); });
        m_process.start(program, arguments);
        m_process.waitForStarted(5000);
    }
    ~Child()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(10000))
            m_process.kill();
    }
    qint64 pid() const { return m_process.processId(); }
    QByteArray errors;

private:
    QProcess m_process;
};

// Calls as the subscriber receives them: the number in the call and when.
struct Received
{
    std::vector<std::pair<qint64, Clock::time_point>> calls;
};

void onMessage(mosquitto *, void *user, const mosquitto_message *message)
{
    const QByteArray payload(static_cast<const char *>(message->payload), message->payloadlen);
    const qsizetype at = payload.indexOf("\"lNumber\":\"9");
    if (at >= 0)
        static_cast<Received *>(user)->calls.emplace_back(payload.mid(at + 12, 8).toLongLong(), Clock::now());
}

QByteArray callReport(qint64 number)
{
    return "Report\r\nD\r\nTime:12071330\r\nNumber:9" + QByteArray::number(number).rightJustified(8, '0')
        + "\r\nName:bench\r\nGroup:1\r\nType:S\r\nEnd\r\n";
}

// Starts tavrod on the pty and waits until its port is open (and, with a
// broker, until it says it is connected).
std::unique_ptr<TavrodChild> startTavrod(const QString &folder, const PtyPair &pty, quint16 brokerPort)
{
    QStringList arguments{"--map", "COM1=" + pty.slavePath(), "--open", "COM1", "--db", folder + "/bench.db",
                          "--site", "bench"};
    if (brokerPort)
        arguments << "--mqtt" << QStringLiteral("mqtt://127.0.0.1:%1").arg(brokerPort);
    auto tavrod = std::make_unique<TavrodChild>(QStringLiteral(TAVROD_PATH), folder, arguments);
    waitUntil([&] { return !brokerPort || tavrod->log().contains("connected to"); }, 10000);
    QElapsedTimer settle;
    settle.start();
    waitUntil([&] { return settle.elapsed() > 500; }, 1000); // the port opens
    return tavrod;
}

// The newest stored id, from /healthz (no token needed).
qint64 lastIdOf(const TavrodChild &tavrod)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, tavrod.port);
    socket.waitForConnected(1000);
    socket.write("GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    QByteArray answer;
    while (socket.waitForReadyRead(1000))
        answer += socket.readAll();
    const qsizetype at = answer.indexOf("\"lastId\":");
    return at < 0 ? 0 : answer.mid(at + 9, 20).split(',').first().split('}').first().toLongLong();
}

// Writes the calls as one stream and waits until `done`; tavrod's CPU seconds.
double burst(PtyPair &pty, const TavrodChild &tavrod, qint64 first, int calls, const std::function<bool()> &done)
{
    const double before = statsOf(tavrod.pid()).cpuSeconds;
    QByteArray all;
    for (int i = 0; i < calls; ++i)
        all += callReport(first + i);
    pty.write(all);
    if (!done())
        std::printf("the burst did not complete\n");
    return statsOf(tavrod.pid()).cpuSeconds - before;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int calls = argc > 1 ? std::max(10, atoi(argv[1])) : 1000;
    // CPU is counted in ticks of 10 ms: the burst is long enough to show it.
    const int burstCalls = 10 * calls;
    const QString broker = QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/bin"});
    if (broker.isEmpty()) {
        std::fprintf(stderr, "mosquitto is not installed\n");
        return 1;
    }
    QTemporaryDir dir;
    const quint16 port = freePort();
    {
        QFile config(dir.filePath("mosquitto.conf"));
        config.open(QIODevice::WriteOnly);
        config.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\nmax_queued_messages 0\n%2")
                         .arg(port)
                         .arg(::geteuid() == 0 ? "user root\n" : "")
                         .toUtf8());
    }
    Child mosquittoBroker(broker, {"-c", dir.filePath("mosquitto.conf")});
    waitUntil([&] {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        return probe.waitForConnected(200);
    }, 10000);

    mosquitto_lib_init();
    Received received;
    mosquitto *subscriber = mosquitto_new("bench-mqtt", true, &received);
    mosquitto_message_callback_set(subscriber, onMessage);
    if (mosquitto_connect(subscriber, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS
        || mosquitto_subscribe(subscriber, nullptr, "tavro/bench/event/ReceiveCall", 1) != MOSQ_ERR_SUCCESS) {
        std::fprintf(stderr, "the subscriber cannot connect\n");
        return 1;
    }
    // The subscriber runs only inside these waits: no thread of its own.
    const auto pumpUntil = [&](const std::function<bool()> &done, int timeoutMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done() && Clock::now() < end)
            mosquitto_loop(subscriber, 10, 100);
        return done();
    };

    PtyPair pty;
    qint64 next = 1;
    {
        QDir(dir.path()).mkpath("with");
        auto tavrod = startTavrod(dir.filePath("with"), pty, port);
        std::vector<double> latency;
        for (int i = 0; i < calls; ++i) {
            const qint64 number = next++;
            const auto written = Clock::now();
            pty.write(callReport(number));
            if (!pumpUntil([&] { return !received.calls.empty() && received.calls.back().first == number; }, 10000)) {
                std::printf("call %lld did not arrive\n", static_cast<long long>(number));
                break;
            }
            latency.push_back(std::chrono::duration<double, std::milli>(received.calls.back().second - written).count());
        }
        std::printf("latency, End line -> MQTT subscriber (QoS 1), %zu calls: p50 %.2f ms p99 %.2f ms max %.2f ms\n",
                    latency.size(), percentile(latency, 0.5), percentile(latency, 0.99), percentile(latency, 1.0));

        const size_t before = received.calls.size();
        const qint64 stored = lastIdOf(*tavrod);
        const double cpu = burst(pty, *tavrod, next, burstCalls, [&] {
            return pumpUntil([&] { return received.calls.size() >= before + size_t(burstCalls); }, 120000)
                && waitUntil([&] { return lastIdOf(*tavrod) >= stored + burstCalls; }, 10000, 100);
        });
        next += burstCalls;
        std::printf("burst of %d calls with --mqtt: tavrod CPU %.3f s, %.1f us per published call\n", burstCalls,
                    cpu, 1e6 * cpu / burstCalls);
    }
    {
        // The same burst without a broker: what storing and streaming cost alone.
        QDir(dir.path()).mkpath("without");
        auto tavrod = startTavrod(dir.filePath("without"), pty, 0);
        const qint64 stored = lastIdOf(*tavrod);
        const double cpu = burst(pty, *tavrod, next, burstCalls,
                                 [&] { return waitUntil([&] { return lastIdOf(*tavrod) >= stored + burstCalls; }, 120000, 100); });
        std::printf("burst of %d calls without --mqtt: tavrod CPU %.3f s, %.1f us per call\n", burstCalls, cpu,
                    1e6 * cpu / burstCalls);
    }
    mosquitto_disconnect(subscriber);
    mosquitto_destroy(subscriber);
    mosquitto_lib_cleanup();
    return 0;
}
