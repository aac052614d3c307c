// Keeps the wanted ports open: opens them at start and, when a device is
// missing or vanishes, opens it again once it is back. Checks once a second
// (a stat of the device path while it is absent), never in a loop.
#ifndef TAVROD_PORT_KEEPER_H
#define TAVROD_PORT_KEEPER_H

#include <QDateTime>
#include <QJsonArray>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QTimer>

class tavro_m;

namespace tavrod {

class PortKeeper : public QObject
{
    Q_OBJECT

public:
    PortKeeper(tavro_m &control, QStringList ports, QObject *parent = nullptr);

    void start();
    // Stops reopening and closes every port (at the end of the service).
    void closeAll();

    // {"portName","path","open","since"} for each wanted port.
    QJsonArray describe() const;
    int openCount() const;

    // A state change the control reported (PortStateChanged).
    void noteState(const QString &portName, bool open, const QString &reason);

private:
    struct Port
    {
        bool open = false;
        QDateTime since;
        QString lastFailure;
        bool held = false; // closed by a client (CloseTavro): not reopened
    };
    void check();
    void tryOpen(const QString &portName, Port &port);
    QString pathOf(const QString &portName) const;

    tavro_m &m_control;
    QStringList m_names;
    QMap<QString, Port> m_ports;
    QTimer m_timer;
    bool m_stopping = false;
};

} // namespace tavrod

#endif
