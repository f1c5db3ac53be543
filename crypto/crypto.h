// The abstract cipher: every encipherment of the agent goes through a Crypto
// object made by new_Crypto and given back with delete_Crypto.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kelvlx/kelcontract.h"

// Invalid argument (also defined, identically, by other layers that report it).
#ifndef RC_INVALID_PARM
#define RC_INVALID_PARM KEL_ST_INVALID_ARGUMENT
#endif

// Return codes of the ciphers (0 is success).
inline constexpr int CRYPTO_RC_NO_MEMORY = KEL_ST_NO_MEMORY;       // object or work buffer not available
inline constexpr int CRYPTO_RC_BAD_STATE = KEL_ST_CIPHER_STATE;       // streaming call in the wrong state, or a stream buffer missing
inline constexpr int CRYPTO_RC_LIB_FAILURE = KEL_ST_LIB_FAILURE;    // the crypto library reported a failure
inline constexpr int CRYPTO_RC_LIB_NOT_LOADED = KEL_ST_NO_LIBRARY; // the crypto library could not be loaded
// The random source could not deliver; reported like a failure of the crypto library.
inline constexpr int CRYPTO_RC_RANDOM_FAILED = CRYPTO_RC_LIB_FAILURE;

// Cipher type codes: the factory's input and the value of cryptoType.
inline constexpr unsigned char CRYPTO_TYPE_BEST = 0; // AES when usable, else DES
inline constexpr unsigned char CRYPTO_TYPE_DES = 1;  // "DES-56", 8-byte key
inline constexpr unsigned char CRYPTO_TYPE_AES = 2;  // "AES-128", 16-byte key

// Bits of getEncryptionSupportMap().
inline constexpr unsigned char CRYPTO_SUPPORT_DES = 1;
inline constexpr unsigned char CRYPTO_SUPPORT_AES = 2;

// Encryption-type codes kept in encrType.
inline constexpr unsigned char ENCR_TYPE_DES = 129;
inline constexpr unsigned char ENCR_TYPE_AES = 130;

// Direction arguments: bit 0 set enciphers.
inline constexpr unsigned char CRYPTO_DECRYPT = 0;
inline constexpr unsigned char CRYPTO_ENCRYPT = 1;

// printBuffer's "when" argument.
inline constexpr int CRYPTO_BEFORE = 1;
inline constexpr int CRYPTO_AFTER = 0;

// States of the streaming interface (encState).
enum encState_t : unsigned char {
    encNone = 0,          // no stream was ever started
    encInit = 'd',        // encDataInit succeeded
    encActive = 'e',      // encData accepted a call
    encDone = 'f',        // encData was given the last buffer
    encTerminated = 'g',  // encDataTerm found the stream ended cleanly
    encFailed = 'h',      // encDataTerm was called in any other situation
};

class Crypto {
public:
    Crypto() = default;
    Crypto(const Crypto &) = delete;
    Crypto &operator=(const Crypto &) = delete;

    // Enciphers (bit 0 of direction set) or deciphers inLen bytes with key
    // (keySize bytes) into out and stores the output length. Every call
    // starts its chaining afresh.
    virtual int cipherData(unsigned char direction, const unsigned char *key, const unsigned char *in,
                           unsigned int inLen, unsigned char *out, unsigned int *outLenP) = 0;
    // Folds a password of any length into a key of keySize bytes.
    virtual int utEncKey(const unsigned char *password, unsigned int passLen, unsigned char *keyOut) = 0;
    // keySize random bytes; 0 or the code of a failed random source.
    virtual int utRandKey(unsigned char *keyOut) = 0;
    // len random bytes; 0 or the code of a failed random source.
    virtual int utRand(unsigned char *buf, unsigned int len) = 0;
    // Starts a stream keyed with utEncKey of the NUL-terminated password.
    virtual int encDataInit(unsigned char direction, const char *password) = 0;
    // One buffer of the stream; lastBuffer non-zero ends it. out has room for
    // inLen + encGetMaxResLen() bytes and does not overlap in.
    virtual int encData(int lastBuffer, const unsigned char *in, unsigned int inLen, unsigned char *out,
                        unsigned int *outLenP) = 0;
    // 0 when the stream ended cleanly, else 131 (state becomes encFailed).
    virtual int encDataTerm() = 0;
    // The most a stream holds back between encData calls: the block size.
    virtual unsigned int encGetMaxResLen() = 0;
    // Releases what the object holds outside itself.
    virtual void cryptoCleanUp() = 0;
    virtual ~Crypto();

    unsigned char getCryptoType() const { return cryptoType; }
    unsigned char getKeySize() const { return keySize; }
    unsigned char getEncrType() const { return encrType; }
    unsigned char getEncState() const { return encState; }

    // Trace dump of a buffer (callers guard it with TR_ENCRYPTDETAIL).
    void printBuffer(const unsigned char *buf, unsigned int len, int when, unsigned char direction);

protected:
    uint8_t cryptoType = 0;
    uint8_t keySize = 0;
    uint8_t encrType = 0;
    uint8_t encState = encNone;
    uint8_t encDirection = 0;
};

// Formats the dump that printBuffer traces into out (always terminated when
// outSize > 0); returns the length of the whole dump. CRYPTO_DUMP_MAX always suffices.
inline constexpr size_t CRYPTO_DUMP_MAX = 1024;
size_t formatBufferDump(char *out, size_t outSize, const unsigned char *buf, unsigned int len, int when,
                        unsigned char direction);

// Makes a cipher of the given type. *rcP is 0 on success; 109 for a type with
// neither bit 0 nor bit 1, 102 when the object cannot be made, 5801/5802 from
// the AES side. Type 0 gives AES when the crypto library is loaded or loads,
// else DES.
Crypto *new_Crypto(unsigned char type, int *rcP);
// cryptoCleanUp, then destroys the object. Null is tolerated.
void delete_Crypto(Crypto *obj);
// Owns a cipher from new_Crypto and gives it back with delete_Crypto.
struct CryptoDeleter {
    void operator()(Crypto *obj) const noexcept { delete_Crypto(obj); }
};
using CryptoPtr = std::unique_ptr<Crypto, CryptoDeleter>;
// CRYPTO_SUPPORT_DES, plus CRYPTO_SUPPORT_AES when AES is supported.
unsigned char getEncryptionSupportMap();

// Process-wide ring of encryption keys, kept by client programs (the agent never makes one).
struct MutexDesc;
inline constexpr size_t KEY_RING_KEY_LEN = 65;
struct keyRingEntry_t {
    keyRingEntry_t *next;
    unsigned char *key;   // KEY_RING_KEY_LEN bytes from kelMalloc, or null
};
struct keyRing_t {
    MutexDesc *mutex;
    keyRingEntry_t *head;
};
extern keyRing_t *keyRingP;
// Zeroes and frees every key of the ring, then the ring; nothing without a ring.
void keyDestroyGlobalKeyRing();

// Hands keyDestroyGlobalKeyRing and the unloading of the crypto library to the
// core tear-down (its key-ring and crypto-library steps). 0, or -1 when a step
// has no room.
int cryptoAddCleanUpHooks();
