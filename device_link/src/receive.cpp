// The receive path: serial input into the one buffer, the synchronisation
// answer, message framing, and the field reads the decoders use.
#include "control_private.h"
#include "link_state.h"
#include "receive_scope.h"

using namespace tavro::detail;

namespace {

const QString kAck = QStringLiteral("ACK");
const QString kResponseLine = QStringLiteral("Response\r\n");
const QString kReportLine = QStringLiteral("Report\r\n");

// A line starts at pos: the buffer start or right after CR LF.
bool lineStartsAt(qsizetype pos)
{
    return pos == 0 || (pos >= 2 && gRxData.at(pos - 2) == u'\r' && gRxData.at(pos - 1) == u'\n');
}

// The last marker line that ends at or before `limit`. A marker counts where
// a line starts, or right behind an "ACK" that came without a line end;
// inside a field value ("Name:Report") it is text.
qsizetype lastMarkerBefore(const QString &marker, qsizetype limit)
{
    if (limit < marker.size())
        return -1; // a negative start would make lastIndexOf count from the end
    for (qsizetype pos = gRxData.lastIndexOf(marker, limit - marker.size()); pos >= 0;
         pos = pos > 0 ? gRxData.lastIndexOf(marker, pos - 1) : -1) {
        if (lineStartsAt(pos) || (pos >= 3 && QStringView(gRxData).mid(pos - 3, 3) == kAck))
            return pos;
    }
    return -1;
}

// The message being decoded. Nested notifications (a host handler that waits
// in SendCmd) decode their own messages in between, so scopes stack.
MessageScope *gCurrentScope = nullptr;

// Whether the message being decoded has already been discarded: reads and
// discards after that must not reach into the next message.
bool messageOver()
{
    return gCurrentScope && gCurrentScope->discarded;
}

} // namespace

MessageScope::MessageScope()
    : outer(gCurrentScope)
{
    gCurrentScope = this;
}

MessageScope::~MessageScope()
{
    gCurrentScope = outer;
}

void tavro_m::onPortInput(int slot)
{
    const QString portName = portNameOf(slot);
    emit DebugMsg(QStringLiteral("portname=") + portName);

    tavro::SerialSlot *port = d->mscTavroPort[slot].get();
    if (!port || port->bytesWaiting() < 1)
        return;
    const QString piece = port->input();
    if (piece.isEmpty())
        return; // only the first byte of a two-byte character so far

    const qsizetype oldSize = gRxData.size();
    gRxData += piece;
    d->lastInputSlot = slot;
    emit ReceiveReal(portName, piece);

    // Only text that can hold a new "ACK" is searched; gAckScanFrom keeps an
    // answer to an earlier request from counting again.
    if (gRxData.indexOf(kAck, std::max(gAckScanFrom, oldSize - 2)) >= 0)
        gAckReceived = true;

    // Every notification leaves no end line behind, so only an end line
    // that the new piece completes can start framing; searching just there
    // keeps a message that arrives byte by byte linear in its length.
    if (findEndLine(std::max<qsizetype>(0, oldSize - (kEndLine.size() - 1))) >= 0)
        frameMessages(portName);

    if (gRxData.size() > kRxLimit) {
        dropFront(gRxData.size() - kRxLimit);
        // The cut may have made the tail of a longer line look like an end line.
        if (gRxData.startsWith(kEndLine))
            dropFront(kEndLine.size());
    }
}

// Frames and decodes every complete message in the buffer, oldest first.
void tavro_m::frameMessages(const QString &portName)
{
    for (qsizetype end = findEndLine(); end >= 0; end = findEndLine()) {
        emit DebugMsg(QStringLiteral("전체수신데이터:") + gRxData);

        // The marker nearest in front of the first end line starts the
        // message it closes; text in front of that marker is a fragment.
        const qsizetype response = lastMarkerBefore(kResponseLine, end);
        const qsizetype report = lastMarkerBefore(kReportLine, end);
        if (response >= 0 && response > report) {
            dropFront(response + kResponseLine.size());
            MessageScope scope;
            ProcessResponse(portName);
        } else if (report >= 0) {
            emit DebugMsg(QStringLiteral("s1:idx=") + QString::number(report + 1) + kCrLf);
            dropFront(report + kReportLine.size());
            MessageScope scope;
            ProcessReport(portName);
        } else {
            // An end line with no marker: drop through it, keep what follows.
            emit DebugMsg(QStringLiteral("s1:idx=0") + kCrLf);
            dropFront(end + kEndLine.size());
        }
    }
}

QString tavro_m::GetInformationWithIndicator(QString title)
{
    if (messageOver() || title.isEmpty())
        return QString();
    qsizetype pos = gRxData.indexOf(title);
    while (pos >= 0 && !lineStartsAt(pos))
        pos = gRxData.indexOf(title, pos + 1);
    // Fields are looked up inside the current message only: a title behind
    // an end line belongs to the next message.
    if (pos < 0 || findEndLine(0, pos) >= 0)
        return QString();
    const qsizetype valueStart = pos + title.size();
    const qsizetype lineEnd = gRxData.indexOf(kCrLf, valueStart);
    if (lineEnd < 0)
        return QString();
    const QString value = gRxData.mid(valueStart, lineEnd - valueStart);
    dropFront(lineEnd + kCrLf.size());
    return value;
}

QString tavro_m::GetInformationWithoutIndicator()
{
    if (messageOver())
        return QString();
    const qsizetype lineEnd = gRxData.indexOf(kCrLf);
    if (lineEnd < 0)
        return QString();
    const QString value = gRxData.left(lineEnd);
    // A message shorter than expected reads its end line as the value, but
    // the end line stays: it still closes this message.
    if (gRxData.startsWith(kEndLine))
        return value;
    dropFront(lineEnd + kCrLf.size());
    return value;
}

void tavro_m::EndMessageDiscard()
{
    if (messageOver())
        return;
    const qsizetype end = findEndLine();
    if (end < 0)
        return;
    dropFront(end + kEndLine.size());
    if (gCurrentScope)
        gCurrentScope->discarded = true;
}
