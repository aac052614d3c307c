#include "customer_book.h"

#include "phone_number.h"

#include <QLoggingCategory>

namespace tavrod {

namespace {

Q_LOGGING_CATEGORY(lcCustomers, "tavrod.customers")

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

QJsonValue customerOfCall(CustomerBook *book, const QJsonObject &event)
{
    if (!book)
        return QJsonValue();
    const QString number = event.value(u"cidInfo").toObject().value(u"lNumber").toString();
    std::optional<Caller> caller;
    QString error;
    if (!book->caller(number, &caller, &error)) {
        qCWarning(lcCustomers, "a call goes out without its customer: %s", qPrintable(error));
        return QJsonValue();
    }
    if (!caller)
        return QJsonValue();
    return tavro::bridge::callerToJson(caller->customer, caller->calls, caller->lastCall);
}

QString customerSearchText(const QString &q)
{
    const QString trimmed = q.trimmed();
    return tavro::bridge::looksLikeNumber(trimmed) ? tavro::bridge::numberDigits(trimmed) : trimmed;
}

} // namespace tavrod
