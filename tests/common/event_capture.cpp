#include "event_capture.h"

#include "link_state.h"

using tavro::detail::gRxData;

namespace {
// The receive buffer of the port an event names.
QString rxOf(const QString &port)
{
    const int slot = port.startsWith(QStringLiteral("COM")) ? port.mid(3).toInt() - 1 : -1;
    return slot >= 0 && slot < int(gRxData.size()) ? gRxData[slot] : QString();
}
} // namespace

void EventCapture::record(tavro_m &control)
{
    QObject::connect(&control, &tavro_m::ReceiveCall, [this](const QString &port, qint16 state, CID_INFO &info) {
        calls.append({port, state, info, rxOf(port)});
    });
    QObject::connect(&control, &tavro_m::HookEvent, [this](const QString &port, bool lifted) {
        hooks.append({port, lifted});
        rxAtHook.append(rxOf(port));
    });
    QObject::connect(&control, &tavro_m::ReceiveGatheredInfo,
                     [this](const QString &port, qint16 &max, qint16 &kind, CID_INFO_ARRAY &records) {
                         lists.append({port, max, kind, records, rxOf(port)});
                     });
    QObject::connect(&control, &tavro_m::ReceiveResponse,
                     [this](const QString &port, qint16 type, const QString &r1, const QString &r2,
                            const QString &r3) { responses.append({port, type, r1, r2, r3, rxOf(port)}); });
    QObject::connect(&control, &tavro_m::DebugMsg, [this](const QString &text) { debug << text; });
}

QStringList EventCapture::callNumbers() const
{
    QStringList numbers;
    for (const CapturedCall &call : calls)
        numbers << call.info.lNumber;
    return numbers;
}

QList<bool> EventCapture::hookStates() const
{
    QList<bool> states;
    for (const auto &hook : hooks)
        states << hook.second;
    return states;
}

FakeLink::FakeLink()
{
    port = openFakeCom1(control, fakes);
    record(control);
}
