// The customer book beside the calls, in the same store: one customer per
// number (digits), searched by any part of its text, newest change first.
#ifndef TAVROD_CUSTOMER_BOOK_H
#define TAVROD_CUSTOMER_BOOK_H

#include "customer.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

namespace tavrod {

using tavro::bridge::Customer;

struct CustomerQuery
{
    QString q;          // any part of the name, number, address or memo
    qint64 before = 0;  // rev < before (paging)
    int limit = 50;
};

struct CustomerPage
{
    QList<Customer> customers; // newest change first
    qint64 next = 0;           // before= for the next page; 0 on the last
};

// What a put did to one customer.
enum class PutOutcome { Added, Updated, Unchanged };

// The customer known for a call's number, with the calls before it.
struct Caller
{
    Customer customer;
    qint64 calls = 0;  // earlier calls from the number
    QString lastCall;  // "at" of the newest of them, empty when none
};

class CustomerBook
{
public:
    virtual ~CustomerBook() = default;

    virtual bool findCustomers(const CustomerQuery &query, CustomerPage *page, QString *error) = 0;
    // Nothing in *customer when the number is unknown.
    virtual bool customer(const QString &number, std::optional<Customer> *customer, QString *error) = 0;
    // Adds or changes the customers (by number) in one transaction: all or
    // none. One outcome per customer; unchanged ones are not written. Fails
    // when the book would grow beyond maxCustomers.
    virtual bool putCustomers(const QList<Customer> &customers, QList<PutOutcome> *outcomes, QString *error) = 0;
    virtual bool deleteCustomer(const QString &number, bool *found, QString *error) = 0;
    // For the export: at most limit customers after a number, in number order.
    virtual bool customersAfter(const QString &number, int limit, QList<Customer> *customers, QString *error) = 0;
    // The customer of a line's number and its calls so far, in two indexed
    // lookups; nothing in *caller for an unknown number.
    virtual bool caller(const QString &lineNumber, std::optional<Caller> *caller, QString *error) = 0;
};

// The two-character pieces of a customer's text that hold a non-ASCII
// character (a Korean given name is two syllables): trigram indexes cannot
// serve them, so the stores keep them in a table of their own.
QStringList customerGrams(const Customer &customer);

// The "customer" of a ReceiveCall event as the book knows it now: the
// caller's JSON, or null for an unknown number, without a book, or when the
// book cannot be read (logged).
QJsonValue customerOfCall(CustomerBook *book, const QJsonObject &event);

// A search text as the stores take it: a typed number becomes its digits.
QString customerSearchText(const QString &q);

} // namespace tavrod

#endif
