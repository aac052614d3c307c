// The synchronisation exchange of SendCmd, measured over a pseudo-terminal:
//  1. against a terminal that never answers: wall time of the give-up and the
//     CPU the process used meanwhile (the wait must block, not spin);
//  2. against a terminal that answers "[" at once from another thread: how
//     long after its "ACK" the frame's "]" arrives, over 200 commands.
#include "cpu_time.h"
#include "pty_pair.h"
#include "tavro/tavro_m.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

bool openOn(tavro_m &control, const PtyPair &pty)
{
    control.setPortMap({{QStringLiteral("COM1"), pty.slavePath()}});
    QString com1 = QStringLiteral("COM1"), error;
    if (control.OpenTavro(com1, error) != 0) {
        std::fprintf(stderr, "cannot open the pty: %s\n", qPrintable(error));
        return false;
    }
    return true;
}

int silentTerminal()
{
    PtyPair pty;
    tavro_m control;
    if (!pty.isValid() || !openOn(control, pty))
        return 1;
    QElapsedTimer wall;
    const double cpuBefore = cpuSeconds();
    wall.start();
    const bool sent = control.SendCmd(QStringLiteral("COM1"), 't', QStringLiteral("0"));
    const double seconds = wall.nsecsElapsed() / 1e9;
    const double cpu = cpuSeconds() - cpuBefore;
    std::printf("no answer: SendCmd returned %s after %.3f s (expected 5.5 +- 0.5)\n",
                sent ? "true" : "false", seconds);
    std::printf("no answer: CPU %.4f s over the wait = %.3f%% of one core\n", cpu,
                100.0 * cpu / seconds);
    return sent ? 1 : 0;
}

// Answers every "[" with "ACK" CR LF and notes when the ACK went out and when
// the "]" that ends the following frame came in.
class ThreadedTerminal
{
public:
    explicit ThreadedTerminal(int fd) : m_fd(fd), m_thread([this] { run(); }) {}
    ~ThreadedTerminal()
    {
        m_stop = true;
        m_thread.join();
    }

    int framesSeen() const { return m_frames.load(); }
    std::vector<double> latenciesMs()
    {
        std::lock_guard lock(m_mutex);
        return m_latencies;
    }

private:
    void run()
    {
        Clock::time_point ackAt {};
        char buf[256];
        while (!m_stop) {
            pollfd p {m_fd, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            for (ssize_t i = 0; i < n; ++i) {
                if (buf[i] == '[') {
                    static const char ack[] = "ACK\r\n";
                    if (::write(m_fd, ack, sizeof ack - 1) != ssize_t(sizeof ack - 1))
                        return;
                    ackAt = Clock::now();
                } else if (buf[i] == ']') {
                    const double ms =
                        std::chrono::duration<double, std::milli>(Clock::now() - ackAt).count();
                    std::lock_guard lock(m_mutex);
                    m_latencies.push_back(ms);
                    ++m_frames;
                }
            }
        }
    }

    int m_fd;
    std::atomic<bool> m_stop {false};
    std::atomic<int> m_frames {0};
    std::mutex m_mutex;
    std::vector<double> m_latencies;
    std::thread m_thread;
};

int answeringTerminal(int commands)
{
    PtyPair pty;
    tavro_m control;
    if (!pty.isValid() || !openOn(control, pty))
        return 1;
    int failed = 0;
    QElapsedTimer wall;
    {
        ThreadedTerminal terminal(pty.masterFd());
        wall.start();
        for (int i = 0; i < commands; ++i) {
            if (!control.SendCmd(QStringLiteral("COM1"), 't', QStringLiteral("0")))
                ++failed;
        }
        QElapsedTimer settle;
        settle.start();
        while (terminal.framesSeen() < commands - failed && settle.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        std::vector<double> ms = terminal.latenciesMs();
        if (ms.empty()) {
            std::printf("answered: no frame arrived\n");
            return 1;
        }
        std::sort(ms.begin(), ms.end());
        const auto at = [&](double q) { return ms[std::min(ms.size() - 1, size_t(q * ms.size()))]; };
        std::printf("answered: %d commands in %.3f s, %d failed, %zu frames timed\n", commands,
                    wall.nsecsElapsed() / 1e9, failed, ms.size());
        std::printf("answered: ACK to frame \"]\" latency median %.3f ms, p95 %.3f ms, max %.3f ms"
                    " (target: median under 5 ms)\n",
                    at(0.5), at(0.95), ms.back());
    }
    return failed ? 1 : 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int rc = silentTerminal();
    rc |= answeringTerminal(200);
    return rc;
}
