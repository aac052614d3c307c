#include "http_request.h"

#include <QJsonDocument>
#include <QUrl>

#include <cstring>

namespace tavrod {

namespace {

bool isTokenChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')
        || QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), isTokenChar);
}

bool headerHasToken(const QByteArray &value, const char *token)
{
    for (const QByteArray &part : value.split(',')) {
        if (part.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

// Field values may hold visible text, blanks and tabs, nothing else below 0x20.
bool isFieldValue(QByteArrayView value)
{
    return std::none_of(value.begin(), value.end(),
                        [](char c) { return (uchar(c) < 0x20 && c != '\t') || uchar(c) == 0x7f; });
}

// Clients such as curl send UTF-8 in the target as it is; it is read as if
// percent-encoded. Controls, blanks and DEL leave it malformed.
bool normaliseTarget(QByteArrayView raw, QByteArray *target)
{
    static const char hex[] = "0123456789ABCDEF";
    target->reserve(raw.size());
    for (char c : raw) {
        const uchar u = uchar(c);
        if (u <= 0x20 || u == 0x7f)
            return false;
        if (u >= 0x80) {
            target->append('%').append(hex[u >> 4]).append(hex[u & 15]);
        } else {
            target->append(c);
        }
    }
    return true;
}

} // namespace

QByteArray HttpRequest::header(const QByteArray &name) const
{
    for (const auto &entry : headers) {
        if (entry.first == name)
            return entry.second;
    }
    return QByteArray();
}

int HttpRequest::headerCount(const QByteArray &name) const
{
    return int(std::count_if(headers.begin(), headers.end(), [&](const auto &entry) { return entry.first == name; }));
}

bool HttpRequest::isWebSocketUpgrade() const
{
    return headerHasToken(header("upgrade"), "websocket") && headerHasToken(header("connection"), "upgrade");
}

HttpResponse HttpResponse::json(int status, const QJsonObject &object)
{
    HttpResponse response;
    response.status = status;
    response.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return response;
}

HttpResponse HttpResponse::error(int status, const QString &text)
{
    return json(status, {{"error", text}});
}

HttpRequestParser::Status HttpRequestParser::fail(int status, const QString &text)
{
    m_failure = HttpResponse::error(status, text);
    return Status::Failed;
}

HttpRequestParser::Status HttpRequestParser::parse(QByteArray &buffer, HttpRequest *request)
{
    if (!hasHead()) {
        const Status found = findHeadEnd(buffer);
        if (found != Status::Done)
            return found;
        const Status parsed = parseHead(buffer);
        if (parsed != Status::Done) {
            m_headLength = 0;
            return parsed;
        }
    }
    const qsizetype total = m_headLength + qsizetype(m_bodyLength);
    if (buffer.size() < total)
        return Status::NeedMore;
    m_head.body = buffer.mid(m_headLength, qsizetype(m_bodyLength));
    buffer.remove(0, total);
    *request = std::move(m_head);
    m_head = HttpRequest();
    m_headStart = m_lineStart = m_searchFrom = m_headLength = 0;
    m_bodyLength = 0;
    return Status::Done;
}

// Resumes where the last call stopped. A line end is LF, with or without CR
// before it; blank lines before a request line are skipped.
HttpRequestParser::Status HttpRequestParser::findHeadEnd(const QByteArray &buffer)
{
    const qsizetype end = std::min(buffer.size(), qsizetype(m_limits.maxHeaderBytes));
    const char *data = buffer.constData();
    while (m_searchFrom < end) {
        const void *lf = std::memchr(data + m_searchFrom, '\n', size_t(end - m_searchFrom));
        const qsizetype at = lf ? static_cast<const char *>(lf) - data : end;
        m_scanned += at - m_searchFrom + (lf ? 1 : 0);
        if (!lf) {
            m_searchFrom = end;
            break;
        }
        m_searchFrom = at + 1;
        const qsizetype length = at - m_lineStart;
        const bool blank = length == 0 || (length == 1 && data[m_lineStart] == '\r');
        if (blank && m_lineStart == m_headStart) {
            // Between requests: allowed, but it counts against the header bound.
            m_lineStart = m_headStart = m_searchFrom;
            continue;
        }
        m_lineStart = m_searchFrom;
        if (blank) {
            m_headLength = m_searchFrom;
            return Status::Done;
        }
    }
    if (buffer.size() >= m_limits.maxHeaderBytes)
        return fail(431, QStringLiteral("request headers larger than %1 bytes").arg(m_limits.maxHeaderBytes));
    return Status::NeedMore;
}

// The header lines after the request line; Content-Length when given.
HttpRequestParser::Status HttpRequestParser::parseHeaders(const QList<QByteArrayView> &lines, HttpRequest *out,
                                                          qint64 *contentLength)
{
    bool haveLength = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArrayView line = lines[i];
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return fail(400, QStringLiteral("malformed header line"));
        const QByteArray name = line.first(colon).toByteArray().toLower();
        if (!isToken(name))
            return fail(400, QStringLiteral("malformed header name"));
        const QByteArray value = line.sliced(colon + 1).trimmed().toByteArray();
        if (!isFieldValue(value))
            return fail(400, QStringLiteral("control character in a header value"));
        if (name == "content-length") {
            bool ok = false;
            const qint64 length = value.toLongLong(&ok);
            if (!ok || length < 0 || value.startsWith('+') || (haveLength && length != *contentLength))
                return fail(400, QStringLiteral("malformed Content-Length"));
            *contentLength = length;
            haveLength = true;
        } else if (name == "transfer-encoding") {
            return fail(501, QStringLiteral("Transfer-Encoding is not supported; send Content-Length"));
        }
        out->headers.append({name, value});
    }
    return Status::Done;
}

HttpRequestParser::Status HttpRequestParser::parseHead(const QByteArray &buffer)
{
    const QByteArrayView headBytes(buffer.constData() + m_headStart, m_headLength - m_headStart);
    QList<QByteArrayView> lines;
    for (qsizetype from = 0; from < headBytes.size();) {
        const qsizetype lf = headBytes.indexOf('\n', from);
        QByteArrayView line = headBytes.sliced(from, lf - from);
        if (line.endsWith('\r'))
            line.chop(1);
        if (line.contains('\r'))
            return fail(400, QStringLiteral("CR inside a header line"));
        lines.append(line);
        from = lf + 1;
    }
    lines.removeLast(); // the blank line

    HttpRequest out;
    const QList<QByteArray> parts = lines.first().toByteArray().split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || !parts[1].startsWith('/'))
        return fail(400, QStringLiteral("malformed request line"));
    const QByteArray &version = parts[2];
    if (version != "HTTP/1.1" && version != "HTTP/1.0")
        return fail(505, QStringLiteral("only HTTP/1.0 and HTTP/1.1 are served"));
    if (!normaliseTarget(parts[1], &out.target))
        return fail(400, QStringLiteral("malformed request target"));
    out.method = parts[0];
    out.http11 = version == "HTTP/1.1";

    qint64 contentLength = 0;
    if (parseHeaders(lines, &out, &contentLength) == Status::Failed)
        return Status::Failed;
    const int bodyLimit = m_limits.bodyLimit(out.method, out.target);
    if (contentLength > bodyLimit)
        return fail(413, QStringLiteral("request body larger than %1 bytes").arg(bodyLimit));

    const qsizetype question = out.target.indexOf('?');
    out.path = QUrl::fromPercentEncoding(question < 0 ? out.target : out.target.left(question));
    if (question >= 0) {
        // Form encoding writes a blank as '+'.
        QByteArray query = out.target.mid(question + 1);
        query.replace('+', "%20");
        out.query.setQuery(QString::fromLatin1(query));
    }
    const QByteArray connection = out.header("connection");
    out.keepAlive = out.http11 ? !headerHasToken(connection, "close") : headerHasToken(connection, "keep-alive");
    m_head = std::move(out);
    m_bodyLength = contentLength;
    return Status::Done;
}

} // namespace tavrod
