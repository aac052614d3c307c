// The call queue of the JSON hosts: one call at a time, in arrival order,
// never started inside another call's wait; bounded; abandoned calls still
// answered exactly once. Driven over fake slots, the terminal played here.
#include "call_queue.h"
#include "fake_slot.h"
#include "json_bridge.h"
#include "link_state.h"
#include "tavro/tavro_m.h"

#include <QtTest>

#include <functional>

using tavro::bridge::CallQueue;
using tavro::bridge::JsonBridge;

namespace {

QJsonObject sendCmd(const QString &cmd, const QString &para1, int id)
{
    return {{"call", "SendCmd"}, {"portName", "COM1"}, {"cmd", cmd}, {"para1", para1}, {"id", id}};
}

// A control on fake slots with COM1 open, a bridge without a sink, a queue.
// The terminal is played from a timer, so that it also acts while a call
// waits inside the event loop: onRequest runs once for every "[" written.
struct Rig
{
    explicit Rig(int capacity = 100)
        : queue(bridge, capacity)
    {
        com1 = openFakeCom1(control, fakes);
        terminal.setInterval(2);
        QObject::connect(&terminal, &QTimer::timeout, [this] {
            // More than one request without its frame means calls nested.
            const QByteArray &written = com1->written;
            openRequests = std::max(openRequests, written.count('[') - written.count(']'));
            for (; requests < written.count('['); ++requests)
                onRequest();
        });
        terminal.start();
    }

    // Queues a request whose answers are collected in `answers`.
    bool enqueue(const QJsonObject &request)
    {
        return queue.enqueue(request, [this](const QJsonObject &answer) { answers << answer; });
    }

    bool runUntilAnswered(int count)
    {
        QDeadlineTimer deadline(15000);
        while (answers.size() < count && !deadline.hasExpired())
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 10);
        return answers.size() >= count;
    }

    tavro_m control;
    FakeSlot *fakes[4] = {};
    FakeSlot *com1 = nullptr;
    JsonBridge bridge {control, nullptr};
    CallQueue queue;
    QList<QJsonObject> answers;
    QTimer terminal;
    qsizetype requests = 0, openRequests = 0;
    std::function<void()> onRequest = [this] { com1->feed("ACK\r\n"); };
};

} // namespace

class CallQueueTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { tavro::detail::resetLinkState(); }

    // Calls queued before and during a wait start one by one from the outer
    // loop: answers in order, each frame whole after its own request.
    void callsRunInOrderNeverNested()
    {
        Rig rig;
        QVERIFY(rig.com1);
        for (int i = 0; i < 5; ++i)
            QVERIFY(rig.enqueue(sendCmd("E", QStringLiteral("07:%1").arg(i, 2, 10, QLatin1Char('0')), i)));
        QCOMPARE(rig.queue.pending(), 5);
        QVERIFY(rig.answers.isEmpty()); // nothing runs inside enqueue

        bool sawWaitWithQueue = false;
        rig.onRequest = [&] {
            if (rig.requests == 0) {
                // Arrivals during the first wait are only queued.
                for (int i = 5; i < 10; ++i)
                    QVERIFY(rig.enqueue(sendCmd("E", QStringLiteral("07:%1").arg(i, 2, 10, QLatin1Char('0')), i)));
                QVERIFY(rig.enqueue({{"call", "GetCurrentErrorMsg"}, {"id", 10}}));
                sawWaitWithQueue = rig.queue.busy() && rig.queue.pending() == 10;
            }
            rig.com1->feed("ACK\r\n");
        };
        QVERIFY(rig.runUntilAnswered(11));
        QVERIFY(sawWaitWithQueue);
        for (int i = 0; i < 11; ++i)
            QCOMPARE(rig.answers.at(i).value("id").toInt(-1), i);
        QByteArray frames;
        for (int i = 0; i < 10; ++i)
            frames += "[E\r07" + QByteArray::number(i).rightJustified(2, '0') + "\r]";
        QCOMPARE(rig.com1->written, frames);
        QCOMPARE(rig.openRequests, 1);
        QTRY_VERIFY(!rig.queue.busy() && rig.queue.pending() == 0);
    }

    // Events keep coming, through the signal of a bridge without a sink,
    // while a call waits for the terminal.
    void eventsFlowDuringAWait()
    {
        Rig rig;
        QVERIFY(rig.com1);
        QList<QJsonObject> events;
        bool eventDuringWait = false;
        QObject::connect(&rig.bridge, &JsonBridge::eventRaised, [&](const QJsonObject &event) {
            events << event;
            if (event.value("event") == "HookEvent") {
                eventDuringWait = rig.queue.busy() && rig.answers.isEmpty();
                rig.com1->feed("ACK\r\n");
            }
        });
        rig.onRequest = [&] { rig.com1->feed("Report\r\nB\r\nEnd\r\n"); };
        QVERIFY(rig.enqueue(sendCmd("t", "0", 1)));
        QVERIFY(rig.runUntilAnswered(1));
        QVERIFY(eventDuringWait);
        QCOMPARE(rig.answers.first().value("value"), QJsonValue(true));

        // Port state changes are events too.
        QString com1 = QStringLiteral("COM1"), error;
        rig.control.CloseTavro(com1, error);
        QCOMPARE(events.last(), (QJsonObject {{"event", "PortState"}, {"portName", "COM1"}, {"open", false},
                                              {"reason", "closed"}}));
    }

    // Bounded: a full queue refuses; abortPending answers the running call
    // and the waiting ones once each, and the running call's own answer,
    // when it comes, is dropped. Answers queued as such keep their turn.
    void boundedAndAbandoned()
    {
        Rig rig(2);
        QVERIFY(rig.com1);
        bool refused = false;
        rig.onRequest = [&] {
            if (rig.requests > 0)
                return rig.com1->feed("ACK\r\n");
            QVERIFY(rig.queue.enqueueAnswer({{"error", "not valid JSON"}},
                                            [&](const QJsonObject &answer) { rig.answers << answer; }));
            QVERIFY(rig.enqueue({{"call", "ComPortStateGet"}, {"portName", "COM1"}, {"id", 2}}));
            refused = !rig.enqueue({{"call", "ComPortStateGet"}, {"portName", "COM1"}, {"id", 3}});
            rig.queue.abortPending(QStringLiteral("shutting down"));
            // The terminal answers after all: the frame goes out, no second answer.
            rig.com1->feed("ACK\r\n");
        };
        QVERIFY(rig.enqueue(sendCmd("t", "0", 0)));
        QVERIFY(rig.runUntilAnswered(3));
        QVERIFY(refused);
        QCOMPARE(rig.answers.at(0), (QJsonObject {{"result", "SendCmd"}, {"error", "shutting down"}, {"id", 0}}));
        QCOMPARE(rig.answers.at(1), (QJsonObject {{"error", "not valid JSON"}}));
        QCOMPARE(rig.answers.at(2),
                 (QJsonObject {{"result", "ComPortStateGet"}, {"error", "shutting down"}, {"id", 2}}));
        QTRY_VERIFY(!rig.queue.busy());
        QCOMPARE(rig.com1->written, QByteArray("[t\r0\r]"));
        QTest::qWait(20);
        QCOMPARE(rig.answers.size(), 3);
        QCOMPARE(rig.queue.pending(), 0);

        // The queue serves again afterwards.
        QVERIFY(rig.enqueue({{"call", "GetCurrentErrorMsg"}, {"id", 4}}));
        QVERIFY(rig.runUntilAnswered(4));
        QCOMPARE(rig.answers.last().value("id").toInt(), 4);
    }
};

QTEST_GUILESS_MAIN(CallQueueTest)
#include "tst_call_queue.moc"
