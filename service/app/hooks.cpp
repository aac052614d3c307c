#include "hooks.h"

#include "metrics.h"

#include <QProcess>
#include <QVariant>
#include <QTimer>

#include <cstdio>

namespace tavrod {

HookRunner::HookRunner(QStringList commands, int timeoutMs, int parallel, Metrics &metrics, QObject *parent)
    : QObject(parent)
    , m_commands(std::move(commands))
    , m_timeoutMs(timeoutMs)
    , m_parallel(std::max(1, parallel))
    , m_metrics(metrics)
{
    for (const QString &command : m_commands)
        m_argvs.append(QProcess::splitCommand(command));
}

void HookRunner::run(const QByteArray &callJson)
{
    if (m_stopping)
        return;
    for (int i = 0; i < m_commands.size(); ++i) {
        if (m_argvs[i].isEmpty())
            continue;
        if (int(m_queue.size()) >= maxQueued) {
            m_metrics.countHookDropped();
            if (m_queue.size() == size_t(maxQueued))
                std::fprintf(stderr, "tavrod: hook queue full (%d); calls are not passed to hooks until it drains\n",
                             maxQueued);
            continue;
        }
        m_queue.push_back({m_argvs[i], m_commands[i], callJson + '\n'});
    }
    startNext();
}

void HookRunner::startNext()
{
    while (!m_stopping && m_running < m_parallel && !m_queue.empty()) {
        const Job job = std::move(m_queue.front());
        m_queue.pop_front();
        start(job);
    }
}

void HookRunner::start(const Job &job)
{
    auto *process = new QProcess(this);
    auto *limit = new QTimer(process);
    ++m_running;
    // One report per run, whatever ends it first.
    auto done = [this, process, command = job.command](bool ok, const QString &why) {
        if (process->property("reported").toBool())
            return;
        process->setProperty("reported", true);
        --m_running;
        m_metrics.countHook(ok);
        if (!ok)
            std::fprintf(stderr, "tavrod: hook \"%s\" failed: %s\n", qPrintable(command), qPrintable(why));
        emit finished(command, ok);
        process->deleteLater();
        QMetaObject::invokeMethod(this, &HookRunner::startNext, Qt::QueuedConnection);
    };
    limit->setSingleShot(true);
    connect(limit, &QTimer::timeout, process, [process, done, ms = m_timeoutMs] {
        process->kill();
        done(false, QStringLiteral("still running after %1 s, killed").arg(ms / 1000));
    });
    connect(process, &QProcess::finished, process, [process, done](int code, QProcess::ExitStatus status) {
        if (status == QProcess::CrashExit)
            done(false, QStringLiteral("ended by a signal"));
        else if (code != 0)
            done(false, QStringLiteral("exit status %1").arg(code));
        else
            done(true, QString());
        Q_UNUSED(process);
    });
    connect(process, &QProcess::errorOccurred, process, [process, done](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            done(false, process->errorString());
    });
    // The hook's output is its own business; it must not fill a pipe.
    // Its output is its own business and must not fill a pipe; its errors
    // go to ours, so that they reach the journal.
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->setProgram(job.argv.first());
    process->setArguments(job.argv.mid(1));
    connect(process, &QProcess::started, process, [process, input = job.input] {
        process->write(input);
        process->closeWriteChannel();
    });
    limit->start(m_timeoutMs);
    process->start();
}

void HookRunner::stop()
{
    m_stopping = true;
    m_queue.clear();
    for (QProcess *process : findChildren<QProcess *>()) {
        process->kill();
        process->waitForFinished(1000);
    }
}

} // namespace tavrod
