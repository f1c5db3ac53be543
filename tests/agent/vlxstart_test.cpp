#include "agent/vlxstart.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/kelmem.h"

namespace {

struct NumberCase {
    const char *name;
    const char *text;
    int number;
    unsigned char cipherType;
};

const NumberCase numberCases[] = {
    {"plain", "1", 1, 1},
    {"aes", "2", 2, 2},
    {"low_byte_kept", "258", 258, 2},
    {"byte_wraps_to_zero", "256", 256, 0},
    {"not_numeric", "AES", 0, 0},
    {"empty", "", 0, 0},
    {"null", nullptr, 0, 0},
    {"leading_blanks", " \t\n 7", 7, 7},
    {"plus_sign", "+5", 5, 5},
    {"negative", "-1", -1, 255},
    {"trailing_text", "12abc", 12, 12},
    {"sign_then_blank", "- 5", 0, 0},
    {"too_large_clamped", "99999999999999999999", INT_MAX, 255},
    {"too_small_clamped", "-99999999999999999999", INT_MIN, 0},
    {"int_min_exact", "-2147483648", INT_MIN, 0},
};

TEST(VlxNumber, ConvertsLikeAtoiWithoutOverflow)
{
    for (const auto &c : numberCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(vlxNumber(c.text), c.number);
        EXPECT_EQ(vlxCipherType(c.text), c.cipherType);
    }
}

struct PathCase {
    const char *name;
    const char *arg;
    const char *path;
};

const PathCase pathCases[] = {
    {"file_in_directory", "/a/b/dsm.opt", "/a/b/ZAR.PWD"},
    {"trailing_slash_keeps_directory", "/a/b/", "/a/b/ZAR.PWD"},
    {"root", "/", "/ZAR.PWD"},
    {"no_slash", "dsm.opt", "ZAR.PWD"},
    {"empty", "", "ZAR.PWD"},
    {"null", nullptr, "ZAR.PWD"},
    {"relative", "etc/x", "etc/ZAR.PWD"},
    {"invalid_multibyte_text", "/tmp/\xff\xfe\x80/x", "/tmp/\xff\xfe\x80/ZAR.PWD"},
    {"multibyte_text", "/tmp/\xc3\xa9t\xc3\xa9/x", "/tmp/\xc3\xa9t\xc3\xa9/ZAR.PWD"},
};

// The directory search must not depend on the text being valid in the
// caller's locale.
TEST(VlxPswdPath, TakesDirectoryPartByteByByte)
{
    const char *old = setlocale(LC_ALL, nullptr);
    std::string saved = old == nullptr ? "C" : old;
    ASSERT_NE(setlocale(LC_ALL, "C.UTF-8"), nullptr);
    for (const auto &c : pathCases) {
        SCOPED_TRACE(c.name);
        char *p = vlxNewPswdPath(c.arg);
        ASSERT_NE(p, nullptr);
        EXPECT_STREQ(p, c.path);
        EXPECT_EQ(chkSnake(p, __FILE__, __LINE__), 0);
        KEL_FREE(p);
    }
    setlocale(LC_ALL, saved.c_str());
}

// The worst case (an argument ending in '/') needs exactly length + 8 bytes.
TEST(VlxPswdPath, BufferBoundIsExact)
{
    const char *arg = "/var/x/";
    size_t size = vlxPswdPathSize(arg);
    ASSERT_EQ(size, strlen(arg) + 8);
    std::string buf(size + 4, '#');
    EXPECT_EQ(vlxBuildPswdPath(arg, buf.data(), size), 0);
    EXPECT_STREQ(buf.c_str(), "/var/x/ZAR.PWD");
    EXPECT_EQ(buf[size], '#');

    std::string small(size - 1 + 4, '#');
    EXPECT_EQ(vlxBuildPswdPath(arg, small.data(), size - 1), -1);
    EXPECT_EQ(small[0], '\0');
    EXPECT_EQ(small[size - 1], '#');
    EXPECT_EQ(vlxBuildPswdPath(arg, nullptr, size), -1);
}

TEST(VlxPswdPath, HugeArgument)
{
    std::string arg(1 << 20, 'd');
    arg[100] = '/';
    arg[(1 << 20) - 10] = '/';
    char *p = vlxNewPswdPath(arg.c_str());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p), arg.substr(0, (1 << 20) - 9) + "ZAR.PWD");
    EXPECT_EQ(chkSnake(p, __FILE__, __LINE__), 0);
    KEL_FREE(p);
}

TEST(VlxBuildStamp, HasItsFixedForm)
{
    ASSERT_NE(BUILDDATE, nullptr);
    ASSERT_NE(BUILDTIME, nullptr);
    EXPECT_EQ(strlen(BUILDDATE), 25u);
    EXPECT_EQ(strlen(BUILDTIME), 25u);
    EXPECT_EQ(BUILDDATE[0], ' ');
    EXPECT_STREQ(BUILDDATETEST, "QUVPLIX");
    EXPECT_STREQ(BUILDTIMETEST, "RONKWAF");
}

TEST(VlxBuildStamp, AcceptsOwnStampOrBothTestValues)
{
    std::string date = BUILDDATE;
    std::string time = BUILDTIME;
    std::string noBlank = date.substr(1);
    std::string lastDiffers = date;
    lastDiffers.back() = lastDiffers.back() == '9' ? '8' : '9';
    struct {
        const char *name;
        const char *date;
        const char *time;
        int accepted;
    } cases[] = {
        {"own_stamp", date.c_str(), time.c_str(), 1},
        {"test_values", "QUVPLIX", "RONKWAF", 1},
        {"date_test_value_only", "QUVPLIX", time.c_str(), 0},
        {"time_test_value_only", date.c_str(), "RONKWAF", 0},
        {"test_value_with_wrong_time", "QUVPLIX", "RONKWAX", 0},
        {"leading_blank_missing", noBlank.c_str(), time.c_str(), 0},
        {"one_character_differs", lastDiffers.c_str(), time.c_str(), 0},
        {"time_differs", date.c_str(), lastDiffers.c_str(), 0},
        {"lower_case_test_values", "quvplix", "ronkwaf", 0},
        {"null_date", nullptr, time.c_str(), 0},
        {"null_time", date.c_str(), nullptr, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(vlxBuildStampAccepted(c.date, c.time), c.accepted);
    }
}

// The audit line: the caller's texts quoted and escaped so that no byte of
// theirs can end the line or forge a field, each cut at 64 bytes, and the
// whole line bounded by its buffer.
TEST(VlxAuditFormat, QuotesEscapesAndBounds)
{
    const std::string long70(70, 'n');
    struct Case {
        const char *name;
        VlxAuditEntry e;
        int status;
        std::string line;
    } cases[] = {
        {"request", {"A", "NODE1", "SERVER1", nullptr, true}, 0,
         "uid=1000 op=\"A\" node=\"NODE1\" server=\"SERVER1\" status=0"},
        {"refusal", {nullptr, "N", "S", "build stamp", true}, KEL_ST_INCOMPATIBLE, "uid=1000 refused=\"build stamp\" status=138"},
        {"still running", {nullptr, nullptr, nullptr, "debug stop", false}, -1, "uid=1000 refused=\"debug stop\""},
        {"bytes a caller could forge with", {"C stored", "a\nb\"c\\d\x7f\xc3\xa9", "", nullptr, true}, -1,
         "uid=1000 op=\"C stored\" node=\"a\\x0ab\\x22c\\x5cd\\x7f\\xc3\\xa9\" server=\"\" status=-1"},
        {"missing texts", {nullptr, nullptr, nullptr, nullptr, true}, KEL_ST_UNKNOWN_OP,
         "uid=1000 op=\"\" node=\"\" server=\"\" status=295"},
        {"a text past 64 bytes", {"A", long70.c_str(), "S", nullptr, true}, KEL_ST_NO_PASSWORD,
         "uid=1000 op=\"A\" node=\"" + long70.substr(0, 64) + "...\" server=\"S\" status=168"},
        {"served under the filter", {"A", "NODE1", "SERVER1", nullptr, true, VlxConfinement::Confined}, 0,
         "uid=1000 op=\"A\" node=\"NODE1\" server=\"SERVER1\" confined=yes status=0"},
        {"served without the filter", {"C stored", "NODE1", "SERVER1", nullptr, true, VlxConfinement::Unconfined}, 0,
         "uid=1000 op=\"C stored\" node=\"NODE1\" server=\"SERVER1\" confined=no status=0"},
        {"files confined", {"B", "N", "S", nullptr, true, VlxConfinement::Confined, "confined"}, 0,
         "uid=1000 op=\"B\" node=\"N\" server=\"S\" confined=yes status=0 files=confined"},
        {"files partial, served without the filter", {"B", "N", "S", nullptr, true, VlxConfinement::Unconfined, "partial"},
         0, "uid=1000 op=\"B\" node=\"N\" server=\"S\" confined=no status=0 files=partial"},
    };
    for (const Case &c : cases) {
        char buf[VLX_AUDIT_LINE_SIZE];
        vlxAuditFormat(buf, sizeof buf, 1000, c.e, c.status);
        EXPECT_EQ(std::string(buf), c.line) << c.name;
    }
    // Every byte escaped, every text at its longest: the line still fits.
    const std::string worst(200, '\x01');
    VlxAuditEntry e{worst.c_str(), worst.c_str(), worst.c_str(), nullptr, true, VlxConfinement::Unconfined, "confined"};
    char buf[VLX_AUDIT_LINE_SIZE];
    vlxAuditFormat(buf, sizeof buf, 4294967295u, e, -2147483647 - 1);
    EXPECT_EQ(std::string(buf).substr(std::string(buf).size() - 34), " status=-2147483648 files=confined");
    char small[12];
    memset(small, 'x', sizeof small);
    vlxAuditFormat(small, sizeof small, 1000, e, 0);
    EXPECT_STREQ(small, "uid=1000 op");
}

bool isOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(VlxCloseCallerFd, NeverClosesStandardDescriptors)
{
    for (int fd : {-1, 0, 1, 2})
        vlxCloseCallerFd(fd);
    for (int fd : {0, 1, 2})
        EXPECT_TRUE(isOpen(fd)) << fd;

    int p[2];
    ASSERT_EQ(pipe(p), 0);
    vlxCloseCallerFd(p[1]);
    EXPECT_FALSE(isOpen(p[1]));
    EXPECT_EQ(errno, EBADF);
    close(p[0]);
}

// Runs body in a child process; the child's exit status is its result.
int inChild(int (*body)())
{
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

// A file opened after start-up must never become standard output or error:
// whatever is written there afterwards goes to /dev/null.
int reopenAndWrite(const int *closed, int n)
{
    for (int i = 0; i < n; ++i)
        close(closed[i]);
    if (vlxEnsureStdFds() != 0)
        return 10;
    for (int fd = 0; fd <= 2; ++fd)
        if (!isOpen(fd))
            return 11;
    char name[] = "/tmp/vlxstartXXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        return 12;
    unlink(name);
    if (fd <= 2)
        return 13;
    for (int i = 0; i < n; ++i)
        if (closed[i] != 0 && write(closed[i], "msg", 3) != 3)
            return 14;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size != 0)
        return 15;
    return 0;
}

TEST(VlxEnsureStdFds, ReopensClosedDescriptorsOnDevNull)
{
    struct {
        const char *name;
        int (*body)();
    } cases[] = {
        {"stdout_closed", [] { static const int c[] = {1}; return reopenAndWrite(c, 1); }},
        {"stderr_closed", [] { static const int c[] = {2}; return reopenAndWrite(c, 1); }},
        {"all_closed", [] { static const int c[] = {0, 1, 2}; return reopenAndWrite(c, 3); }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(inChild(c.body), 0);
    }
}

int hardenedState()
{
    umask(0);
    vlxHardenProcess();
    if (prctl(PR_GET_DUMPABLE, 0, 0, 0, 0) != 0)
        return 1;
    struct rlimit rl;
    if (getrlimit(RLIMIT_CORE, &rl) != 0 || rl.rlim_cur != 0 || rl.rlim_max != 0)
        return 2;
    if (umask(0) != 077)
        return 3;
    int p[2];
    if (pipe(p) != 0)
        return 4;
    close(p[0]);
    // With SIGPIPE delivered the child would die here instead of returning.
    if (write(p[1], "x", 1) != -1 || errno != EPIPE)
        return 5;
    return 0;
}

TEST(VlxHardenProcess, NoCoreNoDumpPrivateMaskNoSigpipe) { EXPECT_EQ(inChild(hardenedState), 0); }

// One limit set by a caller in a child, then the hardening: the bounds the
// child is left with, or {0, 0} when the child failed.
struct rlimit limitAfterHardening(int resource, struct rlimit caller)
{
    int p[2];
    struct rlimit seen = {0, 0};
    if (pipe(p) != 0)
        return seen;
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        struct rlimit now = {0, 0};
        if (setrlimit(resource, &caller) == 0) {
            vlxHardenProcess();
            (void)getrlimit(resource, &now);
        }
        _exit(write(p[1], &now, sizeof now) == sizeof now ? 0 : 1);
    }
    close(p[1]);
    if (pid < 0 || read(p[0], &seen, sizeof seen) != sizeof seen)
        seen = {0, 0};
    close(p[0]);
    waitpid(pid, nullptr, 0);
    return seen;
}

// Whether this process may raise a hard limit it lowered (root with
// CAP_SYS_RESOURCE): tried in a child.
bool mayRaiseHardLimits()
{
    return inChild([] {
               struct rlimit low = {1, 1}, high = {2, 2};
               return setrlimit(RLIMIT_NOFILE, &low) == 0 && setrlimit(RLIMIT_NOFILE, &high) == 0 ? 0 : 1;
           }) == 0;
}

// A caller's limit below the run's own is raised to it; one above is left as
// the caller set it; core files are off whatever the caller allowed. Where
// the hard bound cannot be raised, the soft one still rises up to it.
TEST(VlxHardenProcess, LimitsOnlyRise)
{
    const rlim_t inf = RLIM_INFINITY;
    struct Case {
        const char *name;
        int resource;
        struct rlimit caller;
        struct rlimit raised;         // the hard bound may be raised
        struct rlimit hardBoundKept;  // it may not
    } cases[] = {
        {"few descriptors, room above", RLIMIT_NOFILE, {64, 4096}, {256, 4096}, {256, 4096}},
        {"many descriptors", RLIMIT_NOFILE, {4096, 4096}, {4096, 4096}, {4096, 4096}},
        {"soft limit above the run's own", RLIMIT_NOFILE, {300, 1024}, {300, 1024}, {300, 1024}},
        {"both bounds below", RLIMIT_NOFILE, {64, 100}, {256, 256}, {100, 100}},
        {"small file size", RLIMIT_FSIZE, {4096, 4096}, {inf, inf}, {4096, 4096}},
        {"file size soft bound only", RLIMIT_FSIZE, {4096, inf}, {inf, inf}, {inf, inf}},
        {"large stack", RLIMIT_STACK, {16u << 20, inf}, {16u << 20, inf}, {16u << 20, inf}},
        {"small stack", RLIMIT_STACK, {256u << 10, inf}, {8u << 20, inf}, {8u << 20, inf}},
        {"core files allowed", RLIMIT_CORE, {inf, inf}, {0, 0}, {0, 0}},
    };
    const bool mayRaise = mayRaiseHardLimits();
    if (!mayRaise)
        printf("this process cannot raise a lowered hard limit (no CAP_SYS_RESOURCE): the rows expect the soft "
               "bound raised up to the hard one\n");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const struct rlimit want = mayRaise ? c.raised : c.hardBoundKept;
        const struct rlimit got = limitAfterHardening(c.resource, c.caller);
        EXPECT_EQ(got.rlim_cur, want.rlim_cur);
        EXPECT_EQ(got.rlim_max, want.rlim_max);
    }
}

} // namespace
