// Call reports: the handset ("B", "C") into HookEvent, incoming calls ("D",
// "E") into ReceiveCall. Also the steps the response and list decoders share.
#include "control_private.h"
#include "decoders.h"
#include "link_state.h"

using namespace tavro::detail;

namespace tavro::detail {

// Removes the type-letter line of the message being decoded. Only the
// message itself is searched: a letter found in a following message would
// take that message with it. False when the message has no such line.
bool skipTypeLine(QChar letter)
{
    const QString &text = messageText();
    const qsizetype end = messageEndLine();
    const QStringView message = QStringView(text).first(end >= 0 ? end : text.size());
    const QString line = QString(letter) + kCrLf;
    const qsizetype pos = message.indexOf(line);
    if (pos < 0)
        return false;
    consumeMessage(pos + line.size());
    return true;
}

// "Time:" MMDDhhmm into the four time fields; missing characters give 0.
void fillCallTime(CID_INFO &record, const QString &time)
{
    record.lMonth = numberValue(substring(time, 1, 2));
    record.lDay = numberValue(substring(time, 3, 2));
    record.lHour = numberValue(substring(time, 5, 2));
    record.lMin = numberValue(substring(time, 7, 2));
}

// The word for a telephone-type letter; empty for anything else.
QString telTypeWord(const QString &letter)
{
    static const struct { const char16_t *letter, *word; } words[] = {
        {u"B", u"BLACK"}, {u"S", u"NORMAL"},    {u"C", u"PUBLIC"},
        {u"P", u"NO_DISP"}, {u"O", u"NO_GATHER"}, {u"V", u"VIP"},
    };
    for (const auto &row : words) {
        if (letter == QStringView(row.letter))
            return QString::fromUtf16(row.word);
    }
    return QString();
}

} // namespace tavro::detail

namespace {

// The fields of a call report, in the order the terminal sends them: a
// titled read drops everything in front of its title.
CID_INFO readCallRecord(tavro_m &control)
{
    CID_INFO record;
    fillCallTime(record, control.GetInformationWithIndicator(QStringLiteral("Time:")));
    record.lNumber = control.GetInformationWithIndicator(QStringLiteral("Number:"));
    record.lName = control.GetInformationWithIndicator(QStringLiteral("Name:"));
    record.lGroup = numberValue(control.GetInformationWithIndicator(QStringLiteral("Group:")));
    record.lTelType = telTypeWord(control.GetInformationWithIndicator(QStringLiteral("Type:")));
    return record;
}

// The report at the front of the message text: a handset report, a call
// with its record, or nothing for a letter without an event.
Decoded readReport(tavro_m &control)
{
    emit control.DebugMsg(QStringLiteral("ProcessReport(): gRxData:") + messageText());
    Decoded decoded;
    if (messageText().isEmpty())
        return decoded;
    const QChar letter = messageText().at(0);
    if (!skipTypeLine(letter))
        return decoded;
    switch (letter.unicode()) {
    case u'B':
    case u'C':
        decoded.event = Decoded::Hook;
        decoded.lifted = letter == u'B';
        break;
    case u'D':
    case u'E':
        emit control.DebugMsg(QStringLiteral("ProcessReport():report_type:") + letter);
        decoded.event = Decoded::Call;
        decoded.callState = letter == u'D' ? 1 : 2;
        decoded.record = readCallRecord(control);
        break;
    default:
        break;
    }
    return decoded;
}

} // namespace

void tavro_m::ProcessReport(QString pPortname)
{
    Decoded decoded = readReport(*this);
    discardThenRaise(*this, pPortname, decoded);
}
