// The AES cipher over the run-time crypto library from the build tree, with
// expected values from libcrypto called directly.
#include "crypto/oxlcrypt.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "base/testflags.h"
#include "crypto/oxlcwrap.h"
#include "diag/logutils.h"
#include "diag/nlsinit.h"

namespace {

using Bytes = std::vector<unsigned char>;

// AES-128-CBC from libcrypto: zero vector, PKCS padding.
Bytes opensslCbc(bool enc, const unsigned char *key, const Bytes &in)
{
    static const unsigned char zero[16] = {};
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 16);
    int upd = 0, fin = 0;
    EXPECT_EQ(EVP_CipherInit_ex(c, EVP_aes_128_cbc(), nullptr, key, zero, enc ? 1 : 0), 1);
    EXPECT_EQ(EVP_CipherUpdate(c, out.data(), &upd, in.data(), static_cast<int>(in.size())), 1);
    EXPECT_EQ(EVP_CipherFinal_ex(c, out.data() + upd, &fin), 1);
    EVP_CIPHER_CTX_free(c);
    out.resize(static_cast<size_t>(upd + fin));
    return out;
}

Bytes randomBytes(size_t n)
{
    Bytes b(n);
    if (n > 0) {
        EXPECT_EQ(RAND_bytes(b.data(), static_cast<int>(n)), 1);
    }
    return b;
}

// Every test starts with the library unloaded and finds it in the build tree
// (or in the directory it names), and leaves it unloaded.
class oxlcrypt : public testing::Test {
protected:
    void SetUp() override { useDirectory(KEL_BINARY_DIR); }
    void TearDown() override
    {
        delete_Crypto(obj);
        oxlGlobalCleanUp();
        TEST_LOCALOXL.set = 0;
        TEST_NO_AES.set = 0;
        oxlSetLocalDirectory("");
    }
    static void useDirectory(const char *dir)
    {
        TEST_LOCALOXL.set = 1;
        oxlSetLocalDirectory(dir);
    }
    void make()
    {
        int rc = -1;
        obj = new_Crypto(CRYPTO_TYPE_AES, &rc);
        ASSERT_EQ(rc, 0);
        ASSERT_NE(obj, nullptr);
    }
    static OXL_STATUS lastStatus()
    {
        OXL_STATUS s{};
        EXPECT_EQ(OXLC_GetStatus(ctxP, &s), 1);
        return s;
    }

    Crypto *obj = nullptr;
};

} // namespace

TEST_F(oxlcrypt, ObjectDescribesAes128)
{
    make();
    EXPECT_EQ(obj->getCryptoType(), CRYPTO_TYPE_AES);
    EXPECT_EQ(obj->getKeySize(), 16);
    EXPECT_EQ(obj->getEncrType(), ENCR_TYPE_AES);
    EXPECT_EQ(obj->encGetMaxResLen(), 16u);
    EXPECT_EQ(oxlIsLoaded(), 1);
}

TEST_F(oxlcrypt, CipherDataLengthsAndAgreementWithLibcrypto)
{
    make();
    struct Case {
        unsigned int in, out;
    } cases[] = {{16, 32}, {15, 16}, {1, 16}, {17, 32}, {64, 80}, {100, 112}};
    for (const Case &c : cases) {
        Bytes key = randomBytes(16), plain = randomBytes(c.in);
        Bytes out(c.in + 16), back(c.in + 16);
        unsigned int outLen = 0, backLen = 0;
        ASSERT_EQ(obj->cipherData(CRYPTO_ENCRYPT, key.data(), plain.data(), c.in, out.data(), &outLen), 0);
        ASSERT_EQ(outLen, c.out) << c.in;
        out.resize(outLen);
        EXPECT_EQ(out, opensslCbc(true, key.data(), plain)) << c.in;
        ASSERT_EQ(obj->cipherData(CRYPTO_DECRYPT, key.data(), out.data(), outLen, back.data(), &backLen), 0);
        ASSERT_EQ(backLen, c.in);
        back.resize(backLen);
        EXPECT_EQ(back, plain) << c.in;
    }
}

TEST_F(oxlcrypt, CipherDataOfNothingCallsNothing)
{
    make();
    unsigned char key[16] = {}, out[48];
    unsigned int len = 99;
    unsigned char junk[20] = {1};
    // A failing call (no whole blocks) leaves a failure status; a call of 0 bytes must not replace it.
    EXPECT_EQ(obj->cipherData(CRYPTO_DECRYPT, key, junk, 20, out, &len), CRYPTO_RC_LIB_FAILURE);
    ASSERT_GE(lastStatus().majRC, 2u);
    len = 99;
    EXPECT_EQ(obj->cipherData(CRYPTO_ENCRYPT, key, junk, 0, out, &len), 0);
    EXPECT_EQ(len, 0u);
    EXPECT_GE(lastStatus().majRC, 2u) << "the library was called";

    EXPECT_EQ(obj->cipherData(CRYPTO_ENCRYPT, key, junk, 16, nullptr, &len), RC_INVALID_PARM);
    EXPECT_EQ(obj->cipherData(CRYPTO_ENCRYPT, key, junk, 16, out, nullptr), RC_INVALID_PARM);
}

TEST_F(oxlcrypt, FailedDeciphermentNeverMapsToSuccess)
{
    make();
    Bytes key = randomBytes(16);
    unsigned char out[48];
    unsigned int len = 0;
    // A message whose deciphered last byte is 0x00 (the first two blocks of a
    // longer ciphertext): padding that cannot check, whatever the key.
    Bytes plain = randomBytes(32);
    plain[31] = 0;
    Bytes badPadding = opensslCbc(true, key.data(), plain);
    badPadding.resize(32);
    struct Case {
        const char *what;
        Bytes in;
    } cases[] = {
        {"bad padding", badPadding},
        {"not whole blocks", Bytes(20, 0x11)},
    };
    for (const Case &c : cases) {
        len = 77;
        EXPECT_EQ(obj->cipherData(CRYPTO_DECRYPT, key.data(), c.in.data(), static_cast<unsigned int>(c.in.size()),
                                  out, &len),
                  CRYPTO_RC_LIB_FAILURE)
            << c.what;
        EXPECT_EQ(len, 0u) << c.what;
    }
}

TEST_F(oxlcrypt, UtEncKeyIsTheLastBlockUnderTheFoldingKey)
{
    make();
    unsigned char foldKey[16];
    memset(foldKey, 0x4E, sizeof foldKey);
    for (unsigned int n : {15u, 16u, 1u, 40u}) {
        Bytes password = randomBytes(n);
        Bytes cipher = opensslCbc(true, foldKey, password);
        ASSERT_EQ(cipher.size(), n == 16 ? 32u : (n / 16 + 1) * 16);
        unsigned char key[16] = {};
        ASSERT_EQ(obj->utEncKey(password.data(), n, key), 0) << n;
        EXPECT_EQ(Bytes(key, key + 16), Bytes(cipher.end() - 16, cipher.end())) << n;
    }
}

TEST_F(oxlcrypt, UtEncKeyWithoutABlockFails)
{
    make();
    unsigned char key[16];
    memset(key, 0xCC, sizeof key);
    EXPECT_EQ(obj->utEncKey(reinterpret_cast<const unsigned char *>(""), 0, key), RC_INVALID_PARM);
    EXPECT_EQ(obj->utEncKey(nullptr, 4, key), RC_INVALID_PARM);
    EXPECT_EQ(obj->utEncKey(reinterpret_cast<const unsigned char *>("abc"), 3, nullptr), RC_INVALID_PARM);
    EXPECT_EQ(key[0], 0xCC);
}

TEST_F(oxlcrypt, RandomBytesAndTheirFailure)
{
    make();
    unsigned char a[16] = {}, b[16] = {}, big[300] = {};
    ASSERT_EQ(obj->utRandKey(a), 0);
    ASSERT_EQ(obj->utRandKey(b), 0);
    EXPECT_NE(memcmp(a, b, 16), 0);
    ASSERT_EQ(obj->utRand(big, sizeof big), 0);
    EXPECT_NE(Bytes(big, big + 150), Bytes(150, 0));
    EXPECT_EQ(obj->utRand(big, 0), 0);

    // With the library gone the random bytes fail, and say so.
    OXLC_CTX *saved = ctxP;
    ctxP = nullptr;
    memset(a, 0x5A, sizeof a);
    EXPECT_EQ(obj->utRandKey(a), CRYPTO_RC_LIB_FAILURE);
    EXPECT_EQ(Bytes(a, a + 16), Bytes(16, 0)) << "a failed key is not left half made";
    EXPECT_EQ(obj->utRand(big, 32), CRYPTO_RC_LIB_FAILURE);
    ctxP = saved;
}

TEST_F(oxlcrypt, StreamEqualsOneShotWithTheFoldedKey)
{
    make();
    const char *password = "CORRECT HORSE";
    unsigned char key[16];
    ASSERT_EQ(obj->utEncKey(reinterpret_cast<const unsigned char *>(password), 13, key), 0);
    Bytes plain = randomBytes(50);
    Bytes expected = opensslCbc(true, key, plain);

    ASSERT_EQ(obj->encDataInit(CRYPTO_ENCRYPT, password), 0);
    Bytes out;
    unsigned char buf[64];
    unsigned int len = 0;
    const unsigned int pieces[] = {3, 20, 27};
    unsigned int at = 0;
    for (size_t i = 0; i < 3; i++) {
        ASSERT_EQ(obj->encData(i == 2, plain.data() + at, pieces[i], buf, &len), 0);
        // At most the held-back block more than was given, and the padding block at the end.
        ASSERT_LE(len, pieces[i] + obj->encGetMaxResLen() + (i == 2 ? 16 : 0));
        out.insert(out.end(), buf, buf + len);
        at += pieces[i];
    }
    EXPECT_EQ(out, expected);
    EXPECT_EQ(obj->encDataTerm(), 0);
    EXPECT_EQ(obj->getEncState(), encTerminated);

    ASSERT_EQ(obj->encDataInit(CRYPTO_DECRYPT, password), 0);
    ASSERT_EQ(obj->encData(0, expected.data(), static_cast<unsigned int>(expected.size()), buf, &len), 0);
    Bytes back(buf, buf + len);
    ASSERT_EQ(obj->encData(1, nullptr, 0, buf, &len), 0);   // only the held-back block
    back.insert(back.end(), buf, buf + len);
    EXPECT_EQ(back, plain);
}

TEST_F(oxlcrypt, EmptyLastBufferFlushesOnlyThePaddingBlock)
{
    make();
    unsigned char key[16];
    ASSERT_EQ(obj->utEncKey(reinterpret_cast<const unsigned char *>("PW"), 2, key), 0);
    ASSERT_EQ(obj->encDataInit(CRYPTO_ENCRYPT, "PW"), 0);
    unsigned char buf[32];
    unsigned int len = 0;
    ASSERT_EQ(obj->encData(1, nullptr, 0, buf, &len), 0);
    ASSERT_EQ(len, 16u);
    EXPECT_EQ(Bytes(buf, buf + 16), opensslCbc(true, key, Bytes()));
}

TEST_F(oxlcrypt, StreamStates)
{
    make();
    unsigned char buf[32];
    unsigned int len = 0;
    EXPECT_EQ(obj->encData(1, nullptr, 0, buf, &len), CRYPTO_RC_BAD_STATE);   // never started
    EXPECT_EQ(obj->encDataInit(CRYPTO_ENCRYPT, ""), RC_INVALID_PARM);
    EXPECT_EQ(obj->encDataInit(CRYPTO_ENCRYPT, nullptr), RC_INVALID_PARM);
    ASSERT_EQ(obj->encDataInit(CRYPTO_ENCRYPT, "PW"), 0);
    EXPECT_EQ(obj->getEncState(), encInit);
    ASSERT_EQ(obj->encData(0, reinterpret_cast<const unsigned char *>("abc"), 3, buf, &len), 0);
    EXPECT_EQ(obj->getEncState(), encActive);
    EXPECT_EQ(obj->encDataTerm(), CRYPTO_RC_BAD_STATE);
    EXPECT_EQ(obj->getEncState(), encFailed);
    EXPECT_EQ(obj->encData(1, nullptr, 0, buf, &len), CRYPTO_RC_BAD_STATE);
    ASSERT_EQ(obj->encDataInit(CRYPTO_ENCRYPT, "PW"), 0);   // a new stream may start in any state
    ASSERT_EQ(obj->encData(1, nullptr, 0, buf, &len), 0);
    EXPECT_EQ(obj->encData(1, nullptr, 0, buf, &len), CRYPTO_RC_BAD_STATE);   // done
}

TEST_F(oxlcrypt, SecondObjectReusesTheLoadedLibrary)
{
    make();
    OXLC_CTX *first = ctxP;
    int rc = -1;
    Crypto *second = new_Crypto(CRYPTO_TYPE_AES, &rc);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(ctxP, first);
    delete_Crypto(second);
    EXPECT_EQ(ctxP, first) << "the library stays loaded for later objects";
}

TEST_F(oxlcrypt, UnloadingForgetsTheLibrary)
{
    ASSERT_EQ(oxlGlobalInit(), 0);
    EXPECT_NE(ctxP, nullptr);
    EXPECT_EQ(oxlIsLoaded(), 1);
    oxlGlobalCleanUp();
    EXPECT_EQ(ctxP, nullptr);
    EXPECT_EQ(oxlIsLoaded(), 0);
    oxlGlobalCleanUp();   // twice is harmless
}

struct ChoiceCase {
    const char *name;
    const char *dir;   // null: the build tree
    bool noAes;
    unsigned char type;
    int rc;
    unsigned char got;   // cipher type of the object, 0 for none
};

class oxlcryptChoice : public oxlcrypt, public testing::WithParamInterface<ChoiceCase> {};

TEST_P(oxlcryptChoice, FactoryPicksByLibraryAndSwitches)
{
    const ChoiceCase &c = GetParam();
    if (c.dir != nullptr)
        useDirectory(c.dir);
    TEST_NO_AES.set = c.noAes ? 1 : 0;
    int rc = -1;
    obj = new_Crypto(c.type, &rc);
    EXPECT_EQ(rc, c.rc);
    if (c.got == 0) {
        EXPECT_EQ(obj, nullptr);
    } else {
        ASSERT_NE(obj, nullptr);
        EXPECT_EQ(obj->getCryptoType(), c.got);
    }
    EXPECT_EQ(getEncryptionSupportMap(), c.noAes ? CRYPTO_SUPPORT_DES : CRYPTO_SUPPORT_DES | CRYPTO_SUPPORT_AES);
}

INSTANTIATE_TEST_SUITE_P(
    oxlcrypt, oxlcryptChoice,
    testing::Values(ChoiceCase{"bestWithLibrary", nullptr, false, CRYPTO_TYPE_BEST, 0, CRYPTO_TYPE_AES},
                    ChoiceCase{"bestWithoutLibrary", "/nonexistent", false, CRYPTO_TYPE_BEST, 0, CRYPTO_TYPE_DES},
                    ChoiceCase{"aesWithoutLibrary", "/nonexistent", false, CRYPTO_TYPE_AES, CRYPTO_RC_LIB_NOT_LOADED, 0},
                    ChoiceCase{"aesFromIncompleteLibrary", KEL_BINARY_DIR "/tests/fixtures/oxl-missing", false,
                               CRYPTO_TYPE_AES, CRYPTO_RC_LIB_NOT_LOADED, 0},
                    ChoiceCase{"bestSwitchedOff", nullptr, true, CRYPTO_TYPE_BEST, 0, CRYPTO_TYPE_DES},
                    ChoiceCase{"aesSwitchedOff", nullptr, true, CRYPTO_TYPE_AES, CRYPTO_RC_LIB_NOT_LOADED, 0}),
    [](const testing::TestParamInfo<ChoiceCase> &i) { return std::string(i.param.name); });

TEST(oxlMapStatus, MapsFailureClassesToLibraryFailure)
{
    struct Case {
        uint32_t majRC, minRC;
        int rc;
    } cases[] = {{0, 0, 0}, {1, 7, 0}, {2, 0, CRYPTO_RC_LIB_FAILURE}, {3, 5, CRYPTO_RC_LIB_FAILURE},
                 {4, 12, CRYPTO_RC_LIB_FAILURE}, {0xFFFFFFFFu, 0, CRYPTO_RC_LIB_FAILURE}};
    for (const Case &c : cases) {
        OXL_STATUS s{c.majRC, c.minRC, "detail", 0};
        EXPECT_EQ(OXLCrypt::oxlMapStatus(&s, "OXL_Test", 0), c.rc) << c.majRC;
        EXPECT_EQ(OXLCrypt::oxlMapStatus(&s, "OXL_Test", 1), c.rc) << c.majRC;
    }
    OXL_STATUS unterminated{2, 1, {}, 0};
    memset(unterminated.desc, 'x', sizeof unterminated.desc);
    EXPECT_EQ(OXLCrypt::oxlMapStatus(&unterminated, "OXL_Test", 0), CRYPTO_RC_LIB_FAILURE);
    EXPECT_EQ(OXLCrypt::oxlMapStatus(static_cast<OXL_STATUS *>(nullptr), "OXL_Test", 0), CRYPTO_RC_LIB_FAILURE);
    // No library context means no status: never a success.
    EXPECT_EQ(OXLCrypt::oxlMapStatus(static_cast<OXLC_CTX *>(nullptr), "OXL_Test"), CRYPTO_RC_LIB_FAILURE);
}

// The library's status record is the outcome, whatever its entry point
// returns; a record it never wrote is a failure. The stand-in library's
// GetStatus writes or returns what OXL_FAKE_STATUS says.
TEST(oxlMapStatus, TheRecordTheLibraryWroteDecides)
{
    OXL_STATUS st{};
    OXLC_CTX *ctx = OXLC_Init(&st, KEL_BINARY_DIR "/tests/fixtures/oxl-fake");
    ASSERT_NE(ctx, nullptr) << st.desc;
    struct Case {
        const char *name;
        const char *mode;   // OXL_FAKE_STATUS
        int rc;
    } cases[] = {
        {"success written, 0 returned", "ok", 0},
        {"failure written, 1 returned", "failed", CRYPTO_RC_LIB_FAILURE},
        {"nothing written, 7 returned", nullptr, CRYPTO_RC_LIB_FAILURE},
    };
    for (const Case &c : cases) {
        if (c.mode != nullptr)
            setenv("OXL_FAKE_STATUS", c.mode, 1);
        else
            unsetenv("OXL_FAKE_STATUS");
        EXPECT_EQ(OXLCrypt::oxlMapStatus(ctx, "OXL_Test"), c.rc) << c.name;
    }
    unsetenv("OXL_FAKE_STATUS");
    OXLC_CTX missing{};   // the entry point never resolved: the wrapper writes nothing
    EXPECT_EQ(OXLCrypt::oxlMapStatus(&missing, "OXL_Test"), CRYPTO_RC_LIB_FAILURE);
    OXLC_Cleanup(ctx, &st);
}

namespace {
int quiet(char *) { return 0; }
} // namespace

// A failure reaches the error log as catalog message 1467 with its inserts.
TEST(oxlMapStatus, LogsFailuresAsMessage1467)
{
    char tmpl[] = "/tmp/kel-oxl-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl, log = dir + "/dsmerror.log";
    nlsOutFn_t outFns[9];
    for (auto &fn : outFns)
        fn = quiet;
    ASSERT_NE(newNlsGlobalObject(outFns, 1), nullptr);
    nlsReturnInfo_t info{};
    ASSERT_EQ(nlinit("EN", 5, KEL_BINARY_DIR "/catalogs", 0, 1, 1, 1, &info, nullptr), 0);
    ASSERT_EQ(errorLogFile.open(log.c_str(), 0, 0), 0);

    OXL_STATUS ok{0, 0, "OK", 0};
    EXPECT_EQ(OXLCrypt::oxlMapStatus(&ok, "OXL_Quiet", 0), 0);
    OXL_STATUS failed{3, 5, "padding does not check", 0};
    EXPECT_EQ(OXLCrypt::oxlMapStatus(&failed, "OXL_EVP_DecryptFinal", 0), CRYPTO_RC_LIB_FAILURE);
    EXPECT_EQ(OXLCrypt::oxlMapStatus(&ok, "OXL_Init", 1), 0);   // forced: logged although it succeeded

    errorLogFile.close();
    destroyNlsGlobalObject();
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    std::filesystem::remove_all(dir);

    EXPECT_EQ(content.find("OXL_Quiet"), std::string::npos) << content;
    size_t failure = content.find("QEB1467E");
    ASSERT_NE(failure, std::string::npos) << content;
    EXPECT_NE(content.find("OXL_EVP_DecryptFinal failed with major code 3, minor code 5: padding does not check"),
              std::string::npos)
        << content;
    EXPECT_NE(content.find("OXL_Init failed with major code 0, minor code 0: OK"), std::string::npos) << content;
}
