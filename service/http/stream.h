// The WebSocket stream: every event to every client, a replay of the stored
// events after ?after=ID first, without a gap or a duplicate between the
// replay and the live events.
//
// Slow clients: live events go to a client only while its unsent backlog is
// below liveBacklog; beyond it the client falls back to catching up from
// the store (as a replay does) as it drains, so a slow reader costs about
// that much memory here and loses nothing. A client whose backlog still
// passes maxBacklog (one huge replay, a stuck socket) is closed; it comes
// back with after= and loses nothing. Neither delays the link or the others.
//
// Each event is framed once; the same bytes go to every client's socket.
//
// Cursors: after= is a whole number from 0 up, or the upgrade is refused
// with 400 (as /api/events refuses it). A cursor beyond the newest stored
// id (a database restored or replaced since the client saw it) starts at
// the newest id instead, and the first message says so:
//   {"event":"StreamNotice","notice":"cursor-clamped","requested":N,"lastId":M}
//
// A client came in with the bearer token or with a dashboard session; when
// that session ends, closeSession() closes its streams (code 4401).
#ifndef TAVROD_STREAM_H
#define TAVROD_STREAM_H

#include "event_store.h"
#include "websocket.h"

#include <QHash>
#include <QObject>
#include <QSet>

#include <list>
#include <optional>

class QUrlQuery;

namespace tavrod {

class Metrics;
struct HttpRequest;

// The after= cursor of /api/events and /api/stream: absent (nullopt), or a
// whole number from 0 up; false with the reason for anything else.
bool readCursor(const QUrlQuery &query, std::optional<qint64> *after, QString *error);

class StreamHub : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 maxBacklog = WebSocket::maxBacklog;
    static constexpr qint64 defaultLiveBacklog = 8 * 1024;

    StreamHub(EventSource &log, Metrics &metrics, int maxClients, qint64 liveBacklog = defaultLiveBacklog,
              QObject *parent = nullptr);
    ~StreamHub() override;

    // Takes an upgraded socket; the request's query says after=, site= and
    // debug=, its credentials which session it belongs to.
    void accept(tavrod::WebSocket *socket, const tavrod::HttpRequest &request);
    void publish(const tavrod::EventRecord &event);
    // Closes at once every stream that came in with this dashboard session.
    void closeSession(const QByteArray &sessionId);
    void closeAll();

    int clientCount() const { return int(m_clients.size()); }
    bool isFull() const { return clientCount() >= m_maxClients; }

Q_SIGNALS:
    void debugWantedChanged(bool wanted);

private:
    struct Client
    {
        WebSocket *socket = nullptr;
        QByteArray session; // the dashboard session it came with; empty for the bearer token
        bool debug = false;
        bool live = false;
        qint64 cursor = 0; // the id of the last event this client was sent
        QString site;      // ?site=: only this site's events (a shared database holds many)
        bool wants(const QString &eventSite) const { return site.isEmpty() || eventSite == site; }
        // Sent before they were numbered ("site\nlocalId"): a client that
        // falls behind and replays is not sent them again.
        QSet<QString> provisionalSeen;
    };
    using ClientList = std::list<Client>;

    void replay(ClientList::iterator client);
    void prefetchAfter(ClientList::const_iterator next) const;
    // False when the client is gone (and dropped) after it.
    bool send(Client &client, const QByteArray &frame);
    void drop(WebSocket *socket);
    void close(WebSocket *socket, quint16 code, const QString &reason);

    EventSource &m_log;
    Metrics &m_metrics;
    int m_maxClients;
    qint64 m_liveBacklog;
    ClientList m_clients;
    QHash<WebSocket *, ClientList::iterator> m_index;
    int m_debugClients = 0;
};

} // namespace tavrod

#endif
