#include "stats_api.h"

#include "access.h"
#include "api.h"
#include "event_store.h"
#include "http_server.h"

#include <QDateTime>

namespace tavrod {

StatsApi::StatsApi(Api &api, EventStore &store)
    : m_store(store)
{
    api.addRoute("GET", QStringLiteral("/api/stats"), Scope::View, [this](const HttpRequest &request,
                                                                         HttpResponder responder) {
        StatsQuery query;
        const auto param = [&](const char *name) {
            return request.query.queryItemValue(QLatin1String(name), QUrl::FullyDecoded);
        };
        query.site = param("site");
        query.by = param("by").isEmpty() ? QStringLiteral("hour") : param("by");
        if (query.by != u"hour" && query.by != u"day" && query.by != u"weekday")
            return responder.send(HttpResponse::error(400, QStringLiteral("by must be hour, day or weekday")));
        for (auto [name, target] : {std::pair{"since", &query.since}, std::pair{"until", &query.until}}) {
            const QString text = param(name);
            if (!text.isEmpty() && !normaliseTime(text, target))
                return responder.send(HttpResponse::error(
                    400, QStringLiteral("%1 must be an ISO 8601 date or time").arg(QLatin1String(name))));
        }
        // The buckets are the shop's hours: this machine's offset from UTC.
        query.offsetSeconds = QDateTime::currentDateTime().offsetFromUtc();
        QJsonObject stats;
        QString error;
        if (!m_store.callStats(query, &stats, &error))
            return responder.send(
                HttpResponse::error(503, QStringLiteral("the store cannot be read: %1").arg(error)));
        responder.send(HttpResponse::json(200, stats));
    });
}

} // namespace tavrod
