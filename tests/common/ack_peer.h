// The terminal played on the master side of a pty: records every byte the
// host writes and answers each synchronisation request "[" with "ACK" CR LF,
// or calls onRequest instead where a test sets it.
#ifndef TAVRO_TESTS_ACK_PEER_H
#define TAVRO_TESTS_ACK_PEER_H

#include "pty_pair.h"

#include <QByteArray>
#include <QSocketNotifier>

#include <functional>

class AckPeer
{
public:
    explicit AckPeer(PtyPair &pty);

    // The device disappears (the cable is pulled): nothing more is read and
    // the master side closes.
    void vanish();

    QByteArray received;
    std::function<void()> onRequest;

private:
    PtyPair &m_pty;
    QSocketNotifier m_notifier;
};

#endif
