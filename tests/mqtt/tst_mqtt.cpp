// tavrod publishing to a real mosquitto broker (127.0.0.1, a free port, a
// configuration of its own in a temporary folder), watched by mosquitto_sub;
// the terminal is played on a pty. Skipped where mosquitto is not installed.
#include "codec.h"
#include "mqtt_publisher.h"
#include "pg_server.h"
#include "pty_pair.h"
#include "tavrod_rig.h"
#include "wait_until.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSet>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <unistd.h>

namespace {

QString tool(const QString &name)
{
    return QStandardPaths::findExecutable(name, {"/usr/sbin", "/usr/bin", "/usr/local/sbin", "/usr/local/bin"});
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

class Broker
{
public:
    Broker(const QString &folder, const QString &extra = {})
        : m_folder(folder)
        , port(freePort())
    {
        QFile config(folder + "/mosquitto.conf");
        config.open(QIODevice::WriteOnly);
        config.write(QStringLiteral("listener %1 127.0.0.1\npersistence true\npersistence_location %2/\n"
                                    "log_dest file %2/broker.log\nmax_queued_messages 0\n%3")
                         .arg(port)
                         .arg(folder)
                         // As root it would become the user "mosquitto", who cannot
                         // write the temporary folder.
                         .arg(::geteuid() == 0 ? "user root\n" : "")
                         .toUtf8()
                     + (extra.isEmpty() ? QByteArray("allow_anonymous true\n") : extra.toUtf8()));
    }
    ~Broker() { stop(); }
    bool start()
    {
        m_process.start(tool("mosquitto"), {"-c", m_folder + "/mosquitto.conf"});
        return m_process.waitForStarted(5000) && waitUntil([&] {
                   QTcpSocket probe;
                   probe.connectToHost(QHostAddress::LocalHost, port);
                   return probe.waitForConnected(200);
               }, 10000);
    }
    // SIGTERM: the broker writes its sessions and queues to disk.
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(10000))
            m_process.kill();
    }
    QString log() const
    {
        QFile file(m_folder + "/broker.log");
        file.open(QIODevice::ReadOnly);
        return QString::fromUtf8(file.readAll());
    }

private:
    QString m_folder;
    QProcess m_process;

public:
    const quint16 port;
};

struct Message
{
    bool retained = false;
    QString topic;
    QByteArray payload;
};

// mosquitto_sub printing "RETAIN TOPIC PAYLOAD" per message (the JSON is one line).
class Subscriber
{
public:
    Subscriber(quint16 port, const QStringList &topics, const QStringList &extra = {})
    {
        QStringList arguments{"-h", "127.0.0.1", "-p", QString::number(port), "-q", "1", "-F", "%r %t %p"};
        for (const QString &topic : topics)
            arguments << "-t" << topic;
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process, [this] {
            m_buffer += m_process.readAllStandardOutput();
            qsizetype end;
            while ((end = m_buffer.indexOf('\n')) >= 0) {
                const QByteArray line = m_buffer.left(end);
                m_buffer.remove(0, end + 1);
                const QList<QByteArray> parts = line.split(' ');
                messages.append({parts.value(0) == "1", QString::fromUtf8(parts.value(1)),
                                 line.mid(parts.value(0).size() + parts.value(1).size() + 2)});
            }
        });
        m_process.start(tool("mosquitto_sub"), arguments + extra);
        m_process.waitForStarted(5000);
    }
    ~Subscriber()
    {
        m_process.terminate();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
    }
    QList<Message> on(const QString &topic) const
    {
        QList<Message> out;
        for (const Message &m : messages) {
            if (m.topic == topic)
                out.append(m);
        }
        return out;
    }
    bool waitFor(const QString &topic, const QByteArray &payload = {}, int timeoutMs = 10000)
    {
        return waitUntil([&] {
            for (const Message &m : messages) {
                if (m.topic == topic && (payload.isEmpty() || m.payload == payload))
                    return true;
            }
            return false;
        }, timeoutMs);
    }
    QList<Message> messages;

private:
    QProcess m_process;
    QByteArray m_buffer;
};

QByteArray callReport(int n, const QString &name = QStringLiteral("bench"))
{
    return "Report\r\nD\r\nTime:12071330\r\nNumber:02" + QByteArray::number(n).rightJustified(8, '0') + "\r\nName:"
        + cp949(name) + "\r\nGroup:1\r\nType:S\r\nEnd\r\n";
}

QJsonObject healthOf(TavrodProcess &tavrod)
{
    return tavrod.request("GET", "/healthz").json().value("mqtt").toObject();
}

} // namespace

class TestMqtt : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        if (QByteArray(QTest::currentTestFunction()) == "parsesBrokerUrls")
            return;
        if (tool("mosquitto").isEmpty() || tool("mosquitto_sub").isEmpty())
            QSKIP("mosquitto and mosquitto_sub are not installed (Debian: mosquitto mosquitto-clients)");
    }

    // The URL's parts, their defaults, and a display without the password.
    void parsesBrokerUrls()
    {
        tavrod::MqttTarget target;
        QString error;
        QVERIFY(tavrod::parseMqttUrl("mqtts://shop:s%40cret@[::1]/home/calls/", &target, &error));
        QVERIFY(target.tls);
        QCOMPARE(target.port, 8883);
        QCOMPARE(target.host, QStringLiteral("::1"));
        QCOMPARE(target.password, QStringLiteral("s@cret"));
        QCOMPARE(target.prefix, QStringLiteral("home/calls"));
        QCOMPARE(target.display(), QStringLiteral("mqtts://shop@[::1]:8883/home/calls"));
        QVERIFY(tavrod::parseMqttUrl("mqtt://broker", &target, &error));
        QCOMPARE(target.port, 1883);
        QCOMPARE(target.prefix, QStringLiteral("tavro"));
        for (const char *bad : {"http://broker", "mqtt:///tavro", "mqtt://broker/a/#", "mqtt://broker:99999"})
            QVERIFY2(!tavrod::parseMqttUrl(QString::fromLatin1(bad), &target, &error), bad);
    }

    // Events arrive as the stream's JSON on their topics; the entities' states,
    // the retained last call and the discovery configs follow them.
    void publishesEventsAndDiscovery()
    {
        QTemporaryDir dir;
        Broker broker(dir.path());
        QVERIFY(broker.start());
        Subscriber live(broker.port, {"tavro/test/#"});
        PtyPair pty;
        TavrodProcess tavrod(dir.path());
        QVERIFY(tavrod.start({"--map", "COM1=" + pty.slavePath(), "--open", "COM1", "--mqtt",
                              QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port)}));
        QVERIFY2(live.waitFor("tavro/test/status", "online"), qPrintable(tavrod.errors()));
        QVERIFY(live.waitFor("tavro/test/port/COM1/connected", "ON"));

        pty.write(callReport(5551234, QStringLiteral("김철수")));
        QVERIFY(live.waitFor("tavro/test/event/ReceiveCall"));
        QVERIFY(live.waitFor("tavro/test/ringing", "ON"));
        pty.write("Report\r\nB\r\nEnd\r\n"); // the handset is lifted
        QVERIFY(live.waitFor("tavro/test/event/HookEvent"));
        QVERIFY(live.waitFor("tavro/test/port/COM1/handset", "ON"));
        QVERIFY(live.waitFor("tavro/test/ringing", "OFF"));

        // Each published event is the stored one, byte for byte in meaning.
        QVERIFY(live.waitFor("tavro/test/event/CallOutcome"));
        const QList<QJsonObject> stored = tavrod.storedEvents();
        QCOMPARE(stored.size(), 4); // PortState, ReceiveCall, HookEvent, CallOutcome
        for (const QJsonObject &event : stored) {
            const QList<Message> got = live.on("tavro/test/event/" + event.value("event").toString());
            QCOMPARE(got.size(), 1);
            QCOMPARE(QJsonDocument::fromJson(got.first().payload).object(), event);
        }
        const QJsonObject call = stored.at(1);
        QCOMPARE(call.value("cidInfo").toObject().value("lName").toString(), QStringLiteral("김철수"));
        QCOMPARE(healthOf(tavrod).value("state").toString(), QStringLiteral("connected"));
        QVERIFY(waitUntil([&] { return healthOf(tavrod).value("backlog").toInteger() == 0; }));

        // A newcomer gets the retained state at once.
        Subscriber late(broker.port, {"tavro/test/#", "homeassistant/#"});
        QVERIFY(late.waitFor("tavro/test/last_call"));
        QVERIFY(late.waitFor("homeassistant/binary_sensor/tavro_test/com1_connection/config"));
        QCOMPARE(QJsonDocument::fromJson(late.on("tavro/test/last_call").first().payload).object(), call);
        QVERIFY(late.on("tavro/test/last_call").first().retained);
        QCOMPARE(late.on("tavro/test/ringing").value(0).payload, QByteArray("OFF"));
        QCOMPARE(late.on("tavro/test/port/COM1/handset").value(0).payload, QByteArray("ON"));
        const QStringList configs{"homeassistant/sensor/tavro_test/last_caller/config",
                                  "homeassistant/binary_sensor/tavro_test/ringing/config",
                                  "homeassistant/binary_sensor/tavro_test/com1_handset/config",
                                  "homeassistant/binary_sensor/tavro_test/com1_connection/config"};
        QVERIFY(late.waitFor(configs.last()));
        for (const QString &topic : configs) {
            QVERIFY2(late.on(topic).size() == 1, qPrintable(topic));
            const QJsonObject config = QJsonDocument::fromJson(late.on(topic).first().payload).object();
            QVERIFY(late.on(topic).first().retained);
            QCOMPARE(config.value("availability_topic").toString(), QStringLiteral("tavro/test/status"));
            QCOMPARE(config.value("device").toObject().value("identifiers").toArray().at(0).toString(),
                     QStringLiteral("tavro_test"));
            QVERIFY(!config.value("device").toObject().value("sw_version").toString().isEmpty());
            // Every state topic an entity reads is one tavrod has written.
            QVERIFY2(!late.on(config.value("state_topic").toString()).isEmpty(), qPrintable(topic));
        }

        // Stopped: "offline", retained.
        QVERIFY(tavrod.stop(SIGTERM));
        QVERIFY(live.waitFor("tavro/test/status", "offline"));
    }

    // The broker goes away in the middle of 1,000 calls and comes back: a
    // persistent subscriber gets every call at least once, in order.
    void resumesAfterBrokerOutage()
    {
        QTemporaryDir dir;
        Broker broker(dir.path());
        QVERIFY(broker.start());
        // Subscribed once, so that the broker keeps the session over the outage.
        const QStringList persistent{"-c", "-i", "tst-mqtt-resume"};
        Subscriber subscriber(broker.port, {"tavro/test/event/ReceiveCall", "tavro/test/status"}, persistent);
        PtyPair pty;
        TavrodProcess tavrod(dir.path());
        QVERIFY(tavrod.start({"--map", "COM1=" + pty.slavePath(), "--open", "COM1", "--mqtt",
                              QStringLiteral("mqtt://127.0.0.1:%1/tavro").arg(broker.port)}));
        // The retained "online" says that the subscription is in place.
        QVERIFY(subscriber.waitFor("tavro/test/status", "online"));

        constexpr int calls = 1000;
        int written = 0;
        const auto writeCalls = [&](int upTo) {
            QByteArray chunk;
            for (; written < upTo; ++written)
                chunk += callReport(written);
            pty.write(chunk);
        };
        writeCalls(300);
        QVERIFY(waitUntil([&] { return subscriber.on("tavro/test/event/ReceiveCall").size() >= 50; }, 20000));
        broker.stop();
        writeCalls(calls);
        // Stored meanwhile; the broker's state and the backlog say so.
        QVERIFY(waitUntil([&] { return healthOf(tavrod).value("backlog").toInteger() > 0; }, 10000));
        const QJsonObject away = healthOf(tavrod);
        QCOMPARE(away.value("state").toString(), QStringLiteral("connecting"));
        QVERIFY(!away.value("error").toString().isEmpty());
        QVERIFY(tavrod.request("GET", "/metrics").body.contains("tavrod_mqtt_state{state=\"connecting\"} 1"));

        QVERIFY(broker.start());
        QList<qint64> callIds;
        QVERIFY(waitUntil([&] {
            callIds.clear();
            for (const QJsonObject &event : tavrod.storedEvents()) {
                if (event.value("event").toString() == u"ReceiveCall")
                    callIds.append(event.value("id").toInteger());
            }
            return callIds.size() == calls;
        }, 30000));
        const auto firstTimes = [&] {
            QList<qint64> ids;
            QSet<qint64> seen;
            for (const Message &m : subscriber.on("tavro/test/event/ReceiveCall")) {
                const qint64 id = QJsonDocument::fromJson(m.payload).object().value("id").toInteger();
                if (!seen.contains(id)) {
                    seen.insert(id);
                    ids.append(id);
                }
            }
            return ids;
        };
        QVERIFY2(waitUntil([&] { return firstTimes().size() >= calls; }, 60000),
                 qPrintable(QStringLiteral("%1 of %2 calls arrived").arg(firstTimes().size()).arg(calls)));
        QCOMPARE(firstTimes(), callIds);
        QVERIFY(waitUntil([&] { return healthOf(tavrod).value("backlog").toInteger() == 0; }, 10000));
        QVERIFY(tavrod.request("GET", "/metrics").body.contains("tavrod_mqtt_backlog_events 0"));
    }

    // Sites sharing one PostgreSQL database each publish their own events
    // (the database gives them all to every site) and keep their own place.
    void sharedDatabaseSitesPublishTheirOwn()
    {
        if (PgServer::binDir().isEmpty())
            QSKIP("PostgreSQL is not installed (scripts/deps.sh installs postgresql-15)");
        PgServer server;
        QString error;
        QVERIFY2(server.start(&error), qPrintable(error));
        QTemporaryDir dir;
        Broker broker(dir.path());
        QVERIFY(broker.start());
        Subscriber calls(broker.port, {"tavro/+/event/ReceiveCall", "tavro/+/status"});
        struct Site
        {
            QTemporaryDir dir;
            PtyPair pty;
            TavrodProcess tavrod {dir.path()};
        } sites[2];
        const QStringList names{"A", "B"};
        for (int i = 0; i < 2; ++i) {
            QVERIFY2(sites[i].tavrod.start({"--db", server.url(), "--site", names[i], "--spool",
                                            sites[i].dir.filePath("spool.db"), "--map",
                                            "COM1=" + sites[i].pty.slavePath(), "--open", "COM1", "--mqtt",
                                            QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port)}),
                     qPrintable(sites[i].tavrod.errors()));
            QVERIFY(calls.waitFor("tavro/" + names[i] + "/status", "online"));
        }
        sites[0].pty.write(callReport(1111));
        sites[1].pty.write(callReport(2222));
        for (const QString &name : names)
            QVERIFY(calls.waitFor("tavro/" + name + "/event/ReceiveCall"));
        QTest::qWait(500); // time for a repeat that must not come
        for (int i = 0; i < 2; ++i) {
            const QList<Message> got = calls.on("tavro/" + names[i] + "/event/ReceiveCall");
            QCOMPARE(got.size(), 1);
            QCOMPARE(QJsonDocument::fromJson(got.first().payload).object().value("site").toString(), names[i]);
        }
        QVERIFY(sites[0].tavrod.stop(SIGTERM));
        QString keys;
        QVERIFY(server.psql("SELECT string_agg(key, ',' ORDER BY key) FROM kv", &keys));
        QVERIFY2(keys.contains("mqtt.acked.A"), qPrintable(keys));
    }

    // A broker that refuses the login: said once in the log and in /healthz,
    // asked again rarely, the service keeps running; the password file works.
    void refusedLoginIsReported()
    {
        QTemporaryDir dir;
        const QString passwords = dir.filePath("passwords");
        QCOMPARE(QProcess::execute(tool("mosquitto_passwd"), {"-c", "-b", passwords, "tavro", "right horse"}), 0);
        Broker broker(dir.path(), "allow_anonymous false\npassword_file " + passwords + "\n");
        QVERIFY(broker.start());
        QFile wrong(dir.filePath("wrong"));
        QVERIFY(wrong.open(QIODevice::WriteOnly));
        wrong.write("battery staple\n");
        wrong.close();

        TavrodProcess tavrod(dir.path());
        const QString url = QStringLiteral("mqtt://tavro@127.0.0.1:%1").arg(broker.port);
        QVERIFY(tavrod.start({"--open", "COM1", "--mqtt", url, "--mqtt-password-file", wrong.fileName()}));
        QVERIFY(waitUntil([&] { return healthOf(tavrod).value("state").toString() == u"refused"; }, 10000));
        QVERIFY(healthOf(tavrod).value("error").toString().contains("Refused"));
        QVERIFY(tavrod.waitForErrors("tavrod.mqtt"));
        QTest::qWait(3000);
        QCOMPARE(tavrod.errors().count("refused the connection"), 1);
        QVERIFY(!tavrod.errors().contains("battery"));
        QVERIFY2(broker.log().count("New connection from") <= 3, qPrintable(broker.log()));
        QVERIFY(tavrod.request("GET", "/metrics").body.contains("tavrod_mqtt_state{state=\"refused\"} 1"));
        QVERIFY(tavrod.stop(SIGTERM));
        QCOMPARE(tavrod.exitCode(), 0);

        QFile right(dir.filePath("right"));
        QVERIFY(right.open(QIODevice::WriteOnly));
        right.write("right horse\n");
        right.close();
        QVERIFY(tavrod.start({"--open", "COM1", "--mqtt", url, "--mqtt-password-file", right.fileName()}));
        QVERIFY(waitUntil([&] { return healthOf(tavrod).value("state").toString() == u"connected"; }, 10000));
    }
};

QTEST_GUILESS_MAIN(TestMqtt)
#include "tst_mqtt.moc"
