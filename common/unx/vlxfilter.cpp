#include "common/unx/vlxfilter.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/sched.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <termios.h>

#include <initializer_list>

#if defined(__SANITIZE_ADDRESS__)
#define VLX_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VLX_SANITIZED 1
#endif
#endif

namespace {

// Calls allowed whatever their arguments. Each group is one of the agent's
// own needs; docs/security.md says which path makes each call.
const int anyArgs[] = {
    // its descriptors: the pipes, the password directory, standard output and error
    SCMP_SYS(read), SCMP_SYS(readv), SCMP_SYS(pread64), SCMP_SYS(write), SCMP_SYS(writev), SCMP_SYS(pwrite64),
    SCMP_SYS(lseek), SCMP_SYS(close), SCMP_SYS(close_range), SCMP_SYS(fcntl), SCMP_SYS(poll), SCMP_SYS(ppoll),
    // the password directory: look, open, lock, create, write, flush, replace, sweep
    SCMP_SYS(openat), SCMP_SYS(open), SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(stat), SCMP_SYS(lstat),
    SCMP_SYS(statx), SCMP_SYS(getdents64), SCMP_SYS(flock), SCMP_SYS(fsync), SCMP_SYS(fdatasync),
    SCMP_SYS(fchown), SCMP_SYS(fchmod), SCMP_SYS(rename), SCMP_SYS(renameat), SCMP_SYS(renameat2),
    SCMP_SYS(unlink), SCMP_SYS(unlinkat), SCMP_SYS(mkdir), SCMP_SYS(mkdirat),
    // paths resolved before a directory or library is trusted, and the crypto
    // library's look for its approved-mode module
    SCMP_SYS(readlink), SCMP_SYS(readlinkat), SCMP_SYS(access), SCMP_SYS(faccessat), SCMP_SYS(faccessat2),
    // the lock-wait helper: started, watched and reaped
    SCMP_SYS(pipe2), SCMP_SYS(pipe), SCMP_SYS(wait4), SCMP_SYS(waitid), SCMP_SYS(getppid),
    SCMP_SYS(set_robust_list), SCMP_SYS(setitimer),
    // the audit line: one Unix socket to /dev/log (the socket call itself is checked below)
    SCMP_SYS(connect), SCMP_SYS(sendto), SCMP_SYS(getsockopt),
    // memory, and the crypto library mapped when AES is asked for
    SCMP_SYS(brk), SCMP_SYS(mmap), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(mprotect), SCMP_SYS(madvise),
    SCMP_SYS(futex),
    // random bytes, time, the host name that keys the password file
    SCMP_SYS(getrandom), SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(gettimeofday), SCMP_SYS(time),
    SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep), SCMP_SYS(uname),
    // identities, signals held and restored, the end
    SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(getuid), SCMP_SYS(geteuid), SCMP_SYS(getgid), SCMP_SYS(getegid),
    SCMP_SYS(getresuid), SCMP_SYS(getresgid), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction),
    SCMP_SYS(rt_sigreturn), SCMP_SYS(restart_syscall), SCMP_SYS(exit), SCMP_SYS(exit_group),
};

#ifdef VLX_SANITIZED
// The sanitizers' own calls (the leak check at the exit stops the process
// from a helper that shares its memory and traces it). Never in an agent that
// can be installed: a sanitized agent is refused by the install rules.
const int sanitizerArgs[] = {
    SCMP_SYS(ptrace),   SCMP_SYS(clone),          SCMP_SYS(prctl),     SCMP_SYS(sched_yield),
    SCMP_SYS(sigaltstack), SCMP_SYS(prlimit64), SCMP_SYS(getrlimit), SCMP_SYS(sched_getaffinity),
    SCMP_SYS(dup), SCMP_SYS(dup2), SCMP_SYS(dup3), SCMP_SYS(ioctl), SCMP_SYS(kill), SCMP_SYS(tgkill),
    SCMP_SYS(sysinfo), SCMP_SYS(getdents),
};
#endif

// Flags that would make the lock-wait helper share the agent's memory, its
// signal handlers or a new namespace: a fork has none of them.
const uint64_t threadLikeCloneFlags = CLONE_VM | CLONE_THREAD | CLONE_SIGHAND | CLONE_PTRACE | CLONE_VFORK |
                                      CLONE_NEWNS | CLONE_NEWUTS | CLONE_NEWIPC | CLONE_NEWUSER |
                                      CLONE_NEWPID | CLONE_NEWNET | CLONE_NEWCGROUP | CLONE_SETTLS;

// uid_t and pid_t arguments compared on their 32 bits.
const uint64_t idMask = 0xFFFFFFFFu;
const uint64_t uidKeep = 0xFFFFFFFFu;   // (uid_t)-1: leave this id as it is

// A call this architecture does not have is left out; any other failure to
// add a rule is a failure to confine.
int allow(scmp_filter_ctx ctx, int nr)
{
    if (nr == __NR_SCMP_ERROR || nr < 0)
        return 0;
    return seccomp_rule_add(ctx, SCMP_ACT_ALLOW, nr, 0);
}

bool allowedWhole(int nr)
{
#ifdef VLX_SANITIZED
    for (int s : sanitizerArgs)
        if (s == nr)
            return true;
#endif
    (void)nr;
    return false;
}

// One comparison of argument arg, every field set (libseccomp's SCMP_A*
// macros leave the second datum to the compiler's zero, which some compilers
// warn about).
scmp_arg_cmp argIs(unsigned arg, scmp_compare op, uint64_t a, uint64_t b = 0) { return scmp_arg_cmp{arg, op, a, b}; }

// Allows nr when its arguments match every comparison given.
int allowIf(scmp_filter_ctx ctx, int nr, std::initializer_list<scmp_arg_cmp> cmp)
{
    if (allowedWhole(nr))
        return 0;
    return seccomp_rule_add_array(ctx, SCMP_ACT_ALLOW, nr, static_cast<unsigned>(cmp.size()), cmp.begin());
}

int addArgRules(scmp_filter_ctx ctx, uint32_t realUid, uint32_t self)
{
    int r = 0;
    // The audit line's socket, and no other family.
    if ((r = allowIf(ctx, SCMP_SYS(socket), {argIs(0, SCMP_CMP_EQ, AF_UNIX)})) != 0)
        return r;
    // The lock-wait helper asks to die with the agent; nothing else is set.
    if ((r = allowIf(ctx, SCMP_SYS(prctl), {argIs(0, SCMP_CMP_EQ, PR_SET_PDEATHSIG)})) != 0)
        return r;
    // The lock-wait helper is a plain fork.
    if ((r = allowIf(ctx, SCMP_SYS(clone), {argIs(0, SCMP_CMP_MASKED_EQ, threadLikeCloneFlags, 0)})) != 0)
        return r;
    // clone3's flags lie in memory a filter cannot read: "not here" makes the
    // C library fall back to clone, which is checked above.
    if (SCMP_SYS(clone3) >= 0 && (r = seccomp_rule_add(ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0)) != 0)
        return r;
    // Signal 0 asks whether a writer still runs; no signal reaches another
    // process (the lock-wait helper ends itself at its deadline).
    if ((r = allowIf(ctx, SCMP_SYS(kill), {argIs(1, SCMP_CMP_EQ, 0)})) != 0)
        return r;
    // abort() signals the agent itself, and nobody else.
    if ((r = allowIf(ctx, SCMP_SYS(tgkill), {argIs(0, SCMP_CMP_MASKED_EQ, idMask, uint64_t{self})})) != 0)
        return r;
    // The real user id becomes root around the locked section and from a
    // confirmation on, and returns to the caller's; nothing else changes.
    for (uint64_t uid : {uint64_t{0}, uint64_t{realUid}})
        if ((r = allowIf(ctx, SCMP_SYS(setresuid),
                         {argIs(0, SCMP_CMP_MASKED_EQ, idMask, uid), argIs(1, SCMP_CMP_MASKED_EQ, idMask, uidKeep),
                          argIs(2, SCMP_CMP_MASKED_EQ, idMask, uidKeep)})) != 0)
            return r;
    // Standard output's buffering (is it a terminal?) and bytes left unread in the output pipe.
    for (unsigned long req : {static_cast<unsigned long>(TCGETS), static_cast<unsigned long>(FIONREAD)})
        if ((r = allowIf(ctx, SCMP_SYS(ioctl), {argIs(1, SCMP_CMP_EQ, req)})) != 0)
            return r;
    return 0;
}

} // namespace

int vlxBuildFilter(scmp_filter_ctx ctx, uint32_t realUid, uint32_t selfPid)
{
    int r = 0;
    for (int nr : anyArgs)
        if ((r = allow(ctx, nr)) != 0)
            return r;
#ifdef VLX_SANITIZED
    for (int nr : sanitizerArgs)
        if ((r = allow(ctx, nr)) != 0)
            return r;
#endif
    return addArgRules(ctx, realUid, selfPid);
}

