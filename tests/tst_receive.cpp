// The receive path: buffer, synchronisation answer, framing, field reads.
#include "codec.h"
#include "event_capture.h"
#include "fake_slot.h"
#include "link_state.h"
#include "pty_pair.h"
#include "tavro/tavro_m.h"

#include <QtTest>

using namespace tavro::detail;

namespace {

QByteArray callReport(const QByteArray &number, const QByteArray &name = "Kim")
{
    return "Report\r\nD\r\nTime:03151030\r\nNumber:" + number + "\r\nName:" + name
        + "\r\nGroup:3\r\nType:S\r\nEnd\r\n";
}

using Hooks = QList<QPair<QString, bool>>;

bool openPort(tavro_m &control, const char *name)
{
    QString port = QString::fromLatin1(name), error;
    return control.OpenTavro(port, error) == 0;
}

QStringList texts(const QSignalSpy &spy, int arg = 0)
{
    QStringList out;
    for (const auto &call : spy)
        out << call.at(arg).toString();
    return out;
}

} // namespace

class ReceiveTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetLinkState(); }

    void workedExchangeOverPty()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        tavro_m control({{"COM1", pty.slavePath()}});
        QString com1 = QStringLiteral("COM1"), error;
        QCOMPARE(control.OpenTavro(com1, error), qint16(0));
        QSignalSpy debug(&control, &tavro_m::DebugMsg);
        QSignalSpy real(&control, &tavro_m::ReceiveReal);

        pty.write("ACK\r\n");
        QTRY_COMPARE(real.size(), 1);
        QCOMPARE(real.at(0).at(0).toString(), com1);
        QCOMPARE(real.at(0).at(1).toString(), QStringLiteral("ACK\r\n"));
        QVERIFY(gAckReceived);
        QCOMPARE(texts(debug), QStringList{QStringLiteral("portname=COM1")});
        QCOMPARE(gRxData[0], QStringLiteral("ACK\r\n")); // the answer stays in the buffer

        pty.write("Response\r\nt\r\n");
        QTRY_COMPARE(real.size(), 2);
        QCOMPARE(gRxData[0], QStringLiteral("ACK\r\nResponse\r\nt\r\n"));

        debug.clear();
        pty.write("1\r\nEnd\r\n");
        QTRY_COMPARE(real.size(), 3);
        QCOMPARE(texts(debug).mid(0, 2),
                 (QStringList{QStringLiteral("portname=COM1"),
                              QStringLiteral("전체수신데이터:ACK\r\nResponse\r\nt\r\n1\r\nEnd\r\n")}));
        QVERIFY(gRxData[0].isEmpty());
    }

    void hangulSplitBetweenReadsArrivesIntact()
    {
        PtyPair pty;
        tavro_m control({{"COM2", pty.slavePath()}});
        QString com2 = QStringLiteral("COM2"), error;
        QCOMPARE(control.OpenTavro(com2, error), qint16(0));
        QSignalSpy real(&control, &tavro_m::ReceiveReal);
        const QString name = QStringLiteral("똠방각하 홍길동");
        const QByteArray bytes = cp949(name);
        QCOMPARE(bytes.left(2), QByteArray("\x8c\x63")); // 똠 in code page 949
        for (char byte : bytes) {
            pty.write(QByteArray(1, byte));
            QTest::qWait(5);
        }
        QTRY_COMPARE(texts(real, 1).join(QString()), name);
        QCOMPARE(real.at(0).at(0).toString(), com2);
        QCOMPARE(gRxData[1], name);
    }

    void everyPieceSizeFramesTheSameMessages()
    {
        const QByteArray stream = cp949(QStringLiteral(
            "ACK\r\nReport\r\nD\r\nTime:03151030\r\nNumber:0212345678\r\nName:홍길동\r\nGroup:1\r\nType:S\r\nEnd\r\n"
            "noise\r\nResponse\r\nt\r\n1\r\nEnd\r\n"
            "Report\r\nB\r\nEnd\r\nReport\r\nC\r\nEnd\r\n"));
        QStringList reference;
        for (int size : {int(stream.size()), 1, 2, 3, 7, 64}) {
            resetLinkState();
            PtyPair pty;
            tavro_m control({{"COM1", pty.slavePath()}});
            QString com1 = QStringLiteral("COM1"), error;
            QCOMPARE(control.OpenTavro(com1, error), qint16(0));
            QSignalSpy debug(&control, &tavro_m::DebugMsg);
            for (qsizetype at = 0; at < stream.size(); at += size) {
                pty.write(stream.mid(at, size));
                QTest::qWait(2);
            }
            QTRY_VERIFY(gRxData[0].isEmpty() && !texts(debug).filter("s1:idx=").isEmpty()
                        && texts(debug).filter("s1:idx=").size() == 3);
            // One framing per message: three reports (marker positions) and one response.
            QStringList framing = texts(debug).filter(QRegularExpression("^s1:idx="));
            QCOMPARE(texts(debug).filter(QStringLiteral("전체수신데이터:")).size(), 4);
            if (reference.isEmpty())
                reference = framing;
            QCOMPARE(framing.size(), reference.size());
        }
    }

    void everyCompleteMessageIsFramedAtOnce()
    {
        FakeSlot *fakes[4] = {};
        tavro_m control;
        FakeSlot *port = openFakeCom1(control, fakes);
        QVERIFY(port);
        QSignalSpy debug(&control, &tavro_m::DebugMsg);
        // Two whole reports in one piece: both framed before the notification returns.
        port->feedNow("Report\r\nB\r\nEnd\r\nReport\r\nC\r\nEnd\r\n");
        QCOMPARE(texts(debug).filter(QStringLiteral("전체수신데이터:")).size(), 2);
        QVERIFY(gRxData[0].isEmpty());
    }

    void earliestMessageIsFramedFirst()
    {
        FakeSlot *fakes[4] = {};
        tavro_m control;
        FakeSlot *port = openFakeCom1(control, fakes);
        QSignalSpy debug(&control, &tavro_m::DebugMsg);
        // A report in front of a response is framed, not dropped.
        port->feedNow("Report\r\nD\r\nNumber:1\r\nEnd\r\nResponse\r\nt\r\n1\r\nEnd\r\n");
        const QStringList all = texts(debug);
        const QStringList dumps = all.filter(QStringLiteral("전체수신데이터:"));
        QCOMPARE(dumps.size(), 2);
        QCOMPARE(dumps.at(1), QStringLiteral("전체수신데이터:Response\r\nt\r\n1\r\nEnd\r\n"));
        QCOMPARE(all.filter(QStringLiteral("s1:idx=")), QStringList{QStringLiteral("s1:idx=1\r\n")});
        QVERIFY(gRxData[0].isEmpty());
    }

    void endLineWithoutMarkerDropsOnlyThroughIt()
    {
        FakeSlot *fakes[4] = {};
        tavro_m control;
        FakeSlot *port = openFakeCom1(control, fakes);
        QSignalSpy debug(&control, &tavro_m::DebugMsg);
        port->feedNow("abc\r\nEnd\r\nRepo");
        QVERIFY(texts(debug).contains(QStringLiteral("s1:idx=0\r\n")));
        QCOMPARE(gRxData[0], QStringLiteral("Repo"));
        // The beginning of the next message survived, so it completes.
        debug.clear();
        port->feedNow("rt\r\nB\r\nEnd\r\n");
        QCOMPARE(texts(debug).filter(QStringLiteral("s1:idx=")), QStringList{QStringLiteral("s1:idx=1\r\n")});
        QVERIFY(gRxData[0].isEmpty());
    }

    void incompleteResponseWaitsForItsOwnEndLine()
    {
        FakeSlot *fakes[4] = {};
        tavro_m control;
        FakeSlot *port = openFakeCom1(control, fakes);
        QSignalSpy debug(&control, &tavro_m::DebugMsg);
        port->feedNow("xy\r\nEnd\r\nResponse\r\nt\r\n");
        QCOMPARE(gRxData[0], QStringLiteral("Response\r\nt\r\n"));
        debug.clear();
        port->feedNow("1\r\nEnd\r\n");
        QCOMPARE(texts(debug).filter(QStringLiteral("전체수신데이터:")),
                 QStringList{QStringLiteral("전체수신데이터:Response\r\nt\r\n1\r\nEnd\r\n")});
        QVERIFY(texts(debug).filter(QStringLiteral("s1:idx=")).isEmpty());
        QVERIFY(gRxData[0].isEmpty());
    }

    void endInsideAValueIsNotAnEndLine()
    {
        FakeSlot *fakes[4] = {};
        tavro_m control;
        FakeSlot *port = openFakeCom1(control, fakes);
        QSignalSpy debug(&control, &tavro_m::DebugMsg);
        port->feedNow("Report\r\nD\r\nName:BackEnd\r\nGroup:1\r\n");
        QVERIFY(texts(debug).filter(QStringLiteral("전체수신데이터:")).isEmpty());
        port->feedNow("Type:S\r\nEnd\r\n");
        QCOMPARE(texts(debug).filter(QStringLiteral("전체수신데이터:")).size(), 1);
        QVERIFY(gRxData[0].isEmpty());
        // Nor is a marker inside a value a marker.
        debug.clear();
        port->feedNow("Report\r\nD\r\nName:Report\r\nEnd\r\n");
        QCOMPARE(texts(debug).filter(QStringLiteral("s1:idx=")), QStringList{QStringLiteral("s1:idx=1\r\n")});
    }

    void markerCountsWhereverItStands()
    {
        // Noise, a NUL, a byte no code page 949 character starts with, a
        // command echo, a marker cut by a reset, or a long run without a
        // line end in front of a marker: only the text in front goes.
        const QByteArray noisyFronts[] = {"xyz", QByteArray("\0", 1), "\xff", "t\r0\r]", "Respo",
                                          "Repo", "ACK", QByteArray(3000, 'n')};
        for (const QByteArray &front : noisyFronts) {
            resetLinkState();
            FakeLink t;
            t.port->feedNow(front + "Report\r\nB\r\nEnd\r\n");
            t.port->feedNow(front + "Response\r\nt\r\n1\r\nEnd\r\n");
            t.port->feedNow(front + callReport("0212345678"));
            QCOMPARE(t.hookStates(), QList<bool>{true});
            QCOMPARE(t.responses.size(), 1);
            QCOMPARE(t.responses.at(0).rst1, QStringLiteral("1"));
            QCOMPARE(t.callNumbers(), QStringList{QStringLiteral("0212345678")});
            QCOMPARE(t.calls.at(0).info.lName, QStringLiteral("Kim"));
            QVERIFY(gRxData[0].isEmpty());
        }

        // A byte between the CR and LF of an end line: that message is
        // damaged and dropped, the intact one behind it is raised.
        FakeLink t;
        t.port->feedNow("Report\r\nB\r\nEnd\rX\nReport\r\nC\r\nEnd\r\n");
        QCOMPARE(t.hookStates(), QList<bool>{false});

        // A caller named "Report" or "Response" stays a value.
        t.port->feedNow(callReport("0311112222", "Report") + callReport("0322223333", "Response"));
        QCOMPARE(t.callNumbers(), (QStringList{"0311112222", "0322223333"}));
        QCOMPARE(t.calls.at(0).info.lName, QStringLiteral("Report"));
        QCOMPARE(t.calls.at(1).info.lName, QStringLiteral("Response"));
        QCOMPARE(t.calls.at(1).info.lGroup, qint16(3));

        // A fragment cut off by a reset is dropped in front of the whole
        // message, never merged into it: cut inside a value, at a line end,
        // or right behind a title.
        t.calls.clear();
        for (const char *fragment : {"Report\r\nD\r\nTime:01010101\r\nNumber:0999",
                                     "Report\r\nD\r\nTime:01010101\r\n", "Report\r\nE\r\nTime:01010101\r\nName:",
                                     "Response\r\na\r\nTime:01010101\r\nNumber:0999\r\nName:"}) {
            t.port->feedNow(QByteArray(fragment) + callReport("0212345678"));
        }
        QCOMPARE(t.calls.size(), 4);
        for (const CapturedCall &call : t.calls) {
            QCOMPARE(call.state, qint16(1));
            QCOMPARE(call.info.lNumber, QStringLiteral("0212345678"));
            QCOMPARE(call.info.lName, QStringLiteral("Kim"));
            QCOMPARE(call.info.lMonth, qint16(3));
        }
        QVERIFY(t.lists.isEmpty());
        QVERIFY(gRxData[0].isEmpty());
    }

    void leadByteInFrontOfAMarker()
    {
        // A byte that opens a two-byte character in front of a marker's "R":
        // where no such character exists (0xC7 on) it stands alone as U+FFFD
        // and the message is decoded; 0x81..0xC6 with "R" is a character of
        // the extended range, which takes the letter as it always has. Fed
        // whole and with the lead byte as a read of its own.
        const QByteArray messages[] = {"Report\r\nB\r\nEnd\r\n", "Response\r\nt\r\n1\r\nEnd\r\n"};
        for (int lead = 0x81; lead <= 0xFE; ++lead) {
            for (const QByteArray &message : messages) {
                for (bool split : {false, true}) {
                    resetLinkState();
                    FakeLink t;
                    QSignalSpy real(&t.control, &tavro_m::ReceiveReal);
                    const QByteArray front(1, char(lead));
                    if (split)
                        t.port->feedNow(front);
                    t.port->feedNow(split ? message : front + message);
                    const QString arrived = texts(real, 1).join(QString());
                    const int decoded = t.hooks.size() + t.responses.size();
                    const QByteArray what = QByteArray::number(lead, 16) + (split ? " split " : " ") + message.left(3);
                    if (lead <= 0xC6) {
                        QVERIFY2(arrived == fromCp949(front + message) && arrived.at(0) != QChar::ReplacementCharacter
                                     && decoded == 0,
                                 what);
                    } else {
                        QVERIFY2(arrived == QChar(QChar::ReplacementCharacter) + QString::fromLatin1(message)
                                     && decoded == 1,
                                 what);
                    }
                    // Nothing of it lingers in front of the next message.
                    t.port->feedNow("Report\r\nC\r\nEnd\r\n");
                    QVERIFY2(t.hookStates().endsWith(false) && gRxData[0].isEmpty(), what);
                }
            }
        }
    }

    void framingLooksAfreshAfterEveryEvent()
    {
        // A DebugMsg handler that lets input run (as one calling SendCmd
        // does) decodes a whole call and the start of the next one meanwhile.
        for (const QString &during : {QStringLiteral("전체수신데이터:"), QStringLiteral("s1:idx=")}) {
            resetLinkState();
            FakeLink t;
            bool nested = false;
            QObject::connect(&t.control, &tavro_m::DebugMsg, [&](const QString &text) {
                if (nested || !text.startsWith(during))
                    return;
                nested = true;
                t.port->feedNow(callReport("0211111111") + "Report\r\nD\r\nTime:0316");
            });
            t.port->feedNow("Report\r\nB\r\nEnd\r\n");
            QVERIFY(nested);
            QCOMPARE(t.hookStates(), QList<bool>{true});
            QCOMPARE(t.callNumbers(), QStringList{QStringLiteral("0211111111")});
            // The rest of the second call arrives: it is whole, not an empty call.
            t.port->feedNow("1030\r\nNumber:0222222222\r\nName:Lee\r\nGroup:1\r\nType:S\r\nEnd\r\n");
            QCOMPARE(t.callNumbers(), (QStringList{"0211111111", "0222222222"}));
            QCOMPARE(t.calls.at(1).info.lDay, qint16(16));
            QCOMPARE(t.calls.at(1).info.lName, QStringLiteral("Lee"));
            QVERIFY(gRxData[0].isEmpty());
        }
    }

    void fieldReadsFindTitlesAnywhereInsideTheirMessage()
    {
        FakeLink t;
        // A blank or noise in front of a title hides nothing.
        t.port->feedNow("Report\r\nD\r\n Time:03151030\r\n" + QByteArray(1, '\0')
                        + "Number:0212\r\nxxName:Kim\r\n\tGroup:4\r\n Type:V\r\nEnd\r\n");
        QCOMPARE(t.calls.size(), 1);
        const CID_INFO &info = t.calls.at(0).info;
        QCOMPARE(info.lMonth, qint16(3));
        QCOMPARE(info.lDay, qint16(15));
        QCOMPARE(info.lHour, qint16(10));
        QCOMPARE(info.lMin, qint16(30));
        QCOMPARE(info.lNumber, QStringLiteral("0212"));
        QCOMPARE(info.lName, QStringLiteral("Kim"));
        QCOMPARE(info.lGroup, qint16(4));
        QCOMPARE(info.lTelType, QStringLiteral("VIP"));

        // A field missing from one message is not taken from the next.
        t.port->feedNow("Report\r\nD\r\nTime:03151030\r\nEnd\r\n" + callReport("0555"));
        QCOMPARE(t.callNumbers(), (QStringList{"0212", "", "0555"}));
        QCOMPARE(t.calls.at(1).info.lName, QString());

        // The end line yields one value at most, and the message still ends
        // there, once: the report behind it arrives.
        t.port->feedNow("Response\r\nd\r\nEnd\r\nReport\r\nC\r\nEnd\r\n");
        QCOMPARE(t.responses.size(), 1);
        QCOMPARE(t.responses.at(0).msgType, qint16('d'));
        QCOMPARE(t.responses.at(0).rst1, QStringLiteral("En-d"));
        QCOMPARE(t.responses.at(0).rst2, QStringLiteral(":"));
        QVERIFY(t.debug.contains(QStringLiteral("ldate=End  ltime=")));
        QCOMPARE(t.hookStates(), QList<bool>{false});
        // A melody list short of its last line reads "End" once, then stops.
        t.port->feedNow("Response\r\np\r\n2\r\nEnd\r\n");
        QCOMPARE(t.lists.size(), 1);
        QCOMPARE(t.lists.at(0).max, qint16(1));
        QCOMPARE(t.lists.at(0).records[0].lName, QStringLiteral("End"));
        QVERIFY(gRxData[0].isEmpty());
    }

    void closedPortNeverRaisesItsCutMessage()
    {
        FakeLink t;
        QVERIFY(openPort(t.control, "COM2"));
        QString com1 = QStringLiteral("COM1"), error;
        // Closed right after a report's end line, short of its CR LF.
        t.port->feedNow("Report\r\nB\r\nEnd");
        QCOMPARE(t.control.CloseTavro(com1, error), qint16(0));
        t.fakes[1]->feedNow("\r\nReport\r\nC\r\nEnd\r\n");
        QVERIFY(openPort(t.control, "COM1"));
        t.port->feedNow("\r\nReport\r\nC\r\nEnd\r\n");
        QCOMPARE(t.hooks, (Hooks{{"COM2", false}, {"COM1", false}}));

        // The same for a device that vanishes in the middle of a call.
        t.port->feedNow("Report\r\nB\r\nEnd");
        t.port->close();
        emit t.port->failed(QStringLiteral("gone"));
        t.fakes[1]->feedNow("\r\n" + callReport("0212"));
        QVERIFY(openPort(t.control, "COM1"));
        t.port->feedNow("\r\nReport\r\nC\r\nEnd\r\n");
        QCOMPARE(t.hookStates(), (QList<bool>{false, false, false}));
        QCOMPARE(t.callNumbers(), QStringList{QStringLiteral("0212")});
        QVERIFY(gRxData[0].isEmpty() && gRxData[1].isEmpty());
    }

    void twoTerminalsSendingAtOnce()
    {
        FakeLink t;
        QVERIFY(openPort(t.control, "COM2"));
        const QByteArray one = "ACK\r\n" + callReport("0211111111") + "Report\r\nB\r\nEnd\r\n"
            + "Response\r\nt\r\n1\r\nEnd\r\n";
        const QByteArray two = callReport("0322222222", "\x8c\x63") + "Report\r\nC\r\nEnd\r\n"
            + callReport("0333333333", "Lee");
        // Pieces of 1 to 7 bytes, taking turns between the two lines.
        for (qsizetype at1 = 0, at2 = 0, size = 1; at1 < one.size() || at2 < two.size(); size = size % 7 + 1) {
            t.port->feedNow(one.mid(at1, size));
            t.fakes[1]->feedNow(two.mid(at2, size + 1));
            at1 += size;
            at2 += size + 1;
        }
        QStringList seen;
        for (const CapturedCall &call : t.calls)
            seen << call.port + ":" + call.info.lNumber + ":" + call.info.lName;
        QCOMPARE(seen, (QStringList{"COM2:0322222222:똠", "COM1:0211111111:Kim", "COM2:0333333333:Lee"}));
        QCOMPARE(t.hooks, (Hooks{{"COM2", false}, {"COM1", true}}));
        QCOMPARE(t.responses.size(), 1);
        QCOMPARE(t.responses.at(0).port, QStringLiteral("COM1"));
        QVERIFY(gAckReceived);
        QVERIFY(gRxData[0].isEmpty() && gRxData[1].isEmpty());
    }

    void bufferIsBounded()
    {
        FakeSlot *fakes[4] = {};
        tavro_m control;
        FakeSlot *port = openFakeCom1(control, fakes);
        QByteArray noise;
        for (int i = 0; i < 40000; ++i)
            noise += char('a' + i % 26);
        port->feedNow(noise);
        QCOMPARE(gRxData[0].size(), kRxLimit);
        QCOMPARE(gRxData[0], QString::fromLatin1(noise.right(kRxLimit)));
        // A message behind the noise still gets through.
        QSignalSpy debug(&control, &tavro_m::DebugMsg);
        port->feedNow("\r\nReport\r\nB\r\nEnd\r\n");
        QCOMPARE(texts(debug).filter(QStringLiteral("s1:idx=")).size(), 1);
        QVERIFY(gRxData[0].isEmpty());
    }

    void ackAnywhereAndAcrossPieces()
    {
        FakeSlot *fakes[4] = {};
        tavro_m control;
        FakeSlot *port = openFakeCom1(control, fakes);
        port->feedNow("xxAC");
        QVERIFY(!gAckReceived);
        port->feedNow("Kyy");
        QVERIFY(gAckReceived);
        // Text on COM2 goes to its own buffer; its ACK counts all the same.
        gAckReceived = false;
        QString com2 = QStringLiteral("COM2"), error;
        QCOMPARE(control.OpenTavro(com2, error), qint16(0));
        fakes[1]->feedNow("ACK");
        QVERIFY(gAckReceived);
        QCOMPARE(gRxData[0], QStringLiteral("xxACKyy"));
        QCOMPARE(gRxData[1], QStringLiteral("ACK"));
        // An ACK split between two ports is no ACK.
        gAckReceived = false;
        fakes[1]->feedNow("\r\nAC");
        port->feedNow("K");
        QVERIFY(!gAckReceived);
    }

    void fieldReadsStayInsideTheirMessage()
    {
        tavro_m control;
        gRxData[0] = QStringLiteral("Time:03151030\r\nNumber:0212\r\nEnd\r\nReport\r\nD\r\nName:Kim\r\nEnd\r\n");
        QCOMPARE(control.GetInformationWithIndicator(QStringLiteral("Number:")), QStringLiteral("0212"));
        QCOMPARE(gRxData[0].left(5), QStringLiteral("End\r\n"));
        QCOMPARE(control.GetInformationWithIndicator(QStringLiteral("Time:")), QString());
        // The next message's field is out of reach and stays where it is.
        QCOMPARE(control.GetInformationWithIndicator(QStringLiteral("Name:")), QString());
        QVERIFY(gRxData[0].contains(QStringLiteral("Name:Kim")));

        gRxData[0] = QStringLiteral("\r\nEnd\r\n");
        QCOMPARE(control.GetInformationWithoutIndicator(), QString());
        QCOMPARE(gRxData[0], QStringLiteral("End\r\n"));
        // At the end line the value reads "End", and the end line stays.
        QCOMPARE(control.GetInformationWithoutIndicator(), QStringLiteral("End"));
        QCOMPARE(gRxData[0], QStringLiteral("End\r\n"));
        control.EndMessageDiscard();
        QVERIFY(gRxData[0].isEmpty());

        gRxData[0] = QStringLiteral("no line end");
        QCOMPARE(control.GetInformationWithoutIndicator(), QString());
        control.EndMessageDiscard();
        QCOMPARE(gRxData[0], QStringLiteral("no line end"));
    }

    void conversionRules()
    {
        QCOMPARE(substring(QStringLiteral("0315"), 3, 2), QStringLiteral("15"));
        QCOMPARE(substring(QStringLiteral("abcdef"), 7, 2), QString());
        QCOMPARE(substring(QStringLiteral("abc"), 2, 5), QStringLiteral("bc"));
        const struct { const char *text; qint16 value; } rows[] = {
            {"07", 7}, {" 12", 12}, {"a", 0}, {"", 0}, {"3x", 3}, {"-4", -4}, {"2.5", 2},
            {"3.5", 4}, {"32767", 32767}, {"32768", 32767}, {"99999999999999999999", 32767},
            {"-40000", -32768}, {".", 0}, {"+", 0},
        };
        for (const auto &row : rows)
            QCOMPARE(numberValue(QString::fromLatin1(row.text)), row.value);
    }

    void messageLeavesTheBufferWhicheverPartIsLarger()
    {
        FakeSlot *fakes[4] = {};
        tavro_m control;
        FakeSlot *port = openFakeCom1(control, fakes);
        QStringList names, leftAtEvent;
        connect(&control, &tavro_m::ReceiveCall, [&](const QString &, qint16, CID_INFO &call) {
            names << call.lName;
            leftAtEvent << gRxData[0];
        });
        // A short message with a long partial one behind it, then a long
        // message with a short tail: either way only the tail stays.
        const QByteArray longTail = "Report\r\nD\r\nTime:0315" + QByteArray(300, 'x');
        port->feedNow(callReport("02", "Kim") + longTail);
        const QByteArray longName(300, 'n');
        port->feedNow("\r\n" + callReport("03", longName) + "Repo");
        QCOMPARE(names, QStringList({QStringLiteral("Kim"), QString::fromLatin1(longName)}));
        QCOMPARE(leftAtEvent.at(0), QString::fromLatin1(longTail));
        QCOMPARE(leftAtEvent.at(1), QStringLiteral("Repo"));
        QCOMPARE(gRxData[0], QStringLiteral("Repo"));

        // The ACK scan start moves with the text taken: an ACK right behind
        // the remaining text counts, one in front of the scan start does not.
        clearRx(0);
        port->feedNow("ACK");
        markAckScanStart();
        gAckReceived = false;
        port->feedNow(callReport("04", longName) + "xx");
        QVERIFY(!gAckReceived);
        QCOMPARE(gRxData[0], QStringLiteral("xx"));
        port->feedNow("ACK");
        QVERIFY(gAckReceived);
    }

    void closingMidLineDoesNotMergeTheNextMessage()
    {
        FakeSlot *fakes[4] = {};
        tavro_m control;
        FakeSlot *port = openFakeCom1(control, fakes);
        QList<CID_INFO> calls; // copied while the record lives
        connect(&control, &tavro_m::ReceiveCall,
                [&calls](const QString &, qint16, CID_INFO &call) { calls.append(call); });
        port->feedNow("Report\r\nD\r\nTime:01010101\r\nNumber:02");
        QString com1 = QStringLiteral("COM1"), error;
        QCOMPARE(control.CloseTavro(com1, error), qint16(0));
        QCOMPARE(control.OpenTavro(com1, error), qint16(0));
        port->feedNow("Report\r\nD\r\nTime:03151030\r\nNumber:0311112222\r\nName:Lee\r\n"
                      "Group:2\r\nType:S\r\nEnd\r\n");
        QCOMPARE(calls.size(), 1);
        const CID_INFO &call = calls.at(0);
        QCOMPARE(call.lNumber, QStringLiteral("0311112222"));
        QCOMPARE(call.lMonth, qint16(3));
        QVERIFY(gRxData[0].isEmpty());
    }

    // Whether anyone listens to DebugMsg and ReceiveReal is remembered: a
    // listener that comes or goes between pieces, or during one, counts.
    void listenersThatComeAndGoMidStream()
    {
        tavro_m control;
        FakeSlot *fakes[4] = {};
        FakeSlot *port = openFakeCom1(control, fakes);
        QVERIFY(port);
        port->feedNow("Report\r\n"); // read while nobody listens

        QStringList pieces;
        const auto heardPiece = [&](const QString &, const QString &text) { pieces << text; };
        QObject::connect(&control, &tavro_m::DebugMsg, &control, [&](const QString &text) {
            // Joins during the piece it is told about, and hears that piece.
            if (text == QStringLiteral("portname=COM1") && pieces.isEmpty())
                QObject::connect(&control, &tavro_m::ReceiveReal, &control, heardPiece);
        });
        port->feedNow("B\r\n");
        QCOMPARE(pieces, QStringList {QStringLiteral("B\r\n")});

        control.disconnect();
        port->feedNow("End\r\n");
        QCOMPARE(pieces.size(), 1);
        QSignalSpy debug(&control, &tavro_m::DebugMsg);
        QSignalSpy real(&control, &tavro_m::ReceiveReal);
        port->feedNow("Report\r\nC\r\nEnd\r\n");
        QCOMPARE(texts(real, 1), QStringList {QStringLiteral("Report\r\nC\r\nEnd\r\n")});
        QCOMPARE(texts(debug).filter(QStringLiteral("전체수신데이터:")).size(), 1);
    }

    void vanishedDeviceClosesTheSlotOnce()
    {
        auto pty = std::make_unique<PtyPair>();
        tavro_m control({{"COM1", pty->slavePath()}});
        QString com1 = QStringLiteral("COM1"), error;
        QCOMPARE(control.OpenTavro(com1, error), qint16(0));
        QSignalSpy debug(&control, &tavro_m::DebugMsg);
        pty->write("Report\r\nB\r\n");
        QTRY_VERIFY(gRxData[0].contains(QStringLiteral("Report")));
        pty->closeMaster();
        QTRY_VERIFY(!control.ComPortStateGet(com1));
        QTest::qWait(200);
        const QStringList closing = texts(debug).filter(QStringLiteral("장치 오류"));
        QCOMPARE(closing.size(), 1);
        QVERIFY(closing.first().startsWith(QStringLiteral("COM1 ")));
        // The port opens again on a new device.
        PtyPair again;
        control.setPortMap({{"COM1", again.slavePath()}});
        QCOMPARE(control.OpenTavro(com1, error), qint16(0));
        QVERIFY(control.ComPortStateGet(com1));
    }
};

QTEST_GUILESS_MAIN(ReceiveTest)
#include "tst_receive.moc"
