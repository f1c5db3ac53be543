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
    std::string language = KC_DEFAULT_LANGUAGE;
    std::string clientType = KC_DEFAULT_CLIENT_TYPE;
    std::string passwordDir;
    std::string node;
    std::string server;
    int cipherType = 0;
    int exitLogging = 0;
    int timeoutMs = KC_DEFAULT_TIMEOUT_MS;
    uid_t runAsUid = static_cast<uid_t>(-1);
    gid_t runAsGid = static_cast<gid_t>(-1);
    int stdoutFd = -1;
    int stderrFd = KC_STDERR_CAPTURE;
    int storeWaitMs = KC_STORE_WAIT_MS;
    std::string refusal;   // the last setter's refusal, for kc_config_refusal
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

// A new handle of type T made from *from (kc_config_dup, kc_agent_new): null
// arguments are refused, *out is null unless KC_OK.
template <typename T, typename From>
int kcNewFrom(const From *from, T **out) noexcept
{
    if (out == nullptr)
        return KC_E_ARGUMENT;
    *out = nullptr;
    if (from == nullptr)
        return KC_E_ARGUMENT;
    return kcGuarded([&] {
        *out = new T(*from);
        return static_cast<int>(KC_OK);
    });
}

#ifdef KEL_TEST_HOOKS
// Only in the build tree's variant, for the agent's own tests: the cipher
// type setter passes every int, so that the agent's refusal can be seen.
void kcTestAcceptAnyCipherType(bool any);
#endif

// Fills res as far as its size says; res may be null.
void kcStore(kc_result *res, const kc_result &from);
