// tavro_cli: hosts one tavro_m control and speaks JSON lines on standard
// input and output. Options and the reading of standard input live here;
// the translation to and from JSON is in json_bridge.cpp.
#include "json_bridge.h"

#include "tavro/tavro_m.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonObject>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A line longer than this is refused rather than buffered without bound.
constexpr qsizetype maxLineBytes = 1 << 20;

// Reads standard input through the event loop and hands every complete line
// to the bridge. Each line is started from the event loop on its own, so a
// line that arrives (or was already read) while a SendCmd waits runs nested
// inside that wait. At the end of input, or after "quit", once no call is
// running any more, every port is closed and the program ends with 0.
class StdinReader : public QObject
{
public:
    explicit StdinReader(tavro::cli::JsonBridge &bridge)
        : m_bridge(bridge)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, &StdinReader::readInput);
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
        scheduleNextLine();
    }

    void scheduleNextLine()
    {
        if (m_scheduled)
            return;
        m_scheduled = true;
        QMetaObject::invokeMethod(this, &StdinReader::runNextLine, Qt::QueuedConnection);
    }

    void runNextLine()
    {
        m_scheduled = false;
        if (m_finished || m_bridge.quitRequested())
            return finishWhenIdle();
        const qsizetype end = m_pending.indexOf('\n');
        if (end >= 0) {
            const QByteArray line = m_pending.left(end);
            m_pending.remove(0, end + 1);
            if (!std::exchange(m_discarding, false)) {
                // Scheduled first, so that the next line may start while
                // this one waits inside SendCmd.
                if (m_pending.contains('\n'))
                    scheduleNextLine();
                ++m_running;
                m_bridge.handleLine(line);
                --m_running;
            }
            if (m_pending.contains('\n'))
                scheduleNextLine();
        } else if (m_discarding) {
            m_pending.clear();
        } else if (m_pending.size() > maxLineBytes) {
            m_discarding = true;
            m_pending.clear();
            m_bridge.reportError(QStringLiteral("line longer than %1 bytes, ignored").arg(maxLineBytes));
        }
        finishWhenIdle();
    }

    void finishWhenIdle()
    {
        const bool done = m_bridge.quitRequested() || (m_atEnd && !m_pending.contains('\n'));
        if (!done || m_running > 0 || m_finished)
            return;
        m_finished = true;
        m_notifier.setEnabled(false);
        m_bridge.closeAllPorts();
        QCoreApplication::exit(0);
    }

    tavro::cli::JsonBridge &m_bridge;
    QSocketNotifier m_notifier {STDIN_FILENO, QSocketNotifier::Read};
    QByteArray m_pending;
    int m_running = 0;
    bool m_atEnd = false;
    bool m_scheduled = false;
    bool m_discarding = false;
    bool m_finished = false;
};

void writeLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

[[noreturn]] void usageError(const QString &text)
{
    std::fprintf(stderr, "tavro_cli: %s\n", qPrintable(text));
    std::exit(2);
}

bool isPortName(const QString &name)
{
    return name == u"COM1" || name == u"COM2" || name == u"COM3" || name == u"COM4";
}

tavro::PortMap parsePortMap(const QStringList &entries)
{
    tavro::PortMap map;
    for (const QString &entry : entries) {
        const qsizetype eq = entry.indexOf(u'=');
        const QString name = entry.left(eq);
        const QString path = entry.mid(eq + 1);
        if (eq < 0 || !isPortName(name) || path.isEmpty())
            usageError(QStringLiteral("--map expects COMn=PATH with COM1..COM4, not \"%1\"").arg(entry));
        map.insert(name, path);
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

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Hosts one tavro_m control: JSON calls on standard input, one JSON line per "
        "answer and per event on standard output."));
    parser.addHelpOption();
    const QCommandLineOption mapOption(QStringLiteral("map"),
                                       QStringLiteral("Device for a port name (repeatable), "
                                                      "e.g. COM1=/dev/ttyUSB0."),
                                       QStringLiteral("COMn=PATH"));
    const QCommandLineOption openOption(QStringLiteral("open"),
                                        QStringLiteral("Open the port at start-up, as an OpenTavro "
                                                       "call would (repeatable)."),
                                        QStringLiteral("COMn"));
    const QCommandLineOption noDebugOption(QStringLiteral("no-debug"),
                                           QStringLiteral("Leave out the DebugMsg and ReceiveReal events."));
    parser.addOptions({mapOption, openOption, noDebugOption});
    parser.process(app);
    if (!parser.positionalArguments().isEmpty())
        usageError(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));

    tavro_m control(parsePortMap(parser.values(mapOption)));
    tavro::cli::JsonBridge bridge(control, writeLine);
    bridge.setDebugEnabled(!parser.isSet(noDebugOption));

    for (const QString &portName : parser.values(openOption))
        bridge.handleRequest({{"call", "OpenTavro"}, {"portName", portName}});

    StdinReader reader(bridge);
    return app.exec();
}
