// Key derivation for the password file: a hash of the name, passed twice
// through crypt, gives the two halves of a 16-byte key.
#include "store/pskey.h"

#include <crypt.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/fsubsys.h"
#include "base/kelmem.h"
#include "base/secure.h"
#include "store/pswdrec.h"

psMutex_t cryptMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr unsigned HOSTNAME_BUF = 256;

// The hash of the key derivation over every byte of the name, continued from h.
uint32_t hashName(uint32_t h, const char *name)
{
    for (const char *p = name; *p != '\0'; p++) {
        int32_t v = static_cast<signed char>(*p);
        h = (h * static_cast<uint32_t>(v)) % PSWD_HASH_MODULUS;
    }
    return h;
}

// The salt character of the 6-bit value that the traditional rule gives c.
char saltChar(char c)
{
    static const char table[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    int v = static_cast<unsigned char>(c);
    if (v > 'Z')
        v -= 6;
    if (v > '9')
        v -= 7;
    v -= '.';
    return table[v & 0x3f];
}

// crypt's work area: large, so kept out of the stack; guarded by cryptMutex.
// All zero whenever a key derivation starts, as crypt_r wants it first: zero
// at start and wiped when each derivation ends.
crypt_data cryptData;

// Eight key bytes from the hash text; false when crypt fails. Called with
// cryptMutex held, by a caller that wipes cryptData when it is done.
bool cryptHalf(uint32_t h, unsigned char *out)
{
    char text[16];
    snprintf(text, sizeof text, "%8u", static_cast<unsigned>(h));
    char salt[3] = {saltChar(text[0]), saltChar(text[1]), '\0'};
    const char *r = crypt_r(text, salt, &cryptData);
    bool ok = r != nullptr && r[0] != '*' && strnlen(r, 10) >= 10;
    if (ok)
        memcpy(out, r + 2, 8);
    kelZero(text, sizeof text);
    return ok;
}

} // namespace

int psCreateCryptoKey(unsigned char *key, const char *name)
{
    if (key == nullptr || name == nullptr)
        return 0;
    MutexGuard lk(&cryptMutex);
    ZeroOnExit wipe(&cryptData, sizeof cryptData);   // once for both halves, before the lock is released
    SecretBuf<PSWD_KEY_SIZE> k;
    uint32_t h = hashName(1, name);
    if (!cryptHalf(h, k.data()))
        return 0;
    h = hashName(h, name);
    if (!cryptHalf(h, k.data() + 8))
        return 0;
    memcpy(key, k.data(), PSWD_KEY_SIZE);
    return 1;
}

int psSetUpCryptoKey(unsigned char *key, const char *node)
{
    if (!pswdNameFits(node))
        return 0;
    char copy[PSWD_FIELD_BUF];
    memcpy(copy, node, strlen(node) + 1);
    int rc = psCreateCryptoKey(key, copy);
    kelZero(copy, sizeof copy);
    return rc;
}

int getCryptoKeyV1(unsigned char *key)
{
    if (fsubIsClusterEnabled()) {
        const char *cluster = fsubGetClusterName();
        return cluster != nullptr ? psCreateCryptoKey(key, cluster) : 0;
    }
    char host[HOSTNAME_BUF];
    if (gethostname(host, sizeof host) != 0)
        return 0;
    host[sizeof host - 1] = '\0';
    return psCreateCryptoKey(key, host);
}

