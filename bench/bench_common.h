// What the service's benchmarks share: tavrod as a child process on
// 127.0.0.1, what a process has used (from /proc), and percentiles.
#ifndef TAVRO_BENCH_COMMON_H
#define TAVRO_BENCH_COMMON_H

#include <QByteArray>
#include <QProcess>
#include <QStringList>

#include <functional>
#include <vector>

// The value below which the fraction p of the samples lie (p = 1: the largest).
double percentile(std::vector<double> samples, double p);

struct ProcStats
{
    double cpuSeconds = 0;
    double userSeconds = 0; // of cpuSeconds, outside the kernel
    double peakRssMiB = 0;
    double rssMiB = 0;
};
ProcStats statsOf(qint64 pid);

// A tavrod that listens on 127.0.0.1:0 and keeps its token in FOLDER/token
// (made when missing):
// the port is read from its log, 0 when it never says it listens.
class TavrodChild
{
public:
    // onLog sees the log as it grows, and may trim it.
    TavrodChild(const QString &program, const QString &folder, const QStringList &arguments,
                int timeoutMs = 10000, std::function<void(QByteArray &log)> onLog = {});
    ~TavrodChild();
    TavrodChild(const TavrodChild &) = delete;
    TavrodChild &operator=(const TavrodChild &) = delete;

    qint64 pid() const { return m_process.processId(); }
    bool running() const { return m_process.state() == QProcess::Running; }
    QByteArray &log() { return m_log; }

    quint16 port = 0;
    QByteArray token;

private:
    QProcess m_process;
    QByteArray m_log;
    std::function<void(QByteArray &log)> m_onLog;
};

// Sends one request to 127.0.0.1:PORT and reads the answer as it arrives,
// counting its bytes and its CR LF line ends without keeping it; returns
// the first 4 KiB.
QByteArray httpExchange(quint16 port, const QByteArray &request, qint64 *bodyBytes, qint64 *lines);

#endif
