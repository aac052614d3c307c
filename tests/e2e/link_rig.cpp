#include "link_rig.h"

#include "link_state.h"

#include <QtTest>

bool LinkRig::start(const QStringList &simArguments)
{
    tavro::detail::resetLinkState();
    m_sim = std::make_unique<SimProcess>(simArguments);
    if (!m_sim->start()) {
        qWarning("tavro_sim did not start: %s", qPrintable(m_sim->lastError()));
        return false;
    }
    m_control = std::make_unique<tavro_m>(tavro::PortMap {{QStringLiteral("COM1"), m_sim->linePath()}});
    tavro_m *c = m_control.get();
    QObject::connect(c, &tavro_m::ReceiveResponse, c,
                     [this](const QString &port, qint16 type, const QString &r1, const QString &r2,
                            const QString &r3) { responses.append({port, type, r1, r2, r3}); });
    QObject::connect(c, &tavro_m::ReceiveCall, c, [this](const QString &port, qint16 state, CID_INFO &info) {
        calls.append({port, state, info});
    });
    QObject::connect(c, &tavro_m::HookEvent, c,
                     [this](const QString &port, bool lifted) { hooks.append({port, lifted}); });
    QObject::connect(c, &tavro_m::ReceiveGatheredInfo, c,
                     [this](const QString &port, qint16 &max, qint16 &kind, CID_INFO_ARRAY &info) {
                         ListEvent list {port, max, kind, {}};
                         for (int i = 0; i < max && i < int(info.size()); ++i)
                             list.entries << info[size_t(i)];
                         lists.append(list);
                     });
    QObject::connect(c, &tavro_m::ReceiveReal, c, [this](const QString &, const QString &text) { raw << text; });

    QString com1 = QStringLiteral("COM1"), error;
    const qint16 opened = m_control->OpenTavro(com1, error);
    if (opened != 0)
        qWarning("OpenTavro: %d %s", opened, qPrintable(error));
    return opened == 0;
}

bool LinkRig::send(char cmd, const QString &para1, const QString &para2, const QString &para3)
{
    QString port = QStringLiteral("COM1"), p1 = para1, p2 = para2, p3 = para3;
    const bool sent = m_control->SendCmd(port, cmd, p1, p2, p3);
    m_sendError = sent ? QString() : m_control->GetCurrentErrorMsg();
    return sent;
}

bool LinkRig::ask(char letter, const QString &para1)
{
    const int before = eventCount();
    return send(letter, para1) && waitForEventsBeyond(before);
}

bool LinkRig::typeAndWait(const QString &line)
{
    const int before = eventCount();
    m_sim->type(line);
    return waitForEventsBeyond(before);
}

void LinkRig::clearEvents()
{
    responses.clear();
    calls.clear();
    hooks.clear();
    lists.clear();
    raw.clear();
}

int LinkRig::eventCount() const
{
    return int(responses.size() + calls.size() + hooks.size() + lists.size());
}

bool LinkRig::waitForEventsBeyond(int count)
{
    return waitUntil([&] { return eventCount() > count; }, 5000);
}
