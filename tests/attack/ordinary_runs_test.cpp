// The runs the defences must still serve. The filter, the limits, the signal
// mask and the descriptor limit stop the attacks of the other tests; here an
// unforeseen system call, a kernel that will not take the filter, a busy
// caller's descriptors and limits, a preloaded allocator, a crypto
// configuration, a relative library path, a tracer that injects errors and a
// signal during the lock wait must each leave the request served as before.
#include "tests/agent/reqfixture.h"
#include "tests/attack/attackenv.h"

#include "base/fio.h"

#include <sys/file.h>

#include <functional>
#include <memory>

namespace atk {
namespace {

const Bytes challengeData = "CHALLENG";
const Bytes challenge = Bytes("\x00\x00", 2) + challengeData;   // 'A': flag, code-set byte, 8 data bytes
const std::string builtLibrary = KEL_BINARY_DIR "/oxl/oxllib/liboxllib.so";

Bytes expectedEncryption(int cipher)
{
    const reqfix::Bytes answer =
        reqfix::expectedAnswer(cipher, oldPassword, 0, reqfix::Bytes(challengeData.begin(), challengeData.end()), true);
    return Bytes(answer.begin(), answer.end());
}

// The message of one syslog datagram ("<pri>timestamp kelvlx[pid]: message").
std::string messageOf(const std::string &datagram)
{
    size_t colon = datagram.find("]: ");
    return colon == std::string::npos ? datagram : datagram.substr(colon + 3);
}

// The installed agent with this build's crypto library at its installation
// directory (a private mount), and the system log read from a socket of the
// test's: every run of a row is checked for its answer, its status and its
// audit line.
class OrdinaryRuns : public ::testing::Test {
protected:
    void SetUp() override
    {
        ATK_REQUIRE_INSTALL();
        lib_ = std::make_unique<PrivateLibraryDir>();
        ATK_REQUIRE_PRIVATE_MOUNTS(*lib_);
        ASSERT_EQ(sh("mkdir -p '" KEL_OXL_DIR "/oxl/oxllib' && cp '" + builtLibrary +
                     "' '" KEL_OXL_DIR "/oxl/oxllib/' && chown -R 0:0 '" KEL_OXL_DIR "/oxl' && chmod -R 0755 '" KEL_OXL_DIR
                     "/oxl'"),
                  0);
        sockDir_ = std::make_unique<Dir>(0755);
        log_ = std::make_unique<PrivateDevLog>(sockDir_->path());
        ATK_REQUIRE_PRIVATE_MOUNTS(*log_);
        pw_ = std::make_unique<Dir>();
    }
    void TearDown() override
    {
        pw_.reset();
        log_.reset();   // back to the library's namespace, then to the machine's
        sockDir_.reset();
        lib_.reset();
    }

    // The one audit line of the run just ended, "" when there was not exactly one.
    std::string auditLine()
    {
        std::vector<std::string> lines = log_->take();
        return lines.size() == 1 ? messageOf(lines[0]) : "";
    }

    // DES 'A', AES 'A' and a confirmed 'C' by the call: each served, with
    // its answer, its new password stored and its audit line saying whether
    // the run was confined.
    void expectServed(const std::string &what, const Call &base, bool confined)
    {
        const std::string mark = confined ? " confined=yes status=0" : " confined=no status=0";
        pwfix::writeFile(pw_->file(), passwordFile());
        log_->take();
        for (int cipher : {1, 2}) {
            Call c = base;
            c.args = agentArgs(pw_->path(), 'A');
            c.args[A_CIPHER] = std::to_string(cipher);
            Result r = run(c, challenge);
            EXPECT_EQ(r.status, ST_OK) << what << ", cipher " << cipher << ": " << r.printed;
            EXPECT_EQ(r.answer, expectedEncryption(cipher)) << what << ", cipher " << cipher;
            const std::string line = auditLine();
            EXPECT_NE(line.find(mark), std::string::npos) << what << ", cipher " << cipher << ": " << line;
        }
        Call c = base;
        c.args = agentArgs(pw_->path(), 'C');
        ChangeResult res = change(c);
        EXPECT_EQ(res.status, ST_OK) << what << ", 'C': " << res.printed;
        EXPECT_TRUE(res.pw.complete) << what << ", 'C'";
        EXPECT_EQ(storedPassword(pwfix::readFile(pw_->file())), res.pw.newPw) << what << ", 'C'";
        const std::string line = auditLine();
        EXPECT_NE(line.find("op=\"C stored\""), std::string::npos) << what << ", 'C': " << line;
        EXPECT_NE(line.find(mark), std::string::npos) << what << ", 'C': " << line;
    }

    std::unique_ptr<PrivateLibraryDir> lib_;
    std::unique_ptr<Dir> sockDir_;
    std::unique_ptr<PrivateDevLog> log_;
    std::unique_ptr<Dir> pw_;
};

// A configuration of the crypto library's own library that loads two more
// of its modules when it starts.
const char twoProviders[] = "openssl_conf = kel_init\n"
                            "[kel_init]\nproviders = kel_providers\n"
                            "[kel_providers]\ndefault = kel_default\nlegacy = kel_legacy\n"
                            "[kel_default]\nactivate = 1\n[kel_legacy]\nactivate = 1\n";

TEST_F(OrdinaryRuns, EveryDefenceServesTheOrdinaryCaller)
{
    Dir files(0755);
    const std::string conf = files.path() + "/providers.cnf";
    ASSERT_TRUE(pwfix::writeFile(conf, twoProviders));
    // In the password directory: the one place the confined agent, and the
    // wrapper preloaded into it, may write.
    const std::string marker = pw_->path() + "/unforeseen";

    struct Row {
        const char *name;
        std::function<void(Call &)> setUp;
        const char *rootOnly;        // why the set-user-id run by nobody is left out; null: both run
        const char *unforeseenCall;  // the preloaded allocator's call, checked to have been denied
        bool confined;
    } rows[] = {
        {"an allocator calling getcpu", [&](Call &c) { c.env.push_back("KEL_UNFORESEEN_CALL=getcpu"); },
         "a set-user-id run ignores LD_PRELOAD", "getcpu", true},
        {"an allocator calling shmget", [&](Call &c) { c.env.push_back("KEL_UNFORESEEN_CALL=shmget"); },
         "a set-user-id run ignores LD_PRELOAD", "shmget", true},
        {"an allocator calling sched_getaffinity",
         [&](Call &c) { c.env.push_back("KEL_UNFORESEEN_CALL=sched_getaffinity"); },
         "a set-user-id run ignores LD_PRELOAD", "sched_getaffinity", true},
        {"a crypto configuration loading two providers", [&](Call &c) { c.env.push_back("OPENSSL_CONF=" + conf); },
         "a set-user-id run ignores OPENSSL_CONF", nullptr, true},
        {"300 inheritable descriptors under a limit of 4096",
         [](Call &c) {
             c.openThrough = 300;
             c.softAndHard = {{RLIMIT_NOFILE, {4096, 4096}}};
         },
         nullptr, nullptr, true},
        {"40 descriptors under a soft limit of 64",
         [](Call &c) {
             c.openThrough = 40;
             c.softAndHard = {{RLIMIT_NOFILE, {64, 4096}}};
         },
         nullptr, nullptr, true},
        {"a kernel that will not take the filter",
         [](Call &c) {
             c.program = KEL_SANDBOX_PROBE_AGENT;
             c.env.push_back("KEL_TEST_SANDBOX_PROBE=unloadable");
         },
         "the tests' own build of the agent is never installed set-user-id", nullptr, false},
    };
    for (const Row &r : rows) {
        if (r.unforeseenCall != nullptr && KEL_AGENT_SANITIZED) {
            printf("not run: \"%s\": the sanitizers' allocator must come first, before any preloaded one\n", r.name);
            continue;
        }
        if (!KEL_SANDBOX_BUILT && r.confined) {
            printf("\"%s\": built without the filter, every run says confined=no\n", r.name);
        }
        const bool confined = r.confined && KEL_SANDBOX_BUILT;
        for (uid_t uid : {uid_t{0}, nobodyUid}) {
            if (uid != 0 && r.rootOnly != nullptr) {
                printf("root only: \"%s\": %s\n", r.name, r.rootOnly);
                continue;
            }
            const std::string what = std::string(r.name) + (uid == 0 ? ", root" : ", nobody");
            Call c;
            c.uid = uid;
            c.gid = uid == 0 ? 0 : nobodyGid;
            r.setUp(c);
            if (r.unforeseenCall != nullptr) {
                c.env.push_back("LD_PRELOAD=" KEL_UNFORESEEN_LIB);
                c.env.push_back("KEL_UNFORESEEN_MARKER=" + marker);
                unlink(marker.c_str());
            }
            expectServed(what, c, confined);
            if (r.unforeseenCall != nullptr) {
                // The last run's count: calls made, and those the filter denied.
                unsigned long made = 0, denied = 0;
                const std::string counts = pwfix::readFile(marker);
                EXPECT_EQ(sscanf(counts.c_str(), "%lu %lu", &made, &denied), 2) << what << ": the wrapper never ran";
                EXPECT_GT(denied, 0u) << what << ": no " << r.unforeseenCall << " was made under the filter ("
                                      << counts << ")";
            }
        }
    }
}

// A root caller whose library search path reaches the crypto library
// through a relative entry: the dynamic linker resolves it with getcwd,
// after the filter is loaded. AES is served, or ends with 5802 where the
// library is not found; never by a signal.
TEST_F(OrdinaryRuns, RelativeLibraryPathNeverEndsTheRun)
{
    ASSERT_EQ(sh("rm -rf '" KEL_OXL_DIR "/oxl'"), 0);   // the private directory's copy: the search path is reached
    const std::string build = KEL_BINARY_DIR;
    const size_t slash = build.rfind('/');
    struct Row {
        const char *name;
        std::string entry, cwd;
    } rows[] = {
        {"'.' in the build tree", ".", build},
        {"the build tree's name in its parent", build.substr(slash + 1), build.substr(0, slash)},
        {"a relative entry behind one that does not exist", "nonexistent:.", build},
    };
    for (const Row &r : rows) {
        pwfix::writeFile(pw_->file(), passwordFile());
        Call c;
        c.uid = 0;
        c.gid = 0;
        c.cwd = r.cwd;
        c.env.push_back("LD_LIBRARY_PATH=" + r.entry);
        c.args = agentArgs(pw_->path(), 'A');
        c.args[A_CIPHER] = "2";
        Result a = run(c, challenge);
        EXPECT_TRUE(a.status == ST_OK || a.status == ST_NO_LIBRARY) << r.name << ", 'A': " << a.status << " " << a.printed;
        if (a.status == ST_OK) {
            EXPECT_EQ(a.answer, expectedEncryption(2)) << r.name;
        }
        c.args = agentArgs(pw_->path(), 'C');
        c.args[A_CIPHER] = "2";
        ChangeResult res = change(c);
        EXPECT_TRUE(res.status == ST_OK || res.status == ST_NO_LIBRARY) << r.name << ", 'C': " << res.status << " "
                                                                         << res.printed;
        EXPECT_EQ(res.status == ST_OK, storedPassword(pwfix::readFile(pw_->file())) == res.pw.newPw) << r.name;
    }
}

// glibc's two reserved real-time signals sent by root to an agent that has
// taken the confirmation and waits for the lock: held to the exit, so the
// run ends with its status once the lock is free, the new password stored.
TEST_F(OrdinaryRuns, ReservedSignalsDuringTheLockWaitNeverEndTheRun)
{
    for (int sig : {32, 33}) {
        pwfix::writeFile(pw_->file(), passwordFile());
        FdGuard lock(open(pw_->file("ZAR.PWD.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_GE(lock.get(), 0);
        ASSERT_EQ(flock(lock.get(), LOCK_EX), 0);
        Call c;
        c.args = agentArgs(pw_->path(), 'C');
        Agent a;
        ASSERT_TRUE(a.start(c));
        Generated g = receivePasswords(a);
        ASSERT_TRUE(g.complete) << sig;
        ASSERT_TRUE(a.send(i32(67)));
        for (int i = 0; i < 20; ++i) {
            struct timespec t = {0, 20 * 1000 * 1000};
            nanosleep(&t, nullptr);
            ASSERT_EQ(kill(a.pid(), sig), 0) << "signal " << sig << ": the agent ended while waiting for the lock";
        }
        EXPECT_NE(storedPassword(pwfix::readFile(pw_->file())), g.newPw) << "stored without the lock";
        ASSERT_EQ(flock(lock.get(), LOCK_UN), 0);
        const int status = a.finish();
        EXPECT_EQ(status, ST_OK) << "signal " << sig << ": " << a.printed();
        EXPECT_EQ(storedPassword(pwfix::readFile(pw_->file())), g.newPw) << "signal " << sig;
    }
}

// Why strace cannot run the agent here, "" when it can.
std::string straceProblem()
{
    if (access("/usr/bin/strace", X_OK) != 0)
        return "strace is not installed (scripts/deps.sh installs it)";
    if (sh("/usr/bin/strace -qq -o /dev/null /bin/true >/dev/null 2>&1") != 0)
        return "strace cannot trace here (ptrace not permitted)";
    return "";
}

// A confirmed 'C' by root under strace, the tracer's options before the
// agent's command line; strace's own output goes to log.
ChangeResult changeUnderStrace(const Dir &pw, const std::string &log, const std::vector<std::string> &options)
{
    Call c;
    c.uid = 0;
    c.gid = 0;
    c.program = "/usr/bin/strace";
    if (KEL_AGENT_SANITIZED)
        c.env.push_back("ASAN_OPTIONS=detect_leaks=0");   // the leak check cannot run under a tracer
    c.args = {"strace", "-f", "-qq", "-o", log};
    c.args.insert(c.args.end(), options.begin(), options.end());
    c.args.push_back("--");
    std::vector<std::string> agent = agentArgs(pw.path(), 'C');
    agent[0] = install().agent;
    c.args.insert(c.args.end(), agent.begin(), agent.end());
    return change(c);
}

// A tracer that makes one newfstatat fail with EIO (the first, a middle and
// the last of a plain run's): the tracer skips the call, and the run meets
// the error. Status 0 exactly when the new password is stored; never SIGSYS.
TEST_F(OrdinaryRuns, InjectedErrorsAreMetNotFatal)
{
    const std::string problem = straceProblem();
    if (!problem.empty())
        GTEST_SKIP() << problem;
    Dir out(0755);
    const std::string log = out.path() + "/strace.log";
    pwfix::writeFile(pw_->file(), passwordFile());
    ChangeResult plain = changeUnderStrace(*pw_, log, {"-e", "trace=newfstatat"});
    ASSERT_EQ(plain.status, ST_OK) << plain.printed;
    const std::string trace = pwfix::readFile(log);
    size_t calls = 0;
    for (size_t at = trace.find("newfstatat("); at != std::string::npos; at = trace.find("newfstatat(", at + 1))
        ++calls;
    ASSERT_GT(calls, 0u) << "a plain 'C' made no newfstatat";
    for (size_t when : {size_t{1}, (calls + 1) / 2, calls}) {
        pwfix::writeFile(pw_->file(), passwordFile());
        const std::string inject = "inject=newfstatat:error=EIO:when=" + std::to_string(when);
        ChangeResult r = changeUnderStrace(*pw_, log, {"-e", "trace=newfstatat", "-e", inject});
        const bool stored = storedPassword(pwfix::readFile(pw_->file())) == r.pw.newPw && r.pw.complete;
        printf("%s of %zu: status %d, %s\n", inject.c_str(), calls, r.status, stored ? "stored" : "not stored");
        EXPECT_NE(r.status, -SIGSYS) << inject;
        EXPECT_GE(r.status, 0) << inject << ": " << r.printed;
        EXPECT_EQ(r.status == ST_OK, stored) << inject << ": status " << r.status << " " << r.printed;
    }
}

} // namespace
} // namespace atk
