// Stand-in until the AES cipher replaces this file: the crypto library is never available here.
#include "common/enc/oxlcrypt.h"

#include "common/enc/crypto.h"

Crypto *newOXLCrypt(unsigned char, int *rcP)
{
    if (rcP != nullptr)
        *rcP = CRYPTO_RC_LIB_NOT_LOADED;
    return nullptr;
}

int oxlGlobalInit() { return CRYPTO_RC_LIB_NOT_LOADED; }

void oxlGlobalCleanUp() {}

int oxlIsSupported() { return 0; }

int oxlIsLoaded() { return 0; }
