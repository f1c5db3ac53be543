#include "crypto/crypto.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <new>

#include "base/kelmem.h"
#include "base/pkmutex.h"
#include "base/secure.h"
#include "crypto/descrypt.h"
#include "crypto/oxlcrypt.h"
#include "diag/dscore.h"
#include "diag/trace.h"

static const char trSrcFile[] = "crypto";

keyRing_t *keyRingP = nullptr;

Crypto::~Crypto()
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "Crypto: entering destructor\n");
}

namespace {

// Appends to a bounded text; the length keeps counting past the end so the
// caller learns how much room the whole text needs.
class DumpWriter {
public:
    DumpWriter(char *out, size_t size) : out_(out), size_(size)
    {
        if (size_ > 0)
            out_[0] = '\0';
    }

    void add(const char *fmt, ...) KEL_PRINTF(2, 3)
    {
        va_list ap;
        va_start(ap, fmt);
        char *dst = len_ < size_ ? out_ + len_ : nullptr;
        size_t room = len_ < size_ ? size_ - len_ : 0;
        int n = vsnprintf(dst, room, fmt, ap);
        va_end(ap);
        if (n > 0)
            len_ += static_cast<size_t>(n);
    }

    size_t length() const { return len_; }

private:
    char *out_;
    size_t size_;
    size_t len_ = 0;
};

// Lines of up to 16 bytes: hexadecimal with a blank after every 4 bytes,
// seven blanks, then the printable characters ('.' for the others).
void dumpLines(DumpWriter &w, const unsigned char *buf, unsigned int len)
{
    for (unsigned int start = 0; start < len; start += 16) {
        unsigned int end = len - start < 16 ? len : start + 16;
        w.add("\n     ");
        for (unsigned int i = start; i < end; ++i)
            w.add((i - start) % 4 == 3 ? "%02X " : "%02X", buf[i]);
        w.add("       ");
        for (unsigned int i = start; i < end; ++i)
            w.add("%c", buf[i] >= 0x20 && buf[i] < 0x7f ? buf[i] : '.');
    }
}

} // namespace

size_t formatBufferDump(char *out, size_t outSize, const unsigned char *buf, unsigned int len, int when,
                        unsigned char direction)
{
    DumpWriter w(out, outSize);
    w.add("\n     Buffer (%d bytes) %s %s\n", (int)len, when == CRYPTO_BEFORE ? "before" : "after",
          (direction & 1) ? "encrypt" : "decrypt");
    if (buf != nullptr) {
        dumpLines(w, buf, len <= 64 ? len : 32);
        if (len > 64) {
            w.add("\n     .\n     .\n     .");
            dumpLines(w, buf + len - 32, 32);
        }
    }
    w.add("\n\n");
    return w.length();
}

void Crypto::printBuffer(const unsigned char *buf, unsigned int len, int when, unsigned char direction)
{
    SecretBuf<CRYPTO_DUMP_MAX> text;
    formatBufferDump(text.chars(), text.size(), buf, len, when, direction);
    trPrint("%s", text.chars());
}

unsigned char getEncryptionSupportMap()
{
    return oxlIsSupported() ? CRYPTO_SUPPORT_DES | CRYPTO_SUPPORT_AES : CRYPTO_SUPPORT_DES;
}

namespace {

// AES is the better choice only when the crypto library is loaded or loads now.
unsigned char chooseBestType()
{
    if ((getEncryptionSupportMap() & CRYPTO_SUPPORT_AES) && (oxlIsLoaded() || (oxlGlobalInit() == 0 && oxlIsLoaded())))
        return CRYPTO_TYPE_AES;
    return CRYPTO_TYPE_DES;
}

} // namespace

Crypto *new_Crypto(unsigned char type, int *rcP)
{
    int localRc = 0;
    int &rc = rcP != nullptr ? *rcP : localRc;
    rc = 0;
    if (type == CRYPTO_TYPE_BEST)
        type = chooseBestType();

    if (type & CRYPTO_TYPE_DES) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "new_Crypto(): creating new DES-56 object\n");
        Crypto *obj = new (std::nothrow) DESCrypt();
        if (obj == nullptr)
            rc = CRYPTO_RC_NO_MEMORY;
        return obj;
    }
    if (type & CRYPTO_TYPE_AES) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "new_Crypto(): creating new AES-128 object\n");
        Crypto *obj = newOXLCrypt(CRYPTO_TYPE_AES, &rc);
        if (obj == nullptr && rc == 0)
            rc = CRYPTO_RC_NO_MEMORY;
        return obj;
    }
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "new_Crypto(): invalid parameter: <%d>\n", type);
    rc = RC_INVALID_PARM;
    return nullptr;
}

void delete_Crypto(Crypto *obj)
{
    if (obj == nullptr)
        return;
    obj->cryptoCleanUp();
    delete obj;
}

void keyDestroyGlobalKeyRing()
{
    keyRing_t *ring = keyRingP;
    if (ring == nullptr)
        return;
    keyRingEntry_t *entry = ring->head;
    while (entry != nullptr) {
        keyRingEntry_t *next = entry->next;
        if (entry->key != nullptr) {
            kelZero(entry->key, KEY_RING_KEY_LEN);
            KEL_FREE(entry->key);
        }
        KEL_FREE(entry);
        entry = next;
    }
    pkDestroyMutex(ring->mutex);
    KEL_FREE(ring);
    keyRingP = nullptr;
}

int cryptoAddCleanUpHooks()
{
    if (dsCoreAddCleanUpHook(DS_CLEANUP_KEY_RING, keyDestroyGlobalKeyRing) != 0)
        return -1;
    return dsCoreAddCleanUpHook(DS_CLEANUP_CRYPTO_LIBRARY, oxlGlobalCleanUp);
}
