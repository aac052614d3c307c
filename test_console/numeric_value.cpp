#include "numeric_value.h"

#include <cmath>

namespace tavro_console {

namespace {

bool isIgnoredBlank(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r';
}

int digitValue(QChar c)
{
    const char16_t u = c.unicode();
    if (u >= u'0' && u <= u'9')
        return u - u'0';
    if (u >= u'a' && u <= u'f')
        return u - u'a' + 10;
    if (u >= u'A' && u <= u'F')
        return u - u'A' + 10;
    return -1;
}

// "&H1F" / "&O17": the digits of the base right after the prefix.
double radixValue(const QString &s, int base)
{
    double value = 0;
    for (qsizetype i = 2; i < s.size(); ++i) {
        const int digit = digitValue(s.at(i));
        if (digit < 0 || digit >= base)
            break;
        value = value * base + digit;
    }
    return value;
}

// Sign, mantissa and exponent, taken as far as they form a number; the
// accepted prefix is converted locale-independently so rounding is exact.
double decimalValue(const QString &s)
{
    QByteArray accepted;
    qsizetype i = 0;
    const auto at = [&s](qsizetype k) { return k < s.size() ? s.at(k) : QChar(); };

    if (at(i) == u'+' || at(i) == u'-')
        accepted += char(s.at(i++).unicode());
    bool sawDigit = false, sawPoint = false;
    for (;; ++i) {
        const QChar c = at(i);
        if (c.unicode() >= u'0' && c.unicode() <= u'9') {
            accepted += char(c.unicode());
            sawDigit = true;
        } else if (c == u'.' && !sawPoint) {
            accepted += '.';
            sawPoint = true;
        } else {
            break;
        }
    }
    if (!sawDigit)
        return 0;

    const QChar e = at(i).toUpper();
    if (e == u'E' || e == u'D') {
        QByteArray exponent = "e";
        qsizetype k = i + 1;
        if (at(k) == u'+' || at(k) == u'-')
            exponent += char(s.at(k++).unicode());
        bool expDigit = false;
        while (at(k).unicode() >= u'0' && at(k).unicode() <= u'9') {
            exponent += char(s.at(k++).unicode());
            expDigit = true;
        }
        if (expDigit)
            accepted += exponent;
    }
    bool ok = false; // false also for a number beyond the range of a double
    const double value = accepted.toDouble(&ok);
    return ok ? value : 0.0;
}

} // namespace

double numericValue(const QString &text)
{
    QString s;
    s.reserve(text.size());
    for (const QChar c : text) {
        if (!isIgnoredBlank(c))
            s += c;
    }

    double value = 0;
    const QString prefix = s.left(2).toUpper();
    if (prefix == u"&H")
        value = radixValue(s, 16);
    else if (prefix == u"&O")
        value = radixValue(s, 8);
    else
        value = decimalValue(s);
    // An overflowing number would reach the boxes as "inf": treat it as none.
    return std::isfinite(value) ? value : 0.0;
}

QString zeroHashPattern(double value)
{
    if (!std::isfinite(value))
        value = 0;
    double whole = std::round(value);
    if (whole == 0)
        whole = 0; // no "-00" for a small negative value
    QString digits = QString::number(std::fabs(whole), 'f', 0);
    if (digits.size() < 2)
        digits.prepend(u'0');
    return whole < 0 ? u'-' + digits : digits;
}

} // namespace tavro_console
