// The customer book at 1,000,000 customers (127.0.0.1 only):
//  1. the lookup every call makes (SqliteStore::caller), p50/p99;
//  2. End line on the pty -> event at a WebSocket client of tavrod, with the
//     full book and with an empty one (the calls come from known numbers);
//  3. search, four digits and two Hangul syllables, p50/p95 (SQLite, and
//     PostgreSQL on a server this program starts);
//  4. import of 100,000 rows over HTTP; export of the whole book over HTTP
//     with tavrod's peak RSS.
// Arguments (optional): customers [postgres: 1, 0 (SQLite only) or 2 (PostgreSQL only)].
#include "bench_common.h"
#include "customer_book.h"
#include "pg_server.h"
#include "pg_store.h"
#include "pty_pair.h"
#include "sqlite_store.h"
#include "wait_until.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QWebSocket>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include <sys/resource.h>

using namespace tavrod;

namespace {

using Clock = std::chrono::steady_clock;

const char16_t *const surnames[] = {u"김", u"이", u"박", u"최", u"정", u"강", u"조", u"윤", u"장", u"임",
                                    u"한", u"오", u"서", u"신", u"권", u"황", u"안", u"송", u"류", u"홍"};
const char16_t *const given[] = {u"민", u"서", u"지", u"현", u"수", u"영", u"준", u"우", u"진", u"호",
                                 u"은", u"정", u"하", u"윤", u"성", u"경", u"동", u"희", u"철", u"미",
                                 u"재", u"혜", u"태", u"승", u"주", u"연", u"석", u"원", u"숙", u"길"};
const char16_t *const districts[] = {u"강남구", u"중구", u"마포구", u"송파구", u"해운대구", u"수원시", u"분당구"};
const char *const prefixes[] = {"010", "02", "031", "051", "070"};

QString numberOf(qint64 i)
{
    return QLatin1String(prefixes[i % 5]) + QString::number(i * 7919 % 100000000).rightJustified(8, u'0');
}

Customer customerOf(qint64 i, QRandomGenerator &random)
{
    const auto pick = [&](const auto &list) {
        return QString::fromUtf16(list[random.bounded(int(std::size(list)))]);
    };
    Customer customer;
    customer.number = numberOf(i);
    customer.name = pick(surnames) + pick(given) + pick(given);
    if (i % 5 == 0)
        customer.address = u"서울시 "_qs + pick(districts) + u' ' + QString::number(random.bounded(1, 999)) + u"번지"_qs;
    if (i % 20 == 0)
        customer.memo = u"단골 주문 "_qs + QString::number(i);
    return customer;
}

// CPU seconds of this process: the machine may be shared, so wall time alone says little.
double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool fill(CustomerBook &book, qint64 count, const char *label)
{
    QRandomGenerator random(25);
    QElapsedTimer clock;
    clock.start();
    const double cpu = cpuSeconds();
    constexpr qint64 batch = 50000;
    for (qint64 start = 0; start < count; start += batch) {
        QList<Customer> customers;
        for (qint64 i = start; i < std::min(count, start + batch); ++i)
            customers.append(customerOf(i, random));
        QList<PutOutcome> outcomes;
        QString error;
        if (!book.putCustomers(customers, &outcomes, &error)) {
            std::fprintf(stderr, "%s fill: %s\n", label, qPrintable(error));
            return false;
        }
    }
    std::printf("%s: filled %lld customers through putCustomers in %.1f s (this process's CPU %.1f s)\n", label,
                static_cast<long long>(count), clock.elapsed() / 1000.0, cpuSeconds() - cpu);
    return true;
}

void lookups(CustomerBook &book, qint64 count, const char *label)
{
    QRandomGenerator random(7);
    std::vector<double> micros;
    int known = 0;
    const double cpu = cpuSeconds();
    for (int i = 0; i < 20000; ++i) {
        // Half known customers, half numbers the book does not have.
        const QString number = i % 2 ? numberOf(random.bounded(count)) : QStringLiteral("0599") + QString::number(i);
        std::optional<Caller> caller;
        QString error;
        const auto start = Clock::now();
        book.caller(number, &caller, &error);
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        known += caller ? 1 : 0;
    }
    std::printf("%s: caller lookup (20,000, %d known): p50 %.0f us  p99 %.0f us  max %.0f us; this process's CPU"
                " %.0f us a lookup\n",
                label, known, percentile(micros, 0.5), percentile(micros, 0.99), percentile(micros, 1.0),
                (cpuSeconds() - cpu) * 1e6 / 20000);
}

void searches(CustomerBook &book, const char *label)
{
    QRandomGenerator random(11);
    for (const char *kind : {"four digits", "two syllables"}) {
        std::vector<double> millis;
        qint64 found = 0;
        for (int i = 0; i < 200; ++i) {
            const QString q = kind[0] == 'f'
                ? QString::number(random.bounded(10000)).rightJustified(4, u'0')
                : QString::fromUtf16(given[random.bounded(int(std::size(given)))])
                    + QString::fromUtf16(given[random.bounded(int(std::size(given)))]);
            CustomerPage page;
            QString error;
            const auto start = Clock::now();
            if (!book.findCustomers({q, 0, 50}, &page, &error))
                std::fprintf(stderr, "search %s: %s\n", qPrintable(q), qPrintable(error));
            millis.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            found += page.customers.size();
        }
        std::printf("%s: search, %-13s p50 %6.2f ms  p95 %6.2f ms  max %6.2f ms (200 queries, page of 50, %.1f rows"
                    " on average)\n",
                    label, kind, percentile(millis, 0.5), percentile(millis, 0.95), percentile(millis, 1.0),
                    found / 200.0);
    }
}

// tavrod on the pty with a database of its own.
class Tavrod : public TavrodChild
{
public:
    Tavrod(const QString &folder, const QString &db, const QString &device)
        : TavrodChild(QStringLiteral(TAVROD_PATH), folder, {"--map", "COM1=" + device, "--db", db}, 30000)
    {
    }
};

QByteArray callReport(const QString &number)
{
    return "Report\r\nD\r\nTime:12071330\r\nNumber:" + number.toLatin1() + "\r\nName:bench\r\nGroup:1\r\nType:S\r\nEnd\r\n";
}

// End line written -> the ReceiveCall at a WebSocket client, 200 calls of known numbers.
void latency(const QString &folder, const QString &db, qint64 known, const char *label)
{
    PtyPair pty;
    Tavrod tavrod(folder, db, pty.slavePath());
    QWebSocket client;
    QString last;
    Clock::time_point lastAt;
    QObject::connect(&client, &QWebSocket::textMessageReceived, [&](const QString &text) {
        if (text.contains(u"\"ReceiveCall\"")) {
            last = text;
            lastAt = Clock::now();
        }
    });
    QNetworkRequest request(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/stream").arg(tavrod.port)));
    request.setRawHeader("Authorization", "Bearer " + tavrod.token);
    client.open(request);
    waitUntil([&] { return client.state() == QAbstractSocket::ConnectedState; }, 10000);
    QElapsedTimer settle;
    settle.start();
    waitUntil([&] { return settle.elapsed() > 1000; }, 2000); // the port is open
    QRandomGenerator random(3);
    std::vector<double> millis;
    int named = 0;
    for (int i = 0; i < 200; ++i) {
        const QString number = known > 0 ? numberOf(random.bounded(known)) : numberOf(i);
        const auto written = Clock::now();
        pty.write(callReport(number));
        if (!waitUntil([&] { return last.contains(number) && lastAt >= written; }, 10000)) {
            std::printf("%s: call %s did not arrive\n", label, qPrintable(number));
            break;
        }
        millis.push_back(std::chrono::duration<double, std::milli>(lastAt - written).count());
        named += last.contains(u"\"customer\":{") ? 1 : 0;
        QElapsedTimer gap;
        gap.start();
        waitUntil([&] { return gap.elapsed() >= 20; }, 100);
    }
    std::printf("%s: End line -> WebSocket client p50 %.2f ms  p99 %.2f ms  max %.2f ms (%zu calls, %d with their "
                "customer)\n",
                label, percentile(millis, 0.5), percentile(millis, 0.99), percentile(millis, 1.0), millis.size(), named);
}

void importAndExport(const QString &folder, const QString &db, qint64 count)
{
    PtyPair pty;
    {
        // 100,000 rows into a fresh book.
        Tavrod fresh(folder, folder + "/import.db", pty.slavePath());
        QRandomGenerator random(5);
        QByteArray csv = "이름,전화번호,주소,메모\r\n";
        for (qint64 i = 0; i < 100000; ++i) {
            const Customer c = customerOf(i, random);
            csv += c.name.toUtf8() + ',' + c.number.toLatin1() + ',' + c.address.toUtf8() + ',' + c.memo.toUtf8() + "\r\n";
        }
        qint64 bytes = 0, rows = 0;
        QElapsedTimer clock;
        clock.start();
        const double cpu = statsOf(fresh.pid()).cpuSeconds;
        const QByteArray head = httpExchange(
            fresh.port,
            "POST /api/customers/import HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nContent-Type: text/csv\r\n"
            "Authorization: Bearer " + fresh.token + "\r\nContent-Length: " + QByteArray::number(csv.size()) + "\r\n\r\n" + csv,
            &bytes, &rows);
        std::printf("import: 100,000 rows (%.1f MB CSV) in %.2f s, tavrod CPU %.2f s: %s\n", csv.size() / 1e6,
                    clock.elapsed() / 1000.0, statsOf(fresh.pid()).cpuSeconds - cpu,
                    head.mid(head.indexOf("\r\n\r\n") + 4).left(80).constData());
    }
    Tavrod tavrod(folder, db, pty.slavePath());
    const double before = statsOf(tavrod.pid()).peakRssMiB;
    qint64 bytes = 0, lines = 0;
    QElapsedTimer clock;
    clock.start();
    const double cpu = statsOf(tavrod.pid()).cpuSeconds;
    httpExchange(tavrod.port,
                 "GET /api/customers/export HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nAuthorization: Bearer "
                     + tavrod.token + "\r\n\r\n",
                 &bytes, &lines);
    // Every CSV line ends in CR LF, as does every chunk's size and data.
    std::printf("export: %lld customers, %.1f MB received in %.2f s (tavrod CPU %.2f s); tavrod peak RSS %.1f MiB"
                " before, %.1f MiB after\n",
                static_cast<long long>(count), bytes / 1e6, clock.elapsed() / 1000.0, statsOf(tavrod.pid()).cpuSeconds - cpu,
                before, statsOf(tavrod.pid()).peakRssMiB);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const qint64 count = argc > 1 ? std::max(1000LL, atoll(argv[1])) : 1000000;
    const int postgres = argc > 2 ? atoi(argv[2]) : 1;
    QTemporaryDir dir;
    const QString db = dir.filePath("book.db");
    if (postgres != 2) {
        SqliteStore store(db);
        QString error;
        if (!store.open(&error) || !fill(store, count, "sqlite")) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        lookups(store, count, "sqlite");
        searches(store, "sqlite");
    }
    if (postgres != 2) {
        latency(dir.path(), dir.filePath("empty.db"), 0, "without the book");
        latency(dir.path(), db, count, QStringLiteral("with %1 customers").arg(count).toLatin1().constData());
        importAndExport(dir.path(), db, count);
    }

    if (postgres) {
        PgServer server;
        QString error;
        if (!server.start(&error)) {
            std::fprintf(stderr, "postgres: %s\n", qPrintable(error));
            return 0;
        }
        const QString url = server.createDatabase(QStringLiteral("book"), &error);
        PgTarget target;
        parsePostgresUrl(url, &target, &error);
        PgStore store(target);
        if (url.isEmpty() || !store.open(&error) || !fill(store, count, "postgres")) {
            std::fprintf(stderr, "postgres: %s\n", qPrintable(error));
            return 1;
        }
        server.psql(QStringLiteral("ANALYZE"), nullptr, QStringLiteral("book"));
        lookups(store, count, "postgres");
        searches(store, "postgres");
    }
    return 0;
}
