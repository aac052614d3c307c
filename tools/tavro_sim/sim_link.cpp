#include "sim_link.h"

#include <QSerialPort>
#include <QSocketNotifier>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Between two pieces the link waits at least kPieceGapMs (a pty shows the
// bytes to the reader only a moment after the write), then until the host
// has taken the previous piece, checking after 1, 2, 4... up to kMaxCheckMs,
// but never longer than kMaxPieceWaitMs: a host that does not read must
// neither stall the link nor keep it awake at a high rate.
constexpr int kPieceGapMs = 2;
constexpr int kMaxCheckMs = 64;
constexpr int kMaxPieceWaitMs = 250;

constexpr qsizetype kMaxReadAtOnce = 64 * 1024;

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
    delete m_watchNotifier;
    if (m_master >= 0)
        ::close(m_master);
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_watch >= 0)
        ::close(m_watch);
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
    QString why;
    if (!watchHostOpens(name, &why))
        m_warning = QStringLiteral("cannot watch the host's opens of the line (%1): messages are kept "
                                   "for the next host")
                        .arg(why);
    return true;
}

// The slave stays open here, so the master never sees a host come or go;
// inotify reports every open and last close of the slave by anyone else.
bool SimLink::watchHostOpens(const char *slave, QString *error)
{
    m_watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watch < 0 || ::inotify_add_watch(m_watch, slave, IN_OPEN | IN_CLOSE) < 0) {
        *error = errnoText();
        if (m_watch >= 0)
            ::close(m_watch);
        m_watch = -1;
        return false;
    }
    m_watchNotifier = new QSocketNotifier(m_watch, QSocketNotifier::Read, this);
    connect(m_watchNotifier, &QSocketNotifier::activated, this, &SimLink::readHostEvents);
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

bool SimLink::hostPresent()
{
    readHostEvents();
    return m_serial || m_watch < 0 || m_hosts > 0;
}

void SimLink::readHostEvents()
{
    if (m_watch < 0)
        return;
    alignas(inotify_event) char buf[4096];
    for (;;) {
        const ssize_t n = ::read(m_watch, buf, sizeof buf);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            return;
        }
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buf + at);
            at += ssize_t(sizeof(inotify_event)) + event->len;
            if (event->mask & IN_OPEN) {
                if (m_hosts++ == 0) {
                    // Bytes written just before the last host left may reach
                    // the slave's queue only after the flush at its close.
                    if (m_slave >= 0)
                        ::tcflush(m_slave, TCIFLUSH);
                    emit hostOpened();
                }
            } else if ((event->mask & IN_CLOSE) && m_hosts > 0) {
                if (--m_hosts == 0) {
                    const qsizetype dropped = m_out.size() + bytesInLine();
                    dropUnread();
                    emit hostClosed(dropped);
                }
            }
        }
    }
}

void SimLink::dropUnread()
{
    m_out.clear();
    m_out.squeeze();
    if (m_slave >= 0)
        ::tcflush(m_slave, TCIFLUSH);
    m_ackEnd = m_written;
    m_droppedMessages = 0;
    m_checkMs = 1;
    m_pieceTimer.stop();
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(false);
}

void SimLink::setPieceSize(int size)
{
    m_pieceSize = size;
    m_checkMs = 1;
    pump();
}

bool SimLink::send(const QByteArray &bytes)
{
    if (m_failed)
        return false;
    if (!hostPresent()) {
        emit noHost();
        return false;
    }
    // QSerialPort keeps what the device has not taken: that counts too.
    const qint64 queued = m_out.size() + (m_serial ? m_serial->bytesToWrite() : 0);
    if (queued + bytes.size() > kMaxQueued) {
        if (m_droppedMessages++ == 0)
            emit queueFull(queued);
        return false;
    }
    m_out += bytes;
    schedulePump();
    return true;
}

bool SimLink::sendAck(const QByteArray &ack)
{
    // Cheapest first: a flood of "[" mostly finds the last ACK still queued.
    if (m_failed || m_ackEnd > m_written || m_ackEnd > bytesTaken())
        return false;
    if (!send(ack))
        return false;
    // The host knows the answer by its letters: once they are taken, a line
    // end still queued behind them does not answer a new request.
    qsizetype lineEnd = 0;
    while (lineEnd < ack.size() && (ack.at(ack.size() - 1 - lineEnd) == '\r' || ack.at(ack.size() - 1 - lineEnd) == '\n'))
        ++lineEnd;
    m_ackEnd = m_written + m_out.size() - lineEnd;
    return true;
}

void SimLink::readMaster()
{
    // A host's open is seen before its first bytes, its close after its last.
    readHostEvents();
    char buf[4096];
    QByteArray bytes;
    // A host that writes as fast as this reads must not grow one read
    // without end: the rest waits for the next notification.
    while (bytes.size() < kMaxReadAtOnce) {
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

// Writing waits for the next pass of the event loop, so that all the host's
// bytes already read are answered first and repeated "[" find the ACK queued.
void SimLink::schedulePump()
{
    if (m_pumpQueued)
        return;
    m_pumpQueued = true;
    QMetaObject::invokeMethod(this, [this] {
        m_pumpQueued = false;
        pump();
    }, Qt::QueuedConnection);
}

void SimLink::pump()
{
    if (m_failed || m_pieceTimer.isActive() || (m_writeNotifier && m_writeNotifier->isEnabled()))
        return;
    while (!m_out.isEmpty()) {
        if (m_pieceSize > 0 && waitForPreviousPiece())
            return;
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
        m_written += n;
        if (m_pieceSize > 0) {
            // The next piece, of this message or the next, goes out once the
            // host has taken this one.
            m_pieceWait.start();
            m_pieceTimer.start(kPieceGapMs);
            return;
        }
    }
    if (m_droppedMessages > 0)
        emit recovered(std::exchange(m_droppedMessages, 0));
}

// True when a check is scheduled. The interval is reset only by a host that
// took its piece, so a host that stopped reading costs a wake-up per
// kMaxCheckMs, not one per millisecond.
bool SimLink::waitForPreviousPiece()
{
    if (bytesInLine() == 0) {
        m_checkMs = 1;
        return false;
    }
    if (m_pieceWait.isValid() && m_pieceWait.elapsed() >= kMaxPieceWaitMs)
        return false;
    m_pieceTimer.start(m_checkMs);
    m_checkMs = std::min(m_checkMs * 2, kMaxCheckMs);
    return true;
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

qint64 SimLink::bytesInLine() const
{
    int pending = 0;
    if (m_serial) {
        // Still in Qt's buffer, or in the driver's queue not yet on the wire.
        if (::ioctl(int(m_serial->handle()), TIOCOUTQ, &pending) != 0)
            pending = 0;
        return m_serial->bytesToWrite() + pending;
    }
    // What the host has not read yet waits in the slave's input queue.
    if (m_slave < 0 || ::ioctl(m_slave, FIONREAD, &pending) != 0)
        return 0;
    return pending;
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
    if (m_watchNotifier)
        m_watchNotifier->setEnabled(false);
    // Not inside QSerialPort's error signal: close on the next pass.
    QTimer::singleShot(0, this, [this, why] {
        if (m_serial)
            m_serial->close();
        emit failed(why);
    });
}
