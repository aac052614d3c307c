// Command responses: the single-value answers to query commands into
// ReceiveResponse; the four list letters go on to lists.cpp.
#include "control_private.h"
#include "decoders.h"
#include "link_state.h"

using namespace tavro::detail;

namespace {

// Letters whose answer is one value line, passed on as it came.
const QString kPlainValueLetters = QStringLiteral("fhinqrstux");

// "0315" -> "03" + separator + "15"; missing characters are left out.
QString splitPairs(const QString &value, QChar separator)
{
    return substring(value, 1, 2) + separator + substring(value, 3, 2);
}

// The value of a single-value response, converted as its letter wants.
Decoded readSingleValue(tavro_m &control, QChar letter)
{
    Decoded decoded;
    decoded.event = Decoded::Response;
    decoded.msgType = qint16(letter.unicode());
    switch (letter.unicode()) {
    case u'd': {
        const QString date = control.GetInformationWithoutIndicator();
        const QString time = control.GetInformationWithoutIndicator();
        emit control.DebugMsg(QStringLiteral("ldate=") + date + QStringLiteral("  ltime=") + time);
        decoded.rst1 = splitPairs(date, u'-');
        decoded.rst2 = splitPairs(time, u':');
        break;
    }
    case u'e':
        decoded.rst1 = splitPairs(control.GetInformationWithoutIndicator(), u':');
        break;
    case u'g': {
        const qint16 slot = numberValue(control.GetInformationWithoutIndicator());
        // Slots 0..15 hold the sixteen areas; 16 is never filled.
        if (slot >= 0 && slot <= 15)
            decoded.rst1 = gAreaNumber[slot];
        else
            decoded.event = Decoded::Nothing;
        break;
    }
    default:
        decoded.rst1 = control.GetInformationWithoutIndicator();
        break;
    }
    return decoded;
}

bool isSingleValueLetter(QChar letter)
{
    return letter == u'd' || letter == u'e' || letter == u'g' || kPlainValueLetters.contains(letter);
}

} // namespace

void tavro_m::ProcessResponse(QString pPortname)
{
    if (messageEndLine() < 0)
        return; // its end line has not arrived; the framing deals with the rest
    const QChar letter = messageText().at(0);
    Decoded decoded;
    // A type letter without its own line, or a letter without an answer:
    // no event, and only this message goes.
    if (skipTypeLine(letter)) {
        if (isSingleValueLetter(letter))
            decoded = readSingleValue(*this, letter);
        else if (isGatheredListLetter(letter))
            decoded = readGatheredList(*this, letter);
    }
    discardThenRaise(*this, pPortname, decoded);
}
