// Handle-based memory pools: small allocations carved from larger blocks and
// released all at once with their pool.
#pragma once

#include <cstdint>

struct mpBlock_t {
    int32_t used;        // bytes handed out
    int32_t free;        // bytes still available
    mpBlock_t *next;     // next block, ordered by free bytes, largest first
    int64_t shmId;       // segment of a shared pool's block, else -1
};                       // the block's data area follows

struct mpEntry_t {
    int32_t incSize;     // block increment in bytes; 0 when the entry is free
    int32_t blockSize;   // data size of a new block
    mpBlock_t *first;    // chain, ending at the sentry block
    mpEntry_t *nextFree; // free-entry list
    int32_t shared;      // 1: blocks come from shared memory segments
    int32_t shmId;       // segment of the newest shared block
    int32_t full;        // 1 after a block could not be had
    int32_t index;       // the entry's own handle
};

void mpPoolInit();
// A new pool whose blocks hold incSize bytes (more for a larger request);
// returns its handle (1 or above), or 0 on a bad size or when memory is short.
int mpCreatePool(int incSize, int shared);
// size bytes from the pool; nullptr with errno EINVAL for an unknown handle or
// a size below 1, ENOMEM when no block can be had.
void *mpAlloc(int handle, int size);
void *PoolGet(mpEntry_t *entry, int size);
void PoolDestroy(mpEntry_t *entry);
// Releases the pool with this handle; 0, or -1 for a handle not in use.
int mpDestroyPool(int handle);
void mpDestroyAll();

// Inspection for the pool's own tests and diagnostics.
mpEntry_t *mpGetEntry(int handle);
extern int MemFull;
extern int poolOverride;
