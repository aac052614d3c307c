// tavro_sim on its own: the host's side of its line is played byte by byte
// here, the operator's side through its standard input.
#include "codec.h"
#include "pty_pair.h"
#include "sim_process.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

QByteArray message(const QByteArray &marker, char letter, const QList<QByteArray> &lines)
{
    QByteArray out = marker + "\r\n" + letter + "\r\n";
    for (const QByteArray &line : lines)
        out += line + "\r\n";
    return out + "End\r\n";
}

QByteArray response(char letter, const QList<QByteArray> &lines = {})
{
    return message("Response", letter, lines);
}

QByteArray report(char letter, const QList<QByteArray> &lines = {})
{
    return message("Report", letter, lines);
}

QList<QByteArray> record(const QByteArray &time, const QByteArray &number, const QByteArray &name,
                         const QByteArray &group, const QByteArray &type)
{
    return {"Time:" + time, "Number:" + number, "Name:" + name, "Group:" + group, "Type:" + type};
}

QList<QByteArray> melodies(const QList<int> &byGroup)
{
    QList<QByteArray> lines;
    for (int g = 0; g < byGroup.size(); ++g)
        lines << QByteArray::number(g + 1) << QByteArray::number(byGroup[g]);
    return lines;
}

// The host's end of the simulator's line.
class HostLine
{
public:
    explicit HostLine(const QString &path)
    {
        m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (m_fd < 0)
            return;
        termios tio {};
        ::tcgetattr(m_fd, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(m_fd, TCSANOW, &tio);
    }
    ~HostLine()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool isOpen() const { return m_fd >= 0; }

    void write(const QByteArray &bytes)
    {
        QCOMPARE(::write(m_fd, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
    }

    // Writes all of `bytes` without reading, waiting for room when the line is full.
    bool writeAll(const QByteArray &bytes, int timeoutMs = 10000)
    {
        QDeadlineTimer deadline(timeoutMs);
        for (qsizetype at = 0; at < bytes.size();) {
            const ssize_t n = ::write(m_fd, bytes.constData() + at, size_t(bytes.size() - at));
            if (n > 0) {
                at += n;
                continue;
            }
            pollfd p {m_fd, POLLOUT, 0};
            if (deadline.hasExpired() || ::poll(&p, 1, int(qMax<qint64>(0, deadline.remainingTime()))) < 0)
                return false;
        }
        return true;
    }

    // Everything up to and including `token` (or all that came in time).
    QByteArray readUntil(const QByteArray &token, int timeoutMs = 5000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (!m_unread.contains(token) && readOnce(deadline))
            ;
        const qsizetype at = m_unread.indexOf(token);
        if (at < 0)
            return std::exchange(m_unread, QByteArray());
        const QByteArray out = m_unread.left(at + token.size());
        m_unread.remove(0, out.size());
        return out;
    }

    // What each read returns, until `total` bytes have come.
    QList<QByteArray> readPieces(qsizetype total, int timeoutMs = 10000)
    {
        QList<QByteArray> pieces;
        qsizetype count = 0;
        QDeadlineTimer deadline(timeoutMs);
        while (count < total && readOnce(deadline)) {
            pieces << std::exchange(m_unread, QByteArray());
            count += pieces.last().size();
        }
        return pieces;
    }

    // All that arrives within `ms` (to show that nothing does).
    QByteArray readFor(int ms)
    {
        QDeadlineTimer deadline(ms);
        while (readOnce(deadline))
            ;
        return std::exchange(m_unread, QByteArray());
    }

private:
    // Blocks until bytes arrive or the deadline passes; false when none came.
    bool readOnce(const QDeadlineTimer &deadline)
    {
        pollfd p {m_fd, POLLIN, 0};
        if (::poll(&p, 1, int(qMax<qint64>(0, deadline.remainingTime()))) <= 0)
            return false;
        char buf[4096];
        const ssize_t n = ::read(m_fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        m_unread.append(buf, n);
        return true;
    }

    int m_fd = -1;
    QByteArray m_unread;
};

} // namespace

class SimTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<HostLine> host;

    QByteArray ask(const QByteArray &frame)
    {
        host->write(frame);
        return host->readUntil("End\r\n");
    }

    // What the host receives after the operator typed `line`.
    QByteArray typed(const QString &line)
    {
        sim->type(line);
        return host->readUntil("End\r\n");
    }

    // Proves the simulator is alive and sent nothing unasked before.
    void expectOnlyAck()
    {
        host->write("[");
        QCOMPARE(host->readUntil("ACK\r\n"), QByteArray("ACK\r\n"));
    }

private slots:
    void init()
    {
        sim = std::make_unique<SimProcess>();
        QVERIFY2(sim->start(), qPrintable(sim->lastError()));
        host = std::make_unique<HostLine>(sim->linePath());
        QVERIFY(host->isOpen());
    }

    void cleanup()
    {
        host.reset();
        sim.reset();
    }

    void syncAndFactoryAnswers()
    {
        expectOnlyAck();
        QCOMPARE(ask("t\r0\r]"), response('t', {"0"}));
        QCOMPARE(ask("u\r0\r]"), response('u', {"0"}));
        QCOMPARE(ask("h\r]"), response('h', {"1"}));
        QCOMPARE(ask("r\r]"), response('r', {"1"}));
        for (char letter : {'i', 'n', 'q', 'x'})
            QCOMPARE(ask(QByteArray(1, letter) + "\r]"), response(letter, {"0"}));
        QCOMPARE(ask("s\r]"), response('s', {"4"}));
        QCOMPARE(ask("e\r]"), response('e', {"0700"}));
        QCOMPARE(ask("f\r]"), response('f', {"1"}));
        QCOMPARE(ask("g\r]"), response('g', {"0"}));
        QCOMPARE(ask("p\r]"), response('p', melodies({1, 1, 1, 1, 1, 1})));
        // Empty lists are the end line alone.
        QCOMPARE(ask("a\r]"), response('a'));
        QCOMPARE(ask("j\r]"), response('j'));
        QCOMPARE(ask("o\r]"), response('o'));

        // The clock starts at the local time.
        const QDateTime before = QDateTime::currentDateTime();
        const QByteArray date = ask("d\r]");
        const QDateTime after = QDateTime::currentDateTime();
        QList<QByteArray> accepted;
        for (const QDateTime &t : {before, after})
            accepted << response('d', {t.toString("MMdd").toLatin1(), t.toString("HHmm").toLatin1()});
        QVERIFY2(accepted.contains(date), date.constData());
        QVERIFY(sim->waitForOutput("host d: answered: date "));
    }

    void setCommandsChangeTheAnswers()
    {
        const QList<QPair<char, QByteArray>> switches = {
            {'H', "h\r]"}, {'I', "i\r]"}, {'N', "n\r]"}, {'Q', "q\r]"},
            {'R', "r\r]"}, {'T', "t\r0\r]"}, {'U', "u\r0\r]"}, {'X', "x\r]"}};
        for (const auto &[set, query] : switches) {
            for (const QByteArray value : {"1", "0", "1"}) {
                host->write(set + QByteArray("\r") + value + "\r]");
                QCOMPARE(ask(query), response(query.at(0), {value}));
            }
        }
        host->write("S\r8\r]F\r6\r]E\r2359\r]G\r9\r]D\r0229\r2358\r]P\r3\r5\r]P\r6\r2\r]");
        QCOMPARE(ask("s\r]"), response('s', {"8"}));
        QCOMPARE(ask("f\r]"), response('f', {"6"}));
        QCOMPARE(ask("e\r]"), response('e', {"2359"}));
        QCOMPARE(ask("g\r]"), response('g', {"9"}));
        QCOMPARE(ask("d\r]"), response('d', {"0229", "2358"}));
        QCOMPARE(ask("p\r]"), response('p', melodies({1, 1, 5, 1, 1, 2})));
        // The area code is one hex digit; the answer is the slot in decimal.
        host->write("G\rf\r]");
        QCOMPARE(ask("g\r]"), response('g', {"15"}));
        QVERIFY(sim->waitForOutput("host G f: area number 064"));
        QCOMPARE(sim->errors(), QString());
    }

    void badParametersLeaveTheStateAlone()
    {
        const QList<QByteArray> frames = {
            "S\r9\r]", "S\r0\r]", "F\r7\r]", "F\r2.5\r]", "E\r2460\r]", "E\r930\r]",
            "D\r1301\r0900\r]", "D\r0115\r]", "G\rg\r]", "G\rF\r]", "G\r031\r]", "T\r2\r]",
            "H\r]", "P\r7\r1\r]", "P\r1\r]", "J\r0212345678\r2\r]", "B\r]", "C\r]"};
        for (const QByteArray &frame : frames)
            host->write(frame);
        expectOnlyAck();
        for (QByteArray frame : frames) {
            frame.chop(2);
            const QString shown = QString::fromLatin1(frame).replace(u'\r', u' ');
            QVERIFY2(sim->waitForErrors(QStringLiteral("host %1: ").arg(shown)), qPrintable(shown));
        }
        QCOMPARE(ask("s\r]"), response('s', {"4"}));
        QCOMPARE(ask("f\r]"), response('f', {"1"}));
        QCOMPARE(ask("e\r]"), response('e', {"0700"}));
        QCOMPARE(ask("g\r]"), response('g', {"0"}));
        QCOMPARE(ask("t\r0\r]"), response('t', {"0"}));
        QCOMPARE(ask("h\r]"), response('h', {"1"}));
        QCOMPARE(ask("j\r]"), response('j'));
        QCOMPARE(ask("p\r]"), response('p', melodies({1, 1, 1, 1, 1, 1})));
    }

    void badInputIsLoggedAndTheSimulatorGoesOn()
    {
        const QList<QPair<QByteArray, QString>> frames = {
            {"t0]", "the command byte is not followed by CR"},
            {"]", "no command byte"},
            {"5\r]", "the command byte is not a letter"},
            {"t\r\r]", "an empty parameter"},
            {"t\r0]", "the last parameter is not followed by CR"},
            {"T\r1\r2\r3\r4\r]", "more than three parameters"},
            {"z\r]", "host z: unknown command"},
            {"K\r1\r]", "host K 1: unknown command"},
            {QByteArray(300, 'x') + "]", "longer than 256 bytes"},
        };
        for (const auto &[frame, why] : frames) {
            host->write(frame);
            QVERIFY2(sim->waitForErrors(why), qPrintable(why));
        }
        // A frame cut short by the next request is dropped; the request is answered.
        host->write("T\r1");
        expectOnlyAck();
        QVERIFY(sim->waitForErrors("bad frame \"T\\r1\": not finished before the next \"[\""));
        QCOMPARE(ask("t\r0\r]"), response('t', {"0"}));

        const QList<QPair<QString, QString>> commands = {
            {"call", "usage: call NUMBER"},
            {"busy 1 a b c d", "usage: busy NUMBER"},
            {"call 1 a x", "GROUP must be a number 0 to 99"},
            {"call 1 a 1 Z", "TYPE must be one of B S C P O V"},
            {"call 1 \"unterminated", "unterminated quote"},
            {"call 1 \xf0\x9f\x98\x80", "outside code page 949"},
            {"piece -1", "usage: piece N"},
            {"piece 4097", "usage: piece N"},
            {"silence maybe", "usage: silence on|off"},
            {"raw \\q", "raw: unknown escape \\q; nothing sent"},
            {"raw \\x4", "raw: \\x needs two hex digits"},
            {"raw a\xf0\x9f\x98\x80", "raw: characters outside code page 949"},
            {"answer add", "usage: answer add"},
            {"lift now", "lift takes no arguments"},
            {"frobnicate", "unknown command \"frobnicate\"; type help"},
        };
        for (const auto &[line, why] : commands) {
            sim->type(line);
            QVERIFY2(sim->waitForErrors(why), qPrintable(line));
        }
        expectOnlyAck();
        QCOMPARE(ask("a\r]"), response('a'));
    }

    void callsAndHandsetReports()
    {
        host->write("D\r0315\r1030\r]");
        QVERIFY(sim->waitForOutput("clock set to 03-15 10:30"));
        QCOMPARE(typed(QStringLiteral("call 0212345678 \"홍 길동\" 2 V")),
                 report('D', record("03151030", "0212345678", cp949(QStringLiteral("홍 길동")), "2", "V")));
        QVERIFY(sim->waitForOutput("call from 0212345678 (name \"홍 길동\", group 2, type V): Report D"));
        // 똠 is one of the syllables a wrong code page variant garbles.
        QCOMPARE(typed(QStringLiteral("busy 01099998888 똠 3")),
                 report('E', record("03151030", "01099998888", cp949(QStringLiteral("똠")), "3", "S")));
        QCOMPARE(cp949(QStringLiteral("똠")), QByteArray("\x8c\x63"));
        QCOMPARE(typed(QStringLiteral("call - - 0 P")), report('D', record("03151030", "", "", "0", "P")));
        // "-" empties every optional field: the group is 0, the type the default.
        QCOMPARE(typed(QStringLiteral("call 0299990000 홍길동 - S")),
                 report('D', record("03151030", "0299990000", cp949(QStringLiteral("홍길동")), "0", "S")));
        QCOMPARE(typed(QStringLiteral("busy 0299990000 - - -")),
                 report('E', record("03151030", "0299990000", "", "0", "S")));
        host->write("B\r0299990000\r]");

        QCOMPARE(typed(QStringLiteral("lift")), report('B'));
        host->write("C\r0311112222\r]Y\r]");
        QVERIFY(sim->waitForOutput("host C 0311112222: dialling 0311112222"));
        QVERIFY(sim->waitForOutput("host Y: hook flash"));
        QCOMPARE(typed(QStringLiteral("hangup")), report('C'));
        host->write("C\r0311112222\r]");
        QVERIFY(sim->waitForOutput("not dialled: the handset is down"));

        // Stored, newest first.
        QCOMPARE(ask("a\r]"),
                 response('a', record("03151030", "", "", "0", "P")
                                   + record("03151030", "01099998888", cp949(QStringLiteral("똠")), "3", "S")
                                   + record("03151030", "0212345678", cp949(QStringLiteral("홍 길동")), "2", "V")));
        host->write("B\r01099998888\r]");
        QCOMPARE(ask("a\r]"), response('a', record("03151030", "", "", "0", "P")
                                                + record("03151030", "0212345678", cp949(QStringLiteral("홍 길동")), "2", "V")));
        host->write("B\rALL\r]");
        QCOMPARE(ask("a\r]"), response('a'));
        QCOMPARE(sim->errors(), QString());
    }

    void rejectedNumbersAreSentAsTypeB()
    {
        host->write("D\r1231\r2359\r]J\r0212345678\r1\r]J\r0311112222\r1\r]J\r0212345678\r1\r]");
        QCOMPARE(ask("j\r]"), response('j', record("12312359", "0212345678", "", "0", "B")
                                                + record("12312359", "0311112222", "", "0", "B")));
        QVERIFY(sim->waitForOutput("0212345678 is already on the reject list"));

        QCOMPARE(typed(QStringLiteral("call 0212345678 홍길동 1 S")),
                 report('D', record("12312359", "0212345678", cp949(QStringLiteral("홍길동")), "1", "B")));
        QVERIFY(sim->waitForOutput("type B, on the reject list"));

        host->write("J\r0212345678\r0\r]J\r0999\r0\r]");
        QCOMPARE(ask("j\r]"), response('j', record("12312359", "0311112222", "", "0", "B")));
        QVERIFY(sim->waitForOutput("0999 is not on the reject list"));
        QCOMPARE(typed(QStringLiteral("busy 0212345678 홍길동 1")),
                 report('E', record("12312359", "0212345678", cp949(QStringLiteral("홍길동")), "1", "S")));
    }

    void listsHoldTheNewestSixtyAndAnswerNumbers()
    {
        host->write("D\r0101\r0000\r]");
        QVERIFY(sim->waitForOutput("clock set to"));
        for (int i = 1; i <= 61; ++i)
            sim->type(QStringLiteral("call 0101000%1 - %2").arg(i, 3, 10, QLatin1Char('0')).arg(i % 7));
        QVERIFY(sim->waitForOutput("stored calls: 60"));
        // Each call was reported on the line too.
        QCOMPARE(host->readUntil("0101000061\r\n").count("Report\r\nD\r\n"), 61);
        host->readUntil("End\r\n");

        QList<QByteArray> newestFirst;
        for (int i = 61; i >= 2; --i)
            newestFirst << record("01010000", "0101000" + QByteArray::number(i).rightJustified(3, '0'), "",
                                  QByteArray::number(i % 7), "S");
        QCOMPARE(ask("a\r]"), response('a', newestFirst));

        sim->type(QStringLiteral("answer add 0212345678 \"응답 하나\" 2"));
        sim->type(QStringLiteral("answer add 0319998888 - -"));
        QVERIFY(sim->waitForOutput("answer number 0319998888 (name \"\", group 0) added; 2 in all"));
        QCOMPARE(ask("o\r]"), response('o', record("01010000", "0212345678", cp949(QStringLiteral("응답 하나")), "2", "S")
                                                + record("01010000", "0319998888", "", "0", "S")));
        sim->type(QStringLiteral("answer del 0212345678"));
        QVERIFY(sim->waitForOutput("answer number 0212345678 deleted; 1 left"));
        QCOMPARE(ask("o\r]"), response('o', record("01010000", "0319998888", "", "0", "S")));
    }

    void rawTextAndSilence()
    {
        QCOMPARE(typed(QStringLiteral("raw Report\\r\\nZ\\r\\nEnd\\r\\n")), QByteArray("Report\r\nZ\r\nEnd\r\n"));
        sim->type(QStringLiteral("raw 가\\xb0\\xa1 x\\\\\\t!"));
        QCOMPARE(host->readUntil("!"), QByteArray("\xb0\xa1\xb0\xa1 x\\\t!"));
        QVERIFY(sim->waitForOutput("sent 9 raw bytes"));

        sim->type(QStringLiteral("silence on"));
        QVERIFY(sim->waitForOutput("silence on"));
        host->write("[");
        QVERIFY(sim->waitForOutput("host [: not answered (silence on)"));
        QCOMPARE(host->readFor(200), QByteArray());
        // Frames are still served while silent.
        QCOMPARE(ask("s\r]"), response('s', {"4"}));
        sim->type(QStringLiteral("silence off"));
        QVERIFY(sim->waitForOutput("silence off"));
        expectOnlyAck();
    }

    void piecesCutWhatItSends()
    {
        QFETCH(int, size);
        sim->type(QStringLiteral("piece %1").arg(size));
        QVERIFY(sim->waitForOutput(QStringLiteral("sending in pieces of %1 bytes").arg(size)));
        const QByteArray expected = response('p', melodies({1, 1, 1, 1, 1, 1})) + "ACK\r\n";
        host->write("p\r][");
        const QList<QByteArray> pieces = host->readPieces(expected.size());
        QCOMPARE(pieces.join(), expected);
        // The host takes each piece before the next is written; a busy
        // machine may still merge a few, so only the bulk is required.
        qsizetype small = 0;
        for (const QByteArray &piece : pieces)
            small += piece.size() <= size;
        QVERIFY2(small * 2 >= expected.size() / size, qPrintable(QString::number(pieces.size())));
        QVERIFY(pieces.size() >= 2);

        sim->type(QStringLiteral("piece 0"));
        QVERIFY(sim->waitForOutput(QStringLiteral("sending whole messages")));
        QCOMPARE(ask("t\r0\r]"), response('t', {"0"}));
    }
    void piecesCutWhatItSends_data()
    {
        QTest::addColumn<int>("size");
        QTest::newRow("1") << 1;
        QTest::newRow("3") << 3;
        QTest::newRow("7") << 7;
    }

    void aHostThatDoesNotReadCannotGrowTheQueue()
    {
        // Quiet: its log of every query must not fill the pipe while this
        // test writes without running the event loop.
        host.reset();
        sim = std::make_unique<SimProcess>(QStringList {QStringLiteral("--quiet")});
        QVERIFY2(sim->start(), qPrintable(sim->lastError()));
        host = std::make_unique<HostLine>(sim->linePath());
        // Repeated "[" while the ACK is unread get no further ACK.
        QVERIFY(host->writeAll(QByteArray(3000, '[')));
        const QByteArray before = ask("s\r]");
        QVERIFY2(before.endsWith(response('s', {"4"})), before.constData());
        const qsizetype acks = before.count("ACK\r\n");
        QVERIFY2(acks >= 1 && acks <= 5, qPrintable(QString::number(acks)));
        QCOMPARE(before.size(), acks * 5 + response('s', {"4"}).size());

        // Queries flooding in faster than the answers are read: the queue
        // stops at its bound, dropping whole messages, and says so.
        const QByteArray answer = response('s', {"4"});
        const int asked = 40000;
        QByteArray frames;
        for (int i = 0; i < asked; ++i)
            frames += "s\r]";
        QVERIFY(host->writeAll(frames));
        QVERIFY(sim->waitForErrors("the host is not reading", 20000));
        const QByteArray got = host->readFor(3000);
        QCOMPARE(got.size() % answer.size(), 0);
        QCOMPARE(QByteArray(answer).repeated(got.size() / answer.size()), got);
        QVERIFY2(got.size() < qsizetype(asked) * answer.size() && got.size() > 64 * 1024,
                 qPrintable(QString::number(got.size())));
        QVERIFY(sim->waitForErrors("the host reads again;"));
        expectOnlyAck();
        QCOMPARE(ask("f\r]"), response('f', {"1"}));

        // An ACK counts as read once its letters are, though its line end
        // may still be on the way: the next "[" gets its own.
        sim->type(QStringLiteral("piece 1"));
        QVERIFY(sim->waitForOutput("sending in pieces of 1 bytes"));
        host->write("[");
        QCOMPARE(host->readUntil("ACK"), QByteArray("ACK"));
        host->write("[");
        QCOMPARE(host->readUntil("ACK"), QByteArray("\r\nACK"));
    }

    void nothingIsKeptForAHostThatIsNotThere()
    {
        const QString path = sim->linePath();
        host.reset();
        QVERIFY(sim->waitForOutput("host closed the line"));
        sim->type(QStringLiteral("call 0212345678 홍길동"));
        QVERIFY(sim->waitForOutput("no host has the line open: not sent"));

        // A host that leaves without reading what was sent to it.
        host = std::make_unique<HostLine>(path);
        QVERIFY(sim->waitForOutput("host opened the line"));
        sim->type(QStringLiteral("call 0311112222 - 1"));
        sim->type(QStringLiteral("lift"));
        QVERIFY(sim->waitForOutput("handset lifted"));
        sim->clearLogs();
        host.reset();
        QVERIFY(sim->waitForOutput("host closed the line"));

        host = std::make_unique<HostLine>(path);
        expectOnlyAck();
        QCOMPARE(host->readFor(200), QByteArray());
        // The calls were still stored.
        QCOMPARE(ask("a\r]").count("Number:"), 2);
    }

    void aHostThatDoesNotReadIsNotPolled()
    {
        // Each piece waits for the host to take the one before; a host that
        // never reads must not keep the simulator awake.
        sim->type(QStringLiteral("piece 1"));
        sim->type(QStringLiteral("call 0212345678 홍길동 1 S"));
        QVERIFY(sim->waitForOutput("Report D"));
        auto wakeUps = [pid = sim->process().processId()] {
            QFile status(QStringLiteral("/proc/%1/status").arg(pid));
            if (!status.open(QIODevice::ReadOnly))
                return -1LL;
            for (const QByteArray &line : status.readAll().split('\n')) {
                if (line.startsWith("voluntary_ctxt_switches:"))
                    return line.mid(line.indexOf(':') + 1).trimmed().toLongLong();
            }
            return -1LL;
        };
        const qint64 before = wakeUps();
        QVERIFY(before >= 0);
        QTest::qWait(2000);
        const qint64 woken = wakeUps() - before;
        QVERIFY2(woken < 400, qPrintable(QString::number(woken)));
        // The pieces still all arrive once the host reads.
        sim->type(QStringLiteral("piece 0"));
        QVERIFY(host->readUntil("End\r\n", 10000).endsWith("Type:S\r\nEnd\r\n"));
    }

    void helpAndState()
    {
        sim->type(QStringLiteral("help"));
        QVERIFY(sim->waitForOutput("call NUMBER [NAME] [GROUP] [TYPE]"));
        QVERIFY(sim->output().contains("quit"));
        host->write("S\r2\r]T\r1\r]");
        QVERIFY(sim->waitForOutput("host T 1: alarm on"));
        sim->type(QStringLiteral("lift"));
        sim->type(QStringLiteral("state"));
        QVERIFY(sim->waitForOutput("silence off, whole messages"));
        QVERIFY(sim->output().contains("brightness 2, handset lifted"));
        QVERIFY(sim->output().contains(", alarm on,"));
        sim->type(QStringLiteral("piece 4096"));
        QVERIFY(sim->waitForOutput("sending in pieces of 4096 bytes"));

        QProcess help;
        help.start(QStringLiteral(TAVRO_SIM_PATH), {QStringLiteral("--help")});
        QVERIFY(help.waitForFinished(10000));
        QCOMPARE(help.exitCode(), 0);
        const QString text = QString::fromUtf8(help.readAllStandardOutput());
        for (const char *expected : {"--link <path>", "--device <path>", "--quiet", "busy NUMBER",
                                     "piece N", "keeps running", "SIGTERM"})
            QVERIFY2(text.contains(QLatin1String(expected)), expected);
    }

    void endOfInputKeepsItRunning()
    {
        sim->closeInput();
        QVERIFY(sim->waitForOutput("end of standard input; still running"));
        expectOnlyAck();
        QCOMPARE(ask("r\r]"), response('r', {"1"}));
        QVERIFY(sim->stop(SIGTERM));
        QCOMPARE(sim->process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim->process().exitCode(), 0);
    }
};

// Start-up and shutdown: each test starts its own simulator.
class SimStartupTest : public QObject
{
    Q_OBJECT

private slots:
    void linkIsRemovedOnEveryWayOut()
    {
        QFETCH(int, signo);
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("com1"));
        SimProcess sim({QStringLiteral("--quiet"), QStringLiteral("--link"), link});
        QVERIFY2(sim.start(), qPrintable(sim.lastError()));
        QCOMPARE(QFileInfo(link).symLinkTarget(), sim.linePath());
        {
            HostLine host(link);
            QVERIFY(host.isOpen());
            host.write("t\r0\r]");
            QCOMPARE(host.readUntil("End\r\n"), response('t', {"0"}));
            QVERIFY(!sim.output().contains("host t"));
        }
        if (signo == 0) {
            sim.type(QStringLiteral("quit"));
            QTRY_VERIFY_WITH_TIMEOUT(sim.process().state() == QProcess::NotRunning, 5000);
        } else {
            QVERIFY(sim.stop(signo));
        }
        QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process().exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(sim.errors(), QString());
    }
    void linkIsRemovedOnEveryWayOut_data()
    {
        QTest::addColumn<int>("signo");
        QTest::newRow("quit") << 0;
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
        QTest::newRow("SIGQUIT") << int(SIGQUIT);
    }

    void aLiveLinkIsNotTakenOver()
    {
        QTemporaryDir dir;
        const QString link = dir.filePath(QStringLiteral("com1"));
        auto first = std::make_unique<SimProcess>(QStringList {QStringLiteral("--link"), link});
        QVERIFY2(first->start(), qPrintable(first->lastError()));

        SimProcess second({QStringLiteral("--link"), link});
        QVERIFY(!second.start());
        QTRY_VERIFY_WITH_TIMEOUT(second.process().state() == QProcess::NotRunning, 5000);
        QCOMPARE(second.process().exitCode(), 1);
        QVERIFY2(second.errors().contains(QStringLiteral("is held by a running simulator (pid %1)")
                                              .arg(first->process().processId())),
                 qPrintable(second.errors()));
        // The first still serves its link, and still removes it at the end.
        QCOMPARE(QFileInfo(link).symLinkTarget(), first->linePath());
        {
            HostLine host(link);
            host.write("[");
            QCOMPARE(host.readUntil("ACK\r\n"), QByteArray("ACK\r\n"));
        }
        QVERIFY(first->stop(SIGTERM));
        QVERIFY(!QFileInfo(link).isSymLink());
        QVERIFY(!QFileInfo::exists(link + QStringLiteral(".lock")));

        // One killed outright leaves its link and lock file: both are stale.
        first = std::make_unique<SimProcess>(QStringList {QStringLiteral("--link"), link});
        QVERIFY2(first->start(), qPrintable(first->lastError()));
        first->process().kill();
        QVERIFY(first->process().waitForFinished(5000));
        QVERIFY(QFileInfo(link).isSymLink());
        SimProcess third({QStringLiteral("--link"), link});
        QVERIFY2(third.start(), qPrintable(third.lastError()));
        QCOMPARE(QFileInfo(link).symLinkTarget(), third.linePath());
    }

    void linkReplacesOnlyAStaleLink()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("com1"));
        QVERIFY(QFile::link(QStringLiteral("/dev/tavro-gone"), path));
        {
            SimProcess sim({QStringLiteral("--link"), path});
            QVERIFY2(sim.start(), qPrintable(sim.lastError()));
            QCOMPARE(QFileInfo(path).symLinkTarget(), sim.linePath());
        }
        QVERIFY(!QFileInfo(path).isSymLink());

        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep me");
        file.close();
        SimProcess sim({QStringLiteral("--link"), path});
        QVERIFY(!sim.start());
        QTRY_VERIFY_WITH_TIMEOUT(sim.process().state() == QProcess::NotRunning, 5000);
        QCOMPARE(sim.process().exitCode(), 1);
        QVERIFY(sim.errors().contains("exists and is not a symbolic link"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("keep me"));
    }

    void deviceModeServesAnExistingLine()
    {
        // A pty slave stands in for the serial device; the test is the host
        // at the master side.
        PtyPair cable;
        QVERIFY(cable.isValid());
        SimProcess sim({QStringLiteral("--device"), cable.slavePath()});
        QVERIFY2(sim.start(), qPrintable(sim.lastError()));
        QCOMPARE(sim.linePath(), cable.slavePath());
        cable.write("[");
        QCOMPARE(cable.readUntil("ACK\r\n"), QByteArray("ACK\r\n"));
        cable.write("S\r7\r]s\r]");
        QCOMPARE(cable.readUntil("End\r\n"), response('s', {"7"}));
        sim.type(QStringLiteral("piece 5"));
        sim.type(QStringLiteral("call 0212345678 홍길동 1 O"));
        QByteArray call = cable.readUntil("End\r\n");
        QVERIFY2(call.endsWith(cp949(QStringLiteral("Name:홍길동\r\nGroup:1\r\nType:O\r\nEnd\r\n"))), call.constData());
        QVERIFY(sim.stop(SIGTERM));
        QCOMPARE(sim.process().exitCode(), 0);
        QCOMPARE(sim.errors(), QString());
    }

    void aControlFifoDrivesASimulatorInTheBackground()
    {
        QTemporaryDir dir;
        const QString control = dir.filePath(QStringLiteral("sim.ctl"));
        QFile stale(control);
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.close();
        // A plain file at the path is not taken for a FIFO.
        SimProcess refused({QStringLiteral("--control"), control});
        QVERIFY(!refused.start());
        QTRY_VERIFY_WITH_TIMEOUT(refused.process().state() == QProcess::NotRunning, 5000);
        QVERIFY(refused.errors().contains("is not a FIFO"));
        QVERIFY(QFile::remove(control));

        SimProcess sim({QStringLiteral("--control"), control});
        QVERIFY2(sim.start(), qPrintable(sim.lastError()));
        sim.closeInput();
        QVERIFY(sim.waitForOutput("end of standard input"));
        HostLine host(sim.linePath());
        QVERIFY(host.isOpen());
        // Two writers one after the other, as two `echo ... > PATH` would be.
        for (const QByteArray &line : {QByteArray("call 0212345678 홍길동 1 S\n"), QByteArray("lift\n")}) {
            const int fd = ::open(QFile::encodeName(control).constData(), O_WRONLY | O_NONBLOCK);
            QVERIFY(fd >= 0);
            QCOMPARE(::write(fd, line.constData(), size_t(line.size())), ssize_t(line.size()));
            ::close(fd);
        }
        const QByteArray call = host.readUntil("End\r\n");
        QVERIFY2(call.contains(cp949(QStringLiteral("Number:0212345678\r\nName:홍길동"))), call.constData());
        QCOMPARE(host.readUntil("End\r\n"), report('B'));
        QVERIFY(sim.stop(SIGTERM));
        QVERIFY(!QFileInfo::exists(control));
    }

    void missingDeviceFails()
    {
        SimProcess sim({QStringLiteral("--device"), QStringLiteral("/dev/tavro-no-such-device")});
        QVERIFY(!sim.start());
        QTRY_VERIFY_WITH_TIMEOUT(sim.process().state() == QProcess::NotRunning, 5000);
        QCOMPARE(sim.process().exitCode(), 1);
        QVERIFY(sim.errors().contains("cannot open /dev/tavro-no-such-device"));
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    int status = 0;
    {
        SimTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    {
        SimStartupTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    return status;
}

#include "tst_sim.moc"
