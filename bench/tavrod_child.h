// tavrod as a child process for the benchmarks: started on 127.0.0.1 with a
// port picked by the system and a token file, and what /proc says about it.
#ifndef TAVRO_BENCH_TAVROD_CHILD_H
#define TAVRO_BENCH_TAVROD_CHILD_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <vector>

class TavrodChild
{
public:
    // tavrod --map COM1=DEVICE --db DB --token-file FOLDER/token, plus `extra`.
    TavrodChild(const QString &folder, const QString &db, const QString &device, const QStringList &extra = {});
    ~TavrodChild();
    TavrodChild(const TavrodChild &) = delete;
    TavrodChild &operator=(const TavrodChild &) = delete;

    qint64 pid() const { return m_process.processId(); }
    quint16 port = 0; // 0: it did not start listening
    QByteArray token;

private:
    QProcess m_process;
    QByteArray m_err;
};

// The peak resident set (VmHWM) of a process, or another field of
// /proc/PID/status given in kB, in MiB.
double peakRssMiB(qint64 pid, const char *field = "VmHWM:");
// User and system CPU seconds of a process.
double cpuSecondsOf(qint64 pid);
// The p-th fraction of the values (p 0.95: the 95th percentile).
double percentile(std::vector<double> values, double p);

// Sends one request and reads the answer as it arrives, counting its bytes and
// its CR LF line ends without keeping it; returns the first 4 KiB.
QByteArray httpExchange(quint16 port, const QByteArray &request, qint64 *bodyBytes, qint64 *lines);

#endif
