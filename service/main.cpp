// tavrod: the caller-ID service. Options and signals here; the service
// itself is in service.cpp.
#include "options.h"
#include "service.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// SIGTERM and SIGINT arrive through a socket pair and are handled as
// ordinary events: the handler itself only writes the signal number.
int gSignalFds[2] = {-1, -1};

void onSignal(int signo)
{
    const int saved = errno;
    const char byte = char(signo);
    [[maybe_unused]] const ssize_t n = ::write(gSignalFds[0], &byte, 1);
    errno = saved;
}

bool installSignalHandlers()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSignalFds) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int signo : {SIGINT, SIGTERM})
        ::sigaction(signo, &sa, nullptr);
    // A client that goes away while we write must not end the service.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrod"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVROD_VERSION));

    tavrod::Options options;
    QString message;
    switch (tavrod::parseOptions(app.arguments(), &options, &message)) {
    case tavrod::ParseResult::ExitOk:
        std::fputs(qPrintable(message), stdout);
        return 0;
    case tavrod::ParseResult::Error:
        std::fprintf(stderr, "tavrod: %s\n", qPrintable(message));
        return 2;
    case tavrod::ParseResult::Run:
        break;
    }
    // A thousand stream clients and the HTTP connections need more
    // descriptors than the usual soft limit of 1024.
    rlimit files {};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    if (!installSignalHandlers()) {
        std::fprintf(stderr, "tavrod: cannot install the signal handlers\n");
        return 1;
    }

    tavrod::Service service(options);
    if (!service.start(&message)) {
        std::fprintf(stderr, "tavrod: %s\n", qPrintable(message));
        return 1;
    }

    QSocketNotifier signalNotifier(gSignalFds[1], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char signo = 0;
        while (::read(gSignalFds[1], &signo, 1) == 1) {
        }
        signalNotifier.setEnabled(false);
        std::fprintf(stderr, "tavrod: signal received, stopping\n");
        service.stop();
        QCoreApplication::exit(0);
    });
    return app.exec();
}
