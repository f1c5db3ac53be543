// Password operations by record type: get, set and delete a stored password.
// They choose the file routine of store/pssec that serves the record
// type; docs/password-file.md describes the file and its keys.
#pragma once

#include <cstdint>

#include "base/psmutex.h"
#include "store/pssec.h"   // pswdFileInfo, pswdRequest and the record format

// Mutexes of the client library's password operations; the agent only destroys them.
extern psMutex_t pswdOpMutex;
extern psMutex_t cryptBufMutex;

// Reads the password of one record of rq.path. Types 0 and 1 are keyed by
// (rq.server, rq.node); types 3 to 5 by the entity name rq.server, with keyIn
// as their key, and userOut (PSWD_FIELD_BUF bytes) receives the stored user
// name. Type 1 fills keyOut (PSWD_KEYBLOCK_SIZE bytes) with the current key
// and up to two saved keys; the other types fill pswdOut (PSWD_FIELD_BUF
// bytes). convertOK allows a version 1 encryption-key record to be converted.
// Returns 0, 168 when no usable record exists, or a write or cipher code from
// a conversion. Type 2 gives 168; types above 5 give 0 and touch nothing.
int dsGetPassword(const pswdRequest &rq, unsigned char type, char *keyOut, unsigned char *keyIn, char *pswdOut,
                  char *userOut, int convertOK);

// Stores a password in rq.path, replacing every record of the same type and
// names. pswd1 is stored for types 1 and 2, pswd2 for types 0 and 3 to 5 (for
// type 0 an empty pswd2 stores pswd1); key is the caller's key for types 3
// to 5; rq.node is the user name of types 3 to 5.
// Returns 0, -1 (cannot open, create or rewrite; refused), 165 (short write),
// 166 (another writer held the lock too long), 102 (no memory) or a cipher
// code. Type 2 gives -1; types above 5 give 0.
int dsSetPassword(const pswdRequest &rq, unsigned char type, const char *pswd1, const unsigned char *key,
                  const char *pswd2);

// 'C': psCheckServerStore and psReplaceServerPassword of the server password
// (type 0) of (rq.server, rq.node).
int dsCheckPasswordStore(const pswdRequest &rq);
int dsReplacePassword(const pswdRequest &rq, const char *oldPswd, const char *newPswd);

// Removes every record of (type, rq.server, rq.node) from rq.path; reports
// nothing.
void dsDeletePasswordRecord(const pswdRequest &rq, unsigned char type);

// Destroys pswdOpMutex, then cryptBufMutex.
void pswdOpMutexDestroy();
