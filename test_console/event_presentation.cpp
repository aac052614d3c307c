#include "event_presentation.h"

#include "tavro_var.h"

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

namespace tavro_console {

QStringList blockStart(const QString &portName)
{
    return {QStringLiteral(" "), portName + QStringLiteral(" 데이터] ")};
}

QStringList callLines(const QString &portName, qint16 callState, CID_INFO &cidInfo)
{
    QStringList lines = blockStart(portName);
    if (callState != 1 && callState != 2)
        return lines;
    if (cidInfo.lName.isEmpty())
        cidInfo.lName = QStringLiteral("없슴");
    lines << callTimeFields(cidInfo) + numberFields(cidInfo);
    return lines;
}

QString hookLine(const QString &portName, bool lifted)
{
    return portName + (lifted ? QStringLiteral("]수화기를 들었습니다.")
                              : QStringLiteral("]수화기를 놓았습니다."));
}

QStringList responseLines(const QString &portName, qint16 msgType, const QString &rst1,
                          const QString &rst2)
{
    const QString state = stateWord(rst1);
    QStringList lines = blockStart(portName);
    switch (msgType) {
    case 'd':
        lines << QStringLiteral("단말기 현재 날짜&일시:") + valueOf(rst1, 1, 2) + QStringLiteral("월  ")
                     + valueOf(rst1, 4, 2) + QStringLiteral("일   ") + valueOf(rst2, 1, 2)
                     + QStringLiteral("시  ") + valueOf(rst2, 4, 2) + QStringLiteral("분");
        break;
    case 'e':
        lines << QStringLiteral("알람 시간:") + valueOf(rst1, 1, 2) + QStringLiteral("시  ")
                     + valueOf(rst1, 4, 2) + QStringLiteral("분");
        break;
    case 'f':
        lines << QStringLiteral("알람 멜로디:") + rst1 + QStringLiteral("번 입니다. 이것은 ")
                     + melodyTitleOf(leadingValue(rst1)) + QStringLiteral(" 입니다.");
        break;
    case 'g':
        lines << QStringLiteral("(자기)지역번호:") + rst1;
        break;
    case 'h':
        lines << QStringLiteral("통화중 수신 기능능:") + state;
        break;
    case 'i':
        lines << QStringLiteral("거부 기능:") + state;
        break;
    case 'n':
        lines << QStringLiteral("응답 기능:") + state;
        break;
    case 'q':
        lines << QStringLiteral("응답번호만 수신 :") + state;
        break;
    case 'r':
        lines << QStringLiteral("버튼 소리:") + state;
        break;
    case 's':
        lines << QStringLiteral("LCD 밝기:") + rst1 + QStringLiteral(" ( 참조:값의 범위 1~8)");
        break;
    case 't':
        lines << portName + QStringLiteral("] 알람 기능:") + state;
        break;
    case 'u':
        lines << QStringLiteral("모든 번호 거부 기능:") + state;
        break;
    case 'x':
        lines << QStringLiteral("응답 멜로디 기능:") + state;
        break;
    default:
        break;
    }
    return lines;
}

QStringList gatheredLines(const QString &portName, qint16 max, qint16 kind, CID_INFO_ARRAY &cidInfo)
{
    QStringList lines = blockStart(portName);
    if (kind != 'a' && kind != 'j' && kind != 'o' && kind != 'p')
        return lines;
    // Never read past the array, whatever count comes with it.
    const int count = std::clamp<int>(max, 0, int(cidInfo.size()));
    for (int i = 0; i < count; ++i) {
        CID_INFO &info = cidInfo[std::size_t(i)];
        const QString number = QStringLiteral("#") + QString::number(i + 1) + QStringLiteral("  ");
        if (kind == 'p') {
            lines << portName + QStringLiteral("] ") + number + QStringLiteral(" 그룹:")
                         + QString::number(info.lGroup) + QStringLiteral(" 멜로디 번호:") + info.lName
                         + QStringLiteral(" 멜로디 곡명:") + melodyTitleOf(leadingValue(info.lName));
            continue;
        }
        if (info.lName.isEmpty())
            info.lName = QStringLiteral("서비스안함");
        if (kind == 'a')
            lines << number + callTimeFields(info) + numberFields(info);
        else
            lines << portName + QStringLiteral("] ") + number + numberFields(info);
    }
    return lines;
}

} // namespace tavro_console
