// The simulator's end of the serial line: the master of a pseudo-terminal
// whose slave the host opens, or a real serial device (9600 8N1). What it
// sends can be cut into pieces of N bytes, each written on its own, so the
// host sees messages arrive in parts.
//
// What waits for the host is bounded: at most kMaxQueued bytes queue behind
// the line (a message that does not fit is dropped whole), at most one
// "ACK" is unread at a time, and on a pseudo-terminal nothing is kept for a
// host that is not there: what a host left unread is dropped when it closes
// the line, and messages are not queued while no host has it open.
#ifndef TAVRO_SIM_SIM_LINK_H
#define TAVRO_SIM_SIM_LINK_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class QSerialPort;
class QSocketNotifier;

class SimLink : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype kMaxQueued = 64 * 1024;

    explicit SimLink(QObject *parent = nullptr);
    ~SimLink() override;

    bool openPty(QString *error);
    bool openDevice(const QString &device, QString *error);

    // The path the host opens: the pty's slave, or the device.
    QString path() const { return m_path; }
    // Why opens and closes of the host cannot be seen (empty when they can).
    QString warning() const { return m_warning; }

    // Bytes per write; 0 writes everything at once.
    void setPieceSize(int size);
    // Queues a message for the host; false when it was dropped (no host,
    // or the queue is full).
    bool send(const QByteArray &bytes);
    // The answer to "[": not queued again while the previous one is unread.
    bool sendAck(const QByteArray &ack);

    // A device is taken as always connected: its far end cannot be seen.
    bool hostPresent();

Q_SIGNALS:
    void received(const QByteArray &bytes);
    // A host opened the line, or the last one closed it (with the number of
    // bytes it left unread, which are dropped).
    void hostOpened();
    void hostClosed(qsizetype droppedBytes);
    // A message was not queued: no host has the line open.
    void noHost();
    // The host is not reading and the queue is full: messages are dropped
    // from now on (said once) until the queue has drained (recovered).
    void queueFull(qsizetype queued);
    void recovered(int droppedMessages);
    // The line is gone (device unplugged, write error); nothing more is read.
    void failed(const QString &why);

private:
    bool watchHostOpens(const char *slave, QString *error);
    void readHostEvents();
    void dropUnread();
    void readMaster();
    void schedulePump();
    void pump();
    bool waitForPreviousPiece();
    // -1 on error, 0 when the line takes nothing right now.
    qint64 writeSome(const QByteArray &chunk);
    // Bytes written that have not reached the host yet.
    qint64 bytesInLine() const;
    qint64 bytesTaken() const { return m_written - bytesInLine(); }
    void fail(const QString &why);

    QString m_path;
    QString m_warning;
    int m_master = -1;
    int m_slave = -1; // held open so the master never sees a hang-up
    int m_watch = -1; // inotify: the host's opens and closes of the slave
    int m_hosts = 0;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QSocketNotifier *m_watchNotifier = nullptr;
    QSerialPort *m_serial = nullptr;

    QByteArray m_out;
    qint64 m_written = 0; // bytes handed to the line so far
    qint64 m_ackEnd = 0;  // where the last "ACK" ends in that count
    int m_droppedMessages = 0;
    bool m_pumpQueued = false;

    int m_pieceSize = 0;
    int m_checkMs = 1;
    QElapsedTimer m_pieceWait;
    QTimer m_pieceTimer;
    bool m_failed = false;
};

#endif // TAVRO_SIM_SIM_LINK_H
