#include "phone_number.h"

#include <algorithm>

namespace tavro::bridge {

namespace {

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// The terminal's own area table (its '지역번호' answers use the same rows).
struct Area
{
    const char16_t *prefix;
    const char16_t *name;
};
constexpr Area areas[] = {
    {u"02", u"서울"},  {u"031", u"경기"}, {u"032", u"인천"}, {u"033", u"강원"},
    {u"041", u"충남"}, {u"042", u"대전"}, {u"043", u"충북"}, {u"051", u"부산"},
    {u"052", u"울산"}, {u"053", u"대구"}, {u"054", u"경북"}, {u"055", u"경남"},
    {u"061", u"전남"}, {u"062", u"광주"}, {u"063", u"전북"}, {u"064", u"제주"},
};

// The length of the leading code of a number that starts with 0: 02 is
// Seoul, 050x the personal numbers, every other code has three digits.
qsizetype prefixLength(QStringView digits)
{
    if (digits.startsWith(u"02"))
        return 2;
    if (digits.startsWith(u"050"))
        return 4;
    return 3;
}

// A subscriber part of 7 or 8 digits as 3-4 or 4-4; empty for another length.
QString subscriber(QStringView digits)
{
    if (digits.size() != 7 && digits.size() != 8)
        return QString();
    const qsizetype head = digits.size() - 4;
    return digits.left(head).toString() + u'-' + digits.mid(head).toString();
}

} // namespace

QString numberDigits(QStringView written)
{
    QString digits;
    digits.reserve(written.size());
    for (QChar c : written) {
        if (isDigit(c))
            digits.append(c);
    }
    const QStringView trimmed = written.trimmed();
    if (trimmed.startsWith(u'+') && digits.startsWith(u"82")) {
        // +82 2-555-1234 and +82 (0)2-555-1234 are both 02-555-1234.
        digits.remove(0, 2);
        if (!digits.startsWith(u'0'))
            digits.prepend(u'0');
    }
    return digits;
}

bool looksLikeNumber(QStringView text)
{
    bool anyDigit = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (isDigit(c))
            anyDigit = true;
        else if (!(c == u' ' || c == u'-' || c == u'.' || c == u'(' || c == u')' || (c == u'+' && i == 0)))
            return false;
    }
    return anyDigit;
}

QString formatNumber(QStringView digits)
{
    const QString plain = digits.toString();
    if (plain.isEmpty() || !std::all_of(plain.cbegin(), plain.cend(), isDigit))
        return plain;
    if (plain.startsWith(u'0')) {
        const qsizetype head = prefixLength(plain);
        const QString rest = subscriber(QStringView(plain).mid(head));
        return rest.isEmpty() ? plain : plain.left(head) + u'-' + rest;
    }
    // Nationwide numbers (15xx, 16xx, 18xx) and local ones without an area.
    const QString local = subscriber(plain);
    return local.isEmpty() ? plain : local;
}

QString regionOf(QStringView digits)
{
    for (const Area &area : areas) {
        const QStringView prefix(area.prefix);
        if (digits.startsWith(prefix) && digits.size() >= prefix.size() + 7)
            return QString::fromUtf16(area.name);
    }
    return QString();
}

} // namespace tavro::bridge
