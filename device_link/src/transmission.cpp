// Sending: SendCmd with its synchronisation exchange, and raw TxData.
#include "control_private.h"
#include "link_state.h"

using namespace tavro::detail;

bool tavro_m::SendCmd(QString &, char &, QString &, QString &, QString &)
{
    // Not built yet: the synchronisation exchange comes with command transmission.
    gCurrentErrorMsg = QStringLiteral("SendCmd is not available yet");
    return false;
}

bool tavro_m::SendCmd(const QString &portName, char cmd, const QString &para1,
                      const QString &para2, const QString &para3)
{
    QString port = portName, p1 = para1, p2 = para2, p3 = para3;
    return SendCmd(port, cmd, p1, p2, p3);
}

QVariant tavro_m::TxData(QString &portName, QString &data)
{
    const qint16 slot = PortNameToIndex(portName);
    if (slot < 0)
        throw tavro::CallError("TxData: unknown port name \"" + portName.toStdString() + "\"");
    tavro::SerialSlot *port = d->mscTavroPort[slot].get();
    QString error;
    if (!port || !port->isOpen())
        throw tavro::CallError("TxData: port " + portName.toStdString() + " is not open");
    if (!port->write(data, &error))
        throw tavro::CallError("TxData: write to " + portName.toStdString() + " failed: "
                               + error.toStdString());
    return QVariant();
}
