// The client's test switches. The agent reads them but never sets them;
// tests set them to reach the paths they guard.
#pragma once

#include <cstdint>

struct testFlag_t {
    char set;        // non-zero when the switch is on
    int32_t value;
};

extern testFlag_t TEST_CONTINUEWITHUNKNOWNRC;   // "CONTINUEWITHUNKNOWNRC"
extern testFlag_t TEST_MINPWLENGTH;             // "MINPWLENGTH"
extern testFlag_t TEST_AUDITLOGRC;              // "AUDITLOGRC"
extern testFlag_t TEST_ANSINLSREPOS;            // "ANSINLSREPOS"
extern testFlag_t TEST_NO_AES;                  // "NOAES"
extern testFlag_t TEST_LOCALOXL;                // "LOCALOXL"
