#include "tavrod_rig.h"

#include <QDir>
#include <QJsonArray>
#include <QFile>
#include <QJsonDocument>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrl>

#include <csignal>

QJsonObject HttpReply::json() const
{
    return QJsonDocument::fromJson(body).object();
}

TavrodProcess::TavrodProcess(const QString &folder)
    : m_folder(folder)
{
    QObject::connect(&m_process, &QProcess::readyReadStandardError, &m_process,
                     [this] { m_err += m_process.readAllStandardError(); });
}

TavrodProcess::~TavrodProcess()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

QString TavrodProcess::dbPath() const
{
    return QDir(m_folder).filePath(QStringLiteral("events.db"));
}

QByteArray TavrodProcess::token() const
{
    QFile file(QDir(m_folder).filePath(QStringLiteral("token")));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readLine().trimmed();
}

bool TavrodProcess::start(const QStringList &arguments)
{
    m_err.clear();
    m_port = 0;
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    m_process.start(QStringLiteral(TAVROD_PATH),
                    QStringList{"--db", dbPath(), "--token-file", QDir(m_folder).filePath("token"), "--listen",
                                "127.0.0.1:0", "--site", "test"}
                        + arguments);
    if (!m_process.waitForStarted(10000))
        return false;
    static const QRegularExpression listening(QStringLiteral("listening on http://127.0.0.1:(\\d+)"));
    QRegularExpressionMatch match;
    waitUntil([&] {
        match = listening.match(errors());
        return match.hasMatch() || m_process.state() == QProcess::NotRunning;
    }, 10000);
    if (!match.hasMatch())
        return false;
    m_port = quint16(match.captured(1).toUInt());
    return true;
}

bool TavrodProcess::stop(int signo, int timeoutMs)
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    ::kill(pid_t(m_process.processId()), signo);
    return waitUntil([this] { return m_process.state() == QProcess::NotRunning; }, timeoutMs);
}

bool TavrodProcess::waitForErrors(const QString &text, int timeoutMs)
{
    return waitUntil([&] { return errors().contains(text); }, timeoutMs);
}

QByteArray TavrodProcess::raw(const QByteArray &bytes, int timeoutMs)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_port);
    if (!socket.waitForConnected(timeoutMs))
        return {};
    socket.write(bytes);
    QByteArray answer;
    bool closed = false;
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [&] { answer += socket.readAll(); });
    QObject::connect(&socket, &QTcpSocket::disconnected, &socket, [&] { closed = true; });
    waitUntil([&] { return closed; }, timeoutMs);
    answer += socket.readAll();
    return answer;
}

HttpReply TavrodProcess::request(const QByteArray &method, const QString &target, const QByteArray &body,
                                 const QByteArray &token)
{
    QByteArray bytes = method + ' ' + QUrl(target).toEncoded() + " HTTP/1.1\r\nHost: 127.0.0.1:"
        + QByteArray::number(m_port) + "\r\nConnection: close\r\n";
    const QByteArray bearer = token == "default" ? this->token() : token;
    if (!bearer.isEmpty())
        bytes += "Authorization: Bearer " + bearer + "\r\n";
    if (!body.isEmpty() || method == "POST")
        bytes += "Content-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n";
    bytes += "\r\n" + body;
    const QByteArray answer = raw(bytes, 15000);
    HttpReply reply;
    const qsizetype end = answer.indexOf("\r\n\r\n");
    if (!answer.startsWith("HTTP/1.1 ") || end < 0)
        return reply;
    reply.status = answer.mid(9, 3).toInt();
    reply.body = answer.mid(end + 4);
    if (answer.left(end).toLower().contains("transfer-encoding: chunked")) {
        // An export: the chunks' bodies one after the other.
        QByteArray joined;
        qsizetype at = 0;
        while (at < reply.body.size()) {
            const qsizetype line = reply.body.indexOf("\r\n", at);
            bool ok = false;
            const qsizetype size = line < 0 ? 0 : reply.body.mid(at, line - at).toLongLong(&ok, 16);
            if (!ok || size == 0)
                break;
            joined += reply.body.mid(line + 2, size);
            at = line + 2 + size + 2;
        }
        reply.body = joined;
    }
    return reply;
}

StreamClient::StreamClient(quint16 port, const QByteArray &token, const QString &query, const QString &origin)
    : socket(origin)
{
    connect(&socket, &QWebSocket::textMessageReceived, this,
            [this](const QString &text) { events.append(QJsonDocument::fromJson(text.toUtf8()).object()); });
    connect(&socket, &QWebSocket::disconnected, this, [this] { closed = true; });
    QUrl url(QStringLiteral("ws://127.0.0.1:%1/api/stream").arg(port));
    if (!query.isEmpty())
        url.setQuery(query);
    QNetworkRequest request(url);
    if (!token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + token);
    socket.open(request);
}

bool StreamClient::waitConnected(int timeoutMs)
{
    return waitUntil([this] { return socket.state() == QAbstractSocket::ConnectedState || closed; }, timeoutMs)
        && socket.state() == QAbstractSocket::ConnectedState;
}

bool StreamClient::waitClosed(int timeoutMs)
{
    return waitUntil([this] { return closed; }, timeoutMs);
}

bool StreamClient::waitEvents(int count, int timeoutMs)
{
    return waitUntil([&] { return events.size() >= count || closed; }, timeoutMs) && events.size() >= count;
}

QList<QJsonObject> TavrodProcess::storedEvents()
{
    QList<QJsonObject> out;
    qint64 after = 0;
    for (int page = 0; page < 100; ++page) {
        const QJsonArray rows =
            request("GET", QStringLiteral("/api/events?after=%1&limit=1000").arg(after)).json().value("events").toArray();
        if (rows.isEmpty())
            break;
        for (const QJsonValue &row : rows)
            out.append(row.toObject());
        after = out.last().value("id").toInteger();
    }
    return out;
}
