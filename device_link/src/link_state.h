// The library-wide state of the device link, kept in one place: a receive
// buffer per port, one synchronisation flag and tick counter, one error
// text and the area tables. Every port and every control object on the
// thread shares it.
#ifndef TAVRO_LINK_STATE_H
#define TAVRO_LINK_STATE_H

#include <QString>
#include <QStringView>

#include <array>

#include "tavro/tavro_m_export.h"

namespace tavro::detail {

constexpr int kAreaSlots = 17; // slots 0..15 filled, 16 never used
constexpr int kPortSlots = 4;  // "COM1".."COM4"

struct ReceiveState
{
    // Each port frames its own text: two terminals sending at once never
    // interleave their lines in one buffer.
    std::array<QString, kPortSlots> gRxData;
    // Where the search for "ACK" starts in each buffer: a SendCmd moves it to
    // the end when it sends "[", so that only an answer to this request
    // counts. Kept in step with every removal from the front of the buffer.
    std::array<qsizetype, kPortSlots> ackScanFrom {};
    // One flag for the whole library: an "ACK" on any open port ends the
    // wait of a command on any port.
    bool gAckReceived = false;
    qint32 gSyncTickCnt = 0;
    // The port whose text arrived last: the public field reads work on its buffer.
    int lastSlot = 0;
};

ReceiveState &receiveState();

// The names the design gives the shared state, bound to the one object.
extern std::array<QString, kPortSlots> &gRxData;
extern bool &gAckReceived;
extern qint32 &gSyncTickCnt;
extern QString gCurrentErrorMsg;
extern QString gAreaNumber[kAreaSlots];
extern QString gAreaName[kAreaSlots];
extern QString gAreaCode[kAreaSlots];

// The buffer never holds more than this many characters without a complete
// message. The framing positions were 16-bit once; nothing the terminal sends
// comes near this size, so a larger backlog is noise and its oldest part goes.
constexpr qsizetype kRxLimit = 32767;

inline const QString kCrLf = QStringLiteral("\r\n");
inline const QString kEndLine = QStringLiteral("End\r\n");

// Position of the first end line ("End" CR LF where a line starts) in `text`
// at or after `from`, or -1.
qsizetype findEndLine(QStringView text, qsizetype from = 0);
// Removes the first n characters of the port's buffer.
void dropFront(int slot, qsizetype n);
// The port's buffer lost its first n characters: keeps the ACK scan in step.
void frontRemoved(int slot, qsizetype n);
// Removes the first `stop` characters of the port's buffer and returns
// those from `from` on, moving rather than copying the larger part.
QString takeFront(int slot, qsizetype from, qsizetype stop);
// Empties the port's buffer.
void clearRx(int slot);
// From now on only an "ACK" that arrives later counts, on every port.
void markAckScanStart();
// Back to the state of a freshly loaded library (used by tests).
void resetLinkState();
// Writes the sixteen rows of the area table into slots 0..15.
void FillAreaTables();

// Characters of `text` from the 1-based position `start`, at most `count`;
// empty when start lies beyond the end.
QString substring(const QString &text, int start, int count);
// The decimal number `text` starts with after leading blanks, with its sign
// and fraction; 0 when there is none ("3x" 3, "2.5" 2.5, "a" 0).
double leadingNumber(QStringView text);
// The decimal number `text` starts with (leading blanks skipped), rounded to
// the nearest integer and clamped to the 16-bit range; 0 when there is none.
qint16 numberValue(QStringView text);

} // namespace tavro::detail

#endif // TAVRO_LINK_STATE_H
