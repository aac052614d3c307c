#include "ack_peer.h"

AckPeer::AckPeer(PtyPair &pty)
    : m_pty(pty)
    , m_notifier(pty.masterFd(), QSocketNotifier::Read)
{
    QObject::connect(&m_notifier, &QSocketNotifier::activated, &m_notifier, [this] {
        const QByteArray bytes = m_pty.readAvailable();
        received += bytes;
        for (qsizetype i = bytes.count('['); i > 0; --i) {
            if (onRequest)
                onRequest();
            else
                m_pty.write("ACK\r\n");
        }
    });
}

void AckPeer::vanish()
{
    m_notifier.setEnabled(false);
    m_pty.closeMaster();
}
