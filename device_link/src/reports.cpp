// Call reports: the handset ("B", "C") into HookEvent, incoming calls ("D",
// "E") into ReceiveCall.
#include "reports.h"

#include "link_state.h"

namespace tavro::detail {

void fillCallTime(CID_INFO &record, const QString &time)
{
    const QStringView mmddhhmm(time);
    record.lMonth = numberValue(mmddhhmm.mid(0, 2));
    record.lDay = numberValue(mmddhhmm.mid(2, 2));
    record.lHour = numberValue(mmddhhmm.mid(4, 2));
    record.lMin = numberValue(mmddhhmm.mid(6, 2));
}

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

namespace {

// The fields of a call report, in the order the terminal sends them: a
// titled read drops everything in front of its title.
CID_INFO readCallRecord(MessageReader &message)
{
    CID_INFO record;
    fillCallTime(record, message.readTitled(kTime));
    record.lNumber = message.readTitled(kNumber);
    record.lName = message.readTitled(kName);
    record.lGroup = numberValue(message.readTitled(kGroup));
    record.lTelType = telTypeWord(message.readTitled(kType));
    return record;
}

} // namespace

Decoded decodeReport(MessageReader &message, bool noting)
{
    Decoded decoded;
    decoded.noting = noting;
    if (noting)
        decoded.note(QStringLiteral("ProcessReport(): gRxData:") + message.text());
    if (message.text().isEmpty())
        return decoded;
    const QChar letter = message.text().at(0);
    if (!message.skipTypeLine(letter))
        return decoded;
    switch (letter.unicode()) {
    case u'B':
    case u'C':
        decoded.event = Decoded::Hook;
        decoded.lifted = letter == u'B';
        break;
    case u'D':
    case u'E':
        decoded.note(QStringLiteral("ProcessReport():report_type:") + letter);
        decoded.event = Decoded::Call;
        decoded.callState = letter == u'D' ? 1 : 2;
        decoded.record = readCallRecord(message);
        break;
    default:
        break;
    }
    return decoded;
}

} // namespace tavro::detail
