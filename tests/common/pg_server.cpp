#include "pg_server.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The server refuses to run as root; as root, its files belong to postgres.
bool asRoot()
{
    return ::geteuid() == 0;
}

bool giveToServerUser(const QString &path)
{
    if (!asRoot())
        return true;
    const passwd *user = ::getpwnam("postgres");
    return user && ::chown(QFile::encodeName(path).constData(), user->pw_uid, user->pw_gid) == 0;
}

} // namespace

PgServer::PgServer()
    : m_dir(QDir::tempPath() + QStringLiteral("/tavro-pg-XXXXXX"))
{
}

PgServer::~PgServer()
{
    stop();
}

QString PgServer::binDir()
{
    const QString onPath = QStandardPaths::findExecutable(QStringLiteral("pg_ctl"));
    if (!onPath.isEmpty() && !QStandardPaths::findExecutable(QStringLiteral("initdb")).isEmpty())
        return QFileInfo(QFileInfo(onPath).canonicalFilePath()).absolutePath();
    const QDir versions(QStringLiteral("/usr/lib/postgresql"));
    QStringList found = versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    std::sort(found.begin(), found.end(), [](const QString &a, const QString &b) { return a.toInt() > b.toInt(); });
    for (const QString &version : found) {
        const QString bin = versions.filePath(version + QStringLiteral("/bin"));
        if (QFileInfo(bin + QStringLiteral("/pg_ctl")).isExecutable() && QFileInfo(bin + QStringLiteral("/initdb")).isExecutable())
            return bin;
    }
    return {};
}

QString PgServer::socketDir() const
{
    return m_dir.filePath(QStringLiteral("sock"));
}

QString PgServer::url(const QString &database) const
{
    return QStringLiteral("postgresql://postgres@/%1?host=%2").arg(database, socketDir());
}

bool PgServer::run(const QString &program, const QStringList &arguments, QString *output, int timeoutMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setWorkingDirectory(m_dir.path());
    if (asRoot())
        process.start(QStringLiteral("runuser"), QStringList{"-u", "postgres", "--", program} + arguments);
    else
        process.start(program, arguments);
    const bool finished = process.waitForStarted(10000) && process.waitForFinished(timeoutMs);
    if (output)
        *output = QString::fromLocal8Bit(process.readAll());
    if (!finished)
        process.kill();
    return finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

bool PgServer::start(QString *error)
{
    const QString bin = binDir();
    if (bin.isEmpty()) {
        *error = QStringLiteral("no PostgreSQL server binaries (scripts/deps.sh installs postgresql-15)");
        return false;
    }
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary folder");
        return false;
    }
    QString output;
    if (!m_initialised) {
        // The server user must reach its folders inside ours.
        ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
        for (const char *sub : {"data", "sock"}) {
            const QString path = m_dir.filePath(QString::fromLatin1(sub));
            if (!QDir().mkpath(path) || !giveToServerUser(path)) {
                *error = QStringLiteral("cannot prepare %1 for the postgres user").arg(path);
                return false;
            }
            ::chmod(QFile::encodeName(path).constData(), 0700);
        }
        // UTF-8 with a UTF-8 character class: pg_trgm then indexes Hangul.
        if (!run(bin + QStringLiteral("/initdb"),
                 {"-D", m_dir.filePath("data"), "-U", "postgres", "--auth=trust", "--encoding=UTF8",
                  "--locale=C.UTF-8", "--no-sync"},
                 &output)) {
            *error = QStringLiteral("initdb failed: %1").arg(output);
            return false;
        }
        m_initialised = true;
    }
    const QString options = QStringLiteral("-c listen_addresses='' -k %1 -c fsync=off -c max_connections=50")
                                .arg(socketDir());
    if (!run(bin + QStringLiteral("/pg_ctl"),
             {"-D", m_dir.filePath("data"), "-o", options, "-l", m_dir.filePath("data/server.log"), "-w", "-t", "30",
              "start"},
             &output)) {
        QFile log(m_dir.filePath("data/server.log"));
        log.open(QIODevice::ReadOnly);
        *error = QStringLiteral("pg_ctl start failed: %1 %2").arg(output, QString::fromLocal8Bit(log.readAll()));
        return false;
    }
    m_running = true;
    return true;
}

bool PgServer::stop(QString *error)
{
    if (!m_running)
        return true;
    QString output;
    const bool ok = run(binDir() + QStringLiteral("/pg_ctl"),
                        {"-D", m_dir.filePath("data"), "-m", "fast", "-w", "-t", "30", "stop"}, &output);
    if (!ok && error)
        *error = output;
    m_running = !ok;
    return ok;
}

QString PgServer::createDatabase(const QString &name, QString *error)
{
    QString output;
    if (psql(QStringLiteral("CREATE DATABASE %1").arg(name), &output))
        return url(name);
    *error = QStringLiteral("CREATE DATABASE %1: %2").arg(name, output.trimmed());
    return QString();
}

bool PgServer::psql(const QString &sql, QString *output, const QString &database)
{
    return run(QStandardPaths::findExecutable(QStringLiteral("psql")).isEmpty() ? binDir() + QStringLiteral("/psql")
                                                                                 : QStringLiteral("psql"),
               {"-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", "-h", socketDir(), "-U", "postgres", "-d",
                database, "-c", sql},
               output);
}
