// The caller's library against a stand-in agent (fake_agent.cpp) that shows
// what the library passes and reacts the ways a real agent can.
#include "kelvlx/kelclient.hpp"
#include "tests/client/fakeconfig.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using kctest::fakeConfig;

std::vector<std::string> splitNul(const std::string &s)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i < s.size(); ++i)
        if (s[i] == '\0') {
            parts.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    return parts;
}

// Runs the stand-in in "dumpargs" mode and returns what it saw.
std::vector<std::string> dumpArgs(kelvlx::Config cfg)
{
    cfg.node = "dumpargs";
    kelvlx::Agent agent(cfg);
    EXPECT_EQ(KC_OK, agent.start('A'));
    std::string buf(8192, '\0');
    size_t got = 0;
    EXPECT_EQ(KC_OK, agent.receive(buf.data(), buf.size(), &got));
    buf.resize(got);
    kelvlx::Status st;
    EXPECT_EQ(KC_OK, agent.finish(&st)) << kelvlx::describe(st);
    return splitNul(buf);
}

bool noChildLeft()
{
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

// The way this run starts agents: the helper's when the test is run with it forced.
int expectedStartMethod()
{
    const char *forced = getenv("KELVLX_CLIENT_START");
    return forced != nullptr && std::string(forced) == "helper" ? KC_START_HELPER : KC_START_PIDFD;
}

bool processExists(pid_t pid)
{
    return kill(pid, 0) == 0 || errno == EPERM;
}

TEST(KcAgent, PassesTheTwentyTwoArguments)
{
    struct Case {
        const char *dir, *pathArg;
    } cases[] = {
        {"", "ZAR.PWD"},
        {"/var/pw", "/var/pw/ZAR.PWD"},
        {"/var/pw/", "/var/pw/ZAR.PWD"},
    };
    for (const auto &c : cases) {
        kelvlx::Config cfg = fakeConfig("dumpargs", "SERVER1");
        cfg.passwordDir = c.dir;
        cfg.cipherType = 2;
        cfg.catalogDir = "/cat/dir";
        auto seen = dumpArgs(cfg);
        ASSERT_EQ(KEL_ARG_COUNT + 2u, seen.size()) << c.dir;
        EXPECT_EQ(KC_FAKE_AGENT, seen[0]);
        EXPECT_EQ("0", seen[1]);
        const std::string iface = seen[2];
        ASSERT_EQ(32u, iface.size());
        EXPECT_EQ("QRB Linkag", iface.substr(0, 10));
        EXPECT_EQ('\b', iface[10]);
        EXPECT_EQ('\b', iface[16]);
        EXPECT_EQ(" VOMP Edition 4", iface.substr(17));
        EXPECT_EQ(c.pathArg, seen[7]);
        EXPECT_EQ(c.pathArg, seen[14]);
        EXPECT_EQ("EN_US", seen[8]);
        EXPECT_EQ("/cat/dir", seen[10]);
        EXPECT_EQ("A", seen[11]);
        EXPECT_EQ("dumpargs", seen[12]);
        EXPECT_EQ("SERVER1", seen[13]);
        EXPECT_EQ(KEL_BUILD_STAMP, seen[16]);
        EXPECT_EQ(KEL_BUILD_STAMP, seen[17]);
        EXPECT_EQ(25u, seen[16].size());
        EXPECT_EQ("0", seen[19]);
        EXPECT_EQ("0", seen[20]);
        EXPECT_EQ("2", seen[21]);
        // The agent holds what the test process passes to every child and
        // the four pipe ends, nothing of the library's own.
        std::vector<int> want = {std::stoi(seen[3]), std::stoi(seen[4]), std::stoi(seen[5]), std::stoi(seen[6])};
        for (int fd : want)
            EXPECT_GT(fd, 2);
        for (int fd = 0; fd < 64; ++fd) {
            int flags = fcntl(fd, F_GETFD);
            if (flags != -1 && !(flags & FD_CLOEXEC))
                want.push_back(fd);
        }
        std::sort(want.begin(), want.end());
        std::string fds = "fds=";
        for (int fd : want)
            fds += std::to_string(fd) + ",";
        EXPECT_EQ(fds, seen[23]);
    }
    EXPECT_TRUE(noChildLeft());
}

TEST(KcAgent, RunsAsAnotherUserWhenAsked)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to change user";
    kelvlx::Config cfg = fakeConfig("dumpargs");
    cfg.runAsUid = 65534;
    cfg.runAsGid = 65534;
    auto seen = dumpArgs(cfg);
    ASSERT_EQ(KEL_ARG_COUNT + 2u, seen.size());
    EXPECT_EQ("uid=65534", seen[22]);
}

TEST(KcCipher, SendsFlagCodeSetAndDataInOnePiece)
{
    const unsigned char data[] = {0x10, 0x00, 0xFF};
    kelvlx::Answer answer;
    kelvlx::Status st;
    ASSERT_EQ(KC_OK, kelvlx::encipher(fakeConfig("echo"), 22, data, sizeof data, &answer, &st)) << kelvlx::describe(st);
    const unsigned char want[] = {0, 22, 0x10, 0x00, 0xFF};
    ASSERT_EQ(sizeof want, answer.len);
    EXPECT_EQ(0, memcmp(want, answer.buf.b, sizeof want));

    ASSERT_EQ(KC_OK, kelvlx::decipher(fakeConfig("echo"), 0, nullptr, 0, &answer, &st)) << kelvlx::describe(st);
    ASSERT_EQ(2u, answer.len);   // an empty request is ended by closing the pipe
    EXPECT_EQ(0, answer.buf.b[0]);
    EXPECT_EQ(0, answer.buf.b[1]);
}

TEST(KcRequests, RefusedBeforeStarting)
{
    unsigned char big[65] = {};
    kelvlx::Answer answer;
    kelvlx::Passwords pw;
    kelvlx::Status st;
    kelvlx::Config cfg = fakeConfig("dumpargs");
    EXPECT_EQ(KC_E_ARGUMENT, kelvlx::encipher(cfg, 0, big, sizeof big, &answer, &st));
    EXPECT_EQ(KC_E_ARGUMENT, kelvlx::decipher(cfg, 0, nullptr, 3, &answer, &st));
    EXPECT_EQ(KC_E_ARGUMENT, kelvlx::generatePassword(cfg, 0, 1, big, 17, nullptr, &pw, &st));
    EXPECT_NE(std::string::npos, kelvlx::describe(st).find("not valid"));
    EXPECT_TRUE(noChildLeft());
}

// Answers that break the protocol are reported, never trusted.
TEST(KcRequests, MalformedAnswers)
{
    kelvlx::Answer answer;
    kelvlx::Passwords pw;
    kelvlx::Status st;
    const unsigned char one = 1;
    EXPECT_EQ(KC_E_PROTOCOL, kelvlx::encipher(fakeConfig("flood"), 0, &one, 1, &answer, &st));
    EXPECT_EQ(0u, answer.len);
    EXPECT_EQ(KC_E_PROTOCOL, kelvlx::fetchKeys(fakeConfig("echo"), nullptr, &answer, &st));   // 17 bytes, not 192
    EXPECT_EQ(0u, answer.len);
    bool asked = false;
    auto decide = [&](const kelvlx::Passwords &) { asked = true; return KC_CONFIRM; };
    EXPECT_EQ(KC_E_PROTOCOL, kelvlx::generatePassword(fakeConfig("bigpassword"), 0, 2, nullptr, 0, decide, &pw, &st));
    EXPECT_FALSE(asked);
    EXPECT_TRUE(noChildLeft());
}

TEST(KcRequests, AgentFailuresAreSentences)
{
    struct Case {
        int status;
        const char *phrase;
    } cases[] = {
        {KEL_ST_NO_PASSWORD, "no usable password or key is stored"},
        {41, "did not cross the pipes completely (297)"},
        {255, "could not be opened, created or rewritten"},
        {KEL_ST_INCOMPATIBLE, "refused the caller"},
        {98, "message catalog"},
        {KEL_ST_BAD_PASSWORD_LENGTH, "unusable length"},
        {109, "no key could be made"},
        {170, "could not be loaded (5802)"},
        {KEL_ST_LOCKED, "locked by another writer"},
        {77, "status it does not document"},
    };
    for (const auto &c : cases) {
        kelvlx::Answer answer;
        kelvlx::Status st;
        const unsigned char one = 1;
        // The stand-in exits at once: the request may not even be written, and the caller survives it.
        EXPECT_EQ(KC_E_AGENT, kelvlx::encipher(fakeConfig("status", std::to_string(c.status)), 0, &one, 1, &answer, &st));
        EXPECT_EQ(c.status, st.exitStatus);
        const std::string text = kelvlx::describe(st);
        EXPECT_NE(std::string::npos, text.find("exit status " + std::to_string(c.status))) << text;
        EXPECT_NE(std::string::npos, text.find(c.phrase)) << text;
    }
}

// A confirmed 'C' whose agent ends without a status may have stored the new
// password or not: the library looks with an unconfirmed 'C' and says what it
// saw, or that the outcome is unknown. Never "failed" for a stored password.
TEST(KcGenerate, AnAgentEndedAfterTheConfirmationIsSettledOrUnknown)
{
    struct Case {
        const char *behaviour;   // of the stand-in after the confirmation
        int rc;
        bool settled;
        const char *phrase;
    } cases[] = {
        {"store-die", KC_OK, true, "showed that the new password is stored"},
        {"die", KC_E_AGENT, true, "the old password is still stored"},
        {"other-die", KC_E_UNKNOWN, false, "whether it is stored is unknown"},
        {"always-die", KC_E_UNKNOWN, false, "whether it is stored is unknown"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.behaviour);
        char dir[] = "/tmp/kcsettle.XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        kelvlx::Config cfg = fakeConfig("generate", c.behaviour);
        cfg.passwordDir = dir;
        kelvlx::Passwords pw;
        kelvlx::Status st;
        EXPECT_EQ(c.rc, kelvlx::generatePassword(cfg, 0, 2, nullptr, 0, [](const kelvlx::Passwords &) { return KC_CONFIRM; },
                                           &pw, &st));
        EXPECT_EQ(c.settled, st.settled);
        EXPECT_EQ(SIGKILL, st.termSignal);
        EXPECT_EQ(std::string("NEW"), std::string(reinterpret_cast<const char *>(pw.newPw.b), pw.newLen));
        EXPECT_NE(std::string::npos, kelvlx::describe(st).find(c.phrase)) << kelvlx::describe(st);
        unlink((std::string(dir) + "/ZAR.PWD").c_str());
        rmdir(dir);
    }
    EXPECT_TRUE(noChildLeft());
}

// After the confirmation the agent may wait for the password file's lock:
// the library gives it longer than its usual time-out.
TEST(KcGenerate, AConfirmedStoreMayOutlastTheTimeout)
{
    char dir[] = "/tmp/kcslow.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    kelvlx::Config cfg = fakeConfig("generate", "slow");
    cfg.passwordDir = dir;
    cfg.timeoutMs = 200;   // the stand-in takes a second to store
    kelvlx::Passwords pw;
    kelvlx::Status st;
    EXPECT_EQ(KC_OK, kelvlx::generatePassword(cfg, 0, 2, nullptr, 0, [](const kelvlx::Passwords &) { return KC_CONFIRM; }, &pw,
                                        &st))
        << kelvlx::describe(st);
    EXPECT_FALSE(st.settled);
    unlink((std::string(dir) + "/ZAR.PWD").c_str());
    rmdir(dir);
}

TEST(KcAgent, StartFailureSignalAndTimeout)
{
    kelvlx::Answer answer;
    kelvlx::Status st;
    kelvlx::Config missing = fakeConfig("echo");
    missing.agentPath = "/nonexistent/kelvlx";
    EXPECT_EQ(KC_E_START, kelvlx::fetchKeys(missing, nullptr, &answer, &st));
    EXPECT_EQ(ENOENT, st.sysErrno);
    EXPECT_NE(std::string::npos, kelvlx::describe(st).find("could not be started"));

    EXPECT_EQ(KC_E_AGENT, kelvlx::fetchKeys(fakeConfig("signal"), nullptr, &answer, &st));
    EXPECT_EQ(SIGTERM, st.termSignal);
    EXPECT_NE(std::string::npos, kelvlx::describe(st).find("signal 15"));
    EXPECT_EQ(expectedStartMethod(), st.startMethod);

    kelvlx::Config hang = fakeConfig("hang");
    hang.timeoutMs = 200;
    EXPECT_EQ(KC_E_TIMEOUT, kelvlx::fetchKeys(hang, nullptr, &answer, &st));
    EXPECT_NE(std::string::npos, kelvlx::describe(st).find("did not answer in time"));
    {
        kelvlx::Agent abandoned(hang);   // started and dropped without finish()
        ASSERT_EQ(KC_OK, abandoned.start('C'));
    }
    EXPECT_TRUE(noChildLeft());
}

// An agent that goes silent while its answer is read is ended: the read
// says KC_E_TIMEOUT (errno ETIMEDOUT), and the wait finds it killed, gone.
TEST(KcAgent, ASilentAgentIsEndedDuringTheRead)
{
    kelvlx::Config hang = fakeConfig("hang");
    hang.timeoutMs = 200;
    kelvlx::Agent agent(hang);
    ASSERT_EQ(KC_OK, agent.start('A'));
    const pid_t pid = agent.pid();
    ASSERT_GT(pid, 0);
    unsigned char buf[8];
    size_t got = 0;
    EXPECT_EQ(KC_E_TIMEOUT, agent.receive(buf, sizeof buf, &got));
    EXPECT_EQ(ETIMEDOUT, agent.lastErrno());
    kelvlx::Status st;
    EXPECT_EQ(KC_E_TIMEOUT, agent.finish(&st));
    EXPECT_EQ(ETIMEDOUT, st.sysErrno);
    EXPECT_EQ(SIGKILL, st.termSignal);
    EXPECT_FALSE(st.agentRunning);
    EXPECT_EQ(expectedStartMethod(), st.startMethod);
    EXPECT_FALSE(processExists(pid));
    EXPECT_TRUE(noChildLeft());
}

// A confirmed store that outlasts the store wait (here an agent stopped after
// the confirmation) makes the call return KC_E_UNKNOWN with the agent still
// there, never ended; the caller's pidfd then sees it store and end.
TEST(KcGenerate, AStoreOutlastingTheWaitLeavesTheAgentRunning)
{
    char dir[] = "/tmp/kcstop.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string state = std::string(dir) + "/ZAR.PWD";
    kelvlx::Config cfg = fakeConfig("generate", "stop");
    cfg.passwordDir = dir;
    cfg.timeoutMs = 200;
    cfg.storeWaitMs = 1000;
    kelvlx::Passwords pw;
    kelvlx::Status st;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(KC_E_UNKNOWN, kelvlx::generatePassword(cfg, 0, 2, nullptr, 0,
                                                     [](const kelvlx::Passwords &) { return KC_CONFIRM; }, &pw, &st));
    const auto waited = std::chrono::steady_clock::now() - begin;
    EXPECT_LT(waited, std::chrono::milliseconds(cfg.storeWaitMs + 1000));   // bounded, not hung
    EXPECT_EQ(expectedStartMethod(), st.startMethod);
    ASSERT_TRUE(st.agentRunning) << kelvlx::describe(st);
    EXPECT_FALSE(st.settled);
    EXPECT_EQ(-1, st.exitStatus);
    EXPECT_EQ(0, st.termSignal);
    EXPECT_EQ(std::string("NEW"), std::string(reinterpret_cast<const char *>(pw.newPw.b), pw.newLen));
    EXPECT_NE(std::string::npos, kelvlx::describe(st).find("still runs")) << kelvlx::describe(st);
    ASSERT_GT(st.agentPid, 0);
    ASSERT_GE(st.agentPidfd, 0);
    EXPECT_TRUE(processExists(st.agentPid));
    struct pollfd pfd = {st.agentPidfd, POLLIN, 0};
    EXPECT_EQ(0, poll(&pfd, 1, 0));
    EXPECT_EQ(0, kill(st.agentPid, SIGCONT));
    pfd.revents = 0;
    ASSERT_EQ(1, poll(&pfd, 1, 10000));   // a bound against a hang only
    siginfo_t info = {};
    ASSERT_EQ(0, waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(st.agentPidfd), &info, WEXITED | __WALL));
    EXPECT_EQ(CLD_EXITED, info.si_code);
    EXPECT_EQ(0, info.si_status);
    close(st.agentPidfd);
    int fd = open(state.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char stored[8] = {};
    EXPECT_EQ(3, read(fd, stored, sizeof stored));
    close(fd);
    EXPECT_STREQ("NEW", stored);
    unlink(state.c_str());
    rmdir(dir);
    EXPECT_TRUE(noChildLeft());
}

// A caller that waits for any child of its own the whole time never takes
// the agent (the helper, where one is used, is the caller's plain child).
TEST(KcAgent, ACallersWaitForAnyChildNeverSeesTheAgent)
{
    std::atomic<bool> done{false};
    std::vector<pid_t> reaped;
    std::thread waiter([&] {
        while (!done) {
            const pid_t r = waitpid(-1, nullptr, 0);
            if (r > 0) {
                reaped.push_back(r);
            } else {
                struct timespec ms = {0, 1000 * 1000};
                nanosleep(&ms, nullptr);
            }
        }
    });
    std::vector<pid_t> agents;
    for (int i = 0; i < 10; ++i) {
        kelvlx::Agent agent(fakeConfig("echo"));
        ASSERT_EQ(KC_OK, agent.start('A'));
        agents.push_back(agent.pid());
        const unsigned char data[] = {1, 2, 3};
        EXPECT_EQ(KC_OK, agent.send(data, sizeof data));
        agent.closeInput();
        unsigned char back[8];
        size_t got = 0;
        EXPECT_EQ(KC_OK, agent.receive(back, sizeof back, &got));
        EXPECT_EQ(3u, got);
        kelvlx::Status st;
        EXPECT_EQ(KC_OK, agent.finish(&st)) << kelvlx::describe(st);
        EXPECT_EQ(0, st.exitStatus);
    }
    done = true;
    waiter.join();
    for (pid_t pid : agents)
        EXPECT_EQ(reaped.end(), std::find(reaped.begin(), reaped.end(), pid)) << "the caller reaped agent " << pid;
    if (expectedStartMethod() == KC_START_PIDFD) {
        EXPECT_TRUE(reaped.empty()) << "the caller reaped " << reaped.size() << " processes";
    }
}

} // namespace
