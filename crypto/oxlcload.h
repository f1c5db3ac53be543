// Loader of the run-time crypto library: finds and opens liboxllib.so, resolves
// its entry points into a library context, starts and ends the library.
#pragma once

#include <cstddef>

#include "crypto/oxlapi.h"

// Position of each entry point in the entry table (table order).
enum OXL_EntryIndex {
#define OXL_INDEX_FN(ret, name, fail, lib, params, args) OXL_IDX_##name,
#define OXL_INDEX_VOID(name, lib, params, args) OXL_IDX_##name,
    OXL_ENTRY_POINTS(OXL_INDEX_FN, OXL_INDEX_VOID)
#undef OXL_INDEX_FN
#undef OXL_INDEX_VOID
};

struct OXL_ENTRY {
    const char *name;
    void *address;
};

// One loaded library. Allocated zero-filled, so unresolved entries and libCtx start null.
struct OXLC_CTX {
    void *libraryHandle;
    OXL_ENTRY entry[OXL_ENTRY_COUNT];
    OXL_LIBCTX *libCtx;
};

// Operating-system layer.
void *OXLC_LoadLibrary(const char *file);
int OXLC_FreeLibrary(void *handle);
void *OXLC_GetProcAddress(void *handle, const char *name);
// Zero-fills buf and copies the dynamic linker's last error text into it;
// the text is always terminated (at most len - 1 characters).
void OXLC_GetLibraryError(char *buf, size_t len);

// The library's version banner as the loader knows it.
extern const char OXLC_VersionBanner[];

// Opens the library below directory (or a candidate directory) and starts it.
// Returns the context, or null with the reason in *status. In a set-user-id
// run a candidate library is opened only when root alone can change it and
// every directory above it (psPathTrusted), and by the path that was checked.
OXLC_CTX *OXLC_Init(OXL_STATUS *status, const char *directory);
// 1 when all entry points were resolved, -2 at the first one missing.
int OXL_initialize_functions(OXLC_CTX *ctx);
// Ends the library, closes it and frees ctx: 1, -2 on a failure, 2 for a null ctx.
int OXLC_Cleanup(OXLC_CTX *ctx, OXL_STATUS *status);

// The candidate directories for directory, in search order: directory, then
// each element of ldLibraryPath followed by its parent, then directory again.
// In a set-user-id run (secure non-zero) only directory. Each candidate is
// handed to visit as a pointer and a length (not terminated); visit returns
// non-zero to stop the walk, and that value is returned (0 when it never stopped).
typedef int (*OXLC_CandidateFn)(const char *dir, size_t len, void *arg);
int OXLC_ForEachCandidate(const char *directory, const char *ldLibraryPath, int secure, OXLC_CandidateFn visit,
                          void *arg);
