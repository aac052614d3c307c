// The command menu: every terminal command from the menu bar, and its sender.
#include "dlgDateTime.h"
#include "dlgMelody.h"
#include "dlgNumber.h"
#include "numeric_value.h"
#include "tavro_test.h"
#include "tavro_var.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTimer>

#include <optional>

namespace {

// ---- the menu tree -------------------------------------------------------

QMenu *addTopMenu(QMenuBar *bar, const char *name, const QString &caption)
{
    QMenu *menu = bar->addMenu(caption);
    menu->setObjectName(QLatin1String(name));
    menu->menuAction()->setObjectName(QLatin1String(name));
    return menu;
}

QMenu *addSubmenu(QMenu *parent, const char *name, const QString &caption)
{
    QMenu *menu = parent->addMenu(caption);
    menu->setObjectName(QLatin1String(name));
    menu->menuAction()->setObjectName(QLatin1String(name));
    return menu;
}

QAction *addItem(QMenu *menu, const char *name, const QString &caption)
{
    QAction *action = menu->addAction(caption);
    action->setObjectName(QLatin1String(name));
    return action;
}

void addSeparator(QMenu *menu, const char *name)
{
    menu->addSeparator()->setObjectName(QLatin1String(name));
}

// A switch submenu: "설정" (on) and "해제" (off), named <prefix>_ON / _OFF.
void addOnOff(QMenu *menu, const char *prefix)
{
    addItem(menu, (QByteArray(prefix) + "_ON").constData(), QStringLiteral("설정"));
    addItem(menu, (QByteArray(prefix) + "_OFF").constData(), QStringLiteral("해제"));
}

void buildMenuTree(QMenuBar *bar)
{
    QMenu *basic = addTopMenu(bar, "menuBasicFunctionGet", QStringLiteral("기본기능(조회)"));
    addItem(basic, "menuRxCallInformationGet", QStringLiteral("수신된 발신자 정보 조회"));
    QMenu *rcvDel = addSubmenu(basic, "menuRcvDNDel", QStringLiteral("수신 전화번호 삭제"));
    addItem(rcvDel, "menuRcvDNDel_One", QStringLiteral("특정전화번호"));
    addItem(rcvDel, "menuRcvDNDel_All", QStringLiteral("전체"));
    addSeparator(basic, "sr1");
    addItem(basic, "menuDataTimeGet", QStringLiteral("날짜.시간 조회"));
    addItem(basic, "menuDataTimeSet", QStringLiteral("날짜.시간 설정"));
    addSeparator(basic, "ss");
    addItem(basic, "menuLocalNumberGet", QStringLiteral("지역 번호 조회"));
    addItem(basic, "menuLocalNumberSet", QStringLiteral("지역 번호 설정"));
    addSeparator(basic, "srr2");
    addItem(basic, "menuRcvOnDialGet", QStringLiteral("통화중 수신 기능 조회"));
    addOnOff(addSubmenu(basic, "menuRcvOnDialSet", QStringLiteral("통화중 수신 기능")),
             "menuRcvOnDialSet");
    addSeparator(basic, "sep9");
    addItem(basic, "menuButtonSoundGet", QStringLiteral("버튼 소리 조회"));
    addOnOff(addSubmenu(basic, "menuSoundButtonSet", QStringLiteral("버튼 소리 설정")),
             "menuSoundButtonSet");
    addSeparator(basic, "sss8");
    addItem(basic, "menuLCDBirghtGet", QStringLiteral("LCD 밝기 조회"));
    QMenu *bright = addSubmenu(basic, "menuLCDBrightSetting", QStringLiteral("LCD 밝기 설정"));
    // The item array: members share one name and carry their index 1..8.
    for (int i = 1; i <= 8; ++i) {
        QAction *member = addItem(bright, "menuLCDBrightSet", QString::number(i));
        member->setData(i);
    }

    QMenu *reject = addTopMenu(bar, "menuRejectFunction", QStringLiteral("거부 기능"));
    addItem(reject, "menuRejectFuncGet", QStringLiteral("거부 기능 조회"));
    addOnOff(addSubmenu(reject, "menuRejectFuncSet", QStringLiteral("거부 기능 ")),
             "menuRejectFuncSet");
    addSeparator(reject, "rej1");
    addItem(reject, "menuRejectDNGet", QStringLiteral("거부 번호 조회"));
    QMenu *rejectDN = addSubmenu(reject, "menuRejectDNSet", QStringLiteral("번호 거부 기능 설정"));
    addItem(rejectDN, "menuRejectDNSet_Append", QStringLiteral("추가"));
    addItem(rejectDN, "menuRejectDNSet_Delete", QStringLiteral("삭제"));
    addSeparator(reject, "rej2");
    addItem(reject, "menuRejectALLGet", QStringLiteral("모든번호거부 기능 조회"));
    addOnOff(addSubmenu(reject, "menuRejectALLSet", QStringLiteral("모든번호거부 기능 설정")),
             "menuRejectALLSet");

    QMenu *alarm = addTopMenu(bar, "menuAlarmFunction", QStringLiteral("알람 기능"));
    addItem(alarm, "menuAlarmTimeGet", QStringLiteral("알람 시간 조회"));
    addItem(alarm, "menuAlarmTimeSet", QStringLiteral("알람 시간 설정"));
    addSeparator(alarm, "alarm1");
    addItem(alarm, "menuAlarmFuncGet", QStringLiteral("알람 기능 조회"));
    addOnOff(addSubmenu(alarm, "menuAlarmFuncSet", QStringLiteral("알람 기능 설정")),
             "menuAlarmFuncGet");
    addSeparator(alarm, "alarm2");
    addItem(alarm, "menuAlarmMelodyGet", QStringLiteral("알람 멜로디 조회"));
    // The terminal sets its alarm melody itself; the item starts greyed.
    addItem(alarm, "menuAlarmMelodySet", QStringLiteral("알람 멜로디 설정"))->setEnabled(false);

    QMenu *response = addTopMenu(bar, "menuResponseFunction", QStringLiteral("응답기능"));
    addOnOff(addSubmenu(response, "menuResponseFuncSet", QStringLiteral("응답기능")),
             "menuResponseFuncSet");
    addItem(response, "menuResponseFuncGet", QStringLiteral("응답기능조회"));
    addSeparator(response, "ss_resp");
    addItem(response, "menuResponseDNFuncGet", QStringLiteral("응답번호만 수신기능 조회"));
    addOnOff(addSubmenu(response, "menuResponseDNFuncSet",
                        QStringLiteral("응답번호만 수신기능설정")),
             "menuResponseDNFuncSet");
    addSeparator(response, "sr2");
    addItem(response, "menuRespNumberGet", QStringLiteral("응답 번호 조회"));
    addItem(response, "menuRespNumberSet", QStringLiteral("응답 번호 설정"));
    addSeparator(response, "sr4");
    addItem(response, "menuRespMelodyFuncGet", QStringLiteral("응답 멜로디 기능 조회"));
    addOnOff(addSubmenu(response, "menuRespMelodyFuncSet",
                        QStringLiteral("응답 멜로디 기능  설정")),
             "menuRespMelodyFuncSet");
    addSeparator(response, "sr3");
    addItem(response, "menuRespMelodyGet", QStringLiteral("응답 멜로디 조회"));
    addItem(response, "menuRespMelodySet", QStringLiteral("응답 멜로디 설정"));

    QMenu *operation = addTopMenu(bar, "menuOperation", QStringLiteral("동작기능"));
    addItem(operation, "menuCallSet", QStringLiteral("전화걸기"));
    addItem(operation, "menuCallWaitFuncSet", QStringLiteral("통화대기(hook flash) - ?"));
}

QAction *findItem(QMenuBar *bar, const char *name)
{
    QAction *action = bar->findChild<QAction *>(QLatin1String(name));
    Q_ASSERT(action);
    return action;
}

// ---- the item table --------------------------------------------------------

const char16_t kWaitNotice[] = u"정보가 많은 경우 시간이 걸릴수 있습니다(5초정도 기다리세요)";

// An item that sends a fixed command: its label lines, the byte, para1.
struct PlainCommand
{
    const char *item;
    const char16_t *label;  // nullptr: no line
    const char16_t *label2; // nullptr: no second line
    char cmd;
    const char16_t *para1;  // nullptr: no parameter
};

const PlainCommand kPlainCommands[] = {
    {"menuRxCallInformationGet", u"수신된 발신자 정보 조회", kWaitNotice, 'a', nullptr},
    {"menuRcvDNDel_All", u"수신 전화 번호 삭제:전체", nullptr, 'B', u"ALL"},
    {"menuDataTimeGet", u"날짜/시간 조회", nullptr, 'd', nullptr},
    {"menuLocalNumberGet", u"지역 번호 조회", nullptr, 'g', nullptr},
    {"menuRcvOnDialGet", u"통화중 수신 기능 조회", nullptr, 'h', nullptr},
    {"menuRcvOnDialSet_ON", u"통화중 수신 기능 - 설정", nullptr, 'H', u"1"},
    {"menuRcvOnDialSet_OFF", nullptr, nullptr, 'H', u"0"},
    {"menuButtonSoundGet", u"버튼 소리 기능 조회", nullptr, 'r', nullptr},
    {"menuSoundButtonSet_ON", u"버튼 소리 설정", nullptr, 'R', u"1"},
    {"menuSoundButtonSet_OFF", u"버튼 소리 해제(묵음)", nullptr, 'R', u"0"},
    {"menuLCDBirghtGet", u"LCD 밝기 조회", nullptr, 's', nullptr},
    {"menuRejectFuncGet", u"거부 기능 조회", nullptr, 'i', nullptr},
    {"menuRejectFuncSet_ON", u"거부 기능 설정", nullptr, 'I', u"1"},
    {"menuRejectFuncSet_OFF", u"거부 기능 해제", nullptr, 'I', u"0"},
    {"menuRejectDNGet", u"거부 번호 조회", kWaitNotice, 'j', nullptr},
    {"menuRejectALLGet", u"모든 번호 거부 기능 조회:", nullptr, 'u', u"0"},
    {"menuRejectALLSet_ON", u"모든 번호 거부 기능 명령 : 설정", nullptr, 'U', u"1"},
    {"menuRejectALLSet_OFF", u"모든 번호 거부 기능 명령 : 해제", nullptr, 'U', u"0"},
    {"menuAlarmTimeGet", u"알람 날짜/시간 조회 명령", nullptr, 'e', nullptr},
    {"menuAlarmFuncGet", u"알람 기능 조회", nullptr, 't', u"0"},
    {"menuAlarmFuncGet_ON", u"알람 기능 설정", nullptr, 'T', u"1"},
    {"menuAlarmFuncGet_OFF", u"알람 기능 해제", nullptr, 'T', u"0"},
    {"menuAlarmMelodyGet", u"알람 멜로디 조회", nullptr, 'f', nullptr},
    {"menuResponseFuncSet_ON", u"응답 기능 : 설정", nullptr, 'N', u"1"},
    {"menuResponseFuncSet_OFF", u"응답 기능 : 해제", nullptr, 'N', u"0"},
    {"menuResponseFuncGet", u"응답 기능 조회", nullptr, 'n', nullptr},
    {"menuResponseDNFuncGet", u"응답번호만 수신 기능 : ", nullptr, 'q', nullptr},
    {"menuResponseDNFuncSet_ON", u"응답번호만 수신 기능 : 설정", nullptr, 'Q', u"1"},
    {"menuResponseDNFuncSet_OFF", u"응답번호만 수신 기능 : 해제", nullptr, 'Q', u"0"},
    {"menuRespNumberGet", u"응답 번호 조회 : ", nullptr, 'o', nullptr},
    {"menuRespMelodyFuncGet", u"응답 멜로디 기능 조회", nullptr, 'x', nullptr},
    {"menuRespMelodyFuncSet_ON", u"응답 멜로디 기능 : 설정", nullptr, 'X', u"1"},
    {"menuRespMelodyFuncSet_OFF", u"응답 멜로디 기능 : 해제", nullptr, 'X', u"0"},
    {"menuRespMelodyGet", u"응답 멜로디 조회", nullptr, 'p', nullptr},
    {"menuCallWaitFuncSet", u"통화 대기(hook flah) [참고]3자통화시에 사용", nullptr, 'Y', nullptr},
};

// An item that asks for a number and sends it as para1.
struct NumberCommand
{
    const char *item;
    const char16_t *caption; // nullptr: the dialog keeps its own caption and label
    const char16_t *title;
    const char16_t *label;
    char cmd;
    const char16_t *para2; // nullptr: no second parameter
};

const NumberCommand kNumberCommands[] = {
    {"menuLocalNumberSet", u"지역번호 입력", u"지역번호", u"지역 번호 설정:", 'G', nullptr},
    {"menuRejectDNSet_Append", u"거부번호 추가", u"거부번호", u"거부 번호 설정-추가:", 'J', u"1"},
    {"menuRejectDNSet_Delete", u"거부번호 삭제", u"거부번호", u"거부 번호 설정-삭제:", 'J', u"0"},
    {"menuRcvDNDel_One", nullptr, nullptr, u"수신 전화 번호 삭제:", 'B', nullptr},
};

QString text(const char16_t *s)
{
    return s ? QString::fromUtf16(s) : QString();
}

// ---- the dialogs, each created for one use --------------------------------

// The number as typed; empty after Cancel or OK on an empty box.
QString askNumber(const char16_t *caption, const char16_t *title)
{
    dlgNumber dialog;
    if (caption) {
        dialog.setWindowTitle(text(caption));
        dialog.lblNumberTitle->setText(text(title));
    }
    dialog.exec();
    return gInputNumber;
}

struct DateTime
{
    QString date; // "MM-DD"
    QString time; // "HH:MM"
};

// Empty date and time after Cancel.
DateTime askDateTime(const QString &caption, bool withDate)
{
    dlgDateTime dialog;
    dialog.setWindowTitle(caption);
    dialog.cbMonth->setEnabled(withDate);
    dialog.cbDay->setEnabled(withDate);
    dialog.exec();
    return {gInputDate, gInputTime};
}

struct Melody
{
    QString group;
    QString number; // sent as typed, not as its value
    QString title;
};

// Nothing when the melody number is not within 1 to 6 (Cancel included).
std::optional<Melody> askMelody(const QString &caption, bool withGroup)
{
    dlgMelody dialog;
    dialog.setWindowTitle(caption);
    dialog.frGroup->setVisible(withGroup);
    dialog.exec();
    const Melody melody {gMelodyGroup, gMelodyNo, QString()};
    const double n = tavro_console::numericValue(melody.number);
    if (n < 1 || n > 6)
        return std::nullopt;
    return Melody {melody.group, melody.number, melodyTitleOf(n)};
}

// ---- dialling ----------------------------------------------------------------

// The wait for the handset gives up after this many ticks of timerHook (1 s).
constexpr qint32 kHookWaitTicks = 10;
constexpr int kHookTimerMs = 1000;

} // namespace

void tavro_test::buildCommandMenu()
{
    QMenuBar *bar = menuBar();
    buildMenuTree(bar);

    for (const PlainCommand &command : kPlainCommands) {
        connect(findItem(bar, command.item), &QAction::triggered, this, [this, &command] {
            if (command.label)
                addLog(text(command.label));
            if (command.label2)
                addLog(text(command.label2));
            SendCommand(command.cmd, text(command.para1), QString(), QString());
        });
    }

    for (QAction *member : bar->findChildren<QAction *>(QStringLiteral("menuLCDBrightSet"))) {
        const int index = member->data().toInt();
        connect(member, &QAction::triggered, this, [this, index] {
            addLog(QStringLiteral("LCD 밝기 조정"));
            SendCommand('S', QString::number(index), QString(), QString());
        });
    }

    for (const NumberCommand &command : kNumberCommands) {
        connect(findItem(bar, command.item), &QAction::triggered, this, [this, &command] {
            const QString number = askNumber(command.caption, command.title);
            if (number.isEmpty())
                return;
            addLog(text(command.label) + number);
            SendCommand(command.cmd, number, text(command.para2), QString());
        });
    }

    connect(findItem(bar, "menuDataTimeSet"), &QAction::triggered, this, [this] {
        const DateTime input = askDateTime(QStringLiteral("날짜.시간 입력"), true);
        if (input.date.isEmpty() || input.time.isEmpty())
            return;
        addLog(QStringLiteral("날짜.시간 설정:날짜=") + input.date + QStringLiteral(" 시간=")
               + input.time);
        SendCommand('D', input.date, input.time, QString());
    });

    connect(findItem(bar, "menuAlarmTimeSet"), &QAction::triggered, this, [this] {
        // The greyed month and day still yield a date; it is not sent.
        const DateTime input = askDateTime(QStringLiteral("시간 입력"), false);
        if (input.date.isEmpty() || input.time.isEmpty())
            return;
        addLog(QStringLiteral("알람 시간 설정:") + QStringLiteral(" 시간=") + input.time);
        SendCommand('E', input.time, QString(), QString());
    });

    connect(findItem(bar, "menuAlarmMelodySet"), &QAction::triggered, this, [this] {
        const auto melody = askMelody(QStringLiteral("멜로디 번호 설정"), false);
        if (!melody)
            return;
        addLog(QStringLiteral("알람 멜로디 설정 :멜로디 번호=") + melody->number
               + QStringLiteral("  멜로디곡명=") + melody->title);
        SendCommand('F', melody->number, QString(), QString());
    });

    connect(findItem(bar, "menuRespMelodySet"), &QAction::triggered, this, [this] {
        const auto melody = askMelody(QStringLiteral("응답 멜로디 설정"), true);
        if (!melody)
            return;
        addLog(QStringLiteral("응답 멜로디 설정 :그룹=") + melody->group
               + QStringLiteral("멜로디 번호=") + melody->number + QStringLiteral("  멜로디곡명=")
               + melody->title);
        SendCommand('P', melody->group, melody->number, QString());
    });

    connect(findItem(bar, "menuCallSet"), &QAction::triggered, this, [this] {
        const QString number = askNumber(u"전화번호 입력", u"전화번호");
        if (number.isEmpty())
            return;
        addLog(QStringLiteral("전화걸기:전화번호=") + number);
        addLog(QStringLiteral("수화기를 들어 주세요"));
        addLog(QStringLiteral("수화기를 들어 주세요"));

        // The terminal dials only with the handset lifted: wait for its hook
        // report. Each pass blocks until an event arrives; the timer's ticks
        // guarantee that one does. Whoever stops the timer meanwhile (the exit
        // button, a dial nested in this wait) ends the wait too, as no tick
        // would ever wake it again.
        gTimerHookCnt = 0;
        timerHook->setInterval(kHookTimerMs);
        timerHook->start();
        while (gHookState == 0) {
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            if (gTimerHookCnt >= kHookWaitTicks || !timerHook->isActive())
                break;
        }
        timerHook->stop();

        if (gHookState == -1) {
            addLog(QStringLiteral("전화걸기를 시도합니다."));
            SendCommand('C', number, QString(), QString());
        } else {
            addLog(QStringLiteral("10초 동안 수화기를 들지 않아서 전화걸기 시도를 중지 합니다."));
        }
    });
    // menuRespNumberSet has no action.
}

void tavro_test::SendCommand(char cmd, QString para1, QString para2, QString para3)
{
    // The device link rewrites its arguments; these are our own copies.
    QString port = gCurrentCOMPort;
    if (tavro->SendCmd(port, cmd, para1, para2, para3)) {
        addLog(QStringLiteral("    --> 명령 송신 성공"));
    } else {
        addLog(QStringLiteral("    --> 명령 송신 실패"));
        addLog(tavro->GetCurrentErrorMsg());
    }
}
