// A site on a shared PostgreSQL database: its own events go to the database
// (or, while it is unreachable, to the local spool, forwarded in order once
// it is back), and the events of every site come back from the database's
// notifications, numbered by the database, for the stream.
#ifndef TAVROD_SHARED_LOG_H
#define TAVROD_SHARED_LOG_H

#include "event_store.h"
#include "pg_store.h"
#include "spool.h"

#include <QJsonObject>
#include <QObject>
#include <QSet>
#include <QTimer>

#include <map>
#include <memory>

namespace tavrod {

class SharedLog : public QObject, public EventSource
{
    Q_OBJECT

public:
    // Pauses between reconnects grow from the first to the last, doubling.
    static constexpr int firstPauseMs = 250;
    static constexpr int lastPauseMs = 5000;
    // Events forwarded from the spool per transaction.
    static constexpr int forwardSlice = 1000;

    SharedLog(PgTarget target, QString spoolPath, QString site, QObject *parent = nullptr);
    ~SharedLog() override;

    // The store the site's EventLog writes to: append goes to the database
    // or the spool, lastId is the site's local numbering, reads go to the
    // database.
    EventStore &store();

    // The shared numbering, for the stream and /api/events.
    qint64 lastId() const override { return m_cursor; }
    bool eventsAfter(qint64 after, int limit, QList<QByteArray> *rows, QString *error) override;

    bool connected() const { return m_connected; }
    bool degraded() const { return !connected() || m_spool.count() > 0 || !m_siteClaimed; }
    // Adds this site's view of the database to /healthz.
    void describe(QJsonObject &health) const;

Q_SIGNALS:
    // An event of any site, numbered by the database, in id order; or one
    // of this site's own that waits in the spool (provisional).
    void published(const tavrod::EventRecord &event);
    void degradedChanged(bool degraded);
    // The spool is empty again after an outage.
    void forwarded();

private:
    class Writer;
    friend class Writer;

    bool open(QString *error);
    void close();
    bool append(const QList<EventRecord> &events, QString *error);
    qint64 lastLocalId();

    void connectNow();
    bool claimSite(QString *error);
    void lostConnection(const QString &error);
    void forwardSome();
    void queueForward();
    void catchUp();
    void onNotification(const QByteArray &payload);
    void publishShared(const QByteArray &json, const QJsonObject &object);
    void publishProvisional(const EventRecord &event);
    void setDegraded(bool degraded);

    PgStore m_pg;
    Spool m_spool;
    QString m_site;
    std::unique_ptr<Writer> m_writer;
    qint64 m_cursor = 0;
    bool m_cursorKnown = false;
    // Local ids of this site's events that went out before the database had
    // them; their numbered copy is not sent again.
    QSet<qint64> m_provisional;
    // This site's events the database took whose announcement has not come
    // back yet, by local id: if the connection goes first, they go out
    // provisionally then, ahead of what waits in the spool.
    std::map<qint64, EventRecord> m_unannounced;
    QTimer m_reconnect;
    QTimer m_keepAlive;
    int m_pauseMs = firstPauseMs;
    bool m_forwardQueued = false;
    bool m_oneByOne = false; // looking for the event the database refuses
    bool m_degraded = false;
    bool m_closed = true;
    // Ours, not the driver's: QPSQL may close itself when the server goes.
    bool m_connected = false;
    qint64 m_forwarded = 0;
    bool m_siteClaimed = true;
    QString m_lastError;
};

} // namespace tavrod

#endif
