// One SQLite store, one tavrod: a second one on the same file is refused and
// the first goes on; a damaged file is refused at start and can be recovered.
#include "tavrod_rig.h"

#include <QJsonArray>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>

namespace {

int countRows(const QString &dbPath, const QString &table)
{
    int count = -1;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "reader");
        db.setDatabaseName(dbPath);
        if (db.open()) {
            QSqlQuery query(db);
            if (query.exec("SELECT count(*) FROM " + table) && query.next())
                count = query.value(0).toInt();
        }
    }
    QSqlDatabase::removeDatabase("reader");
    return count;
}

} // namespace

class TestStoreOwner : public QObject
{
    Q_OBJECT

private slots:
    void aSecondTavrodOnTheSameFileIsRefused()
    {
        QTemporaryDir dir;
        SimProcess sim({"--link", dir.filePath("com1")});
        QVERIFY(sim.start());
        TavrodProcess first(dir.path());
        QVERIFY(first.start({"--map", "COM1=" + dir.filePath("com1")}));

        QTemporaryDir otherDir;
        TavrodProcess second(otherDir.path());
        QVERIFY(!second.start({"--db", first.dbPath()}));
        QVERIFY(waitUntil([&] { return second.exitStatus() == QProcess::NormalExit && second.exitCode() == 1; }));
        QVERIFY2(second.errors().contains("in use by another tavrod"), qPrintable(second.errors()));

        // The first one keeps storing, and a reader of the file is not in its way.
        QVERIFY(waitUntil([&] {
            const QJsonArray ports = first.request("GET", "/api/ports").json().value("ports").toArray();
            return !ports.isEmpty() && ports.first().toObject().value("open").toBool();
        }));
        sim.type("call 0212345678");
        QVERIFY(waitUntil([&] {
            return first.request("GET", "/api/calls").json().value("calls").toArray().size() == 1;
        }));
        QCOMPARE(countRows(first.dbPath(), "calls"), 1);
        QCOMPARE(first.request("GET", "/healthz").json().value("status").toString(), QStringLiteral("ok"));

        // Once the owner has gone, the file is free again.
        QVERIFY(first.stop(SIGTERM));
        QVERIFY(second.start({"--db", first.dbPath()}));
        QVERIFY(second.stop(SIGTERM));
    }

    void aDamagedFileIsRefusedAndRecovered()
    {
        QTemporaryDir dir;
        TavrodProcess tavrod(dir.path());
        QVERIFY(tavrod.start({"--map", "COM1=" + dir.filePath("absent")}));
        QVERIFY(tavrod.stop(SIGTERM));
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "filler");
            db.setDatabaseName(tavrod.dbPath());
            QVERIFY(db.open());
            QSqlQuery query(db);
            QVERIFY(query.exec("PRAGMA journal_mode=DELETE"));
            db.transaction();
            for (int i = 1; i <= 3000; ++i) {
                QVERIFY(query.exec(QStringLiteral("INSERT INTO events (id, site, portName, at, kind, body) VALUES "
                                                  "(%1, 'test', 'COM1', '2026-12-01T09:00:00Z', 'HookEvent', '%2')")
                                       .arg(i)
                                       .arg(QString(100, u'x'))));
            }
            QVERIFY(db.commit());
        }
        QSqlDatabase::removeDatabase("filler");

        // A valid header, forty pages of noise behind it.
        QFile file(tavrod.dbPath());
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.size() > 100 * 4096);
        // In the middle of the events: the schema's own pages come first.
        const int middle = int(file.size() / 4096 / 2);
        for (int page = middle - 20; page < middle + 20; ++page) {
            file.seek(qint64(page) * 4096);
            file.write(QByteArray(4096, char(0xA5)));
        }
        file.close();

        QVERIFY(!tavrod.start({}));
        QVERIFY(waitUntil([&] { return tavrod.exitCode() == 1; }));
        QVERIFY2(tavrod.errors().contains("is damaged"), qPrintable(tavrod.errors()));

        // The way out that the message gives works as written.
        if (QStandardPaths::findExecutable("sqlite3").isEmpty())
            QSKIP("the sqlite3 program is not installed");
        const QString errors = tavrod.errors();
        const qsizetype from = errors.indexOf("sqlite3 program:  ") + 18;
        const QString command = errors.mid(from, errors.indexOf("  then move") - from);
        QProcess shell;
        shell.start("/bin/sh", {"-c", command});
        QVERIFY(shell.waitForFinished(60000));
        QVERIFY2(shell.exitCode() == 0, shell.readAllStandardError().constData());
        const QString recovered = tavrod.dbPath() + ".recovered";
        const int kept = countRows(recovered, "events");
        QVERIFY2(kept > 0 && kept < 3000, qPrintable(QString::number(kept)));
        QVERIFY(QFile::remove(tavrod.dbPath()) && QFile::rename(recovered, tavrod.dbPath()));
        QVERIFY2(tavrod.start({}), qPrintable(tavrod.errors()));
        QVERIFY(tavrod.stop(SIGTERM));
    }
};

QTEST_GUILESS_MAIN(TestStoreOwner)
#include "tst_store_owner.moc"
