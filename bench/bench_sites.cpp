// Many sites on one PostgreSQL server that this program starts itself (Unix
// socket only), each tavrod on its own pty, WebSocket clients on 127.0.0.1:
//  1. three sites x N calls (default 1,000): the End line written on a
//     site's pty -> the call received by the stream clients of the two other
//     sites, p50/p99; lost and duplicated at every site;
//  2. an outage: the server stopped, 1,000 calls spooled at one site, the
//     server started: time to reconnect and forward rate; every forwarded
//     call at every other site once;
//  3. history: M stored calls (default 1,000,000), /api/calls' query for a
//     four-digit and a two-syllable fragment, 200 each, p50/p95.
// Arguments (optional): calls-per-site history-rows.
#include "bench_common.h"
#include "pg_server.h"
#include "pg_store.h"
#include "pty_pair.h"
#include "wait_until.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The waits here pace the calls by a few milliseconds, so they look often.
bool waitPaced(const std::function<bool()> &done, int timeoutMs)
{
    return waitUntil(done, timeoutMs, 20);
}

// Number 9SNNNNNNN: S is the site (1..3), N the call's sequence.
QByteArray callReport(int site, int sequence)
{
    return "Report\r\nD\r\nTime:12071330\r\nNumber:9" + QByteArray::number(site)
        + QByteArray::number(sequence).rightJustified(7, '0') + "\r\nName:bench\r\nGroup:1\r\nType:S\r\nEnd\r\n";
}

class Site
{
    // Before tavrod: its log is checked for these from its start.
    std::map<QByteArray, std::optional<Clock::time_point>> m_watch;

public:
    Site(int siteIndex, const QString &url, const QString &folder, const QString &device)
        : index(siteIndex)
        , tavrod(QStringLiteral(TAVROD_PATH), folder,
                 {"--map", "COM1=" + device, "--db", url, "--site", QStringLiteral("site%1").arg(siteIndex), "--spool",
                  folder + "/spool.db"},
                 10000, [this](QByteArray &log) {
                     for (auto &[text, at] : m_watch) {
                         if (!at && log.contains(text))
                             at = Clock::now();
                     }
                 })
    {
    }
    // The moment a log line appears (from now on).
    void watch(const QByteArray &text)
    {
        tavrod.log().clear();
        m_watch[text] = std::nullopt;
    }
    std::optional<Clock::time_point> seen(const QByteArray &text) const { return m_watch.at(text); }

    int index;
    TavrodChild tavrod;
};

// A stream client at one site: when each call arrived, and how often.
struct Client
{
    int site = 0;
    QWebSocket socket;
    std::map<qint64, int> received;
    std::map<qint64, Clock::time_point> firstAt;
};

qint64 numberIn(const QString &text)
{
    const qsizetype at = text.indexOf(QLatin1String("\"lNumber\":\"9"));
    return at < 0 ? -1 : QStringView(text).mid(at + 12, 8).toLongLong();
}

void connectClient(Client &client, const Site &site)
{
    client.site = site.index;
    QObject::connect(&client.socket, &QWebSocket::textMessageReceived, [&client](const QString &text) {
        const qint64 number = numberIn(text);
        if (number < 0)
            return;
        if (client.received[number]++ == 0)
            client.firstAt[number] = Clock::now();
    });
    QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/stream").arg(site.tavrod.port)));
    request.setRawHeader("Authorization", "Bearer " + site.tavrod.token);
    client.socket.open(request);
}

struct Tally
{
    qint64 lost = 0;
    qint64 duplicated = 0;
};

Tally tally(const std::vector<std::unique_ptr<Client>> &clients, const std::vector<qint64> &numbers)
{
    Tally t;
    for (const auto &client : clients) {
        for (const qint64 number : numbers) {
            const auto it = client->received.find(number);
            if (it == client->received.end())
                ++t.lost;
            else
                t.duplicated += it->second - 1;
        }
    }
    return t;
}

bool execAll(QSqlDatabase &db, const QStringList &statements)
{
    QSqlQuery query(db);
    for (const QString &statement : statements) {
        if (!query.exec(statement)) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(statement.left(60)), qPrintable(query.lastError().text()));
            return false;
        }
    }
    return true;
}

// Fills the calls inside the server (names and numbers as bench_history's),
// with the trigram indexes built once at the end instead of row by row.
bool fillHistory(PgServer &server, const QString &database, int rows)
{
    tavrod::PgTarget target;
    QString error;
    tavrod::parsePostgresUrl(server.url(database), &target, &error);
    {
        tavrod::PgStore store(target); // creates and migrates the schema
        if (!store.open(&error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return false;
        }
    }
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), QStringLiteral("fill"));
    db.setHostName(target.host);
    db.setUserName(target.user);
    db.setDatabaseName(target.database);
    if (!db.open())
        return false;
    QStringList indexes;
    QSqlQuery query(db);
    query.exec(QStringLiteral("SELECT indexdef FROM pg_indexes WHERE indexname LIKE 'calls_%_trgm'"));
    while (query.next())
        indexes << query.value(0).toString();
    const QString fill = QStringLiteral(
        "WITH g AS (SELECT i,"
        " substr('김이박최정강조윤장임한오서신권황안송류홍', 1 + floor(random() * 19)::int, 1)"
        " || substr('민서준지현우예도하윤은수영진호성경숙자희정미연동길철순태상', 1 + floor(random() * 30)::int, 1)"
        " || substr('민서준지현우예도하윤은수영진호성경숙자희정미연동길철순태상', 1 + floor(random() * 30)::int, 1) AS name,"
        " (ARRAY['010','02','031','051','070'])[1 + floor(random() * 5)::int]"
        " || lpad(floor(random() * 100000000)::bigint::text, 8, '0') AS number"
        " FROM generate_series(1, %1) i),"
        " e AS (INSERT INTO events (id, site, local_id, portname, at, kind, body)"
        " SELECT i, 'bench', i, 'COM1', '2026-01-01T00:00:00.000Z', 'ReceiveCall',"
        " json_build_object('event', 'ReceiveCall', 'id', i, 'localId', i, 'site', 'bench', 'portName', 'COM1',"
        " 'at', '2026-01-01T00:00:00.000Z', 'callState', 1,"
        " 'cidInfo', json_build_object('lNumber', number, 'lName', name))::text FROM g RETURNING id),"
        " c AS (INSERT INTO calls (id, site, portname, at, callstate, number, name)"
        " SELECT i, 'bench', 'COM1', '2026-01-01T00:00:00.000Z', 1, number, name FROM g RETURNING id, number, name)"
        " INSERT INTO call_grams (gram, id) SELECT DISTINCT lower(substr(v.t, k, 2)), c.id FROM c,"
        " LATERAL (VALUES (c.number), (c.name)) v(t), generate_series(1, length(v.t) - 1) k"
        " WHERE lower(substr(v.t, k, 2)) ~ '[^[:ascii:]]'")
                             .arg(rows);
    QStringList steps{"SET client_min_messages TO warning", "ALTER TABLE events DISABLE TRIGGER events_announce",
                      "DROP INDEX calls_number_trgm", "DROP INDEX calls_name_trgm", fill};
    steps += indexes;
    steps << "ALTER TABLE events ENABLE TRIGGER events_announce"
          << QStringLiteral("SELECT setval('events_id_seq', %1)").arg(rows) << "VACUUM ANALYZE";
    const bool ok = execAll(db, steps);
    db.close();
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("fill"));
    return ok;
}

void history(PgServer &server, int rows)
{
    server.psql(QStringLiteral("CREATE DATABASE history"));
    QElapsedTimer fillTime;
    fillTime.start();
    if (!fillHistory(server, QStringLiteral("history"), rows))
        return;
    std::printf("history: filled %d calls in %.1f s\n", rows, fillTime.elapsed() / 1000.0);
    tavrod::PgTarget target;
    QString error;
    tavrod::parsePostgresUrl(server.url(QStringLiteral("history")), &target, &error);
    tavrod::PgStore store(target);
    if (!store.open(&error))
        return;
    const QString syllables = QStringLiteral("민서준지현우예도하윤은수영진호성경숙자희정미연동길철순태상");
    QRandomGenerator rng(11);
    for (int kind = 0; kind < 2; ++kind) {
        std::vector<double> ms;
        int hits = 0;
        for (int i = 0; i < 200; ++i) {
            tavrod::CallQuery query;
            if (kind == 0) {
                for (int d = 0; d < 4; ++d)
                    query.q += QChar(u'0' + rng.bounded(10));
            } else {
                query.q = QString(syllables.at(rng.bounded(int(syllables.size()))))
                    + syllables.at(rng.bounded(int(syllables.size())));
            }
            tavrod::CallPage page;
            QElapsedTimer timer;
            timer.start();
            if (!store.findCalls(query, &page, &error)) {
                std::fprintf(stderr, "%s\n", qPrintable(error));
                return;
            }
            ms.push_back(timer.nsecsElapsed() / 1e6);
            hits += int(page.calls.size());
        }
        std::printf("history, %d calls, %-30s p50 %6.2f ms  p95 %6.2f ms  max %6.2f ms (200 queries, %d rows)\n",
                    rows, kind == 0 ? "q= four digits (pg_trgm):" : "q= two syllables (pair table):",
                    percentile(ms, 0.5), percentile(ms, 0.95), *std::max_element(ms.begin(), ms.end()), hits);
    }
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int perSite = argc > 1 ? std::max(10, atoi(argv[1])) : 1000;
    const int historyRows = argc > 2 ? atoi(argv[2]) : 1000000;
    PgServer server;
    QString error;
    if (!server.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QString url = server.createDatabase(QStringLiteral("sites"), &error);
    if (url.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }

    QTemporaryDir dir;
    std::vector<std::unique_ptr<PtyPair>> ptys;
    std::vector<std::unique_ptr<Site>> sites;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 1; i <= 3; ++i) {
        ptys.push_back(std::make_unique<PtyPair>());
        const QString folder = dir.filePath(QStringLiteral("site%1").arg(i));
        QDir().mkpath(folder);
        sites.push_back(std::make_unique<Site>(i, url, folder, ptys.back()->slavePath()));
        clients.push_back(std::make_unique<Client>());
        connectClient(*clients.back(), *sites.back());
    }
    waitPaced([&] {
        return std::all_of(clients.begin(), clients.end(),
                           [](const auto &c) { return c->socket.state() == QAbstractSocket::ConnectedState; });
    }, 10000);
    QElapsedTimer settle;
    settle.start();
    waitPaced([&] { return settle.elapsed() > 500; }, 1000); // ports opened

    // 1. Latency to the other sites, one call every 5 ms, the sites in turn.
    std::map<qint64, Clock::time_point> written;
    std::vector<qint64> numbers;
    for (int sequence = 0; sequence < perSite; ++sequence) {
        for (int site = 1; site <= 3; ++site) {
            const qint64 number = site * 10000000LL + sequence;
            written[number] = Clock::now();
            numbers.push_back(number);
            ptys[site - 1]->write(callReport(site, sequence));
            QElapsedTimer gap;
            gap.start();
            waitPaced([&] { return gap.elapsed() >= 5; }, 50);
        }
    }
    waitPaced([&] {
        return std::all_of(clients.begin(), clients.end(),
                           [&](const auto &c) { return c->firstAt.size() >= numbers.size(); });
    }, 30000);
    QElapsedTimer quiet;
    quiet.start();
    waitPaced([&] { return quiet.elapsed() > 500; }, 1000); // room for duplicates
    std::vector<double> remote;
    for (const auto &client : clients) {
        for (const auto &[number, at] : client->firstAt) {
            if (number / 10000000 != client->site && written.count(number))
                remote.push_back(std::chrono::duration<double, std::milli>(at - written[number]).count());
        }
    }
    const Tally live = tally(clients, numbers);
    std::printf("3 sites x %d calls, End line -> stream of another site: p50 %.2f ms  p99 %.2f ms  max %.2f ms"
                " (%zu deliveries); lost %lld, duplicated %lld\n",
                perSite, percentile(remote, 0.5), percentile(remote, 0.99),
                remote.empty() ? 0 : *std::max_element(remote.begin(), remote.end()), remote.size(),
                static_cast<long long>(live.lost), static_cast<long long>(live.duplicated));

    // 2. Outage: 1,000 calls spooled at site 1, then forwarded.
    server.stop();
    Site &first = *sites.front();
    std::vector<qint64> spooled;
    for (int sequence = perSite; sequence < perSite + 1000; ++sequence) {
        spooled.push_back(10000000LL + sequence);
        ptys.front()->write(callReport(1, sequence));
        if (sequence % 50 == 0) {
            QElapsedTimer gap;
            gap.start();
            waitPaced([&] { return gap.elapsed() >= 5; }, 50);
        }
    }
    // Every spooled call reached the site's own client, live, meanwhile.
    waitPaced([&] { return clients.front()->firstAt.size() >= numbers.size() + spooled.size(); }, 30000);
    first.watch("shared database connected");
    first.watch("every spooled event is in the shared database");
    const auto restarted = Clock::now();
    if (!server.start(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const auto serverUp = Clock::now();
    waitPaced([&] { return first.seen("every spooled event is in the shared database").has_value(); }, 60000);
    waitPaced([&] {
        return std::all_of(clients.begin(), clients.end(),
                           [&](const auto &c) { return c->firstAt.size() >= numbers.size() + spooled.size(); });
    }, 30000);
    const auto connectedAt = first.seen("shared database connected");
    const auto forwardedAt = first.seen("every spooled event is in the shared database");
    if (connectedAt && forwardedAt) {
        const double forwardMs = std::chrono::duration<double, std::milli>(*forwardedAt - *connectedAt).count();
        std::printf("outage: server start took %.0f ms; reconnected %.0f ms after it was up; 1000 spooled calls"
                    " forwarded in %.1f ms (%.0f calls/s)\n",
                    std::chrono::duration<double, std::milli>(serverUp - restarted).count(),
                    std::chrono::duration<double, std::milli>(*connectedAt - serverUp).count(), forwardMs,
                    1000.0 / (forwardMs / 1000.0));
    } else {
        std::printf("outage: the spool was not forwarded within 60 s\n");
    }
    const Tally forwarded = tally(clients, spooled);
    std::printf("outage: spooled calls at the 3 sites' clients: lost %lld, duplicated %lld\n",
                static_cast<long long>(forwarded.lost), static_cast<long long>(forwarded.duplicated));
    sites.clear();

    // 3. History.
    if (historyRows > 0)
        history(server, historyRows);
    return 0;
}
