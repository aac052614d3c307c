// The port's state for hosts: PortStateChanged when a port opens, is closed
// or vanishes (over a real pty), and the "COMn=PATH" port map entries.
#include "link_state.h"
#include "pty_pair.h"
#include "tavro/tavro_m.h"

#include <QtTest>

namespace {

using Change = std::tuple<QString, bool, QString>;

QList<Change> changes(const QSignalSpy &spy)
{
    QList<Change> out;
    for (const auto &call : spy)
        out << Change {call.at(0).toString(), call.at(1).toBool(), call.at(2).toString()};
    return out;
}

} // namespace

class PortStateTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { tavro::detail::resetLinkState(); }

    void openCloseAndVanish()
    {
        auto pty = std::make_unique<PtyPair>();
        QVERIFY(pty->isValid());
        tavro_m control({{QStringLiteral("COM2"), pty->slavePath()},
                         {QStringLiteral("COM3"), QStringLiteral("/dev/tavro-no-such-device")}});
        QSignalSpy spy(&control, &tavro_m::PortStateChanged);
        QString com2 = QStringLiteral("COM2"), com3 = QStringLiteral("COM3"), com9 = QStringLiteral("COM9"), error;

        // Failed opens, a second open and closing a closed port change nothing.
        QCOMPARE(control.OpenTavro(com3, error), qint16(2));
        QCOMPARE(control.OpenTavro(com9, error), qint16(2));
        QCOMPARE(control.CloseTavro(com3, error), qint16(0));
        QCOMPARE(control.OpenTavro(com2, error), qint16(0));
        QCOMPARE(control.OpenTavro(com2, error), qint16(1));
        QCOMPARE(control.CloseTavro(com2, error), qint16(0));
        QCOMPARE(control.CloseTavro(com2, error), qint16(0));
        QCOMPARE(changes(spy), (QList<Change> {{"COM2", true, "opened"}, {"COM2", false, "closed"}}));

        // The device vanishes: reported once, and the port reads as closed by then.
        spy.clear();
        QCOMPARE(control.OpenTavro(com2, error), qint16(0));
        bool closedWhenReported = false;
        connect(&control, &tavro_m::PortStateChanged, this, [&](const QString &, bool open) {
            QString name = QStringLiteral("COM2");
            closedWhenReported = !open && !control.ComPortStateGet(name);
        });
        pty->closeMaster();
        QTRY_COMPARE(spy.size(), 2);
        QTest::qWait(200);
        QCOMPARE(changes(spy), (QList<Change> {{"COM2", true, "opened"}, {"COM2", false, "vanished"}}));
        QVERIFY(closedWhenReported);
        QCOMPARE(control.CloseTavro(com2, error), qint16(0));
        QCOMPARE(spy.size(), 2);
    }

    void portMapEntries()
    {
        tavro::PortMap map;
        QString error;
        QVERIFY(tavro::parsePortMapEntry(QStringLiteral("COM1=/dev/ttyUSB0"), map, &error));
        QVERIFY(tavro::parsePortMapEntry(QStringLiteral("COM4=/tmp/a=b"), map, &error));
        QVERIFY(tavro::parsePortMapEntry(QStringLiteral("COM1=/dev/ttyUSB1"), map));
        QCOMPARE(map, (tavro::PortMap {{"COM1", "/dev/ttyUSB1"}, {"COM4", "/tmp/a=b"}}));
        QVERIFY(error.isEmpty());

        for (const char *bad : {"COM5=/dev/x", "com1=/dev/x", "COM1", "COM1=", "=/dev/x", " COM1=/dev/x", "", "COM10=/x"}) {
            error.clear();
            QVERIFY2(!tavro::parsePortMapEntry(QLatin1String(bad), map, &error), bad);
            QVERIFY2(error.contains(QLatin1Char('"') + QLatin1String(bad) + QLatin1Char('"')), qPrintable(error));
            QVERIFY(!tavro::parsePortMapEntry(QLatin1String(bad), map)); // no text wanted
        }
        QCOMPARE(map.size(), 2); // failures leave the map alone
    }
};

QTEST_GUILESS_MAIN(PortStateTest)
#include "tst_port_state.moc"
