#include "base/pserrno.h"

#include <gtest/gtest.h>

#include <cerrno>

#include "base/testflags.h"

namespace {

struct Row {
    const char *name;
    int err;
    int rc;
};

// Every error with its own return code, by symbolic name.
const Row kTable[] = {
    {"none", 0, 0},           {"EPERM", EPERM, 106},     {"ENOENT", ENOENT, 104},
    {"EIO", EIO, 164},        {"E2BIG", E2BIG, 102},     {"EAGAIN", EAGAIN, 112},
    {"ENOMEM", ENOMEM, 102},  {"EACCES", EACCES, 106},   {"EEXIST", EEXIST, 108},
    {"ENODEV", ENODEV, 104},  {"ENOTDIR", ENOTDIR, 106}, {"EISDIR", EISDIR, 106},
    {"ENFILE", ENFILE, 164},  {"EMFILE", EMFILE, 164},   {"ETXTBSY", ETXTBSY, 116},
    {"EFBIG", EFBIG, 166},    {"ENOSPC", ENOSPC, 111},   {"EROFS", EROFS, 158},
    {"EDEADLK", EDEADLK, 106}, {"EDQUOT", EDQUOT, 431},  {"EDEADLOCK", EDEADLOCK, 106},
    {"EREMOTE", EREMOTE, 163}, {"ENAMETOOLONG", ENAMETOOLONG, 119}, {"ENOSYS", ENOSYS, 198},
    {"ELOOP", ELOOP, 118},    {"ENOTEMPTY", ENOTEMPTY, 164}, {"ETIMEDOUT", ETIMEDOUT, 106},
    {"EHOSTDOWN", EHOSTDOWN, 164}, {"EHOSTUNREACH", EHOSTUNREACH, 164}, {"ESTALE", ESTALE, 171},
};

TEST(TransErrno, EveryTableRowByName)
{
    for (const Row &r : kTable) {
        EXPECT_EQ(r.rc, psTransErrno(r.err, "open")) << r.name;
        EXPECT_EQ(r.rc, TransErrno(r.err, "open")) << r.name;
    }
}

TEST(TransErrno, ErrorsWithoutAnEntryAreUnexpected)
{
    for (const Row &r : {Row{"EINTR", EINTR, 131}, Row{"EBADF", EBADF, 131}, Row{"ESPIPE", ESPIPE, 131},
                         Row{"EPIPE", EPIPE, 131}, Row{"EINVAL", EINVAL, 131}, Row{"ECONNRESET", ECONNRESET, 131},
                         Row{"out of the table", 500, 131}, Row{"negative", -1, 131},
                         Row{"first number past the table", 152, 131}})
        EXPECT_EQ(r.rc, TransErrno(r.err, "open")) << r.name;
}

TEST(TransErrno, ReadAndWriteSpecialCases)
{
    struct Case {
        const char *call;
        int err;
        int rc;
    };
    const Case cases[] = {
        {"read", ESPIPE, 815},      {"write", ESPIPE, 815},      {"read", ECONNABORTED, 816},
        {"write", ESRCH, 816},      {"read", EBADF, 104},        {"write", ENOENT, 104},
        {"read", EACCES, 106},      {"open", ENOENT, 104},       {"open", EBADF, 131},
        {"readdir", ESPIPE, 131},   {"fread", ESRCH, 131},       {nullptr, ESPIPE, 131},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.rc, TransErrno(c.err, c.call)) << (c.call ? c.call : "null") << " errno " << c.err;
}

TEST(TransErrno, OverflowIsRemapped)
{
    EXPECT_EQ(131, psTransErrno(EOVERFLOW, "stat"));
    EXPECT_EQ(434, TransErrno(EOVERFLOW, "stat"));
}

class ContinueWithUnknown : public ::testing::Test {
protected:
    void SetUp() override { saved = TEST_CONTINUEWITHUNKNOWNRC; }
    void TearDown() override { TEST_CONTINUEWITHUNKNOWNRC = saved; }
    testFlag_t saved{};
};

TEST_F(ContinueWithUnknown, UnknownErrorsBecomeAccessDenied)
{
    TEST_CONTINUEWITHUNKNOWNRC.set = 1;
    TEST_CONTINUEWITHUNKNOWNRC.value = EINTR;
    EXPECT_EQ(106, TransErrno(EINTR, "open"));        // the named error
    EXPECT_EQ(106, TransErrno(EINVAL, "open"));       // any other unknown one
    EXPECT_EQ(106, TransErrno(EOVERFLOW, "open"));    // the switch wins over the overflow remapping
    EXPECT_EQ(106, TransErrno(500, "open"));
    EXPECT_EQ(104, TransErrno(ENOENT, "open"));       // known errors keep their code
    EXPECT_EQ(815, TransErrno(ESPIPE, "read"));
}

} // namespace
