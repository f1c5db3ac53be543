#include "diag/dscore.h"

#include <gtest/gtest.h>

#include <vector>

#include "base/mempool.h"
#include "diag/GlobalRC.h"
#include "store/dspswd.h"
#include "store/pswdf.h"

namespace {

std::vector<int> ran;
template <int N>
void hook()
{
    ran.push_back(N);
}

struct Reg {
    dsCleanUpStep step;
    dsCleanUpFn_t fn;
};

// The releases the program registers where it creates each object.
const Reg programHooks[] = {
    {DS_CLEANUP_PSWDF_MUTEX, pswdFMutexDestroy},
    {DS_CLEANUP_PSWDOP_MUTEX, pswdOpMutexDestroy},
    {DS_CLEANUP_NLS_OBJECT, destroyNlsGlobalObject},
    {DS_CLEANUP_GLOBAL_RC, GlobalRC::Destroy},
};

// Registers hooks for a few steps, out of order, and removes them afterwards;
// the program's own are set aside meanwhile and put back.
class CleanUpHooks : public ::testing::Test {
protected:
    void SetUp() override
    {
        ran.clear();
        for (const Reg &r : programHooks)
            setAside_.push_back(dsCoreRemoveCleanUpHook(r.step, r.fn) == 0);
        for (const Reg &r : regs)
            ASSERT_EQ(0, dsCoreAddCleanUpHook(r.step, r.fn));
    }
    void TearDown() override
    {
        for (const Reg &r : regs)
            dsCoreRemoveCleanUpHook(r.step, r.fn);
        for (size_t i = 0; i < setAside_.size(); i++)
            if (setAside_[i])
                dsCoreAddCleanUpHook(programHooks[i].step, programHooks[i].fn);
        isCoreInitialized = 0;
    }
    std::vector<bool> setAside_;
    const Reg regs[5] = {
        {DS_CLEANUP_GLOBAL_RC, hook<13>},      {DS_CLEANUP_PSWDF_MUTEX, hook<3>},
        {DS_CLEANUP_KEY_RING, hook<7>},        {DS_CLEANUP_PSWDOP_MUTEX, hook<4>},
        {DS_CLEANUP_PSWDOP_MUTEX, hook<41>},
    };
};

TEST_F(CleanUpHooks, SkippedUnlessTheCoreIsInitialised)
{
    isCoreInitialized = 0;
    dsCoreCleanUp();
    EXPECT_TRUE(ran.empty());
}

TEST_F(CleanUpHooks, RunInStepOrderThenTheFlagIsCleared)
{
    isCoreInitialized = 1;
    dsCoreCleanUp();
    EXPECT_EQ((std::vector<int>{3, 4, 41, 7, 13}), ran);
    EXPECT_EQ(0, isCoreInitialized);
}

TEST_F(CleanUpHooks, RegistrationRules)
{
    EXPECT_EQ(0, dsCoreAddCleanUpHook(DS_CLEANUP_KEY_RING, hook<7>));   // already there: kept once
    EXPECT_EQ(-1, dsCoreAddCleanUpHook(DS_CLEANUP_KEY_RING, nullptr));
    EXPECT_EQ(-1, dsCoreAddCleanUpHook(DS_CLEANUP_STEP_COUNT, hook<1>));
    EXPECT_EQ(-1, dsCoreAddCleanUpHook(static_cast<dsCleanUpStep>(-1), hook<1>));
    EXPECT_EQ(0, dsCoreAddCleanUpHook(DS_CLEANUP_STATS, hook<100>));
    EXPECT_EQ(0, dsCoreAddCleanUpHook(DS_CLEANUP_STATS, hook<101>));
    EXPECT_EQ(0, dsCoreAddCleanUpHook(DS_CLEANUP_STATS, hook<102>));
    EXPECT_EQ(0, dsCoreAddCleanUpHook(DS_CLEANUP_STATS, hook<103>));
    EXPECT_EQ(-1, dsCoreAddCleanUpHook(DS_CLEANUP_STATS, hook<104>));   // step full
    EXPECT_EQ(0, dsCoreRemoveCleanUpHook(DS_CLEANUP_STATS, hook<101>));
    EXPECT_EQ(-1, dsCoreRemoveCleanUpHook(DS_CLEANUP_STATS, hook<101>));
    isCoreInitialized = 1;
    dsCoreCleanUp();
    EXPECT_EQ((std::vector<int>{3, 4, 41, 7, 100, 102, 103, 13}), ran);
    for (dsCleanUpFn_t fn : {hook<100>, hook<102>, hook<103>})
        EXPECT_EQ(0, dsCoreRemoveCleanUpHook(DS_CLEANUP_STATS, fn));
}

TEST(DsCore, InitSetsUpPoolsAndTheReturnCodeAccumulator)
{
    int rc = dsCoreInit(nullptr, 1);
    EXPECT_TRUE(rc == 0 || rc == 102);
    EXPECT_EQ(rc == 0, getNlsGlobalObjectHandle() != nullptr);
    ASSERT_NE(nullptr, gRC);
    EXPECT_EQ(GlobalRC::Instance(), gRC);
    int pool = mpCreatePool(32, 0);
    ASSERT_GE(pool, 1);
    ASSERT_NE(nullptr, mpAlloc(pool, 8));
    dsCoreCleanUp();
    EXPECT_EQ(nullptr, mpGetEntry(pool));   // the pools went with the tear-down
    EXPECT_EQ(0, isCoreInitialized);
    // Released by the second stage only, which the agent never starts.
    EXPECT_EQ(GlobalRC::Instance(), gRC);
    EXPECT_EQ(rc == 0, getNlsGlobalObjectHandle() != nullptr);
    destroyNlsGlobalObject();
}

TEST(DsCore, SecondStageReleasesWhatRegisteredWhereItWasCreated)
{
    ASSERT_EQ(0, dsCoreInit(nullptr, 1));
    // The password mutexes registered themselves when the program started.
    for (const Reg &r : {programHooks[0], programHooks[1]}) {
        EXPECT_EQ(0, dsCoreRemoveCleanUpHook(r.step, r.fn)) << r.step;
        dsCoreAddCleanUpHook(r.step, r.fn);
    }
    dsCoreInitSecondStage();
    EXPECT_EQ(1, isCoreInitialized);
    dsCoreCleanUp();
    EXPECT_EQ(0, isCoreInitialized);
    EXPECT_EQ(nullptr, getNlsGlobalObjectHandle());
    EXPECT_EQ(nullptr, gRC);
    EXPECT_EQ(nullptr, GlobalRC::instanceP);
    gRC = GlobalRC::Instance();   // as the other tests of this program expect
}

TEST(DsCore, CleanUpWithoutInit)
{
    dsCoreCleanUp();
    dsCoreCleanUp();
    EXPECT_EQ(0, isCoreInitialized);
}

} // namespace
