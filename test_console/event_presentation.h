// How the console words each event of the device link: the lines it logs.
// The window's handlers append them; records are passed by reference as the
// empty name is replaced in the record itself.
#ifndef EVENT_PRESENTATION_H
#define EVENT_PRESENTATION_H

#include "tavro/tavro_m.h"

#include <QStringList>

namespace tavro_console {

// A blank line, then "<port> 데이터] ": every logged event starts so.
QStringList blockStart(const QString &portName);
QStringList callLines(const QString &portName, qint16 callState, CID_INFO &cidInfo);
QString hookLine(const QString &portName, bool lifted);
QStringList responseLines(const QString &portName, qint16 msgType, const QString &rst1,
                          const QString &rst2);
QStringList gatheredLines(const QString &portName, qint16 max, qint16 kind, CID_INFO_ARRAY &cidInfo);

} // namespace tavro_console

#endif // EVENT_PRESENTATION_H
