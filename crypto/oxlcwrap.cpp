#include "crypto/oxlcwrap.h"

#define OXL_DEFINE_FN(ret, name, fail, lib, params, args)                                     \
    ret OXLC_##name(OXLC_CTX *oxlc OXL_UNPACK params)                                          \
    {                                                                                         \
        if (oxlc == nullptr || oxlc->entry[OXL_IDX_##name].address == nullptr)                  \
            return fail;                                                                      \
        auto fn = reinterpret_cast<METAC_##name##_t>(oxlc->entry[OXL_IDX_##name].address);     \
        return fn(oxlc->libCtx OXL_UNPACK args);                                               \
    }
#define OXL_DEFINE_VOID(name, lib, params, args)                                              \
    void OXLC_##name(OXLC_CTX *oxlc OXL_UNPACK params)                                         \
    {                                                                                         \
        if (oxlc == nullptr || oxlc->entry[OXL_IDX_##name].address == nullptr)                  \
            return;                                                                           \
        auto fn = reinterpret_cast<METAC_##name##_t>(oxlc->entry[OXL_IDX_##name].address);     \
        fn(oxlc->libCtx OXL_UNPACK args);                                                      \
    }
OXL_ENTRY_POINTS(OXL_DEFINE_FN, OXL_DEFINE_VOID)
