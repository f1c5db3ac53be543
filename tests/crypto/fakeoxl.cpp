// A stand-in crypto library for the loader tests: every entry point exists and
// records its call; METAC_lib_init hands back a fixed context. Built twice:
// complete, and with one entry point hidden from the dynamic symbol table.
#include <cstdlib>
#include <cstring>

#include "tests/crypto/fakeoxl.h"

// What the last call saw, read by the tests through dlsym.
extern "C" {
__attribute__((visibility("default"))) const char *fake_lastName = nullptr;
__attribute__((visibility("default"))) OXL_LIBCTX *fake_lastLibCtx = nullptr;
__attribute__((visibility("default"))) char fake_initDirectory[256];
__attribute__((visibility("default"))) size_t fake_initHashLens[2];
__attribute__((visibility("default"))) int fake_cleanups = 0;
}

void fakeRecord(const char *name, OXL_LIBCTX *libCtx)
{
    fake_lastName = name;
    fake_lastLibCtx = libCtx;
}

namespace {
char contextToken;
OXL_LIBCTX *const fakeContext = reinterpret_cast<OXL_LIBCTX *>(&contextToken);

void setStatus(OXL_STATUS *status, uint32_t majRC, const char *desc)
{
    status->majRC = majRC;
    status->minRC = 0;
    strcpy(status->desc, desc);
    status->mode = 0;
}
} // namespace

// OXL_FAKE_INIT selects how the start-up ends: unset succeeds, "fail" fails
// with a status, "silent" fails but leaves the status reading success.
FAKE_EXPORT OXL_LIBCTX *METAC_lib_init(OXL_LIBCTX *libCtx, OXL_STATUS *status, const char *directory,
                                       const char *oxllibhash, const char *cryptolibhash)
{
    fakeRecord("lib_init", libCtx);
    strncpy(fake_initDirectory, directory, sizeof fake_initDirectory - 1);
    fake_initHashLens[0] = strlen(oxllibhash);
    fake_initHashLens[1] = strlen(cryptolibhash);
    const char *mode = getenv("OXL_FAKE_INIT");
    if (mode != nullptr && strcmp(mode, "fail") == 0) {
        setStatus(status, 3, "fake start-up failure");
        return nullptr;
    }
    setStatus(status, 0, "OK");
    return mode != nullptr && strcmp(mode, "silent") == 0 ? nullptr : fakeContext;
}

// OXL_FAKE_STATUS selects what METAC_GetStatus does: unset writes nothing and
// returns 7, "ok" writes success and returns 0, "failed" writes a failure and
// returns 1.
FAKE_EXPORT int METAC_GetStatus(OXL_LIBCTX *libCtx, OXL_STATUS *status)
{
    fakeRecord("GetStatus", libCtx);
    const char *mode = getenv("OXL_FAKE_STATUS");
    if (mode != nullptr && strcmp(mode, "ok") == 0) {
        setStatus(status, 0, "OK");
        return 0;
    }
    if (mode != nullptr && strcmp(mode, "failed") == 0) {
        setStatus(status, 3, "fake failure");
        return 1;
    }
    return 7;
}

FAKE_EXPORT int METAC_lib_cleanup(OXL_LIBCTX *libCtx, OXL_STATUS *status)
{
    fakeRecord("lib_cleanup", libCtx);
    fake_cleanups++;
    setStatus(status, 0, "OK");
    return 1;
}

