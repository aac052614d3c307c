#include "wait_until.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    // Wakes the wait now and then: the deadline is seen even when nothing else
    // happens, and a condition that no event announces is checked again.
    // Precise, because a coarse timer may fire early and miss the deadline.
    QTimer wake;
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(std::min(timeoutMs, 50));
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}
