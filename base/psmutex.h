// Platform mutex layer over POSIX threads, with a single-thread mode in which
// every call succeeds without acting (the agent runs in that mode throughout).
#pragma once

#include <pthread.h>
#include <cstdint>

#include "kelvlx/kelcontract.h"

typedef pthread_mutex_t psMutex_t;

extern int bIsSingleThread;   // 1: no locking at all
extern int bInSignalExit;     // 1 while exiting from a signal

int psMutexInit(psMutex_t *mutex, const pthread_mutexattr_t *attr, const char *text);
// psMutexLock's results besides 0: the calling thread holds the mutex
// already, or any other failure (reported with the out-of-memory status).
inline constexpr int PSMUTEX_RC_DEADLOCK = 936;
inline constexpr int PSMUTEX_RC_FAILED = KEL_ST_NO_MEMORY;

int psMutexLock(psMutex_t *mutex, uint16_t flag);
int psMutexUnlock(psMutex_t *mutex);
int psMutexDestroy(psMutex_t *mutex);
uint32_t psThreadSelf();
int psThreadEqual(uint32_t a, uint32_t b);
void psDestroyAllMutex();

// Holds a mutex for a scope (lock flag 1).
class MutexGuard {
public:
    explicit MutexGuard(psMutex_t *m) : m_(m) { psMutexLock(m_, 1); }
    ~MutexGuard() { psMutexUnlock(m_); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

private:
    psMutex_t *m_;
};
