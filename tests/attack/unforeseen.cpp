// Preloaded into a root caller's agent: an allocator wrapper that makes one
// system call the agent's filter does not foresee on every allocation, as
// hardened allocators do (KEL_UNFORESEEN_CALL: getcpu, shmget or
// sched_getaffinity). At the exit it writes to KEL_UNFORESEEN_MARKER how many
// calls it made and how many failed with ENOSYS, so a test knows the calls
// happened under the filter and were denied, not fatal.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Memory handed out while dlsym itself allocates, before the real allocator is known.
alignas(16) char bootArena[16384];
size_t bootUsed = 0;
bool inLookup = false;

void *(*realMalloc)(size_t) = nullptr;
void *(*realCalloc)(size_t, size_t) = nullptr;
void *(*realRealloc)(void *, size_t) = nullptr;
void (*realFree)(void *) = nullptr;

enum class Call { unread, none, getcpu, shmget, affinity };
Call which = Call::unread;
unsigned long made = 0, denied = 0;

// A key no segment of this machine has: without IPC_CREAT nothing is made.
constexpr long absentShmKey = 0x4B454C00;

void makeTheCall()
{
    if (which == Call::unread) {
        const char *name = getenv("KEL_UNFORESEEN_CALL");
        which = name == nullptr                          ? Call::none
                : strcmp(name, "getcpu") == 0            ? Call::getcpu
                : strcmp(name, "shmget") == 0            ? Call::shmget
                : strcmp(name, "sched_getaffinity") == 0 ? Call::affinity
                                                         : Call::none;
    }
    const int saved = errno;
    long r = 0;
    unsigned cpu = 0;
    unsigned long mask[16];
    switch (which) {
    case Call::getcpu: r = syscall(SYS_getcpu, &cpu, nullptr, nullptr); break;
    case Call::shmget: r = syscall(SYS_shmget, absentShmKey, 0, 0); break;
    case Call::affinity: r = syscall(SYS_sched_getaffinity, 0, sizeof mask, mask); break;
    default: errno = saved; return;
    }
    ++made;
    if (r < 0 && errno == ENOSYS)
        ++denied;
    errno = saved;
}

void lookUp()
{
    if (realMalloc != nullptr || inLookup)
        return;
    inLookup = true;
    realCalloc = reinterpret_cast<void *(*)(size_t, size_t)>(dlsym(RTLD_NEXT, "calloc"));
    realRealloc = reinterpret_cast<void *(*)(void *, size_t)>(dlsym(RTLD_NEXT, "realloc"));
    realFree = reinterpret_cast<void (*)(void *)>(dlsym(RTLD_NEXT, "free"));
    realMalloc = reinterpret_cast<void *(*)(size_t)>(dlsym(RTLD_NEXT, "malloc"));
    inLookup = false;
}

void *bootAlloc(size_t n)
{
    n = (n + 15) & ~size_t{15};
    if (n > sizeof bootArena - bootUsed)
        return nullptr;
    void *p = bootArena + bootUsed;
    bootUsed += n;
    return p;   // the arena starts zeroed and is never reused
}

bool fromBoot(const void *p)
{
    return static_cast<const char *>(p) >= bootArena && static_cast<const char *>(p) < bootArena + sizeof bootArena;
}

[[gnu::destructor]] void report()
{
    const char *path = getenv("KEL_UNFORESEEN_MARKER");
    if (path == nullptr)
        return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    char line[64];
    int n = snprintf(line, sizeof line, "%lu %lu\n", made, denied);
    if (n > 0)
        (void)!write(fd, line, static_cast<size_t>(n));
    close(fd);
}

} // namespace

extern "C" {

void *malloc(size_t n)
{
    makeTheCall();
    lookUp();
    return realMalloc != nullptr ? realMalloc(n) : bootAlloc(n);
}

void *calloc(size_t n, size_t size)
{
    makeTheCall();
    lookUp();
    if (realCalloc != nullptr)
        return realCalloc(n, size);
    return size != 0 && n > static_cast<size_t>(-1) / size ? nullptr : bootAlloc(n * size);
}

void *realloc(void *p, size_t n)
{
    makeTheCall();
    lookUp();
    if (p == nullptr || !fromBoot(p))
        return realRealloc != nullptr ? realRealloc(p, n) : bootAlloc(n);
    void *q = malloc(n);   // a boot block's size is not kept: copy what the arena can still hold
    if (q != nullptr) {
        const size_t room = static_cast<size_t>(bootArena + sizeof bootArena - static_cast<char *>(p));
        memcpy(q, p, n < room ? n : room);
    }
    return q;
}

void free(void *p)
{
    if (p == nullptr || fromBoot(p))
        return;
    lookUp();
    if (realFree != nullptr)
        realFree(p);
}
}
