// Answered or missed: per port, a call is answered when its handset is
// lifted after the call arrives, before the next call on that port and
// within the ring window; otherwise it is missed once the window passes or
// the next call arrives. A call that arrives while the line is busy (call
// state 2) is answered only by a lift after a put-down (a flash), or by a
// lift while the handset was known to be down.
#ifndef TAVROD_CALL_OUTCOMES_H
#define TAVROD_CALL_OUTCOMES_H

#include <QHash>
#include <QJsonObject>
#include <QObject>
#include <QTimer>

#include <functional>

namespace tavrod {

class CallOutcomes : public QObject
{
    Q_OBJECT

public:
    // record takes each CallOutcome event (it goes through the event log).
    CallOutcomes(qint64 ringWindowMs, std::function<void(const QJsonObject &)> record, QObject *parent = nullptr);

    // The stored ReceiveCall and HookEvent events of this site from the
    // oldest undecided call on, oldest first, as they were before a restart;
    // a ReceiveCall with "outcome" other than "pending" is decided already.
    // Windows that passed while the service was down are decided now.
    void resume(const QList<QJsonObject> &stored);
    // One numbered event of this site as it is published (id, at, portName).
    void observe(const QJsonObject &event);

    int pendingCount() const { return int(m_pending.size()); }

private:
    struct Pending
    {
        qint64 callId = 0;
        qint64 atMs = 0;
        qint64 deadlineMs = 0;
        bool busy = false;
        bool handsetDown = false; // a put-down (or a down handset) since the call came
    };
    void onCall(const QJsonObject &event, qint64 atMs, bool decided);
    void onHook(const QString &portName, bool lifted, qint64 atMs);
    void decide(const QString &portName, const QString &outcome, const QString &reason);
    void decideExpired(qint64 nowMs);
    void armTimer();

    qint64 m_windowMs;
    std::function<void(const QJsonObject &)> m_record;
    QHash<QString, Pending> m_pending;  // at most one per port
    QHash<QString, bool> m_lifted;      // the last handset report per port
    QTimer m_timer;                     // the earliest deadline
};

} // namespace tavrod

#endif
