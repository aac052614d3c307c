#include "wait_until.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

bool waitUntil(const std::function<bool()> &done, int timeoutMs, int wakeMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    // Wakes the wait now and then, so the deadline is seen even when nothing
    // else happens. Precise, because a coarse timer may fire early and leave
    // the last wait without anything to end it.
    QTimer wake;
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(std::max(1, std::min(timeoutMs, wakeMs)));
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}
