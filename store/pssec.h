// The password file ZAR.PWD: the reader, the writer and the deleter of its
// records. The record format is store/pswdrec's, the keys are
// store/pskey's, the older list interface is store/pslist's.
// docs/password-file.md gives the layout byte for byte.
#pragma once

#include <cstdint>
#include <cstdio>

#include "store/fioreplace.h"
#include "kelvlx/kelcontract.h"
#include "store/pskey.h"
#include "base/psmutex.h"
#include "store/pswdrec.h"

// The description of the password file, carried between calls. The node key
// is derived once, on the first read (or write) with this record.
struct pswdFileInfo {
    char *pswdFile;                          // full path, used in traces only
    unsigned char cryptoKey[PSWD_KEY_SIZE];  // the node key once cryptoKeyOK is 1
    int (*getVerFn)(void *sess);             // client library's version callback; null in the agent
    int ownerUid;
    int ownerGid;
    int sBitOn;
    int needTA;
    int writePswd;
    int cryptoKeyOK;                         // 1 when cryptoKey holds the derived node key
    // 1 when the last read found no record because there is none: no
    // directory, no file, or an intact file without one of the names. 0 when
    // it failed for any other reason (unreadable, damaged, no node key).
    int recordAbsent;
};

// Result codes of this unit besides 0.
inline constexpr int PSWD_RC_NO_RECORD = KEL_ST_NO_PASSWORD;   // no usable stored password or key
inline constexpr int PSWD_RC_SHORT_WRITE = FIO_RC_SHORT_WRITE;   // 165
inline constexpr int PSWD_RC_NO_MEMORY = FIO_RC_NO_MEMORY;       // 102
inline constexpr int PSWD_RC_CANNOT_WRITE = FIO_RC_CANNOT_WRITE; // -1
// The wait for another writer's lock ran out (FIO_LOCK_WAIT_SECONDS); nothing
// was changed. The agent ends with it as its own exit status.
inline constexpr int PSWD_RC_LOCKED = FIO_RC_LOCKED;             // 166
// psWriteKeyRecord without dropCurrentOK: storing the key would drop the
// current key without a trace; nothing was changed.
inline constexpr int PSWD_RC_KEY_WOULD_BE_LOST = 167;

// psReplaceServerPassword: the stored password was no longer the one given
// as the old one; nothing was changed. Never an exit status: a 'C' that gets
// it ends with PSWD_RC_CANNOT_WRITE.
inline constexpr int PSWD_RC_STORED_CHANGED = 1001;

// fileOp serialises every read, write and delete within the process.
extern psMutex_t fileOp;

int psReadPswdFile(unsigned char type, char *keyOut, unsigned char *keyIn, char *pswdOut, char *node,
                   const char *server, void *unused7, pswdFileInfo *info, const char *unused9,
                   const char *unused10, const char *path, int convertOK);

int psWritePswdFile(unsigned char type, const char *pswd1, const unsigned char *key, const char *pswd2,
                    const char *node, const char *server, void *unused7, pswdFileInfo *info, const char *unused9,
                    const char *unused10, const char *path);

// The caller holds fileOp.
int psWriteRecordPswdFile(unsigned char type, const char *pswd1, const char *pswd2, pswdFileInfo *info,
                          const char *path, const char *server, const char *node, const unsigned char *key);

// Stores the encryption key (type 1) of (server, node) as psWritePswdFile
// does. The file keeps one earlier key: the current key is saved only while
// no saved key of the pair exists, and is dropped otherwise. Without
// dropCurrentOK such a drop is refused with PSWD_RC_KEY_WOULD_BE_LOST and
// nothing changes. A key text longer than 63 bytes is refused (-1) when it
// would run into a saved key's slot of the key block.
int psWriteKeyRecord(const char *keyText, const char *node, const char *server, pswdFileInfo *info,
                     const char *path, int dropCurrentOK);

// For 'C', before anything is sent: whether storing the server password of
// (server, node) would pass what the writer checks and that cannot change
// with the caller's confirmation: the node key, the directory (it exists, or
// may be created outside a set-user-id run), the root-only store of a
// set-user-id run, a regular file, and a file that can be rewritten (no
// damage after the record). 0, or the code the writer would give (-1).
// Nothing is created or changed.
int psCheckServerStore(const char *node, const char *server, pswdFileInfo *info, const char *path);

// Stores newPswd as the server password of (server, node) as psWritePswdFile
// does, but only while the stored one is still oldPswd (null: while none is
// stored), as seen under the lock: PSWD_RC_STORED_CHANGED otherwise, and
// nothing is changed.
int psReplaceServerPassword(const char *oldPswd, const char *newPswd, const char *node, const char *server,
                            pswdFileInfo *info, const char *path);

// Removes every record of (type, server, node) and returns the rewrite's
// result: 0 (also when there was nothing to remove), or the code of the
// failure, the file then left as it was. A file left without records is
// removed.
int psRemovePasswordRecord(unsigned char type, const char *node, const char *server, const char *path);

// psRemovePasswordRecord, reporting nothing.
void psDeletePasswordRecord(unsigned char type, const char *unused2, const char *node, const char *server,
                            void *unused5, pswdFileInfo *info, const char *unused7, const char *unused8,
                            const char *path);

// Files left beside the password file by rewrites that were killed
// (fioListLeftovers): each(ctx, name) for every one; how many, or -1 when
// the directory cannot be read. The next rewrite removes them.
int psListLeftovers(const char *path, void (*each)(void *ctx, const char *leftover), void *ctx);
