// tavro_popup's card on the screen: the End line of a call written on the
// terminal's pty -> tavrod -> WebSocket -> the card's window exposed on the
// X server (Xvfb), p50/p95 over 50 calls. Runs itself under xvfb-run when
// there is no DISPLAY. tavrod is a child process; the popup runs in this
// process, which writes the pty, so both ends read one clock.
// Arguments (optional): calls.
#include "bench_common.h"
#include "call_card.h"
#include "popup_app.h"
#include "pty_pair.h"
#include "wait_until.h"

#include <QApplication>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

QByteArray callReport(int number)
{
    return "Report\r\nD\r\nTime:12071330\r\nNumber:02555" + QByteArray::number(number).rightJustified(4, '0')
        + "\r\nName:bench\r\nGroup:1\r\nType:S\r\nEnd\r\n";
}

double msSince(Clock::time_point start, Clock::time_point end)
{
    return std::chrono::duration<double, std::milli>(end - start).count();
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("TAVRO_BENCH_UNDER_XVFB")) {
        // An X server of its own, so the figure is a real window on a real (virtual) screen.
        std::vector<char *> args{const_cast<char *>("xvfb-run"), const_cast<char *>("-a"),
                                 const_cast<char *>("-s"), const_cast<char *>("-screen 0 1280x800x24"),
                                 const_cast<char *>("env"), const_cast<char *>("QT_QPA_PLATFORM=xcb"),
                                 const_cast<char *>("TAVRO_BENCH_UNDER_XVFB=1")};
        for (int i = 0; i < argc; ++i)
            args.push_back(argv[i]);
        args.push_back(nullptr);
        execvp("xvfb-run", args.data());
        std::perror("bench_popup: xvfb-run");
        return 1;
    }
    QApplication app(argc, argv);
    const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;

    PtyPair pty;
    QTemporaryDir dir;
    TavrodChild tavrod(QStringLiteral(TAVROD_PATH), dir.path(),
                       {"--map", "COM1=" + pty.slavePath(), "--db", dir.filePath("bench.db")});
    if (tavrod.port == 0) {
        std::printf("tavrod did not start: %s\n", tavrod.log().constData());
        return 1;
    }
    const QString port = QString::number(tavrod.port);

    QSettings store(dir.filePath("popup.ini"), QSettings::IniFormat);
    popup::PopupSettings settings;
    settings.url = QStringLiteral("http://127.0.0.1:") + port;
    settings.tokenFile = dir.filePath("token");
    settings.sound = false;
    popup::PopupApp popupApp(store, settings, false);
    popupApp.start();
    if (!waitUntil([&] { return popupApp.presence().look() == popup::StatusPresence::Look::Connected; }, 10000)) {
        std::printf("the popup did not connect: %s\n", qPrintable(popupApp.presence().text()));
        return 1;
    }

    Clock::time_point shown;
    QString shownTitle;
    QObject::connect(&popupApp.stack(), &popup::CardStack::cardShown, [&](popup::CallCard *card) {
        shown = Clock::now();
        shownTitle = card->windowTitle();
    });
    std::vector<double> toScreen;
    for (int i = 0; i < calls; ++i) {
        shownTitle.clear();
        const QString title = popup::CallCard::titleFor([&] {
            popup::CallInfo call;
            call.number = QStringLiteral("02555") + QString::number(i).rightJustified(4, u'0');
            return call;
        }());
        const auto written = Clock::now();
        pty.write(callReport(i));
        if (!waitUntil([&] { return shownTitle == title; }, 5000)) {
            std::printf("call %d: no card within 5 s\n", i);
            return 1;
        }
        toScreen.push_back(msSince(written, shown));
        popupApp.stack().closeAll();
        QElapsedTimer pause;
        pause.start();
        waitUntil([&] { return pause.elapsed() >= 100; }, 200);
    }
    std::printf("tavro_popup, %d calls: End line on the pty -> card window exposed on the X server:"
                " p50 %.2f ms  p95 %.2f ms  max %.2f ms\n",
                calls, percentile(toScreen, 0.5), percentile(toScreen, 0.95), percentile(toScreen, 1.0));
    return 0;
}
