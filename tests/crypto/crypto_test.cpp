#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/kelmem.h"
#include "base/pkmutex.h"
#include "base/testflags.h"
#include "crypto/crypto.h"
#include "crypto/oxlcrypt.h"
#include "diag/dscore.h"

namespace {

struct Deleter {
    void operator()(Crypto *c) const { delete_Crypto(c); }
};
using CryptoPtr = std::unique_ptr<Crypto, Deleter>;

// ---- Factory ----

TEST(NewCrypto, TypeCodesByTheirBits)
{
    // What the AES side gives (an object, or the loader's code) decides type 0.
    int aesRc = -1;
    CryptoPtr aes(new_Crypto(CRYPTO_TYPE_AES, &aesRc));
    const bool aesUsable = aes != nullptr;
    if (!aesUsable) {
        EXPECT_EQ(aesRc, CRYPTO_RC_LIB_NOT_LOADED);
    }

    struct Case {
        unsigned char type;
        int rc;
        unsigned char cryptoType; // 0: no object
    } cases[] = {
        {0, 0, aesUsable ? CRYPTO_TYPE_AES : CRYPTO_TYPE_DES},
        {1, 0, CRYPTO_TYPE_DES},
        {2, aesUsable ? 0 : CRYPTO_RC_LIB_NOT_LOADED, aesUsable ? CRYPTO_TYPE_AES : (unsigned char)0},
        {3, 0, CRYPTO_TYPE_DES},
        {4, RC_INVALID_PARM, 0},
        {0x80, RC_INVALID_PARM, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::Message() << "type " << int(c.type));
        int rc = -1;
        CryptoPtr obj(new_Crypto(c.type, &rc));
        EXPECT_EQ(rc, c.rc);
        if (c.cryptoType == 0) {
            EXPECT_EQ(obj, nullptr);
            continue;
        }
        ASSERT_NE(obj, nullptr);
        EXPECT_EQ(obj->getCryptoType(), c.cryptoType);
        if (c.cryptoType == CRYPTO_TYPE_DES) {
            EXPECT_EQ(obj->getKeySize(), 8);
            EXPECT_EQ(obj->getEncrType(), ENCR_TYPE_DES);
            EXPECT_EQ(obj->encGetMaxResLen(), 8u);
        } else {
            EXPECT_EQ(obj->getKeySize(), 16);
            EXPECT_EQ(obj->getEncrType(), ENCR_TYPE_AES);
        }
        EXPECT_EQ(obj->getEncState(), encNone);
    }
}

TEST(NewCrypto, SupportMapFollowsTheAesSide)
{
    EXPECT_EQ(getEncryptionSupportMap(), oxlIsSupported() ? 3 : 1);

    // With AES switched off, the best choice is DES and still succeeds.
    testFlag_t saved = TEST_NO_AES;
    TEST_NO_AES.set = 1;
    EXPECT_EQ(getEncryptionSupportMap(), CRYPTO_SUPPORT_DES);
    int rc = -1;
    CryptoPtr obj(new_Crypto(CRYPTO_TYPE_BEST, &rc));
    TEST_NO_AES = saved;
    EXPECT_EQ(rc, 0);
    ASSERT_NE(obj, nullptr);
    EXPECT_EQ(obj->getCryptoType(), CRYPTO_TYPE_DES);
}

// delete_Crypto releases outside resources before destroying.
class RecordingCrypto : public Crypto {
public:
    explicit RecordingCrypto(std::string *log) : log_(log) {}
    ~RecordingCrypto() override { *log_ += "destroy;"; }
    int cipherData(unsigned char, const unsigned char *, const unsigned char *, unsigned int, unsigned char *,
                   unsigned int *) override { return 0; }
    int utEncKey(const unsigned char *, unsigned int, unsigned char *) override { return 0; }
    int utRandKey(unsigned char *) override { return 0; }
    int utRand(unsigned char *, unsigned int) override { return 0; }
    int encDataInit(unsigned char, const char *) override { return 0; }
    int encData(int, const unsigned char *, unsigned int, unsigned char *, unsigned int *) override { return 0; }
    int encDataTerm() override { return 0; }
    unsigned int encGetMaxResLen() override { return 0; }
    void cryptoCleanUp() override { *log_ += "cleanup;"; }

private:
    std::string *log_;
};

TEST(DeleteCrypto, CleansUpThenDestroys)
{
    std::string log;
    delete_Crypto(new RecordingCrypto(&log));
    EXPECT_EQ(log, "cleanup;destroy;");
    delete_Crypto(nullptr);
}

// ---- printBuffer's dump ----

std::string dump(const unsigned char *buf, unsigned int len, int when, unsigned char direction)
{
    char text[CRYPTO_DUMP_MAX];
    size_t n = formatBufferDump(text, sizeof text, buf, len, when, direction);
    EXPECT_LT(n, sizeof text);
    return std::string(text, n);
}

std::string hexLine(unsigned int from, unsigned int count)
{
    std::string s = "\n     ";
    char b[4];
    for (unsigned int i = 0; i < count; ++i) {
        snprintf(b, sizeof b, (i % 4 == 3) ? "%02X " : "%02X", from + i);
        s += b;
    }
    s += "       ";
    for (unsigned int i = 0; i < count; ++i) {
        unsigned char c = static_cast<unsigned char>(from + i);
        s += (c >= 0x20 && c < 0x7f) ? char(c) : '.';
    }
    return s;
}

TEST(PrintBuffer, DumpLayout)
{
    unsigned char buf[100];
    for (unsigned int i = 0; i < 100; ++i)
        buf[i] = static_cast<unsigned char>(0x20 + i);

    // 64 bytes: all four lines.
    EXPECT_EQ(dump(buf, 64, CRYPTO_BEFORE, CRYPTO_ENCRYPT),
              "\n     Buffer (64 bytes) before encrypt\n"
              "\n     20212223 24252627 28292A2B 2C2D2E2F         !\"#$%&'()*+,-./"
              "\n     30313233 34353637 38393A3B 3C3D3E3F        0123456789:;<=>?"
              "\n     40414243 44454647 48494A4B 4C4D4E4F        @ABCDEFGHIJKLMNO"
              "\n     50515253 54555657 58595A5B 5C5D5E5F        PQRSTUVWXYZ[\\]^_"
              "\n\n");

    // 100 bytes: bytes 0-31, three dot lines, bytes 68-99.
    EXPECT_EQ(dump(buf, 100, CRYPTO_AFTER, CRYPTO_DECRYPT),
              "\n     Buffer (100 bytes) after decrypt\n" + hexLine(0x20, 16) + hexLine(0x30, 16) +
                  "\n     .\n     .\n     ." + hexLine(0x20 + 68, 16) + hexLine(0x20 + 84, 16) + "\n\n");

    // A short last line, unprintable bytes shown as dots.
    const unsigned char odd[] = {0x00, 0x41, 0xFF, 0x7F, 0x0A, 0x42};
    EXPECT_EQ(dump(odd, 6, CRYPTO_AFTER, 0x11),
              "\n     Buffer (6 bytes) after encrypt\n"
              "\n     0041FF7F 0A42       .A...B"
              "\n\n");

    EXPECT_EQ(dump(buf, 0, CRYPTO_BEFORE, 0), "\n     Buffer (0 bytes) before decrypt\n\n\n");
}

TEST(PrintBuffer, SmallOutputIsBoundedAndTerminated)
{
    unsigned char buf[64] = {};
    char small[16];
    memset(small, 'x', sizeof small);
    size_t full = formatBufferDump(small, sizeof small, buf, 64, CRYPTO_BEFORE, 1);
    EXPECT_GT(full, sizeof small);
    EXPECT_EQ(strlen(small), sizeof small - 1);

    char text[CRYPTO_DUMP_MAX];
    EXPECT_EQ(formatBufferDump(text, sizeof text, buf, 64, CRYPTO_BEFORE, 1), full);
}

// ---- Key ring ----

TEST(KeyRing, DestroyWithoutRingIsHarmless)
{
    ASSERT_EQ(keyRingP, nullptr);
    keyDestroyGlobalKeyRing();
    keyDestroyGlobalKeyRing();
    EXPECT_EQ(keyRingP, nullptr);
}

TEST(KeyRing, DestroyReleasesEveryEntry)
{
    auto *ring = static_cast<keyRing_t *>(KEL_MALLOC(sizeof(keyRing_t)));
    ASSERT_NE(ring, nullptr);
    ring->mutex = pkCreateMutex();
    ring->head = nullptr;
    for (int i = 0; i < 3; ++i) {
        auto *e = static_cast<keyRingEntry_t *>(KEL_MALLOC(sizeof(keyRingEntry_t)));
        ASSERT_NE(e, nullptr);
        e->key = nullptr;
        if (i != 1) { // one entry without a key buffer
            e->key = static_cast<unsigned char *>(KEL_MALLOC(KEY_RING_KEY_LEN));
            ASSERT_NE(e->key, nullptr);
            memset(e->key, 'K', KEY_RING_KEY_LEN);
        }
        e->next = ring->head;
        ring->head = e;
    }
    keyRingP = ring;
    keyDestroyGlobalKeyRing(); // the sanitizer build reports anything left behind
    EXPECT_EQ(keyRingP, nullptr);
    keyDestroyGlobalKeyRing();
}

TEST(KeyRing, TearDownHooksAreRegistered)
{
    ASSERT_EQ(cryptoAddCleanUpHooks(), 0);
    ASSERT_EQ(cryptoAddCleanUpHooks(), 0); // registering again keeps one of each
    EXPECT_EQ(dsCoreRemoveCleanUpHook(DS_CLEANUP_KEY_RING, keyDestroyGlobalKeyRing), 0);
    EXPECT_EQ(dsCoreRemoveCleanUpHook(DS_CLEANUP_CRYPTO_LIBRARY, oxlGlobalCleanUp), 0);
    EXPECT_EQ(dsCoreRemoveCleanUpHook(DS_CLEANUP_KEY_RING, keyDestroyGlobalKeyRing), -1);
    EXPECT_EQ(dsCoreRemoveCleanUpHook(DS_CLEANUP_CRYPTO_LIBRARY, oxlGlobalCleanUp), -1);
}

} // namespace
