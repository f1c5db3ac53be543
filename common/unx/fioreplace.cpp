// Replacing one file of a directory whole. docs/password-file.md ("Replacing
// the file") gives the steps and why each is there.
#include "common/unx/fioreplace.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/mem/kelmem.h"
#include "common/mem/secure.h"
#include "common/unx/fio.h"
#include "common/ut/trace.h"

static const char trSrcFile[] = "fioreplace";

namespace {

constexpr size_t WRITE_BUFFER = 64 * 1024;
constexpr size_t NEW_SUFFIX_LEN = 6;   // name + "." + six characters: a new file, or a leftover of one
constexpr char LOCK_SUFFIX[] = ".lock";
constexpr int CREATE_ATTEMPTS = 100;

// ---------------------------------------------------------------- failure injection

#ifdef KEL_TEST_HOOKS
unsigned stepCalls[FIO_STEP_COUNT];
unsigned stepFailAt[FIO_STEP_COUNT];
unsigned lockWaitOverrideMs;

// false when the tests want this call of the step to fail (errno EIO).
bool stepAllowed(fioStep step)
{
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

// True when name in dirFd is, without following a link, the file open at fd.
bool sameFile(int fd, int dirFd, const char *name)
{
    struct stat a, b;
    return fstat(fd, &a) == 0 && fstatat(dirFd, name, &b, AT_SYMLINK_NOFOLLOW) == 0 && a.st_dev == b.st_dev &&
           a.st_ino == b.st_ino;
}

void syncDir(int dirFd)
{
    if (!stepAllowed(FIO_STEP_SYNCDIR) || fsync(dirFd) != 0)
        trLogPrintf(trSrcFile, __LINE__, TR_FILEOPS, "A directory could not be flushed to disk after a rename.\n");
}

// ---------------------------------------------------------------- who may signal the writer

// In a set-user-id root run the invoking user may signal the process, since
// its real user id is theirs. While the lock is held the real user id is
// root, so that nobody but root can stop or kill a lock holder and hold up
// every other writer; the invoking user's id comes back when the guard goes.
class RealIdRoot {
public:
    RealIdRoot()
    {
        if (geteuid() != 0 || getuid() == 0)
            return;
        realUid_ = getuid();
        switched_ = setresuid(0, static_cast<uid_t>(-1), static_cast<uid_t>(-1)) == 0;
    }
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

// Takes the flock of fd's open file description, waiting until deadline.
// flock itself has no time limit, and every signal may be held here, so no
// timer can interrupt it: a child process blocks in flock on the same open
// file description instead (the lock then belongs to this process too, which
// shares that description), while this process waits for the child's end
// with a bounded poll, and ends the child when the time is up.
int lockUntil(int fd, long deadline)
{
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)
        return 0;
    if (errno != EWOULDBLOCK && errno != EINTR)
        return FIO_RC_CANNOT_WRITE;
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return FIO_RC_CANNOT_WRITE;
    FdGuard done(ends[0]), doneW(ends[1]);
    pid_t waiter = fork();
    if (waiter < 0)
        return FIO_RC_CANNOT_WRITE;
    if (waiter == 0) {
        int r;
        do
            r = flock(fd, LOCK_EX);
        while (r != 0 && errno == EINTR);
        _exit(r == 0 ? 0 : 1);   // its end of the pipe closes: the waiting process wakes up
    }
    doneW.reset();
    for (long left; (left = deadline - nowMs()) > 0;) {
        pollfd p = {done.get(), POLLIN, 0};
        int n = poll(&p, 1, left > INT_MAX ? INT_MAX : static_cast<int>(left));
        if (n > 0 || (n < 0 && errno != EINTR))
            break;
    }
    kill(waiter, SIGKILL);   // still waiting, or ended already: reaped below either way
    while (waitpid(waiter, nullptr, 0) < 0 && errno == EINTR) {
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0)   // the waiter took it for this description
        return 0;
    return errno == EWOULDBLOCK ? FIO_RC_LOCKED : FIO_RC_CANNOT_WRITE;
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
            fd_.reset(stepAllowed(FIO_STEP_LOCK) ? fioOpenRegular(dirFd, lockName, O_RDONLY | O_CREAT, 0600) : -1);
            if (fd_.get() < 0) {
                if (TR_FILEOPS)
                    trPrintf(trSrcFile, __LINE__, "Cannot open the lock file %s, errno = %d.\n", lockName, errno);
                return FIO_RC_CANNOT_WRITE;
            }
            int rc = lockUntil(fd_.get(), deadline);
            if (rc != 0) {
                if (TR_FILEOPS)
                    trPrintf(trSrcFile, __LINE__, "Cannot lock %s (%d).\n", lockName, rc);
                fd_.reset();
                return rc;
            }
            // A lock file removed or replaced while this one waited guards
            // nothing: another writer may hold the file at the name now.
            if (held(dirFd, lockName))
                return 0;
            if (TR_FILEOPS)
                trPrintf(trSrcFile, __LINE__, "The lock file %s was replaced while it was awaited; again.\n",
                         lockName);
            release();
            if (nowMs() >= deadline)
                return FIO_RC_LOCKED;
        }
    }

    // True while the file at the lock name is still the locked one.
    bool held(int dirFd, const char *lockName) const { return fd_.get() >= 0 && sameFile(fd_.get(), dirFd, lockName); }

private:
    void release()
    {
        if (fd_.get() >= 0)
            flock(fd_.get(), LOCK_UN);
        fd_.reset();
    }

    FdGuard fd_;
};

// ---------------------------------------------------------------- leftovers

void removeLeftover(void *ctx, const char *leftover)
{
    const int dirFd = *static_cast<const int *>(ctx);
    if (unlinkat(dirFd, leftover, 0) == 0)
        trLogPrintf(trSrcFile, __LINE__, TR_FILEOPS, "Removed %s, left by a rewrite that was interrupted.\n",
                    leftover);
}

} // namespace

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
            pthread_sigmask(SIG_SETMASK, &before_, nullptr);
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

    // Flushes, syncs and closes the new file, renames it over the target and
    // syncs the directory. After the rename the result is 0 even when the
    // directory cannot be synced: the new file is in place.
    int commit()
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
        held_ = pthread_sigmask(SIG_BLOCK, &all, &before_) == 0;
    }

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

    // name_ = target + "." + six characters not used before by this process.
    bool newName()
    {
        static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
        static unsigned counter;
        unsigned v = (static_cast<unsigned>(getpid()) * 2654435761u) ^ (++counter * 40503u) ^
                     static_cast<unsigned>(time(nullptr));
        char suffix[1 + NEW_SUFFIX_LEN + 1] = ".";
        for (size_t i = 1; i <= NEW_SUFFIX_LEN; i++, v /= 62)
            suffix[i] = digits[v % 62];
        if (!siblingName(name_, target_, suffix)) {
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
    sigset_t before_;
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

// One pass under one lock. *again is set when the lock was taken from under
// it: the pass left the file as it was or may have been overtaken by another
// writer, and is to be done anew.
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
    if (old.get() >= 0 && fstat(old.get(), &oldSt) != 0)
        return FIO_RC_CANNOT_WRITE;
    const bool existed = old.get() >= 0;

    fioOut out(t.dirFd, t.name, *t.opts, existed ? &oldSt : nullptr);
    fioAction action = fioAction::Replace;
    rc = t.writer(t.ctx, old.get(), &out, &action);
    old.reset();
    if (rc == 0 && action != fioAction::Keep && lock.held(t.dirFd, t.lockName)) {
        if (action == fioAction::Remove)
            rc = existed ? removeTarget(t) : 0;
        else
            rc = out.commit();
    }
    // With the lock file taken from under it, another writer may have come in
    // under a new one: it may have removed this pass's new file as a
    // leftover, or read the file before this rename and be about to drop
    // this change with its own. Whatever this pass did, it is done again.
    if (!lock.held(t.dirFd, t.lockName)) {
        *again = true;
        return 0;
    }
    return rc;
}

} // namespace

int fioReplace(int dirFd, const char *name, const fioReplaceOpts &opts, fioWriter writer, void *ctx)
{
    Target t{dirFd, name, {}, &opts, writer, ctx, nowMs() + lockWaitMs()};
    if (dirFd < 0 || name == nullptr || writer == nullptr || strlen(name) + 1 + NEW_SUFFIX_LEN > NAME_MAX ||
        !siblingName(t.lockName, name, LOCK_SUFFIX))
        return FIO_RC_CANNOT_WRITE;
    RealIdRoot rootWhileLocked;   // declared first: the caller's id comes back after the last lock is gone
    for (;;) {
        bool again = false;
        int rc = replaceOnce(t, &again);
        if (!again)
            return rc;
        if (TR_FILEOPS)
            trPrintf(trSrcFile, __LINE__, "The lock file of %s was replaced during the rewrite; again.\n", name);
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
    const size_t len = strlen(name);
    const uid_t me = geteuid();
    int found = 0;
    while (const dirent *e = readdir(d)) {
        if (strlen(e->d_name) != len + 1 + NEW_SUFFIX_LEN || memcmp(e->d_name, name, len) != 0 ||
            e->d_name[len] != '.')
            continue;
        struct stat st;
        if (fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) || st.st_uid != me)
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
}

void fioSetLockWaitMs(unsigned ms) { lockWaitOverrideMs = ms; }
#endif
