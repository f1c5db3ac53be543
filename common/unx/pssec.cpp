// The password file ZAR.PWD. docs/password-file.md describes the bytes, the
// keys and the rules for damaged files; this unit is the only code that
// touches the file.
#include "common/unx/pssec.h"

#include <crypt.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <initializer_list>

#include "common/enc/crypto.h"
#include "common/mem/kelmem.h"
#include "common/mem/secure.h"
#include "common/nls/nlsfmt.h"
#include "common/thrd/pkbytes.h"
#include "common/unx/fio.h"
#include "common/unx/fsubsys.h"
#include "common/ut/GlobalRC.h"
#include "common/ut/dslnklst.h"
#include "common/ut/dspswd.h"
#include "common/ut/logutils.h"
#include "common/ut/trace.h"

static const char trSrcFile[] = "pssec";

psMutex_t fileOp = PTHREAD_MUTEX_INITIALIZER;
psMutex_t cryptMutex = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr int MSG_CONVERTED = 2218;
constexpr int MSG_WRONG_NODE = 9180;
constexpr int MSG_CANNOT_OPEN = 1834;
// Internal: a conversion found its record replaced meanwhile and left it.
constexpr int RC_NOT_CONVERTED = 1;

constexpr uint32_t READER_FIELD_MAX[5] = {PSWD_MAX_FIELD, PSWD_MAX_FIELD, PSWD_MAX_FIELD, PSWD_MAX_FIELD,
                                          PSWD_MAX_FIELD};
constexpr uint32_t KEY_TEXT_MAX = PSWD_KEYSLOT_SIZE - 1;   // a key text and its NUL fill one slot
constexpr unsigned HOSTNAME_BUF = 256;
constexpr int LOCK_WAIT_SECONDS = 120;
constexpr size_t WRITE_BUFFER = 64 * 1024;
constexpr size_t READ_BUFFER = 8 * 1024;

// The stream buffer of a read: the enciphered records pass through it, and
// their key is made from a name, so it is zeroed like any secret. Declared
// before the stream that uses it, so that it outlives the stream.
using ReadBuffer = SecretBuf<READ_BUFFER>;

const char *safeStr(const char *s) { return s != nullptr ? s : ""; }

const char *typeLabel(unsigned char type)
{
    switch (type) {
    case 0: return "Server";
    case 1: return "Encryption";
    case 2: return "Tsa";
    case 3: case 4: case 5: return "Other Type";
    default: return "Unknown";
    }
}

// The writer's labels have no entry for type 2.
const char *writeTypeLabel(unsigned char type) { return type == 2 ? "Unknown" : typeLabel(type); }

// A name that a record field can hold.
bool nameFits(const char *name) { return name != nullptr && strnlen(name, PSWD_MAX_FIELD + 1) <= PSWD_MAX_FIELD; }

// 1 when a creation is allowed: not a set-user-id run, or a root caller.
bool mayCreate() { return getuid() == 0 || getuid() == geteuid(); }

// ---------------------------------------------------------------- guards

class ListGuard {
public:
    ~ListGuard() { delete_LinkedList(list); }
    LinkedList_t *list = nullptr;
};

// ---------------------------------------------------------------- failure injection

#ifdef KEL_TEST_HOOKS
unsigned stepCalls[PS_STEP_COUNT];
unsigned stepFailAt[PS_STEP_COUNT];

// false when the test harness wants this call of the step to fail.
bool stepAllowed(psFileStep step)
{
    unsigned n = ++stepCalls[step];
    return stepFailAt[step] == 0 || stepFailAt[step] != n;
}
#else
constexpr bool stepAllowed(psFileStep) { return true; }
#endif

// ---------------------------------------------------------------- field helpers

bool fieldIs(const char *f, uint32_t len, const char *name)
{
    size_t n = strlen(name);
    return len == n && memcmp(f, name, n) == 0;
}

bool fieldIsPrefixed(const char *f, uint32_t len, unsigned char prefix, const char *name)
{
    size_t n = strlen(name);
    return len == n + 1 && static_cast<unsigned char>(f[0]) == prefix && memcmp(f + 1, name, n) == 0;
}

uint32_t fieldLen(const unsigned char *hdr, int i) { return GetFour(hdr + PSWD_RH_LEN1 + 4 * i); }

// ---------------------------------------------------------------- scanning

enum class Scan { Record, End, Trailing, Damage, IoError };

// Reads the next record; each field i goes to f[i] (max[i] + 1 bytes) and is
// ended with a NUL. End: the file ends here. Trailing: bytes that do not begin
// a record. Damage: a record cut short or a field too long for its buffer.
Scan scanRecord(FILE *s, unsigned char *hdr, char *const f[5], const uint32_t max[5], uint32_t *bytes)
{
    memset(hdr, 0, PSWD_RECHDR_SIZE);
    *bytes = 0;
    size_t n = fread(hdr, 1, PSWD_RECHDR_SIZE, s);
    if (n == 0)
        return ferror(s) ? Scan::IoError : Scan::End;
    if (n < 2 || hdr[PSWD_RH_MARKER] != PSWD_MARKER) {
        if (ferror(s))
            return Scan::IoError;
        return Scan::Trailing;
    }
    if (n < PSWD_RECHDR_SIZE)
        return ferror(s) ? Scan::IoError : Scan::Damage;
    uint32_t total = PSWD_RECHDR_SIZE;
    for (int i = 0; i < 5; i++) {
        uint32_t len = fieldLen(hdr, i);
        if (len > max[i])
            return Scan::Damage;
        if (fread(f[i], 1, len, s) != len)
            return ferror(s) ? Scan::IoError : Scan::Damage;
        f[i][len] = '\0';
        total += len;
    }
    *bytes = total;
    return Scan::Record;
}

// The five field buffers of one record, zeroed when they go.
struct ReaderFields {
    SecretBuf<PSWD_FIELD_BUF> b[5];
    char *f[5] = {b[0].chars(), b[1].chars(), b[2].chars(), b[3].chars(), b[4].chars()};
};

// Opens a file of the password directory without following a link at its
// name and only when it is a regular file. Sets errno (ELOOP for a link,
// EINVAL for something other than a regular file) on failure.
int openRegular(int dirFd, const char *name, int flags, mode_t mode = 0)
{
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

// ---------------------------------------------------------------- paths

// The directory and the file name of the password path, split at the last
// '/' byte (not character: the path is bytes, whatever the locale).
struct PathParts {
    const char *full;
    char dir[PATH_MAX];
    char base[NAME_MAX + 1];
};

bool splitPath(const char *path, PathParts *p)
{
    if (path == nullptr || path[0] == '\0')
        return false;
    p->full = path;
    size_t len = strlen(path);
    const char *slash = static_cast<const char *>(memrchr(path, '/', len));
    const char *base = slash != nullptr ? slash + 1 : path;
    size_t baseLen = len - static_cast<size_t>(base - path);
    // room for the longest sibling name: base + ".XXXXXX" and base + ".lock"
    if (baseLen == 0 || baseLen + 8 > NAME_MAX)
        return false;
    memcpy(p->base, base, baseLen + 1);
    if (slash == nullptr) {
        memcpy(p->dir, ".", 2);
    } else if (slash == path) {
        memcpy(p->dir, "/", 2);
    } else {
        size_t dirLen = static_cast<size_t>(slash - path);
        if (dirLen >= sizeof p->dir)
            return false;
        memcpy(p->dir, path, dirLen);
        p->dir[dirLen] = '\0';
    }
    return true;
}

int openDir(const char *dir) { return open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

// Message 1834 to the error log and the trace.
#define LOG_CANNOT_OPEN(what) trNlsLogPrintf(trSrcFile, __LINE__, TR_PASSWORD, MSG_CANNOT_OPEN, (what))

// ---------------------------------------------------------------- inter-process lock

// flock on "<name>.lock" beside the file: the lock outlives every rename of
// the file itself. Released when the guard goes.
class FileLock {
public:
    FileLock() = default;
    ~FileLock()
    {
        if (fd_ >= 0) {
            flock(fd_, LOCK_UN);
            close(fd_);
        }
    }
    FileLock(const FileLock &) = delete;
    FileLock &operator=(const FileLock &) = delete;

    bool acquire(int dirFd, const char *base)
    {
        char name[NAME_MAX + 1];
        if (snprintf(name, sizeof name, "%s.lock", base) >= static_cast<int>(sizeof name))
            return false;
        fd_ = openRegular(dirFd, name, O_RDONLY | O_CREAT, 0600);
        if (fd_ < 0) {
            if (TR_PASSWORD)
                trPrintf(trSrcFile, __LINE__, "Cannot open the lock file %s, errno = %d.\n", name, errno);
            return false;
        }
        // A bounded wait, so that a lock held by a stuck process ends in an
        // error instead of a hang.
        timespec start;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            if (flock(fd_, LOCK_EX | LOCK_NB) == 0)
                return true;
            if (errno != EWOULDBLOCK && errno != EINTR)
                break;
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            if (now.tv_sec - start.tv_sec > LOCK_WAIT_SECONDS)
                break;
            timespec pause = {0, 2 * 1000 * 1000};
            nanosleep(&pause, nullptr);
        }
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "Cannot lock %s, errno = %d.\n", name, errno);
        return false;
    }

private:
    int fd_ = -1;
};

// ---------------------------------------------------------------- the new file

// Signals that would end the process wait while a new file exists beside
// ZAR.PWD, so that it is always renamed into place or removed; they arrive
// when the guard goes. (SIGKILL cannot wait: it may leave the new file.)
class SignalsHeld {
public:
    SignalsHeld()
    {
        sigset_t set;
        sigemptyset(&set);
        for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGXFSZ, SIGVTALRM,
                        SIGPROF, SIGPIPE})
            sigaddset(&set, sig);
        held_ = pthread_sigmask(SIG_BLOCK, &set, &before_) == 0;
    }
    ~SignalsHeld()
    {
        if (held_)
            pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
    SignalsHeld(const SignalsHeld &) = delete;
    SignalsHeld &operator=(const SignalsHeld &) = delete;

private:
    sigset_t before_;
    bool held_ = false;
};

// The new contents go to a file created beside ZAR.PWD; it replaces the old
// file only when everything is on disk. Until commit() succeeds, the guard
// removes it again.
class NewFile {
public:
    explicit NewFile(int dirFd) : dirFd_(dirFd) {}
    ~NewFile()
    {
        if (out_ != nullptr)
            fclose(out_);   // failed already; the file is removed below
        if (name_[0] != '\0')
            unlinkat(dirFd_, name_, 0);
        if (buf_ != nullptr) {
            kelZero(buf_, WRITE_BUFFER);   // enciphered records, readable with a key made from a name
            kelFree(buf_, __FILE__, __LINE__);
        }
    }
    NewFile(const NewFile &) = delete;
    NewFile &operator=(const NewFile &) = delete;

    // -1 when the file cannot be created, 102 without memory.
    int create(const char *base, mode_t mode)
    {
        static unsigned counter;
        for (int attempt = 0; attempt < 100; attempt++) {
            unsigned v = (static_cast<unsigned>(getpid()) * 2654435761u) ^ (++counter * 40503u) ^
                         static_cast<unsigned>(time(nullptr));
            static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
            char suffix[7];
            for (int i = 0; i < 6; i++, v /= 62)
                suffix[i] = digits[v % 62];
            suffix[6] = '\0';
            if (snprintf(name_, sizeof name_, "%s.%s", base, suffix) >= static_cast<int>(sizeof name_)) {
                name_[0] = '\0';
                return -1;
            }
            int fd = openat(dirFd_, name_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd < 0) {
                int err = errno;
                name_[0] = '\0';
                if (err == EEXIST)
                    continue;
                if (TR_PASSWORD)
                    trPrintf(trSrcFile, __LINE__, "Cannot create the new password file, errno = %d.\n", err);
                return -1;
            }
            // The mode is set whatever the umask.
            if (fchmod(fd, mode) != 0 || (out_ = fdopen(fd, "wb")) == nullptr) {
                close(fd);
                return -1;
            }
            buf_ = static_cast<char *>(kelMalloc(WRITE_BUFFER, __FILE__, __LINE__));
            if (buf_ == nullptr)
                return PSWD_RC_NO_MEMORY;
            setvbuf(out_, buf_, _IOFBF, WRITE_BUFFER);
            return 0;
        }
        return -1;
    }

    FILE *stream() const { return out_; }

    // Flushes, syncs and closes the file, renames it over base and syncs the
    // directory. 0, 165 when the data could not be written, -1 when the
    // rename failed. After a successful rename the result is 0 even when the
    // directory cannot be synced: the new file is in place and cannot be undone.
    int commit(const char *base)
    {
        if (!stepAllowed(PS_STEP_FLUSH) || fflush(out_) != 0)
            return PSWD_RC_SHORT_WRITE;
        if (!stepAllowed(PS_STEP_SYNC) || fsync(fileno(out_)) != 0)
            return PSWD_RC_SHORT_WRITE;
        FILE *f = out_;
        out_ = nullptr;
        bool closed = fclose(f) == 0;   // the descriptor is released either way
        if (!stepAllowed(PS_STEP_CLOSE) || !closed)
            return PSWD_RC_SHORT_WRITE;
        if (!stepAllowed(PS_STEP_RENAME) || renameat(dirFd_, name_, dirFd_, base) != 0) {
            if (TR_PASSWORD)
                trPrintf(trSrcFile, __LINE__, "Cannot replace the password file, errno = %d.\n", errno);
            return PSWD_RC_CANNOT_WRITE;
        }
        name_[0] = '\0';
        syncDir(dirFd_);
        return 0;
    }

    static void syncDir(int dirFd)
    {
        if (!stepAllowed(PS_STEP_SYNCDIR) || fsync(dirFd) != 0)
            trLogPrintf(trSrcFile, __LINE__, TR_PASSWORD,
                        "The directory of the password file could not be flushed to disk.\n");
    }

private:
    int dirFd_;
    FILE *out_ = nullptr;
    char *buf_ = nullptr;
    char name_[NAME_MAX + 1] = {};
};

// 0, or 165 when the stream does not take all bytes.
int writeBytes(FILE *out, const void *p, size_t n)
{
    if (n == 0)
        return 0;
    if (!stepAllowed(PS_STEP_WRITE) || fwrite(p, 1, n, out) != n)
        return PSWD_RC_SHORT_WRITE;
    return 0;
}

int writeEntry(FILE *out, const pswdListEnt *e)
{
    int rc = writeBytes(out, e->hdr, PSWD_RECHDR_SIZE);
    return rc != 0 ? rc : writeBytes(out, e->data, e->dataLen);
}

// ---------------------------------------------------------------- records

// One record to be written, its fields given by pointer and length.
struct OutRecord {
    unsigned char type;
    unsigned char version;
    const char *f[5];
    uint32_t len[5];
};

int writeRecord(FILE *out, const OutRecord &r)
{
    unsigned char hdr[PSWD_RECHDR_SIZE];
    hdr[PSWD_RH_TYPE] = r.type;
    hdr[PSWD_RH_MARKER] = PSWD_MARKER;
    hdr[PSWD_RH_VERSION] = r.version;
    uint64_t total = 0;
    for (int i = 0; i < 5; i++) {
        SetFour(hdr + PSWD_RH_LEN1 + 4 * i, r.len[i]);
        total += r.len[i];
    }
    char *block = static_cast<char *>(kelMalloc(total + 1, __FILE__, __LINE__));
    if (block == nullptr)
        return PSWD_RC_NO_MEMORY;
    char *p = block;
    for (int i = 0; i < 5; i++) {
        memcpy(p, r.f[i], r.len[i]);
        p += r.len[i];
    }
    int rc = writeBytes(out, hdr, PSWD_RECHDR_SIZE);
    if (rc == 0)
        rc = writeBytes(out, block, total);
    kelZero(block, total + 1);
    kelFree(block, __FILE__, __LINE__);
    return rc;
}

// Enciphers or deciphers len bytes with the DES cipher; 0 or the cipher's code.
int desField(Crypto *c, unsigned char dir, const unsigned char *key, const char *in, uint32_t len, char *out)
{
    unsigned int outLen = 0;
    return c->cipherData(dir, key, reinterpret_cast<const unsigned char *>(in), len,
                         reinterpret_cast<unsigned char *>(out), &outLen);
}

// The current key record of a server and node becomes two saved records
// whose field 5 holds the same key text: prefix 0x01 under the host key,
// prefix 0x02 under the node key, as the reader takes them.
int writeSavedRecords(FILE *out, Crypto *c, const pswdListEnt *e, const unsigned char *nodeKey)
{
    const char *f[5];
    uint32_t len[5];
    const char *p = e->data;
    for (int i = 0; i < 5; i++) {
        f[i] = p;
        len[i] = fieldLen(e->hdr, i);
        p += len[i];
    }
    if (len[1] + 1 > PSWD_MAX_FIELD || len[2] + 1 > PSWD_MAX_FIELD) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "psWriteRecordPswdFile: names too long to save the current key\n");
        return PSWD_RC_CANNOT_WRITE;
    }
    SecretBuf<PSWD_KEY_SIZE> hostKey;
    if (getCryptoKeyV1(hostKey.data()) != 1)
        return PSWD_RC_CANNOT_WRITE;

    // field 5 of the list entry is at most 80 bytes
    SecretBuf<128> clear, forHost, forNode;
    const unsigned char *currentKey = e->hdr[PSWD_RH_VERSION] == PSWD_VERSION_1 ? hostKey.data() : nodeKey;
    int rc = desField(c, CRYPTO_DECRYPT, currentKey, f[4], len[4], clear.chars());
    if (rc == 0)
        rc = desField(c, CRYPTO_ENCRYPT, hostKey.data(), clear.chars(), len[4], forHost.chars());
    if (rc == 0)
        rc = desField(c, CRYPTO_ENCRYPT, nodeKey, clear.chars(), len[4], forNode.chars());
    if (rc != 0)
        return rc;

    char f2[PSWD_FIELD_BUF], f3[PSWD_FIELD_BUF];
    const unsigned char prefixes[2] = {PSWD_SAVED_V1, PSWD_SAVED_V3};
    const unsigned char versions[2] = {PSWD_VERSION_3, PSWD_VERSION_1};
    const char *keys[2] = {forHost.chars(), forNode.chars()};
    for (int k = 0; k < 2 && rc == 0; k++) {
        f2[0] = static_cast<char>(prefixes[k]);
        memcpy(f2 + 1, f[1], len[1]);
        f3[0] = static_cast<char>(prefixes[k]);
        memcpy(f3 + 1, f[2], len[2]);
        OutRecord r{e->hdr[PSWD_RH_TYPE], versions[k], {f[0], f2, f3, f[3], keys[k]},
                    {len[0], len[1] + 1, len[2] + 1, len[3], len[4]}};
        rc = writeRecord(out, r);
    }
    return rc;
}

// ---------------------------------------------------------------- list building

// The body of MakePswdList: every record from the current position, or 0 on
// damage, on bytes after the last record, on a read error or without memory.
int buildList(LinkedList_t **listP, FILE *s, unsigned char type, const char *server, const char *node,
              int *savedInd)
{
    *savedInd = 0;
    *listP = new_LinkedList(DelListEnt, 0);
    if (*listP == nullptr)
        return 0;

    char b1[PSWD_LIST_FIELD_MAX[0] + 1], b2[PSWD_LIST_FIELD_MAX[1] + 1], b3[PSWD_LIST_FIELD_MAX[2] + 1];
    SecretBuf<PSWD_LIST_FIELD_MAX[3] + 1> b4;
    SecretBuf<PSWD_LIST_FIELD_MAX[4] + 1> b5;
    char *const f[5] = {b1, b2, b3, b4.chars(), b5.chars()};
    unsigned char hdr[PSWD_RECHDR_SIZE];
    uint32_t bytes = 0;
    Scan st;
    while ((st = scanRecord(s, hdr, f, PSWD_LIST_FIELD_MAX, &bytes)) == Scan::Record) {
        pswdListEnt *e = static_cast<pswdListEnt *>(kelMalloc(sizeof(pswdListEnt), __FILE__, __LINE__));
        if (e == nullptr)
            return 0;
        e->replace = 0;
        e->data = nullptr;
        uint32_t len[5];
        for (int i = 0; i < 5; i++)
            len[i] = fieldLen(hdr, i);
        if (hdr[PSWD_RH_TYPE] == type) {
            if (isOtherType(type)) {
                e->replace = fieldIs(b2, len[1], server) ? 1 : 0;
            } else {
                e->replace = fieldIs(b2, len[1], server) && fieldIs(b3, len[2], node) ? 1 : 0;
                if (*savedInd == 0 &&
                    ((fieldIsPrefixed(b2, len[1], PSWD_SAVED_V1, server) &&
                      fieldIsPrefixed(b3, len[2], PSWD_SAVED_V1, node)) ||
                     (fieldIsPrefixed(b2, len[1], PSWD_SAVED_V3, server) &&
                      fieldIsPrefixed(b3, len[2], PSWD_SAVED_V3, node))))
                    *savedInd = 1;
            }
        }
        memcpy(e->hdr, hdr, PSWD_RECHDR_SIZE);
        e->dataLen = bytes - PSWD_RECHDR_SIZE;
        e->data = static_cast<char *>(kelMalloc(uint64_t(e->dataLen) + 1, __FILE__, __LINE__));
        if (e->data == nullptr) {
            DelListEnt(e);
            return 0;
        }
        // every field by its length: a field may hold a 0 byte
        char *p = e->data;
        for (int i = 0; i < 5; i++) {
            memcpy(p, f[i], len[i]);
            p += len[i];
        }
        *p = '\0';
        if (llInsertAtBottom(*listP, e) == nullptr) {
            DelListEnt(e);
            return 0;
        }
    }
    if (st != Scan::End) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "MakePswdList: the password file is damaged (%d).\n", static_cast<int>(st));
        return 0;
    }
    return ferror(s) ? 0 : 1;
}

// ---------------------------------------------------------------- one rewrite

// What a read-modify-write of the file is for.
// A version 1 record as the reader saw it before it converts it.
struct Expect {
    unsigned char version;
    const char *f5;
    uint32_t len5;
};

struct Change {
    unsigned char type;
    const char *server;
    const char *node;
    // for a write: the new record
    bool write;
    const char *pswd;
    const unsigned char *key;
    // for a conversion: the record it replaces must still be the one read
    const Expect *expect;
};

// The old file as it stands under the lock.
struct OldFile {
    bool exists = false;
    mode_t mode = 0600;
    LinkedList_t *list = nullptr;
    int savedInd = 0;
    uint32_t count = 0;
    uint32_t marked = 0;
};

// Opens the directory of the path; for a write it creates it when that is
// allowed. -1 (message 1834) when it cannot be had.
int openPasswordDir(const PathParts &pp, bool create, FdGuard *dirFd)
{
    dirFd->reset(openDir(pp.dir));
    if (dirFd->get() >= 0)
        return 0;
    if (errno != ENOENT || !create) {
        if (create)
            LOG_CANNOT_OPEN(pp.dir);
        return PSWD_RC_CANNOT_WRITE;
    }
    if (!mayCreate()) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "The directory %s does not exist; not created in a set-user-id run.\n",
                     pp.dir);
        return PSWD_RC_CANNOT_WRITE;
    }
    if (fioBuildPath(pp.dir) != 0 || (dirFd->reset(openDir(pp.dir)), dirFd->get() < 0)) {
        LOG_CANNOT_OPEN(pp.dir);
        return PSWD_RC_CANNOT_WRITE;
    }
    return 0;
}

// A reader stops at a record with a field longer than its buffers, so a file
// holding one is not rewritten: a password stored behind it could not be read.
bool fitsReader(const unsigned char *hdr)
{
    for (int i = 0; i < 5; i++)
        if (fieldLen(hdr, i) > READER_FIELD_MAX[i])
            return false;
    return true;
}

// Reads the whole old file into a list. -1 when it cannot be read, is not a
// regular file (a link is never followed), or is damaged anywhere.
int readOldFile(int dirFd, const PathParts &pp, const Change &ch, OldFile *old)
{
    FdGuard fd(openRegular(dirFd, pp.base, O_RDONLY));
    if (fd.get() < 0) {
        if (errno == ENOENT)
            return 0;
        if (errno != ELOOP && errno != EINVAL)
            LOG_CANNOT_OPEN(pp.full);
        else if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "%s is not a regular file; left alone.\n", pp.base);
        return PSWD_RC_CANNOT_WRITE;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0)
        return PSWD_RC_CANNOT_WRITE;
    ReadBuffer rbuf;
    StreamGuard in(fdopen(fd.get(), "rb"));
    if (in.get() == nullptr)
        return PSWD_RC_CANNOT_WRITE;
    fd.release();
    setvbuf(in.get(), rbuf.chars(), _IOFBF, rbuf.size());
    old->exists = true;
    old->mode = st.st_mode & 0777;
    char hdr[PSWD_HEADER_SIZE];
    size_t n = fread(hdr, 1, sizeof hdr, in.get());
    if (ferror(in.get()) || (n > 0 && n < sizeof hdr)) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "The header of the password file is cut short.\n");
        return PSWD_RC_CANNOT_WRITE;
    }
    if (MakePswdList(&old->list, in.get(), ch.type, ch.server, ch.node, &old->savedInd) != 1)
        return PSWD_RC_CANNOT_WRITE;
    old->count = llGetNumItems(old->list);
    for (llNode_t *nd = llGetNextItem(old->list, nullptr); nd != nullptr; nd = llGetNextItem(old->list, nd)) {
        const pswdListEnt *e = static_cast<pswdListEnt *>(llGetData(old->list, nd));
        if (!fitsReader(e->hdr)) {
            if (TR_PASSWORD)
                trPrintf(trSrcFile, __LINE__, "A record of the password file is too long to be read; left alone.\n");
            return PSWD_RC_CANNOT_WRITE;
        }
        old->marked += static_cast<uint32_t>(e->replace);
    }
    return 0;
}

// Writes the new contents: header, kept records (a replaced current key of
// type 1 becomes two saved records), and for a write the new record.
int writeContents(FILE *out, Crypto *c, const Change &ch, const OldFile &old, const unsigned char *key)
{
    int rc = psWriteHeader(out, PSWD_HEADER_MSG);
    for (llNode_t *nd = old.list != nullptr ? llGetNextItem(old.list, nullptr) : nullptr; rc == 0 && nd != nullptr;
         nd = llGetNextItem(old.list, nd)) {
        const pswdListEnt *e = static_cast<const pswdListEnt *>(llGetData(old.list, nd));
        if (e->replace == 0) {
            rc = writeEntry(out, e);
        } else if (ch.write && ch.type == PSWD_TYPE_ENCRKEY && old.savedInd == 0) {
            if (TR_PASSWORD)
                trPrintf(trSrcFile, __LINE__, "psWriteRecordPswdFile: Found the current entry\n");
            rc = writeSavedRecords(out, c, e, key);
        }
    }
    if (rc != 0 || !ch.write)
        return rc;

    uint32_t serverLen = static_cast<uint32_t>(strlen(ch.server));
    uint32_t nodeLen = static_cast<uint32_t>(strlen(ch.node));
    uint32_t pswdLen = static_cast<uint32_t>(strlen(ch.pswd));
    SecretBuf<PSWD_FIELD_BUF> f4, f5;
    rc = desField(c, CRYPTO_ENCRYPT, key, ch.node, nodeLen, f4.chars());
    if (rc != 0) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "psWriteRecordPswdFile: Failed to encrypt nodename rc = %d\n", rc);
        return rc;
    }
    rc = desField(c, CRYPTO_ENCRYPT, key, ch.pswd, pswdLen, f5.chars());
    if (rc != 0)
        return rc;
    OutRecord r{ch.type, PSWD_VERSION_3, {"NULL", ch.server, ch.node, f4.chars(), f5.chars()},
                {4, serverLen, nodeLen, nodeLen, pswdLen}};
    return writeRecord(out, r);
}

// Removes the file that a delete has emptied.
int removeFile(int dirFd, const char *base)
{
    if (!stepAllowed(PS_STEP_RENAME) || unlinkat(dirFd, base, 0) != 0)
        return PSWD_RC_CANNOT_WRITE;
    NewFile::syncDir(dirFd);
    return 0;
}

// True when the record that a reader takes (the first of the node, for type 1
// the last) is still the version 1 record that the conversion started from.
bool stillAsRead(const OldFile &old, const Change &ch)
{
    const pswdListEnt *pick = nullptr;
    for (llNode_t *nd = old.list != nullptr ? llGetNextItem(old.list, nullptr) : nullptr; nd != nullptr;
         nd = llGetNextItem(old.list, nd)) {
        const pswdListEnt *e = static_cast<const pswdListEnt *>(llGetData(old.list, nd));
        if (e->replace == 1 && (pick == nullptr || ch.type == PSWD_TYPE_ENCRKEY))
            pick = e;
    }
    if (pick == nullptr || pick->hdr[PSWD_RH_VERSION] != ch.expect->version)
        return false;
    uint32_t off = 0;
    for (int i = 0; i < 4; i++)
        off += fieldLen(pick->hdr, i);
    return fieldLen(pick->hdr, 4) == ch.expect->len5 && memcmp(pick->data + off, ch.expect->f5, ch.expect->len5) == 0;
}

// The read-modify-write shared by the writer and the deleter, under the
// inter-process lock: 0 or the code of the failure; on failure the file is as
// it was. c and key are used for a write only.
int rewriteFile(const char *path, const Change &ch, Crypto *c, const unsigned char *key)
{
    PathParts pp;
    if (!splitPath(path, &pp))
        return PSWD_RC_CANNOT_WRITE;
    FdGuard dirFd;
    int rc = openPasswordDir(pp, ch.write, &dirFd);
    if (rc != 0)
        return rc;

    // In a set-user-id run only an existing password file is rewritten, and
    // the lock file is made only beside it.
    struct stat st;
    bool exists = fstatat(dirFd.get(), pp.base, &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && (!ch.write || !mayCreate())) {
        if (ch.write && TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "%s does not exist; not created in a set-user-id run.\n", path);
        return PSWD_RC_CANNOT_WRITE;
    }
    if (exists && !S_ISREG(st.st_mode)) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "%s is not a regular file; left alone.\n", path);
        return PSWD_RC_CANNOT_WRITE;
    }

    FileLock lock;
    if (!lock.acquire(dirFd.get(), pp.base))
        return PSWD_RC_CANNOT_WRITE;
    OldFile old;
    ListGuard listGuard;
    rc = readOldFile(dirFd.get(), pp, ch, &old);
    listGuard.list = old.list;
    if (rc != 0)
        return rc;
    if (!old.exists && !mayCreate())
        return PSWD_RC_CANNOT_WRITE;   // removed meanwhile
    if (ch.expect != nullptr && !stillAsRead(old, ch)) {
        // Another process stored a password since the read: that one stands.
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "The record changed since it was read; not converted.\n");
        return RC_NOT_CONVERTED;
    }

    if (!ch.write) {
        if (!old.exists)
            return 0;
        if (old.count == old.marked)
            return removeFile(dirFd.get(), pp.base);
        if (old.marked == 0)
            return 0;   // nothing to remove: the file stays as it is
    }

    SignalsHeld held;   // declared first, so released only after nf has gone
    NewFile nf(dirFd.get());
    rc = nf.create(pp.base, ch.write ? 0600 : old.mode);
    if (rc == 0)
        rc = writeContents(nf.stream(), c, ch, old, key);
    if (rc == 0)
        rc = nf.commit(pp.base);
    return rc;
}

// psWriteRecordPswdFile, and for a conversion the check that the record is
// still the one that was read.
int storeRecord(unsigned char type, const char *pswd1, const char *pswd2, pswdFileInfo *info, const char *path,
                const char *server, const char *node, const unsigned char *key, const Expect *expect)
{
    if (info == nullptr || !nameFits(server) || !nameFits(node))
        return PSWD_RC_CANNOT_WRITE;
    const char *pswd = (type == PSWD_TYPE_ENCRKEY || type == PSWD_TYPE_TSA) ? pswd1 : pswd2;
    if (type == PSWD_TYPE_SERVER && (pswd == nullptr || pswd[0] == '\0'))
        pswd = pswd1;
    pswd = safeStr(pswd);
    // What no reader could take back is never stored.
    size_t pswdMax = type == PSWD_TYPE_ENCRKEY ? KEY_TEXT_MAX : PSWD_MAX_FIELD;
    if (strnlen(pswd, pswdMax + 1) > pswdMax) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "psWriteRecordPswdFile: the password is too long to be stored.\n");
        return PSWD_RC_CANNOT_WRITE;
    }
    const unsigned char *workKey = key;
    if (!isOtherType(type)) {
        // Without the node key the record could never be read back.
        if (info->cryptoKeyOK == 0)
            info->cryptoKeyOK = psSetUpCryptoKey(info->cryptoKey, node);
        if (info->cryptoKeyOK == 0)
            return PSWD_RC_CANNOT_WRITE;
        workKey = info->cryptoKey;
    }
    if (workKey == nullptr)
        return PSWD_RC_CANNOT_WRITE;

    int rc = 0;
    CryptoPtr c(new_Crypto(CRYPTO_TYPE_DES, &rc));
    if (c.get() == nullptr) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "psWriteRecordPswdFile(): Error %d creating the crypto object\n", rc);
        return rc;
    }
    Change ch{type, server, node, true, pswd, workKey, expect};
    return rewriteFile(path, ch, c.get(), workKey);
}

// ---------------------------------------------------------------- reader

// What the scan of the reader kept.
struct Found {
    bool current = false;
    unsigned char version = 0;
    SecretBuf<PSWD_FIELD_BUF> f4, f5;
    uint32_t len4 = 0, len5 = 0;
    bool savedV1 = false, savedV3 = false;
    SecretBuf<PSWD_FIELD_BUF> v1, v3;
    uint32_t lenV1 = 0, lenV3 = 0;
    bool damaged = false;
};

void keep(SecretBuf<PSWD_FIELD_BUF> &dst, uint32_t *dstLen, const char *src, uint32_t len)
{
    dst.clear();
    memcpy(dst.data(), src, len);
    *dstLen = len;
}

void scanForRecord(FILE *in, unsigned char type, const char *server, char *node, Found *fd)
{
    ReaderFields rf;
    unsigned char hdr[PSWD_RECHDR_SIZE];
    uint32_t bytes = 0;
    Scan st;
    while ((st = scanRecord(in, hdr, rf.f, READER_FIELD_MAX, &bytes)) == Scan::Record) {
        if (hdr[PSWD_RH_TYPE] != type)
            continue;
        uint32_t len[5];
        for (int i = 0; i < 5; i++)
            len[i] = fieldLen(hdr, i);
        bool names = fieldIs(rf.f[1], len[1], server) && (isOtherType(type) || fieldIs(rf.f[2], len[2], node));
        if (names) {
            if (TR_PASSWORD)
                trPrintf(trSrcFile, __LINE__,
                         "psReadPswdFile: password record found for type '%d' userId '%s' serverName '%s' "
                         "nodeName '%s'\n",
                         type, rf.f[0], server, rf.f[2]);
            fd->current = true;
            fd->version = hdr[PSWD_RH_VERSION];
            keep(fd->f5, &fd->len5, rf.f[4], len[4]);
            keep(fd->f4, &fd->len4, rf.f[3], len[3]);
            if (isOtherType(type))
                memcpy(node, rf.f[2], len[2] + 1);
            if (type != PSWD_TYPE_ENCRKEY)
                return;
        } else if (type == PSWD_TYPE_ENCRKEY) {
            static const unsigned char prefixes[2] = {PSWD_SAVED_V1, PSWD_SAVED_V3};
            for (unsigned char prefix : prefixes) {
                if (!fieldIsPrefixed(rf.f[1], len[1], prefix, server) ||
                    !fieldIsPrefixed(rf.f[2], len[2], prefix, node))
                    continue;
                bool v1 = prefix == PSWD_SAVED_V1;
                if (TR_PASSWORD)
                    trPrintf(trSrcFile, __LINE__, "psReadPswdFile: found the saved password record (%s)\n",
                             v1 ? "V1" : "V3");
                if (v1) {
                    fd->savedV1 = true;
                    keep(fd->v1, &fd->lenV1, rf.f[4], len[4]);
                } else {
                    fd->savedV3 = true;
                    keep(fd->v3, &fd->lenV3, rf.f[4], len[4]);
                }
            }
        }
    }
    if (st == Scan::Damage || st == Scan::IoError) {
        fd->damaged = true;
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "psReadPswdFile: the password file is damaged; scan ended.\n");
    }
}

// Deciphers len bytes into out and ends them with a NUL.
int decipherText(Crypto *c, const unsigned char *key, const char *in, uint32_t len, char *out)
{
    int rc = desField(c, CRYPTO_DECRYPT, key, in, len, out);
    out[len] = '\0';
    return rc;
}

// Version 3: the password (or key) and, for type 1, the saved keys.
int readVersion3(Crypto *c, unsigned char type, const unsigned char *workKey, const char *node, Found &fd,
                 char *answer)
{
    if (TR_PASSWORD)
        trPrintf(trSrcFile, __LINE__, "The record version is 3.\n");
    decipherText(c, workKey, fd.f5.chars(), fd.len5, answer);
    SecretBuf<PSWD_FIELD_BUF> name;
    int rc = decipherText(c, workKey, fd.f4.chars(), fd.len4, name.chars());
    if (!fieldIs(name.chars(), fd.len4, node)) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "Failed to decrypt the nodename.  Expected '%s' got '%s'\n", node,
                     name.chars());
        char *text = nullptr;
        nlLogsprintf(text, MSG_WRONG_NODE);
        if (text != nullptr)
            kelFree(text, __FILE__, __LINE__);
        if (gRC != nullptr)
            gRC->set(MSG_WRONG_NODE);
        return PSWD_RC_NO_RECORD;
    }
    if (type != PSWD_TYPE_ENCRKEY)
        return rc;
    char *slot = answer + PSWD_KEYSLOT_SIZE;
    if (fd.savedV3) {
        rc = decipherText(c, workKey, fd.v3.chars(), fd.lenV3, slot);
        slot += PSWD_KEYSLOT_SIZE;
    }
    if (fd.savedV1) {
        SecretBuf<PSWD_KEY_SIZE> hostKey;
        if (getCryptoKeyV1(hostKey.data()) != 1)
            return PSWD_RC_NO_RECORD;
        rc = decipherText(c, hostKey.data(), fd.v1.chars(), fd.lenV1, slot);
    }
    return rc;
}

// Version 1: deciphered with the host key, then stored again as version 3.
int readVersion1(Crypto *c, unsigned char type, pswdFileInfo *info, const char *path, const char *server,
                 const char *node, unsigned char *keyIn, int convertOK, Found &fd, char *answer)
{
    if (type == PSWD_TYPE_ENCRKEY && convertOK == 0) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__,
                     "psReadPswdFile: Encryption key password - ignoring it (will prompt the user).\n");
        return PSWD_RC_NO_RECORD;
    }
    if (TR_PASSWORD)
        trPrintf(trSrcFile, __LINE__, "psReadPswdFile: Converting to new version for record type '%d' ", type);
    SecretBuf<PSWD_KEY_SIZE> hostKey;
    if (getCryptoKeyV1(hostKey.data()) != 1)
        return PSWD_RC_NO_RECORD;
    int rc = decipherText(c, hostKey.data(), fd.f5.chars(), fd.len5, answer);
    if (rc != 0)
        return rc;
    Expect expect{fd.version, fd.f5.chars(), fd.len5};
    rc = storeRecord(type, answer, answer, info, path, server, node, keyIn, &expect);
    if (rc == RC_NOT_CONVERTED)
        return 0;
    if (type == PSWD_TYPE_ENCRKEY && rc == 0)
        nlprintf(MSG_CONVERTED, node, server);
    return rc;
}

// Key texts must fit a 64-byte slot with their NUL.
bool keyTextsFit(const Found &fd)
{
    return fd.len5 <= KEY_TEXT_MAX && (!fd.savedV1 || fd.lenV1 <= KEY_TEXT_MAX) &&
           (!fd.savedV3 || fd.lenV3 <= KEY_TEXT_MAX);
}

// Steps of a read under fileOp: the node key, the scan, and the record's version.
int readLocked(unsigned char type, unsigned char *keyIn, char *node, const char *server, pswdFileInfo *info,
               const char *path, int convertOK, char *answer, size_t answerSize)
{
    answer[0] = '\0';
    if (!nameFits(server) || !nameFits(node))
        return PSWD_RC_NO_RECORD;
    const unsigned char *workKey = isOtherType(type) ? keyIn : info->cryptoKey;
    if (info->cryptoKeyOK == 0) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "Setting up crypto key\n");
        info->cryptoKeyOK = psSetUpCryptoKey(info->cryptoKey, node);
        workKey = info->cryptoKey;
        if (info->cryptoKeyOK == 0)
            return PSWD_RC_NO_RECORD;
    }
    if (workKey == nullptr)
        return PSWD_RC_NO_RECORD;

    PathParts pp;
    FdGuard dirFd;
    FdGuard fd;
    if (splitPath(path, &pp)) {
        dirFd.reset(openDir(pp.dir));
        if (dirFd.get() >= 0)
            fd.reset(openRegular(dirFd.get(), pp.base, O_RDONLY));
    }
    ReadBuffer rbuf;
    StreamGuard in(fd.get() >= 0 ? fdopen(fd.get(), "rb") : nullptr);
    if (in.get() == nullptr) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "fopen failed for file %s.\n", safeStr(info->pswdFile));
        return PSWD_RC_NO_RECORD;
    }
    fd.release();
    setvbuf(in.get(), rbuf.chars(), _IOFBF, rbuf.size());
    Found found;
    char hdr[PSWD_HEADER_SIZE];
    if (fread(hdr, 1, sizeof hdr, in.get()) > 0)
        scanForRecord(in.get(), type, server, node, &found);
    in.reset();
    if (!found.current) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "No record found.\n");
        return PSWD_RC_NO_RECORD;
    }
    if (type == PSWD_TYPE_ENCRKEY && !keyTextsFit(found)) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "psReadPswdFile: a stored key does not fit its slot.\n");
        return PSWD_RC_NO_RECORD;
    }
    int crc = 0;
    CryptoPtr c(new_Crypto(CRYPTO_TYPE_DES, &crc));
    if (c.get() == nullptr)
        return crc;
    switch (found.version) {
    case PSWD_VERSION_1:
        return readVersion1(c.get(), type, info, path, server, node, keyIn, convertOK, found, answer);
    case PSWD_VERSION_3: {
        int vrc = readVersion3(c.get(), type, workKey, node, found, answer);
        if (vrc == PSWD_RC_NO_RECORD)
            kelZero(answer, answerSize);
        return vrc;
    }
    default:
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "Unsupported record version: %d\n", found.version);
        return PSWD_RC_NO_RECORD;
    }
}

} // namespace

// ================================================================ public routines

int psReadPswdFile(unsigned char type, char *keyOut, unsigned char *keyIn, char *pswdOut, char *node,
                   const char *server, void * /*unused7*/, pswdFileInfo *info, const char * /*unused9*/,
                   const char * /*unused10*/, const char *path, int convertOK)
{
    if (info == nullptr)
        return PSWD_RC_NO_RECORD;
    int rc = 0;
    {
        MutexGuard lk(&fileOp);
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "=========> Entering psReadPswdFile type is %s\n", typeLabel(type));
        char *answer = type == PSWD_TYPE_ENCRKEY ? keyOut : pswdOut;
        size_t answerSize = type == PSWD_TYPE_ENCRKEY ? PSWD_KEYBLOCK_SIZE : PSWD_FIELD_BUF;
        if (answer == nullptr)
            return PSWD_RC_NO_RECORD;
        if (type == PSWD_TYPE_ENCRKEY)
            kelZero(answer, PSWD_KEYBLOCK_SIZE);
        if (TR_PASSWORD) {
            if (isOtherType(type))
                trPrintf(trSrcFile, __LINE__, "Reading password for entity '%s' from file %s, eff uid = %d.\n",
                         safeStr(server), safeStr(path), static_cast<int>(geteuid()));
            else
                trPrintf(trSrcFile, __LINE__,
                         "Reading password for server '%s' and node '%s' from file %s, eff uid = %d.\n",
                         safeStr(server), safeStr(node), safeStr(path), static_cast<int>(geteuid()));
        }
        rc = readLocked(type, keyIn, node, server, info, path, convertOK, answer, answerSize);
        // A failed read leaves no part of a password behind, except that a
        // version 1 conversion keeps what it deciphered whatever the rewrite gave.
        if (rc == PSWD_RC_NO_RECORD)
            kelZero(answer, answerSize);
    }
    if (TR_PASSWORD)
        trPrintf(trSrcFile, __LINE__, "Exiting psReadPswdFile() with rc = %d\n", rc);
    return rc;
}

int psWritePswdFile(unsigned char type, const char *pswd1, const unsigned char *key, const char *pswd2,
                    const char *node, const char *server, void * /*unused7*/, pswdFileInfo *info,
                    const char * /*unused9*/, const char * /*unused10*/, const char *path)
{
    if (TR_ENTER)
        trPrintf(trSrcFile, __LINE__, "=========> Entering psWritePswdFile type is %s\n", writeTypeLabel(type));
    if (info == nullptr)
        return PSWD_RC_CANNOT_WRITE;
    if (TR_PASSWORD) {
        if (isOtherType(type))
            trPrintf(trSrcFile, __LINE__, "Writing password for entity '%s' and user '%s' to file %s, eff uid = %d.\n",
                     safeStr(server), safeStr(node), safeStr(path), static_cast<int>(geteuid()));
        else
            trPrintf(trSrcFile, __LINE__,
                     "Writing password for server '%s' and node '%s' to file %s, eff uid = %d.\n", safeStr(server),
                     safeStr(node), safeStr(path), static_cast<int>(geteuid()));
    }
    MutexGuard lk(&fileOp);
    return psWriteRecordPswdFile(type, pswd1, pswd2, info, path, server, node, key);
}

int psWriteRecordPswdFile(unsigned char type, const char *pswd1, const char *pswd2, pswdFileInfo *info,
                          const char *path, const char *server, const char *node, const unsigned char *key)
{
    return storeRecord(type, pswd1, pswd2, info, path, server, node, key, nullptr);
}

void psDeletePasswordRecord(unsigned char type, const char * /*unused2*/, const char *node, const char *server,
                            void * /*unused5*/, pswdFileInfo * /*info*/, const char * /*unused7*/,
                            const char * /*unused8*/, const char *path)
{
    MutexGuard lk(&fileOp);
    if (TR_PASSWORD)
        trPrintf(trSrcFile, __LINE__, "=========> Entering , psDeletePasswordRecord type is %s  password file is %s\n",
                 type == 0 ? "SERVER" : type == 1 ? "Encryption" : "Unknown", safeStr(path));
    // A name too long for a record matches no record.
    if (!nameFits(server) || !nameFits(node))
        return;
    Change ch{type, server, node, false, nullptr, nullptr, nullptr};
    rewriteFile(path, ch, nullptr, nullptr);   // reports nothing: the file is as it was or rewritten
}

unsigned int psReadRecordFromPswdFile(FILE *stream, unsigned char *hdr, char *f1, char *f2, char *f3, char *f4,
                                      char *f5)
{
    if (stream == nullptr || hdr == nullptr)
        return 0;
    char *const f[5] = {f1, f2, f3, f4, f5};
    for (char *p : f)
        if (p == nullptr)
            return 0;
    uint32_t bytes = 0;
    return scanRecord(stream, hdr, f, READER_FIELD_MAX, &bytes) == Scan::Record ? bytes : 0;
}

int MakePswdList(LinkedList_t **listP, FILE *stream, unsigned char type, const char *server, const char *node,
                 int *savedInd)
{
    if (listP == nullptr || stream == nullptr || savedInd == nullptr)
        return 0;
    return buildList(listP, stream, type, safeStr(server), safeStr(node), savedInd);
}

void DelListEnt(void *entry)
{
    pswdListEnt *e = static_cast<pswdListEnt *>(entry);
    if (e == nullptr)
        return;
    if (e->data != nullptr) {
        kelZero(e->data, uint64_t(e->dataLen) + 1);
        kelFree(e->data, __FILE__, __LINE__);
    }
    kelFree(e, __FILE__, __LINE__);
}

int psWriteHeader(FILE *stream, int msgNum)
{
    // Only the length matters to readers; the text is for a person who opens the file.
    char hdr[PSWD_HEADER_SIZE];
    memset(hdr, ' ', sizeof hdr);
    char *text = nullptr;
    int len = nlsprintf(&text, msgNum);
    if (text != nullptr) {
        size_t n = len > 0 ? static_cast<size_t>(len) : 0;
        memcpy(hdr, text, n < sizeof hdr ? n : sizeof hdr);
        kelFree(text, __FILE__, __LINE__);
    }
    return writeBytes(stream, hdr, sizeof hdr);
}

// ---------------------------------------------------------------- key derivation

namespace {

// The hash of the key derivation over every byte of the name, continued from h.
uint32_t hashName(uint32_t h, const char *name)
{
    for (const char *p = name; *p != '\0'; p++) {
        int32_t v = static_cast<signed char>(*p);
        h = (h * static_cast<uint32_t>(v)) % PSWD_HASH_MODULUS;
    }
    return h;
}

// The salt character of the 6-bit value that the traditional rule gives c.
char saltChar(char c)
{
    static const char table[] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    int v = static_cast<unsigned char>(c);
    if (v > 'Z')
        v -= 6;
    if (v > '9')
        v -= 7;
    v -= '.';
    return table[v & 0x3f];
}

// crypt's work area: large, so kept out of the stack; guarded by cryptMutex.
// All zero whenever a key derivation starts, as crypt_r wants it first: zero
// at start and wiped when each derivation ends.
crypt_data cryptData;

// Eight key bytes from the hash text; false when crypt fails. Called with
// cryptMutex held, by a caller that wipes cryptData when it is done.
bool cryptHalf(uint32_t h, unsigned char *out)
{
    char text[16];
    snprintf(text, sizeof text, "%8u", static_cast<unsigned>(h));
    char salt[3] = {saltChar(text[0]), saltChar(text[1]), '\0'};
    const char *r = crypt_r(text, salt, &cryptData);
    bool ok = r != nullptr && r[0] != '*' && strnlen(r, 10) >= 10;
    if (ok)
        memcpy(out, r + 2, 8);
    kelZero(text, sizeof text);
    return ok;
}

} // namespace

int psCreateCryptoKey(unsigned char *key, const char *name)
{
    if (key == nullptr || name == nullptr)
        return 0;
    MutexGuard lk(&cryptMutex);
    ZeroOnExit wipe(&cryptData, sizeof cryptData);   // once for both halves, before the lock is released
    SecretBuf<PSWD_KEY_SIZE> k;
    uint32_t h = hashName(1, name);
    if (!cryptHalf(h, k.data()))
        return 0;
    h = hashName(h, name);
    if (!cryptHalf(h, k.data() + 8))
        return 0;
    memcpy(key, k.data(), PSWD_KEY_SIZE);
    return 1;
}

int psSetUpCryptoKey(unsigned char *key, const char *node)
{
    if (!nameFits(node))
        return 0;
    char copy[PSWD_FIELD_BUF];
    memcpy(copy, node, strlen(node) + 1);
    int rc = psCreateCryptoKey(key, copy);
    kelZero(copy, sizeof copy);
    return rc;
}

int getCryptoKeyV1(unsigned char *key)
{
    if (fsubIsClusterEnabled()) {
        const char *cluster = fsubGetClusterName();
        return cluster != nullptr ? psCreateCryptoKey(key, cluster) : 0;
    }
    char host[HOSTNAME_BUF];
    if (gethostname(host, sizeof host) != 0)
        return 0;
    host[sizeof host - 1] = '\0';
    return psCreateCryptoKey(key, host);
}

// ---------------------------------------------------------------- failure injection

#ifdef KEL_TEST_HOOKS
void psFailFileStep(psFileStep step, unsigned nth)
{
    if (step >= 0 && step < PS_STEP_COUNT)
        stepFailAt[step] = nth == 0 ? 0 : stepCalls[step] + nth;
}

unsigned psFileStepCalls(psFileStep step) { return step >= 0 && step < PS_STEP_COUNT ? stepCalls[step] : 0; }

void psResetFileSteps()
{
    memset(stepCalls, 0, sizeof stepCalls);
    memset(stepFailAt, 0, sizeof stepFailAt);
}
#endif
