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

// One request to the password store, as the agent's main makes it from its
// command line: the request handlers read it, and the store routines below
// take it instead of the names and the path one by one. Plain data that
// points at texts and at the file description its maker owns; it holds no
// secret (the node key stays in pswdFileInfo, which its owner zeroes).
struct pswdRequest {
    pswdFileInfo *fileInfo = nullptr;   // the password file's description and its node key
    const char *path = nullptr;         // the password file the store opens, reads and rewrites
    const char *node = nullptr;         // node name; for types 3 to 5 the user name
    const char *server = nullptr;       // server name; for types 3 to 5 the entity name
    char operation = '\0';              // the agent's operation letter: 'A', 'B' or 'C'
    unsigned char cipherType = 0;       // the cipher the caller's data is worked with (new_Crypto)
    int inFd = -1;                      // the pipe the caller's request bytes come from
    int outFd = -1;                     // the pipe the answer goes to
};

// Finds the record of (type, rq.server, rq.node) and deciphers it: type 1
// into keyOut (PSWD_KEYBLOCK_SIZE bytes, the current key and up to two saved
// ones), the other types into pswdOut (PSWD_FIELD_BUF bytes). Types 3 to 5
// are found by the entity name alone, deciphered with keyIn, and userOut
// (PSWD_FIELD_BUF bytes) receives the stored user name; the other types
// leave userOut alone. keyIn is also the key a version 1 conversion hands
// the writer; convertOK allows a version 1 encryption-key record to be
// converted.
int psReadPswdFile(const pswdRequest &rq, unsigned char type, char *keyOut, unsigned char *keyIn, char *pswdOut,
                   char *userOut, int convertOK);

// Stores the password of (type, rq.server, rq.node) in rq.path, replacing
// every record of the same type and names: pswd1 for types 1 and 2, pswd2
// for types 0 and 3 to 5 (for type 0 an empty pswd2 stores pswd1); key is
// the caller's key for types 3 to 5. Takes fileOp.
int psWritePswdFile(const pswdRequest &rq, unsigned char type, const char *pswd1, const unsigned char *key,
                    const char *pswd2);

// psWritePswdFile for a caller that holds fileOp.
int psWriteRecordPswdFile(const pswdRequest &rq, unsigned char type, const char *pswd1, const char *pswd2,
                          const unsigned char *key);

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
int psCheckServerStore(const pswdRequest &rq);

// Stores newPswd as the server password of (server, node) as psWritePswdFile
// does, but only while the stored one is still oldPswd (null: while none is
// stored), as seen under the lock: PSWD_RC_STORED_CHANGED otherwise, and
// nothing is changed.
int psReplaceServerPassword(const pswdRequest &rq, const char *oldPswd, const char *newPswd);

// Removes every record of (type, server, node) and returns the rewrite's
// result: 0 (also when there was nothing to remove), or the code of the
// failure, the file then left as it was. A file left without records is
// removed.
int psRemovePasswordRecord(unsigned char type, const char *node, const char *server, const char *path);

// psRemovePasswordRecord of (type, rq.server, rq.node) in rq.path, reporting
// nothing.
void psDeletePasswordRecord(const pswdRequest &rq, unsigned char type);

// Files left beside the password file by rewrites that were killed
// (fioListLeftovers): each(ctx, name) for every one; how many, or -1 when
// the directory cannot be read. The next rewrite removes them.
int psListLeftovers(const char *path, void (*each)(void *ctx, const char *leftover), void *ctx);
