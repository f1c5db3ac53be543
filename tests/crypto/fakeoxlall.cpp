// Every entry point of the stand-in library, weak so that fakeoxl.cpp can give
// some of them their own behaviour.
#include "tests/crypto/fakeoxl.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

#define FAKE_FN(ret, name, fail, lib, params, args)                                                      \
    FAKE_EXPORT __attribute__((weak)) ret METAC_##name(OXL_LIBCTX *libCtx OXL_UNPACK params)              \
    {                                                                                                     \
        return fakeResult<ret>(#name, libCtx);                                                            \
    }
#define FAKE_VOID(name, lib, params, args)                                                               \
    FAKE_EXPORT __attribute__((weak)) void METAC_##name(OXL_LIBCTX *libCtx OXL_UNPACK params)             \
    {                                                                                                     \
        fakeRecord(#name, libCtx);                                                                        \
    }
OXL_ENTRY_POINTS(FAKE_FN, FAKE_VOID)
