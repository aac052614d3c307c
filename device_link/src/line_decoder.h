// The text of the terminal's line: code page 949 ("windows-949"), decoded
// as the web's EUC-KR decoder does. Qt's decoder takes any byte from 0x40 on
// as the second half of a two-byte character, so a noise byte in front of
// "Report" would swallow its "R"; here a lead byte that cannot pair with the
// ASCII byte behind it stands alone as U+FFFD and the ASCII byte stays.
#ifndef TAVRO_LINE_DECODER_H
#define TAVRO_LINE_DECODER_H

#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

#include <bitset>

namespace tavro::detail {

class LineDecoder
{
public:
    // Decodes the next bytes of the line onto the end of `text`. A lead byte
    // that ends them is held back and paired with the first byte of the next call.
    void decode(QByteArrayView bytes, QString &text);
    QString decode(QByteArrayView bytes)
    {
        QString text;
        decode(bytes, text);
        return text;
    }
    // Forgets a held-back byte (a port reopened).
    void reset();

private:
    void appendRun(QString &out, QByteArrayView run, bool ascii);
    bool isCharacter(uchar lead, uchar ascii);

    // Only ever given whole characters, so it keeps no state between calls.
    QStringDecoder m_codec {"windows-949"};
    char m_lead = 0; // a held-back lead byte; 0 is never one
    // What the converter said of each lead byte with an ASCII byte behind
    // it, asked once per pair: names such as 똠 (0x8C 0x63) are frequent.
    static constexpr int kPairs = (0xFE - 0x81 + 1) * 0x80;
    std::bitset<kPairs> m_pairAsked;
    std::bitset<kPairs> m_pairIsCharacter;
};

} // namespace tavro::detail

#endif // TAVRO_LINE_DECODER_H
