// DES-56 in cipher-block-chaining mode, written entirely inside the program.
// docs/ciphers.md describes the chaining, the final partial block and the
// folding of a password into a key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "crypto/crypto.h"

// desCipherData flags.
inline constexpr unsigned char DESCRYPT_ENCRYPT = 0x01;       // encipher, else decipher
inline constexpr unsigned char DESCRYPT_WRITE_BACK_IV = 0x10; // leave the last ciphertext block in iv

inline constexpr unsigned int DESCRYPT_BLOCK_SIZE = 8;
inline constexpr unsigned int DESCRYPT_KEY_SIZE = 8;

// Initial chaining value of every stream (encDataInit).
inline constexpr unsigned char DESCRYPT_STREAM_IV[8] = {0xA5, 0x3C, 0x96, 0x0F, 0x5A, 0xC3, 0x69, 0xF0};

class DESCrypt : public Crypto {
public:
    DESCrypt();
    ~DESCrypt() override;

    int cipherData(unsigned char direction, const unsigned char *key, const unsigned char *in, unsigned int inLen,
                   unsigned char *out, unsigned int *outLenP) override;
    int utEncKey(const unsigned char *password, unsigned int passLen, unsigned char *keyOut) override;
    int utRandKey(unsigned char *keyOut) override;
    int utRand(unsigned char *buf, unsigned int len) override;
    int encDataInit(unsigned char direction, const char *password) override;
    int encData(int lastBuffer, const unsigned char *in, unsigned int inLen, unsigned char *out,
                unsigned int *outLenP) override;
    int encDataTerm() override;
    unsigned int encGetMaxResLen() override;
    void cryptoCleanUp() override;

    // CBC over len bytes with key (8 bytes) and chaining value iv (8 bytes);
    // see the flags above. in and out may be the same buffer (otherwise they
    // must not overlap). Output length equals len. Always returns 0.
    int desCipherData(unsigned char flags, const unsigned char *key, unsigned char *iv, const unsigned char *in,
                      unsigned char *out, unsigned int len);
    // Computes the round keys of an 8-byte key into subKeys (parity bits ignored).
    void InitKeyTable(const unsigned char *key);

private:
    void useKey(const unsigned char *key);
    void processStream(const unsigned char *in, unsigned char *out, unsigned int len);

    uint32_t residualLen = 0;           // bytes held in residualBuf between encData calls
    unsigned char residualBuf[8] = {};  // input held back until a whole block is there
    unsigned char streamKey[8] = {};    // key of the current stream
    uint32_t subKeys[64] = {};          // round keys: 32 words in encryption order, 32 in decryption order
    uint32_t cachedKey[2] = {};         // the key whose schedule is in subKeys (big-endian halves)
    unsigned char streamIV[8] = {};     // chaining value carried between encData calls
};

#ifdef KEL_TEST_HOOKS
// Source of random bytes behind utRand: getrandom(2) by default. A test may
// put a failing source in its place to show that the failure is reported;
// null restores the default.
using desRandomSource_t = ssize_t (*)(void *buf, size_t len, unsigned int flags);
void desSetRandomSource(desRandomSource_t source);
#endif
