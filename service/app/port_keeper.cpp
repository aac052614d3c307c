#include "port_keeper.h"
#include "logging.h"

#include "tavro/tavro_m.h"

#include <QFileInfo>
#include <QJsonObject>

#include <cstdio>

namespace tavrod {

PortKeeper::PortKeeper(tavro_m &control, QStringList ports, QObject *parent)
    : QObject(parent)
    , m_control(control)
    , m_names(std::move(ports))
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const QString &name : m_names)
        m_ports.insert(name, Port{false, now, QString()});
    m_timer.setInterval(1000);
    connect(&m_timer, &QTimer::timeout, this, &PortKeeper::check);
}

QString PortKeeper::pathOf(const QString &portName) const
{
    return m_control.portMap().value(portName);
}

void PortKeeper::start()
{
    for (const QString &name : m_names)
        tryOpen(name, m_ports[name]);
    m_timer.start();
}

void PortKeeper::closeAll()
{
    m_stopping = true;
    m_timer.stop();
    for (const QString &name : m_names) {
        QString portName = name, errorStr;
        try {
            m_control.CloseTavro(portName, errorStr);
        } catch (const tavro::CallError &) {
            // Only known names are kept.
        }
    }
}

void PortKeeper::noteState(const QString &portName, bool open, const QString &reason)
{
    auto it = m_ports.find(portName);
    if (it == m_ports.end())
        return;
    // A port a client closed on purpose stays closed until one opens it;
    // only a vanished device is waited for and reopened.
    it->held = !open && reason == u"closed";
    if (it->open == open)
        return;
    it->open = open;
    it->since = QDateTime::currentDateTimeUtc();
    qCInfo(lcLink, "%s %s (%s)", qPrintable(portName), qPrintable(reason),
                 qPrintable(pathOf(portName)));
}

void PortKeeper::tryOpen(const QString &name, Port &port)
{
    QString portName = name, errorStr;
    const qint16 result = m_control.OpenTavro(portName, errorStr);
    if (result == 0 || result == 1) {
        port.lastFailure.clear();
        return;
    }
    // The same failure every second is one line, not sixty a minute.
    if (errorStr != port.lastFailure) {
        port.lastFailure = errorStr;
        qCWarning(lcLink, "%s cannot be opened, trying again when %s is there: %s",
                     qPrintable(name), qPrintable(pathOf(name)), qPrintable(errorStr));
    }
}

void PortKeeper::check()
{
    if (m_stopping)
        return;
    for (const QString &name : m_names) {
        Port &port = m_ports[name];
        if (!port.open && !port.held && QFileInfo::exists(pathOf(name)))
            tryOpen(name, port);
    }
}

QJsonArray PortKeeper::describe() const
{
    QJsonArray ports;
    for (const QString &name : m_names) {
        const Port &port = m_ports[name];
        ports.append(QJsonObject{{"portName", name},
                                 {"path", pathOf(name)},
                                 {"open", port.open},
                                 {"since", port.since.toString(Qt::ISODateWithMs)}});
    }
    return ports;
}

int PortKeeper::openCount() const
{
    int count = 0;
    for (const Port &port : m_ports)
        count += port.open ? 1 : 0;
    return count;
}

} // namespace tavrod
