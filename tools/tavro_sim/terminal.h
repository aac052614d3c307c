// The simulated caller-ID terminal: its settings and lists, the host's
// synchronisation requests and command frames, the operator's commands, and
// the Response / Report messages it sends back. No I/O here: bytes from the
// host come in through receive(), bytes for the host leave through send().
#ifndef TAVRO_SIM_TERMINAL_H
#define TAVRO_SIM_TERMINAL_H

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

class Terminal : public QObject
{
    Q_OBJECT

public:
    // One titled record of a list: a stored call, a rejected number or an
    // answer number.
    struct Record
    {
        QString time; // MMDDhhmm
        QString number;
        QString name;
        int group = 0;
        QChar type; // telephone-type letter
    };

    static constexpr int kMaxRecords = 60;
    static constexpr int kGroups = 6;
    static constexpr int kMaxPieceSize = 4096;

    explicit Terminal(QObject *parent = nullptr);

    // Bytes the host wrote: "[" requests and command frames, in any pieces.
    void receive(const QByteArray &bytes);

    // One line typed by the operator.
    void runOperatorCommand(const QString &line);

    // Bytes per write to the host; 0 sends each message whole.
    int pieceSize() const { return m_pieceSize; }

    static QString helpText();

Q_SIGNALS:
    // Bytes for the host: a whole message, or raw text.
    void send(const QByteArray &bytes);
    // "ACK" CR LF, the answer to "[" (the line sends it once while unread).
    void acknowledge(const QByteArray &ack);
    // The answer to an operator command (standard output).
    void said(const QString &line);
    // What the host asked and what the terminal did (standard output).
    void hostCommand(const QString &line);
    // Bad input from the host or the operator (standard error).
    void complained(const QString &line);
    void pieceSizeChanged(int size);
    void quitRequested();

private:
    // Host side.
    void answerSync();
    void handleFrame(const QByteArray &frame);
    void runHostCommand(char cmd, const QStringList &params);
    void runQuery(char letter, const QStringList &params);
    void runSet(char letter, const QStringList &params);
    void setSwitch(char letter, const QStringList &params);
    void setDateTime(const QStringList &params);
    void setAlarmTime(const QStringList &params);
    void setNumber(char letter, const QStringList &params, int low, int high);
    void setArea(const QStringList &params);
    void deleteCalls(const QStringList &params);
    void dial(const QStringList &params);
    void editRejected(const QStringList &params);
    void setGroupMelody(const QStringList &params);
    void hookFlash();
    void hostSaid(char cmd, const QStringList &params, const QString &what);
    void hostError(char cmd, const QStringList &params, const QString &what);

    // Operator side.
    void announceCall(const QStringList &args, bool busy);
    void setHook(bool lifted);
    void sendRaw(const QString &text);
    void setSilence(const QStringList &args);
    void setPieceSize(const QStringList &args);
    void editAnswerNumbers(const QStringList &args);
    void showState();

    // Messages.
    QByteArray message(const char *marker, char letter, const QList<QByteArray> &lines);
    QList<QByteArray> recordLines(const QList<Record> &records);
    void sendMessage(const char *marker, char letter, const QList<QByteArray> &lines);

    // The terminal's clock: the host sets it, then it runs with the system clock.
    QDateTime clock() const;
    QString clockStamp() const; // MMDDhhmm

    static void keepNewest(QList<Record> &records);
    static int indexOfNumber(const QList<Record> &records, const QString &number);

    // Framing of the host's bytes.
    QByteArray m_frame;
    bool m_inFrame = false;
    bool m_discarding = false;

    // Settings.
    qint64 m_clockOffsetMs = 0;
    QString m_alarmTime = QStringLiteral("0700"); // hhmm
    int m_alarmMelody = 1;
    int m_areaSlot = 0;
    int m_brightness = 4;
    QMap<char, bool> m_switches; // by query letter
    QList<int> m_groupMelody;    // index 0 = group 1
    bool m_handsetLifted = false;

    // Lists, oldest first.
    QList<Record> m_calls;
    QList<Record> m_rejected;
    QList<Record> m_answerNumbers;

    // Test controls.
    bool m_silent = false;
    int m_pieceSize = 0;
};

#endif // TAVRO_SIM_TERMINAL_H
