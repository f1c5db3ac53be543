// Portable mutex descriptors that remember their owner and nesting depth.
#pragma once

#include <cstdint>

#include "base/psmutex.h"

struct MutexDesc {
    psMutex_t mutex;
    uint32_t owner;     // thread holding the lock, 0 when free
    uint32_t count;     // nesting depth (nested operations only)
};

MutexDesc *pkCreateMutex();
int pkAcquireMutex(MutexDesc *desc);          // -1 for null
int pkAcquireMutexNested(MutexDesc *desc);
int pkReleaseMutex(MutexDesc *desc);
int pkReleaseMutexNested(MutexDesc *desc);
int pkDestroyMutex(MutexDesc *desc);          // 0 for null; always frees
void pkDestroyAllMutex();
