// Device tokens and remembered dashboard sessions, kept in the store so that
// every site of a shared database knows them. Only SHA-256 hashes are kept.
// The book opens a connection of its own, so that `tavrod token` works while
// the service runs on the same file or database.
#ifndef TAVROD_LOGIN_BOOK_H
#define TAVROD_LOGIN_BOOK_H

#include "sql_connection.h"

#include <QByteArray>
#include <QList>
#include <QString>

namespace tavrod {

// The tables, in the schema version 3 of both stores; IF NOT EXISTS because
// `tavrod token` may create them in a store the service has not opened yet.
inline constexpr const char *tokensTableSql =
    "CREATE TABLE IF NOT EXISTS tokens (name TEXT PRIMARY KEY, hash TEXT NOT NULL UNIQUE,"
    " scope TEXT NOT NULL, created TEXT NOT NULL, last_used TEXT)";
inline constexpr const char *sessionsTableSql =
    "CREATE TABLE IF NOT EXISTS remembered_sessions (hash TEXT PRIMARY KEY, name TEXT NOT NULL,"
    " scope TEXT NOT NULL, created TEXT NOT NULL, last_used TEXT NOT NULL)";

// A device token or a remembered session as the book holds it. For a
// session, name and scope are those of the token it was made from.
struct LoginRow
{
    QByteArray hash; // hex SHA-256 of the secret
    QString name;
    QString scope;   // "view" or "admin"
    QString created; // ISO 8601 UTC
    QString lastUsed;
    bool session = false;
};

// Hex SHA-256: how a secret is kept and looked up.
QByteArray secretHash(const QByteArray &secret);
// 256 random bits, base64url.
QByteArray randomSecret();

class LoginBook
{
public:
    // Remembered sessions kept at most (as many as the service holds).
    static constexpr int maxSessions = 256;

    // A SQLite file or a postgresql:// URI, as --db takes it.
    explicit LoginBook(QString db);
    ~LoginBook();
    LoginBook(const LoginBook &) = delete;
    LoginBook &operator=(const LoginBook &) = delete;

    bool open(QString *error);
    void close();
    bool isOpen() const;

    // False with a reason when the name is taken.
    bool addToken(const QString &name, const QString &scope, const QByteArray &hash, QString *error);
    // Ends the token and the sessions made from it; *removed counts both.
    bool revokeToken(const QString &name, int *removed, QString *error);
    // Ends the remembered sessions whose hash starts with prefix.
    bool revokeSession(const QByteArray &hashPrefix, int *removed, QString *error);
    bool addSession(const LoginRow &session, QString *error);
    // Tokens first, then sessions, each by name.
    bool list(QList<LoginRow> *rows, QString *error);
    // Stamps last use; sessions last used before idleBefore are dropped.
    bool markUsed(const QList<QByteArray> &hashes, const QString &at, QString *error);
    bool dropIdleSessions(const QString &idleBefore, QString *error);

private:
    bool exec(const QString &sql, const QVariantList &values, QString *error, int *affected = nullptr);

    QString m_db;
    SqlConnection m_sql;
};

} // namespace tavrod

#endif
