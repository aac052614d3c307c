// tavrod's parts on their own: request parsing and its bounds, the SQLite
// store and its search, the order and recovery of the event log, access.
#include "access.h"
#include "api.h"
#include "event_log.h"
#include "http_server.h"
#include "options.h"
#include "metrics.h"
#include "sqlite_store.h"
#include "stream.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSettings>
#include <QSignalSpy>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QWebSocket>
#include <QtTest>

#include <sys/stat.h>

using namespace tavrod;

namespace {

EventRecord callRecord(qint64 id, const QString &number, const QString &name, const QString &port = "COM1",
                       const QString &at = "2026-12-07T10:00:00.000Z", const QString &site = "A")
{
    EventRecord record;
    record.id = id;
    record.kind = QStringLiteral("ReceiveCall");
    record.site = site;
    record.portName = port;
    record.at = at;
    record.object = {{"event", "ReceiveCall"}, {"id", id},       {"at", at},
                     {"site", site},          {"portName", port}, {"callState", 1},
                     {"cidInfo", QJsonObject{{"lNumber", number}, {"lName", name}}}};
    record.json = QJsonDocument(record.object).toJson(QJsonDocument::Compact);
    return record;
}

QList<qint64> idsOf(const CallPage &page)
{
    QList<qint64> ids;
    for (const QJsonValue &call : page.calls)
        ids.append(call.toObject().value(u"id").toInteger());
    return ids;
}

// A store that fails while told to, to drive the event log's degraded mode.
class FlakyStore : public EventStore
{
public:
    bool failing = false;
    QList<EventRecord> rows;
    bool open(QString *) override { return true; }
    void close() override {}
    bool append(const QList<EventRecord> &events, QString *error) override
    {
        if (failing) {
            *error = QStringLiteral("disk full");
            return false;
        }
        rows += events;
        return true;
    }
    qint64 lastId() override { return rows.isEmpty() ? 0 : rows.last().id; }
    bool eventsAfter(qint64 after, int limit, QList<QByteArray> *out, QString *) override
    {
        for (const EventRecord &row : rows) {
            if (row.id > after && out->size() < limit)
                out->append(row.json);
        }
        return true;
    }
    bool findCalls(const CallQuery &, CallPage *, QString *) override { return true; }
};

HttpRequest request(const QByteArray &raw)
{
    HttpRequest out;
    QByteArray buffer = raw;
    HttpRequestParser parser{HttpLimits{}};
    if (parser.parse(buffer, &out) != HttpRequestParser::Status::Done)
        qWarning("request did not parse");
    return out;
}

} // namespace

class TestServiceParts : public QObject
{
    Q_OBJECT

private slots:
    void parsesRequestsWithinTheirBounds()
    {
        HttpLimits limits;
        HttpRequestParser parser(limits);
        HttpRequest out;

        // Two pipelined requests, the first with a body; bytes one at a time.
        const QByteArray raw = "POST /api/call?x=1&q=%EA%B8%B8+a HTTP/1.1\r\nHost: h\r\nContent-Length: 4\r\n\r\n"
                               "{}\r\nGET /healthz HTTP/1.0\r\n\r\n";
        QByteArray buffer;
        QList<HttpRequest> done;
        for (char c : raw) {
            buffer.append(c);
            while (parser.parse(buffer, &out) == HttpRequestParser::Status::Done)
                done.append(out);
        }
        QCOMPARE(done.size(), 2);
        QCOMPARE(done[0].method, QByteArray("POST"));
        QCOMPARE(done[0].path, QStringLiteral("/api/call"));
        QCOMPARE(done[0].query.queryItemValue("q", QUrl::FullyDecoded), QStringLiteral("길 a"));
        QCOMPARE(done[0].body, QByteArray("{}\r\n"));
        QCOMPARE(done[0].header("host"), QByteArray("h"));
        QVERIFY(done[0].keepAlive);
        QCOMPARE(done[1].path, QStringLiteral("/healthz"));
        QVERIFY(!done[1].keepAlive);
        QVERIFY(buffer.isEmpty());

        // Each refusal with its status; none waits for more input.
        const struct {
            QByteArray raw;
            int status;
        } refusals[] = {
            {"GET /x HTTP/1.1\r\nX: " + QByteArray(limits.maxHeaderBytes, 'a') + "\r\n\r\n", 431},
            {"GET /x HTTP/1.1\r\nX: " + QByteArray(limits.maxHeaderBytes + 1, 'a'), 431},
            {"POST /x HTTP/1.1\r\nContent-Length: 65537\r\n\r\n", 413},
            {"POST /x HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
            {"POST /x HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\n", 400},
            {"POST /x HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400},
            {"GET /x HTTP/2.0\r\n\r\n", 505},
            {"GET x HTTP/1.1\r\n\r\n", 400},
            {"GET /x\r\n\r\n", 400},
            {"GET /x HTTP/1.1\r\n folded\r\n\r\n", 400},
            {"GET /x HTTP/1.1\r\nBad Name: 1\r\n\r\n", 400},
            {"GET /\x01 HTTP/1.1\r\n\r\n", 400},
        };
        for (const auto &refusal : refusals) {
            QByteArray input = refusal.raw;
            HttpRequestParser fresh(limits);
            QCOMPARE(fresh.parse(input, &out), HttpRequestParser::Status::Failed);
            QCOMPARE(fresh.failure().status, refusal.status);
            QVERIFY(QJsonDocument::fromJson(fresh.failure().body).object().contains("error"));
        }
        // A body exactly at the bound is fine.
        QByteArray atBound = "POST /x HTTP/1.1\r\nContent-Length: 65536\r\n\r\n" + QByteArray(65536, 'b');
        QCOMPARE(HttpRequestParser(limits).parse(atBound, &out), HttpRequestParser::Status::Done);
    }

    void requestParsingSurvivesMutatedInput()
    {
        // Bounded fuzzing of the parser: mutations of valid requests never
        // crash, and a Done always consumes input.
        const QByteArray seeds[] = {
            "GET /api/calls?q=2345&limit=3 HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer x\r\n\r\n",
            "POST /api/call HTTP/1.1\r\nContent-Length: 10\r\n\r\n{\"call\":1}",
            "GET /api/stream HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n",
        };
        QRandomGenerator rng(1234);
        for (int round = 0; round < 20000; ++round) {
            QByteArray input = seeds[round % 3];
            for (int m = 0, n = 1 + rng.bounded(6); m < n; ++m) {
                const int at = rng.bounded(int(input.size()) + 1);
                switch (rng.bounded(3)) {
                case 0: input.insert(at, char(rng.bounded(256))); break;
                case 1: input.remove(at, 1 + rng.bounded(4)); break;
                default: if (at < input.size()) input[at] = char(rng.bounded(256));
                }
            }
            HttpRequestParser parser{HttpLimits{}};
            HttpRequest out;
            for (int guard = 0; guard < 8; ++guard) {
                const qsizetype before = input.size();
                const auto status = parser.parse(input, &out);
                if (status != HttpRequestParser::Status::Done)
                    break;
                QVERIFY(input.size() < before);
            }
        }
    }

    void storesAndFindsCalls()
    {
        QTemporaryDir dir;
        SqliteStore store(dir.filePath("events.db"));
        QString error;
        QVERIFY2(store.open(&error), qPrintable(error));
        QList<EventRecord> calls = {
            callRecord(1, "0212345678", u"홍길동"_qs, "COM1", "2026-12-01T09:00:00.000Z"),
            callRecord(2, "0319998888", u"김길순"_qs, "COM2", "2026-12-02T09:00:00.000Z"),
            callRecord(3, "01023451111", "Mary_Jones", "COM1", "2026-12-03T09:00:00.000Z", "B"),
            callRecord(4, "0425550000", u"이동길"_qs, "COM1", "2026-12-04T09:00:00.000Z"),
        };
        EventRecord hook;
        hook.id = 5;
        hook.kind = "HookEvent";
        hook.site = "A";
        hook.portName = "COM1";
        hook.at = "2026-12-05T09:00:00.000Z";
        hook.json = R"({"event":"HookEvent","id":5})";
        // A batch that fails half-way (one id twice) leaves nothing behind.
        QVERIFY(!store.append({calls.at(0), calls.at(0)}, &error));
        QVERIFY2(error.startsWith("storing event 1: "), qPrintable(error));
        QCOMPARE(store.lastId(), 0);
        QVERIFY2(store.append(calls + QList<EventRecord>{hook}, &error), qPrintable(error));
        QCOMPARE(store.lastId(), 5);

        auto find = [&](CallQuery query) {
            CallPage page;
            if (!store.findCalls(query, &page, &error))
                qWarning() << error;
            return page;
        };
        QCOMPARE(idsOf(find({})), (QList<qint64>{4, 3, 2, 1}));
        QCOMPARE(idsOf(find({"2345"})), (QList<qint64>{3, 1}));      // trigram index
        QCOMPARE(idsOf(find({u"길동"_qs})), (QList<qint64>{1}));      // pair index
        QCOMPARE(idsOf(find({u"동길"_qs})), (QList<qint64>{4}));
        QCOMPARE(idsOf(find({u"길"_qs})), (QList<qint64>{4, 2, 1}));   // scan
        QCOMPARE(idsOf(find({"mary"})), (QList<qint64>{3}));          // any case
        QCOMPARE(idsOf(find({"_"})), (QList<qint64>{3}));             // LIKE wildcards are literal
        QCOMPARE(idsOf(find({"%"})), QList<qint64>{});
        QCOMPARE(idsOf(find({"\"2345"})), QList<qint64>{});           // quotes do not break the match
        CallQuery ranged;
        ranged.since = "2026-12-02T00:00:00.000Z";
        ranged.until = "2026-12-04T00:00:00.000Z";
        QCOMPARE(idsOf(find(ranged)), (QList<qint64>{3, 2}));
        CallQuery byPort;
        byPort.port = "COM1";
        byPort.q = "2345";
        byPort.site = "A";
        QCOMPARE(idsOf(find(byPort)), (QList<qint64>{1}));

        // Paging: next is the before= of the following page, null at the end.
        CallQuery paged;
        paged.limit = 3;
        CallPage first = find(paged);
        QCOMPARE(idsOf(first), (QList<qint64>{4, 3, 2}));
        QCOMPARE(first.next, 2);
        paged.before = first.next;
        CallPage second = find(paged);
        QCOMPARE(idsOf(second), (QList<qint64>{1}));
        QCOMPARE(second.next, 0);
        paged.q = u"길"_qs;
        paged.before = 0;
        paged.limit = 2;
        QCOMPARE(find(paged).next, 2);

        const QJsonObject call = find({"2345"}).calls.first().toObject();
        QCOMPARE(call.keys(), (QStringList{"at", "callState", "cidInfo", "customer", "id", "outcome", "portName", "site"}));

        QList<QByteArray> rows;
        QVERIFY(store.eventsAfter(3, 10, &rows, &error));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows.last(), hook.json);

        // An id is stored once: a second write of it fails as a whole.
        QVERIFY(!store.append({callRecord(6, "1", "x"), callRecord(5, "2", "y")}, &error));
        QCOMPARE(store.lastId(), 5);
    }

    void searchMeetsTheNameInAnyNormalFormAndAroundNul()
    {
        QTemporaryDir dir;
        SqliteStore store(dir.filePath("events.db"));
        QString error;
        QVERIFY2(store.open(&error), qPrintable(error));
        const auto nfd = [](const QString &text) { return text.normalized(QString::NormalizationForm_D); };
        const QString withNul = u"앞"_qs + QChar(0) + u"뒤이름"_qs;
        QVERIFY2(store.append({callRecord(1, "0212345678", u"홍길동"_qs), callRecord(2, "0311112222", nfd(u"김영희"_qs)),
                               callRecord(3, "0423334444", withNul)},
                              &error),
                 qPrintable(error));
        const auto find = [&](const QString &q) {
            CallPage page;
            if (!store.findCalls({q}, &page, &error))
                qWarning() << error;
            return idsOf(page);
        };
        for (const QString &q : {nfd(u"길동"_qs), nfd(u"홍길동"_qs), u"길동"_qs})
            QCOMPARE(find(q), QList<qint64>{1});
        for (const QString &q : {u"영희"_qs, u"김영희"_qs, nfd(u"김영희"_qs)})
            QCOMPARE(find(q), QList<qint64>{2});
        for (const QString &q : {u"뒤이름"_qs, u"뒤이"_qs, u"앞"_qs + QChar(0) + u"뒤"_qs})
            QCOMPARE(find(q), QList<qint64>{3});
        // The event itself keeps the name as it came from the line.
        CallPage page;
        QVERIFY(store.findCalls({u"뒤이름"_qs}, &page, &error));
        QCOMPARE(page.calls.first().toObject().value("cidInfo").toObject().value("lName").toString(), withNul);
    }

    void migratesAnOlderFileAndRefusesANewerOne()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("old.db");
        {
            // A file as version 1 wrote it, with one call already in it.
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "old");
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec("CREATE TABLE events (id INTEGER PRIMARY KEY, site TEXT NOT NULL, portName TEXT NOT "
                           "NULL, at TEXT NOT NULL, kind TEXT NOT NULL, body TEXT NOT NULL)"));
            QVERIFY(q.exec("CREATE TABLE calls (id INTEGER PRIMARY KEY REFERENCES events(id), site TEXT NOT NULL,"
                           " portName TEXT NOT NULL, at TEXT NOT NULL, callState INTEGER NOT NULL,"
                           " number TEXT NOT NULL, name TEXT NOT NULL)"));
            const EventRecord old = callRecord(7, "0551234567", u"박길동"_qs);
            QVERIFY(q.exec(QStringLiteral("INSERT INTO events VALUES (7, 'A', 'COM1', '%1', 'ReceiveCall', '%2')")
                               .arg(old.at, QString::fromUtf8(old.json))));
            QVERIFY(q.exec(QStringLiteral("INSERT INTO calls VALUES (7, 'A', 'COM1', '%1', 1, '0551234567', '박길동')")
                               .arg(old.at)));
            // A name stored decomposed before names were indexed in NFC.
            const QString decomposed = u"최영희"_qs.normalized(QString::NormalizationForm_D);
            const EventRecord nfd = callRecord(6, "0559876543", decomposed);
            QVERIFY(q.exec(QStringLiteral("INSERT INTO events VALUES (6, 'A', 'COM1', '%1', 'ReceiveCall', '%2')")
                               .arg(nfd.at, QString::fromUtf8(nfd.json))));
            QVERIFY(q.exec(QStringLiteral("INSERT INTO calls VALUES (6, 'A', 'COM1', '%1', 1, '0559876543', '%2')")
                               .arg(nfd.at, decomposed)));
            QVERIFY(q.exec("PRAGMA user_version=1"));
            db.close();
        }
        QSqlDatabase::removeDatabase("old");
        QString error;
        {
            SqliteStore store(path);
            QVERIFY2(store.open(&error), qPrintable(error));
            CallPage page;
            QVERIFY(store.findCalls({u"길동"_qs}, &page, &error));
            QCOMPARE(idsOf(page), QList<qint64>{7});
            page = {};
            QVERIFY(store.findCalls({"1234"}, &page, &error));
            QCOMPARE(idsOf(page), QList<qint64>{7});
            for (const QString &q : {u"영희"_qs, u"최영희"_qs}) {
                page = {};
                QVERIFY(store.findCalls({q}, &page, &error));
                QCOMPARE(idsOf(page), QList<qint64>{6});
            }
            QVERIFY(store.append({callRecord(8, "0551234999", u"새길동"_qs)}, &error));
        }
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "newer");
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery q(db);
            QVERIFY(q.exec(QStringLiteral("PRAGMA user_version=%1").arg(SqliteStore::schemaVersion() + 1)));
            db.close();
        }
        QSqlDatabase::removeDatabase("newer");
        SqliteStore newer(path);
        QVERIFY(!newer.open(&error));
        QVERIFY2(error.contains("newer"), qPrintable(error));
    }

    void eventLogStoresFirstAndRecoversFromAFailingStore()
    {
        FlakyStore store;
        store.rows = {callRecord(41, "1", "a")};
        EventLog log(store, "A");
        log.start();
        QList<qint64> published, stored;
        QList<int> storedWhenPublished;
        connect(&log, &EventLog::published, this, [&](const EventRecord &e) {
            published.append(e.id);
            storedWhenPublished.append(int(store.rows.size()));
        });
        connect(&log, &EventLog::stored, this, [&](const EventRecord &e) { stored.append(e.id); });

        log.record({{"event", "ReceiveCall"}, {"portName", "COM1"}, {"callState", 1}});
        QCOMPARE(published, QList<qint64>{42}); // numbering goes on after the store
        QCOMPARE(storedWhenPublished, QList<int>{2}); // committed before published
        QCOMPARE(store.rows.last().object.value("site").toString(), QStringLiteral("A"));
        QVERIFY(store.rows.last().at.endsWith('Z'));

        // Debug texts go out without an id and never into the store.
        log.record({{"event", "DebugMsg"}, {"str", "x"}});
        QCOMPARE(published.last(), 0);
        QCOMPARE(store.rows.size(), 2);

        QSignalSpy degraded(&log, &EventLog::degradedChanged);
        store.failing = true;
        log.record({{"event", "HookEvent"}, {"portName", "COM1"}, {"eventType", true}});
        log.record({{"event", "HookEvent"}, {"portName", "COM1"}, {"eventType", false}});
        QVERIFY(log.degraded());
        QCOMPARE(degraded.size(), 1);
        QCOMPARE(published.mid(2), (QList<qint64>{43, 44})); // still live
        QCOMPARE(log.storeFailures(), 1);                  // one attempt, not one per event
        QList<QByteArray> rows;
        QString error;
        QVERIFY(log.eventsAfter(41, 10, &rows, &error));
        QCOMPARE(rows.size(), 3); // 42 from the store, 43 and 44 from memory

        QVERIFY(!log.flush());
        store.failing = false;
        // The retry timer writes them without anyone asking.
        QTRY_VERIFY_WITH_TIMEOUT(!log.degraded(), 3000);
        QCOMPARE(degraded.size(), 2);
        QCOMPARE(store.rows.size(), 4);
        QCOMPARE(store.rows[2].id, 43);
        QCOMPARE(store.rows[3].id, 44);
        QCOMPARE(stored, (QList<qint64>{42, 43, 44}));
    }

    void aClientThatFallsBehindCatchesUpWithoutLoss()
    {
        // A backlog bound of one byte: every event sent before the socket
        // drains pushes the client back to reading from the store.
        FlakyStore store;
        EventLog log(store, "A");
        Metrics metrics;
        StreamHub hub(log, metrics, 10, 1);
        connect(&log, &EventLog::published, &hub, &StreamHub::publish);
        HttpServer server{HttpLimits{}};
        QString error;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0, &error));
        server.setUpgradeCheck([](const HttpRequest &) { return std::optional<HttpResponse>(); });
        connect(&server, &HttpServer::webSocketConnected, &hub, &StreamHub::accept);

        QWebSocket client;
        QList<qint64> ids;
        connect(&client, &QWebSocket::textMessageReceived, this, [&](const QString &text) {
            ids.append(QJsonDocument::fromJson(text.toUtf8()).object().value("id").toInteger());
        });
        client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/stream").arg(server.port())));
        QTRY_COMPARE_WITH_TIMEOUT(hub.clientCount(), 1, 5000);

        for (int round = 0; round < 3; ++round) {
            for (int i = 0; i < 100; ++i)
                log.record({{"event", "HookEvent"}, {"portName", "COM1"}, {"eventType", i % 2 == 0}});
            QTest::qWait(1); // live again in between, then behind again
        }
        QTRY_COMPARE_WITH_TIMEOUT(ids.size(), 300, 5000);
        QTest::qWait(100);
        QCOMPARE(ids.size(), 300); // and no duplicate after it
        for (int i = 0; i < ids.size(); ++i)
            QCOMPARE(ids[i], i + 1);
        QCOMPARE(hub.clientCount(), 1); // never closed for it
    }

    void tokensAndOrigins()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("sub/token");
        QByteArray token, again;
        bool created = false;
        QString error;
        QVERIFY2(loadOrCreateToken(path, &token, &created, &error), qPrintable(error));
        QVERIFY(created);
        QVERIFY(token.size() >= 32);
        struct stat st {};
        QCOMPARE(::stat(QFile::encodeName(path).constData(), &st), 0);
        QCOMPARE(st.st_mode & 0777, 0600u);
        QVERIFY(loadOrCreateToken(path, &again, &created, &error));
        QVERIFY(!created);
        QCOMPARE(again, token);

        const Access access(token);
        QVERIFY(access.authorized(request("GET / HTTP/1.1\r\nAuthorization: Bearer " + token + "\r\n\r\n")));
        QVERIFY(access.authorized(request("GET / HTTP/1.1\r\nAuthorization: bearer " + token + "\r\n\r\n")));
        QVERIFY(!access.authorized(request("GET / HTTP/1.1\r\nAuthorization: Bearer " + token + "x\r\n\r\n")));
        QVERIFY(!access.authorized(request("GET / HTTP/1.1\r\nAuthorization: Basic " + token + "\r\n\r\n")));
        QVERIFY(!access.authorized(request("GET / HTTP/1.1\r\n\r\n")));

        QVERIFY(Access::sameOrigin(request("GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n")));
        QVERIFY(Access::sameOrigin(
            request("GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nOrigin: http://127.0.0.1:8080\r\n\r\n")));
        QVERIFY(Access::sameOrigin(request("GET / HTTP/1.1\r\nHost: Shop.local\r\nOrigin: http://shop.local\r\n\r\n")));
        QVERIFY(!Access::sameOrigin(
            request("GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nOrigin: http://evil.example\r\n\r\n")));
        QVERIFY(!Access::sameOrigin(
            request("GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nOrigin: http://127.0.0.1:9090\r\n\r\n")));
        QVERIFY(!Access::sameOrigin(request("GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nOrigin: null\r\n\r\n")));
    }

    void optionsLayerTheCommandLineOverTheFile()
    {
        QTemporaryDir dir;
        const QString ini = dir.filePath("tavrod.ini");
        {
            QFile file(ini);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("map=COM1=/dev/ttyUSB0, COM2=/dev/ttyUSB1\nsite=shop\nlisten=127.0.0.1:9000\n"
                       "db=/tmp/x.db\n");
        }
        Options options;
        QString message;
        QCOMPARE(parseOptions({"tavrod", "--config", ini, "--site", "desk"}, &options, &message), ParseResult::Run);
        QCOMPARE(options.site, QStringLiteral("desk"));
        QCOMPARE(options.listenPort, 9000);
        QCOMPARE(options.portMap.value("COM2"), QStringLiteral("/dev/ttyUSB1"));
        QCOMPARE(options.openPorts, (QStringList{"COM1", "COM2"}));
        QCOMPARE(options.tokenFile, QStringLiteral("/tmp/token"));
        QVERIFY(!options.tokenFileExplicit);

        QCOMPARE(parseOptions({"tavrod", "--config", ini, "--map", "COM3=/dev/x", "--open", "COM3"}, &options, &message),
                 ParseResult::Run);
        QCOMPARE(options.portMap.keys(), QStringList{"COM3"});

        QCOMPARE(parseOptions({"tavrod"}, &options, &message), ParseResult::Run);
        QCOMPARE(options.openPorts, (QStringList{"COM1", "COM2", "COM3", "COM4"}));
        QCOMPARE(options.listenPort, 8080);
        QVERIFY(options.listenAddress.isLoopback());

        QCOMPARE(parseOptions({"tavrod", "--listen", "0.0.0.0:8080"}, &options, &message), ParseResult::Error);
        QVERIFY(message.contains("--token-file"));
        QCOMPARE(parseOptions({"tavrod", "--listen", "[::]:8080", "--token-file", "/tmp/t"}, &options, &message),
                 ParseResult::Run);
        QCOMPARE(parseOptions({"tavrod", "--listen", "[::1]:8080"}, &options, &message), ParseResult::Run);
        QCOMPARE(parseOptions({"tavrod", "--map", "com1=/dev/x"}, &options, &message), ParseResult::Error);
        QCOMPARE(parseOptions({"tavrod", "--listen", "127.0.0.1:99999"}, &options, &message), ParseResult::Error);
        QCOMPARE(parseOptions({"tavrod", "--version"}, &options, &message), ParseResult::ExitOk);

        QString normal;
        QVERIFY(normaliseTime("2026-12-07", &normal));
        QCOMPARE(normal, QStringLiteral("2026-12-07T00:00:00.000Z"));
        QVERIFY(normaliseTime("2026-12-07T10:00:00+09:00", &normal));
        QCOMPARE(normal, QStringLiteral("2026-12-07T01:00:00.000Z"));
        QVERIFY(!normaliseTime("yesterday", &normal));
    }
};

QTEST_GUILESS_MAIN(TestServiceParts)
#include "tst_service_parts.moc"
