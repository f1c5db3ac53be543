// The crypto library is code that runs as root: a set-user-id run loads it
// only from where root alone could have put it, and by the path it checked.
// Each test plants its libraries at the default library directory of a
// private mount namespace (PrivateLibraryDir), never at the machine's own.
#include "tests/attack/attackenv.h"

namespace atk {
namespace {

const std::string libDir = KEL_OXL_DIR;
const Bytes aesChallenge = Bytes("\x00\x00", 2) + "CHALLENG";   // 'A' with cipher type 2 loads the library

// One 'A' request with AES by nobody; the marker file collects a line from
// every planted library that was loaded. The planted library has none of
// the entry points, so a loaded one ends with 5802 too.
Result aesRequest(const Dir &pw, const std::string &marker)
{
    Call c;
    c.args = agentArgs(pw.path(), 'A');
    c.args[A_CIPHER] = "2";
    c.env = {"PATH=/usr/bin:/bin", "KEL_PLANT_MARKER=" + marker};
    return run(c, aesChallenge);
}

// Runs cmd with %o standing for the default library directory.
int shIn(std::string cmd)
{
    for (size_t p; (p = cmd.find("%o")) != std::string::npos;)
        cmd.replace(p, 2, "'" + libDir + "'");
    return sh(cmd);
}

// The planted library at the default path, in a tree a row then changes: the
// library and every directory root's, mode 0755, before the row's commands.
TEST(AttackLibrary, PlantedLibraryIsLoadedOnlyWhereRootAloneCouldHavePutIt)
{
    ATK_REQUIRE_INSTALL();
    PrivateLibraryDir ns;
    ATK_REQUIRE_PRIVATE_MOUNTS(ns);
    Dir pw, out(0755);
    pwfix::writeFile(pw.file(), passwordFile());
    const std::string marker = out.path() + "/loaded";
    struct Row {
        const char *name;
        const char *change;   // shell commands, %o the default library directory
        bool loaded;
    } rows[] = {
        {"root's library in root's directories", "true", true},
        {"a sticky directory anybody may write holding root's library", "chmod 1777 %o/oxl/oxllib", true},
        {"the user's own directories and library", "chown -R nobody %o/oxl", false},
        {"root's library in the user's directory", "chown nobody %o/oxl/oxllib", false},
        {"root's tree below the user's directory", "chown nobody %o", false},
        {"the user's library in root's directory", "chown nobody %o/oxl/oxllib/liboxllib.so", false},
        {"a library anybody may write", "chmod 0666 %o/oxl/oxllib/liboxllib.so", false},
        {"a library the group may write", "chmod 0775 %o/oxl/oxllib/liboxllib.so", false},
        {"a directory anybody may write", "chmod 0777 %o/oxl", false},
    };
    for (const Row &r : rows) {
        ASSERT_EQ(shIn("rm -rf %o/oxl && mkdir -p %o/oxl/oxllib && cp '" KEL_PLANTED_LIB
                       "' %o/oxl/oxllib/liboxllib.so && chown -R 0:0 %o && chmod -R 0755 %o && " +
                       std::string(r.change)),
                  0)
            << r.name;
        unlink(marker.c_str());
        Result res = aesRequest(pw, marker);
        EXPECT_EQ(res.status, ST_NO_LIBRARY) << r.name << ": " << res.printed;
        EXPECT_EQ(access(marker.c_str(), F_OK) == 0, r.loaded) << r.name << ": " << pwfix::readFile(marker);
    }
}

// The user swaps a link in the library path back and forth between root's
// library and their own while the agent starts: the library that was
// checked is the one loaded, so the user's own never is.
TEST(AttackLibrary, SwappedLinkNeverLetsTheUsersLibraryIn)
{
    ATK_REQUIRE_INSTALL();
    PrivateLibraryDir ns;
    ATK_REQUIRE_PRIVATE_MOUNTS(ns);
    // <dir>/oxl is the user's and holds the link oxllib, which points at
    // <dir>/trusted/oxllib (root's) or <dir>/user/oxllib (the user's).
    ASSERT_EQ(shIn("mkdir -p %o/oxl %o/trusted/oxllib %o/user/oxllib && cp '" KEL_PLANTED_LIB
                   "' %o/trusted/oxllib/liboxllib.so && cp '" KEL_PLANTED_LIB
                   "' %o/user/oxllib/liboxllib.so && chmod -R 0755 %o && chown -R nobody %o/oxl %o/user"),
              0);
    Dir pw, out(0777);
    pwfix::writeFile(pw.file(), passwordFile());
    const std::string marker = out.path() + "/loaded";
    const std::string link = libDir + "/oxl/oxllib";

    struct Flipper {
        pid_t pid = -1;
        ~Flipper()
        {
            if (pid > 0) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
        }
    } flipper;
    flipper.pid = fork();
    if (flipper.pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(nobodyGid) != 0 || setuid(nobodyUid) != 0)
            _exit(2);
        const std::string tmp = link + ".new";
        const std::string targets[] = {libDir + "/trusted/oxllib", libDir + "/user/oxllib"};
        for (unsigned i = 0;; i++) {
            unlink(tmp.c_str());
            if (symlink(targets[i % 2].c_str(), tmp.c_str()) != 0 || rename(tmp.c_str(), link.c_str()) != 0)
                _exit(3);
        }
    }
    ASSERT_GT(flipper.pid, 0);
    for (int i = 0; i < 100; i++) {
        Result res = aesRequest(pw, marker);
        EXPECT_EQ(res.status, ST_NO_LIBRARY) << res.printed;
    }
    int st = 0;
    kill(flipper.pid, SIGKILL);
    waitpid(flipper.pid, &st, 0);
    flipper.pid = -1;
    EXPECT_TRUE(WIFSIGNALED(st)) << "the link could not be swapped";
    const std::string loads = pwfix::readFile(marker);
    EXPECT_EQ(loads.find("/user/"), std::string::npos) << "the user's library was loaded:\n" << loads;
    EXPECT_EQ(loads.find(link), std::string::npos) << "a library was loaded by the path the user controls:\n" << loads;
    size_t trusted = 0;
    for (size_t p = 0; (p = loads.find("/trusted/", p)) != std::string::npos; p++)
        trusted++;
    RecordProperty("trustedLoads", static_cast<int>(trusted));
}

} // namespace
} // namespace atk
