#include "common/unx/vlxsandbox.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#ifdef KEL_SANDBOX
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <string_view>

#ifdef KEL_TEST_HOOKS
#include <netinet/in.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <cstdio>
#endif

// The allowlist compiled by the build (vlxfiltergen from vlxfilter.cpp):
// vlxFilterCode and the marks of the two values known only at run time.
#include "vlxfilter.inc"
#endif

int vlxNoNewPrivs() { return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 ? 0 : -1; }

#ifndef KEL_SANDBOX

int vlxConfine()
{
    errno = ENOSYS;   // built without the filter: every run is unconfined
    return -1;
}

#else

namespace {

constexpr size_t filterLen = std::size(vlxFilterCode);

// The compiled allowlist with this run's values in place of their marks: the
// caller's real user id, and the agent's own process id.
void fillRunValues(sock_filter (&prog)[filterLen])
{
    const uint32_t realUid = getuid();
    const uint32_t self = static_cast<uint32_t>(getpid());
    for (size_t i = 0; i < filterLen; ++i) {
        prog[i] = vlxFilterCode[i];
        if (prog[i].code != (BPF_JMP | BPF_JEQ | BPF_K))
            continue;
        if (prog[i].k == VLX_FILTER_UID_MARK)
            prog[i].k = realUid;
        else if (prog[i].k == VLX_FILTER_PID_MARK)
            prog[i].k = self;
    }
}

#ifdef KEL_TEST_HOOKS
// A test build's agent tries one forbidden call named by the test, right
// after the filter is loaded; it must never return from it.
[[gnu::noinline]] void runProbe()
{
    const char *probe = getenv("KEL_TEST_SANDBOX_PROBE");
    if (probe == nullptr)
        return;
    std::string_view p(probe);
    if (p == "execve") {
        char *const argv[] = {const_cast<char *>("/bin/true"), nullptr};
        execve("/bin/true", argv, environ);
    } else if (p == "tcp") {
        (void)socket(AF_INET, SOCK_STREAM, 0);
    } else if (p == "ptrace") {
        (void)ptrace(PTRACE_ATTACH, getppid(), nullptr, nullptr);
    } else {
        return;
    }
    fprintf(stderr, "sandbox probe %s came back\n", probe);
    _exit(99);
}
#endif

} // namespace

int vlxConfine()
{
#ifdef KEL_TEST_HOOKS
    if (const char *probe = getenv("KEL_TEST_SANDBOX_PROBE"); probe != nullptr && std::string_view(probe) == "unloadable") {
        errno = EINVAL;   // as a kernel without seccomp would answer
        return -1;
    }
#endif
    // Without no-new-privileges the kernel takes a filter only from a
    // process with CAP_SYS_ADMIN; the agent sets it first either way.
    if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1 && vlxNoNewPrivs() != 0)
        return -1;
    sock_filter code[filterLen];
    fillRunValues(code);
    sock_fprog prog = {static_cast<unsigned short>(filterLen), code};
    // Calls the filter denies go to the kernel's audit log, where a kernel
    // knows the flag; one that does not still takes the filter without it.
    if (syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_LOG, &prog) != 0 &&
        (errno != EINVAL || syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) != 0))
        return -1;
#ifdef KEL_TEST_HOOKS
    runProbe();
#endif
    return 0;
}

#endif

int vlxConfinementProbe()
{
    const pid_t child = fork();
    if (child < 0)
        return errno;
    if (child == 0)
        _exit(vlxConfine() == 0 ? 0 : errno > 0 && errno < 256 ? errno : EINVAL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return errno;
    return WIFEXITED(status) ? WEXITSTATUS(status) : EINVAL;
}
