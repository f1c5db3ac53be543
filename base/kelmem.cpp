#include "base/kelmem.h"

#include <malloc.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

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

// A refused size leaves errno as the heap would have set it; the caller, not
// the allocator, reports the failure.
void noMemory(uint64_t size)
{
    errno = ENOMEM;
    if (pfnCallIfNoMem != nullptr && size != 0 && pfnCallIfNoMem() == 2 && pfnCallIfAbort != nullptr)
        pfnCallIfAbort();
}

} // namespace

void kelInitMemStatics() {}
void kelFreeMemoryList() {}

void *kelMalloc(uint64_t size, const char * /*file*/, int /*line*/)
{
    uint64_t total = 0;
    unsigned char *blk = guardedSize(size, &total) ? static_cast<unsigned char *>(malloc(total)) : nullptr;
    if (blk == nullptr) {
        noMemory(size);
        return nullptr;
    }
    writeGuards(blk, size, true);
    void *user = blk + KEL_HEADER_SIZE;
    return user;
}

void *kelCalloc(int count, uint64_t size, const char * /*file*/, int /*line*/)
{
    uint64_t n = 0, total = 0;
    bool ok = count >= 0 && !__builtin_mul_overflow((uint64_t)count, size, &n) && guardedSize(n, &total);
    unsigned char *blk = ok ? static_cast<unsigned char *>(calloc(1, total)) : nullptr;
    if (blk == nullptr) {
        noMemory(size);
        return nullptr;
    }
    void *user = blk + KEL_HEADER_SIZE;
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
        noMemory(size);
        return nullptr;
    }
    // A moved block keeps whatever its second header word held.
    writeGuards(blk, size, ptr == nullptr);
    void *user = blk + KEL_HEADER_SIZE;
    return user;
}

void kelFree(void *ptr, const char *file, int line)
{
    if (ptr == nullptr)
        return;   // freeing nothing is allowed
    if (chkSnake(ptr, file, line) != 0)
        return;   // a damaged block is leaked, never handed back to the heap
    free(sysBlock(ptr));
}

int chkSnake(void *ptr, const char * /*file*/, int /*line*/)
{
    if (ptr == nullptr)
        return 0;
    const unsigned char *blk = sysBlock(ptr);
    uint32_t magic = 0;
    memcpy(&magic, blk, 4);
    if (magic != KEL_MAGIC)
        return -1;
    uint64_t total = 0;
    memcpy(&total, blk + 8, 8);
    // A damaged size word must not send the trailer check outside the block.
    if (total < KEL_GUARD_OVERHEAD || total > malloc_usable_size(const_cast<unsigned char *>(blk)) ||
        memcmp(blk + total - 4, magicVal, 4) != 0)
        return -1;
    return 0;
}
