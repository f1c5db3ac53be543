#include "agent/vlxfilter.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
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
    SCMP_SYS(lseek), SCMP_SYS(close), SCMP_SYS(close_range), SCMP_SYS(poll), SCMP_SYS(ppoll),
    // the password directory: look, open, lock, create, write, flush, replace, sweep
    SCMP_SYS(openat), SCMP_SYS(open), SCMP_SYS(fstat), SCMP_SYS(newfstatat), SCMP_SYS(stat), SCMP_SYS(lstat),
    SCMP_SYS(statx), SCMP_SYS(getdents64), SCMP_SYS(flock), SCMP_SYS(fsync), SCMP_SYS(fdatasync),
    SCMP_SYS(fchown), SCMP_SYS(rename), SCMP_SYS(renameat), SCMP_SYS(renameat2),
    SCMP_SYS(unlink), SCMP_SYS(unlinkat), SCMP_SYS(mkdir), SCMP_SYS(mkdirat),
    // paths resolved before a directory or library is trusted, and the crypto
    // library's look for its approved-mode module
    SCMP_SYS(readlink), SCMP_SYS(readlinkat), SCMP_SYS(access), SCMP_SYS(faccessat), SCMP_SYS(faccessat2),
    // the audit line, on the socket connected to /dev/log before the filter
    SCMP_SYS(sendto),
    // memory (mmap and mprotect are checked below)
    SCMP_SYS(brk), SCMP_SYS(munmap), SCMP_SYS(mremap), SCMP_SYS(madvise), SCMP_SYS(futex),
    // random bytes, time, the host name that keys the password file
    SCMP_SYS(getrandom), SCMP_SYS(clock_gettime), SCMP_SYS(clock_getres), SCMP_SYS(gettimeofday), SCMP_SYS(time),
    SCMP_SYS(nanosleep), SCMP_SYS(clock_nanosleep), SCMP_SYS(uname),
    // identities, signals held and restored, the end
    SCMP_SYS(getpid), SCMP_SYS(gettid), SCMP_SYS(getuid), SCMP_SYS(geteuid), SCMP_SYS(getgid), SCMP_SYS(getegid),
    SCMP_SYS(getresuid), SCMP_SYS(getresgid), SCMP_SYS(rt_sigprocmask), SCMP_SYS(rt_sigaction),
    SCMP_SYS(rt_sigreturn), SCMP_SYS(restart_syscall), SCMP_SYS(exit), SCMP_SYS(exit_group),
};

// Calls that only an attack makes: each ends the process at once, whatever
// its arguments. Everything neither here nor allowed fails with ENOSYS (the
// filter's default), so that a call the agent's libraries make where nobody
// foresaw it meets an error they handle instead of ending the request.
const int killedCalls[] = {
    // starting another program
    SCMP_SYS(execve), SCMP_SYS(execveat),
    // reading or changing another process
    SCMP_SYS(ptrace), SCMP_SYS(process_vm_readv), SCMP_SYS(process_vm_writev),
    // serving the network (the only socket allowed is the audit line's client)
    SCMP_SYS(bind), SCMP_SYS(listen), SCMP_SYS(accept), SCMP_SYS(accept4),
    // identities other than the real user id the agent sets (setresuid, below)
    SCMP_SYS(setuid), SCMP_SYS(setgid), SCMP_SYS(setreuid), SCMP_SYS(setregid), SCMP_SYS(setresgid),
    SCMP_SYS(setfsuid), SCMP_SYS(setfsgid), SCMP_SYS(setgroups),
    // another view of the file systems
    SCMP_SYS(mount), SCMP_SYS(umount2), SCMP_SYS(pivot_root), SCMP_SYS(chroot), SCMP_SYS(fsopen),
    SCMP_SYS(fsconfig), SCMP_SYS(fsmount), SCMP_SYS(fspick), SCMP_SYS(move_mount), SCMP_SYS(open_tree),
    SCMP_SYS(mount_setattr),
    // other namespaces
    SCMP_SYS(unshare), SCMP_SYS(setns),
    // the kernel's own programs, keys, execution domains and event interfaces
    SCMP_SYS(bpf), SCMP_SYS(keyctl), SCMP_SYS(add_key), SCMP_SYS(request_key), SCMP_SYS(personality),
    SCMP_SYS(userfaultfd), SCMP_SYS(perf_event_open), SCMP_SYS(io_uring_setup), SCMP_SYS(io_uring_enter),
    SCMP_SYS(io_uring_register),
    // kernel code
    SCMP_SYS(init_module), SCMP_SYS(finit_module), SCMP_SYS(delete_module), SCMP_SYS(kexec_load),
    SCMP_SYS(kexec_file_load),
};

#ifdef VLX_SANITIZED
// The sanitizers' own calls (the leak check at the exit stops the process
// from a helper that shares its memory and traces it). Never in an agent that
// can be installed: a sanitized agent is refused by the install rules.
const int sanitizerArgs[] = {
    SCMP_SYS(ptrace),   SCMP_SYS(clone),          SCMP_SYS(prctl),     SCMP_SYS(sched_yield),
    SCMP_SYS(sigaltstack), SCMP_SYS(prlimit64), SCMP_SYS(getrlimit), SCMP_SYS(sched_getaffinity),
    SCMP_SYS(dup), SCMP_SYS(dup2), SCMP_SYS(dup3), SCMP_SYS(ioctl), SCMP_SYS(kill), SCMP_SYS(tgkill),
    SCMP_SYS(sysinfo), SCMP_SYS(getdents), SCMP_SYS(wait4), SCMP_SYS(waitid), SCMP_SYS(pipe), SCMP_SYS(pipe2),
    SCMP_SYS(getppid), SCMP_SYS(fcntl),
};
#endif

// Flags that would make a new process share the agent's memory, its signal
// handlers or a new namespace: a clone with any of them ends the process (the
// agent starts no process at all: a plain fork fails with ENOSYS). The
// namespace flags other than CLONE_NEWNS are the top bits of the word: one
// comparison (flags at or above the lowest of them) stands for all of them,
// and keeps the program short.
const uint64_t threadLikeCloneFlags[] = {CLONE_VM,    CLONE_THREAD, CLONE_SIGHAND, CLONE_PTRACE,
                                         CLONE_VFORK, CLONE_NEWNS,  CLONE_SETTLS};
const uint64_t lowestTopNamespaceFlag = CLONE_NEWCGROUP;
static_assert(CLONE_NEWCGROUP < CLONE_NEWUTS && CLONE_NEWUTS < CLONE_NEWIPC && CLONE_NEWIPC < CLONE_NEWUSER &&
                  CLONE_NEWUSER < CLONE_NEWPID && CLONE_NEWPID < CLONE_NEWNET,
              "the namespace flags compared at once are the top bits");

// uid_t and pid_t arguments compared on their 32 bits.
const uint64_t idMask = 0xFFFFFFFFu;
const uint64_t uidKeep = 0xFFFFFFFFu;   // (uid_t)-1: leave this id as it is

// A call this architecture does not have is left out; any other failure to
// add a rule is a failure to confine.
bool absent(int nr) { return nr == __NR_SCMP_ERROR || nr < 0; }

int allow(scmp_filter_ctx ctx, int nr)
{
    if (absent(nr))
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

int killWhole(scmp_filter_ctx ctx, int nr)
{
    if (absent(nr) || allowedWhole(nr))
        return 0;
    return seccomp_rule_add(ctx, SCMP_ACT_KILL_PROCESS, nr, 0);
}

// One comparison of argument arg, every field set (libseccomp's SCMP_A*
// macros leave the second datum to the compiler's zero, which some compilers
// warn about).
scmp_arg_cmp argIs(unsigned arg, scmp_compare op, uint64_t a, uint64_t b = 0) { return scmp_arg_cmp{arg, op, a, b}; }

// Gives nr the action when its arguments match every comparison given. A
// call the sanitizer build allows whole keeps no argument rule.
int ruleIf(scmp_filter_ctx ctx, uint32_t action, int nr, std::initializer_list<scmp_arg_cmp> cmp)
{
    if (allowedWhole(nr))
        return 0;
    return seccomp_rule_add_array(ctx, action, nr, static_cast<unsigned>(cmp.size()), cmp.begin());
}

int allowIf(scmp_filter_ctx ctx, int nr, std::initializer_list<scmp_arg_cmp> cmp)
{
    return ruleIf(ctx, SCMP_ACT_ALLOW, nr, cmp);
}

int killIf(scmp_filter_ctx ctx, int nr, std::initializer_list<scmp_arg_cmp> cmp)
{
    return ruleIf(ctx, SCMP_ACT_KILL_PROCESS, nr, cmp);
}

// Memory is mapped and protected without PROT_EXEC once the crypto library
// is loaded, or when the request never needs it: no code can be made to run
// from memory written at run time (PROT_EXEC there fails with ENOSYS).
int addMemoryRules(scmp_filter_ctx ctx, bool mapExec)
{
    int r = 0;
    for (int nr : {SCMP_SYS(mmap), SCMP_SYS(mprotect)}) {
        if (mapExec)
            r = allow(ctx, nr);
        else
            r = allowIf(ctx, nr, {argIs(2, SCMP_CMP_MASKED_EQ, PROT_EXEC, 0)});
        if (r != 0)
            return r;
    }
    return 0;
}

// A call allowed with some arguments and killed with others; with any
// other arguments it fails with ENOSYS.
int addArgRules(scmp_filter_ctx ctx, uint32_t realUid, uint32_t self)
{
    int r = 0;
    // The new file's mode, never with set-user-id, set-group-id or sticky bits.
    if ((r = allowIf(ctx, SCMP_SYS(fchmod), {argIs(1, SCMP_CMP_MASKED_EQ, S_ISUID | S_ISGID | S_ISVTX, 0)})) != 0)
        return r;
    // Descriptor flags and status flags, the C library's and the agent's own
    // uses; no owner, signal, lease, lock or O_ASYNC.
    for (int cmd : {F_GETFD, F_SETFD, F_GETFL})
        if ((r = allowIf(ctx, SCMP_SYS(fcntl), {argIs(1, SCMP_CMP_EQ, static_cast<uint64_t>(cmd))})) != 0)
            return r;
    if ((r = allowIf(ctx, SCMP_SYS(fcntl),
                     {argIs(1, SCMP_CMP_EQ, F_SETFL), argIs(2, SCMP_CMP_MASKED_EQ, O_ASYNC, 0)})) != 0)
        return r;
    // The audit line's socket is connected before the filter: a Unix socket
    // fails with ENOSYS, any other family ends the process.
    if ((r = killIf(ctx, SCMP_SYS(socket), {argIs(0, SCMP_CMP_NE, AF_UNIX)})) != 0)
        return r;
    // clone3's flags lie in memory a filter cannot read: it fails with ENOSYS.
    for (uint64_t flag : threadLikeCloneFlags)
        if ((r = killIf(ctx, SCMP_SYS(clone), {argIs(0, SCMP_CMP_MASKED_EQ, flag, flag)})) != 0)
            return r;
    if ((r = killIf(ctx, SCMP_SYS(clone), {argIs(0, SCMP_CMP_GE, lowestTopNamespaceFlag)})) != 0)
        return r;
    // Signal 0 asks whether a writer still runs; no signal reaches another
    // process.
    if ((r = allowIf(ctx, SCMP_SYS(kill), {argIs(1, SCMP_CMP_EQ, 0)})) != 0)
        return r;
    // abort() signals the agent itself, and nobody else.
    if ((r = allowIf(ctx, SCMP_SYS(tgkill), {argIs(0, SCMP_CMP_MASKED_EQ, idMask, uint64_t{self})})) != 0)
        return r;
    // The real user id becomes root around the locked section and from a
    // confirmation on, and returns to the caller's. A change of the
    // effective or saved id ends the process; a real id other than these
    // two fails with ENOSYS (one rule cannot compare an argument twice).
    for (uint64_t uid : {uint64_t{0}, uint64_t{realUid}})
        if ((r = allowIf(ctx, SCMP_SYS(setresuid),
                         {argIs(0, SCMP_CMP_MASKED_EQ, idMask, uid), argIs(1, SCMP_CMP_MASKED_EQ, idMask, uidKeep),
                          argIs(2, SCMP_CMP_MASKED_EQ, idMask, uidKeep)})) != 0)
            return r;
    for (unsigned arg : {1u, 2u})
        if ((r = killIf(ctx, SCMP_SYS(setresuid), {argIs(arg, SCMP_CMP_NE, uidKeep)})) != 0)
            return r;
    // Standard output's buffering (is it a terminal?) and bytes left unread in the output pipe.
    for (unsigned long req : {static_cast<unsigned long>(TCGETS), static_cast<unsigned long>(FIONREAD)})
        if ((r = allowIf(ctx, SCMP_SYS(ioctl), {argIs(1, SCMP_CMP_EQ, req)})) != 0)
            return r;
    return 0;
}

} // namespace

int vlxBuildFilter(scmp_filter_ctx ctx, uint32_t realUid, uint32_t selfPid, bool mapExec)
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
    for (int nr : killedCalls)
        if ((r = killWhole(ctx, nr)) != 0)
            return r;
    if ((r = addMemoryRules(ctx, mapExec)) != 0)
        return r;
    return addArgRules(ctx, realUid, selfPid);
}

