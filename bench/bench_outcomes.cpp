// Statistics over many stored calls, through the store tavrod uses: fills a
// temporary SQLite file with N calls spread over a year (default 1,000,000;
// first argument), each decided answered or missed, then times /api/stats'
// queries for the whole year by hour, by day and by weekday, 100 each.
// First, how soon an outcome is decided after the handset report and after
// the end of the ring window (the tracker tavrod runs, on its event loop).
#include "call_outcomes.h"
#include "sqlite_store.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace tavrod;

namespace {

EventRecord eventOf(qint64 id, const QString &at, QJsonObject object)
{
    EventRecord event;
    event.id = id;
    event.kind = object.value(QStringLiteral("event")).toString();
    event.site = QStringLiteral("bench");
    event.portName = QStringLiteral("COM1");
    event.at = at;
    object.insert(QStringLiteral("id"), id);
    object.insert(QStringLiteral("at"), at);
    object.insert(QStringLiteral("site"), event.site);
    object.insert(QStringLiteral("portName"), event.portName);
    event.object = object;
    event.json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return event;
}

void report(const char *what, std::vector<double> ms, qsizetype buckets)
{
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double p) { return ms[std::min(ms.size() - 1, size_t(p * double(ms.size())))]; };
    std::printf("%-28s p50 %7.2f ms  p95 %7.2f ms  max %7.2f ms  (%zu %s", what, at(0.5), at(0.95), ms.back(),
                ms.size(), buckets > 0 ? "queries, " : "calls)\n");
    if (buckets > 0)
        std::printf("%lld buckets)\n", static_cast<long long>(buckets));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int total = argc > 1 ? std::max(1000, atoi(argv[1])) : 1000000;
    {
        std::vector<double> afterLift, afterWindow;
        QElapsedTimer clock;
        qint64 mark = 0;
        std::vector<double> *into = nullptr;
        constexpr int windowMs = 200;
        CallOutcomes outcomes(windowMs, [&](const QJsonObject &) {
            if (into)
                into->push_back((clock.nsecsElapsed() - mark) / 1e6);
        });
        clock.start();
        const auto nowIso = [] { return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs); };
        for (int i = 0; i < 20; ++i) {
            const QJsonObject call{{"event", "ReceiveCall"}, {"id", 2 * i + 1}, {"portName", "COM1"},
                                   {"callState", 1}, {"at", nowIso()}};
            into = nullptr;
            outcomes.observe(call);
            if (i % 2 == 0) {
                into = &afterLift;
                mark = clock.nsecsElapsed();
                outcomes.observe({{"event", "HookEvent"}, {"id", 2 * i + 2}, {"portName", "COM1"},
                                  {"eventType", true}, {"at", nowIso()}});
                outcomes.observe({{"event", "HookEvent"}, {"id", 2 * i + 2}, {"portName", "COM1"},
                                  {"eventType", false}, {"at", nowIso()}});
            } else {
                into = &afterWindow;
                mark = clock.nsecsElapsed() + qint64(windowMs) * 1000000;
                const size_t before = afterWindow.size();
                while (afterWindow.size() == before)
                    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
            }
        }
        report("outcome after the lift", afterLift, 0);
        report("outcome after window end", afterWindow, 0);
    }
    QTemporaryDir dir;
    SqliteStore store(dir.filePath(QStringLiteral("stats.db")));
    QString error;
    if (!store.open(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    QRandomGenerator rng(11);
    const qint64 start = QDateTime(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC).toMSecsSinceEpoch();
    const qint64 year = 365LL * 24 * 3600 * 1000;
    QElapsedTimer fill;
    fill.start();
    constexpr int batch = 10000;
    qint64 id = 0;
    for (int done = 0; done < total;) {
        QList<EventRecord> events;
        for (int i = 0; i < batch && done < total; ++i, ++done) {
            // In order of time, as they come.
            const qint64 atMs = start + year * done / total + rng.bounded(1000);
            const QString at = QDateTime::fromMSecsSinceEpoch(atMs, Qt::UTC).toString(Qt::ISODateWithMs);
            // A few hundred regular callers and many once-only ones.
            QString number = QStringLiteral("02%1").arg(rng.bounded(10) < 3 ? rng.bounded(300) : rng.bounded(10000000),
                                                        8, 10, QChar(u'0'));
            const qint64 callId = ++id;
            events.append(eventOf(callId, at,
                                  {{"event", "ReceiveCall"},
                                   {"callState", 1},
                                   {"cidInfo", QJsonObject{{"lNumber", number}, {"lName", QStringLiteral("손님")}}}}));
            events.append(eventOf(++id, at,
                                  {{"event", "CallOutcome"},
                                   {"callId", callId},
                                   {"outcome", rng.bounded(4) == 0 ? "missed" : "answered"}}));
        }
        if (!store.append(events, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    std::printf("filled %d calls (and their outcomes) over a year in %.1f s\n", total, fill.elapsed() / 1000.0);

    for (const char *by : {"hour", "day", "weekday"}) {
        std::vector<double> ms;
        qsizetype buckets = 0;
        for (int i = 0; i < 100; ++i) {
            StatsQuery query;
            query.by = QString::fromLatin1(by);
            query.since = QStringLiteral("2026-01-01T00:00:00.000Z");
            query.until = QStringLiteral("2027-01-01T00:00:00.000Z");
            query.offsetSeconds = 9 * 3600;
            QJsonObject stats;
            QElapsedTimer timer;
            timer.start();
            if (!store.callStats(query, &stats, &error)) {
                std::fprintf(stderr, "%s\n", qPrintable(error));
                return 1;
            }
            ms.push_back(timer.nsecsElapsed() / 1e6);
            buckets = stats.value(QStringLiteral("buckets")).toArray().size();
        }
        report(qPrintable(QStringLiteral("stats by %1, one year").arg(QLatin1String(by))), ms, buckets);
    }
    return 0;
}
