// Who may use the API: the bearer token (first line of the token file) and,
// for WebSocket upgrades, an Origin that is the service's own.
#ifndef TAVROD_ACCESS_H
#define TAVROD_ACCESS_H

#include <QByteArray>
#include <QString>

#include <functional>

namespace tavrod {

struct HttpRequest;

// Reads the token file, or creates it (mode 0600, folder 0700) with a fresh
// random token. False with a reason when neither works or the file is empty.
bool loadOrCreateToken(const QString &path, QByteArray *token, bool *created, QString *error);

class Access
{
public:
    explicit Access(QByteArray token) : m_token(std::move(token)) {}

    // "Authorization: Bearer <token>", compared in constant time, or a
    // request the session check accepts (the dashboard's cookie).
    bool authorized(const HttpRequest &request) const;
    // The token itself, as the dashboard's login form sends it.
    bool tokenMatches(const QByteArray &candidate) const;
    // Dashboard hook: a second way in besides the bearer token.
    void setSessionCheck(std::function<bool(const HttpRequest &)> check) { m_sessionCheck = std::move(check); }

    // A browser always names the page's origin; a page of another site must
    // not reach the stream with the user's credentials. Clients that are not
    // browsers send no Origin.
    static bool sameOrigin(const HttpRequest &request);

private:
    QByteArray m_token;
    std::function<bool(const HttpRequest &)> m_sessionCheck;
};

} // namespace tavrod

#endif
