// Call reports: the handset ("B", "C") and incoming calls ("D", "E").
#ifndef TAVRO_REPORTS_H
#define TAVRO_REPORTS_H

#include "decoded.h"
#include "message_reader.h"

namespace tavro::detail {

// The titles of a call record's fields, in the order the terminal sends them.
inline const QString kTime = QStringLiteral("Time:");
inline const QString kNumber = QStringLiteral("Number:");
inline const QString kName = QStringLiteral("Name:");
inline const QString kGroup = QStringLiteral("Group:");
inline const QString kType = QStringLiteral("Type:");

// Decodes the report the message holds, from its type-letter line on.
// Texts are noted when `noting`.
Decoded decodeReport(MessageReader &message, bool noting);
// "Time:" MMDDhhmm into the four time fields; missing characters give 0.
void fillCallTime(CID_INFO &record, const QString &time);
// The word for a telephone-type letter, or empty.
QString telTypeWord(const QString &letter);

} // namespace tavro::detail

#endif // TAVRO_REPORTS_H
