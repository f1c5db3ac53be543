// Starting the agent and waiting for it: the helper's side, the waiter's
// clone and the agent's child (kcstart.h says why both ways exist).
#include "client/kcstart.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "base/fio.h"

#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000   // the kernel's value, for older C library headers
#endif

namespace kc {

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

int pidfdOpen(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

namespace {

// Exit statuses of the library's own processes. The helper's means nothing
// (the agent's status travels in its report); the agent's child that could
// not exec ends as a shell's command that could not run; a waiter left
// running ends with the agent's status, or as a shell reports a signal.
constexpr int HELPER_EXIT = 0;
constexpr int EXEC_FAILED_EXIT = 127;
constexpr int SIGNALLED_EXIT_BASE = 128;
constexpr int EXIT_STATUS_MASK = 255;   // what a wait reports of an exit status

// ---- The helper's side. It is forked from a process that may run other
// threads, so until it exits it calls only async-signal-safe functions and
// system calls; everything it needs is built before the fork.

[[noreturn]] void helperExit()
{
    _exit(HELPER_EXIT);
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
    _exit(EXEC_FAILED_EXIT);
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
    (void)syscall(SYS_exit, EXEC_FAILED_EXIT);
    return EXEC_FAILED_EXIT;
}

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
    return info.si_code == CLD_EXITED ? (info.si_status & EXIT_STATUS_MASK) : SIGNALLED_EXIT_BASE + info.si_status;
}

} // namespace

pid_t helperStart(const SpawnPlan &plan, int reportRead, int controlWrite)
{
    const pid_t pid = fork();
    if (pid == 0) {
        close(reportRead);
        close(controlWrite);
        helperRun(plan);
    }
    return pid;
}

// A pidfd of the caller itself, which is not its own child, gives ECHILD
// exactly where P_PIDFD is known.
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

// Every signal is held in the calling thread across the clone, so that the
// waiter starts with all held and the agent's child takes none before its
// handlers are reset.
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

} // namespace kc
