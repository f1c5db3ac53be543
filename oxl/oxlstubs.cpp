// Entry points that this library exports but does not carry out: the program
// never calls them. Each one reports "not supported" through the status.
#include "oxl/oxlint.h"

int METAC_DES_random_key(OXL_LIBCTX *ctx, unsigned char *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DES_random_key");
    return 0;
}

void METAC_DES_set_odd_parity(OXL_LIBCTX *ctx, unsigned char *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DES_set_odd_parity");
}

int METAC_EVP_OpenInit(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *, const OXL_EVP_CIPHER *, const unsigned char *, int, const unsigned char *, OXL_EVP_PKEY *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_OpenInit");
    return 0;
}

int METAC_EVP_OpenFinal(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *, unsigned char *, int *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_OpenFinal");
    return 0;
}

int METAC_EVP_SealInit(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *, const OXL_EVP_CIPHER *, unsigned char **, int *, unsigned char *, OXL_EVP_PKEY **, int)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_SealInit");
    return 0;
}

int METAC_EVP_SealFinal(OXL_LIBCTX *ctx, OXL_EVP_CIPHER_CTX *, unsigned char *, int *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_SealFinal");
    return 0;
}

int METAC_EVP_SignFinal(OXL_LIBCTX *ctx, OXL_EVP_MD_CTX *, unsigned char *, unsigned int *, OXL_EVP_PKEY *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_SignFinal");
    return 0;
}

int METAC_EVP_VerifyFinal(OXL_LIBCTX *ctx, OXL_EVP_MD_CTX *, const unsigned char *, unsigned int, OXL_EVP_PKEY *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_VerifyFinal");
    return 0;
}

int METAC_EVP_PKEY_decrypt(OXL_LIBCTX *ctx, unsigned char *, const unsigned char *, int, OXL_EVP_PKEY *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_PKEY_decrypt");
    return 0;
}

int METAC_EVP_PKEY_encrypt(OXL_LIBCTX *ctx, unsigned char *, const unsigned char *, int, OXL_EVP_PKEY *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_PKEY_encrypt");
    return 0;
}

int METAC_EVP_PKEY_bits(OXL_LIBCTX *ctx, const OXL_EVP_PKEY *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_PKEY_bits");
    return 0;
}

int METAC_EVP_PKEY_size(OXL_LIBCTX *ctx, const OXL_EVP_PKEY *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_PKEY_size");
    return 0;
}

OXL_EVP_PKEY *METAC_EVP_PKEY_new(OXL_LIBCTX *ctx)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_PKEY_new");
    return nullptr;
}

void METAC_EVP_PKEY_free(OXL_LIBCTX *ctx, OXL_EVP_PKEY *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_PKEY_free");
}

int METAC_EVP_PKEY_set1_RSA(OXL_LIBCTX *ctx, OXL_EVP_PKEY *, OXL_RSA *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_PKEY_set1_RSA");
    return 0;
}

OXL_RSA *METAC_EVP_PKEY_get1_RSA(OXL_LIBCTX *ctx, OXL_EVP_PKEY *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_PKEY_get1_RSA");
    return nullptr;
}

OXL_EVP_PKEY *METAC_d2i_PrivateKey(OXL_LIBCTX *ctx, int, OXL_EVP_PKEY **, const unsigned char **, long)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "d2i_PrivateKey");
    return nullptr;
}

OXL_EVP_PKEY *METAC_d2i_PublicKey(OXL_LIBCTX *ctx, int, OXL_EVP_PKEY **, const unsigned char **, long)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "d2i_PublicKey");
    return nullptr;
}

OXL_RSA *METAC_RSA_new(OXL_LIBCTX *ctx)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "RSA_new");
    return nullptr;
}

OXL_RSA *METAC_RSA_generate_key(OXL_LIBCTX *ctx, int, unsigned long, OXL_GENCB, void *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "RSA_generate_key");
    return nullptr;
}

int METAC_RSA_check_key(OXL_LIBCTX *ctx, const OXL_RSA *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "RSA_check_key");
    return 0;
}

void METAC_RSA_free(OXL_LIBCTX *ctx, OXL_RSA *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "RSA_free");
}

int METAC_RSA_private_encrypt(OXL_LIBCTX *ctx, int, const unsigned char *, unsigned char *, OXL_RSA *, int)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "RSA_private_encrypt");
    return -1;
}

int METAC_RSA_private_decrypt(OXL_LIBCTX *ctx, int, const unsigned char *, unsigned char *, OXL_RSA *, int)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "RSA_private_decrypt");
    return -1;
}

int METAC_RSA_public_encrypt(OXL_LIBCTX *ctx, int, const unsigned char *, unsigned char *, OXL_RSA *, int)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "RSA_public_encrypt");
    return -1;
}

int METAC_RSA_public_decrypt(OXL_LIBCTX *ctx, int, const unsigned char *, unsigned char *, OXL_RSA *, int)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "RSA_public_decrypt");
    return -1;
}

int METAC_i2d_RSAPrivateKey(OXL_LIBCTX *ctx, const OXL_RSA *, unsigned char **)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "i2d_RSAPrivateKey");
    return 0;
}

int METAC_i2d_RSAPublicKey(OXL_LIBCTX *ctx, const OXL_RSA *, unsigned char **)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "i2d_RSAPublicKey");
    return 0;
}

int METAC_EVP_PKEY_set1_DH(OXL_LIBCTX *ctx, OXL_EVP_PKEY *, OXL_DH *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_PKEY_set1_DH");
    return 0;
}

OXL_DH *METAC_EVP_PKEY_get1_DH(OXL_LIBCTX *ctx, OXL_EVP_PKEY *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_PKEY_get1_DH");
    return nullptr;
}

OXL_DH *METAC_DH_new(OXL_LIBCTX *ctx)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DH_new");
    return nullptr;
}

int METAC_DH_generate_key(OXL_LIBCTX *ctx, OXL_DH *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DH_generate_key");
    return 0;
}

int METAC_DH_check(OXL_LIBCTX *ctx, const OXL_DH *, int *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DH_check");
    return 0;
}

void METAC_DH_free(OXL_LIBCTX *ctx, OXL_DH *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DH_free");
}

int METAC_DH_size(OXL_LIBCTX *ctx, const OXL_DH *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DH_size");
    return 0;
}

int METAC_DH_compute_key(OXL_LIBCTX *ctx, unsigned char *, const OXL_BIGNUM *, OXL_DH *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DH_compute_key");
    return 0;
}

OXL_DH *METAC_DH_generate_parameters(OXL_LIBCTX *ctx, int, int, OXL_GENCB, void *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DH_generate_parameters");
    return nullptr;
}

const OXL_BIGNUM *METAC_DH_get_PublicKey(OXL_LIBCTX *ctx, const OXL_DH *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DH_get_PublicKey");
    return nullptr;
}

OXL_DH *METAC_d2i_DHparams(OXL_LIBCTX *ctx, OXL_DH **, const unsigned char **, long)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "d2i_DHparams");
    return nullptr;
}

int METAC_i2d_DHparams(OXL_LIBCTX *ctx, const OXL_DH *, unsigned char **)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "i2d_DHparams");
    return 0;
}

int METAC_EVP_PKEY_set1_DSA(OXL_LIBCTX *ctx, OXL_EVP_PKEY *, OXL_DSA *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_PKEY_set1_DSA");
    return 0;
}

OXL_DSA *METAC_EVP_PKEY_get1_DSA(OXL_LIBCTX *ctx, OXL_EVP_PKEY *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "EVP_PKEY_get1_DSA");
    return nullptr;
}

OXL_DH *METAC_DSA_dup_DH(OXL_LIBCTX *ctx, const OXL_DSA *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DSA_dup_DH");
    return nullptr;
}

int METAC_DSA_sign(OXL_LIBCTX *ctx, int, const unsigned char *, int, unsigned char *, unsigned int *, OXL_DSA *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DSA_sign");
    return 0;
}

int METAC_DSA_verify(OXL_LIBCTX *ctx, int, const unsigned char *, int, const unsigned char *, int, OXL_DSA *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DSA_verify");
    return 0;
}

int METAC_DSA_size(OXL_LIBCTX *ctx, const OXL_DSA *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DSA_size");
    return 0;
}

OXL_DSA *METAC_DSA_new(OXL_LIBCTX *ctx)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DSA_new");
    return nullptr;
}

void METAC_DSA_free(OXL_LIBCTX *ctx, OXL_DSA *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DSA_free");
}

int METAC_DSA_generate_key(OXL_LIBCTX *ctx, OXL_DSA *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DSA_generate_key");
    return 0;
}

OXL_DSA *METAC_DSA_generate_parameters(OXL_LIBCTX *ctx, int, unsigned char *, int, int *, unsigned long *, OXL_GENCB, void *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "DSA_generate_parameters");
    return nullptr;
}

OXL_DSA *METAC_d2i_DSAparams(OXL_LIBCTX *ctx, OXL_DSA **, const unsigned char **, long)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "d2i_DSAparams");
    return nullptr;
}

int METAC_i2d_DSAparams(OXL_LIBCTX *ctx, const OXL_DSA *, unsigned char **)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "i2d_DSAparams");
    return 0;
}

OXL_DSA *METAC_d2i_DSAPublicKey(OXL_LIBCTX *ctx, OXL_DSA **, const unsigned char **, long)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "d2i_DSAPublicKey");
    return nullptr;
}

int METAC_i2d_DSAPublicKey(OXL_LIBCTX *ctx, const OXL_DSA *, unsigned char **)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "i2d_DSAPublicKey");
    return 0;
}

OXL_DSA *METAC_d2i_DSAPrivateKey(OXL_LIBCTX *ctx, OXL_DSA **, const unsigned char **, long)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "d2i_DSAPrivateKey");
    return nullptr;
}

int METAC_i2d_DSAPrivateKey(OXL_LIBCTX *ctx, const OXL_DSA *, unsigned char **)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "i2d_DSAPrivateKey");
    return 0;
}

void METAC_RSA_blinding_off(OXL_LIBCTX *ctx, OXL_RSA *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "RSA_blinding_off");
}

int METAC_RSA_size(OXL_LIBCTX *ctx, const OXL_RSA *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "RSA_size");
    return 0;
}

OXL_HMAC_CTX *METAC_HMAC_CTX_new(OXL_LIBCTX *ctx)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "HMAC_CTX_new");
    return nullptr;
}

void METAC_HMAC_CTX_free(OXL_LIBCTX *ctx, OXL_HMAC_CTX *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "HMAC_CTX_free");
}

int METAC_HMAC_Init(OXL_LIBCTX *ctx, OXL_HMAC_CTX *, const void *, int, const OXL_EVP_MD *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "HMAC_Init");
    return 0;
}

int METAC_HMAC_Update(OXL_LIBCTX *ctx, OXL_HMAC_CTX *, const unsigned char *, size_t)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "HMAC_Update");
    return 0;
}

int METAC_HMAC_Final(OXL_LIBCTX *ctx, OXL_HMAC_CTX *, unsigned char *, unsigned int *)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "HMAC_Final");
    return 0;
}

OXL_DSA *METAC_d2i_DSA_PUBKEY(OXL_LIBCTX *ctx, OXL_DSA **, const unsigned char **, long)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "d2i_DSA_PUBKEY");
    return nullptr;
}

int METAC_i2d_DSA_PUBKEY(OXL_LIBCTX *ctx, const OXL_DSA *, unsigned char **)
{
    if (ctx != nullptr)
        oxlUnsupported(ctx, "i2d_DSA_PUBKEY");
    return 0;
}
