// The console's main window: start-up, port choice, buttons, raw transmit,
// the log list and the debug window.
#include "control_private.h"
#include "fake_slot.h"
#include "frmDebug.h"
#include "link_state.h"
#include "pty_pair.h"
#include "console_parts.h"
#include "tavro_test.h"
#include "tavro_var.h"

#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStringEncoder>
#include <QTimer>
#include <QtTest>

namespace {

const QString kMissing = QStringLiteral("/dev/tavro-no-such-device");

QStringList logLines(const tavro_test &window)
{
    QStringList lines;
    for (int i = 0; i < part<QListWidget>(window, "lstResult")->count(); ++i)
        lines << part<QListWidget>(window, "lstResult")->item(i)->text();
    return lines;
}

// A device that takes nothing: every write fails with the system's reason.
class RefusingSlot : public FakeSlot
{
public:
    bool write(const QString &, QString *error) override
    {
        *error = QStringLiteral("Input/output error");
        return false;
    }
};

bool isOpen(tavro_m &control, const char *name)
{
    QString port = QString::fromLatin1(name);
    return control.ComPortStateGet(port);
}

} // namespace

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { tavro::detail::resetLinkState(); }

    void startUpOpensCom1AndCom2()
    {
        PtyPair one, two, three;
        QVERIFY(one.isValid() && two.isValid() && three.isValid());
        gHookState = -1;
        tavro_test window({{"COM1", one.slavePath()}, {"COM2", two.slavePath()},
                           {"COM3", three.slavePath()}, {"COM4", kMissing}});
        QCOMPARE(logLines(window), QStringList({QStringLiteral("포트 COM1으로 TAVRO OPEN에 성공했습니다."),
                                                QStringLiteral("포트 COM2으로 TAVRO OPEN에 성공했습니다.")}));
        QVERIFY(isOpen(*part<tavro_m>(window, "tavro"), "COM1") && isOpen(*part<tavro_m>(window, "tavro"), "COM2"));
        QVERIFY(!isOpen(*part<tavro_m>(window, "tavro"), "COM3")); // mapped and present, but never opened
        QCOMPARE(window.gCurrentCOMPort, QStringLiteral("COM1"));
        QCOMPARE(gPortNames[1], QStringLiteral("COM1"));
        QCOMPARE(gPortNames[4], QStringLiteral("COM4"));
        QCOMPARE(gHookState, qint16(0));
        QVERIFY(!part<QTimer>(window, "timerHook")->isActive());
        QCOMPARE(gMelodyTitles[2], QStringLiteral("산바람 강바람"));
        QCOMPARE(gMelodyTitles[5], QStringLiteral("초록바다"));
        QVERIFY(gMelodyTitles[6].isEmpty());

        // The debug window is up before the main window is shown.
        QVERIFY(debugWindow() && debugWindow()->isVisible());
        QCOMPARE(debugWindow()->windowTitle(), QStringLiteral("OCX 디버깅 메시지"));
        QCOMPARE(window.windowTitle(), QStringLiteral("tavro 시험용 프로그램"));
        QVERIFY(window.findChild<tavro_m *>(QStringLiteral("tavro")));
        QCOMPARE(window.findChildren<tavro_m *>().size(), 1); // one control, named tavro
        for (const char *name : {"cbComPort", "cmdOpenTavro", "cmdCloseTavro", "cmdCOMPortState",
                                 "cmdClearScreen", "cmdExit", "Label2", "lstResult", "lblTx", "lblRx",
                                 "txtTx", "txtRx", "Line1"})
            QVERIFY2(window.findChild<QWidget *>(QLatin1String(name)), name);
        QCOMPARE(part<QComboBox>(window, "cbComPort")->currentText(), QStringLiteral("포트설정"));

        // Fixed client area below the menu bar, controls at their twip places.
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(window.centralWidget()->size(), QSize(674, 703));
        QVERIFY(window.centralWidget()->geometry().top() > window.menuBar()->geometry().bottom());
        QCOMPARE(part<QListWidget>(window, "lstResult")->geometry(), QRect(16, 88, 641, 326));
        QCOMPARE(part<QPushButton>(window, "cmdExit")->palette().color(QPalette::Button), QColor(128, 255, 128));
        // The debug window stands beside the main window, not on it.
        QVERIFY(debugWindow()->x() > window.frameGeometry().right());
        // Tab order: open, close, log, receive box, transmit box, state, exit, clear, port.
        QWidget *expected[] = {part<QPushButton>(window, "cmdCloseTavro"), part<QListWidget>(window, "lstResult"), part<QPlainTextEdit>(window, "txtRx"), part<QLineEdit>(window, "txtTx"),
                               part<QPushButton>(window, "cmdCOMPortState"), part<QPushButton>(window, "cmdExit"), part<QPushButton>(window, "cmdClearScreen"),
                               part<QComboBox>(window, "cbComPort")};
        QWidget *w = part<QPushButton>(window, "cmdOpenTavro");
        for (QWidget *next : expected) {
            w = w->nextInFocusChain();
            while (w->focusPolicy() == Qt::NoFocus || w->parentWidget() != window.centralWidget())
                w = w->nextInFocusChain();
            QCOMPARE(w, next);
        }
    }

    void startUpWithoutPorts()
    {
        tavro_test window({{"COM1", kMissing}, {"COM2", kMissing + '2'}});
        QCOMPARE(logLines(window), QStringList({QStringLiteral("포트 COM1으로 TAVRO OPEN에 실패했습니다."),
                                                QStringLiteral("포트 COM2으로 TAVRO OPEN에 실패했습니다.")}));
        // Still usable: the port state lists all four ports, in order.
        QTest::mouseClick(part<QPushButton>(window, "cmdCOMPortState"), Qt::LeftButton);
        QCOMPARE(logLines(window).mid(2), QStringList({QStringLiteral("COM1 포트가 close 되어 있습니다."),
                                                       QStringLiteral("COM2 포트가 close 되어 있습니다."),
                                                       QStringLiteral("COM3 포트가 close 되어 있습니다."),
                                                       QStringLiteral("COM4 포트가 close 되어 있습니다.")}));
    }

    void portChoiceAndButtons()
    {
        PtyPair one, two;
        tavro_test window({{"COM1", one.slavePath()}, {"COM2", two.slavePath()}});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        part<QListWidget>(window, "lstResult")->clear();

        // Typing: only exactly "COM1" or "COM2" counts.
        QLineEdit *edit = part<QComboBox>(window, "cbComPort")->lineEdit();
        edit->clear();
        QTest::keyClicks(edit, QStringLiteral("COM2"));
        QCOMPARE(window.gCurrentCOMPort, QStringLiteral("COM2"));
        edit->clear();
        QTest::keyClicks(edit, QStringLiteral("COM3")); // no completion to "COM1" on the way
        QCOMPARE(window.gCurrentCOMPort, QStringLiteral("COM2"));
        for (const char *text : {"com1", "COM1 ", " COM1", ""}) {
            edit->setText(QLatin1String(text));
            QCOMPARE(window.gCurrentCOMPort, QStringLiteral("COM2"));
        }
        // Picking from the list runs the same rule.
        part<QComboBox>(window, "cbComPort")->setFocus();
        QTest::keyClick(part<QComboBox>(window, "cbComPort"), Qt::Key_Down);
        QTest::keyClick(part<QComboBox>(window, "cbComPort"), Qt::Key_Up);
        QCOMPARE(part<QComboBox>(window, "cbComPort")->currentText(), QStringLiteral("COM1"));
        QCOMPARE(window.gCurrentCOMPort, QStringLiteral("COM1"));
        QTest::keyClick(part<QComboBox>(window, "cbComPort"), Qt::Key_Down);
        QCOMPARE(window.gCurrentCOMPort, QStringLiteral("COM2"));
        QVERIFY(part<QListWidget>(window, "lstResult")->count() == 0); // choosing logs nothing

        // COM2 is open since start-up, so opening it again is reported as a failure.
        QTest::mouseClick(part<QPushButton>(window, "cmdOpenTavro"), Qt::LeftButton);
        QTest::mouseClick(part<QPushButton>(window, "cmdCloseTavro"), Qt::LeftButton);
        QTest::mouseClick(part<QPushButton>(window, "cmdCOMPortState"), Qt::LeftButton);
        QTest::mouseClick(part<QPushButton>(window, "cmdOpenTavro"), Qt::LeftButton);
        QCOMPARE(logLines(window), QStringList({QStringLiteral("포트 COM2으로 TAVRO OPEN에 실패했습니다."),
                                                QStringLiteral("포트 COM2으로 TAVRO CLOSE에 성공했습니다."),
                                                QStringLiteral("COM1 포트가 OPEN 되어 있습니다."),
                                                QStringLiteral("COM2 포트가 close 되어 있습니다."),
                                                QStringLiteral("COM3 포트가 close 되어 있습니다."),
                                                QStringLiteral("COM4 포트가 close 되어 있습니다."),
                                                QStringLiteral("포트 COM2으로 TAVRO OPEN에 성공했습니다.")}));
        QVERIFY(isOpen(*part<tavro_m>(window, "tavro"), "COM2"));

        // Clearing empties the log only.
        emit part<tavro_m>(window, "tavro")->ReceiveReal(QStringLiteral("COM1"), QStringLiteral("raw"));
        emit part<tavro_m>(window, "tavro")->DebugMsg(QStringLiteral("diag"));
        QTest::mouseClick(part<QPushButton>(window, "cmdClearScreen"), Qt::LeftButton);
        QCOMPARE(part<QListWidget>(window, "lstResult")->count(), 0);
        QCOMPARE(part<QPlainTextEdit>(window, "txtRx")->toPlainText(), QStringLiteral("raw"));
        QCOMPARE(part<QPlainTextEdit>(*debugWindow(), "txtDebug")->toPlainText(), QStringLiteral("diag"));

        // Exit closes all four ports and both windows, and asks the program to end.
        QSignalSpy exitSpy(&window, &tavro_test::exitRequested);
        QTest::mouseClick(part<QPushButton>(window, "cmdExit"), Qt::LeftButton);
        QCOMPARE(exitSpy.size(), 1);
        for (const char *name : {"COM1", "COM2", "COM3", "COM4"})
            QVERIFY(!isOpen(*part<tavro_m>(window, "tavro"), name));
        QVERIFY(!window.isVisible());
        QVERIFY(!debugWindow()->isVisible());
        QCOMPARE(part<QListWidget>(window, "lstResult")->count(), 0);
    }

    void keysGoToCom1()
    {
        PtyPair one, two;
        tavro_test window({{"COM1", one.slavePath()}, {"COM2", two.slavePath()}});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        part<QComboBox>(window, "cbComPort")->setEditText(QStringLiteral("COM2"));
        QCOMPARE(window.gCurrentCOMPort, QStringLiteral("COM2"));

        QTest::keyClicks(part<QLineEdit>(window, "txtTx"), QStringLiteral("AB"));
        QTest::keyClick(part<QLineEdit>(window, "txtTx"), Qt::Key_Return);
        QTest::keyClick(part<QLineEdit>(window, "txtTx"), Qt::Key_Backspace);
        // A key that carries a Hangul syllable, then one committed by an input method.
        QKeyEvent key(QEvent::KeyPress, 0, Qt::NoModifier, QStringLiteral("똠"));
        QApplication::sendEvent(part<QLineEdit>(window, "txtTx"), &key);
        QInputMethodEvent composed;
        composed.setCommitString(QStringLiteral("한"));
        QApplication::sendEvent(part<QLineEdit>(window, "txtTx"), &composed);
        const QByteArray hangul = QStringEncoder("windows-949").encode(QStringLiteral("똠한"));
        const QByteArray expected = QByteArray("AB\r\b") + hangul;
        QCOMPARE(one.readAtLeast(expected.size()), expected);
        QCOMPARE(two.readAvailable(), QByteArray()); // the current port does not matter
        QCOMPARE(part<QLineEdit>(window, "txtTx")->text(), QStringLiteral("A똠한")); // the keys landed too
        QCOMPARE(part<QListWidget>(window, "lstResult")->count(), 2);              // nothing logged

        // COM1 closed: each key is logged as not sent, and still lands in the box.
        QString com1 = QStringLiteral("COM1"), error;
        part<tavro_m>(window, "tavro")->CloseTavro(com1, error);
        QTest::keyClicks(part<QLineEdit>(window, "txtTx"), QStringLiteral("xy"));
        QCOMPARE(part<QLineEdit>(window, "txtTx")->text(), QStringLiteral("A똠한xy"));
        QCOMPARE(logLines(window).mid(2),
                 QStringList(2, QStringLiteral("COM1 포트가 열려 있지 않아 보내지 못했습니다.")));
    }

    // "포트설정" shows without an entry behind it, so the first Down picks COM1.
    void portBoxStartsWithoutEntry()
    {
        PtyPair one, two;
        tavro_test window({{"COM1", one.slavePath()}, {"COM2", two.slavePath()}});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QCOMPARE(part<QComboBox>(window, "cbComPort")->currentText(), QStringLiteral("포트설정"));
        QCOMPARE(part<QComboBox>(window, "cbComPort")->currentIndex(), -1);
        part<QComboBox>(window, "cbComPort")->setFocus();
        QTest::keyClick(part<QComboBox>(window, "cbComPort"), Qt::Key_Down);
        QCOMPARE(part<QComboBox>(window, "cbComPort")->currentText(), QStringLiteral("COM1"));
        QCOMPARE(window.gCurrentCOMPort, QStringLiteral("COM1"));
        QTest::keyClick(part<QComboBox>(window, "cbComPort"), Qt::Key_Down);
        QCOMPARE(window.gCurrentCOMPort, QStringLiteral("COM2"));
    }

    // A key that COM1 does not take is logged in Korean, without the
    // system's English reason.
    void failedKeyIsLoggedInKorean()
    {
        tavro_test window({{"COM1", kMissing}, {"COM2", kMissing}});
        // COM1's slot exists since start-up; put an open, refusing one in its place.
        auto refusing = std::make_unique<RefusingSlot>();
        QVERIFY(refusing->open(kMissing, nullptr));
        tavro::detail::ControlAccess::of(*part<tavro_m>(window, "tavro")).mscTavroPort[0] = std::move(refusing);
        QVERIFY(isOpen(*part<tavro_m>(window, "tavro"), "COM1"));
        part<QListWidget>(window, "lstResult")->clear();
        QTest::keyClicks(part<QLineEdit>(window, "txtTx"), QStringLiteral("a"));
        QCOMPARE(logLines(window), QStringList(QStringLiteral("COM1 포트로 보내지 못했습니다.")));
    }

    void logKeepsNewestLineInView()
    {
        tavro_test window({{"COM1", kMissing}, {"COM2", kMissing}});
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QScrollBar *bar = part<QListWidget>(window, "lstResult")->verticalScrollBar();
        for (int i = 0; i < 200; ++i)
            window.addLog(QString::number(i));
        QVERIFY(bar->maximum() > 0);
        QCOMPARE(bar->value(), bar->maximum());

        // The operator scrolls up to read: new lines do not pull the view away.
        bar->setValue(10);
        for (int i = 0; i < 20; ++i)
            window.addLog(QStringLiteral("more"));
        QCOMPARE(bar->value(), 10);
        // Back at the end, the view follows again.
        bar->setValue(bar->maximum());
        window.addLog(QStringLiteral("last"));
        QCOMPARE(bar->value(), bar->maximum());
        QVERIFY(part<QListWidget>(window, "lstResult")->visualItemRect(part<QListWidget>(window, "lstResult")->item(part<QListWidget>(window, "lstResult")->count() - 1))
                    .intersects(part<QListWidget>(window, "lstResult")->viewport()->rect()));
    }

    void hookTimerCountsTicks()
    {
        tavro_test window({{"COM1", kMissing}, {"COM2", kMissing}});
        part<QTimer>(window, "timerHook")->setInterval(5);
        part<QTimer>(window, "timerHook")->start();
        QTRY_VERIFY(window.gTimerHookCnt >= 3);
        part<QTimer>(window, "timerHook")->stop();
        QVERIFY(part<QListWidget>(window, "lstResult")->count() == 2); // ticks show nothing
    }

    void debugWindowResizeRule()
    {
        QCOMPARE(frmDebug::txtDebugRect(QSize(900, 600)), QRect(100, 100, 700, 400));
        QCOMPARE(frmDebug::txtDebugRect(QSize(150, 250)), QRect(100, 100, 0, 50));
        QCOMPARE(frmDebug::txtDebugRect(QSize(0, 0)), QRect(100, 100, 0, 0));

        frmDebug debug;
        debug.show();
        QVERIFY(QTest::qWaitForWindowExposed(&debug));
        // 8925 x 6405 twips at design: 100 twips (7 px) in from every edge.
        QCOMPARE(debug.size(), QSize(595, 427));
        QCOMPARE(part<QPlainTextEdit>(debug, "txtDebug")->geometry(), QRect(7, 7, 582, 414));
        debug.resize(600, 420);
        QTRY_COMPARE(part<QPlainTextEdit>(debug, "txtDebug")->geometry(), QRect(7, 7, 587, 407));
        debug.resize(10, 12); // smaller than the margins
        QTRY_COMPARE(part<QPlainTextEdit>(debug, "txtDebug")->size(), QSize(0, 0));
    }

    void portMapOptions()
    {
        QString error;
        const auto map = tavro_test::parsePortMapOptions(
            {QStringLiteral("COM1=/dev/ttyUSB0"), QStringLiteral("COM3=/tmp/a=b"),
             QStringLiteral("COM1=/dev/ttyUSB1")},
            &error);
        QVERIFY(map);
        QCOMPARE(map->size(), 2);
        QCOMPARE(map->value(QStringLiteral("COM1")), QStringLiteral("/dev/ttyUSB1")); // the last one wins
        QCOMPARE(map->value(QStringLiteral("COM3")), QStringLiteral("/tmp/a=b"));
        QVERIFY(tavro_test::parsePortMapOptions({}, &error)->isEmpty());

        for (const char *bad : {"COM5=/dev/x", "com1=/dev/x", "COM1", "COM1=", "=/dev/x", " COM1=/dev/x"}) {
            error.clear();
            QVERIFY2(!tavro_test::parsePortMapOptions({QLatin1String(bad)}, &error), bad);
            QVERIFY(error.contains(QLatin1String(bad)));
        }
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_main_window.moc"
