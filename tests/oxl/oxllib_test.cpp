// The crypto library through the program's loader and wrappers, checked
// against the published CBC-AES128 vectors and against libcrypto called directly.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include "crypto/oxlcwrap.h"
#include "oxlbuildid.h"
#include "tests/elfinfo.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes hex(const char *h)
{
    Bytes out;
    for (size_t i = 0; h[i] != '\0' && h[i + 1] != '\0'; i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(std::string(h + i, 2), nullptr, 16)));
    return out;
}

// One loaded, started library per test.
class oxllib : public testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("LD_LIBRARY_PATH");
        ctx = OXLC_Init(&st, KEL_BINARY_DIR);
        ASSERT_NE(ctx, nullptr) << st.desc;
    }
    void TearDown() override
    {
        if (ctx != nullptr) {
            EXPECT_EQ(OXLC_Cleanup(ctx, &st), 1) << st.desc;
        }
    }
    void attach()
    {
        ASSERT_EQ(OXLC_Attach(ctx, &st), 1);
        ASSERT_EQ(st.majRC, 0u);
    }
    OXL_STATUS lastStatus()
    {
        OXL_STATUS s{};
        EXPECT_EQ(OXLC_GetStatus(ctx, &s), 1);
        return s;
    }
    // One whole message through the wrappers; false when a call fails.
    bool run(bool enc, const char *name, const Bytes &key, const unsigned char *iv, int pad, const Bytes &in,
             Bytes &out)
    {
        const OXL_EVP_CIPHER *c = OXLC_EVP_get_cipherbyname(ctx, name);
        OXL_EVP_CIPHER_CTX *cc = OXLC_EVP_CIPHER_CTX_new(ctx);
        out.assign(in.size() + 16, 0);
        int upd = 0, fin = 0;
        bool ok = c != nullptr && cc != nullptr;
        if (ok && enc)
            ok = OXLC_EVP_EncryptInit(ctx, cc, c, key.data(), iv) == 1 &&
                 OXLC_EVP_CIPHER_CTX_set_padding(ctx, cc, pad) == 1 &&
                 OXLC_EVP_EncryptUpdate(ctx, cc, out.data(), &upd, in.data(), static_cast<int>(in.size())) == 1 &&
                 OXLC_EVP_EncryptFinal(ctx, cc, out.data() + upd, &fin) == 1;
        else if (ok)
            ok = OXLC_EVP_DecryptInit(ctx, cc, c, key.data(), iv) == 1 &&
                 OXLC_EVP_CIPHER_CTX_set_padding(ctx, cc, pad) == 1 &&
                 OXLC_EVP_DecryptUpdate(ctx, cc, out.data(), &upd, in.data(), static_cast<int>(in.size())) == 1 &&
                 OXLC_EVP_DecryptFinal(ctx, cc, out.data() + upd, &fin) == 1;
        OXLC_EVP_CIPHER_CTX_free(ctx, cc);
        out.resize(ok ? static_cast<size_t>(upd + fin) : 0);
        return ok;
    }

    OXL_STATUS st{};
    OXLC_CTX *ctx = nullptr;
};

// What libcrypto itself gives for AES-128-CBC, zero vector, PKCS padding.
Bytes opensslCbc(bool enc, const Bytes &key, const Bytes &in)
{
    static const unsigned char zero[16] = {};
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 16);
    int upd = 0, fin = 0;
    EXPECT_EQ(EVP_CipherInit_ex(c, EVP_aes_128_cbc(), nullptr, key.data(), zero, enc ? 1 : 0), 1);
    EXPECT_EQ(EVP_CipherUpdate(c, out.data(), &upd, in.data(), static_cast<int>(in.size())), 1);
    EXPECT_EQ(EVP_CipherFinal_ex(c, out.data() + upd, &fin), 1);
    EVP_CIPHER_CTX_free(c);
    out.resize(static_cast<size_t>(upd + fin));
    return out;
}

} // namespace

// NIST SP 800-38A, F.2.1 (CBC-AES128.Encrypt) and F.2.2 (CBC-AES128.Decrypt).
TEST_F(oxllib, MatchesTheCbcAes128Vectors)
{
    attach();
    Bytes key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    Bytes iv = hex("000102030405060708090a0b0c0d0e0f");
    Bytes plain = hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    Bytes cipher = hex("7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
                       "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
    Bytes out;
    ASSERT_TRUE(run(true, "AES-128-CBC", key, iv.data(), 0, plain, out));
    EXPECT_EQ(out, cipher);
    ASSERT_TRUE(run(false, "AES-128-CBC", key, iv.data(), 0, cipher, out));
    EXPECT_EQ(out, plain);
}

TEST_F(oxllib, AgreesWithLibcryptoWithZeroVectorAndPadding)
{
    attach();
    Bytes key(16);
    for (size_t len : {0u, 1u, 15u, 16u, 17u, 31u, 32u, 33u, 64u, 100u}) {
        Bytes plain(len);
        ASSERT_EQ(RAND_bytes(key.data(), 16), 1);
        if (len > 0) {
            ASSERT_EQ(RAND_bytes(plain.data(), static_cast<int>(len)), 1);
        }
        Bytes out, back;
        ASSERT_TRUE(run(true, "AES-128-CBC", key, nullptr, 1, plain, out)) << len;
        EXPECT_EQ(out, opensslCbc(true, key, plain)) << len;
        EXPECT_EQ(out.size(), (len / 16 + 1) * 16) << len;
        ASSERT_TRUE(run(false, "AES-128-CBC", key, nullptr, 1, out, back)) << len;
        EXPECT_EQ(back, plain) << len;
    }
}

TEST_F(oxllib, CipherHandleDescribesAes128)
{
    attach();
    const OXL_EVP_CIPHER *c = OXLC_EVP_get_cipherbyname(ctx, "AES-128-CBC");
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(OXLC_EVP_CIPHER_key_length(ctx, c), 16);
    EXPECT_EQ(OXLC_EVP_CIPHER_block_size(ctx, c), 16);
    EXPECT_EQ(OXLC_EVP_CIPHER_iv_length(ctx, c), 16);
    EXPECT_EQ(OXLC_EVP_CIPHER_type(ctx, c), EVP_CIPHER_get_type(EVP_aes_128_cbc()));
    EXPECT_STREQ(OXLC_OBJ_nid2sn(ctx, OXLC_EVP_CIPHER_type(ctx, c)), "AES-128-CBC");
    EXPECT_EQ(OXLC_EVP_get_cipherbyname(ctx, "AES-128-CBC"), c) << "a handle is looked up once";
}

TEST_F(oxllib, WrongPaddingLeavesAFailureStatus)
{
    attach();
    Bytes key(16, 0x11), plain(20, 0x22), out, back;
    ASSERT_TRUE(run(true, "AES-128-CBC", key, nullptr, 1, plain, out));
    Bytes wrongKey(16, 0x12);   // deciphering with another key leaves padding that does not check
    EXPECT_FALSE(run(false, "AES-128-CBC", wrongKey, nullptr, 1, out, back));
    // run() freed the context after the failing call: look at the failure itself again.
    const OXL_EVP_CIPHER *c = OXLC_EVP_get_cipherbyname(ctx, "AES-128-CBC");
    OXL_EVP_CIPHER_CTX *cc = OXLC_EVP_CIPHER_CTX_new(ctx);
    Bytes buf(out.size() + 16);
    int upd = 0, fin = 0;
    ASSERT_EQ(OXLC_EVP_DecryptInit(ctx, cc, c, wrongKey.data(), nullptr), 1);
    ASSERT_EQ(OXLC_EVP_DecryptUpdate(ctx, cc, buf.data(), &upd, out.data(), static_cast<int>(out.size())), 1);
    EXPECT_NE(OXLC_EVP_DecryptFinal(ctx, cc, buf.data() + upd, &fin), 1);
    OXL_STATUS s = lastStatus();
    EXPECT_GE(s.majRC, 2u);
    EXPECT_NE(strstr(s.desc, "EVP_DecryptFinal"), nullptr) << s.desc;
    // libcrypto's reason in words: its error texts are loaded when a failure first needs them.
    EXPECT_NE(strstr(s.desc, "bad decrypt"), nullptr) << s.desc;
    OXLC_EVP_CIPHER_CTX_free(ctx, cc);
}

TEST_F(oxllib, FailuresOfEachKindReadAsFailures)
{
    attach();
    unsigned char buf[32];
    // Each row: one failing call, then the status it left.
    struct Case {
        const char *what;
        bool (*call)(OXLC_CTX *, unsigned char *);
    } cases[] = {
        {"unknown cipher", [](OXLC_CTX *c, unsigned char *) { return OXLC_EVP_get_cipherbyname(c, "NOPE") == nullptr; }},
        {"negative length", [](OXLC_CTX *c, unsigned char *b) { return OXLC_RAND_bytes(c, b, -1) != 1; }},
        {"short buffer",
         [](OXLC_CTX *c, unsigned char *b) {
             OXL_STATUS s{};
             return OXLC_GetValue(c, &s, OXL_VERSION, reinterpret_cast<char *>(b), 4) != 1;
         }},
        {"missing context",
         [](OXLC_CTX *c, unsigned char *b) { return OXLC_EVP_EncryptUpdate(c, nullptr, b, nullptr, b, 1) != 1; }},
        {"stub", [](OXLC_CTX *c, unsigned char *) { return OXLC_DH_new(c) == nullptr; }},
    };
    for (const Case &k : cases) {
        EXPECT_TRUE(k.call(ctx, buf)) << k.what;
        EXPECT_GE(lastStatus().majRC, 2u) << k.what;
    }
}

TEST_F(oxllib, CryptographicCallsWaitForAttach)
{
    unsigned char buf[16];
    EXPECT_NE(OXLC_RAND_bytes(ctx, buf, 16), 1);
    EXPECT_EQ(lastStatus().majRC, 2u);
    EXPECT_EQ(OXLC_EVP_get_cipherbyname(ctx, "AES-128-CBC"), nullptr);
    attach();
    EXPECT_EQ(OXLC_RAND_bytes(ctx, buf, 16), 1);
    EXPECT_EQ(lastStatus().majRC, 0u);
}

TEST_F(oxllib, VersionAndApprovedMode)
{
    char text[64] = {};
    ASSERT_EQ(OXLC_GetValue(ctx, &st, OXL_VERSION, text, sizeof text), 1);
    EXPECT_NE(strstr(text, "not a validated module"), nullptr) << text;

    ASSERT_EQ(OXLC_SetValue(ctx, &st, OXL_FIPS_APPROVED_MODE, "on"), 1) << st.desc;
    EXPECT_LE(st.majRC, 1u);
    ASSERT_EQ(OXLC_GetValue(ctx, &st, OXL_FIPS_APPROVED_MODE, text, sizeof text), 1);
    EXPECT_STREQ(text, "on");
    EXPECT_NE(OXLC_SetValue(ctx, &st, OXL_FIPS_APPROVED_MODE, "off"), 1);
    EXPECT_EQ(st.majRC, 2u);
    attach();

    EXPECT_NE(OXLC_EVP_get_cipherbyname(ctx, "AES-128-CBC"), nullptr);
    EXPECT_NE(OXLC_EVP_get_digestbyname(ctx, "SHA256"), nullptr);
    for (const char *notApproved : {"DES-EDE3-CBC", "BF-CBC", "CHACHA20"}) {
        EXPECT_EQ(OXLC_EVP_get_cipherbyname(ctx, notApproved), nullptr) << notApproved;
        EXPECT_EQ(lastStatus().majRC, 2u) << notApproved;
    }
    EXPECT_EQ(OXLC_EVP_get_digestbyname(ctx, "MD5"), nullptr);
    // Settings are fixed once attached.
    EXPECT_NE(OXLC_SetValue(ctx, &st, OXL_FIPS_APPROVED_MODE, "on"), 1);
}

TEST_F(oxllib, StartUpChecksTheIntegrityValues)
{
    std::string own = KEL_OXL_LIBHASH;
    std::string crypto = KEL_OXL_CRYPTOLIBHASH;
    ASSERT_EQ(own.size(), OXL_INTEGRITY_DIGITS);
    ASSERT_EQ(crypto.size(), OXL_INTEGRITY_DIGITS);
    std::string otherBuild = own;
    otherBuild[100] = otherBuild[100] == '0' ? '1' : '0';
    struct Case {
        const char *what;
        std::string a, b;
        bool ok;
    } cases[] = {
        {"this build", own, crypto, true},
        {"another build", otherBuild, crypto, false},
        {"other libcrypto", own, otherBuild, false},
        {"short", own.substr(0, 511), crypto, false},
        {"empty", "", "", false},
    };
    for (const Case &c : cases) {
        OXL_STATUS s{};
        OXL_LIBCTX *lib = OXLC_lib_init(ctx, &s, KEL_BINARY_DIR, c.a.c_str(), c.b.c_str());
        EXPECT_EQ(lib != nullptr, c.ok) << c.what;
        if (lib != nullptr) {
            OXL_LIBCTX *saved = ctx->libCtx;   // the second library context, ended at once
            ctx->libCtx = lib;
            EXPECT_EQ(OXLC_lib_cleanup(ctx, &s), 1);
            ctx->libCtx = saved;
        } else {
            EXPECT_EQ(s.majRC, 2u) << c.what;
            EXPECT_STREQ(s.desc, "Integrity check failed") << c.what;
        }
    }
}

TEST_F(oxllib, RandomBytesAndBase64)
{
    attach();
    unsigned char a[32] = {}, b[32] = {};
    ASSERT_EQ(OXLC_RAND_bytes(ctx, a, 32), 1);
    ASSERT_EQ(OXLC_RAND_bytes(ctx, b, 32), 1);
    EXPECT_NE(memcmp(a, b, 32), 0);
    unsigned char enc[16] = {};
    EXPECT_EQ(OXLC_EVP_EncodeBlock(ctx, enc, reinterpret_cast<const unsigned char *>("abc"), 3), 4);
    EXPECT_STREQ(reinterpret_cast<char *>(enc), "YWJj");
}

TEST_F(oxllib, ErrorStringIntoTheCallersBuffer)
{
    char buf[256] = {};
    EXPECT_EQ(OXLC_ERR_error_string(ctx, 0, buf), buf);
    EXPECT_STRNE(buf, "My Precious");
    EXPECT_EQ(OXLC_ERR_error_string(ctx, 0, nullptr), nullptr);
}

// A process that loads the library maps libcrypto and libc with it, nothing
// of the C++ runtime; its relocations are read-only once it is loaded.
TEST(oxllibLinkage, NeedsOnlyLibcryptoAndLibc)
{
    elfinfo::Linkage l = elfinfo::readLinkage(KEL_BINARY_DIR "/oxl/oxllib/liboxllib.so");
    ASSERT_TRUE(l.read);
    EXPECT_TRUE(l.relro);
    if (elfinfo::kSanitized)
        GTEST_SKIP() << "a sanitizer build links the sanitizers' runtimes into the library";
    EXPECT_EQ(elfinfo::neededBeyond(l, {"libcrypto.so.", "libc.so."}), std::vector<std::string>{});
}
