#include "base/pkmutex.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

namespace {

// The agent's mode (single-thread) and the library's (real locks): the
// owner and nesting rules hold in both.
class PkMutex : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        saved = bIsSingleThread;
        bIsSingleThread = GetParam();
        desc = pkCreateMutex();
        ASSERT_NE(nullptr, desc);
    }
    void TearDown() override
    {
        EXPECT_EQ(0, pkDestroyMutex(desc));
        bIsSingleThread = saved;
    }
    // Whether another thread could take the lock now (always in single-thread mode).
    bool lockIsFree()
    {
        if (bIsSingleThread)
            return desc->owner == 0;
        int rc = pthread_mutex_trylock(&desc->mutex);
        if (rc == 0)
            pthread_mutex_unlock(&desc->mutex);
        return rc == 0;
    }
    int saved = 1;
    MutexDesc *desc = nullptr;
};

TEST_P(PkMutex, NewDescriptorIsFree)
{
    EXPECT_EQ(0u, desc->owner);
    EXPECT_EQ(0u, desc->count);
    EXPECT_TRUE(lockIsFree());
}

TEST_P(PkMutex, ThreeNestedAcquisitionsNeedThreeReleases)
{
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(0, pkAcquireMutexNested(desc));
    EXPECT_EQ(3u, desc->count);
    EXPECT_EQ(psThreadSelf(), desc->owner);
    for (uint32_t left = 2; left >= 1; left--) {
        EXPECT_EQ(0, pkReleaseMutexNested(desc));
        EXPECT_EQ(left, desc->count);
        EXPECT_EQ(psThreadSelf(), desc->owner);
        EXPECT_FALSE(lockIsFree() && !bIsSingleThread);
    }
    EXPECT_EQ(0, pkReleaseMutexNested(desc));
    EXPECT_EQ(0u, desc->owner);
    EXPECT_EQ(0u, desc->count);
    EXPECT_TRUE(lockIsFree());
    EXPECT_EQ(0, pkReleaseMutexNested(desc));   // nothing held: ignored
    EXPECT_EQ(0u, desc->count);
}

TEST_P(PkMutex, ReleaseByAThreadThatIsNotTheOwnerChangesNothing)
{
    ASSERT_EQ(0, pkAcquireMutexNested(desc));
    ASSERT_EQ(0, pkAcquireMutexNested(desc));
    int nested = -1, plain = -1;
    std::thread([&] {
        nested = pkReleaseMutexNested(desc);
        plain = pkReleaseMutex(desc);
    }).join();
    EXPECT_EQ(0, nested);
    EXPECT_EQ(0, plain);
    EXPECT_EQ(psThreadSelf(), desc->owner);
    EXPECT_EQ(2u, desc->count);
    EXPECT_EQ(0, pkReleaseMutexNested(desc));
    EXPECT_EQ(0, pkReleaseMutexNested(desc));
    EXPECT_TRUE(lockIsFree());
}

TEST_P(PkMutex, PlainAcquireAndRelease)
{
    ASSERT_EQ(0, pkAcquireMutex(desc));
    EXPECT_EQ(psThreadSelf(), desc->owner);
    EXPECT_EQ(0u, desc->count);   // the plain form leaves the count alone
    EXPECT_EQ(0, pkReleaseMutex(desc));
    EXPECT_EQ(0u, desc->owner);
    EXPECT_TRUE(lockIsFree());
    EXPECT_EQ(0, pkReleaseMutex(desc));   // not the owner any more: ignored
}

TEST_P(PkMutex, NestedReleaseAfterAPlainAcquireUnlocks)
{
    ASSERT_EQ(0, pkAcquireMutex(desc));
    EXPECT_EQ(0, pkReleaseMutexNested(desc));
    EXPECT_EQ(0u, desc->owner);
    EXPECT_EQ(0u, desc->count);
    EXPECT_TRUE(lockIsFree());
}

TEST_P(PkMutex, NullDescriptors)
{
    EXPECT_EQ(-1, pkAcquireMutex(nullptr));
    EXPECT_EQ(-1, pkAcquireMutexNested(nullptr));
    EXPECT_EQ(-1, pkReleaseMutex(nullptr));
    EXPECT_EQ(-1, pkReleaseMutexNested(nullptr));
    EXPECT_EQ(0, pkDestroyMutex(nullptr));
    pkDestroyAllMutex();
}

INSTANTIATE_TEST_SUITE_P(Modes, PkMutex, ::testing::Values(1, 0),
                         [](const ::testing::TestParamInfo<int> &p) {
                             return p.param ? std::string("SingleThread") : std::string("MultiThread");
                         });

// With real locks, nested holders on two threads exclude each other.
TEST(PkMutexThreads, NestedHoldersExcludeEachOther)
{
    int saved = bIsSingleThread;
    bIsSingleThread = 0;
    MutexDesc *desc = pkCreateMutex();
    ASSERT_NE(nullptr, desc);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; i++) {
            pkAcquireMutexNested(desc);
            pkAcquireMutexNested(desc);
            long v = counter;
            counter = v + 1;
            pkReleaseMutexNested(desc);
            pkReleaseMutexNested(desc);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(40000, counter);
    EXPECT_EQ(0u, desc->owner);
    EXPECT_EQ(0, pkDestroyMutex(desc));
    bIsSingleThread = saved;
}

} // namespace
