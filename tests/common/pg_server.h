// A throw-away PostgreSQL server for tests and benchmarks: initdb and pg_ctl
// in a temporary folder, a Unix socket only (listen_addresses=''), run as
// the postgres user when we are root, stopped when the object goes.
#ifndef TAVRO_TESTS_PG_SERVER_H
#define TAVRO_TESTS_PG_SERVER_H

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class PgServer
{
public:
    PgServer();
    ~PgServer();
    PgServer(const PgServer &) = delete;
    PgServer &operator=(const PgServer &) = delete;

    // The folder with initdb and pg_ctl, empty when PostgreSQL is not
    // installed (scripts/deps.sh installs postgresql-15).
    static QString binDir();

    // initdb (once) and start; false with the reason.
    bool start(QString *error);
    // A fast shutdown: clients are disconnected. The data stays.
    bool stop(QString *error = nullptr);
    bool isRunning() const { return m_running; }

    QString socketDir() const;
    // postgresql://postgres@/DB?host=SOCKET_DIR
    QString url(const QString &database = QStringLiteral("postgres")) const;
    // Runs one statement through psql on the postgres database.
    bool psql(const QString &sql, QString *output = nullptr, const QString &database = QStringLiteral("postgres"));
    // Makes an empty database: its URL, or an empty text and *error.
    QString createDatabase(const QString &name, QString *error);

private:
    bool run(const QString &program, const QStringList &arguments, QString *output, int timeoutMs = 60000);

    QTemporaryDir m_dir;
    bool m_initialised = false;
    bool m_running = false;
};

#endif
