// Unplug and replug: the terminal's end of the line vanishes in the middle of
// a message and while SendCmd waits for its ACK. The slot must close once,
// the wait must end, the process must go idle, and the port must open again
// when the terminal comes back.
#include "ack_peer.h"
#include "link_state.h"
#include "pty_pair.h"
#include "tavro/tavro_m.h"

#include <QElapsedTimer>
#include <QtTest>

#include <sys/resource.h>

using namespace tavro::detail;

namespace {

// CPU seconds (user and system) this process has used so far.
double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// CPU seconds used while the event loop runs for two seconds. A slot that
// keeps reading a dead device shows up here as a second or more.
double cpuOverTwoSeconds()
{
    const double before = cpuSeconds();
    QTest::qWait(2000);
    return cpuSeconds() - before;
}

// The diagnostic texts other than the per-notification "portname=" line.
QStringList closingTexts(const QSignalSpy &debug)
{
    QStringList out;
    for (const auto &call : debug) {
        const QString text = call.at(0).toString();
        if (!text.startsWith(QStringLiteral("portname=")))
            out << text;
    }
    return out;
}

const QByteArray kCall = "Report\r\nD\r\nTime:03151030\r\nNumber:0212345678\r\nName:Kim\r\n"
                         "Group:3\r\nType:S\r\nEnd\r\n";

} // namespace

class UnplugTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetLinkState(); }

    void peerVanishesInTheMiddleOfAMessage_data()
    {
        QTest::addColumn<int>("cut");
        QTest::newRow("cut after a line end") << int(kCall.indexOf("Number:"));
        QTest::newRow("cut inside a line") << int(kCall.indexOf("Number:") + 14);
    }

    void peerVanishesInTheMiddleOfAMessage()
    {
        QFETCH(int, cut);
        auto pty = std::make_unique<PtyPair>();
        QVERIFY(pty->isValid());
        tavro_m control({{QStringLiteral("COM1"), pty->slavePath()}});
        QString com1 = QStringLiteral("COM1"), error;
        QCOMPARE(control.OpenTavro(com1, error), qint16(0));
        QSignalSpy debug(&control, &tavro_m::DebugMsg);
        QList<std::pair<QString, CID_INFO>> calls; // copied while the record lives
        connect(&control, &tavro_m::ReceiveCall, [&](const QString &port, qint16, CID_INFO &info) {
            calls.append({port, info});
        });

        const QByteArray firstHalf = kCall.left(cut);
        pty->write(firstHalf);
        QTRY_COMPARE(gRxData[0], QString::fromLatin1(firstHalf));
        debug.clear();
        pty->closeMaster();

        QTRY_VERIFY(!control.ComPortStateGet(com1));
        const double cpu = cpuOverTwoSeconds();
        qInfo("CPU over the 2 s after the peer vanished mid-message: %.3f s", cpu);
        QVERIFY2(cpu < 0.5, "the closed slot keeps the process busy");
        const QStringList texts = closingTexts(debug);
        QCOMPARE(texts.size(), 1);
        QVERIFY(texts.first().startsWith(QStringLiteral("COM1")));
        QCOMPARE(calls.size(), 0);
        // The half message is never decoded: it goes with its port.
        QVERIFY(gRxData[0].isEmpty());

        // The terminal comes back on another device: the port opens, and a
        // whole call is decoded intact, the old fragment dropped in front of it.
        PtyPair again;
        control.setPortMap({{QStringLiteral("COM1"), again.slavePath()}});
        QCOMPARE(control.OpenTavro(com1, error), qint16(0));
        QVERIFY(control.ComPortStateGet(com1));
        again.write(kCall);
        QTRY_COMPARE(calls.size(), 1);
        const CID_INFO info = calls.at(0).second;
        QCOMPARE(calls.at(0).first, com1);
        // Had the unfinished line of the vanished terminal run on into the
        // new marker line ("Number:0212345Report"), this call would merge
        // with the dead fragment.
        QCOMPARE(info.lNumber, QStringLiteral("0212345678"));
        QCOMPARE(info.lName, QStringLiteral("Kim"));
        QCOMPARE(info.lGroup, qint16(3));
        QCOMPARE(info.lTelType, QStringLiteral("NORMAL"));
        QVERIFY(gRxData[0].isEmpty());
    }

    void peerVanishesWhileSendCmdWaits()
    {
        auto pty = std::make_unique<PtyPair>();
        QVERIFY(pty->isValid());
        tavro_m control({{QStringLiteral("COM1"), pty->slavePath()}});
        QString com1 = QStringLiteral("COM1"), error;
        QCOMPARE(control.OpenTavro(com1, error), qint16(0));
        QSignalSpy debug(&control, &tavro_m::DebugMsg);

        // The terminal takes the "[" and is unplugged before it answers.
        QByteArray request;
        QTimer::singleShot(300, [&] {
            request = pty->readAvailable();
            debug.clear();
            pty->closeMaster();
        });
        QElapsedTimer clock;
        clock.start();
        const bool sent = control.SendCmd(com1, 't');
        const qint64 waitedMs = clock.elapsed();
        qInfo("SendCmd returned %s after %lld ms", sent ? "true" : "false", waitedMs);

        QCOMPARE(request, QByteArray("["));
        QVERIFY(!sent);
        QCOMPARE(control.GetCurrentErrorMsg(), QStringLiteral("TAVRO 단말기와 통신이 안됨"));
        QVERIFY2(waitedMs < 7000, "the wait outlasted its 5.5 s bound");
        QTRY_VERIFY(!control.ComPortStateGet(com1));
        const double cpu = cpuOverTwoSeconds();
        qInfo("CPU over the 2 s after the peer vanished during SendCmd: %.3f s", cpu);
        QVERIFY2(cpu < 0.5, "the closed slot keeps the process busy");
        const QStringList texts = closingTexts(debug);
        QCOMPARE(texts.size(), 1);
        QVERIFY(texts.first().startsWith(QStringLiteral("COM1")));

        // A closed port is reported as such, not as a silent terminal.
        QVERIFY(!control.SendCmd(com1, 't'));
        QCOMPARE(control.GetCurrentErrorMsg(), QStringLiteral("통신 포트가 OPEN 되지 않았습니다."));

        // Back again: the port opens and a command goes through.
        PtyPair again;
        AckPeer peer(again);
        control.setPortMap({{QStringLiteral("COM1"), again.slavePath()}});
        QCOMPARE(control.OpenTavro(com1, error), qint16(0));
        QVERIFY(control.SendCmd(com1, 't'));
        QTRY_VERIFY(peer.received.endsWith("]"));
        QCOMPARE(peer.received, QByteArray("[t\r]"));
    }
};

QTEST_GUILESS_MAIN(UnplugTest)
#include "tst_unplug.moc"
