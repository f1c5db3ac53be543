#include "base/testflags.h"

testFlag_t TEST_CONTINUEWITHUNKNOWNRC;
testFlag_t TEST_MINPWLENGTH;
testFlag_t TEST_AUDITLOGRC;
testFlag_t TEST_ANSINLSREPOS;
testFlag_t TEST_NO_AES;
testFlag_t TEST_LOCALOXL;
