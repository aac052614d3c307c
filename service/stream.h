// The WebSocket stream: every event to every client, a replay of the stored
// events after ?after=ID first, without a gap or a duplicate between the
// replay and the live events. A client that reads too slowly (its unsent
// backlog passes maxBacklog) is closed; it comes back with after= and loses
// nothing, and it never delays the link or the other clients.
#ifndef TAVROD_STREAM_H
#define TAVROD_STREAM_H

#include "event_store.h"

#include <QObject>

#include <list>

class QWebSocket;

namespace tavrod {

class Metrics;

class StreamHub : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 maxBacklog = 1 << 20;

    StreamHub(EventSource &log, Metrics &metrics, int maxClients, QObject *parent = nullptr);
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
    };
    using ClientList = std::list<Client>;

    void replay(ClientList::iterator client);
    bool send(Client &client, const QString &text);
    void drop(QWebSocket *socket, bool slow);
    ClientList::iterator find(QWebSocket *socket);

    EventSource &m_log;
    Metrics &m_metrics;
    int m_maxClients;
    ClientList m_clients;
    int m_debugClients = 0;
};

} // namespace tavrod

#endif
