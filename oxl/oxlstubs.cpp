// Entry points that this library exports but does not carry out: the rows
// marked `stub` in the entry-point list. The program never calls them; each
// one reports "not supported" through the status and returns the row's result.
#include "oxl/oxlint.h"

namespace {

// A stub takes the entry point's parameters only to keep its signature.
template <typename... Args>
void ignoreArgs(const Args &...)
{
}

} // namespace

// A row's library column, pasted onto OXL_STUB_IS_, becomes "0, 0" for an
// entry point carried out elsewhere and "1, result" for a stub, which selects
// whether the row expands to a definition.
#define OXL_STUB_IS_own 0, 0
#define OXL_STUB_IS_stub(result) 1, result

#define OXL_STUB_FN(ret, name, fail, lib, params, args) OXL_STUB_FN_SELECT(OXL_STUB_IS_##lib, ret, name, params, args)
#define OXL_STUB_FN_SELECT(...) OXL_STUB_FN_IF(__VA_ARGS__)
#define OXL_STUB_FN_IF(stub, result, ret, name, params, args) OXL_STUB_FN_##stub(result, ret, name, params, args)
#define OXL_STUB_FN_0(result, ret, name, params, args)
#define OXL_STUB_FN_1(result, ret, name, params, args)     \
    ret METAC_##name(OXL_LIBCTX *libCtx OXL_UNPACK params) \
    {                                                      \
        ignoreArgs(libCtx OXL_UNPACK args);                \
        if (libCtx != nullptr)                             \
            oxlUnsupported(libCtx, #name);                 \
        return result;                                     \
    }

#define OXL_STUB_VOID(name, lib, params, args) OXL_STUB_VOID_##lib(name, params, args)
#define OXL_STUB_VOID_own(name, params, args)
#define OXL_STUB_VOID_stub(name, params, args)              \
    void METAC_##name(OXL_LIBCTX *libCtx OXL_UNPACK params) \
    {                                                       \
        ignoreArgs(libCtx OXL_UNPACK args);                 \
        if (libCtx != nullptr)                              \
            oxlUnsupported(libCtx, #name);                  \
    }

OXL_ENTRY_POINTS(OXL_STUB_FN, OXL_STUB_VOID)
