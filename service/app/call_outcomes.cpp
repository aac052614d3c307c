#include "call_outcomes.h"

#include <QDateTime>
#include <QLoggingCategory>

#include <limits>

Q_LOGGING_CATEGORY(lcOutcomes, "tavrod.outcomes")

namespace tavrod {

namespace {

qint64 eventTimeMs(const QJsonObject &event)
{
    const QDateTime at = QDateTime::fromString(event.value(QStringLiteral("at")).toString(), Qt::ISODateWithMs);
    return at.isValid() ? at.toMSecsSinceEpoch() : QDateTime::currentMSecsSinceEpoch();
}

} // namespace

CallOutcomes::CallOutcomes(qint64 ringWindowMs, std::function<void(const QJsonObject &)> record, QObject *parent)
    : QObject(parent)
    , m_windowMs(ringWindowMs)
    , m_record(std::move(record))
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        decideExpired(QDateTime::currentMSecsSinceEpoch());
        armTimer();
    });
}

void CallOutcomes::resume(const QList<QJsonObject> &stored)
{
    for (const QJsonObject &event : stored) {
        const QString kind = event.value(QStringLiteral("event")).toString();
        const qint64 atMs = eventTimeMs(event);
        // Windows that ended before this event are over, as they were then.
        decideExpired(atMs);
        if (kind == u"ReceiveCall")
            onCall(event, atMs, event.value(QStringLiteral("outcome")).toString(QStringLiteral("pending")) != u"pending");
        else if (kind == u"HookEvent")
            onHook(event.value(QStringLiteral("portName")).toString(), event.value(QStringLiteral("eventType")).toBool(),
                   atMs);
    }
    decideExpired(QDateTime::currentMSecsSinceEpoch());
    armTimer();
}

void CallOutcomes::observe(const QJsonObject &event)
{
    const QString kind = event.value(QStringLiteral("event")).toString();
    if (kind != u"ReceiveCall" && kind != u"HookEvent")
        return;
    const qint64 atMs = eventTimeMs(event);
    decideExpired(atMs);
    if (kind == u"ReceiveCall")
        onCall(event, atMs, false);
    else
        onHook(event.value(QStringLiteral("portName")).toString(), event.value(QStringLiteral("eventType")).toBool(),
               atMs);
    armTimer();
}

void CallOutcomes::onCall(const QJsonObject &event, qint64 atMs, bool decided)
{
    const QString portName = event.value(QStringLiteral("portName")).toString();
    if (m_pending.contains(portName))
        decide(portName, QStringLiteral("missed"), QStringLiteral("nextCall"));
    if (decided)
        return;
    Pending call;
    call.callId = event.value(QStringLiteral("id")).toInteger();
    call.atMs = atMs;
    call.deadlineMs = atMs + m_windowMs;
    call.busy = event.value(QStringLiteral("callState")).toInt() == 2;
    // Unknown counts as down: only a reported lift holds a busy call back.
    call.handsetDown = !m_lifted.value(portName, false);
    m_pending.insert(portName, call);
}

void CallOutcomes::onHook(const QString &portName, bool lifted, qint64 atMs)
{
    m_lifted.insert(portName, lifted);
    const auto it = m_pending.find(portName);
    if (it == m_pending.end())
        return;
    if (!lifted) {
        it->handsetDown = true;
        return;
    }
    // On a busy line the handset is up for the other call already: only a
    // lift after a put-down takes this one.
    if (atMs <= it->deadlineMs && (!it->busy || it->handsetDown))
        decide(portName, QStringLiteral("answered"), QStringLiteral("lift"));
}

void CallOutcomes::decide(const QString &portName, const QString &outcome, const QString &reason)
{
    const Pending call = m_pending.take(portName);
    qCInfo(lcOutcomes).noquote() << "call" << call.callId << "on" << portName << outcome << "by" << reason;
    m_record(QJsonObject{{"event", "CallOutcome"},
                         {"callId", call.callId},
                         {"outcome", outcome},
                         {"portName", portName},
                         {"callAt", QDateTime::fromMSecsSinceEpoch(call.atMs, Qt::UTC).toString(Qt::ISODateWithMs)},
                         {"decidedBy", reason}});
}

void CallOutcomes::decideExpired(qint64 nowMs)
{
    QStringList expired;
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it) {
        if (it->deadlineMs <= nowMs)
            expired.append(it.key());
    }
    for (const QString &portName : std::as_const(expired))
        decide(portName, QStringLiteral("missed"), QStringLiteral("window"));
}

void CallOutcomes::armTimer()
{
    qint64 earliest = std::numeric_limits<qint64>::max();
    for (const Pending &call : std::as_const(m_pending))
        earliest = std::min(earliest, call.deadlineMs);
    if (earliest == std::numeric_limits<qint64>::max()) {
        m_timer.stop();
        return;
    }
    const qint64 wait = std::max<qint64>(0, earliest - QDateTime::currentMSecsSinceEpoch());
    m_timer.start(int(std::min<qint64>(wait, std::numeric_limits<int>::max())));
}

} // namespace tavrod
