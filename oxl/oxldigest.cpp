// The EVP digest entry points.
#include <openssl/err.h>
#include <openssl/evp.h>

#include "oxl/oxlint.h"

namespace {
EVP_MD_CTX *mctx(OXL_EVP_MD_CTX *c) { return reinterpret_cast<EVP_MD_CTX *>(c); }
const EVP_MD *mdp(const OXL_EVP_MD *m) { return reinterpret_cast<const EVP_MD *>(m); }

} // namespace

OXL_EVP_MD_CTX *METAC_EVP_MD_CTX_new(OXL_LIBCTX *ctx)
{
    return ctx != nullptr ? oxlNew<OXL_EVP_MD_CTX>(ctx, EVP_MD_CTX_new()) : nullptr;
}

void METAC_EVP_MD_CTX_free(OXL_LIBCTX *ctx, OXL_EVP_MD_CTX *c)
{
    EVP_MD_CTX_free(mctx(c));
    if (ctx != nullptr)
        oxlOk(ctx);
}

int METAC_EVP_MD_CTX_copy(OXL_LIBCTX *ctx, OXL_EVP_MD_CTX *out, const OXL_EVP_MD_CTX *in)
{
    if (ctx == nullptr || !oxlPresent(ctx, out) || !oxlPresent(ctx, in))
        return 0;
    return oxlCheck(ctx, EVP_MD_CTX_copy_ex(mctx(out), reinterpret_cast<const EVP_MD_CTX *>(in)),
                    "EVP_MD_CTX_copy");
}

void METAC_EVP_MD_CTX_init(OXL_LIBCTX *ctx, OXL_EVP_MD_CTX *c)
{
    if (ctx != nullptr && oxlPresent(ctx, c))
        oxlCheck(ctx, EVP_MD_CTX_reset(mctx(c)), "EVP_MD_CTX_init");
}

int METAC_EVP_MD_CTX_cleanup(OXL_LIBCTX *ctx, OXL_EVP_MD_CTX *c)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return 0;
    return oxlCheck(ctx, EVP_MD_CTX_reset(mctx(c)), "EVP_MD_CTX_cleanup");
}

int METAC_EVP_MD_type(OXL_LIBCTX *ctx, const OXL_EVP_MD *md) { return oxlAlgValue<EVP_MD>(ctx, md, EVP_MD_get_type); }

int METAC_EVP_MD_size(OXL_LIBCTX *ctx, const OXL_EVP_MD *md) { return oxlAlgValue<EVP_MD>(ctx, md, EVP_MD_get_size); }

int METAC_EVP_MD_block_size(OXL_LIBCTX *ctx, const OXL_EVP_MD *md) { return oxlAlgValue<EVP_MD>(ctx, md, EVP_MD_get_block_size); }

const OXL_EVP_MD *METAC_EVP_MD_CTX_md(OXL_LIBCTX *ctx, const OXL_EVP_MD_CTX *c)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return nullptr;
    const EVP_MD *md = oxlGot(ctx, EVP_MD_CTX_get0_md(reinterpret_cast<const EVP_MD_CTX *>(c)), OXL_RC_PARAM,
                              OXL_MIN_PARAM, "Digest context has no digest");
    return reinterpret_cast<const OXL_EVP_MD *>(md);
}

int METAC_EVP_DigestInit(OXL_LIBCTX *ctx, OXL_EVP_MD_CTX *c, const OXL_EVP_MD *md)
{
    if (ctx == nullptr || !oxlReady(ctx) || !oxlPresent(ctx, c))
        return 0;
    return oxlCheck(ctx, EVP_DigestInit_ex(mctx(c), mdp(md), nullptr), "EVP_DigestInit");
}

int METAC_EVP_DigestUpdate(OXL_LIBCTX *ctx, OXL_EVP_MD_CTX *c, const void *d, size_t cnt)
{
    if (ctx == nullptr || !oxlPresent(ctx, c))
        return 0;
    return oxlCheck(ctx, EVP_DigestUpdate(mctx(c), d, cnt), "EVP_DigestUpdate");
}

int METAC_EVP_DigestFinal(OXL_LIBCTX *ctx, OXL_EVP_MD_CTX *c, unsigned char *md, unsigned int *s)
{
    if (ctx == nullptr || !oxlPresent(ctx, c) || !oxlPresent(ctx, md))
        return 0;
    return oxlCheck(ctx, EVP_DigestFinal_ex(mctx(c), md, s), "EVP_DigestFinal");
}
