// Answered or missed: the rules per port, a restart in the middle of a ring
// window, and the missed list as two screens use it (tavrod against tavro_sim).
#include "call_outcomes.h"
#include "dial_api.h"
#include "export_api.h"
#include "http_server.h"
#include "event_log.h"
#include "sqlite_store.h"
#include "tavrod_rig.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using namespace tavrod;

namespace {

QString isoAt(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC).toString(Qt::ISODateWithMs);
}

QJsonObject call(qint64 id, qint64 atMs, const QString &port = "COM1", int callState = 1)
{
    return {{"event", "ReceiveCall"}, {"id", id}, {"at", isoAt(atMs)}, {"site", "A"}, {"portName", port},
            {"callState", callState}, {"cidInfo", QJsonObject{{"lNumber", "0212345678"}, {"lName", "홍길동"}}}};
}

QJsonObject hook(qint64 id, qint64 atMs, bool lifted, const QString &port = "COM1")
{
    return {{"event", "HookEvent"}, {"id", id}, {"at", isoAt(atMs)}, {"site", "A"}, {"portName", port},
            {"eventType", lifted}};
}

EventRecord recordOf(const QJsonObject &object)
{
    EventRecord record;
    record.id = object.value("id").toInteger();
    record.kind = object.value("event").toString();
    record.site = object.value("site").toString();
    record.portName = object.value("portName").toString();
    record.at = object.value("at").toString();
    record.object = object;
    record.json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return record;
}

// What a tracker decided, by call id.
struct Decisions
{
    QMap<qint64, QString> outcome;
    QList<QJsonObject> events;
    std::function<void(const QJsonObject &)> recorder()
    {
        return [this](const QJsonObject &event) {
            events.append(event);
            outcome.insert(event.value("callId").toInteger(), event.value("outcome").toString());
        };
    }
};

} // namespace

class TestOutcomes : public QObject
{
    Q_OBJECT

private slots:
    void decidedPerPortByLiftNextCallAndWindow()
    {
        Decisions d;
        CallOutcomes outcomes(60000, d.recorder());
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        // Lifted on its port: answered at once, with the port named.
        outcomes.observe(call(1, now));
        outcomes.observe(hook(2, now + 10, false, "COM2")); // another port's handset
        outcomes.observe(hook(3, now + 20, true, "COM2"));
        QVERIFY(!d.outcome.contains(1));
        outcomes.observe(hook(4, now + 30, true));
        QCOMPARE(d.outcome.value(1), QStringLiteral("answered"));
        QCOMPARE(d.events.last().value("portName").toString(), QStringLiteral("COM1"));
        QCOMPARE(d.events.last().value("event").toString(), QStringLiteral("CallOutcome"));
        outcomes.observe(hook(5, now + 40, false));

        // The next call on the port decides the one before as missed; a lift
        // after the window is too late.
        outcomes.observe(call(6, now + 100));
        outcomes.observe(call(7, now + 200));
        QCOMPARE(d.outcome.value(6), QStringLiteral("missed"));
        QVERIFY(!d.outcome.contains(7));
        outcomes.observe(hook(8, now + 200 + 60001, true));
        QCOMPARE(d.outcome.value(7), QStringLiteral("missed"));
        QCOMPARE(outcomes.pendingCount(), 0);

        // Busy line: the handset is up for the other call, so a repeated lift
        // report does not take this one; a flash (down, then up) does.
        outcomes.observe(call(10, now + 70000, "COM3"));
        outcomes.observe(hook(11, now + 70010, true, "COM3"));
        QCOMPARE(d.outcome.value(10), QStringLiteral("answered"));
        outcomes.observe(call(12, now + 70100, "COM3", 2));
        outcomes.observe(hook(13, now + 70200, true, "COM3"));
        QVERIFY(!d.outcome.contains(12));
        outcomes.observe(hook(14, now + 70300, false, "COM3"));
        outcomes.observe(hook(15, now + 70400, true, "COM3"));
        QCOMPARE(d.outcome.value(12), QStringLiteral("answered"));
        // Busy and never flashed: missed when the next call comes.
        outcomes.observe(call(16, now + 70500, "COM3", 2));
        outcomes.observe(call(17, now + 70600, "COM3"));
        QCOMPARE(d.outcome.value(16), QStringLiteral("missed"));

        // Nothing happens: the window's end decides, promptly.
        Decisions live;
        CallOutcomes shortWindow(300, live.recorder());
        shortWindow.observe(call(20, QDateTime::currentMSecsSinceEpoch()));
        QVERIFY(!live.outcome.contains(20));
        QTRY_COMPARE_WITH_TIMEOUT(live.outcome.value(20), QStringLiteral("missed"), 5000);
        QCOMPARE(live.events.last().value("decidedBy").toString(), QStringLiteral("window"));
    }

    void restartMidWindowDecidesFromTheStore()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("events.db");
        const qint64 now = QDateTime::currentMSecsSinceEpoch();
        {
            SqliteStore store(path);
            QString error;
            QVERIFY2(store.open(&error), qPrintable(error));
            // 1: decided before the stop. 2: lifted, stored, not yet decided.
            // 3: its window passed while the service was down. 5: still ringing.
            // 6: a call of another site, not this tracker's.
            QJsonObject other = call(6, now - 100000, "COM4");
            other.insert("site", "B");
            const QList<QJsonObject> stored{call(1, now - 200000), hook(2, now - 199000, true, "COM2"),
                                            call(3, now - 120000, "COM2"), hook(4, now - 119000, true, "COM2"),
                                            call(5, now - 100000, "COM3"), other, call(7, now - 1000, "COM1")};
            QList<EventRecord> records;
            for (const QJsonObject &event : stored)
                records.append(recordOf(event));
            records.insert(1, recordOf({{"event", "CallOutcome"}, {"id", 100}, {"callId", 1}, {"outcome", "answered"},
                                        {"site", "A"}, {"portName", "COM1"}, {"at", isoAt(now - 190000)}}));
            QVERIFY2(store.append(records, &error), qPrintable(error));
        }
        SqliteStore store(path);
        QString error;
        QVERIFY2(store.open(&error), qPrintable(error));
        EventLog log(store, "A");
        log.start();
        Decisions d;
        CallOutcomes outcomes(45000, [&](const QJsonObject &event) {
            d.recorder()(event);
            log.record(event);
        });
        QList<QJsonObject> backlog;
        QVERIFY2(store.outcomeBacklog("A", 1000, &backlog, &error), qPrintable(error));
        QVERIFY(!backlog.isEmpty());
        QCOMPARE(backlog.first().value("id").toInteger(), 3); // from the oldest pending call on
        outcomes.resume(backlog);
        QCOMPARE(d.outcome.value(3), QStringLiteral("answered"));
        QCOMPARE(d.outcome.value(5), QStringLiteral("missed"));
        QVERIFY(!d.outcome.contains(1));
        QVERIFY(!d.outcome.contains(6));
        QVERIFY(!d.outcome.contains(7)); // its window goes on after the restart
        QCOMPARE(outcomes.pendingCount(), 1);

        // What the history shows, and its filter.
        const auto outcomesOf = [&](const QString &filter) {
            CallQuery query;
            query.outcome = filter;
            CallPage page;
            QString searchError;
            if (!store.findCalls(query, &page, &searchError))
                qWarning() << searchError;
            QMap<qint64, QString> out;
            for (const QJsonValue &row : std::as_const(page.calls))
                out.insert(row["id"].toInteger(), row["outcome"].toString());
            return out;
        };
        const QMap<qint64, QString> all = outcomesOf({});
        QCOMPARE(all.value(1), QStringLiteral("answered"));
        QCOMPARE(all.value(3), QStringLiteral("answered"));
        QCOMPARE(all.value(5), QStringLiteral("missed"));
        QCOMPARE(all.value(7), QStringLiteral("pending"));
        QCOMPARE(outcomesOf("missed").keys(), QList<qint64>{5});
        QCOMPARE(outcomesOf("pending").keys(), QList<qint64>({6, 7}));

        // A second decision never flips a stored one.
        log.record({{"event", "CallOutcome"}, {"callId", 3}, {"outcome", "missed"}, {"portName", "COM2"}});
        QCOMPARE(outcomesOf({}).value(3), QStringLiteral("answered"));

        // Dealt with: off the open list, with who and when; the first holds.
        log.record({{"event", "MissedDone"}, {"callId", 5}, {"by", "kim"}, {"portName", "COM3"}});
        log.record({{"event", "MissedDone"}, {"callId", 5}, {"by", "lee"}, {"portName", "COM3"}});
        QVERIFY2(!log.degraded(), qPrintable(log.lastStoreError()));
        CallStanding standing;
        QVERIFY2(store.callStanding(5, &standing, &error), qPrintable(error));
        QCOMPARE(standing.doneBy, QStringLiteral("kim"));
        QVERIFY(!standing.doneAt.isEmpty());
        qint64 open = -1;
        QVERIFY(store.countOpenMissed("A", &open, &error));
        QCOMPARE(open, 0);
    }

    void missedCallIsListedAndDoneOnceForTwoScreens()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath("com1");
        SimProcess sim({"--link", link});
        QVERIFY2(sim.start(), qPrintable(sim.lastError()));
        TavrodProcess tavrod(dir.path());
        QVERIFY(tavrod.start({"--map", "COM1=" + link, "--ring-window", "1"}));
        QTRY_VERIFY_WITH_TIMEOUT(tavrod.request("GET", "/api/ports").body.contains("\"open\":true"), 10000);
        StreamClient first(tavrod.port(), tavrod.token()), second(tavrod.port(), tavrod.token());
        QVERIFY(first.waitConnected() && second.waitConnected());
        const auto outcomeEvents = [](const StreamClient &client) {
            QList<QJsonObject> out;
            for (const QJsonObject &event : client.events) {
                if (event.value("event").toString() == u"CallOutcome")
                    out.append(event);
            }
            return out;
        };

        // Lifted: answered, and not listed.
        sim.type("call 0311112222 김철수");
        QTRY_VERIFY_WITH_TIMEOUT(tavrod.request("GET", "/api/calls?outcome=pending").json()["calls"].toArray().size() == 1,
                                 5000);
        sim.type("lift");
        QTRY_COMPARE_WITH_TIMEOUT(outcomeEvents(first).size(), 1, 5000);
        QCOMPARE(outcomeEvents(first).first().value("outcome").toString(), QStringLiteral("answered"));
        sim.type("hangup");
        // Nobody lifts: missed once the window passes, seen on both screens.
        sim.type("call 0212345678 홍길동");
        QTRY_COMPARE_WITH_TIMEOUT(outcomeEvents(second).size(), 2, 5000);
        const QJsonObject missed = outcomeEvents(first).value(1);
        QCOMPARE(missed.value("outcome").toString(), QStringLiteral("missed"));
        QVERIFY(missed.value("id").toInteger() > missed.value("callId").toInteger()); // an event of its own
        const qint64 callId = missed.value("callId").toInteger();

        const QJsonObject list = tavrod.request("GET", "/api/missed").json();
        QCOMPARE(list.value("count").toInt(), 1);
        QCOMPARE(list.value("calls").toArray().size(), 1);
        QCOMPARE(list.value("calls")[0]["id"].toInteger(), callId);
        QCOMPARE(list.value("calls")[0]["cidInfo"]["lNumber"].toString(), QStringLiteral("0212345678"));
        QCOMPARE(tavrod.request("GET", "/api/calls?outcome=answered").json()["calls"].toArray().size(), 1);
        QCOMPARE(tavrod.request("GET", "/api/calls?outcome=maybe").status, 400);

        // The first screen marks it; the second hears who did, and when.
        const QString done = QStringLiteral("/api/missed/%1/done").arg(callId);
        const HttpReply one = tavrod.request("POST", done);
        QCOMPARE(one.status, 200);
        QCOMPARE(one.json().value("by").toString(), QStringLiteral("admin"));
        const HttpReply two = tavrod.request("POST", done);
        QVERIFY2(two.status == 409, one.body + two.body);
        QCOMPARE(two.json().value("by").toString(), QStringLiteral("admin"));
        QCOMPARE(two.json().value("at").toString(), one.json().value("at").toString());
        QCOMPARE(tavrod.request("GET", "/api/missed/count").json().value("count").toInt(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(std::any_of(second.events.cbegin(), second.events.cend(), [&](const QJsonObject &e) {
            return e.value("event").toString() == u"MissedDone" && e.value("callId").toInteger() == callId;
        }), 5000);
        // Only missed calls are marked; unknown ones are not found.
        QCOMPARE(tavrod.request("POST", QStringLiteral("/api/missed/%1/done").arg(outcomeEvents(first)[0]["callId"].toInteger())).status,
                 409);
        QCOMPARE(tavrod.request("POST", "/api/missed/99999/done").status, 404);

        QCOMPARE(tavrod.request("GET", "/api/stats?by=hour").json()["buckets"][0]["missed"].toInt(), 1);
        QCOMPARE(tavrod.request("GET", "/api/stats?by=month").status, 400);

        // The export takes the history's filters.
        const HttpReply csv = tavrod.request("GET", "/api/calls/export?outcome=missed");
        QCOMPARE(csv.status, 200);
        QVERIFY(csv.body.startsWith("\xEF\xBB\xBF" + ExportApi::csvHeader()));
        const QStringList lines = QString::fromUtf8(csv.body).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 2);
        QVERIFY2(lines[1].contains(u",COM1,02-1234-5678,홍길동,,일반,부재중"_qs), qPrintable(lines[1]));
        QCOMPARE(tavrod.request("POST", "/api/missed/x/done").status, 404);
    }

    void statsCountPerBucketInLocalTimeWithTopCallers()
    {
        QTemporaryDir dir;
        SqliteStore store(dir.filePath("events.db"));
        QString error;
        QVERIFY2(store.open(&error), qPrintable(error));
        // UTC 2026-12-06 (Sunday) 23:30 is 08:30 Monday in Seoul (+9).
        const qint64 sundayNight = QDateTime(QDate(2026, 12, 6), QTime(23, 30), Qt::UTC).toMSecsSinceEpoch();
        const qint64 hour = 3600 * 1000;
        QList<EventRecord> records;
        const auto add = [&](qint64 id, qint64 atMs, const QString &number, const char *outcome) {
            QJsonObject object = call(id, atMs);
            object.insert("cidInfo", QJsonObject{{"lNumber", number}, {"lName", "이름" + number.right(1)}});
            records.append(recordOf(object));
            if (outcome)
                records.append(recordOf({{"event", "CallOutcome"}, {"id", id + 1000}, {"callId", id},
                                         {"outcome", outcome}, {"site", "A"}, {"portName", "COM1"},
                                         {"at", isoAt(atMs)}}));
        };
        add(1, sundayNight, "0211", "answered");
        add(2, sundayNight + 10 * 60000, "0211", "missed");
        add(3, sundayNight + hour, "0222", "missed");
        add(4, sundayNight + 25 * hour, "0211", nullptr); // Tuesday 09:30, pending
        QVERIFY2(store.append(records, &error), qPrintable(error));

        const auto stats = [&](const QString &by, const QString &since = {}) {
            StatsQuery query;
            query.by = by;
            query.since = since;
            query.offsetSeconds = 9 * 3600;
            QJsonObject out;
            if (!store.callStats(query, &out, &error))
                qWarning() << error;
            return out;
        };
        const QJsonArray byHour = stats("hour")["buckets"].toArray();
        QCOMPARE(byHour.size(), 2);
        QCOMPARE(byHour[0].toObject(), (QJsonObject{{"key", 8}, {"calls", 2}, {"answered", 1}, {"missed", 1}}));
        QCOMPARE(byHour[1].toObject(), (QJsonObject{{"key", 9}, {"calls", 2}, {"answered", 0}, {"missed", 1}}));
        const QJsonArray byDay = stats("day")["buckets"].toArray();
        QCOMPARE(byDay.size(), 2);
        QCOMPARE(byDay[0]["key"].toString(), QStringLiteral("2026-12-07"));
        QCOMPARE(byDay[0]["calls"].toInt(), 3);
        QCOMPARE(byDay[1]["key"].toString(), QStringLiteral("2026-12-08"));
        const QJsonArray byWeekday = stats("weekday")["buckets"].toArray();
        QCOMPARE(byWeekday[0]["key"].toInt(), 1); // Monday
        QCOMPARE(byWeekday[1]["key"].toInt(), 2);

        const QJsonArray top = stats("hour")["topCallers"].toArray();
        QCOMPARE(top[0].toObject(), (QJsonObject{{"number", "0211"}, {"name", "이름1"}, {"calls", 3}}));
        QCOMPARE(top[1]["number"].toString(), QStringLiteral("0222"));
        // A range from Monday 00:00 UTC leaves the Sunday-night calls out.
        const QJsonObject later = stats("hour", "2026-12-07T00:00:00.000Z");
        QCOMPARE(later["buckets"].toArray().size(), 1);
        QCOMPARE(later["topCallers"].toArray().size(), 2);
        QCOMPARE(later["topCallers"][0]["calls"].toInt(), 1);

        // A long range: the top callers come from the all-time candidates,
        // still counted in the range only (0211's Sunday call is outside).
        records.clear();
        const qint64 monday = QDateTime(QDate(2026, 12, 14), QTime(1, 0), Qt::UTC).toMSecsSinceEpoch();
        for (int i = 0; i < 20500; ++i)
            add(50000 + i, monday + i * 1000, QStringLiteral("03%1").arg(i, 8, 10, QChar(u'0')), nullptr);
        for (int i = 0; i < 3; ++i)
            add(90000 + i, monday + i * 1000, QStringLiteral("0211"), nullptr);
        QVERIFY2(store.append(records, &error), qPrintable(error));
        const QJsonArray busy = stats("day", "2026-12-07T00:00:00.000Z")["topCallers"].toArray();
        QCOMPARE(busy[0].toObject(), (QJsonObject{{"number", "0211"}, {"name", "이름1"}, {"calls", 4}}));
        QCOMPARE(busy.size(), 10);

        // Ranges over months: whole months from the monthly counts, each end
        // counted inside or taken away from its whole month, the same as
        // grouping every call (exactUpTo 0 or not).
        records.clear();
        int id = 95000;
        for (const char *at : {"2026-10-10T12:00:00.000Z", "2026-10-20T12:00:00.000Z", "2026-11-01T00:00:00.000Z",
                               "2026-11-30T23:59:59.999Z"})
            add(++id, QDateTime::fromString(QLatin1String(at), Qt::ISODateWithMs).toMSecsSinceEpoch(), "0211", nullptr);
        QVERIFY2(store.append(records, &error), qPrintable(error));
        const struct {
            const char *since, *until;
            int calls;
        } ranges[] = {{"2026-10-15T00:00:00.000Z", "2026-12-07T00:00:00.000Z", 5},
                      {"2026-11-01T00:00:00.000Z", "2026-12-01T00:00:00.000Z", 2},
                      {"2026-10-10T12:00:00.000Z", "2026-10-10T12:00:00.001Z", 1},
                      {"", "2026-11-15T00:00:00.000Z", 3},
                      {"2026-12-08T00:00:00.000Z", "", 4},
                      {"2026-10-20T00:00:00.000Z", "2026-11-30T12:00:00.000Z", 2},
                      {"2026-10-16T00:00:00.000Z", "2026-12-20T00:00:00.000Z", 9}};
        for (const auto &range : ranges) {
            for (const qint64 exactUpTo : {qint64(0), qint64(1000000)}) {
                StatsQuery query;
                query.since = QLatin1String(range.since);
                query.until = QLatin1String(range.until);
                query.exactUpTo = exactUpTo;
                QJsonObject out;
                QVERIFY2(store.callStats(query, &out, &error), qPrintable(error));
                QCOMPARE(out["topCallers"][0].toObject(), (QJsonObject{{"number", "0211"}, {"name", "이름1"},
                                                                       {"calls", range.calls}}));
            }
        }

        // The store keeps a bounded list of prepared statements (each offset
        // is one of its own): the 31st request fills it with a new shape of
        // top callers while its buckets are still being read.
        store.close();
        QVERIFY2(store.open(&error), qPrintable(error));
        for (int i = 0; i <= 31; ++i) {
            StatsQuery query;
            query.offsetSeconds = i * 60;
            query.exactUpTo = i == 30 ? 0 : 1000000;
            QJsonObject out;
            QVERIFY2(store.callStats(query, &out, &error), qPrintable(error));
            QCOMPARE(out["topCallers"][0]["number"].toString(), QStringLiteral("0211"));
        }
    }

    void callBackWaitsForTheHandsetThenDialsOnce()
    {
        QString digits;
        for (const auto &[typed, dialled] : {std::pair{"+82 (2) 555-1234", "025551234"},
                                             std::pair{"+82 (0)2-555-1234", "025551234"},
                                             std::pair{"02.555.1234", "025551234"},
                                             std::pair{" 010-1234-5678 ", "01012345678"}}) {
            QVERIFY(DialApi::normaliseNumber(QString::fromLatin1(typed), &digits));
            QCOMPARE(digits, QString::fromLatin1(dialled));
        }
        for (const char *refused : {"", "02-555-12a4", "123456789012345678901234567890123"})
            QVERIFY(!DialApi::normaliseNumber(QString::fromLatin1(refused), &digits));

        QTemporaryDir dir;
        const QString link = dir.filePath("com1");
        SimProcess sim({"--link", link});
        QVERIFY2(sim.start(), qPrintable(sim.lastError()));
        TavrodProcess tavrod(dir.path());
        QVERIFY(tavrod.start({"--map", "COM1=" + link}));
        QTRY_VERIFY_WITH_TIMEOUT(tavrod.request("GET", "/api/ports").body.contains("\"open\":true"), 10000);
        const QByteArray dial = R"({"portName":"COM1","number":"02-555-1234"})";
        QCOMPARE(tavrod.request("POST", "/api/dial", R"({"portName":"COM2","number":"0255"})").status, 503);
        QCOMPARE(tavrod.request("POST", "/api/dial", R"({"portName":"COM1","number":"call me"})").status, 400);

        // Down: it waits; a second dial meanwhile is refused; the lift sends it.
        HttpReply second;
        QTimer::singleShot(300, [&] {
            second = tavrod.request("POST", "/api/dial", dial);
            QVERIFY(!sim.output().contains("dialling"));
            sim.type("lift");
        });
        const HttpReply first = tavrod.request("POST", "/api/dial", dial);
        QCOMPARE(second.status, 409);
        QVERIFY2(first.status == 200, first.body);
        QCOMPARE(first.json().value("cmd").toString(), QStringLiteral("C"));
        QCOMPARE(first.json().value("value").toBool(), true);
        QVERIFY(sim.waitForOutput("dialling 025551234"));

        // Up already: at once. Put down and never lifted: nothing goes out.
        QCOMPARE(tavrod.request("POST", "/api/dial", dial).status, 200);
        sim.type("hangup");
        QTRY_VERIFY_WITH_TIMEOUT(tavrod.request("GET", "/api/events").body.contains("\"eventType\":false"), 5000);
        sim.clearLogs();
        const HttpReply never = tavrod.request("POST", "/api/dial", dial);
        QCOMPARE(never.status, 408);
        QTest::qWait(200);
        QVERIFY(!sim.output().contains("dialling"));
    }

    void exportIsSafeCsvStreamedAsTheClientReads()
    {
        QCOMPARE(ExportApi::csvCell("=HYPERLINK(\"x\")"), QStringLiteral("\"'=HYPERLINK(\"\"x\"\")\""));
        for (const char *formula : {"+1", "-2+3", "@SUM(A1)", "\tx"})
            QCOMPARE(ExportApi::csvCell(QString::fromLatin1(formula)), u'\'' + QString::fromLatin1(formula));
        QCOMPARE(ExportApi::csvCell("a,b"), QStringLiteral("\"a,b\""));
        QCOMPARE(ExportApi::csvCell("줄\n바꿈"), QStringLiteral("\"줄\n바꿈\""));
        QCOMPARE(ExportApi::csvCell(u"홍길동"_qs), u"홍길동"_qs);
        const QJsonObject row{{"at", "2026-12-07T01:00:00.000Z"}, {"site", "A"}, {"portName", "COM1"},
                              {"callState", 2}, {"outcome", "missed"},
                              {"cidInfo", QJsonObject{{"lNumber", "0212345678"}, {"lName", "=1+1"}}},
                              {"customer", QJsonObject{{"name", "김, 고객"}}}};
        const QString line = QString::fromUtf8(ExportApi::csvLine(row));
        QVERIFY2(line.endsWith(u",A,COM1,02-1234-5678,'=1+1,\"김, 고객\",통화중 수신,부재중\r\n"_qs), qPrintable(line));

        // The server pulls the body while the socket drains; a reader gets all.
        HttpServer server(HttpLimits{});
        int pulls = 0;
        server.setHandler([&](const HttpRequest &, HttpResponder responder) {
            HttpResponse response;
            response.contentType = "text/csv";
            response.stream = [&pulls]() -> QByteArray {
                return ++pulls <= 400 ? QByteArray(100000, 'x') : QByteArray();
            };
            responder.send(response);
        });
        QString error;
        QVERIFY2(server.listen(QHostAddress::LocalHost, 0, &error), qPrintable(error));
        QTcpSocket client;
        client.setReadBufferSize(64 * 1024);
        client.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(client.waitForConnected(5000));
        client.write("GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
        QByteArray answer;
        bool closed = false;
        connect(&client, &QTcpSocket::disconnected, this, [&] { closed = true; });
        // Not reading for a while: the server stops pulling, not buffering all.
        QTest::qWait(300);
        QVERIFY2(pulls < 200, qPrintable(QString::number(pulls)));
        qint64 received = 0;
        const auto take = [&] {
            const QByteArray bytes = client.readAll();
            if (answer.size() < 4096)
                answer += bytes.left(4096);
            received += bytes.size();
        };
        connect(&client, &QTcpSocket::readyRead, this, take);
        take();
        QTRY_VERIFY_WITH_TIMEOUT(closed, 20000);
        take();
        const qsizetype headerEnd = answer.indexOf("\r\n\r\n");
        QVERIFY(headerEnd > 0);
        QVERIFY(answer.left(headerEnd).contains("Transfer-Encoding: chunked"));
        // 400 chunks of 100,000 bytes ("186a0" CR LF ... CR LF), then the last chunk.
        QCOMPARE(received - headerEnd - 4, qint64(400) * (100000 + 9) + 5);
    }
};

QTEST_GUILESS_MAIN(TestOutcomes)
#include "tst_outcomes.moc"
