#include "tcp_relay.h"

TcpRelay::TcpRelay(quint16 target)
    : m_target(target)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TcpRelay::relay);
}

bool TcpRelay::listen()
{
    if (!m_server.listen(QHostAddress::LocalHost, m_port))
        return false;
    m_port = m_server.serverPort();
    return true;
}

void TcpRelay::cut()
{
    m_server.close();
    for (const QPointer<QTcpSocket> &socket : std::as_const(m_sockets)) {
        if (socket)
            socket->abort();
    }
    m_sockets.clear();
}

void TcpRelay::freeze()
{
    for (const QPointer<QTcpSocket> &socket : std::as_const(m_sockets)) {
        if (socket)
            socket->setProperty("frozen", true);
    }
}

bool TcpRelay::restore()
{
    return listen();
}

void TcpRelay::relay()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        auto *upstream = new QTcpSocket(client);
        m_sockets << client << upstream;
        // What the client sends before the service answers waits in its socket.
        auto pump = [](QTcpSocket *from, QTcpSocket *to) {
            if (from->property("frozen").toBool() || to->property("frozen").toBool())
                from->readAll(); // lost on the way
            else if (to->state() == QAbstractSocket::ConnectedState)
                to->write(from->readAll());
        };
        connect(client, &QTcpSocket::readyRead, upstream, [=] { pump(client, upstream); });
        connect(upstream, &QTcpSocket::connected, client, [=] { pump(client, upstream); });
        connect(upstream, &QTcpSocket::readyRead, client, [=] { pump(upstream, client); });
        connect(upstream, &QTcpSocket::disconnected, client, [=] { client->disconnectFromHost(); });
        connect(upstream, &QTcpSocket::errorOccurred, client, [=] { client->abort(); });
        connect(client, &QTcpSocket::disconnected, client, [=] {
            upstream->abort();
            client->deleteLater();
        });
        upstream->connectToHost(QHostAddress::LocalHost, m_target);
    }
}
