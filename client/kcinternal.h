// What the units of the caller's library share behind its C interface.
// Nothing here is exported: the shared library's version script lets only
// the kc_ functions of kelclient.h out.
#pragma once

#include "kelvlx/kelclient.h"
#include "kelvlx/kelclient.hpp"

#include <string.h>

#include <new>
#include <string>

// The configuration's fields and the zeroing buffer (kelvlx::Secret) are
// those of the C++ layer, written once there; behind the opaque handle the
// library adds the last setter's refusal, for kc_config_refusal.
struct kc_config : kelvlx::Config {
    std::string refusal;
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
