#include "tavro_test.h"

#include "command_menu.h"
#include "dlgDateTime.h"
#include "dlgMelody.h"
#include "dlgNumber.h"
#include "event_presentation.h"
#include "frmDebug.h"
#include "numeric_value.h"
#include "tavro_var.h"
#include "text_box_appender.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFrame>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>

#include <algorithm>
#include <optional>

namespace {

// The labels' font; on machines without it, a Korean font that has the glyphs.
QFont gulimFont()
{
    QFont font;
    font.setFamilies({QStringLiteral("굴림체"), QStringLiteral("GulimChe"),
                      QStringLiteral("Noto Sans Mono CJK KR"), QStringLiteral("Noto Sans CJK KR"),
                      QStringLiteral("NanumGothicCoding"), QStringLiteral("NanumGothic"),
                      QStringLiteral("UnDotum")});
    font.setStyleHint(QFont::TypeWriter);
    font.setPointSizeF(9.75);
    font.setWeight(QFont::Normal);
    return font;
}

void setBackground(QPushButton *button, const QColor &colour)
{
    QPalette palette = button->palette();
    palette.setColor(QPalette::Button, colour);
    button->setPalette(palette);
}

// What a key press types: its text, with Enter as CR and Backspace as BS.
// Keys that only edit, move or command (Delete, Insert, arrows, Home/End,
// function keys, Escape, Tab, Ctrl+letter) type nothing, even where the
// platform gives them a control character as text (Delete arrives as 0x7F).
QString typedCharacters(const QKeyEvent &key)
{
    switch (key.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        return QStringLiteral("\r");
    case Qt::Key_Backspace:
        return QStringLiteral("\b");
    default:
        break;
    }
    const QString text = key.text();
    const bool typesText = !text.isEmpty() && std::none_of(text.begin(), text.end(), [](QChar c) {
        return c.category() == QChar::Other_Control;
    });
    return typesText ? text : QString();
}

QString text(const char16_t *s)
{
    return s ? QString::fromUtf16(s) : QString();
}

// The number as typed; empty after Cancel or OK on an empty box.
QString askNumber(const char16_t *caption, const char16_t *title)
{
    dlgNumber dialog;
    if (caption) {
        dialog.setWindowTitle(text(caption));
        dialog.setNumberTitle(text(title));
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
DateTime askDateTime(const char16_t *caption, bool withDate)
{
    dlgDateTime dialog;
    dialog.setWindowTitle(text(caption));
    dialog.setDateEnabled(withDate);
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
std::optional<Melody> askMelody(const char16_t *caption, bool withGroup)
{
    dlgMelody dialog;
    dialog.setWindowTitle(text(caption));
    dialog.setGroupVisible(withGroup);
    dialog.exec();
    const double n = tavro_console::numericValue(gMelodyNo);
    if (n < 1 || n > 6)
        return std::nullopt;
    return Melody {gMelodyGroup, gMelodyNo, melodyTitleOf(n)};
}

// The wait for the handset gives up after this many ticks of timerHook.
constexpr qint32 kHookWaitTicks = 10;
constexpr int kHookTimerMs = 1000;

} // namespace

tavro_test::tavro_test(const tavro::PortMap &portMap, QWidget *parent)
    : QMainWindow(parent)
    , tavro(new tavro_m(portMap, this))
{
    tavro->setObjectName(QStringLiteral("tavro"));
    setObjectName(QStringLiteral("tavro_test"));
    setWindowTitle(QStringLiteral("tavro 시험용 프로그램"));
    buildClientArea();
    connectControlEvents();
    for (const tavro_console::MenuItem &item : tavro_console::buildMenu(menuBar())) {
        connect(item.action, &QAction::triggered, this,
                [this, entry = item.entry] { runMenuEntry(*entry); });
    }
    // The client area has a fixed size; the window follows it and the menu bar.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
    startUp();
}

tavro_test::~tavro_test()
{
    // The debug window is a top-level window of its own; it goes with this one.
    delete debugWindow;
}

void tavro_test::buildClientArea()
{
    auto *client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->setFixedSize(twips::toPixels(10110), twips::toPixels(10545));
    setCentralWidget(client);
    // Made in this order: it is the order the widgets are stacked in.
    addPortPicker(client);
    addButtons(client);
    addMessageBoxes(client);

    timerHook = new QTimer(this);
    timerHook->setObjectName(QStringLiteral("timerHook"));
    connect(timerHook, &QTimer::timeout, this, [this] { ++gTimerHookCnt; });

    connectClientArea();
}

void tavro_test::addPortPicker(QWidget *client)
{
    cbComPort = new QComboBox(client);
    cbComPort->setObjectName(QStringLiteral("cbComPort"));
    cbComPort->setEditable(true);
    cbComPort->addItems({QStringLiteral("COM1"), QStringLiteral("COM2")});
    cbComPort->setInsertPolicy(QComboBox::NoInsert);
    // No inline completion: it would turn a typed "C" into "COM1" and make
    // that port current while the operator is still typing another text.
    cbComPort->setCompleter(nullptr);
    // "포트설정" is a prompt, not an entry: nothing is current behind it, so
    // the first Down key picks COM1.
    cbComPort->setCurrentIndex(-1);
    cbComPort->setEditText(QStringLiteral("포트설정"));
    cbComPort->setGeometry(twips::toPixels(480, 240, 1095, 300));
}

void tavro_test::addButtons(QWidget *client)
{
    auto makeButton = [client](QPushButton *&button, const char *name, const QString &caption,
                               const QRect &geometry) {
        button = new QPushButton(caption, client);
        button->setObjectName(QLatin1String(name));
        button->setGeometry(geometry);
        button->setAutoDefault(false);
    };
    makeButton(cmdOpenTavro, "cmdOpenTavro", QStringLiteral("Open TAVRO"),
               twips::toPixels(3000, 120, 1455, 375));
    makeButton(cmdCloseTavro, "cmdCloseTavro", QStringLiteral("Close TAVRO"),
               twips::toPixels(4680, 120, 1455, 375));
    makeButton(cmdCOMPortState, "cmdCOMPortState", QStringLiteral("COM 포트상태"),
               twips::toPixels(6360, 120, 1335, 375));
    makeButton(cmdClearScreen, "cmdClearScreen", QStringLiteral("화면지우기"),
               twips::toPixels(7800, 0, 1215, 735));
    makeButton(cmdExit, "cmdExit", QStringLiteral("종료"), twips::toPixels(9120, 0, 855, 735));
    setBackground(cmdOpenTavro, QColor(192, 255, 255));
    setBackground(cmdCloseTavro, QColor(0, 255, 255));
    setBackground(cmdCOMPortState, QColor(0, 192, 192));
    setBackground(cmdExit, QColor(128, 255, 128));
}

void tavro_test::addMessageBoxes(QWidget *client)
{
    Label2 = new QLabel(QStringLiteral("-->>          송수신 메시지      <<--"), client);
    Label2->setObjectName(QStringLiteral("Label2"));
    Label2->setGeometry(twips::toPixels(3120, 840, 3135, 255));

    lstResult = new QListWidget(client);
    lstResult->setObjectName(QStringLiteral("lstResult"));
    lstResult->setGeometry(twips::toPixels(240, 1320, 9615, 4890));
    lstResult->setUniformItemSizes(true);

    lblTx = new QLabel(QStringLiteral("송신"), client);
    lblTx->setObjectName(QStringLiteral("lblTx"));
    lblTx->setGeometry(twips::toPixels(1320, 6480, 735, 255));
    lblTx->setFont(gulimFont());
    lblRx = new QLabel(QStringLiteral("수신"), client);
    lblRx->setObjectName(QStringLiteral("lblRx"));
    lblRx->setGeometry(twips::toPixels(7320, 6480, 615, 255));
    lblRx->setFont(gulimFont());

    txtTx = new QLineEdit(client);
    txtTx->setObjectName(QStringLiteral("txtTx"));
    txtTx->setGeometry(twips::toPixels(240, 6840, 4455, 3495));
    txtTx->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    txtTx->installEventFilter(this);

    txtRx = new QPlainTextEdit(client);
    txtRx->setObjectName(QStringLiteral("txtRx"));
    txtRx->setGeometry(twips::toPixels(4920, 6840, 4935, 3495));
    txtRx->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_rxAppender = new TextBoxAppender(txtRx);

    Line1 = new QFrame(client);
    Line1->setObjectName(QStringLiteral("Line1"));
    Line1->setFrameShape(QFrame::HLine);
    Line1->setFrameShadow(QFrame::Plain);
    Line1->setGeometry(0, 0, twips::toPixels(10080), 1);
}

void tavro_test::connectClientArea()
{
    QWidget::setTabOrder(cmdOpenTavro, cmdCloseTavro);
    QWidget::setTabOrder(cmdCloseTavro, lstResult);
    QWidget::setTabOrder(lstResult, txtRx);
    QWidget::setTabOrder(txtRx, txtTx);
    QWidget::setTabOrder(txtTx, cmdCOMPortState);
    QWidget::setTabOrder(cmdCOMPortState, cmdExit);
    QWidget::setTabOrder(cmdExit, cmdClearScreen);
    QWidget::setTabOrder(cmdClearScreen, cbComPort);
    cmdOpenTavro->setFocus();

    // Typing and picking run the same rule.
    connect(cbComPort, &QComboBox::editTextChanged, this, &tavro_test::chooseComPort);
    connect(cbComPort, &QComboBox::textActivated, this, &tavro_test::chooseComPort);
    connect(cmdOpenTavro, &QPushButton::clicked, this, &tavro_test::cmdOpenTavro_Click);
    connect(cmdCloseTavro, &QPushButton::clicked, this, &tavro_test::cmdCloseTavro_Click);
    connect(cmdCOMPortState, &QPushButton::clicked, this, &tavro_test::cmdCOMPortState_Click);
    connect(cmdClearScreen, &QPushButton::clicked, this, &tavro_test::cmdClearScreen_Click);
    connect(cmdExit, &QPushButton::clicked, this, &tavro_test::cmdExit_Click);
}

void tavro_test::runMenuEntry(const tavro_console::MenuEntry &entry)
{
    using tavro_console::MenuKind;
    switch (entry.kind) {
    case MenuKind::Command:
        if (entry.label)
            addLog(text(entry.label));
        if (entry.label2)
            addLog(text(entry.label2));
        SendCommand(entry.cmd, text(entry.para1), QString(), QString());
        break;
    case MenuKind::AskNumber:
    case MenuKind::Dial:
        runNumberEntry(entry);
        break;
    case MenuKind::AskDateTime:
    case MenuKind::AskTime:
        runDateTimeEntry(entry);
        break;
    case MenuKind::AskMelody:
    case MenuKind::AskGroupMelody:
        runMelodyEntry(entry);
        break;
    case MenuKind::Menu:
    case MenuKind::Separator:
    case MenuKind::NoAction:
        break;
    }
}

void tavro_test::runNumberEntry(const tavro_console::MenuEntry &entry)
{
    const QString number = askNumber(entry.dialogCaption, entry.dialogTitle);
    if (number.isEmpty())
        return;
    addLog(text(entry.label) + number);
    if (entry.kind == tavro_console::MenuKind::Dial)
        dial(entry.cmd, number);
    else
        SendCommand(entry.cmd, number, text(entry.para2), QString());
}

void tavro_test::runDateTimeEntry(const tavro_console::MenuEntry &entry)
{
    // For the time alone the greyed month and day still yield a date; it is not sent.
    const bool withDate = entry.kind == tavro_console::MenuKind::AskDateTime;
    const DateTime input = askDateTime(entry.dialogCaption, withDate);
    if (input.date.isEmpty() || input.time.isEmpty())
        return;
    addLog(text(entry.label) + (withDate ? input.date : QString()) + QStringLiteral(" 시간=") + input.time);
    if (withDate)
        SendCommand(entry.cmd, input.date, input.time, QString());
    else
        SendCommand(entry.cmd, input.time, QString(), QString());
}

void tavro_test::runMelodyEntry(const tavro_console::MenuEntry &entry)
{
    const bool withGroup = entry.kind == tavro_console::MenuKind::AskGroupMelody;
    const auto melody = askMelody(entry.dialogCaption, withGroup);
    if (!melody)
        return;
    const QString title = QStringLiteral("  멜로디곡명=") + melody->title;
    if (withGroup) {
        addLog(text(entry.label) + melody->group + QStringLiteral("멜로디 번호=") + melody->number + title);
        SendCommand(entry.cmd, melody->group, melody->number, QString());
    } else {
        addLog(text(entry.label) + melody->number + title);
        SendCommand(entry.cmd, melody->number, QString(), QString());
    }
}

void tavro_test::dial(char cmd, const QString &number)
{
    addLog(QStringLiteral("수화기를 들어 주세요"));
    addLog(QStringLiteral("수화기를 들어 주세요"));
    if (waitForHandset()) {
        addLog(QStringLiteral("전화걸기를 시도합니다."));
        SendCommand(cmd, number, QString(), QString());
    } else {
        addLog(QStringLiteral("10초 동안 수화기를 들지 않아서 전화걸기 시도를 중지 합니다."));
    }
}

bool tavro_test::waitForHandset()
{
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
    return gHookState == -1;
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

void tavro_test::startUp()
{
    showDebugWindow();
    for (QWidget *w : {static_cast<QWidget *>(lblRx), static_cast<QWidget *>(lblTx),
                       static_cast<QWidget *>(txtTx), static_cast<QWidget *>(txtRx)})
        w->setVisible(true);
    gCurrentCOMPort = QStringLiteral("COM1");
    for (int n = 1; n <= 4; ++n)
        gPortNames[n] = QStringLiteral("COM") + QString::number(n);
    openPort(gPortNames[1]);
    openPort(gPortNames[2]);
    gHookState = 0;
    timerHook->stop();
    gMelodyTitles = {QStringLiteral("과수원길"), QStringLiteral("바닷가에서"),
                     QStringLiteral("산바람 강바람"), QStringLiteral("옹달샘"),
                     QStringLiteral("우산"), QStringLiteral("초록바다"), QString()};
}

void tavro_test::showDebugWindow()
{
    if (!debugWindow)
        debugWindow = new frmDebug;
    debugWindow->show();
}

void tavro_test::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // Once, when the main window first appears: put the debug window beside it.
    if (!m_placedDebugWindow && debugWindow) {
        m_placedDebugWindow = true;
        const QRect frame = frameGeometry();
        debugWindow->move(frame.right() + 8, frame.top());
    }
}

void tavro_test::addLog(const QString &line)
{
    addLogLines({line});
}

void tavro_test::addLogLines(const QStringList &lines)
{
    QScrollBar *bar = lstResult->verticalScrollBar();
    const bool following = bar->value() >= bar->maximum();
    if (lstResult->count() + lines.size() > kMaxLogLines)
        lstResult->model()->removeRows(0, std::min<int>(lstResult->count(), kLogTrimLines));
    lstResult->addItems(lines);
    // Scrolling lays the whole list out again: once per block of lines.
    if (following)
        lstResult->scrollToBottom();
}

void tavro_test::openPort(const QString &portName)
{
    QString name = portName, error;
    const bool opened = tavro->OpenTavro(name, error) == 0;
    addLog(QStringLiteral("포트 ") + portName
           + (opened ? QStringLiteral("으로 TAVRO OPEN에 성공했습니다.")
                     : QStringLiteral("으로 TAVRO OPEN에 실패했습니다.")));
}

void tavro_test::chooseComPort(const QString &text)
{
    if (text == QLatin1String("COM1") || text == QLatin1String("COM2"))
        gCurrentCOMPort = text;
}

void tavro_test::cmdOpenTavro_Click()
{
    openPort(gCurrentCOMPort);
}

void tavro_test::cmdCloseTavro_Click()
{
    QString name = gCurrentCOMPort, error;
    bool closed = false;
    try {
        closed = tavro->CloseTavro(name, error) == 0;
    } catch (const tavro::CallError &) {
        closed = false; // gCurrentCOMPort only ever holds COM1 or COM2
    }
    addLog(QStringLiteral("포트 ") + gCurrentCOMPort
           + (closed ? QStringLiteral("으로 TAVRO CLOSE에 성공했습니다.")
                     : QStringLiteral("으로 TAVRO CLOSE에 실패했습니다.")));
}

void tavro_test::cmdCOMPortState_Click()
{
    for (int n = 1; n <= 4; ++n) {
        QString name = QStringLiteral("COM") + QString::number(n);
        const bool open = tavro->ComPortStateGet(name);
        addLog(name + (open ? QStringLiteral(" 포트가 OPEN 되어 있습니다.")
                            : QStringLiteral(" 포트가 close 되어 있습니다.")));
    }
}

void tavro_test::cmdClearScreen_Click()
{
    lstResult->clear();
}

void tavro_test::cmdExit_Click()
{
    for (int n = 1; n <= 4; ++n) {
        QString name = QStringLiteral("COM") + QString::number(n), error;
        tavro->CloseTavro(name, error);
    }
    // timerHook keeps ticking: a dial wait in progress must still reach its
    // limit and return, or the event loop would never get back to ending.
    if (debugWindow)
        debugWindow->close();
    close();
    emit exitRequested();
}

bool tavro_test::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == txtTx) {
        if (event->type() == QEvent::KeyPress) {
            sendRawText(typedCharacters(*static_cast<QKeyEvent *>(event)));
        } else if (event->type() == QEvent::InputMethod) {
            // Hangul typed through an input method arrives as committed text.
            sendRawText(static_cast<QInputMethodEvent *>(event)->commitString());
        }
    }
    return QMainWindow::eventFilter(watched, event); // the key still lands in the box
}

void tavro_test::sendRawText(const QString &text)
{
    // One call per character: each goes out the moment it is typed.
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype length = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        QString port = QStringLiteral("COM1"), character = text.mid(i, length);
        i += length;
        try {
            tavro->TxData(port, character);
        } catch (const tavro::CallError &) {
            // The exception's text is for programmers; the operator reads Korean.
            QString com1 = QStringLiteral("COM1");
            addLog(tavro->ComPortStateGet(com1)
                       ? QStringLiteral("COM1 포트로 보내지 못했습니다.")
                       : QStringLiteral("COM1 포트가 열려 있지 않아 보내지 못했습니다."));
        }
    }
}

// ---- the control's events ---------------------------------------------------

void tavro_test::connectControlEvents()
{
    connect(tavro, &tavro_m::DebugMsg, this, &tavro_test::tavro_DebugMsg);
    connect(tavro, &tavro_m::ReceiveReal, this, &tavro_test::tavro_ReceiveReal);
    connect(tavro, &tavro_m::ReceiveCall, this, &tavro_test::tavro_ReceiveCall);
    connect(tavro, &tavro_m::HookEvent, this, &tavro_test::tavro_HookEvent);
    connect(tavro, &tavro_m::ReceiveResponse, this, &tavro_test::tavro_ReceiveResponse);
    connect(tavro, &tavro_m::ReceiveGatheredInfo, this, &tavro_test::tavro_ReceiveGatheredInfo);
}

void tavro_test::tavro_DebugMsg(const QString &str)
{
    if (!debugWindow)
        debugWindow = new frmDebug; // created, not shown
    debugWindow->appendText(str);
}

void tavro_test::tavro_ReceiveReal(const QString &, const QString &str)
{
    m_rxAppender->append(str);
}

void tavro_test::tavro_ReceiveCall(const QString &portName, qint16 callState, CID_INFO &cidInfo)
{
    addLogLines(tavro_console::callLines(portName, callState, cidInfo));
}

void tavro_test::tavro_HookEvent(const QString &portName, bool eventType)
{
    addLog(tavro_console::hookLine(portName, eventType));
    gHookState = eventType ? -1 : 0;
}

void tavro_test::tavro_ReceiveResponse(const QString &portName, qint16 msgType,
                                       const QString &rst1, const QString &rst2, const QString &)
{
    addLogLines(tavro_console::responseLines(portName, msgType, rst1, rst2));
}

void tavro_test::tavro_ReceiveGatheredInfo(const QString &portName, qint16 &max, qint16 &kind,
                                           CID_INFO_ARRAY &cidInfo)
{
    addLogLines(tavro_console::gatheredLines(portName, max, kind, cidInfo));
}

std::optional<tavro::PortMap> tavro_test::parsePortMapOptions(const QStringList &values,
                                                              QString *error)
{
    tavro::PortMap map;
    for (const QString &value : values) {
        if (!tavro::parsePortMapEntry(value, map, error)) {
            if (error)
                *error = QStringLiteral("--map: ") + *error;
            return std::nullopt;
        }
    }
    return map;
}
