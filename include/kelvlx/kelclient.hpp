// The caller's library of the kelvlx password agent for C++17 callers: a
// header-only layer over the C interface of kelclient.h, which documents
// every call, the threads and the signal handling. Nothing here crosses the
// library's interface (its own build keeps Config and Secret behind the
// opaque kc_config, and for its buffers), so these types may change without
// touching its ABI.
// Errors are return codes, as in C; buffers that held a password, a key or
// exchanged data zero themselves when they go.
#ifndef KELVLX_KELCLIENT_HPP
#define KELVLX_KELCLIENT_HPP

#include <kelvlx/kelclient.h>
#include <kelvlx/kelsecret.hpp>

#include <string.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <utility>

namespace kelvlx {

// What a caller needs to start the agent; kc_config_text and
// kc_config_number in kelclient.h say what each field means.
struct Config {
    std::string agentPath;
    std::string catalogDir;
    std::string buildDate;
    std::string buildTime;
    std::string language = KC_DEFAULT_LANGUAGE;
    std::string clientType = KC_DEFAULT_CLIENT_TYPE;
    std::string passwordDir;
    std::string node;
    std::string server;
    int cipherType = 0;
    int exitLogging = 0;
    int timeoutMs = KC_DEFAULT_TIMEOUT_MS;
    uid_t runAsUid = static_cast<uid_t>(-1);   // (uid_t)-1 keeps the caller's
    gid_t runAsGid = static_cast<gid_t>(-1);
    int stdoutFd = -1;
    int stderrFd = KC_STDERR_CAPTURE;   // into Status::diagnostic
    int storeWaitMs = KC_STORE_WAIT_MS;
};

// The outcome of one run (kc_result).
struct Status {
    int error = KC_OK;
    int sysErrno = 0;
    int exitStatus = -1;
    int termSignal = 0;
    bool settled = false;
    int startMethod = 0;     // KC_START_PIDFD or KC_START_HELPER
    bool agentRunning = false;
    pid_t agentPid = -1;
    int agentPidfd = -1;     // with agentRunning: the caller's to close (kc_result.agent_pidfd)
    int detail = KC_D_NONE;     // a kcDetail
    int cipherUsed = 0;         // 1 DES, 2 AES, 0 not known
    std::string diagnostic;     // the agent's standard error, when the library read it
    bool ok() const { return error == KC_OK; }
};

// An answer or the key block, zeroed when it goes.
struct Answer {
    Secret<KC_KEY_BLOCK> buf;
    size_t len = 0;
};

// The two passwords of a 'C' as the agent sent them.
struct Passwords {
    Secret<KC_MAX_PASSWORD> oldPw;
    size_t oldLen = 0;
    Secret<KC_MAX_PASSWORD> newPw;
    size_t newLen = 0;
};

namespace detail {

struct ConfigFree {
    void operator()(kc_config *c) const { kc_config_free(c); }
};
struct AgentFree {
    void operator()(kc_agent *a) const { kc_agent_free(a); }
};
using ConfigPtr = std::unique_ptr<kc_config, ConfigFree>;
using AgentPtr = std::unique_ptr<kc_agent, AgentFree>;

// The C call spells "keep the caller's id" as -1.
inline long long idNumber(unsigned id)
{
    return id == static_cast<unsigned>(-1) ? -1 : static_cast<long long>(id);
}

inline int setText(kc_config *c, kc_config_text key, const std::string &v)
{
    return kc_config_set_text(c, key, v.c_str());
}

// The C configuration of cfg; a kcError in *rc.
inline ConfigPtr toC(const Config &cfg, int *rc)
{
    kc_config *raw = nullptr;
    *rc = kc_config_new(&raw);
    ConfigPtr c(raw);
    const std::pair<kc_config_text, const std::string *> texts[] = {
        {KC_CFG_AGENT_PATH, &cfg.agentPath}, {KC_CFG_CATALOG_DIR, &cfg.catalogDir},
        {KC_CFG_BUILD_DATE, &cfg.buildDate}, {KC_CFG_BUILD_TIME, &cfg.buildTime},
        {KC_CFG_LANGUAGE, &cfg.language},    {KC_CFG_CLIENT_TYPE, &cfg.clientType},
        {KC_CFG_PASSWORD_DIR, &cfg.passwordDir}, {KC_CFG_NODE, &cfg.node},
        {KC_CFG_SERVER, &cfg.server}};
    const std::pair<kc_config_number, long long> numbers[] = {
        {KC_CFG_CIPHER_TYPE, cfg.cipherType}, {KC_CFG_EXIT_LOGGING, cfg.exitLogging},
        {KC_CFG_TIMEOUT_MS, cfg.timeoutMs},   {KC_CFG_RUN_AS_UID, idNumber(cfg.runAsUid)},
        {KC_CFG_RUN_AS_GID, idNumber(cfg.runAsGid)},    {KC_CFG_STDOUT_FD, cfg.stdoutFd},
        {KC_CFG_STDERR_FD, cfg.stderrFd},     {KC_CFG_STORE_WAIT_MS, cfg.storeWaitMs}};
    for (const auto &t : texts)
        if (*rc == KC_OK)
            *rc = setText(c.get(), t.first, *t.second);
    for (const auto &n : numbers)
        if (*rc == KC_OK)
            *rc = kc_config_set_number(c.get(), n.first, n.second);
    if (*rc != KC_OK)
        c.reset();
    return c;
}

inline Status fromC(const kc_result &r)
{
    Status st;
    st.error = r.error;
    st.sysErrno = r.sys_errno;
    st.exitStatus = r.exit_status;
    st.termSignal = r.term_signal;
    st.settled = r.settled != 0;
    st.startMethod = r.start_method;
    st.agentRunning = r.agent_running != 0;
    st.agentPid = r.agent_pid;
    st.agentPidfd = r.agent_pidfd;
    st.detail = r.detail;
    st.cipherUsed = r.cipher_used;
    st.diagnostic.assign(r.diagnostic, strnlen(r.diagnostic, sizeof r.diagnostic));
    return st;
}

inline int failed(Status *st, int rc)
{
    *st = Status();
    st->error = rc;
    return rc;
}

} // namespace detail

// The installed agent, catalogs and password directory, and the build stamp
// of the library's build, which the agent must share; with a prefix, the
// agent and catalogs of the tree installed there (kc_config_new_at).
inline Config defaultConfig(const char *prefix = nullptr)
{
    Config cfg;
    kc_config *raw = nullptr;
    if ((prefix == nullptr ? kc_config_new(&raw) : kc_config_new_at(prefix, &raw)) != KC_OK)
        return cfg;   // out of memory or no prefix: an empty agent path makes the first call fail with KC_E_START
    detail::ConfigPtr c(raw);
    cfg.agentPath = kc_config_text_of(raw, KC_CFG_AGENT_PATH);
    cfg.catalogDir = kc_config_text_of(raw, KC_CFG_CATALOG_DIR);
    cfg.buildDate = kc_config_text_of(raw, KC_CFG_BUILD_DATE);
    cfg.buildTime = kc_config_text_of(raw, KC_CFG_BUILD_TIME);
    cfg.language = kc_config_text_of(raw, KC_CFG_LANGUAGE);
    cfg.clientType = kc_config_text_of(raw, KC_CFG_CLIENT_TYPE);
    cfg.passwordDir = kc_config_text_of(raw, KC_CFG_PASSWORD_DIR);
    cfg.cipherType = static_cast<int>(kc_config_number_of(raw, KC_CFG_CIPHER_TYPE));
    cfg.exitLogging = static_cast<int>(kc_config_number_of(raw, KC_CFG_EXIT_LOGGING));
    cfg.timeoutMs = static_cast<int>(kc_config_number_of(raw, KC_CFG_TIMEOUT_MS));
    cfg.storeWaitMs = static_cast<int>(kc_config_number_of(raw, KC_CFG_STORE_WAIT_MS));
    return cfg;
}

// Meaning of an exit status (0-255) in one sentence.
inline const char *statusText(int exitStatus)
{
    return kc_status_text(exitStatus);
}

// A sentence on what happened, naming the exit status or the caller's failure.
inline std::string describe(const Status &st)
{
    kc_result r = KC_RESULT_INIT;
    r.error = st.error;
    r.sys_errno = st.sysErrno;
    r.exit_status = st.exitStatus;
    r.term_signal = st.termSignal;
    r.settled = st.settled ? 1 : 0;
    r.start_method = st.startMethod;
    r.agent_running = st.agentRunning ? 1 : 0;
    r.agent_pid = st.agentPid;
    r.agent_pidfd = st.agentPidfd;
    r.detail = st.detail;
    r.cipher_used = st.cipherUsed;
    const size_t n = st.diagnostic.size() < sizeof r.diagnostic ? st.diagnostic.size() : sizeof r.diagnostic - 1;
    memcpy(r.diagnostic, st.diagnostic.data(), n);
    r.diagnostic[n] = '\0';
    std::string s(kc_describe(&r, nullptr, 0), '\0');
    kc_describe(&r, &s[0], s.size() + 1);
    return s;
}

// One agent process with its two pipes, for one exchange (kc_agent). Its end
// closes what is still open and waits for the agent, so no process is left.
class Agent {
public:
    explicit Agent(const Config &cfg) : cfg_(cfg) {}
    Agent(Agent &&) noexcept = default;
    Agent &operator=(Agent &&) noexcept = default;
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    // Starts the agent for operation letter op; a kcError.
    [[nodiscard]] int start(char op)
    {
        if (a_)
            return KC_E_ARGUMENT;
        int rc = KC_OK;
        detail::ConfigPtr c = detail::toC(cfg_, &rc);
        kc_agent *raw = nullptr;
        if (rc == KC_OK)
            rc = kc_agent_new(c.get(), &raw);
        a_.reset(raw);
        if (rc == KC_OK && timeoutMs_ > 0)
            kc_agent_extend_timeout(raw, timeoutMs_);
        return rc == KC_OK ? kc_agent_start(raw, op) : rc;
    }
    [[nodiscard]] int send(const void *p, size_t n) { return a_ ? kc_agent_send(a_.get(), p, n) : KC_E_SEND; }
    [[nodiscard]] int receive(void *p, size_t n, size_t *got)
    {
        *got = 0;
        return a_ ? kc_agent_receive(a_.get(), p, n, got) : KC_E_RECEIVE;
    }
    [[nodiscard]] int receiveExact(void *p, size_t n)
    {
        return a_ ? kc_agent_receive_exact(a_.get(), p, n) : KC_E_RECEIVE;
    }
    void closeInput() { kc_agent_close_input(a_.get()); }
    void closeOutput() { kc_agent_close_output(a_.get()); }
    // Closes both pipes and waits for the agent; fills st and returns its error.
    int finish(Status *st)
    {
        if (!a_)
            return detail::failed(st, KC_E_WAIT);
        kc_result r = KC_RESULT_INIT;
        int rc = kc_agent_finish(a_.get(), &r);
        *st = detail::fromC(r);
        return rc;
    }
    void extendTimeout(int ms)
    {
        if (ms > timeoutMs_)
            timeoutMs_ = ms;
        kc_agent_extend_timeout(a_.get(), ms);
    }

    pid_t pid() const { return kc_agent_pid(a_.get()); }
    int inputFd() const { return kc_agent_input_fd(a_.get()); }
    int outputFd() const { return kc_agent_output_fd(a_.get()); }
    int lastErrno() const { return kc_agent_errno(a_.get()); }

private:
    Config cfg_;
    int timeoutMs_ = 0;   // asked for before start
    detail::AgentPtr a_;
};

namespace detail {

inline int cipher(decltype(&kc_encipher) call, const Config &cfg, unsigned char codeSet,
                  const unsigned char *data, size_t len, Answer *answer, Status *st)
{
    answer->buf.clear();
    answer->len = 0;
    int rc = KC_OK;
    ConfigPtr c = toC(cfg, &rc);
    if (rc != KC_OK)
        return failed(st, rc);
    kc_result r = KC_RESULT_INIT;
    rc = call(c.get(), codeSet, data, len, answer->buf.b, answer->buf.size(), &answer->len, &r);
    *st = fromC(r);
    return rc;
}

struct Decision {
    const std::function<int32_t(const Passwords &)> *decide;
    Passwords *out;
};

// Shows the C call's passwords to the caller's function as a Passwords.
inline int32_t decideTrampoline(void *ctx, const kc_passwords *pw)
{
    const auto *d = static_cast<const Decision *>(ctx);
    if (!*d->decide)
        return KC_REFUSE;
    memcpy(d->out->oldPw.b, pw->old_pw, pw->old_len);
    d->out->oldLen = pw->old_len;
    memcpy(d->out->newPw.b, pw->new_pw, pw->new_len);
    d->out->newLen = pw->new_len;
    return (*d->decide)(*d->out);
}

} // namespace detail

// 'A' and 'B' (kc_encipher, kc_decipher).
[[nodiscard]] inline int encipher(const Config &cfg, unsigned char codeSet, const unsigned char *data, size_t len,
                                  Answer *answer, Status *st)
{
    return detail::cipher(&kc_encipher, cfg, codeSet, data, len, answer, st);
}
[[nodiscard]] inline int decipher(const Config &cfg, unsigned char codeSet, const unsigned char *data, size_t len,
                                  Answer *answer, Status *st)
{
    return detail::cipher(&kc_decipher, cfg, codeSet, data, len, answer, st);
}

// 'A' key request (kc_fetch_keys): keys->len is KC_KEY_BLOCK on success.
[[nodiscard]] inline int fetchKeys(const Config &cfg, const unsigned char *request16, Answer *keys, Status *st)
{
    keys->buf.clear();
    keys->len = 0;
    int rc = KC_OK;
    detail::ConfigPtr c = detail::toC(cfg, &rc);
    if (rc != KC_OK)
        return detail::failed(st, rc);
    kc_result r = KC_RESULT_INIT;
    rc = kc_fetch_keys(c.get(), request16, keys->buf.b, keys->buf.size(), &r);
    *st = detail::fromC(r);
    keys->len = rc == KC_OK ? KC_KEY_BLOCK : 0;
    return rc;
}

// 'C' (kc_generate_password): decide sees both passwords and returns the
// confirmation; an empty function refuses.
[[nodiscard]] inline int generatePassword(const Config &cfg, unsigned char codeSet, unsigned char encipherFlag,
                                          const unsigned char *key, size_t keyLen,
                                          const std::function<int32_t(const Passwords &)> &decide,
                                          Passwords *out, Status *st)
{
    int rc = KC_OK;
    detail::ConfigPtr c = detail::toC(cfg, &rc);
    if (rc != KC_OK) {
        out->oldPw.clear();
        out->newPw.clear();
        out->oldLen = out->newLen = 0;
        return detail::failed(st, rc);
    }
    detail::Decision d = {&decide, out};
    kc_passwords pw = {sizeof pw, out->oldPw.b, out->oldPw.size(), 0, out->newPw.b, out->newPw.size(), 0};
    kc_result r = KC_RESULT_INIT;
    rc = kc_generate_password(c.get(), codeSet, encipherFlag, key, keyLen, &detail::decideTrampoline, &d, &pw, &r);
    out->oldLen = pw.old_len;
    out->newLen = pw.new_len;
    *st = detail::fromC(r);
    return rc;
}

} // namespace kelvlx

#endif
