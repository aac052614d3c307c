// Where events are kept: an interface, so that another database can take the
// place of the SQLite file without the rest of the service noticing.
#ifndef TAVROD_EVENT_STORE_H
#define TAVROD_EVENT_STORE_H

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QVariant>

namespace tavrod {

class CustomerBook;

// One event as it is stored and streamed: tavro_cli's object plus id, at
// (UTC, ISO 8601 with milliseconds) and site. json is that object, compact.
struct EventRecord
{
    qint64 id = 0;
    QString kind;     // the "event" field: ReceiveCall, HookEvent, ...
    QString site;
    QString portName;
    QString at;
    QJsonObject object;
    QByteArray json;
    // Sent live before the shared database gave it an id (it waits in the
    // spool); its JSON has localId instead of id.
    bool provisional = false;
};

// A history search; empty texts and 0 mean "no condition".
struct CallQuery
{
    QString q;          // any part of the number or the name
    QString since = {}; // at >= since (normalised ISO 8601 UTC)
    QString until = {}; // at < until
    QString port = {};  // (initialisers let {"text"} name just the search)
    QString site = {};
    qint64 before = 0; // id < before (paging)
    int limit = 50;
    QString outcome = {}; // answered, missed or pending
    bool openMissed = false; // missed and not marked done
};

// Counts for /api/stats, at the granularity of an hour (UTC).
struct StatsQuery
{
    QString since; // normalised ISO 8601 UTC; empty: no bound
    QString until;
    QString site;
    QString by = QStringLiteral("hour"); // hour (of the day), day or weekday (0 Sunday)
    int offsetSeconds = 0;               // local time = UTC + offset, for the buckets
    int topCallers = 10;
    qint64 exactUpTo = 20000; // top callers grouped exactly up to this many calls in the range
};

// Where a call stands: its outcome and, for a missed one, who dealt with it.
struct CallStanding
{
    bool found = false;
    QString outcome; // empty for calls stored before outcomes were kept
    QString doneAt;
    QString doneBy;
    QString portName;
};

struct CallPage
{
    QJsonArray calls; // newest first
    qint64 next = 0;  // before= for the next page; 0 when this was the last
};

class EventStore
{
public:
    virtual ~EventStore() = default;

    // Opens (creating and migrating as needed). False with a reason.
    virtual bool open(QString *error) = 0;
    virtual void close() = 0;
    // Writes the events in one transaction: all or none.
    virtual bool append(const QList<EventRecord> &events, QString *error) = 0;
    // The highest id stored, 0 for an empty store.
    virtual qint64 lastId() = 0;
    // The stored events after an id, oldest first, as their JSON.
    virtual bool eventsAfter(qint64 after, int limit, QList<QByteArray> *rows, QString *error) = 0;
    virtual bool findCalls(const CallQuery &query, CallPage *page, QString *error) = 0;

    // A small named value kept beside the events (how far a publisher got).
    // A missing key reads as an empty value. The defaults keep nothing.
    virtual bool readValue(const QString &key, QString *value, QString *error);
    virtual bool writeValue(const QString &key, const QString &value, QString *error);
    // The customer book kept beside the calls; null when there is none.
    virtual CustomerBook *customers() { return nullptr; }
    // The site's ReceiveCall and HookEvent events from its oldest pending
    // call on, oldest first, with their ids as the site numbered them; each
    // ReceiveCall carries its stored "outcome". Empty when nothing is pending.
    virtual bool outcomeBacklog(const QString &site, int limit, QList<QJsonObject> *events, QString *error)
    {
        Q_UNUSED(site) Q_UNUSED(limit) Q_UNUSED(events)
        *error = QStringLiteral("this store keeps no outcomes");
        return false;
    }
    virtual bool callStanding(qint64 callId, CallStanding *standing, QString *error)
    {
        Q_UNUSED(callId) Q_UNUSED(standing)
        *error = QStringLiteral("this store keeps no outcomes");
        return false;
    }
    // {"buckets":[{"key","calls","answered","missed"}],"topCallers":[{"number","name","calls"}]}
    virtual bool callStats(const StatsQuery &query, QJsonObject *stats, QString *error)
    {
        Q_UNUSED(query) Q_UNUSED(stats)
        *error = QStringLiteral("this store keeps no statistics");
        return false;
    }
    // Missed calls not marked done (of one site, or of all with site empty).
    virtual bool countOpenMissed(const QString &site, qint64 *count, QString *error)
    {
        Q_UNUSED(site) Q_UNUSED(count)
        *error = QStringLiteral("this store keeps no outcomes");
        return false;
    }
};

// Where the stream and /api/events read the numbered events: the local log,
// or the shared database that numbers the events of every site.
class EventSource
{
public:
    virtual ~EventSource() = default;
    // The id of the newest event published so far.
    virtual qint64 lastId() const = 0;
    // Events after an id, oldest first, as their JSON.
    virtual bool eventsAfter(qint64 after, int limit, QList<QByteArray> *rows, QString *error) = 0;
};

// The call object of /api/calls from a stored ReceiveCall event.
QJsonObject callFromEvent(const QJsonObject &event);
// The same with what the calls table adds: outcome (null for calls stored
// before outcomes were kept) and, once a missed call is dealt with, done.
QJsonObject callFromRow(const QJsonObject &event, const QVariant &outcome, const QVariant &doneAt,
                        const QVariant &doneBy);

// For the history search of every store: plain ASCII, and a LIKE pattern
// (escape character '\\') that finds q anywhere.
bool isAscii(QStringView text);
QString likePattern(const QString &q);
// The form in which names and numbers are indexed and searched: NFC (a name
// typed as decomposed jamo finds the composed one), and U+FFFD for NUL, so
// that the text on both sides of a NUL from the line can be found.
QString indexedText(const QString &text);
// A page of calls from up to limit + 1 rows (body, outcome, done at, done
// by), newest first; the one beyond the page only says that there is a next page.
void fillCallPage(const QList<QVariantList> &rows, int limit, CallPage *page);
// /api/stats' top callers (number, name, calls), the same statement on every
// store: grouped exactly when the range holds few calls (inRange), else taken
// among the most frequent callers of all time (the callers table) and each
// counted exactly in the range. The name is the customer's, else the line's.
// *values are its parameters in order.
QString topCallersSql(const StatsQuery &query, qint64 inRange, QStringList *values);

} // namespace tavrod

#endif
