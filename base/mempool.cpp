#include "base/mempool.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "base/kelmem.h"
#include "base/psmutex.h"
#include "base/psshm.h"

static_assert(sizeof(mpBlock_t) == 24, "pool block header is 24 bytes");

namespace {

constexpr int POOL_TABLE_STEP = 8;   // entries added when the table grows

psMutex_t mempool_mutex = PTHREAD_MUTEX_INITIALIZER;
bool poolMutexReady = false;
mpEntry_t *PoolTable = nullptr;
int PoolEntryCount = 0;
mpEntry_t *FreeEntryList = nullptr;
mpBlock_t ListSentry = {0, 0, nullptr, -1};

bool inUse(const mpEntry_t *entry) { return entry != nullptr && entry->incSize > 0; }

mpEntry_t *entryOf(int handle)
{
    if (PoolTable == nullptr || handle < 1 || handle >= PoolEntryCount)
        return nullptr;
    return &PoolTable[handle];
}

// Adds POOL_TABLE_STEP free entries. Only called with an empty free list, so
// no free-list pointer into the old table survives the move.
bool growTable()
{
    if (PoolEntryCount > INT_MAX - POOL_TABLE_STEP)
        return false;
    int oldCount = PoolEntryCount;
    int newCount = (oldCount == 0 ? 1 : oldCount) + POOL_TABLE_STEP;
    auto *table = static_cast<mpEntry_t *>(KEL_REALLOC(PoolTable, (uint64_t)newCount * sizeof(mpEntry_t)));
    if (table == nullptr)
        return false;
    int firstNew = oldCount == 0 ? 0 : oldCount;
    memset(&table[firstNew], 0, (size_t)(newCount - firstNew) * sizeof(mpEntry_t));
    PoolTable = table;
    PoolEntryCount = newCount;
    for (int i = newCount - 1; i >= 1 && i >= oldCount; i--) {
        mpEntry_t *e = &PoolTable[i];
        e->first = &ListSentry;
        e->shmId = -1;
        e->index = i;
        e->nextFree = FreeEntryList;
        FreeEntryList = e;
    }
    return true;
}

mpBlock_t *newBlock(mpEntry_t *entry, int64_t dataSize)
{
    uint64_t total = (uint64_t)dataSize + sizeof(mpBlock_t);
    mpBlock_t *blk = nullptr;
    int shmId = -1;
    if (entry->shared) {
        blk = static_cast<mpBlock_t *>(pkShmMalloc(total, &shmId));
        if (blk != nullptr)
            entry->shmId = shmId;
    } else {
        blk = static_cast<mpBlock_t *>(KEL_MALLOC(total));
    }
    if (blk == nullptr)
        return nullptr;
    blk->used = 0;
    blk->free = static_cast<int32_t>(dataSize);
    blk->shmId = shmId;
    blk->next = entry->first;
    entry->first = blk;
    return blk;
}

void releaseBlock(const mpEntry_t *entry, mpBlock_t *blk)
{
    if (entry->shared)
        pkReleaseShrMem(static_cast<int>(blk->shmId), blk);
    else
        KEL_FREE(blk);
}

// Moves blk (whose predecessor link is *link) down the chain so that the chain
// stays ordered by free bytes, largest first.
void reorder(mpBlock_t **link, mpBlock_t *blk)
{
    if (blk->next->free <= blk->free)
        return;
    *link = blk->next;
    mpBlock_t *after = blk->next;
    while (after->next->free > blk->free)
        after = after->next;
    blk->next = after->next;
    after->next = blk;
}

} // namespace

int MemFull = 0;
int poolOverride = 0;

void mpPoolInit()
{
    if (PoolTable != nullptr)
        return;
    if (!poolMutexReady) {
        mempool_mutex = PTHREAD_MUTEX_INITIALIZER;
        psMutexInit(&mempool_mutex, nullptr, "mempool_mutex");
        poolMutexReady = true;
    }
    MutexGuard lock(&mempool_mutex);
    PoolTable = nullptr;
    FreeEntryList = nullptr;
    PoolEntryCount = 0;
    ListSentry.used = 0;
    ListSentry.free = 0;
    ListSentry.next = nullptr;
    MemFull = 0;
    poolOverride = 0;
}

int mpCreatePool(int incSize, int shared)
{
    if (incSize < 1 || incSize > INT_MAX - 7 - (int)sizeof(mpBlock_t))
        return 0;
    MutexGuard lock(&mempool_mutex);
    if (FreeEntryList == nullptr && !growTable())
        return 0;
    mpEntry_t *entry = FreeEntryList;
    FreeEntryList = entry->nextFree;
    entry->nextFree = nullptr;
    entry->incSize = incSize;
    entry->blockSize = (incSize + 7) & ~7;
    entry->first = &ListSentry;
    entry->shared = shared ? 1 : 0;
    entry->shmId = -1;
    entry->full = 0;
    return entry->index;
}

void *mpAlloc(int handle, int size)
{
    MutexGuard lock(&mempool_mutex);
    mpEntry_t *entry = entryOf(handle);
    if (!inUse(entry) || size < 1) {
        errno = EINVAL;
        return nullptr;
    }
    void *p = PoolGet(entry, size);
    if (p == nullptr)
        errno = ENOMEM;
    return p;
}

void *PoolGet(mpEntry_t *entry, int size)
{
    if (entry == nullptr || entry->full || size < 1 || size > INT_MAX - 7)
        return nullptr;
    int32_t r = (size + 7) & ~7;

    mpBlock_t **link = &entry->first;
    mpBlock_t *blk = entry->first;
    if (blk->free < r || poolOverride) {
        int64_t dataSize = (r < entry->blockSize && !poolOverride) ? entry->blockSize : r;
        blk = newBlock(entry, dataSize);
        if (blk == nullptr) {
            entry->full = 1;
            MemFull = 1;
            return nullptr;
        }
        link = &entry->first;
    } else {
        // Best fit: the block with the fewest free bytes that still holds r.
        while (blk->next->free >= r) {
            link = &blk->next;
            blk = blk->next;
        }
    }
    void *p = reinterpret_cast<unsigned char *>(blk + 1) + blk->used;
    blk->free -= r;
    blk->used += r;
    reorder(link, blk);
    return p;
}

void PoolDestroy(mpEntry_t *entry)
{
    if (!inUse(entry))
        return;
    mpBlock_t *blk = entry->first;
    while (blk != &ListSentry && blk != nullptr) {
        mpBlock_t *next = blk->next;
        releaseBlock(entry, blk);
        blk = next;
    }
    entry->first = &ListSentry;
    entry->incSize = 0;
    entry->blockSize = 0;
    entry->shared = 0;
    entry->shmId = -1;
    entry->nextFree = FreeEntryList;
    FreeEntryList = entry;
    if (MemFull) {
        for (int i = 1; i < PoolEntryCount; i++)
            PoolTable[i].full = 0;
        MemFull = 0;
    }
}

int mpDestroyPool(int handle)
{
    MutexGuard lock(&mempool_mutex);
    mpEntry_t *entry = entryOf(handle);
    if (!inUse(entry))
        return -1;
    PoolDestroy(entry);
    return 0;
}

void mpDestroyAll()
{
    {
        MutexGuard lock(&mempool_mutex);
        if (PoolTable != nullptr) {
            for (int i = 1; i < PoolEntryCount; i++)
                PoolDestroy(&PoolTable[i]);
            KEL_FREE(PoolTable);
            PoolTable = nullptr;
            FreeEntryList = nullptr;
            PoolEntryCount = 0;
        }
    }
    if (poolMutexReady) {
        psMutexDestroy(&mempool_mutex);
        mempool_mutex = PTHREAD_MUTEX_INITIALIZER;   // usable again should pools return
        poolMutexReady = false;
    }
}

mpEntry_t *mpGetEntry(int handle)
{
    MutexGuard lock(&mempool_mutex);
    return entryOf(handle);
}
