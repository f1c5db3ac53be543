// Conversion signatures of message texts. A catalog text is a printf format
// read from a file; before any of it reaches printf its conversions are read
// here and compared with what the program passes for that message.
#pragma once

#include <cstddef>

// Longest signature: ten inserts, each with up to two star values.
inline constexpr size_t NLS_SIG_MAX = 31;

// Signature of the printf format fmt[0..len): 0, or -1 when a conversion is
// refused or the signature does not fit into sig (sigSize bytes with terminator).
int nlsFmtSig(const char *fmt, size_t len, char *sig, size_t sigSize);

// Signature of a stored message body (kind 1 plain, kind 0 ordered) of len
// bytes, in the order the caller passes the arguments. -1 when the body is
// malformed: an insert count outside 0..10, an order list that is not a
// permutation, a star count above 2, a value type above 3, an insert format
// that is not exactly one conversion of its type, or anything past the end.
int nlsBodySig(const char *body, size_t len, char *sig, size_t sigSize);

// Layout of an ordered body, filled by nlsParseOrdered.
struct nlsOrdered_t {
    int count;                  // inserts
    unsigned char order[10];    // caller's k-th argument fills slot order[k]
    unsigned char stars[10];    // per slot
    unsigned char type[10];     // per slot
    const char *fmt[10];        // per slot, NUL-terminated
    const char *piece[11];      // NUL-terminated
};
int nlsParseOrdered(const char *body, size_t len, nlsOrdered_t *o);
