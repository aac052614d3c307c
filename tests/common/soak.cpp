// The soak runs shared by the soak suite and the soak benchmark.
#include "soak.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QStringEncoder>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace soak {

// Resident memory of this process in kB (VmRSS), 0 when unreadable.
qint64 residentKb()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return 0;
}

// Lets events run until `done` holds or the time is up; never spins: the
// wait blocks on events, and a timer makes sure the deadline is seen.
bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QTimer wake;
    wake.start(50);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    }
    return true;
}

QByteArray cp949(const QString &text)
{
    return QStringEncoder("windows-949").encode(text);
}

const QStringList &callerNames()
{
    // Hangul names (똠 is beyond the common syllables), ASCII and none.
    static const QStringList names = {QStringLiteral("홍길동"), QStringLiteral("똠방각하"),
                                      QStringLiteral("김철수"), QStringLiteral("Lee"),
                                      QString(), QStringLiteral("공중전화"), QStringLiteral("박영희")};
    return names;
}

Call callFor(int id)
{
    const quint32 h = quint32(id) * 2654435761u;
    Call c;
    c.id = id;
    c.number = QStringLiteral("0%1").arg(100000000 + id);
    c.name = callerNames().at(int((h >> 8) % quint32(callerNames().size())));
    c.group = int((h >> 4) % 100);
    c.type = "BSCPOV"[(h >> 16) % 6];
    c.busy = (h >> 20) % 10 == 0;
    return c;
}

// The call's id from its number, -1 for a number the run did not send.
int callId(const QString &number)
{
    bool ok = false;
    const int value = number.toInt(&ok);
    return ok && number.startsWith(u'0') && value >= 100000000 ? value - 100000000 : -1;
}

QString telTypeWord(char type)
{
    switch (type) {
    case 'B': return QStringLiteral("BLACK");
    case 'S': return QStringLiteral("NORMAL");
    case 'C': return QStringLiteral("PUBLIC");
    case 'P': return QStringLiteral("NO_DISP");
    case 'O': return QStringLiteral("NO_GATHER");
    case 'V': return QStringLiteral("VIP");
    }
    return QString();
}

QByteArray messageBytes(const char *marker, char letter, const QList<QByteArray> &fields)
{
    QByteArray out = QByteArray(marker) + "\r\n" + letter + "\r\n";
    for (const QByteArray &f : fields)
        out += f + "\r\n";
    return out + "End\r\n";
}

QList<QByteArray> recordFields(const QString &time, const Call &c)
{
    return {"Time:" + time.toLatin1(), "Number:" + c.number.toLatin1(), "Name:" + cp949(c.name),
            "Group:" + QByteArray::number(c.group), QByteArray("Type:") + c.type};
}

// A garbled message: broken in a way that must raise no event and must not
// hide the messages around it. Always whole lines, as a line-oriented
// terminal with a noisy cable would still send.
QByteArray garbledMessage(std::mt19937 &rng)
{
    Call c = callFor(int(rng() % 1000));
    c.number = QStringLiteral("0999") + c.number.mid(4); // never one of the run's numbers
    const QList<QByteArray> fields = recordFields(QStringLiteral("01010101"), c);
    switch (rng() % 6) {
    case 0: // the marker line hit by noise
        return messageBytes("Rep0rt", 'D', fields);
    case 1: // cut off before its end line
        return messageBytes("Report", 'D', fields).chopped(5);
    case 2:
        return messageBytes("Respnse", 't', {"1"});
    case 3: // a type letter no decoder knows
        return messageBytes("Report", 'Z', fields.mid(0, 2));
    case 4: // an upper-case response letter
        return messageBytes("Response", 'T', {"1"});
    default: { // a line of noise, never holding a marker, an end line or "ACK"
        static const char alphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789 :.-#";
        QByteArray noise;
        for (int i = 0, n = 1 + int(rng() % 40); i < n; ++i)
            noise += alphabet[rng() % (sizeof alphabet - 1)];
        if (rng() % 2)
            noise += cp949(QStringLiteral("잡음"));
        return noise + "\r\n";
    }
    }
}

// The values a fresh terminal answers to the single-value queries.
QByteArray answerValue(char letter)
{
    switch (letter) {
    case 'e': return "0700";
    case 'f': return "1";
    case 'g': return "0";
    case 's': return "4";
    case 'h': case 'n': case 'r': case 't': case 'x': return "1";
    default: return "0";
    }
}

bool matches(const CID_INFO &info, const Call &call)
{
    return info.lNumber == call.number && info.lName == call.name && info.lGroup == call.group
        && info.lTelType == telTypeWord(call.type) && info.lMonth >= 1 && info.lMonth <= 12
        && info.lDay >= 1 && info.lDay <= 31 && info.lHour >= 0 && info.lHour <= 23
        && info.lMin >= 0 && info.lMin <= 59;
}

SimPeer::SimPeer(const QString &program)
{
    m_process.setProgram(program);
    m_process.setArguments({QStringLiteral("--quiet")});
    m_process.start();
    if (!m_process.waitForStarted(5000)) {
        m_failure = QStringLiteral("tavro_sim did not start: ") + m_process.errorString();
        return;
    }
    // Its first line is the path of the pty slave.
    const QDeadlineTimer deadline(10000);
    while (!m_process.canReadLine() && !deadline.hasExpired())
        m_process.waitForReadyRead(int(deadline.remainingTime()));
    m_path = QString::fromLocal8Bit(m_process.readLine()).trimmed();
    if (m_path.isEmpty())
        m_failure = QStringLiteral("tavro_sim printed no path");
    // Its answers to the operator commands are not needed; reading them
    // keeps the pipe from filling up.
    QObject::connect(&m_process, &QProcess::readyReadStandardOutput,
                     [this] { m_process.readAllStandardOutput(); });
    QObject::connect(&m_process, &QProcess::readyReadStandardError, [this] {
        const QByteArray text = m_process.readAllStandardError();
        if (m_failure.isEmpty())
            m_failure = QStringLiteral("tavro_sim complained: ") + QString::fromUtf8(text).trimmed();
    });
    QObject::connect(&m_process, &QProcess::finished, [this] {
        if (m_failure.isEmpty())
            m_failure = QStringLiteral("tavro_sim ended");
    });
}

SimPeer::~SimPeer()
{
    QObject::disconnect(&m_process, nullptr, nullptr, nullptr);
    if (m_process.state() != QProcess::NotRunning) {
        m_process.write("quit\n");
        if (!m_process.waitForFinished(3000)) {
            m_process.kill();
            m_process.waitForFinished(3000);
        }
    }
}

void SimPeer::sendCall(const Call &c, int pieceSize)
{
    const QString field = c.name.isEmpty() ? QStringLiteral("-") : c.name;
    setPieceSize(pieceSize);
    operatorCommand(QStringLiteral("%1 %2 \"%3\" %4 %5")
                        .arg(c.busy ? "busy" : "call", c.number, field)
                        .arg(c.group)
                        .arg(QLatin1Char(c.type)));
}

void SimPeer::sendGarbled(const QByteArray &bytes, int pieceSize)
{
    // The simulator's raw text: printable ASCII as is, everything else escaped.
    QString text;
    for (const char ch : bytes) {
        const uchar b = uchar(ch);
        if (b == '\\')
            text += QStringLiteral("\\\\");
        else if (b > 32 && b < 127)
            text += QChar(b);
        else
            text += QStringLiteral("\\x%1").arg(b, 2, 16, QLatin1Char('0'));
    }
    setPieceSize(pieceSize);
    operatorCommand(QStringLiteral("raw ") + text);
}
void SimPeer::setPieceSize(int pieceSize)
{
    operatorCommand(QStringLiteral("piece %1").arg(pieceSize));
}

void SimPeer::operatorCommand(const QString &line)
{
    m_process.write(line.toUtf8() + '\n');
}

ScriptedPeer::ScriptedPeer()
{
    if (!m_pty.isValid())
        return;
    m_reader = std::make_unique<QSocketNotifier>(m_pty.masterFd(), QSocketNotifier::Read);
    QObject::connect(m_reader.get(), &QSocketNotifier::activated, [this] { readHost(); });
    m_writer.setInterval(0);
    QObject::connect(&m_writer, &QTimer::timeout, [this] { writeNextPiece(); });
}

void ScriptedPeer::sendCall(const Call &c, int pieceSize)
{
    const QString time = QStringLiteral("%1%2%3%4")
                             .arg(1 + c.id % 12, 2, 10, QLatin1Char('0'))
                             .arg(1 + c.id % 28, 2, 10, QLatin1Char('0'))
                             .arg(c.id % 24, 2, 10, QLatin1Char('0'))
                             .arg(c.id % 60, 2, 10, QLatin1Char('0'));
    queue(messageBytes("Report", c.busy ? 'E' : 'D', recordFields(time, c)), pieceSize);
    m_stored.prepend({time, c});
    if (m_stored.size() > 60)
        m_stored.removeLast();
}

void ScriptedPeer::sendGarbled(const QByteArray &bytes, int pieceSize)
{
    queue(bytes, pieceSize);
}

QString ScriptedPeer::expectedAnswer(char letter) const
{
    return letter == 'e' ? QStringLiteral("07:00")
        : letter == 'g'  ? QStringLiteral("02")
                         : QString::fromLatin1(answerValue(letter));
}

QString ScriptedPeer::failure() const
{
    return m_pty.isValid() ? m_failure : QStringLiteral("no pseudo-terminal");
}

void ScriptedPeer::readHost()
{
    const QByteArray bytes = m_pty.readAvailable();
    for (const char ch : bytes) {
        if (ch == '[') {
            m_frame.clear();
            queue("ACK\r\n", m_answerPieceSize);
        } else if (ch == ']') {
            answerFrame(std::exchange(m_frame, QByteArray()));
        } else {
            m_frame += ch;
        }
    }
}

void ScriptedPeer::answerFrame(const QByteArray &frame)
{
    if (frame.size() < 2 || frame.at(1) != '\r') {
        m_failure = QStringLiteral("bad frame from the host: ") + QString::fromLatin1(frame.toPercentEncoding());
        return;
    }
    const char letter = frame.at(0);
    if (letter != 'a')
        return queue(messageBytes("Response", letter, {answerValue(letter)}), m_answerPieceSize);
    QList<QByteArray> fields;
    for (const auto &[time, call] : m_stored)
        fields += recordFields(time, call);
    queue(messageBytes("Response", 'a', fields), m_answerPieceSize);
}

void ScriptedPeer::queue(const QByteArray &bytes, int pieceSize)
{
    const qsizetype step = pieceSize > 0 ? pieceSize : bytes.size();
    for (qsizetype at = 0; at < bytes.size(); at += step)
        m_pieces.enqueue(bytes.mid(at, step));
    if (!m_writer.isActive()) {
        // The line was idle: its clock starts again with this message.
        m_paceClock.start();
        m_paceBytes = 0;
        m_writer.setInterval(0);
        m_writer.start();
    }
}

void ScriptedPeer::writeNextPiece()
{
    if (m_pieces.isEmpty()) {
        m_writer.stop();
        return;
    }
    QByteArray &piece = m_pieces.head();
    const ssize_t n = ::write(m_pty.masterFd(), piece.constData(), size_t(piece.size()));
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
        m_failure = QStringLiteral("write to the pty failed: ") + QString::fromLocal8Bit(strerror(errno));
        m_writer.stop();
        return;
    }
    if (n > 0)
        piece.remove(0, n);
    if (piece.isEmpty())
        m_pieces.dequeue();
    // The line is full: give the host a moment to read. At line pace the
    // next piece waits as long as 9600 baud takes for this one.
    if (n < 0) {
        m_writer.setInterval(1);
    } else if (m_linePace) {
        // The clock of the line: the next piece is due when the bytes so far
        // have taken their time at 960 bytes a second.
        m_paceBytes += n;
        m_writer.setInterval(int(std::max<qint64>(0, m_paceBytes * 1000 / 960 - m_paceClock.elapsed())));
    } else {
        m_writer.setInterval(0);
    }
}

double Figures::memoryGrowth() const
{
    return rssAfter100Kb > 0 ? double(rssEndKb - rssAfter100Kb) / double(rssAfter100Kb) : 0;
}

QString Figures::describe(const QString &peer) const
{
    return QStringLiteral(
               "soak over a pty with %1: %2 s, %3 garbled messages\n"
               "  calls:   sent %4, received %5, lost %6, duplicated %7, out of order %8, corrupted %9\n"
               "  answers: queries sent %10 (failed %11), received %12, lost %13, duplicated %14, "
               "unexpected %15, corrupted %16\n"
               "  events from garbled messages: %17; the host read %21 pieces of %22 to %23 "
               "characters, %24 on average\n"
               "  memory:  VmRSS %18 kB after the first 100 messages, %19 kB after the run (%20%)")
        .arg(peer)
        .arg(seconds, 0, 'f', 1)
        .arg(garbled)
        .arg(callsSent).arg(callsReceived).arg(callsLost).arg(callsDuplicated)
        .arg(callsOutOfOrder).arg(callsCorrupted)
        .arg(queriesSent).arg(queriesFailed).arg(answersReceived).arg(answersLost)
        .arg(answersDuplicated).arg(answersUnexpected).arg(answersCorrupted)
        .arg(unexpectedEvents)
        .arg(rssAfter100Kb).arg(rssEndKb)
        .arg(memoryGrowth() * 100, 0, 'f', 1)
        .arg(reads).arg(smallestRead).arg(largestRead)
        .arg(reads > 0 ? double(readChars) / double(reads) : 0.0, 0, 'f', 1);
}

Run::Run(tavro_m &control, Peer &peer, const Options &options)
    : m_control(control)
    , m_peer(peer)
    , m_options(options)
    , m_rng(options.seed)
    , m_seen(size_t(options.calls), false)
{
}

Figures Run::run()
{
    const QList<QMetaObject::Connection> connections = {
        QObject::connect(&m_control, &tavro_m::ReceiveCall,
                         [this](const QString &p, qint16 s, CID_INFO &c) { onCall(p, s, c); }),
        QObject::connect(&m_control, &tavro_m::ReceiveResponse,
                         [this](const QString &p, qint16 t, const QString &r1, const QString &r2,
                                const QString &) { onAnswer(p, char(t), r1, r2); }),
        QObject::connect(&m_control, &tavro_m::ReceiveGatheredInfo,
                         [this](const QString &p, qint16 &max, qint16 &kind, CID_INFO_ARRAY &info) {
                             onList(p, max, kind, info);
                         }),
        QObject::connect(&m_control, &tavro_m::ReceiveReal,
                         [this](const QString &, const QString &piece) { onRead(piece.size()); }),
        QObject::connect(&m_control, &tavro_m::HookEvent,
                         [this](const QString &, bool) { ++m_f.unexpectedEvents; }),
    };
    QElapsedTimer clock;
    clock.start();

    int callsLeft = m_options.calls, queriesLeft = m_options.queries;
    bool garbledLast = false;
    while ((callsLeft > 0 || queriesLeft > 0) && m_f.stalled.isEmpty()) {
        // Never two in a row: two broken messages may well make one
        // plausible one, which says nothing about the link.
        garbledLast = !garbledLast && int(m_rng() % quint32(m_options.garbleOneIn)) == 0;
        if (garbledLast) {
            m_peer.sendGarbled(garbledMessage(m_rng), pieceSize());
            ++m_f.garbled;
            continue;
        }
        const bool query = int(m_rng() % quint32(callsLeft + queriesLeft)) < queriesLeft;
        if (!waitForRoom(query))
            break;
        if (query) {
            --queriesLeft;
            sendQuery();
        } else {
            m_peer.sendCall(callFor(m_options.calls - callsLeft), pieceSize());
            --callsLeft;
            ++m_f.callsSent;
        }
        sampleMemory();
        if (m_options.progress && (m_f.callsSent + m_f.queriesSent) % 5000 == 0)
            std::fprintf(stderr, "  ... %d calls, %d queries sent\n", m_f.callsSent, m_f.queriesSent);
    }
    // Everything sent arrives, or the run stalls.
    waitFor([this] { return outstandingCalls() == 0 && m_expected.isEmpty(); });
    sampleMemory();
    m_f.rssEndKb = residentKb();
    m_f.seconds = clock.elapsed() / 1000.0;
    for (const auto &c : connections)
        QObject::disconnect(c);

    m_f.callsLost += m_f.callsSent - m_nextCall;
    m_f.answersLost += int(m_expected.size());
    return m_f;
}

int Run::pieceSize()
{
    // Mostly a few bytes to a few dozen; sometimes single bytes or whole messages.
    const quint32 kind = m_rng() % 16;
    return kind < 2 ? 0 : kind < 3 ? 1 + int(m_rng() % 3) : 4 + int(m_rng() % 60);
}

bool Run::waitFor(const std::function<bool()> &done)
{
    // The clock restarts whenever something arrives: only a stall ends the wait.
    for (int before = -1; !done();) {
        const int progress = m_f.callsReceived + m_f.answersReceived;
        if (progress == before) {
            m_f.stalled = QStringLiteral("nothing arrived for %1 ms; peer: %2")
                              .arg(m_options.stallMs)
                              .arg(m_peer.failure());
            return false;
        }
        before = progress;
        if (waitUntil([&] { return done() || m_f.callsReceived + m_f.answersReceived != progress; },
                      m_options.stallMs))
            continue;
    }
    return true;
}

bool Run::waitForRoom(bool query)
{
    if (!m_peer.failure().isEmpty()) {
        m_f.stalled = m_peer.failure();
        return false;
    }
    if (query) {
        return waitFor([this] {
            return outstandingCalls() + m_expected.size() <= m_options.queryWindow
                && !m_expected.contains('a');
        });
    }
    return waitFor([this] {
        return outstandingCalls() < m_options.window && m_expected.size() < m_options.window;
    });
}

void Run::sendQuery()
{
    static const char letters[] = "efghinqrstux";
    const char letter = m_f.queriesSent % 40 == 39 ? 'a' : letters[m_queryTurn++ % 12];
    // A whole list in single bytes would hold up the next ACK for seconds.
    m_peer.setPieceSize(letter == 'a' ? 32 + int(m_rng() % 200) : pieceSize());
    const int callsBefore = outstandingCalls();
    const qsizetype answersBefore = m_expected.size();
    QElapsedTimer wait;
    wait.start();
    if (m_control.SendCmd(QStringLiteral("COM1"), letter)) {
        m_expected.enqueue(letter);
        ++m_f.queriesSent;
    } else {
        ++m_f.queriesFailed;
        if (m_f.queriesFailed <= 3)
            std::fprintf(stderr, "soak: SendCmd '%c' failed after %lld ms with %d calls and %d answers "
                         "due: %s\n", letter, qint64(wait.elapsed()), callsBefore, int(answersBefore),
                         qPrintable(m_control.GetCurrentErrorMsg()));
    }
}

void Run::sampleMemory()
{
    if (m_f.rssAfter100Kb == 0 && m_f.callsReceived + m_f.answersReceived >= 100)
        m_f.rssAfter100Kb = residentKb();
}

void Run::corrupted(int &counter, const QString &what)
{
    if (++counter <= 5)
        std::fprintf(stderr, "soak: %s\n", qPrintable(what));
}

void Run::onRead(qint64 size)
{
    m_f.smallestRead = m_f.reads == 0 ? size : std::min(m_f.smallestRead, size);
    m_f.largestRead = std::max(m_f.largestRead, size);
    ++m_f.reads;
    m_f.readChars += size;
}

void Run::onCall(const QString &port, qint16 state, const CID_INFO &info)
{
    const int id = callId(info.lNumber);
    if (id < 0 || id >= m_f.callsSent) {
        ++m_f.unexpectedEvents;
        return;
    }
    ++m_f.callsReceived;
    const Call call = callFor(id);
    if (port != QStringLiteral("COM1") || state != (call.busy ? 2 : 1) || !matches(info, call))
        corrupted(m_f.callsCorrupted, QStringLiteral("call %1 arrived as %2 / %3 / %4 / %5")
                                          .arg(id).arg(info.lNumber, info.lName)
                                          .arg(info.lGroup).arg(info.lTelType));
    if (m_seen[size_t(id)]) {
        ++m_f.callsDuplicated;
    } else if (id < m_nextCall) {
        // Counted as lost when a later call came first.
        ++m_f.callsOutOfOrder;
        --m_f.callsLost;
    } else {
        m_f.callsLost += id - m_nextCall;
        m_nextCall = id + 1;
    }
    m_seen[size_t(id)] = true;
}

// Answers carry no id; their letters cycle, so a skip or a repeat shows.
bool Run::takeAnswer(char letter)
{
    ++m_f.answersReceived;
    if (!m_expected.isEmpty() && m_expected.head() == letter) {
        m_lastAnswer = m_expected.dequeue();
        return true;
    }
    if (letter == m_lastAnswer) {
        ++m_f.answersDuplicated;
        return false;
    }
    const qsizetype at = m_expected.indexOf(letter);
    if (at > 0) {
        m_f.answersLost += int(at);
        m_expected.erase(m_expected.begin(), m_expected.begin() + at + 1);
        m_lastAnswer = letter;
        return true;
    }
    ++m_f.answersUnexpected;
    return false;
}

void Run::onAnswer(const QString &port, char letter, const QString &rst1, const QString &rst2)
{
    if (!takeAnswer(letter))
        return;
    // A peer with settings of its own must at least answer the same every time.
    const QString expected = m_peer.expectedAnswer(letter);
    const QString seen = m_values.value(letter, rst1);
    m_values.insert(letter, seen);
    if (port != QStringLiteral("COM1") || !rst2.isEmpty() || rst1 != seen
        || (!expected.isEmpty() && rst1 != expected))
        corrupted(m_f.answersCorrupted,
                  QStringLiteral("answer %1 arrived as \"%2\"").arg(QLatin1Char(letter)).arg(rst1));
}

void Run::onList(const QString &port, qint16 max, qint16 kind, const CID_INFO_ARRAY &info)
{
    if (!takeAnswer(char(kind)))
        return;
    bool sound = port == QStringLiteral("COM1") && kind == 'a' && max >= 1 && max <= 60;
    for (int i = 0; sound && i < max; ++i) {
        const int id = callId(info[size_t(i)].lNumber);
        sound = id >= 0 && id < m_f.callsSent && matches(info[size_t(i)], callFor(id));
    }
    if (!sound)
        corrupted(m_f.answersCorrupted, QStringLiteral("a list of %1 stored calls arrived broken").arg(max));
}

bool TwoTerminalFigures::sound() const
{
    return stalled.isEmpty() && lost == 0 && misnamed == 0 && merged == 0 && duplicated == 0
        && received[0] == sent[0] && received[1] == sent[1];
}

QString TwoTerminalFigures::describe() const
{
    return QStringLiteral(
               "two terminals over two ptys: %1 s\n"
               "  COM1: sent %2, received %3; COM2: sent %4, received %5\n"
               "  lost %6, misnamed %7, merged %8, duplicated %9\n"
               "  the host read %10 pieces on COM1 (%11 on average), %12 on COM2 (%13 on average)")
        .arg(seconds, 0, 'f', 1)
        .arg(sent[0]).arg(received[0]).arg(sent[1]).arg(received[1])
        .arg(lost).arg(misnamed).arg(merged).arg(duplicated)
        .arg(reads[0]).arg(reads[0] ? double(readChars[0]) / double(reads[0]) : 0.0, 0, 'f', 1)
        .arg(reads[1]).arg(reads[1] ? double(readChars[1]) / double(reads[1]) : 0.0, 0, 'f', 1);
}

TwoTerminalFigures runTwoTerminals(tavro_m &control, ScriptedPeer &com1, ScriptedPeer &com2,
                                   const TwoTerminalOptions &options)
{
    // COM1 sends the ids 0..n-1, COM2 n..2n-1: a call's id tells its line.
    const int n = options.callsPerTerminal;
    const QString names[2] = {QStringLiteral("COM1"), QStringLiteral("COM2")};
    ScriptedPeer *peers[2] = {&com1, &com2};
    std::mt19937 rng(options.seed);
    TwoTerminalFigures f;
    std::vector<int> seen(size_t(2 * n), 0);
    int distinct = 0;

    const QList<QMetaObject::Connection> connections = {
        QObject::connect(&control, &tavro_m::ReceiveCall,
                         [&](const QString &port, qint16 state, CID_INFO &info) {
                             const int id = callId(info.lNumber);
                             if (id < 0 || id >= 2 * n) {
                                 ++f.merged; // no terminal sent this number
                                 return;
                             }
                             const int line = id < n ? 0 : 1;
                             ++f.received[line];
                             const Call call = callFor(id);
                             if (port != names[line])
                                 ++f.misnamed;
                             if (state != (call.busy ? 2 : 1) || !matches(info, call))
                                 ++f.merged;
                             if (seen[size_t(id)]++)
                                 ++f.duplicated;
                             else
                                 ++distinct;
                         }),
        QObject::connect(&control, &tavro_m::ReceiveReal, [&](const QString &port, const QString &piece) {
            const int line = port == names[1] ? 1 : 0;
            ++f.reads[line];
            f.readChars[line] += piece.size();
        }),
    };

    const auto pieceSize = [&rng] {
        // Single bytes, a few bytes, a few dozen, or the whole message.
        const quint32 kind = rng() % 8;
        return kind == 0 ? 0 : kind < 3 ? 1 + int(rng() % 3) : 4 + int(rng() % 40);
    };
    QElapsedTimer clock;
    clock.start();
    // Both terminals get all their calls at once and write them as fast as
    // their lines carry them: the host reads the two lines in turns.
    for (int i = 0; i < n; ++i) {
        for (int line = 0; line < 2; ++line) {
            peers[line]->sendCall(callFor(line * n + i), pieceSize());
            ++f.sent[line];
        }
    }
    // The lines carry everything queued (a call takes about 90 ms at line
    // pace)...
    const QDeadlineTimer cap(options.stallMs + qint64(n) * 200);
    while (!(com1.idle() && com2.idle()) && distinct < 2 * n) {
        if (!com1.failure().isEmpty() || !com2.failure().isEmpty()) {
            f.stalled = com1.failure() + com2.failure();
            break;
        }
        if (cap.hasExpired()) {
            f.stalled = QStringLiteral("the terminals were still writing after %1 ms").arg(clock.elapsed());
            break;
        }
        waitUntil([&] { return (com1.idle() && com2.idle()) || distinct == 2 * n; }, 1000);
    }
    // ...and what the host decodes of it is in within a second.
    for (int before = -1; distinct < 2 * n && distinct != before;) {
        before = distinct;
        waitUntil([&] { return distinct != before; }, 1000);
    }
    // A late duplicate or stray event would still show within a moment.
    waitUntil([] { return false; }, 200);
    f.seconds = clock.elapsed() / 1000.0;
    for (const auto &c : connections)
        QObject::disconnect(c);
    f.lost = 2 * n - distinct;
    return f;
}

} // namespace soak
