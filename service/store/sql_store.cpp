#include "sql_store.h"

#include "phone_number.h"

#include <QJsonArray>
#include <QJsonObject>
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

SqlStore::Kept::~Kept()
{
    if (m_query)
        m_query->finish();
}

SqlStore::Kept SqlStore::runKept(const QString &sql, const QVariantList &values, const QString &step, QString *error)
{
    // A handful of shapes in use; a store asked many more starts afresh.
    constexpr size_t keptLimit = 32;
    auto found = m_kept.find(sql);
    if (found == m_kept.end()) {
        if (m_kept.size() >= keptLimit)
            m_kept.clear();
        auto query = std::make_shared<QSqlQuery>(m_db);
        query->setForwardOnly(true);
        if (!query->prepare(sql)) {
            *error = sqlError(step, query->lastError());
            return Kept();
        }
        found = m_kept.emplace(sql, std::move(query)).first;
    }
    std::shared_ptr<QSqlQuery> query = found->second;
    bindAll(*query, values);
    if (!query->exec()) {
        *error = sqlError(step, query->lastError());
        // Prepared afresh next time, on whatever connection there is then.
        m_kept.erase(found);
        return Kept();
    }
    return Kept(std::move(query));
}

QString SqlStore::localHourOfDay(int offsetSeconds)
{
    // Whole numbers: cheaper than a time parsed from every row, and the
    // remainder is taken twice since both stores keep the sign of a negative one.
    return QStringLiteral("((CAST(substr(h.hour, 12, 2) AS INTEGER) * 3600 + %1) % 86400 + 86400) % 86400 / 3600")
        .arg(offsetSeconds);
}

bool SqlStore::countStats(const QString &key, const QString &group, const StatsQuery &request, QJsonObject *stats,
                          QString *error)
{
    QStringList where;
    QVariantList values;
    // The hours as stored ("2026-12-07T09"): a bound cut here is not cut again on every row.
    const QString since = request.since.left(13), until = request.until.left(13);
    for (auto [value, condition] : {std::pair{&since, "h.hour >= ?"}, std::pair{&until, "h.hour < ?"},
                                    std::pair{&request.site, "h.site = ?"}}) {
        if (!value->isEmpty()) {
            where << QLatin1String(condition);
            values << m_dialect.stored(*value);
        }
    }
    const Kept query = runKept(QStringLiteral("SELECT %1 AS k, sum(h.calls), sum(h.answered), sum(h.missed) FROM"
                                              " call_hours h%2 GROUP BY %3 ORDER BY k")
                                   .arg(key, where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where.join(u" AND "),
                                        group),
                               values, QStringLiteral("counting calls"), error);
    if (!query)
        return false;
    QJsonArray buckets;
    qint64 inRange = 0;
    while (query->next()) {
        inRange += query->value(1).toLongLong();
        buckets.append(QJsonObject{{"key", QJsonValue::fromVariant(query->value(0))},
                                   {"calls", query->value(1).toLongLong()},
                                   {"answered", query->value(2).toLongLong()},
                                   {"missed", query->value(3).toLongLong()}});
    }
    QStringList topValues;
    const QString topSql = topCallersSql(request, inRange, &topValues);
    QVariantList stored;
    for (const QString &value : std::as_const(topValues))
        stored << m_dialect.stored(value);
    const Kept top = runKept(topSql, stored, QStringLiteral("finding the top callers"), error);
    if (!top)
        return false;
    QJsonArray callers;
    while (top->next())
        callers.append(QJsonObject{{"number", top->value(0).toString()},
                                   {"name", top->value(1).toString()},
                                   {"calls", top->value(2).toLongLong()}});
    *stats = QJsonObject{{"buckets", buckets}, {"topCallers", callers}};
    return true;
}

} // namespace tavrod
