#include "access.h"

#include "logging.h"
#include "http_server.h"
#include "login_book.h"
#include "metrics.h"

#include <QDir>
#include <QFile>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTimer>
#include <QRandomGenerator>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrod {

qint64 monotonicMs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer timer;
        timer.start();
        return timer;
    }();
    return clock.elapsed();
}

namespace {

bool constantTimeEqual(const QByteArray &a, const QByteArray &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (qsizetype i = 0; i < a.size(); ++i)
        diff |= uchar(a[i]) ^ uchar(b[i]);
    return diff == 0;
}

bool createToken(const QString &path, QByteArray *token, QString *error)
{
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder)) {
            *error = QStringLiteral("cannot create the folder %1").arg(folder);
            return false;
        }
        ::chmod(QFile::encodeName(folder).constData(), 0700);
    }
    quint32 words[8];
    QRandomGenerator::system()->fillRange(words);
    const QByteArray fresh = QByteArray(reinterpret_cast<const char *>(words), sizeof words)
                                 .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    // O_EXCL: never overwrite a token someone else just wrote.
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = QStringLiteral("cannot create the token file %1: %2")
                     .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    const QByteArray line = fresh + '\n';
    const bool written = ::write(fd, line.constData(), size_t(line.size())) == line.size();
    ::close(fd);
    if (!written) {
        *error = QStringLiteral("cannot write the token file %1").arg(path);
        return false;
    }
    *token = fresh;
    return true;
}

} // namespace

bool loadOrCreateToken(const QString &path, QByteArray *token, bool *created, QString *error)
{
    *created = false;
    QFile file(path);
    if (!file.exists()) {
        if (!createToken(path, token, error))
            return false;
        *created = true;
        return true;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read the token file %1: %2").arg(path, file.errorString());
        return false;
    }
    *token = file.readLine(4096).trimmed();
    if (token->isEmpty()) {
        *error = QStringLiteral("the token file %1 has an empty first line").arg(path);
        return false;
    }
    return true;
}

QString scopeName(Scope scope)
{
    switch (scope) {
    case Scope::View:
        return QStringLiteral("view");
    case Scope::Admin:
        return QStringLiteral("admin");
    case Scope::None:
        break;
    }
    return QString();
}

Scope scopeFromName(const QString &name)
{
    return name == u"view" ? Scope::View : name == u"admin" ? Scope::Admin : Scope::None;
}

// ---------------------------------------------------------------------------

FailureLimiter::FailureLimiter(Clock clock)
    : m_clock(clock ? std::move(clock) : Clock(&monotonicMs))
{
}

QByteArray FailureLimiter::keyOf(const QHostAddress &peer)
{
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    if (isV4)
        return QByteArray::number(v4);
    // One IPv6 host may own a whole /64: it counts as one peer.
    const Q_IPV6ADDR v6 = peer.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(v6.c), 8);
}

void FailureLimiter::makeRoom(qint64 now)
{
    m_peers.removeIf([now](const auto &entry) { return now - entry.value().last >= forgetMs; });
    while (m_peers.size() >= maxPeers) {
        auto oldest = m_peers.begin();
        for (auto it = m_peers.begin(); it != m_peers.end(); ++it) {
            if (it.value().last < oldest.value().last)
                oldest = it;
        }
        m_peers.erase(oldest);
    }
}

FailureLimiter::Verdict FailureLimiter::fail(const QHostAddress &peer)
{
    const qint64 now = m_clock();
    const QByteArray key = keyOf(peer);
    auto it = m_peers.find(key);
    if (it != m_peers.end() && now - it->last >= forgetMs)
        it->failures = 0;
    if (it == m_peers.end()) {
        if (m_peers.size() >= maxPeers)
            makeRoom(now);
        it = m_peers.insert(key, Peer{});
    }
    it->failures = std::min(it->failures + 1, 1 << 20);
    it->last = now;
    Verdict verdict;
    const int doublings = std::min(it->failures - 1, 16);
    verdict.delayMs = int(std::min<qint64>(qint64(firstDelayMs) << doublings, maxDelayMs));
    verdict.refuse = it->failures > failuresBeforeRefusal;
    verdict.episodeStart = it->failures == failuresBeforeRefusal + 1;
    verdict.retryAfterS = int(forgetMs / 1000);
    return verdict;
}

// ---------------------------------------------------------------------------

Access::Access(QByteArray token, Metrics *metrics)
    : m_token(std::move(token))
    , m_metrics(metrics)
{
}

Access::~Access() = default;

bool Access::hasBearer(const HttpRequest &request)
{
    static const QByteArray scheme = "bearer ";
    const QByteArray value = request.header("authorization");
    return value.size() > scheme.size() && value.left(scheme.size()).toLower() == scheme;
}

Principal Access::identify(const HttpRequest &request) const
{
    if (hasBearer(request))
        return principalOfToken(request.header("authorization").mid(7).trimmed());
    return m_sessionCheck ? m_sessionCheck(request) : Principal{};
}

Principal Access::principalOfToken(const QByteArray &candidate) const
{
    if (candidate.isEmpty())
        return {};
    if (constantTimeEqual(candidate, m_token))
        return Principal{QStringLiteral("admin"), Scope::Admin, false};
    // Looked up by its hash: the time taken tells nothing of the secret.
    const QByteArray hash = secretHash(candidate);
    const auto device = m_deviceTokens.constFind(hash);
    if (device == m_deviceTokens.cend())
        return {};
    m_usedTokens.insert(hash);
    return *device;
}

QList<QByteArray> Access::takeUsedTokens()
{
    const QList<QByteArray> used = m_usedTokens.values();
    m_usedTokens.clear();
    return used;
}

void Access::refuseGuess(const HttpRequest &request, HttpResponder responder, const HttpResponse &answer)
{
    FailureLimiter::Verdict verdict;
    const HttpResponse response = refusal(request, answer, &verdict);
    // Answered later without holding the loop; the connection reads nothing
    // more meanwhile, so a guesser's pipeline waits too.
    QTimer::singleShot(verdict.delayMs, &m_delays,
                       [responder, response]() mutable { responder.send(response); });
}

HttpResponse Access::refusalNow(const HttpRequest &request, const HttpResponse &answer)
{
    FailureLimiter::Verdict verdict;
    return refusal(request, answer, &verdict);
}

HttpResponse Access::refusal(const HttpRequest &request, const HttpResponse &answer, FailureLimiter::Verdict *out)
{
    const FailureLimiter::Verdict verdict = *out = m_limiter.fail(request.peer);
    HttpResponse response = answer;
    if (verdict.refuse) {
        response = HttpResponse::error(429, QStringLiteral("too many failed logins; try again later"));
        response.headers.append({"Retry-After", QByteArray::number(verdict.retryAfterS)});
    }
    if (m_metrics)
        m_metrics->countAuthFailure(verdict.refuse);
    if (verdict.episodeStart)
        qCWarning(lcAccess, "peer %s: %d failed logins or wrong tokens; refusing with 429 until it stops for %d s",
                  qPrintable(request.peer.toString()), FailureLimiter::failuresBeforeRefusal + 1,
                  verdict.retryAfterS);
    return response;
}

bool Access::sameOrigin(const HttpRequest &request)
{
    const QByteArray origin = request.header("origin");
    if (origin.isEmpty())
        return true;
    const QUrl url(QString::fromLatin1(origin));
    if (!url.isValid() || (url.scheme() != u"http" && url.scheme() != u"https"))
        return false;
    const int defaultPort = url.scheme() == u"https" ? 443 : 80;
    const QString originAuthority = url.host().toLower() + u':' + QString::number(url.port(defaultPort));
    // The Host header names this service as the browser reached it.
    const QUrl self(QStringLiteral("http://") + QString::fromLatin1(request.header("host")));
    if (!self.isValid() || self.host().isEmpty())
        return false;
    return originAuthority == self.host().toLower() + u':' + QString::number(self.port(80));
}

} // namespace tavrod
