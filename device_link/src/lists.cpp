// Gathered lists: stored calls ("a"), rejected numbers ("j"), answer numbers
// ("o") and answer melodies ("p"), each into one ReceiveGatheredInfo.
#include "lists.h"

#include "link_state.h"
#include "reports.h"

namespace tavro::detail {
namespace {

constexpr qint16 kMaxRecords = 60;
constexpr qint16 kMaxMelodies = 6;

// Every titled read consumes its field with everything in front of it, so a
// record lacking a field merges with the next record of the same list.

// "a": ends at a record without a time.
qint16 readStoredCalls(MessageReader &message, CID_INFO_ARRAY &records)
{
    qint16 n = 0;
    for (; n < kMaxRecords; ++n) {
        const QString time = message.readTitled(kTime);
        if (time.isEmpty())
            break;
        CID_INFO &record = records[n];
        fillCallTime(record, time);
        record.lNumber = message.readTitled(kNumber);
        record.lName = message.readTitled(kName);
        record.lGroup = numberValue(message.readTitled(kGroup));
        record.lTelType = telTypeWord(message.readTitled(kType));
    }
    return n;
}

// "j": ends at a record without a number; the time of that record stays in
// the entry behind the last one counted.
qint16 readRejectedNumbers(MessageReader &message, CID_INFO_ARRAY &records)
{
    qint16 n = 0;
    for (; n < kMaxRecords; ++n) {
        CID_INFO &record = records[n];
        fillCallTime(record, message.readTitled(kTime));
        record.lNumber = message.readTitled(kNumber);
        if (record.lNumber.isEmpty())
            break;
        record.lName = message.readTitled(kName);
        record.lGroup = numberValue(message.readTitled(kGroup));
        record.lTelType = telTypeWord(message.readTitled(kType));
    }
    return n;
}

// "o": ends at a record without a number; time and type are read past.
qint16 readAnswerNumbers(MessageReader &message, CID_INFO_ARRAY &records)
{
    qint16 n = 0;
    for (; n < kMaxRecords; ++n) {
        message.readTitled(kTime);
        CID_INFO &record = records[n];
        record.lNumber = message.readTitled(kNumber);
        if (record.lNumber.isEmpty())
            break;
        record.lName = message.readTitled(kName);
        record.lGroup = numberValue(message.readTitled(kGroup));
        message.readTitled(kType);
    }
    return n;
}

// "p": pairs of bare lines, group 1..6 then melody; any other group ends it.
qint16 readAnswerMelodies(MessageReader &message, CID_INFO_ARRAY &records)
{
    qint16 n = 0;
    for (; n < kMaxMelodies; ++n) {
        const qint16 group = numberValue(message.readBare());
        if (group < 1 || group > 6)
            break;
        records[n].lGroup = group;
        records[n].lName = message.readBare();
    }
    return n;
}

} // namespace

bool isGatheredListLetter(QChar letter)
{
    return letter == u'a' || letter == u'j' || letter == u'o' || letter == u'p';
}

void readGatheredList(MessageReader &message, QChar letter, Decoded &decoded)
{
    // Fresh for every list.
    decoded.records = std::make_unique<CID_INFO_ARRAY>();
    CID_INFO_ARRAY &records = *decoded.records;
    switch (letter.unicode()) {
    case u'a':
        decoded.count = readStoredCalls(message, records);
        break;
    case u'j':
        decoded.count = readRejectedNumbers(message, records);
        decoded.note(QStringLiteral("거부 번호 갯수:") + QString::number(decoded.count));
        break;
    case u'o':
        decoded.count = readAnswerNumbers(message, records);
        break;
    case u'p':
        decoded.count = readAnswerMelodies(message, records);
        break;
    default:
        return;
    }
    decoded.event = Decoded::List;
    decoded.kind = qint16(letter.unicode());
}

} // namespace tavro::detail
