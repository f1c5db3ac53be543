#include "base/psshm.h"

#include <gtest/gtest.h>

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "base/mempool.h"

namespace {

bool segmentExists(int id)
{
    struct shmid_ds ds;
    return shmctl(id, IPC_STAT, &ds) == 0;
}

class Shm : public ::testing::Test {
protected:
    void SetUp() override
    {
        int id = shmget(IPC_PRIVATE, 64, IPC_CREAT | 0600);
        if (id < 0)
            GTEST_SKIP() << "no System V shared memory here";
        shmctl(id, IPC_RMID, nullptr);
    }
};

TEST_F(Shm, SegmentIsPrivateOwnedByTheRealUserAndRemoved)
{
    int id = -1;
    auto *p = static_cast<unsigned char *>(pkShmMalloc(8192, &id));
    ASSERT_NE(nullptr, p);
    ASSERT_GT(id, -1);
    memset(p, 0x5A, 8192);
    struct shmid_ds ds;
    ASSERT_EQ(0, shmctl(id, IPC_STAT, &ds));
    EXPECT_EQ(getuid(), ds.shm_perm.uid);
    EXPECT_EQ(0600u, ds.shm_perm.mode & 0777u);
    EXPECT_GE(ds.shm_segsz, 8192u);
    pkReleaseShrMem(id, p);
    EXPECT_FALSE(segmentExists(id));
}

TEST_F(Shm, FailureGivesNullAndIdZero)
{
    int id = 77;
    EXPECT_EQ(nullptr, pkShmMalloc(0, &id));   // a zero-size segment is refused by the system
    EXPECT_EQ(0, id);
    pkReleaseShrMem(-1, nullptr);               // nothing to release
}

TEST_F(Shm, SharedPoolReleasesEverySegment)
{
    mpPoolInit();
    int pool = mpCreatePool(64, 1);
    ASSERT_GE(pool, 1);
    ASSERT_NE(nullptr, mpAlloc(pool, 60));
    ASSERT_NE(nullptr, mpAlloc(pool, 60));   // a second block, a second segment
    std::vector<int> ids;
    for (mpBlock_t *b = mpGetEntry(pool)->first; b->next != nullptr; b = b->next)
        ids.push_back(static_cast<int>(b->shmId));
    ASSERT_EQ(2u, ids.size());
    EXPECT_NE(ids[0], ids[1]);
    for (int id : ids)
        EXPECT_TRUE(segmentExists(id));
    EXPECT_EQ(0, mpDestroyPool(pool));
    for (int id : ids)
        EXPECT_FALSE(segmentExists(id));
    mpDestroyAll();
}

} // namespace
