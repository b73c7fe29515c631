#pragma once

// What every fuzz target shares: a check that stops the run with a message
// libFuzzer shows next to the input that broke it.

#include <QByteArrayView>

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond, what)                                                                     \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s (%s)\n", __FILE__, __LINE__, what, \
                         #cond);                                                                   \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

namespace fuzz {
inline QByteArrayView bytes(const uint8_t *data, size_t size)
{
    return QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size));
}
} // namespace fuzz
