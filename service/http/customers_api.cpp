#include "customers_api.h"

#include "api.h"
#include "customer_book.h"
#include "customer_csv.h"
#include "event_log.h"
#include "event_store.h"
#include "phone_number.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLoggingCategory>

#include <memory>

namespace tavrod {

namespace {

Q_LOGGING_CATEGORY(lcCustomersApi, "tavrod.customers")

using tavro::bridge::checkCustomer;
using tavro::bridge::customerToJson;
using tavro::bridge::numberDigits;

// Customers a piece of the export holds.
constexpr int exportSlice = 1000;

HttpResponse refuse(int status, const QString &english, const QString &korean)
{
    return HttpResponse::json(status, {{"error", english}, {"errorKo", korean}});
}

HttpResponse noBook()
{
    return refuse(503, QStringLiteral("the customer book cannot be reached"),
                  QStringLiteral("고객 정보를 읽을 수 없습니다"));
}

HttpResponse storeFailed(const QString &error)
{
    qCWarning(lcCustomersApi, "customer book: %s", qPrintable(error));
    return refuse(503, QStringLiteral("the customer book cannot be used: %1").arg(error),
                  QStringLiteral("고객 정보를 저장하거나 읽지 못했습니다"));
}

// The number of /api/customers/{number}, as digits.
QString numberOf(const HttpRequest &request)
{
    return numberDigits(request.path.mid(request.path.lastIndexOf(u'/') + 1));
}

HttpResponse noDigits()
{
    return refuse(400, QStringLiteral("the number has no digits"), QStringLiteral("전화번호에 숫자가 없습니다"));
}

// The columns a header may name, in Korean or English.
enum Column { Name, Number, Address, Memo, Columns };

int columnNamed(QString header)
{
    header = header.trimmed().toLower();
    header.remove(u' ');
    static const QStringList names[Columns] = {
        {u"이름"_qs, u"성명"_qs, u"고객명"_qs, "name"},
        {u"전화번호"_qs, u"번호"_qs, u"전화"_qs, u"연락처"_qs, u"휴대폰"_qs, "number", "phone", "tel", "telephone"},
        {u"주소"_qs, "address"},
        {u"메모"_qs, u"비고"_qs, "memo", "note", "notes"},
    };
    for (int column = 0; column < Columns; ++column) {
        if (names[column].contains(header))
            return column;
    }
    return -1;
}

// One stored event per change: numbered, streamed and (with a shared
// database) seen by every site like a call. Hooks and MQTT take calls only.
void announceChange(EventLog &log, const QString &number, QLatin1String change)
{
    log.record({{"event", "CustomerChanged"}, {"number", number}, {"change", change}});
}

void getCustomers(EventStore &store, EventLog &, const HttpRequest &request, HttpResponder responder)
{
    CustomerBook *book = store.customers();
    if (!book)
        return responder.send(noBook());
    CustomerQuery query;
    query.q = request.query.queryItemValue(QStringLiteral("q"), QUrl::FullyDecoded).trimmed();
    bool ok = true;
    if (request.query.hasQueryItem(QStringLiteral("limit")))
        query.limit = request.query.queryItemValue(QStringLiteral("limit")).toInt(&ok);
    if (!ok || query.limit < 1 || query.limit > 1000)
        return responder.send(HttpResponse::error(400, QStringLiteral("limit must be a whole number from 1 to 1000")));
    if (request.query.hasQueryItem(QStringLiteral("before")))
        query.before = request.query.queryItemValue(QStringLiteral("before")).toLongLong(&ok);
    if (!ok || query.before < 0)
        return responder.send(HttpResponse::error(400, QStringLiteral("before must be a whole number")));
    if (query.q.size() > 200)
        return responder.send(HttpResponse::error(400, QStringLiteral("q is longer than 200 characters")));
    CustomerPage page;
    QString error;
    if (!book->findCustomers(query, &page, &error))
        return responder.send(storeFailed(error));
    QJsonArray customers;
    for (const Customer &customer : std::as_const(page.customers))
        customers.append(customerToJson(customer));
    responder.send(HttpResponse::json(
        200, {{"customers", customers}, {"next", page.next > 0 ? QJsonValue(page.next) : QJsonValue()}}));
}

void getCustomer(EventStore &store, EventLog &, const HttpRequest &request, HttpResponder responder)
{
    CustomerBook *book = store.customers();
    if (!book)
        return responder.send(noBook());
    const QString number = numberOf(request);
    if (number.isEmpty())
        return responder.send(noDigits());
    std::optional<Customer> customer;
    QString error;
    if (!book->customer(number, &customer, &error))
        return responder.send(storeFailed(error));
    if (!customer)
        return responder.send(refuse(404, QStringLiteral("no customer has the number %1").arg(number),
                                     QStringLiteral("등록되지 않은 번호입니다")));
    responder.send(HttpResponse::json(200, customerToJson(*customer)));
}

void putCustomer(EventStore &store, EventLog &log, const HttpRequest &request, HttpResponder responder)
{
    CustomerBook *book = store.customers();
    if (!book)
        return responder.send(noBook());
    Customer customer;
    customer.number = numberOf(request);
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return responder.send(refuse(400, QStringLiteral("the body must be one JSON object {name, address, memo}"),
                                     QStringLiteral("요청 형식이 잘못되었습니다")));
    const QJsonObject body = document.object();
    for (auto [key, target] : {std::pair{"name", &customer.name}, std::pair{"address", &customer.address},
                               std::pair{"memo", &customer.memo}}) {
        const QJsonValue value = body.value(QLatin1String(key));
        if (!value.isUndefined() && !value.isNull() && !value.isString())
            return responder.send(HttpResponse::error(400, QStringLiteral("%1 must be a string").arg(key)));
        *target = value.toString();
    }
    customer.name = customer.name.trimmed();
    customer.address = customer.address.trimmed();
    if (const auto refusal = checkCustomer(customer))
        return responder.send(refuse(400, refusal->english, refusal->korean));
    QList<PutOutcome> outcomes;
    QString error;
    std::optional<Customer> stored;
    if (!book->putCustomers({customer}, &outcomes, &error) || !book->customer(customer.number, &stored, &error)
        || !stored)
        return responder.send(storeFailed(error));
    QJsonObject answer = customerToJson(*stored);
    static const char *const words[] = {"added", "updated", "unchanged"};
    const QLatin1String outcome(words[int(outcomes.value(0))]);
    answer.insert(QStringLiteral("outcome"), outcome);
    if (outcomes.value(0) != PutOutcome::Unchanged)
        announceChange(log, customer.number, outcome);
    responder.send(HttpResponse::json(outcomes.value(0) == PutOutcome::Added ? 201 : 200, answer));
}

void deleteCustomer(EventStore &store, EventLog &log, const HttpRequest &request, HttpResponder responder)
{
    CustomerBook *book = store.customers();
    if (!book)
        return responder.send(noBook());
    const QString number = numberOf(request);
    if (number.isEmpty())
        return responder.send(noDigits());
    bool found = false;
    QString error;
    if (!book->deleteCustomer(number, &found, &error))
        return responder.send(storeFailed(error));
    if (!found)
        return responder.send(refuse(404, QStringLiteral("no customer has the number %1").arg(number),
                                     QStringLiteral("등록되지 않은 번호입니다")));
    announceChange(log, number, QLatin1String("deleted"));
    responder.send(HttpResponse::json(200, {{"deleted", number}}));
}

// The first line's cell for each column, the first of a name twice.
void findColumns(const QStringList &header, int *columns)
{
    for (int i = 0; i < header.size(); ++i) {
        const int column = columnNamed(header.at(i));
        if (column >= 0 && columns[column] < 0)
            columns[column] = i;
    }
}

// The customers of the lines after the first, and the lines refused with
// their reasons; the first refusal also as a sentence.
void readRecords(const QList<csv::Record> &records, const int *columns, QList<Customer> *customers,
                 QJsonArray *refused, QString *firstEnglish, QString *firstKorean)
{
    for (qsizetype r = 1; r < records.size(); ++r) {
        const csv::Record &record = records.at(r);
        const auto cell = [&](Column column) {
            return csv::restore(columns[column] < 0 ? QString() : record.cells.value(columns[column]));
        };
        Customer customer{numberDigits(cell(Number)), cell(Name).trimmed(), cell(Address).trimmed(), cell(Memo)};
        if (const auto refusal = checkCustomer(customer)) {
            refused->append(QJsonObject{{"line", record.line}, {"reason", refusal->english},
                                        {"reasonKo", refusal->korean}});
            if (firstEnglish->isEmpty()) {
                *firstEnglish = QStringLiteral("line %1: %2").arg(record.line).arg(refusal->english);
                *firstKorean = QStringLiteral("%1번째 줄: %2").arg(record.line).arg(refusal->korean);
            }
            continue;
        }
        customers->append(customer);
    }
}

void importCustomers(EventStore &store, EventLog &log, const HttpRequest &request, HttpResponder responder)
{
    CustomerBook *book = store.customers();
    if (!book)
        return responder.send(noBook());
    const bool partial = request.query.queryItemValue(QStringLiteral("partial")) == u"1";
    QString text, encoding;
    if (request.body.trimmed().isEmpty() || request.body == csv::bom)
        return responder.send(refuse(400, QStringLiteral("the file is empty"), QStringLiteral("파일이 비어 있습니다")));
    if (!csv::decode(request.body, &text, &encoding))
        return responder.send(refuse(400, QStringLiteral("the file is neither UTF-8 nor code page 949 text"),
                                     QStringLiteral("파일의 인코딩을 알 수 없습니다 (UTF-8 또는 한글 엑셀 CSV만 됩니다)")));
    QList<csv::Record> records = csv::parse(text);
    records.removeIf([](const csv::Record &record) {
        return std::all_of(record.cells.cbegin(), record.cells.cend(),
                           [](const QString &cell) { return cell.trimmed().isEmpty(); });
    });
    if (records.isEmpty())
        return responder.send(refuse(400, QStringLiteral("the file is empty"), QStringLiteral("파일이 비어 있습니다")));
    int columns[Columns] = {-1, -1, -1, -1};
    findColumns(records.first().cells, columns);
    if (columns[Number] < 0)
        return responder.send(refuse(400,
                                     QStringLiteral("the first line names no number column (전화번호 or number)"),
                                     QStringLiteral("첫 줄에 전화번호 열이 없습니다 (전화번호 또는 number)")));

    QList<Customer> customers;
    QJsonArray refused;
    QString firstEnglish, firstKorean;
    readRecords(records, columns, &customers, &refused, &firstEnglish, &firstKorean);
    if (!refused.isEmpty() && !partial) {
        HttpResponse response = HttpResponse::json(
            400, {{"error", firstEnglish + QStringLiteral(" (nothing was imported; ?partial=1 imports the other lines)")},
                  {"errorKo", firstKorean + QStringLiteral(" (아무것도 가져오지 않았습니다)")},
                  {"refused", refused}});
        return responder.send(response);
    }
    QList<PutOutcome> outcomes;
    QString error;
    if (!book->putCustomers(customers, &outcomes, &error))
        return responder.send(storeFailed(error));
    int counts[3] = {0, 0, 0};
    for (PutOutcome outcome : std::as_const(outcomes))
        ++counts[int(outcome)];
    if (counts[0] + counts[1] > 0)
        log.record({{"event", "CustomersImported"}, {"added", counts[0]}, {"updated", counts[1]}});
    qCInfo(lcCustomersApi, "import (%s): %d added, %d updated, %d unchanged, %d refused", qPrintable(encoding),
           counts[0], counts[1], counts[2], int(refused.size()));
    responder.send(HttpResponse::json(200, {{"added", counts[0]},
                                            {"updated", counts[1]},
                                            {"unchanged", counts[2]},
                                            {"refused", refused},
                                            {"encoding", encoding}}));
}

void exportCustomers(EventStore &store, EventLog &, const HttpRequest &, HttpResponder responder)
{
    if (!store.customers())
        return responder.send(noBook());
    HttpResponse response;
    response.contentType = "text/csv; charset=utf-8";
    response.headers.append({QByteArray("Content-Disposition"), QByteArray("attachment; filename=\"customers.csv\"")});
    // Read a slice at a time, in number order, as the client takes them.
    struct Cursor
    {
        QString after;
        bool started = false;
        bool done = false;
    };
    auto cursor = std::make_shared<Cursor>();
    response.stream = [&store, cursor]() -> QByteArray {
        if (cursor->done)
            return QByteArray();
        if (!cursor->started) {
            cursor->started = true;
            return csv::bom + csv::row({u"이름"_qs, u"전화번호"_qs, u"주소"_qs, u"메모"_qs});
        }
        CustomerBook *book = store.customers();
        QList<Customer> customers;
        QString error;
        if (!book || !book->customersAfter(cursor->after, exportSlice, &customers, &error)) {
            qCWarning(lcCustomersApi, "export ends early: %s", qPrintable(book ? error : QStringLiteral("no book")));
            cursor->done = true;
            return QByteArray();
        }
        cursor->done = customers.size() < exportSlice;
        QByteArray piece;
        for (const Customer &customer : std::as_const(customers))
            piece += csv::row({customer.name, tavro::bridge::formatNumber(customer.number), customer.address,
                               customer.memo});
        if (!customers.isEmpty())
            cursor->after = customers.last().number;
        return piece;
    };
    responder.send(response);
}

} // namespace

void addCustomerRoutes(Api &api, EventStore &store, EventLog &log)
{
    using Handler = void (*)(EventStore &, EventLog &, const HttpRequest &, HttpResponder);
    const auto route = [&store, &log](Handler handler) {
        return [&store, &log, handler](const HttpRequest &request, HttpResponder responder) {
            handler(store, log, request, std::move(responder));
        };
    };
    // Reading needs the token. Changing the book is the administrator's
    // once the API knows scopes: every change is registered here, in one place.
    const auto change = [&](const QByteArray &method, const QString &path, Handler handler) {
        api.addRoute(method, path, /*needsToken (admin scope)*/ true, route(handler));
    };
    api.addRoute("GET", QStringLiteral("/api/customers"), true, route(getCustomers));
    api.addRoute("GET", QStringLiteral("/api/customers/export"), true, route(exportCustomers));
    api.addRoute("GET", QStringLiteral("/api/customers/*"), true, route(getCustomer));
    change("PUT", QStringLiteral("/api/customers/*"), putCustomer);
    change("DELETE", QStringLiteral("/api/customers/*"), deleteCustomer);
    change("POST", QStringLiteral("/api/customers/import"), importCustomers);
}

} // namespace tavrod
