// A soak run of the device link: a terminal peer on a pseudo-terminal sends
// incoming calls, the host sends queries with SendCmd, messages arrive in
// pieces of random sizes and about one in fifty is garbled. Every
// well-formed call and answer must arrive exactly once and in order, and the
// process's memory must stay flat. A second mode has two terminals on COM1
// and COM2 sending calls at once. Shared by the soak suite (peer: tavro_sim)
// and the soak benchmark (peer: tavro_sim or a scripted terminal in-process).
#ifndef TAVRO_TESTS_SOAK_H
#define TAVRO_TESTS_SOAK_H

#include "pty_pair.h"
#include "tavro/tavro_m.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QProcess>
#include <QQueue>
#include <QSocketNotifier>
#include <QTimer>

#include <functional>
#include <memory>
#include <random>
#include <vector>

namespace soak {

// Resident memory of this process in kB (VmRSS), 0 when unreadable.
qint64 residentKb();
// Lets events run until `done` holds or the time is up; never spins: the
// wait blocks on events, and a timer makes sure the deadline is seen.
bool waitUntil(const std::function<bool()> &done, int timeoutMs);
QByteArray cp949(const QString &text);

// One incoming call. Everything but the clock follows from its id, so the
// run keeps no record of what it sent.
struct Call
{
    int id = 0;
    QString number;
    QString name;
    int group = 0;
    char type = 'S';
    bool busy = false;
};

const QStringList &callerNames();
Call callFor(int id);
// The call's id from its number, -1 for a number the run did not send.
int callId(const QString &number);
QString telTypeWord(char type);
// Whether a received record is the call it names, field by field.
bool matches(const CID_INFO &info, const Call &call);
QByteArray messageBytes(const char *marker, char letter, const QList<QByteArray> &fields);
QList<QByteArray> recordFields(const QString &time, const Call &c);
// A garbled message: broken in a way that must raise no event and must not
// hide the messages around it. Always whole lines, as a line-oriented
// terminal with a noisy cable would still send.
QByteArray garbledMessage(std::mt19937 &rng);
// The values a fresh terminal answers to the single-value queries.
QByteArray answerValue(char letter);

// The other end of the line.
class Peer
{
public:
    virtual ~Peer() = default;
    virtual QString name() const = 0;
    // The device path the host opens.
    virtual QString devicePath() const = 0;
    // An incoming call, sent in pieces of pieceSize bytes (0: whole).
    virtual void sendCall(const Call &call, int pieceSize) = 0;
    virtual void sendGarbled(const QByteArray &bytes, int pieceSize) = 0;
    // Piece size for what follows from the peer's side: ACK and answers.
    virtual void setPieceSize(int pieceSize) = 0;
    // The value the peer answers to a query, empty when it keeps its own settings.
    virtual QString expectedAnswer(char) const { return QString(); }
    // Why the peer cannot go on, empty while it can.
    virtual QString failure() const = 0;
};

// The simulated terminal, tavro_sim, driven through its operator commands.
class SimPeer : public Peer
{
public:
    explicit SimPeer(const QString &program);
    ~SimPeer() override;

    QString name() const override { return QStringLiteral("tavro_sim"); }
    QString devicePath() const override { return m_path; }
    void sendCall(const Call &c, int pieceSize) override;
    void sendGarbled(const QByteArray &bytes, int pieceSize) override;
    void setPieceSize(int pieceSize) override;
    QString failure() const override { return m_failure; }

private:
    void operatorCommand(const QString &line);

    QProcess m_process;
    QString m_path;
    QString m_failure;
};

// A terminal played in this process on the master side of a pty pair:
// answers "[" with ACK and each query frame with its Response, and writes
// every message in pieces, one write per event-loop pass, so the host reads
// them as they come; at line pace, no faster than 9600 baud allows.
class ScriptedPeer : public Peer
{
public:
    ScriptedPeer();

    QString name() const override { return QStringLiteral("scripted terminal"); }
    QString devicePath() const override { return m_pty.slavePath(); }
    void sendCall(const Call &c, int pieceSize) override;
    void sendGarbled(const QByteArray &bytes, int pieceSize) override;
    void setPieceSize(int pieceSize) override { m_answerPieceSize = pieceSize; }
    QString expectedAnswer(char letter) const override;
    QString failure() const override;
    // Writes no faster than a 9600-baud line carries bytes (960 a second).
    void setLinePace(bool on) { m_linePace = on; }
    // Everything queued has been written.
    bool idle() const { return m_pieces.isEmpty(); }

private:
    void readHost();
    void answerFrame(const QByteArray &frame);
    void queue(const QByteArray &bytes, int pieceSize);
    void writeNextPiece();

    PtyPair m_pty;
    std::unique_ptr<QSocketNotifier> m_reader;
    QTimer m_writer;
    QQueue<QByteArray> m_pieces;
    QByteArray m_frame;
    QList<std::pair<QString, Call>> m_stored; // newest first, at most 60
    QString m_failure;
    int m_answerPieceSize = 0;
    bool m_linePace = false;
    QElapsedTimer m_paceClock;
    qint64 m_paceBytes = 0;
};

struct Options
{
    int calls = 300;
    int queries = 120;
    int garbleOneIn = 50;
    quint32 seed = 20240611;
    // Well-formed messages sent but not yet received, at most.
    int window = 8;
    // At most this many before a query: its ACK queues behind them at the
    // terminal, and SendCmd gives up after 5.5 s (at 9600 baud a terminal
    // sends under 1 kB a second).
    int queryWindow = 2;
    // Longest wait for the next event before the run gives up.
    int stallMs = 15000;
    // Print the figures as the run goes (the benchmark).
    bool progress = false;
};

struct Figures
{
    int callsSent = 0, callsReceived = 0, callsLost = 0, callsDuplicated = 0, callsOutOfOrder = 0,
        callsCorrupted = 0;
    int queriesSent = 0, queriesFailed = 0, answersReceived = 0, answersLost = 0,
        answersDuplicated = 0, answersUnexpected = 0, answersCorrupted = 0;
    int garbled = 0, unexpectedEvents = 0;
    // Pieces the host read (ReceiveReal events) and their characters.
    qint64 reads = 0, readChars = 0, smallestRead = 0, largestRead = 0;
    qint64 rssAfter100Kb = 0, rssEndKb = 0;
    double seconds = 0;
    QString stalled; // why the run stopped early, empty when it did not

    double memoryGrowth() const;
    QString describe(const QString &peer) const;
};

// Runs the soak on COM1 of `control`, which must already be open on the
// peer's device path.
class Run
{
public:
    Run(tavro_m &control, Peer &peer, const Options &options);
    Figures run();

private:
    int pieceSize();
    int outstandingCalls() const { return m_f.callsSent - m_nextCall; }
    bool waitFor(const std::function<bool()> &done);
    bool waitForRoom(bool query);
    void sendQuery();
    void sampleMemory();
    void corrupted(int &counter, const QString &what);
    void onRead(qint64 size);
    void onCall(const QString &port, qint16 state, const CID_INFO &info);
    // Answers carry no id; their letters cycle, so a skip or a repeat shows.
    bool takeAnswer(char letter);
    void onAnswer(const QString &port, char letter, const QString &rst1, const QString &rst2);
    void onList(const QString &port, qint16 max, qint16 kind, const CID_INFO_ARRAY &info);

    tavro_m &m_control;
    Peer &m_peer;
    const Options m_options;
    std::mt19937 m_rng;
    Figures m_f;
    std::vector<bool> m_seen; // by call id
    int m_nextCall = 0;
    QQueue<char> m_expected; // letters of the queries whose answers are due
    char m_lastAnswer = 0;
    int m_queryTurn = 0;
    QHash<char, QString> m_values;
};

// Two terminals, on COM1 and COM2, sending calls at the same time.
struct TwoTerminalOptions
{
    int callsPerTerminal = 100;
    quint32 seed = 20240611;
    // Time allowed beyond what the lines need to carry the calls.
    int stallMs = 15000;
};

struct TwoTerminalFigures
{
    int sent[2] = {0, 0}, received[2] = {0, 0};
    // Never arrived; arrived under the other port's name; arrived with
    // fields that are not its own (two records merged, or a number no
    // terminal sent); arrived more than once.
    int lost = 0, misnamed = 0, merged = 0, duplicated = 0;
    // Pieces the host read per port, and the characters in them.
    qint64 reads[2] = {0, 0}, readChars[2] = {0, 0};
    double seconds = 0;
    QString stalled;

    bool sound() const;
    QString describe() const;
};

// Runs calls from both peers at once; COM1 and COM2 of `control` must be
// open on the peers' device paths. Each call goes out in pieces of mixed
// sizes, so the host's reads of the two lines interleave.
TwoTerminalFigures runTwoTerminals(tavro_m &control, ScriptedPeer &com1, ScriptedPeer &com2,
                                   const TwoTerminalOptions &options);

} // namespace soak

#endif // TAVRO_TESTS_SOAK_H
