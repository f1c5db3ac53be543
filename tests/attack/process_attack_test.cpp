// What the caller controls about the process itself: its descriptors, its
// argument vector, the bytes on its input pipe and the library search path.
#include "tests/attack/attackenv.h"

namespace atk {
namespace {

const Bytes challenge = Bytes("\x00\x00", 2) + "CHALLENG";   // 'A': flag, code-set byte, 8 data bytes

// Descriptors 0, 1 and 2 closed by the caller: no file the agent opens takes
// their place, so nothing written to them reaches the password file.
TEST(AttackProcess, ClosedStandardDescriptorsNeverBecomeThePasswordFile)
{
    ATK_REQUIRE_INSTALL();
    const std::vector<std::vector<int>> closedSets = {{0}, {1, 2}, {0, 1, 2}};
    Dir pw;
    for (const auto &closed : closedSets) {
        const std::string what = "closed " + std::to_string(closed.size()) + " from " + std::to_string(closed[0]);
        pwfix::writeFile(pw.file(), passwordFile());
        Call c;
        c.args = agentArgs(pw.path(), 'C');
        c.closedStd = closed;
        ChangeResult res = change(c);
        EXPECT_EQ(res.status, ST_OK) << what;
        const Bytes now = pwfix::readFile(pw.file());
        EXPECT_EQ(storedPassword(now), res.pw.newPw) << what;
        EXPECT_EQ(otherRecords(now), otherRecords(passwordFile())) << what;
    }
}

// Arguments 4 and 5 name descriptors the agent closes at once: standard ones
// stay open, and closing its own pipes only makes the request fail.
TEST(AttackProcess, CallersPipeEndsNamingOtherDescriptors)
{
    ATK_REQUIRE_INSTALL();
    struct Row {
        const char *name;
        std::string end1, end2, out;
        int status;
    } rows[] = {
        {"standard output and error", "1", "2", "@out", ST_OK},
        {"standard input and output", "0", "1", "@out", ST_OK},
        {"standard error twice", "2", "2", "@out", ST_OK},
        {"the agent's own input and output", "@in", "@out", "@out", ST_PIPE},
        {"output names the end the agent closes", "@inW", "@outR", "@inW", ST_PIPE},
        {"output names a descriptor that is not open", "@inW", "@outR", "250", ST_PIPE},
    };
    Dir pw;
    const Bytes old = passwordFile();
    for (const Row &r : rows) {
        pwfix::writeFile(pw.file(), old);
        Call c;
        c.args = agentArgs(pw.path(), 'C');
        c.args[A_END1] = r.end1;
        c.args[A_END2] = r.end2;
        c.args[A_OUT] = r.out;
        ChangeResult res = change(c);
        EXPECT_EQ(res.status, r.status) << r.name << ": " << res.printed;
        const Bytes now = pwfix::readFile(pw.file());
        if (r.status == ST_OK) {
            EXPECT_EQ(storedPassword(now), res.pw.newPw) << r.name;
            EXPECT_EQ(otherRecords(now), otherRecords(old)) << r.name;
        } else {
            EXPECT_EQ(now, old) << r.name;
        }
        EXPECT_EQ(res.printed.find(oldPassword), std::string::npos) << r.name;
    }
}

// Arguments as long as the kernel passes, alone and many at once.
TEST(AttackProcess, HugeArgumentsEndWithTheirStatus)
{
    ATK_REQUIRE_INSTALL();
    const std::string text(hugeArgLen, 'N');
    const std::string digits(hugeArgLen, '9');
    std::string path;
    while (path.size() + 2 <= hugeArgLen)
        path += "/a";
    struct Row {
        const char *name;
        std::vector<int> args;   // the arguments made huge
        const std::string &value;
        char op;
        int status;
    } rows[] = {
        {"language", {A_LANG}, text, 'B', ST_NLS},
        {"catalog directory", {A_CATDIR}, path, 'B', ST_NLS},
        {"interface string", {A_IFACE}, text, 'B', ST_USAGE},
        {"build date", {A_DATE}, text, 'B', ST_INCOMPATIBLE},
        {"operation letter", {A_OP}, text, 'B', KEL_ST_SEEN(KEL_ST_UNKNOWN_OP)},   // 'N' is no operation
        {"node name", {A_NODE}, text, 'A', ST_NO_PASSWORD},
        {"server name", {A_SERVER}, text, 'A', ST_NO_PASSWORD},
        {"password path", {A_PWPATH}, path, 'A', ST_NO_PASSWORD},
        {"input descriptor", {A_IN}, digits, 'A', ST_PIPE},
        {"numbers", {A_EXITLOG, A_CLUSTER, A_CIPHER, A_END1, A_END2}, digits, 'B', ST_OK},
        {"unread and passed-through texts", {A_DEBUG, A_PWDIR, A_UNUSED9, A_PASS, A_CLIENT}, text, 'B', ST_OK},
        {"every name and path at once", {A_DEBUG, A_PWDIR, A_UNUSED9, A_NODE, A_SERVER, A_PWPATH, A_PASS}, text, 'A',
         ST_NO_PASSWORD},
    };
    Dir pw;
    pwfix::writeFile(pw.file(), passwordFile());
    for (const Row &r : rows) {
        Call c;
        c.args = agentArgs(pw.path(), r.op);
        for (int i : r.args)
            c.args[i] = r.value;
        Result res = run(c, r.op == 'A' ? challenge : Bytes("\x01", 1));
        EXPECT_EQ(res.status, r.status) << r.name;
    }
    Call many;
    many.args = agentArgs(pw.path(), 'B');
    many.args.resize(50000, "x");
    EXPECT_EQ(run(many, Bytes("\x01", 1)).status, ST_INCOMPATIBLE) << "50000 arguments";
    EXPECT_EQ(pwfix::readFile(pw.file()), passwordFile());
}

// Limits and signal dispositions are inherited across exec, but the agent
// sets its own limits: whatever the caller chose, every request is served
// and 'C' stores. (A descriptor limit at or below the descriptors the caller
// leaves open stops the dynamic loader before any code of the agent runs.)
// Whether root here may raise a hard limit again (a container without
// CAP_SYS_RESOURCE may not): probed in a child, which lowers and raises one.
bool rootRaisesHardLimits(int resource)
{
    pid_t p = fork();
    if (p == 0) {
        struct rlimit low = {1, 1}, high = {RLIM_INFINITY, RLIM_INFINITY};
        _exit(setrlimit(resource, &low) == 0 && setrlimit(resource, &high) == 0 ? 0 : 1);
    }
    int status = 0;
    return p > 0 && waitpid(p, &status, 0) == p && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(AttackProcess, ResourceLimitsChosenByTheCaller)
{
    ATK_REQUIRE_INSTALL();
    struct Row {
        const char *name;
        std::vector<std::pair<int, rlim_t>> limits;
        std::vector<int> ignored;
        long cpuBurnedMs;
        bool served;   // false: the loader may refuse first; a status, and the old file or the new one
    } rows[] = {
        {"file size limit below the file's size", {{RLIMIT_FSIZE, 4096}}, {}, 0, true},
        {"file size limit of 1 byte", {{RLIMIT_FSIZE, 1}}, {}, 0, true},
        {"file size limit with SIGXFSZ ignored", {{RLIMIT_FSIZE, 4096}}, {SIGXFSZ}, 0, true},
        {"no descriptor beyond those open", {{RLIMIT_NOFILE, 8}}, {}, 0, false},
        {"12 descriptors", {{RLIMIT_NOFILE, 12}}, {}, 0, true},
        {"CPU time nearly used up", {{RLIMIT_CPU, 1}}, {}, 900, true},
        {"small address space, data and stack",
         {{RLIMIT_AS, 256u << 20}, {RLIMIT_DATA, 8u << 20}, {RLIMIT_STACK, 256u << 10}}, {}, 0, true},
        {"every catchable signal ignored", {}, {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1}, 0, true},
    };
    Dir pw;
    const Bytes old = passwordFile(3000);
    for (const Row &r : rows) {
        bool raisable = true;
        for (const auto &l : r.limits)
            raisable = raisable && rootRaisesHardLimits(l.first);
        // Without the raise only what the caller's limit leaves is checked: a
        // status or the kernel's signal for the limit, and the old file or the new one.
        if (!raisable)
            printf("\"%s\": root here cannot raise a lowered hard limit (no CAP_SYS_RESOURCE); the "
                   "request need not be served\n", r.name);
        const bool served = r.served && raisable;
        auto limitEnded = [](int status) { return status >= 0 || status == -SIGXFSZ || status == -SIGXCPU || status == -SIGKILL; };
        pwfix::writeFile(pw.file(), old);
        Call c;
        c.limits = r.limits;
        c.ignoredSignals = r.ignored;
        c.cpuBurnedMs = r.cpuBurnedMs;
        for (char op : {'A', 'B'}) {
            c.args = agentArgs(pw.path(), op);
            Result a = run(c, Bytes("\x00\x00", 2) + "CHALLENG");
            if (served)
                EXPECT_EQ(a.status, ST_OK) << r.name << " '" << op << "': " << a.printed;
            else
                EXPECT_TRUE(limitEnded(a.status)) << r.name << " '" << op << "': " << a.status << " " << a.printed;
        }
        c.args = agentArgs(pw.path(), 'C');
        ChangeResult res = change(c);
        const Bytes now = pwfix::readFile(pw.file());
        if (served || now != old) {
            EXPECT_EQ(res.status, ST_OK) << r.name << ": " << res.printed;
            EXPECT_EQ(storedPassword(now), res.pw.newPw) << r.name;
            EXPECT_EQ(otherRecords(now), otherRecords(old)) << r.name;
        } else {
            EXPECT_TRUE(limitEnded(res.status)) << r.name << ": " << res.status << " " << res.printed;
        }
    }
}

// Signals the caller sends from its confirmation of 'C' on are held until the
// exit: the run ends with status 0 exactly when the new password is stored.
// A signal that lands before the agent has read the confirmation may still
// end it, with nothing stored.
TEST(AttackProcess, SignalsAfterTheConfirmationNeverEndTheRun)
{
    ATK_REQUIRE_INSTALL();
    // 32 and 33 are glibc's reserved real-time signals, left out of its full sets.
    const int signals[] = {32, 33, SIGRTMIN, SIGRTMAX, SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGUSR1, SIGALRM, SIGXCPU};
    Dir pw;
    const Bytes old = passwordFile(3000);
    for (int sig : signals) {
        for (int round = 0; round < 5; ++round) {
            pwfix::writeFile(pw.file(), old);
            Call c;
            c.args = agentArgs(pw.path(), 'C');
            Agent a;
            ASSERT_TRUE(a.start(c));
            Generated g = receivePasswords(a);
            ASSERT_TRUE(g.complete) << sig;
            (void)a.send(i32(67));
            // The caller's own signals: sent with its user id, until the agent is gone.
            pid_t sender = fork();
            if (sender == 0) {
                if (setgid(nobodyGid) != 0 || setuid(nobodyUid) != 0)
                    _exit(1);
                for (int i = 0; i < 20000 && kill(a.pid(), sig) == 0; ++i)
                    sched_yield();
                _exit(0);
            }
            ASSERT_GT(sender, 0);
            const int status = a.finish();
            waitpid(sender, nullptr, 0);
            const bool stored = storedPassword(pwfix::readFile(pw.file())) == g.newPw;
            EXPECT_EQ(status == ST_OK, stored) << "signal " << sig << ": status " << status;
            EXPECT_TRUE(status == ST_OK || status == -sig) << "signal " << sig << ": status " << status;
        }
    }
}

// Writes up to total bytes of fill to the agent until it stops reading (the
// pipe closes) or the total is written; never blocks past the wait limit.
size_t flood(Agent &a, const Bytes &prefix, char fill, size_t total)
{
    fcntl(a.inputFd(), F_SETFL, O_NONBLOCK);
    Bytes chunk = prefix + Bytes(65536, fill);
    size_t sent = 0;
    time_t limit = time(nullptr) + agentWaitSeconds;
    while (sent < total && time(nullptr) <= limit) {
        ssize_t n = write(a.inputFd(), chunk.data(), chunk.size());
        if (n < 0 && errno == EAGAIN) {
            struct pollfd p = {a.inputFd(), POLLOUT, 0};
            poll(&p, 1, 200);
            continue;
        }
        if (n <= 0)
            break;   // the agent has ended: the pipe is closed
        sent += static_cast<size_t>(n);
        chunk = Bytes(65536, fill);
    }
    return sent;
}

// Megabytes on the input pipe: the agent reads what the exchange holds and
// nothing more, answers as usual and ends.
TEST(AttackProcess, FloodOnTheInputPipe)
{
    ATK_REQUIRE_INSTALL();
    struct Row {
        const char *name;
        char op;
        Bytes prefix;
        char fill;
        int status;
        size_t answer;
    } rows[] = {
        {"'A' challenge", 'A', Bytes("\x00\x00", 2), 'F', ST_OK, 64},
        {"'A' key request", 'A', Bytes(17, '\x01'), '\x01', ST_NO_PASSWORD, 0},
        {"'B' with a flag", 'B', Bytes("\x01", 1), '\x01', ST_OK, 0},
        {"'C' zeros: no confirmation", 'C', Bytes(), '\x00', ST_OK, 8 + sizeof oldPassword - 1 + 8 + 63},
        {"'C' key length 255", 'C', Bytes(), '\xff', ST_PIPE, 0},
    };
    Dir pw;
    const Bytes old = passwordFile();
    for (const Row &r : rows) {
        pwfix::writeFile(pw.file(), old);
        Call c;
        c.args = agentArgs(pw.path(), r.op);
        Agent a;
        ASSERT_TRUE(a.start(c));
        flood(a, r.prefix, r.fill, 16u << 20);
        a.closeInput();
        Bytes answer = a.receive(1 << 20);
        EXPECT_EQ(a.finish(), r.status) << r.name << ": " << a.printed();
        EXPECT_EQ(answer.size(), r.answer) << r.name;
        EXPECT_EQ(pwfix::readFile(pw.file()), old) << r.name;
    }
}

// A library of the user's own where a crypto library might be looked for is
// never loaded by a set-user-id run, neither by the agent's loader nor by the
// dynamic linker.
TEST(AttackProcess, PlantedCryptoLibraryIsNeverLoaded)
{
    ATK_REQUIRE_INSTALL();
    Dir user(0755, nobodyUid, nobodyGid);
    const std::string oxlDir = sub(user.path(), "oxl", 0755, nobodyUid, nobodyGid);
    sub(oxlDir, "oxllib", 0755, nobodyUid, nobodyGid);
    const std::string planted = user.path() + "/oxl/oxllib/liboxllib.so";
    ASSERT_EQ(sh("cp '" KEL_PLANTED_LIB "' '" + planted + "' && chown nobody '" + planted + "'"), 0);
    const std::string marker = user.path() + "/loaded";
    Dir pw;
    pwfix::writeFile(pw.file(), passwordFile());
    const bool realLibrary = access(KEL_OXL_INSTALLED, R_OK) == 0;

    struct Row {
        const char *name;
        std::string variable;
    } rows[] = {
        {"LD_LIBRARY_PATH naming the planted tree", "LD_LIBRARY_PATH=" + user.path()},
        {"LD_LIBRARY_PATH with the planted tree last", "LD_LIBRARY_PATH=/nonexistent:" + user.path()},
        {"LD_PRELOAD", "LD_PRELOAD=" + planted},
    };
    for (const Row &r : rows) {
        unlink(marker.c_str());
        Call c;
        c.args = agentArgs(pw.path(), 'A');
        c.args[A_CIPHER] = "2";   // AES: the crypto library is loaded
        c.env = {"PATH=/usr/bin:/bin", r.variable, "KEL_PLANT_MARKER=" + marker};
        Result res = run(c, challenge);
        // A library installed here by another build refuses this agent: 5802 as well.
        EXPECT_TRUE(res.status == ST_OK || res.status == ST_NO_LIBRARY) << r.name << ": " << res.status;
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << r.name << ": the planted library was loaded";
    }

    // The same call by root, where the search path counts, does load it: the
    // marker shows a load when there is one. A library in the configured
    // directory is found first, so only without one is the search path reached.
    if (realLibrary) {
        RecordProperty("control", "not run: a crypto library is installed at " KEL_OXL_INSTALLED);
        return;
    }
    unlink(marker.c_str());
    Call c;
    c.args = agentArgs(pw.path(), 'A');
    c.args[A_CIPHER] = "2";
    c.uid = 0;
    c.gid = 0;
    c.env = {"PATH=/usr/bin:/bin", rows[0].variable, "KEL_PLANT_MARKER=" + marker};
    Result res = run(c, challenge);
    EXPECT_EQ(res.status, ST_NO_LIBRARY) << res.printed;
    EXPECT_EQ(access(marker.c_str(), F_OK), 0) << "a root caller's search path did not reach the planted library";
}

} // namespace
} // namespace atk
