// The simulator's end of the serial line: the master of a pseudo-terminal
// whose slave the host opens, or a real serial device (9600 8N1). What it
// sends can be cut into pieces of N bytes, each written on its own, so the
// host sees messages arrive in parts.
#ifndef TAVRO_SIM_SIM_LINK_H
#define TAVRO_SIM_SIM_LINK_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class QSerialPort;
class QSocketNotifier;

class SimLink : public QObject
{
    Q_OBJECT

public:
    explicit SimLink(QObject *parent = nullptr);
    ~SimLink() override;

    bool openPty(QString *error);
    bool openDevice(const QString &device, QString *error);

    // The path the host opens: the pty's slave, or the device.
    QString path() const { return m_path; }

    // Bytes per write; 0 writes everything at once.
    void setPieceSize(int size);
    void send(const QByteArray &bytes);

Q_SIGNALS:
    void received(const QByteArray &bytes);
    // The line is gone (device unplugged, write error); nothing more is read.
    void failed(const QString &why);

private:
    void readMaster();
    void pump();
    // -1 on error, 0 when the line takes nothing right now.
    qint64 writeSome(const QByteArray &chunk);
    // True while the previous piece has not reached the host yet.
    bool previousPieceInFlight() const;
    void fail(const QString &why);

    QString m_path;
    int m_master = -1;
    int m_slave = -1; // held open so the master never sees a hang-up
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QSerialPort *m_serial = nullptr;

    QByteArray m_out;
    int m_pieceSize = 0;
    int m_drainChecks = 0;
    QTimer m_pieceTimer;
    bool m_failed = false;
};

#endif // TAVRO_SIM_SIM_LINK_H
