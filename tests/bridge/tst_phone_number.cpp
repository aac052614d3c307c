// Numbers as written and as shown: the cases in phone_cases.json hold for
// the service here and for the page's phone.js in the browser suite.
#include "customer.h"
#include "phone_number.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace tavro::bridge;

class PhoneNumberTest : public QObject
{
    Q_OBJECT

private:
    static QJsonObject cases()
    {
        QFile file(QStringLiteral(PHONE_CASES));
        if (!file.open(QIODevice::ReadOnly))
            qFatal("cannot read %s", PHONE_CASES);
        return QJsonDocument::fromJson(file.readAll()).object();
    }

private Q_SLOTS:
    void writtenNumbersReduceToDigits()
    {
        const QJsonArray rows = cases().value("digits").toArray();
        QVERIFY(rows.size() >= 8);
        for (const QJsonValue row : rows) {
            const QString written = row[0].toString();
            QCOMPARE(numberDigits(written), row[1].toString());
        }
    }

    void digitsShowInKoreanGroupsWithTheirRegion()
    {
        const QJsonArray rows = cases().value("shown").toArray();
        QVERIFY(rows.size() >= 10);
        for (const QJsonValue row : rows) {
            const QString digits = row[0].toString();
            QCOMPARE(formatNumber(digits), row[1].toString());
            QCOMPARE(regionOf(digits), row[2].toString());
        }
    }

    void typedNumbersAreToldFromNames()
    {
        QVERIFY(looksLikeNumber(u"02-555-1234"));
        QVERIFY(looksLikeNumber(u"+82 (2) 555.1234"));
        QVERIFY(!looksLikeNumber(u"홍길동"));
        QVERIFY(!looksLikeNumber(u"1588 상담"));
        QVERIFY(!looksLikeNumber(u"- ("));
        QVERIFY(!looksLikeNumber(u"02+555"));
    }

    void customerBoundsCountCharactersNotBytes()
    {
        Customer customer{QStringLiteral("025551234"), QString(100, u'가'), QString(200, u'a'), QString(2000, u'메')};
        QVERIFY(!checkCustomer(customer));
        customer.name += u'가';
        const auto refusal = checkCustomer(customer);
        QVERIFY(refusal);
        QVERIFY(refusal->english.contains("name"));
        QVERIFY(refusal->korean.contains(u"이름"));
        customer.name = QString();
        customer.memo += u'x';
        QVERIFY(checkCustomer(customer));
        customer.memo.chop(1);
        customer.number.clear();
        QVERIFY(checkCustomer(customer)->english.contains("no digits"));

        const QJsonObject caller = callerToJson(customer, 0, QString());
        QVERIFY(caller.value("lastCall").isNull());
        QCOMPARE(caller.value("calls").toInt(), 0);
        customer.number = QStringLiteral("0311234567");
        const QJsonObject json = customerToJson(customer);
        QCOMPARE(json.value("shown").toString(), QStringLiteral("031-123-4567"));
        QCOMPARE(json.value("region").toString(), QStringLiteral("경기"));
    }
};

QTEST_GUILESS_MAIN(PhoneNumberTest)
#include "tst_phone_number.moc"
