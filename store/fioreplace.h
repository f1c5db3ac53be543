// Replacing one file of a directory whole: under a lock beside it, a new file
// is written next to it, flushed to disk and renamed over it, so that a crash,
// a signal or another writer finds the old file or the new one, never a mix.
// The unit knows nothing of what the file holds: a writer function reads the
// old file and writes the new contents. docs/password-file.md ("Replacing the
// file") describes the steps, the lock and the leftovers as ZAR.PWD uses them.
#pragma once

#include <sys/types.h>

#include <cstddef>

#include "kelvlx/kelcontract.h"
// Results besides 0 (the password file's codes of the same meaning are these).
inline constexpr int FIO_RC_CANNOT_WRITE = KEL_ST_STORE_REFUSED;   // cannot open, create, own or rename; the name is not a regular file
inline constexpr int FIO_RC_NO_MEMORY = KEL_ST_NO_MEMORY;
inline constexpr int FIO_RC_SHORT_WRITE = KEL_ST_SHORT_WRITE;   // the new file could not be written or flushed completely
inline constexpr int FIO_RC_LOCKED = KEL_ST_LOCKED;        // the wait for the lock ran out (or, tried once, it was held)

// How long a writer waits for the lock before it gives up with FIO_RC_LOCKED.
inline constexpr int FIO_LOCK_WAIT_SECONDS = KEL_LOCK_WAIT_SECONDS;

// Bytes the longest name beside a target needs beyond the target's own name:
// the new file ".NAME.kelvlx-<pid>-XXXXXX" (the lock file needs fewer). A
// name that leaves less room below NAME_MAX cannot be replaced.
inline constexpr size_t FIO_NAME_EXTRA = 26;

// What becomes of the file once the writer has returned 0.
enum class fioAction {
    Replace,   // the new contents replace it (the default)
    Keep,      // nothing changes; whatever was written is thrown away
    Remove,    // the file is removed
};

// The new file while the writer fills it. It is created at the first write,
// exclusively and without following links, owned like the old file.
struct fioOut;

// Appends n bytes to the new file: 0, FIO_RC_SHORT_WRITE, or FIO_RC_CANNOT_WRITE
// (FIO_RC_NO_MEMORY) when the file could not be created (its buffer allocated).
int fioOutWrite(fioOut *out, const void *p, size_t n);

// Called under the lock with the old file open for reading at its start
// (oldFd -1 when there is none). Writes the new contents through out, may set
// *action, and returns 0 or its own failure code, which fioReplace returns
// after throwing the new file away. It may be called more than once: when the
// lock turns out to have been taken from under the writer, or the file was
// replaced by someone else since the writer read it, nothing has been renamed
// yet and the whole step is done again under a new lock.
using fioWriter = int (*)(void *ctx, int oldFd, fioOut *out, fioAction *action);

struct fioReplaceOpts {
    mode_t mode = 0600;        // permission bits of the new file
    bool keepMode = false;     // an existing file keeps its own permission bits instead
    bool waitForLock = true;   // false: the lock is tried once; held, FIO_RC_LOCKED at once
};

// Replaces name in the directory dirFd with what writer writes. The lock is
// the file name + ".lock" (created mode 0600, never through a link; root's
// owner and group when the effective user is root), held for the whole step;
// leftovers of writers that were killed (see fioListLeftovers) are removed
// under it. The new file gets the owner, group and (with keepMode) the
// permission bits of the old one. Every signal that can be held waits while
// the new file exists, and in a set-user-id root run the real user id is root
// while the lock is held, so that the invoking user can neither stop nor kill
// the writer there.
// Whether the new file is renamed into place is decided once, just before the
// rename: only while the file at the lock name is still the locked one and
// the file at name is still the one the writer read. Returns 0 exactly when
// the new file was renamed over name (or name removed, or the writer chose
// Keep); otherwise the writer's code or one of the FIO_RC_ codes, and the old
// file is as it was.
int fioReplace(int dirFd, const char *name, const fioReplaceOpts &opts, fioWriter writer, void *ctx);

// Opens name in dirFd without following a link at it, and only when it is a
// regular file: the descriptor, or -1 with errno (ELOOP for a link, EINVAL for
// something other than a regular file).
int fioOpenRegular(int dirFd, const char *name, int flags, mode_t mode = 0);

// The new file of a writer is named "." + name + ".kelvlx-" + the writer's
// process id + "-" + six letters or digits, a pattern that no copy an
// administrator makes of the file is likely to match.
// The leftovers of name: regular files of exactly that pattern that belong to
// the effective user and whose writer no longer runs. Calls each(ctx,
// leftover) for every one; returns how many, or -1 when the directory cannot
// be read. Nothing else beside name is ever removed or changed.
int fioListLeftovers(int dirFd, const char *name, void (*each)(void *ctx, const char *leftover), void *ctx);

// In a set-user-id root run the invoking user may signal the process, since
// its real user id is theirs. This makes the real user id root, so that only
// root can stop or kill it: 1 when switched (*callerUid gets the id to give
// back), 0 when there is nothing to switch (not such a run, or root already),
// -1 when the switch failed (errno says why).
int fioRealIdToRoot(uid_t *callerUid);

// The steps of a replacement at which the tests make a call fail.
enum fioStep : int {
    FIO_STEP_LOCK = 0,   // opening the lock file
    FIO_STEP_CREATE,     // creating the new file
    FIO_STEP_OWNER,      // giving it the old file's owner, group and mode
    FIO_STEP_WRITE,      // a write of file data
    FIO_STEP_FLUSH,      // the flush of the stream to the descriptor
    FIO_STEP_SYNC,       // fsync of the new file
    FIO_STEP_CLOSE,      // close of the new file
    FIO_STEP_RENAME,     // rename over the old file (or its removal)
    FIO_STEP_SYNCDIR,    // fsync of the directory afterwards
    FIO_STEP_CHECK,      // a stat of the lock file, the old file or the name before the rename
    FIO_STEP_COUNT
};

#ifdef KEL_TEST_HOOKS
// Failure injection: each step is counted per process; fioFailStep(step, n)
// makes the n-th call of that step from now on fail as the system call would
// (n = 0: never).
void fioFailStep(fioStep step, unsigned nth);
unsigned fioStepCalls(fioStep step);   // calls since the last fioResetSteps
void fioResetSteps();
// The lock wait of the next replacements, in milliseconds (0: the default).
void fioSetLockWaitMs(unsigned ms);
// Calls hook(step, ctx) just before every call of a step (null: none), so that
// a test can act on the directory at that moment.
void fioSetStepHook(void (*hook)(fioStep step, void *ctx), void *ctx);
#endif
