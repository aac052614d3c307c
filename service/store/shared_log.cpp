#include "shared_log.h"
#include "logging.h"

#include <QDateTime>
#include <QJsonDocument>

#include <cstdio>
#include <utility>

namespace tavrod {

// What the site's EventLog sees as its store.
class SharedLog::Writer : public EventStore
{
public:
    explicit Writer(SharedLog &log)
        : m_log(log)
    {
    }
    bool open(QString *error) override { return m_log.open(error); }
    void close() override { m_log.close(); }
    bool append(const QList<EventRecord> &events, QString *error) override { return m_log.append(events, error); }
    qint64 lastId() override { return m_log.lastLocalId(); }
    bool eventsAfter(qint64 after, int limit, QList<QByteArray> *rows, QString *error) override
    {
        return m_log.eventsAfter(after, limit, rows, error);
    }
    bool findCalls(const CallQuery &query, CallPage *page, QString *error) override
    {
        if (!m_log.connected()) {
            *error = QStringLiteral("the shared database is unreachable");
            return false;
        }
        return m_log.m_pg.findCalls(query, page, error);
    }
    bool readValue(const QString &key, QString *value, QString *error) override
    {
        if (!m_log.connected()) {
            *error = QStringLiteral("the shared database is unreachable");
            return false;
        }
        return m_log.m_pg.readValue(key, value, error);
    }
    bool writeValue(const QString &key, const QString &value, QString *error) override
    {
        if (!m_log.connected()) {
            *error = QStringLiteral("the shared database is unreachable");
            return false;
        }
        return m_log.m_pg.writeValue(key, value, error);
    }
    // The book lives in the shared database only: no spool holds it.
    CustomerBook *customers() override { return m_log.connected() ? &m_log.m_pg : nullptr; }
    bool outcomeBacklog(const QString &site, int limit, QList<QJsonObject> *events, QString *error) override
    {
        return readable(error) && m_log.m_pg.outcomeBacklog(site, limit, events, error);
    }
    bool callStanding(qint64 callId, CallStanding *standing, QString *error) override
    {
        return readable(error) && m_log.m_pg.callStanding(callId, standing, error);
    }
    bool countOpenMissed(const QString &site, qint64 *count, QString *error) override
    {
        return readable(error) && m_log.m_pg.countOpenMissed(site, count, error);
    }
    bool callStats(const StatsQuery &query, QJsonObject *stats, QString *error) override
    {
        return readable(error) && m_log.m_pg.callStats(query, stats, error);
    }

private:
    bool readable(QString *error) const
    {
        if (!m_log.connected())
            *error = QStringLiteral("the shared database is unreachable");
        return m_log.connected();
    }
    SharedLog &m_log;
};

SharedLog::SharedLog(PgTarget target, QString spoolPath, QString site, QObject *parent)
    : QObject(parent)
    , m_pg(std::move(target))
    , m_spool(std::move(spoolPath))
    , m_site(std::move(site))
    , m_writer(std::make_unique<Writer>(*this))
{
    m_reconnect.setSingleShot(true);
    connect(&m_reconnect, &QTimer::timeout, this, &SharedLog::connectNow);
    // Notifications say nothing when the server is gone; one cheap round
    // trip a second notices it, so the site reconnects and catches up.
    m_keepAlive.setInterval(1000);
    connect(&m_keepAlive, &QTimer::timeout, this, [this] {
        QString error;
        if (!(m_siteClaimed ? m_pg.ping(&error) : claimSite(&error)))
            lostConnection(error);
    });
    // Queued: handling a notification may drop the connection, which must
    // not happen inside the driver's own signal.
    connect(&m_pg, &PgStore::notified, this, &SharedLog::onNotification, Qt::QueuedConnection);
}

SharedLog::~SharedLog()
{
    close();
}

EventStore &SharedLog::store()
{
    return *m_writer;
}

bool SharedLog::open(QString *error)
{
    if (!m_spool.open(error))
        return false;
    m_closed = false;
    if (m_spool.count() > 0)
        qCWarning(lcStore, "%lld events wait in the spool %s", static_cast<long long>(m_spool.count()),
                     qPrintable(m_spool.path()));
    connectNow();
    if (!connected())
        qCWarning(lcStore, "starting without the shared database; events go to the spool %s",
                     qPrintable(m_spool.path()));
    return true;
}

void SharedLog::close()
{
    m_closed = true;
    m_connected = false;
    m_reconnect.stop();
    m_keepAlive.stop();
    m_pg.close();
    m_spool.close();
}

qint64 SharedLog::lastLocalId()
{
    qint64 last = m_spool.lastId();
    qint64 stored = 0;
    QString error;
    if (connected() && m_pg.lastLocalId(m_site, &stored, &error))
        return std::max(last, stored);
    // Without the database the site cannot know how far it got (its spool
    // may have been forwarded and emptied). Microseconds since the epoch lie
    // beyond every earlier run's ids, so a new event never takes the key of
    // a stored one and is never skipped as already stored.
    return std::max(last, QDateTime::currentMSecsSinceEpoch() * 1000);
}

void SharedLog::connectNow()
{
    if (m_closed)
        return;
    QString error;
    const bool ok = m_pg.open(&error) && claimSite(&error);
    if (!ok) {
        m_pg.close();
        if (error != m_lastError)
            qCWarning(lcStore, "shared database: %s; next try in %d ms", qPrintable(error), m_pauseMs);
        m_lastError = error;
        setDegraded(true);
        m_reconnect.start(m_pauseMs);
        m_pauseMs = std::min(m_pauseMs * 2, lastPauseMs);
        return;
    }
    qCInfo(lcStore, "shared database connected (schema %d)", PgStore::schemaVersion());
    m_connected = true;
    m_pauseMs = firstPauseMs;
    m_lastError.clear();
    m_keepAlive.start();
    if (!m_cursorKnown) {
        // Live from now on; what came before is history.
        m_cursor = m_pg.lastId();
        m_cursorKnown = true;
    }
    catchUp();
    if (!connected())
        return;
    if (m_spool.count() == 0)
        setDegraded(false);
    else if (!m_forwardQueued)
        forwardSome();
}

bool SharedLog::claimSite(QString *error)
{
    bool claimed = false;
    if (!m_pg.claimSite(m_site, &claimed, error))
        return false;
    if (claimed != m_siteClaimed) {
        // Not fatal: it may be this site's own connection from before a
        // network cut, which the server has not yet noticed is gone.
        qCInfo(lcStore, claimed ? "site \"%s\" is this service's alone again"
                             : "tavrod: another connection to the shared database holds site \"%s\": another"
                               " tavrod with the same --site (give each its own), or this one's from before a"
                               " network cut",
                     qPrintable(m_site));
        m_siteClaimed = claimed;
        emit degradedChanged(degraded());
    }
    return true;
}

void SharedLog::lostConnection(const QString &error)
{
    if (!connected())
        return;
    qCWarning(lcStore, "shared database lost (%s); events go to the spool", qPrintable(error));
    m_lastError = error;
    m_connected = false;
    m_siteClaimed = true; // asked again on the next connection
    m_keepAlive.stop();
    m_pg.close();
    setDegraded(true);
    // Stored, but the announcement went down with the connection: shown now,
    // in their order, rather than after the events that come meanwhile.
    const auto unannounced = std::exchange(m_unannounced, {});
    for (const auto &[localId, event] : unannounced)
        publishProvisional(event);
    m_pauseMs = firstPauseMs;
    m_reconnect.start(m_pauseMs);
    m_pauseMs *= 2;
}

void SharedLog::setDegraded(bool degraded)
{
    if (degraded == m_degraded)
        return;
    m_degraded = degraded;
    emit degradedChanged(degraded);
}

bool SharedLog::append(const QList<EventRecord> &events, QString *error)
{
    // Behind spooled events a new one waits too, so each site's order holds.
    if (connected() && m_spool.count() == 0) {
        QString failure;
        if (m_pg.append(events, &failure)) {
            constexpr std::size_t maxUnannounced = 10000;
            if (m_unannounced.size() + std::size_t(events.size()) > maxUnannounced)
                m_unannounced.clear();
            for (const EventRecord &event : events)
                m_unannounced.emplace(event.id, event);
            return true;
        }
        QString pingError;
        if (m_pg.ping(&pingError)) {
            // Reachable, yet refused: the forwarding sets the culprit aside.
            qCWarning(lcStore, "the shared database refuses an event: %s", qPrintable(failure));
            setDegraded(true);
            queueForward();
        } else {
            lostConnection(failure);
        }
    }
    if (!m_spool.append(events, error))
        return false;
    for (const EventRecord &event : events)
        publishProvisional(event);
    return true;
}

void SharedLog::forwardSome()
{
    m_forwardQueued = false;
    if (!connected() || m_closed)
        return;
    QList<EventRecord> batch;
    QString error;
    if (!m_spool.peek(m_oneByOne ? 1 : forwardSlice, &batch, &error)) {
        qCInfo(lcStore, "%s", qPrintable(error));
        return;
    }
    if (batch.isEmpty()) {
        qCInfo(lcStore, "every spooled event is in the shared database (%lld forwarded)",
                     static_cast<long long>(m_forwarded));
        setDegraded(false);
        emit forwarded();
        return;
    }
    if (!m_pg.append(batch, &error)) {
        QString pingError;
        if (!m_pg.ping(&pingError)) {
            lostConnection(error);
            return;
        }
        // The server works but refuses something in the batch: one event at
        // a time finds it, and it is set aside so that the rest goes on.
        if (batch.size() > 1) {
            m_oneByOne = true;
        } else {
            qCWarning(lcStore, "the shared database refuses spooled event %lld, set aside in the"
                         " spool's table rejected: %s", static_cast<long long>(batch.first().id), qPrintable(error));
            if (!m_spool.reject(batch.first().id, error, &error)) {
                qCInfo(lcStore, "%s", qPrintable(error));
                QTimer::singleShot(lastPauseMs, this, &SharedLog::queueForward); // later, not in a loop
                return;
            }
            m_oneByOne = false;
        }
        queueForward();
        return;
    }
    // Forwarded twice after a failure here is harmless: the database skips
    // a (site, local id) it has.
    if (!m_spool.remove(batch.last().id, &error))
        qCInfo(lcStore, "%s", qPrintable(error));
    m_forwarded += batch.size();
    queueForward();
}

void SharedLog::queueForward()
{
    // The next slice after pending events, so the link and clients go on.
    if (m_forwardQueued)
        return;
    m_forwardQueued = true;
    QMetaObject::invokeMethod(this, &SharedLog::forwardSome, Qt::QueuedConnection);
}

bool SharedLog::eventsAfter(qint64 after, int limit, QList<QByteArray> *rows, QString *error)
{
    if (!connected()) {
        *error = QStringLiteral("the shared database is unreachable");
        return false;
    }
    return m_pg.eventsAfter(after, limit, rows, error);
}

void SharedLog::catchUp()
{
    // What was committed while this site did not listen, or what a
    // notification could not carry.
    for (;;) {
        QList<QByteArray> rows;
        QString error;
        if (!m_pg.eventsAfter(m_cursor, 1000, &rows, &error)) {
            lostConnection(error);
            return;
        }
        if (rows.isEmpty())
            return;
        for (const QByteArray &row : rows)
            publishShared(row, QJsonDocument::fromJson(row).object());
    }
}

void SharedLog::onNotification(const QByteArray &payload)
{
    const QJsonObject object = QJsonDocument::fromJson(payload).object();
    if (object.isEmpty() || object.value(u"truncated").toBool())
        catchUp();
    else
        publishShared(payload, object);
}

void SharedLog::publishShared(const QByteArray &json, const QJsonObject &object)
{
    const qint64 id = object.value(u"id").toInteger();
    if (id <= m_cursor)
        return;
    m_cursor = id;
    EventRecord event;
    event.site = object.value(u"site").toString();
    if (event.site == m_site) {
        const qint64 localId = object.value(u"localId").toInteger();
        m_unannounced.erase(localId);
        if (m_provisional.remove(localId))
            return;
    }
    event.id = id;
    event.kind = object.value(u"event").toString();
    event.portName = object.value(u"portName").toString();
    event.at = object.value(u"at").toString();
    event.object = object;
    event.json = json;
    emit published(event);
}

void SharedLog::publishProvisional(const EventRecord &event)
{
    // Bounded like the EventLog's memory; an outage longer than that only
    // means the oldest may reach a live client twice.
    constexpr qsizetype maxProvisional = 100000;
    if (m_provisional.size() >= maxProvisional)
        m_provisional.clear();
    m_provisional.insert(event.id);
    EventRecord live = event;
    live.provisional = true;
    live.object.remove(QStringLiteral("id"));
    live.object.insert(QStringLiteral("localId"), event.id);
    live.id = 0;
    live.json = QJsonDocument(live.object).toJson(QJsonDocument::Compact);
    emit published(live);
}

void SharedLog::describe(QJsonObject &health) const
{
    health.insert(QStringLiteral("database"), connected() ? QStringLiteral("connected") : QStringLiteral("unreachable"));
    health.insert(QStringLiteral("spooledEvents"), m_spool.count());
    if (m_spool.rejectedCount() > 0)
        health.insert(QStringLiteral("rejectedEvents"), m_spool.rejectedCount());
    // Clients (the page) take lastId as the stream's numbering: the shared one.
    health.insert(QStringLiteral("lastId"), m_cursor);
    if (!m_siteClaimed && connected())
        health.insert(QStringLiteral("siteHeldElsewhere"), true);
    if (degraded()) {
        health.insert(QStringLiteral("status"), QStringLiteral("degraded"));
        if (!m_lastError.isEmpty())
            health.insert(QStringLiteral("databaseError"), m_lastError);
    }
}

} // namespace tavrod
