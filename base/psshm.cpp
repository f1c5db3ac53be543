#include "base/psshm.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "diag/trace.h"

static const char trSrcFile[] = "psshm";

namespace {

constexpr int SHM_FLAGS = IPC_CREAT | 0600;   // octal 1600

const char *errnoName(int err, char *buf, size_t bufSize)
{
    switch (err) {
    case ENOENT: return "ENOENT";
    case ENOMEM: return "ENOMEM";
    case EACCES: return "EACCES";
    case EEXIST: return "EEXIST";
    case EINVAL: return "EINVAL";
    case EIDRM: return "EIDRM";
    default: snprintf(buf, bufSize, "%d", err); return buf;
    }
}

} // namespace

void *pkShmMalloc(uint64_t size, int *shmId)
{
    if (shmId != nullptr)
        *shmId = 0;
    int id = shmget(IPC_PRIVATE, static_cast<size_t>(size), SHM_FLAGS);
    if (id < 0) {
        int err = errno;
        char num[16];
        trLogPrintf(trSrcFile, __LINE__, TR_COMM,
                    "Error allocating Shared Memory block: errno(%s), reason(%s), shmflg(%o)\n",
                    errnoName(err, num, sizeof num), strerror(err), (unsigned)SHM_FLAGS);
        return nullptr;
    }
    // The segment belongs to the user who started the program, not to the
    // effective user it runs as.
    struct shmid_ds ds;
    if (shmctl(id, IPC_STAT, &ds) == 0) {
        ds.shm_perm.uid = getuid();
        if (shmctl(id, IPC_SET, &ds) != 0 && TR_COMM)
            trPrintf(trSrcFile, __LINE__, "Unable to set the owner of shared memory block %d, errno = %d.\n", id,
                     errno);
    }
    void *addr = shmat(id, nullptr, 0);
    if (addr == reinterpret_cast<void *>(-1)) {
        trLogPrintf(trSrcFile, __LINE__, TR_COMM, "Unable to attach shared memory block, errno = %d.\n", errno);
        shmctl(id, IPC_RMID, nullptr);
        return nullptr;
    }
    if (TR_COMM || TR_GENERAL)
        trPrintf(trSrcFile, __LINE__, "Value of shrMemP (sys-client): %lx\n",
                 static_cast<unsigned long>(reinterpret_cast<uintptr_t>(addr)));
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
