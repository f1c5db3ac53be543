#include "crypto/descrypt.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <sys/random.h>

#include "base/fio.h"
#include "base/kelmem.h"
#include "base/secure.h"
#include "diag/trace.h"

static const char trSrcFile[] = "descrypt";

namespace {

// Initial chaining value of every cipherData call and of utEncKey. Stored
// records and callers' answers depend on it.
constexpr unsigned char fixedIV[8] = {0x2C, 0x2C, 0x2C, 0x2C, 0x2C, 0x2C, 0x2C, 0x2C};
// Key with which utEncKey folds a password; callers' keys depend on it.
constexpr unsigned char foldingKey[8] = {0x4E, 0x4E, 0x4E, 0x4E, 0x4E, 0x4E, 0x4E, 0x4E};

// ---- The standard's tables (bit numbers 1-based, most significant first) ----

constexpr int stdP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1, 15, 23, 26, 5, 18, 31, 10,
                          2, 8, 24, 14, 32, 27, 3, 9, 19, 13, 30, 6, 22, 11, 4, 25};

constexpr unsigned char stdS[8][64] = {
    {14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7, 0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8,
     4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0, 15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13},
    {15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10, 3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15, 13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8, 13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1,
     13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7, 1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12},
    {7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15, 13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9,
     10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4, 3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14},
    {2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9, 14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6,
     4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14, 11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3},
    {12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11, 10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8,
     9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6, 4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13},
    {4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1, 13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6,
     1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2, 6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12},
    {13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7, 1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2,
     7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8, 2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}};

constexpr int stdPC1[56] = {57, 49, 41, 33, 25, 17, 9, 1, 58, 50, 42, 34, 26, 18, 10, 2, 59, 51, 43,
                            35, 27, 19, 11, 3, 60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7, 62, 54,
                            46, 38, 30, 22, 14, 6, 61, 53, 45, 37, 29, 21, 13, 5, 28, 20, 12, 4};

constexpr int stdPC2[48] = {14, 17, 11, 24, 1, 5, 3, 28, 15, 6, 21, 10, 23, 19, 12, 4,
                            26, 8, 16, 7, 27, 20, 13, 2, 41, 52, 31, 37, 47, 55, 30, 40,
                            51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr int stdShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr uint32_t rotl32(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
constexpr uint32_t rotr32(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

// ---- Tables derived from them ----
//
// The rounds keep both halves rotated left by one bit. In that form the six
// input bits of S-boxes 2, 4, 6, 8 (expansion included) sit at bits 29-24,
// 21-16, 13-8, 5-0 of the half, and those of S-boxes 1, 3, 5, 7 at the same
// places of the half rotated right by four more bits. sbtab[j][v] is the
// S-box j output for input v, put through P and rotated the same way.

constexpr std::array<std::array<uint32_t, 64>, 8> makeSbtab()
{
    std::array<std::array<uint32_t, 64>, 8> t{};
    for (int j = 0; j < 8; ++j) {
        for (int v = 0; v < 64; ++v) {
            int row = ((v >> 4) & 2) | (v & 1);
            int col = (v >> 1) & 15;
            uint32_t sOut = uint32_t(stdS[j][row * 16 + col]) << (28 - 4 * j);
            uint32_t pOut = 0;
            for (int i = 0; i < 32; ++i)
                if ((sOut >> (32 - stdP[i])) & 1)
                    pOut |= 1u << (31 - i);
            t[j][v] = rotl32(pOut, 1);
        }
    }
    return t;
}
constexpr auto sbtab = makeSbtab();

// Bit of a round-key word for its j-th key bit (j = 0-23, four 6-bit groups).
constexpr std::array<uint32_t, 24> makeMasks()
{
    std::array<uint32_t, 24> m{};
    for (int j = 0; j < 24; ++j)
        m[j] = 1u << (29 - (j % 6) - 8 * (j / 6));
    return m;
}
constexpr auto masks = makeMasks();

// kseltab[i][j]: the key bit (byte * 7 + bit within the byte, parity left
// out) behind bit j of half-round word i (round i/2; even words feed S-boxes
// 1, 3, 5, 7, odd words 2, 4, 6, 8). Combines permuted choice 1, the
// schedule's rotations and permuted choice 2.
constexpr std::array<std::array<unsigned char, 24>, 32> makeKseltab()
{
    std::array<std::array<unsigned char, 24>, 32> t{};
    int shift = 0;
    for (int round = 0; round < 16; ++round) {
        shift += stdShifts[round];
        for (int word = 0; word < 2; ++word) {
            for (int j = 0; j < 24; ++j) {
                int box = 2 * (j / 6) + word;      // 0-based S-box
                int pc2 = stdPC2[6 * box + j % 6]; // 1-based position in C||D
                int pc1Index = pc2 <= 28 ? (pc2 - 1 + shift) % 28 : 28 + (pc2 - 29 + shift) % 28;
                int keyBit = stdPC1[pc1Index] - 1; // 0-based bit of the 64-bit key
                t[2 * round + word][j] = static_cast<unsigned char>((keyBit / 8) * 7 + keyBit % 8);
            }
        }
    }
    return t;
}
constexpr auto kseltab = makeKseltab();

// keyTab[q][v][i]: the bits that key nibble q (high nibble of byte q/2 for
// even q, low nibble for odd q; parity bits ignored) with value v sets in
// round-key word i. A schedule is the OR over the key's 16 nibbles.
using KeyTab = std::array<std::array<std::array<uint32_t, 32>, 16>, 16>;
constexpr KeyTab makeKeyTab()
{
    KeyTab t{};
    for (int i = 0; i < 32; ++i) {
        for (int j = 0; j < 24; ++j) {
            int bit = kseltab[i][j]; // byte * 7 + bit within byte, most significant first
            int byte = bit / 7, inByte = bit % 7;
            int q = 2 * byte + (inByte >= 4 ? 1 : 0);
            int nibbleBit = inByte >= 4 ? 7 - inByte : 3 - inByte;
            for (int v = 0; v < 16; ++v)
                if ((v >> nibbleBit) & 1)
                    t[q][v][i] |= masks[j];
        }
    }
    return t;
}
alignas(64) constexpr KeyTab keyTab = makeKeyTab();

inline uint32_t load32(const unsigned char *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void store32(unsigned char *p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

// Exchanges the bits of a selected by m << n with the bits of b selected by m.
inline void swapBits(uint32_t &a, uint32_t &b, int n, uint32_t m)
{
    uint32_t t = ((a >> n) ^ b) & m;
    b ^= t;
    a ^= t << n;
}

inline void initialPerm(uint32_t &l, uint32_t &r)
{
    swapBits(l, r, 4, 0x0f0f0f0fu);
    swapBits(l, r, 16, 0x0000ffffu);
    swapBits(r, l, 2, 0x33333333u);
    swapBits(r, l, 8, 0x00ff00ffu);
    swapBits(l, r, 1, 0x55555555u);
}

inline void finalPerm(uint32_t &l, uint32_t &r)
{
    swapBits(l, r, 1, 0x55555555u);
    swapBits(r, l, 8, 0x00ff00ffu);
    swapBits(r, l, 2, 0x33333333u);
    swapBits(l, r, 16, 0x0000ffffu);
    swapBits(l, r, 4, 0x0f0f0f0fu);
}

inline uint32_t feistel(uint32_t r, const uint32_t *ks)
{
    uint32_t a = rotr32(r, 4) ^ ks[0];
    uint32_t b = r ^ ks[1];
    return sbtab[6][a & 0x3f] ^ sbtab[4][(a >> 8) & 0x3f] ^ sbtab[2][(a >> 16) & 0x3f] ^ sbtab[0][(a >> 24) & 0x3f] ^
           sbtab[7][b & 0x3f] ^ sbtab[5][(b >> 8) & 0x3f] ^ sbtab[3][(b >> 16) & 0x3f] ^ sbtab[1][(b >> 24) & 0x3f];
}

// One block: (l, r) are the big-endian halves; ks is a 32-word schedule.
inline void desBlock(uint32_t &l, uint32_t &r, const uint32_t *ks)
{
    initialPerm(l, r);
    l = rotl32(l, 1);
    r = rotl32(r, 1);
    for (int round = 0; round < 16; round += 2, ks += 4) {
        l ^= feistel(r, ks);
        r ^= feistel(l, ks + 2);
    }
    uint32_t outL = rotr32(r, 1);
    uint32_t outR = rotr32(l, 1);
    finalPerm(outL, outR);
    l = outL;
    r = outR;
}

std::once_flag randomStartUp;

#ifdef KEL_TEST_HOOKS
desRandomSource_t randomSource = nullptr;
#endif

// getrandom(2), or in a test build the source a test chose.
ssize_t randomBytes(void *buf, size_t len)
{
#ifdef KEL_TEST_HOOKS
    if (randomSource != nullptr)
        return randomSource(buf, len, 0);
#endif
    return getrandom(buf, len, 0);
}

// Fills buf from the random source; false when it cannot deliver.
bool drawRandom(unsigned char *buf, size_t len)
{
    return fioTransferFull([&](size_t off, size_t n) { return randomBytes(buf + off, n); }, len) == 0;
}

} // namespace

#ifdef KEL_TEST_HOOKS
void desSetRandomSource(desRandomSource_t source) { randomSource = source; }
#endif

DESCrypt::DESCrypt()
{
    cryptoType = CRYPTO_TYPE_DES;
    keySize = DESCRYPT_KEY_SIZE;
    encrType = ENCR_TYPE_DES;
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "DESCrypt: entering constructor\n");
    const unsigned char zeroKey[8] = {};
    InitKeyTable(zeroKey);
}

DESCrypt::~DESCrypt()
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "DESCrypt: entering destructor\n");
    residualLen = 0;
    kelZero(residualBuf, sizeof residualBuf);
    kelZero(streamKey, sizeof streamKey);
    kelZero(subKeys, sizeof subKeys);
    kelZero(cachedKey, sizeof cachedKey);
    kelZero(streamIV, sizeof streamIV);
}

void DESCrypt::InitKeyTable(const unsigned char *key)
{
    // Four words at a time: the OR over the 16 nibbles' rows is most of a key change.
    typedef uint32_t words4 __attribute__((vector_size(16), may_alias));
    words4 acc[8] = {};
    for (int q = 0; q < 16; ++q) {
        const unsigned int nibble = (key[q / 2] >> (q % 2 ? 0 : 4)) & 15u;
        const words4 *row = reinterpret_cast<const words4 *>(keyTab[q][nibble].data());
        for (int k = 0; k < 8; ++k)
            acc[k] |= row[k];
    }
    memcpy(subKeys, acc, 32 * sizeof(uint32_t));
    kelZero(acc, sizeof acc);
    // Decryption runs the rounds backwards, each round's two words kept in order.
    for (int i = 0; i < 32; ++i)
        subKeys[32 + 30 - i + 2 * (i % 2)] = subKeys[i];
}

void DESCrypt::useKey(const unsigned char *key)
{
    uint32_t hi = load32(key), lo = load32(key + 4);
    if (hi == cachedKey[0] && lo == cachedKey[1])
        return;
    InitKeyTable(key);
    cachedKey[0] = hi;
    cachedKey[1] = lo;
}

int DESCrypt::desCipherData(unsigned char flags, const unsigned char *key, unsigned char *iv, const unsigned char *in,
                            unsigned char *out, unsigned int len)
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "DESCrypt: entering desCipherData() with len %d\n", (int)len);
    useKey(key);
    const uint32_t *encKs = subKeys;
    const unsigned int n = len / 8, rest = len % 8;
    SecretBuf<8> pad;

    if (flags & DESCRYPT_ENCRYPT) {
        uint32_t cl = load32(iv), cr = load32(iv + 4);
        for (unsigned int i = 0; i < n; ++i) {
            uint32_t l = load32(in + 8 * i) ^ cl, r = load32(in + 8 * i + 4) ^ cr;
            desBlock(l, r, encKs);
            store32(out + 8 * i, l);
            store32(out + 8 * i + 4, r);
            cl = l;
            cr = r;
        }
        if ((flags & DESCRYPT_WRITE_BACK_IV) && n > 0) {
            store32(iv, cl);
            store32(iv + 4, cr);
        }
        if (rest > 0) {
            desBlock(cl, cr, encKs);
            store32(pad.data(), cl);
            store32(pad.data() + 4, cr);
            for (unsigned int k = 0; k < rest; ++k)
                out[8 * n + k] = in[8 * n + k] ^ pad.data()[k];
        }
        return 0;
    }

    // Deciphering: the trailing bytes first and the blocks backwards, so that
    // every ciphertext block is read before its place is overwritten.
    if (rest > 0) {
        const unsigned char *prev = n > 0 ? in + 8 * (n - 1) : iv;
        uint32_t l = load32(prev), r = load32(prev + 4);
        desBlock(l, r, encKs);
        store32(pad.data(), l);
        store32(pad.data() + 4, r);
        for (unsigned int k = 0; k < rest; ++k)
            out[8 * n + k] = in[8 * n + k] ^ pad.data()[k];
    }
    if (n == 0)
        return 0;
    const uint32_t *decKs = subKeys + 32;
    const uint32_t lastL = load32(in + 8 * (n - 1)), lastR = load32(in + 8 * (n - 1) + 4);
    uint32_t cl = lastL, cr = lastR;
    for (unsigned int i = n; i-- > 0;) {
        uint32_t l = cl, r = cr;
        desBlock(l, r, decKs);
        if (i > 0) {
            cl = load32(in + 8 * (i - 1));
            cr = load32(in + 8 * (i - 1) + 4);
        } else {
            cl = load32(iv);
            cr = load32(iv + 4);
        }
        store32(out + 8 * i, l ^ cl);
        store32(out + 8 * i + 4, r ^ cr);
    }
    if (flags & DESCRYPT_WRITE_BACK_IV) {
        store32(iv, lastL);
        store32(iv + 4, lastR);
    }
    return 0;
}

int DESCrypt::cipherData(unsigned char direction, const unsigned char *key, const unsigned char *in,
                         unsigned int inLen, unsigned char *out, unsigned int *outLenP)
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "Entering cipherData() with inLen %d\n", (int)inLen);
    if (out == nullptr || outLenP == nullptr) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "cipherData(): outBuff or outLenP is NULL. Returning RC_INVALID_PARM\n");
        return RC_INVALID_PARM;
    }
    if (key == nullptr || (in == nullptr && inLen > 0)) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "cipherData(): key or inBuff is NULL. Returning RC_INVALID_PARM\n");
        return RC_INVALID_PARM;
    }
    *outLenP = inLen;
    if (inLen == 0)
        return 0;
    SecretBuf<8> keyCopy;
    unsigned char iv[8];
    memcpy(keyCopy.data(), key, 8);
    memcpy(iv, fixedIV, sizeof iv);
    return desCipherData(direction & DESCRYPT_ENCRYPT, keyCopy.data(), iv, in, out, inLen);
}

int DESCrypt::utEncKey(const unsigned char *password, unsigned int passLen, unsigned char *keyOut)
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "DESCrypt: entering utEncKey()\n");
    if (passLen == 0 || password == nullptr || keyOut == nullptr)
        return RC_INVALID_PARM;
    const uint64_t workLen = (uint64_t(passLen) + 7) / 8 * 8;
    unsigned char *work = static_cast<unsigned char *>(KEL_MALLOC(workLen));
    if (work == nullptr)
        return CRYPTO_RC_NO_MEMORY;
    memset(work, 0, workLen);
    memcpy(work, password, passLen);
    unsigned char iv[8];
    memcpy(iv, fixedIV, sizeof iv);
    desCipherData(DESCRYPT_ENCRYPT, foldingKey, iv, work, work, static_cast<unsigned int>(workLen));
    memcpy(keyOut, work + workLen - 8, 8);
    kelZero(work, workLen);
    KEL_FREE(work);
    return 0;
}

int DESCrypt::utRand(unsigned char *buf, unsigned int len)
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "DESCrypt: entering utRand()\n");
    std::call_once(randomStartUp, [] {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "DESCrypt: utRand() draws from the system random source\n");
    });
    if (len == 0)
        return 0;
    if (buf == nullptr)
        return RC_INVALID_PARM;
    if (!drawRandom(buf, len)) {
        int err = errno;
        kelZero(buf, len);
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "DESCrypt: utRand(): the random source failed, errno %d\n", err);
        return CRYPTO_RC_RANDOM_FAILED;
    }
    return 0;
}

int DESCrypt::utRandKey(unsigned char *keyOut) { return utRand(keyOut, DESCRYPT_KEY_SIZE); }

int DESCrypt::encDataInit(unsigned char direction, const char *password)
{
    memcpy(streamIV, DESCRYPT_STREAM_IV, sizeof streamIV);
    residualLen = 0;
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "DESCrypt: entering encDataInit()\n");
    if (password == nullptr || password[0] == '\0')
        return RC_INVALID_PARM;
    kelZero(residualBuf, sizeof residualBuf);
    kelZero(streamKey, sizeof streamKey);
    int rc = utEncKey(reinterpret_cast<const unsigned char *>(password), static_cast<unsigned int>(strlen(password)),
                      streamKey);
    if (rc != 0) {
        // No stream under a key that was never made.
        kelZero(streamKey, sizeof streamKey);
        encState = encFailed;
        return rc;
    }
    encDirection = direction;
    encState = encInit;
    return 0;
}

void DESCrypt::processStream(const unsigned char *in, unsigned char *out, unsigned int len)
{
    const unsigned char flags = (encDirection & DESCRYPT_ENCRYPT) | DESCRYPT_WRITE_BACK_IV;
    if (TR_ENCRYPTDETAIL)
        printBuffer(in, len, CRYPTO_BEFORE, encDirection);
    desCipherData(flags, streamKey, streamIV, in, out, len);
    if (TR_ENCRYPTDETAIL)
        printBuffer(out, len, CRYPTO_AFTER, encDirection);
}

int DESCrypt::encData(int lastBuffer, const unsigned char *in, unsigned int inLen, unsigned char *out,
                      unsigned int *outLenP)
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "DESCrypt: entering encData() with inLen = %d\n", (int)inLen);
    if (encState != encInit && encState != encActive) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "DESCrypt::encData: unexpected encState <%d>. Exiting...\n", encState);
        return CRYPTO_RC_BAD_STATE;
    }
    encState = encActive;
    if ((in == nullptr && (lastBuffer == 0 || inLen > 0)) || out == nullptr || outLenP == nullptr) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "DESCrypt::encData: invalid buffer\n");
        return CRYPTO_RC_BAD_STATE;
    }
    unsigned int produced = 0;
    if (residualLen > 0) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "%d bytes of residual data found. Will append and process\n",
                     (int)residualLen);
        unsigned int take = DESCRYPT_BLOCK_SIZE - residualLen < inLen ? DESCRYPT_BLOCK_SIZE - residualLen : inLen;
        if (take > 0)
            memcpy(residualBuf + residualLen, in, take);
        residualLen += take;
        if (residualLen < DESCRYPT_BLOCK_SIZE && lastBuffer == 0) {
            if (TR_ENCRYPT)
                trPrintf(trSrcFile, __LINE__,
                         "Deferring processing of %d bytes in the residual buffer until next call\n",
                         (int)residualLen);
            *outLenP = 0;
            return 0;
        }
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "Processing %d bytes in the residual buffer\n", (int)residualLen);
        processStream(residualBuf, out, residualLen);
        produced = residualLen;
        out += residualLen;
        residualLen = 0;
        kelZero(residualBuf, sizeof residualBuf);
        in += take;
        inLen -= take;
    }
    if (lastBuffer == 0) {
        residualLen = inLen % DESCRYPT_BLOCK_SIZE;
        if (residualLen > 0)
            memcpy(residualBuf, in + inLen - residualLen, residualLen);
    } else {
        encState = encDone;
    }
    const unsigned int now = inLen - residualLen;
    *outLenP = produced + now;
    if (now > 0)
        processStream(in, out, now);
    return 0;
}

int DESCrypt::encDataTerm()
{
    if (TR_ENCRYPT)
        trPrintf(trSrcFile, __LINE__, "DESCrypt: entering encDataTerm()\n");
    if (encState == encDone && residualLen == 0) {
        encState = encTerminated;
        return 0;
    }
    if (encState == encDone) {
        if (TR_ENCRYPT)
            trPrintf(trSrcFile, __LINE__, "DESCrypt::encDataTerm: Still some residual data left to be encrypted\n");
    } else if (TR_ENCRYPT) {
        trPrintf(trSrcFile, __LINE__, "DESCrypt::encDataTerm: encrypt block state is not yet encDone.\n");
    }
    encState = encFailed;
    return CRYPTO_RC_BAD_STATE;
}

unsigned int DESCrypt::encGetMaxResLen() { return DESCRYPT_BLOCK_SIZE; }

void DESCrypt::cryptoCleanUp() {}
