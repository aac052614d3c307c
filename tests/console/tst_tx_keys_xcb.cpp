// Real key presses through an X server (Xvfb) and the xcb platform plugin:
// only keys that type a character reach the line. Offscreen key events
// carry no text for Delete and the like, so only this run shows what the
// operator's keyboard sends.
#include "pty_pair.h"
#include "console_parts.h"
#include "tavro_test.h"

#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QtTest>

class XcbTxKeysTest : public QObject
{
    Q_OBJECT

private:
    // xdotool types through the XTEST extension into the focused window.
    static bool pressKeys(const QStringList &keys)
    {
        QProcess xdotool;
        xdotool.start(QStringLiteral("xdotool"),
                      QStringList {QStringLiteral("key"), QStringLiteral("--delay"),
                                   QStringLiteral("20")} + keys);
        return xdotool.waitForFinished(20000) && xdotool.exitStatus() == QProcess::NormalExit
               && xdotool.exitCode() == 0;
    }

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server and QT_QPA_PLATFORM=xcb (run under xvfb-run)");
    }

    void onlyCharacterKeysGoOut()
    {
        PtyPair one, two;
        QVERIFY(one.isValid() && two.isValid());
        tavro_test window({{"COM1", one.slavePath()}, {"COM2", two.slavePath()}});
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto *txtTx = window.findChild<QLineEdit *>(QStringLiteral("txtTx"));
        QVERIFY(txtTx);
        txtTx->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(txtTx));
        const int linesBefore = part<QListWidget>(window, "lstResult")->count();

        // "abc", then keys that edit or move but type nothing (Left and
        // Delete take the "c" away), then Enter and Backspace, which do go out.
        QVERIFY(pressKeys({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c"),
                           QStringLiteral("Left"), QStringLiteral("Delete"),
                           QStringLiteral("Insert"), QStringLiteral("Home"),
                           QStringLiteral("End"), QStringLiteral("Up"), QStringLiteral("Down"),
                           QStringLiteral("Right"), QStringLiteral("F1"), QStringLiteral("F5"),
                           QStringLiteral("F12"), QStringLiteral("Escape"),
                           QStringLiteral("Prior"), QStringLiteral("Next"),
                           QStringLiteral("KP_Delete"), QStringLiteral("Return"),
                           QStringLiteral("KP_Enter"), QStringLiteral("BackSpace"),
                           QStringLiteral("z")}));
        const QByteArray expected = "abc\r\r\bz";
        QByteArray sent = one.readUntil("z", 10000);
        // Anything that arrives late would be a key that should not have gone out.
        QTest::qWait(200);
        sent += one.readAvailable();
        QCOMPARE(sent, expected);
        QCOMPARE(txtTx->text(), QStringLiteral("az")); // the keys still edited the box
        QCOMPARE(part<QListWidget>(window, "lstResult")->count(), linesBefore); // nothing logged
    }
};

QTEST_MAIN(XcbTxKeysTest)
#include "tst_tx_keys_xcb.moc"
