// A fixed buffer for a password, a key or exchanged data that zeroes itself,
// by a call the compiler cannot drop, when it goes and by clear(). The
// caller's C++ layer (kelclient.hpp), the caller's library and the agent keep
// their secrets in it. C++17, header-only.
#ifndef KELVLX_KELSECRET_HPP
#define KELVLX_KELSECRET_HPP

#include <string.h>

#include <cstddef>

namespace kelvlx {

template <size_t N>
struct Secret {
    unsigned char b[N] = {};

    Secret() = default;
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;
    ~Secret() { clear(); }

    unsigned char *data() { return b; }
    const unsigned char *data() const { return b; }
    char *chars() { return reinterpret_cast<char *>(b); }
    const char *chars() const { return reinterpret_cast<const char *>(b); }
    static constexpr size_t size() { return N; }
    void clear() { explicit_bzero(b, N); }
};

} // namespace kelvlx

#endif
