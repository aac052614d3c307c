// Answered or missed, in figures (127.0.0.1 only):
//  1. how soon an outcome is decided after the handset report and after the
//     end of the ring window (the tracker tavrod runs, on its event loop);
//  2. /api/stats' queries over N calls spread over a year (default
//     1,000,000; first argument), each decided answered or missed, for the
//     whole year by hour, by day and by weekday, 100 each: on SQLite and on
//     PostgreSQL (a server this program starts);
//  3. GET /api/calls/export of 10,000 and of N calls from a tavrod child
//     process on the SQLite file: wall time, tavrod's CPU and its peak RSS.
// Arguments (optional): calls [sqlite|postgres|all] [seconds]: with
// seconds, the filled PostgreSQL server is held that long after its figures,
// so that another build can measure the same rows with: bench_outcomes 0 URL.
#include "call_outcomes.h"
#include "bench_common.h"
#include "pg_server.h"
#include "pg_store.h"
#include "pty_pair.h"
#include "sqlite_store.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace tavrod;

namespace {

EventRecord eventOf(qint64 id, const QString &at, QJsonObject object)
{
    EventRecord event;
    event.id = id;
    event.kind = object.value(QStringLiteral("event")).toString();
    event.site = QStringLiteral("bench");
    event.portName = QStringLiteral("COM1");
    event.at = at;
    object.insert(QStringLiteral("id"), id);
    object.insert(QStringLiteral("at"), at);
    object.insert(QStringLiteral("site"), event.site);
    object.insert(QStringLiteral("portName"), event.portName);
    event.object = object;
    event.json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return event;
}

void report(const char *what, const std::vector<double> &ms)
{
    std::printf("%-28s p50 %7.2f ms  p95 %7.2f ms  max %7.2f ms  (%zu calls)\n", what, percentile(ms, 0.5),
                percentile(ms, 0.95), percentile(ms, 1.0), ms.size());
}

// N calls over 2026 in order of time, each with its outcome, through the
// store's own append as tavrod writes them.
bool fillCalls(EventStore &store, int total, const char *label)
{
    QRandomGenerator rng(11);
    const qint64 start = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    const qint64 year = 365LL * 24 * 3600 * 1000;
    QElapsedTimer fill;
    fill.start();
    constexpr int batch = 10000;
    qint64 id = 0;
    QString error;
    for (int done = 0; done < total;) {
        QList<EventRecord> events;
        for (int i = 0; i < batch && done < total; ++i, ++done) {
            const qint64 atMs = start + year * done / total + rng.bounded(1000);
            const QString at = QDateTime::fromMSecsSinceEpoch(atMs, Qt::UTC).toString(Qt::ISODateWithMs);
            // A few hundred regular callers and many once-only ones.
            QString number = QStringLiteral("02%1").arg(rng.bounded(10) < 3 ? rng.bounded(300) : rng.bounded(10000000),
                                                        8, 10, QChar(u'0'));
            const qint64 callId = ++id;
            events.append(eventOf(callId, at,
                                  {{"event", "ReceiveCall"},
                                   {"callState", 1},
                                   {"cidInfo", QJsonObject{{"lNumber", number}, {"lName", QStringLiteral("손님")}}}}));
            events.append(eventOf(++id, at,
                                  {{"event", "CallOutcome"},
                                   {"callId", callId},
                                   {"outcome", rng.bounded(4) == 0 ? "missed" : "answered"}}));
        }
        if (!store.append(events, &error)) {
            std::fprintf(stderr, "%s fill: %s\n", label, qPrintable(error));
            return false;
        }
    }
    std::printf("%s: filled %d calls (and their outcomes) over a year in %.1f s\n", label, total,
                fill.elapsed() / 1000.0);
    return true;
}

// cpuPid: the process whose CPU time the queries take (the PostgreSQL backend,
// or this process for SQLite): the machine may be shared, so wall time alone says little.
bool statsQueries(EventStore &store, const char *label, qint64 cpuPid)
{
    for (const char *by : {"hour", "day", "weekday"}) {
        std::vector<double> ms;
        QJsonObject stats;
        const double cpu = statsOf(cpuPid).cpuSeconds;
        for (int i = 0; i < 100; ++i) {
            StatsQuery query;
            query.by = QString::fromLatin1(by);
            // The year 2026 in Seoul, as the page asks for it.
            query.since = QStringLiteral("2025-12-31T15:00:00.000Z");
            query.until = QStringLiteral("2026-12-31T15:00:00.000Z");
            query.offsetSeconds = 9 * 3600;
            QString error;
            QElapsedTimer timer;
            timer.start();
            if (!store.callStats(query, &stats, &error)) {
                std::fprintf(stderr, "%s: %s\n", label, qPrintable(error));
                return false;
            }
            ms.push_back(timer.nsecsElapsed() / 1e6);
        }
        const QJsonObject top = stats.value(QStringLiteral("topCallers")).toArray().first().toObject();
        std::printf("%s: stats by %-7s one year  p50 %7.2f ms  p95 %7.2f ms  max %7.2f ms  CPU %5.2f ms a query"
                    " (100 queries, %lld buckets; top caller %s, %lld calls)\n",
                    label, by, percentile(ms, 0.5), percentile(ms, 0.95), percentile(ms, 1.0),
                    (statsOf(cpuPid).cpuSeconds - cpu) * 10,
                    static_cast<long long>(stats.value(QStringLiteral("buckets")).toArray().size()),
                    qPrintable(top.value(QStringLiteral("number")).toString()),
                    static_cast<long long>(top.value(QStringLiteral("calls")).toInteger()));
    }
    return true;
}

// The statistics on a PostgreSQL database filled by fillCalls.
bool statsOnDatabase(const QString &url)
{
    PgTarget target;
    QString error;
    if (!parsePostgresUrl(url, &target, &error)) {
        std::fprintf(stderr, "postgres: %s\n", qPrintable(error));
        return false;
    }
    PgStore store(target);
    SqlConnection probe("bench", &store);
    if (!store.open(&error) || !openConnection(probe, target, {}, &error)) {
        std::fprintf(stderr, "postgres: %s\n", qPrintable(error));
        return false;
    }
    // The store's connection names itself; its backend does the queries' work.
    QSqlQuery backend(probe);
    if (!backend.exec(QStringLiteral("SELECT pid FROM pg_stat_activity WHERE datname = current_database()"
                                     " AND application_name = 'tavrod' ORDER BY backend_start DESC LIMIT 1"))
        || !backend.next()) {
        std::fprintf(stderr, "postgres: no backend of the store\n");
        return false;
    }
    const qint64 pid = backend.value(0).toLongLong();
    backend.finish();
    return statsQueries(store, "postgres", pid);
}

// The whole history as CSV from a fresh tavrod on the file.
void exportCalls(const QString &folder, const QString &db, int total)
{
    PtyPair pty;
    TavrodChild tavrod(QStringLiteral(TAVROD_PATH), folder, {"--map", "COM1=" + pty.slavePath(), "--db", db}, 30000);
    if (tavrod.port == 0) {
        std::printf("export: tavrod did not start on %s\n", qPrintable(db));
        return;
    }
    const double before = statsOf(tavrod.pid()).peakRssMiB;
    const double cpu = statsOf(tavrod.pid()).cpuSeconds;
    qint64 bytes = 0, lines = 0;
    QElapsedTimer clock;
    clock.start();
    const QByteArray head = httpExchange(tavrod.port,
                                         "GET /api/calls/export HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                                         "Authorization: Bearer " + tavrod.token + "\r\n\r\n",
                                         &bytes, &lines);
    // Lines ending in CR LF include the headers and each chunk's framing.
    std::printf("export: %7d calls, %.1f MB (%lld CR LF lines) in %.2f s, tavrod CPU %.2f s; tavrod peak RSS"
                " %.1f MiB before, %.1f MiB after (%s)\n",
                total, bytes / 1e6, static_cast<long long>(lines), clock.elapsed() / 1000.0,
                statsOf(tavrod.pid()).cpuSeconds - cpu, before, statsOf(tavrod.pid()).peakRssMiB,
                head.left(head.indexOf('\r')).constData());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0); // figures as they come, also into a file
    const int total = argc > 1 ? std::max(1000, atoi(argv[1])) : 1000000;
    if (argc > 2 && isPostgresUrl(QString::fromLocal8Bit(argv[2])))
        return statsOnDatabase(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
    {
        std::vector<double> afterLift, afterWindow;
        QElapsedTimer clock;
        qint64 mark = 0;
        std::vector<double> *into = nullptr;
        constexpr int windowMs = 200;
        CallOutcomes outcomes(windowMs, [&](const QJsonObject &) {
            if (into)
                into->push_back((clock.nsecsElapsed() - mark) / 1e6);
        });
        clock.start();
        const auto nowIso = [] { return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs); };
        for (int i = 0; i < 20; ++i) {
            const QJsonObject call{{"event", "ReceiveCall"}, {"id", 2 * i + 1}, {"portName", "COM1"},
                                   {"callState", 1}, {"at", nowIso()}};
            into = nullptr;
            outcomes.observe(call);
            if (i % 2 == 0) {
                into = &afterLift;
                mark = clock.nsecsElapsed();
                outcomes.observe({{"event", "HookEvent"}, {"id", 2 * i + 2}, {"portName", "COM1"},
                                  {"eventType", true}, {"at", nowIso()}});
                outcomes.observe({{"event", "HookEvent"}, {"id", 2 * i + 2}, {"portName", "COM1"},
                                  {"eventType", false}, {"at", nowIso()}});
            } else {
                into = &afterWindow;
                mark = clock.nsecsElapsed() + qint64(windowMs) * 1000000;
                const size_t before = afterWindow.size();
                while (afterWindow.size() == before)
                    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            }
        }
        report("outcome after the lift", afterLift);
        report("outcome after window end", afterWindow);
    }
    const QString stores = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("all");
    const int holdSeconds = argc > 3 ? atoi(argv[3]) : 0;
    const bool sqlite = stores != u"postgres";
    const bool postgres = stores != u"sqlite";
    QTemporaryDir dir;
    for (const int count : {std::min(total, 10000), total}) {
        if (!sqlite)
            break;
        const QString db = dir.filePath(QStringLiteral("calls-%1.db").arg(count));
        {
            SqliteStore store(db);
            QString error;
            if (!store.open(&error)) {
                std::fprintf(stderr, "%s\n", qPrintable(error));
                return 1;
            }
            if (!fillCalls(store, count, "sqlite") || (count == total && !statsQueries(store, "sqlite", QCoreApplication::applicationPid())))
                return 1;
        }
        exportCalls(dir.path(), db, count);
    }
    if (postgres) {
        PgServer server;
        QString error;
        if (!server.start(&error)) {
            std::fprintf(stderr, "postgres: %s\n", qPrintable(error));
            return 0;
        }
        const QString url = server.createDatabase(QStringLiteral("calls"), &error);
        {
            PgTarget target;
            parsePostgresUrl(url, &target, &error);
            PgStore store(target);
            if (url.isEmpty() || !store.open(&error)) {
                std::fprintf(stderr, "postgres: %s\n", qPrintable(error));
                return 1;
            }
            if (!fillCalls(store, total, "postgres"))
                return 1;
        }
        server.psql(QStringLiteral("VACUUM ANALYZE"), nullptr, QStringLiteral("calls"));
        if (!statsOnDatabase(url))
            return 1;
        if (holdSeconds > 0) {
            // Another build's statistics on the same rows: bench_outcomes 0 URL.
            std::printf("postgres: holding %s for %d s\n", qPrintable(url), holdSeconds);
            QThread::sleep(holdSeconds);
        }
    }
    return 0;
}
