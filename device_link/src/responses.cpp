// Command responses: the single-value answers to query commands into
// ReceiveResponse; the four list letters go on to lists.cpp.
#include "responses.h"

#include "link_state.h"
#include "lists.h"

namespace tavro::detail {
namespace {

// Letters whose answer is one value line, passed on as it came.
const QString kPlainValueLetters = QStringLiteral("fhinqrstux");

// "0315" -> "03" + separator + "15"; missing characters are left out.
QString splitPairs(const QString &value, QChar separator)
{
    return substring(value, 1, 2) + separator + substring(value, 3, 2);
}

// The value of a single-value response, converted as its letter wants.
void readSingleValue(MessageReader &message, QChar letter, Decoded &decoded)
{
    decoded.event = Decoded::Response;
    decoded.msgType = qint16(letter.unicode());
    switch (letter.unicode()) {
    case u'd': {
        const QString date = message.readBare();
        const QString time = message.readBare();
        decoded.note(QStringLiteral("ldate=") + date + QStringLiteral("  ltime=") + time);
        decoded.rst1 = splitPairs(date, u'-');
        decoded.rst2 = splitPairs(time, u':');
        break;
    }
    case u'e':
        decoded.rst1 = splitPairs(message.readBare(), u':');
        break;
    case u'g': {
        const qint16 slot = numberValue(message.readBare());
        // Slots 0..15 hold the sixteen areas; 16 is never filled.
        if (slot >= 0 && slot <= 15)
            decoded.rst1 = gAreaNumber[slot];
        else
            decoded.event = Decoded::Nothing;
        break;
    }
    default:
        decoded.rst1 = message.readBare();
        break;
    }
}

bool isSingleValueLetter(QChar letter)
{
    return letter == u'd' || letter == u'e' || letter == u'g' || kPlainValueLetters.contains(letter);
}

} // namespace

Decoded decodeResponse(MessageReader &message, bool noting)
{
    Decoded decoded;
    decoded.noting = noting;
    if (!message.hasEndLine())
        return decoded; // its end line has not arrived; the framing deals with the rest
    const QChar letter = message.text().at(0);
    // A type letter without its own line, or a letter without an answer:
    // no event, and only this message goes.
    if (message.skipTypeLine(letter)) {
        if (isSingleValueLetter(letter))
            readSingleValue(message, letter, decoded);
        else if (isGatheredListLetter(letter))
            readGatheredList(message, letter, decoded);
    }
    return decoded;
}

} // namespace tavro::detail
