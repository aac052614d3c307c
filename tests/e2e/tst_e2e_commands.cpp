// The device link against tavro_sim over a pty: every command letter of the
// vocabulary goes out through SendCmd; every setting is set, queried and the
// decoded answer compared.
#include "link_rig.h"

#include <QtTest>

namespace {

const QString kNotImplemented = QStringLiteral("구현되지 않은 명령입니다(단말기에서 직접 설정해주세요)");
const QString kNoAnswer = QStringLiteral("TAVRO 단말기와 통신이 안됨");

const char *const kAreaNumbers[16] = {"02",  "031", "032", "033", "041", "042", "043", "051",
                                      "052", "053", "054", "055", "061", "062", "063", "064"};

} // namespace

class E2eCommandsTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<LinkRig> rig;

    // Sends the query and returns its decoded answer; when none comes, an
    // empty event (msgType 0, kind 0) that the caller's comparison rejects.
    ResponseEvent query(char letter, const QString &para1 = {})
    {
        const qsizetype before = rig->responses.size();
        if (!rig->ask(letter, para1) || rig->responses.size() <= before) {
            qWarning("no response to '%c': %s", letter, qPrintable(rig->lastSendError()));
            return {};
        }
        return rig->responses.last();
    }

    ListEvent list(char letter)
    {
        const qsizetype before = rig->lists.size();
        if (!rig->ask(letter) || rig->lists.size() <= before) {
            qWarning("no list for '%c': %s", letter, qPrintable(rig->lastSendError()));
            return {};
        }
        return rig->lists.last();
    }

private slots:
    void init()
    {
        rig = std::make_unique<LinkRig>();
        QVERIFY(rig->start());
    }

    void cleanup() { rig.reset(); }

    void switchesSetThenQuery()
    {
        const QList<QPair<char, QString>> switches = {
            {'H', {}}, {'I', {}}, {'N', {}}, {'Q', {}}, {'R', {}}, {'T', "0"}, {'U', "0"}, {'X', {}}};
        for (const auto &[set, queryPara] : switches) {
            const char letter = char(set - 'A' + 'a');
            for (const QString value : {"1", "0", "1"}) {
                QVERIFY2(rig->send(set, value), qPrintable(rig->lastSendError()));
                const ResponseEvent answer = query(letter, queryPara);
                QCOMPARE(answer.port, QStringLiteral("COM1"));
                QCOMPARE(answer.msgType, int(letter));
                QCOMPARE(answer.rst1, value);
                QCOMPARE(answer.rst2, QString());
                QCOMPARE(answer.rst3, QString());
            }
        }
        QVERIFY(rig->sim().waitForOutput("host X 1: answer melody on"));
        QCOMPARE(rig->calls.size() + rig->hooks.size() + rig->lists.size(), 0);
    }

    void valuesSetThenQuery()
    {
        QString port = QStringLiteral("COM1"), date = QStringLiteral("03-15"), time = QStringLiteral("10:30"), none;
        char cmd = 'D';
        QVERIFY(rig->control().SendCmd(port, cmd, date, time, none));
        QCOMPARE(date, QStringLiteral("0315")); // written back as sent
        ResponseEvent answer = query('d');
        QCOMPARE(answer.msgType, int('d'));
        QCOMPARE(answer.rst1, QStringLiteral("03-15"));
        QCOMPARE(answer.rst2, QStringLiteral("10:30"));

        QVERIFY(rig->send('E', QStringLiteral("07:05")));
        answer = query('e');
        QCOMPARE(answer.msgType, int('e'));
        QCOMPARE(answer.rst1, QStringLiteral("07:05"));

        // The link warns that a terminal may ignore 'F'; this one applies it.
        QVERIFY(rig->send('F', QStringLiteral("3")));
        answer = query('f');
        QCOMPARE(answer.rst1, QStringLiteral("3"));

        for (const QString value : {"8", "1"}) {
            QVERIFY(rig->send('S', value));
            answer = query('s');
            QCOMPARE(answer.msgType, int('s'));
            QCOMPARE(answer.rst1, value);
        }

        // Every row of the area table: 'G' goes out as the code, 'g' comes back as the slot.
        for (const char *area : kAreaNumbers) {
            QVERIFY2(rig->send('G', QLatin1String(area)), area);
            answer = query('g');
            QCOMPARE(answer.msgType, int('g'));
            QCOMPARE(answer.rst1, QLatin1String(area));
        }
        QVERIFY(rig->sim().waitForOutput("host G f: area number 064"));
        QCOMPARE(rig->sim().errors(), QString());
    }

    void notImplementedTextAfterF()
    {
        QString port = QStringLiteral("COM1"), melody = QStringLiteral("5"), none;
        char cmd = 'F';
        QVERIFY(rig->control().SendCmd(port, cmd, melody, none, none));
        QCOMPARE(rig->control().GetCurrentErrorMsg(), kNotImplemented);
        QVERIFY(rig->sim().waitForOutput("host F 5: alarm melody 5"));
    }

    void storedCallsAndDeletion()
    {
        QVERIFY(rig->send('D', QStringLiteral("12-24"), QStringLiteral("23:59")));
        QVERIFY(rig->sim().waitForOutput("clock set to 12-24 23:59"));
        QVERIFY(rig->typeAndWait(QStringLiteral("call 0212345678 홍길동 2 V")));
        QVERIFY(rig->typeAndWait(QStringLiteral("busy 0319998888 똠 3 C")));
        QVERIFY(rig->typeAndWait(QStringLiteral("call 0212345678 홍길동 2")));

        ListEvent calls = list('a');
        QCOMPARE(calls.port, QStringLiteral("COM1"));
        QCOMPARE(calls.kind, int('a'));
        QCOMPARE(calls.max, 3);
        QCOMPARE(calls.entries.size(), 3);
        const CID_INFO &newest = calls.entries[0];
        QCOMPARE(newest.lMonth, qint16(12));
        QCOMPARE(newest.lDay, qint16(24));
        QCOMPARE(newest.lHour, qint16(23));
        QCOMPARE(newest.lMin, qint16(59));
        QCOMPARE(newest.lNumber, QStringLiteral("0212345678"));
        QCOMPARE(newest.lName, QStringLiteral("홍길동"));
        QCOMPARE(newest.lGroup, qint16(2));
        QCOMPARE(newest.lTelType, QStringLiteral("NORMAL"));
        QCOMPARE(calls.entries[1].lNumber, QStringLiteral("0319998888"));
        QCOMPARE(calls.entries[1].lName, QStringLiteral("똠"));
        QCOMPARE(calls.entries[1].lTelType, QStringLiteral("PUBLIC"));
        QCOMPARE(calls.entries[2].lTelType, QStringLiteral("VIP"));

        QVERIFY(rig->send('B', QStringLiteral("0212345678")));
        calls = list('a');
        QCOMPARE(calls.max, 1);
        QCOMPARE(calls.entries.size(), 1);
        QCOMPARE(calls.entries[0].lNumber, QStringLiteral("0319998888"));
        QCOMPARE(calls.entries[0].lGroup, qint16(3));

        QVERIFY(rig->send('B', QStringLiteral("ALL")));
        QCOMPARE(list('a').max, 0);
    }

    void rejectedNumbersAddAndDelete()
    {
        QVERIFY(rig->send('D', QStringLiteral("01-02"), QStringLiteral("03:04")));
        QVERIFY(rig->send('J', QStringLiteral("0212345678"), QStringLiteral("1")));
        QVERIFY(rig->send('J', QStringLiteral("0517654321"), QStringLiteral("1")));
        ListEvent rejected = list('j');
        QCOMPARE(rejected.kind, int('j'));
        QCOMPARE(rejected.max, 2);
        QCOMPARE(rejected.entries.size(), 2);
        QCOMPARE(rejected.entries[0].lNumber, QStringLiteral("0212345678"));
        QCOMPARE(rejected.entries[1].lNumber, QStringLiteral("0517654321"));
        QCOMPARE(rejected.entries[1].lTelType, QStringLiteral("BLACK"));
        QCOMPARE(rejected.entries[1].lMonth, qint16(1));
        QCOMPARE(rejected.entries[1].lDay, qint16(2));
        QCOMPARE(rejected.entries[1].lHour, qint16(3));
        QCOMPARE(rejected.entries[1].lMin, qint16(4));

        QVERIFY(rig->send('J', QStringLiteral("0212345678"), QStringLiteral("0")));
        rejected = list('j');
        QCOMPARE(rejected.max, 1);
        QCOMPARE(rejected.entries.size(), 1);
        QCOMPARE(rejected.entries[0].lNumber, QStringLiteral("0517654321"));
        QVERIFY(rig->send('J', QStringLiteral("0517654321"), QStringLiteral("0")));
        QCOMPARE(list('j').max, 0);
    }

    void answerNumbersAndMelodies()
    {
        rig->sim().type(QStringLiteral("answer add 0212345678 \"응답 하나\" 4"));
        rig->sim().type(QStringLiteral("answer add 0319998888 - 6"));
        QVERIFY(rig->sim().waitForOutput("2 in all"));
        const ListEvent numbers = list('o');
        QCOMPARE(numbers.kind, int('o'));
        QCOMPARE(numbers.max, 2);
        QCOMPARE(numbers.entries.size(), 2);
        QCOMPARE(numbers.entries[0].lNumber, QStringLiteral("0212345678"));
        QCOMPARE(numbers.entries[0].lName, QStringLiteral("응답 하나"));
        QCOMPARE(numbers.entries[0].lGroup, qint16(4));
        QCOMPARE(numbers.entries[1].lNumber, QStringLiteral("0319998888"));
        QCOMPARE(numbers.entries[1].lGroup, qint16(6));

        QVERIFY(rig->send('P', QStringLiteral("2"), QStringLiteral("5")));
        QVERIFY(rig->send('P', QStringLiteral("6"), QStringLiteral("3")));
        const ListEvent melodies = list('p');
        QCOMPARE(melodies.kind, int('p'));
        QCOMPARE(melodies.max, 6);
        QCOMPARE(melodies.entries.size(), 6);
        const QStringList expected = {"1", "5", "1", "1", "1", "3"};
        for (int g = 0; g < 6; ++g) {
            QCOMPARE(melodies.entries[g].lGroup, qint16(g + 1));
            QCOMPARE(melodies.entries[g].lName, expected[g]);
        }
    }

    void dialAndHookFlashNeedTheHandset()
    {
        QVERIFY(rig->send('C', QStringLiteral("0311112222")));
        QVERIFY(rig->sim().waitForOutput("host C 0311112222: not dialled: the handset is down"));
        QVERIFY(rig->typeAndWait(QStringLiteral("lift")));
        QCOMPARE(rig->hooks.size(), 1);
        QVERIFY(rig->hooks[0].lifted);
        QVERIFY(rig->send('C', QStringLiteral("0311112222")));
        QVERIFY(rig->sim().waitForOutput("host C 0311112222: dialling 0311112222"));
        QVERIFY(rig->send('Y'));
        QVERIFY(rig->sim().waitForOutput("host Y: hook flash"));
        QCOMPARE(rig->sim().errors(), QString());
    }

    void silentTerminalTimesOut()
    {
        rig->sim().type(QStringLiteral("silence on"));
        QVERIFY(rig->sim().waitForOutput("silence on"));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!rig->send('t', QStringLiteral("0")));
        QCOMPARE(rig->lastSendError(), kNoAnswer);
        QVERIFY2(timer.elapsed() >= 4500, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(rig->sim().waitForOutput("host [: not answered"));

        rig->sim().type(QStringLiteral("silence off"));
        QVERIFY(rig->sim().waitForOutput("silence off"));
        QCOMPARE(query('t', QStringLiteral("0")).rst1, QStringLiteral("0"));
    }
};

QTEST_GUILESS_MAIN(E2eCommandsTest)
#include "tst_e2e_commands.moc"
