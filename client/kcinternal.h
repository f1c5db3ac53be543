// What the units of the caller's library share behind its C interface.
// Nothing here is exported: the shared library's version script lets only
// the kc_ functions of kelclient.h out.
#pragma once

#include "kelvlx/kelclient.h"

#include <string.h>

#include <new>
#include <string>

// A fixed buffer for a password, a key or exchanged data, zeroed (by a call
// the compiler cannot drop) when it goes and by clear().
template <size_t N>
struct kcSecret {
    unsigned char b[N] = {};

    kcSecret() = default;
    kcSecret(const kcSecret &) = delete;
    kcSecret &operator=(const kcSecret &) = delete;
    ~kcSecret() { clear(); }

    static constexpr size_t size() { return N; }
    void clear() { explicit_bzero(b, N); }
};

struct kc_config {
    std::string agentPath;
    std::string catalogDir;
    std::string buildDate;
    std::string buildTime;
    std::string language = "EN_US";
    std::string clientType = "\x01";
    std::string passwordDir;
    std::string node;
    std::string server;
    int cipherType = 0;
    int exitLogging = 0;
    int timeoutMs = 30000;
    uid_t runAsUid = static_cast<uid_t>(-1);
    gid_t runAsGid = static_cast<gid_t>(-1);
    int stdoutFd = -1;
    int stderrFd = -1;
};

// Runs body, turning a failed allocation inside it into KC_E_NOMEM: no
// exception crosses the C boundary.
template <typename Body>
int kcGuarded(Body body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return KC_E_NOMEM;
    } catch (...) {
        return KC_E_NOMEM;   // the standard library throws nothing else here
    }
}

// Fills res as far as its size says; res may be null.
void kcStore(kc_result *res, const kc_result &from);
