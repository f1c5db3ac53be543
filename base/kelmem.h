// Tracked heap allocator: every block carries a 16-byte header and a 4-byte
// trailer so that overruns are caught when the block is checked or released.
#pragma once

#include <cstddef>
#include <cstdint>

// Guard value written in front of and behind every tracked block.
inline constexpr uint32_t KEL_MAGIC = 0xABCDDCBAu;
inline constexpr uint64_t KEL_HEADER_SIZE = 16;
inline constexpr uint64_t KEL_GUARD_OVERHEAD = 20;   // header + trailer

// Each call names its caller's file and line (the KEL_ macros below); the
// allocator reports nothing itself: a failure is nullptr with errno ENOMEM,
// a damaged block chkSnake's -1, and the caller traces what it needs to.
void *kelMalloc(uint64_t size, const char *file, int line);
void *kelCalloc(int count, uint64_t size, const char *file, int line);
void *kelRealloc(void *ptr, uint64_t size, const char *file, int line);
void kelFree(void *ptr, const char *file, int line);
// 0 when the guards of the block are intact (or ptr is null), -1 otherwise.
int chkSnake(void *ptr, const char *file, int line);

// Hooks at which the core start-up and tear-down reach the allocator.
void kelInitMemStatics();
void kelFreeMemoryList();

// Optional no-memory hooks; nothing in the agent installs them.
extern int (*pfnCallIfNoMem)();
extern void (*pfnCallIfAbort)();

#ifdef KEL_TEST_HOOKS
// Fault injection for tests: when set and answering non-zero for a requested
// size, the allocation fails as if the heap had refused it.
extern int (*pfnKelFailAlloc)(uint64_t size);
#endif

#define KEL_MALLOC(n) kelMalloc((n), __FILE__, __LINE__)
#define KEL_CALLOC(c, n) kelCalloc((c), (n), __FILE__, __LINE__)
#define KEL_REALLOC(p, n) kelRealloc((p), (n), __FILE__, __LINE__)
#define KEL_FREE(p) kelFree((p), __FILE__, __LINE__)
