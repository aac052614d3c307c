// One incoming call as the service's stream carries it, and the way a
// number is written for people: digits in Korean groups, with its region.
#ifndef TAVRO_POPUP_CALL_INFO_H
#define TAVRO_POPUP_CALL_INFO_H

#include <QDateTime>
#include <QJsonObject>
#include <QString>

namespace popup {

// The customer the service knew when the call came (absent or null when
// the number is not in the book, or the service has no book).
struct Customer
{
    QString name;
    QString address;
    QString memo;
    int calls = 0;     // earlier calls from this number
    QString lastCall;  // as the service wrote it, for display
};

struct CallInfo
{
    qint64 id = 0;        // the service's event id; 0 while not yet numbered
    qint64 localId = 0;   // the site's own number (several sites on one database)
    QString site;
    QString portName;
    int callState = 1;    // 2: arrived while the line was busy
    QString number;       // as the line sent it
    QString lineName;     // the caller's name as the line sent it
    int group = 0;
    QString telType;
    QDateTime at;         // when the service stored it (local time); invalid if unknown
    bool hasCustomer = false;
    Customer customer;
    bool duringGap = false; // came while this screen was not connected

    // The name to show large: the customer's, else the line's, else 없슴.
    QString displayName() const;
    // A key that stays the same when a provisional event is numbered later.
    QString identity() const;
};

// Reads a ReceiveCall event; false for any other event or a malformed one.
bool parseCall(const QJsonObject &event, CallInfo *call);

// The digits of a number however it was written ("(02) 555-1234" -> "025551234").
QString digitsOf(const QString &number);
// Korean groups: 02-555-1234, 031-123-4567, 010-1234-5678, 1588-1234,
// 070-1234-5678; anything else is given back as its digits.
QString formatNumber(const QString &number);
// The region of an area number (02 -> 서울) or the kind of a non-geographic
// number (010 -> 휴대전화); empty when unknown.
QString regionOf(const QString &number);

} // namespace popup

#endif
