#include "tavrod_child.h"

#include "wait_until.h"

#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QTcpSocket>

#include <algorithm>

#include <unistd.h>

TavrodChild::TavrodChild(const QString &folder, const QString &db, const QString &device, const QStringList &extra)
{
    QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                     [this] { m_err += m_process.readAllStandardError(); });
    m_process.start(QStringLiteral(TAVROD_PATH), QStringList{"--map", "COM1=" + device, "--db", db, "--token-file",
                                                             folder + "/token", "--listen", "127.0.0.1:0"}
                                                     + extra);
    static const QRegularExpression listening(QStringLiteral("listening on http://127.0.0.1:(\\d+)"));
    waitUntil([&] { return listening.match(QString::fromUtf8(m_err)).hasMatch(); }, 30000);
    port = quint16(listening.match(QString::fromUtf8(m_err)).captured(1).toUInt());
    QFile file(folder + "/token");
    if (file.open(QIODevice::ReadOnly))
        token = file.readLine().trimmed();
}

TavrodChild::~TavrodChild()
{
    m_process.terminate();
    m_process.waitForFinished(20000);
}

double peakRssMiB(qint64 pid, const char *field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith(field))
                return line.mid(int(strlen(field))).trimmed().split(' ').first().toDouble() / 1024.0;
        }
    }
    return 0;
}

double cpuSecondsOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) / double(sysconf(_SC_CLK_TCK));
}

double percentile(std::vector<double> values, double p)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[std::min(values.size() - 1, size_t(p * double(values.size())))];
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
