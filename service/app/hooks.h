// --on-call commands: each stored call starts every command once, with the
// call's JSON on its standard input, without a shell. At most `parallel`
// run at once, each for at most `timeoutMs`; further runs wait in a bounded
// queue (beyond it they are dropped and counted). A failure is logged and
// counted, never retried.
#ifndef TAVROD_HOOKS_H
#define TAVROD_HOOKS_H

#include <QByteArray>
#include <QObject>
#include <QStringList>

#include <deque>

namespace tavrod {

class Metrics;

class HookRunner : public QObject
{
    Q_OBJECT

public:
    static constexpr int maxQueued = 1000;

    HookRunner(QStringList commands, int timeoutMs, int parallel, Metrics &metrics, QObject *parent = nullptr);

    bool isEmpty() const { return m_commands.isEmpty(); }
    void run(const QByteArray &callJson);
    int running() const { return m_running; }
    // Ends what runs (at the end of the service).
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
    void startNext();
    void start(const Job &job);

    QList<QStringList> m_argvs;
    QStringList m_commands;
    int m_timeoutMs;
    int m_parallel;
    Metrics &m_metrics;
    std::deque<Job> m_queue;
    int m_running = 0;
    bool m_stopping = false;
};

} // namespace tavrod

#endif
