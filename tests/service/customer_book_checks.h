// What every store's customer book must do, for the SQLite and the
// PostgreSQL suites alike. Call, then return when QTest::currentTestFailed().
#ifndef TAVRO_TESTS_CUSTOMER_BOOK_CHECKS_H
#define TAVRO_TESTS_CUSTOMER_BOOK_CHECKS_H

#include "customer_book.h"
#include "event_store.h"

#include <QJsonDocument>
#include <QtTest>

namespace book_checks {

using namespace tavrod;

inline EventRecord callFrom(qint64 id, const QString &number, const QString &at)
{
    EventRecord record;
    record.id = id;
    record.kind = QStringLiteral("ReceiveCall");
    record.site = QStringLiteral("A");
    record.portName = QStringLiteral("COM1");
    record.at = at;
    record.object = {{"event", "ReceiveCall"}, {"id", id}, {"at", at}, {"site", "A"}, {"portName", "COM1"},
                     {"callState", 1}, {"cidInfo", QJsonObject{{"lNumber", number}, {"lName", ""}}}};
    record.json = QJsonDocument(record.object).toJson(QJsonDocument::Compact);
    return record;
}

inline QStringList namesFound(CustomerBook &book, const QString &q, qint64 before = 0, int limit = 50,
                              qint64 *next = nullptr)
{
    CustomerPage page;
    QString error;
    if (!book.findCustomers({q, before, limit}, &page, &error))
        return {QStringLiteral("error: ") + error};
    if (next)
        *next = page.next;
    QStringList names;
    for (const Customer &customer : std::as_const(page.customers))
        names << customer.name;
    return names;
}

inline void searchPutDeleteAndCallers(CustomerBook &book, EventStore &store)
{
    QString error;
    QList<PutOutcome> outcomes;
    const QList<Customer> customers = {
        {"025551234", u"홍길동"_qs, QString(), QString()},
        {"01098765432", u"김민수"_qs, QString(), u"배달 주문 단골"_qs},
        {"0311239999", u"이영희"_qs, u"서울시 강남구 1234번지"_qs, QString()},
        {"15881234", "Acme Ltd", QString(), "=HYPERLINK()"},
    };
    QVERIFY2(book.putCustomers(customers, &outcomes, &error), qPrintable(error));
    QCOMPARE(outcomes, QList<PutOutcome>(4, PutOutcome::Added));
    outcomes.clear();
    Customer changed = customers.at(0);
    changed.memo = u"매주 금요일"_qs;
    QVERIFY2(book.putCustomers({customers.at(1), changed}, &outcomes, &error), qPrintable(error));
    QCOMPARE(outcomes, (QList<PutOutcome>{PutOutcome::Unchanged, PutOutcome::Updated}));

    // Newest change first; numbers typed with dashes; two and one syllables.
    QCOMPARE(namesFound(book, QString()), (QStringList{u"홍길동"_qs, "Acme Ltd", u"이영희"_qs, u"김민수"_qs}));
    QCOMPARE(namesFound(book, "1234"), (QStringList{u"홍길동"_qs, "Acme Ltd", u"이영희"_qs}));
    QCOMPARE(namesFound(book, "02-555-1234"), QStringList{u"홍길동"_qs});
    QCOMPARE(namesFound(book, u"길동"_qs), QStringList{u"홍길동"_qs});
    QCOMPARE(namesFound(book, u"단골"_qs), QStringList{u"김민수"_qs});
    QCOMPARE(namesFound(book, u"강남구"_qs), QStringList{u"이영희"_qs});
    QCOMPARE(namesFound(book, u"금"_qs), QStringList{u"홍길동"_qs});
    QCOMPARE(namesFound(book, "ac"), QStringList{"Acme Ltd"});
    QCOMPARE(namesFound(book, "50%"), QStringList{});
    qint64 next = 0;
    QCOMPARE(namesFound(book, QString(), 0, 3, &next), (QStringList{u"홍길동"_qs, "Acme Ltd", u"이영희"_qs}));
    QVERIFY(next > 0);
    QCOMPARE(namesFound(book, QString(), next, 3, &next), QStringList{u"김민수"_qs});
    QCOMPARE(next, 0);

    // A change takes the old text out of every index.
    changed = customers.at(1);
    changed.memo = u"새 메모"_qs;
    QVERIFY(book.putCustomers({changed}, &outcomes, &error));
    QCOMPARE(namesFound(book, u"단골"_qs), QStringList{});
    QCOMPARE(namesFound(book, u"주문 단"_qs), QStringList{});
    QCOMPARE(namesFound(book, u"메모"_qs), QStringList{u"김민수"_qs});

    QList<Customer> inOrder;
    QVERIFY2(book.customersAfter(QString(), 2, &inOrder, &error), qPrintable(error));
    QCOMPARE(inOrder.size(), 2);
    QVERIFY2(book.customersAfter(inOrder.last().number, 10, &inOrder, &error), qPrintable(error));
    QStringList numbers;
    for (const Customer &customer : std::as_const(inOrder))
        numbers << customer.number;
    QCOMPARE(numbers, (QStringList{"01098765432", "025551234", "0311239999", "15881234"}));

    // The caller of a call: the customer and the calls before it.
    QVERIFY2(store.append({callFrom(1, "025551234", "2026-12-01T09:00:00.000Z"),
                           callFrom(2, "0299999999", "2026-12-02T09:00:00.000Z"),
                           callFrom(3, "025551234", "2026-12-03T09:00:00.000Z")},
                          &error),
             qPrintable(error));
    std::optional<Caller> caller;
    QVERIFY2(book.caller("025551234", &caller, &error), qPrintable(error));
    QVERIFY(caller);
    QCOMPARE(caller->customer.name, u"홍길동"_qs);
    QCOMPARE(caller->customer.memo, u"매주 금요일"_qs);
    QCOMPARE(caller->calls, 2);
    QCOMPARE(caller->lastCall, QStringLiteral("2026-12-03T09:00:00.000Z"));
    QVERIFY(book.caller("0299999999", &caller, &error));
    QVERIFY(!caller);
    QVERIFY(book.caller("P", &caller, &error));
    QVERIFY(!caller);
    // The line's own text reaches the query: quotes and backslashes stay text.
    QVERIFY2(book.caller("02'555\\1234", &caller, &error), qPrintable(error));
    QVERIFY(caller);
    QCOMPARE(caller->calls, 0);

    bool found = false;
    QVERIFY(book.deleteCustomer("025551234", &found, &error));
    QVERIFY(found);
    QVERIFY(book.deleteCustomer("025551234", &found, &error));
    QVERIFY(!found);
    QCOMPARE(namesFound(book, u"길동"_qs), QStringList{});
    QCOMPARE(namesFound(book, "5551"), QStringList{});
    std::optional<Customer> gone;
    QVERIFY(book.customer("025551234", &gone, &error));
    QVERIFY(!gone);
}

} // namespace book_checks

#endif
