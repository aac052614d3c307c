// --on-call commands: each stored call starts every command once, with the
// call's JSON on its standard input, without a shell. At most `parallel`
// run at once, each for at most `timeoutMs`; further runs wait in a bounded
// queue (beyond it they are dropped and counted). A failure is logged and
// counted, never retried.
//
// A run is contained: it has a process group of its own, and the whole
// group ends with it (on time-out, at stop, and whatever the command left
// behind when it ends); the first few KiB of what it writes go to the log
// (category tavrod.hooks), the rest is counted and dropped, read at most
// 640 KiB a second so that a flood slows the hook down, not the service.
#ifndef TAVROD_HOOKS_H
#define TAVROD_HOOKS_H

#include <QByteArray>
#include <QObject>
#include <QStringList>

#include <deque>

#include <sys/types.h>

namespace tavrod {

class Metrics;

class HookRunner : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxQueued = 1000;
    static constexpr int maxLoggedBytes = 4096;   // per run, log lines included
    static constexpr int killGraceMs = 1000;      // from SIGTERM to SIGKILL

    // Each command is a program and its arguments.
    HookRunner(QList<QStringList> commands, int timeoutMs, int parallel, Metrics &metrics,
               QObject *parent = nullptr);

    bool isEmpty() const { return m_commands.isEmpty(); }
    void run(const QByteArray &callJson);
    int running() const { return m_running; }
    // Ends what runs, each with its whole process group (at the end of the service).
    void stop();

Q_SIGNALS:
    void finished(const QString &command, bool ok);

private:
    struct Job
    {
        QStringList argv;
        QString command;
        QByteArray input;
    };
    struct Output
    {
        QByteArray pending;   // a line not yet ended
        qint64 logged = 0;
        qint64 dropped = 0;
    };
    void startNext();
    void start(const Job &job);
    void noteQueueFull();
    void takeOutput(const QString &command, QByteArray bytes, Output &output);
    void flushOutput(const QString &command, Output &output);
    qint64 logOutput(const QString &command, const QByteArray &line);

    QList<QStringList> m_argvs;
    QStringList m_commands;
    int m_timeoutMs;
    int m_parallel;
    Metrics &m_metrics;
    std::deque<Job> m_queue;
    int m_running = 0;
    bool m_stopping = false;
    qint64 m_droppedInEpisode = 0;   // > 0 while the queue is full
};

// Sends SIGTERM to a process group, and SIGKILL after `graceMs` to what of it remains.
void endProcessGroup(pid_t group, int graceMs);

} // namespace tavrod

#endif
