// The receive path: serial input into its port's buffer, the synchronisation
// answer, message framing, and the one place decoded messages are raised.
#include "control_private.h"
#include "link_state.h"
#include "message_reader.h"
#include "reports.h"
#include "responses.h"

#include <algorithm>

using namespace tavro::detail;

namespace {

const QString kAck = QStringLiteral("ACK");
const QString kResponseLine = QStringLiteral("Response\r\n");
const QString kReportLine = QStringLiteral("Report\r\n");

// The "portname=" text of each slot, built once: it goes out with every piece.
const QString &portNameNote(int slot)
{
    static const QString notes[] = {
        QStringLiteral("portname=COM1"), QStringLiteral("portname=COM2"),
        QStringLiteral("portname=COM3"), QStringLiteral("portname=COM4"),
    };
    return notes[slot];
}

// What a piece brings that could complete an "ACK" or an end line. One
// pass that stops once both are seen: cheap for a byte, early for 4 KiB.
struct PieceMarks
{
    bool ackEnd = false;
    bool lineFeed = false;
};

PieceMarks marksOf(QStringView piece)
{
    PieceMarks marks;
    for (QChar c : piece) {
        marks.ackEnd = marks.ackEnd || c == u'K';
        marks.lineFeed = marks.lineFeed || c == u'\n';
        if (marks.ackEnd && marks.lineFeed)
            break;
    }
    return marks;
}

// A type-letter line (one character, CR LF) starts at `at` and ends by `limit`.
bool typeLineAt(const QString &rx, qsizetype at, qsizetype limit)
{
    return at + 3 <= limit && rx.at(at) != u'\r' && rx.at(at) != u'\n' && rx.at(at + 1) == u'\r'
        && rx.at(at + 2) == u'\n';
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

// Raises what a decoder found: its diagnostic texts, then its event. The
// message has left the buffer by then, so a handler that calls back into
// the control finds the buffer already past it.
void deliver(tavro_m &control, const QString &portName, Decoded &decoded)
{
    for (const QString &note : std::as_const(decoded.notes))
        emit control.DebugMsg(note);
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

// Runs `read` on a reader over the buffer of the port whose text came last,
// and leaves the buffer as the reader consumed it.
template<typename Read>
auto readLastBuffer(Read read)
{
    const int slot = receiveState().lastSlot;
    MessageReader reader(std::move(gRxData[slot]));
    auto result = read(reader);
    gRxData[slot] = reader.takeText();
    frontRemoved(slot, reader.consumed());
    return result;
}

} // namespace

void tavro_m::onPortInput(int slot)
{
    noteListeners();
    if (d->debugHeard)
        emit DebugMsg(portNameNote(slot));

    tavro::SerialSlot *port = d->mscTavroPort[slot].get();
    if (!port || port->bytesWaiting() < 1)
        return;
    QString &rx = gRxData[slot];
    const qsizetype oldSize = rx.size();
    port->appendInput(rx);
    if (rx.size() == oldSize)
        return; // only the first byte of a two-byte character so far
    ReceiveState &state = receiveState();
    state.lastSlot = slot;

    const PieceMarks marks = marksOf(QStringView(rx).sliced(oldSize));
    // Only an "ACK" whose "K" this piece brings is new; the scan start keeps
    // an answer to an earlier request from counting again. Looked at before
    // any event: a handler may change the buffer.
    if (marks.ackEnd && rx.indexOf(kAck, std::max(state.ackScanFrom[slot], oldSize - 2)) >= 0)
        gAckReceived = true;
    // Every notification leaves no end line behind, so only an end line that
    // the new piece completes (its line feed) can start framing; searching
    // just there keeps a message that arrives byte by byte linear.
    const bool completesMessage = marks.lineFeed
        && findEndLine(rx, std::max<qsizetype>(0, oldSize - (kEndLine.size() - 1))) >= 0;

    // The piece gets a string of its own only for someone who listens.
    noteListeners(); // a DebugMsg handler may have connected meanwhile
    if (d->realHeard)
        emit ReceiveReal(portNameOf(slot), rx.sliced(oldSize));
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
// SendCmd in DebugMsg) may have framed or added text meanwhile. Diagnostic
// texts are built only while someone listens: they copy the buffer.
void tavro_m::frameMessages(int slot)
{
    const QString &portName = portNameOf(slot);
    QString &rx = gRxData[slot];
    for (qsizetype end = findEndLine(rx); end >= 0; end = findEndLine(rx)) {
        noteListeners();
        const bool noting = d->debugHeard;
        // Built before the message leaves: a shared copy of the buffer would
        // make that removal copy everything behind the message.
        const QString whole = noting ? QStringLiteral("전체수신데이터:") + rx : QString();
        const qsizetype stop = end + kEndLine.size();
        // The marker nearest in front of the first end line starts the
        // message it closes; text in front of that marker is a fragment.
        const qsizetype response = lastMarkerBefore(rx, kResponseLine, end);
        const qsizetype report = lastMarkerBefore(rx, kReportLine, end);
        const qsizetype marker = std::max(response, report);
        const bool isResponse = response >= 0 && response > report;
        if (marker < 0) {
            // An end line with no marker: dropped through it, what follows stays.
            dropFront(slot, stop);
            if (noting) {
                emit DebugMsg(whole);
                emit DebugMsg(QStringLiteral("s1:idx=0") + kCrLf);
            }
            continue;
        }
        const qsizetype start = marker + (isResponse ? kResponseLine : kReportLine).size();
        MessageReader message(takeFront(slot, start, stop));
        if (noting) {
            emit DebugMsg(whole);
            if (!isResponse)
                emit DebugMsg(QStringLiteral("s1:idx=") + QString::number(marker + 1) + kCrLf);
        }
        Decoded decoded = isResponse ? decodeResponse(message, noting) : decodeReport(message, noting);
        deliver(*this, portName, decoded);
    }
}

// The public steps of the receive path work on the buffer of the port whose
// text came last, as the framing's own reader works on one message.

void tavro_m::ProcessReport(QString pPortname)
{
    noteListeners();
    const bool noting = d->debugHeard;
    Decoded decoded = readLastBuffer([noting](MessageReader &message) {
        Decoded found = decodeReport(message, noting);
        message.discard();
        return found;
    });
    deliver(*this, pPortname, decoded);
}

void tavro_m::ProcessResponse(QString pPortname)
{
    noteListeners();
    const bool noting = d->debugHeard;
    Decoded decoded = readLastBuffer([noting](MessageReader &message) {
        Decoded found = decodeResponse(message, noting);
        message.discard();
        return found;
    });
    deliver(*this, pPortname, decoded);
}

QString tavro_m::GetInformationWithIndicator(QString title)
{
    return readLastBuffer([&title](MessageReader &message) { return message.readTitled(title); });
}

QString tavro_m::GetInformationWithoutIndicator()
{
    return readLastBuffer([](MessageReader &message) { return message.readBare(); });
}

void tavro_m::EndMessageDiscard()
{
    readLastBuffer([](MessageReader &message) {
        message.discard();
        return true;
    });
}
