// The password file ZAR.PWD: reader, record scanner, list builder, writer,
// deleter and the derivation of the keys that encipher the stored texts.
// docs/password-file.md gives the layout byte for byte.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/unx/fioreplace.h"
#include "common/unx/psmutex.h"

struct pswdFileInfo;   // common/ut/dspswd.h
struct LinkedList_t;   // common/ut/dslnklst.h

inline constexpr unsigned PSWD_HEADER_SIZE = 71;    // file header: text of message PSWD_HEADER_MSG
inline constexpr int PSWD_HEADER_MSG = 11342;
inline constexpr unsigned PSWD_RECHDR_SIZE = 23;    // record header
inline constexpr unsigned char PSWD_MARKER = 0xEF;  // byte 1 of every record header
inline constexpr unsigned char PSWD_VERSION_1 = 1;  // field 5 under the host key
inline constexpr unsigned char PSWD_VERSION_3 = 3;  // fields 4 and 5 under the node key
inline constexpr unsigned char PSWD_SAVED_V1 = 0x01;  // prefix of a saved key read with the host key
inline constexpr unsigned char PSWD_SAVED_V3 = 0x02;  // prefix of a saved key read with the node key
inline constexpr uint32_t PSWD_HASH_MODULUS = 99999989u;

// Offsets inside a record header.
inline constexpr unsigned PSWD_RH_TYPE = 0;
inline constexpr unsigned PSWD_RH_MARKER = 1;
inline constexpr unsigned PSWD_RH_VERSION = 2;
inline constexpr unsigned PSWD_RH_LEN1 = 3;   // lengths of fields 1 to 5 follow, 4 bytes each, big-endian

// Room the list builder gives fields 1 to 5 (without the NUL).
inline constexpr uint32_t PSWD_LIST_FIELD_MAX[5] = {67, 67, 67, 83, 80};

// Result codes of this unit besides 0.
inline constexpr int PSWD_RC_NO_RECORD = 168;   // no usable stored password or key
inline constexpr int PSWD_RC_SHORT_WRITE = FIO_RC_SHORT_WRITE;   // 165
inline constexpr int PSWD_RC_NO_MEMORY = FIO_RC_NO_MEMORY;       // 102
inline constexpr int PSWD_RC_CANNOT_WRITE = FIO_RC_CANNOT_WRITE; // -1
// The wait for another writer's lock ran out (FIO_LOCK_WAIT_SECONDS); nothing
// was changed. The agent ends with it as its own exit status.
inline constexpr int PSWD_RC_LOCKED = FIO_RC_LOCKED;             // 166
// psWriteKeyRecord without dropCurrentOK: storing the key would drop the
// current key without a trace; nothing was changed.
inline constexpr int PSWD_RC_KEY_WOULD_BE_LOST = 167;

// fileOp serialises every read, write and delete within the process;
// cryptMutex the key derivation.
extern psMutex_t fileOp;
extern psMutex_t cryptMutex;

// One entry of the list that MakePswdList builds.
struct pswdListEnt {
    int replace;                               // 1: the current write or delete drops it
    unsigned char hdr[PSWD_RECHDR_SIZE];       // the record header as stored
    uint32_t dataLen;                          // sum of the five field lengths
    char *data;                                // the five fields in file order, plus one byte
};

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

// Reads the next record into hdr (PSWD_RECHDR_SIZE bytes) and five buffers of
// PSWD_FIELD_BUF (68) bytes each, every field ended with a NUL. Returns the
// bytes read, 0 at the end of the records and for a record that is cut short
// or has a field that does not fit.
unsigned int psReadRecordFromPswdFile(FILE *stream, unsigned char *hdr, char *f1, char *f2, char *f3, char *f4,
                                      char *f5);

// Builds the list of every record from the current position of stream
// (entries of pswdListEnt, destroyed with DelListEnt). Marks the records of
// (type, server, node) for replacement (types 3 to 5: of type and server), and
// sets *savedInd when a saved key record of server and node exists. 1 on
// success; 0 when memory is short, the stream fails, a record is damaged or
// bytes follow the last record.
int MakePswdList(LinkedList_t **listP, FILE *stream, unsigned char type, const char *server, const char *node,
                 int *savedInd);

// Writes the PSWD_HEADER_SIZE header bytes to a stream: the text of msgNum,
// blank-filled. Returns 0 or 165 for a short write.
int psWriteHeader(FILE *stream, int msgNum);

// Element destructor of the record list: zeroes and frees the data, frees the entry.
void DelListEnt(void *entry);

// Key derivation: 16 bytes from a name. 1 on success, 0 when crypt fails or
// the name is null.
int psCreateCryptoKey(unsigned char *key, const char *name);
// The node key; 0 for a node name that no record could hold (over 67 bytes).
int psSetUpCryptoKey(unsigned char *key, const char *node);
// The host key, from the cluster name or the host name; 0 when neither is available.
int getCryptoKeyV1(unsigned char *key);
