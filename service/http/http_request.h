// One HTTP/1.1 request as tavrod reads it: the request, the answer, the
// bounds of both, and the parser that reads requests from a connection's
// input incrementally, so that no byte is looked at twice.
#ifndef TAVROD_HTTP_REQUEST_H
#define TAVROD_HTTP_REQUEST_H

#include <QByteArray>
#include <QHostAddress>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

#include <algorithm>
#include <functional>

namespace tavrod {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

struct HttpRequest
{
    QByteArray method;
    QByteArray target;   // path and query; bytes >= 0x80 percent-encoded
    QString path;        // decoded path
    QUrlQuery query;
    HeaderList headers;  // names in lower case
    QByteArray body;
    QHostAddress peer;
    bool keepAlive = true;
    bool http11 = true;  // HTTP/1.1 (else 1.0)

    // The first value of a header (name in lower case), empty when absent.
    QByteArray header(const QByteArray &name) const;
    int headerCount(const QByteArray &name) const;
    bool isWebSocketUpgrade() const;
};

struct HttpResponse
{
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    HeaderList headers;
    // A body too large to hold (an export): set, it replaces body and is
    // called for the next piece whenever the client has taken the last
    // ones; an empty piece ends it. Sent chunked.
    std::function<QByteArray()> stream = {};

    static HttpResponse json(int status, const QJsonObject &object);
    // {"error": text}
    static HttpResponse error(int status, const QString &text);
};

// Every bound of a connection. Times are in milliseconds.
struct HttpLimits
{
    int maxHeaderBytes = 16 * 1024;
    int maxBodyBytes = 64 * 1024;
    int maxConnections = 256;
    // From one peer address (all of 127.0.0.0/8 counts as one, an IPv6
    // peer by its /64); 0: half of maxConnections.
    int maxConnectionsPerPeer = 0;
    int idleTimeoutMs = 30000;          // keep-alive without a request, or output not taken
    int headerTimeoutMs = 10000;        // from a request's first byte to the end of its headers
    int bodyTimeoutMs = 10000;          // from the end of the headers, plus the time below
    int minBodyBytesPerSecond = 1024;   // the slowest body rate waited for
    int maxUnsentBytes = 64 * 1024;     // answers the client has not taken: reading stops beyond it
    // A full house (or peer) with no idle connection closes the request
    // stuck longest in its headers or body (or whose answers are not taken),
    // if stuck this long, to let a new client in: slow clients cannot keep
    // everyone else out, however fast they reconnect.
    int stalledMs = 100;
    // A customer import (a CSV file) may be larger than any other body.
    int maxImportBytes = 10 * 1024 * 1024;

    // The body bound of one request, by its method and target.
    int bodyLimit(const QByteArray &method, const QByteArray &target) const
    {
        const qsizetype query = target.indexOf('?');
        const QByteArray path = query < 0 ? target : target.left(query);
        return method == "POST" && path == "/api/customers/import" ? std::max(maxImportBytes, maxBodyBytes)
                                                                   : maxBodyBytes;
    }

    // The most a connection holds of its client's input (before the head
    // says which request it is; then the head and that request's body).
    qsizetype maxRequestBytes() const { return qsizetype(maxHeaderBytes) + maxBodyBytes; }
    int peerLimit() const
    {
        return maxConnectionsPerPeer > 0 ? std::min(maxConnectionsPerPeer, maxConnections)
                                         : std::max(1, maxConnections / 2);
    }
    qint64 bodyTimeoutFor(qint64 length) const
    {
        return bodyTimeoutMs + length * 1000 / std::max(1, minBodyBytesPerSecond);
    }
};

// Reads requests from the front of a connection's input. Between two calls
// the caller only appends to the buffer; where the search for the end of the
// headers stopped, the parsed head and the body length are kept, so a byte is
// looked at once however the input is cut.
class HttpRequestParser
{
public:
    enum class Status { NeedMore, Done, Failed };
    explicit HttpRequestParser(const HttpLimits &limits) : m_limits(limits) {}

    // On Done the request's bytes are removed from buffer. On Failed,
    // failure() is the 4xx/5xx answer to send before closing.
    Status parse(QByteArray &buffer, HttpRequest *request);
    const HttpResponse &failure() const { return m_failure; }

    // The head of the request being read, once its headers are complete
    // (its body may still be on the way).
    bool hasHead() const { return m_headLength > 0; }
    const HttpRequest &head() const { return m_head; }
    qint64 bodyLength() const { return m_bodyLength; }
    // Bytes looked at while searching for the end of headers, in total.
    qint64 bytesScanned() const { return m_scanned; }

private:
    Status findHeadEnd(const QByteArray &buffer);
    Status parseHead(const QByteArray &buffer);
    Status parseHeaders(const QList<QByteArrayView> &lines, HttpRequest *out, qint64 *contentLength);
    Status fail(int status, const QString &text);

    HttpLimits m_limits;
    HttpResponse m_failure;
    HttpRequest m_head;
    qsizetype m_headStart = 0;   // after blank lines sent between requests
    qsizetype m_lineStart = 0;
    qsizetype m_searchFrom = 0;
    qsizetype m_headLength = 0;  // up to the blank line, 0 until found
    qint64 m_bodyLength = 0;
    qint64 m_scanned = 0;
};

} // namespace tavrod

#endif
