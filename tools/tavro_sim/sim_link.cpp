#include "sim_link.h"

#include <QSerialPort>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Between two pieces the link waits at least kPieceGapMs (a pty shows the
// bytes to the reader only a moment after the write), then until the host
// has taken the previous piece, checking every kPieceCheckMs, but never more
// than kMaxDrainChecks times: a host that does not read must not stall it.
constexpr int kPieceGapMs = 2;
constexpr int kPieceCheckMs = 1;
constexpr int kMaxDrainChecks = 250;

QString errnoText() { return QString::fromLocal8Bit(std::strerror(errno)); }

} // namespace

SimLink::SimLink(QObject *parent)
    : QObject(parent)
{
    m_pieceTimer.setSingleShot(true);
    m_pieceTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pieceTimer, &QTimer::timeout, this, &SimLink::pump);
}

SimLink::~SimLink()
{
    delete m_readNotifier;
    delete m_writeNotifier;
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
}

bool SimLink::openPty(QString *error)
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("openpty failed: ") + errnoText();
        m_master = m_slave = -1;
        return false;
    }
    // Raw from the start: nothing the terminal sends is echoed or cooked,
    // even before the host opens the slave and sets its own modes.
    termios tio {};
    ::tcgetattr(m_slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(m_slave, TCSANOW, &tio);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
    m_path = QString::fromLocal8Bit(name);

    m_readNotifier = new QSocketNotifier(m_master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &SimLink::readMaster);
    m_writeNotifier = new QSocketNotifier(m_master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, [this] {
        m_writeNotifier->setEnabled(false);
        pump();
    });
    return true;
}

bool SimLink::openDevice(const QString &device, QString *error)
{
    m_serial = new QSerialPort(device, this);
    m_serial->setBaudRate(QSerialPort::Baud9600);
    m_serial->setDataBits(QSerialPort::Data8);
    m_serial->setParity(QSerialPort::NoParity);
    m_serial->setStopBits(QSerialPort::OneStop);
    m_serial->setFlowControl(QSerialPort::NoFlowControl);
    if (!m_serial->open(QIODevice::ReadWrite)) {
        *error = QStringLiteral("cannot open %1: %2").arg(device, m_serial->errorString());
        return false;
    }
    m_serial->clear();
    m_path = device;
    connect(m_serial, &QSerialPort::readyRead, this, [this] { emit received(m_serial->readAll()); });
    connect(m_serial, &QSerialPort::bytesWritten, this, &SimLink::pump);
    connect(m_serial, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError code) {
        // A vanished device repeats its error in a tight loop: stop at the first.
        if (code == QSerialPort::ReadError || code == QSerialPort::WriteError
            || code == QSerialPort::ResourceError)
            fail(m_serial->errorString());
    });
    return true;
}

void SimLink::setPieceSize(int size)
{
    m_pieceSize = size;
    pump();
}

void SimLink::send(const QByteArray &bytes)
{
    if (m_failed)
        return;
    m_out += bytes;
    pump();
}

void SimLink::readMaster()
{
    char buf[4096];
    QByteArray bytes;
    for (;;) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n > 0) {
            bytes.append(buf, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            fail(QStringLiteral("reading the pty: ") + errnoText());
        break;
    }
    if (!bytes.isEmpty())
        emit received(bytes);
}

void SimLink::pump()
{
    if (m_failed || m_pieceTimer.isActive() || (m_writeNotifier && m_writeNotifier->isEnabled()))
        return;
    while (!m_out.isEmpty()) {
        if (m_pieceSize > 0 && previousPieceInFlight() && m_drainChecks < kMaxDrainChecks) {
            ++m_drainChecks;
            m_pieceTimer.start(kPieceCheckMs);
            return;
        }
        m_drainChecks = 0;
        const QByteArray chunk = m_pieceSize > 0 ? m_out.left(m_pieceSize) : m_out;
        const qint64 n = writeSome(chunk);
        if (n < 0)
            return fail(QStringLiteral("writing to the host: ") + errnoText());
        if (n == 0) {
            if (m_writeNotifier)
                m_writeNotifier->setEnabled(true); // the host is not reading; wait for room
            return;
        }
        m_out.remove(0, n);
        if (m_pieceSize > 0) {
            // The next piece, of this message or the next, goes out once the
            // host has taken this one.
            m_pieceTimer.start(kPieceGapMs);
            return;
        }
    }
}

qint64 SimLink::writeSome(const QByteArray &chunk)
{
    if (m_serial)
        return m_serial->write(chunk); // QSerialPort buffers what the line cannot take yet
    for (;;) {
        const ssize_t n = ::write(m_master, chunk.constData(), size_t(chunk.size()));
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN ? 0 : -1;
    }
}

bool SimLink::previousPieceInFlight() const
{
    int pending = 0;
    if (m_serial) {
        // Still in Qt's buffer, or in the driver's queue not yet on the wire.
        if (m_serial->bytesToWrite() > 0)
            return true;
        return ::ioctl(int(m_serial->handle()), TIOCOUTQ, &pending) == 0 && pending > 0;
    }
    // What the host has not read yet waits in the slave's input queue.
    return ::ioctl(m_slave, FIONREAD, &pending) == 0 && pending > 0;
}

void SimLink::fail(const QString &why)
{
    if (m_failed)
        return;
    m_failed = true;
    m_out.clear();
    m_pieceTimer.stop();
    if (m_readNotifier)
        m_readNotifier->setEnabled(false);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
    // Not inside QSerialPort's error signal: close on the next pass.
    QTimer::singleShot(0, this, [this, why] {
        if (m_serial)
            m_serial->close();
        emit failed(why);
    });
}
