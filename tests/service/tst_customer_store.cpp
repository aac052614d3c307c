// The customer book in the SQLite store: the migration of a file written
// today, and what every store's book must do.
#include "customer_book_checks.h"
#include "event_log.h"
#include "sqlite_store.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

using namespace tavrod;

class CustomerStoreTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void searchesPutsDeletesAndFindsCallers()
    {
        QTemporaryDir dir;
        SqliteStore store(dir.filePath("events.db"));
        QString error;
        QVERIFY2(store.open(&error), qPrintable(error));
        QVERIFY(store.customers());
        book_checks::searchPutDeleteAndCallers(*store.customers(), store);
    }

    void callsCarryTheCustomerKnownWhenTheyCame()
    {
        QTemporaryDir dir;
        SqliteStore store(dir.filePath("events.db"));
        QString error;
        QVERIFY2(store.open(&error), qPrintable(error));
        EventLog log(store, QStringLiteral("A"));
        log.start();
        QList<QJsonObject> published;
        connect(&log, &EventLog::published, this, [&](const EventRecord &e) {
            published << QJsonDocument::fromJson(e.json).object();
        });
        const auto ring = [&](const QString &number) {
            log.record({{"event", "ReceiveCall"}, {"portName", "COM1"}, {"callState", 1},
                        {"cidInfo", QJsonObject{{"lNumber", number}, {"lName", u"없슴"_qs}}}});
        };
        ring("025551234");
        QList<PutOutcome> outcomes;
        QVERIFY(store.putCustomers({{"025551234", u"<b>단골</b>"_qs, u"강남"_qs, "memo"}}, &outcomes, &error));
        ring("025551234");
        log.record({{"event", "HookEvent"}, {"portName", "COM1"}, {"eventType", true}});

        QCOMPARE(published.size(), 3);
        QVERIFY(published.at(0).contains("customer"));
        QVERIFY(published.at(0).value("customer").isNull());
        const QJsonObject customer = published.at(1).value("customer").toObject();
        QCOMPARE(customer.value("name").toString(), u"<b>단골</b>"_qs);
        QCOMPARE(customer.value("address").toString(), u"강남"_qs);
        QCOMPARE(customer.value("calls").toInt(), 1);
        QCOMPARE(customer.value("lastCall").toString(), published.at(0).value("at").toString());
        QVERIFY(!published.at(2).contains("customer"));

        // The history and the hooks read the stored call: the same customer.
        CallPage page;
        QVERIFY(store.findCalls({}, &page, &error));
        QCOMPARE(page.calls.size(), 2);
        QCOMPARE(page.calls.at(0).toObject().value("customer").toObject(), customer);
        QVERIFY(page.calls.at(1).toObject().value("customer").isNull());
    }

    void migratesAPopulatedFileOfVersionTwo()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("v2.db");
        {
            // The schema as version 2 wrote it, with calls in it.
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "v2");
            db.setDatabaseName(path);
            QVERIFY(db.open());
            QSqlQuery q(db);
            for (const char *statement :
                 {"CREATE TABLE events (id INTEGER PRIMARY KEY, site TEXT NOT NULL, portName TEXT NOT NULL,"
                  " at TEXT NOT NULL, kind TEXT NOT NULL, body TEXT NOT NULL)",
                  "CREATE TABLE calls (id INTEGER PRIMARY KEY REFERENCES events(id), site TEXT NOT NULL,"
                  " portName TEXT NOT NULL, at TEXT NOT NULL, callState INTEGER NOT NULL,"
                  " number TEXT NOT NULL, name TEXT NOT NULL)",
                  "CREATE INDEX calls_at ON calls(at)",
                  "CREATE VIRTUAL TABLE calls_fts USING fts5(number, name, content='calls', content_rowid='id',"
                  " tokenize='trigram')",
                  "CREATE TABLE call_grams (gram TEXT NOT NULL, id INTEGER NOT NULL, PRIMARY KEY (gram, id))"
                  " WITHOUT ROWID",
                  "PRAGMA user_version=2"})
                QVERIFY2(q.exec(QString::fromLatin1(statement)), qPrintable(q.lastError().text()));
            for (int id = 1; id <= 300; ++id) {
                const EventRecord call = book_checks::callFrom(
                    id, id % 3 ? QStringLiteral("0311234567") : QStringLiteral("0212340000"),
                    QStringLiteral("2026-11-01T10:%1:00.000Z").arg(id % 60, 2, 10, QChar(u'0')));
                q.prepare("INSERT INTO events VALUES (?, 'A', 'COM1', ?, 'ReceiveCall', ?)");
                q.addBindValue(id);
                q.addBindValue(call.at);
                q.addBindValue(QString::fromUtf8(call.json));
                QVERIFY(q.exec());
                q.prepare("INSERT INTO calls VALUES (?, 'A', 'COM1', ?, 1, ?, '')");
                q.addBindValue(id);
                q.addBindValue(call.at);
                q.addBindValue(call.object.value("cidInfo")["lNumber"].toString());
                QVERIFY(q.exec());
            }
            QVERIFY(q.exec("INSERT INTO calls_fts(calls_fts) VALUES('rebuild')"));
            db.close();
        }
        QSqlDatabase::removeDatabase("v2");

        SqliteStore store(path);
        QString error;
        QVERIFY2(store.open(&error), qPrintable(error));
        CallPage page;
        QVERIFY(store.findCalls({"1234", {}, {}, {}, {}, 0, 1000}, &page, &error));
        QCOMPARE(page.calls.size(), 300);
        QList<PutOutcome> outcomes;
        QVERIFY2(store.putCustomers({{"0311234567", u"경기 손님"_qs,
                                      QString(), QString()}},
                                    &outcomes, &error),
                 qPrintable(error));
        std::optional<Caller> caller;
        QVERIFY2(store.caller("0311234567", &caller, &error), qPrintable(error));
        QVERIFY(caller);
        QCOMPARE(caller->calls, 200);
        QCOMPARE(caller->customer.name, u"경기 손님"_qs);
        QCOMPARE(book_checks::namesFound(store, u"손님"_qs), QStringList{u"경기 손님"_qs});
        store.close();

        // Opened again, nothing is migrated twice.
        QVERIFY2(store.open(&error), qPrintable(error));
        QCOMPARE(book_checks::namesFound(store, "1234567"), QStringList{u"경기 손님"_qs});
    }
};

QTEST_GUILESS_MAIN(CustomerStoreTest)
#include "tst_customer_store.moc"
