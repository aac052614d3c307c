// --on-call hooks are contained: their whole process group ends on time-out
// and at stop, their output reaches the log only up to a cap, and a full
// queue is one log line per episode.
#include "hooks.h"
#include "metrics.h"
#include "options.h"

#include "wait_until.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>

using namespace tavrod;

namespace {

QStringList logged;

void capture(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (QByteArray(context.category) == "tavrod.hooks")
        logged.append(message);
}

// Live (not zombie) processes of a process group, read from /proc.
int liveInGroup(pid_t group)
{
    int count = 0;
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + pid + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 2 && fields[0] != "Z" && fields[2].toInt() == group)
            ++count;
    }
    return count;
}

pid_t readPid(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? pid_t(file.readAll().trimmed().toInt()) : 0;
}

} // namespace

class TestHooks : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        logged.clear();
        qInstallMessageHandler(capture);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void aForkingHookEndsWithItsGroupOnTimeOutAndAtStop()
    {
        QTemporaryDir dir;
        const QString script = QStringLiteral("echo $$ > %1/pid$1; sleep 301 & sleep 301").arg(dir.path());
        Metrics metrics;
        {
            HookRunner hooks({{"/bin/sh", "-c", script, "sh", "a"}}, 1000, 4, metrics);
            hooks.run("{}");
            QVERIFY(waitUntil([&] { return readPid(dir.filePath("pida")) > 0; }));
            const pid_t group = readPid(dir.filePath("pida"));
            QVERIFY(waitUntil([&] { return liveInGroup(group) == 3; }));
            QVERIFY(waitUntil([&] { return liveInGroup(group) == 0; }, 5000));
            QVERIFY(logged.join('\n').contains("killed"));
        }
        HookRunner hooks({{"/bin/sh", "-c", script, "sh", "b"}}, 60000, 4, metrics);
        hooks.run("{}");
        QVERIFY(waitUntil([&] { return readPid(dir.filePath("pidb")) > 0; }));
        const pid_t group = readPid(dir.filePath("pidb"));
        QVERIFY(waitUntil([&] { return liveInGroup(group) == 3; }));
        hooks.stop();
        QVERIFY(waitUntil([&] { return liveInGroup(group) == 0; }, 2000));
    }

    void outputIsCappedAndTheLoopStaysResponsive()
    {
        Metrics metrics;
        HookRunner hooks({{"/bin/sh", "-c", "echo first; printf 'bad\\033[2Jline\\n'; yes SPAM >&2"}}, 2000, 4,
                         metrics);
        int ticks = 0;
        qint64 longestGap = 0;
        QElapsedTimer sinceTick;
        sinceTick.start();
        QTimer ticker;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            longestGap = std::max(longestGap, sinceTick.restart());
            ++ticks;
        });
        ticker.start(20);
        bool ended = false;
        QObject::connect(&hooks, &HookRunner::finished, [&] { ended = true; });
        hooks.run("{}");
        QVERIFY(waitUntil([&] { return ended; }, 10000));

        qint64 bytes = 0;
        for (const QString &line : logged)
            bytes += line.size();
        QVERIFY2(bytes > 1000 && bytes < 2 * HookRunner::maxLoggedBytes, qPrintable(QString::number(bytes)));
        QVERIFY(logged.contains(QStringLiteral("hook \"/bin/sh -c echo first; printf 'bad\\033[2Jline\\n'; "
                                               "yes SPAM >&2\": first")));
        QVERIFY(logged.join('\n').contains("bad?[2Jline"));
        QVERIFY(logged.join('\n').contains("more bytes of output not logged"));
        QVERIFY2(longestGap < 1000, qPrintable(QString::number(longestGap)));
        QVERIFY(ticks > 10);
    }

    void aFullQueueIsLoggedOncePerEpisode()
    {
        Metrics metrics;
        HookRunner hooks({{"/bin/sleep", "30"}}, 60000, 1, metrics);
        for (int i = 0; i < HookRunner::maxQueued + 250; ++i)
            hooks.run("{}");
        QCOMPARE(logged.filter("hook queue full").size(), 1);
        hooks.stop();
    }

    void onCallArgAddsWordsToTheCommandBeforeIt()
    {
        Options options;
        QString message;
        QCOMPARE(parseOptions({"tavrod", "--on-call", "sh", "--on-call-arg", "-c", "--on-call-arg",
                               "echo \"$1\" >> 'a file'", "--on-call", "/bin/notify --to \"the desk\" 'x'",
                               "--on-call-arg=x y"},
                              &options, &message),
                 ParseResult::Run);
        QCOMPARE(options.onCall,
                 (QList<QStringList>{{"sh", "-c", "echo \"$1\" >> 'a file'"}, {"/bin/notify", "--to", "the desk", "'x'", "x y"}}));
        QCOMPARE(parseOptions({"tavrod", "--on-call-arg", "-c"}, &options, &message), ParseResult::Error);
    }
};

QTEST_GUILESS_MAIN(TestHooks)
#include "tst_hooks.moc"
