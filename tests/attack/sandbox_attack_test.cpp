// The agent's confinement as seen from outside: before it reads the request
// it has no way to gain privileges and runs under its system-call filter, and
// a call that only an attack makes ends it.
#include "tests/attack/attackenv.h"

namespace atk {
namespace {

// The lines of /proc/PID/status that tell the confinement, once the filter is
// loaded ("Seccomp:\t2"), or what was there when the agent ended or the wait
// ran out.
std::string confinementOf(pid_t pid)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    std::string seen;
    for (time_t limit = time(nullptr) + agentWaitSeconds; time(nullptr) <= limit;) {
        std::string status = pwfix::readFile(path);
        if (status.empty())
            break;
        seen.clear();
        for (const char *key : {"NoNewPrivs:", "Seccomp:"}) {
            size_t at = status.find(key);
            if (at != std::string::npos)
                seen += status.substr(at, status.find('\n', at) - at) + "\n";
        }
        if (seen.find("Seccomp:\t2") != std::string::npos)
            break;
        struct timespec t = {0, 5 * 1000 * 1000};
        nanosleep(&t, nullptr);
    }
    return seen;
}

const Bytes challenge = Bytes("\x00\x00", 2) + "CHALLENG";   // 'A': flag, code-set byte, 8 data bytes

// The installed agent, built with its filter, and a password file to serve.
class AttackSandbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        ATK_REQUIRE_INSTALL();
        if (!KEL_SANDBOX_BUILT)
            GTEST_SKIP() << "built without the system-call filter (KEL_SANDBOX=OFF)";
        pwfix::writeFile(pw.file(), passwordFile());
    }

    // An 'A' by root of the tests' own build of the agent, which does what
    // probe names right after the filter is loaded.
    Call probeCall(const std::string &probe) const
    {
        Call c;
        c.program = KEL_SANDBOX_PROBE_AGENT;
        c.args = agentArgs(pw.path(), 'A');
        c.uid = 0;
        c.gid = 0;
        c.env = {"PATH=/usr/bin:/bin", "KEL_TEST_SANDBOX_PROBE=" + probe};
        return c;
    }

    Dir pw;
};

// An agent waiting for the first byte of its request is already confined,
// whoever started it; it then serves the request as before.
TEST_F(AttackSandbox, AgentWaitingForItsRequestIsConfined)
{
    struct Row {
        const char *name;
        uid_t uid;
        gid_t gid;
    } rows[] = {
        {"set-user-id copy started by nobody", nobodyUid, nobodyGid},
        {"started by root", 0, 0},
    };
    for (const Row &r : rows) {
        Call c;
        c.args = agentArgs(pw.path(), 'A');
        c.uid = r.uid;
        c.gid = r.gid;
        Agent a;
        ASSERT_TRUE(a.start(c)) << r.name;
        ASSERT_EQ(a.execErrno(), 0) << r.name << ": " << strerror(a.execErrno());
        const std::string seen = confinementOf(a.pid());
        EXPECT_NE(seen.find("NoNewPrivs:\t1"), std::string::npos) << r.name << ":\n" << seen;
        EXPECT_NE(seen.find("Seccomp:\t2"), std::string::npos) << r.name << ":\n" << seen;
        ASSERT_TRUE(a.send(challenge)) << r.name;
        a.closeInput();
        EXPECT_EQ(a.receive(8).size(), 8u) << r.name;
        EXPECT_EQ(a.finish(), ST_OK) << r.name << ": " << a.printed();
    }
}

// The tests' own build of the agent tries one forbidden call right after the
// filter is loaded: each ends the run by SIGSYS, before any answer.
TEST_F(AttackSandbox, ForbiddenCallsEndTheRun)
{
    const char *probes[] = {"execve", "tcp", "ptrace"};
    for (const char *probe : probes) {
        if (KEL_AGENT_SANITIZED && std::string(probe) == "ptrace") {
            // The leak check at the exit traces the process from a helper.
            printf("not run: %s, the sanitizer build's filter allows it for the leak check\n", probe);
            continue;
        }
        Result r = run(probeCall(probe), challenge);
        EXPECT_EQ(r.status, -SIGSYS) << probe << ": " << r.printed;
        EXPECT_TRUE(r.answer.empty()) << probe;
    }
}

// A filter the kernel will not take costs the caller nothing: the request is
// served unconfined (its audit line says so: OrdinaryRuns), never refused
// with a status the caller would read as another build.
TEST_F(AttackSandbox, FilterThatCannotBeLoadedStillServes)
{
    Result r = run(probeCall("unloadable"), challenge);
    EXPECT_EQ(r.status, ST_OK) << r.printed;
    EXPECT_EQ(r.answer.size(), 8u);
}

} // namespace
} // namespace atk
