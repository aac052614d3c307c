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
#ifndef TAVROD_STREAM_H
#define TAVROD_STREAM_H

#include "event_store.h"

#include <QHash>
#include <QObject>
#include <QSet>

#include <list>

class QWebSocket;

namespace tavrod {

class Metrics;

class StreamHub : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 maxBacklog = 1 << 20;
    static constexpr qint64 defaultLiveBacklog = 8 * 1024;

    StreamHub(EventSource &log, Metrics &metrics, int maxClients, qint64 liveBacklog = defaultLiveBacklog,
              QObject *parent = nullptr);
    ~StreamHub() override;

    // Takes an accepted socket; its URL's query says after= and debug=.
    void accept(QWebSocket *socket);
    void publish(const tavrod::EventRecord &event);
    void closeAll();

    int clientCount() const { return int(m_clients.size()); }
    bool isFull() const { return clientCount() >= m_maxClients; }
    bool wantsDebug() const { return m_debugClients > 0; }

Q_SIGNALS:
    void debugWantedChanged(bool wanted);

private:
    struct Client
    {
        QWebSocket *socket = nullptr;
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
    bool send(Client &client, const QString &text);
    void drop(QWebSocket *socket, bool slow);

    EventSource &m_log;
    Metrics &m_metrics;
    int m_maxClients;
    qint64 m_liveBacklog;
    ClientList m_clients;
    QHash<QWebSocket *, ClientList::iterator> m_index;
    int m_debugClients = 0;
};

} // namespace tavrod

#endif
