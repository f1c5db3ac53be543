#include "crypto/oxlcrypt.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "base/fio.h"
#include "base/kelmem.h"
#include "base/secure.h"
#include "base/testflags.h"
#include "crypto/oxlcwrap.h"
#include "diag/logutils.h"
#include "diag/trace.h"

static const char trSrcFile[] = "oxlcrypt";

OXLC_CTX *ctxP = nullptr;
int OXLCrypt::funcLoaded = 0;

namespace {

int oxlLoaded = 0;                   // 1 after a successful load, 0 after the unload
#ifdef KEL_TEST_HOOKS
char localDir[FIO_PATH_MAX] = "";    // see oxlSetLocalDirectory
#else
const char localDir[] = "";          // LOCALOXL: the current directory
#endif

// Releases a tracked block when the scope ends.
class KelBlock {
public:
    explicit KelBlock(void *p) : p_(p) {}
    KelBlock(const KelBlock &) = delete;
    KelBlock &operator=(const KelBlock &) = delete;
    ~KelBlock()
    {
        if (p_ != nullptr)
            KEL_FREE(p_);
    }

private:
    void *p_;
};

// The directory the library is loaded from (buf holds FIO_PATH_MAX bytes).
void libraryDirectory(char *buf)
{
    if (!TEST_LOCALOXL.set) {
        snprintf(buf, FIO_PATH_MAX, "%s", KEL_OXL_DIR);
        return;
    }
    if (localDir[0] != '\0') {
        snprintf(buf, FIO_PATH_MAX, "%s", localDir);
        return;
    }
    if (psBuildCurrentPath(buf, ".", FIO_PATH_MAX) != 0)
        buf[0] = '\0';   // no current directory: the load then fails and says so
}

// Starts the loaded library: version, approved mode, attach. 0 or 5801.
int startLibrary(const char *dir)
{
    OXL_STATUS status{};
    char version[64] = "";
    OXLC_GetValue(ctxP, &status, OXL_VERSION, version, sizeof version);
    int rc = OXLCrypt::oxlMapStatus(&status, "OXL_GetValue(OXL_VERSION)", 0);
    version[sizeof version - 1] = '\0';
    if (rc == 0) {
        // The library runs in approved mode or not at all.
        OXLC_SetValue(ctxP, &status, OXL_FIPS_APPROVED_MODE, "on");
        rc = OXLCrypt::oxlMapStatus(&status, "OXL_SetValue(OXL_FIPS_APPROVED_MODE)", 0);
    }
    if (rc == 0) {
        OXLC_Attach(ctxP, &status);
        rc = OXLCrypt::oxlMapStatus(&status, "OXL_Attach", 0);
    }
    if (rc != 0) {
        OXLC_Cleanup(ctxP, &status);   // the start-up failure is what is reported
        ctxP = nullptr;
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "oxlGlobalInit(): OXL failed to load from '%s'\n", dir);
        return rc;
    }
    oxlLoaded = 1;
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__,
                 "oxlGlobalInit(): OXL has been successfully loaded\n"
                 "               OXL path : '%s'\n"
                 "            OXL version : %s\n"
                 " FIPS approved mode set : %s\n",
                 dir, version, "yes");
    return 0;
}

} // namespace

#ifdef KEL_TEST_HOOKS
void oxlSetLocalDirectory(const char *dir) { snprintf(localDir, sizeof localDir, "%s", dir != nullptr ? dir : ""); }
#endif

int OXLCrypt::psLoadFunctions()
{
    funcLoaded = 1;
    return 0;
}

int OXLCrypt::oxlIsSupported()
{
    if (TEST_NO_AES.set)
        return 0;
    char probe[256] = {};
    OXLC_ERR_error_string(nullptr, 0, probe);   // no context: writes nothing
    return strcmp(probe, "My Precious") == 0 ? 0 : 1;
}

int OXLCrypt::oxlMapStatus(OXL_STATUS *status, const char *opName, int forceLog)
{
    OXL_STATUS none{OXL_RC_PARAM, 0, "No status record", 0};
    if (status == nullptr)
        status = &none;
    int rc = status->majRC <= OXL_RC_REMARK ? 0 : CRYPTO_RC_LIB_FAILURE;
    if (rc == 0 && !forceLog)
        return 0;

    char opBuf[1024];
    char descBuf[1024];
    snprintf(opBuf, sizeof opBuf, "%s", opName != nullptr ? opName : "");
    // The record's text is the library's: bounded even when it is not terminated.
    snprintf(descBuf, sizeof descBuf, "%.*s", static_cast<int>(sizeof status->desc - 1), status->desc);
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "OXL_STATUS: %s returned: majRC = %d, minRC = %d, desc = %s\n", opBuf,
                 static_cast<int>(status->majRC), static_cast<int>(status->minRC), descBuf);
    char *text = nullptr;
    nlLogsprintf(text, OXL_STATUS_MSG, opBuf, static_cast<int>(status->majRC), static_cast<int>(status->minRC),
                 descBuf);
    if (text != nullptr)
        KEL_FREE(text);
    return rc;
}

int OXLCrypt::oxlMapStatus(OXLC_CTX *ctx, const char *opName)
{
    // The library's entry point fills the record and returns nothing the
    // program relies on. The record starts as a failure, so one the library
    // never wrote, or that the wrapper left alone because the entry point is
    // missing, never reads as success.
    OXL_STATUS status{OXL_RC_PARAM, 0, "No status available from the library", 0};
    (void)OXLC_GetStatus(ctx, &status);   // the record is the outcome
    return oxlMapStatus(&status, opName, 0);
}

int OXLCrypt::callFailed(const char *opName)
{
    int rc = oxlMapStatus(ctxP, opName);
    return rc != 0 ? rc : CRYPTO_RC_LIB_FAILURE;
}

int OXLCrypt::globalInit()
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "oxlGlobalInit(): entering\n");
    int rc = psLoadFunctions();
    if (rc != 0) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "oxlGlobalInit(): psLoadFunctions() failed with rc = %d\n", rc);
        return rc;
    }
    if (!oxlIsSupported()) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "oxlGlobalInit(): OXL is not supported, exiting  with rc = %d\n", rc);
        return 0;
    }
    if (ctxP != nullptr)
        return 0;   // loaded already: a second context would leak the first

    char dir[FIO_PATH_MAX];
    libraryDirectory(dir);
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "oxlGlobalInit(): loading OXL from '%s'\n", dir);
    OXL_STATUS status{};
    ctxP = OXLC_Init(&status, dir);
    if (ctxP == nullptr) {
        oxlMapStatus(&status, "OXL_Init", 1);
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "oxlGlobalInit(): cannot load OXL from '%s'\n", dir);
        return CRYPTO_RC_LIB_NOT_LOADED;
    }
    if (oxlMapStatus(&status, "OXL_Init", 0) != 0) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "oxlGlobalInit(): cannot load OXL from '%s'\n", dir);
        OXLC_Cleanup(ctxP, &status);   // the load failure is what is reported
        ctxP = nullptr;
        return CRYPTO_RC_LIB_NOT_LOADED;
    }
    rc = startLibrary(dir);
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "oxlGlobalInit(): exiting with rc = %d\n", rc);
    return rc;
}

void OXLCrypt::globalCleanUp()
{
    if (!funcLoaded && ctxP == nullptr)
        return;
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "oxlGlobalCleanUp(): entering\n");
    if (ctxP != nullptr) {
        OXL_STATUS status{};
        OXLC_Cleanup(ctxP, &status);   // nothing is left to do about a failed unload
        ctxP = nullptr;
    }
    oxlLoaded = 0;
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "oxlGlobalCleanUp(): exiting\n");
}

OXLCrypt::OXLCrypt(unsigned char type, int *rcP)
{
    cryptoType = type;
    encrType = ENCR_TYPE_AES;
    keySize = OXL_AES_KEY_SIZE;
    int rc = 0;
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "OXLCrypt(): entering the constructor\n");
    if (ctxP == nullptr) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "OXLCrypt(): the global ctxP has not been initialized! Loading OXL... \n");
        rc = oxlGlobalInit();
        if (rc == 0 && ctxP == nullptr)
            rc = CRYPTO_RC_LIB_NOT_LOADED;   // AES unsupported: no library to work with
        if (rc != 0) {
            if (rcP != nullptr)
                *rcP = rc;
            return;
        }
    }

    cipherCtx = OXLC_EVP_CIPHER_CTX_new(ctxP);
    if (cipherCtx == nullptr) {
        rc = callFailed("OXL_EVP_CIPHER_CTX_new");
    } else {
        OXLC_EVP_CIPHER_CTX_init(ctxP, cipherCtx);
        rc = oxlMapStatus(ctxP, "OXL_EVP_CIPHER_CTX_init");
    }
    if (rc == 0) {
        cipher = OXLC_EVP_get_cipherbyname(ctxP, OXL_CIPHER_NAME);
        if (cipher == nullptr) {
            rc = callFailed("OXL_EVP_get_cipherbyname");
        } else {
            int keyLen = OXLC_EVP_CIPHER_key_length(ctxP, cipher);
            blockSize = OXLC_EVP_CIPHER_block_size(ctxP, cipher);
            cipherNid = OXLC_EVP_CIPHER_type(ctxP, cipher);
            if (TR_ENCRYPT)
                trPrintf(trSrcFile, __LINE__, "OXLCrypt(): cipher type %s, type %d, block_size %d\n",
                         OXLC_OBJ_nid2sn(ctxP, cipherNid), cipherNid, blockSize);
            // The key and work buffers are sized for AES-128: anything else is refused.
            if (keyLen != static_cast<int>(OXL_AES_KEY_SIZE) || blockSize != static_cast<int>(OXL_AES_BLOCK_SIZE)) {
                OXL_STATUS bad{OXL_RC_PARAM, 0, "Unexpected key length or block size", 0};
                rc = oxlMapStatus(&bad, "OXL_EVP_CIPHER_key_length", 0);
            }
        }
    }
    if (rc != 0 && cipherCtx != nullptr) {
        OXLC_EVP_CIPHER_CTX_cleanup(ctxP, cipherCtx);   // the object is discarded
        OXLC_EVP_CIPHER_CTX_free(ctxP, cipherCtx);
        cipherCtx = nullptr;
    }
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "OXLCrypt(): exiting with retcode %d\n", rc);
    if (rcP != nullptr)
        *rcP = rc;
}

OXLCrypt::~OXLCrypt()
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "~OXLCrypt(): entering the destructor\n");
    cryptoCleanUp();   // a no-op after delete_Crypto; frees the context of an object deleted otherwise
}

int OXLCrypt::cipherData(unsigned char direction, const unsigned char *key, const unsigned char *in,
                         unsigned int inLen, unsigned char *out, unsigned int *outLenP)
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "cipherData(): entering with inLen = %d\n", static_cast<int>(inLen));
    if (TR_ENCRYPTDETAIL)
        trPrintf(trSrcFile, __LINE__, "cipherData(): inBuff = %p, outBuff = %p, key pointer = %p\n",
                 static_cast<const void *>(in), static_cast<void *>(out), static_cast<const void *>(key));
    if (out == nullptr || outLenP == nullptr) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "cipherData(): outBuff or outLenP is NULL! Returning RC_INVALID_PARM...\n");
        return RC_INVALID_PARM;
    }
    *outLenP = 0;
    if (inLen == 0)
        return 0;
    if (in == nullptr || key == nullptr || inLen > static_cast<unsigned int>(INT_MAX) - OXL_AES_BLOCK_SIZE)
        return RC_INVALID_PARM;

    bool enc = (direction & CRYPTO_ENCRYPT) != 0;
    int updLen = 0;
    int finLen = 0;
    int rc = startCipher(direction, key, "cipherData");
    if (rc == 0)
        rc = update(enc, "cipherData", out, &updLen, in, static_cast<int>(inLen));
    if (rc == 0)
        rc = finish(enc, "cipherData", out + updLen, &finLen);
    if (rc != 0)
        return rc;
    *outLenP = static_cast<unsigned int>(updLen + finLen);
    if (TR_ENTER)
        trPrintf(trSrcFile, __LINE__, "cipherData(): Exiting with outLen = %d\n", updLen + finLen);
    return 0;
}

int OXLCrypt::utEncKey(const unsigned char *password, unsigned int passLen, unsigned char *keyOut)
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "utEncKey(): entering\n");
    if (keyOut == nullptr || (password == nullptr && passLen != 0) ||
        passLen > static_cast<unsigned int>(INT_MAX) - OXL_AES_BLOCK_SIZE)
        return RC_INVALID_PARM;
    SecretBuf<OXL_AES_KEY_SIZE> foldKey;
    memset(foldKey.data(), OXL_FOLD_KEY_BYTE, keySize);

    // The password enciphered under a public key: zeroed before it is freed.
    unsigned int len = passLen + static_cast<unsigned int>(blockSize);
    auto *work = static_cast<unsigned char *>(KEL_MALLOC(len));
    if (work == nullptr)
        return CRYPTO_RC_NO_MEMORY;
    KelBlock release(work);
    ZeroOnExit wipe(work, len);
    memset(work, 0, len);

    int rc = cipherData(CRYPTO_ENCRYPT, foldKey.data(), password, passLen, work, &len);
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "utEncKey(): A %d byte key enciphered into a %d byte buffer.\n",
                 static_cast<int>(passLen), static_cast<int>(len));
    // No block came out (an empty password, or a failed call): there is no key to take.
    if (rc != 0 || len < keySize)
        return rc != 0 ? rc : RC_INVALID_PARM;
    memcpy(keyOut, work + len - keySize, keySize);   // the last block of the ciphertext
    return 0;
}

int OXLCrypt::utRandKey(unsigned char *keyOut)
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "utRandKey: entering\n");
    if (keyOut == nullptr)
        return RC_INVALID_PARM;
    if (OXLC_RAND_bytes(ctxP, keyOut, keySize) != 1) {
        kelZero(keyOut, keySize);   // never leave a partly random key behind
        return callFailed("OXL_RAND_bytes");
    }
    return 0;
}

int OXLCrypt::utRand(unsigned char *buf, unsigned int len)
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "utRand: entering\n");
    if (len == 0)
        return 0;
    if (buf == nullptr || len > static_cast<unsigned int>(INT_MAX))
        return RC_INVALID_PARM;
    if (OXLC_RAND_bytes(ctxP, buf, static_cast<int>(len)) != 1) {
        kelZero(buf, len);
        return callFailed("OXL_RAND_bytes");
    }
    return 0;
}

int OXLCrypt::step(int result, const char *who, const char *opName)
{
    if (result == 1)
        return 0;
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "%s(): %s failed\n", who, opName);
    return callFailed(opName);
}

int OXLCrypt::startCipher(unsigned char direction, const unsigned char *key, const char *who)
{
    if (!(direction & CRYPTO_ENCRYPT))
        return step(OXLC_EVP_DecryptInit(ctxP, cipherCtx, cipher, key, nullptr), who, "OXL_EVP_DecryptInit");
    int rc = step(OXLC_EVP_EncryptInit(ctxP, cipherCtx, cipher, key, nullptr), who, "OXL_EVP_EncryptInit");
    if (rc == 0)
        rc = step(OXLC_EVP_CIPHER_CTX_set_padding(ctxP, cipherCtx, 1), who, "OXL_EVP_CIPHER_CTX_set_padding");
    return rc;
}

int OXLCrypt::update(bool enc, const char *who, unsigned char *out, int *outLen, const unsigned char *in, int inLen)
{
    int rc = enc ? step(OXLC_EVP_EncryptUpdate(ctxP, cipherCtx, out, outLen, in, inLen), who, "OXL_EVP_EncryptUpdate")
                 : step(OXLC_EVP_DecryptUpdate(ctxP, cipherCtx, out, outLen, in, inLen), who, "OXL_EVP_DecryptUpdate");
    if (rc == 0 && TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "%s(): %sUpdate - in %d bytes, out %d bytes\n", who, enc ? "Encrypt" : "Decrypt",
                 inLen, *outLen);
    return rc;
}

int OXLCrypt::finish(bool enc, const char *who, unsigned char *out, int *outLen)
{
    int rc = enc ? step(OXLC_EVP_EncryptFinal(ctxP, cipherCtx, out, outLen), who, "OXL_EVP_EncryptFinal")
                 : step(OXLC_EVP_DecryptFinal(ctxP, cipherCtx, out, outLen), who, "OXL_EVP_DecryptFinal");
    if (rc == 0 && TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "%s(): %sFinal - out %d bytes\n", who, enc ? "Encrypt" : "Decrypt", *outLen);
    return rc;
}

int OXLCrypt::encDataInit(unsigned char direction, const char *password)
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "encDataInit(): entering\n");
    kelZero(streamKey, sizeof streamKey);
    if (password == nullptr || password[0] == '\0')
        return RC_INVALID_PARM;
    int rc = utEncKey(reinterpret_cast<const unsigned char *>(password), static_cast<unsigned int>(strlen(password)),
                      streamKey);
    if (rc != 0)
        return rc;
    encDirection = direction;
    rc = startCipher(direction, streamKey, "encDataInit");
    kelZero(streamKey, sizeof streamKey);   // the cipher context holds the key from here on
    if (rc != 0)
        return rc;
    encState = encInit;
    return 0;
}

int OXLCrypt::encData(int lastBuffer, const unsigned char *in, unsigned int inLen, unsigned char *out,
                      unsigned int *outLenP)
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "encData(): entering with inLen = %d, lastBuffer = %d\n",
                 static_cast<int>(inLen), lastBuffer);
    if (encState != encInit && encState != encActive) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "encData(): unexpected encState <%d>. Exiting...\n", encState);
        return CRYPTO_RC_BAD_STATE;
    }
    if (out == nullptr || outLenP == nullptr || (inLen > 0 && in == nullptr) ||
        inLen > static_cast<unsigned int>(INT_MAX) - OXL_AES_BLOCK_SIZE)
        return CRYPTO_RC_BAD_STATE;
    encState = encActive;
    *outLenP = 0;

    bool enc = (encDirection & CRYPTO_ENCRYPT) != 0;
    int updLen = 0;
    int finLen = 0;
    if (inLen > 0) {
        if (TR_ENCRYPTDETAIL)
            printBuffer(in, inLen, CRYPTO_BEFORE, encDirection);
        int rc = update(enc, "encData", out, &updLen, in, static_cast<int>(inLen));
        if (rc != 0)
            return rc;
        if (TR_ENCRYPTDETAIL)
            printBuffer(out, static_cast<unsigned int>(updLen), CRYPTO_AFTER, encDirection);
    }
    if (lastBuffer) {
        int rc = finish(enc, "encData", out + updLen, &finLen);
        if (rc != 0)
            return rc;
        encState = encDone;
    }
    *outLenP = static_cast<unsigned int>(updLen + finLen);
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "encData(): exiting with ouLen = %d\n", updLen + finLen);
    return 0;
}

int OXLCrypt::encDataTerm()
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "encDataTerm(): entering\n");
    if (encState == encDone) {
        encState = encTerminated;
        return 0;
    }
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "encDataTerm(): encrypt state is not yet encDone\n");
    encState = encFailed;
    return CRYPTO_RC_BAD_STATE;
}

unsigned int OXLCrypt::encGetMaxResLen() { return static_cast<unsigned int>(blockSize); }

void OXLCrypt::cryptoCleanUp()
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "cryptoCleanUp(): entering\n");
    kelZero(streamKey, sizeof streamKey);
    if (cipherCtx != nullptr) {
        OXLC_EVP_CIPHER_CTX_cleanup(ctxP, cipherCtx);   // free follows; its result adds nothing
        OXLC_EVP_CIPHER_CTX_free(ctxP, cipherCtx);
        cipherCtx = nullptr;
    }
}

Crypto *newOXLCrypt(unsigned char type, int *rcP)
{
    int rc = 0;
    OXLCrypt *obj = new (std::nothrow) OXLCrypt(type, &rc);
    if (obj == nullptr)
        rc = CRYPTO_RC_NO_MEMORY;
    else if (rc != 0) {
        delete obj;
        obj = nullptr;
    }
    if (rcP != nullptr)
        *rcP = rc;
    return obj;
}

int oxlGlobalInit() { return OXLCrypt::globalInit(); }

void oxlGlobalCleanUp() { OXLCrypt::globalCleanUp(); }

int oxlIsSupported() { return OXLCrypt::oxlIsSupported(); }

int oxlIsLoaded() { return oxlLoaded; }
