#include "sim_process.h"

#include <QtTest>

#include <csignal>

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    // Ends the last wait at the deadline. Repeating and precise: a coarse
    // timer may fire a little early, and a single shot would then leave the
    // last wait without anything to end it.
    QTimer wake;
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

SimProcess::SimProcess(const QStringList &arguments)
    : m_arguments(arguments)
{
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                     [this] { m_out += m_process.readAllStandardOutput(); });
    QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                     [this] { m_err += m_process.readAllStandardError(); });
}

SimProcess::~SimProcess()
{
    if (m_process.state() != QProcess::NotRunning && !stop(SIGTERM, 3000)) {
        m_process.kill();
        m_process.waitForFinished(3000);
    }
}

bool SimProcess::start()
{
    m_process.start(QStringLiteral(TAVRO_SIM_PATH), m_arguments);
    if (!m_process.waitForStarted(10000)) {
        m_error = m_process.errorString();
        return false;
    }
    const bool gotLine = waitUntil([this] {
        return m_out.contains('\n') || m_process.state() == QProcess::NotRunning;
    }, 10000);
    const qsizetype eol = m_out.indexOf('\n');
    if (!gotLine || eol < 0) {
        m_error = QStringLiteral("no first line; stderr: ") + errors();
        return false;
    }
    m_linePath = QString::fromUtf8(m_out.left(eol));
    m_out.remove(0, eol + 1);
    return true;
}

void SimProcess::type(const QString &line)
{
    m_process.write(line.toUtf8() + '\n');
    // QProcess writes from its event loop; a test that then blocks on the
    // line would leave the command unsent.
    m_process.waitForBytesWritten(5000);
}

void SimProcess::clearLogs()
{
    m_out.clear();
    m_err.clear();
}

bool SimProcess::waitForOutput(const QString &text, int timeoutMs)
{
    return waitUntil([&] { return output().contains(text); }, timeoutMs);
}

bool SimProcess::waitForErrors(const QString &text, int timeoutMs)
{
    return waitUntil([&] { return errors().contains(text); }, timeoutMs);
}

bool SimProcess::stop(int signo, int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    ::kill(pid_t(m_process.processId()), signo);
    return waitUntil([this] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
}
