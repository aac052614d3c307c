// tavro_cli as a program: JSON lines over a pipe, the terminal played by a
// scripted peer on a pseudo-terminal.
#include "ack_peer.h"
#include "codec.h"
#include "pty_pair.h"
#include "wait_until.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <functional>

#include <csignal>

namespace {

// One running tavro_cli with its output read line by line.
class Cli
{
public:
    ~Cli()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    bool start(const QStringList &arguments)
    {
        m_process.start(QStringLiteral(TAVRO_CLI_PATH), arguments);
        return m_process.waitForStarted(5000);
    }

    void send(const QJsonObject &request) { sendRaw(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n'); }
    void sendRaw(const QByteArray &bytes)
    {
        m_process.write(bytes);
        m_process.waitForBytesWritten(5000);
    }
    void endInput() { m_process.closeWriteChannel(); }

    // The next output line; empty when none came in time. A line that is
    // not a JSON object comes back as {"notJson": line}.
    QJsonObject next(int timeoutMs = 5000)
    {
        // The event loop runs meanwhile, so that a peer in this process
        // (AckPeer) answers the program while the test waits for its output.
        waitUntil([this] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; },
                  timeoutMs, 20);
        if (!m_process.canReadLine())
            return {};
        QByteArray line = m_process.readLine();
        line.chop(1);
        const QJsonDocument document = QJsonDocument::fromJson(line);
        const QJsonObject object = document.isObject() ? document.object()
                                                       : QJsonObject {{"notJson", QString::fromUtf8(line)}};
        seen << object;
        return object;
    }

    // The next line that `match` accepts; the lines before it stay in `seen`.
    QJsonObject nextWhere(const std::function<bool(const QJsonObject &)> &match, int timeoutMs = 5000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            const QJsonObject line = next(int(deadline.remainingTime()));
            if (line.isEmpty() || match(line))
                return line;
        }
        return {};
    }
    QJsonObject nextEvent(const QString &name)
    {
        return nextWhere([&](const QJsonObject &line) { return line.value("event") == name; });
    }
    QJsonObject nextResult(const QString &method, int timeoutMs = 5000)
    {
        return nextWhere([&](const QJsonObject &line) { return line.value("result") == method; }, timeoutMs);
    }

    // Ends normally with 0 within the time.
    bool exitsWithZero(int timeoutMs = 5000) { return exitsWithStatus(0, timeoutMs); }
    bool exitsWithStatus(int status, int timeoutMs = 5000)
    {
        // next() may already have seen the end while running the event loop.
        const bool ended = m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
        return ended && m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == status;
    }
    qint64 pid() const { return m_process.processId(); }
    QByteArray restOfOutput() { return m_process.readAllStandardOutput(); }
    QByteArray errors() { return m_process.readAllStandardError(); }
    bool running() const { return m_process.state() == QProcess::Running; }

    QList<QJsonObject> seen;

private:
    QProcess m_process;
};

QStringList mapTo(const PtyPair &pty)
{
    return {QStringLiteral("--map"), QStringLiteral("COM1=") + pty.slavePath()};
}

} // namespace

class CliPipeTest : public QObject
{
    Q_OBJECT

private slots:
    void portCallsFailuresAndEndOfInput()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        Cli cli;
        QVERIFY(cli.start(mapTo(pty) + QStringList {"--map", "COM2=/dev/tavro-no-such-device", "--open", "COM1",
                                                     "--no-debug"}));
        // The port's state is an event even without debug output.
        QCOMPARE(cli.next(), (QJsonObject {{"event", "PortState"}, {"portName", "COM1"}, {"open", true},
                                           {"reason", "opened"}}));
        QCOMPARE(cli.next(), (QJsonObject {{"result", "OpenTavro"}, {"value", 0}, {"portName", "COM1"},
                                           {"errorStr", ""}}));

        cli.send({{"call", "ComPortStateGet"}, {"portName", "COM1"}, {"id", 1}});
        QCOMPARE(cli.next(), (QJsonObject {{"result", "ComPortStateGet"}, {"value", true}, {"portName", "COM1"},
                                           {"id", 1}}));

        // Raw output reaches the terminal; what it sends back is no line
        // without debug output.
        cli.send({{"call", "TxData"}, {"portName", "COM1"}, {"data", "abc전화"}});
        QCOMPARE(cli.next().value("result").toString(), QStringLiteral("TxData"));
        QCOMPARE(pty.readAtLeast(7), QByteArray("abc") + cp949(QStringLiteral("전화")));
        pty.write("noise\r\n");

        // A line that comes in two pieces is one call.
        cli.sendRaw("{\"call\":\"ComPortSta");
        QVERIFY(cli.next(300).isEmpty());
        cli.sendRaw("teGet\",\"portName\":\"COM1\",\"id\":2}\n");
        QCOMPARE(cli.next().value("id").toInt(), 2);

        // An invalid line and a failing call; the program keeps answering.
        cli.sendRaw("{oops\n");
        const QJsonObject invalid = cli.next();
        QCOMPARE(invalid.keys(), QStringList {"error"});
        cli.send({{"call", "CloseTavro"}, {"portName", "COM9"}, {"id", 3}});
        const QJsonObject failed = cli.next();
        QCOMPARE(failed.value("result").toString(), QStringLiteral("CloseTavro"));
        QVERIFY2(failed.value("error").toString().contains("COM9"), qPrintable(failed.value("error").toString()));
        QCOMPARE(failed.value("id").toInt(), 3);

        // A device that is not there: value 2, the text also read once.
        cli.send({{"call", "OpenTavro"}, {"portName", "COM2"}, {"errorStr", ""}});
        const QString openError = cli.next().value("errorStr").toString();
        QVERIFY2(openError.startsWith(QStringLiteral("COM2 open error, ")), qPrintable(openError));
        cli.send({{"call", "GetCurrentErrorMsg"}});
        QCOMPARE(cli.next(), (QJsonObject {{"result", "GetCurrentErrorMsg"}, {"value", openError}}));

        cli.send({{"call", "CloseTavro"}, {"portName", "COM1"}});
        QCOMPARE(cli.next(), (QJsonObject {{"event", "PortState"}, {"portName", "COM1"}, {"open", false},
                                           {"reason", "closed"}}));
        QCOMPARE(cli.next().value("value").toInt(), 0);
        cli.send({{"call", "ComPortStateGet"}, {"portName", "COM1"}});
        QCOMPARE(cli.next().value("value"), QJsonValue(false));

        // Nothing was ever written about "noise": every other line answered a call.
        for (const QJsonObject &line : cli.seen)
            QVERIFY((!line.contains("event") || line.value("event") == "PortState") && !line.contains("notJson"));

        cli.endInput();
        QVERIFY(cli.exitsWithZero());
        QCOMPARE(cli.restOfOutput(), QByteArray());
    }

    void rawTrafficAndDebugTextsAsEvents()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        Cli cli;
        QVERIFY(cli.start(mapTo(pty) + QStringList {"--open", "COM1"}));
        QCOMPARE(cli.nextResult("OpenTavro").value("value").toInt(), 0);

        // Hangul from the terminal arrives as UTF-8 in the line.
        pty.write(cp949(QStringLiteral("홍길동")) + "\r\n");
        QString received;
        while (!received.endsWith(QStringLiteral("\r\n"))) {
            const QJsonObject line = cli.nextEvent("ReceiveReal");
            QVERIFY2(!line.isEmpty(), "no ReceiveReal line");
            QCOMPARE(line.value("portName").toString(), QStringLiteral("COM1"));
            received += line.value("str").toString();
        }
        QCOMPARE(received, QStringLiteral("홍길동\r\n"));

        // A whole message is shown in a diagnostic text when it is framed.
        pty.write("Response\r\nT\r\nEnd\r\n");
        const QJsonObject debug = cli.nextWhere([](const QJsonObject &line) {
            return line.value("event") == "DebugMsg" && line.value("str").toString().contains("Response");
        });
        QVERIFY(!debug.isEmpty());
        QCOMPARE(debug.keys(), (QStringList {"event", "str"}));

        cli.endInput();
        QVERIFY(cli.exitsWithZero());
    }

    void quitAndWhatFollowsIt()
    {
        Cli cli;
        QVERIFY(cli.start({"--no-debug"}));
        // Lines after "quit" are not run, even when they came with it.
        cli.sendRaw("{\"call\":\"quit\",\"id\":\"bye\"}\n{\"call\":\"GetCurrentErrorMsg\"}\n");
        QCOMPARE(cli.next(), (QJsonObject {{"result", "quit"}, {"id", "bye"}}));
        QVERIFY(cli.exitsWithZero());
        QCOMPARE(cli.restOfOutput(), QByteArray());
    }

    void lastLineWithoutLineEndAndOverlongLines()
    {
        Cli cli;
        QVERIFY(cli.start({"--no-debug"}));
        // An endless line is refused, the line after it is served.
        cli.sendRaw(QByteArray(1100 * 1024, 'x'));
        const QJsonObject refused = cli.next();
        QVERIFY2(refused.value("error").toString().contains("longer than"),
                 QJsonDocument(refused).toJson().constData());
        cli.sendRaw("yyy\n{\"call\":\"GetCurrentErrorMsg\",\"id\":1}\n");
        QCOMPARE(cli.next(), (QJsonObject {{"result", "GetCurrentErrorMsg"}, {"value", ""}, {"id", 1}}));

        cli.sendRaw("{\"call\":\"ComPortStateGet\",\"portName\":\"COM3\"}");
        cli.endInput();
        QCOMPARE(cli.next().value("result").toString(), QStringLiteral("ComPortStateGet"));
        QVERIFY(cli.exitsWithZero());
    }

    void options()
    {
        {
            Cli cli;
            QVERIFY(cli.start({"--help"}));
            QVERIFY(cli.exitsWithZero());
            const QByteArray help = cli.restOfOutput();
            QVERIFY(help.contains("--map") && help.contains("--open") && help.contains("--no-debug"));
        }
        for (const char *bad : {"COM9=/dev/null", "COM1", "COM1="}) {
            Cli cli;
            QVERIFY(cli.start({"--map", bad}));
            QVERIFY(!cli.exitsWithZero());
            QVERIFY(cli.errors().contains("--map"));
        }
        {
            // --open reports the outcome as OpenTavro does; a failure ends the program with 1.
            Cli cli;
            QVERIFY(cli.start({"--open", "COM7", "--no-debug"}));
            const QJsonObject answer = cli.next();
            QCOMPARE(answer.value("value").toInt(), 2);
            QCOMPARE(answer.value("errorStr").toString(),
                     QStringLiteral("COM 포트 명이 COM1, COM2, COM3, COM4 값 중에 하나이어야 한다."));
            QVERIFY(cli.exitsWithStatus(1));
        }
        {
            Cli cli;
            QVERIFY(cli.start({"--version"}));
            QVERIFY(cli.exitsWithZero());
            QVERIFY(cli.restOfOutput().startsWith("tavro_cli 1."));
        }
        for (const char *bad : {"0", "x"}) {
            Cli cli;
            QVERIFY(cli.start({"--queue-limit", bad}));
            QVERIFY(cli.exitsWithStatus(2));
            QVERIFY(cli.errors().contains("--queue-limit"));
        }
    }

    // --- With the terminal answering the synchronisation request ---

    void rewrittenCommandAndEndOfInputWhileItWaits()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        Cli cli;
        QVERIFY(cli.start(mapTo(pty) + QStringList {"--open", "COM1", "--no-debug"}));
        QCOMPARE(cli.nextResult("OpenTavro").value("value").toInt(), 0);

        cli.send({{"call", "SendCmd"}, {"portName", "COM1"}, {"cmd", "D"}, {"para1", "01-15"},
                  {"para2", "09:30"}, {"para3", ""}, {"id", 5}});
        // The input ends while the command waits for "ACK": it still finishes.
        cli.endInput();
        QCOMPARE(pty.readAtLeast(1), QByteArray("["));
        pty.write("ACK\r\n");
        QCOMPARE(pty.readUntil("]"), QByteArray("D\r0115\r0930\r]"));
        QCOMPARE(cli.next(), (QJsonObject {{"result", "SendCmd"}, {"value", true}, {"portName", "COM1"},
                                           {"cmd", "D"}, {"para1", "0115"}, {"para2", "0930"},
                                           {"para3", ""}, {"id", 5}}));
        QVERIFY(cli.exitsWithZero());
    }

    void queryAndItsEvent()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        Cli cli;
        QVERIFY(cli.start(mapTo(pty) + QStringList {"--open", "COM1", "--no-debug"}));
        QCOMPARE(cli.nextResult("OpenTavro").value("value").toInt(), 0);

        cli.send({{"call", "SendCmd"}, {"portName", "COM1"}, {"cmd", "t"}, {"para1", "0"}});
        QCOMPARE(pty.readAtLeast(1), QByteArray("["));
        pty.write("ACK\r\n");
        QCOMPARE(pty.readUntil("]"), QByteArray("t\r0\r]"));
        QCOMPARE(cli.next().value("value"), QJsonValue(true));

        pty.write("Response\r\nt\r\n");
        pty.write("1\r\nEnd\r\n");
        QCOMPARE(cli.next(), (QJsonObject {{"event", "ReceiveResponse"}, {"portName", "COM1"}, {"msgType", 116},
                                           {"rst1", "1"}, {"rst2", ""}, {"rst3", ""}}));
        cli.endInput();
        QVERIFY(cli.exitsWithZero());
    }

    void eventsFlowWhileACommandWaitsButCallsWaitTheirTurn()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        Cli cli;
        QVERIFY(cli.start(mapTo(pty) + QStringList {"--open", "COM1", "--no-debug"}));
        QCOMPARE(cli.nextResult("OpenTavro").value("value").toInt(), 0);

        cli.send({{"call", "SendCmd"}, {"portName", "COM1"}, {"cmd", "t"}, {"para1", "0"}, {"id", "outer"}});
        QCOMPARE(pty.readAtLeast(1), QByteArray("["));

        // No "ACK" yet: a call comes in and is reported at once ...
        pty.write("Report\r\nD\r\nTime:03151030\r\nNumber:0212345678\r\nName:" + cp949(QStringLiteral("홍길동"))
                  + "\r\nGroup:2\r\nType:S\r\nEnd\r\n");
        QCOMPARE(cli.next(), (QJsonObject {{"event", "ReceiveCall"},
                                           {"portName", "COM1"},
                                           {"callState", 1},
                                           {"cidInfo", QJsonObject {{"lMonth", 3},
                                                                    {"lDay", 15},
                                                                    {"lHour", 10},
                                                                    {"lMin", 30},
                                                                    {"lNumber", "0212345678"},
                                                                    {"lName", "홍길동"},
                                                                    {"lGroup", 2},
                                                                    {"lTelType", "NORMAL"}}}}));
        // ... but a call read meanwhile waits until the command has answered.
        cli.send({{"call", "ComPortStateGet"}, {"portName", "COM1"}, {"id", "next"}});
        QVERIFY(cli.next(300).isEmpty());

        pty.write("ACK\r\n");
        QCOMPARE(pty.readUntil("]"), QByteArray("t\r0\r]"));
        const QJsonObject outer = cli.next();
        QCOMPARE(outer.value("id").toString(), QStringLiteral("outer"));
        QCOMPARE(outer.value("value"), QJsonValue(true));
        QCOMPARE(cli.next(), (QJsonObject {{"result", "ComPortStateGet"}, {"value", true}, {"portName", "COM1"},
                                           {"id", "next"}}));
        cli.endInput();
        QVERIFY(cli.exitsWithZero());
    }

    // Many calls written at once run one after the other, in their order:
    // each frame goes out whole after its own "ACK", the last setting wins.
    void pipelinedCallsRunInOrder()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        AckPeer peer(pty);
        Cli cli;
        QVERIFY(cli.start(mapTo(pty) + QStringList {"--open", "COM1", "--no-debug"}));
        QCOMPARE(cli.nextResult("OpenTavro").value("value").toInt(), 0);

        constexpr int count = 4000;
        QByteArray batch, frames;
        for (int i = 0; i < count; ++i) {
            const QString time = QStringLiteral("%1:%2").arg(i / 60 % 24, 2, 10, QLatin1Char('0')).arg(i % 60, 2, 10, QLatin1Char('0'));
            batch += QJsonDocument(QJsonObject {{"call", "SendCmd"}, {"portName", "COM1"}, {"cmd", "E"},
                                                {"para1", time}, {"id", i}})
                         .toJson(QJsonDocument::Compact)
                + '\n';
            frames += "[E\r" + time.toLatin1().remove(2, 1) + "\r]";
        }
        // A raw write between two commands lands between their frames.
        batch += R"({"call":"SendCmd","portName":"COM1","cmd":"E","para1":"07:30"})" "\n"
                 R"({"call":"TxData","portName":"COM1","data":"hello"})" "\n"
                 R"({"call":"SendCmd","portName":"COM1","cmd":"e"})" "\n";
        frames += "[E\r0730\r]hello[e\r]";
        cli.sendRaw(batch);
        cli.endInput();

        for (int i = 0; i < count; ++i) {
            const QJsonObject answer = cli.next(10000);
            QCOMPARE(answer.value("id").toInt(-1), i);
            QCOMPARE(answer.value("value"), QJsonValue(true));
        }
        QCOMPARE(cli.next().value("value"), QJsonValue(true));
        QCOMPARE(cli.next().value("result").toString(), QStringLiteral("TxData"));
        QCOMPARE(cli.next().value("value"), QJsonValue(true));
        QCOMPARE(cli.nextEvent("PortState").value("reason").toString(), QStringLiteral("closed"));
        QVERIFY(cli.exitsWithZero());
        QTRY_COMPARE_WITH_TIMEOUT(peer.received.size(), frames.size(), 5000);
        QCOMPARE(peer.received, frames);
    }

    // One "ACK" answers one request: a terminal that answers only the first
    // of three leaves the other two without an answer.
    void oneAckAnswersOneCommand()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        AckPeer peer(pty);
        int requests = 0;
        peer.onRequest = [&] {
            if (++requests == 1)
                pty.write("ACK\r\n");
        };
        Cli cli;
        QVERIFY(cli.start(mapTo(pty) + QStringList {"--open", "COM1", "--no-debug"}));
        QCOMPARE(cli.nextResult("OpenTavro").value("value").toInt(), 0);
        QByteArray batch;
        for (int i = 0; i < 3; ++i)
            batch += R"({"call":"SendCmd","portName":"COM1","cmd":"t","para1":"0"})" "\n";
        cli.sendRaw(batch);
        QCOMPARE(cli.nextResult("SendCmd").value("value"), QJsonValue(true));
        QCOMPARE(cli.nextResult("SendCmd", 9000).value("value"), QJsonValue(false));
        QCOMPARE(cli.nextResult("SendCmd", 9000).value("value"), QJsonValue(false));
        QCOMPARE(requests, 3);
        cli.endInput();
        QVERIFY(cli.exitsWithZero());
    }

    // A full queue refuses at once; an ending signal answers the waiting call
    // and the queued ones with an error, closes the port and ends with 0.
    void fullQueueAndEndingSignals()
    {
        for (const int signal : {SIGTERM, SIGINT}) {
            PtyPair pty;
            QVERIFY(pty.isValid());
            Cli cli;
            QVERIFY(cli.start(mapTo(pty) + QStringList {"--open", "COM1", "--no-debug", "--queue-limit", "2"}));
            QCOMPARE(cli.nextResult("OpenTavro").value("value").toInt(), 0);
            // The terminal never answers: the first command waits, two queue up.
            QByteArray batch;
            for (int i = 0; i < 4; ++i)
                batch += QJsonDocument(QJsonObject {{"call", "SendCmd"}, {"portName", "COM1"}, {"cmd", "t"},
                                                    {"para1", "0"}, {"id", i}})
                             .toJson(QJsonDocument::Compact)
                    + '\n';
            const qsizetype firstLine = batch.indexOf('\n') + 1;
            cli.sendRaw(batch.left(firstLine));
            QCOMPARE(pty.readAtLeast(1), QByteArray("["));
            cli.sendRaw(batch.mid(firstLine));
            const QJsonObject refused = cli.next();
            QCOMPARE(refused.value("id").toInt(), 3);
            QCOMPARE(refused.value("result").toString(), QStringLiteral("SendCmd"));
            QVERIFY2(refused.value("error").toString().contains("too many calls waiting"),
                     qPrintable(refused.value("error").toString()));

            ::kill(cli.pid(), signal);
            for (int i = 0; i < 3; ++i) {
                const QJsonObject answer = cli.next();
                QCOMPARE(answer.value("id").toInt(-1), i);
                QVERIFY2(answer.value("error").toString().contains("signal"), qPrintable(answer.value("error").toString()));
            }
            QCOMPARE(cli.next(), (QJsonObject {{"event", "PortState"}, {"portName", "COM1"}, {"open", false},
                                               {"reason", "closed"}}));
            QVERIFY(cli.exitsWithZero(3000));
            QCOMPARE(cli.restOfOutput(), QByteArray());
            // Only the first command reached the line.
            QCOMPARE(pty.readAvailable(), QByteArray());
        }
    }
};

QTEST_GUILESS_MAIN(CliPipeTest)
#include "tst_cli_pipe.moc"
