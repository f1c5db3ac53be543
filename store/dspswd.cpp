// Password operations by record type. Each chooses the file routine of
// store/pssec and passes the arguments on in that routine's order.
#include "store/dspswd.h"

#include "store/pssec.h"
#include "diag/dscore.h"

psMutex_t pswdOpMutex = PTHREAD_MUTEX_INITIALIZER;
psMutex_t cryptBufMutex = PTHREAD_MUTEX_INITIALIZER;
// Both are released by the second stage of the core tear-down.
[[maybe_unused]] static const int pswdOpMutexHook = dsCoreAddCleanUpHook(DS_CLEANUP_PSWDOP_MUTEX, pswdOpMutexDestroy);

int dsGetPassword(pswdFileInfo *info, unsigned char type, char *keyOut, unsigned char *keyIn, char *pswdOut,
                  char *node, const char *server, const char *unused8, const char *unused9, void *unused10,
                  const char *path, int convertOK)
{
    if (type == PSWD_TYPE_TSA)   // never served: the file routine refuses a null record
        return psReadPswdFile(type, keyOut, keyIn, nullptr, node, server, unused10, nullptr, unused8, unused9,
                              path, convertOK);
    if (type > PSWD_TYPE_OTHER_LAST)
        return 0;
    return psReadPswdFile(type, keyOut, keyIn, pswdOut, node, server, unused10, info, unused8, unused9, path,
                          convertOK);
}

int dsSetPassword(pswdFileInfo *info, unsigned char type, const char *pswd1, const unsigned char *key,
                  const char *pswd2, const char *node, const char *server, const char *unused8,
                  const char *unused9, void *unused10, const char *path)
{
    if (type == PSWD_TYPE_TSA)
        return psWritePswdFile(type, pswd1, key, nullptr, node, server, unused10, nullptr, unused8, unused9, path);
    if (type > PSWD_TYPE_OTHER_LAST)
        return 0;
    return psWritePswdFile(type, pswd1, key, pswd2, node, server, unused10, info, unused8, unused9, path);
}

int dsCheckPasswordStore(pswdFileInfo *info, const char *node, const char *server, const char *path)
{
    return psCheckServerStore(node, server, info, path);
}

int dsReplacePassword(pswdFileInfo *info, const char *oldPswd, const char *newPswd, const char *node,
                      const char *server, const char *path)
{
    return psReplaceServerPassword(oldPswd, newPswd, node, server, info, path);
}

void dsDeletePasswordRecord(pswdFileInfo *info, unsigned char type, const char *unused3, const char *node,
                            const char *server, const char *unused6, const char *unused7, void *unused8,
                            const char *path)
{
    psDeletePasswordRecord(type, unused3, node, server, unused8, info, unused6, unused7, path);
}

void pswdOpMutexDestroy()
{
    psMutexDestroy(&pswdOpMutex);
    psMutexDestroy(&cryptBufMutex);
}
