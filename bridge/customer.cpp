#include "customer.h"

#include "phone_number.h"

namespace tavro::bridge {

namespace {

// Characters as a person counts them (a Hangul syllable is one).
qsizetype length(const QString &text)
{
    return text.toUcs4().size();
}

} // namespace

std::optional<Refusal> checkCustomer(const Customer &customer)
{
    if (customer.number.isEmpty())
        return Refusal{QStringLiteral("the number has no digits"), QStringLiteral("전화번호에 숫자가 없습니다")};
    if (customer.number.size() > 20)
        return Refusal{QStringLiteral("the number has more than 20 digits"),
                       QStringLiteral("전화번호가 20자리보다 깁니다")};
    const struct {
        const QString &text;
        int bound;
        const char16_t *english;
        const char16_t *korean;
    } fields[] = {
        {customer.name, maxNameLength, u"name", u"이름"},
        {customer.address, maxAddressLength, u"address", u"주소"},
        {customer.memo, maxMemoLength, u"memo", u"메모"},
    };
    for (const auto &field : fields) {
        if (length(field.text) > field.bound)
            return Refusal{QStringLiteral("the %1 is longer than %2 characters")
                               .arg(QString::fromUtf16(field.english))
                               .arg(field.bound),
                           QStringLiteral("%1이(가) %2자보다 깁니다")
                               .arg(QString::fromUtf16(field.korean))
                               .arg(field.bound)};
    }
    return std::nullopt;
}

QJsonObject customerToJson(const Customer &customer)
{
    return {{"number", customer.number},
            {"shown", formatNumber(customer.number)},
            {"region", regionOf(customer.number)},
            {"name", customer.name},
            {"address", customer.address},
            {"memo", customer.memo},
            {"created", customer.created},
            {"changed", customer.changed}};
}

QJsonObject callerToJson(const Customer &customer, qint64 calls, const QString &lastCall)
{
    return {{"name", customer.name},
            {"address", customer.address},
            {"memo", customer.memo},
            {"calls", calls},
            {"lastCall", lastCall.isEmpty() ? QJsonValue() : QJsonValue(lastCall)}};
}

} // namespace tavro::bridge
