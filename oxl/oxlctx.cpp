// The library's context: start-up with its integrity check, settings, status
// records, self-test and clean-up.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/opensslv.h>
#include <openssl/provider.h>
#include <unistd.h>

#include "oxl/oxlint.h"
#include "oxlbuildid.h"

void oxlSetStatus(OXL_STATUS *status, uint32_t majRC, uint32_t minRC, const char *desc)
{
    status->majRC = majRC;
    status->minRC = minRC;
    snprintf(status->desc, sizeof status->desc, "%s", desc);
    status->mode = 0;
}

void oxlOk(OXL_LIBCTX *ctx) { oxlSetStatus(&ctx->last, OXL_RC_OK, 0, "OK"); }

void oxlFail(OXL_LIBCTX *ctx, uint32_t majRC, uint32_t minRC, const char *desc)
{
    oxlSetStatus(&ctx->last, majRC, minRC, desc);
}

void oxlFailCrypto(OXL_LIBCTX *ctx, const char *what)
{
    unsigned long e = ERR_peek_last_error();
    char text[200];
    if (e != 0)
        ERR_error_string_n(e, text, sizeof text);
    else
        snprintf(text, sizeof text, "no detail");
    char desc[256];
    snprintf(desc, sizeof desc, "%s failed: %s", what, text);
    oxlFail(ctx, OXL_RC_CRYPTO, static_cast<uint32_t>(ERR_GET_REASON(e)), desc);
    ERR_clear_error();
}

bool oxlPresent(OXL_LIBCTX *ctx, const void *p)
{
    if (p == nullptr)
        oxlFail(ctx, OXL_RC_PARAM, OXL_MIN_PARAM, "Missing argument");
    return p != nullptr;
}

void oxlUnsupported(OXL_LIBCTX *ctx, const char *name)
{
    char desc[256];
    snprintf(desc, sizeof desc, "%s is not supported by this library", name);
    oxlFail(ctx, OXL_RC_PARAM, OXL_MIN_UNSUPPORTED, desc);
}

int oxlReady(OXL_LIBCTX *ctx)
{
    if (!ctx->attached) {
        oxlFail(ctx, OXL_RC_PARAM, OXL_MIN_NOT_ATTACHED, "Library not attached");
        return 0;
    }
    oxlOk(ctx);
    return 1;
}

int oxlCheck(OXL_LIBCTX *ctx, int ok, const char *what)
{
    if (ok == 1)
        oxlOk(ctx);
    else
        oxlFailCrypto(ctx, what);
    return ok;
}

namespace {

// Equal integrity values, compared without an early exit.
bool sameValue(const char *given, const char *own)
{
    size_t n = strlen(own);
    if (given == nullptr || strnlen(given, OXL_INTEGRITY_DIGITS + 1) != n)
        return false;
    return CRYPTO_memcmp(given, own, n) == 0;
}

// The libcrypto found at run time is of the release series the library was built over.
bool sameCryptoSeries()
{
    unsigned long built = OPENSSL_VERSION_NUMBER >> 20;   // major and minor
    return (OpenSSL_version_num() >> 20) == built;
}

// AES-128-CBC known answer: the first block of NIST SP 800-38A F.2.1.
bool aesKnownAnswer(OSSL_LIB_CTX *ossl)
{
    static const unsigned char key[16] = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                          0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
    static const unsigned char iv[16] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                         0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f};
    static const unsigned char plain[16] = {0x6b, 0xc1, 0xbe, 0xe2, 0x2e, 0x40, 0x9f, 0x96,
                                            0xe9, 0x3d, 0x7e, 0x11, 0x73, 0x93, 0x17, 0x2a};
    static const unsigned char expect[16] = {0x76, 0x49, 0xab, 0xac, 0x81, 0x19, 0xb2, 0x46,
                                             0xce, 0xe9, 0x8e, 0x9b, 0x12, 0xe9, 0x19, 0x7d};
    EVP_CIPHER *cipher = EVP_CIPHER_fetch(ossl, "AES-128-CBC", nullptr);
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    unsigned char out[32];
    int len = 0;
    bool ok = cipher != nullptr && c != nullptr && EVP_EncryptInit_ex2(c, cipher, key, iv, nullptr) == 1 &&
              EVP_CIPHER_CTX_set_padding(c, 0) == 1 && EVP_EncryptUpdate(c, out, &len, plain, 16) == 1 &&
              len == 16 && memcmp(out, expect, 16) == 0;
    EVP_CIPHER_CTX_free(c);
    EVP_CIPHER_free(cipher);
    return ok;
}

void freeAlgorithms(OXL_LIBCTX *ctx)
{
    for (int i = 0; i < OXL_MAX_ALGS; i++) {
        EVP_CIPHER_free(ctx->ciphers[i]);
        ctx->ciphers[i] = nullptr;
        EVP_MD_free(ctx->digests[i]);
        ctx->digests[i] = nullptr;
    }
}

void unloadProviders(OXL_LIBCTX *ctx)
{
    if (ctx->base != nullptr)
        OSSL_PROVIDER_unload(ctx->base);
    if (ctx->provider != nullptr)
        OSSL_PROVIDER_unload(ctx->provider);
    ctx->base = ctx->provider = nullptr;
}

void destroy(OXL_LIBCTX *ctx)
{
    freeAlgorithms(ctx);
    unloadProviders(ctx);
    OSSL_LIB_CTX_free(ctx->ossl);
    OPENSSL_clear_free(ctx, sizeof *ctx);
}

// Whether the FIPS provider's module is where libcrypto would load it from:
// the directory OPENSSL_MODULES names (ignored in a set-user-id run, by
// libcrypto and here alike), else libcrypto's own module directory.
// Asking libcrypto to load a missing module is not free: its failure is the
// process's first libcrypto error, which sets up the whole error machinery.
bool fipsModulePresent()
{
    char dir[256] = "";
    const char *env = secure_getenv("OPENSSL_MODULES");
    if (env != nullptr) {
        snprintf(dir, sizeof dir, "%s", env);
    } else {
        // The text reads MODULESDIR: "<directory>".
        const char *text = strchr(OpenSSL_version(OPENSSL_MODULES_DIR), '"');
        const char *end = text != nullptr ? strchr(text + 1, '"') : nullptr;
        if (end == nullptr)
            return true;   // an unknown form: let libcrypto look for itself
        snprintf(dir, sizeof dir, "%.*s", static_cast<int>(end - text - 1), text + 1);
    }
    char path[300];
    snprintf(path, sizeof path, "%s/fips.so", dir);
    return access(path, F_OK) == 0;
}

// Switches to approved mode: the FIPS provider where it is installed, else the
// default provider restricted to approved algorithms (see oxlcipher.cpp).
void switchApproved(OXL_LIBCTX *ctx, OXL_STATUS *status)
{
    bool tried = fipsModulePresent();
    OSSL_PROVIDER *fips = tried ? OSSL_PROVIDER_load(ctx->ossl, "fips") : nullptr;
    if (fips != nullptr && OSSL_PROVIDER_self_test(fips) == 1 &&
        EVP_set_default_properties(ctx->ossl, "fips=yes") == 1) {
        unloadProviders(ctx);
        ctx->provider = fips;
        ctx->base = OSSL_PROVIDER_load(ctx->ossl, "base");
        ctx->fipsProvider = 1;
        ctx->approved = 1;
        oxlSetStatus(status, OXL_RC_OK, 0, "OK");
        return;
    }
    if (fips != nullptr)
        OSSL_PROVIDER_unload(fips);
    if (tried)
        ERR_clear_error();   // the unusable provider is expected here, not a failure of a later call
    ctx->approved = 1;
    oxlSetStatus(status, OXL_RC_REMARK, 1, "Approved algorithms only; not a validated module");
}

} // namespace

OXL_LIBCTX *METAC_lib_init(OXL_LIBCTX *, OXL_STATUS *status, const char *directory, const char *oxllibhash,
                           const char *cryptolibhash)
{
    if (status == nullptr)
        return nullptr;
    if (!sameValue(oxllibhash, KEL_OXL_LIBHASH) || !sameValue(cryptolibhash, KEL_OXL_CRYPTOLIBHASH) ||
        !sameCryptoSeries()) {
        oxlSetStatus(status, OXL_RC_PARAM, OXL_MIN_INTEGRITY, "Integrity check failed");
        return nullptr;
    }
    // libcrypto's own clean-up at exit would only free its process-wide
    // tables (names, error texts, the default context), which hold nothing of
    // ours: this library's context, random generator included, is freed and
    // cleansed by METAC_lib_cleanup. Skipping it shortens every run that loads
    // the library by about a tenth.
    // The system's libcrypto configuration is not read: it configures only
    // the default context, which this library uses for no algorithm (its own
    // context loads its providers by name), and an engine named there could
    // otherwise be asked to stand in for a cipher. Reading and parsing it was
    // a tenth of the library's start.
    // Both take effect only where this library is libcrypto's first user; a
    // failure here fails the calls below.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT | OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    auto *ctx = static_cast<OXL_LIBCTX *>(OPENSSL_zalloc(sizeof(OXL_LIBCTX)));
    if (ctx == nullptr) {
        oxlSetStatus(status, OXL_RC_SYSTEM, OXL_MIN_NOMEM, "Malloc failed");
        return nullptr;
    }
    if (directory != nullptr)
        snprintf(ctx->directory, sizeof ctx->directory, "%s", directory);
    ctx->ossl = OSSL_LIB_CTX_new();
    if (ctx->ossl != nullptr)
        ctx->provider = OSSL_PROVIDER_load(ctx->ossl, "default");
    if (ctx->ossl == nullptr || ctx->provider == nullptr) {
        oxlSetStatus(status, OXL_RC_SYSTEM, OXL_MIN_NOMEM, "Cannot start libcrypto");
        destroy(ctx);
        return nullptr;
    }
    if (!aesKnownAnswer(ctx->ossl)) {
        oxlSetStatus(status, OXL_RC_CRYPTO, OXL_MIN_SELFTEST, "Self-test failed");
        destroy(ctx);
        return nullptr;
    }
    oxlSetStatus(status, OXL_RC_OK, 0, "OK");
    ctx->last = *status;
    return ctx;
}

int METAC_lib_cleanup(OXL_LIBCTX *ctx, OXL_STATUS *status)
{
    if (status == nullptr)
        return 0;
    if (ctx == nullptr) {
        oxlSetStatus(status, OXL_RC_PARAM, OXL_MIN_PARAM, "No library context");
        return 0;
    }
    destroy(ctx);
    oxlSetStatus(status, OXL_RC_OK, 0, "OK");
    return 1;
}

int METAC_GetStatus(OXL_LIBCTX *ctx, OXL_STATUS *status)
{
    if (ctx == nullptr || status == nullptr)
        return 0;
    *status = ctx->last;
    return 1;
}

namespace {
// Reports the outcome to the caller's record and keeps it as the last status.
int report(OXL_LIBCTX *ctx, OXL_STATUS *status, uint32_t majRC, uint32_t minRC, const char *desc)
{
    oxlSetStatus(status, majRC, minRC, desc);
    ctx->last = *status;
    return majRC <= OXL_RC_REMARK ? 1 : 0;
}

int copyValue(OXL_LIBCTX *ctx, OXL_STATUS *status, const char *value, char *buf, int size)
{
    if (buf == nullptr || size <= 0 || strlen(value) >= static_cast<size_t>(size))
        return report(ctx, status, OXL_RC_PARAM, OXL_MIN_PARAM, "Buffer too small");
    memcpy(buf, value, strlen(value) + 1);
    return report(ctx, status, OXL_RC_OK, 0, "OK");
}
} // namespace

int METAC_SetValue(OXL_LIBCTX *ctx, OXL_STATUS *status, int id, const char *value)
{
    if (ctx == nullptr || status == nullptr)
        return 0;
    if (id != OXL_FIPS_APPROVED_MODE)
        return report(ctx, status, OXL_RC_PARAM, OXL_MIN_UNKNOWN, "Unknown or read-only value id");
    if (value == nullptr || (strcmp(value, "on") != 0 && strcmp(value, "off") != 0))
        return report(ctx, status, OXL_RC_PARAM, OXL_MIN_PARAM, "Value must be \"on\" or \"off\"");
    if (ctx->attached)
        return report(ctx, status, OXL_RC_PARAM, OXL_MIN_ATTACHED, "Mode cannot change after attach");
    bool on = strcmp(value, "on") == 0;
    if (on == (ctx->approved != 0))
        return report(ctx, status, OXL_RC_OK, 0, "OK");
    if (!on)
        return report(ctx, status, OXL_RC_PARAM, OXL_MIN_ATTACHED, "Approved mode cannot be left");
    switchApproved(ctx, status);
    ctx->last = *status;
    return status->majRC <= OXL_RC_REMARK ? 1 : 0;
}

int METAC_GetValue(OXL_LIBCTX *ctx, OXL_STATUS *status, int id, char *buf, int size)
{
    if (ctx == nullptr || status == nullptr)
        return 0;
    switch (id) {
    case OXL_VERSION:
        return copyValue(ctx, status, OXL_VERSION_TEXT, buf, size);
    case OXL_FIPS_APPROVED_MODE:
        return copyValue(ctx, status, ctx->approved ? "on" : "off", buf, size);
    case OXL_BUILD_ID:
        return copyValue(ctx, status, KEL_OXL_LIBHASH, buf, size);
    default:
        return report(ctx, status, OXL_RC_PARAM, OXL_MIN_UNKNOWN, "Unknown value id");
    }
}

int METAC_Attach(OXL_LIBCTX *ctx, OXL_STATUS *status)
{
    if (ctx == nullptr || status == nullptr)
        return 0;
    ctx->attached = 1;
    return report(ctx, status, OXL_RC_OK, 0, "OK");
}

int METAC_SelfTest(OXL_LIBCTX *ctx, OXL_STATUS *status)
{
    if (ctx == nullptr || status == nullptr)
        return 0;
    if (!aesKnownAnswer(ctx->ossl))
        return report(ctx, status, OXL_RC_CRYPTO, OXL_MIN_SELFTEST, "Self-test failed");
    return report(ctx, status, OXL_RC_OK, 0, "OK");
}

int METAC_MemCheck_start(OXL_LIBCTX *ctx, OXL_STATUS *status)
{
    if (ctx == nullptr || status == nullptr)
        return 0;
    return report(ctx, status, OXL_RC_PARAM, OXL_MIN_UNSUPPORTED, "Memory checking is not supported");
}

int METAC_MemCheck_stop(OXL_LIBCTX *ctx, OXL_STATUS *status)
{
    return METAC_MemCheck_start(ctx, status);
}
