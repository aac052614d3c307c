// Who may use the API: the bearer token (first line of the token file, the
// administrator's), device tokens from the store, the dashboard's sessions
// and, for WebSocket upgrades, an Origin that is the service's own. Wrong
// tokens are limited per peer address.
#ifndef TAVROD_ACCESS_H
#define TAVROD_ACCESS_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QString>

#include <functional>

namespace tavrod {

class HttpResponder;
class Metrics;
struct HttpRequest;
struct HttpResponse;

// view reads calls, customers and the stream; admin also sends commands to
// the terminal and changes settings.
enum class Scope { None, View, Admin };
QString scopeName(Scope scope);
Scope scopeFromName(const QString &name); // None for anything else

// Who a request comes from.
struct Principal
{
    QString name;               // the device token's name, or "admin" for the token file
    Scope scope = Scope::None;
    bool device = false;        // a device token (revocable), not the token file

    bool allows(Scope needed) const { return scope != Scope::None && int(scope) >= int(needed); }
};

// Milliseconds on a clock that never goes back: what the failure limiter and
// the dashboard's sessions time by unless a test gives them another.
qint64 monotonicMs();

// Failed logins and wrong tokens per peer address: each failure is answered
// after a delay that doubles, and past a count with 429 until the peer has
// failed no more for a while. Only failures are counted, so the right token
// is never held back. The table of peers is bounded; the oldest go first.
class FailureLimiter
{
public:
    using Clock = std::function<qint64()>; // milliseconds, monotonic

    static constexpr int maxPeers = 4096;
    static constexpr int firstDelayMs = 100;
    static constexpr int maxDelayMs = 3000;
    static constexpr int failuresBeforeRefusal = 10;
    static constexpr qint64 forgetMs = 60 * 1000;

    struct Verdict
    {
        int delayMs = 0;
        bool refuse = false;    // answer 429
        int retryAfterS = 0;
        bool episodeStart = false; // the first refusal of this peer's episode
    };

    explicit FailureLimiter(Clock clock = {});
    Verdict fail(const QHostAddress &peer);
    int peerCount() const { return int(m_peers.size()); }

private:
    struct Peer
    {
        int failures = 0;
        qint64 last = 0;
    };
    static QByteArray keyOf(const QHostAddress &peer);
    void makeRoom(qint64 now);

    Clock m_clock;
    QHash<QByteArray, Peer> m_peers;
};

// Reads the token file, or creates it (mode 0600, folder 0700) with a fresh
// random token. False with a reason when neither works or the file is empty.
bool loadOrCreateToken(const QString &path, QByteArray *token, bool *created, QString *error);

class Access
{
public:
    using SessionCheck = std::function<Principal(const HttpRequest &)>;

    explicit Access(QByteArray token, Metrics *metrics = nullptr);
    ~Access();

    // "Authorization: Bearer <token>" (the token file's, compared in constant
    // time, or a device token's), else the session check (the dashboard's
    // cookie). A bearer header decides on its own, right or wrong.
    Principal identify(const HttpRequest &request) const;
    bool authorized(const HttpRequest &request) const { return identify(request).scope != Scope::None; }
    // A token itself, as the dashboard's login form sends it.
    Principal principalOfToken(const QByteArray &candidate) const;
    bool tokenMatches(const QByteArray &candidate) const { return principalOfToken(candidate).scope != Scope::None; }
    static bool hasBearer(const HttpRequest &request);
    // Dashboard hook: a second way in besides the bearer token.
    void setSessionCheck(SessionCheck check) { m_sessionCheck = std::move(check); }

    // Device tokens by the hash of their secret (see LoginBook), as the
    // store holds them now.
    void setDeviceTokens(QHash<QByteArray, Principal> byHash) { m_deviceTokens = std::move(byHash); }
    // Hashes of the device tokens used since the last call.
    QList<QByteArray> takeUsedTokens();

    // Answers a failed login or a wrong token: later, and with 429 once the
    // peer has failed too often. Counted in /metrics, logged once an episode.
    void refuseGuess(const HttpRequest &request, HttpResponder responder, const HttpResponse &answer);
    // The same, answered at once (where an answer cannot wait: an upgrade).
    HttpResponse refusalNow(const HttpRequest &request, const HttpResponse &answer);
    FailureLimiter &limiter() { return m_limiter; }

    // A browser always names the page's origin; a page of another site must
    // not reach the stream with the user's credentials. Clients that are not
    // browsers send no Origin.
    static bool sameOrigin(const HttpRequest &request);

private:
    HttpResponse refusal(const HttpRequest &request, const HttpResponse &answer, FailureLimiter::Verdict *verdict);

    QByteArray m_token;
    Metrics *m_metrics;
    SessionCheck m_sessionCheck;
    QHash<QByteArray, Principal> m_deviceTokens;
    mutable QSet<QByteArray> m_usedTokens;
    FailureLimiter m_limiter;
    QObject m_delays; // pending late answers end with the service
};

} // namespace tavrod

#endif
