// Random and mutated messages from two terminals at once, cut into random
// pieces that interleave on two ports: nothing crashes, the buffers stay
// bounded, every event carries sane values, and the well-formed messages
// between the garbage arrive exactly once, in order, under their own port.
#include "fake_slot.h"
#include "link_state.h"
#include "tavro/tavro_m.h"

#include <QRandomGenerator>
#include <QStringEncoder>
#include <QtTest>

using namespace tavro::detail;

namespace {

// Well-formed messages carry a tag "W<n>" in a value that reaches the host;
// garbage never contains a 'W', so an event with a tag comes from one of them.
constexpr char kTagMark = 'W';

QByteArray cp949(const QString &text)
{
    return QStringEncoder("windows-949").encode(text);
}

const char *const kNames[] = {"Kim", "똠방각하", "홍길동", "", "Lee Park"};
const char kTelTypes[] = "BSCPOVxs";

class Generator
{
public:
    explicit Generator(quint32 seed) : m_rng(seed) {}

    int below(int n) { return int(m_rng.bounded(quint32(n))); }
    bool chance(int percent) { return below(100) < percent; }

    QByteArray digits(int count)
    {
        QByteArray out;
        for (int i = 0; i < count; ++i)
            out += char('0' + below(10));
        return out;
    }

    QByteArray callFields(const QByteArray &number)
    {
        return "Time:" + digits(8) + "\r\nNumber:" + number + "\r\nName:"
            + cp949(QString::fromUtf8(kNames[below(int(std::size(kNames)))])) + "\r\nGroup:"
            + QByteArray::number(below(7)) + "\r\nType:" + QByteArray(1, kTelTypes[below(8)]) + "\r\n";
    }

    // A well-formed message; when tag is not empty it is the value the host
    // sees, and `expected` says how the event will read.
    QByteArray message(const QByteArray &tag, QString *expected)
    {
        const bool tagged = !tag.isEmpty();
        const QByteArray value = tagged ? tag : digits(1 + below(3));
        switch (below(tagged ? 5 : 8)) {
        case 0: { // incoming call
            const char letter = chance(50) ? 'D' : 'E';
            *expected = QStringLiteral("call:%1:%2").arg(letter == 'D' ? 1 : 2).arg(QString::fromLatin1(value));
            return QByteArray("Report\r\n") + letter + "\r\n" + callFields(value) + "End\r\n";
        }
        case 1: { // single value
            const char letter = "fhinqrstux"[below(10)];
            *expected = QStringLiteral("resp:%1:%2:").arg(int(letter)).arg(QString::fromLatin1(value));
            return QByteArray("Response\r\n") + letter + "\r\n" + value + "\r\nEnd\r\n";
        }
        case 2: { // caller list; the tag is the number of every record
            const char letter = "ajo"[below(3)];
            const int count = chance(3) ? 61 : below(5);
            QByteArray out = QByteArray("Response\r\n") + letter + "\r\n";
            for (int i = 0; i < count; ++i)
                out += callFields(value);
            // An empty list carries no tag.
            *expected = count ? QStringLiteral("list:%1:%2:%3").arg(int(letter)).arg(std::min(count, 60))
                                    .arg(QString::fromLatin1(value))
                              : QString();
            return out + "End\r\n";
        }
        case 3: { // melodies; the tag is every melody
            const int count = below(8);
            QByteArray out = "Response\r\np\r\n";
            for (int i = 0; i < count; ++i)
                out += QByteArray::number(1 + below(6)) + "\r\n" + value + "\r\n";
            *expected = count ? QStringLiteral("list:112:%1:%2").arg(std::min(count, 6))
                                    .arg(QString::fromLatin1(value))
                              : QString();
            return out + "End\r\n";
        }
        case 4: // the handset; carries no tag
            *expected = QString();
            return QByteArray("Report\r\n") + (chance(50) ? 'B' : 'C') + "\r\nEnd\r\n";
        case 5:
            return "Response\r\nd\r\n" + digits(4) + "\r\n" + digits(below(6)) + "\r\nEnd\r\n";
        case 6:
            return "Response\r\ng\r\n" + QByteArray::number(below(20) - 2) + "\r\nEnd\r\n";
        default:
            return "Response\r\ne\r\n" + digits(below(6)) + "\r\nEnd\r\n";
        }
    }

    char randomByte()
    {
        char byte;
        do
            byte = char(below(256));
        while (byte == kTagMark);
        return byte;
    }

    QByteArray randomBytes(int count)
    {
        static const QByteArray tokens[] = {"Report\r\n", "Response\r\n", "End\r\n", "\r\n", "ACK",
                                            "Time:", "Number:", "Name:", "Group:", "Type:", "\r", "\n",
                                            "a\r\n", "j\r\n", "p\r\n", "D\r\n", "9999999999"};
        QByteArray out;
        while (out.size() < count) {
            if (chance(30))
                out += tokens[below(int(std::size(tokens)))];
            else
                out += randomByte();
        }
        return out;
    }

    // An untagged message, damaged in one to three ways.
    QByteArray mutated()
    {
        QString ignored;
        QByteArray msg = message(QByteArray(), &ignored);
        for (int round = 1 + below(3); round > 0; --round) {
            QList<QByteArray> lines = msg.split('\n');
            switch (below(8)) {
            case 0:
                msg.truncate(below(int(msg.size()) + 1));
                break;
            case 1:
                if (lines.size() > 1) {
                    lines.removeAt(below(int(lines.size())));
                    msg = lines.join('\n');
                }
                break;
            case 2: {
                const int at = below(int(lines.size()));
                lines.insert(at, lines.at(at));
                msg = lines.join('\n');
                break;
            }
            case 3:
                if (!msg.isEmpty())
                    msg[below(int(msg.size()))] = randomByte();
                break;
            case 4:
                msg.insert(below(int(msg.size()) + 1), randomBytes(1 + below(12)));
                break;
            case 5: { // another type letter
                const qsizetype at = msg.indexOf("\r\n");
                if (at >= 0 && at + 2 < msg.size())
                    msg[at + 2] = randomByte();
                break;
            }
            case 6:
                msg.replace("End\r\n", QByteArray());
                break;
            default:
                msg.replace("Group:", "Group:" + digits(25) + "x");
                break;
            }
        }
        return msg;
    }

    QByteArray garbage()
    {
        if (chance(1))
            return QByteArray(kRxLimit + 5000, 'n') + "\r\n"; // more than the buffer keeps
        QByteArray out = chance(50) ? mutated() : randomBytes(1 + below(80));
        // Noise may run on into the next marker's line; a cut two-byte
        // character would take the marker's first letter with it, though.
        if (chance(50) || out.isEmpty() || quint8(out.back()) >= 0x80)
            out += "\r\n";
        return out;
    }

    int pieceSize()
    {
        const int kind = below(10);
        return kind < 6 ? 1 + below(8) : kind < 9 ? 1 + below(200) : 1 + below(4096);
    }

private:
    QRandomGenerator m_rng;
};

struct Piece
{
    int port;
    QByteArray bytes;
};

} // namespace

class ReceiveFuzzTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { resetLinkState(); }

    void garbageAroundWellFormedMessages_data()
    {
        QTest::addColumn<quint32>("seed");
        for (quint32 seed : {1u, 4711u, 20240917u})
            QTest::newRow(qPrintable(QString::number(seed))) << seed;
    }

    void garbageAroundWellFormedMessages()
    {
        QFETCH(quint32, seed);
        Generator gen(seed);

        // Two terminals, one per port, each a stream of well-formed
        // messages, some tagged, with garbage between; their pieces
        // interleave as the two lines deliver them.
        QByteArray streams[2];
        QStringList expected[2];
        int tagged = 0;
        for (int port = 0; port < 2; ++port) {
            for (int i = 0; i < 1000; ++i) {
                if (gen.chance(40)) {
                    streams[port] += gen.garbage();
                    continue;
                }
                QString event;
                const QByteArray tag = gen.chance(70) ? kTagMark + QByteArray::number(++tagged) : QByteArray();
                streams[port] += gen.message(tag, &event);
                if (!tag.isEmpty() && !event.isEmpty())
                    expected[port] << event;
            }
            // A last whole message: everything in front of it goes with it.
            const QByteArray last = kTagMark + QByteArray("last") + QByteArray::number(port + 1);
            streams[port] += "Response\r\nt\r\n" + last + "\r\nEnd\r\n";
            expected[port] << QStringLiteral("resp:116:%1:").arg(QString::fromLatin1(last));
        }
        QList<Piece> pieces;
        for (qsizetype at[2] = {0, 0}; at[0] < streams[0].size() || at[1] < streams[1].size();) {
            const int port = at[0] >= streams[0].size() ? 1 : at[1] >= streams[1].size() ? 0 : gen.below(2);
            const int size = gen.pieceSize();
            pieces.append({port, streams[port].mid(at[port], size)});
            at[port] += size;
        }

        tavro_m control;
        FakeSlot *fakes[4] = {};
        installFakeSlots(control, fakes);
        for (QString name : {QStringLiteral("COM1"), QStringLiteral("COM2")}) {
            QString error;
            QCOMPARE(control.OpenTavro(name, error), qint16(0));
        }

        qsizetype next = 0;
        int depth = 0;
        QStringList seen[2], problems;
        const auto deliver = [&] {
            const Piece &piece = pieces.at(next++);
            fakes[piece.port]->feedNow(piece.bytes);
            if (gRxData[piece.port].size() > kRxLimit)
                problems << QStringLiteral("buffer holds %1 characters").arg(gRxData[piece.port].size());
        };
        // Now and then a handler takes in the next piece while its event runs,
        // as one that waits in SendCmd does.
        const auto maybeNest = [&] {
            if (depth == 0 && next < pieces.size() && gen.chance(5)) {
                ++depth;
                deliver();
                --depth;
            }
        };
        // The events of each port, in the order they came.
        const auto checkPort = [&](const QString &name) -> QStringList & {
            if (name != QStringLiteral("COM1") && name != QStringLiteral("COM2"))
                problems << QStringLiteral("port name ") + name;
            return seen[name == QStringLiteral("COM2") ? 1 : 0];
        };
        const QStringList words = {QString(), "BLACK", "NORMAL", "PUBLIC", "NO_DISP", "NO_GATHER", "VIP"};

        connect(&control, &tavro_m::ReceiveCall, [&](const QString &name, qint16 state, CID_INFO &info) {
            QStringList &seenHere = checkPort(name);
            if ((state != 1 && state != 2) || !words.contains(info.lTelType))
                problems << QStringLiteral("call %1 %2").arg(state).arg(info.lTelType);
            seenHere << QStringLiteral("call:%1:%2").arg(state).arg(info.lNumber);
            maybeNest();
        });
        connect(&control, &tavro_m::HookEvent, [&](const QString &name, bool) {
            checkPort(name);
            maybeNest();
        });
        connect(&control, &tavro_m::ReceiveResponse,
                [&](const QString &name, qint16 type, const QString &r1, const QString &r2, const QString &r3) {
                    QStringList &seenHere = checkPort(name);
                    if (type < 0 || type > 127 || !QByteArray("defghinqrstux").contains(char(type))
                        || !r3.isEmpty())
                        problems << QStringLiteral("response %1").arg(type);
                    seenHere << QStringLiteral("resp:%1:%2:%3").arg(type).arg(r1, r2);
                    maybeNest();
                });
        connect(&control, &tavro_m::ReceiveGatheredInfo,
                [&](const QString &name, qint16 &max, qint16 &kind, CID_INFO_ARRAY &records) {
                    QStringList &seenHere = checkPort(name);
                    const qint16 limit = kind == 112 ? 6 : 60;
                    if (!QList<qint16>{97, 106, 111, 112}.contains(kind) || max < 0 || max > limit)
                        problems << QStringLiteral("list %1 of %2").arg(kind).arg(max);
                    for (int i = std::max<int>(max, 0) + 1; i < int(records.size()); ++i) {
                        if (!records[i].lNumber.isEmpty() || !records[i].lName.isEmpty() || records[i].lGroup)
                            problems << QStringLiteral("list %1: entry %2 filled beyond %3").arg(kind).arg(i).arg(max);
                    }
                    // A tagged list repeats its tag in every record it counted.
                    QSet<QString> values;
                    for (int i = 0; i < max && i < limit; ++i)
                        values << (kind == 112 ? records[i].lName : records[i].lNumber);
                    seenHere << QStringLiteral("list:%1:%2:%3").arg(kind).arg(max)
                                .arg(values.size() == 1 ? *values.begin() : QStringList(values.values()).join(u'|'));
                    maybeNest();
                });

        while (next < pieces.size())
            deliver();

        QVERIFY2(problems.isEmpty(), qPrintable(problems.mid(0, 5).join(u'\n')));
        // Each port's tagged messages arrive once, in order, under its name.
        for (int port = 0; port < 2; ++port) {
            QStringList arrived;
            for (const QString &event : seen[port]) {
                if (event.contains(QLatin1Char(kTagMark)))
                    arrived << event;
            }
            QVERIFY(expected[port].size() > 150);
            for (qsizetype i = 0; i < std::max(arrived.size(), expected[port].size()); ++i)
                QCOMPARE(arrived.value(i), expected[port].value(i));
            QVERIFY2(gRxData[port].isEmpty(), qPrintable(gRxData[port].left(200)));
        }
    }
};

QTEST_GUILESS_MAIN(ReceiveFuzzTest)
#include "tst_receive_fuzz.moc"
