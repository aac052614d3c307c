// Who may use the API: the bearer token (first line of the token file) and,
// for WebSocket upgrades, an Origin that is the service's own.
#ifndef TAVROD_ACCESS_H
#define TAVROD_ACCESS_H

#include <QByteArray>
#include <QString>

namespace tavrod {

struct HttpRequest;

// Reads the token file, or creates it (mode 0600, folder 0700) with a fresh
// random token. False with a reason when neither works or the file is empty.
bool loadOrCreateToken(const QString &path, QByteArray *token, bool *created, QString *error);

class Access
{
public:
    explicit Access(QByteArray token) : m_token(std::move(token)) {}

    // "Authorization: Bearer <token>", compared in constant time.
    bool authorized(const HttpRequest &request) const;

    // A browser always names the page's origin; a page of another site must
    // not reach the stream with the user's credentials. Clients that are not
    // browsers send no Origin.
    static bool sameOrigin(const HttpRequest &request);

private:
    QByteArray m_token;
};

} // namespace tavrod

#endif
