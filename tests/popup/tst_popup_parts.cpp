// The popup's parts without a service: how a number is written, what a
// card says, where cards go, and the tray menu. Offscreen.
#include "call_card.h"
#include "card_stack.h"
#include "popup_app.h"

#include <QGuiApplication>
#include <QJsonDocument>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace popup;

namespace {

QString labelText(const QWidget &card, const char *name)
{
    const auto *label = card.findChild<QLabel *>(QString::fromLatin1(name));
    return label ? label->text() : QStringLiteral("<none>");
}

CallInfo callFrom(const QByteArray &json)
{
    CallInfo call;
    if (!parseCall(QJsonDocument::fromJson(json).object(), &call))
        qWarning("not a call: %s", json.constData());
    return call;
}

QStringList actionTexts(const QMenu &menu, const QString &name)
{
    QStringList out;
    for (const QAction *action : menu.actions()) {
        if (action->objectName() == name)
            out << action->text();
    }
    return out;
}

} // namespace

class TestPopupParts : public QObject
{
    Q_OBJECT

private slots:
    void numbersInKoreanGroupsWithTheirRegion_data()
    {
        QTest::addColumn<QString>("written");
        QTest::addColumn<QString>("grouped");
        QTest::addColumn<QString>("region");
        QTest::newRow("Seoul") << "025551234" << "02-555-1234" << "서울";
        QTest::newRow("Seoul, four-digit exchange") << "0255551234" << "02-5555-1234" << "서울";
        QTest::newRow("Gyeonggi") << "0311234567" << "031-123-4567" << "경기";
        QTest::newRow("Jeju, written with blanks") << "064 123 4567" << "064-123-4567" << "제주";
        QTest::newRow("mobile") << "01012345678" << "010-1234-5678" << "휴대전화";
        QTest::newRow("representative") << "15881234" << "1588-1234" << "대표번호";
        QTest::newRow("internet phone") << "07012345678" << "070-1234-5678" << "인터넷 전화";
        QTest::newRow("parentheses") << "(02)5551234" << "02-555-1234" << "서울";
        QTest::newRow("country code") << "+82 2-555-1234" << "02-555-1234" << "서울";
        QTest::newRow("local, no area") << "5551234" << "555-1234" << "";
        QTest::newRow("too short to group") << "114" << "114" << "";
        QTest::newRow("area with too many digits") << "021234567890" << "021234567890" << "서울";
        QTest::newRow("withheld") << "" << "" << "";
    }
    void numbersInKoreanGroupsWithTheirRegion()
    {
        QFETCH(QString, written);
        QFETCH(QString, grouped);
        QFETCH(QString, region);
        QCOMPARE(formatNumber(written), grouped);
        QCOMPARE(regionOf(written), region);
    }

    void aCardSaysWhoCallsAndWhatToDo()
    {
        ServiceLink link;
        link.configure(QUrl("http://127.0.0.1:8080"), QString());

        // A known customer: the book's name large, the line's name small.
        const CallInfo known = callFrom(R"({"event":"ReceiveCall","id":41,"portName":"COM2","callState":2,
            "at":"2026-12-07T09:30:00.000Z","cidInfo":{"lNumber":"025551234","lName":"HONG"},
            "customer":{"name":"홍길동 <b>단골</b>","address":"서울 중구 1","memo":"매운맛","calls":3,
                        "lastCall":"2026-12-06T05:03:00.000Z"}})");
        CallCard card(known, link);
        QCOMPARE(card.windowTitle(), QStringLiteral("02-555-1234 전화"));
        QVERIFY(card.windowFlags() & Qt::WindowStaysOnTopHint);
        QVERIFY(card.isWindow());
        QCOMPARE(labelText(card, "name"), QStringLiteral("홍길동 <b>단골</b>")); // text, never markup
        QCOMPARE(card.findChild<QLabel *>("name")->textFormat(), Qt::PlainText);
        QCOMPARE(labelText(card, "lineName"), QStringLiteral("회선 이름: HONG"));
        QCOMPARE(labelText(card, "number"), QStringLiteral("02-555-1234"));
        QCOMPARE(labelText(card, "region"), QStringLiteral("서울"));
        QCOMPARE(labelText(card, "state"), QStringLiteral("통화중착신"));
        QCOMPARE(labelText(card, "address"), QStringLiteral("주소: 서울 중구 1"));
        QCOMPARE(labelText(card, "memo"), QStringLiteral("메모: 매운맛"));
        const QString lastCall = QDateTime(QDate(2026, 12, 6), QTime(5, 3), Qt::UTC).toLocalTime().toString("yyyy-MM-dd HH:mm");
        QCOMPARE(labelText(card, "history"), QStringLiteral("이전 통화 3회 · 마지막 ") + lastCall);
        QVERIFY(labelText(card, "when").endsWith(QStringLiteral(" · COM2")));
        QCOMPARE(labelText(card, "gap"), QStringLiteral("<none>"));
        QCOMPARE(card.findChild<QPushButton *>("customerButton")->text(), QStringLiteral("고객 수정"));
        QCOMPARE(card.customerUrl(), QUrl("http://127.0.0.1:8080/#customer=025551234"));
        QCOMPARE(card.historyUrl(), QUrl("http://127.0.0.1:8080/#history?q=025551234"));

        // Unknown (null or absent, as a service without the book sends it),
        // came during a gap: the line's name or 없슴, and the mark.
        for (const QByteArray &customer : {QByteArray(R"(,"customer":null)"), QByteArray()}) {
            CallInfo unknown = callFrom(R"({"event":"ReceiveCall","id":42,"portName":"COM1","callState":1,
                "cidInfo":{"lNumber":"01012345678","lName":""})" + customer + "}");
            unknown.duringGap = true;
            CallCard other(unknown, link);
            QCOMPARE(labelText(other, "name"), QStringLiteral("없슴"));
            QCOMPARE(labelText(other, "lineName"), QStringLiteral("<none>"));
            QCOMPARE(labelText(other, "state"), QStringLiteral("착신"));
            QCOMPARE(labelText(other, "gap"), QStringLiteral("연결 끊긴 동안 온 전화"));
            QCOMPARE(labelText(other, "history"), QStringLiteral("등록되지 않은 번호"));
            QCOMPARE(other.findChild<QPushButton *>("customerButton")->text(), QStringLiteral("고객 등록"));
        }

        // Withheld: titled so, nothing to look up or block.
        const CallInfo withheld = callFrom(R"({"event":"ReceiveCall","id":43,"portName":"COM1",
            "cidInfo":{"lNumber":"","lName":"","lTelType":"NO_DISP"}})");
        CallCard none(withheld, link);
        QCOMPARE(none.windowTitle(), QStringLiteral("번호 없음"));
        QCOMPARE(labelText(none, "number"), QStringLiteral("번호 없음"));
        for (const char *button : {"customerButton", "historyButton", "rejectButton"})
            QVERIFY2(!none.findChild<QPushButton *>(button)->isEnabled(), button);
        QVERIFY(none.findChild<QPushButton *>("closeButton")->isEnabled());
    }

    void cardsStackUpwardAndStayOnTheScreen()
    {
        ServiceLink link;
        CardStack stack;
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        auto card = [&](int n) {
            return new CallCard(callFrom(QStringLiteral(R"({"event":"ReceiveCall","id":%1,"portName":"COM1",
                "cidInfo":{"lNumber":"0255500%2"}})").arg(n).arg(n, 2, 10, QLatin1Char('0')).toUtf8()), link);
        };
        CallCard *first = card(1);
        stack.add(first);
        CallCard *second = card(2);
        stack.add(second);
        QTRY_VERIFY(first->isVisible() && second->isVisible());
        QCOMPARE(first->frameGeometry().right(), area.right() - 8);
        QCOMPARE(first->frameGeometry().bottom(), area.bottom() - 8);
        QVERIFY(second->frameGeometry().bottom() < first->frameGeometry().top()); // above, no overlap

        // More than the screen holds: the oldest go, none is off the screen.
        for (int n = 3; n <= 30; ++n)
            stack.add(card(n));
        QTRY_VERIFY(stack.cards().size() < 30);
        QVERIFY(stack.cards().size() >= 2);
        QCOMPARE(stack.cards().last()->call().id, 30);
        for (const CallCard *open : stack.cards())
            QVERIFY2(area.contains(open->frameGeometry()), qPrintable(open->windowTitle()));

        // Closing one lets the ones above move down.
        CallCard *bottom = stack.cards().first();
        CallCard *next = stack.cards().at(1);
        bottom->close();
        QTRY_COMPARE(next->frameGeometry().bottom(), area.bottom() - 8);

        // A chosen time closes cards by themselves.
        stack.setHideAfter(1);
        QTRY_VERIFY_WITH_TIMEOUT(stack.cards().isEmpty(), 5000);
    }

    void theMenuKeepsTwentyCallsAndCountsMissedOnes()
    {
        QTemporaryDir dir;
        QSettings store(dir.filePath("popup.ini"), QSettings::IniFormat);
        PopupSettings settings;
        settings.sound = false;
        PopupApp app(store, settings, false);
        QVERIFY(app.presence().statusWindow()); // offscreen has no tray: the window stands in
        QCOMPARE(app.presence().look(), StatusPresence::Look::Disconnected);
        QVERIFY(actionTexts(app.menu(), "missedCalls").isEmpty());

        for (int n = 1; n <= 25; ++n) {
            app.link().takeMessage(QStringLiteral(R"({"event":"ReceiveCall","id":%1,"portName":"COM1",
                "cidInfo":{"lNumber":"0311230%2","lName":"손님%1"}})").arg(n).arg(n, 3, 10, QLatin1Char('0')));
        }
        // An event seen again (a replay overlapping what came live) is not a new call.
        app.link().takeMessage(R"({"event":"ReceiveCall","id":25,"portName":"COM1","cidInfo":{"lNumber":"0311230025"}})");
        // A site's event before and after it reached the shared database: one call.
        app.link().takeMessage(R"({"event":"ReceiveCall","site":"back","localId":7,"portName":"COM1","cidInfo":{"lNumber":"0311239999"}})");
        app.link().takeMessage(R"({"event":"ReceiveCall","id":26,"site":"back","localId":7,"portName":"COM1","cidInfo":{"lNumber":"0311239999"}})");
        QCOMPARE(app.beeps(), 0); // the sound is off
        const QStringList recent = actionTexts(app.menu(), "recentCall");
        QCOMPARE(recent.size(), 20);
        QVERIFY2(recent.first().contains(QStringLiteral("031-123-9999")), qPrintable(recent.first()));
        QVERIFY2(recent.last().contains(QStringLiteral("031-123-0007  손님7")), qPrintable(recent.last()));

        // A card closed can be opened again from the menu.
        CallCard *card = app.stack().find(app.recent().back().identity());
        if (card)
            card->close();
        QTRY_VERIFY(!app.stack().find(app.recent().back().identity()));
        const auto actions = app.menu().actions();
        for (QAction *action : actions) {
            if (action->text() == recent.last())
                action->trigger();
        }
        QVERIFY(app.stack().find(app.recent().back().identity()));

        // Missed calls counted as their outcomes come, each once.
        app.link().takeMessage(R"({"event":"CallOutcome","id":27,"callId":3,"outcome":"answered"})");
        QVERIFY(actionTexts(app.menu(), "missedCalls").isEmpty());
        app.link().takeMessage(R"({"event":"CallOutcome","id":28,"callId":4,"outcome":"missed"})");
        app.link().takeMessage(R"({"event":"CallOutcome","id":28,"callId":4,"outcome":"missed"})");
        app.link().takeMessage(R"({"event":"CallOutcome","id":29,"callId":5,"outcome":"missed","portName":"COM1"})");
        QCOMPARE(actionTexts(app.menu(), "missedCalls"), QStringList{QStringLiteral("부재중 2건")});

        // With the sound on, a burst rings once, not once per card.
        settings.sound = true;
        PopupApp ringing(store, settings, false);
        for (int n = 1; n <= 5; ++n)
            ringing.link().takeMessage(QStringLiteral(R"({"event":"ReceiveCall","id":%1,"cidInfo":{}})").arg(n));
        QCOMPARE(ringing.beeps(), 1);
        QCOMPARE(int(ringing.recent().size()), 5);
    }

    void settingsKeepThePathNotTheToken()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("popup.ini");
        PopupSettings settings;
        settings.url = "http://127.0.0.1:8080";
        settings.tokenFile = dir.filePath("token");
        settings.hideAfterSeconds = 30;
        settings.sound = false;
        QVERIFY(settings.problem().isEmpty());
        {
            QSettings store(path, QSettings::IniFormat);
            settings.save(store);
        }
        QSettings store(path, QSettings::IniFormat);
        const PopupSettings back = PopupSettings::load(store);
        QCOMPARE(back.url, settings.url);
        QCOMPARE(back.tokenFile, settings.tokenFile);
        QCOMPARE(back.hideAfterSeconds, 30);
        QCOMPARE(back.sound, false);

        PopupSettings bad = settings;
        bad.url = "127.0.0.1:8080";
        QVERIFY(!bad.problem().isEmpty());
        bad.url = "ftp://host/";
        QVERIFY(!bad.problem().isEmpty());
        bad = settings;
        bad.tokenFile.clear();
        QVERIFY(!bad.problem().isEmpty());
    }
};

QTEST_MAIN(TestPopupParts)
#include "tst_popup_parts.moc"
