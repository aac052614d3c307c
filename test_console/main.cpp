// tavro_ex: the operator's console for the caller-ID terminal.
#include "tavro_test.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

// Exit code for a command line that cannot be used.
constexpr int usageError = 2;
// Exit code when there is no display to show the windows on.
constexpr int noDisplay = 3;

void printError(const QString &text)
{
    std::fprintf(stderr, "tavro_ex: %s\n", qPrintable(text));
}

// The variables a window system needs that are not set, for the platform
// Qt would load ("-platform" first, then QT_QPA_PLATFORM, else X11 or
// Wayland); empty when it can start or is not one we can judge.
QString missingDisplay(const QStringList &arguments)
{
    QString platforms = qEnvironmentVariable("QT_QPA_PLATFORM");
    for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
        if (arguments.at(i) == QLatin1String("-platform")
            || arguments.at(i) == QLatin1String("--platform"))
            platforms = arguments.at(i + 1);
    }
    const bool x11 = !qEnvironmentVariableIsEmpty("DISPLAY");
    // A Wayland client finds the compositor's default socket without the variable.
    const QString runtimeDir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    const bool wayland = !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
                         || (!runtimeDir.isEmpty()
                             && QFileInfo::exists(runtimeDir + QStringLiteral("/wayland-0")));
    if (platforms.isEmpty())
        return x11 || wayland ? QString() : QStringLiteral("DISPLAY, WAYLAND_DISPLAY");
    // "wayland;xcb" is tried in turn; "xcb:option" carries options.
    QStringList missing;
    for (const QString &entry : platforms.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString name = entry.section(QLatin1Char(':'), 0, 0);
        if (name == QLatin1String("xcb") && !x11)
            missing << QStringLiteral("DISPLAY");
        else if (name.startsWith(QLatin1String("wayland")) && !wayland)
            missing << QStringLiteral("WAYLAND_DISPLAY");
        else
            return QString();
    }
    return missing.join(QStringLiteral(", "));
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

// First pass before the window system is needed, so that --help and a bad
// --map work without a display. Qt's own options (-platform ...) are still
// in this list. Nothing when the program goes on; else its exit status.
std::optional<int> checkBeforeDisplay(const QStringList &rawArguments)
{
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
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    // Without a display QApplication would abort with a page of Qt's own text.
    if (const QString missing = missingDisplay(rawArguments); !missing.isEmpty()) {
        printError(QStringLiteral("화면(디스플레이)이 없어 창을 열 수 없습니다: %1 설정 없음 "
                                  "(화면 없이 실행하려면 QT_QPA_PLATFORM=offscreen)")
                       .arg(missing));
        return noDisplay;
    }
#endif
    return std::nullopt;
}

// The second pass, on what QApplication leaves: the ports with the --map
// overrides; nothing (told) when the command line cannot be used.
std::optional<tavro::PortMap> portMapFromArguments()
{
    Options options;
    if (!options.parser.parse(QApplication::arguments())) {
        printError(options.parser.errorText());
        return std::nullopt;
    }
    if (!options.parser.positionalArguments().isEmpty()) {
        printError(QStringLiteral("unexpected argument \"%1\"")
                       .arg(options.parser.positionalArguments().constFirst()));
        return std::nullopt;
    }
    QString error;
    const auto overrides = tavro_test::parsePortMapOptions(options.parser.values(options.map), &error);
    if (!overrides) {
        printError(error);
        return std::nullopt;
    }
    tavro::PortMap portMap = tavro::defaultPortMap();
    for (auto it = overrides->cbegin(); it != overrides->cend(); ++it)
        portMap.insert(it.key(), it.value());
    return portMap;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QString::fromLocal8Bit(argv[i]);
    if (const std::optional<int> status = checkBeforeDisplay(rawArguments))
        return *status;

    QApplication app(argc, argv);
    const std::optional<tavro::PortMap> portMap = portMapFromArguments();
    if (!portMap)
        return usageError;
    tavro_test window(*portMap);
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
