// Decoding throughput of the receive path on one core: call reports, call
// reports with a few letters of noise glued in front of each ("noisy"), and
// full 60-record "a" lists, fed through a fake serial slot in 1-byte and
// 4 KiB pieces. The column "arrived" counts the messages decoded. For each case it prints messages per second for a small
// and a large run and the ratio of the time per message (large / small),
// which stays near 1 when the cost is linear in the input.
//
//   bench_decode [--small N] [--large N] [--case calls|noisy|lists] [--piece 1|4096] [--listen]
//
// The diagnostic texts and the raw pieces are built only for a receiver;
// --listen connects one to DebugMsg and ReceiveReal, as the console has.
//
// Runs of 1,000 and 100,000 messages, except 1-byte lists: 100,000 of them
// are 400 MB fed a byte at a time, so they run 100 and 1,000 unless --small
// and --large say otherwise.
#include "codec.h"
#include "fake_slot.h"
#include "link_state.h"
#include "tavro/tavro_m.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#ifdef __linux__
#include <sched.h>
#endif

using namespace tavro::detail;

namespace {

QByteArray callReport()
{
    return cp949(QStringLiteral(
        "Report\r\nD\r\nTime:03151030\r\nNumber:0212345678\r\nName:홍길동\r\nGroup:1\r\nType:S\r\nEnd\r\n"));
}

// Line noise without a line end on the marker's own line.
QByteArray noisyCallReport()
{
    return "x#q" + callReport();
}

QByteArray fullList()
{
    QString text = QStringLiteral("Response\r\na\r\n");
    for (int i = 0; i < 60; ++i) {
        text += QStringLiteral("Time:%1151030\r\nNumber:02%2\r\nName:똠방각하 %3\r\nGroup:%4\r\nType:V\r\n")
                    .arg(i % 12 + 1, 2, 10, QChar(u'0')).arg(1000000 + i).arg(i).arg(i % 6 + 1);
    }
    return cp949(text + QStringLiteral("End\r\n"));
}

struct Run
{
    double seconds = 0;
    qint64 events = 0;
    qint64 bytes = 0;
    bool clean = false; // every message decoded, nothing left in the buffer
};

// Feeds `count` copies of `message` in pieces of `pieceSize` bytes; a piece
// may end anywhere in a message, as on a real line.
Run feed(const QByteArray &message, qsizetype pieceSize, qint64 count, bool listen)
{
    resetLinkState();
    tavro_m control;
    FakeSlot *fakes[4] = {};
    installFakeSlots(control, fakes);
    QString com1 = QStringLiteral("COM1"), error;
    if (control.OpenTavro(com1, error) != 0)
        return {};
    Run run;
    qint64 heard = 0;
    if (listen) {
        QObject::connect(&control, &tavro_m::DebugMsg, [&](const QString &text) { heard += text.size(); });
        QObject::connect(&control, &tavro_m::ReceiveReal,
                         [&](const QString &, const QString &text) { heard += text.size(); });
    }
    QObject::connect(&control, &tavro_m::ReceiveCall, [&](const QString &, qint16, CID_INFO &) { ++run.events; });
    QObject::connect(&control, &tavro_m::ReceiveGatheredInfo,
                     [&](const QString &, qint16 &max, qint16 &, CID_INFO_ARRAY &) {
                         if (max == 60)
                             ++run.events;
                     });

    // The message repeated often enough that any piece is one contiguous slice.
    QByteArray ring;
    while (ring.size() < pieceSize + message.size())
        ring += message;
    run.bytes = count * message.size();

    QElapsedTimer timer;
    timer.start();
    for (qint64 at = 0; at < run.bytes;) {
        const qsizetype size = qsizetype(std::min<qint64>(pieceSize, run.bytes - at));
        fakes[0]->feedNow(QByteArray::fromRawData(ring.constData() + at % message.size(), size));
        at += size;
    }
    run.seconds = timer.nsecsElapsed() / 1e9;
    run.clean = run.events == count && gRxData[0].isEmpty() && (heard > 0) == listen;
    return run;
}

qint64 argValue(const QStringList &args, const QString &name, qint64 fallback)
{
    const qsizetype at = args.indexOf(name);
    return at >= 0 && at + 1 < args.size() ? args.at(at + 1).toLongLong() : fallback;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
#ifdef __linux__
    // One core, so that the figures do not depend on migrations.
    cpu_set_t one;
    CPU_ZERO(&one);
    if (sched_getaffinity(0, sizeof one, &one) == 0) {
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &one)) {
                CPU_ZERO(&one);
                CPU_SET(cpu, &one);
                sched_setaffinity(0, sizeof one, &one);
                break;
            }
        }
    }
#endif
    const QStringList args = app.arguments();
    const qint64 smallArg = argValue(args, QStringLiteral("--small"), 0);
    const qint64 largeArg = argValue(args, QStringLiteral("--large"), 0);
    const QString onlyCase = args.contains(QStringLiteral("--case"))
        ? args.value(args.indexOf(QStringLiteral("--case")) + 1) : QString();
    const qint64 onlyPiece = argValue(args, QStringLiteral("--piece"), 0);
    const bool listen = args.contains(QStringLiteral("--listen"));

    struct Case { const char *name; QByteArray message; };
    const Case cases[] = {{"calls", callReport()}, {"noisy", noisyCallReport()}, {"lists", fullList()}};

    std::printf("%-6s %6s %9s %9s %8s %12s %12s %9s %s\n", "case", "piece", "messages", "arrived", "seconds",
                "messages/s", "MB/s", "ratio", "ok");
    bool allClean = true;
    for (const Case &c : cases) {
        if (!onlyCase.isEmpty() && onlyCase != QLatin1String(c.name))
            continue;
        for (qsizetype piece : {qsizetype(1), qsizetype(4096)}) {
            if (onlyPiece && onlyPiece != piece)
                continue;
            const bool slow = piece == 1 && c.message.size() > 1000;
            const qint64 small = smallArg ? smallArg : slow ? 100 : 1000;
            const qint64 large = largeArg ? largeArg : slow ? 1000 : 100000;
            feed(c.message, piece, std::max<qint64>(small / 10, 1), listen); // warm-up
            double perMessageSmall = 0;
            for (qint64 count : {small, large}) {
                const Run run = feed(c.message, piece, count, listen);
                const double perMessage = run.seconds / double(count);
                if (count == small)
                    perMessageSmall = perMessage;
                allClean = allClean && run.clean;
                std::printf("%-6s %6lld %9lld %9lld %8.3f %12.0f %12.2f %9s %s\n", c.name, (long long)piece,
                            (long long)count, (long long)run.events, run.seconds, count / run.seconds, run.bytes / run.seconds / 1e6,
                            count == small ? "" : qPrintable(QString::number(perMessage / perMessageSmall, 'f', 2)),
                            run.clean ? "yes" : "NO");
                std::fflush(stdout);
            }
        }
    }
    std::printf("message size: call report %lld bytes, 60-record list %lld bytes\n",
                (long long)callReport().size(), (long long)fullList().size());
    return allClean ? 0 : 1;
}
