// The record format of the password file ZAR.PWD: its constants and the one
// walker of its records, on which the reader and writer (pssec), the older
// list interface (pslist) and the administrator's scan (tools/pwfscan) are
// built. docs/password-file.md gives the layout byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "kelvlx/kelcontract.h"

// ---------------------------------------------------------------- the file

inline constexpr unsigned PSWD_HEADER_SIZE = 71;    // file header: text of message PSWD_HEADER_MSG
inline constexpr int PSWD_HEADER_MSG = 11342;
inline constexpr unsigned PSWD_RECHDR_SIZE = 23;    // record header
inline constexpr unsigned char PSWD_MARKER = 0xEF;  // byte 1 of every record header
inline constexpr unsigned char PSWD_VERSION_1 = 1;  // field 5 under the host key
inline constexpr unsigned char PSWD_VERSION_3 = 3;  // fields 4 and 5 under the node key
inline constexpr unsigned char PSWD_SAVED_V1 = 0x01;  // prefix of a saved key read with the host key
inline constexpr unsigned char PSWD_SAVED_V3 = 0x02;  // prefix of a saved key read with the node key

// Offsets inside a record header.
inline constexpr unsigned PSWD_RH_TYPE = 0;
inline constexpr unsigned PSWD_RH_MARKER = 1;
inline constexpr unsigned PSWD_RH_VERSION = 2;
inline constexpr unsigned PSWD_RH_LEN1 = 3;   // lengths of fields 1 to 5 follow, 4 bytes each, big-endian

// Record types.
inline constexpr unsigned char PSWD_TYPE_SERVER = 0;   // server password of a node
inline constexpr unsigned char PSWD_TYPE_ENCRKEY = 1;  // encryption-key password of a node
inline constexpr unsigned char PSWD_TYPE_TSA = 2;      // never served: get 168, set -1
inline constexpr unsigned char PSWD_TYPE_OTHER_FIRST = 3;
inline constexpr unsigned char PSWD_TYPE_OTHER_LAST = 5;

// Size of the key block a type 1 read fills: three 64-byte slots.
inline constexpr unsigned PSWD_KEYBLOCK_SIZE = KEL_KEY_BLOCK;
inline constexpr unsigned PSWD_KEYSLOT_SIZE = KEL_KEY_SLOT;
// Longest name or password a reader takes, and a buffer that holds one with its NUL.
inline constexpr unsigned PSWD_MAX_FIELD = 67;
inline constexpr unsigned PSWD_FIELD_BUF = PSWD_MAX_FIELD + 1;
// Length of the key that derivation makes and that types 3 to 5 are given.
inline constexpr unsigned PSWD_KEY_SIZE = 16;

// The longest field of each position a reader takes.
inline constexpr uint32_t PSWD_READER_FIELD_MAX[5] = {PSWD_MAX_FIELD, PSWD_MAX_FIELD, PSWD_MAX_FIELD,
                                                      PSWD_MAX_FIELD, PSWD_MAX_FIELD};

// 1 for the types keyed by entity name only (3, 4 and 5), else 0.
int isOtherType(unsigned char type);

// A name that a record field can hold (not null, at most PSWD_MAX_FIELD bytes).
bool pswdNameFits(const char *name);

// ---------------------------------------------------------------- walking the records

// What the bytes at a record's place are. End: nothing is left. Trailing:
// bytes that do not begin a record (a read ignores them, a rewrite refuses
// them). Damage: a header cut short with the marker in place, a field longer
// than the reader's limit, or fields that run past the end. IoError: a stream
// failed.
enum class pswdScan { Record, End, Trailing, Damage, IoError };

// Which damage, for a report that says where and why.
enum class pswdDamage { None, HeaderCut, FieldTooLong, RecordCut };

// One record of a file held in memory: its header and its five fields in place.
struct pswdRecordRef {
    size_t offset = 0;   // from the start of the file
    size_t total = 0;    // header and fields
    const unsigned char *hdr = nullptr;
    const char *f[5] = {};
    uint32_t len[5] = {};
    pswdDamage damage = pswdDamage::None;   // with pswdScan::Damage
    int longField = -1;                     // with FieldTooLong: the first field (0 to 4) over the limit

    unsigned char type() const { return hdr[PSWD_RH_TYPE]; }
    unsigned char version() const { return hdr[PSWD_RH_VERSION]; }
};

// The length of field i (0 to 4) in a record header.
uint32_t pswdFieldLen(const unsigned char *hdr, int i);

// What the n (at most PSWD_RECHDR_SIZE) bytes at hdr begin, fields checked
// against max. *damage (may be null) receives the kind of damage, *longField
// the first field over its limit.
pswdScan pswdClassifyHeader(const unsigned char *hdr, size_t n, const uint32_t max[5], pswdDamage *damage,
                            int *longField);

// The record at offset off of an image of size bytes; r->len and r->f are
// filled as far as the header goes even for damage, r->damage says which.
pswdScan pswdRecordAt(const unsigned char *img, size_t size, size_t off, const uint32_t max[5],
                      pswdRecordRef *r);

// Calls fn(const pswdRecordRef &) with every record after the file header,
// fields held to the reader's limits, while fn returns true. Returns what
// ended the walk (Record when fn stopped it); *last (may be null) receives the
// record place that ended it.
template <typename Fn>
pswdScan pswdEachRecord(const unsigned char *img, size_t size, Fn fn, pswdRecordRef *last = nullptr)
{
    pswdRecordRef r;
    pswdScan st = pswdScan::End;
    for (size_t off = PSWD_HEADER_SIZE; size > PSWD_HEADER_SIZE; off += r.total) {
        r = pswdRecordRef();
        st = pswdRecordAt(img, size, off, PSWD_READER_FIELD_MAX, &r);
        if (st != pswdScan::Record || !fn(static_cast<const pswdRecordRef &>(r)))
            break;
    }
    if (last != nullptr)
        *last = r;
    return st;
}

// Reads the next record of a stream: the header into hdr (PSWD_RECHDR_SIZE
// bytes), each field i into f[i] (max[i] + 1 bytes), ended with a NUL;
// *bytes the record's size. Damage also for fields that run past the end.
pswdScan pswdReadRecord(FILE *s, unsigned char *hdr, char *const f[5], const uint32_t max[5], uint32_t *bytes);

// ---------------------------------------------------------------- what a record is of

// Whether field f of len bytes is name, or the prefix byte and name.
bool pswdFieldIs(const char *f, uint32_t len, const char *name);
bool pswdFieldIsPrefixed(const char *f, uint32_t len, unsigned char prefix, const char *name);

// Whether r is a record of (type, server, node): for types 3 to 5 the
// server (entity) name alone counts.
bool pswdNamesMatch(const pswdRecordRef &r, unsigned char type, const char *server, const char *node);

// The prefix of a saved key record of (server, node) among records of the
// given type, 0 for any other record.
unsigned char pswdSavedPrefix(const pswdRecordRef &r, unsigned char type, const char *server, const char *node);

// Whether key texts of these lengths, in slot order (current, saved V3,
// saved V1), read back from a key block: each one and its NUL end before the
// next slot begins, and the last one inside the block.
bool pswdKeyBlockFits(const uint32_t *lens, size_t n);

// The file header: the text of msgNum, blank-filled. Only its length matters
// to readers; the text is for a person who opens the file.
void pswdHeaderBytes(char (&hdr)[PSWD_HEADER_SIZE], int msgNum);
