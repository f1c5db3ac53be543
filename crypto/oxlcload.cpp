#include "crypto/oxlcload.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <climits>
#include <unistd.h>

#include "base/kelmem.h"
#include "base/pstrust.h"
#include "crypto/oxlcwrap.h"
#include "oxlbuildid.h"

const char OXLC_VersionBanner[] = OXL_VERSION_TEXT;

namespace {

// The integrity values handed to the library's start-up (see oxlbuildid.h).
const char oxllibhash[] = KEL_OXL_LIBHASH;
const char cryptolibhash[] = KEL_OXL_CRYPTOLIBHASH;

const char *const entryNames[OXL_ENTRY_COUNT] = {
#define OXL_NAME_FN(ret, name, fail, lib, params, args) "METAC_" #name,
#define OXL_NAME_VOID(name, lib, params, args) "METAC_" #name,
    OXL_ENTRY_POINTS(OXL_NAME_FN, OXL_NAME_VOID)
#undef OXL_NAME_FN
#undef OXL_NAME_VOID
};

constexpr size_t DIR_MAX = 256;   // a directory must be shorter than this
constexpr size_t SUBPATH_LEN = sizeof(OXL_LIBRARY_SUBPATH) - 1;

void setStatus(OXL_STATUS *status, uint32_t majRC, uint32_t minRC, const char *desc, int32_t mode = 0)
{
    status->majRC = majRC;
    status->minRC = minRC;
    snprintf(status->desc, sizeof status->desc, "%s", desc);
    status->mode = mode;
}

void setLinkerFailure(OXL_STATUS *status, int err)
{
    OXLC_GetLibraryError(status->desc, sizeof status->desc);
    status->majRC = OXL_RC_SYSTEM;
    status->minRC = static_cast<uint32_t>(err);
    status->mode = 0;
}

// A candidate a set-user-id run does not open: missing, or changeable by
// someone other than root (err EPERM). It counts as not loadable.
void setUntrusted(OXL_STATUS *status, const char *path, int err)
{
    setStatus(status, OXL_RC_SYSTEM, static_cast<uint32_t>(err), "");
    const char *why = err == EPERM ? "not protected (others than root could change it)" : strerror(err);
    // A long path is cut short (180 + 2 + 70 bytes fit the 256): the text only describes the failure.
    snprintf(status->desc, sizeof status->desc, "%.180s: %.70s", path, why);
}

// Hands [p, p + len) to visit unless it is empty; returns visit's verdict.
int visitNonEmpty(const char *p, size_t len, OXLC_CandidateFn visit, void *arg)
{
    return len == 0 ? 0 : visit(p, len, arg);
}

// State of one search through the candidate directories.
struct Search {
    OXLC_CTX *ctx;
    OXL_STATUS *status;
    bool secure;      // a set-user-id run: only libraries root alone can change
    bool attempted;
    char chosen[DIR_MAX];
};

// Tries one candidate directory: 1 when the library was opened and resolved.
int tryCandidate(const char *dir, size_t len, void *arg)
{
    Search *s = static_cast<Search *>(arg);
    if (len > DIR_MAX - 1 - SUBPATH_LEN)
        return 0;   // the full path would not fit: skipped without an attempt
    char path[DIR_MAX];
    snprintf(path, sizeof path, "%.*s%s", static_cast<int>(len), dir, OXL_LIBRARY_SUBPATH);
    s->attempted = true;

    // The resolved path that was checked is the one opened: opening the
    // candidate's own path could meet a link swapped after the check.
    char canon[PATH_MAX];
    const char *file = path;
    if (s->secure) {
        if (!psPathTrusted(path, canon, sizeof canon)) {
            setUntrusted(s->status, path, errno);
            return 0;
        }
        file = canon;
    }
    errno = 0;
    s->ctx->libraryHandle = OXLC_LoadLibrary(file);
    if (s->ctx->libraryHandle == nullptr) {
        setLinkerFailure(s->status, errno);
        return 0;
    }
    if (OXL_initialize_functions(s->ctx) != 1) {
        OXLC_FreeLibrary(s->ctx->libraryHandle);   // nothing of it was used
        s->ctx->libraryHandle = nullptr;
        setStatus(s->status, OXL_RC_PARAM, 5, "Failure in loading functions");
        return 0;
    }
    setStatus(s->status, OXL_RC_OK, 0, "OK");
    snprintf(s->chosen, sizeof s->chosen, "%.*s", static_cast<int>(len), dir);
    return 1;
}

} // namespace

void *OXLC_LoadLibrary(const char *file) { return dlopen(file, RTLD_NOW | RTLD_LOCAL); }

int OXLC_FreeLibrary(void *handle) { return dlclose(handle); }

void *OXLC_GetProcAddress(void *handle, const char *name) { return dlsym(handle, name); }

void OXLC_GetLibraryError(char *buf, size_t len)
{
    if (buf == nullptr || len == 0)
        return;
    memset(buf, 0, len);
    const char *text = dlerror();
    if (text != nullptr)
        strncpy(buf, text, len - 1);
}

int OXLC_ForEachCandidate(const char *directory, const char *ldLibraryPath, int secure, OXLC_CandidateFn visit,
                          void *arg)
{
    size_t dirLen = strlen(directory);
    int rc = visitNonEmpty(directory, dirLen, visit, arg);
    if (rc != 0 || secure || ldLibraryPath == nullptr)
        return rc;

    for (const char *p = ldLibraryPath; *p != '\0';) {
        const char *colon = strchr(p, ':');
        size_t len = colon != nullptr ? static_cast<size_t>(colon - p) : strlen(p);
        if ((rc = visitNonEmpty(p, len, visit, arg)) != 0)
            return rc;
        const char *slash = static_cast<const char *>(memrchr(p, '/', len));
        if (slash != nullptr && (rc = visitNonEmpty(p, static_cast<size_t>(slash - p), visit, arg)) != 0)
            return rc;
        if (colon == nullptr)
            break;
        p = colon + 1;
    }
    return visitNonEmpty(directory, dirLen, visit, arg);
}

int OXL_initialize_functions(OXLC_CTX *ctx)
{
    for (int i = 0; i < OXL_ENTRY_COUNT; i++)
        ctx->entry[i].name = entryNames[i];
    for (int i = 0; i < OXL_ENTRY_COUNT; i++) {
        ctx->entry[i].address = OXLC_GetProcAddress(ctx->libraryHandle, ctx->entry[i].name);
        if (ctx->entry[i].address == nullptr)
            return -2;
    }
    return 1;
}

OXLC_CTX *OXLC_Init(OXL_STATUS *status, const char *directory)
{
    if (status == nullptr)
        return nullptr;
    setStatus(status, OXL_RC_OK, 0, "OK");
    if (directory == nullptr || directory[0] == '\0') {
        setStatus(status, OXL_RC_PARAM, 9, "Invalid parameter", -1);
        return nullptr;
    }
    if (strlen(directory) >= DIR_MAX || strlen(oxllibhash) > OXL_INTEGRITY_DIGITS ||
        strlen(cryptolibhash) > OXL_INTEGRITY_DIGITS) {
        setStatus(status, OXL_RC_PARAM, 9, "Parameter is too large", -1);
        return nullptr;
    }
    auto *ctx = static_cast<OXLC_CTX *>(KEL_CALLOC(1, sizeof(OXLC_CTX)));
    if (ctx == nullptr) {
        setStatus(status, OXL_RC_SYSTEM, 15, "Malloc failed");
        return nullptr;
    }

    Search search{ctx, status, psIsSecureRun() != 0, false, {}};
    if (OXLC_ForEachCandidate(directory, getenv("LD_LIBRARY_PATH"), search.secure, tryCandidate, &search) == 0) {
        // Every candidate skipped leaves nothing tried: that is a failure too.
        if (!search.attempted)
            setStatus(status, OXL_RC_PARAM, 9, "Parameter is too large", -1);
        KEL_FREE(ctx);
        return nullptr;
    }

    ctx->libCtx = OXLC_lib_init(ctx, status, search.chosen, oxllibhash, cryptolibhash);
    if (ctx->libCtx == nullptr) {
        if (status->majRC <= OXL_RC_REMARK)   // a library that failed must not read as success
            setStatus(status, OXL_RC_PARAM, 11, "Library initialization failed");
        OXLC_FreeLibrary(ctx->libraryHandle);   // the start-up failure is what is reported
        KEL_FREE(ctx);
        return nullptr;
    }
    return ctx;
}

int OXLC_Cleanup(OXLC_CTX *ctx, OXL_STATUS *status)
{
    if (status == nullptr)
        return -2;
    setStatus(status, OXL_RC_OK, 0, "OK");
    if (ctx == nullptr) {
        setStatus(status, OXL_RC_PARAM, 10, "OXL has not been initialized", -1);
        return 2;
    }
    if (ctx->libraryHandle != nullptr) {
        OXLC_lib_cleanup(ctx, status);
        errno = 0;
        if (OXLC_FreeLibrary(ctx->libraryHandle) != 0)
            setLinkerFailure(status, errno);
    }
    ctx->libraryHandle = nullptr;
    KEL_FREE(ctx);
    return status->majRC != 0 ? -2 : 1;
}
