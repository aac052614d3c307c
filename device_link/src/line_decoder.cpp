#include "line_decoder.h"

#include <QByteArray>

namespace tavro::detail {
namespace {

bool isLeadByte(uchar byte)
{
    return byte >= 0x81 && byte <= 0xFE;
}

} // namespace

QString LineDecoder::decode(QByteArrayView input)
{
    QByteArray joined;
    QByteArrayView bytes = input;
    if (m_lead) {
        joined.reserve(input.size() + 1);
        joined.append(std::exchange(m_lead, 0)).append(input);
        bytes = joined;
    }
    QString out;
    qsizetype runStart = 0;
    bool runIsAscii = true; // most pieces are; they need no converter
    qsizetype i = 0;
    while (i < bytes.size()) {
        const auto byte = uchar(bytes[i]);
        if (byte < 0x80 || !isLeadByte(byte)) {
            runIsAscii = runIsAscii && byte < 0x80;
            ++i;
            continue;
        }
        runIsAscii = false;
        if (i + 1 == bytes.size()) {
            m_lead = char(byte);
            break;
        }
        if (uchar(bytes[i + 1]) >= 0x80 || isCharacter(bytes.sliced(i, 2))) {
            i += 2;
            continue;
        }
        appendRun(out, bytes.sliced(runStart, i - runStart), false);
        out += QChar(QChar::ReplacementCharacter);
        runStart = ++i;
        runIsAscii = true;
    }
    appendRun(out, bytes.sliced(runStart, i - runStart), runIsAscii);
    return out;
}

void LineDecoder::reset()
{
    m_lead = 0;
    m_codec.resetState();
}

void LineDecoder::appendRun(QString &out, QByteArrayView run, bool ascii)
{
    if (run.isEmpty())
        return;
    // ASCII is itself in code page 949.
    QString text = ascii ? QString::fromLatin1(run) : QString(m_codec.decode(run));
    if (out.isEmpty())
        out = std::move(text);
    else
        out += text;
}

// A lead byte and an ASCII byte make a character only in the extended
// Hangul range (0x81..0xC6 with letters); the converter knows which.
bool LineDecoder::isCharacter(QByteArrayView pair)
{
    const QString decoded = m_codec.decode(pair);
    return decoded.size() == 1 && decoded.at(0) != QChar::ReplacementCharacter;
}

} // namespace tavro::detail
