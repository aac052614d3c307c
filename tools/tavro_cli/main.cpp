// tavro_cli: hosts one tavro_m control and speaks JSON lines on standard
// input and output. Options, the reading of standard input and the ending
// signals live here; the translation to and from JSON is in json_bridge.cpp,
// the order of the calls in call_queue.cpp.
#include "call_queue.h"
#include "json_bridge.h"
#include "option_table.h"
#include "signal_relay.h"

#include "tavro/tavro_m.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void writeLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void writeObject(const QJsonObject &object)
{
    writeLine(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

// A line longer than this is refused rather than buffered without bound.
constexpr qsizetype maxLineBytes = 1 << 20;
// Calls read ahead of the one that runs: by count, and by the bytes of
// their lines, so that a fast writer cannot make the program grow without end.
constexpr int defaultQueueLimit = 10000;
constexpr qsizetype maxQueuedBytes = 64 << 20;

// Reads standard input through the event loop and queues every complete
// line as a call; the queue runs them one after the other, in order. At the
// end of input, or after "quit", once no call runs or waits any more, every
// port is closed and the program ends with 0. An ending signal answers the
// calls not answered yet with an error, closes the ports and ends with 0.
class StdinReader : public QObject
{
public:
    StdinReader(tavro::bridge::JsonBridge &bridge, int queueLimit)
        : m_bridge(bridge)
        , m_queue(bridge, queueLimit)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, &StdinReader::readInput);
        connect(&m_queue, &tavro::bridge::CallQueue::idle, this, &StdinReader::finishWhenIdle);
        connect(&m_signals, &tavro::tools::SignalRelay::received, this, &StdinReader::terminate);
    }

private:
    void readInput()
    {
        char buffer[16384];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (n > 0) {
            m_pending.append(buffer, n);
        } else {
            // At its end the descriptor stays readable; stop listening to it.
            m_atEnd = true;
            m_notifier.setEnabled(false);
            if (!m_pending.isEmpty() && !m_discarding)
                m_pending.append('\n'); // a last line without its line end still counts
        }
        takeLines();
        finishWhenIdle();
    }

    void takeLines()
    {
        qsizetype start = 0;
        for (qsizetype end; !m_finished && (end = m_pending.indexOf('\n', start)) >= 0; start = end + 1) {
            if (std::exchange(m_discarding, false))
                continue;
            queueLine(m_pending.mid(start, end - start));
        }
        m_pending.remove(0, start);
        if (m_discarding) {
            m_pending.clear();
        } else if (m_pending.size() > maxLineBytes) {
            m_discarding = true;
            m_pending.clear();
            answerNow({{"error", QStringLiteral("line longer than %1 bytes, ignored").arg(maxLineBytes)}});
        }
    }

    void queueLine(const QByteArray &line)
    {
        QString error;
        const auto request = tavro::bridge::JsonBridge::parseLine(line, &error);
        if (!request && error.isEmpty())
            return; // a blank line
        const QJsonObject refused = request ? tavro::bridge::JsonBridge::errorAnswer(
                                                  *request, QStringLiteral("too many calls waiting (%1), call not run")
                                                                .arg(m_queue.pending()))
                                            : QJsonObject {{"error", error}};
        const qsizetype size = line.size();
        if (m_queuedBytes + size > maxQueuedBytes)
            return answerNow(refused);
        const auto reply = [this, size](const QJsonObject &answer) {
            m_queuedBytes -= size;
            answered(answer);
        };
        const bool queued = request ? m_queue.enqueue(*request, reply) : m_queue.enqueueAnswer(refused, reply);
        if (queued)
            m_queuedBytes += size;
        else
            answerNow(refused);
    }

    void answerNow(const QJsonObject &answer)
    {
        if (!m_finished)
            writeObject(answer);
    }

    void answered(const QJsonObject &answer)
    {
        if (m_finished)
            return; // lines after "quit", or calls abandoned at the end
        writeObject(answer);
        if (m_bridge.quitRequested())
            finish();
    }

    void finishWhenIdle()
    {
        if (m_bridge.quitRequested() || (m_atEnd && m_pending.isEmpty() && !m_queue.busy() && m_queue.pending() == 0))
            finish();
    }

    void terminate(int signal)
    {
        if (m_finished)
            return;
        m_queue.abortPending(QStringLiteral("ended by signal %1 before the call answered").arg(signal));
        finish();
    }

    // Closing the ports also ends a SendCmd that still waits, so the loop
    // it runs returns and the exit takes effect.
    void finish()
    {
        if (m_finished)
            return;
        m_finished = true;
        m_notifier.setEnabled(false);
        m_queue.abortPending(QStringLiteral("not run: the program ends"));
        m_bridge.closeAllPorts();
        QCoreApplication::exit(0);
    }

    tavro::bridge::JsonBridge &m_bridge;
    tavro::bridge::CallQueue m_queue;
    // SIGTERM and SIGINT end the program as ordinary events.
    tavro::tools::SignalRelay m_signals {SIGTERM, SIGINT};
    QSocketNotifier m_notifier {STDIN_FILENO, QSocketNotifier::Read};
    QByteArray m_pending;
    qsizetype m_queuedBytes = 0;
    bool m_atEnd = false;
    bool m_discarding = false;
    bool m_finished = false;
};

} // namespace

namespace {

[[noreturn]] void usageError(const QString &text)
{
    std::fprintf(stderr, "tavro_cli: %s\n", qPrintable(text));
    std::exit(2);
}

tavro::PortMap parsePortMap(const QStringList &entries)
{
    tavro::PortMap map;
    QString error;
    for (const QString &entry : entries) {
        if (!tavro::parsePortMapEntry(entry, map, &error))
            usageError(QStringLiteral("--map: ") + error);
    }
    return map;
}

} // namespace

int main(int argc, char *argv[])
{
    // Without standard input the first descriptor Qt opens would take its
    // number; an empty input is the end of input instead.
    if (::fcntl(STDIN_FILENO, F_GETFD) == -1)
        ::open("/dev/null", O_RDONLY);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavro_cli"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVRO_CLI_VERSION));

    tavro::tools::OptionTable options(
        QStringLiteral("Hosts one tavro_m control: JSON calls on standard input, run one after the other in "
                       "their order, one JSON line per answer and per event on standard output."),
        {
            {QStringLiteral("map"), QStringLiteral("COMn=PATH"), {},
             QStringLiteral("Device for a port name (repeatable), e.g. COM1=/dev/ttyUSB0."), {}},
            {QStringLiteral("open"), QStringLiteral("COMn"), {},
             QStringLiteral("Open the port at start-up, as an OpenTavro call would (repeatable); ends with 1 when "
                            "it fails."), {}},
            {QStringLiteral("no-debug"), {}, {}, QStringLiteral("Leave out the DebugMsg and ReceiveReal events."), {}},
            {QStringLiteral("queue-limit"), QStringLiteral("N"), QString::number(defaultQueueLimit),
             QStringLiteral("Calls read ahead of the running one; a call beyond it is answered with an error."), {}},
        });
    options.process(app);
    if (!options.positionalArguments().isEmpty())
        usageError(QStringLiteral("unexpected argument \"%1\"").arg(options.positionalArguments().first()));
    bool numeric = false;
    const int queueLimit = options.value(QStringLiteral("queue-limit")).toInt(&numeric);
    if (!numeric || queueLimit < 1)
        usageError(QStringLiteral("--queue-limit expects a number of at least 1, not \"%1\"")
                       .arg(options.value(QStringLiteral("queue-limit"))));

    tavro_m control(parsePortMap(options.values(QStringLiteral("map"))));
    tavro::bridge::JsonBridge bridge(control, writeLine);
    bridge.setDebugEnabled(!options.isSet(QStringLiteral("no-debug")));

    // A port asked for on the command line that does not open is a failed
    // start: a script learns it from the exit status, not from a later call.
    for (const QString &portName : options.values(QStringLiteral("open"))) {
        const QJsonObject answer = bridge.call({{"call", "OpenTavro"}, {"portName", portName}});
        writeObject(answer);
        if (answer.value(QStringLiteral("value")).toInt() == 2) {
            bridge.closeAllPorts();
            return 1;
        }
    }

    StdinReader reader(bridge, queueLimit);
    return app.exec();
}

