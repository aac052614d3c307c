#include "stream.h"

#include "http_server.h"
#include "metrics.h"
#include "web_routes.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QUrlQuery>

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

QByteArray textFrame(const QByteArray &json)
{
    return ws::frame(ws::Text, json);
}

// The dashboard session a stream came in with. The bearer token, when
// given, is what let it in (see Access::authorized), whatever cookie rode along.
QByteArray sessionOf(const HttpRequest &request)
{
    if (request.header("authorization").trimmed().toLower().startsWith("bearer "))
        return {};
    return WebRoutes::sessionCookie(request);
}

} // namespace

bool readCursor(const QUrlQuery &query, std::optional<qint64> *after, QString *error)
{
    const QString name = QStringLiteral("after");
    after->reset();
    if (!query.hasQueryItem(name))
        return true;
    bool ok = false;
    const qint64 value = query.queryItemValue(name, QUrl::FullyDecoded).toLongLong(&ok);
    if (!ok || value < 0) {
        *error = QStringLiteral("after must be a whole number from 0 to %1").arg(std::numeric_limits<qint64>::max());
        return false;
    }
    *after = value;
    return true;
}

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

void StreamHub::accept(WebSocket *socket, const HttpRequest &request)
{
    socket->setParent(this);
    std::optional<qint64> after;
    QString error;
    if (isFull() || !readCursor(request.query, &after, &error)) {
        // The upgrade check refuses both first; this is the last word.
        socket->close(ws::ClosePolicyViolated, isFull() ? QStringLiteral("too many stream clients") : error);
        return;
    }

    Client client;
    client.socket = socket;
    client.session = sessionOf(request);
    client.debug = request.query.queryItemValue(QStringLiteral("debug")) == u"1";
    client.site = request.query.queryItemValue(QStringLiteral("site"), QUrl::FullyDecoded);
    const qint64 lastId = m_log.lastId();
    client.cursor = after ? std::min(*after, lastId) : lastId;
    client.live = !after;
    m_clients.push_back(client);
    const auto it = std::prev(m_clients.end());
    m_index.insert(socket, it);
    if (client.debug && m_debugClients++ == 0)
        emit debugWantedChanged(true);

    connect(socket, &WebSocket::disconnected, this, [this, socket] { drop(socket); });
    connect(socket, &WebSocket::overflowed, this, [this] { m_metrics.countStreamClosedSlow(); });
    // As a slow or replaying client drains, it reads on from the store.
    connect(socket, &WebSocket::bytesWritten, this, [this, it] {
        if (!it->live)
            replay(it);
    });
    if (after && *after > lastId) {
        // A cursor from another database: said once, before anything else.
        const QJsonObject notice{{"event", "StreamNotice"},
                                 {"notice", "cursor-clamped"},
                                 {"requested", *after},
                                 {"lastId", lastId}};
        if (!send(*it, textFrame(QJsonDocument(notice).toJson(QJsonDocument::Compact))))
            return;
    }
    if (after)
        replay(it);
}

void StreamHub::replay(ClientList::iterator client)
{
    while (client->socket->bytesToWrite() < m_liveBacklog) {
        QList<QByteArray> rows;
        QString error;
        if (!m_log.eventsAfter(client->cursor, replaySlice, &rows, &error)) {
            close(client->socket, ws::CloseInternalError, QStringLiteral("cannot read the stored events"));
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
            client->cursor = std::max(client->cursor, id);
            if (!send(*client, textFrame(row)))
                return;
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
    // Framed once: every client's socket shares these bytes.
    const QByteArray frame = textFrame(event.json);
    const QString provisionalKey = event.provisional
        ? event.site + u'\n' + QString::number(event.object.value(u"localId").toInteger())
        : QString();
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        Client &client = *it++;
        prefetchAfter(it);
        if (event.provisional) {
            // Not numbered yet: live clients see it now; a replaying one
            // reads it from the database once it has been forwarded.
            if (client.live && client.wants(event.site)) {
                constexpr qsizetype maxSeen = 10000; // a longer outage may repeat the oldest
                if (client.provisionalSeen.size() >= maxSeen)
                    client.provisionalSeen.clear();
                client.provisionalSeen.insert(provisionalKey);
                send(client, frame);
            }
            continue;
        }
        if (!client.wants(event.site))
            continue;
        if (debugKind) {
            if (client.debug)
                send(client, frame);
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
        send(client, frame);
    }
    if (!debugKind && !m_clients.empty())
        m_metrics.observeFanOut(double(clock.nsecsElapsed()) / 1e9);
}

void StreamHub::prefetchAfter(ClientList::const_iterator next) const
{
    // Each client costs a send of some microseconds, most of it in the
    // kernel; meanwhile the lines the next clients need come into the
    // cache, instead of two misses a client (its node and its socket).
    if (next == m_clients.cend())
        return;
    next->socket->prefetchForWrite();
    if (++next != m_clients.cend())
        __builtin_prefetch(&*next);
}

bool StreamHub::send(Client &client, const QByteArray &frame)
{
    // Past the backlog bound the socket ends itself, and drop() runs.
    return client.socket->write(frame);
}

void StreamHub::drop(WebSocket *socket)
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
}

void StreamHub::close(WebSocket *socket, quint16 code, const QString &reason)
{
    drop(socket);
    socket->close(code, reason);
}

void StreamHub::closeSession(const QByteArray &sessionId)
{
    if (sessionId.isEmpty())
        return;
    QList<WebSocket *> ending;
    for (const Client &client : m_clients) {
        if (client.session == sessionId)
            ending.append(client.socket);
    }
    for (WebSocket *socket : ending)
        close(socket, ws::CloseSessionEnded, QStringLiteral("session ended"));
}

void StreamHub::closeAll()
{
    while (!m_clients.empty())
        close(m_clients.front().socket, ws::CloseGoingAway, QStringLiteral("service stopping"));
}

} // namespace tavrod
