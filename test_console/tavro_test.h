// The console's main window: one device-link control, the log, the raw boxes.
#ifndef TAVRO_TEST_H
#define TAVRO_TEST_H

#include "tavro/tavro_m.h"

#include <QMainWindow>
#include <QPointer>

#include <optional>

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class frmDebug;
class TextBoxAppender;
namespace tavro_console {
struct MenuEntry;
}

class tavro_test : public QMainWindow
{
    Q_OBJECT

public:
    explicit tavro_test(const tavro::PortMap &portMap = tavro::defaultPortMap(),
                        QWidget *parent = nullptr);
    ~tavro_test() override;

    // lstResult keeps its newest lines: at kMaxLogLines, the oldest
    // kLogTrimLines go at once.
    static constexpr int kMaxLogLines = 10000;
    static constexpr int kLogTrimLines = 500;

    // Appends one line to lstResult; the newest line stays in view unless
    // the operator has scrolled up to read.
    void addLog(const QString &line);

    // Reads the values of repeated "--map COMn=PATH" options into a port
    // map; nullopt with a reason in *error for a value that is not of that form.
    static std::optional<tavro::PortMap> parsePortMapOptions(const QStringList &values,
                                                             QString *error);

    // Public as the other windows and the menu handlers use them.
    QString gCurrentCOMPort;
    qint32 gTimerHookCnt = 0;

Q_SIGNALS:
    // The exit button has closed the ports and the windows; the program's
    // main() ends the event loop on it.
    void exitRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    tavro_m *tavro = nullptr;
    QListWidget *lstResult = nullptr;
    QComboBox *cbComPort = nullptr;
    QPushButton *cmdOpenTavro = nullptr;
    QPushButton *cmdCloseTavro = nullptr;
    QPushButton *cmdCOMPortState = nullptr;
    QPushButton *cmdClearScreen = nullptr;
    QPushButton *cmdExit = nullptr;
    QLineEdit *txtTx = nullptr;
    QPlainTextEdit *txtRx = nullptr;
    QTimer *timerHook = nullptr;
    // A top-level window of its own; it may be closed and deleted apart
    // from this one, and is made again when a text arrives.
    QPointer<frmDebug> debugWindow;
    QLabel *Label2 = nullptr;
    QLabel *lblTx = nullptr;
    QLabel *lblRx = nullptr;
    QFrame *Line1 = nullptr;

    // The command menu (its table is command_menu.cpp): one entry chosen.
    void runMenuEntry(const tavro_console::MenuEntry &entry);
    // The entries that ask the operator first; Cancel sends nothing.
    void runNumberEntry(const tavro_console::MenuEntry &entry);
    void runDateTimeEntry(const tavro_console::MenuEntry &entry);
    void runMelodyEntry(const tavro_console::MenuEntry &entry);
    // Asks the operator to lift the handset, waits for it, then dials or gives up.
    void dial(char cmd, const QString &number);
    // Lets events run until a hook report says the handset is up (true) or
    // timerHook has counted out the limit or been stopped (false).
    bool waitForHandset();
    void SendCommand(char cmd, QString para1, QString para2, QString para3);

    void buildClientArea();
    void addPortPicker(QWidget *client);
    void addButtons(QWidget *client);
    void addMessageBoxes(QWidget *client);
    void connectClientArea();
    void connectControlEvents();
    void startUp();
    void openPort(const QString &portName);
    void chooseComPort(const QString &text);
    void sendRawText(const QString &text);
    void showDebugWindow();

    void cmdOpenTavro_Click();
    void cmdCloseTavro_Click();
    void cmdCOMPortState_Click();
    void cmdClearScreen_Click();
    void cmdExit_Click();

    // Handlers of the control's events (event_presentation.cpp).
    void tavro_DebugMsg(const QString &str);
    void tavro_ReceiveReal(const QString &portName, const QString &str);
    void tavro_ReceiveCall(const QString &portName, qint16 callState, CID_INFO &cidInfo);
    void tavro_HookEvent(const QString &portName, bool eventType);
    void tavro_ReceiveResponse(const QString &portName, qint16 msgType, const QString &rst1,
                               const QString &rst2, const QString &rst3);
    void tavro_ReceiveGatheredInfo(const QString &portName, qint16 &max, qint16 &kind,
                                   CID_INFO_ARRAY &cidInfo);
    void addLogLines(const QStringList &lines);

    TextBoxAppender *m_rxAppender = nullptr;
    bool m_placedDebugWindow = false;
};

#endif // TAVRO_TEST_H
