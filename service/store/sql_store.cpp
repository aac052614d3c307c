#include "sql_store.h"

#include "phone_number.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace tavrod {

SqlStore::SqlStore(const char *kind, const Dialect &dialect)
    : m_db(kind, this)
    , m_dialect(dialect)
{
}

qint64 SqlStore::lastId()
{
    QSqlQuery query(m_db);
    if (query.exec(QStringLiteral("SELECT COALESCE(MAX(id), 0) FROM events")) && query.next())
        return query.value(0).toLongLong();
    return 0;
}

bool SqlStore::eventsAfter(qint64 after, int limit, QList<QByteArray> *rows, QString *error)
{
    QSqlQuery query(m_db);
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

bool SqlStore::readValue(const QString &key, QString *value, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT value FROM kv WHERE key = ?"));
    bindAll(query, {m_dialect.stored(key)});
    if (!query.exec()) {
        *error = sqlError(QStringLiteral("reading %1").arg(key), query.lastError());
        return false;
    }
    *value = query.next() ? query.value(0).toString() : QString();
    return true;
}

bool SqlStore::writeValue(const QString &key, const QString &value, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("INSERT INTO kv (key, value) VALUES (?, ?)"
                                 " ON CONFLICT (key) DO UPDATE SET value = excluded.value"));
    bindAll(query, {m_dialect.stored(key), m_dialect.stored(value)});
    if (!query.exec()) {
        *error = sqlError(QStringLiteral("writing %1").arg(key), query.lastError());
        return false;
    }
    return true;
}

bool SqlStore::callStanding(qint64 callId, CallStanding *standing, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT outcome, %1, %2, portName FROM calls WHERE id = ?")
                      .arg(QLatin1String(m_dialect.doneAt), QLatin1String(m_dialect.doneBy)));
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

bool SqlStore::countOpenMissed(const QString &site, qint64 *count, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT count(*) FROM calls WHERE outcome = 'missed' AND %1 IS NULL%2")
                      .arg(QLatin1String(m_dialect.doneAt),
                           site.isEmpty() ? QString() : QStringLiteral(" AND site = ?")));
    if (!site.isEmpty())
        bindAll(query, {m_dialect.stored(site)});
    if (!query.exec() || !query.next()) {
        *error = sqlError(QStringLiteral("counting missed calls"), query.lastError());
        return false;
    }
    *count = query.value(0).toLongLong();
    return true;
}

bool SqlStore::caller(const QString &lineNumber, std::optional<Caller> *caller, QString *error)
{
    caller->reset();
    std::optional<Customer> known;
    const QString number = tavro::bridge::numberDigits(lineNumber);
    if (number.isEmpty())
        return true;
    if (!customer(number, &known, error))
        return false;
    if (!known)
        return true;
    QSqlQuery calls(m_db);
    calls.setForwardOnly(true);
    calls.prepare(QStringLiteral("SELECT count(*), max(at) FROM calls WHERE number = ?"));
    bindAll(calls, {m_dialect.stored(lineNumber)}, NullText::Empty);
    if (!calls.exec() || !calls.next()) {
        *error = sqlError(QStringLiteral("counting calls"), calls.lastError());
        return false;
    }
    *caller = Caller{*known, calls.value(0).toLongLong(), calls.value(1).toString()};
    return true;
}

void SqlStore::callFilters(const CallQuery &request, QStringList *where, QVariantList *values) const
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
            *values << m_dialect.stored(condition.value);
        }
    }
    if (request.openMissed)
        *where << QStringLiteral("c.outcome = 'missed' AND c.%1 IS NULL").arg(QLatin1String(m_dialect.doneAt));
}

} // namespace tavrod
