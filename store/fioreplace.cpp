// Replacing one file of a directory whole. docs/password-file.md ("Replacing
// the file") gives the steps and why each is there.
#include "store/fioreplace.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cstdlib>

#include "base/fio.h"
#include "base/kelmem.h"
#include "base/secure.h"
#include "diag/trace.h"

static const char trSrcFile[] = "fioreplace";

namespace {

constexpr size_t WRITE_BUFFER = 64 * 1024;
// A new file is "." + name + NEW_WORD + pid + "-" + NEW_RANDOM_LEN characters.
constexpr char NEW_WORD[] = ".kelvlx-";
constexpr size_t NEW_RANDOM_LEN = 6;
constexpr size_t PID_DIGITS_MAX = 10;   // a pid_t in decimal
static_assert(FIO_NAME_EXTRA == 1 + sizeof NEW_WORD - 1 + PID_DIGITS_MAX + 1 + NEW_RANDOM_LEN);
constexpr char NEW_DIGITS[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr char LOCK_SUFFIX[] = ".lock";
constexpr int CREATE_ATTEMPTS = 100;

// ---------------------------------------------------------------- failure injection

#ifdef KEL_TEST_HOOKS
unsigned stepCalls[FIO_STEP_COUNT];
unsigned stepFailAt[FIO_STEP_COUNT];
unsigned lockWaitOverrideMs;
void (*stepHook)(fioStep, void *);
void *stepHookCtx;

// false when the tests want this call of the step to fail (errno EIO).
bool stepAllowed(fioStep step)
{
    if (stepHook != nullptr)
        stepHook(step, stepHookCtx);
    unsigned n = ++stepCalls[step];
    if (stepFailAt[step] == 0 || stepFailAt[step] != n)
        return true;
    errno = EIO;
    return false;
}

long lockWaitMs() { return lockWaitOverrideMs != 0 ? lockWaitOverrideMs : FIO_LOCK_WAIT_SECONDS * 1000L; }
#else
constexpr bool stepAllowed(fioStep) { return true; }
constexpr long lockWaitMs() { return FIO_LOCK_WAIT_SECONDS * 1000L; }
#endif

long nowMs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

// name + suffix in buf; false when it would not fit a file name.
bool siblingName(char (&buf)[NAME_MAX + 1], const char *name, const char *suffix)
{
    return snprintf(buf, sizeof buf, "%s%s", name, suffix) < static_cast<int>(sizeof buf);
}

// What is at a name now, compared with what a writer holds or saw.
enum class Seen {
    Same,      // the very file
    Other,     // another file, a link, or nothing at all
    Unknown,   // a stat failed: nothing may be decided from it
};

bool sameInode(const struct stat &a, const struct stat &b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// What name in dirFd is, without following a link, against want (null: that
// nothing is there).
Seen seenAt(int dirFd, const char *name, const struct stat *want)
{
    struct stat st;
    if (!stepAllowed(FIO_STEP_CHECK) || fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? (want == nullptr ? Seen::Same : Seen::Other) : Seen::Unknown;
    return want != nullptr && sameInode(st, *want) ? Seen::Same : Seen::Other;
}

// Whether name in dirFd is, without following a link, the file open at fd.
Seen seenOpen(int fd, int dirFd, const char *name)
{
    struct stat st;
    if (!stepAllowed(FIO_STEP_CHECK) || fstat(fd, &st) != 0)
        return Seen::Unknown;
    return seenAt(dirFd, name, &st);
}

void syncDir(int dirFd)
{
    if (!stepAllowed(FIO_STEP_SYNCDIR) || fsync(dirFd) != 0)
        trLogPrintf(trSrcFile, __LINE__, TR_FILEOPS, "A directory could not be flushed to disk after a rename.\n");
}

// ---------------------------------------------------------------- who may signal the writer

// While the lock is held the real user id is root, so that nobody but root
// can stop or kill a lock holder and hold up every other writer; the invoking
// user's id comes back when the guard goes.
class RealIdRoot {
public:
    RealIdRoot() { switched_ = fioRealIdToRoot(&realUid_) == 1; }
    ~RealIdRoot()
    {
        if (switched_ && setresuid(realUid_, static_cast<uid_t>(-1), static_cast<uid_t>(-1)) != 0)
            trLogPrintf(trSrcFile, __LINE__, TR_FILEOPS, "The real user id %d could not be restored, errno = %d.\n",
                        static_cast<int>(realUid_), errno);
    }
    RealIdRoot(const RealIdRoot &) = delete;
    RealIdRoot &operator=(const RealIdRoot &) = delete;

private:
    uid_t realUid_ = 0;
    bool switched_ = false;
};

// ---------------------------------------------------------------- the lock

// The steps of the lock wait: short at first, so that a lock held for a
// moment is taken almost at once, then no more than 20 tries a second.
constexpr long LOCK_STEP_FIRST_MS = 1;
constexpr long LOCK_STEP_MAX_MS = 50;

// Takes the flock of fd's open file description, waiting until deadline.
// flock itself has no time limit, and every signal may be held here, so no
// timer could interrupt a blocking flock: the lock is tried without waiting,
// again after each short sleep, until it is had or the deadline has passed.
// The writer stays one process, starts none and signals nobody.
int lockUntil(int fd, long deadline)
{
    for (long step = LOCK_STEP_FIRST_MS;; step = step * 2 > LOCK_STEP_MAX_MS ? LOCK_STEP_MAX_MS : step * 2) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0)
            return 0;
        if (errno != EWOULDBLOCK && errno != EINTR)
            return FIO_RC_CANNOT_WRITE;
        const long left = deadline - nowMs();
        if (left <= 0)
            return FIO_RC_LOCKED;   // a lock not awaited is tried once
        const long ms = left < step ? left : step;
        struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
        (void)nanosleep(&t, nullptr);   // woken early by a signal: the next try comes sooner
    }
}

// The flock of the file at the lock name, held while the object lives.
class FileLock {
public:
    FileLock() = default;
    ~FileLock() { release(); }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    // 0, FIO_RC_LOCKED when the wait ran out, FIO_RC_CANNOT_WRITE.
    int take(int dirFd, const char *lockName, long deadline)
    {
        for (;;) {
            int rc = open(dirFd, lockName);
            if (rc != 0)
                return rc;
            rc = lockUntil(fd_.get(), deadline);
            if (rc != 0) {
                if (TR_FILEOPS)
                    trPrintf(trSrcFile, __LINE__, "Cannot lock %s (%d).\n", lockName, rc);
                fd_.reset();
                return rc;
            }
            // A lock file removed or replaced while this one waited guards
            // nothing: another writer may hold the file at the name now.
            switch (check(dirFd, lockName)) {
            case Seen::Same:
                return 0;
            case Seen::Unknown:
                release();
                return FIO_RC_CANNOT_WRITE;
            case Seen::Other:
                break;
            }
            if (TR_FILEOPS)
                trPrintf(trSrcFile, __LINE__, "The lock file %s was replaced while it was awaited; again.\n",
                         lockName);
            release();
            if (nowMs() >= deadline)
                return FIO_RC_LOCKED;
        }
    }

    // Whether the file at the lock name is still the locked one.
    Seen check(int dirFd, const char *lockName) const
    {
        return fd_.get() >= 0 ? seenOpen(fd_.get(), dirFd, lockName) : Seen::Other;
    }

private:
    // Opens the lock file, creating it when it is missing. One this run
    // created while the effective user is root is made root's group too
    // (in a set-user-id run it would get the invoking user's).
    int open(int dirFd, const char *lockName)
    {
        bool created = false;
        for (int attempt = 0; attempt < CREATE_ATTEMPTS && fd_.get() < 0; attempt++) {
            if (!stepAllowed(FIO_STEP_LOCK)) {
                fd_.reset();
                break;
            }
            fd_.reset(fioOpenRegular(dirFd, lockName, O_RDONLY | O_CREAT | O_EXCL, 0600));
            created = fd_.get() >= 0;
            if (fd_.get() < 0 && errno == EEXIST)
                fd_.reset(fioOpenRegular(dirFd, lockName, O_RDONLY));
            if (fd_.get() < 0 && errno != ENOENT)   // ENOENT: removed between the two opens
                break;
        }
        if (fd_.get() < 0) {
            if (TR_FILEOPS)
                trPrintf(trSrcFile, __LINE__, "Cannot open the lock file %s, errno = %d.\n", lockName, errno);
            return FIO_RC_CANNOT_WRITE;
        }
        if (created && geteuid() == 0 && fchown(fd_.get(), 0, 0) != 0 && TR_FILEOPS)
            trPrintf(trSrcFile, __LINE__, "The lock file %s could not be given to root, errno = %d.\n", lockName,
                     errno);
        return 0;
    }

    void release()
    {
        if (fd_.get() >= 0)
            flock(fd_.get(), LOCK_UN);
        fd_.reset();
    }

    FdGuard fd_;
};

// ---------------------------------------------------------------- leftovers

// The writer's process id when entry is a new file of name (see fioListLeftovers), else 0.
pid_t newFileWriter(const char *entry, const char *name)
{
    const size_t len = strlen(name), word = sizeof NEW_WORD - 1;
    if (entry[0] != '.' || strncmp(entry + 1, name, len) != 0 || strncmp(entry + 1 + len, NEW_WORD, word) != 0)
        return 0;
    const char *p = entry + 1 + len + word;
    if (*p < '1' || *p > '9')
        return 0;
    char *end = nullptr;
    errno = 0;
    unsigned long pid = strtoul(p, &end, 10);
    if (errno != 0 || end - p > static_cast<long>(PID_DIGITS_MAX) || pid > static_cast<unsigned long>(INT_MAX) ||
        *end != '-' || strlen(end + 1) != NEW_RANDOM_LEN || strspn(end + 1, NEW_DIGITS) != NEW_RANDOM_LEN)
        return 0;
    return static_cast<pid_t>(pid);
}

// False while the process may still run (a writer that lost its lock to
// someone who moved the lock file); a pid taken again by another process
// only keeps a leftover longer.
bool writerGone(pid_t pid) { return pid != getpid() && kill(pid, 0) != 0 && errno == ESRCH; }

void removeLeftover(void *ctx, const char *leftover)
{
    const int dirFd = *static_cast<const int *>(ctx);
    if (unlinkat(dirFd, leftover, 0) == 0)
        trLogPrintf(trSrcFile, __LINE__, TR_FILEOPS, "Removed %s, left by a rewrite that was interrupted.\n",
                    leftover);
}

} // namespace

int fioRealIdToRoot(uid_t *callerUid)
{
    if (geteuid() != 0 || getuid() == 0)
        return 0;
    *callerUid = getuid();
    return setresuid(0, static_cast<uid_t>(-1), static_cast<uid_t>(-1)) == 0 ? 1 : -1;
}

// ---------------------------------------------------------------- the new file

struct fioOut {
    fioOut(int dirFd, const char *target, const fioReplaceOpts &opts, const struct stat *old)
        : dirFd_(dirFd), target_(target), opts_(opts), old_(old)
    {
    }
    ~fioOut()
    {
        if (file_ != nullptr)
            fclose(file_);   // failed or thrown away; the file is removed below
        if (name_[0] != '\0')
            unlinkat(dirFd_, name_, 0);
        if (buf_ != nullptr) {
            kelZero(buf_, WRITE_BUFFER);   // what passed through may be secret
            kelFree(buf_, __FILE__, __LINE__);
        }
        if (held_)
            (void)setSignalMask(SIG_SETMASK, &before_, nullptr);   // cannot fail with a mask the kernel gave
    }
    fioOut(const fioOut &) = delete;
    fioOut &operator=(const fioOut &) = delete;

    int write(const void *p, size_t n)
    {
        int rc = file_ == nullptr ? create() : 0;
        if (rc != 0 || n == 0)
            return rc;
        if (!stepAllowed(FIO_STEP_WRITE) || fwrite(p, 1, n, file_) != n)
            return FIO_RC_SHORT_WRITE;
        return 0;
    }

    // Flushes, syncs and closes the new file: 0 once it is whole on disk.
    int finish()
    {
        int rc = file_ == nullptr ? create() : 0;
        if (rc != 0)
            return rc;
        if (!stepAllowed(FIO_STEP_FLUSH) || fflush(file_) != 0)
            return FIO_RC_SHORT_WRITE;
        if (!stepAllowed(FIO_STEP_SYNC) || fsync(fileno(file_)) != 0)
            return FIO_RC_SHORT_WRITE;
        FILE *f = file_;
        file_ = nullptr;
        const bool closed = fclose(f) == 0;   // the descriptor is released either way
        if (!stepAllowed(FIO_STEP_CLOSE) || !closed)
            return FIO_RC_SHORT_WRITE;
        return 0;
    }

    // Renames the finished file over the target and syncs the directory. The
    // rename's own result is the answer: 0 even when the directory cannot be
    // synced, since the new file is in place.
    int rename()
    {
        if (!stepAllowed(FIO_STEP_RENAME) || renameat(dirFd_, name_, dirFd_, target_) != 0) {
            if (TR_FILEOPS)
                trPrintf(trSrcFile, __LINE__, "Cannot rename the new file over %s, errno = %d.\n", target_, errno);
            return FIO_RC_CANNOT_WRITE;
        }
        name_[0] = '\0';
        syncDir(dirFd_);
        return 0;
    }

private:
    // Every signal that can be held waits from here until the new file has
    // been renamed into place or removed again.
    void holdSignals()
    {
        sigset_t all;
        sigfillset(&all);
        held_ = setSignalMask(SIG_BLOCK, &all, &before_) == 0;
    }

    // The raw call, both ways: glibc's wrappers never block its two reserved
    // real-time signals, so restoring through them would unblock those two
    // where the caller holds them (the agent does, from a confirmation on).
    static int setSignalMask(int how, const sigset_t *set, sigset_t *old)
    {
        return static_cast<int>(syscall(SYS_rt_sigprocmask, how, set, old, kernelSigsetSize));
    }
    static constexpr size_t kernelSigsetSize = 8;   // the kernel's signal set: one bit a signal, 64 signals

    // Creates the new file exclusively, never through a link, with the old
    // file's owner and group and its mode, before any data is in it.
    int create()
    {
        holdSignals();
        int fd = -1;
        for (int attempt = 0; attempt < CREATE_ATTEMPTS && fd < 0; attempt++) {
            if (!newName())
                return FIO_RC_CANNOT_WRITE;
            fd = stepAllowed(FIO_STEP_CREATE)
                     ? openat(dirFd_, name_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                     : -1;
            if (fd < 0 && errno != EEXIST)
                break;
        }
        if (fd < 0) {
            if (TR_FILEOPS)
                trPrintf(trSrcFile, __LINE__, "Cannot create a new file beside %s, errno = %d.\n", target_, errno);
            name_[0] = '\0';
            return FIO_RC_CANNOT_WRITE;
        }
        FdGuard guard(fd);
        if (!takeOwnership(fd))
            return FIO_RC_CANNOT_WRITE;
        buf_ = static_cast<char *>(kelMalloc(WRITE_BUFFER, __FILE__, __LINE__));
        if (buf_ == nullptr)
            return FIO_RC_NO_MEMORY;
        file_ = fdopen(fd, "wb");
        if (file_ == nullptr)
            return FIO_RC_CANNOT_WRITE;
        guard.release();
        setvbuf(file_, buf_, _IOFBF, WRITE_BUFFER);
        return 0;
    }

    // name_ = "." + target + ".kelvlx-" + pid + "-" + six characters not
    // used before by this process.
    bool newName()
    {
        static unsigned counter;
        unsigned v = (static_cast<unsigned>(getpid()) * 2654435761u) ^ (++counter * 40503u) ^
                     static_cast<unsigned>(time(nullptr));
        char random[NEW_RANDOM_LEN + 1] = {};
        for (size_t i = 0; i < NEW_RANDOM_LEN; i++, v /= 62)
            random[i] = NEW_DIGITS[v % 62];
        const int n = snprintf(name_, sizeof name_, ".%s%s%d-%s", target_, NEW_WORD, static_cast<int>(getpid()),
                               random);
        if (n < 0 || n >= static_cast<int>(sizeof name_)) {
            name_[0] = '\0';
            return false;
        }
        return true;
    }

    bool takeOwnership(int fd)
    {
        struct stat now;
        if (!stepAllowed(FIO_STEP_OWNER) || fstat(fd, &now) != 0)
            return false;
        const uid_t uid = old_ != nullptr ? old_->st_uid : now.st_uid;
        const gid_t gid = old_ != nullptr ? old_->st_gid : now.st_gid;
        const mode_t mode = old_ != nullptr && opts_.keepMode ? (old_->st_mode & 0777) : opts_.mode;
        if ((uid != now.st_uid || gid != now.st_gid) && fchown(fd, uid, gid) != 0) {
            if (TR_FILEOPS)
                trPrintf(trSrcFile, __LINE__, "Cannot give the new file the owner %d:%d of %s, errno = %d.\n",
                         static_cast<int>(uid), static_cast<int>(gid), target_, errno);
            return false;
        }
        return fchmod(fd, mode) == 0;   // whatever the umask
    }

    int dirFd_;
    const char *target_;
    const fioReplaceOpts &opts_;
    const struct stat *old_;
    FILE *file_ = nullptr;
    char *buf_ = nullptr;
    char name_[NAME_MAX + 1] = {};
    sigset_t before_{};
    bool held_ = false;
};

int fioOutWrite(fioOut *out, const void *p, size_t n) { return out != nullptr ? out->write(p, n) : FIO_RC_CANNOT_WRITE; }

// ---------------------------------------------------------------- one replacement

namespace {

struct Target {
    int dirFd;
    const char *name;
    char lockName[NAME_MAX + 1];
    const fioReplaceOpts *opts;
    fioWriter writer;
    void *ctx;
    long deadline;
};

int removeTarget(const Target &t)
{
    if (!stepAllowed(FIO_STEP_RENAME) || unlinkat(t.dirFd, t.name, 0) != 0)
        return FIO_RC_CANNOT_WRITE;
    syncDir(t.dirFd);
    return 0;
}

// The one decision before the rename, made under the lock: the new file may
// go into place only while the file at the lock name is still the locked one
// and the file at the name is still the one the writer read (or still
// absent). Otherwise nothing has been done and *again asks for a new pass:
// someone moved the lock file, and another writer may have come in under a
// new one and changed the file. A stat that fails decides nothing: failure.
int mayRename(const Target &t, const FileLock &lock, const struct stat *old, bool *again)
{
    Seen l = lock.check(t.dirFd, t.lockName);
    Seen f = l == Seen::Same ? seenAt(t.dirFd, t.name, old) : Seen::Same;
    if (l == Seen::Unknown || f == Seen::Unknown) {
        if (TR_FILEOPS)
            trPrintf(trSrcFile, __LINE__, "The lock or %s could not be looked at, errno = %d; nothing renamed.\n",
                     t.name, errno);
        return FIO_RC_CANNOT_WRITE;
    }
    if (l == Seen::Other || f == Seen::Other) {
        if (TR_FILEOPS)
            trPrintf(trSrcFile, __LINE__, "%s changed during the rewrite; again.\n",
                     l == Seen::Other ? t.lockName : t.name);
        *again = true;
        return FIO_RC_CANNOT_WRITE;
    }
    return 0;
}

// One pass under one lock. *again is set when the pass renamed nothing
// because the lock or the file changed from under it: it is to be done anew.
int replaceOnce(const Target &t, bool *again)
{
    FileLock lock;
    int rc = lock.take(t.dirFd, t.lockName, t.deadline);
    if (rc != 0)
        return rc;
    int dirFd = t.dirFd;
    fioListLeftovers(t.dirFd, t.name, removeLeftover, &dirFd);

    FdGuard old(fioOpenRegular(t.dirFd, t.name, O_RDONLY));
    struct stat oldSt;
    if (old.get() < 0 && errno != ENOENT) {
        if (TR_FILEOPS)
            trPrintf(trSrcFile, __LINE__, "%s cannot be opened as a regular file, errno = %d; left alone.\n", t.name,
                     errno);
        return FIO_RC_CANNOT_WRITE;
    }
    if (old.get() >= 0 && (!stepAllowed(FIO_STEP_CHECK) || fstat(old.get(), &oldSt) != 0))
        return FIO_RC_CANNOT_WRITE;
    const struct stat *existed = old.get() >= 0 ? &oldSt : nullptr;

    fioOut out(t.dirFd, t.name, *t.opts, existed);
    fioAction action = fioAction::Replace;
    rc = t.writer(t.ctx, old.get(), &out, &action);
    old.reset();
    if (rc != 0 || action == fioAction::Keep)
        return rc;   // nothing changes: the new file, if any, goes with out
    if (action == fioAction::Replace && (rc = out.finish()) != 0)
        return rc;
    if ((rc = mayRename(t, lock, existed, again)) != 0)
        return rc;
    if (action == fioAction::Remove)
        return existed != nullptr ? removeTarget(t) : 0;
    return out.rename();
}

} // namespace

int fioReplace(int dirFd, const char *name, const fioReplaceOpts &opts, fioWriter writer, void *ctx)
{
    Target t{dirFd, name, {}, &opts, writer, ctx, nowMs() + (opts.waitForLock ? lockWaitMs() : 0)};
    if (dirFd < 0 || name == nullptr || writer == nullptr || strlen(name) + FIO_NAME_EXTRA > NAME_MAX ||
        !siblingName(t.lockName, name, LOCK_SUFFIX))
        return FIO_RC_CANNOT_WRITE;
    RealIdRoot rootWhileLocked;   // declared first: the caller's id comes back after the last lock is gone
    for (;;) {
        bool again = false;
        int rc = replaceOnce(t, &again);
        if (!again)
            return rc;
        if (nowMs() >= t.deadline)
            return FIO_RC_LOCKED;
    }
}

int fioOpenRegular(int dirFd, const char *name, int flags, mode_t mode)
{
    // O_NONBLOCK: opening a FIFO planted at the name must not hang.
    int fd = openat(dirFd, name, flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, mode);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EINVAL;
        return -1;
    }
    int fl = fcntl(fd, F_GETFL);
    if (fl != -1)
        fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);   // regular files ignore it; cleared for tidiness
    return fd;
}

int fioListLeftovers(int dirFd, const char *name, void (*each)(void *ctx, const char *leftover), void *ctx)
{
    if (name == nullptr)
        return -1;
    // A description of its own, so that reading the entries moves no offset of dirFd.
    int fd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR *d = fd >= 0 ? fdopendir(fd) : nullptr;
    if (d == nullptr) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    const uid_t me = geteuid();
    int found = 0;
    while (const dirent *e = readdir(d)) {
        const pid_t writer = newFileWriter(e->d_name, name);
        if (writer == 0)
            continue;
        struct stat st;
        if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) || st.st_uid != me ||
            !writerGone(writer))
            continue;
        found++;
        if (each != nullptr)
            each(ctx, e->d_name);
    }
    closedir(d);
    return found;
}

#ifdef KEL_TEST_HOOKS
void fioFailStep(fioStep step, unsigned nth)
{
    if (step >= 0 && step < FIO_STEP_COUNT)
        stepFailAt[step] = nth == 0 ? 0 : stepCalls[step] + nth;
}

unsigned fioStepCalls(fioStep step) { return step >= 0 && step < FIO_STEP_COUNT ? stepCalls[step] : 0; }

void fioResetSteps()
{
    memset(stepCalls, 0, sizeof stepCalls);
    memset(stepFailAt, 0, sizeof stepFailAt);
    lockWaitOverrideMs = 0;
    stepHook = nullptr;
    stepHookCtx = nullptr;
}

void fioSetLockWaitMs(unsigned ms) { lockWaitOverrideMs = ms; }

void fioSetStepHook(void (*hook)(fioStep step, void *ctx), void *ctx)
{
    stepHook = hook;
    stepHookCtx = ctx;
}
#endif
