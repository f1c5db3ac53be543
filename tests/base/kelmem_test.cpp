#include "base/kelmem.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "header layout below is written for a little-endian host");

unsigned char *sysBlock(void *user) { return static_cast<unsigned char *>(user) - 16; }

// The guard layout of a block of n user bytes, written out byte by byte.
std::vector<unsigned char> expectedHeader(uint64_t n)
{
    uint64_t total = n + 20;
    std::vector<unsigned char> h = {0xBA, 0xDC, 0xCD, 0xAB, 0, 0, 0, 0};
    for (int i = 0; i < 8; i++)
        h.push_back(static_cast<unsigned char>(total >> (8 * i)));
    return h;
}
const unsigned char kTrailer[4] = {0xBA, 0xDC, 0xCD, 0xAB};

void expectLayout(void *user, uint64_t n)
{
    std::vector<unsigned char> header = expectedHeader(n);
    EXPECT_EQ(0, memcmp(sysBlock(user), header.data(), header.size()));
    EXPECT_EQ(0, memcmp(static_cast<unsigned char *>(user) + n, kTrailer, 4));
}

TEST(KelMem, BlockLayoutForEachAllocator)
{
    for (uint64_t n : {0u, 1u, 5u, 16u, 1000u}) {
        SCOPED_TRACE(n);
        void *m = kelMalloc(n, __FILE__, __LINE__);
        void *c = kelCalloc(static_cast<int>(n), 1, __FILE__, __LINE__);
        void *r = kelRealloc(nullptr, n, __FILE__, __LINE__);
        for (void *p : {m, c, r}) {
            ASSERT_NE(nullptr, p);
            expectLayout(p, n);
            EXPECT_EQ(0, chkSnake(p, __FILE__, __LINE__));
        }
        kelFree(m, __FILE__, __LINE__);
        kelFree(c, __FILE__, __LINE__);
        kelFree(r, __FILE__, __LINE__);
    }
}

TEST(KelMem, CallocZeroFillsTheProduct)
{
    auto *p = static_cast<unsigned char *>(kelCalloc(3, 7, __FILE__, __LINE__));
    ASSERT_NE(nullptr, p);
    for (int i = 0; i < 21; i++)
        EXPECT_EQ(0, p[i]);
    expectLayout(p, 21);
    kelFree(p, __FILE__, __LINE__);
}

TEST(KelMem, ReallocKeepsContentAndMovesTrailer)
{
    auto *p = static_cast<char *>(kelMalloc(4, __FILE__, __LINE__));
    ASSERT_NE(nullptr, p);
    memcpy(p, "abcd", 4);
    sysBlock(p)[4] = 0x55;   // the second header word is carried over, not rewritten
    auto *q = static_cast<char *>(kelRealloc(p, 300, __FILE__, __LINE__));
    ASSERT_NE(nullptr, q);
    EXPECT_EQ(0, memcmp(q, "abcd", 4));
    EXPECT_EQ(0x55, sysBlock(q)[4]);
    sysBlock(q)[4] = 0;
    expectLayout(q, 300);
    q = static_cast<char *>(kelRealloc(q, 2, __FILE__, __LINE__));
    ASSERT_NE(nullptr, q);
    expectLayout(q, 2);
    kelFree(q, __FILE__, __LINE__);
}

// Each damage is detected, the block is refused by realloc and kept by free:
// it stays readable (a freed block would be reported by the address sanitizer),
// and repairing the byte makes it releasable again.
TEST(KelMem, DamagedGuardsAreDetectedAndTheBlockIsLeaked)
{
    struct Case {
        const char *name;
        long offset;   // from the user pointer
        unsigned char value;
    };
    const uint64_t n = 24;
    const Case cases[] = {
        {"one byte past the user area", 24, 0x00},
        {"last trailer byte", 27, 0x00},
        {"first header byte", -16, 0x00},
        {"fourth header byte", -13, 0x00},
        {"size word grown beyond the block", -8 + 1, 0x7F},
        {"size word below the guard overhead", -8, 0x05},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        auto *p = static_cast<unsigned char *>(kelMalloc(n, __FILE__, __LINE__));
        ASSERT_NE(nullptr, p);
        memset(p, 0x11, n);
        unsigned char saved = p[c.offset];
        p[c.offset] = c.value;
        EXPECT_EQ(-1, chkSnake(p, __FILE__, __LINE__));
        EXPECT_EQ(nullptr, kelRealloc(p, 100, __FILE__, __LINE__));
        kelFree(p, __FILE__, __LINE__);
        EXPECT_EQ(0x11, p[0]);
        EXPECT_EQ(0x11, p[n - 1]);
        p[c.offset] = saved;
        EXPECT_EQ(0, chkSnake(p, __FILE__, __LINE__));
        kelFree(p, __FILE__, __LINE__);
    }
}

TEST(KelMem, NullPointers)
{
    EXPECT_EQ(0, chkSnake(nullptr, __FILE__, __LINE__));
    kelFree(nullptr, __FILE__, __LINE__);   // nothing to release
}

TEST(KelMem, SizesWhoseArithmeticWouldWrapAreRefused)
{
    EXPECT_EQ(nullptr, kelMalloc(UINT64_MAX, __FILE__, __LINE__));
    EXPECT_EQ(nullptr, kelMalloc(UINT64_MAX - 19, __FILE__, __LINE__));
    EXPECT_EQ(nullptr, kelCalloc(2, UINT64_MAX / 2 + 1, __FILE__, __LINE__));
    EXPECT_EQ(nullptr, kelCalloc(16, UINT64_MAX / 16, __FILE__, __LINE__));   // product fits, guards do not
    EXPECT_EQ(nullptr, kelCalloc(-1, 8, __FILE__, __LINE__));
    void *p = kelMalloc(8, __FILE__, __LINE__);
    ASSERT_NE(nullptr, p);
    memset(p, 0x22, 8);
    EXPECT_EQ(nullptr, kelRealloc(p, UINT64_MAX - 5, __FILE__, __LINE__));
    EXPECT_EQ(0, chkSnake(p, __FILE__, __LINE__));   // the old block is still the caller's
    EXPECT_EQ(0x22, static_cast<unsigned char *>(p)[7]);
    kelFree(p, __FILE__, __LINE__);
}

// The allocator reports a refusal by its result and errno alone; its callers
// trace it. errno is ENOMEM whether the heap or the size check refused.
TEST(KelMem, RefusalsLeaveEnomem)
{
    void *old = kelMalloc(8, __FILE__, __LINE__);
    ASSERT_NE(nullptr, old);
    struct Case {
        const char *name;
        void *(*call)(void *old);
    } cases[] = {
        {"malloc, size wraps", [](void *) { return kelMalloc(UINT64_MAX, __FILE__, __LINE__); }},
        {"calloc, product wraps", [](void *) { return kelCalloc(2, UINT64_MAX / 2 + 1, __FILE__, __LINE__); }},
        {"calloc, negative count", [](void *) { return kelCalloc(-1, 8, __FILE__, __LINE__); }},
        {"realloc, size wraps", [](void *o) { return kelRealloc(o, UINT64_MAX - 5, __FILE__, __LINE__); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        errno = 0;
        EXPECT_EQ(nullptr, c.call(old));
        EXPECT_EQ(ENOMEM, errno);
    }
    kelFree(old, __FILE__, __LINE__);
}

int noMemAnswer = 0;
int noMemCalls = 0;
int abortCalls = 0;
int answerNoMem()
{
    noMemCalls++;
    return noMemAnswer;
}
void countAbort() { abortCalls++; }
int failEverything(uint64_t) { return 1; }

class NoMemoryHooks : public ::testing::Test {
protected:
    void SetUp() override
    {
        noMemCalls = abortCalls = 0;
        pfnCallIfNoMem = answerNoMem;
        pfnCallIfAbort = countAbort;
        pfnKelFailAlloc = failEverything;
    }
    void TearDown() override
    {
        pfnCallIfNoMem = nullptr;
        pfnCallIfAbort = nullptr;
        pfnKelFailAlloc = nullptr;
    }
};

TEST_F(NoMemoryHooks, AbortHookRunsOnlyWhenTheNoMemoryHookAnswersTwo)
{
    struct Case {
        int answer;
        int aborts;
    };
    for (Case c : {Case{2, 1}, Case{1, 0}, Case{0, 0}}) {
        SCOPED_TRACE(c.answer);
        noMemAnswer = c.answer;
        noMemCalls = abortCalls = 0;
        EXPECT_EQ(nullptr, kelMalloc(64, __FILE__, __LINE__));
        EXPECT_EQ(nullptr, kelCalloc(2, 32, __FILE__, __LINE__));
        EXPECT_EQ(nullptr, kelRealloc(nullptr, 64, __FILE__, __LINE__));
        EXPECT_EQ(3, noMemCalls);
        EXPECT_EQ(3 * c.aborts, abortCalls);
    }
}

TEST_F(NoMemoryHooks, ZeroSizeFailureDoesNotAskTheHook)
{
    noMemAnswer = 2;
    EXPECT_EQ(nullptr, kelMalloc(0, __FILE__, __LINE__));
    EXPECT_EQ(0, noMemCalls);
    EXPECT_EQ(0, abortCalls);
}

} // namespace
