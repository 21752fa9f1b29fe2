// The checks of the core's test program: a failed check prints where it failed and is
// counted; the program fails at the end when any did.
#pragma once

#include <cstdio>

extern int g_failures;

#define CHECK(cond)                                                                        \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: CHECK failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_failures;                                                                  \
        }                                                                                  \
    } while (0)

#define CHECK_EQ(a, b)                                                                                 \
    do {                                                                                               \
        auto va = (a);                                                                                 \
        auto vb = (b);                                                                                 \
        if (!(va == vb)) {                                                                             \
            std::fprintf(stderr, "%s:%d: CHECK_EQ failed: %s vs %s\n", __FILE__, __LINE__, #a, #b); \
            ++g_failures;                                                                              \
        }                                                                                              \
    } while (0)

// Whether f() throws an Error of `kind` (and nothing else).
#define CHECK_THROWS(want_kind, expr)                         \
    do {                                                 \
        bool thrown_ = false;                            \
        try {                                            \
            (void)(expr);                                \
        } catch (const larkspur::Error& e_) {            \
            thrown_ = e_.kind() == (want_kind);               \
        } catch (...) {                                  \
        }                                                \
        if (!thrown_) {                                  \
            std::fprintf(stderr, "%s:%d: CHECK_THROWS failed: %s\n", __FILE__, __LINE__, #expr); \
            ++g_failures;                                \
        }                                                \
    } while (0)
