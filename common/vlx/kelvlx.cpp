#include "common/vlx/kelvlx.h"
// The start-up work on this file is finished; the request handlers are the request work's to write.

// RC_INVALID_PARM: a request that is not served yet.
static const int rcNotServed = 109;

// Not served yet: nothing is read from or written to the pipes.
int EncryptBuff(unsigned char, int, int, pswdFileInfo *, char *, char *, char *, char *, char *) { return rcNotServed; }

// Not served yet: nothing is read from or written to the pipes.
int DecryptBuff(unsigned char, int, int, pswdFileInfo *, char *, char *, char *, char *, char *) { return rcNotServed; }

// Not served yet: nothing is read from or written to the pipes.
int getEncryptKey(int, int, pswdFileInfo *, char *, char *, char *, char *, char *, unsigned char *)
{
    return rcNotServed;
}

// Not served yet: nothing is read from or written to the pipes.
int GeneratePassword(unsigned char, int, int, pswdFileInfo *, char *, char *, char *, char *, char *)
{
    return rcNotServed;
}
