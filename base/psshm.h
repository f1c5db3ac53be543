// Private System V shared-memory segments for shared memory pools.
#pragma once

#include <cstdint>

// A new private segment of size bytes attached to the process; *shmId gets its
// id. Null (and *shmId 0) on failure, with errno from shmget or shmat.
void *pkShmMalloc(uint64_t size, int *shmId);
// Detaches addr and removes the segment; does nothing for the id -1.
void pkReleaseShrMem(int shmId, void *addr);
