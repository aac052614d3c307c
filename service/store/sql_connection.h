// What every store does with Qt SQL in the same way: a connection of its own,
// opened and closed again as a whole, transactions that roll back unless
// committed, and errors that read "step: why" on one line.
#ifndef TAVROD_SQL_CONNECTION_H
#define TAVROD_SQL_CONNECTION_H

#include <QSqlDatabase>
#include <QString>
#include <QVariantList>

class QSqlError;
class QSqlQuery;

namespace tavrod {

// "step: why", on one line (libpq's messages span lines); the bare why
// when there is no step.
QString sqlError(const QString &step, const QSqlError &error);

// Binds values to a prepared query's placeholders in order. A null QString
// is bound as NULL, or, for columns that hold texts, as an empty one.
enum class NullText { Null, Empty };
void bindAll(QSqlQuery &query, const QVariantList &values, NullText nullText = NullText::Null);

// The statements of a list that ends with nullptr.
QStringList sqlStatements(const char *const *list);

// Creates the folder a database file goes into.
bool makeFolderFor(const QString &file, QString *error);

// A QSqlDatabase registered under a name of its owner's alone, so that two
// stores in one process (or a store and the login book on the same file)
// never share a connection; release() takes it out of Qt's registry again.
class SqlConnection : public QSqlDatabase
{
public:
    // The name is "tavrod-KIND-ADDRESS".
    SqlConnection(const char *kind, const void *owner);
    ~SqlConnection();
    SqlConnection(const SqlConnection &) = delete;
    SqlConnection &operator=(const SqlConnection &) = delete;

    // Registers the connection with the driver (QSQLITE, QPSQL); invalid
    // when Qt has no such driver.
    void add(const QString &driver);
    // Opens what add() registered; *error reads "what: why" when it fails.
    bool openAs(const QString &what, QString *error);
    // Runs the statements in order up to the first that fails.
    bool execAll(const QStringList &statements, const QString &step, QString *error);
    // Closes and unregisters it; nothing when it is not registered.
    void release();

private:
    QString m_name;
};

// Rolls back when it ends uncommitted, so that a failed step may simply
// return: what the transaction wrote goes with it.
class SqlTransaction
{
public:
    explicit SqlTransaction(QSqlDatabase db);
    ~SqlTransaction();
    SqlTransaction(const SqlTransaction &) = delete;
    SqlTransaction &operator=(const SqlTransaction &) = delete;

    bool begin(const QString &step, QString *error);
    // On failure it rolls back and *error reads "step: why".
    bool commit(const QString &step, QString *error);

private:
    QSqlDatabase m_db;
    bool m_open = false;
};

} // namespace tavrod

#endif
