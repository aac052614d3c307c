// The order every event goes through: number it, store it, then publish it.
// When the store cannot be written the events still go out live; they wait
// in memory (bounded) and are written, in order, once the store works again.
#ifndef TAVROD_EVENT_LOG_H
#define TAVROD_EVENT_LOG_H

#include "event_store.h"

#include <QObject>
#include <QTimer>

#include <deque>

namespace tavrod {

class EventLog : public QObject, public EventSource
{
    Q_OBJECT

public:
    // Unsaved events kept while the store fails; beyond it the oldest go.
    static constexpr int maxUnsaved = 100000;

    EventLog(EventStore &store, QString site, QObject *parent = nullptr);

    // Continues the numbering after what the store holds.
    void start();

    // One event object as the bridge writes it. DebugMsg and ReceiveReal are
    // published without an id and never stored.
    void record(const QJsonObject &event);

    bool degraded() const { return !m_unsaved.empty(); }
    int unsavedCount() const { return int(m_unsaved.size()); }
    qint64 droppedCount() const { return m_dropped; }
    qint64 storeFailures() const { return m_failures; }
    QString lastStoreError() const { return m_lastError; }
    qint64 lastId() const override { return m_lastId; }
    const QString &site() const { return m_site; }

    // Tries to write what waits; true when nothing waits any more.
    bool flush();

    // Events after an id, oldest first: the stored ones, then those still
    // waiting for the store, so a replay has no gap while degraded.
    bool eventsAfter(qint64 after, int limit, QList<QByteArray> *rows, QString *error) override;

    static bool isDebugKind(const QString &kind);

Q_SIGNALS:
    // Every event, once stored (or, while degraded, once kept for later).
    void published(const tavrod::EventRecord &event);
    // An event is in the store now (also the late ones after degraded mode).
    void stored(const tavrod::EventRecord &event);
    void degradedChanged(bool degraded);

private:
    EventRecord makeRecord(const QJsonObject &event, bool numbered);
    void keepUnsaved(const EventRecord &event);

    EventStore &m_store;
    QString m_site;
    qint64 m_lastId = 0;
    std::deque<EventRecord> m_unsaved;
    qint64 m_dropped = 0;
    qint64 m_failures = 0;
    QString m_lastError;
    QTimer m_retry;
};

} // namespace tavrod

#endif
