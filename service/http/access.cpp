#include "access.h"

#include "http_server.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavrod {

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

bool Access::authorized(const HttpRequest &request) const
{
    const QByteArray value = request.header("authorization");
    static const QByteArray scheme = "bearer ";
    if (value.size() > scheme.size() && value.left(scheme.size()).toLower() == scheme)
        return constantTimeEqual(value.mid(scheme.size()).trimmed(), m_token);
    return m_sessionCheck && m_sessionCheck(request);
}

bool Access::tokenMatches(const QByteArray &candidate) const
{
    return constantTimeEqual(candidate, m_token);
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
