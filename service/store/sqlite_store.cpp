#include "sqlite_store.h"

#include "login_book.h"

#include <QDate>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace tavrod {

namespace {

// Each step brings the file from version i to i + 1; a file is never
// written by code older than its version.
const char *const migrations[][14] = {
    // 1: the events, and the calls as their own rows for the history.
    {"CREATE TABLE events (id INTEGER PRIMARY KEY, site TEXT NOT NULL, portName TEXT NOT NULL,"
     " at TEXT NOT NULL, kind TEXT NOT NULL, body TEXT NOT NULL)",
     "CREATE TABLE calls (id INTEGER PRIMARY KEY REFERENCES events(id), site TEXT NOT NULL,"
     " portName TEXT NOT NULL, at TEXT NOT NULL, callState INTEGER NOT NULL,"
     " number TEXT NOT NULL, name TEXT NOT NULL)",
     "CREATE INDEX calls_at ON calls(at)", nullptr},
    // 2: substring search. Trigrams serve three characters and more; two
    // characters (a Korean given name is two syllables) need their own
    // index of the pairs, kept for names and for non-ASCII pairs of numbers
    // (two-character ASCII fragments are dense enough for a scan).
    {"CREATE VIRTUAL TABLE calls_fts USING fts5(number, name, content='calls', content_rowid='id',"
     " tokenize='trigram')",
     "INSERT INTO calls_fts(calls_fts) VALUES('rebuild')",
     "CREATE TABLE call_grams (gram TEXT NOT NULL, id INTEGER NOT NULL, PRIMARY KEY (gram, id))"
     " WITHOUT ROWID",
     nullptr},
    // 3: device tokens and remembered dashboard sessions (hashed); calls
    // stored before it get the indexed form of their texts (reindexCalls).
    {tokensTableSql, sessionsTableSql, nullptr},
    // 4: small named values beside the events (the MQTT publisher's
    // acknowledged id).
    {"CREATE TABLE kv (key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID", nullptr},
    // 5: the customer book. rev is the rowid and grows with every change, so
    // the newest change comes first in every index walk; the trigram index
    // and the pair table follow the rows (pairs are written by the store,
    // removed by the triggers). calls_number counts a caller's calls.
    {"CREATE TABLE customers (rev INTEGER PRIMARY KEY, number TEXT NOT NULL UNIQUE, name TEXT NOT NULL,"
     " address TEXT NOT NULL, memo TEXT NOT NULL, created TEXT NOT NULL, changed TEXT NOT NULL)",
     "CREATE VIRTUAL TABLE customers_fts USING fts5(number, name, address, memo, content='customers',"
     " content_rowid='rev', tokenize='trigram')",
     "CREATE TABLE customer_grams (gram TEXT NOT NULL, rev INTEGER NOT NULL, PRIMARY KEY (gram, rev)) WITHOUT ROWID",
     "CREATE INDEX customer_grams_rev ON customer_grams(rev)",
     "CREATE TRIGGER customers_added AFTER INSERT ON customers BEGIN"
     " INSERT INTO customers_fts(rowid, number, name, address, memo)"
     " VALUES (new.rev, new.number, new.name, new.address, new.memo); END",
     "CREATE TRIGGER customers_removed AFTER DELETE ON customers BEGIN"
     " INSERT INTO customers_fts(customers_fts, rowid, number, name, address, memo)"
     " VALUES ('delete', old.rev, old.number, old.name, old.address, old.memo);"
     " DELETE FROM customer_grams WHERE rev = old.rev; END",
     "CREATE TRIGGER customers_changed AFTER UPDATE ON customers BEGIN"
     " INSERT INTO customers_fts(customers_fts, rowid, number, name, address, memo)"
     " VALUES ('delete', old.rev, old.number, old.name, old.address, old.memo);"
     " DELETE FROM customer_grams WHERE rev = old.rev;"
     " INSERT INTO customers_fts(rowid, number, name, address, memo)"
     " VALUES (new.rev, new.number, new.name, new.address, new.memo); END",
     "CREATE INDEX calls_number ON calls(number, at)",
     nullptr},
    // 6: answered or missed, and who dealt with a missed call. Calls stored
    // before it keep no outcome (NULL): they were never watched.
    {"ALTER TABLE calls ADD COLUMN outcome TEXT",
     "ALTER TABLE calls ADD COLUMN doneAt TEXT",
     "ALTER TABLE calls ADD COLUMN doneBy TEXT",
     "CREATE INDEX calls_outcome ON calls(outcome, id)",
     "CREATE INDEX calls_open_missed ON calls(id) WHERE outcome = 'missed' AND doneAt IS NULL",
     // Counts per site and hour (UTC "YYYY-MM-DDTHH"), kept as calls come
     // and are decided, so statistics over a year read 8,760 rows a site.
     "CREATE TABLE call_hours (site TEXT NOT NULL, hour TEXT NOT NULL, calls INTEGER NOT NULL,"
     " answered INTEGER NOT NULL, missed INTEGER NOT NULL, PRIMARY KEY (site, hour)) WITHOUT ROWID",
     "INSERT INTO call_hours SELECT site, substr(at, 1, 13), count(*), 0, 0 FROM calls GROUP BY 1, 2",
     "CREATE INDEX calls_at_number ON calls(at, number)",
     // Calls per number of all time: the candidates for the top callers of
     // a long range, each then counted exactly in it through calls_number.
     "CREATE TABLE callers (site TEXT NOT NULL, number TEXT NOT NULL, calls INTEGER NOT NULL,"
     " PRIMARY KEY (site, number)) WITHOUT ROWID",
     "INSERT INTO callers SELECT site, number, count(*) FROM calls GROUP BY 1, 2",
     "CREATE INDEX callers_calls ON callers(calls)",
     "CREATE INDEX calls_number_at ON calls(number, at)",
     nullptr},
    // 7: the top callers of a long range without a walk through each
    // candidate's calls: the name of their latest call beside their count,
    // and their calls per month (UTC "YYYY-MM"), so only the months at the
    // ends of a range are counted call by call. calls_number already is
    // (number, at).
    {"ALTER TABLE callers ADD COLUMN name TEXT NOT NULL DEFAULT ''",
     "UPDATE callers SET name = coalesce((SELECT c.name FROM calls c WHERE c.site = callers.site"
     " AND c.number = callers.number ORDER BY c.id DESC LIMIT 1), '')",
     "DROP INDEX calls_number_at",
     "CREATE TABLE caller_months (number TEXT NOT NULL, month TEXT NOT NULL, site TEXT NOT NULL,"
     " calls INTEGER NOT NULL, PRIMARY KEY (number, month, site)) WITHOUT ROWID",
     "INSERT INTO caller_months SELECT number, substr(at, 1, 7), site, count(*) FROM calls GROUP BY 1, 2, 3",
     nullptr},
};
constexpr int migrationCount = int(sizeof migrations / sizeof migrations[0]);

// The two-character pieces of a call that the pair index keeps.
QStringList gramsOf(const QString &number, const QString &name)
{
    QStringList grams;
    const QString lowerName = name.toLower();
    for (qsizetype i = 0; i + 1 < lowerName.size(); ++i)
        grams.append(lowerName.mid(i, 2));
    const QString lowerNumber = number.toLower();
    for (qsizetype i = 0; i + 1 < lowerNumber.size(); ++i) {
        const QString gram = lowerNumber.mid(i, 2);
        if (!isAscii(gram))
            grams.append(gram);
    }
    grams.removeDuplicates();
    return grams;
}

} // namespace

bool isAscii(QStringView text)
{
    for (QChar c : text) {
        if (c.unicode() > 0x7f)
            return false;
    }
    return true;
}

QString likePattern(const QString &q)
{
    QString escaped = q;
    escaped.replace(u'\\', QStringLiteral("\\\\"));
    escaped.replace(u'%', QStringLiteral("\\%"));
    escaped.replace(u'_', QStringLiteral("\\_"));
    return u'%' + escaped + u'%';
}

void fillCallPage(const QList<QVariantList> &rows, int limit, CallPage *page)
{
    qint64 lastId = 0;
    int count = 0;
    page->next = 0;
    for (const QVariantList &row : rows) {
        if (count == limit) {
            page->next = lastId;
            break;
        }
        const QJsonObject event = QJsonDocument::fromJson(row.at(0).toString().toUtf8()).object();
        page->calls.append(callFromRow(event, row.at(1), row.at(2), row.at(3)));
        lastId = event.value(QStringLiteral("id")).toInteger();
        ++count;
    }
}

QString indexedText(const QString &text)
{
    QString out = text.normalized(QString::NormalizationForm_C);
    out.replace(QChar(0), QChar(0xfffd));
    return out;
}

bool EventStore::readValue(const QString &, QString *, QString *error)
{
    *error = QStringLiteral("this store keeps no values");
    return false;
}

bool EventStore::writeValue(const QString &, const QString &, QString *error)
{
    *error = QStringLiteral("this store keeps no values");
    return false;
}

QJsonObject callFromEvent(const QJsonObject &event)
{
    QJsonObject call;
    for (const char *key : {"id", "site", "portName", "at", "callState", "cidInfo"})
        call.insert(QLatin1String(key), event.value(QLatin1String(key)));
    // Calls stored before the book have none.
    const QJsonValue customer = event.value(QLatin1String("customer"));
    call.insert(QLatin1String("customer"), customer.isObject() ? customer : QJsonValue());
    return call;
}

QJsonObject callFromRow(const QJsonObject &event, const QVariant &outcome, const QVariant &doneAt,
                        const QVariant &doneBy)
{
    QJsonObject call = callFromEvent(event);
    call.insert(QStringLiteral("outcome"), outcome.isNull() ? QJsonValue() : QJsonValue(outcome.toString()));
    if (!doneAt.isNull())
        call.insert(QStringLiteral("done"), QJsonObject{{"at", doneAt.toString()}, {"by", doneBy.toString()}});
    return call;
}

SqliteStore::SqliteStore(QString path)
    : SqlStore("store", {"doneAt", "doneBy", [](QString text) { return text; }})
    , m_path(std::move(path))
{
}

SqliteStore::~SqliteStore()
{
    close();
    if (m_lockFd >= 0)
        ::close(m_lockFd);
}

QString SqliteStore::lockPath(const QString &dbPath)
{
    return dbPath + QStringLiteral(".lock");
}

// Two writers on one file would hand out the same event ids; the second
// process is refused instead. The lock lives in a file of its own, so that
// readers of the database itself are never in its way.
bool SqliteStore::claim(QString *error)
{
    if (m_lockFd >= 0)
        return true;
    const QByteArray path = QFile::encodeName(lockPath(m_path));
    const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot open the lock file %1: %2")
                     .arg(lockPath(m_path), QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int cause = errno;
        ::close(fd);
        *error = cause == EWOULDBLOCK
            ? QStringLiteral("%1 is in use by another tavrod (it holds %2); one SQLite store has one owner: "
                             "stop the other one, or give this one its own --db (several sites share a "
                             "PostgreSQL database, not a file)")
                  .arg(m_path, lockPath(m_path))
            : QStringLiteral("cannot lock %1: %2").arg(lockPath(m_path), QString::fromLocal8Bit(std::strerror(cause)));
        return false;
    }
    m_lockFd = fd;
    return true;
}

// A file with damaged pages would be written on top of the damage and lose
// what it holds; refuse it at start, with the way out.
bool SqliteStore::checkIntact(QString *error)
{
    QSqlQuery check(m_db);
    check.setForwardOnly(true);
    QStringList problems;
    if (!check.exec(QStringLiteral("PRAGMA quick_check"))) {
        problems.append(check.lastError().text());
    } else {
        while (check.next() && problems.size() < 3) {
            if (check.value(0).toString() != u"ok")
                problems.append(check.value(0).toString());
        }
    }
    if (problems.isEmpty())
        return true;
    // The header survives most damage, and with it the schema version that
    // the copy needs to be taken for what it is. (Debian's sqlite3 has no
    // .recover; .dump copies what can be read and ends with a ROLLBACK.)
    int version = 0;
    if (check.exec(QStringLiteral("PRAGMA user_version")) && check.next())
        version = check.value(0).toInt();
    const QString copy = m_path + QStringLiteral(".recovered");
    *error = QStringLiteral("%1 is damaged (%2). Nothing was written to it. Stop here, keep the file, and copy "
                            "what can still be read into a new one with the sqlite3 program:  "
                            "sqlite3 %1 .dump | sed '$s/^ROLLBACK;.*/COMMIT;/' | sqlite3 %3 && "
                            "sqlite3 %3 \"PRAGMA user_version=%4;%5\"  then move %3 in place of %1")
                 .arg(m_path, problems.join(QStringLiteral("; ")), copy)
                 .arg(version)
                 .arg(version >= 2 ? QStringLiteral(" INSERT INTO calls_fts(calls_fts) VALUES('rebuild');") : QString());
    return false;
}

int SqliteStore::schemaVersion()
{
    return migrationCount;
}

bool SqliteStore::open(QString *error)
{
    close();
    if (!makeFolderFor(m_path, error) || !claim(error))
        return false;
    m_db.add(QStringLiteral("QSQLITE"));
    m_db.setDatabaseName(m_path);
    // WAL: readers (history, replay) never block the writer. NORMAL keeps
    // every commit through a crash of the process; a power cut may lose the
    // last commits, never the file.
    if (m_db.openAs(QStringLiteral("cannot open %1").arg(m_path), error) && checkIntact(error)
        && m_db.execAll({QStringLiteral("PRAGMA journal_mode=WAL"), QStringLiteral("PRAGMA synchronous=NORMAL"),
                         QStringLiteral("PRAGMA busy_timeout=1000")},
                        QString(), error)
        && migrate(error))
        return true;
    close();
    return false;
}

bool SqliteStore::migrate(QString *error)
{
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next()) {
        *error = sqlError(QStringLiteral("reading the schema version"), query.lastError());
        return false;
    }
    const int version = query.value(0).toInt();
    // A statement left open keeps its tables locked, and a step may drop an index.
    query.finish();
    if (version > migrationCount) {
        *error = QStringLiteral("%1 has schema version %2, newer than this program's %3")
                     .arg(m_path)
                     .arg(version)
                     .arg(migrationCount);
        return false;
    }
    for (int step = version; step < migrationCount; ++step) {
        const QString stepName = QStringLiteral("migrating to version %1").arg(step + 1);
        SqlTransaction transaction(m_db);
        if (!transaction.begin(stepName, error)
            || !m_db.execAll(sqlStatements(migrations[step]), stepName, error))
            return false;
        if (step == 1) {
            // The pair index of calls stored before it existed.
            QSqlQuery calls(m_db);
            calls.setForwardOnly(true);
            calls.exec(QStringLiteral("SELECT id, number, name FROM calls"));
            QSqlQuery insert(m_db);
            insert.prepare(QStringLiteral("INSERT OR IGNORE INTO call_grams (gram, id) VALUES (?, ?)"));
            while (calls.next()) {
                for (const QString &gram : gramsOf(calls.value(1).toString(), calls.value(2).toString())) {
                    bindAll(insert, {gram, calls.value(0)});
                    insert.exec();
                }
            }
        }
        if ((step == 2 && !reindexCalls(error))
            || !m_db.execAll({QStringLiteral("PRAGMA user_version=%1").arg(step + 1)}, stepName, error)
            || !transaction.commit(stepName, error))
            return false;
    }
    return true;
}

bool SqliteStore::reindexCalls(QString *error)
{
    QSqlQuery calls(m_db);
    calls.setForwardOnly(true);
    if (!calls.exec(QStringLiteral("SELECT id, number, name FROM calls"))) {
        *error = sqlError(QStringLiteral("reading calls to index"), calls.lastError());
        return false;
    }
    struct Row
    {
        QVariant id;
        QString number, name;
    };
    QList<Row> stale;
    while (calls.next()) {
        const QString number = calls.value(1).toString(), name = calls.value(2).toString();
        if (indexedText(number) != number || indexedText(name) != name)
            stale.append({calls.value(0), number, name});
    }
    QSqlQuery step(m_db);
    for (const Row &row : std::as_const(stale)) {
        const QString number = indexedText(row.number), name = indexedText(row.name);
        const std::pair<const char *, QVariantList> statements[] = {
            {"INSERT INTO calls_fts(calls_fts, rowid, number, name) VALUES ('delete', ?, ?, ?)",
             {row.id, row.number, row.name}},
            {"UPDATE calls SET number = ?, name = ? WHERE id = ?", {number, name, row.id}},
            {"INSERT INTO calls_fts (rowid, number, name) VALUES (?, ?, ?)", {row.id, number, name}},
            {"DELETE FROM call_grams WHERE id = ?", {row.id}}};
        for (const auto &[sql, values] : statements) {
            step.prepare(QString::fromLatin1(sql));
            bindAll(step, values);
            if (!step.exec()) {
                *error = sqlError(QStringLiteral("indexing call %1").arg(row.id.toLongLong()), step.lastError());
                return false;
            }
        }
        step.prepare(QStringLiteral("INSERT OR IGNORE INTO call_grams (gram, id) VALUES (?, ?)"));
        for (const QString &gram : gramsOf(number, name)) {
            bindAll(step, {gram, row.id});
            step.exec();
        }
    }
    return true;
}

void SqliteStore::close()
{
    forgetStatements();
    m_db.release();
}

bool SqliteStore::insertCall(const EventRecord &event, Statements &statements, QString *error)
{
    const QJsonObject info = event.object.value(QStringLiteral("cidInfo")).toObject();
    // The event keeps the text as it came; the index keeps its NFC form.
    const QString number = indexedText(info.value(QStringLiteral("lNumber")).toString());
    const QString name = indexedText(info.value(QStringLiteral("lName")).toString());
    bindAll(statements.call, {event.id, event.site, event.portName, event.at,
                              event.object.value(QStringLiteral("callState")).toInt(), number, name});
    bindAll(statements.fts, {event.id, number, name});
    if (!statements.call.exec() || !statements.fts.exec()) {
        *error = sqlError(QStringLiteral("storing call %1").arg(event.id),
                          statements.call.lastError().isValid() ? statements.call.lastError()
                                                                : statements.fts.lastError());
        return false;
    }
    QSqlQuery hour(m_db);
    hour.prepare(QStringLiteral("INSERT INTO call_hours VALUES (?, substr(?, 1, 13), 1, 0, 0)"
                                " ON CONFLICT (site, hour) DO UPDATE SET calls = calls + 1"));
    bindAll(hour, {event.site, event.at});
    QSqlQuery caller(m_db);
    caller.prepare(QStringLiteral("INSERT INTO callers VALUES (?, ?, 1, ?) ON CONFLICT (site, number)"
                                  " DO UPDATE SET calls = calls + 1, name = excluded.name"));
    bindAll(caller, {event.site, number, name});
    QSqlQuery month(m_db);
    month.prepare(QStringLiteral("INSERT INTO caller_months VALUES (?, substr(?, 1, 7), ?, 1)"
                                 " ON CONFLICT (number, month, site) DO UPDATE SET calls = calls + 1"));
    bindAll(month, {number, event.at, event.site});
    for (QSqlQuery *count : {&hour, &caller, &month}) {
        if (!count->exec()) {
            *error = sqlError(QStringLiteral("counting call %1").arg(event.id), count->lastError());
            return false;
        }
    }
    for (const QString &gram : gramsOf(number, name)) {
        bindAll(statements.gram, {gram, event.id});
        if (!statements.gram.exec()) {
            *error = sqlError(QStringLiteral("indexing call %1").arg(event.id), statements.gram.lastError());
            return false;
        }
    }
    return true;
}

bool SqliteStore::noteOutcome(const EventRecord &event, QString *error)
{
    const qint64 callId = event.object.value(QStringLiteral("callId")).toInteger();
    QSqlQuery update(m_db);
    if (event.kind == u"CallOutcome") {
        // The first decision holds; a replay after a restart cannot flip it.
        update.prepare(QStringLiteral("UPDATE calls SET outcome = ? WHERE id = ? AND outcome = 'pending'"));
        bindAll(update, {event.object.value(QStringLiteral("outcome")).toString(), callId});
    } else if (event.kind == u"MissedDone") {
        update.prepare(QStringLiteral("UPDATE calls SET doneAt = ?, doneBy = ? WHERE id = ? AND doneAt IS NULL"));
        bindAll(update, {event.object.value(QStringLiteral("at")).toString(),
                         event.object.value(QStringLiteral("by")).toString(), callId});
    } else {
        return true;
    }
    if (!update.exec()) {
        *error = sqlError(QStringLiteral("noting %1 of call %2").arg(event.kind).arg(callId), update.lastError());
        return false;
    }
    if (event.kind == u"CallOutcome" && update.numRowsAffected() > 0) {
        const bool answered = event.object.value(QStringLiteral("outcome")).toString() == u"answered";
        QSqlQuery hour(m_db);
        hour.prepare(QStringLiteral("INSERT INTO call_hours SELECT site, substr(at, 1, 13), 0, ?, ? FROM calls"
                                    " WHERE id = ? ON CONFLICT (site, hour) DO UPDATE SET"
                                    " answered = answered + excluded.answered, missed = missed + excluded.missed"));
        bindAll(hour, {answered ? 1 : 0, answered ? 0 : 1, callId});
        if (!hour.exec()) {
            *error = sqlError(QStringLiteral("counting the outcome of call %1").arg(callId), hour.lastError());
            return false;
        }
    }
    return true;
}

namespace {

// A candidate's (m.number) calls in the range: whole months from
// caller_months, and at each end of the range the fewer calls of its month:
// those inside the range added, or the month counted whole and those outside taken away.
QString callsInRange(const StatsQuery &query, QStringList *values)
{
    const auto siteOf = [&](const char *alias) {
        return query.site.isEmpty() ? QString() : QStringLiteral(" AND %1.site = ?").arg(QLatin1String(alias));
    };
    const auto callsBetween = [&](const QString &from, const QString &to) {
        QString sql = QStringLiteral("(SELECT count(*) FROM calls c WHERE c.number = m.number");
        if (!from.isEmpty()) {
            sql += QStringLiteral(" AND c.at >= ?");
            values->append(from);
        }
        if (!to.isEmpty()) {
            sql += QStringLiteral(" AND c.at < ?");
            values->append(to);
        }
        if (!query.site.isEmpty())
            values->append(query.site);
        return sql + siteOf("c") + u')';
    };
    const auto nextMonth = [](const QString &month) {
        return QDate::fromString(month + QStringLiteral("-01"), Qt::ISODate).addMonths(1).toString(u"yyyy-MM");
    };
    // ISO 8601 texts compare as times: "2026-01-31T23:00" < "2026-02".
    const QString first = query.since.left(7);
    const QString last = query.until.left(7);
    if (!first.isEmpty() && first == last)
        return callsBetween(query.since, query.until);
    const auto dayOf = [](const QString &time) { return QStringView(time).mid(8, 2).toInt(); };
    const bool wholeFirst = query.since.isEmpty() || query.since.mid(7).startsWith(u"-01T00:00:00.000");
    const bool firstCounted = !wholeFirst && dayOf(query.since) > 15;
    const bool lastCounted = !last.isEmpty() && dayOf(query.until) <= 15;
    QString sql;
    if (firstCounted)
        sql = callsBetween(query.since, nextMonth(first)) + QStringLiteral(" + ");
    else if (!wholeFirst)
        sql = callsBetween(first, query.since).prepend(u'-') + QStringLiteral(" + ");
    sql += QStringLiteral("(SELECT coalesce(sum(cm.calls), 0) FROM caller_months cm WHERE cm.number = m.number");
    if (!first.isEmpty()) {
        sql += firstCounted ? QStringLiteral(" AND cm.month > ?") : QStringLiteral(" AND cm.month >= ?");
        values->append(first);
    }
    if (!last.isEmpty()) {
        sql += lastCounted ? QStringLiteral(" AND cm.month < ?") : QStringLiteral(" AND cm.month <= ?");
        values->append(last);
    }
    if (!query.site.isEmpty())
        values->append(query.site);
    sql += siteOf("cm") + u')';
    if (lastCounted)
        sql += QStringLiteral(" + ") + callsBetween(last, query.until);
    else if (!last.isEmpty())
        sql += QStringLiteral(" - ") + callsBetween(query.until, nextMonth(last));
    return sql;
}

} // namespace

QString topCallersSql(const StatsQuery &query, qint64 inRange, QStringList *values)
{
    // A short range is grouped exactly; a long one would read every call in it.
    constexpr int candidates = 200;
    const QString limit = QString::number(qBound(1, query.topCallers, 100));
    QString ranked;
    if (inRange <= query.exactUpTo) {
        QStringList where;
        for (auto [value, condition] : {std::pair{&query.since, "c.at >= ?"}, std::pair{&query.until, "c.at < ?"},
                                        std::pair{&query.site, "c.site = ?"}}) {
            if (!value->isEmpty()) {
                where << QLatin1String(condition);
                values->append(*value);
            }
        }
        ranked = QStringLiteral("SELECT c.number, max(c.name) AS name, count(*) AS n FROM calls c%1 GROUP BY c.number"
                                " ORDER BY n DESC, c.number LIMIT %2")
                     .arg(where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where.join(u" AND "), limit);
    } else {
        // A number that calls several sites is one candidate.
        ranked = QStringLiteral("SELECT m.number, m.name, %1 AS n FROM (SELECT number, max(name) AS name FROM"
                                " (SELECT number, name FROM callers%2 ORDER BY calls DESC LIMIT %3) t GROUP BY number) m"
                                " ORDER BY n DESC, m.number LIMIT %4")
                     .arg(callsInRange(query, values),
                          query.site.isEmpty() ? QString() : QStringLiteral(" WHERE site = ?"),
                          QString::number(candidates), limit);
        if (!query.site.isEmpty())
            values->append(query.site);
    }
    return QStringLiteral("SELECT k.number, coalesce((SELECT nullif(u.name, '') FROM customers u WHERE u.number = k.number),"
                          " k.name), k.n FROM (%1) k ORDER BY k.n DESC, k.number")
        .arg(ranked);
}

bool SqliteStore::callStats(const StatsQuery &request, QJsonObject *stats, QString *error)
{
    const QString local = QStringLiteral("h.hour || ':00:00', '%1 seconds'").arg(request.offsetSeconds, 0, 10);
    const QString key = request.by == u"day"       ? QStringLiteral("date(%1)").arg(local)
        : request.by == u"weekday" ? QStringLiteral("CAST(strftime('%w', %1) AS INTEGER)").arg(local)
                                   : localHourOfDay(request.offsetSeconds);
    return countStats(key, QStringLiteral("k"), request, stats, error);
}

bool SqliteStore::outcomeBacklog(const QString &site, int limit, QList<QJsonObject> *events, QString *error)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral(
        "SELECT e.body, c.outcome FROM events e LEFT JOIN calls c ON c.id = e.id WHERE e.site = ?"
        " AND e.kind IN ('ReceiveCall', 'HookEvent') AND e.id >= (SELECT MIN(p.id) FROM calls p"
        " WHERE p.outcome = 'pending' AND p.site = ?) ORDER BY e.id LIMIT ?"));
    bindAll(query, {site, site, limit});
    if (!query.exec()) {
        *error = sqlError(QStringLiteral("reading pending calls"), query.lastError());
        return false;
    }
    while (query.next()) {
        QJsonObject event = QJsonDocument::fromJson(query.value(0).toString().toUtf8()).object();
        if (!query.value(1).isNull())
            event.insert(QStringLiteral("outcome"), query.value(1).toString());
        events->append(event);
    }
    return true;
}

bool SqliteStore::append(const QList<EventRecord> &events, QString *error)
{
    if (!m_db.isOpen()) {
        *error = QStringLiteral("the store is not open");
        return false;
    }
    SqlTransaction transaction(m_db);
    if (!transaction.begin(QStringLiteral("starting a transaction"), error))
        return false;
    QSqlQuery insert(m_db);
    insert.prepare(QStringLiteral("INSERT INTO events (id, site, portName, at, kind, body) VALUES (?, ?, ?, ?, ?, ?)"));
    Statements statements {QSqlQuery(m_db), QSqlQuery(m_db), QSqlQuery(m_db)};
    statements.call.prepare(QStringLiteral("INSERT INTO calls (id, site, portName, at, callState, number, name,"
                                           " outcome) VALUES (?, ?, ?, ?, ?, ?, ?, 'pending')"));
    statements.fts.prepare(QStringLiteral("INSERT INTO calls_fts (rowid, number, name) VALUES (?, ?, ?)"));
    statements.gram.prepare(QStringLiteral("INSERT OR IGNORE INTO call_grams (gram, id) VALUES (?, ?)"));
    for (const EventRecord &event : events) {
        bindAll(insert, {event.id, event.site, event.portName, event.at, event.kind,
                         QString::fromUtf8(event.json)});
        if (!insert.exec()) {
            *error = sqlError(QStringLiteral("storing event %1").arg(event.id), insert.lastError());
            return false;
        }
        if ((event.kind == u"ReceiveCall" && !insertCall(event, statements, error)) || !noteOutcome(event, error))
            return false;
    }
    return transaction.commit(QStringLiteral("committing"), error);
}

namespace {

// Where a search for the text q walks: the full-text index from three
// characters, the index of character pairs for two non-ASCII ones, the
// calls themselves otherwise.
void textSearch(const QString &q, QString *from, QString *idColumn, QStringList *where, QVariantList *values)
{
    if (q.size() >= 3) {
        *from = QStringLiteral("calls_fts f JOIN calls c ON c.id = f.rowid");
        *idColumn = QStringLiteral("f.rowid");
        QString phrase = q;
        phrase.replace(u'"', QStringLiteral("\"\""));
        *where << QStringLiteral("calls_fts MATCH ?");
        *values << QString(u'"' + phrase + u'"');
    } else if (q.size() == 2 && !isAscii(q)) {
        *from = QStringLiteral("call_grams g JOIN calls c ON c.id = g.id");
        *idColumn = QStringLiteral("g.id");
        *where << QStringLiteral("g.gram = ?");
        *values << q.toLower();
    } else {
        *from = QStringLiteral("calls c");
        if (!q.isEmpty()) {
            *where << QStringLiteral("(c.number LIKE ? ESCAPE '\\' OR c.name LIKE ? ESCAPE '\\')");
            *values << likePattern(q) << likePattern(q);
        }
    }
}

} // namespace

bool SqliteStore::findCalls(const CallQuery &request, CallPage *page, QString *error)
{
    // Each search walks one index newest first and stops after a page, so
    // its cost follows the page, not the table.
    QString from;
    QString idColumn = QStringLiteral("c.id");
    QStringList where;
    QVariantList values;
    textSearch(indexedText(request.q), &from, &idColumn, &where, &values);
    if (request.before > 0) {
        where << idColumn + QStringLiteral(" < ?");
        values << request.before;
    }
    callFilters(request, &where, &values);
    const int limit = qBound(1, request.limit, 1000);
    const QString sql = QStringLiteral("SELECT e.body, c.outcome, c.doneAt, c.doneBy FROM %1 JOIN events e ON e.id = c.id%2 ORDER BY %3 DESC LIMIT %4")
                            .arg(from,
                                 where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where.join(u" AND "),
                                 idColumn)
                            .arg(limit + 1);
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (!query.prepare(sql)) {
        *error = sqlError(QStringLiteral("searching calls"), query.lastError());
        return false;
    }
    bindAll(query, values);
    if (!query.exec()) {
        *error = sqlError(QStringLiteral("searching calls"), query.lastError());
        return false;
    }
    QList<QVariantList> rows;
    while (query.next())
        rows.append({query.value(0), query.value(1), query.value(2), query.value(3)});
    fillCallPage(rows, limit, page);
    return true;
}

} // namespace tavrod
