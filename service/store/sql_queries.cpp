#include "sql_queries.h"

#include "phone_number.h"
#include "sql_connection.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace tavrod::sql {

QString asIs(QString text)
{
    return text;
}

qint64 lastId(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    if (query.exec(QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM events")) && query.next())
        return query.value(0).toLongLong();
    return 0;
}

bool eventsAfter(const QSqlDatabase &db, qint64 after, int limit, QList<QByteArray> *rows, QString *error)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT body FROM events WHERE id > ? ORDER BY id LIMIT ?"));
    bindAll(query, {after, limit});
    if (!query.exec()) {
        *error = sqlError(QStringLiteral("reading events"), query.lastError());
        return false;
    }
    while (query.next())
        rows->append(query.value(0).toString().toUtf8());
    return true;
}

bool readValue(const QSqlDatabase &db, const QString &key, QString *value, QString *error)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT value FROM kv WHERE key = ?"));
    query.bindValue(0, key);
    if (!query.exec()) {
        *error = sqlError(QStringLiteral("reading %1").arg(key), query.lastError());
        return false;
    }
    *value = query.next() ? query.value(0).toString() : QString();
    return true;
}

bool writeValue(const QSqlDatabase &db, const QString &key, const QString &value, QString *error)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("INSERT INTO kv (key, value) VALUES (?, ?)"
                                 " ON CONFLICT (key) DO UPDATE SET value = excluded.value"));
    bindAll(query, {key, value});
    if (!query.exec()) {
        *error = sqlError(QStringLiteral("writing %1").arg(key), query.lastError());
        return false;
    }
    return true;
}

bool callStanding(const QSqlDatabase &db, const DoneColumns &done, qint64 callId, CallStanding *standing,
                  QString *error)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT outcome, %1, %2, portName FROM calls WHERE id = ?")
                      .arg(QLatin1String(done.at), QLatin1String(done.by)));
    bindAll(query, {callId});
    if (!query.exec()) {
        *error = sqlError(QStringLiteral("reading call %1").arg(callId), query.lastError());
        return false;
    }
    standing->found = query.next();
    if (standing->found) {
        standing->outcome = query.value(0).toString();
        standing->doneAt = query.value(1).toString();
        standing->doneBy = query.value(2).toString();
        standing->portName = query.value(3).toString();
    }
    return true;
}

bool countOpenMissed(const QSqlDatabase &db, const DoneColumns &done, const QString &site, qint64 *count,
                     QString *error)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT count(*) FROM calls WHERE outcome = 'missed' AND %1 IS NULL%2")
                      .arg(QLatin1String(done.at), site.isEmpty() ? QString() : QStringLiteral(" AND site = ?")));
    if (!site.isEmpty())
        bindAll(query, {site});
    if (!query.exec() || !query.next()) {
        *error = sqlError(QStringLiteral("counting missed calls"), query.lastError());
        return false;
    }
    *count = query.value(0).toLongLong();
    return true;
}

void callFilters(const CallQuery &request, const DoneColumns &done, StoredText stored, QStringList *where,
                 QVariantList *values)
{
    const struct {
        const QString &value;
        const char *condition;
    } conditions[] = {{request.since, "c.at >= ?"},
                      {request.until, "c.at < ?"},
                      {request.port, "c.portName = ?"},
                      {request.site, "c.site = ?"},
                      {request.outcome, "c.outcome = ?"}};
    for (const auto &condition : conditions) {
        if (!condition.value.isEmpty()) {
            *where << QString::fromLatin1(condition.condition);
            *values << stored(condition.value);
        }
    }
    if (request.openMissed)
        *where << QStringLiteral("c.outcome = 'missed' AND c.%1 IS NULL").arg(QLatin1String(done.at));
}

bool caller(CustomerBook &book, const QSqlDatabase &db, StoredText stored, const QString &lineNumber,
            std::optional<Caller> *caller, QString *error)
{
    caller->reset();
    std::optional<Customer> known;
    const QString number = tavro::bridge::numberDigits(lineNumber);
    if (number.isEmpty())
        return true;
    if (!book.customer(number, &known, error))
        return false;
    if (!known)
        return true;
    QSqlQuery calls(db);
    calls.setForwardOnly(true);
    calls.prepare(QStringLiteral("SELECT count(*), max(at) FROM calls WHERE number = ?"));
    bindAll(calls, {stored(lineNumber)}, NullText::Empty);
    if (!calls.exec() || !calls.next()) {
        *error = sqlError(QStringLiteral("counting calls"), calls.lastError());
        return false;
    }
    *caller = Caller{*known, calls.value(0).toLongLong(), calls.value(1).toString()};
    return true;
}

} // namespace tavrod::sql
