// The customer book over HTTP, against a whole tavrod in this process on
// 127.0.0.1: the routes and their errors, the CSV import in the encodings a
// Korean office has, and the export with its neutralised cells.
#include "service.h"

#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QStringEncoder>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using namespace tavrod;

namespace {

struct Reply
{
    int status = 0;
    QByteArray body;
    QByteArray contentType;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

} // namespace

class CustomersApiTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<Service> m_service;
    QByteArray m_token;
    QNetworkAccessManager m_network;

    Reply call(const QByteArray &method, const QString &path, const QByteArray &body = {},
               const QByteArray &contentType = "application/json", bool withToken = true)
    {
        QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_service->port()).arg(path)));
        if (withToken)
            request.setRawHeader("Authorization", "Bearer " + m_token);
        request.setHeader(QNetworkRequest::ContentTypeHeader, contentType);
        QNetworkReply *reply = m_network.sendCustomRequest(request, method, body);
        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(20000, &loop, &QEventLoop::quit);
        loop.exec();
        if (reply->error() != QNetworkReply::NoError && !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
            qWarning("%s %s: %s", method.constData(), qPrintable(path), qPrintable(reply->errorString()));
        Reply out{reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), reply->readAll(),
                  reply->header(QNetworkRequest::ContentTypeHeader).toByteArray()};
        reply->deleteLater();
        return out;
    }

    Reply put(const QString &number, const QJsonObject &customer)
    {
        return call("PUT", "/api/customers/" + QString::fromLatin1(QUrl::toPercentEncoding(number)),
                    QJsonDocument(customer).toJson());
    }

    QStringList names(const QString &query = {})
    {
        QStringList out;
        for (const QJsonValue customer : call("GET", "/api/customers?limit=1000" + query).json()["customers"].toArray())
            out << customer["name"].toString();
        return out;
    }

private Q_SLOTS:
    void init()
    {
        Options options;
        options.listenPort = 0;
        options.site = QStringLiteral("shop");
        options.dbPath = m_dir.filePath(QStringLiteral("events-%1.sqlite").arg(QTest::currentTestFunction()));
        options.tokenFile = m_dir.filePath(QStringLiteral("token"));
        m_service = std::make_unique<Service>(options);
        QString error;
        QVERIFY2(m_service->start(&error), qPrintable(error));
        QFile tokenFile(options.tokenFile);
        QVERIFY(tokenFile.open(QIODevice::ReadOnly));
        m_token = tokenFile.readLine().trimmed();
    }

    void cleanup() { m_service.reset(); }

    void routesTakeAnyWrittenNumberAndAnswerErrorsInJson()
    {
        Reply reply = put("02-555-1234", {{"name", u"  홍길동 "_qs}, {"memo", u"단골"_qs}});
        QCOMPARE(reply.status, 201);
        QCOMPARE(reply.json()["number"].toString(), "025551234");
        QCOMPARE(reply.json()["shown"].toString(), "02-555-1234");
        QCOMPARE(reply.json()["region"].toString(), u"서울"_qs);
        QCOMPARE(reply.json()["name"].toString(), u"홍길동"_qs);
        QCOMPARE(put("(02)5551234", {{"name", u"홍길동"_qs}, {"memo", u"단골"_qs}}).json()["outcome"].toString(),
                 "unchanged");
        reply = call("GET", "/api/customers/%2B82%202-555-1234");
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json()["memo"].toString(), u"단골"_qs);

        reply = call("GET", "/api/customers/0299998888");
        QCOMPARE(reply.status, 404);
        QVERIFY(!reply.json()["error"].toString().isEmpty());
        QVERIFY(!reply.json()["errorKo"].toString().isEmpty());
        reply = put("02-555-1234", {{"name", QString(101, u'가')}});
        QCOMPARE(reply.status, 400);
        QVERIFY(reply.json()["errorKo"].toString().contains(u"이름"_qs));
        QCOMPARE(call("GET", "/api/customers/025551234").json()["name"].toString(), u"홍길동"_qs);
        QCOMPARE(put("no-digits", {{"name", "x"}}).status, 400);
        QCOMPARE(put("0311234567", {{"name", 5}}).status, 400);
        QCOMPARE(call("PUT", "/api/customers/0311234567", "{").status, 400);
        QCOMPARE(call("GET", "/api/customers/025551234", {}, "application/json", false).status, 401);
        QCOMPARE(call("DELETE", "/api/customers/025551234", {}, "application/json", false).status, 401);

        // Paged newest change first; q finds by any written number form.
        for (int i = 0; i < 5; ++i)
            QCOMPARE(put(QStringLiteral("010-0000-000%1").arg(i), {{"name", QStringLiteral("n%1").arg(i)}}).status,
                     201);
        reply = call("GET", "/api/customers?limit=4");
        QCOMPARE(reply.json()["customers"].toArray().size(), 4);
        QCOMPARE(reply.json()["customers"][0]["name"].toString(), "n4");
        const qint64 next = reply.json()["next"].toInteger();
        QVERIFY(next > 0);
        reply = call("GET", QStringLiteral("/api/customers?limit=4&before=%1").arg(next));
        QCOMPARE(reply.json()["customers"].toArray().size(), 2);
        QVERIFY(reply.json()["next"].isNull());
        QCOMPARE(names("&q=02-555"), QStringList{u"홍길동"_qs});
        QCOMPARE(call("GET", "/api/customers?limit=0").status, 400);

        QCOMPARE(call("DELETE", "/api/customers/02-555-1234").status, 200);
        QCOMPARE(call("DELETE", "/api/customers/02-555-1234").status, 404);
        QCOMPARE(call("GET", "/api/customers/025551234").status, 404);

        // Each change, and only a change, is one stored event every screen hears of.
        QStringList changes;
        for (const QJsonValue event : call("GET", "/api/events?after=0&limit=100").json()["events"].toArray()) {
            if (event["event"].toString() == u"CustomerChanged")
                changes << event["number"].toString() + u' ' + event["change"].toString();
        }
        QCOMPARE(changes.size(), 7);
        QCOMPARE(changes.first(), "025551234 added");
        QCOMPARE(changes.last(), "025551234 deleted");
        QCOMPARE(call("GET", "/healthz").json()["status"].toString(), "ok"); // stored, not only kept in memory
    }

    void importReadsKoreanExcelAndUtf8AndRefusesBrokenFiles()
    {
        const QString table = u"이름,전화번호,주소,메모\r\n"
                              u"홍길동,02-555-1234,\"서울시 중구, 1층\",\"여러 줄\r\n메모\"\r\n"
                              u"김똠순,010-1234-5678,,\r\n"_qs;
        QStringEncoder korean("windows-949");
        const QByteArray cp949 = korean.encode(table);
        QVERIFY(!korean.hasError());
        Reply reply = call("POST", "/api/customers/import", cp949, "text/csv");
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json()["added"].toInt(), 2);
        QCOMPARE(reply.json()["encoding"].toString(), "windows-949");
        const QJsonObject first = call("GET", "/api/customers/025551234").json();
        QCOMPARE(first["address"].toString(), u"서울시 중구, 1층"_qs);
        QCOMPARE(first["memo"].toString(), u"여러 줄\r\n메모"_qs);
        QCOMPARE(call("GET", "/api/customers/01012345678").json()["name"].toString(), u"김똠순"_qs);
        const QJsonArray events = call("GET", "/api/events?after=0&limit=10").json()["events"].toArray();
        QCOMPARE(events.size(), 1); // one event for the whole file
        QCOMPARE(events[0]["event"].toString(), "CustomersImported");
        QCOMPARE(events[0]["added"].toInt(), 2);

        // The same table in UTF-8, with and without the mark: nothing new.
        for (const QByteArray &bytes : {table.toUtf8(), QByteArray("\xEF\xBB\xBF") + table.toUtf8()}) {
            reply = call("POST", "/api/customers/import", bytes, "text/csv");
            QCOMPARE(reply.status, 200);
            QCOMPARE(reply.json()["unchanged"].toInt(), 2);
            QCOMPARE(reply.json()["added"].toInt(), 0);
        }

        // English header, columns in another order, a broken line.
        const QByteArray broken = "memo,number,name\n"
                                  "m1,031-123-4567,Kim\n"
                                  "m2,none,Lee\n"
                                  "m3,064-123-4567," + QByteArray(101, 'x') + "\n"
                                  "changed,02-555-1234,Hong\n";
        reply = call("POST", "/api/customers/import", broken, "text/csv");
        QCOMPARE(reply.status, 400);
        QCOMPARE(reply.json()["refused"].toArray().size(), 2);
        QCOMPARE(reply.json()["refused"][0]["line"].toInt(), 3);
        QCOMPARE(reply.json()["refused"][1]["line"].toInt(), 4);
        QVERIFY(reply.json()["refused"][1]["reasonKo"].toString().contains(u"이름"_qs));
        QCOMPARE(names().size(), 2);
        QCOMPARE(call("GET", "/api/customers/025551234").json()["name"].toString(), u"홍길동"_qs);
        reply = call("POST", "/api/customers/import?partial=1", broken, "text/csv");
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json()["added"].toInt(), 1);
        QCOMPARE(reply.json()["updated"].toInt(), 1);
        QCOMPARE(reply.json()["refused"].toArray().size(), 2);
        QCOMPARE(call("GET", "/api/customers/025551234").json()["name"].toString(), "Hong");

        // Files that cannot be read at all.
        const struct {
            QByteArray body;
            const char16_t *korean;
        } refusals[] = {
            {"", u"비어"},
            {"\xEF\xBB\xBF\r\n\r\n", u"비어"},
            {"name,address\nKim,Seoul\n", u"전화번호 열"},
            {QByteArray("\xFF\xFEn\0a\0m\0e\0", 10), u"인코딩"},
            {"name,number\n\x80\xFF\x80,0212345678\n", u"인코딩"},
        };
        for (const auto &refusal : refusals) {
            reply = call("POST", "/api/customers/import", refusal.body, "text/csv");
            QVERIFY2(reply.status == 400, refusal.body.toHex() + ' ' + reply.body);
            QVERIFY2(reply.json()["errorKo"].toString().contains(QString::fromUtf16(refusal.korean)), reply.body);
            QVERIFY(!reply.json()["error"].toString().isEmpty());
        }

        // Imports may be larger than any other body; other routes keep their bound.
        QByteArray large = "number,name\n";
        for (int i = 0; large.size() < 200 * 1024; ++i)
            large += "0705555" + QByteArray::number(1000 + i) + ",customer " + QByteArray::number(i) + "\n";
        reply = call("POST", "/api/customers/import", large, "text/csv");
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.json()["added"].toInt() > 5000);
        // (The bound is known from the headers, so only they are sent.)
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_service->port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("POST /api/call HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " + m_token
                     + "\r\nContent-Length: " + QByteArray::number(large.size()) + "\r\n\r\n");
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += socket.readAll()).contains("\r\n\r\n"), 5000);
        QVERIFY2(answer.startsWith("HTTP/1.1 413"), answer);
    }

    void exportNeutralisesFormulasAndImportsBackUnchanged()
    {
        const QList<QPair<QString, QJsonObject>> customers = {
            {"0212345678", {{"name", "=cmd|' /C calc'!A0"}, {"memo", "+1"}}},
            {"0311234567", {{"name", "@SUM(A1)"}, {"address", u"\"따옴표\", 쉼표"_qs}, {"memo", "-2\nline"}}},
            {"01012345678", {{"name", "'quoted"}, {"memo", u"평범한 메모"_qs}}},
        };
        for (const auto &[number, customer] : customers)
            QCOMPARE(put(number, customer).status, 201);
        Reply reply = call("GET", "/api/customers/export");
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.contentType.startsWith("text/csv"));
        QVERIFY(reply.body.startsWith("\xEF\xBB\xBF"));
        const QString text = QString::fromUtf8(reply.body.mid(3));
        QVERIFY(text.startsWith(u"이름,전화번호,주소,메모\r\n"_qs));
        QVERIFY2(text.contains(u"'=cmd|' /C calc'!A0,02-1234-5678,,'+1\r\n"_qs), qPrintable(text));
        QVERIFY(text.contains(u"'@SUM(A1),031-123-4567,\"\"\"따옴표\"\", 쉼표\",\"'-2\nline\"\r\n"_qs));
        QVERIFY(text.contains(u"''quoted,010-1234-5678,,평범한 메모\r\n"_qs));

        reply = call("POST", "/api/customers/import", reply.body, "text/csv");
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.json()["unchanged"].toInt(), 3);
        QCOMPARE(reply.json()["added"].toInt() + reply.json()["updated"].toInt(), 0);
        QCOMPARE(call("GET", "/api/customers/0212345678").json()["name"].toString(), "=cmd|' /C calc'!A0");

        // Many customers come out whole, across the pieces of the stream.
        QByteArray many = "number,name\n";
        for (int i = 0; i < 2500; ++i)
            many += "0505" + QByteArray::number(1000000 + i) + ",n" + QByteArray::number(i) + "\n";
        QCOMPARE(call("POST", "/api/customers/import", many, "text/csv").json()["added"].toInt(), 2500);
        reply = call("GET", "/api/customers/export");
        QCOMPARE(reply.body.count("\r\n"), 1 + 3 + 2500);
    }
};

QTEST_GUILESS_MAIN(CustomersApiTest)
#include "tst_customers_api.moc"
