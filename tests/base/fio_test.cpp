#include "base/fio.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

bool isDir(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string &p)
{
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}

// A scratch directory, removed with everything in it at the end.
class Scratch : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelfio.XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
    }
    void TearDown() override
    {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(0, system(cmd.c_str()));
    }
    std::string dir;
};

// Restores the current directory and PWD when the test ends.
class CwdGuard {
public:
    CwdGuard()
    {
        if (getcwd(cwd_, sizeof cwd_) == nullptr)
            cwd_[0] = '\0';
        const char *pwd = getenv("PWD");
        hadPwd_ = pwd != nullptr;
        if (hadPwd_)
            pwd_ = pwd;
    }
    ~CwdGuard()
    {
        if (cwd_[0] != '\0' && chdir(cwd_) != 0)
            ADD_FAILURE() << "cannot return to " << cwd_;
        if (hadPwd_)
            setenv("PWD", pwd_.c_str(), 1);
        else
            unsetenv("PWD");
    }

private:
    char cwd_[4096];
    bool hadPwd_ = false;
    std::string pwd_;
};

TEST_F(Scratch, BuildPathCreatesEveryMissingLevel)
{
    struct Case {
        const char *name;
        const char *rel;
        const char *check;
    };
    const Case cases[] = {
        {"one level", "a", "a"},
        {"two levels", "b/c", "b/c"},
        {"four levels", "d/e/f/g", "d/e/f/g"},
        {"under an existing level", "d/e/x", "d/e/x"},
        {"trailing slashes", "h/i//", "h/i"},
        {"doubled slash", "j//k", "j/k"},
    };
    for (const Case &c : cases) {
        std::string path = dir + "/" + c.rel;
        EXPECT_EQ(0, fioBuildPath(path.c_str())) << c.name;
        EXPECT_TRUE(isDir(dir + "/" + c.check)) << c.name;
    }
}

TEST_F(Scratch, BuildPathOfARelativeTwoLevelPath)
{
    CwdGuard guard;
    ASSERT_EQ(0, chdir(dir.c_str()));
    EXPECT_EQ(0, fioBuildPath("one/two"));
    EXPECT_TRUE(isDir(dir + "/one"));
    EXPECT_TRUE(isDir(dir + "/one/two"));
    EXPECT_EQ(-1, fioBuildPath("one/two")) << "both levels exist now";
    EXPECT_EQ(0, fioBuildPath("one/two/three")) << "a missing level below existing ones";
}

TEST_F(Scratch, BuildPathFailures)
{
    std::string file = dir + "/file";
    FILE *f = fopen(file.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fclose(f);
    std::string tooLong = dir + "/" + std::string(FIO_PATH_MAX, 'x');

    EXPECT_EQ(-1, fioBuildPath(nullptr));
    EXPECT_EQ(-1, fioBuildPath(""));
    EXPECT_EQ(-1, fioBuildPath(dir.c_str()));                 // exists already
    EXPECT_EQ(-1, fioBuildPath(file.c_str()));                // a file of that name exists
    EXPECT_NE(0, fioBuildPath((file + "/sub").c_str()));      // a file in the way
    EXPECT_EQ(119, fioBuildPath(tooLong.c_str()));            // never cut short into another path
    EXPECT_FALSE(exists(dir + "/" + std::string(FIO_PATH_MAX - dir.size() - 2, 'x')));
}

TEST_F(Scratch, MakeDirectoryMapsTheError)
{
    std::string sub = dir + "/sub";
    EXPECT_EQ(0, fioMakeDirectory(sub.c_str(), 0));
    EXPECT_EQ(108, fioMakeDirectory(sub.c_str(), 0));                     // EEXIST
    EXPECT_EQ(104, fioMakeDirectory((dir + "/no/such").c_str(), 0));      // ENOENT
}

TEST(BuildCurrentPath, BareNameIsMadeAbsolute)
{
    CwdGuard guard;
    char cwd[FIO_PATH_MAX];
    ASSERT_NE(nullptr, getcwd(cwd, sizeof cwd));
    struct Case {
        const char *name;
        const char *pwd;   // null: unset
        const char *file;
        std::string want;
    };
    const Case cases[] = {
        {"PWD unset, leading blanks skipped", nullptr, " \t  ZAR.PWD", std::string(cwd) + "/ZAR.PWD"},
        {"PWD taken as it is", "/some/where", "trace.out", "/some/where/trace.out"},
        {"dot", "/x", ".", "/x/."},
        {"empty name", "/x", "", "/x/"},
    };
    for (const Case &c : cases) {
        if (c.pwd != nullptr)
            setenv("PWD", c.pwd, 1);
        else
            unsetenv("PWD");
        char buf[FIO_PATH_MAX + 1];
        EXPECT_EQ(0, psBuildCurrentPath(buf, c.file)) << c.name;
        EXPECT_EQ(c.want, buf) << c.name;
    }
}

TEST(BuildCurrentPath, NameWithASlashLeavesTheBufferUntouched)
{
    char buf[16];
    memset(buf, 'Q', sizeof buf);
    EXPECT_EQ(0, psBuildCurrentPath(buf, "dir/ZAR.PWD", sizeof buf));
    for (char ch : buf)
        EXPECT_EQ('Q', ch);
}

TEST(BuildCurrentPath, ResultThatDoesNotFitIsRefused)
{
    CwdGuard guard;
    struct Case {
        const char *name;
        std::string pwd;
        const char *file;
        size_t size;
    };
    const Case cases[] = {
        {"hostile PWD longer than the buffer", "/" + std::string(5000, 'p'), "f", FIO_PATH_MAX},
        {"PWD that fills the buffer", "/" + std::string(FIO_PATH_MAX - 2, 'p'), "f", FIO_PATH_MAX},
        {"name that overflows", "/d", "abcdef", 8},
        {"exact fit", "/d", "abcd", 8},
    };
    for (const Case &c : cases) {
        setenv("PWD", c.pwd.c_str(), 1);
        std::string buf(c.size + 8, 'Z');   // guard bytes behind the given size
        int rc = psBuildCurrentPath(buf.data(), c.file, c.size);
        bool fits = c.pwd.size() + 1 + strlen(c.file) < c.size;
        EXPECT_EQ(fits ? 0 : -1, rc) << c.name;
        if (!fits) {
            EXPECT_EQ('\0', buf[0]) << c.name;
        }
        EXPECT_EQ(std::string(8, 'Z'), buf.substr(c.size)) << c.name;
    }
}

} // namespace

// ---------------------------------------------------------------- whole reads and writes

namespace {

// A pipe whose ends close when the test ends.
struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() { EXPECT_EQ(0, pipe(fd)); }
    ~Pipe()
    {
        closeRead();
        closeWrite();
    }
    void closeRead()
    {
        if (fd[0] >= 0)
            close(fd[0]);
        fd[0] = -1;
    }
    void closeWrite()
    {
        if (fd[1] >= 0)
            close(fd[1]);
        fd[1] = -1;
    }
};

// An op that moves at most `chunk` bytes a call and fails with EINTR every
// other call: the loop must carry on after both.
struct Stuttering {
    const std::string &src;
    size_t chunk;
    int calls = 0;
    std::string out;
    ssize_t operator()(size_t off, size_t len)
    {
        if (++calls % 2 == 1) {
            errno = EINTR;
            return -1;
        }
        size_t n = std::min({len, chunk, src.size() - off});
        out.append(src, off, n);
        return static_cast<ssize_t>(n);
    }
};

} // namespace

TEST(TransferFull, ShortCountsAndSignalsAreCarriedOver)
{
    struct Case {
        const char *name;
        std::string src;
        size_t want;
        size_t chunk;
        int rc;
        size_t done;
    };
    const Case cases[] = {
        {"all in one step", "abcdef", 6, 64, 0, 6},
        {"one byte a step", "abcdef", 6, 1, 0, 6},
        {"ends first", "abc", 6, 2, FIO_RC_EOF, 3},
        {"nothing wanted", "abc", 0, 1, 0, 0},
    };
    for (const Case &c : cases) {
        Stuttering op{c.src, c.chunk, 0, {}};
        size_t done = 99;
        EXPECT_EQ(c.rc, fioTransferFull(std::ref(op), c.want, &done)) << c.name;
        EXPECT_EQ(c.done, done) << c.name;
        EXPECT_EQ(c.src.substr(0, c.done), op.out) << c.name;
    }
}

TEST(ReadFull, ReadsAcrossWritesAndReportsTheEnd)
{
    Pipe p;
    ASSERT_EQ(3, write(p.fd[1], "abc", 3));
    ASSERT_EQ(2, write(p.fd[1], "de", 2));
    p.closeWrite();
    char buf[8] = {};
    size_t got = 0;
    EXPECT_EQ(0, fioReadFull(p.fd[0], buf, 4, &got));
    EXPECT_EQ(4u, got);
    EXPECT_EQ(FIO_RC_EOF, fioReadFull(p.fd[0], buf, 4, &got));
    EXPECT_EQ(1u, got);
    EXPECT_EQ('e', buf[0]);
    errno = 0;
    EXPECT_EQ(-1, fioReadFull(-1, buf, 1, &got));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(0u, got);
}

// One read: what has come, without waiting for the rest or taking more than
// asked; 0 at the end, -1 for a bad descriptor.
TEST(ReadOnce, TakesWhatHasComeAndNoMore)
{
    Pipe p;
    ASSERT_EQ(6, write(p.fd[1], "\x01" "abcde", 6));
    char flag = 0;
    EXPECT_EQ(1, fioReadOnce(p.fd[0], &flag, 1));
    EXPECT_EQ('\x01', flag);
    char buf[16] = {};
    EXPECT_EQ(5, fioReadOnce(p.fd[0], buf, sizeof buf));   // the writer is still open
    EXPECT_STREQ("abcde", buf);
    ASSERT_EQ(3, write(p.fd[1], "xyz", 3));
    p.closeWrite();
    EXPECT_EQ(2, fioReadOnce(p.fd[0], buf, 2));
    EXPECT_EQ(1, fioReadOnce(p.fd[0], buf, sizeof buf));
    EXPECT_EQ(0, fioReadOnce(p.fd[0], buf, sizeof buf));
    errno = 0;
    EXPECT_EQ(-1, fioReadOnce(-1, buf, 1));
    EXPECT_EQ(EBADF, errno);
}

TEST(WriteFull, WritesMoreThanThePipeHoldsAndReportsAClosedReader)
{
    Pipe p;
    const std::string big(1 << 20, 'x');   // far more than one write into a pipe takes
    std::string seen;
    std::thread reader([&] {
        char buf[4096];
        ssize_t r;
        while ((r = read(p.fd[0], buf, sizeof buf)) > 0)
            seen.append(buf, static_cast<size_t>(r));
    });
    EXPECT_EQ(0, fioWriteFull(p.fd[1], big.data(), big.size()));
    p.closeWrite();
    reader.join();
    EXPECT_EQ(big.size(), seen.size());

    Pipe q;
    q.closeRead();
    struct sigaction ign = {}, old = {};
    ign.sa_handler = SIG_IGN;
    ASSERT_EQ(0, sigaction(SIGPIPE, &ign, &old));
    errno = 0;
    EXPECT_EQ(-1, fioWriteFull(q.fd[1], "a", 1));
    EXPECT_EQ(EPIPE, errno);
    sigaction(SIGPIPE, &old, nullptr);
}

TEST(Guards, CloseWhatTheyHoldUnlessReleased)
{
    int fd;
    {
        FdGuard g(open("/dev/null", O_RDONLY));
        fd = g.get();
        ASSERT_GE(fd, 0);
    }
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
    {
        FdGuard g(open("/dev/null", O_RDONLY));
        fd = g.release();
    }
    EXPECT_NE(-1, fcntl(fd, F_GETFD));
    close(fd);
    {
        StreamGuard s(fopen("/dev/null", "r"));
        ASSERT_NE(nullptr, s.get());
        fd = fileno(s.get());
    }
    EXPECT_EQ(-1, fcntl(fd, F_GETFD));
}
