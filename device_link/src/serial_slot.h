// One serial-port slot of the control: the device underneath, seen as text.
// Output is encoded and input decoded as code page 949.
#ifndef TAVRO_SERIAL_SLOT_H
#define TAVRO_SERIAL_SLOT_H

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

#include "tavro/tavro_m_export.h"

class tavro_m;

namespace tavro {

class SerialSlot : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Opens the device at 9600 8N1 without flow control; on failure returns
    // false and describes why in *error.
    virtual bool open(const QString &device, QString *error) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;
    // Writes the text as code page 949 bytes; false with *error on failure.
    virtual bool write(const QString &text, QString *error) = 0;
    // Bytes accepted by write() and not yet handed to the device.
    virtual qint64 bytesToWrite() const { return 0; }
    // Received bytes not yet taken by input().
    virtual qint64 bytesWaiting() const = 0;
    // Every waiting byte, decoded; a character cut between two reads is
    // completed by the next read.
    virtual QString input() = 0;
    // The same, appended to `text`: the receive path reads into its buffer
    // without a string of its own for every read.
    virtual void appendInput(QString &text) { text += input(); }

Q_SIGNALS:
    // Bytes arrived. Emitted from the event loop, never from inside the
    // device's own notification, so a handler may wait for more input.
    void inputArrived();
    // The device failed for good (unplugged, peer gone); the slot is closed.
    void failed(const QString &reason);
};

// Creates the slot for port index 0..3. The default makes a QSerialPort slot.
using SlotFactory = std::function<std::unique_ptr<SerialSlot>(int index)>;
std::unique_ptr<SerialSlot> makeQtSerialSlot(int index);

namespace detail {
// Lets tests and the fuzzer put fake slots under a control; call before any
// port is opened.
void setSlotFactory(tavro_m &control, SlotFactory factory);
} // namespace detail

} // namespace tavro

#endif // TAVRO_SERIAL_SLOT_H
