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

// Each branch discards the message exactly once, before its event: the
// message behind it stays for the framing, and a handler that waits in
// SendCmd finds the buffer already past this response.
void decodeSingleValue(tavro_m &control, QChar letter, const QString &portName)
{
    const qint16 msgType = qint16(letter.unicode());
    switch (letter.unicode()) {
    case u'd': {
        const QString date = control.GetInformationWithoutIndicator();
        const QString time = control.GetInformationWithoutIndicator();
        emit control.DebugMsg(QStringLiteral("ldate=") + date + QStringLiteral("  ltime=") + time);
        control.EndMessageDiscard();
        emit control.ReceiveResponse(portName, msgType, splitPairs(date, u'-'),
                                     splitPairs(time, u':'), QString());
        return;
    }
    case u'e': {
        const QString alarm = control.GetInformationWithoutIndicator();
        control.EndMessageDiscard();
        emit control.ReceiveResponse(portName, msgType, splitPairs(alarm, u':'), QString(), QString());
        return;
    }
    case u'g': {
        const qint16 slot = numberValue(control.GetInformationWithoutIndicator());
        control.EndMessageDiscard();
        // Slots 0..15 hold the sixteen areas; 16 is never filled.
        if (slot >= 0 && slot <= 15)
            emit control.ReceiveResponse(portName, msgType, gAreaNumber[slot], QString(), QString());
        return;
    }
    default: {
        const QString value = control.GetInformationWithoutIndicator();
        control.EndMessageDiscard();
        emit control.ReceiveResponse(portName, msgType, value, QString(), QString());
        return;
    }
    }
}

bool isSingleValueLetter(QChar letter)
{
    return letter == u'd' || letter == u'e' || letter == u'g' || kPlainValueLetters.contains(letter);
}

} // namespace

void tavro_m::ProcessResponse(QString pPortname)
{
    if (findEndLine(messageText()) < 0)
        return; // its end line has not arrived; the framing deals with the rest
    const QChar letter = messageText().at(0);
    if (!skipTypeLine(letter)) {
        // Only this message goes; whatever follows it is still to be framed.
        EndMessageDiscard();
        return;
    }
    if (isSingleValueLetter(letter))
        decodeSingleValue(*this, letter, pPortname);
    else if (isGatheredListLetter(letter))
        decodeGatheredList(*this, letter, pPortname);
    else
        EndMessageDiscard(); // a letter without an answer: no event
}
