// Call reports: the handset into HookEvent, incoming calls into ReceiveCall.
#include "event_capture.h"
#include "link_state.h"
#include "pty_pair.h"
#include "tavro/tavro_m.h"

#include <QStringEncoder>
#include <QtTest>

using namespace tavro::detail;

namespace {

// A host's ReceiveCall handler writes into the record after it was copied.
struct Terminal : FakeLink
{
    Terminal()
    {
        QObject::connect(&control, &tavro_m::ReceiveCall, [](const QString &, qint16, CID_INFO &info) {
            info.lName = QStringLiteral("written by the host");
        });
    }
};

QByteArray callReport(const char *letter, const char *fields)
{
    return QByteArray("Report\r\n") + letter + "\r\n" + fields + "End\r\n";
}

const char *const kFullFields = "Time:03151030\r\nNumber:0212345678\r\nName:Kim\r\nGroup:3\r\nType:S\r\n";

} // namespace

class ReportsTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetLinkState(); }

    void handsetReports()
    {
        Terminal t;
        QVERIFY(t.port);
        t.port->feedNow("Report\r\nB\r\nEnd\r\n");
        t.port->feedNow("Report\r\nC\r\nEnd\r\n");
        QCOMPARE(t.hooks, (QList<QPair<QString, bool>>{{"COM1", true}, {"COM1", false}}));
        // The report had left the buffer when its event was raised.
        QCOMPARE(t.rxAtHook, (QStringList{QString(), QString()}));
        QVERIFY(t.calls.isEmpty());
        QVERIFY(gRxData[0].isEmpty());
    }

    void incomingCalls()
    {
        Terminal t;
        t.port->feedNow(callReport("D", kFullFields));
        QCOMPARE(t.calls.size(), 1);
        const CapturedCall &call = t.calls.at(0);
        QCOMPARE(call.port, QStringLiteral("COM1"));
        QCOMPARE(call.state, qint16(1));
        QCOMPARE(call.info.lMonth, qint16(3));
        QCOMPARE(call.info.lDay, qint16(15));
        QCOMPARE(call.info.lHour, qint16(10));
        QCOMPARE(call.info.lMin, qint16(30));
        QCOMPARE(call.info.lNumber, QStringLiteral("0212345678"));
        QCOMPARE(call.info.lName, QStringLiteral("Kim"));
        QCOMPARE(call.info.lGroup, qint16(3));
        QCOMPARE(call.info.lTelType, QStringLiteral("NORMAL"));
        QVERIFY(call.rxAtEvent.isEmpty());
        // The debug texts: the buffer as the decoder found it, then the type.
        const int dump = t.debug.indexOf(QStringLiteral("ProcessReport(): gRxData:D\r\n")
                                         + QString::fromLatin1(kFullFields) + QStringLiteral("End\r\n"));
        QVERIFY(dump >= 0);
        QCOMPARE(t.debug.value(dump + 1), QStringLiteral("ProcessReport():report_type:D"));

        // A busy line; a record the host wrote into is not the next one's.
        t.port->feedNow(callReport("E", "Time:12312359\r\nNumber:010\r\nType:V\r\n"));
        QCOMPARE(t.calls.size(), 2);
        QCOMPARE(t.calls.at(1).state, qint16(2));
        QCOMPARE(t.calls.at(1).info.lMonth, qint16(12));
        QCOMPARE(t.calls.at(1).info.lMin, qint16(59));
        QCOMPARE(t.calls.at(1).info.lName, QString());
        QCOMPARE(t.calls.at(1).info.lGroup, qint16(0));
        QCOMPARE(t.calls.at(1).info.lTelType, QStringLiteral("VIP"));
        QVERIFY(t.debug.contains(QStringLiteral("ProcessReport():report_type:E")));
    }

    void telephoneTypesAndShortFields()
    {
        const struct { const char *type; const char *word; } rows[] = {
            {"B", "BLACK"}, {"S", "NORMAL"}, {"C", "PUBLIC"}, {"P", "NO_DISP"},
            {"O", "NO_GATHER"}, {"V", "VIP"}, {"s", ""}, {"SS", ""}, {"", ""},
        };
        Terminal t;
        for (const auto &row : rows) {
            t.port->feedNow(callReport("D", QByteArray("Number:1\r\nType:") + row.type + "\r\n"));
            QCOMPARE(t.calls.last().info.lTelType, QString::fromLatin1(row.word));
        }
        QCOMPARE(t.calls.size(), int(std::size(rows)));

        // Short or empty values give 0 for what they lack.
        t.port->feedNow(callReport("D", "Time:0315\r\nGroup:\r\n"));
        const CID_INFO &info = t.calls.last().info;
        QCOMPARE(info.lMonth, qint16(3));
        QCOMPARE(info.lDay, qint16(15));
        QCOMPARE(info.lHour, qint16(0));
        QCOMPARE(info.lMin, qint16(0));
        QCOMPARE(info.lGroup, qint16(0));
        QCOMPARE(info.lTelType, QString());

        // Out of order: the later title drops the field sent too early.
        t.port->feedNow(callReport("D", "Name:Early\r\nNumber:77\r\n"));
        QCOMPARE(t.calls.last().info.lNumber, QStringLiteral("77"));
        QCOMPARE(t.calls.last().info.lName, QString());
        QVERIFY(gRxData[0].isEmpty());
    }

    void hugeNumbersAreClamped()
    {
        Terminal t;
        t.port->feedNow(callReport("D", "Time:99999999\r\nGroup:99999999999999999999\r\n"));
        t.port->feedNow(callReport("D", "Time:-9-9\r\nGroup:-123456\r\n"));
        QCOMPARE(t.calls.size(), 2);
        QCOMPARE(t.calls.at(0).info.lMonth, qint16(99));
        QCOMPARE(t.calls.at(0).info.lMin, qint16(99));
        QCOMPARE(t.calls.at(0).info.lGroup, qint16(32767));
        QCOMPARE(t.calls.at(1).info.lMonth, qint16(-9));
        QCOMPARE(t.calls.at(1).info.lGroup, qint16(-32768));
    }

    void missingFieldsStayInsideTheirReport()
    {
        Terminal t;
        // The first report has no Name, Group or Type; the second has them.
        t.port->feedNow(callReport("D", "Time:01020304\r\nNumber:111\r\n")
                        + callReport("E", "Number:222\r\nName:Lee\r\nGroup:5\r\nType:C\r\n"));
        QCOMPARE(t.calls.size(), 2);
        QCOMPARE(t.calls.at(0).info.lNumber, QStringLiteral("111"));
        QCOMPARE(t.calls.at(0).info.lName, QString());
        QCOMPARE(t.calls.at(0).info.lGroup, qint16(0));
        QCOMPARE(t.calls.at(0).info.lTelType, QString());
        QCOMPARE(t.calls.at(1).state, qint16(2));
        QCOMPARE(t.calls.at(1).info.lNumber, QStringLiteral("222"));
        QCOMPARE(t.calls.at(1).info.lName, QStringLiteral("Lee"));
        QCOMPARE(t.calls.at(1).info.lGroup, qint16(5));
        QCOMPARE(t.calls.at(1).info.lTelType, QStringLiteral("PUBLIC"));
        QVERIFY(gRxData[0].isEmpty());
    }

    void malformedTypeLinesCostOnlyTheirMessage()
    {
        Terminal t;
        // An unknown letter: no event, and its end line still closes it.
        t.port->feedNow("Report\r\nZ\r\nNumber:9\r\nEnd\r\nReport\r\nB\r\nEnd\r\n");
        QCOMPARE(t.hooks.size(), 1);
        QVERIFY(t.calls.isEmpty());
        QVERIFY(t.debug.contains(QStringLiteral("ProcessReport(): gRxData:Z\r\nNumber:9\r\nEnd\r\n")));

        // A type line that is more than its letter ("C" never stands alone)
        // and one that is empty: only they are dropped, the hooks behind arrive.
        t.hooks.clear();
        t.port->feedNow("Report\r\nCx\r\nEnd\r\nReport\r\nB\r\nEnd\r\n"
                        "Report\r\n\r\nEnd\r\nReport\r\nC\r\nEnd\r\n");
        QCOMPARE(t.hooks, (QList<QPair<QString, bool>>{{"COM1", true}, {"COM1", false}}));

        // "End" as the type line cannot be its own letter: nothing decoded.
        t.hooks.clear();
        t.port->feedNow("Report\r\nEnd\r\nReport\r\nD\r\nNumber:5\r\nEnd\r\n");
        QVERIFY(t.hooks.isEmpty());
        QCOMPARE(t.calls.size(), 1);
        QCOMPARE(t.calls.at(0).info.lNumber, QStringLiteral("5"));
        QVERIFY(gRxData[0].isEmpty());
    }

    void hangulNameOverPty()
    {
        PtyPair pty;
        QVERIFY(pty.isValid());
        tavro_m control({{"COM2", pty.slavePath()}});
        QString com2 = QStringLiteral("COM2"), error;
        QCOMPARE(control.OpenTavro(com2, error), qint16(0));
        QList<CID_INFO> calls;
        QStringList ports;
        connect(&control, &tavro_m::ReceiveCall, [&](const QString &name, qint16, CID_INFO &info) {
            ports << name;
            calls << info;
        });
        const QString name = QStringLiteral("똠방각하 홍길동");
        const QByteArray bytes = QStringEncoder("windows-949").encode(
            QStringLiteral("Report\r\nD\r\nTime:07040910\r\nNumber:0641234567\r\nName:") + name
            + QStringLiteral("\r\nGroup:2\r\nType:B\r\nEnd\r\n"));
        QVERIFY(bytes.contains("\x8c\x63")); // 똠 as the terminal sends it
        // Cut right inside the first syllable: the halves join again.
        const qsizetype cut = bytes.indexOf("\x8c\x63") + 1;
        pty.write(bytes.left(cut));
        QTest::qWait(20);
        pty.write(bytes.mid(cut));
        QTRY_COMPARE(calls.size(), 1);
        QCOMPARE(ports, QStringList{com2});
        QCOMPARE(calls.at(0).lName, name);
        QCOMPARE(calls.at(0).lNumber, QStringLiteral("0641234567"));
        QCOMPARE(calls.at(0).lTelType, QStringLiteral("BLACK"));
        QCOMPARE(calls.at(0).lMonth, qint16(7));
    }
};

QTEST_GUILESS_MAIN(ReportsTest)
#include "tst_reports.moc"
