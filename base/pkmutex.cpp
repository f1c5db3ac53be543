#include "base/pkmutex.h"

#include "base/kelmem.h"

namespace {

// The owner is read by threads that do not hold the lock (to see whether they
// do), so it is accessed atomically; the count belongs to the holder alone.
uint32_t ownerOf(const MutexDesc *desc) { return __atomic_load_n(&desc->owner, __ATOMIC_RELAXED); }
void setOwner(MutexDesc *desc, uint32_t id) { __atomic_store_n(&desc->owner, id, __ATOMIC_RELAXED); }

bool callerOwns(const MutexDesc *desc) { return psThreadEqual(ownerOf(desc), psThreadSelf()) != 0; }

} // namespace

MutexDesc *pkCreateMutex()
{
    auto *desc = static_cast<MutexDesc *>(KEL_MALLOC(sizeof(MutexDesc)));
    if (desc == nullptr)
        return nullptr;
    // A usable lock even if the process leaves single-thread mode later.
    desc->mutex = PTHREAD_MUTEX_INITIALIZER;
    desc->owner = 0;
    desc->count = 0;
    int rc = psMutexInit(&desc->mutex, nullptr, nullptr);
    if (rc != 0) {
        KEL_FREE(desc);
        return nullptr;
    }
    return desc;
}

int pkAcquireMutex(MutexDesc *desc)
{
    if (desc == nullptr)
        return -1;
    int rc = psMutexLock(&desc->mutex, 1);
    if (rc != 0)
        return rc;
    setOwner(desc, psThreadSelf());
    return 0;
}

int pkAcquireMutexNested(MutexDesc *desc)
{
    if (desc == nullptr)
        return -1;
    if (callerOwns(desc)) {
        desc->count++;
        return 0;
    }
    int rc = psMutexLock(&desc->mutex, 1);
    if (rc != 0)
        return rc;
    desc->count = 1;
    setOwner(desc, psThreadSelf());
    return 0;
}

namespace {

int unlockOwned(MutexDesc *desc)
{
    setOwner(desc, 0);
    return psMutexUnlock(&desc->mutex);
}

} // namespace

int pkReleaseMutex(MutexDesc *desc)
{
    if (desc == nullptr)
        return -1;
    if (!callerOwns(desc))
        return 0;   // a release by a thread that does not hold the lock is ignored
    return unlockOwned(desc);
}

int pkReleaseMutexNested(MutexDesc *desc)
{
    if (desc == nullptr)
        return -1;
    if (!callerOwns(desc))
        return 0;
    if (desc->count > 1) {
        desc->count--;
        return 0;   // still held by an outer acquisition
    }
    desc->count = 0;
    return unlockOwned(desc);
}

int pkDestroyMutex(MutexDesc *desc)
{
    if (desc == nullptr)
        return 0;
    int rc = psMutexDestroy(&desc->mutex);
    KEL_FREE(desc);
    return rc;
}

void pkDestroyAllMutex() { psDestroyAllMutex(); }
