// Calls of a JSON host run one after the other, in the order they came.
//
// SendCmd lets the event loop run while it waits for the terminal. A host
// that started every call as soon as it was read would start later calls
// inside that wait: they would run nested, answer before the earlier ones,
// share one "ACK" and, with enough of them, overflow the stack. The queue
// holds the calls instead and starts each from the outer event loop (a
// queued invocation) only after the call before it has answered. Events
// keep flowing during a wait, and callers may keep enqueueing.
#ifndef TAVRO_CLI_CALL_QUEUE_H
#define TAVRO_CLI_CALL_QUEUE_H

#include <QJsonObject>
#include <QObject>

#include <deque>
#include <functional>
#include <optional>

namespace tavro::bridge {

class JsonBridge;

class CallQueue : public QObject
{
    Q_OBJECT

public:
    using Reply = std::function<void(const QJsonObject &answer)>;

    // capacity bounds the calls waiting for their turn (the running one not
    // counted).
    CallQueue(JsonBridge &bridge, int capacity, QObject *parent = nullptr);
    ~CallQueue() override;

    // Queues a request; reply receives its answer once it has run. Returns
    // false, and keeps nothing, when capacity calls are already waiting:
    // the caller answers that request itself (JsonBridge::errorAnswer).
    bool enqueue(const QJsonObject &request, Reply reply);

    // Queues an answer that is already known (for a line that was no
    // request), so that it reaches the caller in its turn among the others.
    bool enqueueAnswer(const QJsonObject &answer, Reply reply);

    // Calls waiting for their turn.
    int pending() const { return int(m_waiting.size()); }
    // True while a call runs (for example a SendCmd waiting for "ACK").
    bool busy() const { return m_running.has_value(); }
    int capacity() const { return m_capacity; }

    // Answers every call not answered yet with an error carrying reason:
    // the waiting ones, which are dropped, and the running one, whose own
    // answer is dropped when it comes. For shutting down: close the ports
    // afterwards and a waiting SendCmd returns at once.
    void abortPending(const QString &reason);

Q_SIGNALS:
    // Nothing runs and nothing waits any more.
    void idle();

private:
    struct Entry
    {
        QJsonObject request;
        std::optional<QJsonObject> answer; // set for an answer queued as such
        Reply reply;
    };

    bool push(Entry entry);
    void scheduleNext();
    void runNext();

    JsonBridge &m_bridge;
    const int m_capacity;
    std::deque<Entry> m_waiting;
    // The request of the call that runs, and its reply until it is answered.
    std::optional<QJsonObject> m_running;
    Reply m_runningReply;
    bool m_scheduled = false;
};

} // namespace tavro::bridge

#endif // TAVRO_CLI_CALL_QUEUE_H
