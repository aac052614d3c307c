#include "command_menu.h"

#include <QMenu>
#include <QMenuBar>

#include <iterator>

namespace tavro_console {

namespace {

const char16_t kWaitNotice[] = u"정보가 많은 경우 시간이 걸릴수 있습니다(5초정도 기다리세요)";
const char16_t kOn[] = u"설정";
const char16_t kOff[] = u"해제";

using K = MenuKind;

// clang-format off
const MenuEntry kMenu[] = {
    {0, "menuBasicFunctionGet", u"기본기능(조회)", K::Menu},
    {1, "menuRxCallInformationGet", u"수신된 발신자 정보 조회", K::Command, 'a', u"수신된 발신자 정보 조회", kWaitNotice},
    {1, "menuRcvDNDel", u"수신 전화번호 삭제", K::Menu},
    {2, "menuRcvDNDel_One", u"특정전화번호", K::AskNumber, 'B', u"수신 전화 번호 삭제:"},
    {2, "menuRcvDNDel_All", u"전체", K::Command, 'B', u"수신 전화 번호 삭제:전체", nullptr, u"ALL"},
    {1, "sr1", u"-", K::Separator},
    {1, "menuDataTimeGet", u"날짜.시간 조회", K::Command, 'd', u"날짜/시간 조회"},
    {1, "menuDataTimeSet", u"날짜.시간 설정", K::AskDateTime, 'D', u"날짜.시간 설정:날짜=", nullptr, nullptr, nullptr, u"날짜.시간 입력"},
    {1, "ss", u"-", K::Separator},
    {1, "menuLocalNumberGet", u"지역 번호 조회", K::Command, 'g', u"지역 번호 조회"},
    {1, "menuLocalNumberSet", u"지역 번호 설정", K::AskNumber, 'G', u"지역 번호 설정:", nullptr, nullptr, nullptr, u"지역번호 입력", u"지역번호"},
    {1, "srr2", u"-", K::Separator},
    {1, "menuRcvOnDialGet", u"통화중 수신 기능 조회", K::Command, 'h', u"통화중 수신 기능 조회"},
    {1, "menuRcvOnDialSet", u"통화중 수신 기능", K::Menu},
    {2, "menuRcvOnDialSet_ON", kOn, K::Command, 'H', u"통화중 수신 기능 - 설정", nullptr, u"1"},
    {2, "menuRcvOnDialSet_OFF", kOff, K::Command, 'H', nullptr, nullptr, u"0"},
    {1, "sep9", u"-", K::Separator},
    {1, "menuButtonSoundGet", u"버튼 소리 조회", K::Command, 'r', u"버튼 소리 기능 조회"},
    {1, "menuSoundButtonSet", u"버튼 소리 설정", K::Menu},
    {2, "menuSoundButtonSet_ON", kOn, K::Command, 'R', u"버튼 소리 설정", nullptr, u"1"},
    {2, "menuSoundButtonSet_OFF", kOff, K::Command, 'R', u"버튼 소리 해제(묵음)", nullptr, u"0"},
    {1, "sss8", u"-", K::Separator},
    {1, "menuLCDBirghtGet", u"LCD 밝기 조회", K::Command, 's', u"LCD 밝기 조회"},
    {1, "menuLCDBrightSetting", u"LCD 밝기 설정", K::Menu},
    // The item array menuLCDBrightSet: index i sends i.
    {2, "menuLCDBrightSet", u"1", K::Command, 'S', u"LCD 밝기 조정", nullptr, u"1", nullptr, nullptr, nullptr, 1},
    {2, "menuLCDBrightSet", u"2", K::Command, 'S', u"LCD 밝기 조정", nullptr, u"2", nullptr, nullptr, nullptr, 2},
    {2, "menuLCDBrightSet", u"3", K::Command, 'S', u"LCD 밝기 조정", nullptr, u"3", nullptr, nullptr, nullptr, 3},
    {2, "menuLCDBrightSet", u"4", K::Command, 'S', u"LCD 밝기 조정", nullptr, u"4", nullptr, nullptr, nullptr, 4},
    {2, "menuLCDBrightSet", u"5", K::Command, 'S', u"LCD 밝기 조정", nullptr, u"5", nullptr, nullptr, nullptr, 5},
    {2, "menuLCDBrightSet", u"6", K::Command, 'S', u"LCD 밝기 조정", nullptr, u"6", nullptr, nullptr, nullptr, 6},
    {2, "menuLCDBrightSet", u"7", K::Command, 'S', u"LCD 밝기 조정", nullptr, u"7", nullptr, nullptr, nullptr, 7},
    {2, "menuLCDBrightSet", u"8", K::Command, 'S', u"LCD 밝기 조정", nullptr, u"8", nullptr, nullptr, nullptr, 8},

    {0, "menuRejectFunction", u"거부 기능", K::Menu},
    {1, "menuRejectFuncGet", u"거부 기능 조회", K::Command, 'i', u"거부 기능 조회"},
    {1, "menuRejectFuncSet", u"거부 기능 ", K::Menu},
    {2, "menuRejectFuncSet_ON", kOn, K::Command, 'I', u"거부 기능 설정", nullptr, u"1"},
    {2, "menuRejectFuncSet_OFF", kOff, K::Command, 'I', u"거부 기능 해제", nullptr, u"0"},
    {1, "rej1", u"-", K::Separator},
    {1, "menuRejectDNGet", u"거부 번호 조회", K::Command, 'j', u"거부 번호 조회", kWaitNotice},
    {1, "menuRejectDNSet", u"번호 거부 기능 설정", K::Menu},
    {2, "menuRejectDNSet_Append", u"추가", K::AskNumber, 'J', u"거부 번호 설정-추가:", nullptr, nullptr, u"1", u"거부번호 추가", u"거부번호"},
    {2, "menuRejectDNSet_Delete", u"삭제", K::AskNumber, 'J', u"거부 번호 설정-삭제:", nullptr, nullptr, u"0", u"거부번호 삭제", u"거부번호"},
    {1, "rej2", u"-", K::Separator},
    {1, "menuRejectALLGet", u"모든번호거부 기능 조회", K::Command, 'u', u"모든 번호 거부 기능 조회:", nullptr, u"0"},
    {1, "menuRejectALLSet", u"모든번호거부 기능 설정", K::Menu},
    {2, "menuRejectALLSet_ON", kOn, K::Command, 'U', u"모든 번호 거부 기능 명령 : 설정", nullptr, u"1"},
    {2, "menuRejectALLSet_OFF", kOff, K::Command, 'U', u"모든 번호 거부 기능 명령 : 해제", nullptr, u"0"},

    {0, "menuAlarmFunction", u"알람 기능", K::Menu},
    {1, "menuAlarmTimeGet", u"알람 시간 조회", K::Command, 'e', u"알람 날짜/시간 조회 명령"},
    {1, "menuAlarmTimeSet", u"알람 시간 설정", K::AskTime, 'E', u"알람 시간 설정:", nullptr, nullptr, nullptr, u"시간 입력"},
    {1, "alarm1", u"-", K::Separator},
    {1, "menuAlarmFuncGet", u"알람 기능 조회", K::Command, 't', u"알람 기능 조회", nullptr, u"0"},
    {1, "menuAlarmFuncSet", u"알람 기능 설정", K::Menu},
    {2, "menuAlarmFuncGet_ON", kOn, K::Command, 'T', u"알람 기능 설정", nullptr, u"1"},
    {2, "menuAlarmFuncGet_OFF", kOff, K::Command, 'T', u"알람 기능 해제", nullptr, u"0"},
    {1, "alarm2", u"-", K::Separator},
    {1, "menuAlarmMelodyGet", u"알람 멜로디 조회", K::Command, 'f', u"알람 멜로디 조회"},
    // The terminal sets its alarm melody itself; the item starts greyed.
    {1, "menuAlarmMelodySet", u"알람 멜로디 설정", K::AskMelody, 'F', u"알람 멜로디 설정 :멜로디 번호=", nullptr, nullptr, nullptr, u"멜로디 번호 설정", nullptr, 0, true},

    {0, "menuResponseFunction", u"응답기능", K::Menu},
    {1, "menuResponseFuncSet", u"응답기능", K::Menu},
    {2, "menuResponseFuncSet_ON", kOn, K::Command, 'N', u"응답 기능 : 설정", nullptr, u"1"},
    {2, "menuResponseFuncSet_OFF", kOff, K::Command, 'N', u"응답 기능 : 해제", nullptr, u"0"},
    {1, "menuResponseFuncGet", u"응답기능조회", K::Command, 'n', u"응답 기능 조회"},
    {1, "ss_resp", u"-", K::Separator},
    {1, "menuResponseDNFuncGet", u"응답번호만 수신기능 조회", K::Command, 'q', u"응답번호만 수신 기능 : "},
    {1, "menuResponseDNFuncSet", u"응답번호만 수신기능설정", K::Menu},
    {2, "menuResponseDNFuncSet_ON", kOn, K::Command, 'Q', u"응답번호만 수신 기능 : 설정", nullptr, u"1"},
    {2, "menuResponseDNFuncSet_OFF", kOff, K::Command, 'Q', u"응답번호만 수신 기능 : 해제", nullptr, u"0"},
    {1, "sr2", u"-", K::Separator},
    {1, "menuRespNumberGet", u"응답 번호 조회", K::Command, 'o', u"응답 번호 조회 : "},
    {1, "menuRespNumberSet", u"응답 번호 설정", K::NoAction},
    {1, "sr4", u"-", K::Separator},
    {1, "menuRespMelodyFuncGet", u"응답 멜로디 기능 조회", K::Command, 'x', u"응답 멜로디 기능 조회"},
    {1, "menuRespMelodyFuncSet", u"응답 멜로디 기능  설정", K::Menu},
    {2, "menuRespMelodyFuncSet_ON", kOn, K::Command, 'X', u"응답 멜로디 기능 : 설정", nullptr, u"1"},
    {2, "menuRespMelodyFuncSet_OFF", kOff, K::Command, 'X', u"응답 멜로디 기능 : 해제", nullptr, u"0"},
    {1, "sr3", u"-", K::Separator},
    {1, "menuRespMelodyGet", u"응답 멜로디 조회", K::Command, 'p', u"응답 멜로디 조회"},
    {1, "menuRespMelodySet", u"응답 멜로디 설정", K::AskGroupMelody, 'P', u"응답 멜로디 설정 :그룹=", nullptr, nullptr, nullptr, u"응답 멜로디 설정"},

    {0, "menuOperation", u"동작기능", K::Menu},
    {1, "menuCallSet", u"전화걸기", K::Dial, 'C', u"전화걸기:전화번호=", nullptr, nullptr, nullptr, u"전화번호 입력", u"전화번호"},
    {1, "menuCallWaitFuncSet", u"통화대기(hook flash) - ?", K::Command, 'Y', u"통화 대기(hook flah) [참고]3자통화시에 사용"},
};
// clang-format on

} // namespace

std::vector<MenuItem> buildMenu(QMenuBar *bar)
{
    std::vector<MenuItem> items;
    QMenu *parents[4] = {}; // the menu that entries of each depth go into
    for (const MenuEntry &entry : kMenu) {
        const QString caption = QString::fromUtf16(entry.caption);
        QAction *action = nullptr;
        if (entry.kind == MenuKind::Menu) {
            QMenu *menu = entry.depth == 0 ? bar->addMenu(caption)
                                           : parents[entry.depth]->addMenu(caption);
            menu->setObjectName(QLatin1String(entry.name));
            parents[entry.depth + 1] = menu;
            action = menu->menuAction();
        } else if (entry.kind == MenuKind::Separator) {
            action = parents[entry.depth]->addSeparator();
        } else {
            action = parents[entry.depth]->addAction(caption);
            if (entry.index)
                action->setData(entry.index);
            action->setEnabled(!entry.startsGreyed);
            items.push_back({&entry, action});
        }
        action->setObjectName(QLatin1String(entry.name));
    }
    return items;
}

} // namespace tavro_console
