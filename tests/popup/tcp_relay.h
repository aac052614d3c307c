// A TCP relay on 127.0.0.1 in front of tavrod, so that a suite can cut
// the network between a screen and the service while the service runs.
#ifndef TAVRO_TESTS_TCP_RELAY_H
#define TAVRO_TESTS_TCP_RELAY_H

#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

class TcpRelay : public QObject
{
    Q_OBJECT

public:
    explicit TcpRelay(quint16 target);
    bool listen();
    quint16 port() const { return m_port; }
    void setTarget(quint16 target) { m_target = target; }
    // Every connection dropped and no new one taken, until restore().
    void cut();
    bool restore();
    // The connections open now stay open but carry nothing any more, as
    // when a cable is pulled; new ones pass.
    void freeze();

private:
    void relay();

    QTcpServer m_server;
    quint16 m_target;
    quint16 m_port = 0;
    QList<QPointer<QTcpSocket>> m_sockets;
};

#endif
