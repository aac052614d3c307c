#include "customer_book.h"

#include "phone_number.h"

namespace tavrod {

namespace {

bool hasNonAscii(QStringView text)
{
    for (QChar c : text) {
        if (c.unicode() > 0x7f)
            return true;
    }
    return false;
}

} // namespace

QStringList customerGrams(const Customer &customer)
{
    QStringList grams;
    for (const QString *text : {&customer.name, &customer.address, &customer.memo}) {
        const QString lower = text->toLower();
        for (qsizetype i = 0; i + 1 < lower.size(); ++i) {
            const QString gram = lower.mid(i, 2);
            if (hasNonAscii(gram))
                grams.append(gram);
        }
    }
    grams.removeDuplicates();
    return grams;
}

QString customerSearchText(const QString &q)
{
    const QString trimmed = q.trimmed();
    return tavro::bridge::looksLikeNumber(trimmed) ? tavro::bridge::numberDigits(trimmed) : trimmed;
}

} // namespace tavrod
