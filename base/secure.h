// Zeroing of secrets that the compiler may not drop, and a fixed buffer that
// zeroes itself when it goes out of scope.
#pragma once

#include <cstddef>
#include <string.h>

inline void kelZero(void *p, size_t n)
{
    if (p != nullptr && n != 0)
        explicit_bzero(p, n);
}

// A fixed-size buffer for a password, a key or exchanged data.
template <size_t N>
struct SecretBuf {
    unsigned char b[N] = {};

    SecretBuf() = default;
    SecretBuf(const SecretBuf &) = delete;
    SecretBuf &operator=(const SecretBuf &) = delete;
    ~SecretBuf() { kelZero(b, N); }

    unsigned char *data() { return b; }
    const unsigned char *data() const { return b; }
    char *chars() { return reinterpret_cast<char *>(b); }
    static constexpr size_t size() { return N; }
    void clear() { kelZero(b, N); }
};

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
