// The library's C boundary: what the shared object exports, what it needs of
// the caller's threads and child handling, and how it treats structures of
// other sizes than its own.
#include "kelvlx/kelclient.hpp"
#include "tests/client/fakeconfig.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using kctest::fakeConfig;

bool noChildLeft()
{
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

std::string runCommand(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

bool isNameChar(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

// The functions kelclient.h declares, read from the header itself: every
// kc_ name followed by '(' that starts a line's declaration (after its
// return type), not a use inside a comment.
std::set<std::string> declaredFunctions()
{
    std::ifstream in(KEL_SOURCE_DIR "/include/kelvlx/kelclient.h");
    std::set<std::string> names;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == ' ' || line[0] == '/' || line[0] == '#')
            continue;
        const size_t at = line.find("kc_");
        if (at == std::string::npos || (at > 0 && isNameChar(line[at - 1])))
            continue;
        size_t end = at;
        while (end < line.size() && isNameChar(line[end]))
            ++end;
        if (end < line.size() && line[end] == '(')
            names.insert(line.substr(at, end - at));
    }
    return names;
}

// Every defined dynamic symbol is one of the header's C functions, with the
// version node; nothing of the C++ implementation leaks (no _Z names), and
// nothing the header declares is missing.
TEST(KcExports, OnlyVersionedCFunctions)
{
    const std::string out = runCommand("nm -D --defined-only '" KC_SHARED_LIB "' 2>&1");
    ASSERT_FALSE(out.empty());
    std::set<std::string> exported;
    std::istringstream lines(out);
    const std::string node = "@@KELVLX_CLIENT_1";
    for (std::string addr, type, name; lines >> addr >> type >> name;) {
        if (type == "A" && name == "KELVLX_CLIENT_1")
            continue;   // the version node itself
        const size_t at = name.find('@');
        EXPECT_EQ("T", type) << name;
        EXPECT_EQ(0u, name.rfind("kc_", 0)) << "exported: " << name;
        EXPECT_EQ(node, at == std::string::npos ? "" : name.substr(at)) << name;
        exported.insert(name.substr(0, at));
    }
    EXPECT_EQ(declaredFunctions(), exported);
    EXPECT_GE(exported.size(), 20u);
    EXPECT_NE(std::string::npos,
              runCommand("objdump -p '" KC_SHARED_LIB "'").find("SONAME               libkelvlx-client.so.1"));
}

// Restores a signal's disposition when the scope ends, even after a failed assertion.
class SignalDisposition {
public:
    SignalDisposition(int sig, const struct sigaction &sa) : sig_(sig) { sigaction(sig, &sa, &old_); }
    ~SignalDisposition() { sigaction(sig_, &old_, nullptr); }
    SignalDisposition(const SignalDisposition &) = delete;
    SignalDisposition &operator=(const SignalDisposition &) = delete;

private:
    int sig_;
    struct sigaction old_;
};

void reapEverything(int)
{
    const int saved = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = saved;
}

// A caller that ignores SIGCHLD (its children are reaped by the kernel) or
// reaps every child in its handler still learns how the agent ended.
TEST(KcSigchld, TheExitStatusSurvivesTheCallersChildHandling)
{
    struct Case {
        const char *name;
        void (*handler)(int);
        int flags;
    } cases[] = {
        {"ignored", SIG_IGN, 0},
        {"no zombies", SIG_DFL, SA_NOCLDWAIT},
        {"a handler that reaps every child", reapEverything, SA_RESTART},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        struct sigaction sa = {};
        sa.sa_handler = c.handler;
        sa.sa_flags = c.flags;
        sigemptyset(&sa.sa_mask);
        SignalDisposition keep(SIGCHLD, sa);

        const unsigned char data[] = {7, 8, 9};
        kelvlx::Answer answer;
        kelvlx::Status st;
        EXPECT_EQ(KC_OK, kelvlx::encipher(fakeConfig("echo"), 0, data, sizeof data, &answer, &st))
            << kelvlx::describe(st);
        EXPECT_EQ(0, st.exitStatus);
        EXPECT_EQ(5u, answer.len);
        EXPECT_EQ(KC_E_AGENT, kelvlx::encipher(fakeConfig("status", "168"), 0, data, sizeof data, &answer, &st));
        EXPECT_EQ(KEL_ST_NO_PASSWORD, st.exitStatus) << kelvlx::describe(st);
        EXPECT_EQ(KC_E_AGENT, kelvlx::fetchKeys(fakeConfig("signal"), nullptr, &answer, &st));
        EXPECT_EQ(SIGTERM, st.termSignal);

        kelvlx::Config hang = fakeConfig("hang");
        hang.timeoutMs = 200;
        EXPECT_EQ(KC_E_TIMEOUT, kelvlx::fetchKeys(hang, nullptr, &answer, &st));
        EXPECT_EQ(SIGKILL, st.termSignal);
    }
    EXPECT_TRUE(noChildLeft());
}

// Several threads run exchanges at once, each with its own data: every one
// gets its own answer, none waits for another's agent (a pipe end of one
// exchange held open in another's process would keep its agent reading
// until that one ended), and no process is left.
TEST(KcThreads, ExchangesRunAtOnce)
{
    constexpr int kThreads = 6, kRuns = 8;
    const kelvlx::Config echo = fakeConfig("echo");
    std::vector<int> failures(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRuns; ++i) {
                const unsigned char data[] = {static_cast<unsigned char>(t), static_cast<unsigned char>(i), 0x5a};
                kelvlx::Answer answer;
                kelvlx::Status st;
                // One exchange of each kind: a whole operation, and one of the thread's own.
                if (kelvlx::encipher(echo, 22, data, sizeof data, &answer, &st) != KC_OK || answer.len != 5 ||
                    answer.buf.b[1] != 22 || memcmp(answer.buf.b + 2, data, sizeof data) != 0)
                    ++failures[t];
                kelvlx::Agent agent(echo);
                size_t got = 0;
                unsigned char back[8] = {};
                if (agent.start('B') != KC_OK || agent.send(data, sizeof data) != KC_OK)
                    ++failures[t];
                agent.closeInput();
                if (agent.receive(back, sizeof back, &got) != KC_OK || got != sizeof data ||
                    memcmp(back, data, sizeof data) != 0 || agent.finish(&st) != KC_OK)
                    ++failures[t];
                if (kelvlx::describe(st).find("exit status 0") == std::string::npos)
                    ++failures[t];
            }
        });
    for (auto &th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(0, failures[t]) << "thread " << t;
    EXPECT_TRUE(noChildLeft());
}

// A caller built against an older, shorter kc_result gets only the fields it
// knows; the sentence is cut to the caller's buffer and says how long it is.
TEST(KcCInterface, ResultsAndSentencesKeepToTheCallersSizes)
{
    kc_config *cfg = nullptr;
    ASSERT_EQ(KC_OK, kc_config_new(&cfg));
    ASSERT_EQ(KC_OK, kc_config_set_text(cfg, KC_CFG_AGENT_PATH, KC_FAKE_AGENT));
    ASSERT_EQ(KC_OK, kc_config_set_text(cfg, KC_CFG_NODE, "status"));
    ASSERT_EQ(KC_OK, kc_config_set_text(cfg, KC_CFG_SERVER, "168"));
    struct Older {
        kc_result r;
        int guard;   // where the fields after the older ones would be
    } older;
    memset(&older, 0x55, sizeof older);
    older.r.size = offsetof(kc_result, exit_status);
    unsigned char out[KC_MAX_ANSWER];
    size_t len = 1;
    EXPECT_EQ(KC_E_AGENT, kc_encipher(cfg, 0, nullptr, 0, out, sizeof out, &len, &older.r));
    EXPECT_EQ(0u, len);
    EXPECT_EQ(KC_E_AGENT, older.r.error);
    EXPECT_EQ(0x55555555, older.r.exit_status);
    EXPECT_EQ(0x55555555, older.guard);

    kc_result full = KC_RESULT_INIT;
    EXPECT_EQ(KC_E_AGENT, kc_encipher(cfg, 0, nullptr, 0, out, sizeof out, &len, &full));
    char whole[512], cut[16];
    const size_t n = kc_describe(&full, whole, sizeof whole);
    EXPECT_EQ(strlen(whole), n);
    EXPECT_NE(nullptr, strstr(whole, "exit status 168"));
    EXPECT_EQ(n, kc_describe(&full, cut, sizeof cut));
    EXPECT_EQ(std::string(whole, sizeof cut - 1), cut);
    EXPECT_EQ(n, kc_describe(&full, nullptr, 0));
    kc_config_free(cfg);
}

// Calls that cannot be carried out say so before anything starts, and leave
// the caller's buffers zeroed.
TEST(KcCInterface, RefusesWhatItCannotDo)
{
    kc_config *cfg = nullptr;
    ASSERT_EQ(KC_OK, kc_config_new(&cfg));
    EXPECT_EQ(KC_E_ARGUMENT, kc_config_new(nullptr));
    EXPECT_EQ(KC_E_ARGUMENT, kc_config_set_text(cfg, KC_CFG_NODE, nullptr));
    EXPECT_EQ(KC_E_ARGUMENT, kc_config_set_text(cfg, static_cast<kc_config_text>(99), "x"));
    EXPECT_EQ(KC_E_ARGUMENT, kc_config_set_number(cfg, KC_CFG_TIMEOUT_MS, 0));
    EXPECT_EQ(KC_E_ARGUMENT, kc_config_set_number(cfg, KC_CFG_RUN_AS_UID, -2));
    EXPECT_EQ(KC_E_ARGUMENT, kc_config_set_number(cfg, KC_CFG_STDOUT_FD, 1LL << 40));
    EXPECT_EQ(30000, kc_config_number_of(cfg, KC_CFG_TIMEOUT_MS));
    EXPECT_STREQ("EN_US", kc_config_text_of(cfg, KC_CFG_LANGUAGE));

    unsigned char small[KC_MAX_ANSWER - 1];
    memset(small, 0xAA, sizeof small);
    size_t len = 5;
    kc_result res = KC_RESULT_INIT;
    const unsigned char one = 1;
    EXPECT_EQ(KC_E_ARGUMENT, kc_encipher(cfg, 0, &one, 1, small, sizeof small, &len, &res));
    EXPECT_EQ(KC_E_ARGUMENT, res.error);
    EXPECT_EQ(0u, len);
    EXPECT_EQ(0, small[0]);
    EXPECT_EQ(0, small[sizeof small - 1]);
    unsigned char keys[KC_KEY_BLOCK - 1];
    EXPECT_EQ(KC_E_ARGUMENT, kc_fetch_keys(cfg, nullptr, keys, sizeof keys, &res));
    unsigned char oldPw[KC_MAX_PASSWORD], newPw[KC_MAX_PASSWORD - 1];
    kc_passwords pw = {sizeof pw, oldPw, sizeof oldPw, 0, newPw, sizeof newPw, 0};
    EXPECT_EQ(KC_E_ARGUMENT, kc_generate_password(cfg, 0, 0, nullptr, 0, nullptr, nullptr, &pw, &res));
    EXPECT_EQ(KC_E_ARGUMENT, kc_encipher(nullptr, 0, &one, 1, small, sizeof small, &len, nullptr));
    kc_agent *agent = nullptr;
    EXPECT_EQ(KC_E_ARGUMENT, kc_agent_new(nullptr, &agent));
    EXPECT_EQ(nullptr, agent);
    ASSERT_EQ(KC_OK, kc_agent_new(cfg, &agent));
    EXPECT_EQ(KC_E_WAIT, kc_agent_finish(agent, &res));   // never started
    kc_agent_free(agent);
    kc_config_free(cfg);
    EXPECT_TRUE(noChildLeft());
}

// The C caller of the same directory, built as C99 against the shared
// library alone, runs with SIGCHLD ignored.
TEST(KcCInterface, ACProgramUsesTheSharedLibrary)
{
    const std::string out = runCommand("'" KC_C_CALLER "' '" KC_FAKE_AGENT "' 2>&1; echo \"rc=$?\"");
    EXPECT_NE(std::string::npos, out.find("rc=0")) << out;
}

} // namespace
