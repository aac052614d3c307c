// The JSON translation of tavro_cli: calls to the control and back, events
// to lines, and every way a request can be wrong.
#include "codec.h"
#include "fake_slot.h"
#include "json_bridge.h"
#include "link_state.h"
#include "tavro/tavro_m.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QtTest>

using tavro::bridge::JsonBridge;

namespace {

// A control on fake slots with a bridge whose lines are collected.
struct Harness
{
    Harness() { installFakeSlots(control, fakes); }

    // Feeds one input line and returns the lines it produced.
    QList<QJsonObject> send(const QByteArray &line)
    {
        const qsizetype before = raw.size();
        bridge.handleLine(line);
        return parsed(before);
    }
    // The one answer line of a call; port state events that come with it
    // are left out.
    QJsonObject call(const QJsonObject &request)
    {
        QList<QJsonObject> out = send(QJsonDocument(request).toJson(QJsonDocument::Compact));
        out.removeIf([](const QJsonObject &line) { return line.value("event") == "PortState"; });
        return out.size() == 1 ? out.first() : QJsonObject {{"lines", int(out.size())}};
    }
    QList<QJsonObject> parsed(qsizetype from = 0) const
    {
        QList<QJsonObject> out;
        for (qsizetype i = from; i < raw.size(); ++i)
            out << QJsonDocument::fromJson(raw.at(i)).object();
        return out;
    }

    tavro_m control;
    FakeSlot *fakes[4] = {};
    QList<QByteArray> raw;
    JsonBridge bridge {control, [this](const QByteArray &line) { raw << line; }};
};

QJsonObject record(int month, int day, int hour, int min, const QString &number, const QString &name,
                   int group, const QString &telType)
{
    return {{"lMonth", month},   {"lDay", day},   {"lHour", hour},   {"lMin", min},
            {"lNumber", number}, {"lName", name}, {"lGroup", group}, {"lTelType", telType}};
}

} // namespace

class CliBridgeTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { tavro::detail::resetLinkState(); }

    void eventsBecomeOneLineEach()
    {
        Harness h;
        emit h.control.DebugMsg(QStringLiteral("portname=COM1"));
        emit h.control.ReceiveReal(QStringLiteral("COM2"), QStringLiteral("ACK\r\n"));
        CID_INFO caller;
        caller.lMonth = 3;
        caller.lDay = 15;
        caller.lHour = 10;
        caller.lMin = 30;
        caller.lNumber = QStringLiteral("0212345678");
        caller.lName = QStringLiteral("홍길동");
        caller.lGroup = 2;
        caller.lTelType = QStringLiteral("NORMAL");
        emit h.control.ReceiveCall(QStringLiteral("COM1"), 2, caller);
        emit h.control.HookEvent(QStringLiteral("COM3"), true);
        emit h.control.HookEvent(QStringLiteral("COM3"), false);
        emit h.control.ReceiveResponse(QStringLiteral("COM1"), 100, QStringLiteral("03-15"),
                                       QStringLiteral("10:30"), QString());

        const QList<QJsonObject> lines = h.parsed();
        QCOMPARE(lines.size(), 6);
        QCOMPARE(lines[0], (QJsonObject {{"event", "DebugMsg"}, {"str", "portname=COM1"}}));
        QCOMPARE(lines[1], (QJsonObject {{"event", "ReceiveReal"}, {"portName", "COM2"}, {"str", "ACK\r\n"}}));
        QCOMPARE(lines[2], (QJsonObject {{"event", "ReceiveCall"},
                                         {"portName", "COM1"},
                                         {"callState", 2},
                                         {"cidInfo", record(3, 15, 10, 30, "0212345678", "홍길동", 2, "NORMAL")}}));
        QCOMPARE(lines[3], (QJsonObject {{"event", "HookEvent"}, {"portName", "COM3"}, {"eventType", true}}));
        QCOMPARE(lines[4].value("eventType"), QJsonValue(false));
        QCOMPARE(lines[5], (QJsonObject {{"event", "ReceiveResponse"},
                                         {"portName", "COM1"},
                                         {"msgType", 100},
                                         {"rst1", "03-15"},
                                         {"rst2", "10:30"},
                                         {"rst3", ""}}));

        // One compact line each, Hangul as UTF-8.
        for (const QByteArray &line : h.raw)
            QVERIFY2(!line.contains('\n'), line.constData());
        QVERIFY(h.raw[2].contains(QStringLiteral("홍길동").toUtf8()));
    }

    void gatheredListCarriesTheFirstMaxRecords()
    {
        Harness h;
        CID_INFO_ARRAY list;
        list[0].lNumber = QStringLiteral("0311112222");
        list[0].lGroup = 1;
        list[1].lNumber = QStringLiteral("0613334444");
        list[1].lTelType = QStringLiteral("VIP");
        list[2].lNumber = QStringLiteral("not reported");
        qint16 max = 2, kind = 97;
        emit h.control.ReceiveGatheredInfo(QStringLiteral("COM1"), max, kind, list);
        QCOMPARE(h.parsed().last(),
                 (QJsonObject {{"event", "ReceiveGatheredInfo"},
                               {"portName", "COM1"},
                               {"max", 2},
                               {"kind", 97},
                               {"cidInfo", QJsonArray {record(0, 0, 0, 0, "0311112222", "", 1, ""),
                                                       record(0, 0, 0, 0, "0613334444", "", 0, "VIP")}}}));

        // A count outside the array never reads past it.
        max = 0;
        emit h.control.ReceiveGatheredInfo(QStringLiteral("COM1"), max, kind, list);
        QCOMPARE(h.parsed().last().value("cidInfo").toArray().size(), 0);
        max = -5;
        emit h.control.ReceiveGatheredInfo(QStringLiteral("COM1"), max, kind, list);
        QCOMPARE(h.parsed().last().value("cidInfo").toArray().size(), 0);
        QCOMPARE(h.parsed().last().value("max").toInt(), -5);
        max = 200;
        emit h.control.ReceiveGatheredInfo(QStringLiteral("COM1"), max, kind, list);
        QCOMPARE(h.parsed().last().value("cidInfo").toArray().size(), 61);
    }

    void debugEventsCanBeLeftOut()
    {
        Harness h;
        h.bridge.setDebugEnabled(false);
        emit h.control.DebugMsg(QStringLiteral("전체수신데이터:x"));
        emit h.control.ReceiveReal(QStringLiteral("COM1"), QStringLiteral("x"));
        QVERIFY(h.raw.isEmpty());
        emit h.control.HookEvent(QStringLiteral("COM1"), true);
        QCOMPARE(h.raw.size(), 1);
    }

    void portCallsAnswerWithTheirArguments()
    {
        Harness h;
        QCOMPARE(h.call({{"call", "OpenTavro"}, {"portName", "COM1"}, {"errorStr", "as passed"}, {"id", 7}}),
                 (QJsonObject {{"result", "OpenTavro"},
                               {"value", 0},
                               {"portName", "COM1"},
                               {"errorStr", "as passed"},
                               {"id", 7}}));
        QCOMPARE(h.call({{"call", "OpenTavro"}, {"portName", "COM1"}}),
                 (QJsonObject {{"result", "OpenTavro"},
                               {"value", 1},
                               {"portName", "COM1"},
                               {"errorStr", "COM1이 이미 열려 있슴"}}));
        // Booleans stay booleans, the id is echoed whatever its type.
        QCOMPARE(h.call({{"call", "ComPortStateGet"}, {"portName", "COM1"}, {"id", "q1"}}),
                 (QJsonObject {{"result", "ComPortStateGet"}, {"value", true}, {"portName", "COM1"}, {"id", "q1"}}));

        QCOMPARE(h.call({{"call", "TxData"}, {"portName", "COM1"}, {"data", "a전화"}}),
                 (QJsonObject {{"result", "TxData"}, {"value", QJsonValue::Null}, {"portName", "COM1"},
                               {"data", "a전화"}}));
        QCOMPARE(h.fakes[0]->written, cp949(QStringLiteral("a전화")));

        QCOMPARE(h.call({{"call", "CloseTavro"}, {"portName", "COM1"}}),
                 (QJsonObject {{"result", "CloseTavro"}, {"value", 0}, {"portName", "COM1"}, {"errorStr", ""}}));
    }

    void sendCmdAnswersWithEveryParameter()
    {
        Harness h;
        // The port is closed, so the command fails whatever it is; the answer
        // still carries all five in/out arguments and the error text waits.
        QCOMPARE(h.call({{"call", "SendCmd"}, {"portName", "COM1"}, {"cmd", "t"}, {"para1", "0"}}),
                 (QJsonObject {{"result", "SendCmd"},
                               {"value", false},
                               {"portName", "COM1"},
                               {"cmd", "t"},
                               {"para1", "0"},
                               {"para2", ""},
                               {"para3", ""}}));
        QVERIFY(!h.call({{"call", "GetCurrentErrorMsg"}}).value("value").toString().isEmpty());
        // null counts as omitted for an optional parameter.
        QCOMPARE(h.call({{"call", "SendCmd"}, {"portName", "COM1"}, {"cmd", "a"}, {"para2", QJsonValue::Null}})
                     .value("para2"),
                 QJsonValue(""));
    }

    void callsThatFailBecomeErrorAnswers()
    {
        Harness h;
        const auto errorOf = [&](const QJsonObject &request, const QString &method) {
            const QJsonObject answer = h.call(request);
            if (answer.value("result").toString() != method || answer.contains("value"))
                return QStringLiteral("unexpected answer: ")
                    + QString::fromUtf8(QJsonDocument(answer).toJson(QJsonDocument::Compact));
            return answer.value("error").toString();
        };

        // What the control throws.
        QVERIFY(errorOf({{"call", "ComPortStateGet"}, {"portName", "COM9"}}, "ComPortStateGet").contains("COM9"));
        QVERIFY(errorOf({{"call", "CloseTavro"}, {"portName", "COM1 "}}, "CloseTavro").contains("unknown port"));
        QVERIFY(errorOf({{"call", "TxData"}, {"portName", "COM2"}, {"data", "x"}}, "TxData").contains("not open"));

        // Requests that cannot become a call; the id still comes back.
        QCOMPARE(errorOf({{"call", "CloseTavro"}}, "CloseTavro"), QStringLiteral("missing field \"portName\""));
        QCOMPARE(errorOf({{"call", "OpenTavro"}, {"portName", 1}}, "OpenTavro"),
                 QStringLiteral("field \"portName\" must be a string"));
        QCOMPARE(errorOf({{"call", "TxData"}, {"portName", "COM1"}}, "TxData"), QStringLiteral("missing field \"data\""));
        QCOMPARE(errorOf({{"call", "SendCmd"}, {"portName", "COM1"}}, "SendCmd"), QStringLiteral("missing field \"cmd\""));
        for (const QJsonValue &cmd : {QJsonValue("DD"), QJsonValue(""), QJsonValue("가"), QJsonValue(68)}) {
            const QString error = errorOf({{"call", "SendCmd"}, {"portName", "COM1"}, {"cmd", cmd}}, "SendCmd");
            QVERIFY2(error.startsWith(QStringLiteral("field \"cmd\" must be a string")), qPrintable(error));
        }
        QCOMPARE(h.call({{"call", "SendCmd"}, {"portName", "COM1"}, {"cmd", "DD"}, {"id", 4}}).value("id").toInt(), 4);
        // Nothing reached the control: no text was stored by these.
        QCOMPARE(h.call({{"call", "GetCurrentErrorMsg"}}).value("value").toString(), QString());
    }

    void invalidLinesAreReportedAndIgnored()
    {
        Harness h;
        const auto onlyError = [&](const QByteArray &line) {
            const QList<QJsonObject> out = h.send(line);
            return out.size() == 1 && out.first().keys() == QStringList {"error"}
                && !out.first().value("error").toString().isEmpty();
        };
        QVERIFY(onlyError("{\"call\":\"OpenTavro\""));
        QVERIFY(onlyError("not json"));
        QVERIFY(onlyError("[1,2]"));
        QVERIFY(onlyError("{\"call\":5}"));
        QVERIFY(onlyError("{\"portName\":\"COM1\"}"));
        QVERIFY(onlyError("{\"call\":\"\\u00ff\xff\"}")); // not UTF-8
        QCOMPARE(h.send("{\"call\":\"ProcessReport\",\"id\":3}"),
                 (QList<QJsonObject> {{{"error", "unknown method \"ProcessReport\""}, {"id", 3}}}));
        QVERIFY(h.send("").isEmpty());
        QVERIFY(h.send("  \r").isEmpty());

        // Unknown fields are ignored, a CR before the line end is harmless.
        const QList<QJsonObject> out =
            h.send("{\"call\":\"ComPortStateGet\",\"portName\":\"COM4\",\"extra\":[1,{}]}\r");
        QCOMPARE(out, (QList<QJsonObject> {{{"result", "ComPortStateGet"}, {"value", false}, {"portName", "COM4"}}}));
    }

    void quitAndCloseAllPorts()
    {
        Harness h;
        QCOMPARE(h.call({{"call", "OpenTavro"}, {"portName", "COM1"}}).value("value").toInt(), 0);
        QCOMPARE(h.call({{"call", "OpenTavro"}, {"portName", "COM4"}}).value("value").toInt(), 0);
        QVERIFY(!h.bridge.quitRequested());
        QCOMPARE(h.call({{"call", "quit"}, {"id", 9}}), (QJsonObject {{"result", "quit"}, {"id", 9}}));
        QVERIFY(h.bridge.quitRequested());
        h.bridge.closeAllPorts();
        QVERIFY(!h.fakes[0]->isOpen());
        QVERIFY(!h.fakes[3]->isOpen());
    }
};

QTEST_GUILESS_MAIN(CliBridgeTest)
#include "tst_json_bridge.moc"
