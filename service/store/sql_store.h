// What the SQLite and the PostgreSQL store share: a connection of their own
// and the reads and writes that are the same SQL in both. They spell only
// the columns of a missed call dealt with differently, and PostgreSQL keeps
// texts its own way.
#ifndef TAVROD_SQL_STORE_H
#define TAVROD_SQL_STORE_H

#include "customer_book.h"
#include "event_store.h"
#include "sql_connection.h"

#include <QSqlQuery>

#include <map>
#include <memory>

namespace tavrod {

class SqlStore : public EventStore, public CustomerBook
{
public:
    qint64 lastId() override;
    bool eventsAfter(qint64 after, int limit, QList<QByteArray> *rows, QString *error) override;
    bool readValue(const QString &key, QString *value, QString *error) override;
    bool writeValue(const QString &key, const QString &value, QString *error) override;
    CustomerBook *customers() override { return this; }
    bool callStanding(qint64 callId, CallStanding *standing, QString *error) override;
    bool countOpenMissed(const QString &site, qint64 *count, QString *error) override;
    bool caller(const QString &lineNumber, std::optional<Caller> *caller, QString *error) override;

protected:
    struct Dialect
    {
        const char *doneAt; // the columns of calls that say when and by whom
        const char *doneBy; // a missed call was dealt with
        QString (*stored)(QString text); // a text from outside as the store keeps it
    };
    // The connection is named "tavrod-KIND-ADDRESS".
    SqlStore(const char *kind, const Dialect &dialect);

    // The conditions of a search of calls (calls c) besides its text and its
    // page: time, port, site, outcome, open missed calls.
    void callFilters(const CallQuery &request, QStringList *where, QVariantList *values) const;
    // /api/stats from the hourly counts, each hour bucketed by key (an SQL
    // expression of h.hour, in the store's own dialect; grouped by group, k
    // for the key itself), and the top callers.
    bool countStats(const QString &key, const QString &group, const StatsQuery &request, QJsonObject *stats,
                    QString *error);
    // The local hour of the day of h.hour (UTC), the same SQL in both stores.
    static QString localHourOfDay(int offsetSeconds);

    // A statement asked again and again with other values (a caller, the
    // statistics), kept prepared on this connection so that it is planned
    // once; finished when the handle goes. Empty, with *error, on failure.
    class Kept
    {
    public:
        // Shared with the store's list, which may let it go while it is read.
        explicit Kept(std::shared_ptr<QSqlQuery> query = {}) : m_query(std::move(query)) {}
        Kept(const Kept &) = delete;
        Kept &operator=(const Kept &) = delete;
        ~Kept();
        QSqlQuery *operator->() const { return m_query.get(); }
        explicit operator bool() const { return m_query != nullptr; }

    private:
        std::shared_ptr<QSqlQuery> m_query;
    };
    Kept runKept(const QString &sql, const QVariantList &values, const QString &step, QString *error);
    // Before the connection closes: its statements go with it.
    void forgetStatements() { m_kept.clear(); }

    SqlConnection m_db;

private:
    const Dialect m_dialect;
    std::map<QString, std::shared_ptr<QSqlQuery>> m_kept;
};

} // namespace tavrod

#endif
