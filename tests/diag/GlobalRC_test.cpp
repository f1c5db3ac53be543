#include "diag/GlobalRC.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "base/psmutex.h"
#include "base/testflags.h"
#include "diag/nlsinit.h"
#include "diag/nlsmsg.h"

namespace {

std::vector<std::string> shownTexts;
int recordShown(char *text)
{
    shownTexts.emplace_back(text);
    return 0;
}

// The message system over the build's American English catalog.
class GlobalRCTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedGRC_ = gRC;
        savedAudit_ = TEST_AUDITLOGRC;
        shownTexts.clear();
        for (auto &fn : outFns_)
            fn = recordShown;
        ASSERT_NE(newNlsGlobalObject(outFns_, 1), nullptr);
        nlsReturnInfo_t info{};
        ASSERT_EQ(nlinit("EN", 5, KEL_BINARY_DIR "/catalogs", 0, 1, 1, 1, &info, nullptr), 0)
            << "the catalogs are built with the project";
    }
    void TearDown() override
    {
        destroyNlsGlobalObject();
        gRC = savedGRC_;
        TEST_AUDITLOGRC = savedAudit_;
    }

    nlsOutFn_t outFns_[9] = {};
    GlobalRC *savedGRC_ = nullptr;
    testFlag_t savedAudit_{};
};

TEST_F(GlobalRCTest, ListedNumbersAreLevelFour)
{
    // The list as published for the accumulator, written out here independently.
    const int listed[] = {326,   1086,  1115,  1136,  1147,  1154,  1159,  1228,  1242,  1243,
                          1269,  1413,  1469,  1753,  1754,  1802,  1803,  1804,  1946,  1947,
                          3008,  5154,  5279,  5823,  14005, 14007, 14008, 14017, 14018, 14025,
                          14037, 14042, 14044, 14045, 14084, 14091, 14973, 14987};
    for (int n : listed)
        EXPECT_EQ(GlobalRC::levelOf(n), 4) << n;
    for (int n : {325, 327, 1087, 14986, 14988})
        EXPECT_NE(GlobalRC::levelOf(n), 4) << n;
}

TEST_F(GlobalRCTest, LevelsByNumberSwitchAndSeverity)
{
    struct LevelCase {
        const char *name;
        int msgNum;
        char auditSet;
        int auditValue;
        int level;
    };
    const LevelCase cases[] = {
        {"internal error", 9999, 0, 0, 12},
        {"audit message, switch off", 2046, 0, 0, 12},
        {"audit message, switch value 0", 2046, 1, 0, 8},
        {"audit message, switch value negative", 2046, 1, -3, 8},
        {"audit message, switch value 5", 2046, 1, 5, 5},
        {"warning", 102, 0, 0, 8},
        {"warning (pool)", 21157, 0, 0, 8},
        {"error", 1834, 0, 0, 12},
        {"error (pool)", 21155, 0, 0, 12},
        {"informational", 2218, 0, 0, 0},
        {"text", 11143, 0, 0, 0},
        {"unknown message", 4242, 0, 0, 0},
    };
    for (const auto &c : cases) {
        TEST_AUDITLOGRC.set = c.auditSet;
        TEST_AUDITLOGRC.value = c.auditValue;
        EXPECT_EQ(GlobalRC::levelOf(c.msgNum), c.level) << c.name;
    }
}

TEST_F(GlobalRCTest, AccumulatorOnlyRises)
{
    GlobalRC g;
    struct Step {
        int msgNum;
        int result;
        int rc;
    };
    const Step steps[] = {
        {1086, 1, 4},    // listed
        {102, 1, 8},     // warning
        {2218, 0, 8},    // informational changes nothing
        {1086, 0, 8},    // lower level does not lower it
        {9999, 1, 12},
        {102, 0, 12},
    };
    for (const auto &s : steps) {
        EXPECT_EQ(g.set(s.msgNum), s.result) << s.msgNum;
        EXPECT_EQ(g.rc, s.rc) << s.msgNum;
        EXPECT_EQ(g.rcMacroMax, s.rc) << s.msgNum;
        EXPECT_EQ(g.rcMax, s.rc) << s.msgNum;
    }
}

TEST_F(GlobalRCTest, MissingMutexReportsOnceWithoutReentering)
{
    GlobalRC g;
    pkDestroyMutex(g.mutex);
    g.mutex = nullptr;
    gRC = &g;   // the report's formatter raises gRC again
    EXPECT_EQ(g.set(1086), 0);
    EXPECT_EQ(g.rc, 0);
    EXPECT_EQ(g.rcMax, 0);
    ASSERT_EQ(shownTexts.size(), 1u);
    EXPECT_NE(shownTexts[0].find("GlobalRC("), std::string::npos) << shownTexts[0];
    EXPECT_NE(shownTexts[0].find("Unable to acquire global rc mutex"), std::string::npos) << shownTexts[0];
    gRC = savedGRC_;
}

TEST_F(GlobalRCTest, InstanceIsCreatedOnceAndForgottenWhenDestroyed)
{
    GlobalRC *saved = GlobalRC::instanceP;
    GlobalRC::instanceP = nullptr;
    GlobalRC *a = GlobalRC::Instance();
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a->mutex, nullptr);
    EXPECT_EQ(GlobalRC::Instance(), a);
    gRC = a;
    delete a;
    EXPECT_EQ(GlobalRC::instanceP, nullptr);
    EXPECT_EQ(gRC, nullptr);
    GlobalRC::instanceP = saved;
}

// One thread holds the message system's lock while it raises the accumulator,
// as the message reader does when it cannot allocate an entry; the other
// raises the accumulator with a warning, whose level the message system gives.
// The first waits until the second holds the accumulator's lock (or a while,
// when the second never takes it before asking the message system). Ends the
// process with 0 when both finish; a lock-order deadlock never ends.
[[noreturn]] void raiseFromBothSides()
{
    bIsSingleThread = 0;
    GlobalRC g;
    std::atomic<bool> holding{false};
    std::thread inMessageSystem([&] {
        pkAcquireMutexNested(nls_mutex);
        holding = true;
        for (int i = 0; i < 2000 && __atomic_load_n(&g.mutex->owner, __ATOMIC_RELAXED) == 0; i++)
            usleep(100);
        g.set(9999);
        pkReleaseMutexNested(nls_mutex);
    });
    while (!holding)
        std::this_thread::yield();
    std::thread raising([&] { g.set(102); });
    inMessageSystem.join();
    raising.join();
    std::_Exit(g.rc == 12 ? 0 : 1);
}

TEST_F(GlobalRCTest, MessageSystemAndAccumulatorNeverWaitForEachOther)
{
    ASSERT_NE(nls_mutex, nullptr);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The watchdog: a deadlocked child is ended by its alarm and the test fails.
    EXPECT_EXIT((alarm(60), raiseFromBothSides()), ::testing::ExitedWithCode(0), "");
}

} // namespace
