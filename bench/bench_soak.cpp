// Long soak of the device link: 50,000 incoming calls interleaved with
// 20,000 queries over a pty, in pieces of random sizes, about one message in
// fifty garbled. Prints calls, answers, lost, duplicated and memory.
//
//   bench_soak [--calls N] [--queries N] [--seed N] [--sim PATH]
//   bench_soak --two-terminals [--calls N] [--seed N] [--line-pace]
//
// The terminal is played in-process on the pty master (the simulator paces
// its pieces at a few milliseconds each, so 70,000 messages through it take
// a long while); --sim PATH runs the same soak against tavro_sim instead.
// Exits 1 when a well-formed call or answer was lost, duplicated, reordered
// or corrupted, or memory grew by more than 10%.
//
// --two-terminals plays two terminals on COM1 and COM2 that send N calls
// each at the same time, in pieces of mixed sizes (at 9600 baud with
// --line-pace), and counts the calls lost, misnamed (raised under the other
// port) and merged (fields of two records in one); exits 1 unless all are 0.
#include "link_state.h"
#include "soak.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

int twoTerminals(int calls, quint32 seed, bool linePace)
{
    if (calls < 1) {
        std::fprintf(stderr, "bench_soak: at least one call per terminal\n");
        return 2;
    }
    soak::ScriptedPeer com1Peer, com2Peer;
    for (soak::ScriptedPeer *peer : {&com1Peer, &com2Peer}) {
        if (!peer->failure().isEmpty()) {
            std::fprintf(stderr, "bench_soak: %s\n", qPrintable(peer->failure()));
            return 2;
        }
        peer->setLinePace(linePace);
    }
    tavro::detail::resetLinkState();
    tavro_m control({{QStringLiteral("COM1"), com1Peer.devicePath()},
                     {QStringLiteral("COM2"), com2Peer.devicePath()}});
    for (QString name : {QStringLiteral("COM1"), QStringLiteral("COM2")}) {
        QString error;
        if (control.OpenTavro(name, error) != 0) {
            std::fprintf(stderr, "bench_soak: cannot open %s: %s\n", qPrintable(name), qPrintable(error));
            return 2;
        }
    }
    std::printf("bench_soak: two terminals, %d calls each, seed %u, %s\n", calls, seed,
                linePace ? "at 9600 baud" : "as fast as the ptys take them");
    std::fflush(stdout);
    soak::TwoTerminalOptions options;
    options.callsPerTerminal = calls;
    options.seed = seed;
    const soak::TwoTerminalFigures f = soak::runTwoTerminals(control, com1Peer, com2Peer, options);
    std::printf("%s\n", qPrintable(f.describe()));
    if (!f.stalled.isEmpty())
        std::printf("  stalled: %s\n", qPrintable(f.stalled));
    std::printf("bench_soak: %s\n", f.sound() ? "every call arrived once, under its own port, intact"
                                               : "FAILED");
    return f.sound() ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Soak of the device link over a pty."));
    parser.addHelpOption();
    const QCommandLineOption callsOption(QStringLiteral("calls"), QStringLiteral("Incoming calls."),
                                         QStringLiteral("N"), QStringLiteral("50000"));
    const QCommandLineOption queriesOption(QStringLiteral("queries"), QStringLiteral("Queries."),
                                           QStringLiteral("N"), QStringLiteral("20000"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Random seed."),
                                        QStringLiteral("N"), QStringLiteral("20240611"));
    const QCommandLineOption simOption(QStringLiteral("sim"),
                                       QStringLiteral("Use the simulator at PATH as the terminal."),
                                       QStringLiteral("PATH"));
    const QCommandLineOption twoOption(QStringLiteral("two-terminals"),
                                       QStringLiteral("Two terminals on COM1 and COM2 send calls at once."));
    const QCommandLineOption paceOption(QStringLiteral("line-pace"),
                                        QStringLiteral("The terminals write no faster than 9600 baud."));
    parser.addOptions({callsOption, queriesOption, seedOption, simOption, twoOption, paceOption});
    parser.process(app);
    if (parser.isSet(twoOption))
        return twoTerminals(parser.value(callsOption).toInt(), parser.value(seedOption).toUInt(),
                            parser.isSet(paceOption));

    soak::Options options;
    options.calls = parser.value(callsOption).toInt();
    options.queries = parser.value(queriesOption).toInt();
    options.seed = parser.value(seedOption).toUInt();
    options.progress = true;
    if (options.calls < 0 || options.queries < 0 || options.calls + options.queries < 100) {
        std::fprintf(stderr, "bench_soak: at least 100 calls and queries together\n");
        return 2;
    }

    std::unique_ptr<soak::Peer> peer;
    if (parser.isSet(simOption))
        peer = std::make_unique<soak::SimPeer>(parser.value(simOption));
    else
        peer = std::make_unique<soak::ScriptedPeer>();
    if (!peer->failure().isEmpty()) {
        std::fprintf(stderr, "bench_soak: %s\n", qPrintable(peer->failure()));
        return 2;
    }

    tavro::detail::resetLinkState();
    tavro_m control({{QStringLiteral("COM1"), peer->devicePath()}});
    QString com1 = QStringLiteral("COM1"), error;
    if (control.OpenTavro(com1, error) != 0) {
        std::fprintf(stderr, "bench_soak: cannot open COM1 on %s: %s\n", qPrintable(peer->devicePath()),
                     qPrintable(error));
        return 2;
    }

    std::printf("bench_soak: %d calls, %d queries, seed %u, terminal: %s\n", options.calls,
                options.queries, options.seed, qPrintable(peer->name()));
    std::fflush(stdout);
    const soak::Figures f = soak::Run(control, *peer, options).run();
    std::printf("%s\n", qPrintable(f.describe(peer->name())));
    std::printf("  rate:    %.0f messages per second\n",
                f.seconds > 0 ? (f.callsReceived + f.answersReceived) / f.seconds : 0.0);
    if (!f.stalled.isEmpty())
        std::printf("  stalled: %s\n", qPrintable(f.stalled));

    const bool sound = f.stalled.isEmpty() && f.callsReceived == options.calls && f.callsLost == 0
        && f.callsDuplicated == 0 && f.callsOutOfOrder == 0 && f.callsCorrupted == 0
        && f.queriesFailed == 0 && f.answersReceived == f.queriesSent && f.answersLost == 0
        && f.answersDuplicated == 0 && f.answersUnexpected == 0 && f.answersCorrupted == 0
        && f.unexpectedEvents == 0 && f.memoryGrowth() <= 0.10;
    std::printf("bench_soak: %s\n", sound ? "every call and answer arrived once, in order; memory flat"
                                          : "FAILED");
    return sound ? 0 : 1;
}
