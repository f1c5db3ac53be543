// Password operations by record type. Each chooses the file routine of
// store/pssec and hands it the request record.
#include "store/dspswd.h"

#include "store/pssec.h"
#include "diag/dscore.h"

psMutex_t pswdOpMutex = PTHREAD_MUTEX_INITIALIZER;
psMutex_t cryptBufMutex = PTHREAD_MUTEX_INITIALIZER;
// Both are released by the second stage of the core tear-down.
[[maybe_unused]] static const int pswdOpMutexHook = dsCoreAddCleanUpHook(DS_CLEANUP_PSWDOP_MUTEX, pswdOpMutexDestroy);

int dsGetPassword(const pswdRequest &rq, unsigned char type, char *keyOut, unsigned char *keyIn, char *pswdOut,
                  char *userOut, int convertOK)
{
    if (type == PSWD_TYPE_TSA) {   // never served: the file routine refuses a request without a file description
        pswdRequest refused = rq;
        refused.fileInfo = nullptr;
        return psReadPswdFile(refused, type, keyOut, keyIn, nullptr, userOut, convertOK);
    }
    if (type > PSWD_TYPE_OTHER_LAST)
        return 0;
    return psReadPswdFile(rq, type, keyOut, keyIn, pswdOut, userOut, convertOK);
}

int dsSetPassword(const pswdRequest &rq, unsigned char type, const char *pswd1, const unsigned char *key,
                  const char *pswd2)
{
    if (type == PSWD_TYPE_TSA) {
        pswdRequest refused = rq;
        refused.fileInfo = nullptr;
        return psWritePswdFile(refused, type, pswd1, key, nullptr);
    }
    if (type > PSWD_TYPE_OTHER_LAST)
        return 0;
    return psWritePswdFile(rq, type, pswd1, key, pswd2);
}

int dsCheckPasswordStore(const pswdRequest &rq)
{
    return psCheckServerStore(rq);
}

int dsReplacePassword(const pswdRequest &rq, const char *oldPswd, const char *newPswd)
{
    return psReplaceServerPassword(rq, oldPswd, newPswd);
}

void dsDeletePasswordRecord(const pswdRequest &rq, unsigned char type)
{
    psDeletePasswordRecord(rq, type);
}

void pswdOpMutexDestroy()
{
    psMutexDestroy(&pswdOpMutex);
    psMutexDestroy(&cryptBufMutex);
}
