// History search over many stored calls, through the store tavrod uses:
// fills a temporary SQLite file with N calls (default 1,000,000; first
// argument), then times /api/calls' query for a four-digit fragment of a
// number and for a two-syllable fragment of a name, 200 queries each.
#include "sqlite_store.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

using namespace tavrod;

namespace {

const QString surnames = QStringLiteral("김이박최정강조윤장임한오서신권황안송류홍");
const QString syllables = QStringLiteral("민서준지현우예도하윤은수영진호성경숙자희정미연동길철순태상");

QString randomName(QRandomGenerator &rng)
{
    QString name = surnames.at(rng.bounded(int(surnames.size())));
    for (int i = 0; i < 2; ++i)
        name += syllables.at(rng.bounded(int(syllables.size())));
    return name;
}

QString randomNumber(QRandomGenerator &rng)
{
    static const char *prefixes[] = {"010", "02", "031", "051", "070"};
    QString number = QString::fromLatin1(prefixes[rng.bounded(5)]);
    for (int i = 0; i < 8; ++i)
        number += QChar(u'0' + rng.bounded(10));
    return number;
}

void report(const char *what, std::vector<double> ms, int hits)
{
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double p) { return ms[std::min(ms.size() - 1, size_t(p * double(ms.size())))]; };
    std::printf("%-34s p50 %6.2f ms  p95 %6.2f ms  max %6.2f ms  (%zu queries, %d rows returned)\n", what, at(0.5),
                at(0.95), ms.back(), ms.size(), hits);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int total = argc > 1 ? std::max(1000, atoi(argv[1])) : 1000000;
    QTemporaryDir dir;
    SqliteStore store(dir.filePath(QStringLiteral("history.db")));
    QString error;
    if (!store.open(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    QRandomGenerator rng(7);
    QElapsedTimer fill;
    fill.start();
    constexpr int batch = 10000;
    for (int first = 1; first <= total; first += batch) {
        QList<EventRecord> events;
        for (int id = first; id < first + batch && id <= total; ++id) {
            EventRecord event;
            event.id = id;
            event.kind = QStringLiteral("ReceiveCall");
            event.site = QStringLiteral("bench");
            event.portName = QStringLiteral("COM1");
            event.at = QStringLiteral("2026-01-01T00:00:00.000Z");
            event.object = {{"event", "ReceiveCall"},
                            {"id", id},
                            {"at", event.at},
                            {"site", event.site},
                            {"portName", event.portName},
                            {"callState", 1},
                            {"cidInfo", QJsonObject{{"lNumber", randomNumber(rng)}, {"lName", randomName(rng)}}}};
            event.json = QJsonDocument(event.object).toJson(QJsonDocument::Compact);
            events.append(event);
        }
        if (!store.append(events, &error)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
    }
    std::printf("filled %d calls in %.1f s\n", total, fill.elapsed() / 1000.0);

    // The start of tavrod on this file: opening includes the quick check
    // of every page, which dominates it (the file is in the page cache, as
    // after a restart of the service).
    store.close();
    QElapsedTimer reopen;
    reopen.start();
    if (!store.open(&error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("open with quick check: %.2f s (%.0f MB file)\n", reopen.elapsed() / 1000.0,
                QFileInfo(dir.filePath(QStringLiteral("history.db"))).size() / 1e6);

    for (int kind = 0; kind < 2; ++kind) {
        std::vector<double> ms;
        int hits = 0;
        for (int i = 0; i < 200; ++i) {
            CallQuery query;
            if (kind == 0) {
                for (int d = 0; d < 4; ++d)
                    query.q += QChar(u'0' + rng.bounded(10));
            } else {
                query.q = QString(syllables.at(rng.bounded(int(syllables.size()))))
                    + syllables.at(rng.bounded(int(syllables.size())));
            }
            CallPage page;
            QElapsedTimer timer;
            timer.start();
            if (!store.findCalls(query, &page, &error)) {
                std::fprintf(stderr, "%s\n", qPrintable(error));
                return 1;
            }
            ms.push_back(timer.nsecsElapsed() / 1e6);
            hits += int(page.calls.size());
        }
        report(kind == 0 ? "q= four digits (trigram index)" : "q= two syllables (pair index)", ms, hits);
    }
    return 0;
}
