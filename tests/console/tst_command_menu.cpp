// The command menu: its tree, every item through QAction::trigger, the lines
// it logs and the bytes that reach a terminal played on a pty.
#include "ack_peer.h"
#include "dlgDateTime.h"
#include "dlgMelody.h"
#include "dlgNumber.h"
#include "link_state.h"
#include "pty_pair.h"
#include "console_parts.h"
#include "tavro_test.h"
#include "tavro_var.h"

#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <ctime>
#include <functional>
#include <memory>

namespace {

const QString kSent = QStringLiteral("    --> 명령 송신 성공");
const QString kNotSent = QStringLiteral("    --> 명령 송신 실패");
const QString kWaitNotice =
    QStringLiteral("정보가 많은 경우 시간이 걸릴수 있습니다(5초정도 기다리세요)");
const QString kLiftHandset = QStringLiteral("수화기를 들어 주세요");
const QString kGiveUp =
    QStringLiteral("10초 동안 수화기를 들지 않아서 전화걸기 시도를 중지 합니다.");
const QByteArray kHandsetLifted = "Report\r\nB\r\nEnd\r\n";

// exec() blocks, so the driver is queued before the item opens its dialog
// and runs inside the dialog's modal loop. A driver that leaves the dialog
// open (a failed check returns early) has it rejected, so no fault hangs.
template <typename Dialog>
class ModalDriver
{
public:
    explicit ModalDriver(std::function<void(Dialog *)> drive)
        : m_drive(std::move(drive))
    {
        m_timer.setSingleShot(true);
        QObject::connect(&m_timer, &QTimer::timeout, [this] {
            auto *dialog = qobject_cast<Dialog *>(QApplication::activeModalWidget());
            if (!dialog)
                return;
            seen = true;
            m_drive(dialog);
            if (dialog->isVisible())
                dialog->QDialog::reject();
        });
        m_timer.start(0);
    }

    bool seen = false;

private:
    std::function<void(Dialog *)> m_drive;
    QTimer m_timer;
};

void clickOk(QDialog *dialog)
{
    QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("OKButton")),
                      Qt::LeftButton);
}

void clickCancel(QDialog *dialog)
{
    QTest::mouseClick(dialog->findChild<QPushButton *>(QStringLiteral("CancelButton")),
                      Qt::LeftButton);
}

// "[" and then the frame: command byte, CR, each parameter and CR, "]".
QByteArray wire(const QByteArray &frameBody)
{
    return "[" + frameBody;
}

// The menu as the operator sees it: one line per entry, nested entries
// indented, "name caption" (separators "name -").
void describeMenu(const QList<QAction *> &actions, int depth, QStringList &out)
{
    for (QAction *action : actions) {
        QString line = QString(depth * 2, u' ') + action->objectName() + u' '
                       + (action->isSeparator() ? QStringLiteral("-") : action->text());
        if (!action->isEnabled())
            line += QStringLiteral(" (greyed)");
        if (!action->shortcut().isEmpty() || action->isCheckable())
            line += QStringLiteral(" (shortcut or check)");
        out << line;
        if (action->menu())
            describeMenu(action->menu()->actions(), depth + 1, out);
    }
}

} // namespace

class CommandMenuTest : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<PtyPair> m_pty1, m_pty2;
    std::unique_ptr<AckPeer> m_com1, m_com2;
    std::unique_ptr<tavro_test> m_window;
    int m_logStart = 0;

    QAction *item(const QByteArray &name, int index = 0)
    {
        const QList<QAction *> actions =
            m_window->menuBar()->findChildren<QAction *>(QString::fromLatin1(name));
        for (QAction *action : actions) {
            if (index == 0 || action->data().toInt() == index)
                return action;
        }
        return nullptr;
    }

    void trigger(const QByteArray &name, int index = 0)
    {
        QAction *action = item(name, index);
        QVERIFY2(action, name.constData());
        action->trigger();
    }

    // Log lines written since the last mark.
    QStringList newLines() const
    {
        QStringList lines;
        for (int i = m_logStart; i < part<QListWidget>(*m_window, "lstResult")->count(); ++i)
            lines << part<QListWidget>(*m_window, "lstResult")->item(i)->text();
        return lines;
    }

    void markLog() { m_logStart = part<QListWidget>(*m_window, "lstResult")->count(); }

    void mark()
    {
        markLog();
        m_com1->received.clear();
        m_com2->received.clear();
    }

    // After an item that must do nothing: no line, and the next command
    // follows what was already on the wire of COM1 directly.
    void expectNothingDone(const QByteArray &alreadyOnWire = QByteArray())
    {
        QCOMPARE(newLines(), QStringList());
        trigger("menuDataTimeGet");
        QCOMPARE(newLines(), (QStringList {QStringLiteral("날짜/시간 조회"), kSent}));
        QTRY_COMPARE(m_com1->received, alreadyOnWire + wire("d\r]"));
        QCOMPARE(m_com2->received, QByteArray());
        mark();
    }

private slots:
    void init()
    {
        tavro::detail::resetLinkState();
        m_pty1 = std::make_unique<PtyPair>();
        m_pty2 = std::make_unique<PtyPair>();
        QVERIFY(m_pty1->isValid() && m_pty2->isValid());
        m_com1 = std::make_unique<AckPeer>(*m_pty1);
        m_com2 = std::make_unique<AckPeer>(*m_pty2);
        const QString missing = QStringLiteral("/dev/tavro-no-such-device");
        m_window = std::make_unique<tavro_test>(tavro::PortMap {{"COM1", m_pty1->slavePath()},
                                                               {"COM2", m_pty2->slavePath()},
                                                               {"COM3", missing},
                                                               {"COM4", missing}});
        QCOMPARE(part<QListWidget>(*m_window, "lstResult")->count(), 2);
        QVERIFY(part<QListWidget>(*m_window, "lstResult")->item(1)->text().contains(QStringLiteral("OPEN에 성공")));
        mark();
    }

    void cleanup()
    {
        m_window.reset();
        m_com1.reset();
        m_com2.reset();
        m_pty1.reset();
        m_pty2.reset();
    }

    void menuTree()
    {
        QStringList tree;
        describeMenu(m_window->menuBar()->actions(), 0, tree);
        const QStringList expected {
            "menuBasicFunctionGet 기본기능(조회)",
            "  menuRxCallInformationGet 수신된 발신자 정보 조회",
            "  menuRcvDNDel 수신 전화번호 삭제",
            "    menuRcvDNDel_One 특정전화번호",
            "    menuRcvDNDel_All 전체",
            "  sr1 -",
            "  menuDataTimeGet 날짜.시간 조회",
            "  menuDataTimeSet 날짜.시간 설정",
            "  ss -",
            "  menuLocalNumberGet 지역 번호 조회",
            "  menuLocalNumberSet 지역 번호 설정",
            "  srr2 -",
            "  menuRcvOnDialGet 통화중 수신 기능 조회",
            "  menuRcvOnDialSet 통화중 수신 기능",
            "    menuRcvOnDialSet_ON 설정",
            "    menuRcvOnDialSet_OFF 해제",
            "  sep9 -",
            "  menuButtonSoundGet 버튼 소리 조회",
            "  menuSoundButtonSet 버튼 소리 설정",
            "    menuSoundButtonSet_ON 설정",
            "    menuSoundButtonSet_OFF 해제",
            "  sss8 -",
            "  menuLCDBirghtGet LCD 밝기 조회",
            "  menuLCDBrightSetting LCD 밝기 설정",
            "    menuLCDBrightSet 1",
            "    menuLCDBrightSet 2",
            "    menuLCDBrightSet 3",
            "    menuLCDBrightSet 4",
            "    menuLCDBrightSet 5",
            "    menuLCDBrightSet 6",
            "    menuLCDBrightSet 7",
            "    menuLCDBrightSet 8",
            "menuRejectFunction 거부 기능",
            "  menuRejectFuncGet 거부 기능 조회",
            "  menuRejectFuncSet 거부 기능 ",
            "    menuRejectFuncSet_ON 설정",
            "    menuRejectFuncSet_OFF 해제",
            "  rej1 -",
            "  menuRejectDNGet 거부 번호 조회",
            "  menuRejectDNSet 번호 거부 기능 설정",
            "    menuRejectDNSet_Append 추가",
            "    menuRejectDNSet_Delete 삭제",
            "  rej2 -",
            "  menuRejectALLGet 모든번호거부 기능 조회",
            "  menuRejectALLSet 모든번호거부 기능 설정",
            "    menuRejectALLSet_ON 설정",
            "    menuRejectALLSet_OFF 해제",
            "menuAlarmFunction 알람 기능",
            "  menuAlarmTimeGet 알람 시간 조회",
            "  menuAlarmTimeSet 알람 시간 설정",
            "  alarm1 -",
            "  menuAlarmFuncGet 알람 기능 조회",
            "  menuAlarmFuncSet 알람 기능 설정",
            "    menuAlarmFuncGet_ON 설정",
            "    menuAlarmFuncGet_OFF 해제",
            "  alarm2 -",
            "  menuAlarmMelodyGet 알람 멜로디 조회",
            "  menuAlarmMelodySet 알람 멜로디 설정 (greyed)",
            "menuResponseFunction 응답기능",
            "  menuResponseFuncSet 응답기능",
            "    menuResponseFuncSet_ON 설정",
            "    menuResponseFuncSet_OFF 해제",
            "  menuResponseFuncGet 응답기능조회",
            "  ss_resp -",
            "  menuResponseDNFuncGet 응답번호만 수신기능 조회",
            "  menuResponseDNFuncSet 응답번호만 수신기능설정",
            "    menuResponseDNFuncSet_ON 설정",
            "    menuResponseDNFuncSet_OFF 해제",
            "  sr2 -",
            "  menuRespNumberGet 응답 번호 조회",
            "  menuRespNumberSet 응답 번호 설정",
            "  sr4 -",
            "  menuRespMelodyFuncGet 응답 멜로디 기능 조회",
            "  menuRespMelodyFuncSet 응답 멜로디 기능  설정",
            "    menuRespMelodyFuncSet_ON 설정",
            "    menuRespMelodyFuncSet_OFF 해제",
            "  sr3 -",
            "  menuRespMelodyGet 응답 멜로디 조회",
            "  menuRespMelodySet 응답 멜로디 설정",
            "menuOperation 동작기능",
            "  menuCallSet 전화걸기",
            "  menuCallWaitFuncSet 통화대기(hook flash) - ?",
        };
        QCOMPARE(tree, expected);
        for (int i = 1; i <= 8; ++i)
            QCOMPARE(item("menuLCDBrightSet", i)->text(), QString::number(i));
    }

    void itemsWithoutDialog_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<int>("index");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QByteArray>("frame");
        const auto row = [](const char *name, QStringList labels, const QByteArray &frame,
                            int index = 0) {
            labels << kSent;
            QTest::addRow("%s%s", name, index ? qPrintable(QString::number(index)) : "")
                << QByteArray(name) << index << labels << frame;
        };
        row("menuRxCallInformationGet", {"수신된 발신자 정보 조회", kWaitNotice}, "a\r]");
        row("menuRcvDNDel_All", {"수신 전화 번호 삭제:전체"}, "B\rALL\r]");
        row("menuDataTimeGet", {"날짜/시간 조회"}, "d\r]");
        row("menuLocalNumberGet", {"지역 번호 조회"}, "g\r]");
        row("menuRcvOnDialGet", {"통화중 수신 기능 조회"}, "h\r]");
        row("menuRcvOnDialSet_ON", {"통화중 수신 기능 - 설정"}, "H\r1\r]");
        row("menuRcvOnDialSet_OFF", {}, "H\r0\r]");
        row("menuButtonSoundGet", {"버튼 소리 기능 조회"}, "r\r]");
        row("menuSoundButtonSet_ON", {"버튼 소리 설정"}, "R\r1\r]");
        row("menuSoundButtonSet_OFF", {"버튼 소리 해제(묵음)"}, "R\r0\r]");
        row("menuLCDBirghtGet", {"LCD 밝기 조회"}, "s\r]");
        for (int i = 1; i <= 8; ++i)
            row("menuLCDBrightSet", {"LCD 밝기 조정"}, "S\r" + QByteArray::number(i) + "\r]", i);
        row("menuRejectFuncGet", {"거부 기능 조회"}, "i\r]");
        row("menuRejectFuncSet_ON", {"거부 기능 설정"}, "I\r1\r]");
        row("menuRejectFuncSet_OFF", {"거부 기능 해제"}, "I\r0\r]");
        row("menuRejectDNGet", {"거부 번호 조회", kWaitNotice}, "j\r]");
        row("menuRejectALLGet", {"모든 번호 거부 기능 조회:"}, "u\r0\r]");
        row("menuRejectALLSet_ON", {"모든 번호 거부 기능 명령 : 설정"}, "U\r1\r]");
        row("menuRejectALLSet_OFF", {"모든 번호 거부 기능 명령 : 해제"}, "U\r0\r]");
        row("menuAlarmTimeGet", {"알람 날짜/시간 조회 명령"}, "e\r]");
        row("menuAlarmFuncGet", {"알람 기능 조회"}, "t\r0\r]");
        row("menuAlarmFuncGet_ON", {"알람 기능 설정"}, "T\r1\r]");
        row("menuAlarmFuncGet_OFF", {"알람 기능 해제"}, "T\r0\r]");
        row("menuAlarmMelodyGet", {"알람 멜로디 조회"}, "f\r]");
        row("menuResponseFuncSet_ON", {"응답 기능 : 설정"}, "N\r1\r]");
        row("menuResponseFuncSet_OFF", {"응답 기능 : 해제"}, "N\r0\r]");
        row("menuResponseFuncGet", {"응답 기능 조회"}, "n\r]");
        row("menuResponseDNFuncGet", {"응답번호만 수신 기능 : "}, "q\r]");
        row("menuResponseDNFuncSet_ON", {"응답번호만 수신 기능 : 설정"}, "Q\r1\r]");
        row("menuResponseDNFuncSet_OFF", {"응답번호만 수신 기능 : 해제"}, "Q\r0\r]");
        row("menuRespNumberGet", {"응답 번호 조회 : "}, "o\r]");
        row("menuRespMelodyFuncGet", {"응답 멜로디 기능 조회"}, "x\r]");
        row("menuRespMelodyFuncSet_ON", {"응답 멜로디 기능 : 설정"}, "X\r1\r]");
        row("menuRespMelodyFuncSet_OFF", {"응답 멜로디 기능 : 해제"}, "X\r0\r]");
        row("menuRespMelodyGet", {"응답 멜로디 조회"}, "p\r]");
        row("menuCallWaitFuncSet", {"통화 대기(hook flah) [참고]3자통화시에 사용"}, "Y\r]");
    }

    void itemsWithoutDialog()
    {
        QFETCH(QByteArray, name);
        QFETCH(int, index);
        QFETCH(QStringList, lines);
        QFETCH(QByteArray, frame);
        trigger(name, index);
        QCOMPARE(newLines(), lines);
        QTRY_COMPARE(m_com1->received, wire(frame));
        QCOMPARE(m_com2->received, QByteArray());
    }

    void itemsThatAskForANumber_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QByteArray>("onWire");
        QTest::newRow("area number") << QByteArray("menuLocalNumberSet") << "031" << "지역번호 입력"
                                     << "지역번호" << QStringList {"지역 번호 설정:031", kSent}
                                     << wire("G\r1\r]"); // the device link sends the code
        QTest::newRow("area number refused")
            << QByteArray("menuLocalNumberSet") << "31" << "지역번호 입력" << "지역번호"
            << QStringList {"지역 번호 설정:31", kNotSent,
                            "지역번호가 잘못 입력되었습니다. 입력된 지역번호는 31 입니다."}
            << QByteArray();
        QTest::newRow("add rejected, blanks kept")
            << QByteArray("menuRejectDNSet_Append") << " 0212345678 " << "거부번호 추가"
            << "거부번호" << QStringList {"거부 번호 설정-추가: 0212345678 ", kSent}
            << wire("J\r 0212345678 \r1\r]");
        QTest::newRow("delete rejected")
            << QByteArray("menuRejectDNSet_Delete") << "0212345678" << "거부번호 삭제"
            << "거부번호" << QStringList {"거부 번호 설정-삭제:0212345678", kSent}
            << wire("J\r0212345678\r0\r]");
        QTest::newRow("delete one received, dialog as designed")
            << QByteArray("menuRcvDNDel_One") << "01099998888" << "입력 창" << "번호"
            << QStringList {"수신 전화 번호 삭제:01099998888", kSent}
            << wire("B\r01099998888\r]");
    }

    void itemsThatAskForANumber()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, typed);
        QFETCH(QString, caption);
        QFETCH(QString, title);
        QFETCH(QStringList, lines);
        QFETCH(QByteArray, onWire);
        ModalDriver<dlgNumber> driver([&](dlgNumber *dialog) {
            QCOMPARE(dialog->windowTitle(), caption);
            QCOMPARE(part<QLabel>(*dialog, "lblNumberTitle")->text(), title);
            QVERIFY(part<QLineEdit>(*dialog, "txtNumber")->text().isEmpty());
            QTest::keyClicks(part<QLineEdit>(*dialog, "txtNumber"), typed);
            clickOk(dialog);
        });
        trigger(name);
        QVERIFY(driver.seen);
        QCOMPARE(newLines(), lines);
        markLog();
        if (onWire.isEmpty())
            expectNothingDone();
        else
            QTRY_COMPARE(m_com1->received, onWire);
    }

    void noNumberNoCommand()
    {
        for (const char *name : {"menuLocalNumberSet", "menuRejectDNSet_Append",
                                 "menuRejectDNSet_Delete", "menuRcvDNDel_One", "menuCallSet"}) {
            for (const bool cancel : {true, false}) {
                ModalDriver<dlgNumber> driver([cancel](dlgNumber *dialog) {
                    if (cancel) {
                        QTest::keyClicks(part<QLineEdit>(*dialog, "txtNumber"), QStringLiteral("123"));
                        clickCancel(dialog);
                    } else {
                        clickOk(dialog); // the box is empty
                    }
                });
                trigger(name);
                QVERIFY2(driver.seen, name);
                expectNothingDone();
            }
        }
    }

    void itemsThatAskForDateOrTime()
    {
        {
            ModalDriver<dlgDateTime> driver([](dlgDateTime *dialog) {
                QCOMPARE(dialog->windowTitle(), QStringLiteral("날짜.시간 입력"));
                QVERIFY(part<QComboBox>(*dialog, "cbMonth")->isEnabled() && part<QComboBox>(*dialog, "cbDay")->isEnabled());
                QTest::keyClicks(part<QComboBox>(*dialog, "cbMonth")->lineEdit(), QStringLiteral("7"));
                QTest::keyClicks(part<QComboBox>(*dialog, "cbDay")->lineEdit(), QStringLiteral("4"));
                QTest::keyClicks(part<QComboBox>(*dialog, "cbHour")->lineEdit(), QStringLiteral("9"));
                QTest::keyClicks(part<QComboBox>(*dialog, "cbMin")->lineEdit(), QStringLiteral("5"));
                clickOk(dialog);
            });
            trigger("menuDataTimeSet");
            QVERIFY(driver.seen);
            QCOMPARE(newLines(),
                     (QStringList {QStringLiteral("날짜.시간 설정:날짜=07-04 시간=09:05"), kSent}));
            QTRY_COMPARE(m_com1->received, wire("D\r0704\r0905\r]"));
            mark();
        }
        {
            // OK with nothing chosen still yields a date and a time.
            ModalDriver<dlgDateTime> driver([](dlgDateTime *dialog) { clickOk(dialog); });
            trigger("menuDataTimeSet");
            QCOMPARE(newLines(),
                     (QStringList {QStringLiteral("날짜.시간 설정:날짜=00-00 시간=00:00"), kSent}));
            QTRY_COMPARE(m_com1->received, wire("D\r0000\r0000\r]"));
            mark();
        }
        {
            ModalDriver<dlgDateTime> driver([](dlgDateTime *dialog) {
                QCOMPARE(dialog->windowTitle(), QStringLiteral("시간 입력"));
                QVERIFY(!part<QComboBox>(*dialog, "cbMonth")->isEnabled() && !part<QComboBox>(*dialog, "cbDay")->isEnabled());
                QTest::keyClicks(part<QComboBox>(*dialog, "cbHour")->lineEdit(), QStringLiteral("7"));
                QTest::keyClicks(part<QComboBox>(*dialog, "cbMin")->lineEdit(), QStringLiteral("30"));
                clickOk(dialog);
            });
            trigger("menuAlarmTimeSet");
            QVERIFY(driver.seen);
            QCOMPARE(newLines(), (QStringList {QStringLiteral("알람 시간 설정: 시간=07:30"), kSent}));
            QTRY_COMPARE(m_com1->received, wire("E\r0730\r]"));
            mark();
        }
        for (const char *name : {"menuDataTimeSet", "menuAlarmTimeSet"}) {
            ModalDriver<dlgDateTime> driver([](dlgDateTime *dialog) {
                QTest::keyClicks(part<QComboBox>(*dialog, "cbHour")->lineEdit(), QStringLiteral("7"));
                clickCancel(dialog);
            });
            trigger(name);
            QVERIFY(driver.seen);
            expectNothingDone();
        }
    }

    void itemsThatAskForAMelody_data()
    {
        QTest::addColumn<QString>("group");
        QTest::addColumn<QString>("number");
        QTest::addColumn<QString>("title"); // empty: nothing may happen
        QTest::newRow("3") << "2" << "3" << "산바람 강바람";
        QTest::newRow("6") << "1" << "6" << "초록바다";
        QTest::newRow("group as entered") << "9" << "1" << "과수원길";
        QTest::newRow("half to even, down") << "1" << "1.5" << "과수원길";
        QTest::newRow("half to even, up") << "1" << "3.5" << "산바람 강바람";
        QTest::newRow("blanks kept") << "1" << " 4 " << "옹달샘";
        QTest::newRow("7") << "1" << "7" << "";
        QTest::newRow("0") << "1" << "0" << "";
        QTest::newRow("empty") << "1" << "" << "";
        QTest::newRow("not a number") << "1" << "x" << "";
    }

    void itemsThatAskForAMelody()
    {
        QFETCH(QString, group);
        QFETCH(QString, number);
        QFETCH(QString, title);
        ModalDriver<dlgMelody> driver([&](dlgMelody *dialog) {
            QCOMPARE(dialog->windowTitle(), QStringLiteral("응답 멜로디 설정"));
            QVERIFY(part<QGroupBox>(*dialog, "frGroup")->isVisible());
            QTest::keyClicks(part<QComboBox>(*dialog, "cbGroup")->lineEdit(), group);
            QTest::keyClicks(part<QComboBox>(*dialog, "cbNo")->lineEdit(), number);
            clickOk(dialog);
        });
        trigger("menuRespMelodySet");
        QVERIFY(driver.seen);
        if (title.isEmpty()) {
            expectNothingDone();
            return;
        }
        QCOMPARE(newLines(), (QStringList {QStringLiteral("응답 멜로디 설정 :그룹=") + group
                                               + QStringLiteral("멜로디 번호=") + number
                                               + QStringLiteral("  멜로디곡명=") + title,
                                           kSent}));
        QTRY_COMPARE(m_com1->received,
                     wire("P\r" + group.toLatin1() + "\r" + number.toLatin1() + "\r]"));
    }

    void alarmMelodyItem()
    {
        {
            // Greyed from the start: choosing it opens nothing.
            ModalDriver<dlgMelody> driver([](dlgMelody *dialog) { clickOk(dialog); });
            trigger("menuAlarmMelodySet");
            QVERIFY(!driver.seen);
            expectNothingDone();
        }
        item("menuAlarmMelodySet")->setEnabled(true);
        {
            ModalDriver<dlgMelody> driver([](dlgMelody *dialog) {
                QCOMPARE(dialog->windowTitle(), QStringLiteral("멜로디 번호 설정"));
                QVERIFY(!part<QGroupBox>(*dialog, "frGroup")->isVisible());
                QTest::keyClicks(part<QComboBox>(*dialog, "cbNo")->lineEdit(), QStringLiteral("3"));
                clickOk(dialog);
            });
            trigger("menuAlarmMelodySet");
            QVERIFY(driver.seen);
            // The device link accepts 3 and the exchange succeeds: sent.
            QCOMPARE(newLines(),
                     (QStringList {QStringLiteral("알람 멜로디 설정 :멜로디 번호=3  멜로디곡명=산바람 강바람"),
                                   kSent}));
            QTRY_COMPARE(m_com1->received, wire("F\r3\r]"));
            mark();
        }
        {
            ModalDriver<dlgMelody> driver([](dlgMelody *dialog) { clickCancel(dialog); });
            trigger("menuAlarmMelodySet");
            QVERIFY(driver.seen);
            expectNothingDone();
        }
    }

    void itemsWithoutAction()
    {
        QStringList names {"menuRespNumberSet"};
        for (QAction *action : m_window->menuBar()->findChildren<QAction *>()) {
            if (action->menu() || action->isSeparator())
                names << action->objectName();
        }
        names.removeDuplicates();
        QCOMPARE(names.size(), 1 + 5 + 11 + 13); // top menus, submenus, separators
        for (const QString &name : std::as_const(names)) {
            ModalDriver<QDialog> driver([](QDialog *dialog) { clickCancel(dialog); });
            for (QAction *action : m_window->menuBar()->findChildren<QAction *>(name))
                action->trigger();
            QVERIFY2(!driver.seen, qPrintable(name));
            expectNothingDone();
        }
    }

    void dialWithHandsetAlreadyLifted()
    {
        m_pty2->write(kHandsetLifted); // from COM2: any port's report counts
        QTRY_COMPARE(gHookState, qint16(-1));
        mark();
        ModalDriver<dlgNumber> driver([](dlgNumber *dialog) {
            QCOMPARE(dialog->windowTitle(), QStringLiteral("전화번호 입력"));
            QCOMPARE(part<QLabel>(*dialog, "lblNumberTitle")->text(), QStringLiteral("전화번호"));
            QTest::keyClicks(part<QLineEdit>(*dialog, "txtNumber"), QStringLiteral("0212345678"));
            clickOk(dialog);
        });
        trigger("menuCallSet");
        QVERIFY(driver.seen);
        QCOMPARE(newLines(),
                 (QStringList {QStringLiteral("전화걸기:전화번호=0212345678"), kLiftHandset,
                               kLiftHandset, QStringLiteral("전화걸기를 시도합니다."), kSent}));
        QCOMPARE(m_window->gTimerHookCnt, 0); // no wait at all
        QVERIFY(!part<QTimer>(*m_window, "timerHook")->isActive());
        QTRY_COMPARE(m_com1->received, wire("C\r0212345678\r]"));
        QCOMPARE(m_com2->received, QByteArray()); // the command goes to COM1 only
    }

    void dialWithHandsetLiftedDuringWait()
    {
        // Where the log stood when the report arrived: the wait had begun.
        int linesAtReport = -1;
        connect(part<tavro_m>(*m_window, "tavro"), &tavro_m::HookEvent, m_window.get(),
                [&] { linesAtReport = part<QListWidget>(*m_window, "lstResult")->count() - m_logStart; });
        QTimer::singleShot(1500, m_window.get(), [this] { m_pty2->write(kHandsetLifted); });
        ModalDriver<dlgNumber> driver([](dlgNumber *dialog) {
            QTest::keyClicks(part<QLineEdit>(*dialog, "txtNumber"), QStringLiteral("0311112222"));
            clickOk(dialog);
        });
        trigger("menuCallSet");
        QVERIFY(driver.seen);
        QVERIFY2(linesAtReport >= 3, qPrintable(QString::number(linesAtReport)));
        const QStringList lines = newLines();
        QCOMPARE(lines.mid(0, 3),
                 (QStringList {QStringLiteral("전화걸기:전화번호=0311112222"), kLiftHandset,
                               kLiftHandset}));
        QCOMPARE(lines.mid(lines.size() - 2),
                 (QStringList {QStringLiteral("전화걸기를 시도합니다."), kSent}));
        QVERIFY(!lines.contains(kGiveUp));
        QVERIFY(m_window->gTimerHookCnt < 10);
        QVERIFY(!part<QTimer>(*m_window, "timerHook")->isActive());
        QTRY_COMPARE(m_com1->received, wire("C\r0311112222\r]"));
        QCOMPARE(m_com2->received, QByteArray());
    }

    // The one long test: the full 10 s wait. Other commands still run
    // inside it, and it costs no CPU while it waits.
    void dialGivesUpWhenHandsetStaysDown()
    {
        QTimer::singleShot(2000, m_window.get(), [this] { trigger("menuAlarmFuncGet"); });
        ModalDriver<dlgNumber> driver([](dlgNumber *dialog) {
            QTest::keyClicks(part<QLineEdit>(*dialog, "txtNumber"), QStringLiteral("0212345678"));
            clickOk(dialog);
        });
        QElapsedTimer elapsed;
        elapsed.start();
        const std::clock_t cpuStart = std::clock();
        trigger("menuCallSet");
        const double cpuSeconds = double(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        const qint64 ms = elapsed.elapsed();
        qInfo("dial wait: %lld ms wall, %.3f s CPU", ms, cpuSeconds);

        QVERIFY(driver.seen);
        QVERIFY2(ms >= 9000, qPrintable(QString::number(ms)));
        QVERIFY2(cpuSeconds < 2.0, qPrintable(QString::number(cpuSeconds)));
        QCOMPARE(m_window->gTimerHookCnt, 10);
        QVERIFY(!part<QTimer>(*m_window, "timerHook")->isActive());
        QCOMPARE(newLines(),
                 (QStringList {QStringLiteral("전화걸기:전화번호=0212345678"), kLiftHandset,
                               kLiftHandset, QStringLiteral("알람 기능 조회"), kSent, kGiveUp}));
        markLog();
        expectNothingDone(wire("t\r0\r]")); // and no dial command
    }

    // Stopping the hook timer from outside (nothing would wake the wait
    // again) ends the wait at once, without dialling.
    void dialWaitEndsWhenItsTimerStops()
    {
        QTimer::singleShot(300, m_window.get(), [this] { part<QTimer>(*m_window, "timerHook")->stop(); });
        ModalDriver<dlgNumber> driver([](dlgNumber *dialog) {
            QTest::keyClicks(part<QLineEdit>(*dialog, "txtNumber"), QStringLiteral("0212345678"));
            clickOk(dialog);
        });
        QElapsedTimer elapsed;
        elapsed.start();
        trigger("menuCallSet");
        QVERIFY(driver.seen);
        QVERIFY2(elapsed.elapsed() < 5000, qPrintable(QString::number(elapsed.elapsed())));
        QCOMPARE(newLines().last(), kGiveUp);
        markLog();
        expectNothingDone();
    }

    // A second dial confirmed during the wait runs its own wait inside the
    // first; the handset report ends both, the inner one dials first.
    void dialNestedInDialWait()
    {
        QTimer::singleShot(300, m_window.get(), [this] {
            ModalDriver<dlgNumber> inner([](dlgNumber *dialog) {
                QTest::keyClicks(part<QLineEdit>(*dialog, "txtNumber"), QStringLiteral("222"));
                clickOk(dialog);
            });
            trigger("menuCallSet");
            QVERIFY(inner.seen);
        });
        QTimer::singleShot(1000, m_window.get(), [this] { m_pty1->write(kHandsetLifted); });
        ModalDriver<dlgNumber> outer([](dlgNumber *dialog) {
            QTest::keyClicks(part<QLineEdit>(*dialog, "txtNumber"), QStringLiteral("111"));
            clickOk(dialog);
        });
        trigger("menuCallSet");
        QVERIFY(outer.seen);
        const QStringList lines = newLines();
        QCOMPARE(lines.mid(0, 6),
                 (QStringList {QStringLiteral("전화걸기:전화번호=111"), kLiftHandset, kLiftHandset,
                               QStringLiteral("전화걸기:전화번호=222"), kLiftHandset, kLiftHandset}));
        const QString dialling = QStringLiteral("전화걸기를 시도합니다.");
        QCOMPARE(lines.mid(lines.size() - 4), (QStringList {dialling, kSent, dialling, kSent}));
        QVERIFY(!lines.contains(kGiveUp));
        QVERIFY(!part<QTimer>(*m_window, "timerHook")->isActive());
        QTRY_COMPARE(m_com1->received, wire("C\r222\r]") + wire("C\r111\r]"));
    }

    void commandsGoToTheCurrentPort()
    {
        part<QComboBox>(*m_window, "cbComPort")->setEditText(QStringLiteral("COM2"));
        QCOMPARE(m_window->gCurrentCOMPort, QStringLiteral("COM2"));
        trigger("menuRejectFuncSet_ON");
        QCOMPARE(newLines(), (QStringList {QStringLiteral("거부 기능 설정"), kSent}));
        QTRY_COMPARE(m_com2->received, wire("I\r1\r]"));
        QCOMPARE(m_com1->received, QByteArray());
    }

    void commandOnClosedPort()
    {
        QTest::mouseClick(part<QPushButton>(*m_window, "cmdCloseTavro"), Qt::LeftButton);
        mark();
        trigger("menuLocalNumberGet");
        QCOMPARE(newLines(),
                 (QStringList {QStringLiteral("지역 번호 조회"), kNotSent,
                               QStringLiteral("통신 포트가 OPEN 되지 않았습니다.")}));
        // A dialog item fails the same way, after its own label line.
        ModalDriver<dlgDateTime> driver([](dlgDateTime *dialog) { clickOk(dialog); });
        trigger("menuAlarmTimeSet");
        QCOMPARE(newLines().mid(3),
                 (QStringList {QStringLiteral("알람 시간 설정: 시간=00:00"), kNotSent,
                               QStringLiteral("통신 포트가 OPEN 되지 않았습니다.")}));
        // Nothing reached the terminal: after reopening, the next command is
        // the first thing on the wire.
        QTest::mouseClick(part<QPushButton>(*m_window, "cmdOpenTavro"), Qt::LeftButton);
        markLog();
        expectNothingDone();
    }
};

QTEST_MAIN(CommandMenuTest)
#include "tst_command_menu.moc"
