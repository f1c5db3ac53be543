// AES-128 through the run-time crypto library: the cipher object, and the
// process-wide life of the library (loading on first use, status mapping,
// unloading at core tear-down).
#pragma once

#include <cstdint>

#include "crypto/crypto.h"
#include "crypto/oxlapi.h"

struct OXLC_CTX;

// Every byte of the key under which passwords are folded into AES keys.
inline constexpr unsigned char OXL_FOLD_KEY_BYTE = 0x4E;
inline constexpr unsigned int OXL_AES_KEY_SIZE = 16;
inline constexpr unsigned int OXL_AES_BLOCK_SIZE = 16;
// Name of the library's cipher.
inline constexpr char OXL_CIPHER_NAME[] = "AES-128-CBC";
// Catalog message that reports a failed library call.
inline constexpr int OXL_STATUS_MSG = 1467;

class OXLCrypt : public Crypto {
public:
    // Makes the cipher object, loading the library first when it is not
    // loaded; the outcome (0, 5801, 5802) goes through rcP.
    OXLCrypt(unsigned char type, int *rcP);
    ~OXLCrypt() override;

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

    // Loads and starts the library (approved mode on): 0, 5801 or 5802.
    static int globalInit();
    static void globalCleanUp();
    // 0 for majRC 0 or 1, else 5801; a failure (or forceLog) is traced and
    // logged as message 1467.
    static int oxlMapStatus(OXL_STATUS *status, const char *opName, int forceLog);
    // Maps the last status of the library context, as the library wrote it
    // (whatever its entry point returns); no record written maps to 5801.
    static int oxlMapStatus(OXLC_CTX *ctx, const char *opName);
    static int oxlIsSupported();
    static int psLoadFunctions();

    static int funcLoaded;

private:
    // The code of a failed library call: its mapped status, and never 0.
    static int callFailed(const char *opName);
    // One step of a cipher operation: 0 when the library call returned 1,
    // else "<who>(): <opName> failed" traced and the call's mapped status.
    static int step(int result, const char *who, const char *opName);
    int startCipher(unsigned char direction, const unsigned char *key, const char *who);
    // The update and final calls of one direction, each traced on success.
    int update(bool enc, const char *who, unsigned char *out, int *outLen, const unsigned char *in, int inLen);
    int finish(bool enc, const char *who, unsigned char *out, int *outLen);

    const OXL_EVP_CIPHER *cipher = nullptr;
    OXL_EVP_CIPHER_CTX *cipherCtx = nullptr;
    unsigned char streamKey[OXL_AES_KEY_SIZE] = {};
    int32_t cipherNid = 0;
    int32_t blockSize = OXL_AES_BLOCK_SIZE;
};

// The loaded library; null while it is not loaded.
extern OXLC_CTX *ctxP;

// Makes an AES object of the given type (2). On failure sets *rcP (102 no
// memory, 5801 library failure, 5802 library not loadable), destroys any
// half-made object and returns null; on success *rcP is 0.
Crypto *newOXLCrypt(unsigned char type, int *rcP);
// Loads the crypto library once; 0 when loaded (or AES unsupported), else 5801/5802.
int oxlGlobalInit();
// Unloads the crypto library (core tear-down).
void oxlGlobalCleanUp();
// 1 when AES can be used, else 0.
int oxlIsSupported();
// 1 while the crypto library is loaded, else 0.
int oxlIsLoaded();
#ifdef KEL_TEST_HOOKS
// Directory searched instead of the installation directory while the
// LOCALOXL test switch is on; empty (the default) means the current directory.
void oxlSetLocalDirectory(const char *dir);
#endif
