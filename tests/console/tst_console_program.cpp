// The tavro_ex program as started from a shell: without a display it says
// what is missing in one line and ends with a failure status.
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QtTest>

class ConsoleProgramTest : public QObject
{
    Q_OBJECT

private slots:
    void withoutDisplay_data()
    {
        QTest::addColumn<QString>("platform"); // empty: QT_QPA_PLATFORM unset
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("missing");
        QTest::newRow("default platform") << QString() << QStringList() << "DISPLAY";
        QTest::newRow("xcb") << "xcb" << QStringList() << "DISPLAY";
        QTest::newRow("wayland") << "wayland" << QStringList() << "WAYLAND_DISPLAY";
        QTest::newRow("-platform xcb beats the environment")
            << "offscreen" << QStringList {"-platform", "xcb"} << "DISPLAY";
        QTest::newRow("with a port map")
            << QString() << QStringList {"--map", "COM1=/dev/tavro-none"} << "DISPLAY";
    }

    void withoutDisplay()
    {
        QFETCH(QString, platform);
        QFETCH(QStringList, arguments);
        QFETCH(QString, missing);
        QTemporaryDir runtimeDir; // holds no Wayland socket
        QVERIFY(runtimeDir.isValid());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QLatin1String(name));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir.path());
        if (!platform.isEmpty())
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);

        QProcess console;
        console.setProcessEnvironment(env);
        console.start(QStringLiteral(TAVRO_EX_PATH), arguments);
        QVERIFY(console.waitForFinished(30000));
        const QString err = QString::fromUtf8(console.readAllStandardError()).trimmed();
        QCOMPARE(console.exitStatus(), QProcess::NormalExit); // no abort inside Qt
        QVERIFY(console.exitCode() != 0);
        QCOMPARE(err.count(QLatin1Char('\n')), 0);
        QVERIFY2(err.startsWith(QLatin1String("tavro_ex: ")), qPrintable(err));
        QVERIFY2(err.contains(missing), qPrintable(err));
        QVERIFY(console.readAllStandardOutput().isEmpty());
    }

    // Help needs no display and succeeds.
    void helpWithoutDisplay()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        QProcess console;
        console.setProcessEnvironment(env);
        console.start(QStringLiteral(TAVRO_EX_PATH), {QStringLiteral("--help")});
        QVERIFY(console.waitForFinished(30000));
        QCOMPARE(console.exitStatus(), QProcess::NormalExit);
        QCOMPARE(console.exitCode(), 0);
        QVERIFY(console.readAllStandardOutput().contains("--map"));
    }
};

QTEST_GUILESS_MAIN(ConsoleProgramTest)
#include "tst_console_program.moc"
