#include "base/psmutex.h"

#include <cerrno>
#include <cstring>

int bIsSingleThread = 1;
int bInSignalExit = 0;

namespace {

bool locksAreNoOps() { return bIsSingleThread != 0 || bInSignalExit != 0; }

// Thread ids handed out from 1 upwards, so that 0 can mean "no owner" and two
// live threads never share an id (a truncated pthread_t could collide).
uint32_t nextThreadId()
{
    static uint32_t counter = 0;
    uint32_t id = __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED);
    if (id == 0)   // after wrapping, skip the "free" value
        id = __atomic_add_fetch(&counter, 1, __ATOMIC_RELAXED);
    return id;
}

} // namespace

int psMutexInit(psMutex_t *mutex, const pthread_mutexattr_t *attr, const char * /*text*/)
{
    if (bIsSingleThread)
        return 0;
    if (mutex == nullptr)
        return EINVAL;
    return pthread_mutex_init(mutex, attr);
}

int psMutexLock(psMutex_t *mutex, uint16_t /*flag*/)
{
    if (locksAreNoOps())
        return 0;
    int rc = mutex != nullptr ? pthread_mutex_lock(mutex) : EINVAL;
    if (rc == 0)
        return 0;
    return rc == EDEADLK ? PSMUTEX_RC_DEADLOCK : PSMUTEX_RC_FAILED;
}

int psMutexUnlock(psMutex_t *mutex)
{
    if (locksAreNoOps())
        return 0;
    return mutex != nullptr ? pthread_mutex_unlock(mutex) : EINVAL;
}

int psMutexDestroy(psMutex_t *mutex)
{
    if (locksAreNoOps())
        return 0;
    return mutex != nullptr ? pthread_mutex_destroy(mutex) : EINVAL;
}

uint32_t psThreadSelf()
{
    thread_local uint32_t self = nextThreadId();
    return self;
}

int psThreadEqual(uint32_t a, uint32_t b) { return a == b ? 1 : 0; }

void psDestroyAllMutex() {}
