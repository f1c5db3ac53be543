// The password file ZAR.PWD: its reader, writer and deleter.
// docs/password-file.md describes the bytes, the keys and the rules for
// damaged files; the records are walked by store/pswdrec, and replacing
// the file whole (the lock, the new file, the rename) is
// store/fioreplace's work.
#include "store/pssec.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "crypto/crypto.h"
#include "base/kelmem.h"
#include "base/secure.h"
#include "base/strutil.h"
#include "diag/nlsfmt.h"
#include "base/pkbytes.h"
#include "base/fio.h"
#include "store/fioreplace.h"
#include "base/fsubsys.h"
#include "diag/GlobalRC.h"
#include "diag/logutils.h"
#include "diag/trace.h"

static const char trSrcFile[] = "pssec";

psMutex_t fileOp = PTHREAD_MUTEX_INITIALIZER;

namespace {

constexpr int MSG_CONVERTED = 2218;
constexpr int MSG_WRONG_NODE = 9180;
constexpr int MSG_CANNOT_OPEN = 1834;
// Internal: a conversion found its record replaced meanwhile and left it.
constexpr int RC_NOT_CONVERTED = 1;



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

// A set-user-id run: the kernel marked the program's start as one (which
// holds even after the agent made its real user id root), or the real user
// is neither root nor the effective user.
bool setUidRun() { return getauxval(AT_SECURE) != 0 || (getuid() != 0 && getuid() != geteuid()); }

// ---------------------------------------------------------------- the file in memory

// The whole file, read at once: the reader and the writer each go through
// it without another read, and a rewrite copies the records it keeps from it
// in long runs. It holds enciphered records, whose key is made from a name,
// so it is zeroed like any secret.
class FileImage {
public:
    FileImage() = default;
    ~FileImage()
    {
        if (data_ != nullptr) {
            kelZero(data_, size_);
            kelFree(data_, __FILE__, __LINE__);
        }
    }
    FileImage(const FileImage &) = delete;
    FileImage &operator=(const FileImage &) = delete;

    // 0; PSWD_RC_NO_MEMORY; PSWD_RC_CANNOT_WRITE when the file cannot be read
    // whole or changes its size meanwhile.
    int load(int fd)
    {
        struct stat st;
        if (fstat(fd, &st) != 0 || st.st_size < 0 || static_cast<uint64_t>(st.st_size) >= SIZE_MAX)
            return PSWD_RC_CANNOT_WRITE;
        const size_t size = static_cast<size_t>(st.st_size);
        data_ = static_cast<unsigned char *>(kelMalloc(uint64_t(size) + 1, __FILE__, __LINE__));
        if (data_ == nullptr)
            return PSWD_RC_NO_MEMORY;
        size_ = size;
        unsigned char more;
        if (fioReadFull(fd, data_, size) != 0 || fioReadFull(fd, &more, 1) != FIO_RC_EOF)
            return PSWD_RC_CANNOT_WRITE;
        return 0;
    }

    const unsigned char *data() const { return data_; }
    size_t size() const { return size_; }

private:
    unsigned char *data_ = nullptr;
    size_t size_ = 0;
};

// Calls fn with every record of the image (see pswdEachRecord).
template <typename Fn>
pswdScan eachRecord(const FileImage &img, Fn fn)
{
    return pswdEachRecord(img.data(), img.size(), fn);
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
    // room for the names the replacement puts beside the file
    if (baseLen == 0 || baseLen + FIO_NAME_EXTRA > NAME_MAX)
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

// ---------------------------------------------------------------- writing records

// One record to be written, its fields given by pointer and length.
struct OutRecord {
    unsigned char type;
    unsigned char version;
    const char *f[5];
    uint32_t len[5];
};

int writeRecord(fioOut *out, const OutRecord &r)
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
    int rc = fioOutWrite(out, hdr, PSWD_RECHDR_SIZE);
    if (rc == 0)
        rc = fioOutWrite(out, block, total);
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
int writeSavedRecords(fioOut *out, Crypto *c, const pswdRecordRef &e, const unsigned char *nodeKey)
{
    if (e.len[1] + 1 > PSWD_MAX_FIELD || e.len[2] + 1 > PSWD_MAX_FIELD) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "psWriteRecordPswdFile: names too long to save the current key\n");
        return PSWD_RC_CANNOT_WRITE;
    }
    SecretBuf<PSWD_KEY_SIZE> hostKey;
    if (getCryptoKeyV1(hostKey.data()) != 1)
        return PSWD_RC_CANNOT_WRITE;

    // field 5 of a record a reader passes is at most PSWD_MAX_FIELD bytes
    SecretBuf<PSWD_FIELD_BUF> clear, forHost, forNode;
    const unsigned char *currentKey = e.version() == PSWD_VERSION_1 ? hostKey.data() : nodeKey;
    int rc = desField(c, CRYPTO_DECRYPT, currentKey, e.f[4], e.len[4], clear.chars());
    if (rc == 0)
        rc = desField(c, CRYPTO_ENCRYPT, hostKey.data(), clear.chars(), e.len[4], forHost.chars());
    if (rc == 0)
        rc = desField(c, CRYPTO_ENCRYPT, nodeKey, clear.chars(), e.len[4], forNode.chars());
    if (rc != 0)
        return rc;

    char f2[PSWD_FIELD_BUF], f3[PSWD_FIELD_BUF];
    const unsigned char prefixes[2] = {PSWD_SAVED_V1, PSWD_SAVED_V3};
    const unsigned char versions[2] = {PSWD_VERSION_3, PSWD_VERSION_1};
    const char *keys[2] = {forHost.chars(), forNode.chars()};
    for (int k = 0; k < 2 && rc == 0; k++) {
        f2[0] = static_cast<char>(prefixes[k]);
        memcpy(f2 + 1, e.f[1], e.len[1]);
        f3[0] = static_cast<char>(prefixes[k]);
        memcpy(f3 + 1, e.f[2], e.len[2]);
        OutRecord r{e.type(), versions[k], {e.f[0], f2, f3, e.f[3], keys[k]},
                    {e.len[0], e.len[1] + 1, e.len[2] + 1, e.len[3], e.len[4]}};
        rc = writeRecord(out, r);
    }
    return rc;
}

// ---------------------------------------------------------------- one rewrite

// A version 1 record as the reader saw it before it converts it.
struct Expect {
    unsigned char version;
    const char *f5;
    uint32_t len5;
};

// What a read-modify-write of the file is for.
struct Change {
    unsigned char type;
    const char *server;
    const char *node;
    bool write;                  // a write; else a delete
    const char *pswd;            // for a write: the password of the new record
    const Expect *expect;        // for a conversion: the record it replaces must still be the one read
    bool dropCurrentOK;          // a key write may drop the current key when a saved one exists already
    bool setUid;                 // a set-user-id run
    bool compareOld;             // a write only over the password oldPswd (null: over none)
    const char *oldPswd;
};

// What the old file holds, as far as the change is concerned.
struct Plan {
    uint32_t count = 0;          // records
    uint32_t marked = 0;         // records of (type, server, node): replaced or removed
    int savedInd = 0;            // a saved key of server and node exists
    bool picked = false;         // the record a reader takes: the first marked one (type 1: the last)
    pswdRecordRef pick;
    uint32_t savedLen[2] = {};   // key text lengths of the last saved V3 and V1 records
    bool saved[2] = {};
};

int planRewrite(const FileImage &img, const Change &ch, Plan *plan)
{
    if (img.size() > 0 && img.size() < PSWD_HEADER_SIZE) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "The header of the password file is cut short.\n");
        return PSWD_RC_CANNOT_WRITE;
    }
    // A reader stops at damage and at a field longer than its buffers, so a
    // password stored behind one could never be read: such a file is left alone.
    pswdScan st = eachRecord(img, [&](const pswdRecordRef &r) {
        plan->count++;
        if (pswdNamesMatch(r, ch.type, ch.server, ch.node)) {
            plan->marked++;
            if (!plan->picked || ch.type == PSWD_TYPE_ENCRKEY)
                plan->pick = r;
            plan->picked = true;
        } else if (unsigned char prefix = pswdSavedPrefix(r, ch.type, ch.server, ch.node)) {
            plan->savedInd = 1;
            const int slot = prefix == PSWD_SAVED_V3 ? 0 : 1;
            plan->saved[slot] = true;
            plan->savedLen[slot] = r.len[4];
        }
        return true;
    });
    if (st != pswdScan::End) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__,
                     "The password file is damaged or holds a record no reader can pass (%d); left alone.\n",
                     static_cast<int>(st));
        return PSWD_RC_CANNOT_WRITE;
    }
    return 0;
}

// True when the record that a reader takes is still the version 1 record
// that the conversion started from.
bool stillAsRead(const Plan &plan, const Expect &expect)
{
    return plan.picked && plan.pick.version() == expect.version && plan.pick.len[4] == expect.len5 &&
           memcmp(plan.pick.f[4], expect.f5, expect.len5) == 0;
}

// The rules of a key write: the key block it leaves must read back whole, and
// a current key is dropped only when the caller allows it.
int checkKeyWrite(const Change &ch, const Plan &plan)
{
    if (plan.savedInd != 0 && plan.marked != 0 && !ch.dropCurrentOK) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "A saved key exists already: the current key would be dropped; refused.\n");
        return PSWD_RC_KEY_WOULD_BE_LOST;
    }
    uint32_t lens[3] = {static_cast<uint32_t>(strlen(ch.pswd))};
    size_t n = 1;
    if (plan.savedInd == 0 && plan.marked != 0) {
        lens[n++] = plan.pick.len[4];   // the current key becomes both saved copies
        lens[n++] = plan.pick.len[4];
    } else {
        for (int slot = 0; slot < 2; slot++)
            if (plan.saved[slot])
                lens[n++] = plan.savedLen[slot];
    }
    if (!pswdKeyBlockFits(lens, n)) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "A key text would run into the next key's slot; refused.\n");
        return PSWD_RC_CANNOT_WRITE;
    }
    return 0;
}

// Writes the new contents: header, kept records (copied in runs), a replaced
// current key of type 1 as two saved records, and for a write the new record.
int writeContents(fioOut *out, const FileImage &img, const Change &ch, const Plan &plan, Crypto *c,
                  const unsigned char *key)
{
    char hdr[PSWD_HEADER_SIZE];
    pswdHeaderBytes(hdr, PSWD_HEADER_MSG);
    int rc = fioOutWrite(out, hdr, sizeof hdr);
    size_t runStart = PSWD_HEADER_SIZE;
    const bool saveCurrent = ch.write && ch.type == PSWD_TYPE_ENCRKEY && plan.savedInd == 0;
    if (rc == 0)
        eachRecord(img, [&](const pswdRecordRef &r) {
            if (!pswdNamesMatch(r, ch.type, ch.server, ch.node))
                return true;
            rc = fioOutWrite(out, img.data() + runStart, r.offset - runStart);
            if (rc == 0 && saveCurrent) {
                if (TR_PASSWORD)
                    trPrintf(trSrcFile, __LINE__, "psWriteRecordPswdFile: Found the current entry\n");
                rc = writeSavedRecords(out, c, r, key);
            }
            runStart = r.offset + r.total;
            return rc == 0;
        });
    if (rc == 0 && img.size() > runStart)
        rc = fioOutWrite(out, img.data() + runStart, img.size() - runStart);
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

// A write over a known password: the old one it must replace.
struct Compare {
    const char *oldPswd;   // null: none may be stored
};

int decipherText(Crypto *c, const unsigned char *key, const char *in, uint32_t len, char *out);

// The text of the record a reader takes, as the reader deciphers it.
int pickedText(const Plan &plan, Crypto *c, const unsigned char *nodeKey, char *out)
{
    if (plan.pick.version() == PSWD_VERSION_3)
        return decipherText(c, nodeKey, plan.pick.f[4], plan.pick.len[4], out);
    SecretBuf<PSWD_KEY_SIZE> hostKey;
    if (plan.pick.version() != PSWD_VERSION_1 || getCryptoKeyV1(hostKey.data()) != 1)
        return PSWD_RC_NO_RECORD;
    return decipherText(c, hostKey.data(), plan.pick.f[4], plan.pick.len[4], out);
}

// Whether the stored password is still the one the change replaces, as the
// file is under the lock: another writer may have stored one meanwhile.
int checkStillOld(const Change &ch, const Plan &plan, Crypto *c, const unsigned char *nodeKey)
{
    bool same = !plan.picked;
    if (ch.oldPswd != nullptr && plan.picked) {
        SecretBuf<PSWD_FIELD_BUF> now;
        same = pickedText(plan, c, nodeKey, now.chars()) == 0 && strcmp(now.chars(), ch.oldPswd) == 0;
    } else if (ch.oldPswd != nullptr) {
        same = false;
    }
    if (same)
        return 0;
    if (TR_PASSWORD)
        trPrintf(trSrcFile, __LINE__, "The stored password is no longer the old one that was sent (%s); nothing "
                 "is stored.\n", plan.picked ? "another was stored meanwhile" : "it was removed meanwhile");
    return PSWD_RC_STORED_CHANGED;
}

struct Rewrite {
    const Change *ch;
    Crypto *c;
    const unsigned char *key;
};

// The writer handed to fioReplace: runs under the lock with the file as it
// is now, decides what the change makes of it and writes that.
int rewriteContents(void *ctx, int oldFd, fioOut *out, fioAction *action)
{
    const Rewrite &rw = *static_cast<const Rewrite *>(ctx);
    const Change &ch = *rw.ch;
    FileImage img;
    if (oldFd >= 0) {
        int rc = img.load(oldFd);
        if (rc != 0) {
            if (TR_PASSWORD)
                trPrintf(trSrcFile, __LINE__, "The password file could not be read whole (%d).\n", rc);
            return rc;
        }
    } else if (!ch.write) {
        *action = fioAction::Keep;   // nothing to delete
        return 0;
    } else if (ch.setUid) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "The password file was removed meanwhile; not created in a set-user-id run.\n");
        return PSWD_RC_CANNOT_WRITE;
    }
    Plan plan;
    int rc = planRewrite(img, ch, &plan);
    if (rc != 0)
        return rc;
    if (ch.expect != nullptr && !stillAsRead(plan, *ch.expect)) {
        // Another process stored a password since the read: that one stands.
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "The record changed since it was read; not converted.\n");
        return RC_NOT_CONVERTED;
    }
    if (!ch.write) {
        if (plan.count == plan.marked)
            *action = fioAction::Remove;
        else if (plan.marked == 0)
            *action = fioAction::Keep;   // nothing to remove: the file stays as it is
        if (*action != fioAction::Replace)
            return 0;
    }
    if (ch.write && ch.type == PSWD_TYPE_ENCRKEY && (rc = checkKeyWrite(ch, plan)) != 0)
        return rc;
    if (ch.compareOld && (rc = checkStillOld(ch, plan, rw.c, rw.key)) != 0)
        return rc;
    return writeContents(out, img, ch, plan, rw.c, rw.key);
}

// Opens the directory of the path; for a write it creates it when that is
// allowed. -1 (message 1834) when it cannot be had.
int openPasswordDir(const PathParts &pp, const Change &ch, FdGuard *dirFd)
{
    dirFd->reset(openDir(pp.dir));
    if (dirFd->get() >= 0)
        return 0;
    if (errno != ENOENT || !ch.write) {
        if (ch.write)
            LOG_CANNOT_OPEN(pp.dir);
        return PSWD_RC_CANNOT_WRITE;
    }
    if (ch.setUid) {
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

// In a set-user-id run the store is written only where the effective user
// (root) alone can change it: ZAR.PWD a regular file of that user, in a
// directory of that user that neither group nor others may write. Anywhere
// else the invoking user could have planted the file, or could remove or
// replace what root writes there. Checked before the lock file is made.
bool rootOnlyStore(int dirFd, const PathParts &pp)
{
    struct stat d, f;
    if (fstat(dirFd, &d) != 0 || d.st_uid != geteuid() || (d.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "The directory %s is not the effective user's alone; nothing is written "
                     "in a set-user-id run.\n", pp.dir);
        return false;
    }
    if (fstatat(dirFd, pp.base, &f, AT_SYMLINK_NOFOLLOW) != 0) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "%s does not exist; not created in a set-user-id run.\n", pp.full);
        return false;
    }
    if (!S_ISREG(f.st_mode) || f.st_uid != geteuid()) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "%s is not a regular file of the effective user; left alone.\n", pp.full);
        return false;
    }
    return true;
}

// The read-modify-write shared by the writer and the deleter: 0 or the code
// of the failure; on failure the file is as it was. c and key are used for a
// write only.
int rewriteFile(const char *path, const Change &ch, Crypto *c, const unsigned char *key)
{
    PathParts pp;
    if (!splitPath(path, &pp))
        return PSWD_RC_CANNOT_WRITE;
    FdGuard dirFd;
    int rc = openPasswordDir(pp, ch, &dirFd);
    if (rc != 0)
        return ch.write ? rc : 0;
    if (ch.setUid) {
        if (!rootOnlyStore(dirFd.get(), pp))
            return PSWD_RC_CANNOT_WRITE;
    } else {
        struct stat st;
        const bool exists = fstatat(dirFd.get(), pp.base, &st, AT_SYMLINK_NOFOLLOW) == 0;
        if (!exists && !ch.write)
            return 0;   // nothing to delete: no lock file is made for it
        if (exists && !S_ISREG(st.st_mode)) {
            if (TR_PASSWORD)
                trPrintf(trSrcFile, __LINE__, "%s is not a regular file; left alone.\n", path);
            return PSWD_RC_CANNOT_WRITE;
        }
    }
    // A write sets the permission bits to 0600; a delete keeps them.
    fioReplaceOpts opts;
    opts.mode = 0600;
    opts.keepMode = !ch.write;
    opts.waitForLock = ch.expect == nullptr;   // a reader's conversion never waits for a writer
    Rewrite rw{&ch, c, key};
    return fioReplace(dirFd.get(), pp.base, opts, rewriteContents, &rw);
}

// psWriteRecordPswdFile, for a conversion the check that the record is
// still the one that was read.
int storeRecord(const pswdRequest &rq, unsigned char type, const char *pswd1, const char *pswd2,
                const unsigned char *key, const Expect *expect, bool dropCurrentOK, const Compare *compare = nullptr)
{
    pswdFileInfo *info = rq.fileInfo;
    const char *node = rq.node, *server = rq.server;
    if (info == nullptr || !pswdNameFits(server) || !pswdNameFits(node))
        return PSWD_RC_CANNOT_WRITE;
    const char *pswd = (type == PSWD_TYPE_ENCRKEY || type == PSWD_TYPE_TSA) ? pswd1 : pswd2;
    if (type == PSWD_TYPE_SERVER && (pswd == nullptr || pswd[0] == '\0'))
        pswd = pswd1;
    pswd = StrOrEmpty(pswd);
    // What no reader could take back is never stored (a key text is also
    // held to its slot, under the lock, by checkKeyWrite).
    if (strnlen(pswd, PSWD_MAX_FIELD + 1) > PSWD_MAX_FIELD) {
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
    if (c == nullptr) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "psWriteRecordPswdFile(): Error %d creating the crypto object\n", rc);
        return rc;
    }
    Change ch{type, server, node, true, pswd, expect, dropCurrentOK, setUidRun(), compare != nullptr,
              compare != nullptr ? compare->oldPswd : nullptr};
    return rewriteFile(rq.path, ch, c.get(), workKey);
}

// ---------------------------------------------------------------- reader

// The records the reader's scan found, in the file image.
struct Found {
    bool current = false;
    pswdRecordRef cur;
    bool savedV1 = false, savedV3 = false;
    pswdRecordRef v1, v3;
};

// Types 3 to 5 copy the stored user name of their record into userOut.
pswdScan scanForRecord(const FileImage &img, unsigned char type, const char *server, const char *node,
                       char *userOut, Found *fd)
{
    pswdScan st = eachRecord(img, [&](const pswdRecordRef &r) {
        if (r.type() != type)
            return true;
        if (pswdNamesMatch(r, type, server, node)) {
            if (TR_PASSWORD)
                trPrintf(trSrcFile, __LINE__,
                         "psReadPswdFile: password record found for type '%d' userId '%.*s' serverName '%s' "
                         "nodeName '%.*s'\n",
                         type, static_cast<int>(r.len[0]), r.f[0], server, static_cast<int>(r.len[2]), r.f[2]);
            fd->current = true;
            fd->cur = r;
            if (isOtherType(type)) {
                memcpy(userOut, r.f[2], r.len[2]);
                userOut[r.len[2]] = '\0';
            }
            return type == PSWD_TYPE_ENCRKEY;   // the first record counts, for type 1 the last
        }
        if (unsigned char prefix = pswdSavedPrefix(r, type, server, node)) {
            const bool v1 = prefix == PSWD_SAVED_V1;
            if (TR_PASSWORD)
                trPrintf(trSrcFile, __LINE__, "psReadPswdFile: found the saved password record (%s)\n",
                         v1 ? "V1" : "V3");
            (v1 ? fd->savedV1 : fd->savedV3) = true;
            (v1 ? fd->v1 : fd->v3) = r;
        }
        return true;
    });
    if (st == pswdScan::Damage && TR_PASSWORD)
        trPrintf(trSrcFile, __LINE__, "psReadPswdFile: the password file is damaged; scan ended.\n");
    return st;
}

// Deciphers len bytes into out and ends them with a NUL.
int decipherText(Crypto *c, const unsigned char *key, const char *in, uint32_t len, char *out)
{
    int rc = desField(c, CRYPTO_DECRYPT, key, in, len, out);
    out[len] = '\0';
    return rc;
}

// Version 3: the password (or key) and, for type 1, the saved keys. Each
// decipher's result is looked at where it is made.
int readVersion3(Crypto *c, unsigned char type, const unsigned char *workKey, const char *node, const Found &fd,
                 char *answer)
{
    if (TR_PASSWORD)
        trPrintf(trSrcFile, __LINE__, "The record version is 3.\n");
    int rc = decipherText(c, workKey, fd.cur.f[4], fd.cur.len[4], answer);
    if (rc != 0)
        return rc;
    SecretBuf<PSWD_FIELD_BUF> name;
    rc = decipherText(c, workKey, fd.cur.f[3], fd.cur.len[3], name.chars());
    if (rc != 0)
        return rc;
    if (!pswdFieldIs(name.chars(), fd.cur.len[3], node)) {
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
        return 0;
    char *slot = answer + PSWD_KEYSLOT_SIZE;
    if (fd.savedV3) {
        rc = decipherText(c, workKey, fd.v3.f[4], fd.v3.len[4], slot);
        if (rc != 0)
            return rc;
        slot += PSWD_KEYSLOT_SIZE;
    }
    if (fd.savedV1) {
        SecretBuf<PSWD_KEY_SIZE> hostKey;
        if (getCryptoKeyV1(hostKey.data()) != 1)
            return PSWD_RC_NO_RECORD;
        rc = decipherText(c, hostKey.data(), fd.v1.f[4], fd.v1.len[4], slot);
    }
    return rc;
}

// Version 1: deciphered with the host key, then stored again as version 3.
// RC_NOT_CONVERTED, with the answer emptied, when another process stored the
// record meanwhile: what it stored is to be read instead.
// rq names the record as it was found (for types 3 to 5 its stored user name).
int readVersion1(Crypto *c, const pswdRequest &rq, unsigned char type, unsigned char *keyIn, int convertOK,
                 const Found &fd, char *answer, size_t answerSize)
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
    int rc = decipherText(c, hostKey.data(), fd.cur.f[4], fd.cur.len[4], answer);
    if (rc != 0)
        return rc;
    // The conversion is a chance taken, never a condition of the answer:
    // where this run may not write the store, or another writer holds the
    // lock (tried once, never awaited), the record is answered as read and
    // converted by a later run.
    Expect expect{fd.cur.version(), fd.cur.f[4], fd.cur.len[4]};
    rc = storeRecord(rq, type, answer, answer, keyIn, &expect, true);
    if (rc == RC_NOT_CONVERTED) {
        kelZero(answer, answerSize);
        return rc;
    }
    if (rc != 0) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "psReadPswdFile: the record is answered as read; its conversion is left "
                     "for a later run (%s, %d).\n",
                     rc == PSWD_RC_LOCKED ? "another writer holds the lock" : "the store was not written", rc);
        return 0;
    }
    if (type == PSWD_TYPE_ENCRKEY)
        nlprintf(MSG_CONVERTED, rq.node, rq.server);
    return 0;
}

// The key texts the reader places in the block, in slot order.
bool keyTextsFit(const Found &fd)
{
    uint32_t lens[3] = {fd.cur.len[4]};
    size_t n = 1;
    if (fd.savedV3)
        lens[n++] = fd.v3.len[4];
    if (fd.savedV1)
        lens[n++] = fd.v1.len[4];
    return pswdKeyBlockFits(lens, n);
}

// Steps of a read under fileOp: the node key, the scan, and the record's version.
int readLocked(const pswdRequest &rq, unsigned char type, unsigned char *keyIn, char *userOut, int convertOK,
                char *answer, size_t answerSize)
{
    answer[0] = '\0';
    // Types 3 to 5 match no node: their user-name buffer takes the node's
    // place, checked to hold a text, filled by the scan and then compared
    // and rewritten as the record's name.
    const char *node = isOtherType(type) ? userOut : rq.node;
    const char *server = rq.server;
    pswdFileInfo *info = rq.fileInfo;
    const char *path = rq.path;
    if (!pswdNameFits(server) || !pswdNameFits(node))
        return PSWD_RC_NO_RECORD;
    // Types 3 to 5 are enciphered with the caller's key, always: a node key
    // made from the user-name buffer would never read them.
    const unsigned char *workKey = keyIn;
    if (!isOtherType(type)) {
        if (info->cryptoKeyOK == 0) {
            if (TR_PASSWORD)
                trPrintf(trSrcFile, __LINE__, "Setting up crypto key\n");
            info->cryptoKeyOK = psSetUpCryptoKey(info->cryptoKey, node);
            if (info->cryptoKeyOK == 0)
                return PSWD_RC_NO_RECORD;
        }
        workKey = info->cryptoKey;
    }
    if (workKey == nullptr)
        return PSWD_RC_NO_RECORD;

    PathParts pp;
    FdGuard dirFd, fd;
    if (splitPath(path, &pp)) {
        dirFd.reset(openDir(pp.dir));
        if (dirFd.get() >= 0)
            fd.reset(fioOpenRegular(dirFd.get(), pp.base, O_RDONLY));
    } else {
        errno = EINVAL;
    }
    FileImage img;
    if (fd.get() < 0 || img.load(fd.get()) != 0) {
        info->recordAbsent = fd.get() < 0 && errno == ENOENT ? 1 : 0;
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "fopen failed for file %s.\n", StrOrEmpty(info->pswdFile));
        return PSWD_RC_NO_RECORD;
    }
    fd.reset();
    Found found;
    const pswdScan scanned = scanForRecord(img, type, server, node, userOut, &found);
    if (!found.current) {
        info->recordAbsent = scanned == pswdScan::End && (img.size() == 0 || img.size() >= PSWD_HEADER_SIZE) ? 1 : 0;
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "No record found.\n");
        return PSWD_RC_NO_RECORD;
    }
    if (type == PSWD_TYPE_ENCRKEY && !keyTextsFit(found)) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "psReadPswdFile: a stored key runs into the next key's slot.\n");
        return PSWD_RC_NO_RECORD;
    }
    int crc = 0;
    CryptoPtr c(new_Crypto(CRYPTO_TYPE_DES, &crc));
    if (c == nullptr)
        return crc;
    switch (found.cur.version()) {
    case PSWD_VERSION_1: {
        pswdRequest asFound = rq;
        asFound.node = node;
        return readVersion1(c.get(), asFound, type, keyIn, convertOK, found, answer, answerSize);
    }
    case PSWD_VERSION_3: {
        int vrc = readVersion3(c.get(), type, workKey, node, found, answer);
        if (vrc == PSWD_RC_NO_RECORD)
            kelZero(answer, answerSize);
        return vrc;
    }
    default:
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "Unsupported record version: %d\n", found.cur.version());
        return PSWD_RC_NO_RECORD;
    }
}

} // namespace

// ================================================================ public routines

int psReadPswdFile(const pswdRequest &rq, unsigned char type, char *keyOut, unsigned char *keyIn, char *pswdOut,
                   char *userOut, int convertOK)
{
    pswdFileInfo *info = rq.fileInfo;
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
                         StrOrEmpty(rq.server), StrOrEmpty(rq.path), static_cast<int>(geteuid()));
            else
                trPrintf(trSrcFile, __LINE__,
                         "Reading password for server '%s' and node '%s' from file %s, eff uid = %d.\n",
                         StrOrEmpty(rq.server), StrOrEmpty(rq.node), StrOrEmpty(rq.path),
                         static_cast<int>(geteuid()));
        }
        info->recordAbsent = 0;
        rc = readLocked(rq, type, keyIn, userOut, convertOK, answer, answerSize);
        // A conversion that lost its record to another writer: what that
        // writer stored is the answer, read once more (never the old password).
        if (rc == RC_NOT_CONVERTED) {
            if (TR_PASSWORD)
                trPrintf(trSrcFile, __LINE__, "Reading the record again.\n");
            rc = readLocked(rq, type, keyIn, userOut, convertOK, answer, answerSize);
            if (rc == RC_NOT_CONVERTED)
                rc = PSWD_RC_NO_RECORD;
        }
        // A failed read leaves no part of a password behind.
        if (rc == PSWD_RC_NO_RECORD)
            kelZero(answer, answerSize);
    }
    if (TR_PASSWORD)
        trPrintf(trSrcFile, __LINE__, "Exiting psReadPswdFile() with rc = %d\n", rc);
    return rc;
}

namespace {

// Traces and checks psWritePswdFile does before it takes fileOp.
bool writeEntry(const pswdRequest &rq, unsigned char type)
{
    const char *node = rq.node, *server = rq.server, *path = rq.path;
    if (TR_ENTER)
        trPrintf(trSrcFile, __LINE__, "=========> Entering psWritePswdFile type is %s\n", writeTypeLabel(type));
    if (rq.fileInfo == nullptr)
        return false;
    if (TR_PASSWORD) {
        if (isOtherType(type))
            trPrintf(trSrcFile, __LINE__, "Writing password for entity '%s' and user '%s' to file %s, eff uid = %d.\n",
                     StrOrEmpty(server), StrOrEmpty(node), StrOrEmpty(path), static_cast<int>(geteuid()));
        else
            trPrintf(trSrcFile, __LINE__,
                     "Writing password for server '%s' and node '%s' to file %s, eff uid = %d.\n", StrOrEmpty(server),
                     StrOrEmpty(node), StrOrEmpty(path), static_cast<int>(geteuid()));
    }
    return true;
}

} // namespace

int psWritePswdFile(const pswdRequest &rq, unsigned char type, const char *pswd1, const unsigned char *key,
                    const char *pswd2)
{
    if (!writeEntry(rq, type))
        return PSWD_RC_CANNOT_WRITE;
    MutexGuard lk(&fileOp);
    return psWriteRecordPswdFile(rq, type, pswd1, pswd2, key);
}

int psWriteKeyRecord(const char *keyText, const char *node, const char *server, pswdFileInfo *info,
                     const char *path, int dropCurrentOK)
{
    const pswdRequest rq{.fileInfo = info, .path = path, .node = node, .server = server};
    if (!writeEntry(rq, PSWD_TYPE_ENCRKEY))
        return PSWD_RC_CANNOT_WRITE;
    MutexGuard lk(&fileOp);
    return storeRecord(rq, PSWD_TYPE_ENCRKEY, keyText, keyText, nullptr, nullptr, dropCurrentOK != 0);
}

int psWriteRecordPswdFile(const pswdRequest &rq, unsigned char type, const char *pswd1, const char *pswd2,
                          const unsigned char *key)
{
    return storeRecord(rq, type, pswd1, pswd2, key, nullptr, true);
}

int psCheckServerStore(const pswdRequest &rq)
{
    pswdFileInfo *info = rq.fileInfo;
    const char *node = rq.node, *server = rq.server, *path = rq.path;
    if (info == nullptr || !pswdNameFits(server) || !pswdNameFits(node))
        return PSWD_RC_CANNOT_WRITE;
    MutexGuard lk(&fileOp);
    if (info->cryptoKeyOK == 0)
        info->cryptoKeyOK = psSetUpCryptoKey(info->cryptoKey, node);
    if (info->cryptoKeyOK == 0)
        return PSWD_RC_CANNOT_WRITE;
    const bool setUid = setUidRun();
    PathParts pp;
    if (!splitPath(path, &pp))
        return PSWD_RC_CANNOT_WRITE;
    FdGuard dirFd(openDir(pp.dir));
    if (dirFd.get() < 0) {
        if (errno == ENOENT && !setUid)
            return 0;   // the writer makes it
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "The directory %s cannot be used (errno %d); the store would fail.\n",
                     pp.dir, errno);
        return PSWD_RC_CANNOT_WRITE;
    }
    if (setUid && !rootOnlyStore(dirFd.get(), pp))
        return PSWD_RC_CANNOT_WRITE;
    FdGuard fd(fioOpenRegular(dirFd.get(), pp.base, O_RDONLY));
    if (fd.get() < 0) {
        if (errno == ENOENT && !setUid)
            return 0;   // the writer creates it
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "%s is not a regular file that can be read (errno %d); the store would "
                     "fail.\n", path, errno);
        return PSWD_RC_CANNOT_WRITE;
    }
    FileImage img;
    int rc = img.load(fd.get());
    if (rc != 0)
        return rc;
    Change ch{PSWD_TYPE_SERVER, server, node, true, "", nullptr, true, setUid, false, nullptr};
    Plan plan;
    return planRewrite(img, ch, &plan);
}

int psReplaceServerPassword(const pswdRequest &rq, const char *oldPswd, const char *newPswd)
{
    if (!writeEntry(rq, PSWD_TYPE_SERVER))
        return PSWD_RC_CANNOT_WRITE;
    MutexGuard lk(&fileOp);
    const Compare compare{oldPswd};
    return storeRecord(rq, PSWD_TYPE_SERVER, newPswd, newPswd, nullptr, nullptr, true, &compare);
}

int psRemovePasswordRecord(unsigned char type, const char *node, const char *server, const char *path)
{
    MutexGuard lk(&fileOp);
    if (TR_PASSWORD)
        trPrintf(trSrcFile, __LINE__, "=========> Entering , psDeletePasswordRecord type is %s  password file is %s\n",
                 type == 0 ? "SERVER" : type == 1 ? "Encryption" : "Unknown", StrOrEmpty(path));
    // A name too long for a record matches no record.
    if (!pswdNameFits(server) || !pswdNameFits(node))
        return 0;
    Change ch{type, server, node, false, nullptr, nullptr, true, setUidRun(), false, nullptr};
    return rewriteFile(path, ch, nullptr, nullptr);
}

void psDeletePasswordRecord(const pswdRequest &rq, unsigned char type)
{
    // Reports nothing: the file is as it was or rewritten.
    (void)psRemovePasswordRecord(type, rq.node, rq.server, rq.path);
}

int psListLeftovers(const char *path, void (*each)(void *ctx, const char *leftover), void *ctx)
{
    PathParts pp;
    if (!splitPath(path, &pp))
        return -1;
    FdGuard dirFd(openDir(pp.dir));
    return dirFd.get() >= 0 ? fioListLeftovers(dirFd.get(), pp.base, each, ctx) : -1;
}
