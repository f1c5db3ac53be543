// Random bytes, the error queue, Base64 coding and big numbers.
#include <cstring>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "oxl/oxlint.h"

namespace {
EVP_ENCODE_CTX *ectx(OXL_EVP_ENCODE_CTX *c) { return reinterpret_cast<EVP_ENCODE_CTX *>(c); }
BIGNUM *bn(OXL_BIGNUM *b) { return reinterpret_cast<BIGNUM *>(b); }
const BIGNUM *bn(const OXL_BIGNUM *b) { return reinterpret_cast<const BIGNUM *>(b); }
BN_CTX *bnc(OXL_BN_CTX *c) { return reinterpret_cast<BN_CTX *>(c); }

int randomBytes(OXL_LIBCTX *ctx, unsigned char *buf, int num, const char *what)
{
    if (ctx == nullptr || !oxlReady(ctx))
        return 0;
    if (num < 0 || (num > 0 && buf == nullptr)) {
        oxlFail(ctx, OXL_RC_PARAM, OXL_MIN_PARAM, "Invalid buffer");
        return 0;
    }
    return oxlCheck(ctx, RAND_bytes_ex(ctx->ossl, buf, static_cast<size_t>(num), 0), what);
}
} // namespace

int METAC_RAND_bytes(OXL_LIBCTX *ctx, unsigned char *buf, int num) { return randomBytes(ctx, buf, num, "RAND_bytes"); }

void METAC_RAND_seed(OXL_LIBCTX *ctx, const void *buf, int num)
{
    if (ctx == nullptr)
        return;
    if (buf != nullptr && num > 0)
        RAND_seed(buf, num);
    oxlOk(ctx);
}

int METAC_GenerateRandomSeed(OXL_LIBCTX *ctx, OXL_STATUS *status, unsigned char *buf, int num)
{
    if (ctx == nullptr || status == nullptr)
        return 0;
    int rc = randomBytes(ctx, buf, num, "GenerateRandomSeed");
    *status = ctx->last;
    return rc;
}

unsigned long METAC_ERR_get_error(OXL_LIBCTX *) { return ERR_get_error(); }
unsigned long METAC_ERR_peek_error(OXL_LIBCTX *) { return ERR_peek_error(); }
unsigned long METAC_ERR_peek_last_error(OXL_LIBCTX *) { return ERR_peek_last_error(); }

char *METAC_ERR_error_string(OXL_LIBCTX *ctx, unsigned long e, char *buf)
{
    // Without a buffer the caller would get a shared static text: refused.
    if (ctx == nullptr || !oxlPresent(ctx, buf))
        return nullptr;
    ERR_error_string_n(e, buf, 256);
    oxlOk(ctx);
    return buf;
}

void METAC_ERR_error_string_n(OXL_LIBCTX *ctx, unsigned long e, char *buf, size_t len)
{
    if (ctx == nullptr || !oxlPresent(ctx, buf))
        return;
    ERR_error_string_n(e, buf, len);
    oxlOk(ctx);
}

const char *METAC_ERR_lib_error_string(OXL_LIBCTX *, unsigned long e) { return ERR_lib_error_string(e); }

const char *METAC_ERR_func_error_string(OXL_LIBCTX *ctx, unsigned long)
{
    // libcrypto no longer records function names.
    if (ctx != nullptr)
        oxlUnsupported(ctx, "ERR_func_error_string");
    return nullptr;
}

const char *METAC_ERR_reason_error_string(OXL_LIBCTX *, unsigned long e) { return ERR_reason_error_string(e); }

void METAC_ERR_clear_error(OXL_LIBCTX *) { ERR_clear_error(); }

void METAC_ERR_remove_state(OXL_LIBCTX *, unsigned long)
{
    // libcrypto frees each thread's error state itself.
}

OXL_EVP_ENCODE_CTX *METAC_EVP_ENCODE_CTX_new(OXL_LIBCTX *ctx)
{
    return ctx != nullptr ? oxlNew<OXL_EVP_ENCODE_CTX>(ctx, EVP_ENCODE_CTX_new()) : nullptr;
}

void METAC_EVP_ENCODE_CTX_free(OXL_LIBCTX *, OXL_EVP_ENCODE_CTX *c) { EVP_ENCODE_CTX_free(ectx(c)); }

void METAC_EVP_EncodeInit(OXL_LIBCTX *ctx, OXL_EVP_ENCODE_CTX *c)
{
    if (ctx != nullptr && oxlPresent(ctx, c)) {
        EVP_EncodeInit(ectx(c));
        oxlOk(ctx);
    }
}

int METAC_EVP_EncodeUpdate(OXL_LIBCTX *ctx, OXL_EVP_ENCODE_CTX *c, unsigned char *out, int *outl,
                           const unsigned char *in, int inl)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return 0;
    return oxlCheck(ctx, EVP_EncodeUpdate(ectx(c), out, outl, in, inl), "EVP_EncodeUpdate");
}

void METAC_EVP_EncodeFinal(OXL_LIBCTX *ctx, OXL_EVP_ENCODE_CTX *c, unsigned char *out, int *outl)
{
    if (ctx != nullptr && oxlPresent(ctx, c)) {
        EVP_EncodeFinal(ectx(c), out, outl);
        oxlOk(ctx);
    }
}

void METAC_EVP_DecodeInit(OXL_LIBCTX *ctx, OXL_EVP_ENCODE_CTX *c)
{
    if (ctx != nullptr && oxlPresent(ctx, c)) {
        EVP_DecodeInit(ectx(c));
        oxlOk(ctx);
    }
}

int METAC_EVP_DecodeUpdate(OXL_LIBCTX *ctx, OXL_EVP_ENCODE_CTX *c, unsigned char *out, int *outl,
                           const unsigned char *in, int inl)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return -1;
    int rc = EVP_DecodeUpdate(ectx(c), out, outl, in, inl);
    if (rc < 0)
        oxlFailCrypto(ctx, "EVP_DecodeUpdate");
    else
        oxlOk(ctx);
    return rc;
}

int METAC_EVP_DecodeFinal(OXL_LIBCTX *ctx, OXL_EVP_ENCODE_CTX *c, unsigned char *out, int *outl)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return -1;
    int rc = EVP_DecodeFinal(ectx(c), out, outl);
    if (rc < 0)
        oxlFailCrypto(ctx, "EVP_DecodeFinal");
    else
        oxlOk(ctx);
    return rc;
}

int METAC_EVP_EncodeBlock(OXL_LIBCTX *ctx, unsigned char *t, const unsigned char *f, int n)
{
    if (ctx == nullptr || !oxlPresent(ctx, t) || n < 0 || (n > 0 && !oxlPresent(ctx, f)))
        return -1;
    oxlOk(ctx);
    return EVP_EncodeBlock(t, f, n);
}

int METAC_EVP_DecodeBlock(OXL_LIBCTX *ctx, unsigned char *t, const unsigned char *f, int n)
{
    if (ctx == nullptr || !oxlPresent(ctx, t) || n < 0 || (n > 0 && !oxlPresent(ctx, f)))
        return -1;
    int rc = EVP_DecodeBlock(t, f, n);
    if (rc < 0)
        oxlFailCrypto(ctx, "EVP_DecodeBlock");
    else
        oxlOk(ctx);
    return rc;
}

int METAC_BN_bn2bin(OXL_LIBCTX *ctx, const OXL_BIGNUM *a, unsigned char *to)
{
    if (ctx == nullptr || !oxlPresent(ctx, a) || !oxlPresent(ctx, to))
        return 0;
    oxlOk(ctx);
    return BN_bn2bin(bn(a), to);
}

OXL_BIGNUM *METAC_BN_bin2bn(OXL_LIBCTX *ctx, const unsigned char *s, int len, OXL_BIGNUM *ret)
{
    if (ctx == nullptr)
        return nullptr;
    BIGNUM *r = BN_bin2bn(s, len, bn(ret));
    if (r == nullptr)
        oxlFailCrypto(ctx, "BN_bin2bn");
    else
        oxlOk(ctx);
    return reinterpret_cast<OXL_BIGNUM *>(r);
}

int METAC_BN_num_bits(OXL_LIBCTX *ctx, const OXL_BIGNUM *a)
{
    if (ctx == nullptr || !oxlPresent(ctx, a))
        return 0;
    oxlOk(ctx);
    return BN_num_bits(bn(a));
}

OXL_BIGNUM *METAC_BN_new(OXL_LIBCTX *ctx)
{
    return ctx != nullptr ? oxlNew<OXL_BIGNUM>(ctx, BN_new()) : nullptr;
}

void METAC_BN_clear_free(OXL_LIBCTX *, OXL_BIGNUM *a) { BN_clear_free(bn(a)); }

OXL_BN_CTX *METAC_BN_CTX_new(OXL_LIBCTX *ctx)
{
    return ctx != nullptr ? oxlNew<OXL_BN_CTX>(ctx, BN_CTX_new_ex(ctx->ossl)) : nullptr;
}

void METAC_BN_CTX_free(OXL_LIBCTX *, OXL_BN_CTX *c) { BN_CTX_free(bnc(c)); }

int METAC_BN_mod_exp(OXL_LIBCTX *ctx, OXL_BIGNUM *r, const OXL_BIGNUM *a, const OXL_BIGNUM *p, const OXL_BIGNUM *m,
                     OXL_BN_CTX *c)
{
    if (ctx == nullptr || !oxlPresent(ctx, r) || !oxlPresent(ctx, a) || !oxlPresent(ctx, p) || !oxlPresent(ctx, m) ||
        !oxlPresent(ctx, c))
        return 0;
    return oxlCheck(ctx, BN_mod_exp(bn(r), bn(a), bn(p), bn(m), bnc(c)), "BN_mod_exp");
}

int METAC_BN_div(OXL_LIBCTX *ctx, OXL_BIGNUM *dv, OXL_BIGNUM *rem, const OXL_BIGNUM *m, const OXL_BIGNUM *d,
                 OXL_BN_CTX *c)
{
    if (ctx == nullptr || !oxlPresent(ctx, m) || !oxlPresent(ctx, d) || !oxlPresent(ctx, c))
        return 0;
    return oxlCheck(ctx, BN_div(bn(dv), bn(rem), bn(m), bn(d), bnc(c)), "BN_div");
}
