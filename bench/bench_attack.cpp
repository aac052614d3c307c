// tavrod under attack from this machine (127.0.0.1 only), all attacks at
// once for SECONDS (default 60), while a normal client reads the stream and
// a call arrives on the terminal's line every 250 ms:
//  - 4 clients pipelining GET / (2 MiB each) and never reading;
//  - slowloris: 300 connections, each sending a header byte every 5 s;
//  - 4 clients sending 16 KB of headers, then their body a byte every 2 ms;
//  - token guessing on POST /login, 4 clients, one guess per connection;
//  - requests for a foreign Host name, one keep-alive client;
//  - 2 WebSocket streams (with the token) that never read.
// Printed per tavrod: its peak RSS and CPU, the normal client's End line ->
// stream latency p50/p99 (and calls lost), /healthz probes (one a second,
// each allowed 1 s) that failed, and what the attacks achieved.
// Usage: bench_attack [--seconds N] [--tavrod PATH]... (default: the tavrod
// built with this benchmark; give two to compare before and after).
// The attacks run in a child process of this program (--attack), so the
// measuring client is not queued behind them.
#include "bench_common.h"
#include "pty_pair.h"
#include "wait_until.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkRequest>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// ---- the attacks (child process, plain sockets and poll) ----

enum class Kind { Pipeline, Slowloris, BigHeader, Login, WrongHost, DeafStream };

struct Attacker
{
    Kind kind = Kind::Pipeline;
    int fd = -1;
    qsizetype sent = 0;         // of out
    QByteArray out;             // what it sends, in order
    Clock::time_point next;     // when it may send (or reconnect) next
    QByteArray in;              // answers read (those that read)
};

struct Tally
{
    qint64 connects = 0;
    qint64 refusedAtOnce = 0;   // connection closed before its request was sent
    std::map<QByteArray, qint64> statuses;
    qint64 bytesSent = 0;
};

QByteArray loginGuess(qint64 n)
{
    const QByteArray body = "{\"token\":\"guess" + QByteArray::number(n) + "\"}";
    return "POST /login HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\nContent-Length: "
        + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

QByteArray script(Kind kind, const QByteArray &token, qint64 serial)
{
    switch (kind) {
    case Kind::Pipeline: {
        QByteArray all;
        const QByteArray one = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        while (all.size() < 2 * 1024 * 1024)
            all += one;
        return all;
    }
    case Kind::Slowloris:
        return "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: " + QByteArray(64, 'a');
    case Kind::BigHeader:
        return "POST /api/call HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Pad: " + QByteArray(16000, 'a')
            + "\r\nContent-Length: 60000\r\n\r\n" + QByteArray(60000, 'b');
    case Kind::Login: return loginGuess(serial);
    case Kind::WrongHost: return "GET /healthz HTTP/1.1\r\nHost: rebound.example\r\n\r\n";
    case Kind::DeafStream:
        return "GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
               "Authorization: Bearer " + token + "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
               "Sec-WebSocket-Version: 13\r\n\r\n";
    }
    return {};
}

// How many bytes an attacker sends next (all it can, or a trickle) and how
// long it waits after them.
std::pair<qsizetype, int> pace(const Attacker &a)
{
    switch (a.kind) {
    case Kind::Slowloris: return {1, 5000};
    case Kind::BigHeader: {
        const qsizetype head = a.out.indexOf("\r\n\r\n") + 4;
        return {a.sent < head ? head - a.sent : 1, 2};
    }
    default: return {a.out.size() - a.sent, 0};
    }
}

bool readsAnswers(Kind kind)
{
    return kind == Kind::Login || kind == Kind::WrongHost || kind == Kind::Slowloris || kind == Kind::BigHeader;
}

int openTo(quint16 port, Kind kind)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    if (kind == Kind::Pipeline || kind == Kind::DeafStream) {
        const int small = 4096;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
    return fd;
}

int runAttack(quint16 port, const QByteArray &token, int seconds)
{
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<Attacker> attackers;
    auto add = [&](Kind kind, int count) {
        for (int i = 0; i < count; ++i)
        {
            Attacker a;
            a.kind = kind;
            attackers.push_back(a);
        }
    };
    add(Kind::Pipeline, 4);
    add(Kind::Slowloris, 300);
    add(Kind::BigHeader, 4);
    add(Kind::Login, 4);
    add(Kind::WrongHost, 1);
    add(Kind::DeafStream, 2);
    std::map<Kind, Tally> tally;
    qint64 serial = 0;
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    // New connections at most 50 a second per kind: every loop is bounded.
    std::map<Kind, int> connectBudget;
    auto budgetAt = start - std::chrono::seconds(1);

    auto reconnect = [&](Attacker &a) {
        if (a.fd >= 0)
            ::close(a.fd);
        a.fd = -1;
        a.in.clear();
        a.next = Clock::now() + std::chrono::milliseconds(a.kind == Kind::Slowloris ? 50 : 5);
    };
    while (Clock::now() < end) {
        const auto now = Clock::now();
        if (now - budgetAt >= std::chrono::milliseconds(100)) {
            for (const Kind kind : {Kind::Pipeline, Kind::Slowloris, Kind::BigHeader, Kind::Login, Kind::WrongHost,
                                    Kind::DeafStream})
                connectBudget[kind] = 5;
            budgetAt = now;
        }
        std::vector<pollfd> fds;
        std::vector<Attacker *> owners;
        for (Attacker &a : attackers) {
            if (a.fd < 0 && now >= a.next && connectBudget[a.kind] > 0) {
                --connectBudget[a.kind];
                a.fd = openTo(port, a.kind);
                a.out = script(a.kind, token, ++serial);
                a.sent = 0;
                ++tally[a.kind].connects;
            }
            if (a.fd < 0)
                continue;
            // A client that never reads still learns that the server closed.
            short events = readsAnswers(a.kind) ? POLLIN : POLLRDHUP;
            if (a.sent < a.out.size() && now >= a.next)
                events |= POLLOUT;
            fds.push_back({a.fd, events, 0});
            owners.push_back(&a);
        }
        ::poll(fds.data(), nfds_t(fds.size()), 2);
        for (size_t i = 0; i < fds.size(); ++i) {
            Attacker &a = *owners[i];
            Tally &t = tally[a.kind];
            const short got = fds[i].revents;
            if (got & POLLOUT) {
                const auto [want, waitMs] = pace(a);
                const ssize_t n = ::send(a.fd, a.out.constData() + a.sent, size_t(want), MSG_NOSIGNAL);
                if (n > 0) {
                    a.sent += n;
                    t.bytesSent += n;
                    a.next = Clock::now() + std::chrono::milliseconds(waitMs);
                } else if (n < 0 && errno != EAGAIN) {
                    if (a.sent == 0)
                        ++t.refusedAtOnce;
                    reconnect(a);
                    continue;
                }
            }
            if (!readsAnswers(a.kind) && (got & (POLLRDHUP | POLLHUP | POLLERR))) {
                reconnect(a); // its answers were never read
                continue;
            }
            if (got & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[16384];
                const ssize_t n = ::recv(a.fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    a.in.append(buffer, n);
                    // One answer per request: count its status, then go on.
                    const qsizetype lineEnd = a.in.indexOf("\r\n");
                    if (a.in.startsWith("HTTP/1.1 ") && lineEnd > 0 && a.in.contains("\r\n\r\n")) {
                        ++t.statuses[a.in.mid(9, 3)];
                        a.in.clear();
                        if (a.kind == Kind::WrongHost || a.kind == Kind::Login) {
                            a.out += script(a.kind, token, ++serial); // keep-alive: ask again
                        }
                    }
                } else if (n == 0 || errno != EAGAIN) {
                    if (a.sent == 0)
                        ++t.refusedAtOnce;
                    reconnect(a);
                }
            }
        }
    }
    const char *names[] = {"pipelining, never reading", "slowloris", "16 KB headers + trickled body",
                           "token guessing on /login", "foreign Host", "WebSocket never reading"};
    for (const auto &[kind, t] : tally) {
        QByteArray statuses;
        for (const auto &[status, count] : t.statuses)
            statuses += ' ' + status + "x" + QByteArray::number(count);
        std::printf("  attack %-30s connections %6lld, %9lld bytes sent, answers:%s\n", names[int(kind)],
                    static_cast<long long>(t.connects), static_cast<long long>(t.bytesSent),
                    statuses.isEmpty() ? " none" : statuses.constData());
    }
    for (Attacker &a : attackers) {
        if (a.fd >= 0)
            ::close(a.fd);
    }
    return 0;
}

// ---- the normal client and the measurements (parent process) ----

QByteArray callReport(qint64 number)
{
    return "Report\r\nD\r\nTime:12071330\r\nNumber:9" + QByteArray::number(number).rightJustified(8, '0')
        + "\r\nName:bench\r\nGroup:1\r\nType:S\r\nEnd\r\n";
}

qint64 numberIn(const QString &text)
{
    const qsizetype at = text.indexOf(QLatin1String("\"lNumber\":\"9"));
    return at < 0 ? -1 : QStringView(text).mid(at + 12, 8).toLongLong();
}

// One GET /healthz on a new connection; ok when 200 came within 1 s.
class Probe : public QObject
{
public:
    Probe(quint16 port, int *failures)
        : m_failures(failures)
    {
        QObject::connect(&m_socket, &QTcpSocket::connected, this, [this] {
            m_socket.write("GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        });
        QObject::connect(&m_socket, &QTcpSocket::readyRead, this, [this] {
            m_answer += m_socket.readAll();
            if (m_answer.contains("\r\n\r\n"))
                finish(m_answer.startsWith("HTTP/1.1 200 "));
        });
        QTimer::singleShot(1000, this, [this] { finish(false); });
        m_socket.connectToHost(QHostAddress::LocalHost, port);
    }

private:
    void finish(bool ok)
    {
        if (m_done)
            return;
        m_done = true;
        if (!ok)
            ++*m_failures;
        m_socket.abort();
        deleteLater();
    }
    QTcpSocket m_socket;
    QByteArray m_answer;
    int *m_failures;
    bool m_done = false;
};

void runOne(const QString &program, int seconds)
{
    QTemporaryDir dir;
    PtyPair pty;
    // Its log under attack grows fast; only the start matters here.
    TavrodChild tavrod(program, dir.path(), {"--map", "COM1=" + pty.slavePath(), "--db", dir.filePath("bench.db")},
                       10000, [](QByteArray &log) {
                           if (log.size() > 65536)
                               log = log.left(4096);
                       });
    const quint16 port = tavrod.port;
    const QByteArray token = tavrod.token;
    if (port == 0) {
        std::printf("%s did not start\n", qPrintable(program));
        return;
    }
    QElapsedTimer settle;
    settle.start();
    waitUntil([&] { return settle.elapsed() > 500; }, 1000); // the port opens

    // The normal client: the stream, reconnected if it is dropped.
    std::map<qint64, Clock::time_point> written;
    std::vector<double> latencies;
    int streamDrops = 0;
    QWebSocket stream;
    auto openStream = [&] {
        QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/stream").arg(port)));
        request.setRawHeader("Authorization", "Bearer " + token);
        stream.open(request);
    };
    QObject::connect(&stream, &QWebSocket::textMessageReceived, [&](const QString &text) {
        const auto it = written.find(numberIn(text));
        if (it != written.end()) {
            latencies.push_back(msSince(it->second));
            written.erase(it);
        }
    });
    QObject::connect(&stream, &QWebSocket::disconnected, [&] {
        ++streamDrops;
        QTimer::singleShot(200, &stream, openStream);
    });
    openStream();
    waitUntil([&] { return stream.state() == QAbstractSocket::ConnectedState; }, 5000);

    const ProcStats before = statsOf(tavrod.pid());
    QProcess attack;
    attack.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    attack.start(QCoreApplication::applicationFilePath(),
                 {"--attack", QString::number(port), QString::fromLatin1(token), QString::number(seconds)});

    int probes = 0, failures = 0;
    qint64 number = 1;
    QTimer calls, probing;
    QObject::connect(&calls, &QTimer::timeout, [&] {
        written[number] = Clock::now();
        pty.write(callReport(number++));
    });
    QObject::connect(&probing, &QTimer::timeout, [&] {
        ++probes;
        new Probe(port, &failures);
    });
    calls.start(250);
    probing.start(1000);
    QElapsedTimer wall;
    wall.start();
    waitUntil([&] { return wall.elapsed() >= seconds * 1000; }, seconds * 1000 + 1000);
    calls.stop();
    probing.stop();
    waitUntil([&] { return written.empty(); }, 2000);
    attack.waitForFinished(20000);
    const QByteArray attackReport = attack.readAllStandardOutput();
    const ProcStats after = statsOf(tavrod.pid());
    const bool alive = tavrod.running();

    std::printf("%s\n  %s, peak RSS %.1f MiB (%.1f before the attack), CPU %.1f s in %d s\n"
                "  normal client: End line -> stream p50 %.1f ms p99 %.1f ms; %zu of %lld calls received, "
                "stream dropped %d times\n"
                "  /healthz once a second: %d of %d probes failed (no 200 within 1 s)\n%s",
                qPrintable(program), alive ? "alive" : "DIED", after.peakRssMiB, before.peakRssMiB,
                after.cpuSeconds - before.cpuSeconds, seconds, percentile(latencies, 0.5),
                percentile(latencies, 0.99), latencies.size(), static_cast<long long>(number - 1), streamDrops,
                failures, probes, attackReport.constData());
    std::fflush(stdout);
    QObject::disconnect(&stream, nullptr, nullptr, nullptr);
    stream.abort();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == "--attack")
        return runAttack(quint16(args[2].toUInt()), args[3].toLatin1(), args[4].toInt());
    int seconds = 60;
    QStringList programs;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--seconds")
            seconds = std::clamp(args[i + 1].toInt(), 1, 3600);
        else if (args[i] == "--tavrod")
            programs << args[i + 1];
    }
    if (programs.isEmpty())
        programs << QStringLiteral(TAVROD_PATH);
    // Hundreds of connections, here and in tavrod (which inherits it).
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    for (const QString &program : programs)
        runOne(program, seconds);
    return 0;
}
