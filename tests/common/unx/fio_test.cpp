#include "common/unx/fio.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

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
