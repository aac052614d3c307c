// libFuzzer target: arbitrary bytes, cut into arbitrary pieces, through the
// real receive path of one control whose four ports are slots without a device.
//
// Input layout: four header bytes, then the payload (the terminal's bytes).
//   byte 0  bits 0-1  port of the first piece (COM1..COM4)
//           bit 2     the port changes with every piece
//           bit 3     an empty notification (nothing waiting) after each piece
//           bits 4-5  payload once (0, 1), 16 times (2) or up to 48 KiB (3)
//           bit 6     two terminals: the payload's halves go to COM1 and COM2,
//                     their pieces taking turns
//   byte 1-3          piece sizes, used in turn: ((b & 63) + 1) << 3 * (b >> 6)
//
// Every event is checked against what the receive path promises; a broken
// promise aborts, so libFuzzer keeps the input. With two terminals each
// port must raise exactly the events its half raises when it arrives alone.
#include "link_state.h"
#include "serial_slot.h"
#include "tavro/tavro_m.h"

#include <QCoreApplication>
#include <QStringDecoder>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace tavro::detail;

namespace {

[[noreturn]] void violated(const char *what, const QString &detail = QString())
{
    std::fprintf(stderr, "invariant violated: %s %s\n", what, qPrintable(detail));
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (!(cond))                                                                               \
            violated(#cond, ##__VA_ARGS__);                                                        \
    } while (0)

const QStringList kPortNames = {QStringLiteral("COM1"), QStringLiteral("COM2"),
                                QStringLiteral("COM3"), QStringLiteral("COM4")};
const QStringList kTelTypes = {QString(),
                               QStringLiteral("BLACK"),
                               QStringLiteral("NORMAL"),
                               QStringLiteral("PUBLIC"),
                               QStringLiteral("NO_DISP"),
                               QStringLiteral("NO_GATHER"),
                               QStringLiteral("VIP")};
const QString kSingleValueLetters = QStringLiteral("defghinqrstux");

// The port whose piece is being delivered: every event must name it.
QString gFedPort;
// The decoded events of each port, as text, in the order they came.
QStringList gEvents[4];

void checkPort(const QString &portName)
{
    FUZZ_CHECK(kPortNames.contains(portName), portName);
    FUZZ_CHECK(portName == gFedPort, portName + QStringLiteral(" while feeding ") + gFedPort);
}

void logEvent(const QString &portName, const QString &event)
{
    gEvents[kPortNames.indexOf(portName) & 3] << event;
}

QString describe(const CID_INFO &c)
{
    return QStringLiteral("%1-%2 %3:%4 %5 %6 %7 %8")
        .arg(c.lMonth).arg(c.lDay).arg(c.lHour).arg(c.lMin)
        .arg(c.lNumber, c.lName).arg(c.lGroup).arg(c.lTelType);
}

bool isBlank(const CID_INFO &c)
{
    return c.lMonth == 0 && c.lDay == 0 && c.lHour == 0 && c.lMin == 0 && c.lNumber.isEmpty()
        && c.lName.isEmpty() && c.lGroup == 0 && c.lTelType.isEmpty();
}

// A field value is the text in front of a line end; two characters of it
// read as a number lie within -9..99.
void checkRecord(const CID_INFO &c)
{
    for (qint16 v : {c.lMonth, c.lDay, c.lHour, c.lMin})
        FUZZ_CHECK(v >= -9 && v <= 99, QString::number(v));
    FUZZ_CHECK(!c.lNumber.contains(QStringLiteral("\r\n")), c.lNumber);
    FUZZ_CHECK(!c.lName.contains(QStringLiteral("\r\n")), c.lName);
    FUZZ_CHECK(kTelTypes.contains(c.lTelType), c.lTelType);
}

void onCall(const QString &portName, qint16 callState, CID_INFO &cid)
{
    checkPort(portName);
    FUZZ_CHECK(callState == 1 || callState == 2, QString::number(callState));
    checkRecord(cid);
    logEvent(portName, QStringLiteral("call %1 ").arg(callState) + describe(cid));
}

void onResponse(const QString &portName, qint16 msgType, const QString &rst1, const QString &rst2,
                const QString &rst3)
{
    checkPort(portName);
    FUZZ_CHECK(msgType > 0 && msgType < 128 && kSingleValueLetters.contains(QChar(msgType)),
               QString::number(msgType));
    FUZZ_CHECK(rst3.isEmpty(), rst3);
    FUZZ_CHECK(msgType == 'd' || rst2.isEmpty(), rst2);
    FUZZ_CHECK(!rst1.contains(QStringLiteral("\r\n")), rst1);
    logEvent(portName, QStringLiteral("response %1 %2 %3").arg(msgType).arg(rst1, rst2));
    if (msgType == 'g') {
        // Always an area number of the table, never a slot past it.
        bool known = false;
        for (int k = 0; k <= 15; ++k)
            known = known || rst1 == gAreaNumber[k];
        FUZZ_CHECK(known, rst1);
    }
}

void onGathered(const QString &portName, qint16 &max, qint16 &kind, CID_INFO_ARRAY &cid)
{
    checkPort(portName);
    FUZZ_CHECK(kind == 'a' || kind == 'j' || kind == 'o' || kind == 'p', QString::number(kind));
    const int limit = kind == 'p' ? 6 : 60;
    FUZZ_CHECK(max >= 0 && max <= limit, QString::number(max));
    QString event = QStringLiteral("list %1 %2").arg(kind).arg(max);
    for (int i = 0; i < max; ++i)
        event += QStringLiteral(" | ") + describe(cid[i]);
    logEvent(portName, event);
    for (int i = 0; i < max; ++i) {
        checkRecord(cid[i]);
        if (kind == 'p')
            FUZZ_CHECK(cid[i].lGroup >= 1 && cid[i].lGroup <= 6, QString::number(cid[i].lGroup));
    }
    // Past the list only the record that ended it may hold anything.
    for (int i = max + 1; i < int(cid.size()); ++i)
        FUZZ_CHECK(isBlank(cid[i]), QString::number(i));
}

// A port without a device: bytes are handed in and announced at once, as
// the real slot announces them from the event loop.
class FuzzSlot final : public tavro::SerialSlot
{
public:
    bool open(const QString &, QString *) override { return m_open = true; }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    bool write(const QString &, QString *) override { return true; }
    qint64 bytesWaiting() const override { return m_pending.size(); }
    QString input() override { return m_decoder.decode(std::exchange(m_pending, QByteArray())); }

    void deliver(const QByteArray &bytes)
    {
        m_pending += bytes;
        emit inputArrived();
    }
    // Forgets a character cut off at the end of the previous input.
    void reset()
    {
        m_pending.clear();
        m_decoder.resetState();
    }

private:
    bool m_open = false;
    QByteArray m_pending;
    QStringDecoder m_decoder{"windows-949"};
};

// One control for the whole run, its four ports open on fuzz slots; every
// input starts from the library's initial state.
struct Harness
{
    Harness()
    {
        tavro::detail::setSlotFactory(control, [this](int index) {
            auto slot = std::make_unique<FuzzSlot>();
            ports[index] = slot.get();
            return slot;
        });
        for (QString name : kPortNames) {
            QString error;
            if (control.OpenTavro(name, error) != 0)
                violated("the fuzz slot does not open", error);
        }
        QObject::connect(&control, &tavro_m::ReceiveReal,
                         [](const QString &port, const QString &) { checkPort(port); });
        QObject::connect(&control, &tavro_m::HookEvent, [](const QString &port, bool lifted) {
            checkPort(port);
            logEvent(port, lifted ? QStringLiteral("lifted") : QStringLiteral("put down"));
        });
        QObject::connect(&control, &tavro_m::ReceiveCall, &onCall);
        QObject::connect(&control, &tavro_m::ReceiveResponse, &onResponse);
        QObject::connect(&control, &tavro_m::ReceiveGatheredInfo, &onGathered);
    }

    void startInput()
    {
        resetLinkState();
        FillAreaTables(); // as OpenTavro left it
        for (FuzzSlot *slot : ports)
            slot->reset();
        for (QStringList &events : gEvents)
            events.clear();
    }

    tavro_m control;
    FuzzSlot *ports[4] = {};
};

Harness *gHarness = nullptr;

struct Header
{
    int firstPort;
    bool rotatePorts;
    bool emptyNotifications;
    int repeat;
    bool twoTerminals;
    qsizetype sizes[3];
};

Header readHeader(const uint8_t *data)
{
    Header h;
    h.firstPort = data[0] & 3;
    h.rotatePorts = data[0] & 4;
    h.emptyNotifications = data[0] & 8;
    h.repeat = (data[0] >> 4) & 3;
    h.twoTerminals = data[0] & 64;
    for (int i = 0; i < 3; ++i)
        h.sizes[i] = qsizetype((data[1 + i] & 63) + 1) << (3 * (data[1 + i] >> 6));
    return h;
}

QByteArray repeated(const QByteArray &payload, int code)
{
    constexpr qsizetype kMaxTotal = 48 * 1024;
    if (payload.isEmpty())
        return payload;
    qsizetype times = code < 2 ? 1 : code == 2 ? 16 : kMaxTotal / payload.size();
    times = std::clamp<qsizetype>(times, 1, std::max<qsizetype>(1, kMaxTotal / payload.size()));
    return payload.repeated(times);
}

struct Piece
{
    int slot;
    QByteArray bytes;
};

// From the library's initial state, every piece to its port in turn.
void deliverAll(const QList<Piece> &pieces, bool emptyNotifications)
{
    gHarness->startInput();
    for (const Piece &piece : pieces) {
        gFedPort = kPortNames[piece.slot];
        gHarness->ports[piece.slot]->deliver(piece.bytes);
        if (emptyNotifications)
            gHarness->ports[piece.slot]->deliver(QByteArray());
        for (int slot = 0; slot < 4; ++slot)
            FUZZ_CHECK(gRxData[slot].size() <= kRxLimit, QString::number(gRxData[slot].size()));
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    static QCoreApplication app(*argc, *argv);
    static Harness harness;
    gHarness = &harness;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    const Header header = readHeader(data);
    const QByteArray payload = repeated(
        QByteArray(reinterpret_cast<const char *>(data) + 4, qsizetype(size) - 4), header.repeat);

    // Large inputs go in fewer, larger pieces so one run stays short.
    const qsizetype minPiece = std::max<qsizetype>(1, payload.size() / 128);
    QList<Piece> pieces;
    if (header.twoTerminals) {
        const QByteArray halves[2] = {payload.left(payload.size() / 2), payload.mid(payload.size() / 2)};
        qsizetype at[2] = {0, 0};
        for (int k = 0; at[0] < halves[0].size() || at[1] < halves[1].size(); ++k) {
            const int slot = at[k & 1] < halves[k & 1].size() ? k & 1 : 1 - (k & 1);
            const qsizetype n = std::max(minPiece, header.sizes[k % 3]);
            pieces.append({slot, halves[slot].mid(at[slot], n)});
            at[slot] += n;
        }
    } else {
        qsizetype at = 0;
        for (int k = 0; at < payload.size(); ++k) {
            const int slot = (header.firstPort + (header.rotatePorts ? k : 0)) & 3;
            const qsizetype n = std::max(minPiece, header.sizes[k % 3]);
            pieces.append({slot, payload.mid(at, n)});
            at += n;
        }
    }

    if (!header.twoTerminals) {
        deliverAll(pieces, header.emptyNotifications);
        return 0;
    }
    // Each terminal alone, then both at once: every port raises the same.
    QStringList alone[2];
    for (int slot = 0; slot < 2; ++slot) {
        QList<Piece> own;
        for (const Piece &piece : pieces) {
            if (piece.slot == slot)
                own.append(piece);
        }
        deliverAll(own, header.emptyNotifications);
        alone[slot] = gEvents[slot];
    }
    deliverAll(pieces, header.emptyNotifications);
    for (int slot = 0; slot < 2; ++slot) {
        FUZZ_CHECK(gEvents[slot] == alone[slot],
                   kPortNames[slot] + QStringLiteral(" raised ") + gEvents[slot].join(u'/')
                       + QStringLiteral(" alone ") + alone[slot].join(u'/'));
    }
    return 0;
}
