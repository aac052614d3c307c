// Gathered lists: stored calls ("a"), rejected numbers ("j"), answer numbers
// ("o") and answer melodies ("p"), each into one ReceiveGatheredInfo.
#include "control_private.h"
#include "decoders.h"
#include "link_state.h"

using namespace tavro::detail;

namespace {

constexpr qint16 kMaxRecords = 60;
constexpr qint16 kMaxMelodies = 6;

const QString kTime = QStringLiteral("Time:");
const QString kNumber = QStringLiteral("Number:");
const QString kName = QStringLiteral("Name:");
const QString kGroup = QStringLiteral("Group:");
const QString kType = QStringLiteral("Type:");

// Every titled read consumes its field with everything in front of it, so a
// record lacking a field merges with the next record of the same list.

// "a": ends at a record without a time.
qint16 readStoredCalls(tavro_m &control, CID_INFO_ARRAY &records)
{
    qint16 n = 0;
    for (; n < kMaxRecords; ++n) {
        const QString time = control.GetInformationWithIndicator(kTime);
        if (time.isEmpty())
            break;
        CID_INFO &record = records[n];
        fillCallTime(record, time);
        record.lNumber = control.GetInformationWithIndicator(kNumber);
        record.lName = control.GetInformationWithIndicator(kName);
        record.lGroup = numberValue(control.GetInformationWithIndicator(kGroup));
        record.lTelType = telTypeWord(control.GetInformationWithIndicator(kType));
    }
    return n;
}

// "j": ends at a record without a number; the time of that record stays in
// the entry behind the last one counted.
qint16 readRejectedNumbers(tavro_m &control, CID_INFO_ARRAY &records)
{
    qint16 n = 0;
    for (; n < kMaxRecords; ++n) {
        CID_INFO &record = records[n];
        fillCallTime(record, control.GetInformationWithIndicator(kTime));
        record.lNumber = control.GetInformationWithIndicator(kNumber);
        if (record.lNumber.isEmpty())
            break;
        record.lName = control.GetInformationWithIndicator(kName);
        record.lGroup = numberValue(control.GetInformationWithIndicator(kGroup));
        record.lTelType = telTypeWord(control.GetInformationWithIndicator(kType));
    }
    return n;
}

// "o": ends at a record without a number; time and type are read past.
qint16 readAnswerNumbers(tavro_m &control, CID_INFO_ARRAY &records)
{
    qint16 n = 0;
    for (; n < kMaxRecords; ++n) {
        control.GetInformationWithIndicator(kTime);
        CID_INFO &record = records[n];
        record.lNumber = control.GetInformationWithIndicator(kNumber);
        if (record.lNumber.isEmpty())
            break;
        record.lName = control.GetInformationWithIndicator(kName);
        record.lGroup = numberValue(control.GetInformationWithIndicator(kGroup));
        control.GetInformationWithIndicator(kType);
    }
    return n;
}

// "p": pairs of bare lines, group 1..6 then melody; any other group ends it.
qint16 readAnswerMelodies(tavro_m &control, CID_INFO_ARRAY &records)
{
    qint16 n = 0;
    for (; n < kMaxMelodies; ++n) {
        const qint16 group = numberValue(control.GetInformationWithoutIndicator());
        if (group < 1 || group > 6)
            break;
        records[n].lGroup = group;
        records[n].lName = control.GetInformationWithoutIndicator();
    }
    return n;
}

} // namespace

namespace tavro::detail {

bool isGatheredListLetter(QChar letter)
{
    return letter == u'a' || letter == u'j' || letter == u'o' || letter == u'p';
}

// Reads the records of the list being decoded (its type line already gone).
Decoded readGatheredList(tavro_m &control, QChar letter)
{
    Decoded decoded;
    // Fresh for every list.
    decoded.records = std::make_unique<CID_INFO_ARRAY>();
    CID_INFO_ARRAY &records = *decoded.records;
    switch (letter.unicode()) {
    case u'a':
        decoded.count = readStoredCalls(control, records);
        break;
    case u'j':
        decoded.count = readRejectedNumbers(control, records);
        emit control.DebugMsg(QStringLiteral("거부 번호 갯수:") + QString::number(decoded.count));
        break;
    case u'o':
        decoded.count = readAnswerNumbers(control, records);
        break;
    case u'p':
        decoded.count = readAnswerMelodies(control, records);
        break;
    default:
        return decoded;
    }
    decoded.event = Decoded::List;
    decoded.kind = qint16(letter.unicode());
    return decoded;
}

} // namespace tavro::detail
