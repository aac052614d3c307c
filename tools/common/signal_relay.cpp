#include "signal_relay.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace tavro::tools {

namespace {

int gSignalFds[2] = {-1, -1};

void onSignal(int signalNumber)
{
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    [[maybe_unused]] const ssize_t n = ::write(gSignalFds[0], &byte, 1);
    errno = saved;
}

} // namespace

SignalRelay::SignalRelay(std::initializer_list<int> signalNumbers, QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSignalFds) != 0)
        return;
    m_notifier = new QSocketNotifier(gSignalFds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &SignalRelay::readSignals);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signalNumber : signalNumbers)
        ::sigaction(signalNumber, &action, nullptr);
}

void SignalRelay::setEnabled(bool enabled)
{
    if (m_notifier)
        m_notifier->setEnabled(enabled);
}

void SignalRelay::readSignals()
{
    unsigned char byte = 0;
    while (::read(gSignalFds[1], &byte, 1) == 1)
        emit received(byte);
}

} // namespace tavro::tools
