// Text on the terminal's line is code page 949. Qt 6.4 resolves "CP949" to an
// IBM variant that lacks syllables such as 똠, so the name is written once here.
// Header-only: the fuzzers use it without the rest of tests/common.
#ifndef TAVRO_TESTS_CODEC_H
#define TAVRO_TESTS_CODEC_H

#include <QByteArray>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>

inline constexpr char kCp949[] = "windows-949";

inline QByteArray cp949(const QString &text)
{
    return QStringEncoder(kCp949).encode(text);
}

inline QString fromCp949(const QByteArray &bytes)
{
    return QStringDecoder(kCp949).decode(bytes);
}

#endif
