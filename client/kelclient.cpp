// Starting the agent and speaking its pipe protocol (docs/pipe-protocol.md).
#include "kelvlx/kelclient.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "common/unx/fio.h"

#ifndef KEL_AGENT_PATH
#define KEL_AGENT_PATH "kelvlx"
#endif
#ifndef KEL_CATALOG_DIR
#define KEL_CATALOG_DIR "catalogs"
#endif
#ifndef KEL_BUILD_STAMP
#define KEL_BUILD_STAMP ""
#endif
#ifndef KEL_PASSWORD_DIR
#define KEL_PASSWORD_DIR ""   // the agent's current directory
#endif

namespace {

constexpr size_t KC_MAX_DATA = 64;          // request data the agent reads at most
constexpr size_t KC_MAX_KEY = 16;           // key length of 'C'
constexpr size_t KC_MAX_PASSWORD = 96;      // a password of 'C' as sent: 80 bytes of text enciphered with AES

long long nowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void closeFd(int *fd)
{
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

// Moves a descriptor above the standard ones, so that a caller with 0, 1 or 2
// closed never hands the agent a pipe at a standard descriptor number.
int liftFd(int fd)
{
    if (fd > 2)
        return fd;
    int up = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    int saved = errno;
    close(fd);
    errno = saved;
    return up;
}

// Blocks SIGPIPE while writing to the agent, so that an agent which has
// already gone makes the write fail instead of ending the caller; a SIGPIPE
// raised meanwhile is consumed before the mask is restored.
class SigpipeBlock {
public:
    SigpipeBlock()
    {
        sigemptyset(&pipeSet_);
        sigaddset(&pipeSet_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipeSet_, &old_);
        sigset_t pend;
        sigpending(&pend);
        wasPending_ = sigismember(&pend, SIGPIPE) == 1;
    }
    ~SigpipeBlock()
    {
        if (!wasPending_) {
            sigset_t pend;
            sigpending(&pend);
            if (sigismember(&pend, SIGPIPE) == 1) {
                struct timespec zero = {0, 0};
                sigtimedwait(&pipeSet_, nullptr, &zero);
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock &) = delete;
    SigpipeBlock &operator=(const SigpipeBlock &) = delete;

private:
    sigset_t pipeSet_;
    sigset_t old_;
    bool wasPending_ = false;
};

// The password directory argument: the agent takes the text up to its last
// '/' and appends ZAR.PWD.
std::string pathArgument(const std::string &dir)
{
    if (dir.empty())
        return "ZAR.PWD";
    if (dir.back() == '/')
        return dir + "ZAR.PWD";
    return dir + "/ZAR.PWD";
}

// Reports how an exec failed through a close-on-exec pipe; nothing arrives
// when exec succeeded.
[[noreturn]] void childFail(int errFd)
{
    int e = errno;
    ssize_t w = write(errFd, &e, sizeof e);
    (void)w;   // the parent sees a short report as "started"; nothing more can be done here
    _exit(127);
}

} // namespace

kcConfig kcDefaultConfig()
{
    kcConfig cfg;
    cfg.agentPath = KEL_AGENT_PATH;
    cfg.catalogDir = KEL_CATALOG_DIR;
    cfg.buildDate = KEL_BUILD_STAMP;
    cfg.buildTime = KEL_BUILD_STAMP;
    cfg.passwordDir = KEL_PASSWORD_DIR;
    return cfg;
}

kcAgent::kcAgent(const kcConfig &cfg) : cfg_(cfg), timeoutMs_(cfg.timeoutMs) {}

void kcAgent::extendTimeout(int ms)
{
    if (ms > timeoutMs_)
        timeoutMs_ = ms;
}

kcAgent::~kcAgent()
{
    if (pid_ > 0) {
        kcStatus ignored;   // the outcome of an abandoned exchange is not wanted
        finish(&ignored);
    }
    closeFd(&toAgent_);
    closeFd(&fromAgent_);
}

int kcAgent::start(char op)
{
    if (pid_ > 0)
        return KC_E_ARGUMENT;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, report[2] = {-1, -1};
    auto cleanup = [&]() {
        int saved = errno;
        for (int *fd : {&in[0], &in[1], &out[0], &out[1], &report[0], &report[1]})
            closeFd(fd);
        errno = saved;
    };
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) {
        errno_ = errno;
        cleanup();
        return KC_E_PIPE;
    }
    for (int *fd : {&in[0], &in[1], &out[0], &out[1], &report[1]}) {
        *fd = liftFd(*fd);
        if (*fd < 0) {
            errno_ = errno;
            cleanup();
            return KC_E_PIPE;
        }
    }

    // Everything the child needs is built before fork: the child only calls
    // async-signal-safe functions.
    const std::string pwPath = pathArgument(cfg_.passwordDir);
    std::vector<std::string> args = {
        cfg_.agentPath, "0", KC_INTERFACE,
        std::to_string(in[0]), std::to_string(in[1]), std::to_string(out[0]), std::to_string(out[1]),
        pwPath, cfg_.language, "", cfg_.catalogDir, std::string(1, op), cfg_.node, cfg_.server,
        pwPath, "", cfg_.buildDate, cfg_.buildTime, cfg_.clientType,
        std::to_string(cfg_.exitLogging), "0", std::to_string(cfg_.cipherType)};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const int agentEnds[4] = {in[0], in[1], out[0], out[1]};
    sigset_t none;
    sigemptyset(&none);

    pid_t pid = fork();
    if (pid < 0) {
        errno_ = errno;
        cleanup();
        return KC_E_START;
    }
    if (pid == 0) {
        close(report[0]);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGPIPE, SIG_DFL);
        if (cfg_.stdoutFd >= 0 && dup2(cfg_.stdoutFd, 1) < 0)
            childFail(report[1]);
        if (cfg_.stderrFd >= 0 && dup2(cfg_.stderrFd, 2) < 0)
            childFail(report[1]);
        // The agent receives all four pipe ends (it closes the caller's two itself).
        for (int fd : agentEnds)
            if (fcntl(fd, F_SETFD, 0) != 0)
                childFail(report[1]);
        if (cfg_.runAsGid != static_cast<gid_t>(-1) &&
            (setgroups(0, nullptr) != 0 || setgid(cfg_.runAsGid) != 0))
            childFail(report[1]);
        if (cfg_.runAsUid != static_cast<uid_t>(-1) && setuid(cfg_.runAsUid) != 0)
            childFail(report[1]);
        execv(cfg_.agentPath.c_str(), argv.data());
        childFail(report[1]);
    }

    pid_ = pid;
    closeFd(&in[0]);
    closeFd(&out[1]);
    closeFd(&report[1]);
    toAgent_ = in[1];
    fromAgent_ = out[0];
    in[1] = out[0] = -1;

    int childErr = 0;
    int reported = fioReadFull(report[0], &childErr, sizeof childErr);
    closeFd(&report[0]);
    if (reported == 0) {
        errno_ = childErr;
        kcStatus ignored;   // the child exited with 127 before exec
        finish(&ignored);
        return KC_E_START;
    }
    return KC_OK;
}

int kcAgent::send(const void *p, size_t n)
{
    if (toAgent_ < 0)
        return KC_E_SEND;
    SigpipeBlock guard;
    if (fioWriteFull(toAgent_, p, n) != 0) {
        errno_ = errno;
        return KC_E_SEND;
    }
    return KC_OK;
}

int kcAgent::receive(void *p, size_t n, size_t *got)
{
    *got = 0;
    if (fromAgent_ < 0)
        return KC_E_RECEIVE;
    const long long deadline = nowMs() + timeoutMs_;
    auto *dst = static_cast<unsigned char *>(p);
    // Each step waits for the pipe no longer than the deadline allows, then
    // reads what is there; a closed pipe ends the answer.
    auto step = [&](size_t off, size_t len) -> ssize_t {
        long long left = deadline - nowMs();
        struct pollfd pfd = {fromAgent_, POLLIN, 0};
        int pr = left > 0 ? poll(&pfd, 1, static_cast<int>(left)) : 0;
        if (pr <= 0) {
            if (pr == 0)
                errno = ETIMEDOUT;
            return -1;   // EINTR from poll is retried by the loop
        }
        return read(fromAgent_, dst + off, len);
    };
    if (fioTransferFull(step, n, got) < 0) {
        if (errno == ETIMEDOUT) {
            timedOut_ = true;
            kill(pid_, SIGKILL);
            return KC_E_TIMEOUT;
        }
        errno_ = errno;
        return KC_E_RECEIVE;
    }
    return KC_OK;
}

int kcAgent::receiveExact(void *p, size_t n)
{
    size_t got = 0;
    int rc = receive(p, n, &got);
    if (rc != KC_OK)
        return rc;
    return got == n ? KC_OK : KC_E_RECEIVE;
}

void kcAgent::closeInput()
{
    closeFd(&toAgent_);
}

void kcAgent::closeOutput()
{
    closeFd(&fromAgent_);
}

int kcAgent::waitForExit(kcStatus *st)
{
    int status = 0;
    const long long deadline = nowMs() + timeoutMs_;
    long pauseUs = 100;
    for (;;) {
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_)
            break;
        if (r < 0 && errno != EINTR) {
            st->sysErrno = errno;
            pid_ = -1;
            return KC_E_WAIT;
        }
        if (r == 0 && nowMs() >= deadline && !timedOut_) {
            timedOut_ = true;
            kill(pid_, SIGKILL);
        }
        usleep(static_cast<useconds_t>(pauseUs));
        if (pauseUs < 20000)
            pauseUs *= 2;
    }
    pid_ = -1;
    if (WIFEXITED(status))
        st->exitStatus = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        st->termSignal = WTERMSIG(status);
    if (timedOut_)
        return KC_E_TIMEOUT;
    if (st->termSignal != 0 || st->exitStatus != 0)
        return KC_E_AGENT;
    return KC_OK;
}

int kcAgent::finish(kcStatus *st)
{
    *st = kcStatus();
    closeInput();
    closeOutput();
    if (pid_ <= 0) {
        st->error = KC_E_WAIT;
        return st->error;
    }
    st->error = waitForExit(st);
    if (st->error == KC_E_TIMEOUT)
        st->sysErrno = ETIMEDOUT;
    return st->error;
}

namespace {

// Ends the exchange: the agent's own report (a non-zero status, a signal, a
// time-out) says more than the caller-side failure it caused, so it wins.
int settle(kcAgent &agent, int callerRc, kcStatus *st)
{
    int rc = agent.finish(st);
    if (rc != KC_OK)
        return rc;
    if (callerRc != KC_OK) {
        st->error = callerRc;
        st->sysErrno = agent.lastErrno();
    }
    return st->error;
}

int fail(kcStatus *st, int rc, int err)
{
    *st = kcStatus();
    st->error = rc;
    st->sysErrno = err;
    return rc;
}

// Reads the rest of an answer that should already be complete: anything more
// is a protocol error.
int expectEnd(kcAgent &agent)
{
    unsigned char extra;
    size_t got = 0;
    int rc = agent.receive(&extra, 1, &got);
    explicit_bzero(&extra, 1);
    if (rc != KC_OK)
        return rc;
    return got == 0 ? KC_OK : KC_E_PROTOCOL;
}

int runCipher(const kcConfig &cfg, char op, unsigned char codeSet, const unsigned char *data, size_t len,
              kcAnswer *answer, kcStatus *st)
{
    answer->buf.clear();
    answer->len = 0;
    if (len > KC_MAX_DATA || (data == nullptr && len != 0))
        return fail(st, KC_E_ARGUMENT, EINVAL);
    kcAgent agent(cfg);
    int rc = agent.start(op);
    if (rc != KC_OK)
        return fail(st, rc, agent.lastErrno());

    kcSecret<2 + KC_MAX_DATA> req;
    req.b[0] = 0;   // flag 0: a cipher request
    req.b[1] = codeSet;
    if (len != 0)
        memcpy(req.b + 2, data, len);
    rc = agent.send(req.b, 2 + len);
    agent.closeInput();   // an empty request is ended by the closed pipe
    if (rc == KC_OK)
        rc = agent.receive(answer->buf.b, 80, &answer->len);
    if (rc == KC_OK)
        rc = expectEnd(agent);
    rc = settle(agent, rc, st);
    if (rc != KC_OK) {
        answer->buf.clear();
        answer->len = 0;
    }
    return rc;
}

} // namespace

int kcEncipher(const kcConfig &cfg, unsigned char codeSet, const unsigned char *data, size_t len,
               kcAnswer *answer, kcStatus *st)
{
    return runCipher(cfg, 'A', codeSet, data, len, answer, st);
}

int kcDecipher(const kcConfig &cfg, unsigned char codeSet, const unsigned char *data, size_t len,
               kcAnswer *answer, kcStatus *st)
{
    return runCipher(cfg, 'B', codeSet, data, len, answer, st);
}

int kcFetchKeys(const kcConfig &cfg, const unsigned char *request16, kcAnswer *keys, kcStatus *st)
{
    keys->buf.clear();
    keys->len = 0;
    kcAgent agent(cfg);
    int rc = agent.start('A');
    if (rc != KC_OK)
        return fail(st, rc, agent.lastErrno());
    kcSecret<17> req;
    req.b[0] = 1;   // a non-zero flag asks for the key block
    if (request16 != nullptr)
        memcpy(req.b + 1, request16, 16);
    rc = agent.send(req.b, sizeof req.b);
    agent.closeInput();
    if (rc == KC_OK)
        rc = agent.receive(keys->buf.b, KC_KEY_BLOCK, &keys->len);
    if (rc == KC_OK)
        rc = expectEnd(agent);
    rc = settle(agent, rc, st);
    if (rc == KC_OK && keys->len != KC_KEY_BLOCK)
        rc = st->error = KC_E_PROTOCOL;
    if (rc != KC_OK) {
        keys->buf.clear();
        keys->len = 0;
    }
    return rc;
}

namespace {

// One password of the 'C' answer: its 8-byte length, then its bytes.
int receivePassword(kcAgent &agent, unsigned char *dst, size_t cap, size_t *len)
{
    uint64_t n = 0;
    int rc = agent.receiveExact(&n, sizeof n);
    if (rc != KC_OK)
        return rc;
    if (n > cap)
        return KC_E_PROTOCOL;
    rc = agent.receiveExact(dst, static_cast<size_t>(n));
    if (rc == KC_OK)
        *len = static_cast<size_t>(n);
    return rc;
}

} // namespace

namespace {

bool samePassword(const kcSecret<96> &a, size_t aLen, const kcSecret<96> &b, size_t bLen)
{
    return aLen == bLen && memcmp(a.b, b.b, aLen) == 0;
}

// A confirmed 'C' whose agent ended without a status (killed, or ended for
// being silent too long) may or may not have stored the new password. An
// unconfirmed 'C' with the same arguments sends the stored password as its
// old one: the new one stored (KC_OK), the old one kept (the agent's failure
// stands), or neither (KC_E_UNKNOWN). The passwords compare as sent: the
// same key and cipher encipher the same text alike.
int settleUnknown(const kcConfig &cfg, unsigned char codeSet, unsigned char encipherFlag, const unsigned char *key,
                  size_t keyLen, const kcPasswords &sent, kcStatus *st)
{
    const int agentError = st->error;
    kcPasswords now;
    kcStatus look;
    st->error = KC_E_UNKNOWN;
    if (kcGeneratePassword(cfg, codeSet, encipherFlag, key, keyLen, [](const kcPasswords &) { return KC_REFUSE; },
                           &now, &look) != KC_OK)
        return st->error;
    if (samePassword(now.oldPw, now.oldLen, sent.newPw, sent.newLen)) {
        st->settled = true;
        st->error = KC_OK;
    } else if (samePassword(now.oldPw, now.oldLen, sent.oldPw, sent.oldLen)) {
        st->settled = true;
        st->error = agentError;
    }
    return st->error;
}

} // namespace

int kcGeneratePassword(const kcConfig &cfg, unsigned char codeSet, unsigned char encipherFlag,
                       const unsigned char *key, size_t keyLen,
                       const std::function<int32_t(const kcPasswords &)> &decide, kcPasswords *out,
                       kcStatus *st)
{
    out->oldPw.clear();
    out->newPw.clear();
    out->oldLen = out->newLen = 0;
    if (keyLen > KC_MAX_KEY || (key == nullptr && keyLen != 0))
        return fail(st, KC_E_ARGUMENT, EINVAL);
    kcAgent agent(cfg);
    int rc = agent.start('C');
    if (rc != KC_OK)
        return fail(st, rc, agent.lastErrno());

    kcSecret<3 + KC_MAX_KEY> req;
    req.b[0] = codeSet;
    req.b[1] = encipherFlag;
    req.b[2] = static_cast<unsigned char>(keyLen);
    if (keyLen != 0)
        memcpy(req.b + 3, key, keyLen);
    rc = agent.send(req.b, 3 + keyLen);
    if (rc == KC_OK)
        rc = receivePassword(agent, out->oldPw.b, KC_MAX_PASSWORD, &out->oldLen);
    if (rc == KC_OK)
        rc = receivePassword(agent, out->newPw.b, KC_MAX_PASSWORD, &out->newLen);
    bool confirmed = false;
    if (rc == KC_OK) {
        int32_t confirmation = decide ? decide(*out) : KC_REFUSE;
        confirmed = confirmation == KC_CONFIRM;
        if (confirmed)
            agent.extendTimeout(KC_STORE_WAIT_MS);
        rc = agent.send(&confirmation, sizeof confirmation);
        confirmed = confirmed && rc == KC_OK;
    }
    agent.closeInput();
    if (rc == KC_OK)
        rc = expectEnd(agent);
    rc = settle(agent, rc, st);
    if (confirmed && (st->termSignal != 0 || rc == KC_E_TIMEOUT))
        rc = settleUnknown(cfg, codeSet, encipherFlag, key, keyLen, *out, st);
    if (rc != KC_OK && rc != KC_E_AGENT && rc != KC_E_UNKNOWN) {
        out->oldPw.clear();
        out->newPw.clear();
        out->oldLen = out->newLen = 0;
    }
    return rc;
}
