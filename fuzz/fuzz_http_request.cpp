// libFuzzer target: arbitrary bytes as what a client sends to tavrod, cut
// into pieces, through the request parser, then the token and Origin checks
// on every request it accepts.
//
// Input layout: byte 0 the piece size (1..256), the rest the client's bytes.
// Promises checked (a broken one aborts): a parsed request consumed input,
// its body is within the bound and as long as it says, a refusal is a 4xx/5xx
// with a JSON error, and nothing is read past the input.
#include "access.h"
#include "http_server.h"

#include <QCoreApplication>
#include <QJsonDocument>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace tavrod;

namespace {

void require(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant violated: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int argc = 1;
    static char name[] = "fuzz_http_request";
    static char *argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    if (size < 1)
        return 0;
    const size_t piece = size_t(data[0]) + 1;
    const HttpLimits limits;
    HttpRequestParser parser(limits);
    const Access access("token");
    QByteArray buffer;
    for (size_t at = 1; at < size; at += piece) {
        buffer.append(reinterpret_cast<const char *>(data + at), qsizetype(std::min(piece, size - at)));
        for (;;) {
            HttpRequest request;
            const qsizetype before = buffer.size();
            const auto status = parser.parse(buffer, &request);
            if (status == HttpRequestParser::Status::NeedMore)
                break;
            if (status == HttpRequestParser::Status::Failed) {
                const HttpResponse &failure = parser.failure();
                require(failure.status >= 400 && failure.status < 600, "refusal status");
                require(QJsonDocument::fromJson(failure.body).object().contains("error"), "refusal body");
                return 0;
            }
            require(buffer.size() < before, "a request consumed input");
            require(request.body.size() <= limits.maxBodyBytes, "body bound");
            require(request.path.startsWith(u'/') || request.path.isEmpty(), "path");
            (void)access.authorized(request);
            (void)Access::sameOrigin(request);
            (void)request.isWebSocketUpgrade();
        }
    }
    return 0;
}
