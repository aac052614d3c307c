#include "line_decoder.h"

#include <QByteArray>
#include <QVarLengthArray>

#include <algorithm>

namespace tavro::detail {
namespace {

bool isLeadByte(uchar byte)
{
    return byte >= 0x81 && byte <= 0xFE;
}

bool isAscii(QByteArrayView bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](char byte) { return uchar(byte) < 0x80; });
}

} // namespace

void LineDecoder::decode(QByteArrayView input, QString &out)
{
    // ASCII is itself in code page 949; most pieces are nothing else, and
    // on a slow line most are one byte, which appends cheaper as a QChar.
    if (!m_lead && isAscii(input)) {
        if (input.size() == 1)
            out.append(QLatin1Char(input.front()));
        else
            out.append(QLatin1String(input.data(), input.size()));
        return;
    }
    // On the stack for the small pieces of a slow line, where every second
    // byte of a Hangul character comes with a held-back lead byte.
    QVarLengthArray<char, 64> joined;
    QByteArrayView bytes = input;
    if (m_lead) {
        joined.reserve(input.size() + 1);
        joined.append(std::exchange(m_lead, 0));
        joined.append(input.data(), input.size());
        bytes = QByteArrayView(joined.constData(), joined.size());
    }
    qsizetype runStart = 0;
    bool runIsAscii = true;
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
        const auto next = uchar(bytes[i + 1]);
        if (next >= 0x80 || isCharacter(byte, next)) {
            i += 2;
            continue;
        }
        appendRun(out, bytes.sliced(runStart, i - runStart), false);
        out += QChar(QChar::ReplacementCharacter);
        runStart = ++i;
        runIsAscii = true;
    }
    appendRun(out, bytes.sliced(runStart, i - runStart), runIsAscii);
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
    if (ascii)
        out.append(QLatin1String(run.data(), run.size()));
    else
        out.append(QString(m_codec.decode(run)));
}

// A lead byte and an ASCII byte make a character only in the extended
// Hangul range (0x81..0xC6 with letters); the converter knows which.
bool LineDecoder::isCharacter(uchar lead, uchar ascii)
{
    const int pair = (lead - 0x81) * 0x80 + ascii;
    if (!m_pairAsked[pair]) {
        const char bytes[] = {char(lead), char(ascii)};
        const QString decoded = m_codec.decode(QByteArrayView(bytes, 2));
        m_pairAsked[pair] = true;
        m_pairIsCharacter[pair] = decoded.size() == 1 && decoded.at(0) != QChar::ReplacementCharacter;
    }
    return m_pairIsCharacter[pair];
}

} // namespace tavro::detail
