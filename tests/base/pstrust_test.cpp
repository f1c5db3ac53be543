#include "base/pstrust.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

int run(const std::string &cmd) { return system(cmd.c_str()); }

TEST(pstrust, TestProcessIsNotASecureRun) { EXPECT_EQ(psIsSecureRun(), 0); }

// Which files a set-user-id run may take: the file and every directory above
// it root's and writable by nobody else (sticky directories excepted).
TEST(pstrust, OnlyProtectedFilesAreTrusted)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to hand files to another owner";
    char tmpl[] = "/tmp/kelpstrust.XXXXXX";   // below the sticky /tmp
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string file = dir + "/kelclientV3.cat";
    ASSERT_EQ(run("echo protected >'" + file + "' && mkdir '" + dir + "/sub'"), 0);
    ASSERT_EQ(symlink(file.c_str(), (dir + "/link.cat").c_str()), 0);
    struct Row {
        const char *name;
        const char *setup;   // shell commands, %d the directory, %f the file
        const char *path;    // relative to the directory
        int trusted;
        int err;             // errno when not trusted
    } rows[] = {
        {"root's file in root's directories", "chmod 0644 %f; chmod 0755 %d", "kelclientV3.cat", 1, 0},
        {"file writable by others", "chmod 0666 %f", "kelclientV3.cat", 0, EPERM},
        {"file writable by the group", "chmod 0664 %f", "kelclientV3.cat", 0, EPERM},
        {"file of another owner", "chown 65534 %f", "kelclientV3.cat", 0, EPERM},
        {"directory writable by all", "chmod 0777 %d", "kelclientV3.cat", 0, EPERM},
        {"directory writable by the group", "chmod 0775 %d", "kelclientV3.cat", 0, EPERM},
        {"sticky directory writable by all", "chmod 1777 %d", "kelclientV3.cat", 1, 0},
        {"directory of another owner", "chown 65534 %d", "kelclientV3.cat", 0, EPERM},
        {"link to a protected file", "", "link.cat", 1, 0},
        {"a directory, not a file", "", "sub", 0, EPERM},
        {"missing file", "", "absent.cat", 0, ENOENT},
    };
    for (const Row &r : rows) {
        std::string cmd = std::string("chown 0 %f %d; chmod 0644 %f; chmod 0755 %d; ") + r.setup;
        for (size_t p; (p = cmd.find("%d")) != std::string::npos;)
            cmd.replace(p, 2, "'" + dir + "'");
        for (size_t p; (p = cmd.find("%f")) != std::string::npos;)
            cmd.replace(p, 2, "'" + file + "'");
        ASSERT_EQ(run(cmd), 0) << r.name;
        char canon[PATH_MAX] = "x";
        std::string path = dir + "/" + r.path;
        errno = 0;
        EXPECT_EQ(psPathTrusted(path.c_str(), canon, sizeof canon), r.trusted) << r.name;
        if (r.trusted == 1) {
            EXPECT_EQ(std::string(canon), file) << r.name;
        } else {
            EXPECT_EQ(errno, r.err) << r.name;
            EXPECT_STREQ(canon, "") << r.name;
        }
    }
    char small[8];
    EXPECT_EQ(psPathTrusted(file.c_str(), small, sizeof small), 0);   // no room for the path
    EXPECT_EQ(errno, ENAMETOOLONG);
    run("rm -rf '" + dir + "'");
}

} // namespace
