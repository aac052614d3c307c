// tavro_popup: the caller's card on a counter PC, from tavrod over the network.
#include "platform.h"
#include "popup_app.h"
#include "status_presence.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSettings>

#include <cstdio>
#include <optional>

namespace {

constexpr int usageError = 2;
constexpr int noDisplay = 3;

const char *const helpText =
    "사용법: tavro_popup [--url http://주소:포트] [--token-file 경로]\n"
    "\n"
    "tavrod에 네트워크로 연결해서 전화가 올 때마다 발신자 카드를 화면 오른쪽 아래에\n"
    "띄웁니다. 트레이 아이콘(트레이가 없으면 작은 상태 창)의 메뉴에 최근 전화 20건과\n"
    "부재중 전화 수가 있습니다. 연결이 끊기면 스스로 다시 연결하고, 그동안 온 전화를\n"
    "'연결 끊긴 동안 온 전화'로 표시합니다.\n"
    "\n"
    "옵션:\n"
    "  --url URL          tavrod 주소 (예: http://192.168.0.10:8080)\n"
    "  --token-file 경로  첫 줄이 토큰인 파일 (관리자 토큰 파일 또는 view 장치 토큰)\n"
    "  -h, --help         이 도움말\n"
    "  -v, --version      버전\n"
    "\n"
    "주소와 토큰 파일 경로는 설정에 저장되어 다음 실행 때 다시 쓰입니다 (토큰 자체는\n"
    "저장하지 않습니다). 옵션 없이 처음 실행하면 설정 창이 열립니다.\n";

void printError(const QString &text)
{
    std::fprintf(stderr, "tavro_popup: %s\n", qPrintable(text));
}

// What the command line asks for, before there is an application.
struct Arguments
{
    std::optional<QString> url;
    std::optional<QString> tokenFile;
};

// Nothing when the program goes on; its exit status when it ends here
// (help, version, or a mistake that was told).
std::optional<int> readArguments(const QStringList &rawArguments, Arguments *arguments)
{
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption url(QStringLiteral("url"), QString(), QStringLiteral("URL"));
    const QCommandLineOption tokenFile(QStringLiteral("token-file"), QString(), QStringLiteral("PATH"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    // Qt's own options (-platform xcb, ...) are for QApplication.
    const QCommandLineOption platform(QStringLiteral("platform"), QString(), QStringLiteral("NAME"));
    parser.addOptions({url, tokenFile, help, version, platform});
    if (!parser.parse(rawArguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        printError((unknown.isEmpty() ? QStringLiteral("옵션에 값이 없습니다 (%1)").arg(parser.errorText())
                                      : QStringLiteral("알 수 없는 옵션: %1").arg(unknown.first()))
                   + QStringLiteral(" (tavro_popup --help)"));
        return usageError;
    }
    if (parser.isSet(help)) {
        std::fputs(helpText, stdout);
        return 0;
    }
    if (parser.isSet(version)) {
        std::printf("tavro_popup %s\n", TAVRO_POPUP_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty()) {
        printError(QStringLiteral("알 수 없는 인자: %1 (tavro_popup --help)").arg(parser.positionalArguments().first()));
        return usageError;
    }
    if (parser.isSet(url))
        arguments->url = parser.value(url);
    if (parser.isSet(tokenFile))
        arguments->tokenFile = parser.value(tokenFile);
    return std::nullopt;
}

// The saved settings, with what the command line gave in their place (and
// saved in turn). False, told, when they would not work.
bool loadSettings(const Arguments &arguments, QSettings &store, popup::PopupSettings *settings)
{
    *settings = popup::PopupSettings::load(store);
    if (!arguments.url && !arguments.tokenFile)
        return true;
    settings->url = arguments.url.value_or(settings->url);
    settings->tokenFile = arguments.tokenFile.value_or(settings->tokenFile);
    const QString problem = settings->problem();
    if (!problem.isEmpty()) {
        printError(problem);
        return false;
    }
    settings->save(store);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments << QString::fromLocal8Bit(argv[i]);
    Arguments arguments;
    if (const std::optional<int> status = readArguments(rawArguments, &arguments))
        return *status;
    const QString missing = popup::missingDisplay(rawArguments);
    if (!missing.isEmpty()) {
        printError(QStringLiteral("화면이 없습니다 (%1 없음)").arg(missing));
        return noDisplay;
    }

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("tavro"));
    QApplication::setApplicationName(QStringLiteral("tavro_popup"));
    QApplication::setApplicationVersion(QStringLiteral(TAVRO_POPUP_VERSION));
    QApplication::setWindowIcon(popup::StatusPresence::iconFor(popup::StatusPresence::Look::Connected));
    // Closing the last card or the settings must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);

    QSettings store;
    popup::PopupSettings settings;
    if (!loadSettings(arguments, store, &settings))
        return usageError;
    popup::PopupApp popupApp(store, settings);
    popupApp.start();
    return app.exec();
}
