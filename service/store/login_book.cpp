#include "login_book.h"

#include "pg_store.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace tavrod {

QByteArray secretHash(const QByteArray &secret)
{
    return QCryptographicHash::hash(secret, QCryptographicHash::Sha256).toHex();
}

QByteArray randomSecret()
{
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

LoginBook::LoginBook(QString db)
    : m_db(std::move(db))
    , m_sql("logins", this)
{
}

LoginBook::~LoginBook()
{
    close();
}

bool LoginBook::open(QString *error)
{
    close();
    if (isPostgresUrl(m_db)) {
        PgTarget target;
        if (!parsePostgresUrl(m_db, &target, error)
            || !openConnection(m_sql, target, {"connect_timeout=2", "application_name=tavrod-logins",
                                               "tcp_user_timeout=5000"}, error)) {
            close();
            return false;
        }
    } else {
        // A plain connection: no lock of the service's is needed to read or
        // write these few rows, and WAL lets both work at once.
        m_sql.add(QStringLiteral("QSQLITE"));
        m_sql.setDatabaseName(m_db);
        m_sql.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=2000"));
        if (!m_sql.openAs(QStringLiteral("cannot open %1").arg(m_db), error)) {
            close();
            return false;
        }
    }
    if (!exec(QString::fromLatin1(tokensTableSql), {}, error) || !exec(QString::fromLatin1(sessionsTableSql), {}, error)) {
        close();
        return false;
    }
    return true;
}

void LoginBook::close()
{
    m_sql.release();
}

bool LoginBook::isOpen() const
{
    return m_sql.isOpen();
}

bool LoginBook::exec(const QString &sql, const QVariantList &values, QString *error, int *affected)
{
    QSqlQuery query(m_sql);
    query.setForwardOnly(true);
    // PostgreSQL prepares no DDL: statements without values run directly.
    bool ok = values.isEmpty() || query.prepare(sql);
    for (int i = 0; ok && i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    if (!ok || !(values.isEmpty() ? query.exec(sql) : query.exec())) {
        *error = sqlError(QString(), query.lastError());
        return false;
    }
    if (affected)
        *affected = query.numRowsAffected();
    return true;
}

bool LoginBook::addToken(const QString &name, const QString &scope, const QByteArray &hash, QString *error)
{
    QList<LoginRow> rows;
    if (!list(&rows, error))
        return false;
    for (const LoginRow &row : std::as_const(rows)) {
        if (!row.session && row.name == name) {
            *error = QStringLiteral("a token named %1 exists already").arg(name);
            return false;
        }
    }
    return exec(QStringLiteral("INSERT INTO tokens (name, hash, scope, created) VALUES (?, ?, ?, ?)"),
                {name, QString::fromLatin1(hash), scope,
                 QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)},
                error);
}

bool LoginBook::revokeToken(const QString &name, int *removed, QString *error)
{
    int tokens = 0, sessions = 0;
    SqlTransaction transaction(m_sql);
    if (!transaction.begin(QString(), error)
        || !exec(QStringLiteral("DELETE FROM tokens WHERE name = ?"), {name}, error, &tokens)
        || !exec(QStringLiteral("DELETE FROM remembered_sessions WHERE name = ?"), {name}, error, &sessions)
        || !transaction.commit(QString(), error))
        return false;
    *removed = tokens + sessions;
    return true;
}

bool LoginBook::revokeSession(const QByteArray &hashPrefix, int *removed, QString *error)
{
    const QString prefix = QString::fromLatin1(hashPrefix).toLower();
    // At least eight digits, so that a slip does not end many sessions at once.
    static const QRegularExpression hex(QStringLiteral("^[0-9a-f]{8,64}$"));
    if (!hex.match(prefix).hasMatch()) {
        *error = QStringLiteral("a session is named by its ID from the list (8 to 64 hexadecimal digits)");
        return false;
    }
    return exec(QStringLiteral("DELETE FROM remembered_sessions WHERE substr(hash, 1, ?) = ?"),
                {int(prefix.size()), prefix}, error, removed);
}

bool LoginBook::addSession(const LoginRow &session, QString *error)
{
    // The table stays bounded: past the bound the longest unused go.
    return exec(QStringLiteral("INSERT INTO remembered_sessions (hash, name, scope, created, last_used)"
                               " VALUES (?, ?, ?, ?, ?)"),
                {QString::fromLatin1(session.hash), session.name, session.scope, session.created, session.lastUsed},
                error)
        && exec(QStringLiteral("DELETE FROM remembered_sessions WHERE last_used < (SELECT last_used FROM"
                               " remembered_sessions ORDER BY last_used DESC LIMIT 1 OFFSET %1)")
                    .arg(maxSessions - 1),
                {}, error);
}

bool LoginBook::list(QList<LoginRow> *rows, QString *error)
{
    QSqlQuery query(m_sql);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT hash, name, scope, created, COALESCE(last_used, ''), 0 FROM tokens"
                                   " UNION ALL SELECT hash, name, scope, created, last_used, 1"
                                   " FROM remembered_sessions ORDER BY 6, 2, 4"))) {
        *error = sqlError(QString(), query.lastError());
        return false;
    }
    while (query.next())
        rows->append(LoginRow{query.value(0).toString().toLatin1(), query.value(1).toString(),
                              query.value(2).toString(), query.value(3).toString(), query.value(4).toString(),
                              query.value(5).toInt() == 1});
    return true;
}

bool LoginBook::markUsed(const QList<QByteArray> &hashes, const QString &at, QString *error)
{
    if (hashes.isEmpty())
        return true;
    SqlTransaction transaction(m_sql);
    if (!transaction.begin(QString(), error))
        return false;
    for (const QByteArray &hash : hashes) {
        for (const char *table : {"tokens", "remembered_sessions"}) {
            if (!exec(QStringLiteral("UPDATE %1 SET last_used = ? WHERE hash = ?").arg(QLatin1String(table)),
                      {at, QString::fromLatin1(hash)}, error))
                return false;
        }
    }
    return transaction.commit(QString(), error);
}

bool LoginBook::dropIdleSessions(const QString &idleBefore, QString *error)
{
    return exec(QStringLiteral("DELETE FROM remembered_sessions WHERE last_used < ?"), {idleBefore}, error);
}

} // namespace tavrod
