// Port lifecycle of the control: names, open / close / state, error texts.
#include "link_state.h"
#include "pty_pair.h"
#include "tavro/tavro_m.h"

#include <QtTest>

using namespace tavro::detail;

class PortsTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetLinkState(); }

    void unknownNamesAreRejected()
    {
        tavro_m control;
        for (QString name : {QStringLiteral("com1"), QStringLiteral("COM1 "), QStringLiteral("COM5"),
                             QString()}) {
            QString error = QStringLiteral("keep");
            QCOMPARE(control.OpenTavro(name, error), qint16(2));
            QCOMPARE(error, QStringLiteral("COM 포트 명이 COM1, COM2, COM3, COM4 값 중에 하나이어야 한다."));
            QVERIFY_THROWS_EXCEPTION(tavro::CallError, control.CloseTavro(name, error));
            QVERIFY_THROWS_EXCEPTION(tavro::CallError, control.ComPortStateGet(name));
        }
        // The error text is only for device failures; the area table is filled all the same.
        QCOMPARE(control.GetCurrentErrorMsg(), QString());
        QCOMPARE(gAreaNumber[0], QStringLiteral("02"));
        QCOMPARE(gAreaNumber[15], QStringLiteral("064"));
        QCOMPARE(gAreaCode[15], QStringLiteral("f"));
        QCOMPARE(gAreaName[13], QStringLiteral("광주"));
        QVERIFY(gAreaNumber[16].isEmpty());
    }

    void openTwiceAndTwoPortsAtOnce()
    {
        PtyPair one, two;
        QVERIFY(one.isValid() && two.isValid());
        tavro_m control({{"COM1", one.slavePath()}, {"COM2", two.slavePath()}});
        QString com1 = QStringLiteral("COM1"), com2 = QStringLiteral("COM2");
        QString error = QStringLiteral("as passed");
        QCOMPARE(control.OpenTavro(com1, error), qint16(0));
        QCOMPARE(error, QStringLiteral("as passed"));
        QCOMPARE(control.OpenTavro(com1, error), qint16(1));
        QCOMPARE(error, QStringLiteral("COM1이 이미 열려 있슴"));
        QVERIFY(control.ComPortStateGet(com1));
        QCOMPARE(control.OpenTavro(com2, error), qint16(0));
        QVERIFY(control.ComPortStateGet(com1));
        QVERIFY(control.ComPortStateGet(com2));

        QCOMPARE(control.CloseTavro(com1, error), qint16(0));
        QVERIFY(!control.ComPortStateGet(com1));
        QVERIFY(control.ComPortStateGet(com2));
        QCOMPARE(control.CloseTavro(com1, error), qint16(0)); // closing a closed port is fine
        QVERIFY(!control.ComPortStateGet(com1));
        // And it opens again.
        QCOMPARE(control.OpenTavro(com1, error), qint16(0));
        QVERIFY(control.ComPortStateGet(com1));
        QCOMPARE(control.GetCurrentErrorMsg(), QString());
    }

    void missingDeviceGivesReadOnceErrorText()
    {
        tavro_m control({{"COM3", "/dev/tavro-no-such-device"}});
        QString com3 = QStringLiteral("COM3"), error;
        QCOMPARE(control.OpenTavro(com3, error), qint16(2));
        QVERIFY2(error.startsWith(QStringLiteral("COM3 open error, ")), qPrintable(error));
        QVERIFY(error.size() > QStringLiteral("COM3 open error, ").size());
        QVERIFY(!control.ComPortStateGet(com3));
        QCOMPARE(control.GetCurrentErrorMsg(), error);
        QCOMPARE(control.GetCurrentErrorMsg(), QString());
    }

    void portMapKeepsDefaultsForMissingEntries()
    {
        tavro_m control({{"COM2", "/dev/ttyUSB0"}, {"COM9", "/dev/null"}});
        const tavro::PortMap map = control.portMap();
        QCOMPARE(map.size(), 4);
        QCOMPARE(map.value("COM2"), QStringLiteral("/dev/ttyUSB0"));
        QCOMPARE(map.value("COM1"), tavro::defaultPortMap().value("COM1"));
        QVERIFY(!map.contains("COM9"));
    }

    void closingTheControlClosesItsPorts()
    {
        PtyPair pty;
        {
            tavro_m control({{"COM4", pty.slavePath()}});
            QString com4 = QStringLiteral("COM4"), error;
            QCOMPARE(control.OpenTavro(com4, error), qint16(0));
        }
        // A second control can open the device again once the first is gone.
        tavro_m other({{"COM4", pty.slavePath()}});
        QString com4 = QStringLiteral("COM4"), error;
        QCOMPARE(other.OpenTavro(com4, error), qint16(0));
    }
};

QTEST_GUILESS_MAIN(PortsTest)
#include "tst_ports.moc"
