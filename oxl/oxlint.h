// Inside the crypto library: its context and the status helpers shared by its units.
#pragma once

#include <openssl/types.h>

#include "crypto-loader/oxlapi.h"

#define OXL_EXPORT extern "C" __attribute__((visibility("default")))

// Every exported entry point, declared from the one list the program uses too;
// a definition with another signature does not compile.
#define OXL_DECLARE_FN(ret, name, fail, params, args) OXL_EXPORT ret METAC_##name(OXL_LIBCTX *libCtx OXL_UNPACK params);
#define OXL_DECLARE_VOID(name, params, args) OXL_EXPORT void METAC_##name(OXL_LIBCTX *libCtx OXL_UNPACK params);
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
// Records the failure that libcrypto reported (class 3, its reason and text).
void oxlFailCrypto(OXL_LIBCTX *ctx, const char *what);
void oxlUnsupported(OXL_LIBCTX *ctx, const char *name);
// 1 when the context may run cryptographic calls, else records why not and 0.
int oxlReady(OXL_LIBCTX *ctx);
// Records the outcome of a libcrypto call that returns 1 on success; returns ok.
int oxlCheck(OXL_LIBCTX *ctx, int ok, const char *what);
