// A serial slot without a device: the test feeds bytes and reads what the
// control wrote. Input is decoded as code page 949, like the real slot.
#ifndef TAVRO_TESTS_FAKE_SLOT_H
#define TAVRO_TESTS_FAKE_SLOT_H

#include "codec.h"
#include "line_decoder.h"
#include "serial_slot.h"

class tavro_m;

class FakeSlot : public tavro::SerialSlot
{
    Q_OBJECT

public:
    bool open(const QString &device, QString *error) override;
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    bool write(const QString &text, QString *error) override;
    qint64 bytesWaiting() const override { return m_pending.size(); }
    QString input() override;
    void appendInput(QString &text) override;

    // Bytes from the terminal; the notification follows through the event loop.
    void feed(const QByteArray &bytes);
    // Bytes from the terminal, notified at once (no event loop needed).
    void feedNow(const QByteArray &bytes);

    QByteArray written;
    QString device;
    bool failOpen = false;

private:
    bool m_open = false;
    QByteArray m_pending;
    tavro::detail::LineDecoder m_decoder; // the real slot's decoder
    QStringEncoder m_encoder {kCp949};
};

// Puts fake slots under `control`; fakes[i] receives the one for COM(i+1).
void installFakeSlots(tavro_m &control, FakeSlot *fakes[4]);
// Puts fake slots under `control`, opens COM1 and returns its slot (null
// when it did not open).
FakeSlot *openFakeCom1(tavro_m &control, FakeSlot *fakes[4]);

#endif
