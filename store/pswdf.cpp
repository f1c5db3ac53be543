// Generator of new random passwords.
#include "store/pswdf.h"

#include <cstring>

#include "crypto/crypto.h"
#include "base/secure.h"
#include "diag/dscore.h"
#include "base/testflags.h"
#include "diag/trace.h"

static const char trSrcFile[] = "pswdf";

psMutex_t pswdFMutex = PTHREAD_MUTEX_INITIALIZER;
// Released by the second stage of the core tear-down.
[[maybe_unused]] static const int pswdFMutexHook = dsCoreAddCleanUpHook(DS_CLEANUP_PSWDF_MUTEX, pswdFMutexDestroy);

namespace {

unsigned passwordLength()
{
    if (TEST_MINPWLENGTH.set != 0 && TEST_MINPWLENGTH.value >= static_cast<int32_t>(PSWDF_MIN_TEST_LENGTH) &&
        TEST_MINPWLENGTH.value <= static_cast<int32_t>(PSWDF_LENGTH))
        return static_cast<unsigned>(TEST_MINPWLENGTH.value);
    return PSWDF_LENGTH;
}

} // namespace

int pswdFGeneratePswd(char *out)
{
    if (out == nullptr)
        return RC_INVALID_PARM;
    unsigned n = passwordLength();
    int rc = 0;
    CryptoPtr c(new_Crypto(CRYPTO_TYPE_BEST, &rc));
    if (c.get() == nullptr)
        return rc;
    if (TR_PASSWORD) {
        if (c.get()->getCryptoType() == CRYPTO_TYPE_AES)
            trPrintf(trSrcFile, __LINE__, "pswdFGeneratePswd: Using OXL random number generator\n");
        else
            trPrintf(trSrcFile, __LINE__, "pswdFGeneratePswd: OXL is not available. Using rand()\n");
    }
    SecretBuf<PSWDF_LENGTH> random;
    rc = c.get()->utRand(random.data(), n);
    if (rc != 0)
        return rc;
    const unsigned alphabetSize = sizeof PSWDF_ALPHABET - 1;
    for (unsigned i = 0; i < n; i++)
        out[i] = PSWDF_ALPHABET[random.data()[i] % alphabetSize];
    out[n] = '\0';
    return 0;
}

void pswdFMutexDestroy() { psMutexDestroy(&pswdFMutex); }
