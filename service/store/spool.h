// The local spool of a site on a shared database: a small SQLite file that
// keeps the events the database could not take, oldest first, until they
// have been forwarded.
#ifndef TAVROD_SPOOL_H
#define TAVROD_SPOOL_H

#include "event_store.h"
#include "sql_connection.h"

namespace tavrod {

class Spool
{
public:
    explicit Spool(QString path);
    ~Spool();

    bool open(QString *error);
    void close();
    const QString &path() const { return m_path; }

    // Keeps the events (numbered by the site) in one transaction.
    bool append(const QList<EventRecord> &events, QString *error);
    // The oldest waiting events, at most limit.
    bool peek(int limit, QList<EventRecord> *events, QString *error);
    // Forgets the waiting events up to and including this local id.
    bool remove(qint64 throughId, QString *error);
    // Moves a waiting event the database refuses aside (table rejected),
    // with the reason, so that the events behind it go on.
    bool reject(qint64 localId, const QString &reason, QString *error);
    qint64 count() const { return m_count; }
    qint64 rejectedCount() const { return m_rejected; }
    // The highest local id ever spooled here (kept when the rows go).
    qint64 lastId() const { return m_lastId; }

private:
    QString m_path;
    SqlConnection m_db;
    qint64 m_count = 0;
    qint64 m_lastId = 0;
    qint64 m_rejected = 0;
};

} // namespace tavrod

#endif
