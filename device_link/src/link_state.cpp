#include "link_state.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace tavro::detail {

ReceiveState &receiveState()
{
    static ReceiveState state;
    return state;
}

std::array<QString, kPortSlots> &gRxData = receiveState().gRxData;
bool &gAckReceived = receiveState().gAckReceived;
qint32 &gSyncTickCnt = receiveState().gSyncTickCnt;
QString gCurrentErrorMsg;
QString gAreaNumber[kAreaSlots];
QString gAreaName[kAreaSlots];
QString gAreaCode[kAreaSlots];

qsizetype findEndLine(QStringView text, qsizetype from)
{
    for (qsizetype pos = text.indexOf(kEndLine, std::max<qsizetype>(from, 0)); pos >= 0;
         pos = text.indexOf(kEndLine, pos + 1)) {
        // A value that merely ends in "End" ("BackEnd") is not an end line.
        if (pos == 0 || (pos >= 2 && text.at(pos - 2) == u'\r' && text.at(pos - 1) == u'\n'))
            return pos;
    }
    return -1;
}

void dropFront(int slot, qsizetype n)
{
    QString &rx = gRxData[slot];
    if (n <= 0)
        return;
    if (n >= rx.size()) {
        clearRx(slot);
        return;
    }
    rx.remove(0, n);
    frontRemoved(slot, n);
}

void frontRemoved(int slot, qsizetype n)
{
    qsizetype &scanFrom = receiveState().ackScanFrom[slot];
    scanFrom = scanFrom > n ? scanFrom - n : 0;
}

QString takeFront(int slot, qsizetype from, qsizetype stop)
{
    QString &rx = gRxData[slot];
    QString taken;
    if (stop - from >= rx.size() - stop) {
        // The message outweighs what follows it (always so for a message that
        // ends the buffer): the buffer becomes the message, the rest is copied.
        QString rest = stop < rx.size() ? rx.mid(stop) : QString();
        taken = std::move(rx);
        taken.truncate(stop);
        taken.remove(0, from);
        rx = std::move(rest);
    } else {
        taken = rx.mid(from, stop - from);
        rx.remove(0, stop);
    }
    frontRemoved(slot, stop);
    return taken;
}

void clearRx(int slot)
{
    gRxData[slot].clear();
    receiveState().ackScanFrom[slot] = 0;
}

void markAckScanStart()
{
    for (int slot = 0; slot < kPortSlots; ++slot)
        receiveState().ackScanFrom[slot] = gRxData[slot].size();
}

void resetLinkState()
{
    for (int slot = 0; slot < kPortSlots; ++slot)
        clearRx(slot);
    gAckReceived = false;
    gSyncTickCnt = 0;
    receiveState().lastSlot = 0;
    gCurrentErrorMsg.clear();
    for (int i = 0; i < kAreaSlots; ++i) {
        gAreaNumber[i].clear();
        gAreaName[i].clear();
        gAreaCode[i].clear();
    }
}

void FillAreaTables()
{
    struct Row { const char16_t *number, *name, *code; };
    static const Row rows[16] = {
        {u"02", u"서울", u"0"},  {u"031", u"경기", u"1"}, {u"032", u"인천", u"2"},
        {u"033", u"강원", u"3"}, {u"041", u"충남", u"4"}, {u"042", u"대전", u"5"},
        {u"043", u"충북", u"6"}, {u"051", u"부산", u"7"}, {u"052", u"울산", u"8"},
        {u"053", u"대구", u"9"}, {u"054", u"경북", u"a"}, {u"055", u"경남", u"b"},
        {u"061", u"전남", u"c"}, {u"062", u"광주", u"d"}, {u"063", u"전북", u"e"},
        {u"064", u"제주", u"f"},
    };
    for (int i = 0; i < 16; ++i) {
        gAreaNumber[i] = QString::fromUtf16(rows[i].number);
        gAreaName[i] = QString::fromUtf16(rows[i].name);
        gAreaCode[i] = QString::fromUtf16(rows[i].code);
    }
}

QString substring(const QString &text, int start, int count)
{
    if (start < 1 || start > text.size() || count <= 0)
        return QString();
    return text.mid(start - 1, count);
}

double leadingNumber(QStringView text)
{
    const auto isDigit = [&](qsizetype k) {
        return k < text.size() && text.at(k) >= u'0' && text.at(k) <= u'9';
    };
    qsizetype i = 0;
    while (i < text.size() && (text.at(i) == u' ' || text.at(i) == u'\t'))
        ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-'))
        negative = text.at(i++) == u'-';
    double value = 0; // a run of digits too long for 16 bits saturates in numberValue
    for (; isDigit(i); ++i)
        value = value * 10 + (text.at(i).unicode() - u'0');
    if (i < text.size() && text.at(i) == u'.') {
        double scale = 0.1;
        for (++i; isDigit(i); ++i, scale /= 10)
            value += (text.at(i).unicode() - u'0') * scale;
    }
    return negative ? -value : value;
}

qint16 numberValue(QStringView text)
{
    const double value = std::nearbyint(leadingNumber(text));
    if (value <= std::numeric_limits<qint16>::min())
        return std::numeric_limits<qint16>::min();
    if (value >= std::numeric_limits<qint16>::max())
        return std::numeric_limits<qint16>::max();
    return static_cast<qint16>(value);
}

} // namespace tavro::detail
