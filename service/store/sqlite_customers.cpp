// The customer book of the SQLite store.
#include "sqlite_store.h"

#include "phone_number.h"

#include <QDateTime>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace tavrod {

namespace {

const QString customerColumns = QStringLiteral("c.number, c.name, c.address, c.memo, c.created, c.changed, c.rev");

Customer customerFrom(const QSqlQuery &query)
{
    return Customer{query.value(0).toString(), query.value(1).toString(), query.value(2).toString(),
                    query.value(3).toString(), query.value(4).toString(), query.value(5).toString(),
                    query.value(6).toLongLong()};
}

bool run(QSqlQuery &query, const QVariantList &values, const QString &step, QString *error)
{
    bindAll(query, values, NullText::Empty);
    if (query.exec())
        return true;
    *error = sqlError(step, query.lastError());
    return false;
}

} // namespace

bool SqliteStore::findCustomers(const CustomerQuery &request, CustomerPage *page, QString *error)
{
    // As the calls: one index walked newest change first, a page at a time.
    const QString q = customerSearchText(request.q);
    QString from = QStringLiteral("customers c");
    QString revColumn = QStringLiteral("c.rev");
    QStringList where;
    QVariantList values;
    if (q.size() >= 3) {
        from = QStringLiteral("customers_fts f JOIN customers c ON c.rev = f.rowid");
        revColumn = QStringLiteral("f.rowid");
        QString phrase = q;
        phrase.replace(u'"', QStringLiteral("\"\""));
        where << QStringLiteral("customers_fts MATCH ?");
        values << QString(u'"' + phrase + u'"');
    } else if (q.size() == 2 && !isAscii(q)) {
        from = QStringLiteral("customer_grams g JOIN customers c ON c.rev = g.rev");
        revColumn = QStringLiteral("g.rev");
        where << QStringLiteral("g.gram = ?");
        values << q.toLower();
    } else if (!q.isEmpty()) {
        QStringList any;
        for (const char *column : {"number", "name", "address", "memo"}) {
            any << QStringLiteral("c.%1 LIKE ? ESCAPE '\\'").arg(QLatin1String(column));
            values << likePattern(q);
        }
        where << u'(' + any.join(QStringLiteral(" OR ")) + u')';
    }
    if (request.before > 0) {
        where << revColumn + QStringLiteral(" < ?");
        values << request.before;
    }
    const int limit = qBound(1, request.limit, 1000);
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM %2%3 ORDER BY %4 DESC LIMIT %5")
                      .arg(customerColumns, from,
                           where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where.join(u" AND "),
                           revColumn)
                      .arg(limit + 1));
    if (!run(query, values, QStringLiteral("searching customers"), error))
        return false;
    page->next = 0;
    while (query.next()) {
        if (page->customers.size() == limit) {
            page->next = page->customers.last().rev;
            break;
        }
        page->customers.append(customerFrom(query));
    }
    return true;
}

bool SqliteStore::customer(const QString &number, std::optional<Customer> *customer, QString *error)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM customers c WHERE c.number = ?").arg(customerColumns));
    if (!run(query, {number}, QStringLiteral("reading a customer"), error))
        return false;
    customer->reset();
    if (query.next())
        *customer = customerFrom(query);
    return true;
}

namespace {

// Whether the book has room for one more customer, counted once (when the
// first new one comes) and then kept up as they are added.
bool roomForOne(QSqlQuery &scalar, qint64 *count, QString *error)
{
    if (*count < 0) {
        if (!scalar.exec(QStringLiteral("SELECT COUNT(*) FROM customers")) || !scalar.next()) {
            *error = sqlError(QStringLiteral("counting customers"), scalar.lastError());
            return false;
        }
        *count = scalar.value(0).toLongLong();
    }
    if (*count >= tavro::bridge::maxCustomers) {
        *error = QStringLiteral("the book holds %1 customers, its most").arg(tavro::bridge::maxCustomers);
        return false;
    }
    ++*count;
    return true;
}

} // namespace

bool SqliteStore::putCustomers(const QList<Customer> &customers, QList<PutOutcome> *outcomes, QString *error)
{
    SqlTransaction transaction(m_db);
    if (!transaction.begin(QStringLiteral("starting a transaction"), error))
        return false;
    const auto fail = [&] {
        outcomes->clear();
        return false;
    };
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    QSqlQuery find(m_db), insert(m_db), update(m_db), gram(m_db), scalar(m_db);
    find.prepare(QStringLiteral("SELECT %1 FROM customers c WHERE c.number = ?").arg(customerColumns));
    insert.prepare(QStringLiteral("INSERT INTO customers (rev, number, name, address, memo, created, changed)"
                                  " VALUES (?, ?, ?, ?, ?, ?, ?)"));
    update.prepare(QStringLiteral("UPDATE customers SET rev = ?, name = ?, address = ?, memo = ?, changed = ?"
                                  " WHERE number = ?"));
    gram.prepare(QStringLiteral("INSERT OR IGNORE INTO customer_grams (gram, rev) VALUES (?, ?)"));
    if (!scalar.exec(QStringLiteral("SELECT COALESCE(MAX(rev), 0) FROM customers")) || !scalar.next()) {
        *error = sqlError(QStringLiteral("numbering customers"), scalar.lastError());
        return fail();
    }
    qint64 rev = scalar.value(0).toLongLong();
    qint64 count = -1; // counted once, when the first new customer comes
    for (const Customer &customer : customers) {
        if (!run(find, {customer.number}, QStringLiteral("reading a customer"), error))
            return fail();
        if (find.next()) {
            const Customer old = customerFrom(find);
            find.finish();
            if (old.name == customer.name && old.address == customer.address && old.memo == customer.memo) {
                outcomes->append(PutOutcome::Unchanged);
                continue;
            }
            if (!run(update, {++rev, customer.name, customer.address, customer.memo, now, customer.number},
                     QStringLiteral("changing a customer"), error))
                return fail();
            outcomes->append(PutOutcome::Updated);
        } else {
            find.finish();
            if (!roomForOne(scalar, &count, error))
                return fail();
            if (!run(insert, {++rev, customer.number, customer.name, customer.address, customer.memo, now, now},
                     QStringLiteral("adding a customer"), error))
                return fail();
            outcomes->append(PutOutcome::Added);
        }
        for (const QString &piece : customerGrams(customer)) {
            if (!run(gram, {piece, rev}, QStringLiteral("indexing a customer"), error))
                return fail();
        }
    }
    return transaction.commit(QStringLiteral("committing"), error) || fail();
}

bool SqliteStore::deleteCustomer(const QString &number, bool *found, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("DELETE FROM customers WHERE number = ?"));
    if (!run(query, {number}, QStringLiteral("deleting a customer"), error))
        return false;
    *found = query.numRowsAffected() > 0;
    return true;
}

bool SqliteStore::customersAfter(const QString &number, int limit, QList<Customer> *customers, QString *error)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT %1 FROM customers c WHERE c.number > ? ORDER BY c.number LIMIT ?")
                      .arg(customerColumns));
    if (!run(query, {number, limit}, QStringLiteral("reading customers"), error))
        return false;
    while (query.next())
        customers->append(customerFrom(query));
    return true;
}

} // namespace tavrod
