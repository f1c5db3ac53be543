// Shared by the two units of the stand-in crypto library of the loader tests.
#pragma once

#include <type_traits>

#include "crypto/oxlapi.h"

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

void fakeRecord(const char *name, OXL_LIBCTX *libCtx);

// Every entry point returns this (or null) unless it has its own definition;
// no wrapper uses 7 as its failure value.
template <typename T>
T fakeResult(const char *name, OXL_LIBCTX *libCtx)
{
    fakeRecord(name, libCtx);
    if constexpr (std::is_pointer_v<T>)
        return nullptr;
    else
        return T(7);
}
