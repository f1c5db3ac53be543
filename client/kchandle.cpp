// The agent handle: starting an agent with its pipes, the exchange's reads
// and writes under one deadline, ending an agent that is silent too long, and
// the wait for its end.
#include "client/kchandle.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <vector>

#include "base/fio.h"

using kc::closeFd;
using kc::Direct;
using kc::HELPER_ENDED;
using kc::HELPER_KILL;
using kc::HELPER_STARTED;
using kc::HelperReport;
using kc::nowMs;
using kc::SpawnPlan;

namespace {

// Blocks SIGPIPE while writing to the agent or its helper, so that one which
// has already gone makes the write fail instead of ending the caller; a
// SIGPIPE raised meanwhile is consumed before the mask is restored.
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

// The agent's command line, each argument at its position. The password
// path goes in twice, as the agent reads its directory from one and the
// file's name from the other; the positions it never reads stay empty.
std::vector<std::string> agentArguments(const kc_config &cfg, char op, const int in[2], const int out[2])
{
    const std::string pwPath = pathArgument(cfg.passwordDir);
    std::vector<std::string> args(KEL_ARG_COUNT);
    args[0] = cfg.agentPath;
    args[KEL_ARG_DEBUG_STOP] = "0";
    args[KEL_ARG_INTERFACE] = KEL_INTERFACE_STRING;
    args[KEL_ARG_IN_FD] = std::to_string(in[0]);
    args[KEL_ARG_CALLER_END_1] = std::to_string(in[1]);
    args[KEL_ARG_CALLER_END_2] = std::to_string(out[0]);
    args[KEL_ARG_OUT_FD] = std::to_string(out[1]);
    args[KEL_ARG_PSWD_DIR] = pwPath;
    args[KEL_ARG_LANGUAGE] = cfg.language;
    args[KEL_ARG_CATALOG_DIR] = cfg.catalogDir;
    args[KEL_ARG_OPERATION] = std::string(1, op);
    args[KEL_ARG_NODE] = cfg.node;
    args[KEL_ARG_SERVER] = cfg.server;
    args[KEL_ARG_PSWD_PATH] = pwPath;
    args[KEL_ARG_BUILD_DATE] = cfg.buildDate;
    args[KEL_ARG_BUILD_TIME] = cfg.buildTime;
    args[KEL_ARG_CLIENT_TYPE] = cfg.clientType;
    args[KEL_ARG_EXIT_LOGGING] = std::to_string(cfg.exitLogging);
    args[KEL_ARG_CLUSTER_NODE] = "0";
    args[KEL_ARG_CIPHER_TYPE] = std::to_string(cfg.cipherType);
    return args;
}

} // namespace

kc_agent::~kc_agent()
{
    if (method_ != 0) {
        kc_result ignored = KC_RESULT_INIT;   // the outcome of an abandoned exchange is not wanted
        finish(&ignored);
        closeFd(&ignored.agent_pidfd);        // nor an agent that could not be ended
    }
    closeFd(&toAgent_);
    closeFd(&fromAgent_);
    closeFd(&diagFd_);
}

int kc_agent::start(char op)
{
    if (method_ != 0)
        return KC_E_ARGUMENT;
    int in[2] = {-1, -1}, out[2] = {-1, -1}, rep[2] = {-1, -1}, ctl[2] = {-1, -1}, diag[2] = {-1, -1};
    auto cleanup = [&]() {
        int saved = errno;
        for (int *fd : {&in[0], &in[1], &out[0], &out[1], &rep[0], &rep[1], &ctl[0], &ctl[1], &diag[0], &diag[1]})
            closeFd(fd);
        errno = saved;
    };
    const bool capture = cfg_.stderrFd == KC_STDERR_CAPTURE;
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || (capture && pipe2(diag, O_CLOEXEC) != 0)) {
        errno_ = errno;
        cleanup();
        return KC_E_PIPE;
    }
    // The agent's standard error is read once it has ended: only its own end
    // of the pipe blocks, the caller's never waits on it.
    if (capture && fcntl(diag[0], F_SETFL, O_NONBLOCK) != 0) {
        errno_ = errno;
        cleanup();
        return KC_E_PIPE;
    }
    for (int *fd : {&in[0], &in[1], &out[0], &out[1], &diag[1]}) {
        if (*fd < 0)
            continue;   // no capture pipe
        *fd = kc::liftFd(*fd);
        if (*fd < 0) {
            errno_ = errno;
            cleanup();
            return KC_E_PIPE;
        }
    }

    std::vector<std::string> args = agentArguments(cfg_, op, in, out);
    SpawnPlan plan = {{}, cfg_.agentPath.c_str(), {in[0], in[1], out[0], out[1]}, cfg_.stdoutFd,
                      capture ? diag[1] : cfg_.stderrFd, cfg_.runAsUid, cfg_.runAsGid, -1, -1};
    for (auto &a : args)
        plan.argv.push_back(a.data());
    plan.argv.push_back(nullptr);

    if (kc::pidfdStartUsable()) {
        int err = 0;
        const Direct d = kc::directStart(plan, &direct_, &err);
        if (d != Direct::Refused) {
            closeFd(&in[0]);
            closeFd(&out[1]);
            if (d == Direct::Failed) {
                errno_ = err;
                cleanup();
                return KC_E_START;
            }
            closeFd(&diag[1]);
            diagFd_ = diag[0];
            method_ = KC_START_PIDFD;
            agentPid_ = direct_.run->agentPid;
            agentPidfd_ = direct_.run->agentPidfd;
            toAgent_ = in[1];
            fromAgent_ = out[0];
            return KC_OK;
        }
    }

    if (pipe2(rep, O_CLOEXEC) != 0 || pipe2(ctl, O_CLOEXEC) != 0) {
        errno_ = errno;
        cleanup();
        return KC_E_PIPE;
    }
    plan.reportFd = rep[1];
    plan.controlFd = ctl[0];
    const pid_t pid = kc::helperStart(plan, rep[0], ctl[1]);
    if (pid < 0) {
        errno_ = errno;
        cleanup();
        return KC_E_START;
    }
    helper_ = pid;
    method_ = KC_START_HELPER;
    closeFd(&in[0]);
    closeFd(&out[1]);
    closeFd(&rep[1]);
    closeFd(&ctl[0]);
    closeFd(&diag[1]);
    diagFd_ = diag[0];
    toAgent_ = in[1];
    fromAgent_ = out[0];
    report_ = rep[0];
    control_ = ctl[1];
    return launch();
}

// Lets the helper go once it can be told apart from any later process with
// its number, and learns whether the agent started.
int kc_agent::launch()
{
    // The helper waits for the go byte, so it is alive and unreaped here:
    // the pidfd names it even if the caller reaps it later.
    helperPidfd_ = kc::pidfdOpen(helper_);
    const char go = 'g';
    HelperReport r = {};
    int rc;
    {
        SigpipeBlock guard;
        rc = fioWriteFull(control_, &go, 1);
    }
    if (rc == 0)
        rc = fioReadFull(report_, &r, sizeof r);
    if (rc != 0 || r.what != HELPER_STARTED) {
        errno_ = rc < 0 ? errno : ECHILD;   // the helper ended before it could report
        kc_result ignored = KC_RESULT_INIT;
        finish(&ignored);
        return KC_E_START;
    }
    agentPid_ = r.pid;
    if (r.value != 0) {
        errno_ = r.value;
        kc_result ignored = KC_RESULT_INIT;   // the agent's child exited with 127 before exec
        finish(&ignored);
        agentPid_ = -1;
        return KC_E_START;
    }
    return KC_OK;
}

// Ends the agent: through its pidfd, or by asking its helper. Never once the
// store has begun. A refused signal (the agent's real user id is root) is
// remembered as not sent, so the wait does not count on it.
void kc_agent::requestKill()
{
    if (storing_)
        return;
    timedOut_ = true;
    if (method_ == KC_START_PIDFD) {
        killSent_ = syscall(SYS_pidfd_send_signal, agentPidfd_, SIGKILL, nullptr, 0) == 0;
        if (!killSent_)
            errno_ = errno;
        return;
    }
    SigpipeBlock guard;
    // A helper that has gone has already reported the agent's end.
    ssize_t w = write(control_, &HELPER_KILL, 1);
    killSent_ = w == 1;
}

int kc_agent::send(const void *p, size_t n)
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

int kc_agent::receive(void *p, size_t n, size_t *got)
{
    *got = 0;
    if (fromAgent_ < 0)
        return KC_E_RECEIVE;
    const long long deadline = deadlineFromNow();
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
        errno_ = errno;
        if (errno_ == ETIMEDOUT) {
            requestKill();
            return KC_E_TIMEOUT;
        }
        return KC_E_RECEIVE;
    }
    return KC_OK;
}

int kc_agent::receiveExact(void *p, size_t n)
{
    size_t got = 0;
    int rc = receive(p, n, &got);
    if (rc != KC_OK)
        return rc;
    return got == n ? KC_OK : KC_E_RECEIVE;
}

// The helper is the caller's child: reaped here through its pidfd, or by its
// number where the kernel has no pidfds. A caller that ignores SIGCHLD or
// reaped it already leaves nothing to reap (ECHILD), which is fine.
void kc_agent::reapHelper()
{
    for (;;) {
        int r;
        if (helperPidfd_ >= 0) {
            siginfo_t info;
            r = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(helperPidfd_), &info, WEXITED);
        } else {
            r = waitpid(helper_, nullptr, 0) < 0 ? -1 : 0;
        }
        if (r == 0 || errno != EINTR)
            break;
    }
    closeFd(&helperPidfd_);
    helper_ = -1;
    agentPid_ = -1;
}

// A wait status in st; the error it makes.
void kc_agent::statusOf(int status, kc_result *st)
{
    if (WIFEXITED(status))
        st->exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        st->term_signal = WTERMSIG(status);
}

// The agent still runs and this handle lets it go: the caller gets a pidfd
// of the child that ends with it (watchFd, duplicated) and its process id.
int kc_agent::leaveRunning(kc_result *st, int watchFd)
{
    st->agent_running = 1;
    st->agent_pid = agentPid_;
    st->agent_pidfd = watchFd >= 0 ? fcntl(watchFd, F_DUPFD_CLOEXEC, 3) : -1;
    method_ = 0;
    return KC_E_TIMEOUT;
}

// The helper's way: its report of the agent's end, within the deadline; past
// it the agent is ended, and one that still does not go is left running.
int kc_agent::waitForExit(kc_result *st)
{
    HelperReport r = {};
    size_t got = 0;
    long long deadline = deadlineFromNow();
    bool leave = false;
    auto step = [&](size_t off, size_t len) -> ssize_t {
        struct pollfd pfd = {report_, POLLIN, 0};
        long long left = deadline - nowMs();
        if (left <= 0) {
            if (storing_ || killSent_) {
                leave = true;
                errno = ETIMEDOUT;
                return -1;
            }
            requestKill();
            deadline = nowMs() + timeoutMs_;   // the time the kill is given
            left = timeoutMs_;
        }
        int pr = poll(&pfd, 1, static_cast<int>(left));
        if (pr < 0)
            return -1;
        if (pr == 0) {
            errno = EINTR;   // the deadline passed: the loop decides on the next step
            return -1;
        }
        return read(report_, reinterpret_cast<char *>(&r) + off, len);
    };
    int rc = fioTransferFull(step, sizeof r, &got);
    const int readErr = errno;
    closeFd(&report_);
    closeFd(&control_);   // the helper then waits on alone, and exits after the agent
    if (leave) {
        rc = leaveRunning(st, helperPidfd_);
        closeFd(&helperPidfd_);
        helper_ = -1;
        return rc;
    }
    reapHelper();
    readDiagnostic();
    if (rc != 0 || r.what != HELPER_ENDED) {
        st->sys_errno = rc < 0 ? readErr : ECHILD;   // the helper was killed before it reported
        return KC_E_WAIT;
    }
    statusOf(r.value, st);
    if (timedOut_)
        return KC_E_TIMEOUT;
    if (st->term_signal != 0 || st->exit_status != 0)
        return KC_E_AGENT;
    return KC_OK;
}

// The direct way: the agent's pidfd becomes readable when it ended, and its
// waiter, ending right after, leaves how. Past the deadline the agent is
// ended; one that cannot be ended, or does not go within another time-out (a
// hung file system, a frozen cgroup), or is storing, is left running.
int kc_agent::waitDirect(kc_result *st)
{
    long long deadline = deadlineFromNow();
    for (;;) {
        const long long left = deadline - nowMs();
        struct pollfd pfd = {agentPidfd_, POLLIN, 0};
        const int pr = left > 0 ? poll(&pfd, 1, static_cast<int>(left)) : 0;
        if (pr > 0)
            break;
        if (pr < 0 && errno == EINTR)
            continue;
        if (pr == 0 && (storing_ || killSent_ || (requestKill(), !killSent_))) {
            // The waiter stands for the agent: the caller's child, ending with it.
            const int rc = leaveRunning(st, direct_.waiterPidfd);
            closeFd(&agentPidfd_);
            closeFd(&direct_.waiterPidfd);
            direct_ = kc::DirectHold{};   // its mapping stays: the waiter runs on it
            return rc;
        }
        if (pr < 0)
            break;   // cannot happen for a pidfd; the waiter's end still tells
        deadline = nowMs() + timeoutMs_;
    }
    closeFd(&agentPidfd_);
    int code = 0, status = 0;
    const bool reaped = kc::directReap(&direct_, &code, &status);
    const int waitErr = errno;
    method_ = 0;
    agentPid_ = -1;
    readDiagnostic();
    if (!reaped) {
        st->sys_errno = waitErr;   // only a caller's own __WALL wait could have taken the waiter
        return KC_E_WAIT;
    }
    if (code == CLD_EXITED)
        st->exit_status = status;
    else
        st->term_signal = status;
    if (timedOut_)
        return KC_E_TIMEOUT;
    if (st->term_signal != 0 || st->exit_status != 0)
        return KC_E_AGENT;
    return KC_OK;
}

// Takes what the agent wrote on its standard error, now that it has ended
// and its helper is gone: everything is in the pipe, and nothing more comes.
// Kept up to the result's field, cut at a line end; the rest is read away.
void kc_agent::readDiagnostic()
{
    if (diagFd_ < 0)
        return;
    char buf[1024];
    for (;;) {
        ssize_t n = read(diagFd_, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;   // the end, or EAGAIN: a descriptor the agent passed on still holds the pipe open
        const size_t room = KC_DIAGNOSTIC_MAX - 1 - diagnostic_.size();
        diagnostic_.append(buf, static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room);
    }
    closeFd(&diagFd_);
    if (diagnostic_.size() == KC_DIAGNOSTIC_MAX - 1) {
        const size_t lastEnd = diagnostic_.rfind('\n');
        if (lastEnd != std::string::npos)
            diagnostic_.resize(lastEnd + 1);
    }
}

int kc_agent::finish(kc_result *st)
{
    const kc_result fresh = KC_RESULT_INIT;
    *st = fresh;
    closeInput();
    closeOutput();
    st->start_method = method_;
    if (method_ == KC_START_PIDFD)
        st->error = waitDirect(st);
    else if (method_ == KC_START_HELPER)
        st->error = waitForExit(st);
    else
        st->error = KC_E_WAIT;
    method_ = 0;
    if (st->error == KC_E_TIMEOUT)
        st->sys_errno = ETIMEDOUT;
    memcpy(st->diagnostic, diagnostic_.data(), diagnostic_.size());   // bounded by readDiagnostic
    st->diagnostic[diagnostic_.size()] = '\0';
    return st->error;
}
