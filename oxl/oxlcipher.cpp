// Cipher and digest lookup, and the EVP cipher entry points.
#include <cstring>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>

#include "oxl/oxlint.h"

namespace {

EVP_CIPHER_CTX *cctx(OXL_EVP_CIPHER_CTX *c) { return reinterpret_cast<EVP_CIPHER_CTX *>(c); }
const EVP_CIPHER_CTX *cctx(const OXL_EVP_CIPHER_CTX *c) { return reinterpret_cast<const EVP_CIPHER_CTX *>(c); }
const EVP_CIPHER *cph(const OXL_EVP_CIPHER *c) { return reinterpret_cast<const EVP_CIPHER *>(c); }

bool startsWith(const char *s, const char *prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

// Without a FIPS provider, approved mode offers only these families.
bool approvedCipher(const EVP_CIPHER *c)
{
    const char *n = EVP_CIPHER_get0_name(c);
    return n != nullptr && startsWith(n, "AES-") && strstr(n, "HMAC") == nullptr;
}

bool approvedDigest(const EVP_MD *md)
{
    const char *n = EVP_MD_get0_name(md);
    return n != nullptr && (startsWith(n, "SHA2-") || startsWith(n, "SHA3-") || strcmp(n, "SHA1") == 0);
}

// The handles stay in the context's cache until the library is cleaned up, so
// callers may keep them as long as the context lives.
template <typename Alg, typename Fetch, typename IsA, typename Approved, typename Free>
const Alg *lookUp(OXL_LIBCTX *ctx, Alg **cache, const char *name, Fetch fetch, IsA isA, Approved approved,
                  Free release)
{
    if (ctx == nullptr)
        return nullptr;
    if (!oxlReady(ctx))
        return nullptr;
    if (name == nullptr) {
        oxlFail(ctx, OXL_RC_PARAM, OXL_MIN_PARAM, "No algorithm name");
        return nullptr;
    }
    for (int i = 0; i < OXL_MAX_ALGS && cache[i] != nullptr; i++)
        if (isA(cache[i], name))
            return cache[i];
    Alg *alg = fetch(ctx->ossl, name, nullptr);
    if (alg == nullptr) {
        ERR_clear_error();   // the unknown name is the failure recorded; its queue entry must not stay behind
        oxlFail(ctx, OXL_RC_PARAM, OXL_MIN_UNKNOWN, "No algorithm of that name");
        return nullptr;
    }
    if (ctx->approved && !ctx->fipsProvider && !approved(alg)) {
        release(alg);
        oxlFail(ctx, OXL_RC_PARAM, OXL_MIN_NOT_APPROVED, "Algorithm not allowed in approved mode");
        return nullptr;
    }
    for (int i = 0; i < OXL_MAX_ALGS; i++)
        if (cache[i] == nullptr)
            return cache[i] = alg;
    release(alg);
    oxlFail(ctx, OXL_RC_SYSTEM, OXL_MIN_NOMEM, "Too many algorithms in use");
    return nullptr;
}

// The vector used when the caller gives none: all zeros.
const unsigned char zeroIv[EVP_MAX_IV_LENGTH] = {};

int cipherInit(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c, const OXL_EVP_CIPHER *cipher, const unsigned char *key,
               const unsigned char *iv, int enc, const char *what)
{
    if (ctx == nullptr)
        return 0;
    if (!oxlReady(ctx))
        return 0;
    if (c == nullptr) {
        oxlFail(ctx, OXL_RC_PARAM, OXL_MIN_PARAM, "No cipher context");
        return 0;
    }
    return oxlCheck(ctx, EVP_CipherInit(cctx(c), cph(cipher), key, iv != nullptr ? iv : zeroIv, enc), what);
}

int cipherStep(OXL_LIBCTX *ctx, int ok, const char *what)
{
    return oxlCheck(ctx, ok == 1 ? 1 : 0, what);
}

} // namespace

const char *METAC_OBJ_nid2sn(OXL_LIBCTX *ctx, int n)
{
    if (ctx == nullptr)
        return nullptr;
    return oxlGot(ctx, OBJ_nid2sn(n), OXL_RC_PARAM, OXL_MIN_UNKNOWN, "Unknown type number");
}

const OXL_EVP_CIPHER *METAC_EVP_get_cipherbyname(OXL_LIBCTX *ctx, const char *name)
{
    return reinterpret_cast<const OXL_EVP_CIPHER *>(
        lookUp(ctx, ctx != nullptr ? ctx->ciphers : nullptr, name, EVP_CIPHER_fetch, EVP_CIPHER_is_a,
               approvedCipher, EVP_CIPHER_free));
}

const OXL_EVP_MD *METAC_EVP_get_digestbyname(OXL_LIBCTX *ctx, const char *name)
{
    return reinterpret_cast<const OXL_EVP_MD *>(lookUp(ctx, ctx != nullptr ? ctx->digests : nullptr, name,
                                                       EVP_MD_fetch, EVP_MD_is_a, approvedDigest, EVP_MD_free));
}

OXL_EVP_CIPHER_CTX *METAC_EVP_CIPHER_CTX_new(OXL_LIBCTX *ctx)
{
    return ctx != nullptr ? oxlNew<OXL_EVP_CIPHER_CTX>(ctx, EVP_CIPHER_CTX_new()) : nullptr;
}

void METAC_EVP_CIPHER_CTX_free(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c)
{
    EVP_CIPHER_CTX_free(cctx(c));   // clears the key schedule before freeing
    if (ctx != nullptr)
        oxlOk(ctx);
}

void METAC_EVP_CIPHER_CTX_init(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c)
{
    if (ctx != nullptr && oxlPresent(ctx, c))
        oxlCheck(ctx, EVP_CIPHER_CTX_reset(cctx(c)), "EVP_CIPHER_CTX_init");
}

int METAC_EVP_CIPHER_CTX_cleanup(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return 0;
    return oxlCheck(ctx, EVP_CIPHER_CTX_reset(cctx(c)), "EVP_CIPHER_CTX_cleanup");
}

int METAC_EVP_CIPHER_CTX_set_key_length(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c, int keylen)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return 0;
    return cipherStep(ctx, EVP_CIPHER_CTX_set_key_length(cctx(c), keylen), "EVP_CIPHER_CTX_set_key_length");
}

int METAC_EVP_CIPHER_CTX_set_padding(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c, int pad)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return 0;
    return cipherStep(ctx, EVP_CIPHER_CTX_set_padding(cctx(c), pad), "EVP_CIPHER_CTX_set_padding");
}

int METAC_EVP_CIPHER_block_size(OXL_LIBCTX *ctx, const OXL_EVP_CIPHER *c)
{
    return oxlAlgValue<EVP_CIPHER>(ctx, c, EVP_CIPHER_get_block_size);
}

int METAC_EVP_CIPHER_key_length(OXL_LIBCTX *ctx, const OXL_EVP_CIPHER *c)
{
    return oxlAlgValue<EVP_CIPHER>(ctx, c, EVP_CIPHER_get_key_length);
}

int METAC_EVP_CIPHER_iv_length(OXL_LIBCTX *ctx, const OXL_EVP_CIPHER *c)
{
    return oxlAlgValue<EVP_CIPHER>(ctx, c, EVP_CIPHER_get_iv_length);
}

int METAC_EVP_CIPHER_type(OXL_LIBCTX *ctx, const OXL_EVP_CIPHER *c) { return oxlAlgValue<EVP_CIPHER>(ctx, c, EVP_CIPHER_get_type); }

const OXL_EVP_CIPHER *METAC_EVP_CIPHER_CTX_cipher(OXL_LIBCTX *ctx, const OXL_EVP_CIPHER_CTX *c)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return nullptr;
    const EVP_CIPHER *cipher = oxlGot(ctx, EVP_CIPHER_CTX_get0_cipher(cctx(c)), OXL_RC_PARAM, OXL_MIN_PARAM,
                                      "Cipher context has no cipher");
    return reinterpret_cast<const OXL_EVP_CIPHER *>(cipher);
}

int METAC_EVP_CIPHER_CTX_ctrl(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c, int type, int arg, void *ptr)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return 0;
    int rc = EVP_CIPHER_CTX_ctrl(cctx(c), type, arg, ptr);
    if (rc <= 0)
        oxlFailCrypto(ctx, "EVP_CIPHER_CTX_ctrl");
    else
        oxlOk(ctx);
    return rc;
}

int METAC_EVP_EncryptInit(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c, const OXL_EVP_CIPHER *cipher,
                          const unsigned char *key, const unsigned char *iv)
{
    return cipherInit(ctx, c, cipher, key, iv, 1, "EVP_EncryptInit");
}

int METAC_EVP_DecryptInit(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c, const OXL_EVP_CIPHER *cipher,
                          const unsigned char *key, const unsigned char *iv)
{
    return cipherInit(ctx, c, cipher, key, iv, 0, "EVP_DecryptInit");
}

int METAC_EVP_EncryptUpdate(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c, unsigned char *out, int *outl,
                            const unsigned char *in, int inl)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return 0;
    return cipherStep(ctx, EVP_EncryptUpdate(cctx(c), out, outl, in, inl), "EVP_EncryptUpdate");
}

int METAC_EVP_DecryptUpdate(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c, unsigned char *out, int *outl,
                            const unsigned char *in, int inl)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return 0;
    return cipherStep(ctx, EVP_DecryptUpdate(cctx(c), out, outl, in, inl), "EVP_DecryptUpdate");
}

int METAC_EVP_EncryptFinal(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c, unsigned char *out, int *outl)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return 0;
    return cipherStep(ctx, EVP_EncryptFinal_ex(cctx(c), out, outl), "EVP_EncryptFinal");
}

int METAC_EVP_DecryptFinal(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *c, unsigned char *out, int *outl)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return 0;
    return cipherStep(ctx, EVP_DecryptFinal_ex(cctx(c), out, outl), "EVP_DecryptFinal");
}
