// A customer of the book as every program writes it: the JSON of the API and
// the export, the nested "customer" of a call, and the bounds of each field.
#ifndef TAVRO_BRIDGE_CUSTOMER_H
#define TAVRO_BRIDGE_CUSTOMER_H

#include <QJsonObject>
#include <QString>

#include <optional>

namespace tavro::bridge {

struct Customer
{
    QString number;  // digits only: the key
    QString name;
    QString address;
    QString memo;
    QString created = {}; // UTC, ISO 8601 with milliseconds
    QString changed = {};
    qint64 rev = 0;  // grows with every change: newest change first, paging
};

// What the book holds at most.
constexpr int maxNameLength = 100;
constexpr int maxAddressLength = 200;
constexpr int maxMemoLength = 2000;
constexpr qint64 maxCustomers = 1000000;

// Why a customer is refused: English for the API's "error", Korean for the page.
struct Refusal
{
    QString english;
    QString korean;
};

// The number and the field bounds; nothing when the customer may be stored.
std::optional<Refusal> checkCustomer(const Customer &customer);

// {"number":"025551234","shown":"02-555-1234","region":"서울","name",
//  "address","memo","created","changed"}
QJsonObject customerToJson(const Customer &customer);

// The "customer" of a call: {"name","address","memo","calls","lastCall"},
// calls being the earlier calls from the number and lastCall the time of
// the newest of them (null when there was none).
QJsonObject callerToJson(const Customer &customer, qint64 calls, const QString &lastCall);

} // namespace tavro::bridge

#endif
