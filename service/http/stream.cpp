#include "stream.h"

#include "metrics.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QUrlQuery>
#include <QWebSocket>

namespace tavrod {

namespace {

// Replay is sent in slices and only while the client's backlog is small,
// so a long replay neither blocks the loop nor trips the slow-client bound.
constexpr int replaySlice = 100;

// The id of a stored event's JSON. Inside a JSON string every quote is
// escaped, so "id": outside one is the top-level key (no nested object
// carries an id); the full parse is the fallback.
qint64 idOf(const QByteArray &json)
{
    const qsizetype at = json.indexOf("\"id\":");
    if (at >= 0) {
        qsizetype end = at + 5;
        while (end < json.size() && json[end] >= '0' && json[end] <= '9')
            ++end;
        bool ok = false;
        const qint64 id = json.mid(at + 5, end - at - 5).toLongLong(&ok);
        if (ok)
            return id;
    }
    return QJsonDocument::fromJson(json).object().value(u"id").toInteger();
}

} // namespace

StreamHub::StreamHub(EventSource &log, Metrics &metrics, int maxClients, qint64 liveBacklog, QObject *parent)
    : QObject(parent)
    , m_log(log)
    , m_metrics(metrics)
    , m_maxClients(maxClients)
    , m_liveBacklog(liveBacklog)
{
}

StreamHub::~StreamHub()
{
    closeAll();
}

void StreamHub::accept(QWebSocket *socket)
{
    if (isFull()) {
        socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("too many stream clients"));
        socket->deleteLater();
        return;
    }
    // Clients have nothing to say; whatever they send is small or refused.
    socket->setMaxAllowedIncomingMessageSize(4096);
    socket->setMaxAllowedIncomingFrameSize(4096);

    const QUrlQuery query(socket->requestUrl());
    Client client;
    client.socket = socket;
    client.debug = query.queryItemValue(QStringLiteral("debug")) == u"1";
    client.site = query.queryItemValue(QStringLiteral("site"), QUrl::FullyDecoded);
    bool hasAfter = false;
    const qint64 after = query.queryItemValue(QStringLiteral("after")).toLongLong(&hasAfter);
    client.cursor = hasAfter ? std::max<qint64>(after, 0) : m_log.lastId();
    client.live = !hasAfter;
    m_clients.push_back(client);
    const auto it = std::prev(m_clients.end());
    m_index.insert(socket, it);
    if (client.debug && m_debugClients++ == 0)
        emit debugWantedChanged(true);

    connect(socket, &QWebSocket::disconnected, this, [this, socket] { drop(socket, false); });
    // As a slow or replaying client drains, it reads on from the store.
    connect(socket, &QWebSocket::bytesWritten, this, [this, it] {
        if (!it->live)
            replay(it);
    });
    if (hasAfter)
        replay(it);
}

void StreamHub::replay(ClientList::iterator client)
{
    while (client->socket->bytesToWrite() < m_liveBacklog) {
        QList<QByteArray> rows;
        QString error;
        if (!m_log.eventsAfter(client->cursor, replaySlice, &rows, &error)) {
            client->socket->close(QWebSocketProtocol::CloseCodeAbnormalDisconnection,
                                  QStringLiteral("cannot read the stored events"));
            return;
        }
        if (rows.isEmpty()) {
            // Caught up: every later event reaches it live, in order.
            client->live = true;
            return;
        }
        // Row by row, so the backlog passes the bound by one event at most.
        for (const QByteArray &row : rows) {
            const qint64 id = idOf(row);
            if (!client->site.isEmpty() || !client->provisionalSeen.isEmpty()) {
                const QJsonObject object = QJsonDocument::fromJson(row).object();
                const QString site = object.value(u"site").toString();
                if (!client->wants(site)
                    || client->provisionalSeen.remove(site + u'\n'
                                                      + QString::number(object.value(u"localId").toInteger()))) {
                    client->cursor = std::max(client->cursor, id);
                    continue;
                }
            }
            if (!send(*client, QString::fromUtf8(row)))
                return;
            client->cursor = std::max(client->cursor, id);
            if (client->socket->bytesToWrite() >= m_liveBacklog)
                return;
        }
    }
}

void StreamHub::publish(const EventRecord &event)
{
    const bool debugKind = event.id == 0 && !event.provisional;
    if (debugKind && m_debugClients == 0)
        return;
    QElapsedTimer clock;
    clock.start();
    const QString text = QString::fromUtf8(event.json);
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        Client &client = *it++;
        if (event.provisional) {
            // Not numbered yet: live clients see it now; a replaying one
            // reads it from the database once it has been forwarded.
            if (client.live && client.wants(event.site)) {
                constexpr qsizetype maxSeen = 10000; // a longer outage may repeat the oldest
                if (client.provisionalSeen.size() >= maxSeen)
                    client.provisionalSeen.clear();
                client.provisionalSeen.insert(event.site + u'\n'
                                              + QString::number(event.object.value(u"localId").toInteger()));
                send(client, text);
            }
            continue;
        }
        if (!client.wants(event.site))
            continue;
        if (debugKind) {
            if (client.debug)
                send(client, text);
            continue;
        }
        // A replaying client reads this one from the store later.
        if (!client.live || event.id <= client.cursor)
            continue;
        if (client.socket->bytesToWrite() >= m_liveBacklog) {
            client.live = false; // behind: catches up from the store
            continue;
        }
        client.cursor = event.id;
        send(client, text);
    }
    if (!debugKind && !m_clients.empty())
        m_metrics.observeFanOut(double(clock.nsecsElapsed()) / 1e9);
}

bool StreamHub::send(Client &client, const QString &text)
{
    client.socket->sendTextMessage(text);
    if (client.socket->bytesToWrite() <= maxBacklog)
        return true;
    drop(client.socket, true);
    return false;
}

void StreamHub::drop(QWebSocket *socket, bool slow)
{
    const auto found = m_index.constFind(socket);
    if (found == m_index.cend())
        return;
    const auto it = *found;
    m_index.erase(found);
    if (it->debug && --m_debugClients == 0)
        emit debugWantedChanged(false);
    m_clients.erase(it);
    socket->disconnect(this);
    if (slow) {
        m_metrics.countStreamClosedSlow();
        socket->abort();
    }
    socket->deleteLater();
}

void StreamHub::closeAll()
{
    while (!m_clients.empty()) {
        QWebSocket *socket = m_clients.front().socket;
        socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("service stopping"));
        drop(socket, false);
    }
}

} // namespace tavrod
