// The dashboard's server side: sessions, the login, the cookie as a second
// key to the API and the stream, the page's files and the headers on every
// answer. tavrod runs in this process on 127.0.0.1 with no ports mapped.
#include "access.h"
#include "login_book.h"
#include "pty_pair.h"
#include "service.h"
#include "token_command.h"
#include "web_routes.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using namespace tavrod;

namespace {

struct Reply
{
    int status = 0;
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray body;

    QByteArray header(const QByteArray &name) const
    {
        for (const auto &h : headers) {
            if (h.first == name)
                return h.second;
        }
        return {};
    }
};

// One request on its own connection, read until the server closes or the
// body is complete.
Reply exchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    Reply reply;
    if (!socket.waitForConnected(5000))
        return reply;
    socket.write(request);
    QByteArray data;
    QElapsedTimer clock;
    clock.start();
    qsizetype headerEnd = -1;
    qsizetype length = -1;
    while (clock.elapsed() < 5000) {
        if (headerEnd < 0 && (headerEnd = data.indexOf("\r\n\r\n")) >= 0) {
            const QList<QByteArray> lines = data.left(headerEnd).split('\n');
            reply.status = lines.first().split(' ').value(1).toInt();
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                reply.headers.append({lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed()});
            }
            length = reply.header("content-length").isEmpty() ? -1 : reply.header("content-length").toLongLong();
        }
        if (headerEnd >= 0 && (length < 0 || data.size() >= headerEnd + 4 + length))
            break;
        // Let the service's loop answer, then read what it wrote.
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (socket.bytesAvailable() || socket.waitForReadyRead(5))
            data += socket.readAll();
        if (socket.state() == QAbstractSocket::UnconnectedState && !socket.bytesAvailable() && headerEnd >= 0)
            break;
    }
    if (headerEnd >= 0)
        reply.body = data.mid(headerEnd + 4);
    return reply;
}

QByteArray request(const QByteArray &method, const QByteArray &target, quint16 port,
                   const QList<QByteArray> &headers = {}, const QByteArray &body = {})
{
    QByteArray out = method + ' ' + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n";
    if (!headers.contains("Connection: Upgrade"))
        out += "Connection: close\r\n";
    for (const QByteArray &h : headers)
        out += h + "\r\n";
    if (!body.isEmpty() || method == "POST")
        out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    return out + "\r\n" + body;
}

QByteArray cookieOf(const Reply &reply)
{
    const QByteArray set = reply.header("set-cookie");
    return set.left(set.indexOf(';'));
}

// `tavrod token ...` in this process: exit status, and what went to stdout.
int tokenCommand(const QStringList &arguments, QByteArray *out = nullptr)
{
    std::FILE *stdoutFile = std::tmpfile();
    std::FILE *stderrFile = std::tmpfile();
    const int status = runTokenCommand(arguments, stdoutFile, stderrFile);
    std::rewind(stdoutFile);
    QByteArray text;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, stdoutFile)) > 0;)
        text.append(buffer, qsizetype(n));
    std::fclose(stdoutFile);
    std::fclose(stderrFile);
    if (out)
        *out = text;
    return status;
}

} // namespace

class tst_web_routes : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        QVERIFY(m_dir.isValid());
        Options &options = m_options;
        options.listenPort = 0;
        options.dbPath = m_dir.filePath(QStringLiteral("events.sqlite"));
        options.tokenFile = m_dir.filePath(QStringLiteral("token"));
        options.site = QStringLiteral("web-test");
        m_service = std::make_unique<Service>(options);
        QString error;
        QVERIFY2(m_service->start(&error), qPrintable(error));
        QFile tokenFile(options.tokenFile);
        QVERIFY(tokenFile.open(QIODevice::ReadOnly));
        m_token = tokenFile.readLine().trimmed();
    }

    void cleanup() { m_service.reset(); }

    void sessionsAreBoundedAndExpire()
    {
        qint64 now = 0;
        SessionStore store(3, 1000, [&now] { return now; });
        const QByteArray first = store.create();
        now = 10;
        const QByteArray second = store.create();
        QVERIFY(first != second);
        QVERIFY(first.size() >= 40); // 256 random bits, base64url
        now = 20;
        QVERIFY(store.touch(first)); // now first was used last, second idles longest
        store.create();
        now = 30;
        const QByteArray fourth = store.create();
        QCOMPARE(store.count(), 3);
        QVERIFY(!store.touch(second));
        QVERIFY(store.touch(first));
        QVERIFY(store.touch(fourth));

        now = 30 + 999;
        QVERIFY(store.touch(fourth)); // used just in time: idle time starts again
        now = 30 + 999 + 1000;
        QVERIFY(!store.touch(fourth));
        QVERIFY(!store.touch(first));
        QVERIFY(!store.touch(QByteArray()));
        store.remove(first);
        QVERIFY(store.count() <= 1);
    }

    void loginTradesTheTokenForASessionCookie()
    {
        const quint16 port = m_service->port();
        const QByteArray json = "Content-Type: application/json";

        Reply reply = exchange(port, request("POST", "/login", port, {json}, R"({"token":"wrong"})"));
        QCOMPARE(reply.status, 401);
        QVERIFY(reply.header("set-cookie").isEmpty());
        reply = exchange(port, request("POST", "/login", port, {json}, "not json"));
        QCOMPARE(reply.status, 401);

        reply = exchange(port, request("POST", "/login", port, {json}, R"({"token":")" + m_token + R"("})"));
        QCOMPARE(reply.status, 200);
        const QByteArray setCookie = reply.header("set-cookie");
        for (const char *attribute : {"HttpOnly", "SameSite=Strict", "Path=/", "Max-Age="})
            QVERIFY2(setCookie.contains(attribute), setCookie.constData());
        const QByteArray cookie = "Cookie: theme=dark; " + cookieOf(reply) + "; other=1";

        // A form's body works too; each login is a session of its own.
        reply = exchange(port, request("POST", "/login", port, {"Content-Type: application/x-www-form-urlencoded"},
                                       "token=" + QUrl::toPercentEncoding(QString::fromLatin1(m_token))));
        QCOMPARE(reply.status, 200);
        QVERIFY(cookieOf(reply) != cookie.mid(8));

        QCOMPARE(exchange(port, request("GET", "/api/ports", port)).status, 401);
        QCOMPARE(exchange(port, request("GET", "/api/ports", port, {cookie})).status, 200);
        QCOMPARE(exchange(port, request("GET", "/api/ports", port, {"Cookie: tavro_session=forged"})).status, 401);
        QCOMPARE(exchange(port, request("GET", "/session", port, {cookie})).body,
                 QByteArray(R"({"name":"admin","scope":"admin","session":true})"));
        QCOMPARE(exchange(port, request("GET", "/session", port)).body, QByteArray(R"({"session":false})"));

        // An explicit bearer token decides on its own, right or wrong.
        QCOMPARE(exchange(port, request("GET", "/api/ports", port, {"Authorization: Bearer nope", cookie})).status, 401);
        QCOMPARE(exchange(port, request("GET", "/api/ports", port, {"Authorization: Bearer " + m_token})).status, 200);

        reply = exchange(port, request("POST", "/logout", port, {cookie}));
        QCOMPARE(reply.status, 200);
        QVERIFY(reply.header("set-cookie").contains("Max-Age=0"));
        QCOMPARE(exchange(port, request("GET", "/api/ports", port, {cookie})).status, 401);
    }

    void anotherSiteCannotUseTheCookie()
    {
        const quint16 port = m_service->port();
        const QByteArray self = "Origin: http://127.0.0.1:" + QByteArray::number(port);
        const QByteArray foreign = "Origin: http://evil.example";
        const QByteArray call = R"({"call":"GetCurrentErrorMsg"})";
        Reply reply = exchange(port, request("POST", "/login", port, {"Content-Type: application/json", foreign},
                                             R"({"token":")" + m_token + R"("})"));
        QCOMPARE(reply.status, 403);
        reply = exchange(port, request("POST", "/login", port, {"Content-Type: application/json", self},
                                       R"({"token":")" + m_token + R"("})"));
        QCOMPARE(reply.status, 200);
        const QByteArray cookie = "Cookie: " + cookieOf(reply);

        QCOMPARE(exchange(port, request("POST", "/api/call", port, {cookie, foreign}, call)).status, 401);
        QCOMPARE(exchange(port, request("POST", "/api/call", port, {cookie, self}, call)).status, 200);
        QCOMPARE(exchange(port, request("POST", "/api/call", port, {cookie}, call)).status, 200);

        // The stream: the browser sends the cookie and its Origin with the upgrade.
        const QList<QByteArray> upgrade = {"Upgrade: websocket", "Connection: Upgrade", "Sec-WebSocket-Version: 13",
                                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="};
        QCOMPARE(exchange(port, request("GET", "/api/stream", port, upgrade + QList<QByteArray>{cookie, self})).status,
                 101);
        QCOMPARE(exchange(port, request("GET", "/api/stream", port, upgrade + QList<QByteArray>{cookie, foreign}))
                     .status,
                 403);
        QCOMPARE(exchange(port, request("GET", "/api/stream", port, upgrade + QList<QByteArray>{self})).status, 401);
    }

    void servesThePageWithItsPolicyOnEveryAnswer()
    {
        const quint16 port = m_service->port();
        const struct {
            QByteArray path;
            int status;
            QByteArray type;
        } cases[] = {{"/", 200, "text/html; charset=utf-8"},
                     {"/app.js", 200, "text/javascript; charset=utf-8"},
                     {"/style.css", 200, "text/css; charset=utf-8"},
                     {"/icon.svg", 200, "image/svg+xml"},
                     {"/no-such-file.js", 404, "application/json"},
                     {"/api/ports", 401, "application/json"}};
        for (const auto &c : cases) {
            const Reply reply = exchange(port, request("GET", c.path, port));
            QCOMPARE(reply.status, c.status);
            QCOMPARE(reply.header("content-type"), c.type);
            const QByteArray policy = reply.header("content-security-policy");
            QVERIFY2(policy.contains("script-src 'self'") && policy.contains("default-src 'none'")
                         && !policy.contains("unsafe-inline") && !policy.contains("unsafe-eval"),
                     c.path.constData());
            QCOMPARE(reply.header("x-content-type-options"), QByteArray("nosniff"));
        }
        QCOMPARE(exchange(port, request("POST", "/", port)).status, 405);

        // Every module the page imports is served.
        const QByteArray page = exchange(port, request("GET", "/", port)).body;
        QVERIFY(page.contains(R"(<script type="module" src="/app.js">)"));
        QDirIterator files(QStringLiteral(":/web"));
        while (files.hasNext()) {
            QFile file(files.next());
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QString text = QString::fromUtf8(file.readAll());
            static const QRegularExpression import(QStringLiteral(R"(from '\./([\w.]+)')"));
            for (auto match = import.globalMatch(text); match.hasNext();) {
                const QByteArray target = "/" + match.next().captured(1).toUtf8();
                QCOMPARE(exchange(port, request("GET", target, port)).status, 200);
            }
        }
    }

    void aPortClosedFromThePageStaysClosedUntilOpened()
    {
        // The port keeper reopens a port whose device came back; a port the
        // operator closed on purpose is not such a port.
        PtyPair pty;
        QVERIFY(pty.isValid());
        Options options;
        options.listenPort = 0;
        options.dbPath = m_dir.filePath(QStringLiteral("ports.sqlite"));
        options.tokenFile = m_dir.filePath(QStringLiteral("token"));
        options.portMap.insert(QStringLiteral("COM1"), pty.slavePath());
        options.openPorts = {QStringLiteral("COM1")};
        Service service(options);
        QString error;
        QVERIFY2(service.start(&error), qPrintable(error));
        const quint16 port = service.port();
        const QByteArray bearer = "Authorization: Bearer " + m_token;
        auto post = [&](const QByteArray &call) {
            return QJsonDocument::fromJson(exchange(port, request("POST", "/api/call", port, {bearer},
                                                                  R"({"call":")" + call + R"(","portName":"COM1"})"))
                                               .body)
                .object();
        };
        auto portOpen = [&] {
            const QByteArray body = exchange(port, request("GET", "/api/ports", port, {bearer})).body;
            return QJsonDocument::fromJson(body).object().value(u"ports").toArray().at(0).toObject().value(u"open");
        };
        auto portEvents = [&] {
            const QByteArray body = exchange(port, request("GET", "/api/events?after=0", port, {bearer})).body;
            QStringList states;
            for (const QJsonValue &event : QJsonDocument::fromJson(body).object().value(u"events").toArray()) {
                if (event[u"event"].toString() == u"PortState")
                    states << QStringLiteral("%1 %2").arg(event[u"open"].toBool() ? u"open" : u"closed",
                                                          event[u"reason"].toString());
            }
            return states;
        };
        QTRY_COMPARE(portOpen(), QJsonValue(true));

        QCOMPARE(post("CloseTavro").value(u"result"), QJsonValue("CloseTavro"));
        QCOMPARE(portOpen(), QJsonValue(false)); // at once, not at the next check
        const QStringList afterClose = portEvents();
        QCOMPARE(afterClose.value(afterClose.size() - 1), QStringLiteral("closed closed"));
        QTest::qWait(2500); // two checks of the keeper
        QCOMPARE(portOpen(), QJsonValue(false));
        QCOMPARE(portEvents(), afterClose); // nothing opened it again

        QCOMPARE(post("OpenTavro").value(u"value"), QJsonValue(0));
        QCOMPARE(portOpen(), QJsonValue(true));
        QCOMPARE(portEvents().constLast(), QStringLiteral("open opened"));
    }

    void thePageNeverParsesLineDataAsHtml()
    {
        // The policy forbids inline script, so the page has none; the modules
        // build every element from text.
        QDirIterator files(QStringLiteral(":/web"));
        int checked = 0;
        while (files.hasNext()) {
            const QString name = files.next();
            QFile file(name);
            QVERIFY(file.open(QIODevice::ReadOnly));
            const QString text = QString::fromUtf8(file.readAll());
            if (name.endsWith(u".html")) {
                static const QRegularExpression inlineScript(QStringLiteral(R"(<script(?![^>]*\bsrc=)[^>]*>)"));
                static const QRegularExpression handler(QStringLiteral(R"(\son[a-z]+\s*=)"));
                QVERIFY2(!inlineScript.match(text).hasMatch(), qPrintable(name));
                QVERIFY2(!handler.match(text).hasMatch(), qPrintable(name));
                QVERIFY2(!text.contains(u"style="), qPrintable(name));
            }
            if (name.endsWith(u".js")) {
                ++checked;
                static const QRegularExpression html(
                    QStringLiteral(R"(innerHTML|outerHTML|insertAdjacentHTML|document\.write|\beval\(|new Function)"));
                QVERIFY2(!html.match(text).hasMatch(), qPrintable(name));
            }
        }
        QVERIFY(checked >= 5);
    }

    void everyEndOfASessionIsTold()
    {
        qint64 now = 0;
        SessionStore store(2, 1000, [&now] { return now; });
        QList<QByteArray> ended;
        store.setEndedCallback([&ended](const QByteArray &id) { ended.append(id); });
        const QByteArray remembered = store.create({"kiosk", Scope::View, true}, true);
        const QByteArray first = store.create();
        const QByteArray second = store.create();
        store.remove(first); // logout
        QCOMPARE(ended, QList<QByteArray>{first});
        now = 10;
        const QByteArray third = store.create();
        store.create(); // the third login past the bound evicts the idlest ordinary one
        QCOMPARE(ended, (QList<QByteArray>{first, second}));
        QCOMPARE(store.touch(remembered)->who.name, QStringLiteral("kiosk"));
        now = 10 + 1000;
        QVERIFY(!store.touch(third)); // idle expiry, noticed on use
        QCOMPARE(ended.last(), third);
        store.create(); // ... or by the next login
        QCOMPARE(ended.size(), 4);
        QVERIFY(store.touch(remembered)); // thirty days, not one second
    }

    void wrongTokensWaitLongerAndLongerButTheRightOneNever()
    {
        qint64 now = 0;
        FailureLimiter limiter([&now] { return now; });
        const QHostAddress guesser(QStringLiteral("10.0.0.9"));
        QList<int> delays;
        for (int i = 0; i < FailureLimiter::failuresBeforeRefusal; ++i) {
            const FailureLimiter::Verdict verdict = limiter.fail(guesser);
            QVERIFY(!verdict.refuse);
            delays.append(verdict.delayMs);
        }
        QCOMPARE(delays, (QList<int>{100, 200, 400, 800, 1600, 3000, 3000, 3000, 3000, 3000}));
        FailureLimiter::Verdict verdict = limiter.fail(QHostAddress(QStringLiteral("::ffff:10.0.0.9")));
        QVERIFY(verdict.refuse && verdict.episodeStart);
        QCOMPARE(verdict.retryAfterS, 60);
        QVERIFY(!limiter.fail(guesser).episodeStart); // logged once an episode
        QCOMPARE(limiter.fail(QHostAddress(QStringLiteral("10.0.0.8"))).delayMs, 100);
        now += FailureLimiter::forgetMs;
        QCOMPARE(limiter.fail(guesser).delayMs, 100);
        // One IPv6 /64 is one peer; the table stays bounded whatever the addresses.
        limiter.fail(QHostAddress(QStringLiteral("2001:db8::1")));
        QCOMPARE(limiter.fail(QHostAddress(QStringLiteral("2001:db8::2"))).delayMs, 200);
        for (quint32 i = 0; i < 5000; ++i)
            limiter.fail(QHostAddress(0x0b000000 + i));
        QCOMPARE(limiter.peerCount(), FailureLimiter::maxPeers);

        // The service: wrong tokens on /login, /session and the API are answered late.
        const quint16 port = m_service->port();
        const QByteArray json = "Content-Type: application/json";
        QCOMPARE(exchange(port, request("POST", "/login", port, {json}, R"({"token":"guess1"})")).status, 401);
        QCOMPARE(exchange(port, request("GET", "/api/ports", port, {"Authorization: Bearer guess2"})).status, 401);
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(exchange(port, request("GET", "/session", port, {"Authorization: Bearer guess3"})).status, 401);
        QVERIFY(clock.elapsed() >= 400);
        // A fourth guess waits 800 ms; the right token, sent after it from the
        // same address, is answered meanwhile.
        QTcpSocket guess, right;
        guess.connectToHost(QHostAddress::LocalHost, port);
        right.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(guess.waitForConnected(5000) && right.waitForConnected(5000));
        guess.write(request("GET", "/api/ports", port, {"Authorization: Bearer guess4"}));
        QTest::qWait(50);
        right.write(request("GET", "/api/ports", port, {"Authorization: Bearer " + m_token}));
        QTRY_VERIFY_WITH_TIMEOUT(right.bytesAvailable() > 0, 5000);
        QCOMPARE(right.readAll().left(12), QByteArray("HTTP/1.1 200"));
        QCOMPARE(guess.bytesAvailable(), 0);
        QTRY_VERIFY_WITH_TIMEOUT(guess.bytesAvailable() > 0, 5000);
        QCOMPARE(guess.readAll().left(12), QByteArray("HTTP/1.1 401"));
        QVERIFY(exchange(port, request("GET", "/metrics", port)).body.contains(
            R"(tavrod_auth_failures_total{result="delayed"} 4)"));
    }

    void tokensFromTheStoreCarryTheirScope()
    {
        const quint16 port = m_service->port();
        const QStringList db{"--db", m_options.dbPath};
        QByteArray viewToken, adminToken, listing;
        QCOMPARE(tokenCommand(QStringList{"add", "kiosk"} + db, &viewToken), 0);
        QCOMPARE(tokenCommand(QStringList{"add", "boss", "--scope", "admin"} + db, &adminToken), 0);
        viewToken = viewToken.trimmed();
        adminToken = adminToken.trimmed();
        QVERIFY(viewToken.size() >= 40 && viewToken != adminToken);
        QCOMPARE(tokenCommand(QStringList{"add", "kiosk"} + db), 1);
        QCOMPARE(tokenCommand(QStringList{"add", "admin"} + db), 2);
        QCOMPARE(tokenCommand(QStringList{"add", "x", "--scope", "root"} + db), 2);

        const QByteArray view = "Authorization: Bearer " + viewToken;
        const QByteArray admin = "Authorization: Bearer " + adminToken;
        const QByteArray call = R"({"call":"GetCurrentErrorMsg"})";
        // The running service knows them within two seconds.
        QTRY_COMPARE_WITH_TIMEOUT(exchange(port, request("GET", "/api/calls", port, {view})).status, 200, 2000);
        QCOMPARE(exchange(port, request("GET", "/api/ports", port, {view})).status, 200);
        const Reply refused = exchange(port, request("POST", "/api/call", port, {view}, call));
        QCOMPARE(refused.status, 403);
        QVERIFY(refused.body.contains("admin"));
        QCOMPARE(exchange(port, request("POST", "/api/call", port, {admin}, call)).status, 200);
        // A search text with NUL is refused as such, not as a broken store.
        QCOMPARE(exchange(port, request("GET", "/api/calls?q=ab%00c", port, {view})).status, 400);

        // A session carries the token's name and scope.
        const Reply login = exchange(port, request("POST", "/login", port, {"Content-Type: application/json"},
                                                   R"({"token":")" + viewToken + R"("})"));
        QCOMPARE(login.status, 200);
        const QByteArray cookie = "Cookie: " + cookieOf(login);
        QCOMPARE(exchange(port, request("GET", "/session", port, {cookie})).body,
                 QByteArray(R"({"name":"kiosk","scope":"view","session":true})"));
        QCOMPARE(exchange(port, request("POST", "/api/call", port, {cookie}, call)).status, 403);

        QTRY_VERIFY_WITH_TIMEOUT((tokenCommand(QStringList{"list"} + db, &listing), !listing.contains("never")), 3000);
        QVERIFY(listing.contains("kiosk") && listing.contains("boss") && listing.contains("admin"));
        QVERIFY(!listing.contains(viewToken)); // only hashes are kept

        QCOMPARE(tokenCommand(QStringList{"revoke", "kiosk"} + db), 0);
        QTRY_COMPARE_WITH_TIMEOUT(exchange(port, request("GET", "/api/calls", port, {view})).status, 401, 2000);
        QCOMPARE(exchange(port, request("GET", "/api/calls", port, {cookie})).status, 401);
        QCOMPARE(exchange(port, request("GET", "/api/calls", port, {admin})).status, 200);
        QCOMPARE(tokenCommand(QStringList{"revoke", "kiosk"} + db), 1);
    }

    void aRememberedSessionOutlivesARestart()
    {
        const QByteArray json = "Content-Type: application/json";
        const auto loginCookie = [&](const QByteArray &body) {
            const quint16 port = m_service->port();
            const Reply reply = exchange(port, request("POST", "/login", port, {json}, body));
            return "Cookie: " + cookieOf(reply);
        };
        const auto status = [&](const QByteArray &cookie) {
            const quint16 port = m_service->port();
            return exchange(port, request("GET", "/api/ports", port, {cookie})).status;
        };
        const auto restart = [&] {
            m_service.reset();
            m_service = std::make_unique<Service>(m_options);
            QString error;
            return m_service->start(&error);
        };
        const QByteArray remembered = loginCookie(R"({"token":")" + m_token + R"(","remember":true})");
        const QByteArray ordinary = loginCookie(R"({"token":")" + m_token + R"("})");
        const QByteArray revoked = loginCookie(R"({"token":")" + m_token + R"(","remember":true})");
        QVERIFY(restart());
        QCOMPARE(status(remembered), 200);
        QCOMPARE(status(ordinary), 401);
        QCOMPARE(status(revoked), 200);

        // Ended with `tavrod token revoke --session`, by the ID the listing shows.
        LoginBook book(m_options.dbPath);
        QString error;
        QVERIFY2(book.open(&error), qPrintable(error));
        const QByteArray revokedHash = secretHash(revoked.mid(revoked.indexOf('=') + 1));
        QCOMPARE(tokenCommand({"revoke", "--session", QString::fromLatin1(revokedHash.left(12)), "--db",
                               m_options.dbPath}),
                 0);
        QTRY_COMPARE_WITH_TIMEOUT(status(revoked), 401, 2000);
        QCOMPARE(status(remembered), 200);

        // Ended from the page: gone from the store, so a restart does not bring it back.
        const quint16 port = m_service->port();
        QCOMPARE(exchange(port, request("POST", "/logout", port, {remembered})).status, 200);
        QList<LoginRow> rows;
        QVERIFY(book.list(&rows, &error));
        QVERIFY(std::none_of(rows.cbegin(), rows.cend(), [](const LoginRow &row) { return row.session; }));
        QVERIFY(restart());
        QCOMPARE(status(remembered), 401);
    }

private:
    Options m_options;
    QTemporaryDir m_dir;
    std::unique_ptr<Service> m_service;
    QByteArray m_token;
};

QTEST_GUILESS_MAIN(tst_web_routes)
#include "tst_web_routes.moc"
