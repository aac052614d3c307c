// tavro_popup against a real tavrod and tavro_sim, on an X server (Xvfb):
// calls typed into the simulator become cards on the screen, once each,
// across a killed service, a stopped one and a cut network.
#include "popup_app.h"
#include "call_card.h"
#include "tavrod_rig.h"
#include "tcp_relay.h"

#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QSet>
#include <QWindow>
#include <QtTest>

#include <csignal>

using namespace popup;

namespace {

QString labelText(const QWidget *card, const char *name)
{
    const auto *label = card->findChild<QLabel *>(QString::fromLatin1(name));
    return label ? label->text() : QStringLiteral("<none>");
}

// The simulator, tavrod on its line, and the popup in this process.
struct Rig
{
    QTemporaryDir dir;
    std::unique_ptr<SimProcess> sim;
    TavrodProcess tavrod{dir.path()};
    std::unique_ptr<QSettings> store;
    std::unique_ptr<PopupApp> app;
    QList<CallInfo> shown;      // every call the popup showed, in order
    QList<CallCard *> exposed;  // cards as they reached the screen

    QString link() const { return dir.filePath("com1"); }
    bool start()
    {
        sim = std::make_unique<SimProcess>(QStringList{"--link", link()});
        return sim->start() && startService();
    }
    bool startService(quint16 port = 0)
    {
        return tavrod.start({"--map", "COM1=" + link(), "--listen", QStringLiteral("127.0.0.1:%1").arg(port)});
    }
    void startPopup(quint16 port, const QString &tokenFile = {})
    {
        store = std::make_unique<QSettings>(dir.filePath("popup.ini"), QSettings::IniFormat);
        PopupSettings settings;
        settings.url = QStringLiteral("http://127.0.0.1:%1").arg(port);
        settings.tokenFile = tokenFile.isEmpty() ? dir.filePath("token") : tokenFile;
        settings.sound = false;
        app = std::make_unique<PopupApp>(*store, settings, false);
        QObject::connect(app.get(), &PopupApp::callShown, [this](const CallInfo &call) { shown.append(call); });
        QObject::connect(&app->stack(), &CardStack::cardShown, [this](CallCard *card) { exposed.append(card); });
        app->start();
    }
    bool connected(int timeoutMs = 10000)
    {
        return waitUntil([this] { return app->presence().look() == StatusPresence::Look::Connected; }, timeoutMs);
    }
    int storedCalls()
    {
        int count = 0;
        for (const QJsonObject &event : tavrod.storedEvents())
            count += event.value("event").toString() == u"ReceiveCall";
        return count;
    }
    QList<qint64> storedCallIds()
    {
        QList<qint64> ids;
        for (const QJsonObject &event : tavrod.storedEvents()) {
            if (event.value("event").toString() == u"ReceiveCall")
                ids.append(event.value("id").toInteger());
        }
        return ids;
    }
};

// Answers the next question box with `button` once it is up.
void answerNextQuestion(QMessageBox::StandardButton button)
{
    auto *poll = new QTimer(qApp);
    auto tries = std::make_shared<int>(0);
    QObject::connect(poll, &QTimer::timeout, [poll, tries, button] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            box->button(button)->click();
            poll->deleteLater();
        } else if (++*tries > 250) {
            poll->deleteLater();
        }
    });
    poll->start(20);
}

// The README's pictures: a card of a customer in the book (as a service
// with the customer book sends it) and the tray menu with a missed call.
// Events without an id, so they leave the stream's position alone.
void takeScreenshots(Rig &rig, const QDir &shots)
{
    rig.app->link().takeMessage(QStringLiteral(
        R"({"event":"ReceiveCall","site":"shot","localId":1,"portName":"COM1","callState":1,"at":"%1",
            "cidInfo":{"lNumber":"0233334444","lName":""},
            "customer":{"name":"김민지","address":"서울 마포구 월드컵북로 12, 3층","memo":"매주 금요일 저녁 주문. 덜 맵게.",
                        "calls":12,"lastCall":"2026-12-05T09:12:00.000Z"}})")
        .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)));
    rig.app->link().takeMessage(R"({"event":"CallOutcome","site":"shot","localId":2,"callId":1,"outcome":"missed"})");
    CallCard *card = rig.app->stack().cards().last();
    QVERIFY(QTest::qWaitForWindowExposed(card));
    QVERIFY(card->grab().save(shots.filePath("popup-card.png")));
    QMenu &menu = rig.app->menu();
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    menu.popup(QPoint(area.right() - 360, area.top() + 60));
    QVERIFY(QTest::qWaitForWindowExposed(&menu));
    QTest::qWait(200);
    QVERIFY(menu.grab().save(shots.filePath("popup-menu.png")));
    menu.hide();
}

} // namespace

class TestPopupEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (QGuiApplication::platformName() != QLatin1String("xcb"))
            QSKIP("needs an X server and QT_QPA_PLATFORM=xcb (run under xvfb-run)");
    }

    void aTypedCallShowsItsCard()
    {
        Rig rig;
        QVERIFY2(rig.start(), qPrintable(rig.sim->lastError() + rig.tavrod.errors()));
        rig.startPopup(rig.tavrod.port());
        QVERIFY2(rig.connected(), qPrintable(rig.app->presence().text()));

        rig.sim->type(QStringLiteral("call 025551234 홍길동 1 S"));
        QVERIFY(waitUntil([&] { return rig.exposed.size() == 1; }, 10000));
        CallCard *first = rig.exposed.first();
        QCOMPARE(first->windowTitle(), QStringLiteral("02-555-1234 전화"));
        QVERIFY(first->windowHandle()->isExposed());
        QCOMPARE(labelText(first, "name"), QStringLiteral("홍길동"));
        QCOMPARE(labelText(first, "number"), QStringLiteral("02-555-1234"));
        QCOMPARE(labelText(first, "region"), QStringLiteral("서울"));
        QCOMPARE(labelText(first, "state"), QStringLiteral("착신"));
        QCOMPARE(labelText(first, "gap"), QStringLiteral("<none>"));
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(area.contains(first->frameGeometry()));
        QVERIFY(first->frameGeometry().bottom() > area.bottom() - 40);
        QVERIFY(first->frameGeometry().right() > area.right() - 40);

        rig.sim->type(QStringLiteral("busy 01012345678"));
        QVERIFY(waitUntil([&] { return rig.exposed.size() == 2; }, 10000));
        CallCard *second = rig.exposed.last();
        QCOMPARE(second->windowTitle(), QStringLiteral("010-1234-5678 전화"));
        QCOMPARE(labelText(second, "state"), QStringLiteral("통화중착신"));
        QCOMPARE(labelText(second, "name"), QStringLiteral("없슴"));
        QVERIFY(second->frameGeometry().bottom() < first->frameGeometry().top());

        // 수신 거부: asked once, then the terminal's reject list through the service.
        answerNextQuestion(QMessageBox::Yes);
        first->findChild<QPushButton *>("rejectButton")->click();
        QVERIFY2(rig.sim->waitForOutput(QStringLiteral("025551234 added to the reject list"), 10000),
                 qPrintable(rig.sim->output()));
        QTRY_COMPARE_WITH_TIMEOUT(labelText(first, "status"), QStringLiteral("수신 거부 목록에 넣었습니다."), 10000);
        answerNextQuestion(QMessageBox::No);
        second->findChild<QPushButton *>("rejectButton")->click();
        QVERIFY(labelText(second, "status").isEmpty());
        QCOMPARE(rig.shown.size(), 2);

        if (qEnvironmentVariableIsSet("TAVRO_POPUP_SHOTS"))
            takeScreenshots(rig, QDir(qEnvironmentVariable("TAVRO_POPUP_SHOTS")));

        // The tray's colour follows the terminal's port and the service.
        QVERIFY(rig.sim->stop(SIGTERM));
        QVERIFY(waitUntil([&] { return rig.app->presence().look() == StatusPresence::Look::PortClosed; }, 10000));
        QVERIFY2(rig.app->presence().text().contains(QStringLiteral("COM1")), qPrintable(rig.app->presence().text()));
        QVERIFY(rig.tavrod.stop(SIGTERM));
        QVERIFY(waitUntil([&] { return rig.app->presence().look() == StatusPresence::Look::Disconnected; }, 10000));
    }

    void aServiceKilledDuringABurstLosesAndRepeatsNothing()
    {
        Rig rig;
        QVERIFY2(rig.start(), qPrintable(rig.tavrod.errors()));
        const quint16 port = rig.tavrod.port();
        rig.startPopup(port);
        QVERIFY(rig.connected());

        for (int n = 0; n < 30; ++n) {
            rig.sim->type(QStringLiteral("call 031123%1").arg(n, 4, 10, QLatin1Char('0')));
            QTest::qWait(40);
            if (n == 10) {
                QVERIFY(rig.tavrod.stop(SIGKILL));
                QVERIFY2(rig.startService(port), qPrintable(rig.tavrod.errors()));
            }
        }
        // Every call the service stored reaches the screen, once.
        QList<qint64> stored;
        QVERIFY(waitUntil([&] {
            stored = rig.storedCallIds();
            return stored.size() > 11 && rig.shown.size() >= stored.size();
        }, 20000));
        QTest::qWait(500); // a repeat would come now
        QList<qint64> shownIds;
        for (const CallInfo &call : std::as_const(rig.shown))
            shownIds.append(call.id);
        QCOMPARE(shownIds, rig.storedCallIds());
    }

    void callsOfAGapShowMarked()
    {
        Rig rig;
        QVERIFY2(rig.start(), qPrintable(rig.tavrod.errors()));
        const quint16 port = rig.tavrod.port();
        TcpRelay relay(port);
        QVERIFY(relay.listen());
        rig.startPopup(relay.port());
        QVERIFY(rig.connected());
        rig.sim->type(QStringLiteral("call 0421110000 앞"));
        QVERIFY(waitUntil([&] { return rig.shown.size() == 1; }, 10000));

        // The network goes, the service stops for a while and comes back,
        // calls come in while this screen cannot see the service.
        relay.cut();
        QVERIFY(rig.tavrod.stop(SIGTERM));
        QVERIFY(waitUntil([&] { return rig.app->presence().look() == StatusPresence::Look::Disconnected; }, 10000));
        QTest::qWait(3000);
        QVERIFY2(rig.startService(port), qPrintable(rig.tavrod.errors()));
        QVERIFY(waitUntil([&] {
            const QJsonArray ports = rig.tavrod.request("GET", "/api/ports").json().value("ports").toArray();
            return !ports.isEmpty() && ports.first().toObject().value("open").toBool();
        }, 10000));
        for (int n = 1; n <= 3; ++n)
            rig.sim->type(QStringLiteral("call 042111000%1 사이%1").arg(n));
        QVERIFY(waitUntil([&] { return rig.storedCalls() == 4; }, 10000));
        QCOMPARE(rig.shown.size(), 1);

        QVERIFY(relay.restore());
        QVERIFY(waitUntil([&] { return rig.shown.size() == 4; }, 20000));
        QVERIFY(rig.connected());
        for (int n = 1; n <= 3; ++n) {
            const CallInfo &call = rig.shown.at(n);
            QCOMPARE(call.number, QStringLiteral("042111000%1").arg(n));
            QVERIFY(call.duringGap);
            const CallCard *card = rig.app->stack().find(call.identity());
            QVERIFY(card);
            QCOMPARE(labelText(card, "gap"), QStringLiteral("연결 끊긴 동안 온 전화"));
        }
        // What comes after the reconnection is live again.
        rig.sim->type(QStringLiteral("call 0421110009 뒤"));
        QVERIFY(waitUntil([&] { return rig.shown.size() == 5; }, 10000));
        QVERIFY(!rig.shown.last().duringGap);
        QVERIFY(!rig.shown.first().duringGap);
    }

    void aSilentConnectionIsNoticedAndItsCallsShow()
    {
        Rig rig;
        QVERIFY2(rig.start(), qPrintable(rig.tavrod.errors()));
        TcpRelay relay(rig.tavrod.port());
        QVERIFY(relay.listen());
        rig.startPopup(relay.port());
        rig.app->link().setKeepAlive(200, 1000);
        QVERIFY(rig.connected());

        // The stream stays open but nothing passes: no close, no error.
        relay.freeze();
        rig.sim->type(QStringLiteral("call 0431234567 조용"));
        QVERIFY(waitUntil([&] { return rig.storedCalls() == 1; }, 10000));
        QVERIFY(waitUntil([&] { return rig.shown.size() == 1; }, 15000));
        QCOMPARE(rig.shown.first().number, QStringLiteral("0431234567"));
        QVERIFY(rig.shown.first().duringGap);
    }

    void aWrongTokenIsSaidAndAFixedOneTakenWithoutARestart()
    {
        Rig rig;
        QVERIFY2(rig.start(), qPrintable(rig.tavrod.errors()));
        QFile token(rig.dir.filePath("screen-token"));
        QVERIFY(token.open(QIODevice::WriteOnly));
        token.write("not-the-token\n");
        token.close();
        rig.startPopup(rig.tavrod.port(), token.fileName());
        QVERIFY(waitUntil([&] { return rig.app->presence().text().contains(QStringLiteral("토큰이 맞지 않습니다")); }, 10000));
        QCOMPARE(rig.app->presence().look(), StatusPresence::Look::Disconnected);

        QVERIFY(token.open(QIODevice::WriteOnly | QIODevice::Truncate));
        token.write(rig.tavrod.token() + "\n");
        token.close();
        QVERIFY(rig.connected(15000));
        rig.sim->type(QStringLiteral("call 0551234567"));
        QVERIFY(waitUntil([&] { return rig.shown.size() == 1; }, 10000));
        QVERIFY(!rig.shown.first().duringGap);
    }

    void theProgramShowsACardWindowByItsNumber()
    {
        Rig rig;
        QVERIFY2(rig.start(), qPrintable(rig.tavrod.errors()));
        QProcess version;
        version.start(QStringLiteral(TAVRO_POPUP_PATH), {"--version"});
        QVERIFY(version.waitForFinished(10000));
        QCOMPARE(version.readAllStandardOutput(), QByteArray("tavro_popup " TAVRO_VERSION "\n"));

        QProcess program;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", rig.dir.filePath("config"));
        env.insert("QT_QPA_PLATFORM", "xcb");
        program.setProcessEnvironment(env);
        program.start(QStringLiteral(TAVRO_POPUP_PATH),
                      {"--url", QStringLiteral("http://127.0.0.1:%1").arg(rig.tavrod.port()), "--token-file",
                       rig.dir.filePath("token")});
        QVERIFY(program.waitForStarted(10000));
        // Wait until its stream is open, then call.
        QVERIFY(waitUntil([&] {
            return rig.tavrod.request("GET", "/healthz").json().value("streamClients").toInt() == 1;
        }, 10000));
        rig.sim->type(QStringLiteral("call 0422223333 창구"));
        auto windowNamed = [](const QString &title) {
            QProcess xdotool;
            xdotool.start("xdotool", {"search", "--name", title});
            xdotool.waitForFinished(5000);
            return xdotool.exitCode() == 0 && !xdotool.readAllStandardOutput().trimmed().isEmpty();
        };
        QVERIFY(waitUntil([&] { return windowNamed(QStringLiteral("042-222-3333 전화")); }, 10000, 200));
        QVERIFY(windowNamed(QStringLiteral("tavro 팝업")));
        program.kill();
        program.waitForFinished(5000);

        // The settings keep where the token is, never the token.
        QFile saved(rig.dir.filePath("config/tavro/tavro_popup.conf"));
        QVERIFY(saved.open(QIODevice::ReadOnly));
        const QByteArray text = saved.readAll();
        QVERIFY2(text.contains(rig.dir.filePath("token").toUtf8()), text.constData());
        QVERIFY(!text.contains(rig.tavrod.token()));
    }
};

QTEST_MAIN(TestPopupEndToEnd)
#include "tst_popup_e2e.moc"
