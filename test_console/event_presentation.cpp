// How each event of the device link is shown: the log, the receive box, the
// debug window.
#include "tavro_test.h"

#include "frmDebug.h"
#include "tavro_var.h"
#include "text_box_appender.h"

#include <QPlainTextEdit>

#include <algorithm>
#include <cmath>

namespace {

// The leading decimal number of a text: blanks skipped, an optional sign,
// digits with at most one point; 0 when the text starts with no number.
double leadingValue(QStringView text)
{
    qsizetype i = 0;
    while (i < text.size() && text.at(i) == QLatin1Char(' '))
        ++i;
    const qsizetype start = i;
    if (i < text.size() && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-')))
        ++i;
    bool digits = false, point = false;
    for (; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
            digits = true;
        else if (c == QLatin1Char('.') && !point)
            point = true;
        else
            break;
    }
    if (!digits)
        return 0;
    return text.mid(start, i - start).toString().toDouble();
}

QString numberText(double value)
{
    if (value == 0)
        return QStringLiteral("0"); // also for "-0"
    return QString::number(value, 'g', 15);
}

// The value of characters from..from+count-1 (counted from 1) of a text.
QString valueOf(const QString &text, int from, int count)
{
    return numberText(leadingValue(QStringView(text).mid(std::min<qsizetype>(from - 1, text.size()), count)));
}

QString stateWord(const QString &rst1)
{
    if (rst1 == QLatin1String("1"))
        return QStringLiteral("설정");
    if (rst1 == QLatin1String("0"))
        return QStringLiteral("해제");
    return QString();
}

QString callTimeFields(const CID_INFO &info)
{
    return QStringLiteral(" 시간:") + QString::number(info.lMonth) + QLatin1Char('-')
           + QString::number(info.lDay) + QLatin1Char(' ') + QString::number(info.lHour)
           + QLatin1Char(':') + QString::number(info.lMin);
}

QString numberFields(const CID_INFO &info)
{
    return QStringLiteral(" 번호:") + info.lNumber + QStringLiteral(" 이름:") + info.lName
           + QStringLiteral(" 그룹:") + QString::number(info.lGroup) + QStringLiteral(" 타입:")
           + info.lTelType;
}

} // namespace

void tavro_test::connectControlEvents()
{
    connect(tavro, &tavro_m::DebugMsg, this, &tavro_test::tavro_DebugMsg);
    connect(tavro, &tavro_m::ReceiveReal, this, &tavro_test::tavro_ReceiveReal);
    connect(tavro, &tavro_m::ReceiveCall, this, &tavro_test::tavro_ReceiveCall);
    connect(tavro, &tavro_m::HookEvent, this, &tavro_test::tavro_HookEvent);
    connect(tavro, &tavro_m::ReceiveResponse, this, &tavro_test::tavro_ReceiveResponse);
    connect(tavro, &tavro_m::ReceiveGatheredInfo, this, &tavro_test::tavro_ReceiveGatheredInfo);
}

void tavro_test::logBlockStart(const QString &portName)
{
    addLog(QStringLiteral(" "));
    addLog(portName + QStringLiteral(" 데이터] "));
}

void tavro_test::tavro_DebugMsg(const QString &str)
{
    if (!debugWindow)
        debugWindow = new frmDebug; // created, not shown
    debugWindow->appendText(str);
}

void tavro_test::tavro_ReceiveReal(const QString &, const QString &str)
{
    m_rxAppender->append(str);
}

void tavro_test::tavro_ReceiveCall(const QString &portName, qint16 callState, CID_INFO &cidInfo)
{
    logBlockStart(portName);
    if (callState != 1 && callState != 2)
        return;
    if (cidInfo.lName.isEmpty())
        cidInfo.lName = QStringLiteral("없슴");
    addLog(callTimeFields(cidInfo) + numberFields(cidInfo));
}

void tavro_test::tavro_HookEvent(const QString &portName, bool eventType)
{
    if (eventType) {
        addLog(portName + QStringLiteral("]수화기를 들었습니다."));
        gHookState = -1;
    } else {
        addLog(portName + QStringLiteral("]수화기를 놓았습니다."));
        gHookState = 0;
    }
}

void tavro_test::tavro_ReceiveResponse(const QString &portName, qint16 msgType,
                                       const QString &rst1, const QString &rst2, const QString &)
{
    const QString state = stateWord(rst1);
    logBlockStart(portName);
    switch (msgType) {
    case 'd':
        addLog(QStringLiteral("단말기 현재 날짜&일시:") + valueOf(rst1, 1, 2) + QStringLiteral("월  ")
               + valueOf(rst1, 4, 2) + QStringLiteral("일   ") + valueOf(rst2, 1, 2)
               + QStringLiteral("시  ") + valueOf(rst2, 4, 2) + QStringLiteral("분"));
        break;
    case 'e':
        addLog(QStringLiteral("알람 시간:") + valueOf(rst1, 1, 2) + QStringLiteral("시  ")
               + valueOf(rst1, 4, 2) + QStringLiteral("분"));
        break;
    case 'f':
        addLog(QStringLiteral("알람 멜로디:") + rst1 + QStringLiteral("번 입니다. 이것은 ")
               + melodyTitleOf(leadingValue(rst1)) + QStringLiteral(" 입니다."));
        break;
    case 'g':
        addLog(QStringLiteral("(자기)지역번호:") + rst1);
        break;
    case 'h':
        addLog(QStringLiteral("통화중 수신 기능능:") + state);
        break;
    case 'i':
        addLog(QStringLiteral("거부 기능:") + state);
        break;
    case 'n':
        addLog(QStringLiteral("응답 기능:") + state);
        break;
    case 'q':
        addLog(QStringLiteral("응답번호만 수신 :") + state);
        break;
    case 'r':
        addLog(QStringLiteral("버튼 소리:") + state);
        break;
    case 's':
        addLog(QStringLiteral("LCD 밝기:") + rst1 + QStringLiteral(" ( 참조:값의 범위 1~8)"));
        break;
    case 't':
        addLog(portName + QStringLiteral("] 알람 기능:") + state);
        break;
    case 'u':
        addLog(QStringLiteral("모든 번호 거부 기능:") + state);
        break;
    case 'x':
        addLog(QStringLiteral("응답 멜로디 기능:") + state);
        break;
    default:
        break;
    }
}

void tavro_test::tavro_ReceiveGatheredInfo(const QString &portName, qint16 &max, qint16 &kind,
                                           CID_INFO_ARRAY &cidInfo)
{
    logBlockStart(portName);
    if (kind != 'a' && kind != 'j' && kind != 'o' && kind != 'p')
        return;
    // Never read past the array, whatever count comes with it.
    const int count = std::clamp<int>(max, 0, int(cidInfo.size()));
    for (int i = 0; i < count; ++i) {
        CID_INFO &info = cidInfo[std::size_t(i)];
        const QString number = QStringLiteral("#") + QString::number(i + 1) + QStringLiteral("  ");
        if (kind == 'p') {
            addLog(portName + QStringLiteral("] ") + number + QStringLiteral(" 그룹:")
                   + QString::number(info.lGroup) + QStringLiteral(" 멜로디 번호:") + info.lName
                   + QStringLiteral(" 멜로디 곡명:") + melodyTitleOf(leadingValue(info.lName)));
            continue;
        }
        if (info.lName.isEmpty())
            info.lName = QStringLiteral("서비스안함");
        if (kind == 'a')
            addLog(number + callTimeFields(info) + numberFields(info));
        else
            addLog(portName + QStringLiteral("] ") + number + numberFields(info));
    }
}
