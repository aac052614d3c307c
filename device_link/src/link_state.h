// The library-wide state of the device link: one receive buffer, one
// synchronisation flag and counter, one error text and the area tables,
// shared by every port and every control object on the thread.
#ifndef TAVRO_LINK_STATE_H
#define TAVRO_LINK_STATE_H

#include <QString>

#include "tavro/tavro_m_export.h"

namespace tavro::detail {

constexpr int kAreaSlots = 17; // slots 0..15 filled, 16 never used

extern QString gRxData;
extern bool gAckReceived;
extern qint32 gSyncTickCnt;
extern QString gCurrentErrorMsg;
extern QString gAreaNumber[kAreaSlots];
extern QString gAreaName[kAreaSlots];
extern QString gAreaCode[kAreaSlots];

// Where the search for "ACK" starts in gRxData: a SendCmd moves it to the end
// of the buffer when it sends "[", so that only an answer to this request
// counts. Kept in step with every removal from the front of the buffer.
extern qsizetype gAckScanFrom;

// The buffer never holds more than this many characters without a complete
// message. The framing positions were 16-bit once; nothing the terminal sends
// comes near this size, so a larger backlog is noise and its oldest part goes.
constexpr qsizetype kRxLimit = 32767;

inline const QString kCrLf = QStringLiteral("\r\n");
inline const QString kEndLine = QStringLiteral("End\r\n");

// Position of the first end line ("End" CR LF where a line starts) at or
// after `from` and, when `before` is given, starting before it; or -1.
qsizetype findEndLine(qsizetype from = 0, qsizetype before = -1);
// Removes the first n characters of gRxData.
void dropFront(qsizetype n);
// Empties gRxData.
void clearRx();
// Back to the state of a freshly loaded library (used by tests).
void resetLinkState();
// Writes the sixteen rows of the area table into slots 0..15.
void FillAreaTables();

// Characters of `text` from the 1-based position `start`, at most `count`;
// empty when start lies beyond the end.
QString substring(const QString &text, int start, int count);
// The decimal number `text` starts with after leading blanks, with its sign
// and fraction; 0 when there is none ("3x" 3, "2.5" 2.5, "a" 0).
double leadingNumber(const QString &text);
// The decimal number `text` starts with (leading blanks skipped), rounded to
// the nearest integer and clamped to the 16-bit range; 0 when there is none.
qint16 numberValue(const QString &text);

} // namespace tavro::detail

#endif // TAVRO_LINK_STATE_H
