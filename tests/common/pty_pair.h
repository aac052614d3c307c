// A pseudo-terminal pair standing in for a serial cable: the control opens
// the slave path, the test plays the terminal on the master side.
#ifndef TAVRO_TESTS_PTY_PAIR_H
#define TAVRO_TESTS_PTY_PAIR_H

#include <QByteArray>
#include <QString>

class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair &) = delete;
    PtyPair &operator=(const PtyPair &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString slavePath() const { return m_slavePath; }
    int masterFd() const { return m_master; }

    // Sends bytes to the host side (what the control will read).
    void write(const QByteArray &bytes);
    // Everything the host has written so far, without waiting.
    QByteArray readAvailable();
    // Reads what the host writes until `count` bytes are there or the time
    // is up, running the Qt event loop meanwhile.
    QByteArray readAtLeast(qsizetype count, int timeoutMs = 5000);
    // Reads until `token` has arrived or the time is up.
    QByteArray readUntil(const QByteArray &token, int timeoutMs = 5000);
    // The peer vanishes: closes the master (and the test's slave handle).
    void closeMaster();

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_slavePath;
    QByteArray m_unread;
};

#endif
