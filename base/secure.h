// Zeroing of secrets that the compiler may not drop, and a fixed buffer that
// zeroes itself when it goes out of scope.
#pragma once

#include <cstddef>
#include <string.h>

#include "kelvlx/kelsecret.hpp"

inline void kelZero(void *p, size_t n)
{
    if (p != nullptr && n != 0)
        explicit_bzero(p, n);
}

// A fixed-size buffer for a password, a key or exchanged data: the one the
// callers' headers define.
template <size_t N>
using SecretBuf = kelvlx::Secret<N>;

// Zeroes a caller-owned region when the scope ends (for buffers that are not SecretBufs).
class ZeroOnExit {
public:
    ZeroOnExit(void *p, size_t n) : p_(p), n_(n) {}
    ZeroOnExit(const ZeroOnExit &) = delete;
    ZeroOnExit &operator=(const ZeroOnExit &) = delete;
    ~ZeroOnExit() { kelZero(p_, n_); }

private:
    void *p_;
    size_t n_;
};
