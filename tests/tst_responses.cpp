// Command responses: single-value answers into ReceiveResponse.
#include "event_capture.h"
#include "link_state.h"
#include "tavro/tavro_m.h"

#include <QtTest>

using namespace tavro::detail;

namespace {

QByteArray response(char letter, const QByteArray &lines)
{
    return QByteArray("Response\r\n") + letter + "\r\n" + lines + "End\r\n";
}

const QByteArray kCallReport = "Report\r\nD\r\nTime:03151030\r\nNumber:0311234567\r\nName:Park\r\n"
                               "Group:1\r\nType:S\r\nEnd\r\n";

} // namespace

class ResponsesTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        resetLinkState();
    }

    void plainValues()
    {
        FakeLink t;
        QVERIFY(t.port);
        const QByteArray letters = "fhinqrstux";
        for (char letter : letters) {
            t.responses.clear();
            t.port->feedNow(response(letter, "Value " + QByteArray(1, letter) + "\r\n"));
            QCOMPARE(t.responses.size(), 1);
            const CapturedResponse &r = t.responses.at(0);
            QCOMPARE(r.port, QStringLiteral("COM1"));
            QCOMPARE(r.msgType, qint16(letter));
            QCOMPARE(r.rst1, QStringLiteral("Value ") + QChar::fromLatin1(letter));
            QCOMPARE(r.rst2, QString());
            QCOMPARE(r.rst3, QString());
            // The response had left the buffer before its event.
            QCOMPARE(r.rxAtEvent, QString());
        }
        // A message shorter than expected reads its end line as the value.
        t.responses.clear();
        t.port->feedNow(response('t', ""));
        QCOMPARE(t.responses.size(), 1);
        QCOMPARE(t.responses.at(0).rst1, QStringLiteral("End"));
        QVERIFY(gRxData[0].isEmpty());
    }

    void dateTimeAndAlarm()
    {
        FakeLink t;
        t.port->feedNow(response('d', "0315\r\n1030\r\n"));
        QCOMPARE(t.responses.size(), 1);
        QCOMPARE(t.responses.at(0).msgType, qint16(100));
        QCOMPARE(t.responses.at(0).rst1, QStringLiteral("03-15"));
        QCOMPARE(t.responses.at(0).rst2, QStringLiteral("10:30"));
        QCOMPARE(t.responses.at(0).rst3, QString());
        QVERIFY(t.debug.contains(QStringLiteral("ldate=0315  ltime=1030")));

        // Short values leave out what they lack; the debug text shows them as sent.
        t.port->feedNow(response('d', "031\r\n7\r\n"));
        QCOMPARE(t.responses.at(1).rst1, QStringLiteral("03-1"));
        QCOMPARE(t.responses.at(1).rst2, QStringLiteral("7:"));
        QVERIFY(t.debug.contains(QStringLiteral("ldate=031  ltime=7")));

        t.port->feedNow(response('e', "0705\r\n"));
        QCOMPARE(t.responses.at(2).msgType, qint16(101));
        QCOMPARE(t.responses.at(2).rst1, QStringLiteral("07:05"));
        QCOMPARE(t.responses.at(2).rst2, QString());
        QVERIFY(gRxData[0].isEmpty());
    }

    void areaNumberCoversAllSixteenSlots()
    {
        FakeLink t;
        const struct { const char *slot; const char *area; } rows[] = {
            {"0", "02"}, {"1", "031"}, {"14", "063"}, {"15", "064"}, {"a", "02"}, {" 6", "043"},
        };
        for (const auto &row : rows) {
            t.responses.clear();
            t.port->feedNow(response('g', QByteArray(row.slot) + "\r\n"));
            QCOMPARE(t.responses.size(), 1);
            QCOMPARE(t.responses.at(0).msgType, qint16(103));
            QCOMPARE(t.responses.at(0).rst1, QString::fromLatin1(row.area));
        }
        // Out of range (and the never-filled slot 16): no event, message gone.
        t.responses.clear();
        for (const char *slot : {"16", "-1", "99999999999"})
            t.port->feedNow(response('g', QByteArray(slot) + "\r\n"));
        QVERIFY(t.responses.isEmpty());
        QVERIFY(gRxData[0].isEmpty());
    }

    void lettersWithoutAnAnswer()
    {
        FakeLink t;
        t.port->feedNow(response('T', "1\r\n") + response('z', "") + response('t', "0\r\n"));
        QCOMPARE(t.responses.size(), 1);
        QCOMPARE(t.responses.at(0).msgType, qint16('t'));
        QCOMPARE(t.responses.at(0).rst1, QStringLiteral("0"));
        // A type line that is not its letter alone drops only that response.
        t.port->feedNow("Response\r\ntx\r\n1\r\nEnd\r\nResponse\r\ns\r\n8\r\nEnd\r\n");
        QCOMPARE(t.responses.size(), 2);
        QCOMPARE(t.responses.at(1).msgType, qint16('s'));
        QCOMPARE(t.responses.at(1).rst1, QStringLiteral("8"));
        QVERIFY(gRxData[0].isEmpty());
    }

    void reportRightBehindAResponseArrives()
    {
        // Every answer letter, followed in the same piece by an incoming call.
        const QByteArray answers[] = {
            response('d', "0101\r\n0000\r\n"), response('e', "0600\r\n"), response('f', "2\r\n"),
            response('g', "3\r\n"), response('h', "1\r\n"), response('i', "0\r\n"),
            response('n', "1\r\n"), response('q', "1\r\n"), response('r', "0\r\n"),
            response('s', "5\r\n"), response('t', "1\r\n"), response('u', "0\r\n"),
            response('x', "1\r\n"), response('g', "40\r\n"), response('K', "1\r\n"),
        };
        for (const QByteArray &answer : answers) {
            resetLinkState();
            FakeLink t;
            t.port->feedNow(answer + kCallReport + "Report\r\nB\r\nEnd\r\n");
            QVERIFY2(t.callNumbers() == QStringList{QStringLiteral("0311234567")}, answer.constData());
            QCOMPARE(t.hookStates(), QList<bool>{true});
            QVERIFY(gRxData[0].isEmpty());
        }
    }

    void handlerThatReceivesMoreInputMeanwhile()
    {
        // A host handler that waits in SendCmd lets further input be decoded
        // inside its event; the response it handles must already be gone.
        for (char letter : QByteArray("ntq")) {
            resetLinkState();
            FakeLink t;
            bool nested = false;
            QObject::connect(&t.control, &tavro_m::ReceiveResponse, [&](const QString &, qint16 type) {
                if (type == letter && !nested) {
                    nested = true;
                    t.port->feedNow("Report\r\nC\r\nEnd\r\n");
                }
            });
            t.port->feedNow(response(letter, "1\r\n") + kCallReport);
            QCOMPARE(t.responses.size(), 1);
            // The call behind the response and the hook fed meanwhile, once each.
            QCOMPARE(t.callNumbers(), QStringList{QStringLiteral("0311234567")});
            QCOMPARE(t.hookStates(), QList<bool>{false});
            QVERIFY(t.debug.filter(QStringLiteral("s1:idx=0")).isEmpty());
            QVERIFY(gRxData[0].isEmpty());
        }
    }

    void responseSplitIntoPieces()
    {
        FakeLink t;
        const QByteArray whole = "ACK\r\n" + response('d', "1231\r\n2359\r\n") + kCallReport;
        for (char byte : whole)
            t.port->feedNow(QByteArray(1, byte));
        QCOMPARE(t.responses.size(), 1);
        QCOMPARE(t.responses.at(0).rst1, QStringLiteral("12-31"));
        QCOMPARE(t.responses.at(0).rst2, QStringLiteral("23:59"));
        QCOMPARE(t.calls.size(), 1);
        QVERIFY(gRxData[0].isEmpty());
    }
};

QTEST_GUILESS_MAIN(ResponsesTest)
#include "tst_responses.moc"
