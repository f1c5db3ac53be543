// The interface between the program and the run-time crypto library liboxllib.so:
// the status record, the value ids, the opaque handle types and the one list of
// the 139 entry points with their signatures. The loader builds its entry table
// and its wrappers from this list and the library its exports, so the two agree
// on every name, argument order and result.
#pragma once

#include <cstddef>
#include <cstdint>

// Outcome of a library or loader call.
struct OXL_STATUS {
    uint32_t majRC;    // 0 success, 1 success with remark, 2 and above failure
    uint32_t minRC;    // detail code
    char desc[256];    // NUL-terminated, at most 255 characters ("OK" on success)
    int32_t mode;      // -1 when the loader rejected its arguments or a missing context
};
static_assert(sizeof(OXL_STATUS) == 268, "the status record is 268 bytes");

// Failure classes of majRC.
inline constexpr uint32_t OXL_RC_OK = 0;
inline constexpr uint32_t OXL_RC_REMARK = 1;
inline constexpr uint32_t OXL_RC_PARAM = 2;      // parameter and loading failures
inline constexpr uint32_t OXL_RC_CRYPTO = 3;     // the cryptographic operation failed
inline constexpr uint32_t OXL_RC_SYSTEM = 4;     // operating-system and memory failures

// Value ids of METAC_SetValue and METAC_GetValue.
inline constexpr int OXL_FIPS_APPROVED_MODE = 0;   // "on" or "off"
inline constexpr int OXL_BUILD_ID = 1;             // read only: the build the library came from
inline constexpr int OXL_VERSION = 2;              // read only: version text

// Length of each integrity value handed to METAC_lib_init, in hexadecimal digits.
inline constexpr size_t OXL_INTEGRITY_DIGITS = 512;

// Version text of this library (OXL_VERSION); it is not a validated module.
#define OXL_VERSION_TEXT "oxllib 1.0 over libcrypto, not a validated module"

// Where the shared object lies below a library directory.
inline constexpr char OXL_LIBRARY_SUBPATH[] = "/oxl/oxllib/liboxllib.so";

// Opaque handles. The library's own context and the objects it hands out are
// known to the program only by pointer.
struct OXL_LIBCTX;
struct OXL_EVP_CIPHER;
struct OXL_EVP_CIPHER_CTX;
struct OXL_EVP_MD;
struct OXL_EVP_MD_CTX;
struct OXL_EVP_ENCODE_CTX;
struct OXL_EVP_PKEY;
struct OXL_RSA;
struct OXL_DH;
struct OXL_DSA;
struct OXL_BIGNUM;
struct OXL_BN_CTX;
struct OXL_HMAC_CTX;
typedef void (*OXL_GENCB)(int, int, void *);

#define OXL_UNPACK(...) __VA_ARGS__

// The entry points in table order. Each row: result type, name (without the
// METAC_ prefix), the loader's failure value, whether the library carries the
// entry point out, the parameters after the library context (each with a
// leading comma) and the same names as arguments. OXL_VOID rows have no result.
// The library column is `own` for an entry point the library carries out, or
// `stub(result)` (`stub` in an OXL_VOID row) for one it only exports: the
// program never calls it, and the library answers "not supported" with result.
#define OXL_ENTRY_POINTS(OXL_FN, OXL_VOID)                                                                     \
    OXL_FN(int, GetStatus, -2, own, (, OXL_STATUS * status), (, status))                                       \
    OXL_FN(OXL_LIBCTX *, lib_init, nullptr, own,                                                               \
           (, OXL_STATUS * status, const char *directory, const char *oxllibhash, const char *cryptolibhash),  \
           (, status, directory, oxllibhash, cryptolibhash))                                                   \
    OXL_FN(int, SetValue, -2, own, (, OXL_STATUS * status, int id, const char *value), (, status, id, value))  \
    OXL_FN(int, GetValue, -2, own, (, OXL_STATUS * status, int id, char *buf, int size), (, status, id, buf, size)) \
    OXL_FN(int, Attach, -2, own, (, OXL_STATUS * status), (, status))                                          \
    OXL_FN(int, lib_cleanup, -2, own, (, OXL_STATUS * status), (, status))                                     \
    OXL_FN(int, SelfTest, -2, own, (, OXL_STATUS * status), (, status))                                        \
    OXL_FN(int, MemCheck_start, -2, own, (, OXL_STATUS * status), (, status))                                  \
    OXL_FN(int, MemCheck_stop, -2, own, (, OXL_STATUS * status), (, status))                                   \
    OXL_FN(const char *, OBJ_nid2sn, nullptr, own, (, int n), (, n))                                           \
    OXL_FN(const OXL_EVP_CIPHER *, EVP_get_cipherbyname, nullptr, own, (, const char *name), (, name))         \
    OXL_FN(const OXL_EVP_MD *, EVP_get_digestbyname, nullptr, own, (, const char *name), (, name))             \
    OXL_FN(OXL_EVP_MD_CTX *, EVP_MD_CTX_new, nullptr, own, (), ())                                             \
    OXL_VOID(EVP_MD_CTX_free, own, (, OXL_EVP_MD_CTX * ctx), (, ctx))                                          \
    OXL_FN(int, EVP_MD_CTX_copy, -2, own, (, OXL_EVP_MD_CTX * out, const OXL_EVP_MD_CTX *in), (, out, in))     \
    OXL_VOID(EVP_MD_CTX_init, own, (, OXL_EVP_MD_CTX * ctx), (, ctx))                                          \
    OXL_FN(int, EVP_MD_CTX_cleanup, -2, own, (, OXL_EVP_MD_CTX * ctx), (, ctx))                                \
    OXL_FN(int, EVP_MD_type, -2, own, (, const OXL_EVP_MD *md), (, md))                                        \
    OXL_FN(int, EVP_MD_size, -2, own, (, const OXL_EVP_MD *md), (, md))                                        \
    OXL_FN(int, EVP_MD_block_size, -2, own, (, const OXL_EVP_MD *md), (, md))                                  \
    OXL_FN(const OXL_EVP_MD *, EVP_MD_CTX_md, nullptr, own, (, const OXL_EVP_MD_CTX *ctx), (, ctx))            \
    OXL_FN(int, EVP_DigestInit, -2, own, (, OXL_EVP_MD_CTX * ctx, const OXL_EVP_MD *md), (, ctx, md))          \
    OXL_FN(int, EVP_DigestUpdate, -2, own, (, OXL_EVP_MD_CTX * ctx, const void *d, size_t cnt), (, ctx, d, cnt)) \
    OXL_FN(int, EVP_DigestFinal, -2, own, (, OXL_EVP_MD_CTX * ctx, unsigned char *md, unsigned int *s),        \
           (, ctx, md, s))                                                                                     \
    OXL_FN(OXL_EVP_CIPHER_CTX *, EVP_CIPHER_CTX_new, nullptr, own, (), ())                                     \
    OXL_VOID(EVP_CIPHER_CTX_free, own, (, OXL_EVP_CIPHER_CTX * ctx), (, ctx))                                  \
    OXL_VOID(EVP_CIPHER_CTX_init, own, (, OXL_EVP_CIPHER_CTX * ctx), (, ctx))                                  \
    OXL_FN(int, EVP_CIPHER_CTX_cleanup, -2, own, (, OXL_EVP_CIPHER_CTX * ctx), (, ctx))                        \
    OXL_FN(int, EVP_CIPHER_CTX_set_key_length, -2, own, (, OXL_EVP_CIPHER_CTX * ctx, int keylen), (, ctx, keylen)) \
    OXL_FN(int, EVP_CIPHER_CTX_set_padding, -2, own, (, OXL_EVP_CIPHER_CTX * ctx, int pad), (, ctx, pad))      \
    OXL_FN(int, EVP_CIPHER_block_size, -2, own, (, const OXL_EVP_CIPHER *cipher), (, cipher))                  \
    OXL_FN(int, EVP_CIPHER_key_length, -2, own, (, const OXL_EVP_CIPHER *cipher), (, cipher))                  \
    OXL_FN(int, EVP_CIPHER_iv_length, -2, own, (, const OXL_EVP_CIPHER *cipher), (, cipher))                   \
    OXL_FN(int, EVP_CIPHER_type, -2, own, (, const OXL_EVP_CIPHER *cipher), (, cipher))                        \
    OXL_FN(const OXL_EVP_CIPHER *, EVP_CIPHER_CTX_cipher, nullptr, own, (, const OXL_EVP_CIPHER_CTX *ctx), (, ctx)) \
    OXL_FN(int, DES_random_key, -2, stub(0), (, unsigned char *key), (, key))                                  \
    OXL_VOID(DES_set_odd_parity, stub, (, unsigned char *key), (, key))                                        \
    OXL_FN(int, EVP_EncryptInit, -2, own,                                                                      \
           (, OXL_EVP_CIPHER_CTX * ctx, const OXL_EVP_CIPHER *cipher, const unsigned char *key,                \
            const unsigned char *iv),                                                                          \
           (, ctx, cipher, key, iv))                                                                           \
    OXL_FN(int, EVP_EncryptUpdate, -2, own,                                                                    \
           (, OXL_EVP_CIPHER_CTX * ctx, unsigned char *out, int *outl, const unsigned char *in, int inl),      \
           (, ctx, out, outl, in, inl))                                                                        \
    OXL_FN(int, EVP_EncryptFinal, -2, own, (, OXL_EVP_CIPHER_CTX * ctx, unsigned char *out, int *outl),        \
           (, ctx, out, outl))                                                                                 \
    OXL_FN(int, EVP_DecryptInit, -2, own,                                                                      \
           (, OXL_EVP_CIPHER_CTX * ctx, const OXL_EVP_CIPHER *cipher, const unsigned char *key,                \
            const unsigned char *iv),                                                                          \
           (, ctx, cipher, key, iv))                                                                           \
    OXL_FN(int, EVP_DecryptUpdate, -2, own,                                                                    \
           (, OXL_EVP_CIPHER_CTX * ctx, unsigned char *out, int *outl, const unsigned char *in, int inl),      \
           (, ctx, out, outl, in, inl))                                                                        \
    OXL_FN(int, EVP_DecryptFinal, -2, own, (, OXL_EVP_CIPHER_CTX * ctx, unsigned char *out, int *outl),        \
           (, ctx, out, outl))                                                                                 \
    OXL_FN(int, EVP_OpenInit, -2, stub(0),                                                                     \
           (, OXL_EVP_CIPHER_CTX * ctx, const OXL_EVP_CIPHER *type, const unsigned char *ek, int ekl,          \
            const unsigned char *iv, OXL_EVP_PKEY *priv),                                                      \
           (, ctx, type, ek, ekl, iv, priv))                                                                   \
    OXL_FN(int, EVP_OpenFinal, -2, stub(0), (, OXL_EVP_CIPHER_CTX * ctx, unsigned char *out, int *outl),       \
           (, ctx, out, outl))                                                                                 \
    OXL_FN(int, EVP_SealInit, -2, stub(0),                                                                     \
           (, OXL_EVP_CIPHER_CTX * ctx, const OXL_EVP_CIPHER *type, unsigned char **ek, int *ekl,              \
            unsigned char *iv, OXL_EVP_PKEY **pubk, int npubk),                                                \
           (, ctx, type, ek, ekl, iv, pubk, npubk))                                                            \
    OXL_FN(int, EVP_SealFinal, -2, stub(0), (, OXL_EVP_CIPHER_CTX * ctx, unsigned char *out, int *outl),       \
           (, ctx, out, outl))                                                                                 \
    OXL_FN(int, EVP_SignFinal, -2, stub(0),                                                                    \
           (, OXL_EVP_MD_CTX * ctx, unsigned char *md, unsigned int *s, OXL_EVP_PKEY *pkey),                   \
           (, ctx, md, s, pkey))                                                                               \
    OXL_FN(int, EVP_VerifyFinal, -2, stub(0),                                                                  \
           (, OXL_EVP_MD_CTX * ctx, const unsigned char *sigbuf, unsigned int siglen, OXL_EVP_PKEY *pkey),     \
           (, ctx, sigbuf, siglen, pkey))                                                                      \
    OXL_FN(OXL_EVP_ENCODE_CTX *, EVP_ENCODE_CTX_new, nullptr, own, (), ())                                     \
    OXL_VOID(EVP_ENCODE_CTX_free, own, (, OXL_EVP_ENCODE_CTX * ctx), (, ctx))                                  \
    OXL_VOID(EVP_EncodeInit, own, (, OXL_EVP_ENCODE_CTX * ctx), (, ctx))                                       \
    OXL_FN(int, EVP_EncodeUpdate, -2, own,                                                                     \
           (, OXL_EVP_ENCODE_CTX * ctx, unsigned char *out, int *outl, const unsigned char *in, int inl),      \
           (, ctx, out, outl, in, inl))                                                                        \
    OXL_VOID(EVP_EncodeFinal, own, (, OXL_EVP_ENCODE_CTX * ctx, unsigned char *out, int *outl), (, ctx, out, outl)) \
    OXL_VOID(EVP_DecodeInit, own, (, OXL_EVP_ENCODE_CTX * ctx), (, ctx))                                       \
    OXL_FN(int, EVP_DecodeUpdate, -2, own,                                                                     \
           (, OXL_EVP_ENCODE_CTX * ctx, unsigned char *out, int *outl, const unsigned char *in, int inl),      \
           (, ctx, out, outl, in, inl))                                                                        \
    OXL_FN(int, EVP_DecodeFinal, -2, own, (, OXL_EVP_ENCODE_CTX * ctx, unsigned char *out, int *outl),         \
           (, ctx, out, outl))                                                                                 \
    OXL_FN(int, RAND_bytes, -2, own, (, unsigned char *buf, int num), (, buf, num))                            \
    OXL_VOID(RAND_seed, own, (, const void *buf, int num), (, buf, num))                                       \
    OXL_FN(int, EVP_PKEY_decrypt, -2, stub(0),                                                                 \
           (, unsigned char *decKey, const unsigned char *encKey, int encKeyLen, OXL_EVP_PKEY *priv),          \
           (, decKey, encKey, encKeyLen, priv))                                                                \
    OXL_FN(int, EVP_PKEY_encrypt, -2, stub(0),                                                                 \
           (, unsigned char *encKey, const unsigned char *key, int keyLen, OXL_EVP_PKEY *pub),                 \
           (, encKey, key, keyLen, pub))                                                                       \
    OXL_FN(int, EVP_PKEY_bits, -2, stub(0), (, const OXL_EVP_PKEY *pkey), (, pkey))                            \
    OXL_FN(int, EVP_PKEY_size, -2, stub(0), (, const OXL_EVP_PKEY *pkey), (, pkey))                            \
    OXL_FN(OXL_EVP_PKEY *, EVP_PKEY_new, nullptr, stub(nullptr), (), ())                                       \
    OXL_VOID(EVP_PKEY_free, stub, (, OXL_EVP_PKEY * pkey), (, pkey))                                           \
    OXL_FN(int, EVP_PKEY_set1_RSA, -2, stub(0), (, OXL_EVP_PKEY * pkey, OXL_RSA * key), (, pkey, key))         \
    OXL_FN(OXL_RSA *, EVP_PKEY_get1_RSA, nullptr, stub(nullptr), (, OXL_EVP_PKEY * pkey), (, pkey))            \
    OXL_FN(OXL_EVP_PKEY *, d2i_PrivateKey, nullptr, stub(nullptr),                                             \
           (, int type, OXL_EVP_PKEY **a, const unsigned char **pp, long length), (, type, a, pp, length))     \
    OXL_FN(OXL_EVP_PKEY *, d2i_PublicKey, nullptr, stub(nullptr),                                              \
           (, int type, OXL_EVP_PKEY **a, const unsigned char **pp, long length), (, type, a, pp, length))     \
    OXL_FN(OXL_RSA *, RSA_new, nullptr, stub(nullptr), (), ())                                                 \
    OXL_FN(OXL_RSA *, RSA_generate_key, nullptr, stub(nullptr), (, int bits, unsigned long e, OXL_GENCB cb, void *cbArg), \
           (, bits, e, cb, cbArg))                                                                             \
    OXL_FN(int, RSA_check_key, -2, stub(0), (, const OXL_RSA *rsa), (, rsa))                                   \
    OXL_VOID(RSA_free, stub, (, OXL_RSA * rsa), (, rsa))                                                       \
    OXL_FN(int, RSA_private_encrypt, -2, stub(-1),                                                             \
           (, int flen, const unsigned char *from, unsigned char *to, OXL_RSA *rsa, int padding),              \
           (, flen, from, to, rsa, padding))                                                                   \
    OXL_FN(int, RSA_private_decrypt, -2, stub(-1),                                                             \
           (, int flen, const unsigned char *from, unsigned char *to, OXL_RSA *rsa, int padding),              \
           (, flen, from, to, rsa, padding))                                                                   \
    OXL_FN(int, RSA_public_encrypt, -2, stub(-1),                                                              \
           (, int flen, const unsigned char *from, unsigned char *to, OXL_RSA *rsa, int padding),              \
           (, flen, from, to, rsa, padding))                                                                   \
    OXL_FN(int, RSA_public_decrypt, -2, stub(-1),                                                              \
           (, int flen, const unsigned char *from, unsigned char *to, OXL_RSA *rsa, int padding),              \
           (, flen, from, to, rsa, padding))                                                                   \
    OXL_FN(int, i2d_RSAPrivateKey, -2, stub(0), (, const OXL_RSA *rsa, unsigned char **pp), (, rsa, pp))       \
    OXL_FN(int, i2d_RSAPublicKey, -2, stub(0), (, const OXL_RSA *rsa, unsigned char **pp), (, rsa, pp))        \
    OXL_FN(unsigned long, ERR_get_error, 0, own, (), ())                                                       \
    OXL_FN(unsigned long, ERR_peek_error, 0, own, (), ())                                                      \
    OXL_FN(unsigned long, ERR_peek_last_error, 0, own, (), ())                                                 \
    OXL_FN(char *, ERR_error_string, nullptr, own, (, unsigned long e, char *buf), (, e, buf))                 \
    OXL_VOID(ERR_error_string_n, own, (, unsigned long e, char *buf, size_t len), (, e, buf, len))             \
    OXL_FN(const char *, ERR_lib_error_string, nullptr, own, (, unsigned long e), (, e))                       \
    OXL_FN(const char *, ERR_func_error_string, nullptr, own, (, unsigned long e), (, e))                      \
    OXL_FN(const char *, ERR_reason_error_string, nullptr, own, (, unsigned long e), (, e))                    \
    OXL_VOID(ERR_clear_error, own, (), ())                                                                     \
    OXL_VOID(ERR_remove_state, own, (, unsigned long pid), (, pid))                                            \
    OXL_FN(int, GenerateRandomSeed, -2, own, (, OXL_STATUS * status, unsigned char *buf, int num),             \
           (, status, buf, num))                                                                               \
    OXL_FN(int, EVP_PKEY_set1_DH, -2, stub(0), (, OXL_EVP_PKEY * pkey, OXL_DH * key), (, pkey, key))           \
    OXL_FN(OXL_DH *, EVP_PKEY_get1_DH, nullptr, stub(nullptr), (, OXL_EVP_PKEY * pkey), (, pkey))              \
    OXL_FN(OXL_DH *, DH_new, nullptr, stub(nullptr), (), ())                                                   \
    OXL_FN(int, DH_generate_key, -2, stub(0), (, OXL_DH * dh), (, dh))                                         \
    OXL_FN(int, DH_check, -2, stub(0), (, const OXL_DH *dh, int *codes), (, dh, codes))                        \
    OXL_VOID(DH_free, stub, (, OXL_DH * dh), (, dh))                                                           \
    OXL_FN(int, DH_size, -2, stub(0), (, const OXL_DH *dh), (, dh))                                            \
    OXL_FN(int, DH_compute_key, -2, stub(0), (, unsigned char *key, const OXL_BIGNUM *pubKey, OXL_DH *dh),     \
           (, key, pubKey, dh))                                                                                \
    OXL_FN(OXL_DH *, DH_generate_parameters, nullptr, stub(nullptr), (, int primeLen, int generator, OXL_GENCB cb, void *cbArg), \
           (, primeLen, generator, cb, cbArg))                                                                 \
    OXL_FN(const OXL_BIGNUM *, DH_get_PublicKey, nullptr, stub(nullptr), (, const OXL_DH *dh), (, dh))         \
    OXL_FN(OXL_DH *, d2i_DHparams, nullptr, stub(nullptr), (, OXL_DH * *a, const unsigned char **pp, long length), \
           (, a, pp, length))                                                                                  \
    OXL_FN(int, i2d_DHparams, -2, stub(0), (, const OXL_DH *dh, unsigned char **pp), (, dh, pp))               \
    OXL_FN(int, EVP_PKEY_set1_DSA, -2, stub(0), (, OXL_EVP_PKEY * pkey, OXL_DSA * key), (, pkey, key))         \
    OXL_FN(OXL_DSA *, EVP_PKEY_get1_DSA, nullptr, stub(nullptr), (, OXL_EVP_PKEY * pkey), (, pkey))            \
    OXL_FN(OXL_DH *, DSA_dup_DH, nullptr, stub(nullptr), (, const OXL_DSA *dsa), (, dsa))                      \
    OXL_FN(int, DSA_sign, -2, stub(0),                                                                         \
           (, int type, const unsigned char *dgst, int dlen, unsigned char *sig, unsigned int *siglen,         \
            OXL_DSA *dsa),                                                                                     \
           (, type, dgst, dlen, sig, siglen, dsa))                                                             \
    OXL_FN(int, DSA_verify, -2, stub(0),                                                                       \
           (, int type, const unsigned char *dgst, int dgstLen, const unsigned char *sigbuf, int siglen,       \
            OXL_DSA *dsa),                                                                                     \
           (, type, dgst, dgstLen, sigbuf, siglen, dsa))                                                       \
    OXL_FN(int, DSA_size, -2, stub(0), (, const OXL_DSA *dsa), (, dsa))                                        \
    OXL_FN(OXL_DSA *, DSA_new, nullptr, stub(nullptr), (), ())                                                 \
    OXL_VOID(DSA_free, stub, (, OXL_DSA * dsa), (, dsa))                                                       \
    OXL_FN(int, DSA_generate_key, -2, stub(0), (, OXL_DSA * dsa), (, dsa))                                     \
    OXL_FN(OXL_DSA *, DSA_generate_parameters, nullptr, stub(nullptr),                                         \
           (, int bits, unsigned char *seed, int seedLen, int *counterRet, unsigned long *hRet, OXL_GENCB cb,  \
            void *cbArg),                                                                                      \
           (, bits, seed, seedLen, counterRet, hRet, cb, cbArg))                                               \
    OXL_FN(OXL_DSA *, d2i_DSAparams, nullptr, stub(nullptr), (, OXL_DSA * *a, const unsigned char **pp, long length), \
           (, a, pp, length))                                                                                  \
    OXL_FN(int, i2d_DSAparams, -2, stub(0), (, const OXL_DSA *dsa, unsigned char **pp), (, dsa, pp))           \
    OXL_FN(OXL_DSA *, d2i_DSAPublicKey, nullptr, stub(nullptr), (, OXL_DSA * *a, const unsigned char **pp, long length), \
           (, a, pp, length))                                                                                  \
    OXL_FN(int, i2d_DSAPublicKey, -2, stub(0), (, const OXL_DSA *dsa, unsigned char **pp), (, dsa, pp))        \
    OXL_FN(OXL_DSA *, d2i_DSAPrivateKey, nullptr, stub(nullptr), (, OXL_DSA * *a, const unsigned char **pp, long length), \
           (, a, pp, length))                                                                                  \
    OXL_FN(int, i2d_DSAPrivateKey, -2, stub(0), (, const OXL_DSA *dsa, unsigned char **pp), (, dsa, pp))       \
    OXL_FN(int, BN_bn2bin, -2, own, (, const OXL_BIGNUM *a, unsigned char *to), (, a, to))                     \
    OXL_FN(OXL_BIGNUM *, BN_bin2bn, nullptr, own, (, const unsigned char *s, int len, OXL_BIGNUM *ret),        \
           (, s, len, ret))                                                                                    \
    OXL_FN(int, BN_num_bits, -2, own, (, const OXL_BIGNUM *a), (, a))                                          \
    OXL_FN(OXL_BIGNUM *, BN_new, nullptr, own, (), ())                                                         \
    OXL_VOID(BN_clear_free, own, (, OXL_BIGNUM * a), (, a))                                                    \
    OXL_VOID(RSA_blinding_off, stub, (, OXL_RSA * rsa), (, rsa))                                               \
    OXL_FN(int, EVP_CIPHER_CTX_ctrl, -2, own, (, OXL_EVP_CIPHER_CTX * ctx, int type, int arg, void *ptr),      \
           (, ctx, type, arg, ptr))                                                                            \
    OXL_FN(int, RSA_size, -2, stub(0), (, const OXL_RSA *rsa), (, rsa))                                        \
    OXL_FN(OXL_BN_CTX *, BN_CTX_new, nullptr, own, (), ())                                                     \
    OXL_VOID(BN_CTX_free, own, (, OXL_BN_CTX * c), (, c))                                                      \
    OXL_FN(int, BN_mod_exp, -2, own,                                                                           \
           (, OXL_BIGNUM * r, const OXL_BIGNUM *a, const OXL_BIGNUM *p, const OXL_BIGNUM *m, OXL_BN_CTX *c),   \
           (, r, a, p, m, c))                                                                                  \
    OXL_FN(OXL_HMAC_CTX *, HMAC_CTX_new, nullptr, stub(nullptr), (), ())                                       \
    OXL_VOID(HMAC_CTX_free, stub, (, OXL_HMAC_CTX * ctx), (, ctx))                                             \
    OXL_FN(int, HMAC_Init, -2, stub(0), (, OXL_HMAC_CTX * ctx, const void *key, int len, const OXL_EVP_MD *md), \
           (, ctx, key, len, md))                                                                              \
    OXL_FN(int, HMAC_Update, -2, stub(0), (, OXL_HMAC_CTX * ctx, const unsigned char *data, size_t len),       \
           (, ctx, data, len))                                                                                 \
    OXL_FN(int, HMAC_Final, -2, stub(0), (, OXL_HMAC_CTX * ctx, unsigned char *md, unsigned int *len), (, ctx, md, len)) \
    OXL_FN(int, BN_div, -2, own,                                                                               \
           (, OXL_BIGNUM * dv, OXL_BIGNUM * rem, const OXL_BIGNUM *m, const OXL_BIGNUM *d, OXL_BN_CTX *c),     \
           (, dv, rem, m, d, c))                                                                               \
    OXL_FN(OXL_DSA *, d2i_DSA_PUBKEY, nullptr, stub(nullptr), (, OXL_DSA * *a, const unsigned char **pp, long length), \
           (, a, pp, length))                                                                                  \
    OXL_FN(int, i2d_DSA_PUBKEY, -2, stub(0), (, const OXL_DSA *dsa, unsigned char **pp), (, dsa, pp))          \
    OXL_FN(int, EVP_EncodeBlock, -2, own, (, unsigned char *t, const unsigned char *f, int n), (, t, f, n))    \
    OXL_FN(int, EVP_DecodeBlock, -2, own, (, unsigned char *t, const unsigned char *f, int n), (, t, f, n))

// Number of entry points in the table.
#define OXL_COUNT_FN(ret, name, fail, lib, params, args) +1
#define OXL_COUNT_VOID(name, lib, params, args) +1
inline constexpr int OXL_ENTRY_COUNT = 0 OXL_ENTRY_POINTS(OXL_COUNT_FN, OXL_COUNT_VOID);
#undef OXL_COUNT_FN
#undef OXL_COUNT_VOID
static_assert(OXL_ENTRY_COUNT == 139, "the library has 139 entry points");

// The exported function types: METAC_<name> (library context, parameters...).
#define OXL_TYPEDEF_FN(ret, name, fail, lib, params, args) typedef ret (*METAC_##name##_t)(OXL_LIBCTX * libCtx OXL_UNPACK params);
#define OXL_TYPEDEF_VOID(name, lib, params, args) typedef void (*METAC_##name##_t)(OXL_LIBCTX * libCtx OXL_UNPACK params);
OXL_ENTRY_POINTS(OXL_TYPEDEF_FN, OXL_TYPEDEF_VOID)
#undef OXL_TYPEDEF_FN
#undef OXL_TYPEDEF_VOID
