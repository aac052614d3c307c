// The serial slot over QSerialPort.
#include "serial_slot.h"

#include "line_decoder.h"

#include <QMetaObject>
#include <QSerialPort>
#include <QStringEncoder>
#include <QTimer>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <poll.h>
#endif

namespace tavro {
namespace {

// Qt 6.4 maps "CP949" to an IBM variant that garbles syllables such as 똠;
// "windows-949" is the code page the terminal speaks (decoded by LineDecoder).
constexpr const char *kCodec = "windows-949";
constexpr qsizetype kKeptCapacity = 64 * 1024;

class QtSerialSlot final : public SerialSlot
{
public:
    QtSerialSlot()
    {
        connect(&m_port, &QSerialPort::readyRead, this, &QtSerialSlot::takeBytes);
        connect(&m_port, &QSerialPort::errorOccurred, this, &QtSerialSlot::onError);
    }

    bool open(const QString &device, QString *error) override
    {
        m_port.setPortName(device);
        m_port.setBaudRate(QSerialPort::Baud9600);
        m_port.setDataBits(QSerialPort::Data8);
        m_port.setParity(QSerialPort::NoParity);
        m_port.setStopBits(QSerialPort::OneStop);
        m_port.setFlowControl(QSerialPort::NoFlowControl);
        if (!m_port.open(QIODevice::ReadWrite)) {
            if (error)
                *error = m_port.errorString();
            return false;
        }
        m_port.clear();
        m_pending.clear();
        m_decoder.reset();
        m_encoder = QStringEncoder(kCodec);
        m_failing = false;
        return true;
    }

    void close() override
    {
        if (m_port.isOpen())
            m_port.close();
        m_pending.clear();
    }

    bool isOpen() const override { return m_port.isOpen(); }

    bool write(const QString &text, QString *error) override
    {
        if (!m_port.isOpen()) {
            if (error)
                *error = QStringLiteral("port is not open");
            return false;
        }
        const QByteArray bytes = m_encoder.encode(text);
        if (m_port.write(bytes) != bytes.size()) {
            if (error)
                *error = m_port.errorString();
            return false;
        }
        // Push the bytes out now rather than on the next event-loop pass.
        m_port.flush();
        return true;
    }

    qint64 bytesToWrite() const override { return m_port.bytesToWrite(); }

    qint64 bytesWaiting() const override { return m_pending.size(); }

    QString input() override
    {
        QString text;
        appendInput(text);
        return text;
    }

    void appendInput(QString &text) override
    {
        m_decoder.decode(m_pending, text);
        // The buffer is kept for the next read unless a burst made it large.
        if (m_pending.capacity() > kKeptCapacity)
            m_pending.clear();
        else
            m_pending.resize(0);
    }

private:
    // QSerialPort does not emit readyRead again while this slot runs, so the
    // bytes are only moved out here and the notification is queued.
    void takeBytes()
    {
        // Read into the kept buffer: a string of its own per read would be
        // an allocation for every byte on a slow line.
        const qint64 available = m_port.bytesAvailable();
        if (available > 0) {
            const qsizetype held = m_pending.size();
            m_pending.resize(held + available);
            const qint64 got = m_port.read(m_pending.data() + held, available);
            m_pending.resize(held + std::max<qint64>(got, 0));
        }
        if (m_pending.isEmpty() || m_notifyQueued)
            return;
        m_notifyQueued = true;
        QMetaObject::invokeMethod(this, [this] {
            m_notifyQueued = false;
            emit inputArrived();
        }, Qt::QueuedConnection);
    }

    // A vanished device makes QSerialPort repeat its error in a tight loop
    // while the port still reads as open: close once, outside the signal.
    void onError(QSerialPort::SerialPortError code)
    {
        if (code != QSerialPort::ReadError && code != QSerialPort::ResourceError)
            return;
        if (m_failing || !m_port.isOpen())
            return;
        // A full output buffer (a slow or deaf terminal) is reported as a
        // ResourceError too; only a device that is gone closes the port.
        if (code == QSerialPort::ResourceError && !deviceHungUp())
            return;
        m_failing = true;
        const QString reason = m_port.errorString();
        QTimer::singleShot(0, this, [this, reason] {
            if (!m_failing)
                return;
            takeBytesBeforeClose();
            m_port.close();
            emit failed(reason);
        });
    }

    bool deviceHungUp() const
    {
#ifdef Q_OS_UNIX
        pollfd p {static_cast<int>(m_port.handle()), POLLIN | POLLOUT, 0};
        if (::poll(&p, 1, 0) < 0)
            return true;
        return p.revents & (POLLHUP | POLLERR | POLLNVAL);
#else
        return true;
#endif
    }

    void takeBytesBeforeClose()
    {
        // Whatever arrived before the failure still counts.
        if (m_port.isOpen())
            m_pending += m_port.readAll();
    }

    QSerialPort m_port;
    QByteArray m_pending;
    detail::LineDecoder m_decoder;
    QStringEncoder m_encoder{kCodec};
    bool m_notifyQueued = false;
    bool m_failing = false;
};

} // namespace

std::unique_ptr<SerialSlot> makeQtSerialSlot(int)
{
    return std::make_unique<QtSerialSlot>();
}

} // namespace tavro
