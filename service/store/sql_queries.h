// The reads and writes that are the same SQL in the SQLite and the
// PostgreSQL store. Only the columns of a missed call dealt with are spelt
// differently; texts go in as the store keeps them.
#ifndef TAVROD_SQL_QUERIES_H
#define TAVROD_SQL_QUERIES_H

#include "event_store.h"

#include <QSqlDatabase>

namespace tavrod::sql {

// The columns of calls that say who dealt with a missed call, and when.
struct DoneColumns
{
    const char *at;
    const char *by;
};

qint64 lastId(const QSqlDatabase &db);
bool eventsAfter(const QSqlDatabase &db, qint64 after, int limit, QList<QByteArray> *rows, QString *error);
bool readValue(const QSqlDatabase &db, const QString &key, QString *value, QString *error);
bool writeValue(const QSqlDatabase &db, const QString &key, const QString &value, QString *error);
bool callStanding(const QSqlDatabase &db, const DoneColumns &done, qint64 callId, CallStanding *standing,
                  QString *error);
// Of one site, or of all when site is empty.
bool countOpenMissed(const QSqlDatabase &db, const DoneColumns &done, const QString &site, qint64 *count,
                     QString *error);

} // namespace tavrod::sql

#endif
