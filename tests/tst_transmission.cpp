// Sending: SendCmd's checks, the "[" / "ACK" exchange and the frame; TxData.
#include "ack_peer.h"
#include "codec.h"
#include "control_private.h"
#include "link_state.h"
#include "pty_pair.h"
#include "tavro/tavro_m.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace tavro::detail;

namespace {

const QString kNotOpen = QStringLiteral("통신 포트가 OPEN 되지 않았습니다.");
const QString kDate = QStringLiteral("날짜 형식이 맞지 않음(형식 MM-DD), 입력값=");
const QString kTime = QStringLiteral("시간 형식이 맞지 않음(형식 HH:MM), 입력값=");
const QString kNotImplemented = QStringLiteral("구현되지 않은 명령입니다(단말기에서 직접 설정해주세요)");
const QString kMelody = QStringLiteral("알람 멜로디 번호가 1~6 범위 내에 있지 않습니다.");
const QString kNoAnswer = QStringLiteral("TAVRO 단말기와 통신이 안됨");
const QString kFrameCharacter =
    QStringLiteral("명령 파라미터에 CR, LF, '[', ']' 문자는 쓸 수 없습니다. 입력값=");
const QString kUnencodable =
    QStringLiteral("단말기로 보낼 수 없는 문자(코드 페이지 949에 없는 문자)가 있습니다. 입력값=");
const QString kBadCommand = QStringLiteral("명령 문자가 잘못되었습니다. 명령 코드=");
const QString kTooDeep =
    QStringLiteral("응답을 기다리는 명령이 너무 많이 겹쳐 있어 이 명령을 보내지 않았습니다.");
const QString kBacklogFull =
    QStringLiteral("송신 대기 데이터가 너무 많습니다(단말기가 받지 않음). 잠시 후 다시 보내주세요.");

QString areaMessage(const QString &number)
{
    return QStringLiteral("지역번호가 잘못 입력되었습니다. 입력된 지역번호는 ") + number
        + QStringLiteral(" 입니다.");
}

// A control with its port COMn on a pty and a terminal on the other end.
struct Link
{
    explicit Link(const QString &name = QStringLiteral("COM1"), tavro_m *shared = nullptr)
        : port(name), own(shared ? nullptr : new tavro_m), control(shared ? *shared : *own)
    {
        control.setPortMap({{port, pty.slavePath()}});
        QString error;
        opened = control.OpenTavro(port, error) == 0;
    }

    // What the control wrote so far. A marker written through TxData comes
    // after it on the wire, so once the marker is in, nothing is missing.
    QByteArray takeWire()
    {
        QString marker = QStringLiteral("~");
        control.TxData(port, marker);
        if (!QTest::qWaitFor([this] { return peer.received.endsWith('~'); }, 5000))
            return "(marker never arrived) " + std::exchange(peer.received, QByteArray());
        return std::exchange(peer.received, QByteArray()).chopped(1);
    }

    bool syncTimerActive() { return ControlAccess::of(control).timerTavroSync.isActive(); }

    QString port;
    PtyPair pty;
    std::unique_ptr<tavro_m> own;
    tavro_m &control;
    AckPeer peer {pty};
    bool opened = false;
};

} // namespace

class TransmissionTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetLinkState(); }

    void framesOnTheWire_data()
    {
        QTest::addColumn<char>("cmd");
        QTest::addColumn<QStringList>("paras");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QStringList>("rewritten");

        const auto row = [](const char *name, char cmd, QStringList paras, QByteArray frame,
                            QStringList rewritten) {
            QTest::newRow(name) << cmd << paras << frame << rewritten;
        };
        row("D worked example", 'D', {"01-15", "09:30", ""}, "D\r0115\r0930\r]", {"0115", "0930", ""});
        row("D only shape is checked", 'D', {"ab-cd", "xy:zw", ""}, "D\rabcd\rxyzw\r]", {"abcd", "xyzw", ""});
        row("E", 'E', {"07:30", "", ""}, "E\r0730\r]", {"0730", "", ""});
        row("F 3", 'F', {"3", "", ""}, "F\r3\r]", {"3", "", ""});
        row("F 2.5", 'F', {"2.5", "", ""}, "F\r2.5\r]", {"2.5", "", ""});
        row("F 1", 'F', {"1", "", ""}, "F\r1\r]", {"1", "", ""});
        row("F blanks and tail", 'F', {" 6x", "", ""}, "F\r 6x\r]", {" 6x", "", ""});
        row("G 031", 'G', {"031", "", ""}, "G\r1\r]", {"1", "", ""});
        row("G 02", 'G', {"02", "", ""}, "G\r0\r]", {"0", "", ""});
        row("G 064", 'G', {"064", "", ""}, "G\rf\r]", {"f", "", ""});
        row("a without parameters", 'a', {"", "", ""}, "a\r]", {"", "", ""});
        row("empty para1 closes up", 'J', {"", "X", ""}, "J\rX\r]", {"", "X", ""});
        row("three parameters", 'P', {"1", "2", "3"}, "P\r1\r2\r3\r]", {"1", "2", "3"});
        row("lower-case d unchecked", 'd', {"1-15", "0930", ""}, "d\r1-15\r0930\r]", {"1-15", "0930", ""});
        row("lower-case e unchecked", 'e', {"7:30", "", ""}, "e\r7:30\r]", {"7:30", "", ""});
        row("lower-case g unchecked", 'g', {"31", "", ""}, "g\r31\r]", {"31", "", ""});
        row("Hangul parameter", 'C', {"똠", "", ""}, "C\r\x8c\x63\r]", {"똠", "", ""});
    }

    void framesOnTheWire()
    {
        QFETCH(char, cmd);
        QFETCH(QStringList, paras);
        QFETCH(QByteArray, frame);
        QFETCH(QStringList, rewritten);
        Link link;
        QVERIFY(link.opened);
        QSignalSpy debug(&link.control, &tavro_m::DebugMsg);
        gCurrentErrorMsg = QStringLiteral("earlier");

        char c = cmd;
        QVERIFY(link.control.SendCmd(link.port, c, paras[0], paras[1], paras[2]));
        QCOMPARE(link.takeWire(), "[" + frame);
        QCOMPARE(paras, rewritten);
        QVERIFY(!link.syncTimerActive());
        if (cmd == 'F') {
            // The text that says the terminal ignores 'F' stays after success.
            QCOMPARE(link.control.GetCurrentErrorMsg(), kNotImplemented);
            QVERIFY(debug.contains({QStringLiteral("멜로디 번호:") + rewritten[0]}));
        } else {
            QCOMPARE(link.control.GetCurrentErrorMsg(), QStringLiteral("earlier"));
        }
    }

    void failuresSendNothing_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<char>("cmd");
        QTest::addColumn<QString>("para1");
        QTest::addColumn<QString>("para2");
        QTest::addColumn<QString>("error");

        const QString earlier = QStringLiteral("earlier");
        QTest::newRow("port not open") << "COM2" << 'a' << "" << "" << kNotOpen;
        QTest::newRow("unknown port") << "COM5" << 'a' << "" << "" << earlier;
        QTest::newRow("lower-case port") << "com1" << 'a' << "" << "" << earlier;
        QTest::newRow("D short date") << "COM1" << 'D' << "1-15" << "09:30" << kDate + "1-15";
        QTest::newRow("D date separator") << "COM1" << 'D' << "01/15" << "09:30" << kDate + "01/15";
        QTest::newRow("D both wrong")
            << "COM1" << 'D' << "1-15" << "0930" << kDate + "1-15\r\n" + kTime + "0930";
        // Only this call's failure: no leftover text, no leading line end.
        QTest::newRow("D time only") << "COM1" << 'D' << "01-15" << "0930" << kTime + "0930";
        QTest::newRow("D time empty") << "COM1" << 'D' << "01-15" << "" << kTime;
        QTest::newRow("E short") << "COM1" << 'E' << "7:30" << "" << kTime + "7:30";
        QTest::newRow("E separator") << "COM1" << 'E' << "07-30" << "" << kTime + "07-30";
        QTest::newRow("F 7") << "COM1" << 'F' << "7" << "" << kMelody;
        QTest::newRow("F 6.5") << "COM1" << 'F' << "6.5" << "" << kMelody;
        QTest::newRow("F 0.9") << "COM1" << 'F' << "0.9" << "" << kMelody;
        QTest::newRow("F negative") << "COM1" << 'F' << "-3" << "" << kMelody;
        QTest::newRow("F no number") << "COM1" << 'F' << "x3" << "" << kMelody;
        QTest::newRow("F empty") << "COM1" << 'F' << "" << "" << kMelody;
        QTest::newRow("G 31") << "COM1" << 'G' << "31" << "" << areaMessage("31");
        QTest::newRow("G a code") << "COM1" << 'G' << "1" << "" << areaMessage("1");
        QTest::newRow("G blank") << "COM1" << 'G' << "031 " << "" << areaMessage("031 ");
    }

    void failuresSendNothing()
    {
        QFETCH(QString, port);
        QFETCH(char, cmd);
        QFETCH(QString, para1);
        QFETCH(QString, para2);
        QFETCH(QString, error);
        Link link;
        QVERIFY(link.opened);
        QSignalSpy debug(&link.control, &tavro_m::DebugMsg);
        gCurrentErrorMsg = QStringLiteral("earlier");

        QString p1 = para1, p2 = para2, p3;
        char c = cmd;
        QVERIFY(!link.control.SendCmd(port, c, p1, p2, p3));
        QCOMPARE(link.control.GetCurrentErrorMsg(), error);
        QCOMPARE(link.takeWire(), QByteArray());
        QCOMPARE(p1, para1); // no rewrite on a failed check
        QCOMPARE(p2, para2);
        if (cmd == 'F')
            QVERIFY(debug.contains({QStringLiteral("멜로디 번호:") + para1}));
    }

    void errorTextHoldsOnlyThisCallsFailures()
    {
        Link link;
        QVERIFY(link.opened);
        QVERIFY(link.control.SendCmd(link.port, 'F', QStringLiteral("3")));
        // The success of 'F' left its text; a failing 'E' must not append to it.
        QVERIFY(!link.control.SendCmd(link.port, 'E', QStringLiteral("0730")));
        QCOMPARE(link.control.GetCurrentErrorMsg(), kTime + "0730");
        QCOMPARE(link.control.GetCurrentErrorMsg(), QString());
    }

    void ackSplitOrOnAnotherPort()
    {
        Link com1;
        QVERIFY(com1.opened);
        QSignalSpy real(&com1.control, &tavro_m::ReceiveReal);
        // "AC" first; "K" only once the control has taken "AC" in.
        com1.peer.onRequest = [&] { com1.pty.write("AC"); };
        connect(&com1.control, &tavro_m::ReceiveReal, this, [&](const QString &, const QString &piece) {
            if (piece == QStringLiteral("AC"))
                com1.pty.write("K\r\n");
        });
        QVERIFY(com1.control.SendCmd(com1.port, 't', QStringLiteral("0")));
        QCOMPARE(com1.takeWire(), QByteArray("[t\r0\r]"));
        QCOMPARE(real.size(), 2);
        QCOMPARE(real.at(1).at(1).toString(), QStringLiteral("K\r\n"));

        // The answer may come on any open port.
        Link com2(QStringLiteral("COM2"), &com1.control);
        QVERIFY(com2.opened);
        com1.peer.onRequest = [&] { com2.pty.write("ACK\r\n"); };
        QVERIFY(com1.control.SendCmd(com1.port, 'u', QStringLiteral("0")));
        QCOMPARE(com1.takeWire(), QByteArray("[u\r0\r]"));
        QCOMPARE(com2.takeWire(), QByteArray());
    }

    void nestedSendCmdFromAHandler()
    {
        Link link;
        QVERIFY(link.opened);
        bool innerResult = false;
        int acks = 0;
        // The host sends another command from inside the first one's wait.
        connect(&link.control, &tavro_m::ReceiveReal, this, [&](const QString &, const QString &) {
            if (++acks == 1)
                innerResult = link.control.SendCmd(link.port, 't', QStringLiteral("0"));
        });
        QString p1 = QStringLiteral("01-15"), p2 = QStringLiteral("09:30"), p3;
        char cmd = 'D';
        QVERIFY(link.control.SendCmd(link.port, cmd, p1, p2, p3));
        QVERIFY(innerResult);
        QCOMPARE(acks, 2);
        // The inner command completes first; the outer frame follows it.
        QCOMPARE(link.takeWire(), QByteArray("[[t\r0\r]D\r0115\r0930\r]"));
        QVERIFY(!link.syncTimerActive());
    }

    void portVanishingEndsTheWait()
    {
        Link link;
        QVERIFY(link.opened);
        link.peer.onRequest = [&] { link.peer.vanish(); };
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!link.control.SendCmd(link.port, 't', QStringLiteral("0")));
        QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(link.control.GetCurrentErrorMsg(), kNoAnswer);
        QVERIFY(!link.control.ComPortStateGet(link.port));
        QVERIFY(!link.syncTimerActive());
    }

    // The one wait that runs to its end.
    void staleAckDoesNotAnswerANewRequest()
    {
        Link com1;
        QVERIFY(com1.opened);
        Link com2(QStringLiteral("COM2"), &com1.control);
        QVERIFY(com2.opened);
        QVERIFY(com1.control.SendCmd(com1.port, 't', QStringLiteral("0")));
        com1.takeWire();
        // Besides that answer, the start of one arrives before the request.
        com1.pty.write("AC");
        QTRY_VERIFY(gRxData[0].endsWith(QStringLiteral("ACK\r\nAC")));

        // From now on the terminal only sends noise, and the "K" that would
        // complete the "AC" sent before the request. While COM1 waits, the
        // host sends on COM2, whose device vanishes: that inner call ends
        // early and switches the timer off, yet the outer wait stays bounded.
        com1.peer.onRequest = [&] { com1.pty.write("K\r\n"); };
        com2.peer.onRequest = [&] { com2.peer.vanish(); };
        bool innerResult = true;
        QTimer::singleShot(200, this, [&] {
            innerResult = com1.control.SendCmd(com2.port, 'a');
            com1.pty.write("y\r\n");
        });
        int hostTicks = 0;
        QTimer hostTimer;
        connect(&hostTimer, &QTimer::timeout, this, [&] { ++hostTicks; });
        hostTimer.start(100);
        // Should the wait never end by itself, this answer ends it (and fails).
        QTimer::singleShot(20000, this, [&] { com1.pty.write("ACK\r\n"); });

        QSignalSpy real(&com1.control, &tavro_m::ReceiveReal);
        QString p1 = QStringLiteral("01-15"), p2 = QStringLiteral("09:30"), p3;
        char cmd = 'D';
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!com1.control.SendCmd(com1.port, cmd, p1, p2, p3));
        const qint64 elapsed = clock.elapsed();
        QVERIFY2(elapsed >= 5000 && elapsed < 15000, qPrintable(QString::number(elapsed)));
        QCOMPARE(com1.control.GetCurrentErrorMsg(), kNoAnswer);
        QVERIFY(!innerResult);
        QString noise; // it did arrive during the wait
        for (const auto &call : real)
            noise += call.at(1).toString();
        QCOMPARE(noise, QStringLiteral("K\r\ny\r\n"));
        QVERIFY(hostTicks >= 20); // and the host kept running
        QCOMPARE(com1.takeWire(), QByteArray("["));
        // The rewrite happens before the exchange and stays.
        QCOMPARE(p1, QStringLiteral("0115"));
        QCOMPARE(p2, QStringLiteral("0930"));
        QVERIFY(!com1.syncTimerActive());
    }

    void hostileParametersSendNothing()
    {
        Link link;
        QVERIFY(link.opened);
        struct Case
        {
            char cmd;
            QString para1, para2, para3;
            QString error;
        };
        const QString emoji = QString::fromUtf8("010😀");
        const QString loneSurrogate = QStringLiteral("010") + QChar(0xD800);
        const QList<Case> cases = {
            // A second command hidden in a parameter: deletes every stored call.
            {'J', "0212345678", "1\r]B\rALL", "", kFrameCharacter + "1<CR>]B<CR>ALL"},
            {'C', "02[1", "", "", kFrameCharacter + "02[1"},
            {'B', "ALL]", "", "", kFrameCharacter + "ALL]"},
            {'C', "0212\n", "", "", kFrameCharacter + "0212<LF>"},
            {'P', "1", "2", "3\r", kFrameCharacter + "3<CR>"},
            // Checked before the rewrite: the date keeps its shape check's form.
            {'D', "0\r-15", "09:30", "", kFrameCharacter + "0<CR>-15"},
            // Characters the line cannot carry would go out as "?" or vanish.
            {'J', emoji, "1", "", kUnencodable + emoji},
            {'C', loneSurrogate, "", "", kUnencodable + loneSurrogate},
            {'J', "0212345678", QString::fromUtf8("é"), "", kUnencodable + QString::fromUtf8("é")},
            // The command byte is frame syntax or not a character at all.
            {']', "", "", "", kBadCommand + "93"},
            {'[', "", "", "", kBadCommand + "91"},
            {'\r', "0", "", "", kBadCommand + "13"},
            {char(0xE9), "", "", "", kBadCommand + "233"},
        };
        for (const Case &c : cases) {
            gCurrentErrorMsg = QStringLiteral("earlier");
            QVERIFY2(!link.control.SendCmd(link.port, c.cmd, c.para1, c.para2, c.para3),
                     qPrintable(c.error));
            QCOMPARE(link.control.GetCurrentErrorMsg(), c.error);
        }
        QCOMPARE(link.takeWire(), QByteArray());

        // Raw output keeps frame characters, but never a substituted "?".
        for (QString data : {emoji, loneSurrogate}) {
            QVERIFY_THROWS_EXCEPTION(tavro::CallError, link.control.TxData(link.port, data));
        }
        QCOMPARE(link.takeWire(), QByteArray());
        QVERIFY(link.control.ComPortStateGet(link.port));

        // What the console sends still goes out as it is: Hangul names,
        // "ALL", numbers, and a question mark the caller did type.
        const QString name = QStringLiteral("홍길동똠");
        QVERIFY(link.control.SendCmd(link.port, 'J', name, QStringLiteral("1")));
        QVERIFY(link.control.SendCmd(link.port, 'B', QStringLiteral("ALL")));
        QVERIFY(link.control.SendCmd(link.port, 'C', QStringLiteral("?#*0212")));
        QCOMPARE(link.takeWire(), "[J\r" + cp949(name)
                     + "\r1\r][B\rALL\r][C\r?#*0212\r]");
    }

    void nestedWaitsAreLimited()
    {
        Link link;
        QVERIFY(link.opened);
        // Every answer makes the host send one more command from its handler;
        // bounded here, so a library without a limit fails instead of crashing.
        QList<bool> results;
        QString refusal;
        bool outerDone = false;
        int started = 0;
        connect(&link.control, &tavro_m::ReceiveReal, this, [&](const QString &, const QString &) {
            if (outerDone || ++started > 40)
                return;
            const bool sent = link.control.SendCmd(link.port, 't', QStringLiteral("0"));
            if (!sent)
                refusal = link.control.GetCurrentErrorMsg();
            results.prepend(sent);
        });
        QVERIFY(link.control.SendCmd(link.port, 'u', QStringLiteral("0")));
        outerDone = true;
        // Eight waits at once: the outer one and seven nested; the ninth is
        // refused before its "[", and every other command still goes out.
        QCOMPARE(results.size(), 8);
        QCOMPARE(results.count(true), 7);
        QCOMPARE(results.last(), false);
        QCOMPARE(refusal, kTooDeep);
        QCOMPARE(link.takeWire(), QByteArray(8, '[') + QByteArray("t\r0\r]").repeated(7) + "u\r0\r]");
        QVERIFY(!link.syncTimerActive());
        // The limit counts waits in progress, not commands sent.
        QVERIFY(link.control.SendCmd(link.port, 't', QStringLiteral("0")));
    }

    // Takes about 5.5 s: the terminal never answers.
    void everyWaitEndsByItsOwnDeadline()
    {
        Link link;
        QVERIFY(link.opened);
        link.peer.onRequest = [] {};
        struct Wait
        {
            qint64 start, end;
            bool sent;
        };
        QList<Wait> waits;
        QElapsedTimer clock;
        clock.start();
        // While a command waits, the host starts another one every second,
        // each inside the wait of the one before.
        QObject host;
        for (int k = 1; k <= 5; ++k) {
            QTimer::singleShot(k * 1000, &host, [&] {
                const qint64 start = clock.elapsed();
                const bool sent = link.control.SendCmd(link.port, 't', QStringLiteral("0"));
                waits << Wait {start, clock.elapsed(), sent};
            });
        }
        const bool sent = link.control.SendCmd(link.port, 'u', QStringLiteral("0"));
        waits << Wait {0, clock.elapsed(), sent};

        QCOMPARE(waits.size(), 6);
        for (const Wait &w : waits) {
            QVERIFY(!w.sent);
            QVERIFY2(w.end - w.start <= 6500,
                     qPrintable(QStringLiteral("a wait from %1 ms ended at %2 ms").arg(w.start).arg(w.end)));
        }
        QVERIFY2(waits.last().end >= 5000, qPrintable(QString::number(waits.last().end)));
        QCOMPARE(link.control.GetCurrentErrorMsg(), kNoAnswer);
        QVERIFY(!link.syncTimerActive());
    }

    void fullOutputQueueFailsTheCallNotThePort()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        tavro_m control({{QStringLiteral("COM1"), pty.slavePath()}});
        QString port = QStringLiteral("COM1"), error;
        QCOMPARE(control.OpenTavro(port, error), qint16(0));

        // The terminal takes nothing: the line's buffers fill up, then the
        // output queue reaches its bound.
        QString chunk(1024, u'x');
        QString one(1, u'x');
        qsizetype accepted = 0;
        bool refused = false;
        for (int i = 0; i < 256 && !refused; ++i) {
            try {
                control.TxData(port, chunk);
                accepted += chunk.size();
            } catch (const tavro::CallError &) {
                refused = true;
            }
            QCoreApplication::processEvents();
        }
        QVERIFY(refused);
        QVERIFY2(accepted >= 16 * 1024, qPrintable(QString::number(accepted)));
        QTest::qWait(300);
        QVERIFY(control.ComPortStateGet(port));

        // The kernel may have taken a few more bytes meanwhile: fill the queue
        // to its last byte (nothing is written out before the event loop runs),
        // so that not even the "[" of a command fits.
        for (int i = 0; i < 32768; ++i) {
            try {
                control.TxData(port, one);
                accepted += 1;
            } catch (const tavro::CallError &) {
                break;
            }
        }
        gCurrentErrorMsg.clear();
        QVERIFY(!control.SendCmd(port, 't', QStringLiteral("0")));
        QCOMPARE(control.GetCurrentErrorMsg(), kBacklogFull);

        // The terminal reads again: everything queued arrives, nothing
        // refused does, and commands go through.
        AckPeer peer(pty);
        QTRY_COMPARE_WITH_TIMEOUT(peer.received.size(), accepted, 10000);
        QCOMPARE(peer.received, QByteArray(accepted, 'x'));
        QVERIFY(control.SendCmd(port, 't', QStringLiteral("0")));
        QTRY_VERIFY(peer.received.endsWith("[t\r0\r]"));
        QVERIFY(control.ComPortStateGet(port));
    }

    void txDataWritesRawText()
    {
        Link link;
        QVERIFY(link.opened);
        gCurrentErrorMsg = QStringLiteral("earlier");
        gAckReceived = true;
        for (const QString &text : {QStringLiteral("abc"), QStringLiteral("[x]\r\n"), QStringLiteral("똠")}) {
            QString data = text;
            QVERIFY(link.control.TxData(link.port, data).isNull());
            QCOMPARE(data, text);
        }
        QCOMPARE(link.takeWire(), QByteArray("abc[x]\r\n\x8c\x63"));
        QCOMPARE(gCurrentErrorMsg, QStringLiteral("earlier"));
        QVERIFY(gAckReceived);

        QString data = QStringLiteral("abc"), error;
        for (QString name : {QStringLiteral("COM5"), QStringLiteral("com1"), QStringLiteral("COM2")})
            QVERIFY_THROWS_EXCEPTION(tavro::CallError, link.control.TxData(name, data));
        link.control.CloseTavro(link.port, error);
        QVERIFY_THROWS_EXCEPTION(tavro::CallError, link.control.TxData(link.port, data));
    }
};

QTEST_GUILESS_MAIN(TransmissionTest)
#include "tst_transmission.moc"
