// The reads and writes that are the same SQL in the SQLite and the
// PostgreSQL store. Only the columns of a missed call dealt with are spelt
// differently; texts go in as the store keeps them.
#ifndef TAVROD_SQL_QUERIES_H
#define TAVROD_SQL_QUERIES_H

#include "customer_book.h"
#include "event_store.h"

#include <QSqlDatabase>

namespace tavrod::sql {

// The columns of calls that say who dealt with a missed call, and when.
struct DoneColumns
{
    const char *at;
    const char *by;
};

// How a store keeps a text from outside (PostgreSQL's cannot hold U+0000).
using StoredText = QString (*)(QString text);
QString asIs(QString text);

qint64 lastId(const QSqlDatabase &db);
bool eventsAfter(const QSqlDatabase &db, qint64 after, int limit, QList<QByteArray> *rows, QString *error);
bool readValue(const QSqlDatabase &db, const QString &key, QString *value, QString *error);
bool writeValue(const QSqlDatabase &db, const QString &key, const QString &value, QString *error);
bool callStanding(const QSqlDatabase &db, const DoneColumns &done, qint64 callId, CallStanding *standing,
                  QString *error);
// Of one site, or of all when site is empty.
bool countOpenMissed(const QSqlDatabase &db, const DoneColumns &done, const QString &site, qint64 *count,
                     QString *error);

// The conditions of a search of calls (calls c) besides its text and its
// page: time, port, site, outcome, open missed calls.
void callFilters(const CallQuery &request, const DoneColumns &done, StoredText stored, QStringList *where,
                 QVariantList *values);

// The book's customer for the number of a call, with the count and the
// newest of the calls from that number; nothing for a number not in it.
bool caller(CustomerBook &book, const QSqlDatabase &db, StoredText stored, const QString &lineNumber,
            std::optional<Caller> *caller, QString *error);

} // namespace tavrod::sql

#endif
