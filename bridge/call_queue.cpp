// One call at a time, in arrival order, each started from the outer loop.
#include "call_queue.h"

#include "json_bridge.h"

#include <QPointer>

#include <utility>

namespace tavro::bridge {

CallQueue::CallQueue(JsonBridge &bridge, int capacity, QObject *parent)
    : QObject(parent)
    , m_bridge(bridge)
    , m_capacity(capacity)
{
}

CallQueue::~CallQueue() = default;

bool CallQueue::enqueue(const QJsonObject &request, Reply reply)
{
    return push({request, std::nullopt, std::move(reply)});
}

bool CallQueue::enqueueAnswer(const QJsonObject &answer, Reply reply)
{
    return push({QJsonObject(), answer, std::move(reply)});
}

bool CallQueue::push(Entry entry)
{
    if (pending() >= m_capacity)
        return false;
    m_waiting.push_back(std::move(entry));
    scheduleNext();
    return true;
}

void CallQueue::abortPending(const QString &reason)
{
    // Taken out first: a reply may enqueue again or end the program.
    std::deque<Entry> waiting = std::exchange(m_waiting, {});
    if (m_runningReply) {
        const Reply reply = std::exchange(m_runningReply, nullptr);
        reply(JsonBridge::errorAnswer(*m_running, reason));
    }
    for (const Entry &entry : waiting) {
        if (entry.reply)
            entry.reply(entry.answer ? *entry.answer : JsonBridge::errorAnswer(entry.request, reason));
    }
}

// Only ever posted while nothing runs, so a call never starts inside the
// wait of another one, even when the post is delivered by a nested loop.
void CallQueue::scheduleNext()
{
    if (m_scheduled || busy() || m_waiting.empty())
        return;
    m_scheduled = true;
    QMetaObject::invokeMethod(this, &CallQueue::runNext, Qt::QueuedConnection);
}

void CallQueue::runNext()
{
    m_scheduled = false;
    if (busy())
        return;
    if (m_waiting.empty()) {
        emit idle();
        return;
    }
    Entry entry = std::move(m_waiting.front());
    m_waiting.pop_front();

    QPointer<CallQueue> self(this);
    m_running = entry.request;
    m_runningReply = std::move(entry.reply);
    const QJsonObject answer = entry.answer ? *entry.answer : m_bridge.call(entry.request);
    if (!self)
        return;
    m_running.reset();
    // Empty when abortPending answered this call while it ran.
    const Reply reply = std::exchange(m_runningReply, nullptr);
    if (reply)
        reply(answer);
    if (!self)
        return;
    if (m_waiting.empty() && !m_scheduled)
        emit idle();
    else
        scheduleNext();
}

} // namespace tavro::bridge
