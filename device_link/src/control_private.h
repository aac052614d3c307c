// Private parts of the control: the four port slots and the sync timer.
#ifndef TAVRO_CONTROL_PRIVATE_H
#define TAVRO_CONTROL_PRIVATE_H

#include "tavro/tavro_m.h"
#include "serial_slot.h"

#include <QTimer>

#include <array>
#include <atomic>
#include <memory>

struct tavro_m::Private
{
    std::array<std::unique_ptr<tavro::SerialSlot>, 4> mscTavroPort;
    tavro::PortMap portMap = tavro::defaultPortMap();
    tavro::SlotFactory slotFactory = tavro::makeQtSerialSlot;
    QTimer timerTavroSync;
    // Whether DebugMsg and ReceiveReal have a receiver: asking Qt costs a
    // lock, too much for every piece. A connect or disconnect only marks the
    // answers stale (Qt may be holding that lock then, and any thread may
    // connect); they are asked again at their next use.
    std::atomic<bool> listenersChanged {true};
    bool debugHeard = false;
    bool realHeard = false;
};

namespace tavro::detail {
// Reaches the private parts of a control from the library's own helpers.
struct ControlAccess
{
    static tavro_m::Private &of(tavro_m &control) { return *control.d; }
};

// "COM1".."COM4" to slots 0..3, exact and case-sensitive; anything else -1.
qint16 PortNameToIndex(const QString &name);
// "COM" followed by slot + 1, for slots 0..3.
const QString &portNameOf(int slot);
} // namespace tavro::detail

#endif // TAVRO_CONTROL_PRIVATE_H
