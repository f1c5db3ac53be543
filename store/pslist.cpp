// The older list interface to the password file, built on the record walker.
#include "store/pslist.h"

#include <cstring>

#include "base/dslnklst.h"
#include "base/kelmem.h"
#include "base/secure.h"
#include "base/strutil.h"
#include "diag/trace.h"
#include "store/pssec.h"

static const char trSrcFile[] = "pssec";   // its traces keep the name they always had

namespace {


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
    pswdScan st;
    while ((st = pswdReadRecord(s, hdr, f, PSWD_LIST_FIELD_MAX, &bytes)) == pswdScan::Record) {
        pswdListEnt *e = static_cast<pswdListEnt *>(kelMalloc(sizeof(pswdListEnt), __FILE__, __LINE__));
        if (e == nullptr)
            return 0;
        e->data = nullptr;
        pswdRecordRef r;
        r.hdr = hdr;
        for (int i = 0; i < 5; i++) {
            r.f[i] = f[i];
            r.len[i] = pswdFieldLen(hdr, i);
        }
        e->replace = pswdNamesMatch(r, type, server, node) ? 1 : 0;
        if (*savedInd == 0 && pswdSavedPrefix(r, type, server, node) != 0)
            *savedInd = 1;
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
            memcpy(p, r.f[i], r.len[i]);
            p += r.len[i];
        }
        *p = '\0';
        if (llInsertAtBottom(*listP, e) == nullptr) {
            DelListEnt(e);
            return 0;
        }
    }
    if (st != pswdScan::End) {
        if (TR_PASSWORD)
            trPrintf(trSrcFile, __LINE__, "MakePswdList: the password file is damaged (%d).\n", static_cast<int>(st));
        return 0;
    }
    return ferror(s) ? 0 : 1;
}

} // namespace

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
    return pswdReadRecord(stream, hdr, f, PSWD_READER_FIELD_MAX, &bytes) == pswdScan::Record ? bytes : 0;
}

int MakePswdList(LinkedList_t **listP, FILE *stream, unsigned char type, const char *server, const char *node,
                 int *savedInd)
{
    if (listP == nullptr || stream == nullptr || savedInd == nullptr)
        return 0;
    return buildList(listP, stream, type, StrOrEmpty(server), StrOrEmpty(node), savedInd);
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
    char hdr[PSWD_HEADER_SIZE];
    pswdHeaderBytes(hdr, msgNum);
    return fwrite(hdr, 1, sizeof hdr, stream) == sizeof hdr ? 0 : PSWD_RC_SHORT_WRITE;
}
