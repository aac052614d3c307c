#include "pg_store.h"

#include "login_book.h"

#include <QJsonArray>
#include <QHash>
#include <QJsonDocument>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>

#include <algorithm>

namespace tavrod {

namespace {

// One lock for everything that numbers events or changes the schema: ids are
// taken and committed in the same order, so a reader that has seen id N has
// seen every committed id below it.
constexpr qint64 numberingLock = 0x74617672'6f000001; // "tavro" + 1
// The first key of the per-site locks (the second is the name's hash).
constexpr int siteLockSpace = 0x74617672; // "tavr"

// The same versions as the SQLite store: 1 is the events and the calls, 2 the
// substring search. Column names are the SQLite ones in lower case; local_id
// and the unique (site, local_id) are what make forwarding idempotent.
const char *const migrations[][10] = {
    {"CREATE TABLE events (id BIGSERIAL PRIMARY KEY, site TEXT NOT NULL, local_id BIGINT NOT NULL,"
     " portname TEXT NOT NULL, at TEXT NOT NULL, kind TEXT NOT NULL, body TEXT NOT NULL,"
     " UNIQUE (site, local_id))",
     "CREATE TABLE calls (id BIGINT PRIMARY KEY REFERENCES events(id), site TEXT NOT NULL,"
     " portname TEXT NOT NULL, at TEXT NOT NULL, callstate INTEGER NOT NULL,"
     " number TEXT NOT NULL, name TEXT NOT NULL)",
     "CREATE INDEX calls_at ON calls(at)",
     // Every insert, by any writer, is announced after its commit, in
     // commit order. NOTIFY payloads end at 8000 bytes.
     "CREATE FUNCTION tavro_announce_event() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
     " PERFORM pg_notify('tavro_events', CASE WHEN octet_length(NEW.body) < 7900 THEN NEW.body"
     " ELSE json_build_object('id', NEW.id, 'truncated', true)::text END);"
     " RETURN NULL; END $$",
     "CREATE TRIGGER events_announce AFTER INSERT ON events FOR EACH ROW"
     " EXECUTE FUNCTION tavro_announce_event()",
     nullptr},
    // Trigrams (pg_trgm) serve three characters and more. Two characters
    // give pg_trgm no whole trigram, so pairs with a non-ASCII character (a
    // Korean given name is two syllables) have their own table, walked
    // newest first; two ASCII characters are dense enough for a scan.
    {"CREATE EXTENSION IF NOT EXISTS pg_trgm",
     // Without fastupdate: a pending list (up to 4 MB, until a vacuum)
     // is read by every search and misleads the planner; calls are few
     // enough to index at once.
     "CREATE INDEX calls_number_trgm ON calls USING gin (number gin_trgm_ops) WITH (fastupdate = off)",
     "CREATE INDEX calls_name_trgm ON calls USING gin (name gin_trgm_ops) WITH (fastupdate = off)",
     "CREATE TABLE call_grams (gram TEXT NOT NULL, id BIGINT NOT NULL, PRIMARY KEY (gram, id))",
     "INSERT INTO call_grams (gram, id) SELECT DISTINCT lower(substr(v.t, i, 2)), c.id FROM calls c,"
     " LATERAL (VALUES (c.number), (c.name)) v(t), generate_series(1, length(v.t) - 1) i"
     " WHERE lower(substr(v.t, i, 2)) ~ '[^[:ascii:]]' ON CONFLICT DO NOTHING",
     nullptr},
    // 3: device tokens and remembered sessions; calls stored before it get
    // the indexed form of their texts (NFC; NUL was never stored).
    {tokensTableSql, sessionsTableSql,
     "DO $$ BEGIN IF current_setting('server_encoding') = 'UTF8' THEN"
     " WITH changed AS (UPDATE calls SET number = normalize(number, NFC), name = normalize(name, NFC)"
     " WHERE number IS NOT NFC NORMALIZED OR name IS NOT NFC NORMALIZED RETURNING id, number, name)"
     " INSERT INTO call_grams (gram, id) SELECT DISTINCT lower(substr(v.t, i, 2)), c.id FROM changed c,"
     " LATERAL (VALUES (c.number), (c.name)) v(t), generate_series(1, length(v.t) - 1) i"
     " WHERE lower(substr(v.t, i, 2)) ~ '[^[:ascii:]]' ON CONFLICT DO NOTHING; END IF; END $$",
     nullptr},
    // 4: small named values beside the events (each site's MQTT publisher
    // keeps its acknowledged id under a key of its own).
    {"CREATE TABLE kv (key TEXT PRIMARY KEY, value TEXT NOT NULL)", nullptr},
    // 5: the customer book, shared by every site. rev comes from a sequence
    // at every change (newest change first); one trigram index covers the
    // whole text, the pair table the two-character pieces.
    {"CREATE SEQUENCE customers_rev_seq",
     "CREATE TABLE customers (rev BIGINT PRIMARY KEY, number TEXT NOT NULL UNIQUE, name TEXT NOT NULL,"
     " address TEXT NOT NULL, memo TEXT NOT NULL, created TEXT NOT NULL, changed TEXT NOT NULL)",
     "CREATE INDEX customers_text_trgm ON customers USING gin ((number || E'\\n' || name || E'\\n' || address"
     " || E'\\n' || memo) gin_trgm_ops)",
     "CREATE TABLE customer_grams (gram TEXT NOT NULL, rev BIGINT NOT NULL, PRIMARY KEY (gram, rev))",
     "CREATE INDEX customer_grams_rev ON customer_grams(rev)",
     "CREATE INDEX calls_number ON calls(number, at)",
     nullptr},
    // 6: answered or missed, and who dealt with a missed call; calls stored
    // before it keep no outcome (NULL).
    {"ALTER TABLE calls ADD COLUMN outcome TEXT, ADD COLUMN done_at TEXT, ADD COLUMN done_by TEXT",
     "CREATE INDEX calls_outcome ON calls(outcome, id)",
     "CREATE INDEX calls_open_missed ON calls(id) WHERE outcome = 'missed' AND done_at IS NULL",
     // Counts per site and hour (UTC "YYYY-MM-DDTHH") for statistics.
     "CREATE TABLE call_hours (site TEXT NOT NULL, hour TEXT NOT NULL, calls BIGINT NOT NULL,"
     " answered BIGINT NOT NULL, missed BIGINT NOT NULL, PRIMARY KEY (site, hour))",
     "INSERT INTO call_hours SELECT site, substr(at, 1, 13), count(*), 0, 0 FROM calls GROUP BY 1, 2",
     "CREATE INDEX calls_at_number ON calls(at, number)",
     nullptr},
    // 7: calls per number of all time with the name of the latest (the
    // candidates for the top callers of a long range) and per month (UTC
    // "YYYY-MM"), so only the months at the ends of a range are counted
    // call by call.
    {"CREATE TABLE callers (site TEXT NOT NULL, number TEXT NOT NULL, calls BIGINT NOT NULL, name TEXT NOT NULL,"
     " PRIMARY KEY (site, number))",
     "INSERT INTO callers SELECT DISTINCT ON (site, number) site, number, count(*) OVER (PARTITION BY site, number),"
     " name FROM calls ORDER BY site, number, id DESC",
     "CREATE INDEX callers_calls ON callers(calls)",
     "CREATE TABLE caller_months (number TEXT NOT NULL, month TEXT NOT NULL, site TEXT NOT NULL,"
     " calls BIGINT NOT NULL, PRIMARY KEY (number, month, site))",
     "INSERT INTO caller_months SELECT number, substr(at, 1, 7), site, count(*) FROM calls GROUP BY 1, 2, 3",
     nullptr},
};
constexpr int migrationCount = int(sizeof migrations / sizeof migrations[0]);

// One round trip for a whole batch: the rows travel as one JSON array.
const char insertBatch[] =
    "WITH rows AS (SELECT * FROM json_to_recordset(?::json) AS r(id BIGINT, site TEXT, local_id BIGINT,"
    " portname TEXT, at TEXT, kind TEXT, body TEXT, callstate INTEGER, number TEXT, name TEXT)),"
    " stored AS (INSERT INTO events (id, site, local_id, portname, at, kind, body)"
    " SELECT id, site, local_id, portname, at, kind, body FROM rows ORDER BY id"
    " ON CONFLICT (site, local_id) DO NOTHING RETURNING id),"
    " called AS (INSERT INTO calls (id, site, portname, at, callstate, number, name, outcome)"
    " SELECT r.id, r.site, r.portname, r.at, r.callstate, r.number, r.name, 'pending' FROM rows r JOIN stored s"
    " ON s.id = r.id WHERE r.kind = 'ReceiveCall' RETURNING id, number, name, site, at),"
    " hours AS (INSERT INTO call_hours SELECT site, substr(at, 1, 13), count(*), 0, 0 FROM called GROUP BY 1, 2"
    " ON CONFLICT (site, hour) DO UPDATE SET calls = call_hours.calls + excluded.calls)"
    " , counted AS (INSERT INTO callers SELECT site, number, count(*), (array_agg(name ORDER BY id DESC))[1]"
    " FROM called GROUP BY 1, 2 ON CONFLICT (site, number) DO UPDATE SET calls = callers.calls + excluded.calls,"
    " name = excluded.name)"
    " , months AS (INSERT INTO caller_months SELECT number, substr(at, 1, 7), site, count(*) FROM called"
    " GROUP BY 1, 2, 3 ON CONFLICT (number, month, site) DO UPDATE SET calls = caller_months.calls + excluded.calls)"
    " INSERT INTO call_grams (gram, id) SELECT DISTINCT lower(substr(v.t, i, 2)), c.id FROM called c,"
    " LATERAL (VALUES (c.number), (c.name)) v(t), generate_series(1, length(v.t) - 1) i"
    " WHERE lower(substr(v.t, i, 2)) ~ '[^[:ascii:]]' ON CONFLICT DO NOTHING";

// After the batch (its calls are visible then): outcomes and missed calls
// dealt with. The first decision holds.
const char updateOutcomes[] =
    "WITH changed AS (UPDATE calls c SET outcome = r.outcome FROM json_to_recordset(?::json) AS r(id BIGINT,"
    " outcome TEXT) WHERE c.id = r.id AND c.outcome = 'pending' RETURNING c.site, c.at, c.outcome)"
    " INSERT INTO call_hours SELECT site, substr(at, 1, 13), 0, count(*) FILTER (WHERE outcome = 'answered'),"
    " count(*) FILTER (WHERE outcome = 'missed') FROM changed GROUP BY 1, 2 ON CONFLICT (site, hour) DO UPDATE"
    " SET answered = call_hours.answered + excluded.answered, missed = call_hours.missed + excluded.missed";
const char updateDone[] =
    "UPDATE calls c SET done_at = r.done_at, done_by = r.done_by FROM json_to_recordset(?::json)"
    " AS r(id BIGINT, done_at TEXT, done_by TEXT) WHERE c.id = r.id AND c.done_at IS NULL";

} // namespace

QString pgText(QString text)
{
    return text.replace(QChar(0), QChar(0xfffd));
}

const QString PgStore::channel = QStringLiteral("tavro_events");

bool isPostgresUrl(const QString &text)
{
    return text.startsWith(u"postgresql://") || text.startsWith(u"postgres://");
}

QString PgTarget::display() const
{
    QString text = QStringLiteral("postgresql://");
    if (!user.isEmpty())
        text += user + u'@';
    if (!host.startsWith(u'/'))
        text += host.contains(u':') ? u'[' + host + u']' : host;
    if (port > 0)
        text += u':' + QString::number(port);
    text += u'/' + database;
    if (host.startsWith(u'/'))
        text += QStringLiteral("?host=") + host;
    return text;
}

namespace {

QString percentDecoded(const QString &part)
{
    return QUrl::fromPercentEncoding(part.toUtf8());
}

bool setPort(const QString &value, PgTarget *target, QString *error)
{
    bool ok = false;
    const int port = value.toInt(&ok);
    if (!ok || port < 1 || port > 65535) {
        *error = QStringLiteral("the port must be 1..65535, not \"%1\"").arg(value);
        return false;
    }
    target->port = port;
    return true;
}

// [USER[:PASSWORD]@][HOST][:PORT], HOST an IPv6 address in brackets.
bool parseAuthority(QString authority, PgTarget *target, QString *error)
{
    if (const qsizetype at = authority.lastIndexOf(u'@'); at >= 0) {
        const QString userInfo = authority.left(at);
        authority = authority.mid(at + 1);
        const qsizetype colon = userInfo.indexOf(u':');
        target->user = percentDecoded(colon < 0 ? userInfo : userInfo.left(colon));
        if (colon >= 0)
            target->password = percentDecoded(userInfo.mid(colon + 1));
    }
    QString portText;
    if (authority.startsWith(u'[')) {
        const qsizetype close = authority.indexOf(u']');
        if (close < 0) {
            *error = QStringLiteral("unclosed [ in the host");
            return false;
        }
        target->host = authority.mid(1, close - 1);
        if (authority.mid(close + 1).startsWith(u':'))
            portText = authority.mid(close + 2);
    } else {
        const qsizetype colon = authority.lastIndexOf(u':');
        target->host = percentDecoded(colon < 0 ? authority : authority.left(colon));
        if (colon >= 0)
            portText = authority.mid(colon + 1);
    }
    return portText.isEmpty() || setPort(portText, target, error);
}

// The query's parameters override the URI's parts; others go to libpq as
// they are, if it can take them.
bool applyQuery(const QString &query, PgTarget *target, QString *error)
{
    for (const auto &[key, value] : QUrlQuery(query).queryItems(QUrl::FullyDecoded)) {
        if (key == u"host")
            target->host = value;
        else if (key == u"port") {
            if (!setPort(value, target, error))
                return false;
        } else if (key == u"user")
            target->user = value;
        else if (key == u"password")
            target->password = value;
        else if (key == u"dbname")
            target->database = value;
        else if (value.contains(u' ') || value.contains(u';') || key.contains(u'=')) {
            *error = QStringLiteral("the parameter %1 has a value tavrod cannot pass on").arg(key);
            return false;
        } else
            target->options.append(key + u'=' + value);
    }
    return true;
}

} // namespace

bool parsePostgresUrl(const QString &text, PgTarget *target, QString *error)
{
    if (!isPostgresUrl(text)) {
        *error = QStringLiteral("not a postgresql:// URI");
        return false;
    }
    // Taken apart by hand: QUrl refuses an empty host ("user@/db?host=/run"),
    // which libpq allows.
    QString rest = text.mid(text.indexOf(u"://") + 3);
    QString query;
    if (const qsizetype mark = rest.indexOf(u'?'); mark >= 0) {
        query = rest.mid(mark + 1);
        rest.truncate(mark);
    }
    QString authority = rest;
    if (const qsizetype slash = rest.indexOf(u'/'); slash >= 0) {
        authority = rest.left(slash);
        target->database = QUrl::fromPercentEncoding(rest.mid(slash + 1).toUtf8());
    }
    if (!parseAuthority(authority, target, error) || !applyQuery(query, target, error))
        return false;
    if (target->database.isEmpty()) {
        *error = QStringLiteral("the URI names no database");
        return false;
    }
    return true;
}

PgStore::PgStore(PgTarget target, QObject *parent)
    : QObject(parent)
    , SqlStore("pg", {"done_at", "done_by", pgText})
    , m_target(std::move(target))
{
}

PgStore::~PgStore()
{
    close();
}

int PgStore::schemaVersion()
{
    return migrationCount;
}

bool PgStore::open(QString *error)
{
    close();
    // A server that stops answering must not hold the event loop for long:
    // connects and unacknowledged TCP sends give up after a few seconds.
    if (!openConnection(m_db, m_target,
                        {"connect_timeout=3", "application_name=tavrod", "tcp_user_timeout=5000", "keepalives_idle=5",
                         "keepalives_interval=2", "keepalives_count=2"},
                        error)
        // Server notices (an extension that exists already...) are no news.
        || !exec(QStringLiteral("SET client_min_messages TO warning"), QStringLiteral("configuring"), error)
        || !migrate(error) || !listen(error)) {
        close();
        return false;
    }
    return true;
}

bool PgStore::listen(QString *error)
{
    QSqlDriver *driver = m_db.driver();
    connect(driver, qOverload<const QString &, QSqlDriver::NotificationSource, const QVariant &>(
                        &QSqlDriver::notification),
            this, [this](const QString &name, QSqlDriver::NotificationSource, const QVariant &payload) {
                if (name == channel)
                    emit notified(payload.toString().toUtf8());
            });
    if (driver->subscribeToNotification(channel))
        return true;
    *error = sqlError(QStringLiteral("LISTEN %1").arg(channel), driver->lastError());
    return false;
}

bool openConnection(SqlConnection &db, const PgTarget &target, const QStringList &options, QString *error)
{
    db.add(QStringLiteral("QPSQL"));
    if (!db.isValid()) {
        *error = QStringLiteral("the Qt SQL driver QPSQL is missing (Debian: libqt6sql6-psql)");
        return false;
    }
    db.setHostName(target.host);
    if (target.port > 0)
        db.setPort(target.port);
    db.setUserName(target.user);
    db.setPassword(target.password);
    db.setDatabaseName(target.database);
    db.setConnectOptions((options + target.options).join(u';'));
    return db.openAs(QStringLiteral("cannot connect to %1").arg(target.display()), error);
}

bool PgStore::isOpen() const
{
    return m_db.isOpen();
}

void PgStore::close()
{
    forgetStatements();
    if (m_db.isValid())
        m_db.driver()->disconnect(this);
    m_db.release();
}

bool PgStore::exec(const QString &sql, const QString &step, QString *error)
{
    QSqlQuery query(m_db);
    if (query.exec(sql))
        return true;
    *error = sqlError(step, query.lastError());
    return false;
}

bool PgStore::migrate(QString *error)
{
    // Sites that start together migrate one after the other.
    SqlTransaction transaction(m_db);
    if (!transaction.begin(QStringLiteral("starting the migration"), error))
        return false;
    QSqlQuery query(m_db);
    if (!exec(QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(numberingLock), QStringLiteral("locking"), error)
        || !exec(QStringLiteral("CREATE TABLE IF NOT EXISTS tavro_schema (version INTEGER NOT NULL)"),
                 QStringLiteral("creating the version table"), error))
        return false;
    if (!query.exec(QStringLiteral("SELECT COALESCE(MAX(version), 0) FROM tavro_schema")) || !query.next()) {
        *error = sqlError(QStringLiteral("reading the schema version"), query.lastError());
        return false;
    }
    const int version = query.value(0).toInt();
    if (version > migrationCount) {
        *error = QStringLiteral("%1 has schema version %2, newer than this program's %3")
                     .arg(m_target.display())
                     .arg(version)
                     .arg(migrationCount);
        return false;
    }
    for (int step = version; step < migrationCount; ++step) {
        if (!m_db.execAll(sqlStatements(migrations[step]), QStringLiteral("migrating to version %1").arg(step + 1),
                          error))
            return false;
    }
    if (version < migrationCount
        && !m_db.execAll({QStringLiteral("DELETE FROM tavro_schema"),
                          QStringLiteral("INSERT INTO tavro_schema (version) VALUES (%1)").arg(migrationCount)},
                         QStringLiteral("writing the schema version"), error))
        return false;
    return transaction.commit(QStringLiteral("committing the migration"), error);
}

bool PgStore::append(const QList<EventRecord> &events, QString *error)
{
    if (!isOpen()) {
        *error = QStringLiteral("not connected to %1").arg(m_target.display());
        return false;
    }
    if (events.isEmpty())
        return true;
    SqlTransaction transaction(m_db);
    QList<qint64> ids;
    Batch batch;
    return transaction.begin(QStringLiteral("starting a transaction"), error) && takeIds(events.size(), &ids, error)
        && batchOf(events, ids, &batch, error) && storeBatch(batch, events.size(), error)
        && transaction.commit(QStringLiteral("committing"), error);
}

bool PgStore::takeIds(qsizetype count, QList<qint64> *ids, QString *error)
{
    QSqlQuery numbers(m_db);
    numbers.setForwardOnly(true);
    if (!numbers.exec(QStringLiteral("SELECT nextval('events_id_seq') FROM (SELECT pg_advisory_xact_lock(%1)) l,"
                                     " generate_series(1, %2)")
                          .arg(numberingLock)
                          .arg(count))) {
        *error = sqlError(QStringLiteral("numbering events"), numbers.lastError());
        return false;
    }
    while (numbers.next())
        ids->append(numbers.value(0).toLongLong());
    std::sort(ids->begin(), ids->end());
    if (ids->size() == count)
        return true;
    *error = sqlError(QStringLiteral("numbering events"), QSqlError(QStringLiteral("too few ids")));
    return false;
}

bool PgStore::batchOf(const QList<EventRecord> &events, const QList<qint64> &ids, Batch *batch, QString *error)
{
    QHash<qint64, qint64> sharedOf; // local id -> shared id within this batch
    for (qsizetype i = 0; i < events.size(); ++i)
        sharedOf.insert(events.at(i).id, ids.at(i));
    for (qsizetype i = 0; i < events.size(); ++i) {
        const EventRecord &event = events.at(i);
        QJsonObject object = event.object;
        object.insert(QStringLiteral("id"), ids.at(i));
        object.insert(QStringLiteral("localId"), event.id);
        if (event.kind == u"CallOutcome") {
            // The site numbers its calls; readers know them by the shared id.
            const qint64 localCall = object.value(QStringLiteral("callId")).toInteger();
            qint64 sharedCall = sharedOf.value(localCall);
            QString lookupError;
            if (sharedCall == 0 && !sharedIdOf(event.site, localCall, &sharedCall, &lookupError)) {
                *error = sqlError(QStringLiteral("finding call %1").arg(localCall), QSqlError(lookupError));
                return false;
            }
            object.insert(QStringLiteral("callId"), sharedCall);
            object.insert(QStringLiteral("localCallId"), localCall);
            batch->outcomes.append(
                QJsonObject{{"id", sharedCall}, {"outcome", object.value(QStringLiteral("outcome"))}});
        } else if (event.kind == u"MissedDone") {
            batch->done.append(QJsonObject{{"id", object.value(QStringLiteral("callId"))},
                                           {"done_at", object.value(QStringLiteral("at"))},
                                           {"done_by", pgText(object.value(QStringLiteral("by")).toString())}});
        }
        const QJsonObject info = object.value(QStringLiteral("cidInfo")).toObject();
        batch->rows.append(QJsonObject{
            {"id", ids.at(i)},
            {"site", pgText(event.site)},
            {"local_id", event.id},
            {"portname", pgText(event.portName)},
            {"at", event.at},
            {"kind", pgText(event.kind)},
            {"body", QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact))},
            {"callstate", object.value(QStringLiteral("callState")).toInt()},
            {"number", indexedText(info.value(QStringLiteral("lNumber")).toString())},
            {"name", indexedText(info.value(QStringLiteral("lName")).toString())},
        });
    }
    return true;
}

bool PgStore::storeBatch(const Batch &batch, qsizetype count, QString *error)
{
    QSqlQuery insert(m_db);
    insert.prepare(QString::fromLatin1(insertBatch));
    insert.bindValue(0, QString::fromUtf8(QJsonDocument(batch.rows).toJson(QJsonDocument::Compact)));
    if (!insert.exec()) {
        *error = sqlError(QStringLiteral("storing %1 events").arg(count), insert.lastError());
        return false;
    }
    for (const auto &[sql, list] : {std::pair{updateOutcomes, &batch.outcomes}, std::pair{updateDone, &batch.done}}) {
        if (list->isEmpty())
            continue;
        QSqlQuery update(m_db);
        update.prepare(QString::fromLatin1(sql));
        update.bindValue(0, QString::fromUtf8(QJsonDocument(*list).toJson(QJsonDocument::Compact)));
        if (!update.exec()) {
            *error = sqlError(QStringLiteral("noting outcomes"), update.lastError());
            return false;
        }
    }
    return true;
}

bool PgStore::sharedIdOf(const QString &site, qint64 localId, qint64 *id, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT id FROM events WHERE site = ? AND local_id = ?"));
    bindAll(query, {pgText(site), localId});
    if (!query.exec()) {
        *error = query.lastError().text().simplified();
        return false;
    }
    *id = query.next() ? query.value(0).toLongLong() : 0;
    return true;
}

bool PgStore::outcomeBacklog(const QString &site, int limit, QList<QJsonObject> *events, QString *error)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral(
        "SELECT e.body, e.local_id, c.outcome FROM events e LEFT JOIN calls c ON c.id = e.id WHERE e.site = ?"
        " AND e.kind IN ('ReceiveCall', 'HookEvent') AND e.local_id >= (SELECT MIN(pe.local_id) FROM calls p"
        " JOIN events pe ON pe.id = p.id WHERE p.outcome = 'pending' AND p.site = ?) ORDER BY e.local_id LIMIT ?"));
    bindAll(query, {pgText(site), pgText(site), limit});
    if (!query.exec()) {
        *error = sqlError(QStringLiteral("reading pending calls"), query.lastError());
        return false;
    }
    while (query.next()) {
        QJsonObject event = QJsonDocument::fromJson(query.value(0).toString().toUtf8()).object();
        event.insert(QStringLiteral("id"), query.value(1).toLongLong());
        if (!query.value(2).isNull())
            event.insert(QStringLiteral("outcome"), query.value(2).toString());
        events->append(event);
    }
    return true;
}

bool PgStore::callStats(const StatsQuery &request, QJsonObject *stats, QString *error)
{
    // Whole numbers on the stored UTC hour, not a timestamp parsed from each row:
    // the local day is the UTC one plus the days the offset carries the hour over.
    const QString day = QStringLiteral("(substr(h.hour, 1, 10)::date + (CAST(substr(h.hour, 12, 2) AS INTEGER) * 3600"
                                       " + %1 + 172800) / 86400 - 2)")
                            .arg(request.offsetSeconds);
    const bool byDay = request.by == u"day";
    const QString key = byDay ? QStringLiteral("to_char(%1, 'YYYY-MM-DD')").arg(day)
        : request.by == u"weekday" ? QStringLiteral("extract(dow FROM %1)::int").arg(day)
                                   : localHourOfDay(request.offsetSeconds);
    // The plan for any range: planned for the values at hand, the counts of a
    // caller's end months walk every call of those hours instead of the caller's.
    // Nothing is written: the transaction ends with the setting, rolled back.
    SqlTransaction generic(m_db);
    return generic.begin(QStringLiteral("counting calls"), error)
        && exec(QStringLiteral("SET LOCAL plan_cache_mode = force_generic_plan"), QStringLiteral("counting calls"), error)
        && countStats(key, byDay ? day : QStringLiteral("k"), request, stats, error);
}

bool PgStore::lastLocalId(const QString &site, qint64 *id, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT COALESCE(MAX(local_id), 0) FROM events WHERE site = ?"));
    query.bindValue(0, pgText(site));
    if (!query.exec() || !query.next()) {
        *error = sqlError(QStringLiteral("reading the last local id"), query.lastError());
        return false;
    }
    *id = query.value(0).toLongLong();
    return true;
}

bool PgStore::claimSite(const QString &site, bool *claimed, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("SELECT pg_try_advisory_lock(%1, hashtext(?))").arg(siteLockSpace));
    query.bindValue(0, pgText(site));
    if (!query.exec() || !query.next()) {
        *error = sqlError(QStringLiteral("claiming the site name"), query.lastError());
        return false;
    }
    *claimed = query.value(0).toBool();
    return true;
}

bool PgStore::ping(QString *error)
{
    return isOpen() && exec(QStringLiteral("SELECT 1"), QStringLiteral("checking the connection"), error);
}

bool PgStore::findCalls(const CallQuery &request, CallPage *page, QString *error)
{
    const QString q = indexedText(request.q);
    const bool pairs = q.size() == 2 && !isAscii(q);
    const QString idColumn = pairs ? QStringLiteral("g.id") : QStringLiteral("c.id");
    QStringList filters;
    QVariantList filterValues;
    if (request.before > 0) {
        filters << idColumn + QStringLiteral(" < ?");
        filterValues << request.before;
    }
    callFilters(request, &filters, &filterValues);
    const int limit = qBound(1, request.limit, 1000);

    QString from = QStringLiteral("calls c");
    QStringList where = filters;
    QVariantList values = filterValues;
    Plan plan = Plan::Planner;
    if (pairs) {
        from = QStringLiteral("call_grams g JOIN calls c ON c.id = g.id");
        where.prepend(QStringLiteral("g.gram = ?"));
        values.prepend(q.toLower());
    } else if (!q.isEmpty()) {
        // ILIKE, as SQLite's LIKE: ASCII letters in either case.
        where << QStringLiteral("(c.number ILIKE ? OR c.name ILIKE ?)");
        values << likePattern(q) << likePattern(q);
        // Two ASCII characters make no trigram: only the walk serves them.
        plan = q.size() < 3 ? Plan::Walk : Plan::Planner;
        if (plan == Plan::Planner && !choosePlan(q, filters, filterValues, limit, &plan, error))
            return false;
    }
    // The page's ids first, the bodies after.
    const QString sql = QStringLiteral("SELECT e.body, k.outcome, k.done_at, k.done_by FROM (SELECT %3 AS id FROM %1%2"
                                       " ORDER BY %3 DESC LIMIT %4) m JOIN events e ON e.id = m.id"
                                       " JOIN calls k ON k.id = m.id ORDER BY m.id DESC")
                            .arg(from,
                                 where.isEmpty() ? QString() : QStringLiteral(" WHERE ") + where.join(u" AND "),
                                 idColumn)
                            .arg(limit + 1);
    QList<QVariantList> found;
    if (!runSearch(sql, values, plan, &found, error))
        return false;
    fillCallPage(found, limit, page);
    return true;
}

bool PgStore::choosePlan(const QString &q, const QStringList &filters, const QVariantList &filterValues, int limit,
                         Plan *plan, QString *error)
{
    // The planner guesses a fragment's frequency from a sample of 100 rows
    // and, for a four-digit fragment that happens to be in it, walks a whole
    // million rows. The newest rows say better how frequent it is: walking
    // newest first costs about (limit + 1) / density rows, the trigram index
    // about density * rows, and the cheaper one is taken.
    constexpr int window = 500;
    const QString sql = QStringLiteral("SELECT (SELECT count(*) FROM (SELECT c.number, c.name FROM calls c%1"
                                       " ORDER BY c.id DESC LIMIT %2) w WHERE w.number ILIKE ? OR w.name ILIKE ?),"
                                       " (SELECT reltuples FROM pg_class WHERE oid = 'calls'::regclass)")
                            .arg(filters.isEmpty() ? QString() : QStringLiteral(" WHERE ") + filters.join(u" AND "))
                            .arg(window);
    QSqlQuery probe(m_db);
    probe.setForwardOnly(true);
    probe.prepare(sql);
    bindAll(probe, filterValues + QVariantList{likePattern(q), likePattern(q)});
    if (!probe.exec() || !probe.next()) {
        *error = sqlError(QStringLiteral("searching calls"), probe.lastError());
        return false;
    }
    const double seen = probe.value(0).toDouble();
    const double rows = std::max(probe.value(1).toDouble(), double(window));
    const double walk = seen > 0 ? (limit + 1) * window / seen : rows;
    const double index = seen * rows / window;
    *plan = walk < index ? Plan::Walk : Plan::Index;
    return true;
}

bool PgStore::runSearch(const QString &sql, const QVariantList &values, Plan plan, QList<QVariantList> *rows,
                        QString *error)
{
    const bool steered = plan != Plan::Planner;
    // Never committed: nothing is written, and the settings go with it.
    SqlTransaction transaction(m_db);
    if (steered && !transaction.begin(QStringLiteral("searching calls"), error))
        return false;
    const auto fail = [&](const QSqlError &sqlErr) {
        *error = sqlError(QStringLiteral("searching calls"), sqlErr);
        return false;
    };
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    if (steered) {
        // For this transaction only: the walk or the index, never a scan of all.
        const char *settings = plan == Plan::Walk ? "SET LOCAL enable_bitmapscan = off; SET LOCAL enable_seqscan = off"
                                                  : "SET LOCAL enable_indexscan = off; SET LOCAL enable_seqscan = off";
        for (const QString &setting : QString::fromLatin1(settings).split(QStringLiteral("; "))) {
            if (!query.exec(setting))
                return fail(query.lastError());
        }
    }
    if (!query.prepare(sql))
        return fail(query.lastError());
    bindAll(query, values);
    if (!query.exec())
        return fail(query.lastError());
    // Calls and customers read different columns; the driver warns for every
    // column asked beyond the row's.
    const int columns = query.record().count();
    while (query.next()) {
        QVariantList row;
        for (int i = 0; i < columns; ++i)
            row << query.value(i);
        rows->append(row);
    }
    return true;
}

} // namespace tavrod
