// The system-call filter as the agent loads it, in a child per call: a call
// only an attack makes ends the process by SIGSYS, a call nobody foresaw
// fails with ENOSYS, and the agent's own calls go through.
#include "agent/vlxsandbox.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/sched.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#define FILTER_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FILTER_TEST_SANITIZED 1
#endif
#endif
#ifndef FILTER_TEST_SANITIZED
#define FILTER_TEST_SANITIZED 0
#endif

namespace {

enum class Fate { Killed, Denied, Allowed };

const char *fateName(Fate f) { return f == Fate::Killed ? "killed" : f == Fate::Denied ? "ENOSYS" : "allowed"; }

// What became of one call made under the filter in a child: killed by
// SIGSYS, failed with ENOSYS, or anything else (allowed: the kernel's own
// answer). The child reports the call's errno by its exit status.
Fate fateOf(long (*call)(), std::string *seen)
{
    fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        VlxConfineResult got;
        if (vlxConfine(VlxFilePaths{}, false, &got) != 0)
            _exit(200);
        errno = 0;
        const long r = call();
        _exit(r == -1 && errno == ENOSYS ? 201 : 0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) {
        *seen = "no child";
        return Fate::Allowed;
    }
    *seen = WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                : "exit " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS)
        return Fate::Killed;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 201)
        return Fate::Denied;
    return Fate::Allowed;
}

// A key no segment has: shmget without IPC_CREAT makes nothing.
constexpr long absentShmKey = 0x4B454C01;

TEST(VlxConfine, KillsAttacksDeniesTheUnforeseenServesTheAgent)
{
    if (int err = vlxConfinementProbe(); err != 0)
        GTEST_SKIP() << "no filter here (" << strerror(err) << "): the kernel will not take it, or the build leaves it out";
    struct Case {
        const char *name;
        long (*call)();
        Fate fate;
        bool sanitizerAllows;   // the sanitizer build's filter allows the call whole for its runtime
    } cases[] = {
        {"execve", [] { return syscall(SYS_execve, "/bin/true", nullptr, nullptr); }, Fate::Killed, false},
        {"a TCP socket", [] { return syscall(SYS_socket, AF_INET, SOCK_STREAM, 0); }, Fate::Killed, false},
        {"a netlink socket", [] { return syscall(SYS_socket, AF_NETLINK, SOCK_RAW, 0); }, Fate::Killed, false},
        {"ptrace", [] { return syscall(SYS_ptrace, 0, 0, 0, 0); }, Fate::Killed, true},
        {"process_vm_readv", [] { return syscall(SYS_process_vm_readv, 1, nullptr, 0, nullptr, 0, 0); }, Fate::Killed,
         false},
        {"bind", [] { return syscall(SYS_bind, -1, nullptr, 0); }, Fate::Killed, false},
        {"setuid", [] { return syscall(SYS_setuid, 0); }, Fate::Killed, false},
        {"setgroups", [] { return syscall(SYS_setgroups, 0, nullptr); }, Fate::Killed, false},
        {"setresuid of the effective id", [] { return syscall(SYS_setresuid, -1, 0, -1); }, Fate::Killed, false},
        {"setresuid of the saved id", [] { return syscall(SYS_setresuid, -1, -1, 0); }, Fate::Killed, false},
        {"mount", [] { return syscall(SYS_mount, "none", "/", "tmpfs", 0, nullptr); }, Fate::Killed, false},
        {"unshare", [] { return syscall(SYS_unshare, 0); }, Fate::Killed, false},
        {"clone into a new user namespace", [] { return syscall(SYS_clone, CLONE_NEWUSER | SIGCHLD, 0, 0, 0, 0); },
         Fate::Killed, true},
        {"clone into a new mount namespace", [] { return syscall(SYS_clone, CLONE_NEWNS | SIGCHLD, 0, 0, 0, 0); },
         Fate::Killed, true},
        {"clone sharing the memory", [] { return syscall(SYS_clone, CLONE_VM | CLONE_VFORK | SIGCHLD, 0, 0, 0, 0); },
         Fate::Killed, true},
        {"bpf", [] { return syscall(SYS_bpf, 0, nullptr, 0); }, Fate::Killed, false},
        {"keyctl", [] { return syscall(SYS_keyctl, 0, 0, 0, 0, 0); }, Fate::Killed, false},
        {"personality", [] { return syscall(SYS_personality, 0xffffffffUL); }, Fate::Killed, false},
        {"io_uring_setup", [] { return syscall(SYS_io_uring_setup, 0, nullptr); }, Fate::Killed, false},
        {"init_module", [] { return syscall(SYS_init_module, nullptr, 0, ""); }, Fate::Killed, false},
        {"getcpu", [] { unsigned cpu; return syscall(SYS_getcpu, &cpu, nullptr, nullptr); }, Fate::Denied, false},
        {"shmget", [] { return syscall(SYS_shmget, absentShmKey, 0, 0); }, Fate::Denied, false},
        {"sched_getaffinity",
         [] { unsigned long m[16]; return syscall(SYS_sched_getaffinity, 0, sizeof m, m); }, Fate::Denied, true},
        {"getcwd", [] { char b[64]; return syscall(SYS_getcwd, b, sizeof b); }, Fate::Denied, false},
        {"chmod by path", [] { return syscall(SYS_chmod, "/nonexistent", 0777); }, Fate::Denied, false},
        {"the tracer's skipped call (-1)", [] { return syscall(-1); }, Fate::Denied, false},
        {"clone3", [] { return syscall(SYS_clone3, nullptr, 0); }, Fate::Denied, false},
        {"prctl other than the parent-death signal", [] { return syscall(SYS_prctl, PR_SET_DUMPABLE, 1, 0, 0, 0); },
         Fate::Denied, true},
        {"prctl of the parent-death signal (no helper needs it)",
         [] { return syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0); }, Fate::Denied, true},
        {"a signal to another process", [] { return syscall(SYS_kill, getppid(), SIGCONT); }, Fate::Denied, true},
        {"setresuid of the real id to a stranger's", [] { return syscall(SYS_setresuid, 54321, -1, -1); },
         Fate::Denied, false},
        {"a Unix socket (the audit line's is made before)", [] { return syscall(SYS_socket, AF_UNIX, SOCK_DGRAM, 0); },
         Fate::Denied, false},
        {"connect", [] { return syscall(SYS_connect, -1, nullptr, 0); }, Fate::Denied, false},
        {"a plain fork",
         [] {
             const pid_t p = fork();
             if (p == 0)
                 _exit(0);
             return static_cast<long>(p < 0 ? -1 : waitpid(p, nullptr, 0));
         },
         Fate::Denied, true},
        {"fchmod with the set-user-id bit", [] { return syscall(SYS_fchmod, -1, 04755); }, Fate::Denied, false},
        {"fchmod with the set-group-id bit", [] { return syscall(SYS_fchmod, -1, 02700); }, Fate::Denied, false},
        {"fchmod with the sticky bit", [] { return syscall(SYS_fchmod, -1, 01777); }, Fate::Denied, false},
        {"fcntl F_SETOWN", [] { return syscall(SYS_fcntl, -1, F_SETOWN, 1); }, Fate::Denied, true},
        {"fcntl F_SETSIG", [] { return syscall(SYS_fcntl, -1, F_SETSIG, SIGKILL); }, Fate::Denied, true},
        {"fcntl F_SETLEASE", [] { return syscall(SYS_fcntl, -1, F_SETLEASE, F_RDLCK); }, Fate::Denied, true},
        {"fcntl F_SETLK", [] { return syscall(SYS_fcntl, -1, F_SETLK, nullptr); }, Fate::Denied, true},
        {"fcntl F_SETFL with O_ASYNC", [] { return syscall(SYS_fcntl, -1, F_SETFL, O_ASYNC); }, Fate::Denied, true},
        {"mmap with PROT_EXEC",
         [] { return syscall(SYS_mmap, nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); },
         Fate::Denied, false},
        {"mprotect with PROT_EXEC", [] { return syscall(SYS_mprotect, nullptr, 0, PROT_READ | PROT_EXEC); },
         Fate::Denied, false},
        {"getpid", [] { return syscall(SYS_getpid); }, Fate::Allowed, false},
        {"whether a process runs (signal 0)", [] { return syscall(SYS_kill, getppid(), 0); }, Fate::Allowed, false},
        {"fchmod to an ordinary mode", [] { return syscall(SYS_fchmod, -1, 0600); }, Fate::Allowed, false},
        {"fcntl F_GETFL", [] { return syscall(SYS_fcntl, -1, F_GETFL); }, Fate::Allowed, false},
        {"fcntl F_SETFL without O_ASYNC", [] { return syscall(SYS_fcntl, -1, F_SETFL, O_NONBLOCK); }, Fate::Allowed,
         false},
        {"mmap without PROT_EXEC",
         [] { return syscall(SYS_mmap, nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); },
         Fate::Allowed, false},
    };
    for (const Case &c : cases) {
        if (FILTER_TEST_SANITIZED && c.sanitizerAllows) {
            printf("not run: %s: the sanitizer build's filter allows it for the runtime\n", c.name);
            continue;
        }
        std::string seen;
        EXPECT_EQ(fateName(fateOf(c.call, &seen)), std::string(fateName(c.fate))) << c.name << ": " << seen;
    }
}

} // namespace
