// How the console shows the control's events: log lines, the receive box,
// the debug window and the hook state.
#include "frmDebug.h"
#include "link_state.h"
#include "pty_pair.h"
#include "console_parts.h"
#include "tavro_test.h"
#include "tavro_var.h"
#include "text_box_appender.h"

#include <QListWidget>
#include <QPlainTextEdit>
#include <QStringEncoder>
#include <QtTest>

namespace {

const QString kCom1 = QStringLiteral("COM1");
const QString kBlock1 = QStringLiteral("COM1 데이터] ");

// A console with COM1 on a pty, the log emptied after start-up.
struct Console
{
    PtyPair terminal;
    tavro_test window{{{"COM1", terminal.slavePath()}, {"COM2", "/dev/tavro-no-such-device"}}};
    Console() { part<QListWidget>(window, "lstResult")->clear(); }

    QStringList log() const
    {
        QStringList lines;
        for (int i = 0; i < part<QListWidget>(window, "lstResult")->count(); ++i)
            lines << part<QListWidget>(window, "lstResult")->item(i)->text();
        return lines;
    }
    int lines() const { return part<QListWidget>(window, "lstResult")->count(); }
    void clear() { part<QListWidget>(window, "lstResult")->clear(); }
    void send(const QString &text) { terminal.write(QStringEncoder("windows-949").encode(text)); }

    QStringList response(qint16 msgType, const QString &rst1, const QString &rst2 = QString())
    {
        clear();
        emit part<tavro_m>(window, "tavro")->ReceiveResponse(kCom1, msgType, rst1, rst2, QStringLiteral("unused"));
        return log();
    }
};

QStringList block(const QStringList &body = {}, const QString &port = kBlock1)
{
    return QStringList({QStringLiteral(" "), port}) + body;
}

} // namespace

class EventPresentationTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { tavro::detail::resetLinkState(); }

    // From the terminal's bytes through the control to the operator's view.
    void eventsFromTheTerminal()
    {
        Console c;
        QVERIFY(c.terminal.isValid());
        c.send(QStringLiteral("Response\r\nt\r"));
        c.send(QStringLiteral("\n1\r\nEnd\r\n"));
        QTRY_COMPARE(c.log(), block({QStringLiteral("COM1] 알람 기능:설정")}));
        // The raw text, CR LF as one line break even when split between reads.
        QTRY_COMPARE(part<QPlainTextEdit>(c.window, "txtRx")->toPlainText(), QStringLiteral("Response\nt\n1\nEnd\n"));
        QVERIFY(part<QPlainTextEdit>(*debugWindow(), "txtDebug")->toPlainText().contains(QStringLiteral("전체수신데이터:")));

        c.clear();
        c.send(QStringLiteral("Response\r\nd\r\n0315\r\n1407\r\nEnd\r\n"));
        QTRY_COMPARE(c.log(), block({QStringLiteral("단말기 현재 날짜&일시:3월  15일   14시  7분")}));

        // A call without a name; a later handler sees the replacement in the record.
        QString nameSeen;
        QObject::connect(part<tavro_m>(c.window, "tavro"), &tavro_m::ReceiveCall,
                         [&](const QString &, qint16, CID_INFO &info) { nameSeen = info.lName; });
        c.clear();
        c.send(QStringLiteral("Report\r\nD\r\nTime:03151407\r\nNumber:0212345678\r\nName:\r\nGroup:0\r\n"
                              "Type:S\r\nEnd\r\n"));
        QTRY_COMPARE(c.log(), block({QStringLiteral(" 시간:3-15 14:7 번호:0212345678 이름:없슴 그룹:0 타입:NORMAL")}));
        QCOMPARE(nameSeen, QStringLiteral("없슴"));

        // Lifted, then put down: no opening block, the hook state follows.
        c.clear();
        c.send(QStringLiteral("Report\r\nB\r\nEnd\r\n"));
        QTRY_COMPARE(gHookState, qint16(-1));
        c.send(QStringLiteral("Report\r\nC\r\nEnd\r\n"));
        QTRY_COMPARE(c.log(), QStringList({QStringLiteral("COM1]수화기를 들었습니다."),
                                           QStringLiteral("COM1]수화기를 놓았습니다.")}));
        QCOMPARE(gHookState, qint16(0));

        // Lists: stored calls (no port name, empty name replaced), answer melodies.
        c.clear();
        c.send(QStringLiteral("Response\r\na\r\nTime:01020304\r\nNumber:0311112222\r\nName:홍길동\r\nGroup:2\r\n"
                              "Type:V\r\nTime:12311159\r\nNumber:P\r\nName:\r\nGroup:0\r\nType:P\r\nEnd\r\n"));
        QTRY_COMPARE(c.log(), block({QStringLiteral("#1   시간:1-2 3:4 번호:0311112222 이름:홍길동 그룹:2 타입:VIP"),
                                     QStringLiteral("#2   시간:12-31 11:59 번호:P 이름:서비스안함 그룹:0 타입:NO_DISP")}));
        c.clear();
        c.send(QStringLiteral("Response\r\np\r\n1\r\n3\r\n2\r\n7\r\nEnd\r\n"));
        QTRY_COMPARE(c.log(), block({QStringLiteral("COM1] #1   그룹:1 멜로디 번호:3 멜로디 곡명:산바람 강바람"),
                                     QStringLiteral("COM1] #2   그룹:2 멜로디 번호:7 멜로디 곡명:")}));
    }

    void responseLines()
    {
        Console c;
        QCOMPARE(c.response('i', QStringLiteral("1")), block({QStringLiteral("거부 기능:설정")}));
        QCOMPARE(c.response('i', QStringLiteral("0")), block({QStringLiteral("거부 기능:해제")}));
        QCOMPARE(c.response('i', QStringLiteral("2")), block({QStringLiteral("거부 기능:")}));
        QCOMPARE(c.response('i', QStringLiteral("01")), block({QStringLiteral("거부 기능:")}));
        QCOMPARE(c.response('h', QStringLiteral("1")), block({QStringLiteral("통화중 수신 기능능:설정")}));
        QCOMPARE(c.response('n', QStringLiteral("0")), block({QStringLiteral("응답 기능:해제")}));
        QCOMPARE(c.response('q', QStringLiteral("1")), block({QStringLiteral("응답번호만 수신 :설정")}));
        QCOMPARE(c.response('r', QStringLiteral("0")), block({QStringLiteral("버튼 소리:해제")}));
        QCOMPARE(c.response('u', QStringLiteral("1")), block({QStringLiteral("모든 번호 거부 기능:설정")}));
        QCOMPARE(c.response('x', QStringLiteral("1")), block({QStringLiteral("응답 멜로디 기능:설정")}));
        QCOMPARE(c.response('s', QStringLiteral("5")), block({QStringLiteral("LCD 밝기:5 ( 참조:값의 범위 1~8)")}));
        QCOMPARE(c.response('g', QStringLiteral("031")), block({QStringLiteral("(자기)지역번호:031")}));
        QCOMPARE(c.response('e', QStringLiteral("07:05")), block({QStringLiteral("알람 시간:7시  5분")}));
        QCOMPARE(c.response('d', QStringLiteral("12-01"), QStringLiteral("00:30")),
                 block({QStringLiteral("단말기 현재 날짜&일시:12월  1일   0시  30분")}));
        // Short or odd fields read as 0 rather than failing.
        QCOMPARE(c.response('d', QString(), QStringLiteral("x")),
                 block({QStringLiteral("단말기 현재 날짜&일시:0월  0일   0시  0분")}));
        // Not answers to a single-value query: the opening block only.
        QCOMPARE(c.response('j', QStringLiteral("1")), block());
        QCOMPARE(c.response(0, QStringLiteral("1")), block());

        // Melody titles: 1..6 named, 7 empty, anything else empty too.
        QCOMPARE(c.response('f', QStringLiteral("3")),
                 block({QStringLiteral("알람 멜로디:3번 입니다. 이것은 산바람 강바람 입니다.")}));
        QCOMPARE(c.response('f', QStringLiteral("6")),
                 block({QStringLiteral("알람 멜로디:6번 입니다. 이것은 초록바다 입니다.")}));
        for (const char *odd : {"7", "0", "9", "-1", "", "x", "32767"}) {
            const QString line = QStringLiteral("알람 멜로디:") + QLatin1String(odd)
                                 + QStringLiteral("번 입니다. 이것은  입니다.");
            QCOMPARE(c.response('f', QLatin1String(odd)), block({line}));
        }
        QCOMPARE(c.response('t', QStringLiteral("0")).last(), QStringLiteral("COM1] 알람 기능:해제"));
    }

    void callsAndLists()
    {
        Console c;
        CID_INFO call;
        call.lMonth = 3;
        call.lDay = 15;
        call.lHour = 14;
        call.lMin = 7;
        call.lNumber = QStringLiteral("0212345678");
        call.lGroup = -1;
        call.lTelType = QStringLiteral("BLACK");
        emit part<tavro_m>(c.window, "tavro")->ReceiveCall(QStringLiteral("COM2"), 2, call);
        QCOMPARE(c.log(), block({QStringLiteral(" 시간:3-15 14:7 번호:0212345678 이름:없슴 그룹:-1 타입:BLACK")},
                                QStringLiteral("COM2 데이터] ")));
        QCOMPARE(call.lName, QStringLiteral("없슴"));
        // Neither an incoming call nor one during a call: the block only, the record untouched.
        c.clear();
        CID_INFO other;
        emit part<tavro_m>(c.window, "tavro")->ReceiveCall(kCom1, 3, other);
        QCOMPARE(c.log(), block());
        QVERIFY(other.lName.isEmpty());

        auto list = std::make_unique<CID_INFO_ARRAY>();
        auto gathered = [&](qint16 max, qint16 kind) {
            c.clear();
            emit part<tavro_m>(c.window, "tavro")->ReceiveGatheredInfo(kCom1, max, kind, *list);
            return c.log();
        };
        (*list)[0].lNumber = QStringLiteral("0101234");
        (*list)[0].lGroup = 3;
        (*list)[0].lTelType = QStringLiteral("NORMAL");
        (*list)[1].lNumber = QStringLiteral("0209999");
        (*list)[1].lName = QStringLiteral("김");
        QCOMPARE(gathered(2, 'j'), block({QStringLiteral("COM1] #1   번호:0101234 이름:서비스안함 그룹:3 타입:NORMAL"),
                                          QStringLiteral("COM1] #2   번호:0209999 이름:김 그룹:0 타입:")}));
        QCOMPARE((*list)[0].lName, QStringLiteral("서비스안함"));
        (*list)[0].lName.clear();
        QCOMPARE(gathered(1, 'o'), block({QStringLiteral("COM1] #1   번호:0101234 이름:서비스안함 그룹:3 타입:NORMAL")}));
        QCOMPARE(gathered(0, 'a'), block());
        QCOMPARE(gathered(-5, 'a'), block());
        QCOMPARE(gathered(2, 'b'), block());

        // 'p' never replaces the name; it carries the melody number.
        (*list)[0].lName.clear();
        (*list)[1].lName = QStringLiteral("05");
        QCOMPARE(gathered(2, 'p'), block({QStringLiteral("COM1] #1   그룹:3 멜로디 번호: 멜로디 곡명:"),
                                          QStringLiteral("COM1] #2   그룹:0 멜로디 번호:05 멜로디 곡명:우산")}));
        QVERIFY((*list)[0].lName.isEmpty());

        // A count beyond the array stops at its end.
        QStringList lines = gathered(500, 'a');
        QCOMPARE(lines.size(), 2 + 61);
        QCOMPARE(lines.last(), QStringLiteral("#61   시간:0-0 0:0 번호: 이름:서비스안함 그룹:0 타입:"));
    }

    void rawAndDebugText()
    {
        Console c;
        emit part<tavro_m>(c.window, "tavro")->DebugMsg(QStringLiteral("portname="));
        emit part<tavro_m>(c.window, "tavro")->DebugMsg(QStringLiteral("COM1"));
        emit part<tavro_m>(c.window, "tavro")->DebugMsg(QStringLiteral("\r\n멜로디 번호:3"));
        QCOMPARE(part<QPlainTextEdit>(*debugWindow(), "txtDebug")->toPlainText(), QStringLiteral("portname=COM1\n멜로디 번호:3"));
        emit part<tavro_m>(c.window, "tavro")->ReceiveReal(QStringLiteral("COM2"), QStringLiteral("AC"));
        emit part<tavro_m>(c.window, "tavro")->ReceiveReal(kCom1, QStringLiteral("K\r"));
        emit part<tavro_m>(c.window, "tavro")->ReceiveReal(kCom1, QStringLiteral("\nx\ry"));
        QCOMPARE(part<QPlainTextEdit>(c.window, "txtRx")->toPlainText(), QStringLiteral("ACK\nx\ny"));
        QCOMPARE(c.lines(), 0); // neither goes to the log

        // With the debug window gone, a text makes a new one without showing it.
        delete debugWindow();
        emit part<tavro_m>(c.window, "tavro")->DebugMsg(QStringLiteral("again"));
        QVERIFY(debugWindow());
        QVERIFY(!debugWindow()->isVisible());
        QCOMPARE(part<QPlainTextEdit>(*debugWindow(), "txtDebug")->toPlainText(), QStringLiteral("again"));
    }

    // The log, the receive box and the debug window keep their newest lines
    // within fixed bounds, whatever arrives and however it is cut.
    void viewsStayBounded()
    {
        Console c;
        const int logLimit = tavro_test::kMaxLogLines;
        for (int i = 0; i < logLimit + 1200; ++i)
            c.window.addLog(QString::number(i));
        QVERIFY(c.lines() <= logLimit);
        QVERIFY(c.lines() >= logLimit - tavro_test::kLogTrimLines);
        const QStringList log = c.log();
        QCOMPARE(log.last(), QString::number(logLimit + 1199));
        QCOMPARE(log.first(), QString::number(logLimit + 1200 - c.lines())); // newest, in order

        // Whole buffers as under a burst: long texts of many short lines.
        QPlainTextEdit *debug = part<QPlainTextEdit>(*debugWindow(), "txtDebug");
        for (int message = 0; message < 120; ++message) {
            QString buffer = QStringLiteral("전체수신데이터:");
            for (int line = 0; line < 1000; ++line)
                buffer += QStringLiteral("m%1 l%2\r\n").arg(message).arg(line);
            emit part<tavro_m>(c.window, "tavro")->DebugMsg(buffer);
        }
        emit part<tavro_m>(c.window, "tavro")->DebugMsg(QStringLiteral("s1:idx=1\r\n")); // short, after them
        QTRY_VERIFY(debug->toPlainText().endsWith(QStringLiteral("m119 l999\ns1:idx=1\n")));
        QVERIFY(debug->document()->blockCount() <= TextBoxAppender::kMaxLines);
        const QStringList kept = debug->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(kept.mid(kept.size() - 5, 3), (QStringList {QStringLiteral("m119 l997"),
                                                             QStringLiteral("m119 l998"),
                                                             QStringLiteral("m119 l999")}));
        QVERIFY(!kept.contains(QStringLiteral("m0 l0"))); // the oldest went
        QCOMPARE(debug->document()->availableUndoSteps(), 0); // no history kept aside

        // Many short texts.
        for (int i = 0; i < TextBoxAppender::kMaxLines + 500; ++i)
            emit part<tavro_m>(c.window, "tavro")->DebugMsg(QStringLiteral("portname=COM1\r\n"));
        emit part<tavro_m>(c.window, "tavro")->DebugMsg(QStringLiteral("last\r\n"));
        QTRY_VERIFY(debug->toPlainText().endsWith(QStringLiteral("portname=COM1\nlast\n")));
        QVERIFY(debug->document()->blockCount() <= TextBoxAppender::kMaxLines);

        // Noise without a single line break, in the receive box.
        const QString noise(3000, QLatin1Char('x'));
        for (int i = 0; i < 1000; ++i)
            emit part<tavro_m>(c.window, "tavro")->ReceiveReal(kCom1, noise);
        emit part<tavro_m>(c.window, "tavro")->ReceiveReal(kCom1, QStringLiteral("END"));
        QTRY_VERIFY(part<QPlainTextEdit>(c.window, "txtRx")->toPlainText().endsWith(QStringLiteral("xxxEND")));
        QVERIFY(part<QPlainTextEdit>(c.window, "txtRx")->document()->characterCount()
                <= TextBoxAppender::kMaxChars);
        for (const QString &line : part<QPlainTextEdit>(c.window, "txtRx")->toPlainText().split(QLatin1Char('\n')))
            QVERIFY(line.size() <= TextBoxAppender::kMaxLineChars);
        QCOMPARE(part<QPlainTextEdit>(c.window, "txtRx")->document()->availableUndoSteps(), 0);
    }
};

QTEST_MAIN(EventPresentationTest)
#include "tst_event_presentation.moc"
