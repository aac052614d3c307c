// tavrod as a child process for end-to-end tests, a plain HTTP client and a
// WebSocket stream client. Everything talks to 127.0.0.1 only.
#ifndef TAVRO_TESTS_TAVROD_RIG_H
#define TAVRO_TESTS_TAVROD_RIG_H

#include "sim_process.h"

#include <QJsonObject>
#include <QList>
#include <QProcess>
#include <QTemporaryDir>
#include <QWebSocket>

struct HttpReply
{
    int status = 0;
    QByteArray body;
    QJsonObject json() const;
};

class TavrodProcess
{
public:
    // The store and the token live in `folder`, which outlives restarts.
    explicit TavrodProcess(const QString &folder);
    ~TavrodProcess();

    // Starts with these extra arguments and waits until it listens.
    bool start(const QStringList &arguments);
    bool stop(int signo, int timeoutMs = 10000);
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }

    quint16 port() const { return m_port; }
    QByteArray token() const;
    QString dbPath() const;
    QString errors() const { return QString::fromUtf8(m_err); }
    bool waitForErrors(const QString &text, int timeoutMs = 5000);

    // One request on its own connection; token "" sends none.
    HttpReply request(const QByteArray &method, const QString &target, const QByteArray &body = {},
                      const QByteArray &token = QByteArray("default"));
    // Sends raw bytes and returns the whole answer (until the server closes).
    QByteArray raw(const QByteArray &bytes, int timeoutMs = 5000);

private:
    QString m_folder;
    QProcess m_process;
    QByteArray m_err;
    quint16 m_port = 0;
};

class StreamClient : public QObject
{
    Q_OBJECT

public:
    // Opens ws://127.0.0.1:port/api/stream?query; origin "" sends none.
    StreamClient(quint16 port, const QByteArray &token, const QString &query = {}, const QString &origin = {});
    bool waitConnected(int timeoutMs = 5000);
    bool waitClosed(int timeoutMs = 5000);
    // Waits until `count` events have arrived.
    bool waitEvents(int count, int timeoutMs = 5000);
    QList<QJsonObject> events;
    QWebSocket socket;
    bool closed = false;
};

#endif
