#include "fake_slot.h"

#include "tavro/tavro_m.h"

#include <QMetaObject>

bool FakeSlot::open(const QString &dev, QString *error)
{
    device = dev;
    if (failOpen) {
        if (error)
            *error = QStringLiteral("No such file or directory");
        return false;
    }
    m_open = true;
    return true;
}

bool FakeSlot::write(const QString &text, QString *error)
{
    if (!m_open) {
        if (error)
            *error = QStringLiteral("not open");
        return false;
    }
    written += m_encoder.encode(text);
    return true;
}

QString FakeSlot::input()
{
    QString text;
    appendInput(text);
    return text;
}

// Keeps its buffer between reads, as the real slot does.
void FakeSlot::appendInput(QString &text)
{
    m_decoder.decode(m_pending, text);
    m_pending.resize(0);
}

void FakeSlot::feed(const QByteArray &bytes)
{
    m_pending += bytes;
    QMetaObject::invokeMethod(this, [this] { if (!m_pending.isEmpty()) emit inputArrived(); },
                              Qt::QueuedConnection);
}

void FakeSlot::feedNow(const QByteArray &bytes)
{
    m_pending += bytes;
    emit inputArrived();
}

void installFakeSlots(tavro_m &control, FakeSlot *fakes[4])
{
    tavro::detail::setSlotFactory(control, [fakes](int index) {
        auto slot = std::make_unique<FakeSlot>();
        fakes[index] = slot.get();
        return slot;
    });
}

FakeSlot *openFakeCom1(tavro_m &control, FakeSlot *fakes[4])
{
    installFakeSlots(control, fakes);
    QString com1 = QStringLiteral("COM1"), error;
    if (control.OpenTavro(com1, error) != 0)
        return nullptr;
    return fakes[0];
}
