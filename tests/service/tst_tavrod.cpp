// tavrod end to end: the program against tavro_sim over a pty, with HTTP
// and WebSocket clients on 127.0.0.1.
#include "tavrod_rig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTcpSocket>

#include <algorithm>
#include <atomic>
#include <thread>
#include <tuple>
#include <QtTest>

#include <csignal>

namespace {

// A simulator with its line at a fixed path, and tavrod mapped to it.
struct Rig
{
    QTemporaryDir dir;
    std::unique_ptr<SimProcess> sim;
    TavrodProcess tavrod {dir.path()};

    QString link() const { return dir.filePath("com1"); }
    bool startSim()
    {
        sim = std::make_unique<SimProcess>(QStringList{"--link", link()});
        return sim->start();
    }
    bool startService(const QStringList &extra = {})
    {
        return tavrod.start(QStringList{"--map", "COM1=" + link()} + extra);
    }
    bool portOpen()
    {
        const QJsonArray ports = tavrod.request("GET", "/api/ports").json().value("ports").toArray();
        return !ports.isEmpty() && ports.first().toObject().value("open").toBool();
    }
};

QList<QJsonObject> ofKind(const QList<QJsonObject> &events, const QString &kind)
{
    QList<QJsonObject> out;
    for (const QJsonObject &event : events) {
        if (event.value("event").toString() == kind)
            out.append(event);
    }
    return out;
}

QList<qint64> idsOf(const QList<QJsonObject> &events)
{
    QList<qint64> ids;
    for (const QJsonObject &event : events)
        ids.append(event.value("id").toInteger());
    return ids;
}

} // namespace

class TestTavrod : public QObject
{
    Q_OBJECT

private slots:
    void waitUntilEndsAtItsDeadlineWhenNothingHappens()
    {
        // The waits of these suites must end by themselves even when no
        // event comes; a helper thread would rescue a stuck one, and says so.
        std::atomic<bool> rescued {false}, finished {false};
        std::thread rescuer([&] {
            for (int i = 0; i < 300 && !finished; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            while (!finished) {
                rescued = true;
                QMetaObject::invokeMethod(qApp, [] {}, Qt::QueuedConnection);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < 40; ++i)
            waitUntil([] { return false; }, 19 + i % 7);
        finished = true;
        rescuer.join();
        QVERIFY(!rescued);
        QVERIFY(clock.elapsed() < 3000);
    }

    void callIsStoredStreamedFoundAndCommandsGoThrough()
    {
        Rig rig;
        QVERIFY2(rig.startSim(), qPrintable(rig.sim->lastError()));
        QVERIFY2(rig.startService(), qPrintable(rig.tavrod.errors()));
        QVERIFY(waitUntil([&] { return rig.portOpen(); }, 5000));

        StreamClient stream(rig.tavrod.port(), rig.tavrod.token());
        QVERIFY(stream.waitConnected());
        StreamClient debug(rig.tavrod.port(), rig.tavrod.token(), "debug=1");
        QVERIFY(debug.waitConnected());
        rig.sim->type(u"call 0212345678 홍길동 3 S"_qs);
        QVERIFY(waitUntil([&] { return !ofKind(stream.events, "ReceiveCall").isEmpty(); }, 5000));
        const QJsonObject event = ofKind(stream.events, "ReceiveCall").first();
        QVERIFY(event.value("id").toInteger() > 0);
        QCOMPARE(event.value("site").toString(), QStringLiteral("test"));
        QVERIFY(event.value("at").toString().endsWith('Z'));
        QCOMPARE(event.value("portName").toString(), QStringLiteral("COM1"));
        QCOMPARE(event.value("callState").toInt(), 1);
        const QJsonObject info = event.value("cidInfo").toObject();
        QCOMPARE(info.value("lNumber").toString(), QStringLiteral("0212345678"));
        QCOMPARE(info.value("lName").toString(), u"홍길동"_qs);
        QCOMPARE(info.value("lGroup").toInt(), 3);

        // Diagnostics only for the client that asked, and never numbered.
        QVERIFY(waitUntil([&] { return !ofKind(debug.events, "ReceiveCall").isEmpty(); }, 5000));
        QVERIFY(!ofKind(debug.events, "ReceiveReal").isEmpty());
        QVERIFY(!ofKind(debug.events, "DebugMsg").isEmpty());
        QVERIFY(!ofKind(debug.events, "DebugMsg").first().contains("id"));
        QVERIFY(ofKind(stream.events, "DebugMsg").isEmpty());
        QVERIFY(ofKind(stream.events, "ReceiveReal").isEmpty());

        // Found by digits and by two syllables, as the same stored call.
        for (const QString &q : {QStringLiteral("2345"), u"길동"_qs}) {
            const HttpReply reply = rig.tavrod.request("GET", "/api/calls?q=" + q);
            QCOMPARE(reply.status, 200);
            const QJsonArray calls = reply.json().value("calls").toArray();
            QCOMPARE(calls.size(), 1);
            QCOMPARE(calls.first().toObject().value("id"), event.value("id"));
            QCOMPARE(calls.first().toObject().value("cidInfo").toObject(), info);
            QVERIFY(reply.json().value("next").isNull());
        }
        QCOMPARE(rig.tavrod.request("GET", "/api/calls?q=9999").json().value("calls").toArray().size(), 0);
        QCOMPARE(rig.tavrod.request("GET", "/api/calls?port=COM2").json().value("calls").toArray().size(), 0);
        QCOMPARE(rig.tavrod.request("GET", "/api/calls?limit=0").status, 400);
        QCOMPARE(rig.tavrod.request("GET", "/api/calls?since=yesterday").status, 400);

        // SendCmd through the API: the bridge's answer, then the terminal's.
        const HttpReply answer =
            rig.tavrod.request("POST", "/api/call", R"({"call":"SendCmd","portName":"COM1","cmd":"t","para1":"0"})");
        QCOMPARE(answer.status, 200);
        QCOMPARE(answer.json().value("result").toString(), QStringLiteral("SendCmd"));
        QCOMPARE(answer.json().value("value").toBool(), true);
        QVERIFY(waitUntil([&] { return !ofKind(stream.events, "ReceiveResponse").isEmpty(); }, 5000));
        QCOMPARE(ofKind(stream.events, "ReceiveResponse").first().value("msgType").toInt(), 116);

        const HttpReply unknown = rig.tavrod.request("POST", "/api/call", R"({"call":"Format"})");
        QCOMPARE(unknown.status, 200);
        QVERIFY(unknown.json().value("error").toString().contains("Format"));
        QCOMPARE(rig.tavrod.request("POST", "/api/call", "{\"call\":").status, 400);
        QCOMPARE(rig.tavrod.request("POST", "/api/call", "[1]").status, 400);
        QCOMPARE(rig.tavrod.request("GET", "/api/call").status, 405);

        // What the stream showed is what the store holds.
        QList<QJsonObject> stored = rig.tavrod.storedEvents();
        while (!stored.isEmpty() && stored.first().value("id") != stream.events.first().value("id"))
            stored.removeFirst(); // the port opened before the client came
        QCOMPARE(idsOf(stored), idsOf(stream.events));
        QCOMPARE(stored, stream.events);

        QCOMPARE(rig.tavrod.request("GET", "/healthz", {}, "").json().value("status").toString(), QStringLiteral("ok"));
        const QByteArray metrics = rig.tavrod.request("GET", "/metrics", {}, "").body;
        QVERIFY(metrics.contains("tavrod_calls_total 1\n"));
        QVERIFY(metrics.contains("tavrod_ports_open 1\n"));

        // SIGTERM: ports closed, status 0.
        QVERIFY(rig.tavrod.stop(SIGTERM));
        QCOMPARE(rig.tavrod.exitStatus(), QProcess::NormalExit);
        QCOMPARE(rig.tavrod.exitCode(), 0);
        QVERIFY(rig.tavrod.errors().contains("COM1 closed"));
    }

    void callsWaitInOneBoundedQueueWithoutStoppingTheRest()
    {
        Rig rig;
        QVERIFY(rig.startSim());
        QVERIFY(rig.startService());
        QVERIFY(waitUntil([&] { return rig.portOpen(); }, 5000));
        StreamClient stream(rig.tavrod.port(), rig.tavrod.token());
        QVERIFY(stream.waitConnected());
        rig.sim->type("silence on"); // "[" goes unanswered: SendCmd waits its 5.5 s
        QVERIFY(rig.sim->waitForOutput("silence on:"));

        // Each request on its own connection, all in flight at once.
        struct Pending
        {
            std::unique_ptr<QTcpSocket> socket = std::make_unique<QTcpSocket>();
            QByteArray answer;
        };
        std::vector<Pending> pending(66);
        auto post = [&](Pending &p, const QByteArray &body) {
            p.socket->connectToHost(QHostAddress::LocalHost, rig.tavrod.port());
            QVERIFY(p.socket->waitForConnected(5000));
            connect(p.socket.get(), &QTcpSocket::readyRead, p.socket.get(), [&p] { p.answer += p.socket->readAll(); });
            p.socket->write("POST /api/call HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + rig.tavrod.token()
                            + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
            p.socket->flush();
        };
        post(pending[0], R"({"call":"SendCmd","portName":"COM1","cmd":"t","para1":"0"})");
        QVERIFY(rig.sim->waitForOutput("host [: not answered"));
        for (int i = 1; i <= 64; ++i)
            post(pending[size_t(i)], QStringLiteral(R"({"call":"ComPortStateGet","portName":"COM1","id":%1})").arg(i).toUtf8());
        // The running call and 64 waiting ones.
        QByteArray metrics;
        QVERIFY2(waitUntil([&] {
            metrics = rig.tavrod.request("GET", "/metrics", {}, "").body;
            return metrics.contains("tavrod_api_calls_pending 65\n");
        }, 10000), metrics.constData());
        post(pending[65], R"({"call":"GetCurrentErrorMsg"})");

        // The 65th waiting call finds the queue full at once.
        QVERIFY(waitUntil([&] { return !pending[65].answer.isEmpty(); }, 5000));
        QVERIFY2(pending[65].answer.startsWith("HTTP/1.1 503 "), pending[65].answer.constData());
        // Meanwhile other requests, the link and the stream go on.
        QElapsedTimer quick;
        quick.start();
        QCOMPARE(rig.tavrod.request("GET", "/healthz").status, 200);
        QVERIFY(quick.elapsed() < 2000);
        rig.sim->type("call 0212345678");
        QVERIFY(waitUntil([&] { return !ofKind(stream.events, "ReceiveCall").isEmpty(); }, 3000));
        QVERIFY(pending[1].answer.isEmpty()); // still waiting its turn

        // Then everything is answered, in order: the SendCmd first (false).
        QVERIFY(waitUntil([&] { return !pending[64].answer.isEmpty(); }, 10000));
        QVERIFY(pending[0].answer.contains(R"("value":false)"));
        for (int i = 1; i <= 64; ++i)
            QVERIFY(pending[size_t(i)].answer.contains(QStringLiteral(R"("id":%1)").arg(i).toUtf8()));
    }

    void endsAtOnceOnSigtermWhileACommandWaits()
    {
        Rig rig;
        QVERIFY(rig.startSim());
        QVERIFY(rig.startService());
        QVERIFY(waitUntil([&] { return rig.portOpen(); }, 5000));
        rig.sim->type("silence on");
        QVERIFY(rig.sim->waitForOutput("silence on:"));
        QTcpSocket running, waiting;
        QByteArray runningAnswer, waitingAnswer;
        for (auto [socket, answer, body] :
             {std::tuple{&running, &runningAnswer, QByteArray(R"({"call":"SendCmd","portName":"COM1","cmd":"t","para1":"0"})")},
              std::tuple{&waiting, &waitingAnswer, QByteArray(R"({"call":"GetCurrentErrorMsg"})")}}) {
            socket->connectToHost(QHostAddress::LocalHost, rig.tavrod.port());
            QVERIFY(socket->waitForConnected(5000));
            connect(socket, &QTcpSocket::readyRead, socket, [socket, answer] { *answer += socket->readAll(); });
            socket->write("POST /api/call HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + rig.tavrod.token()
                          + "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body);
            QVERIFY(socket->waitForBytesWritten(5000));
            if (socket == &running)
                QVERIFY(rig.sim->waitForOutput("not answered"));
        }
        QVERIFY(waitUntil([&] {
            return rig.tavrod.request("GET", "/metrics", {}, "").body.contains("tavrod_api_calls_pending 2\n");
        }, 3000));

        // Well before the 5.5 s wait would end: ports closed, status 0, and
        // the waiting caller told why.
        QElapsedTimer clock;
        clock.start();
        QVERIFY(rig.tavrod.stop(SIGTERM, 5000));
        QVERIFY(clock.elapsed() < 3000);
        QCOMPARE(rig.tavrod.exitStatus(), QProcess::NormalExit);
        QCOMPARE(rig.tavrod.exitCode(), 0);
        QVERIFY(rig.tavrod.errors().contains("COM1 closed"));
        waitUntil([&] { return waitingAnswer.contains("stopping"); }, 1000);
        QVERIFY2(waitingAnswer.contains("the service is stopping"),
                 qPrintable(QString::fromUtf8(waitingAnswer + runningAnswer) + rig.tavrod.errors()));
    }

    void refusesWhatItMust()
    {
        Rig rig;
        QVERIFY2(rig.startService(), qPrintable(rig.tavrod.errors()));
        const QByteArray token = rig.tavrod.token();
        QVERIFY(!token.isEmpty());
        QVERIFY(!rig.tavrod.errors().contains(QString::fromLatin1(token))); // the path is logged, not the token

        for (const QByteArray &bad : {QByteArray(""), QByteArray("wrong"), token + "x"}) {
            for (const char *path : {"/api/calls", "/api/events", "/api/ports", "/api/nothing"}) {
                const HttpReply reply = rig.tavrod.request("GET", path, {}, bad);
                QCOMPARE(reply.status, 401);
                QVERIFY(reply.json().contains("error"));
            }
            QCOMPARE(rig.tavrod.request("POST", "/api/call", R"({"call":"GetCurrentErrorMsg"})", bad).status, 401);
        }
        QCOMPARE(rig.tavrod.request("GET", "/nothing").status, 404);
        QCOMPARE(rig.tavrod.request("GET", "/api/stream").status, 426);

        // WebSocket: no token, a foreign origin, and the service's own origin.
        StreamClient noToken(rig.tavrod.port(), "");
        QVERIFY(!noToken.waitConnected());
        StreamClient foreign(rig.tavrod.port(), token, {}, "http://evil.example");
        QVERIFY(!foreign.waitConnected());
        StreamClient own(rig.tavrod.port(), token, {}, QStringLiteral("http://127.0.0.1:%1").arg(rig.tavrod.port()));
        QVERIFY(own.waitConnected());
        const QByteArray refused = rig.tavrod.raw(
            "GET /api/stream HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
            "Origin: http://evil.example\r\nAuthorization: Bearer " + token + "\r\n\r\n");
        QVERIFY2(refused.startsWith("HTTP/1.1 403 "), refused.constData());

        // Malformed and oversized requests: a JSON 4xx and the service lives on.
        const struct {
            QByteArray bytes;
            const char *status;
        } bad[] = {
            {"NONSENSE\r\n\r\n", "400"},
            {"GET /healthz HTTP/1.1\r\nX: " + QByteArray(20000, 'a') + "\r\n\r\n", "431"},
            {"POST /api/call HTTP/1.1\r\nContent-Length: 70000\r\n\r\n", "413"},
            {"POST /api/call HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", "501"},
        };
        for (const auto &request : bad) {
            const QByteArray answer = rig.tavrod.raw(request.bytes);
            QVERIFY2(answer.startsWith("HTTP/1.1 " + QByteArray(request.status)), answer.left(80).constData());
            QVERIFY(answer.contains("{\"error\":"));
        }
        QCOMPARE(rig.tavrod.request("GET", "/healthz").status, 200);
    }

    void refusesANonLoopbackAddressWithoutAnExplicitTokenFile()
    {
        QProcess process;
        process.start(TAVROD_PATH, {"--listen", "0.0.0.0:0", "--db", "/nonexistent/x.db"});
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitCode(), 2);
        QVERIFY(process.readAllStandardError().contains("--token-file"));
    }

    void reconnectWithAfterLosesNothing()
    {
        Rig rig;
        QVERIFY(rig.startSim());
        QVERIFY(rig.startService());
        QVERIFY(waitUntil([&] { return rig.portOpen(); }, 5000));

        auto first = std::make_unique<StreamClient>(rig.tavrod.port(), rig.tavrod.token());
        QVERIFY(first->waitConnected());
        rig.sim->type("call 0101");
        QVERIFY(first->waitEvents(1));
        const qint64 seen = first->events.last().value("id").toInteger();
        first.reset(); // the client goes away

        for (int i = 0; i < 5; ++i)
            rig.sim->type(QStringLiteral("call 020%1").arg(i));
        QVERIFY(waitUntil([&] {
            return rig.tavrod.request("GET", "/api/calls").json().value("calls").toArray().size() == 6;
        }, 5000));

        StreamClient again(rig.tavrod.port(), rig.tavrod.token(), QStringLiteral("after=%1").arg(seen));
        QVERIFY(again.waitConnected());
        // Each call on the port decides the one before it (missed): an event each.
        QVERIFY(again.waitEvents(10));
        rig.sim->type("call 0399");
        QVERIFY(again.waitEvents(12));
        QTest::qWait(200); // nothing more may come: no duplicate
        QCOMPARE(again.events.size(), 12);
        const QList<qint64> ids = idsOf(again.events);
        for (int i = 0; i < ids.size(); ++i)
            QCOMPARE(ids[i], seen + 1 + i);
        const QList<QJsonObject> calls = ofKind(again.events, "ReceiveCall");
        QCOMPARE(calls.size(), 6);
        QCOMPARE(calls.last().value("cidInfo").toObject().value("lNumber").toString(), QStringLiteral("0399"));
    }

    void reopensAfterUnplugAndReplug()
    {
        Rig rig;
        // Absent at start: it waits for the device instead of giving up.
        QVERIFY(rig.startService());
        QVERIFY(!rig.portOpen());
        QVERIFY(rig.startSim());
        QVERIFY(waitUntil([&] { return rig.portOpen(); }, 5000));

        StreamClient stream(rig.tavrod.port(), rig.tavrod.token());
        QVERIFY(stream.waitConnected());
        QVERIFY(rig.sim->stop(SIGTERM)); // the line vanishes
        QVERIFY(waitUntil([&] { return !rig.portOpen(); }, 5000));
        QVERIFY(waitUntil([&] { return !ofKind(stream.events, "PortState").isEmpty(); }, 5000));
        QCOMPARE(ofKind(stream.events, "PortState").last().value("open").toBool(), false);

        QVERIFY(rig.startSim());
        QVERIFY(waitUntil([&] { return rig.portOpen(); }, 5000));
        QVERIFY(waitUntil([&] { return ofKind(stream.events, "PortState").size() >= 2; }, 5000));
        QCOMPARE(ofKind(stream.events, "PortState").last().value("open").toBool(), true);
        rig.sim->type("call 0212345678");
        QVERIFY(waitUntil([&] { return !ofKind(stream.events, "ReceiveCall").isEmpty(); }, 5000));
        // One line per change, not one per check.
        QCOMPARE(rig.tavrod.errors().count("COM1 opened"), 2);
    }

    void hooksRunForEveryStoredCall()
    {
        Rig rig;
        // Hooks run side by side, so each call goes to a file of its own.
        const QString out = rig.dir.filePath("hooks");
        QVERIFY(QDir().mkpath(out));
        QVERIFY(rig.startSim());
        QVERIFY(rig.startService({"--on-call", QStringLiteral("/bin/sh -c \"cat > $(mktemp '%1/call.XXXXXX')\"").arg(out),
                                  "--on-call", "/bin/false", "--on-call", "/bin/sleep 30", "--hook-timeout", "1"}));
        QVERIFY(waitUntil([&] { return rig.portOpen(); }, 5000));
        rig.sim->type(u"call 0212345678 홍길동"_qs);
        rig.sim->type("call 0319998888");

        // The first command got each call's JSON on its standard input.
        QList<QJsonObject> calls;
        QVERIFY(waitUntil([&] {
            calls.clear();
            for (const QFileInfo &entry : QDir(out).entryInfoList(QDir::Files)) {
                QFile file(entry.filePath());
                if (file.open(QIODevice::ReadOnly)) {
                    const QJsonObject call = QJsonDocument::fromJson(file.readAll()).object();
                    if (!call.isEmpty())
                        calls.append(call);
                }
            }
            return calls.size() == 2;
        }, 5000));
        std::sort(calls.begin(), calls.end(), [](const QJsonObject &a, const QJsonObject &b) {
            return a.value("id").toInteger() < b.value("id").toInteger();
        });
        QCOMPARE(calls[0].value("cidInfo").toObject().value("lName").toString(), u"홍길동"_qs);
        QCOMPARE(calls[1].value("cidInfo").toObject().value("lNumber").toString(), QStringLiteral("0319998888"));
        QVERIFY(calls[0].value("id").toInteger() > 0);

        // Failures and the time limit are logged and counted, the service goes on.
        QVERIFY(rig.tavrod.waitForErrors("exit status 1"));
        QVERIFY(rig.tavrod.waitForErrors("killed", 5000));
        QVERIFY(waitUntil([&] {
            return rig.tavrod.request("GET", "/metrics", {}, "").body.contains("tavrod_hooks_total{result=\"failed\"} 4");
        }, 5000));
        QCOMPARE(rig.tavrod.request("GET", "/healthz").status, 200);
    }

    void whatAClientSawSurvivesAKill()
    {
        Rig rig;
        QVERIFY(rig.startSim());
        QVERIFY(rig.startService());
        QVERIFY(waitUntil([&] { return rig.portOpen(); }, 5000));
        StreamClient stream(rig.tavrod.port(), rig.tavrod.token());
        QVERIFY(stream.waitConnected());

        QString burst;
        for (int i = 0; i < 300; ++i)
            burst += QStringLiteral("call 02%1 이름%2\n").arg(100000 + i).arg(i);
        burst.chop(1);
        rig.sim->type(burst);
        QVERIFY(waitUntil([&] { return stream.events.size() >= 40; }, 10000));
        QVERIFY(rig.tavrod.stop(SIGKILL));
        QVERIFY(stream.waitClosed());
        const QList<QJsonObject> seen = stream.events;
        QVERIFY(!seen.isEmpty());

        QVERIFY2(rig.startService(), qPrintable(rig.tavrod.errors()));
        const QList<QJsonObject> stored = rig.tavrod.storedEvents();
        QSet<qint64> storedIds;
        for (const QJsonObject &event : stored)
            storedIds.insert(event.value("id").toInteger());
        for (const QJsonObject &event : seen)
            QVERIFY2(storedIds.contains(event.value("id").toInteger()), QJsonDocument(event).toJson().constData());
        // Numbering goes on after the restart, never reusing an id.
        QVERIFY(waitUntil([&] { return rig.portOpen(); }, 5000));
        rig.sim->type("call 0999");
        QVERIFY(waitUntil([&] {
            return rig.tavrod.request("GET", "/api/calls?q=0999").json().value("calls").toArray().size() == 1;
        }, 5000));
        const qint64 newId = rig.tavrod.request("GET", "/api/calls?q=0999").json()["calls"][0]["id"].toInteger();
        QVERIFY(newId > stored.last().value("id").toInteger() - 1);
        QCOMPARE(ofKind(rig.tavrod.storedEvents(), "ReceiveCall").last().value("id").toInteger(), newId);
    }
};

QTEST_GUILESS_MAIN(TestTavrod)
#include "tst_tavrod.moc"
