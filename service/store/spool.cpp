#include "spool.h"

#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace tavrod {

Spool::Spool(QString path)
    : m_path(std::move(path))
    , m_db("spool", this)
{
}

Spool::~Spool()
{
    close();
}

bool Spool::open(QString *error)
{
    close();
    if (!makeFolderFor(m_path, error))
        return false;
    m_db.add(QStringLiteral("QSQLITE"));
    m_db.setDatabaseName(m_path);
    const QString what = QStringLiteral("spool %1").arg(m_path);
    QSqlQuery query(m_db);
    // FULL: a spooled event is the only copy until it is forwarded.
    if (!m_db.openAs(what, error)
        || !m_db.execAll(
            {QStringLiteral("PRAGMA journal_mode=WAL"), QStringLiteral("PRAGMA synchronous=FULL"),
             QStringLiteral("PRAGMA busy_timeout=1000"),
             QStringLiteral("CREATE TABLE IF NOT EXISTS pending (local_id INTEGER PRIMARY KEY, site TEXT NOT NULL,"
                            " portName TEXT NOT NULL, at TEXT NOT NULL, kind TEXT NOT NULL, body TEXT NOT NULL)"),
             QStringLiteral("CREATE TABLE IF NOT EXISTS high_water (last INTEGER NOT NULL)"),
             QStringLiteral("CREATE TABLE IF NOT EXISTS rejected (local_id INTEGER PRIMARY KEY, site TEXT NOT NULL,"
                            " portName TEXT NOT NULL, at TEXT NOT NULL, kind TEXT NOT NULL, body TEXT NOT NULL,"
                            " reason TEXT NOT NULL)")},
            what, error)) {
        close();
        return false;
    }
    if (!query.exec(QStringLiteral("SELECT COUNT(*), (SELECT COALESCE(MAX(last), 0) FROM high_water),"
                                   " (SELECT COUNT(*) FROM rejected) FROM pending"))
        || !query.next()) {
        *error = sqlError(what, query.lastError());
        close();
        return false;
    }
    m_count = query.value(0).toLongLong();
    m_lastId = query.value(1).toLongLong();
    m_rejected = query.value(2).toLongLong();
    return true;
}

void Spool::close()
{
    m_db.release();
}

bool Spool::append(const QList<EventRecord> &events, QString *error)
{
    if (!m_db.isOpen()) {
        *error = QStringLiteral("the spool is not open");
        return false;
    }
    SqlTransaction transaction(m_db);
    if (!transaction.begin(QStringLiteral("spooling"), error))
        return false;
    QSqlQuery insert(m_db);
    insert.prepare(QStringLiteral("INSERT OR IGNORE INTO pending (local_id, site, portName, at, kind, body)"
                                  " VALUES (?, ?, ?, ?, ?, ?)"));
    qint64 added = 0;
    qint64 last = m_lastId;
    for (const EventRecord &event : events) {
        bindAll(insert, {event.id, event.site, event.portName, event.at, event.kind, QString::fromUtf8(event.json)});
        if (!insert.exec()) {
            *error = sqlError(QStringLiteral("spooling event %1").arg(event.id), insert.lastError());
            return false;
        }
        added += insert.numRowsAffected();
        last = std::max(last, event.id);
    }
    if (!m_db.execAll({QStringLiteral("DELETE FROM high_water"),
                       QStringLiteral("INSERT INTO high_water (last) VALUES (%1)").arg(last)},
                      QStringLiteral("spooling"), error)
        || !transaction.commit(QStringLiteral("spooling"), error))
        return false;
    m_count += added;
    m_lastId = last;
    return true;
}

bool Spool::peek(int limit, QList<EventRecord> *events, QString *error)
{
    QSqlQuery query(m_db);
    query.setForwardOnly(true);
    query.prepare(QStringLiteral("SELECT local_id, site, portName, at, kind, body FROM pending"
                                 " ORDER BY local_id LIMIT ?"));
    query.bindValue(0, limit);
    if (!query.exec()) {
        *error = sqlError(QStringLiteral("reading the spool"), query.lastError());
        return false;
    }
    while (query.next()) {
        EventRecord event;
        event.id = query.value(0).toLongLong();
        event.site = query.value(1).toString();
        event.portName = query.value(2).toString();
        event.at = query.value(3).toString();
        event.kind = query.value(4).toString();
        event.json = query.value(5).toString().toUtf8();
        event.object = QJsonDocument::fromJson(event.json).object();
        events->append(event);
    }
    return true;
}

bool Spool::reject(qint64 localId, const QString &reason, QString *error)
{
    const QString step = QStringLiteral("setting event %1 aside").arg(localId);
    SqlTransaction transaction(m_db);
    if (!transaction.begin(step, error))
        return false;
    QSqlQuery move(m_db);
    move.prepare(QStringLiteral("INSERT OR REPLACE INTO rejected SELECT *, ? FROM pending WHERE local_id = ?"));
    bindAll(move, {reason, localId});
    if (!move.exec()) {
        *error = sqlError(step, move.lastError());
        return false;
    }
    const int moved = move.numRowsAffected();
    if (!m_db.execAll({QStringLiteral("DELETE FROM pending WHERE local_id = %1").arg(localId)}, step, error)
        || !transaction.commit(step, error))
        return false;
    m_count = std::max<qint64>(0, m_count - moved);
    m_rejected += moved;
    return true;
}

bool Spool::remove(qint64 throughId, QString *error)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("DELETE FROM pending WHERE local_id <= ?"));
    query.bindValue(0, throughId);
    if (!query.exec()) {
        *error = sqlError(QStringLiteral("clearing the spool"), query.lastError());
        return false;
    }
    m_count = std::max<qint64>(0, m_count - query.numRowsAffected());
    return true;
}

} // namespace tavrod
