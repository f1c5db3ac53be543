#include "base/psmutex.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <thread>

namespace {

// Switches the process into multi-thread mode for one test.
class MultiThreadMode {
public:
    MultiThreadMode() : saved_(bIsSingleThread) { bIsSingleThread = 0; }
    ~MultiThreadMode() { bIsSingleThread = saved_; }

private:
    int saved_;
};

TEST(PsMutex, SingleThreadModeNeverTouchesTheMutex)
{
    ASSERT_EQ(1, bIsSingleThread);
    psMutex_t garbage;
    memset(&garbage, 0xA5, sizeof garbage);   // never initialised
    EXPECT_EQ(0, psMutexInit(&garbage, nullptr, "test"));
    EXPECT_EQ(0, psMutexLock(&garbage, 1));
    EXPECT_EQ(0, psMutexLock(&garbage, 1));
    EXPECT_EQ(0, psMutexUnlock(&garbage));
    EXPECT_EQ(0, psMutexDestroy(&garbage));
    psMutex_t untouched;
    memset(&untouched, 0xA5, sizeof untouched);
    EXPECT_EQ(0, memcmp(&garbage, &untouched, sizeof garbage));
}

TEST(PsMutex, SignalExitMakesLockUnlockAndDestroyNoOps)
{
    MultiThreadMode mt;
    psMutex_t garbage;
    memset(&garbage, 0xA5, sizeof garbage);
    bInSignalExit = 1;
    EXPECT_EQ(0, psMutexLock(&garbage, 1));
    EXPECT_EQ(0, psMutexUnlock(&garbage));
    EXPECT_EQ(0, psMutexDestroy(&garbage));
    bInSignalExit = 0;
}

TEST(PsMutex, MultiThreadModeLocks)
{
    MultiThreadMode mt;
    psMutex_t m;
    ASSERT_EQ(0, psMutexInit(&m, nullptr, nullptr));
    ASSERT_EQ(0, psMutexLock(&m, 1));
    EXPECT_EQ(EBUSY, pthread_mutex_trylock(&m));
    EXPECT_EQ(0, psMutexUnlock(&m));
    EXPECT_EQ(0, pthread_mutex_trylock(&m));
    EXPECT_EQ(0, psMutexUnlock(&m));
    EXPECT_EQ(0, psMutexDestroy(&m));
}

TEST(PsMutex, DeadlockAndOtherFailuresAreReportedAsCodes)
{
    MultiThreadMode mt;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
    psMutex_t m;
    ASSERT_EQ(0, psMutexInit(&m, &attr, nullptr));
    pthread_mutexattr_destroy(&attr);
    EXPECT_EQ(EPERM, psMutexUnlock(&m));   // not held: the thread library's answer
    ASSERT_EQ(0, psMutexLock(&m, 1));
    EXPECT_EQ(936, psMutexLock(&m, 1));
    EXPECT_EQ(0, psMutexUnlock(&m));
    EXPECT_EQ(0, psMutexDestroy(&m));
    EXPECT_EQ(102, psMutexLock(nullptr, 1));
}

TEST(PsMutex, ThreadIdsAreStableNonZeroAndDistinct)
{
    uint32_t self = psThreadSelf();
    EXPECT_NE(0u, self);
    EXPECT_EQ(self, psThreadSelf());
    EXPECT_EQ(1, psThreadEqual(self, psThreadSelf()));
    std::set<uint32_t> ids{self};
    for (int i = 0; i < 8; i++) {
        uint32_t other = 0;
        std::thread([&other] { other = psThreadSelf(); }).join();
        EXPECT_NE(0u, other);
        EXPECT_EQ(0, psThreadEqual(self, other));
        ids.insert(other);
    }
    EXPECT_EQ(9u, ids.size());   // even threads that reuse a finished one's stack
}

} // namespace
