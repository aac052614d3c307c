// The customer book of the shared PostgreSQL store.
#include "pg_store.h"

#include "phone_number.h"

#include <QDateTime>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace tavrod {

namespace {

// The text the trigram index covers; searches name it exactly so.
const char searchText[] = "(c.number || E'\\n' || c.name || E'\\n' || c.address || E'\\n' || c.memo)";
// Rows travel as JSON, so every read shares one parser.
const char customerRow[] = "row_to_json(c)::text";
// Rows written per statement.
constexpr int writeSlice = 1000;

Customer customerFromJson(const QByteArray &json)
{
    const QJsonObject row = QJsonDocument::fromJson(json).object();
    const auto text = [&](const char *key) { return row.value(QLatin1String(key)).toString(); };
    return Customer{text("number"),  text("name"),    text("address"), text("memo"),
                    text("created"), text("changed"), row.value(u"rev").toInteger()};
}

bool run(QSqlQuery &query, const QString &sql, const QVariantList &values, const QString &step, QString *error)
{
    query.setForwardOnly(true);
    if (!query.prepare(sql)) {
        *error = sqlError(step, query.lastError());
        return false;
    }
    bindAll(query, values, NullText::Empty);
    if (query.exec())
        return true;
    *error = sqlError(step, query.lastError());
    return false;
}

} // namespace

bool PgStore::readCustomers(const QString &sql, const QVariantList &values, QList<Customer> *customers,
                            QString *error)
{
    QSqlQuery query(m_db);
    if (!run(query, sql, values, QStringLiteral("reading customers"), error))
        return false;
    while (query.next())
        customers->append(customerFromJson(query.value(0).toString().toUtf8()));
    return true;
}

bool PgStore::findCustomers(const CustomerQuery &request, CustomerPage *page, QString *error)
{
    const QString q = pgText(customerSearchText(request.q));
    const int limit = qBound(1, request.limit, 1000);
    QString from = QStringLiteral("customers c");
    QString revColumn = QStringLiteral("c.rev");
    QStringList where;
    QVariantList values;
    Plan plan = Plan::Planner;
    if (q.size() == 2 && !isAscii(q)) {
        from = QStringLiteral("customer_grams g JOIN customers c ON c.rev = g.rev");
        revColumn = QStringLiteral("g.rev");
        where << QStringLiteral("g.gram = ?");
        values << q.toLower();
    } else if (!q.isEmpty()) {
        where << QString::fromLatin1(searchText) + QStringLiteral(" ILIKE ?");
        values << likePattern(q);
        plan = Plan::Walk;
        if (q.size() >= 3 && !chooseCustomerPlan(q, limit, &plan, error))
            return false;
    }
    if (request.before > 0) {
        where << revColumn + QStringLiteral(" < ?");
        values << request.before;
    }
    const QString sql = QStringLiteral("SELECT %1 FROM %2%3 ORDER BY %4 DESC LIMIT %5")
                            .arg(QLatin1String(customerRow), from,
                                 where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where.join(u" AND "),
                                 revColumn)
                            .arg(limit + 1);
    QList<QVariantList> rows;
    if (!runSearch(sql, values, plan, &rows, error))
        return false;
    page->next = 0;
    for (const QVariantList &columns : std::as_const(rows)) {
        const QByteArray row = columns.value(0).toString().toUtf8();
        if (page->customers.size() == limit) {
            page->next = page->customers.last().rev;
            break;
        }
        page->customers.append(customerFromJson(row));
    }
    return true;
}

bool PgStore::chooseCustomerPlan(const QString &q, int limit, Plan *plan, QString *error)
{
    // As for the calls: the newest rows say how frequent the text is, and the
    // cheaper of walking newest first and reading the trigram index is taken.
    constexpr int window = 500;
    QSqlQuery probe(m_db);
    if (!run(probe,
             QStringLiteral("SELECT (SELECT count(*) FROM (SELECT %1 AS t FROM customers c ORDER BY c.rev DESC LIMIT %2)"
                            " w WHERE w.t ILIKE ?), (SELECT reltuples FROM pg_class WHERE oid = 'customers'::regclass)")
                 .arg(QLatin1String(searchText))
                 .arg(window),
             {likePattern(q)}, QStringLiteral("searching customers"), error)
        || !probe.next())
        return false;
    const double seen = probe.value(0).toDouble();
    const double rows = std::max(probe.value(1).toDouble(), double(window));
    const double walk = seen > 0 ? (limit + 1) * window / seen : rows;
    *plan = walk < seen * rows / window ? Plan::Walk : Plan::Index;
    return true;
}

bool PgStore::customer(const QString &number, std::optional<Customer> *customer, QString *error)
{
    QList<Customer> found;
    if (!readCustomers(QStringLiteral("SELECT %1 FROM customers c WHERE c.number = ?").arg(QLatin1String(customerRow)),
                       {pgText(number)}, &found, error))
        return false;
    customer->reset();
    if (!found.isEmpty())
        *customer = found.first();
    return true;
}

namespace {

// What a slice does to the stored customers: an outcome for each given one,
// the customers to write (once each, the last given wins) and the numbers
// that are new.
void sortSlice(const QList<Customer> &slice, const QList<Customer> &stored, QList<PutOutcome> *outcomes,
               QList<Customer> *changed, QSet<QString> *fresh)
{
    // The state of each number as the slice goes, a number twice in it included.
    QHash<QString, Customer> known;
    for (const Customer &customer : std::as_const(stored))
        known.insert(customer.number, customer);
    for (const Customer &given : slice) {
        Customer customer = given;
        customer.number = pgText(customer.number);
        customer.name = pgText(customer.name);
        customer.address = pgText(customer.address);
        customer.memo = pgText(customer.memo);
        const auto old = known.constFind(customer.number);
        if (old != known.cend() && old->name == customer.name && old->address == customer.address
            && old->memo == customer.memo) {
            outcomes->append(PutOutcome::Unchanged);
            continue;
        }
        outcomes->append(old == known.cend() ? PutOutcome::Added : PutOutcome::Updated);
        if (old == known.cend())
            fresh->insert(customer.number);
        known.insert(customer.number, customer);
        changed->removeIf([&](const Customer &c) { return c.number == customer.number; });
        changed->append(customer);
    }
}

} // namespace

bool PgStore::putCustomers(const QList<Customer> &customers, QList<PutOutcome> *outcomes, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("not connected to %1").arg(m_target.display());
        return false;
    }
    SqlTransaction transaction(m_db);
    if (!transaction.begin(QStringLiteral("starting a transaction"), error))
        return false;
    const auto fail = [&] {
        outcomes->clear();
        return false;
    };
    for (qsizetype start = 0; start < customers.size(); start += writeSlice) {
        const QList<Customer> slice = customers.mid(start, writeSlice);
        QJsonArray numbers;
        for (const Customer &customer : slice)
            numbers.append(pgText(customer.number));
        QList<Customer> stored;
        if (!readCustomers(QStringLiteral("SELECT %1 FROM customers c WHERE c.number IN"
                                          " (SELECT json_array_elements_text(?::json)) FOR UPDATE")
                               .arg(QLatin1String(customerRow)),
                           {QString::fromUtf8(QJsonDocument(numbers).toJson(QJsonDocument::Compact))}, &stored,
                           error))
            return fail();
        QList<Customer> changed;
        QSet<QString> fresh;
        sortSlice(slice, stored, outcomes, &changed, &fresh);
        if (!fresh.isEmpty()) {
            QSqlQuery count(m_db);
            if (!run(count, QStringLiteral("SELECT count(*) FROM customers"), {}, QStringLiteral("counting customers"),
                     error)
                || !count.next())
                return fail();
            if (count.value(0).toLongLong() + fresh.size() > tavro::bridge::maxCustomers) {
                *error = QStringLiteral("the book would hold more than %1 customers").arg(tavro::bridge::maxCustomers);
                return fail();
            }
        }
        if (!writeCustomers(changed, error))
            return fail();
    }
    return transaction.commit(QStringLiteral("committing"), error) || fail();
}

bool PgStore::writeCustomers(const QList<Customer> &customers, QString *error)
{
    if (customers.isEmpty())
        return true;
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    QJsonArray rows;
    for (const Customer &customer : customers) {
        rows.append(QJsonObject{{"number", customer.number},
                                {"name", customer.name},
                                {"address", customer.address},
                                {"memo", customer.memo},
                                {"at", now}});
    }
    // The old pairs go with the old rev; the new rows bring theirs.
    QSqlQuery write(m_db);
    return run(write,
               QStringLiteral(
                   "WITH rows AS (SELECT * FROM json_to_recordset(?::json) AS r(number TEXT, name TEXT, address TEXT,"
                   " memo TEXT, at TEXT)),"
                   " gone AS (DELETE FROM customer_grams g USING customers c, rows r"
                   " WHERE c.number = r.number AND g.rev = c.rev),"
                   " up AS (INSERT INTO customers (rev, number, name, address, memo, created, changed)"
                   " SELECT nextval('customers_rev_seq'), number, name, address, memo, at, at FROM rows"
                   " ON CONFLICT (number) DO UPDATE SET rev = EXCLUDED.rev, name = EXCLUDED.name,"
                   " address = EXCLUDED.address, memo = EXCLUDED.memo, changed = EXCLUDED.changed"
                   " RETURNING rev, name, address, memo)"
                   " INSERT INTO customer_grams (gram, rev) SELECT DISTINCT lower(substr(v.t, i, 2)), u.rev FROM up u,"
                   " LATERAL (VALUES (u.name), (u.address), (u.memo)) v(t), generate_series(1, length(v.t) - 1) i"
                   " WHERE lower(substr(v.t, i, 2)) ~ '[^[:ascii:]]' ON CONFLICT DO NOTHING"),
               {QString::fromUtf8(QJsonDocument(rows).toJson(QJsonDocument::Compact))},
               QStringLiteral("writing customers"), error);
}

bool PgStore::deleteCustomer(const QString &number, bool *found, QString *error)
{
    QSqlQuery query(m_db);
    if (!run(query,
             QStringLiteral("WITH d AS (DELETE FROM customers WHERE number = ? RETURNING rev),"
                            " g AS (DELETE FROM customer_grams WHERE rev IN (SELECT rev FROM d))"
                            " SELECT count(*) FROM d"),
             {pgText(number)}, QStringLiteral("deleting a customer"), error)
        || !query.next())
        return false;
    *found = query.value(0).toLongLong() > 0;
    return true;
}

bool PgStore::customersAfter(const QString &number, int limit, QList<Customer> *customers, QString *error)
{
    return readCustomers(QStringLiteral("SELECT %1 FROM customers c WHERE c.number > ? ORDER BY c.number LIMIT ?")
                             .arg(QLatin1String(customerRow)),
                         {pgText(number), limit}, customers, error);
}

bool PgStore::caller(const QString &lineNumber, std::optional<Caller> *caller, QString *error)
{
    caller->reset();
    const QString number = tavro::bridge::numberDigits(lineNumber);
    if (number.isEmpty())
        return true;
    // Every call asks this: kept prepared, it is one round trip and no planning.
    const Kept query = runKept(QStringLiteral("SELECT %1, (SELECT count(*) FROM calls k WHERE k.number = ?),"
                                              " (SELECT max(at) FROM calls k WHERE k.number = ?)"
                                              " FROM customers c WHERE c.number = ?")
                                   .arg(QLatin1String(customerRow)),
                               {pgText(lineNumber), pgText(lineNumber), number}, QStringLiteral("reading the caller"),
                               error);
    if (!query)
        return false;
    if (query->next())
        *caller = Caller{customerFromJson(query->value(0).toString().toUtf8()), query->value(1).toLongLong(),
                         query->value(2).toString()};
    return true;
}

} // namespace tavrod
