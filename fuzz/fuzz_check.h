// How the fuzz targets report a broken promise: one line on stderr, then
// abort, so that libFuzzer keeps the input that broke it.
#ifndef TAVRO_FUZZ_CHECK_H
#define TAVRO_FUZZ_CHECK_H

#include <QByteArray>
#include <QString>

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void violated(const char *what)
{
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

// With the text the check was about.
[[noreturn]] inline void violated(const char *what, const QString &detail)
{
    std::fprintf(stderr, "invariant violated: %s %s\n", what, qPrintable(detail));
    std::fflush(stderr);
    std::abort();
}

// With the bytes the check was about, in hex.
[[noreturn]] inline void violated(const char *what, const QByteArray &detail)
{
    std::fprintf(stderr, "invariant violated: %s [%s]\n", what, detail.toHex(' ').constData());
    std::fflush(stderr);
    std::abort();
}

#define FUZZ_CHECK(cond, ...)                                                                      \
    do {                                                                                           \
        if (!(cond))                                                                               \
            violated(#cond, ##__VA_ARGS__);                                                        \
    } while (0)

#endif
