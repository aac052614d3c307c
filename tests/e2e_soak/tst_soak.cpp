// Soak: a few hundred calls and queries through the simulated terminal over
// a pty, in pieces of random sizes with garbled messages between them.
#include "link_state.h"
#include "soak.h"

#include <QtTest>

#ifdef __SANITIZE_ADDRESS__
// ASan's quarantine keeps freed memory for a while; a small one is full
// after the first messages, so the memory figure still says something.
extern "C" const char *__asan_default_options()
{
    return "quarantine_size_mb=1";
}
#endif

using namespace tavro::detail;

class SoakTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetLinkState(); }

    void callsAndAnswersArriveOnceInOrder_data()
    {
        QTest::addColumn<bool>("simulator");
        QTest::newRow("tavro_sim") << true;
        QTest::newRow("scripted terminal") << false;
    }

    void callsAndAnswersArriveOnceInOrder()
    {
        QFETCH(bool, simulator);
        std::unique_ptr<soak::Peer> peer;
        if (simulator)
            peer = std::make_unique<soak::SimPeer>(QStringLiteral(TAVRO_SIM_PATH));
        else
            peer = std::make_unique<soak::ScriptedPeer>();
        QVERIFY2(peer->failure().isEmpty(), qPrintable(peer->failure()));

        tavro_m control({{QStringLiteral("COM1"), peer->devicePath()}});
        QString com1 = QStringLiteral("COM1"), error;
        QCOMPARE(control.OpenTavro(com1, error), qint16(0));

        soak::Options options;
        options.calls = 300;
        options.queries = 120;
        const soak::Figures f = soak::Run(control, *peer, options).run();
        qInfo().noquote() << f.describe(peer->name());

        QVERIFY2(f.stalled.isEmpty(), qPrintable(f.stalled));
        QVERIFY(f.garbled > 0);
        QCOMPARE(f.callsSent, options.calls);
        QCOMPARE(f.callsReceived, options.calls);
        QCOMPARE(f.callsLost, 0);
        QCOMPARE(f.callsDuplicated, 0);
        QCOMPARE(f.callsOutOfOrder, 0);
        QCOMPARE(f.callsCorrupted, 0);
        QCOMPARE(f.queriesFailed, 0);
        QCOMPARE(f.queriesSent, options.queries);
        QCOMPARE(f.answersReceived, options.queries);
        QCOMPARE(f.answersLost, 0);
        QCOMPARE(f.answersDuplicated, 0);
        QCOMPARE(f.answersUnexpected, 0);
        QCOMPARE(f.answersCorrupted, 0);
        QCOMPARE(f.unexpectedEvents, 0);
        QVERIFY(f.rssAfter100Kb > 0);
#ifndef __SANITIZE_ADDRESS__
        // Under the address sanitizer freed memory waits in quarantine, so
        // resident memory follows what was allocated, not what is kept.
        QVERIFY2(f.memoryGrowth() <= 0.10, "memory grew by more than 10% after the first 100 messages");
#endif
    }

    void twoTerminalsAtOnceLoseNothing()
    {
        // COM1 and COM2 both send calls at line pace, in pieces of mixed
        // sizes: every call arrives once, under its own port, intact.
        soak::ScriptedPeer com1Peer, com2Peer;
        QVERIFY(com1Peer.failure().isEmpty() && com2Peer.failure().isEmpty());
        com1Peer.setLinePace(true);
        com2Peer.setLinePace(true);
        tavro_m control({{QStringLiteral("COM1"), com1Peer.devicePath()},
                         {QStringLiteral("COM2"), com2Peer.devicePath()}});
        for (QString name : {QStringLiteral("COM1"), QStringLiteral("COM2")}) {
            QString error;
            QCOMPARE(control.OpenTavro(name, error), qint16(0));
        }
        soak::TwoTerminalOptions options;
        options.callsPerTerminal = 40;
        const soak::TwoTerminalFigures f = soak::runTwoTerminals(control, com1Peer, com2Peer, options);
        qInfo().noquote() << f.describe();
        QVERIFY2(f.stalled.isEmpty(), qPrintable(f.stalled));
        QCOMPARE(f.sent[0], 40);
        QCOMPARE(f.sent[1], 40);
        QCOMPARE(f.received[0], 40);
        QCOMPARE(f.received[1], 40);
        QCOMPARE(f.lost, 0);
        QCOMPARE(f.misnamed, 0);
        QCOMPARE(f.merged, 0);
        QCOMPARE(f.duplicated, 0);
        // The two lines did interleave: both were read in many pieces.
        QVERIFY(f.reads[0] > 40 && f.reads[1] > 40);
    }
};

QTEST_GUILESS_MAIN(SoakTest)
#include "tst_soak.moc"
