#include "call_info.h"

#include <QJsonValue>

namespace popup {

namespace {

// Prefixes of non-geographic numbers, longest first where they overlap.
struct Prefix
{
    const char16_t *digits;
    int length;          // digits of the prefix group
    const char16_t *kind;
};

// 02 is the only two-digit area; the rest of the geographic table is the
// one the terminal itself knows (its 'G' command takes these numbers).
const Prefix *findPrefix(const QString &digits)
{
    static const Prefix table[] = {
        {u"02", 2, u"서울"},     {u"031", 3, u"경기"},   {u"032", 3, u"인천"},   {u"033", 3, u"강원"},
        {u"041", 3, u"충남"},    {u"042", 3, u"대전"},   {u"043", 3, u"충북"},   {u"044", 3, u"세종"},
        {u"051", 3, u"부산"},    {u"052", 3, u"울산"},   {u"053", 3, u"대구"},   {u"054", 3, u"경북"},
        {u"055", 3, u"경남"},    {u"061", 3, u"전남"},   {u"062", 3, u"광주"},   {u"063", 3, u"전북"},
        {u"064", 3, u"제주"},    {u"010", 3, u"휴대전화"}, {u"011", 3, u"휴대전화"}, {u"016", 3, u"휴대전화"},
        {u"017", 3, u"휴대전화"}, {u"018", 3, u"휴대전화"}, {u"019", 3, u"휴대전화"}, {u"070", 3, u"인터넷 전화"},
        {u"080", 3, u"수신자 부담"}, {u"050", 4, u"안심번호"},
    };
    for (const Prefix &prefix : table) {
        if (digits.startsWith(QString::fromUtf16(prefix.digits)))
            return &prefix;
    }
    return nullptr;
}

bool isRepresentative(const QString &digits)
{
    // 1588-1234, 1644-..., 1800-...: eight digits starting with 15, 16 or 18.
    return digits.size() == 8 && (digits.startsWith(u"15") || digits.startsWith(u"16") || digits.startsWith(u"18"));
}

QString grouped(const QString &digits, int head)
{
    // The last four digits are always a group; the middle takes the rest.
    const int middle = int(digits.size()) - head - 4;
    if (middle < 3 || middle > 4)
        return digits;
    return digits.left(head) + u'-' + digits.mid(head, middle) + u'-' + digits.right(4);
}

QString textOf(const QJsonValue &value)
{
    if (value.isString())
        return value.toString();
    if (value.isDouble())
        return QString::number(value.toInteger());
    if (value.isObject()) // a call record: its time
        return textOf(value.toObject().value(u"at"));
    return {};
}

QString timeText(const QString &text)
{
    QDateTime at = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!at.isValid())
        return text;
    return at.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

} // namespace

QString digitsOf(const QString &number)
{
    QString digits;
    for (const QChar c : number) {
        if (c >= u'0' && c <= u'9')
            digits += c;
    }
    // +82 2-555-1234: the country code replaces the leading 0.
    if (number.trimmed().startsWith(u'+') && digits.startsWith(u"82"))
        digits = u'0' + digits.mid(2);
    return digits;
}

QString formatNumber(const QString &number)
{
    const QString digits = digitsOf(number);
    if (isRepresentative(digits))
        return digits.left(4) + u'-' + digits.right(4);
    if (const Prefix *prefix = findPrefix(digits))
        return grouped(digits, prefix->length);
    if (digits.size() == 7 || digits.size() == 8) // a local number without its area
        return digits.left(digits.size() - 4) + u'-' + digits.right(4);
    return digits;
}

QString regionOf(const QString &number)
{
    const QString digits = digitsOf(number);
    if (isRepresentative(digits))
        return QStringLiteral("대표번호");
    const Prefix *prefix = findPrefix(digits);
    return prefix ? QString::fromUtf16(prefix->kind) : QString();
}

QString CallInfo::displayName() const
{
    if (hasCustomer && !customer.name.trimmed().isEmpty())
        return customer.name;
    if (!lineName.trimmed().isEmpty())
        return lineName;
    return QStringLiteral("없슴");
}

QString CallInfo::identity() const
{
    if (localId > 0)
        return site + u'/' + QString::number(localId);
    return QStringLiteral("#") + QString::number(id);
}

bool parseCall(const QJsonObject &event, CallInfo *call)
{
    if (event.value(u"event").toString() != u"ReceiveCall")
        return false;
    const QJsonObject record = event.value(u"cidInfo").toObject();
    CallInfo out;
    out.id = event.value(u"id").toInteger();
    out.localId = event.value(u"localId").toInteger();
    out.site = event.value(u"site").toString();
    out.portName = event.value(u"portName").toString();
    out.callState = event.value(u"callState").toInt(1);
    out.number = record.value(u"lNumber").toString();
    out.lineName = record.value(u"lName").toString();
    out.group = record.value(u"lGroup").toInt();
    out.telType = record.value(u"lTelType").toString();
    out.at = QDateTime::fromString(event.value(u"at").toString(), Qt::ISODateWithMs).toLocalTime();
    const QJsonValue customer = event.value(u"customer");
    if (customer.isObject()) {
        const QJsonObject c = customer.toObject();
        out.hasCustomer = true;
        out.customer.name = c.value(u"name").toString();
        out.customer.address = c.value(u"address").toString();
        out.customer.memo = c.value(u"memo").toString();
        out.customer.calls = c.value(u"calls").toInt();
        const QString last = textOf(c.value(u"lastCall"));
        out.customer.lastCall = last.isEmpty() ? QString() : timeText(last);
    }
    *call = out;
    return true;
}

} // namespace popup
