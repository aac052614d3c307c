// The receive path: serial input into its port's buffer, the synchronisation
// answer, message framing, and the field reads the decoders use.
#include "control_private.h"
#include "decoders.h"
#include "link_state.h"

#include <algorithm>

using namespace tavro::detail;

namespace {

const QString kAck = QStringLiteral("ACK");
const QString kResponseLine = QStringLiteral("Response\r\n");
const QString kReportLine = QStringLiteral("Report\r\n");

// A type-letter line (one character, CR LF) starts at `at` and ends by `limit`.
bool typeLineAt(const QString &rx, qsizetype at, qsizetype limit)
{
    return at + 3 <= limit && rx.at(at) != u'\r' && rx.at(at) != u'\n' && rx.at(at + 1) == u'\r'
        && rx.at(at + 2) == u'\n';
}

// An end line starts in `text` before `limit`. Only the text such a line
// could occupy is searched, not the rest of the message.
bool endLineBefore(const QString &text, qsizetype limit)
{
    const qsizetype reach = std::min(text.size(), limit - 1 + kEndLine.size());
    return reach > 0 && findEndLine(QStringView(text).first(reach)) >= 0;
}

// The last marker line in front of `limit` that starts a message. A marker
// counts wherever it stands (noise, a cut marker or an echo in front of it on
// its line are a dropped fragment), but only with a type-letter line right
// behind it: a field whose value reads "Report" ("Name:Report") is followed
// by another field or the end line, never by a lone letter.
qsizetype lastMarkerBefore(const QString &rx, const QString &marker, qsizetype limit)
{
    if (limit < marker.size())
        return -1; // a negative start would make lastIndexOf count from the end
    for (qsizetype pos = rx.lastIndexOf(marker, limit - marker.size()); pos >= 0;
         pos = pos > 0 ? rx.lastIndexOf(marker, pos - 1) : -1) {
        if (typeLineAt(rx, pos + marker.size(), limit))
            return pos;
    }
    return -1;
}

// Whether the message being decoded has already been discarded: reads and
// discards after that yield nothing.
bool messageOver(const ReceiveState &state)
{
    return state.scope && state.scope->discarded;
}

QString &textOf(ReceiveState &state)
{
    return state.scope ? state.scope->text : gRxData[state.lastSlot];
}

void consume(ReceiveState &state, qsizetype n)
{
    MessageScope *scope = state.scope;
    if (!scope) {
        dropFront(state.lastSlot, n);
        return;
    }
    scope->text.remove(0, n);
    if (scope->endLine >= n)
        scope->endLine -= n;
    else if (scope->endLine >= 0)
        scope->endLine = MessageScope::kNotSearched; // removed with the rest
}

qsizetype endLineOf(ReceiveState &state)
{
    MessageScope *scope = state.scope;
    if (!scope)
        return findEndLine(gRxData[state.lastSlot]);
    if (scope->endLine == MessageScope::kNotSearched)
        scope->endLine = findEndLine(scope->text);
    return scope->endLine;
}

} // namespace

namespace tavro::detail {

QString &messageText()
{
    return textOf(receiveState());
}

void consumeMessage(qsizetype n)
{
    consume(receiveState(), n);
}

qsizetype messageEndLine()
{
    return endLineOf(receiveState());
}

void discardThenRaise(tavro_m &control, const QString &portName, Decoded &decoded)
{
    control.EndMessageDiscard();
    switch (decoded.event) {
    case Decoded::Hook:
        emit control.HookEvent(portName, decoded.lifted);
        break;
    case Decoded::Call:
        emit control.ReceiveCall(portName, decoded.callState, decoded.record);
        break;
    case Decoded::Response:
        emit control.ReceiveResponse(portName, decoded.msgType, decoded.rst1, decoded.rst2, QString());
        break;
    case Decoded::List: {
        // The host gets its own copies of the count and kind; what it writes is ignored.
        qint16 max = decoded.count;
        qint16 kind = decoded.kind;
        emit control.ReceiveGatheredInfo(portName, max, kind, *decoded.records);
        break;
    }
    case Decoded::Nothing:
        break;
    }
}

} // namespace tavro::detail

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

    QString &rx = gRxData[slot];
    const qsizetype oldSize = rx.size();
    rx += piece;
    ReceiveState &state = receiveState();
    state.lastSlot = slot;

    // Only text that can hold a new "ACK" is searched; the scan start keeps
    // an answer to an earlier request from counting again. Looked at before
    // any event: a handler may change the buffer.
    if (rx.indexOf(kAck, std::max(state.ackScanFrom[slot], oldSize - 2)) >= 0)
        gAckReceived = true;
    // Every notification leaves no end line behind, so only an end line
    // that the new piece completes can start framing; searching just there
    // keeps a message that arrives byte by byte linear in its length.
    const bool completesMessage = findEndLine(rx, std::max<qsizetype>(0, oldSize - (kEndLine.size() - 1))) >= 0;

    emit ReceiveReal(portName, piece);
    if (completesMessage)
        frameMessages(slot);

    if (rx.size() > kRxLimit) {
        dropFront(slot, rx.size() - kRxLimit);
        // The cut may have made the tail of a longer line look like an end line.
        if (rx.startsWith(kEndLine))
            dropFront(slot, kEndLine.size());
    }
}

// Frames and decodes every complete message in the port's buffer, oldest
// first. Each message leaves the buffer before any event about it is raised,
// and the next one is looked for afresh: a handler that lets input run (a
// SendCmd in DebugMsg) may have framed or added text meanwhile.
void tavro_m::frameMessages(int slot)
{
    const QString portName = portNameOf(slot);
    QString &rx = gRxData[slot];
    for (qsizetype end = findEndLine(rx); end >= 0; end = findEndLine(rx)) {
        // Built before the message leaves: a shared copy of the buffer would
        // make that removal copy everything behind the message.
        const QString whole = QStringLiteral("전체수신데이터:") + rx;
        const qsizetype stop = end + kEndLine.size();
        // The marker nearest in front of the first end line starts the
        // message it closes; text in front of that marker is a fragment.
        const qsizetype response = lastMarkerBefore(rx, kResponseLine, end);
        const qsizetype report = lastMarkerBefore(rx, kReportLine, end);
        const qsizetype marker = std::max(response, report);
        const bool isResponse = response >= 0 && response > report;
        QString message;
        if (marker >= 0)
            message = takeFront(slot, marker + (isResponse ? kResponseLine : kReportLine).size(), stop);
        else
            dropFront(slot, stop);

        emit DebugMsg(whole);
        if (marker < 0) {
            // An end line with no marker: dropped through it, what follows stays.
            emit DebugMsg(QStringLiteral("s1:idx=0") + kCrLf);
            continue;
        }
        if (!isResponse)
            emit DebugMsg(QStringLiteral("s1:idx=") + QString::number(marker + 1) + kCrLf);
        MessageScope scope(message);
        if (isResponse)
            ProcessResponse(portName);
        else
            ProcessReport(portName);
    }
}

QString tavro_m::GetInformationWithIndicator(QString title)
{
    ReceiveState &state = receiveState();
    if (messageOver(state) || title.isEmpty())
        return QString();
    const QString &text = textOf(state);
    // A title counts wherever it stands (a blank or noise may precede it),
    // but only inside the current message: one behind its end line belongs
    // to the next message. Outside a decode the end line is looked for only
    // in front of the title, so a long buffer read field by field stays linear.
    const qsizetype pos = text.indexOf(title);
    if (pos < 0)
        return QString();
    const qsizetype valueStart = pos + title.size();
    if (state.scope) {
        const qsizetype end = endLineOf(state);
        if (end >= 0 && end < valueStart)
            return QString();
    } else if (endLineBefore(text, valueStart)) {
        return QString();
    }
    const qsizetype lineEnd = text.indexOf(kCrLf, valueStart);
    if (lineEnd < 0)
        return QString();
    QString value = text.mid(valueStart, lineEnd - valueStart);
    consume(state, lineEnd + kCrLf.size());
    return value;
}

QString tavro_m::GetInformationWithoutIndicator()
{
    ReceiveState &state = receiveState();
    if (messageOver(state))
        return QString();
    MessageScope *scope = state.scope;
    if (scope && scope->endLineRead)
        return QString();
    const QString &text = textOf(state);
    const qsizetype lineEnd = text.indexOf(kCrLf);
    if (lineEnd < 0)
        return QString();
    QString value = text.left(lineEnd);
    // A message shorter than expected reads its end line as the value, once;
    // the end line stays: it still closes this message.
    if (text.startsWith(kEndLine)) {
        if (scope)
            scope->endLineRead = true;
        return value;
    }
    consume(state, lineEnd + kCrLf.size());
    return value;
}

void tavro_m::EndMessageDiscard()
{
    ReceiveState &state = receiveState();
    if (messageOver(state))
        return;
    const qsizetype end = endLineOf(state);
    if (end < 0)
        return;
    consume(state, end + kEndLine.size());
    if (MessageScope *scope = state.scope)
        scope->discarded = true;
}
