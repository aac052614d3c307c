// tavro_ex: the operator's console for the caller-ID terminal.
#include "tavro_test.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>
#include <cstdlib>

namespace {

// Exit code for a command line that cannot be used.
constexpr int usageError = 2;

void printError(const QString &text)
{
    std::fprintf(stderr, "tavro_ex: %s\n", qPrintable(text));
}

struct Options
{
    QCommandLineParser parser;
    QCommandLineOption map{QStringLiteral("map"),
                           QStringLiteral("Use device PATH for port COMn (n = 1..4), e.g. "
                                          "COM1=/dev/ttyUSB0. Repeatable."),
                           QStringLiteral("COMn=PATH")};
    Options()
    {
        parser.setApplicationDescription(QStringLiteral(
            "Operator's console for the tavro caller-ID terminal.\n"
            "Opens COM1 and COM2 at start-up; by default COM1..COM4 are /dev/ttyS0..3."));
        parser.addHelpOption();
        parser.addOption(map);
    }
};

} // namespace

int main(int argc, char *argv[])
{
    // First pass before the window system is needed, so that --help and a bad
    // --map work without a display. Qt's own options (-platform ...) are
    // still in this list; the second pass runs on what QApplication leaves.
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QString::fromLocal8Bit(argv[i]);
    Options first;
    first.parser.parse(rawArguments);
    if (first.parser.isSet(QStringLiteral("help")) || first.parser.isSet(QStringLiteral("help-all"))) {
        QString help = first.parser.helpText();
        help.replace(QStringLiteral("<executable_name>"), QStringLiteral("tavro_ex"));
        std::fputs(qPrintable(help), stdout);
        return 0;
    }
    QString error;
    if (!tavro_test::parsePortMapOptions(first.parser.values(first.map), &error)) {
        printError(error);
        return usageError;
    }

    QApplication app(argc, argv);
    Options options;
    if (!options.parser.parse(QApplication::arguments())) {
        printError(options.parser.errorText());
        return usageError;
    }
    if (!options.parser.positionalArguments().isEmpty()) {
        printError(QStringLiteral("unexpected argument \"%1\"")
                       .arg(options.parser.positionalArguments().constFirst()));
        return usageError;
    }
    const auto overrides = tavro_test::parsePortMapOptions(options.parser.values(options.map), &error);
    if (!overrides) {
        printError(error);
        return usageError;
    }
    tavro::PortMap portMap = tavro::defaultPortMap();
    for (auto it = overrides->cbegin(); it != overrides->cend(); ++it)
        portMap.insert(it.key(), it.value());

    tavro_test window(portMap);
    // The exit button ends the program at once, also from inside a dial or
    // SendCmd wait, where QApplication::exit would only take effect once the
    // wait returns. The ports are closed by then; nothing else needs saving.
    QObject::connect(&window, &tavro_test::exitRequested, &app, [] {
        std::fflush(nullptr);
        std::_Exit(0);
    });
    window.show();
    return app.exec();
}
