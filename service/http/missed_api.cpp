#include "missed_api.h"

#include "access.h"
#include "api.h"
#include "event_store.h"
#include "http_server.h"

#include <QDateTime>
#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcMissed, "tavrod.missed")

namespace tavrod {

namespace {

const QString donePrefix = QStringLiteral("/api/missed/");

HttpResponse storeError(const QString &error)
{
    return HttpResponse::error(503, QStringLiteral("the store cannot be read: %1").arg(error));
}

} // namespace

MissedApi::MissedApi(Api &api, Access &access, EventStore &store, Record record)
    : m_access(access)
    , m_store(store)
    , m_record(std::move(record))
{
    api.addRoute("GET", QStringLiteral("/api/missed"), Scope::View,
                 [this](const HttpRequest &request, HttpResponder responder) { list(request, responder); });
    api.addRoute("GET", QStringLiteral("/api/missed/count"), Scope::View,
                 [this](const HttpRequest &request, HttpResponder responder) { count(request, responder); });
    api.addPrefixRoute("POST", donePrefix, Scope::Admin,
                       [this](const HttpRequest &request, HttpResponder responder) { markDone(request, responder); });
}

void MissedApi::list(const HttpRequest &request, HttpResponder responder) const
{
    CallQuery query;
    QString error;
    if (!callQueryFromRequest(request, &query, &error))
        return responder.send(HttpResponse::error(400, error));
    query.openMissed = true;
    CallPage page;
    qint64 total = 0;
    if (!m_store.findCalls(query, &page, &error) || !m_store.countOpenMissed(query.site, &total, &error))
        return responder.send(storeError(error));
    responder.send(HttpResponse::json(200, {{"calls", page.calls},
                                            {"next", page.next > 0 ? QJsonValue(page.next) : QJsonValue()},
                                            {"count", total}}));
}

void MissedApi::count(const HttpRequest &request, HttpResponder responder) const
{
    qint64 total = 0;
    QString error;
    if (!m_store.countOpenMissed(request.query.queryItemValue(QStringLiteral("site"), QUrl::FullyDecoded), &total,
                                 &error))
        return responder.send(storeError(error));
    responder.send(HttpResponse::json(200, {{"count", total}}));
}

void MissedApi::markDone(const HttpRequest &request, HttpResponder responder) const
{
    // /api/missed/ID/done
    const QStringList parts = request.path.mid(donePrefix.size()).split(u'/');
    bool ok = false;
    const qint64 callId = parts.size() == 2 && parts.at(1) == u"done" ? parts.at(0).toLongLong(&ok) : 0;
    if (!ok || callId <= 0)
        return responder.send(HttpResponse::error(404, QStringLiteral("no such resource: %1").arg(request.path)));
    CallStanding standing;
    QString error;
    if (!m_store.callStanding(callId, &standing, &error))
        return responder.send(storeError(error));
    if (!standing.found)
        return responder.send(HttpResponse::error(404, QStringLiteral("no call %1").arg(callId)));
    if (standing.outcome != u"missed")
        return responder.send(HttpResponse::error(
            409, QStringLiteral("call %1 is not a missed call (%2)")
                     .arg(callId)
                     .arg(standing.outcome.isEmpty() ? QStringLiteral("no outcome") : standing.outcome)));
    if (!standing.doneAt.isEmpty())
        return responder.send(HttpResponse::json(
            409, {{"error", QStringLiteral("call %1 was dealt with by %2 at %3").arg(callId).arg(standing.doneBy, standing.doneAt)},
                  {"callId", callId},
                  {"by", standing.doneBy},
                  {"at", standing.doneAt}}));
    const QString by = m_access.identify(request).name;
    // One thread: nothing else marks this call between the check and here.
    m_record(QJsonObject{{"event", "MissedDone"}, {"callId", callId}, {"by", by}, {"portName", standing.portName}});
    qCInfo(lcMissed).noquote() << "call" << callId << "done by" << by;
    CallStanding now;
    if (!m_store.callStanding(callId, &now, &error) || now.doneAt.isEmpty())
        now.doneAt = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs); // written later (degraded)
    responder.send(HttpResponse::json(200, {{"callId", callId}, {"by", by}, {"at", now.doneAt}}));
}

} // namespace tavrod
