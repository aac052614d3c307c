// tavro_sim: a simulated caller-ID terminal on a pseudo-terminal (or a real
// serial device), driven by operator commands on standard input.
#include "option_table.h"
#include "signal_relay.h"
#include "sim_link.h"
#include "terminal.h"

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

void printLine(FILE *stream, const QString &line)
{
    std::fputs(line.toUtf8().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

void say(const QString &line) { printLine(stdout, line); }
void complain(const QString &line) { printLine(stderr, QStringLiteral("tavro_sim: ") + line); }

// A closed output pipe must not kill the simulator; and reading the
// terminal from a background job fails with EIO instead of stopping it.
void ignoreSignals()
{
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTTIN, SIG_IGN);
}

// The --link symbolic link: replaces a stale link, never a real file, and is
// removed on exit only while it still points at this simulator's line. A
// lock on PATH.lock, held for the simulator's life, keeps a second simulator
// from taking over a link that a live one serves.
class LinkFile
{
public:
    ~LinkFile() { remove(); }

    bool create(const QString &link, const QString &target, QString *error)
    {
        const QByteArray path = QFile::encodeName(link);
        if (!lock(link, error))
            return false;
        struct stat st {};
        if (::lstat(path.constData(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                *error = QStringLiteral("%1 exists and is not a symbolic link; not replaced").arg(link);
                unlock();
                return false;
            }
            ::unlink(path.constData());
        }
        if (::symlink(QFile::encodeName(target).constData(), path.constData()) != 0) {
            *error = QStringLiteral("cannot create the link %1: %2")
                         .arg(link, QString::fromLocal8Bit(std::strerror(errno)));
            unlock();
            return false;
        }
        m_link = path;
        m_target = QFile::encodeName(target);
        return true;
    }

    void remove()
    {
        if (!m_link.isEmpty()) {
            char buf[4096];
            const ssize_t n = ::readlink(m_link.constData(), buf, sizeof buf);
            if (n >= 0 && QByteArray(buf, n) == m_target)
                ::unlink(m_link.constData());
            m_link.clear();
        }
        unlock();
    }

private:
    bool lock(const QString &link, QString *error)
    {
        const QByteArray path = QFile::encodeName(link) + ".lock";
        auto failed = [&](const QString &what) {
            *error = QStringLiteral("%1 %2.lock: %3")
                         .arg(what, link, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        };
        // A simulator that ends removes its lock file: if it did so between
        // this open and this lock, the file locked is no longer the one at
        // the path, so try again with the new one.
        for (int attempt = 0; attempt < 20; ++attempt) {
            const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
            if (fd < 0)
                return failed(QStringLiteral("cannot create the lock file"));
            if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
                const int saved = errno;
                char pid[32] = {};
                [[maybe_unused]] const ssize_t n = ::pread(fd, pid, sizeof pid - 1, 0);
                ::close(fd);
                errno = saved;
                if (saved != EWOULDBLOCK)
                    return failed(QStringLiteral("cannot lock"));
                const QString holder = QString::fromLatin1(pid).trimmed();
                *error = QStringLiteral("%1 is held by a running simulator (pid %2); not taken over")
                             .arg(link, holder.isEmpty() ? QStringLiteral("unknown") : holder);
                return false;
            }
            struct stat held {}, now {};
            if (::fstat(fd, &held) == 0 && ::stat(path.constData(), &now) == 0
                && held.st_dev == now.st_dev && held.st_ino == now.st_ino) {
                const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
                // The pid is only for the message of a refused simulator.
                [[maybe_unused]] const int cut = ::ftruncate(fd, 0);
                [[maybe_unused]] const ssize_t put = ::pwrite(fd, pid.constData(), size_t(pid.size()), 0);
                m_lockFd = fd;
                m_lockPath = path;
                return true;
            }
            ::close(fd);
        }
        errno = EAGAIN;
        return failed(QStringLiteral("cannot lock"));
    }

    // The lock file goes while still locked, so no one locks a file on its way out.
    void unlock()
    {
        if (m_lockFd < 0)
            return;
        ::unlink(m_lockPath.constData());
        ::close(m_lockFd);
        m_lockFd = -1;
    }

    QByteArray m_link;
    QByteArray m_target;
    QByteArray m_lockPath;
    int m_lockFd = -1;
};

// Operator lines from a descriptor: standard input, or the --control FIFO.
// Standard input is left blocking (it is often the shell's terminal): one
// read per notification.
class OperatorInput : public QObject
{
public:
    OperatorInput(int fd, std::function<void(const QString &)> onLine)
        : m_fd(fd), m_onLine(std::move(onLine)), m_notifier(fd, QSocketNotifier::Read)
    {
        connect(&m_notifier, &QSocketNotifier::activated, this, &OperatorInput::readSome);
    }

    // After SIGCONT: a job brought to the foreground may read again.
    void resume()
    {
        if (m_suspended) {
            m_suspended = false;
            m_notifier.setEnabled(true);
        }
    }

private:
    void readSome()
    {
        char buf[4096];
        ssize_t n;
        do {
            n = ::read(m_fd, buf, sizeof buf);
        } while (n < 0 && errno == EINTR);
        if (n > 0) {
            m_partial.append(buf, n);
            qsizetype eol;
            while ((eol = m_partial.indexOf('\n')) >= 0) {
                QByteArray line = m_partial.left(eol);
                m_partial.remove(0, eol + 1);
                if (line.endsWith('\r'))
                    line.chop(1);
                m_onLine(QString::fromUtf8(line));
            }
            // A line without its end is kept only up to a sensible length.
            if (m_partial.size() > 65536)
                m_partial.clear();
            return;
        }
        if (n < 0 && errno == EAGAIN)
            return;
        m_notifier.setEnabled(false);
        if (n < 0 && errno == EIO) {
            m_suspended = true;
            say(QStringLiteral("cannot read the terminal from the background; bring the simulator to the foreground to type commands"));
            return;
        }
        if (!m_partial.isEmpty())
            m_onLine(QString::fromUtf8(std::exchange(m_partial, QByteArray())));
        say(n == 0 ? QStringLiteral("end of standard input; still running until SIGTERM or Ctrl-C")
                   : QStringLiteral("standard input failed (%1); still running until SIGTERM or Ctrl-C")
                         .arg(QString::fromLocal8Bit(std::strerror(errno))));
    }

    int m_fd;
    std::function<void(const QString &)> m_onLine;
    QSocketNotifier m_notifier;
    QByteArray m_partial;
    bool m_suspended = false;
};

// --control PATH: a FIFO that takes the operator's commands from any other
// terminal or script (echo 'call 0212345678' > PATH), so a simulator in the
// background can still be driven. Opened for reading and writing, so that
// it never sees an end when a writer closes; removed on exit.
class ControlFifo
{
public:
    ~ControlFifo() { remove(); }

    bool create(const QString &path, QString *error)
    {
        const QByteArray name = QFile::encodeName(path);
        struct stat st {};
        if (::lstat(name.constData(), &st) == 0) {
            if (!S_ISFIFO(st.st_mode)) {
                *error = QStringLiteral("%1 exists and is not a FIFO; not replaced").arg(path);
                return false;
            }
            ::unlink(name.constData());
        }
        if (::mkfifo(name.constData(), 0600) != 0
            || (m_fd = ::open(name.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0) {
            *error = QStringLiteral("cannot make the control FIFO %1: %2")
                         .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        m_path = name;
        return true;
    }
    int fd() const { return m_fd; }

    void remove()
    {
        if (m_fd >= 0) {
            ::unlink(m_path.constData());
            ::close(m_fd);
            m_fd = -1;
        }
    }

private:
    QByteArray m_path;
    int m_fd = -1;
};

QString description()
{
    return QStringLiteral(
               "Plays a caller-ID terminal on a serial line, for tests and demos without hardware.\n"
               "\n"
               "It opens a pseudo-terminal and prints the path of its slave side as the first line\n"
               "of standard output: point the host at that path (tavro_ex --map COM1=PATH), or\n"
               "give --link for a fixed path. With --device it serves a real serial port instead\n"
               "(9600 8N1, a null-modem cable to the host PC); the first line is then that path.\n"
               "\n"
               "It answers \"[\" with ACK, answers every query command with its Response message,\n"
               "applies the set commands and logs each command of the host on standard output\n"
               "(\"host ...\" lines; --quiet leaves them out). Bad input (an unknown command, a\n"
               "malformed frame) is reported on standard error and the simulator keeps running.\n"
               "Lists: stored calls newest first (at most %1, the oldest dropped), rejected and\n"
               "answer numbers in the order they were added. The clock starts at the local time.\n"
               "\n")
               .arg(Terminal::kMaxRecords)
        + Terminal::helpText()
        + QStringLiteral(
            "\n\n"
            "At the end of standard input the simulator keeps running, so that it can serve a\n"
            "host in the background (tavro_sim --link /tmp/tavro-com1 </dev/null &); with\n"
            "--control PATH it also takes the operator commands, one a line, from the FIFO\n"
            "PATH (echo 'call 0212345678' > PATH from another terminal). It ends\n"
            "with quit, Ctrl-C (SIGINT), SIGTERM, SIGHUP or SIGQUIT, and then removes its --link.\n"
            "A --link that another running simulator serves is refused.\n"
            "\n"
            "Nothing is kept for a host that is not there: messages are not queued while no\n"
            "host has the line open, and what a host left unread is dropped when it closes\n"
            "the line. At most %1 bytes wait for a host that does not read (further messages\n"
            "are dropped) and a \"[\" is not answered again while its ACK is unread.")
            .arg(SimLink::kMaxQueued);
}

// The options: --help, the parser and the man page's check come from here.
QList<tavro::tools::OptionRow> optionRows()
{
    return {
        {QStringLiteral("link"), QStringLiteral("path"), {},
         QStringLiteral("Also make a symbolic link at <path> to the line (removed on exit; refused while another "
                        "simulator serves it)."), {}},
        {QStringLiteral("device"), QStringLiteral("path"), {},
         QStringLiteral("Serve the serial device <path> instead of a pseudo-terminal."), {}},
        {QStringLiteral("control"), QStringLiteral("path"), {},
         QStringLiteral("Also take operator commands, one a line, from a FIFO made at <path> (removed on exit), "
                        "e.g. echo 'call 0212345678' > <path> from another terminal."), {}},
        {QStringLiteral("quiet"), {}, {}, QStringLiteral("Do not log the host's commands on standard output."), {}},
    };
}

// The terminal on its line, and what the operator sees of both.
void wire(Terminal &terminal, SimLink &link, bool quiet)
{
    QObject::connect(&terminal, &Terminal::send, &link, &SimLink::send);
    QObject::connect(&terminal, &Terminal::acknowledge, &link, &SimLink::sendAck);
    QObject::connect(&link, &SimLink::noHost, [] { say(QStringLiteral("no host has the line open: not sent")); });
    QObject::connect(&link, &SimLink::queueFull, [](qsizetype queued) {
        complain(QStringLiteral("the host is not reading (%1 bytes wait for it): messages are dropped until it reads")
                     .arg(queued));
    });
    QObject::connect(&link, &SimLink::recovered, [](int dropped) {
        complain(QStringLiteral("the host reads again; %1 messages were dropped").arg(dropped));
    });
    QObject::connect(&terminal, &Terminal::pieceSizeChanged, &link, &SimLink::setPieceSize);
    QObject::connect(&link, &SimLink::received, &terminal, &Terminal::receive);
    QObject::connect(&terminal, &Terminal::said, &say);
    if (!quiet) {
        QObject::connect(&terminal, &Terminal::hostCommand, &say);
        QObject::connect(&link, &SimLink::hostOpened, [] { say(QStringLiteral("host opened the line")); });
        QObject::connect(&link, &SimLink::hostClosed, [](qsizetype dropped) {
            say(dropped > 0 ? QStringLiteral("host closed the line; %1 bytes it had not read were dropped").arg(dropped)
                            : QStringLiteral("host closed the line"));
        });
    }
}

// The line (a pty, or --device), its --link name and the --control FIFO;
// false, said, when one cannot be made.
bool openLine(const tavro::tools::OptionTable &options, const QString &controlPath, SimLink &link,
              LinkFile &linkFile, ControlFifo &control)
{
    QString error;
    const bool opened = options.isSet(QStringLiteral("device")) ? link.openDevice(options.value(QStringLiteral("device")), &error)
                                                   : link.openPty(&error);
    if (!opened) {
        complain(error);
        return false;
    }
    if (options.isSet(QStringLiteral("link")) && !linkFile.create(options.value(QStringLiteral("link")), link.path(), &error)) {
        complain(error);
        return false;
    }
    if (!controlPath.isEmpty() && !control.create(controlPath, &error)) {
        complain(error);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavro_sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVRO_SIM_VERSION));

    tavro::tools::OptionTable options(description(), optionRows());
    options.process(app);
    if (!options.positionalArguments().isEmpty()) {
        complain(QStringLiteral("unexpected argument %1; see --help").arg(options.positionalArguments().first()));
        return 2;
    }
    const QString controlPath = options.value(QStringLiteral("control"));

    ignoreSignals();
    tavro::tools::SignalRelay signalRelay({SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCONT});
    if (!signalRelay.isValid()) {
        complain(QStringLiteral("cannot set up signal handling: ") + QString::fromLocal8Bit(std::strerror(errno)));
        return 1;
    }

    SimLink link;
    LinkFile linkFile;
    ControlFifo control;
    if (!openLine(options, controlPath, link, linkFile, control))
        return 1;
    say(link.path()); // the first line: where the host connects
    if (!link.warning().isEmpty())
        complain(link.warning());

    Terminal terminal;
    wire(terminal, link, options.isSet(QStringLiteral("quiet")));
    QObject::connect(&terminal, &Terminal::complained, &complain);
    QObject::connect(&terminal, &Terminal::quitRequested, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QObject::connect(&link, &SimLink::failed, &app, [&app](const QString &why) {
        complain(QStringLiteral("the line failed (%1); ending").arg(why));
        app.exit(1);
    });

    const auto runCommand = [&terminal](const QString &line) { terminal.runOperatorCommand(line); };
    OperatorInput input(STDIN_FILENO, runCommand);
    std::unique_ptr<OperatorInput> controlInput;
    if (control.fd() >= 0)
        controlInput = std::make_unique<OperatorInput>(control.fd(), runCommand);

    QObject::connect(&signalRelay, &tavro::tools::SignalRelay::received, &app, [&](int signo) {
        if (signo == SIGCONT) {
            input.resume();
        } else {
            say(QStringLiteral("ending on signal %1").arg(signo));
            app.quit();
        }
    });

    say(QStringLiteral("ready; type help for the operator commands"));
    const int rc = app.exec();
    linkFile.remove();
    control.remove();
    return rc;
}
