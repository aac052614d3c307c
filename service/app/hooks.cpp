#include "hooks.h"

#include "logging.h"
#include "metrics.h"

#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QProcess>
#include <QSocketNotifier>
#include <QTimer>
#include <QVariant>

#include <functional>
#include <memory>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace tavrod {

namespace {

// What a hook writes is untrusted text: one log line per line, control
// characters shown as '?', so it can neither forge nor split entries.
QString printable(const QByteArray &line)
{
    QString text = QString::fromUtf8(line);
    for (QChar &c : text) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = u'?';
    }
    return text;
}

bool groupExists(pid_t group)
{
    return group > 0 && ::kill(-group, 0) == 0;
}

// The read end of a run's output (its standard output and error share the
// pipe). Once the log has its part, the pipe is read at most 64 KiB every
// 100 ms: a hook that floods it is slowed down to that, and costs the
// service next to nothing, instead of the service reading as fast as it writes.
class OutputPipe : public QObject
{
public:
    static constexpr int throttleMs = 100;

    OutputPipe(int fd, std::function<void(const QByteArray &)> take, std::function<bool()> capped, QObject *parent)
        : QObject(parent), m_fd(fd), m_notifier(fd, QSocketNotifier::Read), m_take(std::move(take)),
          m_capped(std::move(capped))
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, &OutputPipe::readSome);
    }
    ~OutputPipe() override { ::close(m_fd); }

    void readSome()
    {
        char buffer[65536];
        ssize_t n;
        do {
            n = ::read(m_fd, buffer, sizeof buffer);
        } while (n < 0 && errno == EINTR);
        if (n > 0)
            m_take(QByteArray(buffer, n));
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
            m_ended = true;
            m_notifier.setEnabled(false);
        } else if (m_capped()) {
            m_notifier.setEnabled(false);
            QTimer::singleShot(throttleMs, this, [this] { m_notifier.setEnabled(!m_ended); });
        }
    }

private:
    int m_fd;
    QSocketNotifier m_notifier;
    std::function<void(const QByteArray &)> m_take;
    std::function<bool()> m_capped;
    bool m_ended = false;
};

} // namespace

void endProcessGroup(pid_t group, int graceMs)
{
    if (!groupExists(group))
        return;
    ::kill(-group, SIGTERM);
    QTimer::singleShot(graceMs, [group] {
        if (groupExists(group))
            ::kill(-group, SIGKILL);
    });
}

HookRunner::HookRunner(QList<QStringList> commands, int timeoutMs, int parallel, Metrics &metrics, QObject *parent)
    : QObject(parent)
    , m_argvs(std::move(commands))
    , m_timeoutMs(timeoutMs)
    , m_parallel(std::max(1, parallel))
    , m_metrics(metrics)
{
    for (const QStringList &argv : m_argvs)
        m_commands.append(argv.join(u' '));
}

void HookRunner::run(const QByteArray &callJson)
{
    if (m_stopping)
        return;
    for (int i = 0; i < m_argvs.size(); ++i) {
        if (m_argvs[i].isEmpty())
            continue;
        if (int(m_queue.size()) >= maxQueued) {
            noteQueueFull();
            continue;
        }
        m_queue.push_back({m_argvs[i], m_commands[i], callJson + '\n'});
    }
    startNext();
}

// One line when the queue fills, one when it drains with the count: a
// burst of calls must not turn into a burst of log lines.
void HookRunner::noteQueueFull()
{
    m_metrics.countHookDropped();
    if (m_droppedInEpisode++ == 0)
        qCWarning(lcHooks, "hook queue full (%d waiting); calls are not passed to hooks until it drains", maxQueued);
}

void HookRunner::startNext()
{
    while (!m_stopping && m_running < m_parallel && !m_queue.empty()) {
        const Job job = std::move(m_queue.front());
        m_queue.pop_front();
        start(job);
    }
    if (m_droppedInEpisode > 0 && m_queue.size() < size_t(maxQueued) / 2) {
        qCWarning(lcHooks, "hook queue drained; %lld runs were dropped while it was full",
                  static_cast<long long>(m_droppedInEpisode));
        m_droppedInEpisode = 0;
    }
}

// Logs one line of a hook's output; returns what it cost of the cap.
qint64 HookRunner::logOutput(const QString &command, const QByteArray &line)
{
    const QString message = QStringLiteral("hook \"%1\": %2").arg(command.left(80), printable(line));
    qCInfo(lcHooks).noquote() << message;
    return message.size() + 1;
}

void HookRunner::takeOutput(const QString &command, QByteArray bytes, Output &output)
{
    if (output.logged >= maxLoggedBytes) {
        output.dropped += bytes.size();
        return;
    }
    output.pending += bytes;
    qsizetype end;
    while (output.logged < maxLoggedBytes && (end = output.pending.indexOf('\n')) >= 0) {
        const QByteArray line = output.pending.left(std::min<qsizetype>(end, maxLoggedBytes - output.logged));
        output.logged += logOutput(command, line);
        output.dropped += end - line.size();
        output.pending.remove(0, end + 1);
    }
    // An unended line counts against the cap as well.
    const qsizetype room = std::max<qint64>(0, maxLoggedBytes - output.logged);
    if (output.pending.size() > room) {
        if (room > 0)
            output.logged += logOutput(command, output.pending.left(room));
        output.dropped += output.pending.size() - room;
        output.pending.clear();
    }
}

void HookRunner::flushOutput(const QString &command, Output &output)
{
    if (!output.pending.isEmpty())
        logOutput(command, output.pending);
    output.pending.clear();
    if (output.dropped > 0)
        qCInfo(lcHooks, "hook \"%s\": %lld more bytes of output not logged", qPrintable(command.left(80)),
               static_cast<long long>(output.dropped));
}

namespace {

using Report = std::function<void(bool ok, const QString &why)>;

// Whatever ends a run first, its time-limit, its end or a failed start,
// reports it.
void watchRun(QProcess *process, QTimer *limit, int timeoutMs, const Report &done)
{
    limit->setSingleShot(true);
    QObject::connect(limit, &QTimer::timeout, process, [process, done, ms = timeoutMs] {
        endProcessGroup(pid_t(process->property("group").toLongLong()), HookRunner::killGraceMs);
        done(false, QStringLiteral("still running after %1 s, killed with its process group").arg(ms / 1000));
    });
    QObject::connect(process, &QProcess::finished, process, [process, done](int code, QProcess::ExitStatus status) {
        // What the command left running in its group ends with it.
        endProcessGroup(pid_t(process->property("group").toLongLong()), HookRunner::killGraceMs);
        if (status == QProcess::CrashExit)
            done(false, QStringLiteral("ended by a signal"));
        else if (code != 0)
            done(false, QStringLiteral("exit status %1").arg(code));
        else
            done(true, QString());
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process, done](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            done(false, process->errorString());
    });
}

void prepareRun(QProcess *process, const QStringList &argv, const QByteArray &stdinBytes, int outFd)
{
    // The run's own process group, and its output into our pipe; beyond the
    // cap the output is only counted, so a chatty hook fills neither a pipe
    // nor the log.
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setChildProcessModifier([out = outFd] {
        ::setsid();
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
    });
    process->setProgram(argv.first());
    process->setArguments(argv.mid(1));
    QObject::connect(process, &QProcess::started, process, [process, input = stdinBytes] {
        process->setProperty("group", qint64(process->processId()));
        process->write(input);
        process->closeWriteChannel();
    });
}

} // namespace

void HookRunner::start(const Job &job)
{
    auto *process = new QProcess(this);
    auto *limit = new QTimer(process);
    auto output = std::make_shared<Output>();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        qCWarning(lcHooks, "hook \"%s\" not started: no pipe for its output", qPrintable(job.command));
        m_metrics.countHook(false);
        delete process;
        return;
    }
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    auto *pipe = new OutputPipe(
        fds[0], [this, output, command = job.command](const QByteArray &bytes) { takeOutput(command, bytes, *output); },
        [output] { return output->logged >= maxLoggedBytes; }, process);
    ++m_running;
    // One report per run, whatever ends it first.
    auto done = [this, process, pipe, output, command = job.command](bool ok, const QString &why) {
        if (process->property("reported").toBool())
            return;
        process->setProperty("reported", true);
        --m_running;
        pipe->readSome();
        flushOutput(command, *output);
        m_metrics.countHook(ok);
        if (!ok)
            qCWarning(lcHooks, "hook \"%s\" failed: %s", qPrintable(command), qPrintable(why));
        emit finished(command, ok);
        // A run ended by its time-limit goes once its group is gone.
        if (process->state() == QProcess::NotRunning)
            process->deleteLater();
        else
            connect(process, &QProcess::finished, process, &QObject::deleteLater);
        QMetaObject::invokeMethod(this, &HookRunner::startNext, Qt::QueuedConnection);
    };
    watchRun(process, limit, m_timeoutMs, done);
    prepareRun(process, job.argv, job.input, fds[1]);
    limit->start(m_timeoutMs);
    process->start();
    ::close(fds[1]);
}

void HookRunner::stop()
{
    m_stopping = true;
    m_queue.clear();
    QList<pid_t> groups;
    for (QProcess *process : findChildren<QProcess *>()) {
        const pid_t group = pid_t(process->property("group").toLongLong());
        if (group > 0 && ::kill(-group, SIGTERM) == 0)
            groups.append(group);
    }
    // The service is ending: no timer will fire later, so the grace is waited here.
    QElapsedTimer grace;
    grace.start();
    for (QProcess *process : findChildren<QProcess *>())
        process->waitForFinished(int(std::max<qint64>(1, killGraceMs - grace.elapsed())));
    for (pid_t group : groups) {
        if (groupExists(group))
            ::kill(-group, SIGKILL);
    }
    for (QProcess *process : findChildren<QProcess *>()) {
        process->kill();
        process->waitForFinished(1000);
    }
}

} // namespace tavrod
