// Inside the crypto library: its context and the status helpers shared by its units.
#pragma once

#include <openssl/types.h>

#include "crypto/oxlapi.h"

#define OXL_EXPORT extern "C" __attribute__((visibility("default")))

// Every exported entry point, declared from the one list the program uses too;
// a definition with another signature does not compile.
#define OXL_DECLARE_FN(ret, name, fail, lib, params, args) OXL_EXPORT ret METAC_##name(OXL_LIBCTX *libCtx OXL_UNPACK params);
#define OXL_DECLARE_VOID(name, lib, params, args) OXL_EXPORT void METAC_##name(OXL_LIBCTX *libCtx OXL_UNPACK params);
OXL_ENTRY_POINTS(OXL_DECLARE_FN, OXL_DECLARE_VOID)
#undef OXL_DECLARE_FN
#undef OXL_DECLARE_VOID

// Detail codes (minRC) of the library's own failures.
enum OxlMinor : uint32_t {
    OXL_MIN_PARAM = 9,          // an argument is missing or out of range
    OXL_MIN_INTEGRITY = 12,     // integrity values do not match this library
    OXL_MIN_SELFTEST = 13,      // the known-answer test failed
    OXL_MIN_NOMEM = 15,
    OXL_MIN_NOT_ATTACHED = 20,  // a cryptographic call before METAC_Attach
    OXL_MIN_ATTACHED = 21,      // a setting that must come before METAC_Attach
    OXL_MIN_NOT_APPROVED = 22,  // algorithm not allowed in approved mode
    OXL_MIN_UNKNOWN = 23,       // no algorithm of that name, or unknown value id
    OXL_MIN_UNSUPPORTED = 98,   // entry point present but not carried out by this library
};

constexpr int OXL_MAX_ALGS = 32;

struct OXL_LIBCTX {
    OSSL_LIB_CTX *ossl;
    OSSL_PROVIDER *provider;   // "default", or "fips" in approved mode where installed
    OSSL_PROVIDER *base;       // encoders and decoders beside the FIPS provider
    int approved;              // approved mode switched on
    int fipsProvider;          // approved mode is carried by the FIPS provider
    int attached;
    OXL_STATUS last;           // outcome of the last call on this context
    EVP_CIPHER *ciphers[OXL_MAX_ALGS];
    EVP_MD *digests[OXL_MAX_ALGS];
    char directory[256];
};

void oxlSetStatus(OXL_STATUS *status, uint32_t majRC, uint32_t minRC, const char *desc);
// Records success, or a failure, as the outcome of the current call.
void oxlOk(OXL_LIBCTX *ctx);
void oxlFail(OXL_LIBCTX *ctx, uint32_t majRC, uint32_t minRC, const char *desc);
// Records the failure that libcrypto reported (class 3, its reason and text)
// and empties libcrypto's error queue, so the next failure reports its own.
// The queue is read only here, after a failure: a run without one never sets
// up libcrypto's error machinery (its first use loads every error text).
void oxlFailCrypto(OXL_LIBCTX *ctx, const char *what);
void oxlUnsupported(OXL_LIBCTX *ctx, const char *name);
// 1 when the context may run cryptographic calls, else records why not and 0.
int oxlReady(OXL_LIBCTX *ctx);
// Records the outcome of a libcrypto call that returns 1 on success; returns ok.
int oxlCheck(OXL_LIBCTX *ctx, int ok, const char *what);
// True when p is there, else records a missing argument.
bool oxlPresent(OXL_LIBCTX *ctx, const void *p);

// Records what a call that makes or finds an object came back with: success,
// or the failure given when nothing came. Returns p.
template <typename T>
T *oxlGot(OXL_LIBCTX *ctx, T *p, uint32_t majRC, uint32_t minRC, const char *desc)
{
    if (p == nullptr)
        oxlFail(ctx, majRC, minRC, desc);
    else
        oxlOk(ctx);
    return p;
}

// A new object from libcrypto (a context, a number) as the library's type;
// out of memory when none came.
template <typename Out, typename T>
Out *oxlNew(OXL_LIBCTX *ctx, T *p)
{
    return reinterpret_cast<Out *>(oxlGot(ctx, p, OXL_RC_SYSTEM, OXL_MIN_NOMEM, "Malloc failed"));
}

// A value read from an algorithm handle: 0 with a failure for no handle.
template <typename Alg, typename Handle>
int oxlAlgValue(OXL_LIBCTX *ctx, const Handle *h, int (*get)(const Alg *))
{
    if (ctx == nullptr || !oxlPresent(ctx, h))
        return 0;
    oxlOk(ctx);
    return get(reinterpret_cast<const Alg *>(h));
}
