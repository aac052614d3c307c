#include "pty_pair.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

PtyPair::PtyPair()
{
    char name[256] = {};
    if (openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    // Raw from the start, so nothing written before the control opens the
    // slave is echoed back or cooked.
    termios tio {};
    tcgetattr(m_slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(m_slave, TCSANOW, &tio);
    fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair()
{
    closeMaster();
}

void PtyPair::write(const QByteArray &bytes)
{
    qsizetype done = 0;
    while (m_master >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.constData() + done, bytes.size() - done);
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        } else {
            pollfd p {m_master, POLLOUT, 0};
            ::poll(&p, 1, 100);
        }
    }
}

QByteArray PtyPair::readAvailable()
{
    QByteArray out = std::exchange(m_unread, QByteArray());
    char buf[4096];
    while (m_master >= 0) {
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            break;
        out.append(buf, n);
    }
    return out;
}

QByteArray PtyPair::readAtLeast(qsizetype count, int timeoutMs)
{
    QByteArray out = readAvailable();
    const QDeadlineTimer deadline(timeoutMs);
    while (out.size() < count && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        pollfd p {m_master, POLLIN, 0};
        ::poll(&p, 1, 5);
        out += readAvailable();
    }
    return out;
}

QByteArray PtyPair::readUntil(const QByteArray &token, int timeoutMs)
{
    QByteArray out = readAvailable();
    const QDeadlineTimer deadline(timeoutMs);
    while (!out.contains(token) && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        pollfd p {m_master, POLLIN, 0};
        ::poll(&p, 1, 5);
        out += readAvailable();
    }
    const qsizetype at = out.indexOf(token);
    if (at >= 0) {
        m_unread = out.mid(at + token.size());
        out.truncate(at + token.size());
    }
    return out;
}

void PtyPair::closeMaster()
{
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_master = m_slave = -1;
}
