// What a decoder found in one message: the event to raise, or none, and the
// diagnostic texts it noted on the way.
#ifndef TAVRO_DECODED_H
#define TAVRO_DECODED_H

#include "tavro/tavro_m.h"

#include <QStringList>

#include <memory>

namespace tavro::detail {

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
    // Diagnostic texts in the order they arose; gathered only when asked
    // for, since building them copies the message.
    bool noting = false;
    QStringList notes;

    void note(const QString &text)
    {
        if (noting)
            notes.append(text);
    }
};

} // namespace tavro::detail

#endif // TAVRO_DECODED_H
