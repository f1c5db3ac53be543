// Who may start the installed agent, and what its environment counts for in a
// set-user-id run.
#include "tests/attack/attackenv.h"

namespace atk {
namespace {

TEST(AttackInstall, AgentIsRootsAndTheGroupsWithTheSetUserIdBit)
{
    ATK_REQUIRE_INSTALL_RULES();
    struct stat st;
    ASSERT_EQ(stat(install().agent.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, nobodyGid);
    EXPECT_EQ(st.st_mode & 07777, 04750u);
    for (const char *lang : {"EN_US", "DE_DE"}) {
        ASSERT_EQ(stat((install().catalogs + "/" + lang + "/kelclientV3.cat").c_str(), &st), 0) << lang;
        EXPECT_EQ(st.st_uid, 0u) << lang;
        EXPECT_EQ(st.st_mode & 022, 0u) << lang;
    }
    EXPECT_EQ(stat((install().root + KEL_OXL_INSTALLED).c_str(), &st), 0) << "crypto library";
    EXPECT_EQ(stat((install().root + "/kel/sbin/keladm").c_str(), &st), 0) << "administrator's tool";
}

// A live install staged below DESTDIR never adds a group to the machine it
// runs on: without the group the agent stays root:root 0750, never set-user-id.
TEST(AttackInstall, StagedInstallWithoutTheGroupLeavesNoSetUserIdBit)
{
    ATK_REQUIRE_INSTALL_RULES();
    const std::string group = "kelatk-nosuch";
    ASSERT_NE(sh("getent group " + group + " >/dev/null"), 0) << "the group exists here";
    Dir stage(0755);
    const std::string log = stage.path() + "/install.log";
    ASSERT_EQ(sh("DESTDIR='" + stage.path() + "' '" KEL_CMAKE_COMMAND "' -DKEL_LIVE_INSTALL=ON -DCMAKE_INSTALL_PREFIX=/kel -DKEL_AGENT_GROUP=" +
                 group + " -P '" KEL_BINARY_DIR "/cmake_install.cmake' >'" + log + "' 2>&1"),
              0)
        << pwfix::readFile(log);
    struct stat st;
    ASSERT_EQ(stat((stage.path() + "/kel/libexec/kelvlx").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_NE(pwfix::readFile(log).find("chmod 4750"), std::string::npos) << "no word for the packager";
    EXPECT_NE(sh("getent group " + group + " >/dev/null"), 0) << "the install added the group";
}

// Runs this build's live install rules as root; the log goes to <dir>/install.log.
int installInto(const std::string &dir, const std::string &destdir, const std::string &prefix)
{
    return sh("env -u DESTDIR " + (destdir.empty() ? std::string() : "DESTDIR='" + destdir + "' ") + "'" KEL_CMAKE_COMMAND
              "' -DKEL_LIVE_INSTALL=ON -DCMAKE_INSTALL_PREFIX='" + prefix + "' -DKEL_AGENT_GROUP=" + agentGroup +
              " -P '" KEL_BINARY_DIR "/cmake_install.cmake' >'" + dir + "/install.log' 2>&1");
}

// The install log of <dir>, each run of white space one blank (CMake wraps
// its messages).
std::string installLog(const std::string &dir)
{
    std::string out;
    for (char c : pwfix::readFile(dir + "/install.log"))
        if (!isspace(static_cast<unsigned char>(c)))
            out += c;
        else if (out.empty() || out.back() != ' ')
            out += ' ';
    return out;
}

// An install into the live system stops at a catalog or library directory
// that a set-user-id run would not trust, before anything is copied; the
// library's own directory lies in a private mount namespace here.
TEST(AttackInstall, LiveInstallStopsAtDirectoriesOthersCouldChange)
{
    ATK_REQUIRE_INSTALL_RULES();
    PrivateLibraryDir ns;
    ATK_REQUIRE_PRIVATE_MOUNTS(ns);
    struct Row {
        const char *name;
        uid_t prefixOwner;     // owner of the directory above the prefix
        uid_t libDirOwner;     // owner of the library's default directory
        bool installed;
    } rows[] = {
        {"root's directories", 0, 0, true},
        {"a prefix in the user's directory", nobodyUid, 0, false},
        {"a library directory the user owns", 0, nobodyUid, false},
    };
    const std::string library = std::string(KEL_OXL_DIR) + "/oxl/oxllib/liboxllib.so";
    for (const Row &r : rows) {
        Dir top(0755, r.prefixOwner, 0);
        ASSERT_EQ(sh("rm -rf '" KEL_OXL_DIR "'/* && chown " + std::to_string(r.libDirOwner) + " '" KEL_OXL_DIR "'"), 0);
        const std::string prefix = top.path() + "/usr";
        int rc = installInto(top.path(), "", prefix);
        const std::string log = installLog(top.path());
        EXPECT_EQ(rc == 0, r.installed) << r.name << ": " << log;
        struct stat st;
        EXPECT_EQ(stat(library.c_str(), &st) == 0, r.installed) << r.name;
        EXPECT_EQ(stat((prefix + "/libexec/kelvlx").c_str(), &st) == 0, r.installed) << r.name;
        if (r.installed) {
            EXPECT_EQ(st.st_mode & 07777, 04750u) << r.name;
        } else {
            EXPECT_NE(log.find("can be changed by others than root"), std::string::npos) << r.name << ": " << log;
            EXPECT_NE(stat(prefix.c_str(), &st), 0) << r.name << ": something was installed";
        }
    }
}

// A sanitizer build's agent is never installed, staged or not: run
// set-user-id, its runtime would take options such as log_path from the
// caller's environment and write where the caller says, as root.
TEST(AttackInstall, SanitizerBuildIsNeverInstalled)
{
    if (!KEL_AGENT_SANITIZED)
        GTEST_SKIP() << "this build has no sanitizers: the sanitizer build runs this test";
    if (geteuid() != 0)
        GTEST_SKIP() << "the install runs as root";
    char tmpl[] = "/tmp/kelatk-san.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string stage = tmpl;
    EXPECT_NE(installInto(stage, stage + "/root", "/kel"), 0);
    const std::string log = installLog(stage);
    EXPECT_NE(log.find("sanitizers"), std::string::npos) << log;
    struct stat st;
    EXPECT_NE(stat((stage + "/root").c_str(), &st), 0) << "something was installed: " << log;
    pwfix::TempDir::removeTree(stage);
}

// Root and the group's members start it; anybody else is refused by the kernel.
TEST(AttackInstall, OnlyRootAndGroupMembersMayStartIt)
{
    ATK_REQUIRE_INSTALL();
    struct Row {
        const char *name;
        uid_t uid;
        gid_t gid;
        int execErrno;
    } rows[] = {
        {"root", 0, 0, 0},
        {"a member of the agent group", nobodyUid, nobodyGid, 0},
        {"a user outside the group", nobodyUid, nobodyGid - 1, EACCES},
    };
    Dir pw;
    for (const Row &r : rows) {
        Call c;
        c.args = agentArgs(pw.path(), 'B');
        c.uid = r.uid;
        c.gid = r.gid;
        Agent a;
        ASSERT_TRUE(a.start(c)) << r.name;
        EXPECT_EQ(a.execErrno(), r.execErrno) << r.name << ": " << strerror(a.execErrno());
        (void)a.send(Bytes("\x01", 1));   // 'B' with a non-zero flag: nothing to do
        int status = a.finish();
        if (r.execErrno == 0) {
            EXPECT_EQ(status, ST_OK) << r.name << ": " << a.printed();
        }
    }
}

// The installed programs carry none of the tests' hooks: nothing in them can
// choose the random source of new passwords, make a step of a rewrite or an
// allocation fail, replace the table of expected conversions or move the
// crypto library's directory, act on the directory at a step of a rewrite or
// try a forbidden call under the system-call filter.
TEST(AttackInstall, InstalledProgramsCarryNoTestHooks)
{
    ATK_REQUIRE_INSTALL_RULES();
    // The hooks themselves: their setters and the state they set. A name that
    // the hook-free build has too (the always-true step check of a rewrite,
    // kept as a function when not optimised) proves nothing.
    const char *hooks[] = {"desSetRandomSource", "randomSource",     "fioFailStep",     "fioStepCalls",
                           "fioResetSteps",      "stepCalls",        "stepFailAt",      "fioSetLockWaitMs",
                           "lockWaitOverride",   "pfnKelFailAlloc",  "nlsSetSigTable",  "oxlSetLocalDirectory",
                           "fioSetStepHook",     "stepHook",         "runProbe"};
    struct Row {
        const char *name;
        std::string path;
        const char *known;   // a symbol it must show, so that the table was read at all
    } rows[] = {
        {"agent", install().agent, "GeneratePassword"},
        {"administrator's tool", install().root + "/kel/sbin/keladm", "dsCoreInit"},
    };
    for (const Row &r : rows) {
        Dir out(0755);
        const std::string list = out.path() + "/symbols";
        ASSERT_EQ(sh("nm -C '" + r.path + "' >'" + list + "' 2>&1"), 0) << r.name << ": " << pwfix::readFile(list);
        const std::string symbols = pwfix::readFile(list);
        ASSERT_NE(symbols.find(r.known), std::string::npos) << r.name << ": no symbol table";
        for (const char *h : hooks)
            EXPECT_EQ(symbols.find(h), std::string::npos) << r.name << " holds " << h;
    }
    // Nor does the agent read the variables that steer the tests' build.
    const Bytes agent = pwfix::readFile(install().agent);
    ASSERT_FALSE(agent.empty());
    for (const char *v : {"KEL_TEST_SANDBOX_PROBE", "KEL_TEST_LANDLOCK_ABI", "KEL_TEST_PROBE_"})
        EXPECT_EQ(agent.find(v), std::string::npos) << "the agent reads " << v;
}

TEST(AttackInstall, EmptyArgumentVectorGetsTheUsageText)
{
    ATK_REQUIRE_INSTALL();
    Call c;
    c.noArgv = true;
    Result r = run(c);
    EXPECT_EQ(r.status, ST_USAGE);
    EXPECT_NE(r.printed.find("This program is not for general use."), std::string::npos) << r.printed;
}

// Variables that could steer a path count for nothing in a set-user-id run.
TEST(AttackInstall, PathVariablesAreNotTrusted)
{
    ATK_REQUIRE_INSTALL();
    Dir cwd(0755);
    Call c;
    c.program = install().probe;
    c.cwd = cwd.path();
    c.env = {"PATH=/usr/bin:/bin", "PWD=/nonexistent/planted", "LANG=../../planted/EN_US"};
    Result r = run(c);
    EXPECT_EQ(r.status, 0) << r.printed;
    EXPECT_NE(r.printed.find("SECURE=1\n"), std::string::npos) << r.printed;
    EXPECT_NE(r.printed.find("LANG=(none)\n"), std::string::npos) << r.printed;
    EXPECT_NE(r.printed.find("PATH=0 " + cwd.path() + "/ZAR.PWD\n"), std::string::npos) << r.printed;
    EXPECT_EQ(r.printed.find("planted"), std::string::npos) << r.printed;
}

// A password path without a directory is the current directory's ZAR.PWD,
// whatever PWD says.
TEST(AttackInstall, PwdDoesNotChooseThePasswordFile)
{
    ATK_REQUIRE_INSTALL();
    Dir real(0755), planted(0755);
    pwfix::writeFile(real.file(), passwordFile());
    pwfix::writeFile(planted.file(), pwfix::file({pwfix::v3(0, "SERVER1", "OTHER", "X")}));
    Call c;
    c.args = agentArgs(real.path(), 'A');
    c.args[A_PWPATH] = "dsm.opt";
    c.cwd = real.path();
    c.env = {"PATH=/usr/bin:/bin", "PWD=" + planted.path()};
    Result r = run(c, Bytes("\x00\x00", 2) + "CHALLENG");
    EXPECT_EQ(r.status, ST_OK) << r.printed;
    EXPECT_EQ(r.answer.size(), 8u);
}

} // namespace
} // namespace atk
