// The console's main window: one device-link control, the log, the raw boxes.
#ifndef TAVRO_TEST_H
#define TAVRO_TEST_H

#include "tavro/tavro_m.h"

#include <QMainWindow>

class QComboBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class frmDebug;

class tavro_test : public QMainWindow
{
    Q_OBJECT

public:
    explicit tavro_test(const tavro::PortMap &portMap = tavro::defaultPortMap(),
                        QWidget *parent = nullptr);
    ~tavro_test() override;

    // Appends one line to lstResult; the newest line stays in view unless
    // the operator has scrolled up to read.
    void addLog(const QString &line);

    // Public as the other windows and the menu handlers use them.
    QString gCurrentCOMPort;
    qint32 gTimerHookCnt = 0;

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
    frmDebug *debugWindow = nullptr;

private:
    // The command menu and its sender live in command_menu.cpp.
    void buildCommandMenu();
    void SendCommand(char cmd, QString para1, QString para2, QString para3);
};

#endif // TAVRO_TEST_H
