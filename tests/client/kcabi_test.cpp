// The library's C boundary: what the shared object exports, what it needs of
// the caller's threads and child handling, and how it treats structures of
// other sizes than its own.
#include "kelvlx/kelclient.hpp"
#include "tests/client/fakeconfig.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
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
    // What 1.1 added has its own node; everything of 1.0 keeps the first.
    const std::set<std::string> added11 = {"kc_config_new_at", "kc_config_refusal", "kc_version"};
    for (std::string addr, type, name; lines >> addr >> type >> name;) {
        if (type == "A" && (name == "KELVLX_CLIENT_1" || name == "KELVLX_CLIENT_1.1"))
            continue;   // the version nodes themselves
        const size_t at = name.find('@');
        EXPECT_EQ("T", type) << name;
        EXPECT_EQ(0u, name.rfind("kc_", 0)) << "exported: " << name;
        const std::string bare = name.substr(0, at);
        const std::string node = added11.count(bare) ? "@@KELVLX_CLIENT_1.1" : "@@KELVLX_CLIENT_1";
        EXPECT_EQ(node, at == std::string::npos ? "" : name.substr(at)) << name;
        exported.insert(bare);
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

// Every setter refuses what the agent would refuse, keeps the old value,
// and says which field and why.
TEST(KcCInterface, SettersRefuseWhatTheAgentWouldWithTheirOwnText)
{
    struct NumberCase {
        kc_config_number key;
        long long value;
        const char *field;   // named in the refusal; null: accepted
    } numbers[] = {
        {KC_CFG_CIPHER_TYPE, 0, nullptr},     {KC_CFG_CIPHER_TYPE, 2, nullptr},
        {KC_CFG_CIPHER_TYPE, 3, "KC_CFG_CIPHER_TYPE"},   {KC_CFG_CIPHER_TYPE, 7, "KC_CFG_CIPHER_TYPE"},
        {KC_CFG_CIPHER_TYPE, 255, "KC_CFG_CIPHER_TYPE"}, {KC_CFG_CIPHER_TYPE, -1, "KC_CFG_CIPHER_TYPE"},
        {KC_CFG_CIPHER_TYPE, 258, "KC_CFG_CIPHER_TYPE"}, {KC_CFG_TIMEOUT_MS, 0, "KC_CFG_TIMEOUT_MS"},
        {KC_CFG_RUN_AS_UID, -2, "KC_CFG_RUN_AS_UID"},    {KC_CFG_STDERR_FD, -3, "KC_CFG_STDERR_FD"},
        {KC_CFG_STDERR_FD, KC_STDERR_CAPTURE, nullptr},  {KC_CFG_STDERR_FD, -1, nullptr},
        {KC_CFG_STORE_WAIT_MS, 0, "KC_CFG_STORE_WAIT_MS"}, {KC_CFG_STORE_WAIT_MS, 1, nullptr},
        // An unknown number key is a C caller's mistake (the C++ enum has no
        // spare value in range): kc_c_caller checks its refusal.
    };
    struct TextCase {
        kc_config_text key;
        const char *value;
        const char *field;
    } texts[] = {
        {KC_CFG_LANGUAGE, "DE_DE", nullptr},
        {KC_CFG_LANGUAGE, "de_DE.UTF-8@euro", nullptr},
        {KC_CFG_LANGUAGE, "", "KC_CFG_LANGUAGE"},
        {KC_CFG_LANGUAGE, "../EN_US", "KC_CFG_LANGUAGE"},
        {KC_CFG_LANGUAGE, "..", "KC_CFG_LANGUAGE"},
        {KC_CFG_LANGUAGE, "EN US", "KC_CFG_LANGUAGE"},
        {KC_CFG_NODE, "", nullptr},
        {KC_CFG_NODE, "N234567890123456789012345678901234567890123456789012345678901234567", nullptr},
        {KC_CFG_NODE, "N2345678901234567890123456789012345678901234567890123456789012345678", "KC_CFG_NODE"},
        {KC_CFG_SERVER, "S2345678901234567890123456789012345678901234567890123456789012345678", "KC_CFG_SERVER"},
        {KC_CFG_NODE, nullptr, "NULL"},
        {static_cast<kc_config_text>(15), "x", "kc_config_set_text"},
    };
    std::set<std::string> sentences;
    for (const auto &c : numbers) {
        kc_config *cfg = nullptr;
        ASSERT_EQ(KC_OK, kc_config_new(&cfg));
        const long long before = kc_config_number_of(cfg, c.key);
        EXPECT_EQ(c.field == nullptr ? KC_OK : KC_E_ARGUMENT, kc_config_set_number(cfg, c.key, c.value))
            << c.key << " " << c.value;
        const std::string why = kc_config_refusal(cfg);
        if (c.field == nullptr) {
            EXPECT_EQ(c.value, kc_config_number_of(cfg, c.key));
            EXPECT_EQ("", why);
        } else {
            EXPECT_EQ(before, kc_config_number_of(cfg, c.key));
            EXPECT_NE(std::string::npos, why.find(c.field)) << why;
            sentences.insert(why);
        }
        kc_config_free(cfg);
    }
    for (const auto &c : texts) {
        kc_config *cfg = nullptr;
        ASSERT_EQ(KC_OK, kc_config_new(&cfg));
        const char *was = kc_config_text_of(cfg, c.key);
        const std::string before = was == nullptr ? "" : was;
        EXPECT_EQ(c.field == nullptr ? KC_OK : KC_E_ARGUMENT, kc_config_set_text(cfg, c.key, c.value))
            << (c.value == nullptr ? "(null)" : c.value);
        const std::string why = kc_config_refusal(cfg);
        if (c.field == nullptr) {
            EXPECT_STREQ(c.value, kc_config_text_of(cfg, c.key));
            EXPECT_EQ("", why);
        } else {
            const char *now = kc_config_text_of(cfg, c.key);
            EXPECT_EQ(before, now == nullptr ? "" : now);
            EXPECT_NE(std::string::npos, why.find(c.field)) << why;
            sentences.insert(why);
        }
        kc_config_free(cfg);
    }
    // One sentence a cause: the cipher type's five values share one, as do
    // the language's two names with other bytes.
    EXPECT_EQ(12u, sentences.size());
    EXPECT_STREQ("no configuration handle", kc_config_refusal(nullptr));
}

// Each caller-side cause of KC_E_ARGUMENT, and of 168 where the caller can
// see it, has its own sentence; the agent's own lines come with the result.
TEST(KcCInterface, ErrorsNameTheirCause)
{
    kc_config *cfg = nullptr;
    ASSERT_EQ(KC_OK, kc_config_new(&cfg));
    ASSERT_EQ(KC_OK, kc_config_set_text(cfg, KC_CFG_AGENT_PATH, KC_FAKE_AGENT));
    unsigned char data[KC_MAX_DATA + 1] = {}, out[KC_MAX_ANSWER], keys[KC_KEY_BLOCK], oldPw[KC_MAX_PASSWORD],
                                         newPw[KC_MAX_PASSWORD];
    size_t len = 0;
    kc_passwords pw = {sizeof pw, oldPw, sizeof oldPw, 0, newPw, sizeof newPw, 0};
    kc_passwords small = {sizeof pw, oldPw, sizeof oldPw - 1, 0, newPw, sizeof newPw, 0};
    struct Case {
        const char *name;
        std::function<int(kc_result *)> call;
        int detail;
        const char *phrase;
    } cases[] = {
        {"no config", [&](kc_result *r) { return kc_encipher(nullptr, 0, data, 1, out, sizeof out, &len, r); },
         KC_D_NO_CONFIG, "no configuration handle"},
        {"no output", [&](kc_result *r) { return kc_encipher(cfg, 0, data, 1, nullptr, sizeof out, &len, r); },
         KC_D_NO_OUTPUT, "no output buffer"},
        {"16-byte output", [&](kc_result *r) { return kc_encipher(cfg, 0, data, 1, out, 16, &len, r); },
         KC_D_OUTPUT_SMALL, "smaller than the answer"},
        {"small key block", [&](kc_result *r) { return kc_fetch_keys(cfg, nullptr, keys, 16, r); },
         KC_D_OUTPUT_SMALL, "smaller than the answer"},
        {"long data", [&](kc_result *r) { return kc_decipher(cfg, 0, data, sizeof data, out, sizeof out, &len, r); },
         KC_D_DATA_LONG, "longer than 64 bytes"},
        {"null data", [&](kc_result *r) { return kc_encipher(cfg, 0, nullptr, 3, out, sizeof out, &len, r); },
         KC_D_DATA_NULL, "data pointer is NULL"},
        {"long key",
         [&](kc_result *r) { return kc_generate_password(cfg, 0, 1, data, 17, nullptr, nullptr, &pw, r); },
         KC_D_KEY_LONG, "longer than 16 bytes"},
        {"null key",
         [&](kc_result *r) { return kc_generate_password(cfg, 0, 1, nullptr, 8, nullptr, nullptr, &pw, r); },
         KC_D_KEY_NULL, "key pointer is NULL"},
        {"small password buffer",
         [&](kc_result *r) { return kc_generate_password(cfg, 0, 0, nullptr, 0, nullptr, nullptr, &small, r); },
         KC_D_PASSWORD_BUFFERS, "smaller than 96 bytes"},
        {"no agent handle", [&](kc_result *r) { return kc_agent_finish(nullptr, r); }, KC_D_NO_HANDLE,
         "no agent handle"},
    };
    std::set<std::string> sentences;
    for (const auto &c : cases) {
        kc_result res = KC_RESULT_INIT;
        EXPECT_EQ(KC_E_ARGUMENT, c.call(&res)) << c.name;
        EXPECT_EQ(c.detail, res.detail) << c.name;
        char text[512];
        kc_describe(&res, text, sizeof text);
        EXPECT_NE(nullptr, strstr(text, c.phrase)) << c.name << ": " << text;
        sentences.insert(text);
    }
    EXPECT_EQ(9u, sentences.size());   // the two small output buffers share one sentence

    // 168 seen from the caller's side: the password directory, then the
    // node's case (the stand-in's mode "status" is itself in lower case).
    const std::string file = std::string(P_tmpdir) + "/kc-not-a-dir-" + std::to_string(getpid());
    FILE *f = fopen(file.c_str(), "w");
    ASSERT_NE(nullptr, f);
    fclose(f);
    struct NoPassword {
        const char *dir;
        int detail;
        const char *phrase;
    } seen[] = {
        {"/nonexistent/kelvlx", KC_D_PASSWORD_DIR_MISSING, "does not exist"},
        {file.c_str(), KC_D_PASSWORD_DIR_NOT_DIR, "is not a directory"},
        {"/", KC_D_NODE_LOWER_CASE, "lower-case"},
    };
    ASSERT_EQ(KC_OK, kc_config_set_text(cfg, KC_CFG_NODE, "status"));
    ASSERT_EQ(KC_OK, kc_config_set_text(cfg, KC_CFG_SERVER, "168"));
    for (const auto &c : seen) {
        ASSERT_EQ(KC_OK, kc_config_set_text(cfg, KC_CFG_PASSWORD_DIR, c.dir));
        kc_result res = KC_RESULT_INIT;
        EXPECT_EQ(KC_E_AGENT, kc_encipher(cfg, 0, data, 1, out, sizeof out, &len, &res)) << c.dir;
        EXPECT_EQ(c.detail, res.detail) << c.dir;
        char text[1024];
        kc_describe(&res, text, sizeof text);
        EXPECT_NE(nullptr, strstr(text, "exit status 168")) << text;
        EXPECT_NE(nullptr, strstr(text, c.phrase)) << text;
    }

    // The agent's lines on its standard error come into the result and the
    // sentence, unless the caller gave its own descriptor.
    ASSERT_EQ(KC_OK, kc_config_set_text(cfg, KC_CFG_NODE, "say"));
    ASSERT_EQ(KC_OK, kc_config_set_text(cfg, KC_CFG_SERVER, "calling program build date : X"));
    kc_result res = KC_RESULT_INIT;
    EXPECT_EQ(KC_E_AGENT, kc_encipher(cfg, 0, data, 1, out, sizeof out, &len, &res));
    EXPECT_STREQ("calling program build date : X\n", res.diagnostic);
    char text[1024];
    kc_describe(&res, text, sizeof text);
    EXPECT_NE(nullptr, strstr(text, "exit status 138")) << text;
    EXPECT_NE(nullptr, strstr(text, "the agent wrote: calling program build date : X")) << text;
    int devnull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(devnull, 0);
    ASSERT_EQ(KC_OK, kc_config_set_number(cfg, KC_CFG_STDERR_FD, devnull));
    EXPECT_EQ(KC_E_AGENT, kc_encipher(cfg, 0, data, 1, out, sizeof out, &len, &res));
    EXPECT_STREQ("", res.diagnostic);
    close(devnull);
    unlink(file.c_str());
    kc_config_free(cfg);
}

// The cipher the agent ran, from the answer's length: DES answers as many
// bytes as it was given, AES pads an encipherment (the stand-in's echo is
// two bytes longer than the data, as a padded answer would be).
TEST(KcCInterface, ResultsSayWhichCipherRan)
{
    struct Case {
        bool encipher;
        int cipherType;
        int used;
    } cases[] = {
        {true, 0, 2},    // longer than the data: AES
        {false, 0, 0},   // a decipherment longer than its data is neither
        {true, 1, 1},    // asked for: the agent runs no other
        {false, 2, 2},
    };
    kc_config *cfg = nullptr;
    ASSERT_EQ(KC_OK, kc_config_new(&cfg));
    ASSERT_EQ(KC_OK, kc_config_set_text(cfg, KC_CFG_AGENT_PATH, KC_FAKE_AGENT));
    ASSERT_EQ(KC_OK, kc_config_set_text(cfg, KC_CFG_NODE, "echo"));
    const unsigned char data[6] = {1, 2, 3, 4, 5, 6};
    for (const auto &c : cases) {
        ASSERT_EQ(KC_OK, kc_config_set_number(cfg, KC_CFG_CIPHER_TYPE, c.cipherType));
        unsigned char out[KC_MAX_ANSWER];
        size_t len = 0;
        kc_result res = KC_RESULT_INIT;
        const int rc = c.encipher ? kc_encipher(cfg, 0, data, sizeof data, out, sizeof out, &len, &res)
                                  : kc_decipher(cfg, 0, data, sizeof data, out, sizeof out, &len, &res);
        ASSERT_EQ(KC_OK, rc);
        EXPECT_EQ(sizeof data + 2, len);
        EXPECT_EQ(c.used, res.cipher_used) << c.encipher << " " << c.cipherType;
    }
    kc_config_free(cfg);
}

// The C caller of the same directory, built as C99 against the shared
// library alone, runs with SIGCHLD ignored.
TEST(KcCInterface, ACProgramUsesTheSharedLibrary)
{
    const std::string out = runCommand("'" KC_C_CALLER "' '" KC_FAKE_AGENT "' 2>&1; echo \"rc=$?\"");
    EXPECT_NE(std::string::npos, out.find("rc=0")) << out;
}

} // namespace
