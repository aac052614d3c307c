// The control object: port slots, open / close / state, the error text.
#include "control_private.h"
#include "link_state.h"

#include <QMetaMethod>

using namespace tavro::detail;

namespace tavro {

PortMap defaultPortMap()
{
    PortMap map;
    for (int i = 0; i < 4; ++i) {
#ifdef Q_OS_WIN
        map.insert(portNameOf(i), portNameOf(i));
#else
        map.insert(portNameOf(i), QStringLiteral("/dev/ttyS%1").arg(i));
#endif
    }
    return map;
}

bool parsePortMapEntry(const QString &text, PortMap &map, QString *error)
{
    const qsizetype at = text.indexOf(u'=');
    const QString name = text.left(at);
    const QString path = at < 0 ? QString() : text.mid(at + 1);
    QString problem;
    if (at < 0)
        problem = QStringLiteral("no \"=\"");
    else if (detail::PortNameToIndex(name) < 0)
        problem = QStringLiteral("the port name must be COM1, COM2, COM3 or COM4");
    else if (path.isEmpty())
        problem = QStringLiteral("the device path is empty");
    if (!problem.isEmpty()) {
        if (error)
            *error = QStringLiteral("bad port map entry \"%1\": %2 (expected COMn=PATH with n from 1 to 4)")
                         .arg(text, problem);
        return false;
    }
    map.insert(name, path);
    return true;
}

namespace detail {

qint16 PortNameToIndex(const QString &name)
{
    for (int i = 0; i < 4; ++i) {
        if (name == portNameOf(i))
            return static_cast<qint16>(i);
    }
    return -1;
}

const QString &portNameOf(int slot)
{
    // Built once: the receive path names the port of every piece.
    static const QString names[] = {QStringLiteral("COM1"), QStringLiteral("COM2"),
                                    QStringLiteral("COM3"), QStringLiteral("COM4")};
    return names[slot];
}

void setSlotFactory(tavro_m &control, SlotFactory factory)
{
    ControlAccess::of(control).slotFactory = std::move(factory);
}

} // namespace detail
} // namespace tavro

namespace {

qint16 requireSlot(const QString &portName)
{
    const qint16 slot = PortNameToIndex(portName);
    if (slot < 0)
        throw tavro::CallError("unknown port name \"" + portName.toStdString()
                               + "\" (expected COM1, COM2, COM3 or COM4)");
    return slot;
}

} // namespace

tavro_m::tavro_m(QObject *parent)
    : tavro_m(tavro::defaultPortMap(), parent)
{
}

tavro_m::tavro_m(const tavro::PortMap &portMap, QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>())
{
    setPortMap(portMap);
    d->timerTavroSync.setInterval(500);
    // Eleven ticks make the 5.5 s give-up time; a coarse timer would drift.
    d->timerTavroSync.setTimerType(Qt::PreciseTimer);
    connect(&d->timerTavroSync, &QTimer::timeout, this, [] { ++gSyncTickCnt; });
}

tavro_m::~tavro_m()
{
    for (int slot = 0; slot < int(d->mscTavroPort.size()); ++slot) {
        auto &port = d->mscTavroPort[slot];
        if (port && port->isOpen()) {
            port->close();
            dropCutMessage(slot);
        }
    }
}

void tavro_m::setPortMap(const tavro::PortMap &portMap)
{
    for (auto it = portMap.cbegin(); it != portMap.cend(); ++it) {
        if (PortNameToIndex(it.key()) >= 0)
            d->portMap.insert(it.key(), it.value());
    }
}

tavro::PortMap tavro_m::portMap() const
{
    return d->portMap;
}

qint16 tavro_m::OpenTavro(QString &portName, QString &errorStr)
{
    FillAreaTables();
    const qint16 slot = PortNameToIndex(portName);
    if (slot < 0) {
        errorStr = QStringLiteral("COM 포트 명이 COM1, COM2, COM3, COM4 값 중에 하나이어야 한다.");
        return 2;
    }
    auto &port = d->mscTavroPort[slot];
    if (port && port->isOpen()) {
        errorStr = portName + QStringLiteral("이 이미 열려 있슴");
        return 1;
    }
    if (!port) {
        port = d->slotFactory(slot);
        connect(port.get(), &tavro::SerialSlot::inputArrived, this, [this, slot] { onPortInput(slot); });
        connect(port.get(), &tavro::SerialSlot::failed, this,
                [this, slot](const QString &reason) { onPortFailed(slot, reason); });
    }
    QString reason;
    if (!port->open(d->portMap.value(portName), &reason)) {
        errorStr = portName + QStringLiteral(" open error") + QStringLiteral(", ") + reason;
        gCurrentErrorMsg = errorStr;
        return 2;
    }
    emit PortStateChanged(portNameOf(slot), true, QStringLiteral("opened"));
    return 0;
}

qint16 tavro_m::CloseTavro(QString &portName, QString &)
{
    const qint16 slot = requireSlot(portName);
    auto &port = d->mscTavroPort[slot];
    if (port && port->isOpen()) {
        port->close();
        dropCutMessage(slot);
        emit PortStateChanged(portNameOf(slot), false, QStringLiteral("closed"));
    }
    return 0;
}

bool tavro_m::ComPortStateGet(QString &portName)
{
    const auto &port = d->mscTavroPort[requireSlot(portName)];
    return port && port->isOpen();
}

QString tavro_m::GetCurrentErrorMsg()
{
    // Every failure is turned into a text where it happens, so there is no
    // pending failure to fall back on when the text is empty.
    return std::exchange(gCurrentErrorMsg, QString());
}

void tavro_m::EventTest(QString &)
{
}

// Any signal: a disconnect of everything names none.
void tavro_m::connectNotify(const QMetaMethod &)
{
    d->listenersChanged = true;
}

void tavro_m::disconnectNotify(const QMetaMethod &)
{
    d->listenersChanged = true;
}

void tavro_m::noteListeners()
{
    if (!d->listenersChanged.load(std::memory_order_relaxed))
        return;
    // Cleared first: a change while asking is asked about next time.
    d->listenersChanged = false;
    d->debugHeard = isSignalConnected(QMetaMethod::fromSignal(&tavro_m::DebugMsg));
    d->realHeard = isSignalConnected(QMetaMethod::fromSignal(&tavro_m::ReceiveReal));
}

void tavro_m::onPortFailed(int slot, const QString &reason)
{
    // Bytes that arrived before the device went away are still delivered.
    if (d->mscTavroPort[slot] && d->mscTavroPort[slot]->bytesWaiting() > 0)
        onPortInput(slot);
    dropCutMessage(slot);
    emit DebugMsg(portNameOf(slot) + QStringLiteral(" 포트 장치 오류로 닫음: ") + reason);
    emit PortStateChanged(portNameOf(slot), false, QStringLiteral("vanished"));
}

// What a closed or vanished port left unfinished in its buffer never
// completes: the next text on that port starts afresh, and no other port's
// text can complete it, so it is dropped rather than raised later.
void tavro_m::dropCutMessage(int slot)
{
    clearRx(slot);
}
