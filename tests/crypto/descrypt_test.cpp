// DES against published vectors and against OpenSSL's single-block DES, with
// the chaining and final-partial-block rules written out here independently.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "crypto/descrypt.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes fromHex(const std::string &hex)
{
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string toHex(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}
std::string toHex(const Bytes &b) { return toHex(b.data(), b.size()); }

// OpenSSL's single-block DES.
class OracleDes {
public:
    explicit OracleDes(const unsigned char *key)
    {
        DES_cblock k;
        memcpy(k, key, 8);
        DES_set_key_unchecked(&k, &ks_);
    }
    void encrypt(const unsigned char *in, unsigned char *out)
    {
        block(in, out, DES_ENCRYPT);
    }
    void decrypt(const unsigned char *in, unsigned char *out)
    {
        block(in, out, DES_DECRYPT);
    }

private:
    void block(const unsigned char *in, unsigned char *out, int enc)
    {
        DES_cblock i, o;
        memcpy(i, in, 8);
        DES_ecb_encrypt(&i, &o, &ks_, enc);
        memcpy(out, o, 8);
    }
    DES_key_schedule ks_;
};

// CBC with the chaining value iv; a final partial block is XORed with the
// encipherment of the last whole ciphertext block (or of iv), in both
// directions. iv ends holding the last whole ciphertext block if any.
Bytes referenceCbc(bool encrypt, const unsigned char *key, unsigned char *iv, const Bytes &in)
{
    OracleDes des(key);
    Bytes out(in.size());
    const size_t n = in.size() / 8, rest = in.size() % 8;
    unsigned char chain[8], tmp[8];
    memcpy(chain, iv, 8);
    for (size_t i = 0; i < n; ++i) {
        if (encrypt) {
            for (int k = 0; k < 8; ++k)
                tmp[k] = in[8 * i + k] ^ chain[k];
            des.encrypt(tmp, &out[8 * i]);
            memcpy(chain, &out[8 * i], 8);
        } else {
            des.decrypt(&in[8 * i], tmp);
            for (int k = 0; k < 8; ++k)
                out[8 * i + k] = tmp[k] ^ chain[k];
            memcpy(chain, &in[8 * i], 8);
        }
    }
    if (rest > 0) {
        des.encrypt(chain, tmp);
        for (size_t k = 0; k < rest; ++k)
            out[8 * n + k] = in[8 * n + k] ^ tmp[k];
    }
    if (n > 0)
        memcpy(iv, chain, 8);
    return out;
}

constexpr unsigned char fixedIV[8] = {0x2C, 0x2C, 0x2C, 0x2C, 0x2C, 0x2C, 0x2C, 0x2C};
constexpr unsigned char foldingKey[8] = {0x4E, 0x4E, 0x4E, 0x4E, 0x4E, 0x4E, 0x4E, 0x4E};

// ---- Published single-block vectors, zero chaining value ----

struct Vector {
    const char *key, *plain, *cipher;
};

// FIPS 46 / NBS SP 500-20 known answers and the classic worked examples.
const Vector publishedVectors[] = {
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0000000000000000", "0000000000000000", "8CA64DE9C1B123A7"},
    {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "7359B2163E4EDC58"},
    {"3000000000000000", "1000000000000001", "958E6E627A05557B"},
    {"1111111111111111", "1111111111111111", "F40379AB9E0EC533"},
    {"0123456789ABCDEF", "1111111111111111", "17668DFC7292532D"},
    {"FEDCBA9876543210", "0123456789ABCDEF", "ED39D950FA74BCC4"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
};

TEST(DesVectors, PublishedSingleBlocksBothDirections)
{
    DESCrypt shared; // one object across all keys: exercises the schedule cache
    for (const Vector &v : publishedVectors) {
        SCOPED_TRACE(v.key);
        Bytes key = fromHex(v.key), plain = fromHex(v.plain), cipher = fromHex(v.cipher);
        for (int fresh = 0; fresh < 2; ++fresh) {
            DESCrypt own;
            DESCrypt &des = fresh ? own : shared;
            unsigned char iv[8] = {}, out[8];
            des.desCipherData(DESCRYPT_ENCRYPT, key.data(), iv, plain.data(), out, 8);
            EXPECT_EQ(toHex(out, 8), v.cipher);
            des.desCipherData(0, key.data(), iv, cipher.data(), out, 8);
            EXPECT_EQ(toHex(out, 8), v.plain);
        }
    }
}

// Rivest's iterated test: X(i+1) = E(Xi, Xi) for even i, D(Xi, Xi) for odd i.
TEST(DesVectors, RivestIteration)
{
    DESCrypt des;
    Bytes x = fromHex("9474B8E8C73BCA7D");
    for (int i = 0; i < 16; ++i) {
        unsigned char iv[8] = {}, out[8];
        Bytes key = x;
        des.desCipherData(i % 2 == 0 ? DESCRYPT_ENCRYPT : 0, key.data(), iv, x.data(), out, 8);
        x.assign(out, out + 8);
    }
    EXPECT_EQ(toHex(x), "1B1A2DDB4C642438");
}

// ---- Bit identity with the reference over random keys, chaining values and lengths ----

TEST(DesCbc, MatchesReferenceAllLengthsBothDirectionsAndInPlace)
{
    std::mt19937 rng(20261210);
    DESCrypt des;
    for (unsigned int len = 0; len <= 200; ++len) {
        for (int rep = 0; rep < 3; ++rep) {
            unsigned char key[8], iv[8];
            for (auto &b : key)
                b = static_cast<unsigned char>(rng());
            for (auto &b : iv)
                b = static_cast<unsigned char>(rng());
            Bytes in(len);
            for (auto &b : in)
                b = static_cast<unsigned char>(rng());
            for (int encrypt = 0; encrypt < 2; ++encrypt) {
                for (int inPlace = 0; inPlace < 2; ++inPlace) {
                    for (int writeBack = 0; writeBack < 2; ++writeBack) {
                        SCOPED_TRACE(::testing::Message() << "len " << len << " encrypt " << encrypt
                                                          << " inPlace " << inPlace << " writeBack " << writeBack);
                        unsigned char refIv[8], gotIv[8];
                        memcpy(refIv, iv, 8);
                        memcpy(gotIv, iv, 8);
                        Bytes expected = referenceCbc(encrypt, key, refIv, in);
                        // Guard bytes around the output show nothing beyond len is written;
                        // a separate output starts as filler, not as a copy of the input.
                        Bytes buf(len + 16, 0xA7);
                        if (inPlace && len > 0)
                            memcpy(buf.data() + 8, in.data(), len);
                        const unsigned char *src = inPlace ? buf.data() + 8 : in.data();
                        unsigned char flags = (encrypt ? DESCRYPT_ENCRYPT : 0) | (writeBack ? DESCRYPT_WRITE_BACK_IV : 0);
                        ASSERT_EQ(des.desCipherData(flags, key, gotIv, src, buf.data() + 8, len), 0);
                        ASSERT_EQ(toHex(buf.data() + 8, len), toHex(expected));
                        for (int g = 0; g < 8; ++g) {
                            ASSERT_EQ(buf[g], 0xA7);
                            ASSERT_EQ(buf[len + 8 + g], 0xA7);
                        }
                        ASSERT_EQ(toHex(gotIv, 8), toHex(writeBack ? refIv : iv, 8));
                    }
                }
            }
        }
    }
}

TEST(DesCbc, DecipherInverts)
{
    std::mt19937 rng(7);
    DESCrypt des;
    for (unsigned int len : {1u, 3u, 8u, 11u, 16u, 63u, 64u, 200u}) {
        unsigned char key[8], iv[8];
        for (auto &b : key)
            b = static_cast<unsigned char>(rng());
        for (auto &b : iv)
            b = static_cast<unsigned char>(rng());
        Bytes plain(len);
        for (auto &b : plain)
            b = static_cast<unsigned char>(rng());
        Bytes work = plain;
        unsigned char iv1[8], iv2[8];
        memcpy(iv1, iv, 8);
        memcpy(iv2, iv, 8);
        des.desCipherData(DESCRYPT_ENCRYPT, key, iv1, work.data(), work.data(), len);
        EXPECT_NE(work, plain);
        des.desCipherData(0, key, iv2, work.data(), work.data(), len);
        EXPECT_EQ(work, plain) << "len " << len;
    }
}

// ---- cipherData ----

TEST(DesCipherData, FixedChainingValueAndNoChainingBetweenCalls)
{
    DESCrypt des;
    const Bytes key = fromHex("0123456789ABCDEF");
    const Bytes keyBefore = key;
    for (unsigned int len : {1u, 8u, 11u, 64u}) {
        Bytes in(len);
        for (unsigned int i = 0; i < len; ++i)
            in[i] = static_cast<unsigned char>(i * 7 + 1);
        unsigned char refIv[8];
        memcpy(refIv, fixedIV, 8);
        Bytes expected = referenceCbc(true, key.data(), refIv, in);
        for (int call = 0; call < 2; ++call) {
            Bytes out(len, 0);
            unsigned int outLen = 0;
            ASSERT_EQ(des.cipherData(CRYPTO_ENCRYPT, key.data(), in.data(), len, out.data(), &outLen), 0);
            EXPECT_EQ(outLen, len);
            EXPECT_EQ(toHex(out), toHex(expected)) << "len " << len << " call " << call;
            Bytes back(len, 0);
            ASSERT_EQ(des.cipherData(CRYPTO_DECRYPT, key.data(), out.data(), len, back.data(), &outLen), 0);
            EXPECT_EQ(back, in);
        }
    }
    EXPECT_EQ(key, keyBefore);
}

TEST(DesCipherData, ArgumentErrorsAndEmptyInput)
{
    DESCrypt des;
    unsigned char key[8] = {1, 2, 3, 4, 5, 6, 7, 8}, in[8] = {}, out[8];
    unsigned int outLen = 99;
    EXPECT_EQ(des.cipherData(1, key, in, 8, nullptr, &outLen), RC_INVALID_PARM);
    EXPECT_EQ(des.cipherData(1, key, in, 8, out, nullptr), RC_INVALID_PARM);
    EXPECT_EQ(des.cipherData(1, nullptr, in, 8, out, &outLen), RC_INVALID_PARM);
    EXPECT_EQ(des.cipherData(1, key, nullptr, 8, out, &outLen), RC_INVALID_PARM);
    EXPECT_EQ(outLen, 99u);

    memset(out, 0x5A, sizeof out);
    EXPECT_EQ(des.cipherData(1, key, in, 0, out, &outLen), 0);
    EXPECT_EQ(outLen, 0u);
    for (unsigned char b : out)
        EXPECT_EQ(b, 0x5A);
}

// ---- utEncKey ----

// The key is the last block of CBC under 4E..4E from 2C..2C over the
// password padded with zeros to a multiple of 8.
Bytes referenceFold(const Bytes &password)
{
    Bytes padded = password;
    padded.resize((password.size() + 7) / 8 * 8, 0);
    unsigned char iv[8];
    memcpy(iv, fixedIV, 8);
    Bytes c = referenceCbc(true, foldingKey, iv, padded);
    return Bytes(c.end() - 8, c.end());
}

TEST(DesUtEncKey, FoldsLikeTheReference)
{
    struct Case {
        const char *name;
        Bytes password;
    } cases[] = {
        {"3 bytes", {'a', 'b', 'c'}},
        {"3 bytes and a zero", {'a', 'b', 'c', 0}},
        {"8 bytes", {'P', 'A', 'S', 'S', 'W', 'O', 'R', 'D'}},
        {"9 bytes", {'P', 'A', 'S', 'S', 'W', 'O', 'R', 'D', '9'}},
        {"64 bytes", Bytes(64, 'Z')},
    };
    DESCrypt des;
    for (const Case &c : cases) {
        unsigned char key[8] = {};
        ASSERT_EQ(des.utEncKey(c.password.data(), static_cast<unsigned int>(c.password.size()), key), 0) << c.name;
        EXPECT_EQ(toHex(key, 8), toHex(referenceFold(c.password))) << c.name;
    }

    unsigned char k3[8], k4[8];
    const unsigned char abc0[] = {'a', 'b', 'c', 0};
    des.utEncKey(abc0, 3, k3);
    des.utEncKey(abc0, 4, k4);
    EXPECT_EQ(toHex(k3, 8), toHex(k4, 8));
}

TEST(DesUtEncKey, RejectsEmptyPassword)
{
    DESCrypt des;
    unsigned char key[8] = {}, pw[1] = {'x'};
    EXPECT_EQ(des.utEncKey(pw, 0, key), RC_INVALID_PARM);
    EXPECT_EQ(des.utEncKey(nullptr, 4, key), RC_INVALID_PARM);
}

// ---- Streaming ----

struct StreamCase {
    const char *name;
    std::vector<unsigned int> chunks; // the last one is sent with lastBuffer 1
    std::vector<unsigned int> outLens;
};

const StreamCase streamCases[] = {
    {"3+3+5", {3, 3, 5}, {0, 0, 11}},
    {"11 at once", {11}, {11}},
    {"8+3", {8, 3}, {8, 3}},
    {"5+3+0", {5, 3, 0}, {0, 8, 0}},
    {"0+16", {0, 16}, {0, 16}},
    {"7+9+1", {7, 9, 1}, {0, 16, 1}},
    {"20+4 last partial", {20, 4}, {16, 8}},
};

std::string streamPassword() { return "STREAM-PASSWORD"; }

void runStream(Crypto &c, unsigned char direction, const StreamCase &sc, const Bytes &in, Bytes &out)
{
    ASSERT_EQ(c.encDataInit(direction, streamPassword().c_str()), 0);
    EXPECT_EQ(c.getEncState(), encInit);
    size_t pos = 0;
    out.assign(in.size() + 8, 0);
    size_t outPos = 0;
    for (size_t i = 0; i < sc.chunks.size(); ++i) {
        const bool last = i + 1 == sc.chunks.size();
        unsigned int outLen = 12345;
        ASSERT_EQ(c.encData(last ? 1 : 0, in.data() + pos, sc.chunks[i], out.data() + outPos, &outLen), 0);
        EXPECT_EQ(outLen, sc.outLens[i]) << "chunk " << i;
        pos += sc.chunks[i];
        outPos += outLen;
    }
    out.resize(outPos);
    EXPECT_EQ(c.getEncState(), encDone);
    EXPECT_EQ(c.encDataTerm(), 0);
    EXPECT_EQ(c.getEncState(), encTerminated);
}

TEST(DesStream, ChunkingsMatchOneCbcOverTheWhole)
{
    const std::string pw = streamPassword();
    Bytes key = referenceFold(Bytes(pw.begin(), pw.end()));
    for (const StreamCase &sc : streamCases) {
        SCOPED_TRACE(sc.name);
        size_t total = 0;
        for (unsigned int n : sc.chunks)
            total += n;
        Bytes plain(total);
        for (size_t i = 0; i < total; ++i)
            plain[i] = static_cast<unsigned char>(0x30 + i);
        unsigned char iv[8];
        memcpy(iv, DESCRYPT_STREAM_IV, 8);
        Bytes expected = referenceCbc(true, key.data(), iv, plain);

        DESCrypt des;
        Bytes cipher, back;
        runStream(des, CRYPTO_ENCRYPT, sc, plain, cipher);
        EXPECT_EQ(toHex(cipher), toHex(expected));
        runStream(des, CRYPTO_DECRYPT, sc, cipher, back);
        EXPECT_EQ(back, plain);
    }
}

TEST(DesStream, StateErrors)
{
    DESCrypt des;
    unsigned char in[16] = {}, out[24];
    unsigned int outLen = 0;
    EXPECT_EQ(des.getEncState(), encNone);
    EXPECT_EQ(des.encData(0, in, 8, out, &outLen), CRYPTO_RC_BAD_STATE);
    EXPECT_EQ(des.encDataTerm(), CRYPTO_RC_BAD_STATE);
    EXPECT_EQ(des.getEncState(), encFailed);

    // Term right after init fails, and the stream is then unusable.
    ASSERT_EQ(des.encDataInit(1, "pw"), 0);
    EXPECT_EQ(des.encDataTerm(), CRYPTO_RC_BAD_STATE);
    EXPECT_EQ(des.getEncState(), encFailed);
    EXPECT_EQ(des.encData(1, in, 8, out, &outLen), CRYPTO_RC_BAD_STATE);

    // Missing buffers: 131, state stays active.
    ASSERT_EQ(des.encDataInit(1, "pw"), 0);
    EXPECT_EQ(des.encData(0, nullptr, 0, out, &outLen), CRYPTO_RC_BAD_STATE);
    EXPECT_EQ(des.getEncState(), encActive);
    EXPECT_EQ(des.encData(1, in, 8, nullptr, &outLen), CRYPTO_RC_BAD_STATE);
    EXPECT_EQ(des.encData(1, nullptr, 8, out, &outLen), CRYPTO_RC_BAD_STATE);
    EXPECT_EQ(des.encData(1, in, 8, out, nullptr), CRYPTO_RC_BAD_STATE);
    EXPECT_EQ(des.getEncState(), encActive);

    // After the last buffer nothing more is accepted; term succeeds once done.
    EXPECT_EQ(des.encData(1, in, 8, out, &outLen), 0);
    EXPECT_EQ(des.encData(0, in, 8, out, &outLen), CRYPTO_RC_BAD_STATE);
    EXPECT_EQ(des.encDataTerm(), 0);

    // A last buffer may be empty with no input pointer.
    ASSERT_EQ(des.encDataInit(1, "pw"), 0);
    EXPECT_EQ(des.encData(0, in, 3, out, &outLen), 0);
    EXPECT_EQ(des.encData(1, nullptr, 0, out, &outLen), 0);
    EXPECT_EQ(outLen, 3u);
    EXPECT_EQ(des.encDataTerm(), 0);

    // Any non-zero last-buffer flag ends the stream with everything processed.
    ASSERT_EQ(des.encDataInit(1, "pw"), 0);
    EXPECT_EQ(des.encData(0, in, 3, out, &outLen), 0);
    EXPECT_EQ(des.encData(2, in, 2, out, &outLen), 0);
    EXPECT_EQ(outLen, 5u);
    EXPECT_EQ(des.encDataTerm(), 0);

    // Empty or missing password: 109, state unchanged.
    EXPECT_EQ(des.encDataInit(1, ""), RC_INVALID_PARM);
    EXPECT_EQ(des.encDataInit(1, nullptr), RC_INVALID_PARM);
    EXPECT_EQ(des.getEncState(), encTerminated);
    EXPECT_EQ(des.encGetMaxResLen(), 8u);
}

// ---- Random bytes ----

ssize_t failingSource(void *, size_t, unsigned int)
{
    errno = EIO;
    return -1;
}

int interruptedOnce;
// Interrupted once, then delivers at most 5 bytes per call.
ssize_t slowSource(void *buf, size_t len, unsigned int)
{
    if (interruptedOnce++ == 0) {
        errno = EINTR;
        return -1;
    }
    size_t n = len < 5 ? len : 5;
    memset(buf, 0xC3, n);
    return static_cast<ssize_t>(n);
}

class DesRandom : public ::testing::Test {
protected:
    void TearDown() override { desSetRandomSource(nullptr); }
};

TEST_F(DesRandom, FillsTheWholeBuffer)
{
    DESCrypt des;
    // 64 bytes all left at one value by chance is out of the question.
    Bytes a(64, 0), b(64, 0);
    ASSERT_EQ(des.utRand(a.data(), 64), 0);
    ASSERT_EQ(des.utRand(b.data(), 64), 0);
    EXPECT_NE(a, b);
    EXPECT_NE(a, Bytes(64, 0));
    unsigned char key[9] = {};
    ASSERT_EQ(des.utRandKey(key), 0);
    EXPECT_EQ(key[8], 0) << "utRandKey writes 8 bytes only";
}

TEST_F(DesRandom, FailureOfTheSourceIsReported)
{
    DESCrypt des;
    desSetRandomSource(failingSource);
    Bytes buf(32, 0x77);
    EXPECT_NE(des.utRand(buf.data(), 32), 0);
    EXPECT_EQ(buf, Bytes(32, 0)) << "nothing predictable is handed out";
    unsigned char key[8];
    EXPECT_NE(des.utRandKey(key), 0);
}

TEST_F(DesRandom, InterruptedAndShortReadsAreCompleted)
{
    DESCrypt des;
    interruptedOnce = 0;
    desSetRandomSource(slowSource);
    Bytes buf(23, 0);
    ASSERT_EQ(des.utRand(buf.data(), 23), 0);
    EXPECT_EQ(buf, Bytes(23, 0xC3));
}

// ---- Key material does not outlive the object ----

TEST(DesLifetime, DestructorZeroesKeyMaterial)
{
    alignas(DESCrypt) unsigned char storage[sizeof(DESCrypt)];
    memset(storage, 0, sizeof storage);
    DESCrypt *des = new (storage) DESCrypt();
    unsigned char key[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1}, iv[8] = {}, data[11] = {};
    des->desCipherData(DESCRYPT_ENCRYPT, key, iv, data, data, 8);
    ASSERT_EQ(des->encDataInit(1, "secret"), 0);
    unsigned int outLen;
    ASSERT_EQ(des->encData(0, data, 11, data, &outLen), 0); // leaves 3 bytes held back

    auto ownBytesNonZero = [&] {
        size_t count = 0;
        for (size_t i = sizeof(Crypto); i < sizeof storage; ++i)
            count += storage[i] != 0;
        return count;
    };
    ASSERT_GT(ownBytesNonZero(), 0u);
    des->~DESCrypt();
    EXPECT_EQ(ownBytesNonZero(), 0u);
}

} // namespace
