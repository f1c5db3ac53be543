// The wrappers through which the program calls the crypto library:
// OXLC_<name> (library context, arguments...) calls METAC_<name> with the
// library's own context in front. With a null context or an unresolved entry
// point a wrapper calls nothing and returns its failure value: -2 for an int
// result, 0 for an error code, null for a pointer, nothing for no result.
#pragma once

#include "crypto/oxlcload.h"

#define OXL_DECLARE_FN(ret, name, fail, lib, params, args) ret OXLC_##name(OXLC_CTX *oxlc OXL_UNPACK params);
#define OXL_DECLARE_VOID(name, lib, params, args) void OXLC_##name(OXLC_CTX *oxlc OXL_UNPACK params);
OXL_ENTRY_POINTS(OXL_DECLARE_FN, OXL_DECLARE_VOID)
#undef OXL_DECLARE_FN
#undef OXL_DECLARE_VOID
