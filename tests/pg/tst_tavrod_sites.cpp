// Several tavrod sites on one PostgreSQL server that the suite starts itself,
// each with its own tavro_sim: calls of every site at every site, and an
// outage of the server during a burst of calls.
#include "pg_server.h"
#include "tavrod_rig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {

struct Site
{
    QString name;
    QTemporaryDir dir {};
    std::unique_ptr<SimProcess> sim {};
    TavrodProcess tavrod {dir.path()};

    bool start(const QString &url, bool withSim, const QStringList &more = {})
    {
        QStringList extra = QStringList{"--db", url, "--site", name, "--spool", dir.filePath("spool.db")} + more;
        if (withSim) {
            sim = std::make_unique<SimProcess>(QStringList{"--link", dir.filePath("com1"), "--quiet"});
            if (!sim->start())
                return false;
            extra << "--map" << "COM1=" + dir.filePath("com1");
        }
        return tavrod.start(extra);
    }
    QJsonObject health() { return tavrod.request("GET", "/healthz", {}, "").json(); }
};

QList<QJsonObject> calls(const QList<QJsonObject> &events, const QString &site = {})
{
    QList<QJsonObject> out;
    for (const QJsonObject &event : events) {
        if (event.value("event").toString() == u"ReceiveCall" && (site.isEmpty() || event.value("site").toString() == site))
            out.append(event);
    }
    return out;
}

QStringList numbers(const QList<QJsonObject> &events)
{
    QStringList out;
    for (const QJsonObject &event : events)
        out.append(event.value("cidInfo").toObject().value("lNumber").toString());
    return out;
}

} // namespace

class TestTavrodSites : public QObject
{
    Q_OBJECT

    PgServer m_server;

    QString database(const QString &name)
    {
        QString error;
        const QString url = m_server.createDatabase(name, &error);
        if (url.isEmpty())
            qWarning("%s", qPrintable(error));
        return url;
    }

private slots:
    void initTestCase()
    {
        if (PgServer::binDir().isEmpty())
            QSKIP("PostgreSQL is not installed (scripts/deps.sh installs postgresql-15)");
        QString error;
        QVERIFY2(m_server.start(&error), qPrintable(error));
    }

    void everySiteSeesEveryCallOnce()
    {
        const QString url = database("everysite");
        Site a{"A"}, b{"B"}, c{"C"};
        const QString hookOut = a.dir.filePath("hook.out");
        QVERIFY2(a.start(url, true, {"--on-call", QStringLiteral("/bin/sh -c \"cat >> '%1'; echo >> '%1'\"").arg(hookOut)}),
                 qPrintable(a.tavrod.errors()));
        QVERIFY2(b.start(url, true), qPrintable(b.tavrod.errors()));
        QVERIFY2(c.start(url, false), qPrintable(c.tavrod.errors()));
        std::vector<std::unique_ptr<StreamClient>> streams;
        for (Site *site : {&a, &b, &c}) {
            streams.push_back(std::make_unique<StreamClient>(site->tavrod.port(), site->tavrod.token()));
            QVERIFY(streams.back()->waitConnected());
        }
        StreamClient onlyA(c.tavrod.port(), c.tavrod.token(), "site=A");
        QVERIFY(onlyA.waitConnected());

        a.sim->type(u"call 0211112222 홍길동 1 S"_qs);
        QVERIFY(waitUntil([&] { return calls(streams[1]->events).size() == 1; }, 5000));
        b.sim->type(u"call 0333334444 김영희 2 S"_qs);
        for (auto &stream : streams)
            QVERIFY(waitUntil([&] { return calls(stream->events).size() >= 2; }, 5000));
        QTest::qWait(300); // room for a duplicate to show up

        // The same two calls, with the same shared ids, once at every site.
        const QList<QJsonObject> reference = calls(streams[0]->events);
        QCOMPARE(numbers(reference), (QStringList{"0211112222", "0333334444"}));
        QCOMPARE(reference.at(0).value("site").toString(), QStringLiteral("A"));
        QCOMPARE(reference.at(1).value("site").toString(), QStringLiteral("B"));
        QVERIFY(reference.at(1).value("id").toInteger() > reference.at(0).value("id").toInteger());
        for (auto &stream : streams)
            QCOMPARE(calls(stream->events), reference);

        // A's hook ran for A's call only, with the shared id.
        QList<QJsonObject> hooked;
        QVERIFY(waitUntil([&] {
            QFile file(hookOut);
            hooked.clear();
            if (file.open(QIODevice::ReadOnly)) {
                for (const QByteArray &line : file.readAll().split('\n')) {
                    if (!line.trimmed().isEmpty())
                        hooked.append(QJsonDocument::fromJson(line).object());
                }
            }
            return !hooked.isEmpty();
        }, 5000));
        QTest::qWait(200);
        QCOMPARE(hooked.size(), 1);
        QCOMPARE(hooked.first().value("id"), reference.at(0).value("id"));
        QCOMPARE(hooked.first().value("site").toString(), QStringLiteral("A"));

        // History at any site covers every site; site= narrows it.
        const HttpReply found = c.tavrod.request("GET", u"/api/calls?q=길동"_qs);
        QCOMPARE(found.status, 200);
        const QJsonArray foundCalls = found.json().value("calls").toArray();
        QCOMPARE(foundCalls.size(), 1);
        QCOMPARE(foundCalls.first().toObject().value("id"), reference.at(0).value("id"));
        QCOMPARE(c.tavrod.request("GET", "/api/calls?q=3333").json().value("calls").toArray().size(), 1);
        const QJsonArray onlyB = a.tavrod.request("GET", "/api/calls?site=B").json().value("calls").toArray();
        QCOMPARE(onlyB.size(), 1);
        QCOMPARE(onlyB.first().toObject().value("site").toString(), QStringLiteral("B"));
        QCOMPARE(calls(b.tavrod.storedEvents()), reference);

        // site= narrows the stream, live and replayed.
        QCOMPARE(numbers(calls(onlyA.events)), QStringList{"0211112222"});
        StreamClient replayB(a.tavrod.port(), a.tavrod.token(), "after=0&site=B");
        QVERIFY(replayB.waitConnected());
        QVERIFY(waitUntil([&] { return !calls(replayB.events).isEmpty(); }, 5000));
        QTest::qWait(200);
        for (const QJsonObject &event : replayB.events)
            QCOMPARE(event.value("site").toString(), QStringLiteral("B"));
        QCOMPARE(numbers(calls(replayB.events)), QStringList{"0333334444"});

        // A client that comes back with after= gets the stored events, then live.
        StreamClient replay(c.tavrod.port(), c.tavrod.token(),
                            QStringLiteral("after=%1").arg(reference.at(0).value("id").toInteger() - 1));
        QVERIFY(replay.waitConnected());
        QVERIFY(waitUntil([&] { return calls(replay.events).size() >= 2; }, 5000));
        a.sim->type(u"call 0255556666 박민수 1 S"_qs);
        QVERIFY(waitUntil([&] { return calls(replay.events).size() >= 3; }, 5000));
        QTest::qWait(300);
        QCOMPARE(numbers(calls(replay.events)), (QStringList{"0211112222", "0333334444", "0255556666"}));
        const QJsonObject health = c.health();
        QCOMPARE(health.value("status").toString(), QStringLiteral("ok"));
        // lastId is in the stream's numbering, so after=lastId misses nothing.
        QCOMPARE(health.value("lastId").toInteger(), replay.events.last().value("id").toInteger());
    }

    void serverOutageDuringABurstLosesNothingAndStoresEachCallOnce()
    {
        const QString url = database("outage");
        Site a{"A"}, b{"B"};
        QVERIFY2(a.start(url, true), qPrintable(a.tavrod.errors()));
        QVERIFY2(b.start(url, true), qPrintable(b.tavrod.errors()));
        StreamClient streamA(a.tavrod.port(), a.tavrod.token());
        StreamClient streamB(b.tavrod.port(), b.tavrod.token());
        QVERIFY(streamA.waitConnected());
        QVERIFY(streamB.waitConnected());

        constexpr int perSite = 30;
        QStringList typedA, typedB;
        QString error;
        bool degradedSeen = false;
        for (int i = 0; i < perSite; ++i) {
            typedA << QStringLiteral("02100%1").arg(i, 5, 10, QChar(u'0'));
            typedB << QStringLiteral("03100%1").arg(i, 5, 10, QChar(u'0'));
            a.sim->type(QStringLiteral("call %1 가나다 1 S").arg(typedA.last()));
            b.sim->type(QStringLiteral("call %1 라마바 1 S").arg(typedB.last()));
            QTest::qWait(20);
            if (i == perSite / 3)
                QVERIFY2(m_server.stop(&error), qPrintable(error));
            if (i == 2 * perSite / 3) {
                // While it is down: degraded, and the site's own calls still stream.
                QVERIFY(waitUntil([&] { return calls(streamA.events, "A").size() == i + 1; }, 5000));
                degradedSeen = a.health().value("status").toString() == u"degraded";
            }
        }
        QVERIFY(degradedSeen);
        QVERIFY(waitUntil([&] { return calls(streamA.events, "A").size() == perSite; }, 5000));
        QVERIFY(a.health().value("spooledEvents").toInteger() > 0);
        QCOMPARE(a.tavrod.request("GET", "/api/calls").status, 503); // history needs the database

        QVERIFY2(m_server.start(&error), qPrintable(error));
        for (Site *site : {&a, &b}) {
            QVERIFY2(waitUntil([&] {
                const QJsonObject health = site->health();
                return health.value("status").toString() == u"ok" && health.value("spooledEvents").toInteger() == 0;
            }, 20000), qPrintable(site->tavrod.errors()));
        }

        // In the shared log: every call once, in the order typed, per site.
        const QList<QJsonObject> stored = b.tavrod.storedEvents();
        QCOMPARE(numbers(calls(stored, "A")), typedA);
        QCOMPARE(numbers(calls(stored, "B")), typedB);
        qint64 lastId = 0;
        for (const QJsonObject &event : stored) {
            QVERIFY(event.value("id").toInteger() > lastId);
            lastId = event.value("id").toInteger();
        }

        // Each live client: its own site's calls once (as they happened), the
        // other site's once, after the database was back.
        QVERIFY(waitUntil([&] { return calls(streamA.events).size() >= 2 * perSite; }, 5000));
        QVERIFY(waitUntil([&] { return calls(streamB.events).size() >= 2 * perSite; }, 5000));
        QTest::qWait(300);
        QCOMPARE(numbers(calls(streamA.events, "A")), typedA);
        QCOMPARE(numbers(calls(streamA.events, "B")), typedB);
        QCOMPARE(numbers(calls(streamB.events, "A")), typedA);
        QCOMPARE(numbers(calls(streamB.events, "B")), typedB);
        QVERIFY(calls(streamA.events, "A").last().contains("localId"));
    }

    void cleanupTestCase()
    {
        m_server.stop();
    }
};

QTEST_MAIN(TestTavrodSites)
#include "tst_tavrod_sites.moc"
