// The event store in one SQLite file (WAL), through Qt SQL.
#ifndef TAVROD_SQLITE_STORE_H
#define TAVROD_SQLITE_STORE_H

#include "event_store.h"

#include <QSqlDatabase>
#include <QSqlQuery>

namespace tavrod {

class SqliteStore : public EventStore
{
public:
    explicit SqliteStore(QString path);
    ~SqliteStore() override;

    bool open(QString *error) override;
    void close() override;
    bool append(const QList<EventRecord> &events, QString *error) override;
    qint64 lastId() override;
    bool eventsAfter(qint64 after, int limit, QList<QByteArray> *rows, QString *error) override;
    bool findCalls(const CallQuery &query, CallPage *page, QString *error) override;
    bool outcomeBacklog(const QString &site, int limit, QList<QJsonObject> *events, QString *error) override;
    bool callStanding(qint64 callId, CallStanding *standing, QString *error) override;
    bool countOpenMissed(const QString &site, qint64 *count, QString *error) override;
    bool callStats(const StatsQuery &query, QJsonObject *stats, QString *error) override;

    // The schema version this code writes; older files are migrated on open.
    static int schemaVersion();

private:
    bool migrate(QString *error);
    bool reindexCalls(QString *error);
    struct Statements
    {
        QSqlQuery call;
        QSqlQuery fts;
        QSqlQuery gram;
    };
    // A CallOutcome or MissedDone event changes its call's row.
    bool noteOutcome(const EventRecord &event, QString *error);
    bool insertCall(const EventRecord &event, Statements &statements, QString *error);

    QString m_path;
    QString m_connection;
    QSqlDatabase m_db;
};

} // namespace tavrod

#endif
