// The device link against tavro_sim over a pty: calls and handset reports
// typed into the simulator, and every kind of message cut into pieces.
#include "link_rig.h"

#include <QtTest>

class E2eReportsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<LinkRig> rig;

private slots:
    void init()
    {
        rig = std::make_unique<LinkRig>();
        QVERIFY(rig->start());
        QVERIFY(rig->send('D', QStringLiteral("02-29"), QStringLiteral("08:07")));
        QVERIFY(rig->sim().waitForOutput("clock set to 02-29 08:07"));
    }

    void cleanup() { rig.reset(); }

    void callsReachReceiveCall()
    {
        const QList<QPair<QString, QString>> types = {{"S", "NORMAL"}, {"C", "PUBLIC"}, {"P", "NO_DISP"},
                                                      {"O", "NO_GATHER"}, {"V", "VIP"}, {"B", "BLACK"}};
        for (const auto &[letter, word] : types) {
            rig->calls.clear();
            QVERIFY(rig->typeAndWait(QStringLiteral("call 0212345678 홍길동 5 ") + letter));
            QCOMPARE(rig->calls.size(), 1);
            const CallEvent &call = rig->calls[0];
            QCOMPARE(call.port, QStringLiteral("COM1"));
            QCOMPARE(call.callState, 1);
            QCOMPARE(call.info.lMonth, qint16(2));
            QCOMPARE(call.info.lDay, qint16(29));
            QCOMPARE(call.info.lHour, qint16(8));
            QCOMPARE(call.info.lMin, qint16(7));
            QCOMPARE(call.info.lNumber, QStringLiteral("0212345678"));
            QCOMPARE(call.info.lName, QStringLiteral("홍길동"));
            QCOMPARE(call.info.lGroup, qint16(5));
            QCOMPARE(call.info.lTelType, word);
        }

        // During a call; a name that a wrong code page variant garbles.
        rig->calls.clear();
        QVERIFY(rig->typeAndWait(QStringLiteral("busy 01099998888 \"똠 양꿍\"")));
        QCOMPARE(rig->calls.size(), 1);
        QCOMPARE(rig->calls[0].callState, 2);
        QCOMPARE(rig->calls[0].info.lName, QStringLiteral("똠 양꿍"));
        QCOMPARE(rig->calls[0].info.lGroup, qint16(0));
        QCOMPARE(rig->calls[0].info.lTelType, QStringLiteral("NORMAL"));

        // A number on the reject list arrives as BLACK, whatever the operator said.
        QVERIFY(rig->send('J', QStringLiteral("01099998888"), QStringLiteral("1")));
        QVERIFY(rig->sim().waitForOutput("01099998888 added to the reject list"));
        rig->calls.clear();
        QVERIFY(rig->typeAndWait(QStringLiteral("call 01099998888 - 1 V")));
        QCOMPARE(rig->calls.size(), 1);
        QCOMPARE(rig->calls[0].info.lName, QString());
        QCOMPARE(rig->calls[0].info.lTelType, QStringLiteral("BLACK"));
        QCOMPARE(rig->responses.size() + rig->hooks.size() + rig->lists.size(), 0);
    }

    void handsetReports()
    {
        QVERIFY(rig->typeAndWait(QStringLiteral("lift")));
        QVERIFY(rig->typeAndWait(QStringLiteral("hangup")));
        QVERIFY(rig->typeAndWait(QStringLiteral("lift")));
        QCOMPARE(rig->hooks.size(), 3);
        QCOMPARE(rig->hooks[0].port, QStringLiteral("COM1"));
        QVERIFY(rig->hooks[0].lifted);
        QVERIFY(!rig->hooks[1].lifted);
        QVERIFY(rig->hooks[2].lifted);
        QCOMPARE(rig->calls.size(), 0);
    }

    // Everything the terminal sends arrives cut into pieces of N bytes,
    // the synchronisation answer included: framing must not care.
    void piecesDoNotChangeWhatIsDecoded()
    {
        QFETCH(int, size);
        QVERIFY(rig->send('T', QStringLiteral("1")));
        QVERIFY(rig->send('S', QStringLiteral("6")));
        QVERIFY(rig->typeAndWait(QStringLiteral("call 0212345678 홍길동 2 S")));
        QVERIFY(rig->typeAndWait(QStringLiteral("busy 0319998888 \"김 철수\" 3 V")));
        rig->sim().type(QStringLiteral("piece %1").arg(size));
        QVERIFY(rig->sim().waitForOutput(QStringLiteral("sending in pieces of %1 bytes").arg(size)));
        rig->clearEvents();

        QVERIFY(rig->ask('t', QStringLiteral("0")));
        QCOMPARE(rig->responses.size(), 1);
        QCOMPARE(rig->responses[0].msgType, int('t'));
        QCOMPARE(rig->responses[0].rst1, QStringLiteral("1"));
        // "ACK" CR LF and the 20 bytes of the response, in pieces.
        QVERIFY2(rig->raw.size() >= 2, qPrintable(rig->raw.join(u'|')));

        QVERIFY(rig->ask('d'));
        QCOMPARE(rig->responses.size(), 2);
        QCOMPARE(rig->responses[1].rst1, QStringLiteral("02-29"));
        QCOMPARE(rig->responses[1].rst2, QStringLiteral("08:07"));

        rig->raw.clear();
        QVERIFY(rig->typeAndWait(QStringLiteral("call 0517654321 \"부산 댁\" 7 C")));
        QCOMPARE(rig->calls.size(), 1);
        QCOMPARE(rig->calls[0].info.lName, QStringLiteral("부산 댁"));
        QCOMPARE(rig->calls[0].info.lGroup, qint16(7));
        QCOMPARE(rig->calls[0].info.lTelType, QStringLiteral("PUBLIC"));
        // The report (about 80 bytes) came in more than one piece.
        QVERIFY2(rig->raw.size() >= 2, qPrintable(rig->raw.join(u'|')));
        QVERIFY(rig->raw.join(QString()).contains(QStringLiteral("Name:부산 댁\r\n")));

        QVERIFY(rig->typeAndWait(QStringLiteral("hangup")));
        QCOMPARE(rig->hooks.size(), 1);
        QVERIFY(!rig->hooks[0].lifted);

        QVERIFY(rig->ask('a'));
        QCOMPARE(rig->lists.size(), 1);
        const ListEvent &calls = rig->lists[0];
        QCOMPARE(calls.kind, int('a'));
        QCOMPARE(calls.max, 3);
        QCOMPARE(calls.entries[0].lNumber, QStringLiteral("0517654321"));
        QCOMPARE(calls.entries[1].lName, QStringLiteral("김 철수"));
        QCOMPARE(calls.entries[1].lTelType, QStringLiteral("VIP"));
        QCOMPARE(calls.entries[2].lName, QStringLiteral("홍길동"));
        QCOMPARE(calls.entries[2].lMonth, qint16(2));
        QCOMPARE(calls.entries[2].lDay, qint16(29));

        QVERIFY(rig->ask('s'));
        QCOMPARE(rig->responses.size(), 3);
        QCOMPARE(rig->responses[2].rst1, QStringLiteral("6"));
        QCOMPARE(rig->sim().errors(), QString());
    }
    void piecesDoNotChangeWhatIsDecoded_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("1") << 1;
        QTest::newRow("3") << 3;
        QTest::newRow("64") << 64;
    }
};

QTEST_GUILESS_MAIN(E2eReportsTest)
#include "tst_e2e_reports.moc"
