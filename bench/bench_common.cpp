#include "bench_common.h"

#include "wait_until.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>

#include <unistd.h>

double percentile(std::vector<double> samples, double p)
{
    std::sort(samples.begin(), samples.end());
    return samples.empty() ? 0 : samples[std::min(samples.size() - 1, size_t(p * double(samples.size())))];
}

ProcStats statsOf(qint64 pid)
{
    ProcStats stats;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        const double ticks = double(sysconf(_SC_CLK_TCK));
        stats.userSeconds = fields.value(11).toDouble() / ticks;
        stats.cpuSeconds = stats.userSeconds + fields.value(12).toDouble() / ticks;
    }
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                stats.peakRssMiB = line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
            if (line.startsWith("VmRSS:"))
                stats.rssMiB = line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
        }
    }
    return stats;
}

TavrodChild::TavrodChild(const QString &program, const QString &folder, const QStringList &arguments,
                         int timeoutMs, std::function<void(QByteArray &log)> onLog)
    : m_onLog(std::move(onLog))
{
    QDir().mkpath(folder); // the token goes there
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process, [this] {
        m_log += m_process.readAllStandardError();
        if (m_onLog)
            m_onLog(m_log);
    });
    m_process.start(program, arguments + QStringList{"--token-file", folder + "/token", "--listen", "127.0.0.1:0"});
    static const QRegularExpression listening(QStringLiteral("listening on http://127.0.0.1:(\\d+)"));
    QRegularExpressionMatch match;
    waitUntil([&] { return (match = listening.match(QString::fromUtf8(m_log))).hasMatch(); }, timeoutMs);
    port = quint16(match.captured(1).toUInt());
    QFile file(folder + "/token");
    if (file.open(QIODevice::ReadOnly))
        token = file.readLine().trimmed();
}

TavrodChild::~TavrodChild()
{
    m_process.terminate();
    if (!m_process.waitForFinished(20000))
        m_process.kill();
}

QByteArray httpExchange(quint16 port, const QByteArray &request, qint64 *bodyBytes, qint64 *lines)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.waitForConnected(5000);
    socket.write(request);
    QByteArray head, tail;
    *bodyBytes = 0;
    *lines = 0;
    while (socket.waitForReadyRead(300000) || socket.bytesAvailable()) {
        const QByteArray data = socket.readAll();
        if (head.size() < 4096)
            head += data.left(4096 - head.size());
        *bodyBytes += data.size();
        *lines += data.count("\r\n");
        tail = (tail + data).right(16);
        // The last chunk of a chunked answer, or the peer closed.
        if (tail.endsWith("\r\n0\r\n\r\n") || socket.state() != QAbstractSocket::ConnectedState)
            break;
    }
    return head;
}
