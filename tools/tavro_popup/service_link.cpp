#include "service_link.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLoggingCategory>
#include <QNetworkReply>
#include <QUrlQuery>

Q_LOGGING_CATEGORY(lcLink, "tavro_popup.link")

namespace popup {

namespace {

constexpr int firstDelayMs = 500;
constexpr int longestDelayMs = 10000;
constexpr int requestTimeoutMs = 5000;
constexpr int handshakeTimeoutMs = 10000;
// A connection that answers no ping for this long is gone (a cable pulled
// leaves the socket open without a word).
constexpr int defaultPingMs = 5000;
constexpr int defaultSilentLimitMs = 15000;
constexpr size_t seenLimit = 2000;

QJsonObject errorObject(const QString &text)
{
    return {{"error", text}};
}

} // namespace

ServiceLink::ServiceLink(QObject *parent)
    : QObject(parent)
    , m_silentLimit(defaultSilentLimitMs)
{
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, &ServiceLink::connectNow);
    m_ping.setInterval(defaultPingMs);
    connect(&m_ping, &QTimer::timeout, this, [this] {
        if (!m_socket)
            return;
        if (m_sincePong.elapsed() > m_silentLimit) {
            qCInfo(lcLink, "no answer for %d ms; reconnecting", m_silentLimit);
            m_problem = QStringLiteral("서비스의 응답이 없습니다");
            m_socket->abort();
            return;
        }
        m_socket->ping();
    });
}

void ServiceLink::setKeepAlive(int pingEveryMs, int silentLimitMs)
{
    m_ping.setInterval(pingEveryMs);
    m_silentLimit = silentLimitMs;
}

void ServiceLink::configure(const QUrl &base, const QString &tokenFile)
{
    // Another service numbers its events its own way: start fresh there.
    if (base != m_base) {
        m_lastId = -1;
        m_ports.clear();
    }
    m_base = base;
    m_tokenFile = tokenFile;
}

void ServiceLink::start()
{
    m_running = true;
    m_delay = firstDelayMs;
    connectNow();
}

void ServiceLink::stop()
{
    m_running = false;
    m_retry.stop();
    m_ping.stop();
    ++m_attempt;
    if (QWebSocket *socket = m_socket) {
        m_socket = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    setState(State::Disconnected);
}

QStringList ServiceLink::closedPorts() const
{
    QStringList closed;
    for (auto it = m_ports.cbegin(); it != m_ports.cend(); ++it) {
        if (!it.value())
            closed.append(it.key());
    }
    return closed;
}

QByteArray ServiceLink::readToken(QString *problem) const
{
    QFile file(m_tokenFile);
    if (m_tokenFile.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        *problem = QStringLiteral("토큰 파일을 읽을 수 없습니다: %1").arg(m_tokenFile);
        return {};
    }
    const QByteArray token = file.readLine(4096).trimmed();
    if (token.isEmpty())
        *problem = QStringLiteral("토큰 파일이 비어 있습니다: %1").arg(m_tokenFile);
    return token;
}

QNetworkRequest ServiceLink::request(const QString &path) const
{
    QUrl url = m_base;
    QString basePath = url.path();
    while (basePath.endsWith(u'/'))
        basePath.chop(1);
    url.setPath(basePath + path);
    QNetworkRequest request(url);
    request.setTransferTimeout(requestTimeoutMs);
    if (!m_token.isEmpty())
        request.setRawHeader("Authorization", "Bearer " + m_token);
    return request;
}

void ServiceLink::setState(State state, const QString &problem)
{
    if (state == State::Connected)
        m_problem.clear();
    else if (!problem.isEmpty())
        m_problem = problem;
    if (state == m_state && problem.isEmpty())
        return;
    m_state = state;
    emit stateChanged();
}

void ServiceLink::scheduleRetry()
{
    if (!m_running)
        return;
    m_retry.start(m_delay);
    m_delay = std::min(m_delay * 2, longestDelayMs);
}

// One attempt: the ports (which also proves the token), the service's last
// id (the line between what came meanwhile and what comes live), then the stream.
void ServiceLink::connectNow()
{
    if (!m_running || m_socket)
        return;
    const int attempt = ++m_attempt;
    QString problem;
    m_token = readToken(&problem);
    if (m_token.isEmpty()) {
        setState(State::Disconnected, problem);
        scheduleRetry();
        return;
    }
    setState(State::Connecting);
    QNetworkReply *ports = m_network.get(request(QStringLiteral("/api/ports")));
    connect(ports, &QNetworkReply::finished, this, [this, ports, attempt] {
        ports->deleteLater();
        if (attempt != m_attempt)
            return;
        const int status = ports->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        // 429: the service refuses this address for a while after wrong tokens.
        if (status == 0 || status == 401 || status == 429) {
            setState(State::Disconnected, status == 0
                         ? QStringLiteral("서비스에 연결할 수 없습니다: %1").arg(ports->errorString())
                         : QStringLiteral("토큰이 맞지 않습니다 (HTTP %1)").arg(status));
            scheduleRetry();
            return;
        }
        // A token that may not read the ports still gets the calls; the
        // tray then knows only whether the service is there.
        m_ports.clear();
        const QJsonArray list = QJsonDocument::fromJson(ports->readAll()).object().value(u"ports").toArray();
        for (const QJsonValue &port : list)
            m_ports.insert(port[u"portName"].toString(), port[u"open"].toBool());
        QNetworkReply *health = m_network.get(request(QStringLiteral("/healthz")));
        connect(health, &QNetworkReply::finished, this, [this, health, attempt] {
            health->deleteLater();
            if (attempt != m_attempt)
                return;
            if (health->error() != QNetworkReply::NoError) {
                setState(State::Disconnected, QStringLiteral("서비스에 연결할 수 없습니다: %1").arg(health->errorString()));
                scheduleRetry();
                return;
            }
            openStream(QJsonDocument::fromJson(health->readAll()).object().value(u"lastId").toInteger());
        });
    });
}

void ServiceLink::openStream(qint64 boundary)
{
    if (m_lastId < 0) {
        m_lastId = boundary; // a fresh start shows what comes from now on
        m_resumed = false;
    } else {
        if (boundary < m_lastId) {
            // A new, empty store: everything it holds is new to this screen.
            qCInfo(lcLink, "the service's events restart below %lld; reading all of them", m_lastId);
            m_lastId = 0;
        }
        m_resumed = true;
    }
    m_boundary = boundary;

    QUrl url = request(QStringLiteral("/api/stream")).url();
    url.setScheme(m_base.scheme() == u"https" ? QStringLiteral("wss") : QStringLiteral("ws"));
    url.setQuery(QStringLiteral("after=%1").arg(m_lastId));
    QNetworkRequest upgrade(url);
    upgrade.setRawHeader("Authorization", "Bearer " + m_token);

    auto *socket = new QWebSocket(QString(), QWebSocketProtocol::VersionLatest, this);
    m_socket = socket;
    connect(socket, &QWebSocket::connected, this, [this, socket] {
        if (socket != m_socket)
            return;
        qCInfo(lcLink, "stream open after id %lld", m_lastId);
        m_delay = firstDelayMs;
        m_sincePong.start();
        m_ping.start();
        setState(State::Connected);
    });
    connect(socket, &QWebSocket::pong, this, [this] { m_sincePong.restart(); });
    connect(socket, &QWebSocket::textMessageReceived, this, &ServiceLink::takeMessage);
    connect(socket, QOverload<QAbstractSocket::SocketError>::of(&QWebSocket::error), this, [this, socket](QAbstractSocket::SocketError) {
        if (socket == m_socket)
            m_problem = QStringLiteral("연결 오류: %1").arg(socket->errorString());
    });
    connect(socket, &QWebSocket::disconnected, this, &ServiceLink::onDisconnected);
    QTimer::singleShot(handshakeTimeoutMs, socket, [socket] {
        if (socket->state() != QAbstractSocket::ConnectedState)
            socket->abort();
    });
    socket->open(upgrade);
}

void ServiceLink::onDisconnected()
{
    auto *socket = qobject_cast<QWebSocket *>(sender());
    if (!socket || socket != m_socket)
        return;
    m_socket = nullptr;
    socket->disconnect(this);
    socket->deleteLater();
    m_ping.stop();
    qCInfo(lcLink, "stream closed; next attempt in %d ms", m_delay);
    setState(State::Disconnected, m_problem.isEmpty() ? QStringLiteral("연결이 끊겼습니다") : m_problem);
    scheduleRetry();
}

bool ServiceLink::firstTime(const QString &key)
{
    if (m_seen.contains(key))
        return false;
    m_seen.insert(key);
    m_seenOrder.push_back(key);
    if (m_seenOrder.size() > seenLimit) {
        m_seen.remove(m_seenOrder.front());
        m_seenOrder.pop_front();
    }
    return true;
}

void ServiceLink::takeMessage(const QString &text)
{
    const QJsonObject event = QJsonDocument::fromJson(text.toUtf8()).object();
    const qint64 id = event.value(u"id").toInteger();
    if (id > 0) {
        if (id <= m_lastId)
            return; // seen on an earlier connection
        m_lastId = id;
    }
    // An event of a site that could not reach the shared database comes
    // first without an id, and once more with one when it is forwarded.
    const qint64 localId = event.value(u"localId").toInteger();
    if (localId > 0 && !firstTime(event.value(u"site").toString() + u'/' + QString::number(localId)))
        return;
    if (id <= 0 && localId <= 0)
        return; // diagnostics carry neither

    const QString kind = event.value(u"event").toString();
    if (kind == u"ReceiveCall") {
        CallInfo call;
        if (!parseCall(event, &call))
            return;
        call.duringGap = m_resumed && id > 0 && id <= m_boundary;
        emit callArrived(call);
    } else if (kind == u"CallOutcome") {
        if (event.value(u"outcome").toString() == u"missed")
            emit missedCall(event.value(u"callId").toInteger());
    } else if (kind == u"PortState") {
        m_ports.insert(event.value(u"portName").toString(), event.value(u"open").toBool());
        emit stateChanged();
    }
}

void ServiceLink::postCall(const QJsonObject &call, std::function<void(const QJsonObject &)> done)
{
    QString problem;
    m_token = readToken(&problem);
    if (m_token.isEmpty()) {
        done(errorObject(problem));
        return;
    }
    QNetworkRequest post = request(QStringLiteral("/api/call"));
    post.setTransferTimeout(15000); // a command waits up to 5.5 s for the terminal, behind others
    post.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    QNetworkReply *reply = m_network.post(post, QJsonDocument(call).toJson(QJsonDocument::Compact));
    connect(reply, &QNetworkReply::finished, this, [reply, done = std::move(done)] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QJsonDocument answer = QJsonDocument::fromJson(reply->readAll());
        if (status == 403) {
            done(errorObject(QStringLiteral("이 토큰으로는 단말기에 명령을 보낼 수 없습니다 (HTTP 403)")));
        } else if (answer.isObject()) {
            done(answer.object());
        } else {
            done(errorObject(reply->errorString()));
        }
    });
}

} // namespace popup
