#include "base/kelmem.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "diag/trace.h"

static const char trSrcFile[] = "kelmem";

int (*pfnCallIfNoMem)() = nullptr;
void (*pfnCallIfAbort)() = nullptr;
#ifdef KEL_TEST_HOOKS
int (*pfnKelFailAlloc)(uint64_t size) = nullptr;
#endif

// The trailer bytes: the guard value stored little-endian.
static const unsigned char magicVal[4] = {0xBA, 0xDC, 0xCD, 0xAB};

namespace {

unsigned char *sysBlock(void *user) { return static_cast<unsigned char *>(user) - KEL_HEADER_SIZE; }

// Size + guards, refusing sizes whose sum would wrap.
bool guardedSize(uint64_t size, uint64_t *total)
{
#ifdef KEL_TEST_HOOKS
    if (pfnKelFailAlloc != nullptr && pfnKelFailAlloc(size) != 0)
        return false;
#endif
    if (size > UINT64_MAX - KEL_GUARD_OVERHEAD || size + KEL_GUARD_OVERHEAD > SIZE_MAX)
        return false;
    *total = size + KEL_GUARD_OVERHEAD;
    return true;
}

void writeGuards(unsigned char *blk, uint64_t size, bool writeZeroWord)
{
    uint32_t magic = KEL_MAGIC;
    uint64_t total = size + KEL_GUARD_OVERHEAD;
    memcpy(blk, &magic, 4);
    if (writeZeroWord)
        memset(blk + 4, 0, 4);
    memcpy(blk + 8, &total, 8);
    memcpy(blk + KEL_HEADER_SIZE + size, magicVal, 4);
}

void noMemory(uint64_t size)
{
    if (pfnCallIfNoMem != nullptr && size != 0 && pfnCallIfNoMem() == 2 && pfnCallIfAbort != nullptr)
        pfnCallIfAbort();
}

} // namespace

void kelInitMemStatics() {}
void kelFreeMemoryList() {}

void *kelMalloc(uint64_t size, const char *file, int line)
{
    uint64_t total = 0;
    unsigned char *blk = guardedSize(size, &total) ? static_cast<unsigned char *>(malloc(total)) : nullptr;
    if (blk == nullptr) {
        if (TR_MEMORY)
            trPrintf(trSrcFile, __LINE__, "Alloc failed: Size %ld File %s Line %d\n", (long)size, file, line);
        noMemory(size);
        return nullptr;
    }
    writeGuards(blk, size, true);
    void *user = blk + KEL_HEADER_SIZE;
    if (TR_MEMORY)
        trPrintf(trSrcFile, __LINE__, "KELEM(+) Addr %p Size %ld File %s Line %d\n", user, (long)size, file, line);
    return user;
}

void *kelCalloc(int count, uint64_t size, const char *file, int line)
{
    uint64_t n = 0, total = 0;
    bool ok = count >= 0 && !__builtin_mul_overflow((uint64_t)count, size, &n) && guardedSize(n, &total);
    unsigned char *blk = ok ? static_cast<unsigned char *>(calloc(1, total)) : nullptr;
    if (blk == nullptr) {
        trLogPrintf(trSrcFile, __LINE__, TR_MEMORY, "calloc() failed: Size %ld File %s Line %d\n", (long)size, file,
                    line);
        noMemory(size);
        return nullptr;
    }
    void *user = blk + KEL_HEADER_SIZE;
    if (TR_MEMORY)
        trPrintf(trSrcFile, __LINE__, "KELEM(c+) Addr %p Size %ld Count %ld File %s Line %d\n", user, (long)size,
                 (long)count, file, line);
    writeGuards(blk, n, true);
    return user;
}

void *kelRealloc(void *ptr, uint64_t size, const char *file, int line)
{
    if (chkSnake(ptr, file, line) != 0)
        return nullptr;
    uint64_t total = 0;
    unsigned char *blk = nullptr;
    if (guardedSize(size, &total))
        blk = static_cast<unsigned char *>(realloc(ptr != nullptr ? sysBlock(ptr) : nullptr, total));
    if (blk == nullptr) {
        trLogPrintf(trSrcFile, __LINE__, TR_MEMORY, "Realloc failed: Old addr %p New Size %ld File %s Line %d\n", ptr,
                    (long)size, file, line);
        noMemory(size);
        return nullptr;
    }
    // A moved block keeps whatever its second header word held.
    writeGuards(blk, size, ptr == nullptr);
    void *user = blk + KEL_HEADER_SIZE;
    if (TR_MEMORY)
        trPrintf(trSrcFile, __LINE__, "KELEM(r+) naddr %p oaddr %p nsize %ld File %s Line %d\n", user, ptr,
                 (long)size, file, line);
    return user;
}

void kelFree(void *ptr, const char *file, int line)
{
    if (ptr == nullptr) {
        trLogPrintf(trSrcFile, __LINE__, TR_MEMORY, "Attempt to free NULL pointer. File %s Line %d\n", file, line);
        return;
    }
    if (chkSnake(ptr, file, line) != 0)
        return;   // a damaged block is leaked, never handed back to the heap
    free(sysBlock(ptr));
    if (TR_MEMORY)
        trPrintf(trSrcFile, __LINE__, "KELEM(-) Addr %p File %s Line %d\n", ptr, file, line);
}

int chkSnake(void *ptr, const char *file, int line)
{
    if (ptr == nullptr)
        return 0;
    const unsigned char *blk = sysBlock(ptr);
    uint32_t magic = 0;
    memcpy(&magic, blk, 4);
    if (magic != KEL_MAGIC) {
        trLogPrintf(trSrcFile, __LINE__, TR_MEMORY,
                    "Block header invalid, possible memory overwrite. Addr %p, File %s, Line %d\n", ptr, file, line);
        return -1;
    }
    uint64_t total = 0;
    memcpy(&total, blk + 8, 8);
    // A damaged size word must not send the trailer check outside the block.
    if (total < KEL_GUARD_OVERHEAD || total > malloc_usable_size(const_cast<unsigned char *>(blk)) ||
        memcmp(blk + total - 4, magicVal, 4) != 0) {
        trLogPrintf(trSrcFile, __LINE__, TR_MEMORY,
                    "Block trailer invalid, possible memory overwrite. Addr %p, File %s, Line %d\n", ptr, file, line);
        return -1;
    }
    return 0;
}
