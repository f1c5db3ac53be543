// Starting the agent and speaking its pipe protocol (docs/pipe-protocol.md).
//
// The agent is started without a copy of the caller: a waiter that shares
// the caller's memory and descriptors, whose exit signal is 0 and whose pidfd
// the library holds, starts it as its own child and waits for it. The
// caller's SIGCHLD handling and waitpid(-1, ...) never see either, and a kill
// through the agent's pidfd can never hit a recycled process id. Where the
// kernel refuses pidfds, a helper process, forked for each run, does the
// waiter's work and writes the wait status to a pipe, which gives the same
// guarantees at the cost of copying the caller.
#include "client/kcinternal.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "base/fio.h"

#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000   // the kernel's value, for older C library headers
#endif

namespace {

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

int pidfdOpen(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

// ---- The helper's side. It is forked from a process that may run other
// threads, so until it exits it calls only async-signal-safe functions and
// system calls; everything it needs is built before the fork.

// What the helper tells the caller: once that the agent started (errno 0)
// or why it did not, once its wait status. Small enough for one atomic write.
enum HelperWhat : int32_t { HELPER_STARTED = 1, HELPER_ENDED = 2 };
struct HelperReport {
    int32_t what;
    int32_t value;   // errno of the start, or the wait status
    int32_t pid;     // the agent's
};

// The byte the caller sends to have the agent killed.
constexpr char HELPER_KILL = 'k';

struct SpawnPlan {
    std::vector<char *> argv;
    const char *agentPath;
    int agentEnds[4];   // all four pipe ends: the agent closes the caller's two itself
    int stdoutFd, stderrFd;
    uid_t runAsUid;
    gid_t runAsGid;
    int reportFd;       // helper -> caller
    int controlFd;      // caller -> helper
};

[[noreturn]] void helperExit()
{
    _exit(0);
}

void helperSay(int fd, int32_t what, int32_t value, pid_t pid)
{
    HelperReport r = {what, value, static_cast<int32_t>(pid)};
    if (fioWriteFull(fd, &r, sizeof r) != 0)
        helperExit();   // the caller has gone: nobody is left to tell
}

bool keptFd(const SpawnPlan &p, int fd)
{
    for (int k : p.agentEnds)
        if (k == fd)
            return true;
    return fd == p.stdoutFd || fd == p.stderrFd || fd == p.reportFd || fd == p.controlFd;
}

void closeIfCloexec(const SpawnPlan &p, int fd)
{
    if (keptFd(p, fd))
        return;
    int flags = fcntl(fd, F_GETFD);
    if (flags != -1 && (flags & FD_CLOEXEC) != 0)
        close(fd);
}

// Closes what the caller marked close-on-exec: the agent would not get it
// anyway, and the helper outlives an exec, so it must not keep open the
// caller's ends of other agents' pipes that other threads are running.
// Descriptors the caller passes to every child stay, for the agent.
void helperCloseCloexec(const SpawnPlan &p)
{
    int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        struct rlimit rl;
        // Without /proc every possible number is tried, up to a sane bound.
        rlim_t top = getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 65536 ? rl.rlim_cur : 65536;
        for (int fd = 3; fd < static_cast<int>(top); ++fd)
            closeIfCloexec(p, fd);
        return;
    }
    alignas(8) char buf[4096];
    for (;;) {
        long n = syscall(SYS_getdents64, dir, buf, sizeof buf);
        if (n <= 0)
            break;
        for (long off = 0; off < n;) {
            const auto *d = reinterpret_cast<const struct dirent64 *>(buf + off);
            off += d->d_reclen;
            int fd = 0;
            const char *c = d->d_name;
            if (*c < '0' || *c > '9')
                continue;
            for (; *c >= '0' && *c <= '9'; ++c)
                fd = fd * 10 + (*c - '0');
            if (fd > 2 && fd != dir)
                closeIfCloexec(p, fd);
        }
    }
    close(dir);
}

// Reports how an exec failed through a close-on-exec pipe; nothing arrives
// when exec succeeded.
[[noreturn]] void agentFail(int errFd)
{
    int e = errno;
    ssize_t w = write(errFd, &e, sizeof e);
    (void)w;   // the helper sees a short report as "started"; nothing more can be done here
    _exit(127);
}

[[noreturn]] void agentExec(const SpawnPlan &p, int errFd)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    if (p.stdoutFd >= 0 && dup2(p.stdoutFd, 1) < 0)
        agentFail(errFd);
    if (p.stderrFd >= 0 && dup2(p.stderrFd, 2) < 0)
        agentFail(errFd);
    for (int fd : p.agentEnds)
        if (fcntl(fd, F_SETFD, 0) != 0)
            agentFail(errFd);
    if (p.runAsGid != static_cast<gid_t>(-1) && (setgroups(0, nullptr) != 0 || setgid(p.runAsGid) != 0))
        agentFail(errFd);
    if (p.runAsUid != static_cast<uid_t>(-1) && setuid(p.runAsUid) != 0)
        agentFail(errFd);
    execv(p.agentPath, p.argv.data());
    agentFail(errFd);
}

// Waits for the agent, killing it when the caller asks; the agent is still
// this process's unreaped child whenever the kill is sent.
int helperWait(const SpawnPlan &p, pid_t agent)
{
    const int pidfd = pidfdOpen(agent);
    struct pollfd fds[2] = {{p.controlFd, POLLIN, 0}, {pidfd, POLLIN, 0}};
    for (;;) {
        int status = 0;
        pid_t r = waitpid(agent, &status, WNOHANG);
        if (r == agent)
            return status;
        if (r < 0 && errno != EINTR)
            helperExit();   // cannot happen for an own child; the caller then sees no status
        // Without a pidfd (an old kernel) the agent's end is looked for every 10 ms.
        int pr = poll(fds, 2, pidfd >= 0 ? -1 : 10);
        if (pr > 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            char c = 0;
            ssize_t n = read(p.controlFd, &c, 1);
            if (n == 1 && c == HELPER_KILL)
                kill(agent, SIGKILL);
            else if (n == 0)
                fds[0].fd = -1;   // the caller is done or gone; the agent finishes on its own
        }
    }
}

[[noreturn]] void helperRun(const SpawnPlan &p)
{
    sigset_t all;
    sigfillset(&all);
    sigprocmask(SIG_SETMASK, &all, nullptr);   // the caller's handlers have no business here
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGCHLD, &dfl, nullptr);   // an ignored SIGCHLD would reap the agent behind our back
    char go = 0;
    if (fioReadFull(p.controlFd, &go, 1) != 0)
        helperExit();
    helperCloseCloexec(p);
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) {
        helperSay(p.reportFd, HELPER_STARTED, errno, -1);
        helperExit();
    }
    pid_t agent = _Fork();
    if (agent < 0) {
        helperSay(p.reportFd, HELPER_STARTED, errno, -1);
        helperExit();
    }
    if (agent == 0) {
        close(err[0]);
        close(p.reportFd);
        close(p.controlFd);
        agentExec(p, err[1]);
    }
    close(err[1]);
    for (int fd : p.agentEnds)
        close(fd);
    int childErr = 0;
    helperSay(p.reportFd, HELPER_STARTED, fioReadFull(err[0], &childErr, sizeof childErr) == 0 ? childErr : 0,
              agent);
    close(err[0]);
    helperSay(p.reportFd, HELPER_ENDED, helperWait(p, agent), agent);
    helperExit();
}


// ---- The direct start. The waiter and the agent's child share the caller's
// memory and run on stacks made before the clone: they allocate nothing, take
// no lock and make raw system calls only (glibc's set*id wrappers would
// signal the caller's threads, and a sanitizer's interceptors are not safe
// there).

// Whether a run may use pidfds: the kernel must take pidfd_open and wait on a
// pidfd (P_PIDFD, 5.4 and later), and the environment must not ask for the
// helper. A pidfd of the caller itself, which is not its own child, gives
// ECHILD exactly where P_PIDFD is known.
bool pidfdStartUsable()
{
    const char *forced = secure_getenv("KELVLX_CLIENT_START");
    if (forced != nullptr && strcmp(forced, "helper") == 0)
        return false;
    const int self = pidfdOpen(getpid());
    if (self < 0)
        return false;
    siginfo_t info;
    const bool known = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(self), &info,
                              WEXITED | WNOHANG | __WALL) != 0 && errno == ECHILD;
    close(self);
    return known;
}

// What the child needs, made before the clone. execErrno is written by the
// child when it could not exec; the caller reads it once the clone returned.
struct DirectChild {
    const SpawnPlan *plan;
    char *const *envp;
    int execErrno;
};

// The kernel's rt_sigaction structure, handler first on every architecture
// built here; a zeroed one is SIG_DFL with no flags and an empty mask.
struct KernelSigaction {
    void *handler;
    unsigned long flags;
    void *restorer;
    uint64_t mask;
};
constexpr int KERNEL_SIGNALS = 64;
constexpr size_t KERNEL_SIGSET_BYTES = 8;   // the kernel's signal set: one bit a signal

// Resets what the caller handles to the default before any signal is let
// through (a handler of the caller would run on the shared memory), and
// SIGPIPE and SIGCHLD even when ignored, as the agent expects them.
__attribute__((no_sanitize("address", "undefined"))) void directResetSignals()
{
    for (int sig = 1; sig <= KERNEL_SIGNALS; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP)
            continue;
        KernelSigaction old = {nullptr, 0, nullptr, 0};
        if (syscall(SYS_rt_sigaction, sig, nullptr, &old, KERNEL_SIGSET_BYTES) != 0)
            continue;   // a number the kernel does not have
        const bool ignored = old.handler == reinterpret_cast<void *>(SIG_IGN);
        if (old.handler == nullptr || (ignored && sig != SIGPIPE && sig != SIGCHLD))
            continue;
        const KernelSigaction dfl = {nullptr, 0, nullptr, 0};
        (void)syscall(SYS_rt_sigaction, sig, &dfl, nullptr, KERNEL_SIGSET_BYTES);   // cannot fail for a valid number
    }
    const uint64_t none = 0;
    (void)syscall(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, KERNEL_SIGSET_BYTES);
}

// Makes fd the descriptor at target (both kept across the exec).
__attribute__((no_sanitize("address", "undefined"))) bool directPlace(int fd, int target)
{
    if (fd == target)
        return syscall(SYS_fcntl, fd, F_SETFD, 0) == 0;
    return syscall(SYS_dup3, fd, target, 0) == target;
}

// The child's whole life: the descriptors, the ids, the exec. Only the raw
// calls of the kernel; errno is the calling thread's, which waits meanwhile.
__attribute__((no_sanitize("address", "undefined"))) int directChildMain(void *arg)
{
    auto *c = static_cast<DirectChild *>(arg);
    const SpawnPlan &p = *c->plan;
    directResetSignals();
    bool ok = (p.stdoutFd < 0 || directPlace(p.stdoutFd, 1)) && (p.stderrFd < 0 || directPlace(p.stderrFd, 2));
    for (int i = 0; ok && i < 4; ++i)
        ok = syscall(SYS_fcntl, p.agentEnds[i], F_SETFD, 0) == 0;
    if (ok && p.runAsGid != static_cast<gid_t>(-1))
        ok = syscall(SYS_setgroups, 0, nullptr) == 0 && syscall(SYS_setgid, p.runAsGid) == 0;
    if (ok && p.runAsUid != static_cast<uid_t>(-1))
        ok = syscall(SYS_setuid, p.runAsUid) == 0;
    if (ok)
        (void)syscall(SYS_execve, p.agentPath, p.argv.data(), c->envp);   // returns only on failure
    c->execErrno = errno != 0 ? errno : ENOEXEC;
    (void)syscall(SYS_exit, 127);
    return 127;
}

// An exec'd child of the caller is the caller's plain child whatever exit
// signal it was started with (the kernel makes it SIGCHLD at the exec): the
// caller's waitpid(-1, ...) would take it, an ignored SIGCHLD would reap it.
// So the agent is the child of a waiter that never execs: a clone sharing
// the caller's memory and descriptor table (a copy of neither is made), with
// exit signal 0, which starts the agent, waits for it and leaves its status
// in memory. The two stacks and what the waiter shares with the caller lie in
// one mapping made before the clone.
struct DirectRun {
    DirectChild child;
    int startFd;        // the waiter writes one byte here once the agent runs or failed to
    pid_t agentPid;     // -1 when the clone of the agent failed
    int agentPidfd;     // in the shared descriptor table
    int cloneErrno;
    int siCode;         // how the agent ended, once the waiter has ended
    int siStatus;
};

// Each stack holds the frames of its process and the kernel's calls it makes.
constexpr size_t DIRECT_STACK_BYTES = 64 * 1024;
constexpr size_t DIRECT_MAP_BYTES = 2 * DIRECT_STACK_BYTES + 4096;   // two stacks, then the DirectRun

// The waiter: runs beside the caller on the caller's memory, every signal
// held. It uses the calling thread's thread-local block (errno, the stack
// guard's value), which may be gone once a caller has left it running, so
// after the start it makes only calls that cannot fail, and has no guard.
__attribute__((no_sanitize("address", "undefined"), no_stack_protector)) int directWaiterMain(void *arg)
{
    auto *run = static_cast<DirectRun *>(arg);
    // Its own copy of the caller's dispositions: an ignored SIGCHLD would reap the agent.
    const KernelSigaction dfl = {nullptr, 0, nullptr, 0};
    (void)syscall(SYS_rt_sigaction, SIGCHLD, &dfl, nullptr, KERNEL_SIGSET_BYTES);
    char *agentStackTop = reinterpret_cast<char *>(run) - 16;
    // The agent's child gets a copy of the descriptor table (it changes its
    // own close-on-exec marks); its pidfd lands in the shared one.
    run->agentPid = clone(directChildMain, agentStackTop, CLONE_VM | CLONE_VFORK | CLONE_PIDFD, &run->child,
                          &run->agentPidfd);
    if (run->agentPid < 0)
        run->cloneErrno = errno;   // the calling thread waits for the start byte meanwhile
    const char started = 's';
    (void)syscall(SYS_write, run->startFd, &started, 1);   // one byte into an empty pipe the caller holds open
    if (run->agentPid < 0)
        return 0;
    siginfo_t info;
    info.si_code = 0;
    info.si_status = 0;
    // Its own child, every signal held: no EINTR, no ECHILD.
    (void)syscall(SYS_waitid, P_PID, run->agentPid, &info, WEXITED | __WALL, nullptr);
    run->siCode = info.si_code;
    run->siStatus = info.si_status;
    // A caller that left the agent running reaps the waiter instead: its exit
    // status is the agent's (128 + the signal for one ended by a signal).
    return info.si_code == CLD_EXITED ? (info.si_status & 255) : 128 + info.si_status;
}

// Outcome of a direct start beyond the started agent.
enum class Direct { Started, Refused, Failed };

// A direct start's processes and mapping, held by the caller.
struct DirectHold {
    void *map = nullptr;
    DirectRun *run = nullptr;
    pid_t waiter = -1;
    int waiterPidfd = -1;
};

// Waits for the waiter's end (it ends right after the agent), takes how the
// agent ended and frees the mapping; false when it could not be waited for (the mapping is then kept:
// the waiter may still use it).
bool directReap(DirectHold *h, int *siCode, int *siStatus)
{
    siginfo_t info;
    int r;
    while ((r = waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(h->waiterPidfd), &info,
                       WEXITED | __WALL)) != 0 &&
           errno == EINTR) {
    }
    closeFd(&h->waiterPidfd);
    if (r == 0) {
        *siCode = h->run->siCode;
        *siStatus = h->run->siStatus;
        munmap(h->map, DIRECT_MAP_BYTES);
    }
    h->map = nullptr;
    h->run = nullptr;
    h->waiter = -1;
    return r == 0;
}

// Starts the waiter, which starts the agent. Every signal is held in the
// calling thread across the clone, so that the waiter starts with all held
// and the agent's child takes none before its handlers are reset. Refused:
// the kernel or a filter does not take the flags, and the helper is to be
// tried.
Direct directStart(const SpawnPlan &plan, DirectHold *h, int *err)
{
    int start[2];
    if (pipe2(start, O_CLOEXEC) != 0) {
        *err = errno;
        return Direct::Failed;
    }
    void *map = mmap(nullptr, DIRECT_MAP_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (map == MAP_FAILED) {
        *err = errno;
        close(start[0]);
        close(start[1]);
        return Direct::Failed;
    }
    auto *run = reinterpret_cast<DirectRun *>(static_cast<char *>(map) + 2 * DIRECT_STACK_BYTES);
    *run = DirectRun{{&plan, environ, 0}, start[1], -1, -1, 0, 0, 0};
    char *waiterStackTop = static_cast<char *>(map) + DIRECT_STACK_BYTES - 16;
    const uint64_t all = ~uint64_t{0};
    uint64_t old = 0;
    (void)syscall(SYS_rt_sigprocmask, SIG_SETMASK, &all, &old, KERNEL_SIGSET_BYTES);   // valid sets: cannot fail
    int waiterPidfd = -1;
    const pid_t waiter = clone(directWaiterMain, waiterStackTop, CLONE_VM | CLONE_FILES | CLONE_PIDFD, run,
                               &waiterPidfd);
    const int cloneErr = errno;
    (void)syscall(SYS_rt_sigprocmask, SIG_SETMASK, &old, nullptr, KERNEL_SIGSET_BYTES);
    if (waiter < 0) {
        munmap(map, DIRECT_MAP_BYTES);
        close(start[0]);
        close(start[1]);
        *err = cloneErr;
        return cloneErr == EINVAL || cloneErr == ENOSYS || cloneErr == EPERM ? Direct::Refused : Direct::Failed;
    }
    *h = DirectHold{map, run, waiter, waiterPidfd};
    char byte = 0;
    const int rc = fioReadFull(start[0], &byte, 1);   // the waiter holds the write end until it wrote
    close(start[0]);
    close(start[1]);
    if (rc != 0 || run->agentPid < 0 || run->child.execErrno != 0) {
        *err = run->agentPid < 0 ? run->cloneErrno : run->child.execErrno != 0 ? run->child.execErrno : ECHILD;
        const int agentPidfd = run->agentPidfd;
        int code = 0, status = 0;
        directReap(h, &code, &status);
        if (agentPidfd >= 0)
            close(agentPidfd);
        return Direct::Failed;
    }
    return Direct::Started;
}

} // namespace

// One agent, started directly or through its helper, with its two pipes, for
// one exchange.
struct kc_agent {
    explicit kc_agent(const kc_config &cfg) : cfg_(cfg), timeoutMs_(cfg.timeoutMs) {}
    ~kc_agent();
    kc_agent(const kc_agent &) = delete;
    kc_agent &operator=(const kc_agent &) = delete;

    int start(char op);
    int send(const void *p, size_t n);
    int receive(void *p, size_t n, size_t *got);
    int receiveExact(void *p, size_t n);
    void closeInput() { closeFd(&toAgent_); }
    void closeOutput() { closeFd(&fromAgent_); }
    int finish(kc_result *st);
    void extendTimeout(int ms)
    {
        if (ms > timeoutMs_)
            timeoutMs_ = ms;
    }
    // From a 'C' confirmation on: the agent is never ended by the library,
    // and the rest of the exchange, its wait included, shares one deadline.
    void storeFromNow()
    {
        extendTimeout(cfg_.storeWaitMs);
        storing_ = true;
        storeDeadline_ = nowMs() + timeoutMs_;
    }

    kc_config cfg_;
    int method_ = 0;       // KC_START_PIDFD or KC_START_HELPER while an agent is held
    std::string diagnostic_;   // what the agent wrote on its standard error, when the library reads it
    pid_t helper_ = -1;
    int helperPidfd_ = -1;
    pid_t agentPid_ = -1;
    int agentPidfd_ = -1;  // the direct start's agent
    DirectHold direct_;    // and its waiter
    int report_ = -1;      // the helper's reports
    int control_ = -1;     // to the helper: the go byte, a kill request
    int toAgent_ = -1;     // caller's end of the input pipe
    int fromAgent_ = -1;   // caller's end of the output pipe
    int diagFd_ = -1;      // caller's end of the agent's standard error (KC_STDERR_CAPTURE)
    int errno_ = 0;
    bool timedOut_ = false;
    bool killSent_ = false;
    bool storing_ = false;
    long long storeDeadline_ = 0;
    int timeoutMs_ = 0;    // cfg_.timeoutMs, or longer after extendTimeout

private:
    int launch();
    void requestKill();
    long long deadlineFromNow() const { return storing_ ? storeDeadline_ : nowMs() + timeoutMs_; }
    int waitForExit(kc_result *st);
    int waitDirect(kc_result *st);
    int leaveRunning(kc_result *st, int watchFd);
    void reapHelper();
    static void statusOf(int status, kc_result *st);
    void readDiagnostic();
};

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
        *fd = liftFd(*fd);
        if (*fd < 0) {
            errno_ = errno;
            cleanup();
            return KC_E_PIPE;
        }
    }

    const std::string pwPath = pathArgument(cfg_.passwordDir);
    std::vector<std::string> args = {
        cfg_.agentPath, "0", KEL_INTERFACE_STRING,
        std::to_string(in[0]), std::to_string(in[1]), std::to_string(out[0]), std::to_string(out[1]),
        pwPath, cfg_.language, "", cfg_.catalogDir, std::string(1, op), cfg_.node, cfg_.server,
        pwPath, "", cfg_.buildDate, cfg_.buildTime, cfg_.clientType,
        std::to_string(cfg_.exitLogging), "0", std::to_string(cfg_.cipherType)};
    SpawnPlan plan = {{}, cfg_.agentPath.c_str(), {in[0], in[1], out[0], out[1]}, cfg_.stdoutFd,
                      capture ? diag[1] : cfg_.stderrFd, cfg_.runAsUid, cfg_.runAsGid, -1, -1};
    for (auto &a : args)
        plan.argv.push_back(a.data());
    plan.argv.push_back(nullptr);

    if (pidfdStartUsable()) {
        int err = 0;
        const Direct d = directStart(plan, &direct_, &err);
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
    pid_t pid = fork();
    if (pid < 0) {
        errno_ = errno;
        cleanup();
        return KC_E_START;
    }
    if (pid == 0) {
        close(rep[0]);
        close(ctl[1]);
        helperRun(plan);
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
    helperPidfd_ = pidfdOpen(helper_);
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
            direct_ = DirectHold{};   // its mapping stays: the waiter runs on it
            return rc;
        }
        if (pr < 0)
            break;   // cannot happen for a pidfd; the waiter's end still tells
        deadline = nowMs() + timeoutMs_;
    }
    closeFd(&agentPidfd_);
    int code = 0, status = 0;
    const bool reaped = directReap(&direct_, &code, &status);
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

void kcStore(kc_result *res, const kc_result &from)
{
    if (res == nullptr || res->size == 0)
        return;
    const size_t n = res->size < sizeof from ? res->size : sizeof from;
    const size_t keep = res->size;
    memcpy(res, &from, n);
    res->size = keep;
}

namespace {

// Ends the exchange: the agent's own report (a non-zero status, a signal, a
// time-out) says more than the caller-side failure it caused, so it wins.
int settle(kc_agent &agent, int callerRc, kc_result *st)
{
    int rc = agent.finish(st);
    if (rc != KC_OK)
        return rc;
    if (callerRc != KC_OK) {
        st->error = callerRc;
        st->sys_errno = agent.errno_;
    }
    return st->error;
}

int fail(kc_result *st, int rc, int err, int detail = KC_D_NONE)
{
    const kc_result fresh = KC_RESULT_INIT;
    *st = fresh;
    st->error = rc;
    st->sys_errno = err;
    st->detail = detail;
    return rc;
}

bool hasLowerCase(const std::string &s)
{
    for (char c : s)
        if (c >= 'a' && c <= 'z')
            return true;
    return false;
}

// 168 has many causes, most only the root-only store can tell apart; these
// the caller's side can see: the password directory missing or not a
// directory, and a node in lower case (records are stored under upper-case
// nodes by the usual tools).
void explainNoPassword(const kc_config &cfg, kc_result *st)
{
    if (st->error != KC_E_AGENT || st->exit_status != KEL_ST_NO_PASSWORD)
        return;
    struct stat sb;
    if (!cfg.passwordDir.empty()) {
        if (stat(cfg.passwordDir.c_str(), &sb) != 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                st->detail = errno == ENOENT ? KC_D_PASSWORD_DIR_MISSING : KC_D_PASSWORD_DIR_NOT_DIR;
            if (st->detail != KC_D_NONE)
                return;
        } else if (!S_ISDIR(sb.st_mode)) {
            st->detail = KC_D_PASSWORD_DIR_NOT_DIR;
            return;
        }
    }
    if (hasLowerCase(cfg.node))
        st->detail = KC_D_NODE_LOWER_CASE;
}

// The cipher an 'A' or 'B' ran, from the answer's length: DES gives as many
// bytes as it was given; AES pads an encipherment up to a whole block, one
// more when it is whole, and takes that padding off a decipherment.
int cipherOf(const kc_config &cfg, char op, size_t sent, size_t answered)
{
    if (cfg.cipherType == 1 || cfg.cipherType == 2)
        return cfg.cipherType;
    if (answered == sent)
        return 1;
    return (op == KEL_OP_ENCIPHER ? answered > sent : answered < sent) ? 2 : 0;
}

// Reads the rest of an answer that should already be complete: anything more
// is a protocol error.
int expectEnd(kc_agent &agent)
{
    unsigned char extra;
    size_t got = 0;
    int rc = agent.receive(&extra, 1, &got);
    explicit_bzero(&extra, 1);
    if (rc != KC_OK)
        return rc;
    return got == 0 ? KC_OK : KC_E_PROTOCOL;
}

int runCipher(const kc_config &cfg, char op, unsigned char codeSet, const unsigned char *data, size_t len,
              kcSecret<KC_MAX_ANSWER> *answer, size_t *answerLen, kc_result *st)
{
    if (len > KC_MAX_DATA)
        return fail(st, KC_E_ARGUMENT, EINVAL, KC_D_DATA_LONG);
    if (data == nullptr && len != 0)
        return fail(st, KC_E_ARGUMENT, EINVAL, KC_D_DATA_NULL);
    kc_agent agent(cfg);
    int rc = agent.start(op);
    if (rc != KC_OK)
        return fail(st, rc, agent.errno_);

    kcSecret<2 + KC_MAX_DATA> req;
    req.b[0] = 0;   // flag 0: a cipher request
    req.b[1] = codeSet;
    if (len != 0)
        memcpy(req.b + 2, data, len);
    rc = agent.send(req.b, 2 + len);
    agent.closeInput();   // an empty request is ended by the closed pipe
    if (rc == KC_OK)
        rc = agent.receive(answer->b, KC_MAX_ANSWER, answerLen);
    if (rc == KC_OK)
        rc = expectEnd(agent);
    rc = settle(agent, rc, st);
    if (rc == KC_OK)
        st->cipher_used = cipherOf(cfg, op, len, *answerLen);
    explainNoPassword(cfg, st);
    return rc;
}

int fetchKeys(const kc_config &cfg, const unsigned char *request16, kcSecret<KC_KEY_BLOCK> *keys, size_t *len,
              kc_result *st)
{
    kc_agent agent(cfg);
    int rc = agent.start(KEL_OP_ENCIPHER);
    if (rc != KC_OK)
        return fail(st, rc, agent.errno_);
    kcSecret<17> req;
    req.b[0] = 1;   // a non-zero flag asks for the key block
    if (request16 != nullptr)
        memcpy(req.b + 1, request16, 16);
    rc = agent.send(req.b, sizeof req.b);
    agent.closeInput();
    if (rc == KC_OK)
        rc = agent.receive(keys->b, KC_KEY_BLOCK, len);
    if (rc == KC_OK)
        rc = expectEnd(agent);
    rc = settle(agent, rc, st);
    if (rc == KC_OK && *len != KC_KEY_BLOCK)
        rc = st->error = KC_E_PROTOCOL;
    explainNoPassword(cfg, st);
    return rc;
}

// The two passwords of a 'C' as the library holds them.
struct Passwords {
    kcSecret<KC_MAX_PASSWORD> oldPw;
    size_t oldLen = 0;
    kcSecret<KC_MAX_PASSWORD> newPw;
    size_t newLen = 0;
};

// One password of the 'C' answer: its 8-byte length, then its bytes.
int receivePassword(kc_agent &agent, unsigned char *dst, size_t cap, size_t *len)
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

bool samePassword(const kcSecret<KC_MAX_PASSWORD> &a, size_t aLen, const kcSecret<KC_MAX_PASSWORD> &b, size_t bLen)
{
    return aLen == bLen && memcmp(a.b, b.b, aLen) == 0;
}

struct Decider {
    kc_decide_fn fn;
    void *ctx;
};

int32_t askCaller(const Decider &d, const Passwords &pw)
{
    if (d.fn == nullptr)
        return KC_REFUSE;
    // The caller sees the library's copies, read-only by contract.
    kc_passwords view = {sizeof view, const_cast<unsigned char *>(pw.oldPw.b), pw.oldPw.size(), pw.oldLen,
                         const_cast<unsigned char *>(pw.newPw.b), pw.newPw.size(), pw.newLen};
    return d.fn(d.ctx, &view);
}

int generate(const kc_config &cfg, unsigned char codeSet, unsigned char encipherFlag, const unsigned char *key,
             size_t keyLen, const Decider &decide, Passwords *out, kc_result *st);

// A confirmed 'C' whose agent ended without a status (killed, or ended for
// being silent too long) may or may not have stored the new password. An
// unconfirmed 'C' with the same arguments sends the stored password as its
// old one: the new one stored (KC_OK), the old one kept (the agent's failure
// stands), or neither (KC_E_UNKNOWN). The passwords compare as sent: the
// same key and cipher encipher the same text alike.
int settleUnknown(const kc_config &cfg, unsigned char codeSet, unsigned char encipherFlag, const unsigned char *key,
                  size_t keyLen, const Passwords &sent, kc_result *st)
{
    const int agentError = st->error;
    Passwords now;
    kc_result look = KC_RESULT_INIT;
    st->error = KC_E_UNKNOWN;
    if (generate(cfg, codeSet, encipherFlag, key, keyLen, Decider{nullptr, nullptr}, &now, &look) != KC_OK)
        return st->error;
    if (samePassword(now.oldPw, now.oldLen, sent.newPw, sent.newLen)) {
        st->settled = 1;
        st->error = KC_OK;
    } else if (samePassword(now.oldPw, now.oldLen, sent.oldPw, sent.oldLen)) {
        st->settled = 1;
        st->error = agentError;
    }
    return st->error;
}

int generate(const kc_config &cfg, unsigned char codeSet, unsigned char encipherFlag, const unsigned char *key,
             size_t keyLen, const Decider &decide, Passwords *out, kc_result *st)
{
    if (keyLen > KC_MAX_KEY)
        return fail(st, KC_E_ARGUMENT, EINVAL, KC_D_KEY_LONG);
    if (key == nullptr && keyLen != 0)
        return fail(st, KC_E_ARGUMENT, EINVAL, KC_D_KEY_NULL);
    kc_agent agent(cfg);
    int rc = agent.start(KEL_OP_GENERATE);
    if (rc != KC_OK)
        return fail(st, rc, agent.errno_);

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
        int32_t confirmation = askCaller(decide, *out);
        confirmed = confirmation == KC_CONFIRM;
        if (confirmed)
            agent.storeFromNow();
        rc = agent.send(&confirmation, sizeof confirmation);
        confirmed = confirmed && rc == KC_OK;
    }
    agent.closeInput();
    if (rc == KC_OK)
        rc = expectEnd(agent);
    rc = settle(agent, rc, st);
    if (confirmed && st->agent_running != 0)
        rc = st->error = KC_E_UNKNOWN;   // still storing: only its end will tell
    else if (confirmed && (st->term_signal != 0 || rc == KC_E_TIMEOUT))
        rc = settleUnknown(cfg, codeSet, encipherFlag, key, keyLen, *out, st);
    explainNoPassword(cfg, st);
    return rc;
}

// Copies an answer to the caller's buffer, or zeroes the buffer on failure.
void handOver(int rc, const unsigned char *from, size_t len, unsigned char *to, size_t cap, size_t *toLen)
{
    if (rc == KC_OK && len <= cap) {
        memcpy(to, from, len);
        *toLen = len;
        return;
    }
    explicit_bzero(to, cap);
    *toLen = 0;
}

int cipherCall(const kc_config *cfg, char op, unsigned char codeSet, const unsigned char *data, size_t len,
               unsigned char *out, size_t cap, size_t *outLen, kc_result *res)
{
    kc_result st = KC_RESULT_INIT;
    int rc;
    if (cfg == nullptr || out == nullptr || outLen == nullptr || cap < KC_MAX_ANSWER) {
        rc = fail(&st, KC_E_ARGUMENT, EINVAL,
                  cfg == nullptr ? KC_D_NO_CONFIG : out == nullptr || outLen == nullptr ? KC_D_NO_OUTPUT
                                                                                        : KC_D_OUTPUT_SMALL);
        if (out != nullptr)
            explicit_bzero(out, cap);
        if (outLen != nullptr)
            *outLen = 0;
    } else {
        rc = kcGuarded([&] {
            kcSecret<KC_MAX_ANSWER> answer;
            size_t got = 0;
            int r = runCipher(*cfg, op, codeSet, data, len, &answer, &got, &st);
            handOver(r, answer.b, got, out, cap, outLen);
            return r;
        });
        if (rc == KC_E_NOMEM)
            fail(&st, rc, ENOMEM);
    }
    kcStore(res, st);
    return rc;
}

bool passwordBuffersFit(const kc_passwords *pw)
{
    return pw != nullptr && pw->size >= sizeof(kc_passwords) && pw->old_pw != nullptr && pw->new_pw != nullptr &&
           pw->old_cap >= KC_MAX_PASSWORD && pw->new_cap >= KC_MAX_PASSWORD;
}

} // namespace

extern "C" {

int kc_encipher(const kc_config *cfg, unsigned char code_set, const unsigned char *data, size_t len,
                unsigned char *out, size_t cap, size_t *out_len, kc_result *res)
{
    return cipherCall(cfg, 'A', code_set, data, len, out, cap, out_len, res);
}

int kc_decipher(const kc_config *cfg, unsigned char code_set, const unsigned char *data, size_t len,
                unsigned char *out, size_t cap, size_t *out_len, kc_result *res)
{
    return cipherCall(cfg, 'B', code_set, data, len, out, cap, out_len, res);
}

int kc_fetch_keys(const kc_config *cfg, const unsigned char *request16, unsigned char *out, size_t cap,
                  kc_result *res)
{
    kc_result st = KC_RESULT_INIT;
    int rc;
    if (cfg == nullptr || out == nullptr || cap < KC_KEY_BLOCK) {
        rc = fail(&st, KC_E_ARGUMENT, EINVAL,
                  cfg == nullptr ? KC_D_NO_CONFIG : out == nullptr ? KC_D_NO_OUTPUT : KC_D_OUTPUT_SMALL);
        if (out != nullptr)
            explicit_bzero(out, cap);
    } else {
        rc = kcGuarded([&] {
            kcSecret<KC_KEY_BLOCK> keys;
            size_t got = 0, len = 0;
            int r = fetchKeys(*cfg, request16, &keys, &got, &st);
            handOver(r, keys.b, got, out, cap, &len);
            return r;
        });
        if (rc == KC_E_NOMEM)
            fail(&st, rc, ENOMEM);
    }
    kcStore(res, st);
    return rc;
}

int kc_generate_password(const kc_config *cfg, unsigned char code_set, unsigned char encipher_flag,
                         const unsigned char *key, size_t key_len, kc_decide_fn decide, void *ctx,
                         kc_passwords *pw, kc_result *res)
{
    kc_result st = KC_RESULT_INIT;
    int rc;
    if (cfg == nullptr || !passwordBuffersFit(pw)) {
        rc = fail(&st, KC_E_ARGUMENT, EINVAL, cfg == nullptr ? KC_D_NO_CONFIG : KC_D_PASSWORD_BUFFERS);
        if (pw != nullptr && pw->size >= sizeof(kc_passwords)) {
            if (pw->old_pw != nullptr)
                explicit_bzero(pw->old_pw, pw->old_cap);
            if (pw->new_pw != nullptr)
                explicit_bzero(pw->new_pw, pw->new_cap);
            pw->old_len = pw->new_len = 0;
        }
    } else {
        rc = kcGuarded([&] {
            Passwords got;
            int r = generate(*cfg, code_set, encipher_flag, key, key_len, Decider{decide, ctx}, &got, &st);
            // What the agent sent stays for its own failures: the caller may want to see it.
            const bool keep = r == KC_OK || r == KC_E_AGENT || r == KC_E_UNKNOWN;
            handOver(keep ? KC_OK : r, got.oldPw.b, got.oldLen, pw->old_pw, pw->old_cap, &pw->old_len);
            handOver(keep ? KC_OK : r, got.newPw.b, got.newLen, pw->new_pw, pw->new_cap, &pw->new_len);
            return r;
        });
        if (rc == KC_E_NOMEM)
            fail(&st, rc, ENOMEM);
    }
    kcStore(res, st);
    return rc;
}

int kc_agent_new(const kc_config *cfg, kc_agent **out)
{
    return kcNewFrom(cfg, out);
}

void kc_agent_free(kc_agent *agent)
{
    delete agent;
}

int kc_agent_start(kc_agent *agent, char op)
{
    if (agent == nullptr)
        return KC_E_ARGUMENT;
    return kcGuarded([&] { return agent->start(op); });
}

int kc_agent_send(kc_agent *agent, const void *p, size_t n)
{
    if (agent == nullptr || (p == nullptr && n != 0))
        return KC_E_ARGUMENT;
    return agent->send(p, n);
}

int kc_agent_receive(kc_agent *agent, void *p, size_t n, size_t *got)
{
    if (got != nullptr)
        *got = 0;
    if (agent == nullptr || got == nullptr || (p == nullptr && n != 0))
        return KC_E_ARGUMENT;
    return agent->receive(p, n, got);
}

int kc_agent_receive_exact(kc_agent *agent, void *p, size_t n)
{
    if (agent == nullptr || (p == nullptr && n != 0))
        return KC_E_ARGUMENT;
    return agent->receiveExact(p, n);
}

void kc_agent_close_input(kc_agent *agent)
{
    if (agent != nullptr)
        agent->closeInput();
}

void kc_agent_close_output(kc_agent *agent)
{
    if (agent != nullptr)
        agent->closeOutput();
}

int kc_agent_finish(kc_agent *agent, kc_result *res)
{
    kc_result st = KC_RESULT_INIT;
    int rc = agent == nullptr ? fail(&st, KC_E_ARGUMENT, EINVAL, KC_D_NO_HANDLE) : agent->finish(&st);
    kcStore(res, st);
    return rc;
}

void kc_agent_extend_timeout(kc_agent *agent, int ms)
{
    if (agent != nullptr)
        agent->extendTimeout(ms);
}

pid_t kc_agent_pid(const kc_agent *agent)
{
    return agent == nullptr ? -1 : agent->agentPid_;
}

int kc_agent_input_fd(const kc_agent *agent)
{
    return agent == nullptr ? -1 : agent->toAgent_;
}

int kc_agent_output_fd(const kc_agent *agent)
{
    return agent == nullptr ? -1 : agent->fromAgent_;
}

int kc_agent_errno(const kc_agent *agent)
{
    return agent == nullptr ? 0 : agent->errno_;
}

} // extern "C"
