// Stand-in until the message catalogs are read: accepts any non-empty language.
#include "common/nls/nlsinit.h"

struct nlsObject_t {
    int initialized;
};

static nlsObject_t nlsGlobalObject;
static nlsObject_t *nlsObjectP = nullptr;

nlsObject_t *newNlsGlobalObject(nlsOutFn_t *, int)
{
    nlsGlobalObject = nlsObject_t{};
    nlsObjectP = &nlsGlobalObject;
    return nlsObjectP;
}

void destroyNlsGlobalObject() { nlsObjectP = nullptr; }

nlsObject_t *getNlsGlobalObjectHandle() { return nlsObjectP; }

int nlinit(const char *lang, int, const char *, cliType_t, unsigned, unsigned, unsigned, nlsReturnInfo_t *,
           const char *)
{
    if (lang == nullptr || *lang == '\0')
        return 610;
    if (nlsObjectP != nullptr)
        nlsObjectP->initialized = 1;
    return 0;
}
