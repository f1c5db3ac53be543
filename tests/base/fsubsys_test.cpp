#include "base/fsubsys.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class FileSubsystem : public ::testing::Test {
protected:
    void SetUp() override { memset(&gfileSubsystemInfo, 0, sizeof(gfileSubsystemInfo)); }
    void TearDown() override { memset(&gfileSubsystemInfo, 0, sizeof(gfileSubsystemInfo)); }
};

TEST_F(FileSubsystem, InitClearsRecordAndDefersCluster)
{
    ASSERT_EQ(fileSubsystemInfoP, &gfileSubsystemInfo);
    memset(&gfileSubsystemInfo, 0x5a, sizeof(gfileSubsystemInfo));
    EXPECT_EQ(FileSubsystemInit(), 0);

    fileSybsystemInfo_t expected;
    memset(&expected, 0, sizeof(expected));
    expected.initialized = 1;
    EXPECT_EQ(memcmp(&gfileSubsystemInfo, &expected, sizeof(expected)), 0);
    EXPECT_EQ(psIsDeferredClusterStartup(), 1);
    EXPECT_EQ(psFileSubsystemInit(), 0);
    EXPECT_EQ(gfileSubsystemInfo.clusterInitDone, 0);
}

TEST_F(FileSubsystem, ClusterInitRunsOnceAndFindsNoCluster)
{
    ASSERT_EQ(FileSubsystemInit(), 0);
    EXPECT_EQ(fsubCheckClusterInit(), 0);
    EXPECT_EQ(gfileSubsystemInfo.clusterInitDone, 1);
    EXPECT_EQ(fsubGetClusterRC(), FSUB_RC_NO_CLUSTER);
    EXPECT_EQ(fsubGetClusterRS(), 0);
    EXPECT_EQ(fsubIsClusterAvailable(), 0);
    EXPECT_EQ(fsubClusterDisksOnly(), 0);
    EXPECT_EQ(gfileSubsystemInfo.clusterHandle, nullptr);
    EXPECT_STREQ(fsubGetClusterName(), "");

    gfileSubsystemInfo.clusterRC = 7;   // a second call must not look again
    EXPECT_EQ(fsubCheckClusterInit(), 0);
    EXPECT_EQ(fsubGetClusterRC(), 7);
}

TEST_F(FileSubsystem, ClusterEnabledNeedsNodeFlagAndAvailability)
{
    struct {
        const char *name;
        int nodeFlag;
        int available;
        int enabled;
    } cases[] = {
        {"neither", 0, 0, 0},
        {"node_flag_only", 3, 0, 0},
        {"available_only", 0, 1, 0},
        {"both", 3, 1, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        fsubSetClusterNodeFlag(c.nodeFlag);
        gfileSubsystemInfo.clusterAvailable = c.available;
        EXPECT_EQ(IsClusterNode(), c.nodeFlag);
        EXPECT_EQ(fsubIsClusterEnabled() != 0, c.enabled != 0);
    }
}

TEST_F(FileSubsystem, PlatformClusterCallsReportNoCluster)
{
    int rc = 0;
    EXPECT_EQ(psGetClusterHandle(&rc), nullptr);
    EXPECT_EQ(rc, FSUB_RC_NO_CLUSTER);

    char name[8] = "keep";
    int reason = 99;
    EXPECT_EQ(psGetClusterName(nullptr, name, sizeof(name), &reason), FSUB_RC_NO_CLUSTER);
    EXPECT_EQ(reason, 0);
    EXPECT_STREQ(name, "keep");
}

} // namespace
