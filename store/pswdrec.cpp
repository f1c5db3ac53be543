// The record format of ZAR.PWD and the one walker of its records.
#include "store/pswdrec.h"

#include <cstring>
#include <initializer_list>

#include "base/kelmem.h"
#include "base/pkbytes.h"
#include "diag/nlsfmt.h"

int isOtherType(unsigned char type) { return type >= PSWD_TYPE_OTHER_FIRST && type <= PSWD_TYPE_OTHER_LAST; }

bool pswdNameFits(const char *name)
{
    return name != nullptr && strnlen(name, PSWD_MAX_FIELD + 1) <= PSWD_MAX_FIELD;
}

uint32_t pswdFieldLen(const unsigned char *hdr, int i) { return GetFour(hdr + PSWD_RH_LEN1 + 4 * i); }

pswdScan pswdClassifyHeader(const unsigned char *hdr, size_t n, const uint32_t max[5], pswdDamage *damage,
                            int *longField)
{
    pswdDamage d = pswdDamage::None;
    pswdScan st = pswdScan::Record;
    if (n == 0) {
        st = pswdScan::End;
    } else if (n < 2 || hdr[PSWD_RH_MARKER] != PSWD_MARKER) {
        st = pswdScan::Trailing;
    } else if (n < PSWD_RECHDR_SIZE) {
        st = pswdScan::Damage;
        d = pswdDamage::HeaderCut;
    } else {
        for (int i = 0; i < 5; i++)
            if (pswdFieldLen(hdr, i) > max[i]) {
                st = pswdScan::Damage;
                d = pswdDamage::FieldTooLong;
                if (longField != nullptr)
                    *longField = i;
                break;
            }
    }
    if (damage != nullptr)
        *damage = d;
    return st;
}

pswdScan pswdRecordAt(const unsigned char *img, size_t size, size_t off, const uint32_t max[5], pswdRecordRef *r)
{
    const size_t avail = off < size ? size - off : 0;
    const unsigned char *p = img + off;
    r->offset = off;
    pswdScan st = pswdClassifyHeader(p, avail < PSWD_RECHDR_SIZE ? avail : PSWD_RECHDR_SIZE, max, &r->damage,
                                     &r->longField);
    if (st != pswdScan::Record && r->damage != pswdDamage::FieldTooLong)
        return st;
    r->hdr = p;
    size_t total = PSWD_RECHDR_SIZE;
    const char *q = reinterpret_cast<const char *>(p) + PSWD_RECHDR_SIZE;
    for (int i = 0; i < 5; i++) {
        r->len[i] = pswdFieldLen(p, i);
        total += r->len[i];
    }
    if (st != pswdScan::Record)
        return st;
    if (total > avail) {
        r->damage = pswdDamage::RecordCut;
        return pswdScan::Damage;
    }
    for (int i = 0; i < 5; i++) {
        r->f[i] = q;
        q += r->len[i];
    }
    r->total = total;
    return pswdScan::Record;
}

pswdScan pswdReadRecord(FILE *s, unsigned char *hdr, char *const f[5], const uint32_t max[5], uint32_t *bytes)
{
    memset(hdr, 0, PSWD_RECHDR_SIZE);
    *bytes = 0;
    size_t n = fread(hdr, 1, PSWD_RECHDR_SIZE, s);
    if (ferror(s))
        return pswdScan::IoError;
    pswdScan st = pswdClassifyHeader(hdr, n, max, nullptr, nullptr);
    if (st != pswdScan::Record)
        return st;
    uint32_t total = PSWD_RECHDR_SIZE;
    for (int i = 0; i < 5; i++) {
        uint32_t len = pswdFieldLen(hdr, i);
        if (fread(f[i], 1, len, s) != len)
            return ferror(s) ? pswdScan::IoError : pswdScan::Damage;
        f[i][len] = '\0';
        total += len;
    }
    *bytes = total;
    return pswdScan::Record;
}

bool pswdFieldIs(const char *f, uint32_t len, const char *name)
{
    size_t n = strlen(name);
    return len == n && memcmp(f, name, n) == 0;
}

bool pswdFieldIsPrefixed(const char *f, uint32_t len, unsigned char prefix, const char *name)
{
    size_t n = strlen(name);
    return len == n + 1 && static_cast<unsigned char>(f[0]) == prefix && memcmp(f + 1, name, n) == 0;
}

bool pswdNamesMatch(const pswdRecordRef &r, unsigned char type, const char *server, const char *node)
{
    return r.type() == type && pswdFieldIs(r.f[1], r.len[1], server) &&
           (isOtherType(type) || pswdFieldIs(r.f[2], r.len[2], node));
}

unsigned char pswdSavedPrefix(const pswdRecordRef &r, unsigned char type, const char *server, const char *node)
{
    if (r.type() != type || isOtherType(type))
        return 0;
    for (unsigned char prefix : {PSWD_SAVED_V1, PSWD_SAVED_V3})
        if (pswdFieldIsPrefixed(r.f[1], r.len[1], prefix, server) &&
            pswdFieldIsPrefixed(r.f[2], r.len[2], prefix, node))
            return prefix;
    return 0;
}

bool pswdKeyBlockFits(const uint32_t *lens, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        const size_t room = i + 1 < n ? PSWD_KEYSLOT_SIZE : PSWD_KEYBLOCK_SIZE - i * PSWD_KEYSLOT_SIZE;
        if (size_t(lens[i]) + 1 > room)
            return false;
    }
    return true;
}

void pswdHeaderBytes(char (&hdr)[PSWD_HEADER_SIZE], int msgNum)
{
    memset(hdr, ' ', sizeof hdr);
    char *text = nullptr;
    int len = nlsprintf(&text, msgNum);
    if (text != nullptr) {
        size_t n = len > 0 ? static_cast<size_t>(len) : 0;
        memcpy(hdr, text, n < sizeof hdr ? n : sizeof hdr);
        kelFree(text, __FILE__, __LINE__);
    }
}
