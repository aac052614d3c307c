// Sending: SendCmd with its synchronisation exchange, and raw TxData.
#include "control_private.h"
#include "link_state.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QStringEncoder>
#include <QStringList>

#include <algorithm>
#include <optional>

using namespace tavro::detail;

namespace {

const QString kPortNotOpen = QStringLiteral("통신 포트가 OPEN 되지 않았습니다.");
const QString kDateFormat = QStringLiteral("날짜 형식이 맞지 않음(형식 MM-DD), 입력값=");
const QString kTimeFormat = QStringLiteral("시간 형식이 맞지 않음(형식 HH:MM), 입력값=");
const QString kNotImplemented = QStringLiteral("구현되지 않은 명령입니다(단말기에서 직접 설정해주세요)");
const QString kMelodyRange = QStringLiteral("알람 멜로디 번호가 1~6 범위 내에 있지 않습니다.");
const QString kAreaWrong = QStringLiteral("지역번호가 잘못 입력되었습니다. 입력된 지역번호는 ");
const QString kAreaWrongTail = QStringLiteral(" 입니다.");
const QString kNoAnswer = QStringLiteral("TAVRO 단말기와 통신이 안됨");
const QString kBadCommand = QStringLiteral("명령 문자가 잘못되었습니다. 명령 코드=");
const QString kFrameCharacter =
    QStringLiteral("명령 파라미터에 CR, LF, '[', ']' 문자는 쓸 수 없습니다. 입력값=");
const QString kUnencodable =
    QStringLiteral("단말기로 보낼 수 없는 문자(코드 페이지 949에 없는 문자)가 있습니다. 입력값=");
const QString kTooDeep =
    QStringLiteral("응답을 기다리는 명령이 너무 많이 겹쳐 있어 이 명령을 보내지 않았습니다.");
const QString kBacklogFull =
    QStringLiteral("송신 대기 데이터가 너무 많습니다(단말기가 받지 않음). 잠시 후 다시 보내주세요.");

// The sync wait gives up at the first check after this many ticks.
constexpr qint32 kMaxSyncTicks = 10;
// Eleven ticks of 500 ms: no wait lasts longer than this after its own "[".
constexpr qint64 kWaitLimitMs = 5500;
// A SendCmd started from a handler runs inside the wait of the one before
// it; each level costs stack, so a host that keeps nesting is refused here.
constexpr int kMaxNestedWaits = 8;
// Bytes queued for a port and not yet on the line (9600 baud moves about
// 960 a second). A deaf terminal makes the queue grow without end otherwise.
constexpr qint64 kMaxOutputBacklog = 16384;

constexpr const char *kCodec = "windows-949";

// Waits in progress (SendCmd inside SendCmd) and the deadline of the
// innermost one, which never lies beyond the deadline of the wait around it.
int gWaitDepth = 0;
QDeadlineTimer gInnermostDeadline(QDeadlineTimer::Forever);

class WaitScope
{
public:
    WaitScope()
        : m_outer(gInnermostDeadline)
        , m_deadline(std::min(QDeadlineTimer(kWaitLimitMs, Qt::PreciseTimer), m_outer))
    {
        ++gWaitDepth;
        gInnermostDeadline = m_deadline;
    }
    ~WaitScope()
    {
        --gWaitDepth;
        gInnermostDeadline = m_outer;
    }
    WaitScope(const WaitScope &) = delete;
    WaitScope &operator=(const WaitScope &) = delete;

    const QDeadlineTimer &deadline() const { return m_deadline; }

private:
    QDeadlineTimer m_outer;
    QDeadlineTimer m_deadline;
};

// The bytes the terminal would receive, or nothing when some character has
// no code page 949 form (the codec would send "?" in its place) or the text
// holds a lone surrogate (which the codec drops silently).
std::optional<QByteArray> encodeForLine(const QString &text)
{
    if (!QStringView(text).isValidUtf16())
        return std::nullopt;
    QStringEncoder encoder(kCodec);
    QByteArray bytes = encoder.encode(text);
    if (encoder.hasError())
        return std::nullopt;
    return bytes;
}

// A parameter as the error text shows it: line ends made visible.
QString shown(QString text)
{
    return text.replace(u'\r', QStringLiteral("<CR>")).replace(u'\n', QStringLiteral("<LF>"));
}

// The terminal reads CR as the end of a parameter and "[" / "]" as the
// start / end of a frame: inside a parameter they would inject a command.
bool hasFrameCharacter(const QString &text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) {
        return c == u'\r' || c == u'\n' || c == u'[' || c == u']';
    });
}

// The command byte: a printable ASCII character that is not frame syntax.
bool isCommandByte(char cmd)
{
    return cmd >= 0x20 && cmd <= 0x7e && cmd != '[' && cmd != ']';
}

// Refuses what cannot go out as one well-formed frame; the error text
// names the offending parameter.
bool checkFrameSafe(char cmd, const QString &para1, const QString &para2, const QString &para3)
{
    if (!isCommandByte(cmd)) {
        gCurrentErrorMsg = kBadCommand + QString::number(static_cast<unsigned char>(cmd));
        return false;
    }
    for (const QString *para : {&para1, &para2, &para3}) {
        if (hasFrameCharacter(*para)) {
            gCurrentErrorMsg = kFrameCharacter + shown(*para);
            return false;
        }
        if (!encodeForLine(*para)) {
            gCurrentErrorMsg = kUnencodable + *para;
            return false;
        }
    }
    return true;
}

// "MM-DD" / "HH:MM": five characters with the separator in the middle.
bool hasShape(const QString &text, QChar separator)
{
    return text.size() == 5 && text.at(2) == separator;
}

// "01-15" -> "0115": characters 1-2 and 4-5.
QString withoutSeparator(const QString &text)
{
    return text.left(2) + text.mid(3, 2);
}

// Checks and rewrites the parameters of 'D', 'E', 'F' and 'G'. On false the
// call's error text is in gCurrentErrorMsg.
bool validateParameters(tavro_m &control, char cmd, QString &para1, QString &para2)
{
    switch (cmd) {
    case 'D': {
        // The text holds this call's failures only, never a leftover text.
        QStringList failures;
        if (!hasShape(para1, u'-'))
            failures << kDateFormat + para1;
        if (!hasShape(para2, u':'))
            failures << kTimeFormat + para2;
        if (!failures.isEmpty()) {
            gCurrentErrorMsg = failures.join(kCrLf);
            return false;
        }
        para1 = withoutSeparator(para1);
        para2 = withoutSeparator(para2);
        return true;
    }
    case 'E':
        if (!hasShape(para1, u':')) {
            gCurrentErrorMsg = kTimeFormat + para1;
            return false;
        }
        para1 = withoutSeparator(para1);
        return true;
    case 'F': {
        // The terminal ignores this command; the text stays even on success.
        gCurrentErrorMsg = kNotImplemented;
        emit control.DebugMsg(QStringLiteral("멜로디 번호:") + para1);
        const double value = leadingNumber(para1);
        if (value < 1 || value > 6) {
            gCurrentErrorMsg = kMelodyRange;
            return false;
        }
        return true;
    }
    case 'G':
        for (int i = 0; i < 16; ++i) {
            if (para1 == gAreaNumber[i]) {
                para1 = gAreaCode[i];
                return true;
            }
        }
        gCurrentErrorMsg = kAreaWrong + para1 + kAreaWrongTail;
        return false;
    default:
        return true;
    }
}

// cmd CR, each non-empty parameter followed by CR, then "]".
QString buildFrame(char cmd, const QString &para1, const QString &para2, const QString &para3)
{
    QString frame = QChar::fromLatin1(cmd) + QStringLiteral("\r");
    for (const QString *para : {&para1, &para2, &para3}) {
        if (!para->isEmpty())
            frame += *para + QStringLiteral("\r");
    }
    return frame + QStringLiteral("]");
}

using SlotPtr = std::unique_ptr<tavro::SerialSlot>;

bool portIsOpen(const SlotPtr &port)
{
    return port && port->isOpen();
}

enum class WriteResult { Written, BacklogFull, Failed };

// Queues text for the port unless that would take its backlog past the
// bound; a full queue fails this write only, the port stays open.
WriteResult writeBounded(tavro::SerialSlot &port, const QString &text, QString *error)
{
    const qint64 size = encodeForLine(text).value_or(QByteArray()).size();
    if (port.bytesToWrite() + size > kMaxOutputBacklog)
        return WriteResult::BacklogFull;
    return port.write(text, error) ? WriteResult::Written : WriteResult::Failed;
}

// Waits for an "ACK" received after this request's "[", letting the host's
// events run meanwhile. A nested SendCmd shares the flag, counter and timer;
// every wait also ends at its own deadline, and within the deadline of the
// wait it runs inside, so nesting never stretches an outer wait.
bool waitForAck(const SlotPtr &port, QTimer &timer)
{
    gAckReceived = false;
    gSyncTickCnt = 0;
    // An "ACK" already in the buffer answered an earlier request.
    markAckScanStart();

    const WaitScope scope;
    // Wakes the event pump at the deadline; the ticks may be out of step
    // with it once a nested call has restarted the timer.
    QTimer wake;
    wake.setSingleShot(true);
    wake.setTimerType(Qt::PreciseTimer);
    wake.start(static_cast<int>(scope.deadline().remainingTime()));

    timer.start();
    for (;;) {
        if (gAckReceived)
            break;
        // A vanished device sends nothing more: no point waiting it out.
        if (!portIsOpen(port))
            break;
        // A nested SendCmd switches the timer off when it ends; this wait
        // still needs its ticks to stay bounded.
        if (!timer.isActive())
            timer.start();
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        if (gSyncTickCnt > kMaxSyncTicks || scope.deadline().hasExpired())
            break;
    }
    timer.stop();
    return gAckReceived && portIsOpen(port);
}

} // namespace

bool tavro_m::SendCmd(QString &portName, char &cmd, QString &para1, QString &para2, QString &para3)
{
    // A failure of the serial service or the runtime ends the call with
    // false and leaves the error text as it was.
    try {
        const qint16 slot = PortNameToIndex(portName);
        if (slot < 0)
            return false;
        const SlotPtr &port = d->mscTavroPort[slot];
        if (!portIsOpen(port)) {
            gCurrentErrorMsg = kPortNotOpen;
            return false;
        }
        if (!checkFrameSafe(cmd, para1, para2, para3))
            return false;
        if (!validateParameters(*this, cmd, para1, para2))
            return false;
        if (gWaitDepth >= kMaxNestedWaits) {
            gCurrentErrorMsg = kTooDeep;
            return false;
        }

        QString error;
        switch (writeBounded(*port, QStringLiteral("["), &error)) {
        case WriteResult::Written:
            break;
        case WriteResult::BacklogFull:
            gCurrentErrorMsg = kBacklogFull;
            return false;
        case WriteResult::Failed:
            return false;
        }
        if (!waitForAck(port, d->timerTavroSync)) {
            gCurrentErrorMsg = kNoAnswer;
            return false;
        }
        switch (writeBounded(*port, buildFrame(cmd, para1, para2, para3), &error)) {
        case WriteResult::Written:
            return true;
        case WriteResult::BacklogFull:
            gCurrentErrorMsg = kBacklogFull;
            return false;
        case WriteResult::Failed:
            return false;
        }
        return false;
    } catch (const std::exception &) {
        d->timerTavroSync.stop();
        return false;
    }
}

bool tavro_m::SendCmd(const QString &portName, char cmd, const QString &para1,
                      const QString &para2, const QString &para3)
{
    QString port = portName, p1 = para1, p2 = para2, p3 = para3;
    return SendCmd(port, cmd, p1, p2, p3);
}

QVariant tavro_m::TxData(QString &portName, QString &data)
{
    const qint16 slot = PortNameToIndex(portName);
    if (slot < 0)
        throw tavro::CallError("TxData: unknown port name \"" + portName.toStdString() + "\"");
    tavro::SerialSlot *port = d->mscTavroPort[slot].get();
    if (!port || !port->isOpen())
        throw tavro::CallError("TxData: port " + portName.toStdString() + " is not open");
    // Raw output may hold any character the line can carry, but a "?" in
    // place of one it cannot is a silent corruption.
    if (!encodeForLine(data))
        throw tavro::CallError("TxData: the text for " + portName.toStdString()
                               + " holds a character that code page 949 cannot encode");
    QString error;
    switch (writeBounded(*port, data, &error)) {
    case WriteResult::Written:
        return QVariant();
    case WriteResult::BacklogFull:
        throw tavro::CallError("TxData: output queue of " + portName.toStdString()
                               + " is full (the terminal is not taking data)");
    case WriteResult::Failed:
        break;
    }
    throw tavro::CallError("TxData: write to " + portName.toStdString() + " failed: "
                           + error.toStdString());
}
