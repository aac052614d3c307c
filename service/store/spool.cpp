#include "spool.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace tavrod {

namespace {

QString sqlError(const QString &step, const QSqlError &error)
{
    return QStringLiteral("%1: %2").arg(step, error.text());
}

} // namespace

Spool::Spool(QString path)
    : m_path(std::move(path))
    , m_connection(QStringLiteral("tavrod-spool-%1").arg(quintptr(this)))
{
}

Spool::~Spool()
{
    close();
}

bool Spool::open(QString *error)
{
    close();
    const QFileInfo file(m_path);
    if (!QDir().mkpath(file.absolutePath())) {
        *error = QStringLiteral("cannot create the folder %1").arg(file.absolutePath());
        return false;
    }
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    m_db.setDatabaseName(m_path);
    QSqlQuery query(m_db);
    const auto fail = [&](const QSqlError &sqlErr) {
        *error = sqlError(QStringLiteral("spool %1").arg(m_path), sqlErr);
        close();
        return false;
    };
    if (!m_db.open())
        return fail(m_db.lastError());
    // FULL: a spooled event is the only copy until it is forwarded.
    for (const char *statement :
         {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=FULL", "PRAGMA busy_timeout=1000",
          "CREATE TABLE IF NOT EXISTS pending (local_id INTEGER PRIMARY KEY, site TEXT NOT NULL,"
          " portName TEXT NOT NULL, at TEXT NOT NULL, kind TEXT NOT NULL, body TEXT NOT NULL)",
          "CREATE TABLE IF NOT EXISTS high_water (last INTEGER NOT NULL)",
          "CREATE TABLE IF NOT EXISTS rejected (local_id INTEGER PRIMARY KEY, site TEXT NOT NULL,"
          " portName TEXT NOT NULL, at TEXT NOT NULL, kind TEXT NOT NULL, body TEXT NOT NULL, reason TEXT NOT NULL)"}) {
        if (!query.exec(QString::fromLatin1(statement)))
            return fail(query.lastError());
    }
    if (!query.exec(QStringLiteral("SELECT COUNT(*), (SELECT COALESCE(MAX(last), 0) FROM high_water),"
                                   " (SELECT COUNT(*) FROM rejected) FROM pending"))
        || !query.next())
        return fail(query.lastError());
    m_count = query.value(0).toLongLong();
    m_lastId = query.value(1).toLongLong();
    m_rejected = query.value(2).toLongLong();
    return true;
}

void Spool::close()
{
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

bool Spool::append(const QList<EventRecord> &events, QString *error)
{
    if (!m_db.isOpen()) {
        *error = QStringLiteral("the spool is not open");
        return false;
    }
    if (!m_db.transaction()) {
        *error = sqlError(QStringLiteral("spooling"), m_db.lastError());
        return false;
    }
    QSqlQuery insert(m_db);
    insert.prepare(QStringLiteral("INSERT OR IGNORE INTO pending (local_id, site, portName, at, kind, body)"
                                  " VALUES (?, ?, ?, ?, ?, ?)"));
    qint64 added = 0;
    qint64 last = m_lastId;
    for (const EventRecord &event : events) {
        const QVariantList values{event.id, event.site, event.portName, event.at, event.kind,
                                  QString::fromUtf8(event.json)};
        for (int i = 0; i < values.size(); ++i)
            insert.bindValue(i, values.at(i));
        if (!insert.exec()) {
            *error = sqlError(QStringLiteral("spooling event %1").arg(event.id), insert.lastError());
            m_db.rollback();
            return false;
        }
        added += insert.numRowsAffected();
        last = std::max(last, event.id);
    }
    QSqlQuery mark(m_db);
    if (!mark.exec(QStringLiteral("DELETE FROM high_water"))
        || !mark.exec(QStringLiteral("INSERT INTO high_water (last) VALUES (%1)").arg(last)) || !m_db.commit()) {
        *error = sqlError(QStringLiteral("spooling"), mark.lastError().isValid() ? mark.lastError() : m_db.lastError());
        m_db.rollback();
        return false;
    }
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
    QSqlQuery move(m_db);
    const auto fail = [&] {
        *error = sqlError(QStringLiteral("setting event %1 aside").arg(localId), move.lastError());
        m_db.rollback();
        return false;
    };
    if (!m_db.transaction())
        return fail();
    move.prepare(QStringLiteral("INSERT OR REPLACE INTO rejected SELECT *, ? FROM pending WHERE local_id = ?"));
    move.bindValue(0, reason);
    move.bindValue(1, localId);
    if (!move.exec())
        return fail();
    const int moved = move.numRowsAffected();
    move.prepare(QStringLiteral("DELETE FROM pending WHERE local_id = ?"));
    move.bindValue(0, localId);
    if (!move.exec() || !m_db.commit())
        return fail();
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
