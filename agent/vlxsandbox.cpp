#include "agent/vlxsandbox.h"

#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "agent/vlxcaps.h"

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
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#endif

// The allowlist compiled by the build (vlxfiltergen from vlxfilter.cpp):
// vlxFilterCode and the marks of the two values known only at run time.
#include "vlxfilter.inc"
#endif

int vlxNoNewPrivs() { return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 ? 0 : -1; }

#ifndef KEL_SANDBOX

namespace {
int loadFilter(bool)
{
    errno = ENOSYS;   // built without the filter: every run is unconfined
    return -1;
}
} // namespace

#else

namespace {

constexpr size_t filterLenMax = std::size(vlxFilterCode) > std::size(vlxFilterCodeMapExec)
                                     ? std::size(vlxFilterCode)
                                     : std::size(vlxFilterCodeMapExec);

// A compiled allowlist with this run's values in place of their marks: the
// caller's real user id, and the agent's own process id.
template <size_t N>
size_t fillRunValues(const sock_filter (&from)[N], sock_filter (&prog)[filterLenMax])
{
    static_assert(N <= filterLenMax);
    const uint32_t realUid = getuid();
    const uint32_t self = static_cast<uint32_t>(getpid());
    for (size_t i = 0; i < N; ++i) {
        prog[i] = from[i];
        if (prog[i].code != (BPF_JMP | BPF_JEQ | BPF_K))
            continue;
        if (prog[i].k == VLX_FILTER_UID_MARK)
            prog[i].k = realUid;
        else if (prog[i].k == VLX_FILTER_PID_MARK)
            prog[i].k = self;
    }
    return N;
}

#ifdef KEL_TEST_HOOKS
// A test build's agent tries what the test names right after it is
// confined. The calls the filter leaves out end it by SIGSYS, or fail; each
// route below tries one way out of the confinement and must fail at every
// step: a step that works ends the run with 99, the refusals are listed on
// standard error and the request is then served as usual.
[[noreturn]] void probeCameBack(const char *probe, const char *what)
{
    fprintf(stderr, "sandbox probe %s came back: %s\n", probe, what);
    _exit(99);
}

void mustFail(const char *probe, const char *what, bool failed)
{
    if (!failed)
        probeCameBack(probe, what);
    fprintf(stderr, "sandbox probe %s refused: %s (%s)\n", probe, what, strerror(errno));
}

std::string inDir(const char *var, const char *name)
{
    const char *dir = getenv(var);
    return std::string(dir != nullptr ? dir : ".") + "/" + name;
}

pid_t probePid()
{
    const char *pid = getenv("KEL_TEST_PROBE_PID");
    return pid != nullptr ? static_cast<pid_t>(atoi(pid)) : 1;
}

// Another root process's memory, the way around every rule of this one.
void probeProcMem(const char *p)
{
    const std::string mem = "/proc/" + std::to_string(probePid()) + "/mem";
    int fd = open(mem.c_str(), O_RDWR | O_CLOEXEC);
    mustFail(p, "open another process's memory", fd < 0);
}

// A root set-user-id program made in the one directory the agent may write.
void probeSetId(const char *p)
{
    const std::string file = inDir("KEL_TEST_PROBE_DIR", "probe-setid");
    int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0)
        return mustFail(p, "create a file in the password directory", true);
    if (fchown(fd, 0, 0) != 0)
        fprintf(stderr, "sandbox probe %s: fchown failed (%s)\n", p, strerror(errno));
    for (mode_t mode : {mode_t{04755}, mode_t{02755}, mode_t{01777}})
        mustFail(p, "fchmod with a set-id or sticky bit", fchmod(fd, mode) != 0);
    close(fd);
    unlink(file.c_str());
}

// Files anywhere else: written, made, renamed, removed.
void probeFiles(const char *p)
{
    mustFail(p, "open /etc/passwd for writing", open("/etc/passwd", O_WRONLY | O_CLOEXEC) < 0);
    mustFail(p, "open core_pattern for writing", open("/proc/sys/kernel/core_pattern", O_WRONLY | O_CLOEXEC) < 0);
    mustFail(p, "create a file elsewhere",
             open(inDir("KEL_TEST_PROBE_OUTSIDE", "new").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600) < 0);
    mustFail(p, "make a directory elsewhere", mkdir(inDir("KEL_TEST_PROBE_OUTSIDE", "dir").c_str(), 0700) != 0);
    mustFail(p, "rename a file elsewhere",
             rename(inDir("KEL_TEST_PROBE_OUTSIDE", "a").c_str(), inDir("KEL_TEST_PROBE_OUTSIDE", "b").c_str()) != 0);
    mustFail(p, "remove a file elsewhere", unlink(inDir("KEL_TEST_PROBE_OUTSIDE", "a").c_str()) != 0);
    mustFail(p, "make a directory in the password directory",
             mkdir(inDir("KEL_TEST_PROBE_DIR", "probe-dir").c_str(), 0700) != 0);
}

// A stream Unix socket, by path or abstract name: a way to a service that runs as root.
void probeUnix(const char *p)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    mustFail(p, "make a Unix socket", fd < 0);
}

// A signal sent by the kernel on the agent's behalf.
void probeSigio(const char *p)
{
    mustFail(p, "F_SETOWN", fcntl(1, F_SETOWN, probePid()) != 0);
    mustFail(p, "F_SETSIG", fcntl(1, F_SETSIG, SIGKILL) != 0);
    mustFail(p, "O_ASYNC", fcntl(1, F_SETFL, O_ASYNC) != 0);
}

// A process that outlives the agent; locks and leases on others' files.
void probeForkAndLocks(const char *p)
{
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    mustFail(p, "fork", child < 0);
    int fd = open(inDir("KEL_TEST_PROBE_DIR", "ZAR.PWD").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        mustFail(p, "F_SETLEASE", fcntl(fd, F_SETLEASE, F_RDLCK) != 0);
        struct flock lk = {};
        lk.l_type = F_RDLCK;
        mustFail(p, "F_SETLK", fcntl(fd, F_SETLK, &lk) != 0);
        close(fd);
    }
    mustFail(p, "open another program's file", open("/etc/passwd", O_RDONLY | O_CLOEXEC) < 0);
}

// Any file read; a forged line on the log socket.
void probeReadAndLog(const char *p)
{
    mustFail(p, "read /etc/shadow", open("/etc/shadow", O_RDONLY | O_CLOEXEC) < 0);
    mustFail(p, "read another directory", open("/root", O_RDONLY | O_DIRECTORY | O_CLOEXEC) < 0);
    mustFail(p, "a new socket to the log", socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0) < 0);
}

// Code run from memory the agent wrote.
void probeExecMemory(const char *p)
{
    void *rwx = mmap(nullptr, 4096, PROT_READ | PROT_WRITE | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    mustFail(p, "map memory read-write-execute", rwx == MAP_FAILED);
    void *rw = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (rw != MAP_FAILED) {
        mustFail(p, "make written memory executable", mprotect(rw, 4096, PROT_READ | PROT_EXEC) != 0);
        munmap(rw, 4096);
    }
}

[[gnu::noinline]] void runProbe()
{
    const char *probe = getenv("KEL_TEST_SANDBOX_PROBE");
    if (probe == nullptr)
        return;
    struct Route {
        const char *name;
        void (*run)(const char *);
    };
    static const Route routes[] = {
        {"procmem", probeProcMem}, {"setid", probeSetId}, {"files", probeFiles},
        {"unix", probeUnix},       {"sigio", probeSigio}, {"fork", probeForkAndLocks},
        {"read", probeReadAndLog}, {"rwx", probeExecMemory},
    };
    for (const Route &r : routes)
        if (std::string_view(probe) == r.name)
            return r.run(probe);
    std::string_view p(probe);
    if (p == "execve") {
        char *const argv[] = {const_cast<char *>("/bin/true"), nullptr};
        execve("/bin/true", argv, environ);
    } else if (p == "tcp") {
        (void)socket(AF_INET, SOCK_STREAM, 0);
    } else if (p == "ptrace") {
        (void)ptrace(PTRACE_ATTACH, 1, nullptr, nullptr);
    } else {
        return;
    }
    probeCameBack(probe, "a forbidden call");
}
#endif

int loadFilter(bool mapExec)
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
    sock_filter code[filterLenMax];
    const size_t len = mapExec ? fillRunValues(vlxFilterCodeMapExec, code) : fillRunValues(vlxFilterCode, code);
    sock_fprog prog = {static_cast<unsigned short>(len), code};
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

} // namespace

#endif

int vlxConfine(const VlxFilePaths &paths, bool mapExec, VlxConfineResult *got)
{
    // The file rules and the capabilities need calls the filter leaves out:
    // both come first. The request benchmark's copies of the agent leave
    // them out (KEL_CONFINE_FILTER_ONLY) to measure what they cost.
#ifndef KEL_CONFINE_FILTER_ONLY
    // The crypto library is loaded after the rules only where its load
    // before them failed (mapExec): the request then tries again. Otherwise
    // it is loaded already or never will be, and nothing it needs is reached.
    VlxFilePaths reach = paths;
    if (!mapExec)
        reach.libraryDir = nullptr;
    got->files = vlxConfineFiles(reach);
    got->capsDropped = vlxDropCapabilities() == 0;
#else
    (void)paths;
    (void)got;
#endif
    return loadFilter(mapExec);
}

int vlxConfinementProbe()
{
    const pid_t child = fork();
    if (child < 0)
        return errno;
    if (child == 0)
        _exit(loadFilter(false) == 0 ? 0 : errno > 0 && errno < 256 ? errno : EINVAL);
    int status = 0;
    while (waitpid(child, &status, 0) < 0)
        if (errno != EINTR)
            return errno;
    return WIFEXITED(status) ? WEXITSTATUS(status) : EINVAL;
}
