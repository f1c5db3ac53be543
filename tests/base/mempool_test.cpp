#include "base/mempool.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "base/kelmem.h"

namespace {

class MemPool : public ::testing::Test {
protected:
    void SetUp() override
    {
        mpPoolInit();
        handle = mpCreatePool(64, 0);
        ASSERT_GE(handle, 1);
        entry = mpGetEntry(handle);
        ASSERT_NE(nullptr, entry);
    }
    void TearDown() override
    {
        pfnKelFailAlloc = nullptr;
        poolOverride = 0;
        mpDestroyAll();
    }

    // The free bytes of each block of the chain, sentry excluded.
    std::vector<int> chainFree() const
    {
        std::vector<int> out;
        for (mpBlock_t *b = entry->first; b->next != nullptr; b = b->next)
            out.push_back(b->free);
        return out;
    }
    static bool inBlock(const mpBlock_t *b, const void *p)
    {
        auto *data = reinterpret_cast<const unsigned char *>(b + 1);
        auto *q = static_cast<const unsigned char *>(p);
        return q >= data && q < data + b->used;
    }

    int handle = 0;
    mpEntry_t *entry = nullptr;
};

TEST_F(MemPool, RequestsAreRoundedUpToEightBytes)
{
    struct Case {
        int size;
        int consumed;
    };
    for (Case c : {Case{1, 8}, Case{7, 8}, Case{8, 8}, Case{9, 16}, Case{16, 16}, Case{17, 24}}) {
        SCOPED_TRACE(c.size);
        int before = entry->first->used;
        auto *p = static_cast<unsigned char *>(mpAlloc(handle, c.size));
        ASSERT_NE(nullptr, p);
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % 8);
        EXPECT_EQ(before + c.consumed, entry->first->used);
        ASSERT_EQ(0, mpDestroyPool(handle));
        handle = mpCreatePool(64, 0);
        entry = mpGetEntry(handle);
    }
}

TEST_F(MemPool, BestFitTakesTheFullestBlockThatStillFits)
{
    void *a = mpAlloc(handle, 40);   // block A: 24 free
    void *b = mpAlloc(handle, 48);   // no room in A: block B, 16 free, sorted behind A
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ((std::vector<int>{24, 16}), chainFree());
    mpBlock_t *blockA = entry->first, *blockB = blockA->next;
    EXPECT_TRUE(inBlock(blockA, a));
    EXPECT_TRUE(inBlock(blockB, b));

    void *c = mpAlloc(handle, 8);   // fits both; B is the tighter fit
    EXPECT_TRUE(inBlock(blockB, c));
    EXPECT_EQ((std::vector<int>{24, 8}), chainFree());
    void *d = mpAlloc(handle, 16);   // only A fits
    EXPECT_TRUE(inBlock(blockA, d));
    EXPECT_EQ((std::vector<int>{8, 8}), chainFree());
}

TEST_F(MemPool, ChainStaysOrderedByFreeBytes)
{
    const int sizes[] = {50, 3, 30, 64, 12, 1, 40, 9, 100, 24, 17, 8, 33, 5, 60, 2};
    std::vector<unsigned char *> got;
    for (int s : sizes) {
        auto *p = static_cast<unsigned char *>(mpAlloc(handle, s));
        ASSERT_NE(nullptr, p);
        memset(p, s, static_cast<size_t>(s));
        got.push_back(p);
        std::vector<int> f = chainFree();
        for (size_t i = 1; i < f.size(); i++)
            EXPECT_GE(f[i - 1], f[i]) << "after a request of " << s;
    }
    for (size_t i = 0; i < got.size(); i++)   // no two requests overlap
        for (int k = 0; k < sizes[i]; k++)
            ASSERT_EQ(sizes[i], got[i][k]);
}

TEST_F(MemPool, RequestLargerThanTheIncrementGetsABlockOfItsOwnSize)
{
    ASSERT_NE(nullptr, mpAlloc(handle, 8));
    ASSERT_NE(nullptr, mpAlloc(handle, 100));
    EXPECT_EQ((std::vector<int>{56, 0}), chainFree());
}

TEST_F(MemPool, OverrideGivesEveryRequestItsOwnBlock)
{
    poolOverride = 1;
    mpAlloc(handle, 8);
    mpAlloc(handle, 8);
    EXPECT_EQ((std::vector<int>{0, 0}), chainFree());
}

int failAll(uint64_t) { return 1; }

// The pool reports a refusal by its result and errno alone; its callers trace it.
TEST_F(MemPool, RefusalsSayWhyInErrno)
{
    struct Case {
        const char *name;
        int handle;   // 0: the fixture's pool
        int size;
        bool failAlloc;
        int err;
    } cases[] = {
        {"unknown handle", 9999, 8, false, EINVAL},
        {"handle 0", -1, 8, false, EINVAL},
        {"size 0", 0, 0, false, EINVAL},
        {"negative size", 0, -8, false, EINVAL},
        {"no block to be had", 0, 200, true, ENOMEM},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pfnKelFailAlloc = nullptr;
        if (c.failAlloc)
            pfnKelFailAlloc = [](uint64_t) { return 1; };
        errno = 0;
        EXPECT_EQ(nullptr, mpAlloc(c.handle == 0 ? handle : c.handle < 0 ? 0 : c.handle, c.size));
        EXPECT_EQ(c.err, errno);
    }
}

TEST_F(MemPool, FailedBlockMarksThePoolFullUntilAPoolIsDestroyed)
{
    int other = mpCreatePool(64, 0);
    ASSERT_NE(nullptr, mpAlloc(handle, 60));
    pfnKelFailAlloc = failAll;
    EXPECT_EQ(nullptr, mpAlloc(handle, 16));
    EXPECT_EQ(1, entry->full);
    EXPECT_EQ(1, MemFull);
    pfnKelFailAlloc = nullptr;
    EXPECT_EQ(nullptr, mpAlloc(handle, 1));   // full: refused without trying
    EXPECT_EQ(0, mpDestroyPool(other));
    EXPECT_EQ(0, entry->full);
    EXPECT_EQ(0, MemFull);
    EXPECT_NE(nullptr, mpAlloc(handle, 16));
}

TEST_F(MemPool, BadHandlesAndSizesAreRefused)
{
    for (int h : {0, -1, handle + 1000})
        EXPECT_EQ(nullptr, mpAlloc(h, 8)) << h;
    for (int s : {0, -8, INT32_MAX})
        EXPECT_EQ(nullptr, mpAlloc(handle, s)) << s;
    EXPECT_EQ(0, mpDestroyPool(handle));
    EXPECT_EQ(nullptr, mpAlloc(handle, 8));   // destroyed
    EXPECT_EQ(-1, mpDestroyPool(handle));
    EXPECT_EQ(0, mpCreatePool(0, 0));
    EXPECT_EQ(0, mpCreatePool(-5, 0));
}

TEST_F(MemPool, HandlesAreReusedAndTheTableGrows)
{
    std::vector<int> handles{handle};
    for (int i = 0; i < 20; i++) {
        int h = mpCreatePool(16, 0);
        ASSERT_GE(h, 1);
        handles.push_back(h);
        ASSERT_NE(nullptr, mpAlloc(h, 8));
    }
    for (size_t i = 0; i < handles.size(); i++)
        for (size_t j = i + 1; j < handles.size(); j++)
            EXPECT_NE(handles[i], handles[j]);
    ASSERT_EQ(0, mpDestroyPool(handles[3]));
    EXPECT_EQ(handles[3], mpCreatePool(16, 0));
    entry = mpGetEntry(handle);   // the table may have moved
}

TEST(MemPoolAll, DestroyAllWithoutPoolsAndTwice)
{
    mpPoolInit();
    mpDestroyAll();
    mpDestroyAll();
    mpPoolInit();
    int h = mpCreatePool(32, 0);
    EXPECT_NE(nullptr, mpAlloc(h, 8));
    mpDestroyAll();
    EXPECT_EQ(nullptr, mpGetEntry(h));
}

} // namespace
