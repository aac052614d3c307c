// Gathered lists: "a", "j", "o" and "p" answers into ReceiveGatheredInfo.
#include "event_capture.h"
#include "link_state.h"
#include "tavro/tavro_m.h"

#include <QtTest>

using namespace tavro::detail;

namespace {

// A host's ReceiveGatheredInfo handler writes into the list after it was
// copied; none of it may reach the next list.
struct Terminal : FakeLink
{
    Terminal()
    {
        QObject::connect(&control, &tavro_m::ReceiveGatheredInfo,
                         [](const QString &, qint16 &max, qint16 &, CID_INFO_ARRAY &records) {
                             max = 99;
                             for (CID_INFO &record : records)
                                 record.lNumber = QStringLiteral("host");
                         });
    }
};

QByteArray record(int i, char type = 'S')
{
    return QStringLiteral("Time:%1\r\nNumber:02%2\r\nName:N%3\r\nGroup:%4\r\nType:%5\r\n")
        .arg(QStringLiteral("%1%2%3%4").arg(i % 12 + 1, 2, 10, QChar(u'0')).arg(i % 28 + 1, 2, 10, QChar(u'0'))
                 .arg(i % 24, 2, 10, QChar(u'0')).arg(i % 60, 2, 10, QChar(u'0')))
        .arg(1000 + i).arg(i).arg(i % 6 + 1).arg(QChar::fromLatin1(type))
        .toLatin1();
}

QByteArray list(char letter, int records)
{
    QByteArray out = QByteArray("Response\r\n") + letter + "\r\n";
    for (int i = 0; i < records; ++i)
        out += record(i, "BSCPOV"[i % 6]);
    return out + "End\r\n";
}

bool isEmpty(const CID_INFO &r)
{
    return r.lMonth == 0 && r.lDay == 0 && r.lHour == 0 && r.lMin == 0 && r.lNumber.isEmpty()
        && r.lName.isEmpty() && r.lGroup == 0 && r.lTelType.isEmpty();
}

bool emptyFrom(const CID_INFO_ARRAY &records, int first)
{
    for (int i = first; i < int(records.size()); ++i) {
        if (!isEmpty(records[i]))
            return false;
    }
    return true;
}

const QByteArray kCallReport = "Report\r\nD\r\nTime:01010101\r\nNumber:0519876543\r\nEnd\r\n";

} // namespace

class ListsTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetLinkState(); }

    void storedCallsAndRejectedNumbers()
    {
        Terminal t;
        QVERIFY(t.port);
        t.port->feedNow(list('a', 2));
        t.port->feedNow(list('j', 2));
        QCOMPARE(t.lists.size(), 2);
        const char *const words[] = {"BLACK", "NORMAL"};
        for (const CapturedList &l : t.lists) {
            QCOMPARE(l.port, QStringLiteral("COM1"));
            QCOMPARE(l.max, qint16(2));
            QCOMPARE(l.rxAtEvent, QString());
            for (int i = 0; i < 2; ++i) {
                const CID_INFO &r = l.records[i];
                QCOMPARE(r.lMonth, qint16(i + 1));
                QCOMPARE(r.lDay, qint16(i + 1));
                QCOMPARE(r.lHour, qint16(i));
                QCOMPARE(r.lMin, qint16(i));
                QCOMPARE(r.lNumber, QStringLiteral("02%1").arg(1000 + i));
                QCOMPARE(r.lName, QStringLiteral("N%1").arg(i));
                QCOMPARE(r.lGroup, qint16(i + 1));
                QCOMPARE(r.lTelType, QString::fromLatin1(words[i]));
            }
            // A fresh array: the host's writes into the first list are gone.
            QVERIFY(emptyFrom(l.records, 2));
        }
        QCOMPARE(t.lists.at(0).kind, qint16(97));
        QCOMPARE(t.lists.at(1).kind, qint16(106));
        QCOMPARE(t.debug.filter(QStringLiteral("거부 번호 갯수:")), QStringList{QStringLiteral("거부 번호 갯수:2")});
        QVERIFY(gRxData[0].isEmpty());
    }

    void answerNumbersKeepNoTimeOrType()
    {
        Terminal t;
        t.port->feedNow(list('o', 2));
        QCOMPARE(t.lists.size(), 1);
        const CapturedList &l = t.lists.at(0);
        QCOMPARE(l.kind, qint16(111));
        QCOMPARE(l.max, qint16(2));
        for (int i = 0; i < 2; ++i) {
            QCOMPARE(l.records[i].lNumber, QStringLiteral("02%1").arg(1000 + i));
            QCOMPARE(l.records[i].lName, QStringLiteral("N%1").arg(i));
            QCOMPARE(l.records[i].lGroup, qint16(i + 1));
            QCOMPARE(l.records[i].lMonth, qint16(0));
            QCOMPARE(l.records[i].lMin, qint16(0));
            QCOMPARE(l.records[i].lTelType, QString());
        }
        QVERIFY(emptyFrom(l.records, 2));
    }

    void endRulesOfEachKind()
    {
        Terminal t;
        // "a" ends at an empty time even when more records follow.
        t.port->feedNow("Response\r\na\r\n" + record(0) + "Time:\r\nNumber:1\r\n" + record(1) + "End\r\n");
        QCOMPARE(t.lists.last().max, qint16(1));
        // "j" ends at an empty number; the time read for it stays behind.
        t.port->feedNow("Response\r\nj\r\n" + record(0) + "Time:11223344\r\nNumber:\r\n" + record(1)
                        + "End\r\n");
        QCOMPARE(t.lists.last().max, qint16(1));
        QCOMPARE(t.lists.last().records[1].lMonth, qint16(11));
        QCOMPARE(t.lists.last().records[1].lMin, qint16(44));
        QCOMPARE(t.lists.last().records[1].lNumber, QString());
        // "j" with an empty time goes on.
        t.port->feedNow("Response\r\nj\r\nTime:\r\nNumber:5\r\nEnd\r\n");
        QCOMPARE(t.lists.last().max, qint16(1));
        QCOMPARE(t.lists.last().records[0].lNumber, QStringLiteral("5"));
        // "o" ends at an empty number (its time is read first and dropped).
        t.port->feedNow("Response\r\no\r\n" + record(0) + "Time:11223344\r\nNumber:\r\n" + record(1)
                        + "End\r\n");
        QCOMPARE(t.lists.last().max, qint16(1));
        // Empty lists.
        t.debug.clear();
        for (char letter : QByteArray("ajop"))
            t.port->feedNow(list(letter, 0));
        for (int i = 1; i <= 4; ++i) {
            QCOMPARE(t.lists.at(t.lists.size() - i).max, qint16(0));
            QVERIFY(emptyFrom(t.lists.at(t.lists.size() - i).records, 0));
        }
        QVERIFY(t.debug.contains(QStringLiteral("거부 번호 갯수:0")));
        QVERIFY(gRxData[0].isEmpty());
    }

    void answerMelodies()
    {
        Terminal t;
        t.port->feedNow("Response\r\np\r\n1\r\n3\r\n2\r\n5\r\nEnd\r\n");
        CapturedList l = t.lists.last();
        QCOMPARE(l.kind, qint16(112));
        QCOMPARE(l.max, qint16(2));
        QCOMPARE(l.records[0].lGroup, qint16(1));
        QCOMPARE(l.records[0].lName, QStringLiteral("3"));
        QCOMPARE(l.records[1].lGroup, qint16(2));
        QCOMPARE(l.records[1].lName, QStringLiteral("5"));
        QVERIFY(emptyFrom(l.records, 2));

        t.port->feedNow("Response\r\np\r\n7\r\n1\r\n2\r\nEnd\r\n");
        QCOMPARE(t.lists.last().max, qint16(0));
        // A missing melody line reads as "End"; the next pass ends the list.
        t.port->feedNow("Response\r\np\r\n4\r\n6\r\n3\r\nEnd\r\n");
        l = t.lists.last();
        QCOMPARE(l.max, qint16(2));
        QCOMPARE(l.records[1].lGroup, qint16(3));
        QCOMPARE(l.records[1].lName, QStringLiteral("End"));
        // Seven pairs: six reported, the seventh dropped with the message.
        QByteArray seven = "Response\r\np\r\n";
        for (int g = 1; g <= 6; ++g)
            seven += QByteArray::number(g) + "\r\nmelody " + QByteArray::number(g) + "\r\n";
        t.port->feedNow(seven + "1\r\nextra\r\nEnd\r\n" + kCallReport);
        l = t.lists.last();
        QCOMPARE(l.max, qint16(6));
        QCOMPARE(l.records[5].lGroup, qint16(6));
        QCOMPARE(l.records[5].lName, QStringLiteral("melody 6"));
        QVERIFY(emptyFrom(l.records, 6));
        QCOMPARE(t.calls.size(), 1);
        QVERIFY(gRxData[0].isEmpty());
    }

    void sixtyRecordsAtMost()
    {
        Terminal t;
        for (char letter : QByteArray("ajo"))
            t.port->feedNow(list(letter, 61) + kCallReport);
        QCOMPARE(t.lists.size(), 3);
        for (const CapturedList &l : t.lists) {
            QCOMPARE(l.max, qint16(60));
            QCOMPARE(l.records[59].lNumber, QStringLiteral("021059"));
            QVERIFY(isEmpty(l.records[60]));
        }
        // The sixty-first record went with its message; the call behind it did not.
        QCOMPARE(t.calls.size(), 3);
        QVERIFY(gRxData[0].isEmpty());
    }

    void recordsMergeOnlyInsideTheirList()
    {
        Terminal t;
        // Record 0 lacks its name: the read takes record 1's name, record 1's
        // time and number go with it, and the two merge into one entry.
        t.port->feedNow("Response\r\na\r\nTime:01010101\r\nNumber:111\r\n" + record(1)
                        + "Time:03030303\r\nNumber:333\r\nEnd\r\n"
                        + "Response\r\na\r\n" + record(4) + "End\r\n");
        QCOMPARE(t.lists.size(), 2);
        const CapturedList &merged = t.lists.at(0);
        QCOMPARE(merged.max, qint16(2));
        QCOMPARE(merged.records[0].lNumber, QStringLiteral("111"));
        QCOMPARE(merged.records[0].lName, QStringLiteral("N1"));
        QCOMPARE(merged.records[1].lNumber, QStringLiteral("333"));
        // The last record's missing fields are not taken from the next list.
        QCOMPARE(merged.records[1].lName, QString());
        QCOMPARE(merged.records[1].lGroup, qint16(0));
        QCOMPARE(t.lists.at(1).max, qint16(1));
        QCOMPARE(t.lists.at(1).records[0].lName, QStringLiteral("N4"));
    }

    void reportBehindARejectListArrives()
    {
        Terminal t;
        t.port->feedNow(list('j', 3) + kCallReport + list('a', 1));
        QCOMPARE(t.lists.size(), 2);
        QCOMPARE(t.lists.at(0).max, qint16(3));
        QCOMPARE(t.callNumbers(), QStringList{QStringLiteral("0519876543")});
        QCOMPARE(t.lists.at(1).kind, qint16(97));
        QVERIFY(gRxData[0].isEmpty());
    }
};

QTEST_GUILESS_MAIN(ListsTest)
#include "tst_lists.moc"
