// tavro_sim as a child process: its line path (the first line it prints),
// the operator's standard input, and what it prints on stdout and stderr.
#ifndef TAVRO_TESTS_SIM_PROCESS_H
#define TAVRO_TESTS_SIM_PROCESS_H

#include <QProcess>
#include <QString>
#include <QStringList>

#include "wait_until.h"

class SimProcess
{
public:
    explicit SimProcess(const QStringList &arguments = {});
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Starts the simulator and waits for its first line. False (with the
    // reason in lastError()) when it does not come up.
    bool start();
    QString linePath() const { return m_linePath; }
    QString lastError() const { return m_error; }

    // One operator command, as typed.
    void type(const QString &line);
    void closeInput() { m_process.closeWriteChannel(); }

    // What it printed after the first line, and on stderr.
    QString output() const { return QString::fromUtf8(m_out); }
    QString errors() const { return QString::fromUtf8(m_err); }
    void clearLogs();
    // Wait, running the event loop, until the text has been printed.
    bool waitForOutput(const QString &text, int timeoutMs = 5000);
    bool waitForErrors(const QString &text, int timeoutMs = 5000);

    // Sends a signal and waits for the exit; false when it does not end.
    bool stop(int signo, int timeoutMs = 5000);
    QProcess &process() { return m_process; }

private:
    QProcess m_process;
    QStringList m_arguments;
    QString m_linePath;
    QString m_error;
    QByteArray m_out;
    QByteArray m_err;
};

#endif
