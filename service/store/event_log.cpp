#include "event_log.h"
#include "logging.h"

#include "customer_book.h"

#include <QDateTime>
#include <QJsonDocument>

#include <cstdio>

namespace tavrod {

EventLog::EventLog(EventStore &store, QString site, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_site(std::move(site))
{
    // A failed store is tried again once a second, never in a tight loop.
    m_retry.setInterval(1000);
    connect(&m_retry, &QTimer::timeout, this, &EventLog::flush);
}

void EventLog::start()
{
    m_lastId = std::max(m_lastId, m_store.lastId());
}

bool EventLog::isDebugKind(const QString &kind)
{
    return kind == u"DebugMsg" || kind == u"ReceiveReal";
}

EventRecord EventLog::makeRecord(const QJsonObject &event, bool numbered)
{
    EventRecord record;
    record.kind = event.value(QStringLiteral("event")).toString();
    record.site = m_site;
    record.portName = event.value(QStringLiteral("portName")).toString();
    // Events of no port (a change of the customer book) store "", never NULL.
    if (record.portName.isNull())
        record.portName = QStringLiteral("");
    record.at = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
    record.object = event;
    if (numbered) {
        record.id = ++m_lastId;
        record.object.insert(QStringLiteral("id"), record.id);
    }
    record.object.insert(QStringLiteral("at"), record.at);
    record.object.insert(QStringLiteral("site"), record.site);
    record.json = QJsonDocument(record.object).toJson(QJsonDocument::Compact);
    return record;
}

void EventLog::record(const QJsonObject &event)
{
    const QString kind = event.value(QStringLiteral("event")).toString();
    if (isDebugKind(kind)) {
        emit published(makeRecord(event, false));
        return;
    }
    QJsonObject object = event;
    // A call carries its customer as the book knows it at this moment.
    if (kind == u"ReceiveCall")
        object.insert(QStringLiteral("customer"), customerOfCall(m_store.customers(), event));
    const EventRecord record = makeRecord(object, true);
    // Behind unsaved events a new one waits too, so the file keeps the order.
    if (m_unsaved.empty()) {
        QString error;
        if (m_store.append({record}, &error)) {
            emit stored(record);
            emit published(record);
            return;
        }
        ++m_failures;
        m_lastError = error;
        qCWarning(lcStore, "store failed, events go out live and wait in memory: %s",
                     qPrintable(error));
        keepUnsaved(record);
        m_retry.start();
        emit degradedChanged(true);
    } else {
        keepUnsaved(record);
    }
    emit published(record);
}

void EventLog::keepUnsaved(const EventRecord &event)
{
    if (int(m_unsaved.size()) >= maxUnsaved) {
        if (m_dropped++ == 0)
            qCWarning(lcStore, "more than %d unsaved events; the oldest are dropped", maxUnsaved);
        m_unsaved.pop_front();
    }
    m_unsaved.push_back(event);
}

bool EventLog::flush()
{
    // In slices, so that a long outage's backlog does not stall the link.
    constexpr size_t slice = 1000;
    while (!m_unsaved.empty()) {
        const size_t count = std::min(slice, m_unsaved.size());
        const QList<EventRecord> batch(m_unsaved.begin(), m_unsaved.begin() + qsizetype(count));
        QString error;
        if (!m_store.append(batch, &error)) {
            ++m_failures;
            m_lastError = error;
            return false;
        }
        m_unsaved.erase(m_unsaved.begin(), m_unsaved.begin() + qsizetype(count));
        for (const EventRecord &event : batch)
            emit stored(event);
    }
    if (m_retry.isActive()) {
        m_retry.stop();
        qCInfo(lcStore, "store works again; every waiting event is written");
        emit degradedChanged(false);
    }
    return true;
}

bool EventLog::eventsAfter(qint64 after, int limit, QList<QByteArray> *rows, QString *error)
{
    const qint64 firstUnsaved = m_unsaved.empty() ? m_lastId + 1 : m_unsaved.front().id;
    if (after + 1 < firstUnsaved) {
        if (!m_store.eventsAfter(after, limit, rows, error))
            return false;
        if (!rows->isEmpty()) {
            const qint64 last = QJsonDocument::fromJson(rows->last()).object().value(u"id").toInteger();
            after = std::max(after, last);
        }
        if (rows->size() >= limit)
            return true;
        // Rows dropped during a long outage leave a hole; go on after it.
        after = std::max(after, firstUnsaved - 1);
    }
    for (const EventRecord &event : m_unsaved) {
        if (rows->size() >= limit)
            break;
        if (event.id > after)
            rows->append(event.json);
    }
    return true;
}

} // namespace tavrod
