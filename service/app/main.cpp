// tavrod: the caller-ID service. Options and signals here; the service
// itself is in service.cpp.
#include "options.h"
#include "logging.h"
#include "service.h"
#include "signal_relay.h"
#include "token_command.h"

#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    tavrod::installLogFormat();
    QCoreApplication::setApplicationName(QStringLiteral("tavrod"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVROD_VERSION));

    if (app.arguments().value(1) == u"token")
        return tavrod::runTokenCommand(app.arguments().mid(2), stdout, stderr);

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
    // A client that goes away while we write must not end the service.
    std::signal(SIGPIPE, SIG_IGN);
    tavro::tools::SignalRelay signalRelay({SIGINT, SIGTERM});
    if (!signalRelay.isValid()) {
        qCCritical(tavrod::lcService, "cannot install the signal handlers");
        return 1;
    }

    tavrod::Service service(options);
    if (!service.start(&message)) {
        qCCritical(tavrod::lcService, "%s", qPrintable(message));
        return 1;
    }

    QObject::connect(&signalRelay, &tavro::tools::SignalRelay::received, &app, [&] {
        signalRelay.setEnabled(false);
        qCInfo(tavrod::lcService, "signal received, stopping");
        service.stop();
        QCoreApplication::exit(0);
    });
    return app.exec();
}
