// The event store in one SQLite file (WAL), through Qt SQL.
#ifndef TAVROD_SQLITE_STORE_H
#define TAVROD_SQLITE_STORE_H

#include "sql_store.h"

#include <QSqlQuery>

namespace tavrod {

class SqliteStore : public SqlStore
{
public:
    explicit SqliteStore(QString path);
    ~SqliteStore() override;

    bool open(QString *error) override;
    void close() override;
    bool append(const QList<EventRecord> &events, QString *error) override;
    bool findCalls(const CallQuery &query, CallPage *page, QString *error) override;

    // The customer book (sqlite_customers.cpp).
    bool findCustomers(const CustomerQuery &query, CustomerPage *page, QString *error) override;
    bool customer(const QString &number, std::optional<Customer> *customer, QString *error) override;
    bool putCustomers(const QList<Customer> &customers, QList<PutOutcome> *outcomes, QString *error) override;
    bool deleteCustomer(const QString &number, bool *found, QString *error) override;
    bool customersAfter(const QString &number, int limit, QList<Customer> *customers, QString *error) override;
    bool outcomeBacklog(const QString &site, int limit, QList<QJsonObject> *events, QString *error) override;
    bool callStats(const StatsQuery &query, QJsonObject *stats, QString *error) override;

    // The schema version this code writes; older files are migrated on open.
    static int schemaVersion();

    // The lock file beside the database that one process holds while it
    // owns the store (readers such as `tavrod token` or sqlite3 do not take it).
    static QString lockPath(const QString &dbPath);

private:
    bool claim(QString *error);
    bool checkIntact(QString *error);
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
    int m_lockFd = -1;
};

} // namespace tavrod

#endif
