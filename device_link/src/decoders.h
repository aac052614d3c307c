// Steps the decoders of reports, responses and lists share.
#ifndef TAVRO_DECODERS_H
#define TAVRO_DECODERS_H

#include "tavro/tavro_m.h"

#include <memory>

namespace tavro::detail {

// What a decoder read from its message: the event it makes, or none.
struct Decoded
{
    enum Event { Nothing, Hook, Call, Response, List };
    Event event = Nothing;
    bool lifted = false;                     // Hook: the handset lifted
    qint16 callState = 0;                    // Call
    CID_INFO record;                         // Call
    qint16 msgType = 0;                      // Response
    QString rst1, rst2;                      // Response
    qint16 count = 0, kind = 0;              // List
    std::unique_ptr<CID_INFO_ARRAY> records; // List; about 5 KiB, so on the heap
};

// receive.cpp: the one place a decoded message leaves. It is discarded
// through its end line first, then its event is raised, so a handler that
// calls back into the control finds the buffer already past it.
void discardThenRaise(tavro_m &control, const QString &portName, Decoded &decoded);

// receive.cpp: the text the decoders read, the message being decoded (or,
// outside a decode, the buffer of the port whose text came last), and
// removal of its first n characters.
QString &messageText();
void consumeMessage(qsizetype n);
// receive.cpp: findEndLine(messageText()), searched once per message.
qsizetype messageEndLine();

// reports.cpp: removes the type-letter line of the message being decoded,
// searching only that message; false when it has no such line.
bool skipTypeLine(QChar letter);
// reports.cpp: "Time:" MMDDhhmm into the four time fields.
void fillCallTime(CID_INFO &record, const QString &time);
// reports.cpp: the word for a telephone-type letter, or empty.
QString telTypeWord(const QString &letter);

// lists.cpp: the letters answered with a whole list, and their decoder.
bool isGatheredListLetter(QChar letter);
Decoded readGatheredList(tavro_m &control, QChar letter);

} // namespace tavro::detail

#endif // TAVRO_DECODERS_H
