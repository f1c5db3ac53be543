#include "base/psshm.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int SHM_FLAGS = IPC_CREAT | 0600;   // octal 1600

} // namespace

void *pkShmMalloc(uint64_t size, int *shmId)
{
    if (shmId != nullptr)
        *shmId = 0;
    int id = shmget(IPC_PRIVATE, static_cast<size_t>(size), SHM_FLAGS);
    if (id < 0)
        return nullptr;
    // The segment belongs to the user who started the program, not to the
    // effective user it runs as. Best effort: the segment is private either way.
    struct shmid_ds ds;
    if (shmctl(id, IPC_STAT, &ds) == 0) {
        ds.shm_perm.uid = getuid();
        (void)shmctl(id, IPC_SET, &ds);
    }
    void *addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        int err = errno;
        shmctl(id, IPC_RMID, nullptr);
        errno = err;
        return nullptr;
    }
    if (shmId != nullptr)
        *shmId = id;
    return addr;
}

void pkReleaseShrMem(int shmId, void *addr)
{
    if (shmId == -1)
        return;
    if (addr != nullptr)
        shmdt(addr);
    shmctl(shmId, IPC_RMID, nullptr);
}
