// Sending: SendCmd with its synchronisation exchange, and raw TxData.
#include "control_private.h"
#include "link_state.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QStringList>

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

// The sync wait gives up at the first check after this many ticks.
constexpr qint32 kMaxSyncTicks = 10;

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

// Writes "[" and waits for an "ACK" received after it, letting the host's
// events run meanwhile. A nested SendCmd shares the flag, counter and timer.
// Returns false with nothing stored when the write itself fails.
bool requestSync(const SlotPtr &port, QTimer &timer, bool *answered)
{
    QString error;
    if (!port->write(QStringLiteral("["), &error))
        return false;
    gAckReceived = false;
    gSyncTickCnt = 0;
    // An "ACK" already in the buffer answered an earlier request.
    markAckScanStart();

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
        if (gSyncTickCnt > kMaxSyncTicks)
            break;
    }
    timer.stop();
    *answered = gAckReceived && portIsOpen(port);
    return true;
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
        if (!validateParameters(*this, cmd, para1, para2))
            return false;

        bool answered = false;
        if (!requestSync(port, d->timerTavroSync, &answered))
            return false;
        if (!answered) {
            gCurrentErrorMsg = kNoAnswer;
            return false;
        }
        QString error;
        return port->write(buildFrame(cmd, para1, para2, para3), &error);
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
    QString error;
    if (!port || !port->isOpen())
        throw tavro::CallError("TxData: port " + portName.toStdString() + " is not open");
    if (!port->write(data, &error))
        throw tavro::CallError("TxData: write to " + portName.toStdString() + " failed: "
                               + error.toStdString());
    return QVariant();
}
