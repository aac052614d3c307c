// Steps the decoders of reports, responses and lists share.
#ifndef TAVRO_DECODERS_H
#define TAVRO_DECODERS_H

#include "tavro/tavro_m.h"

namespace tavro::detail {

// receive.cpp: the text the decoders read, the message being decoded (or,
// outside a decode, the buffer of the port whose text came last), and
// removal of its first n characters.
QString &messageText();
void consumeMessage(qsizetype n);

// reports.cpp: removes the type-letter line of the message being decoded,
// searching only that message; false when it has no such line.
bool skipTypeLine(QChar letter);
// reports.cpp: "Time:" MMDDhhmm into the four time fields.
void fillCallTime(CID_INFO &record, const QString &time);
// reports.cpp: the word for a telephone-type letter, or empty.
QString telTypeWord(const QString &letter);

// lists.cpp: the letters answered with a whole list, and their decoder.
bool isGatheredListLetter(QChar letter);
void decodeGatheredList(tavro_m &control, QChar letter, const QString &portName);

} // namespace tavro::detail

#endif // TAVRO_DECODERS_H
