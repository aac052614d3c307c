// libFuzzer target: SendCmd and TxData with hostile arguments, against a
// terminal that answers every "[" with "ACK". Whatever the arguments, a
// SendCmd writes nothing or "[" followed by exactly one well-formed frame,
// and TxData writes its text byte for byte or nothing at all.
//
// Input layout: two header bytes, then the arguments.
//   byte 0            the command byte
//   byte 1  bits 0-2  the port: COM1..COM4, or (4..7) a name that is none of them
//           bits 3-4  how the argument bytes become text: UTF-8, raw UTF-16
//                     (lone surrogates included), Latin-1, code page 949
//           bit 5     TxData with the whole text after the SendCmd
//   rest              para1, para2, para3 separated by 0xFE bytes
#include "link_state.h"
#include "serial_slot.h"
#include "tavro/tavro_m.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QStringDecoder>
#include <QStringEncoder>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

using namespace tavro::detail;

namespace {

[[noreturn]] void violated(const char *what, const QByteArray &detail = QByteArray())
{
    std::fprintf(stderr, "invariant violated: %s [%s]\n", what, detail.toHex(' ').constData());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (!(cond))                                                                               \
            violated(#cond, ##__VA_ARGS__);                                                        \
    } while (0)

constexpr const char *kCodec = "windows-949";

// A port without a device that records every byte written to it and plays
// a terminal answering each synchronisation request.
class TerminalSlot final : public tavro::SerialSlot
{
public:
    bool open(const QString &, QString *) override { return m_open = true; }
    void close() override { m_open = false; }
    bool isOpen() const override { return m_open; }
    bool write(const QString &text, QString *) override
    {
        QStringEncoder encoder(kCodec);
        const QByteArray bytes = encoder.encode(text);
        // The real slot would put "?" in place of such a character.
        FUZZ_CHECK(!encoder.hasError() && QStringView(text).isValidUtf16(), text.toUtf8());
        wire += bytes;
        if (text == QStringLiteral("[")) {
            // Answered through the event loop, as a real terminal would be.
            QMetaObject::invokeMethod(this, [this] {
                m_pending += "ACK\r\n";
                emit inputArrived();
            }, Qt::QueuedConnection);
        }
        return true;
    }
    qint64 bytesWaiting() const override { return m_pending.size(); }
    QString input() override { return m_decoder.decode(std::exchange(m_pending, QByteArray())); }

    QByteArray wire;

private:
    bool m_open = false;
    QByteArray m_pending;
    QStringDecoder m_decoder{kCodec};
};

struct Harness
{
    Harness()
    {
        tavro::detail::setSlotFactory(control, [this](int index) {
            auto slot = std::make_unique<TerminalSlot>();
            ports[index] = slot.get();
            return slot;
        });
        for (int i = 0; i < 4; ++i) {
            QString name = QStringLiteral("COM%1").arg(i + 1), error;
            if (control.OpenTavro(name, error) != 0)
                violated("the fuzz slot does not open", error.toUtf8());
        }
    }

    QByteArray takeWire()
    {
        QByteArray all;
        for (TerminalSlot *port : ports)
            all += std::exchange(port->wire, QByteArray());
        return all;
    }

    tavro_m control;
    TerminalSlot *ports[4] = {};
};

Harness *gHarness = nullptr;

QString toText(const QByteArray &bytes, int how)
{
    switch (how) {
    case 0:
        return QString::fromUtf8(bytes);
    case 1:
        return QString(reinterpret_cast<const QChar *>(bytes.constData()), bytes.size() / 2);
    case 2:
        return QString::fromLatin1(bytes);
    default:
        return QStringDecoder(kCodec).decode(bytes);
    }
}

bool isFrameSyntax(char c)
{
    return c == '\r' || c == '\n' || c == '[' || c == ']';
}

// "[" then: the command byte (printable ASCII, not a bracket), CR, at most
// three non-empty fields each followed by CR, "]" -- and nothing after it.
void checkOneFrame(const QByteArray &wire)
{
    FUZZ_CHECK(wire.size() >= 4 && wire.startsWith('[') && wire.endsWith(']'), wire);
    const char cmd = wire.at(1);
    FUZZ_CHECK(cmd >= 0x20 && cmd <= 0x7e && cmd != '[' && cmd != ']', wire);
    FUZZ_CHECK(wire.at(2) == '\r', wire);
    int fields = 0;
    qsizetype start = 3;
    for (qsizetype i = 3; i < wire.size() - 1; ++i) {
        const char c = wire.at(i);
        if (c == '\r') {
            FUZZ_CHECK(i > start, wire); // no empty field
            ++fields;
            start = i + 1;
        } else {
            FUZZ_CHECK(!isFrameSyntax(c), wire);
        }
    }
    FUZZ_CHECK(start == wire.size() - 1, wire); // the last field ended with CR
    FUZZ_CHECK(fields <= 3, wire);
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
    if (size < 2)
        return 0;
    const char cmd = static_cast<char>(data[0]);
    const int portCode = data[1] & 7;
    const int how = (data[1] >> 3) & 3;
    const bool alsoTxData = data[1] & 0x20;
    const QList<QByteArray> raw =
        QByteArray(reinterpret_cast<const char *>(data) + 2, qsizetype(size) - 2).split('\xfe');
    QString paras[3];
    for (int i = 0; i < 3 && i < raw.size(); ++i)
        paras[i] = toText(raw[i], how);
    for (qsizetype i = 3; i < raw.size(); ++i)
        paras[2] += toText(raw[i], how);

    resetLinkState();
    FillAreaTables();
    gHarness->takeWire();

    const QString names[] = {QStringLiteral("COM1"), QStringLiteral("COM2"),
                             QStringLiteral("COM3"), QStringLiteral("COM4"),
                             QStringLiteral("COM5"), QStringLiteral("com1"),
                             QString(), QStringLiteral("COM1 ")};
    QString port = names[portCode];
    char c = cmd;
    QString p1 = paras[0], p2 = paras[1], p3 = paras[2];
    const bool sent = gHarness->control.SendCmd(port, c, p1, p2, p3);
    const QByteArray wire = gHarness->takeWire();
    if (sent) {
        checkOneFrame(wire);
        // The frame is the command and the parameters as rewritten, whole.
        QString frame = QChar::fromLatin1(c) + QStringLiteral("\r");
        for (const QString &p : {p1, p2, p3}) {
            if (!p.isEmpty())
                frame += p + QStringLiteral("\r");
        }
        FUZZ_CHECK(wire == "[" + QStringEncoder(kCodec).encode(frame + QStringLiteral("]")), wire);
    } else {
        // The terminal always answers: a refusal writes nothing at all.
        FUZZ_CHECK(wire.isEmpty(), wire);
    }

    if (alsoTxData) {
        QString text = paras[0] + paras[1] + paras[2];
        bool thrown = false;
        try {
            gHarness->control.TxData(port, text);
        } catch (const tavro::CallError &) {
            thrown = true;
        }
        const QByteArray out = gHarness->takeWire();
        if (thrown) {
            FUZZ_CHECK(out.isEmpty(), out);
        } else {
            // Byte for byte the text in code page 949 (the slot checked
            // that the codec had a form for every character).
            FUZZ_CHECK(out == QByteArray(QStringEncoder(kCodec).encode(text)), out);
        }
    }
    return 0;
}
