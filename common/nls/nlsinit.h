// Locale and message-system start-up.
#pragma once

typedef int cliType_t;

// Output routine of one severity; the message system calls it with a finished text.
typedef int (*nlsOutFn_t)(char *text);

struct nlsObject_t;

struct nlsReturnInfo_t {
    char language[85];        // effective language or locale name
    unsigned dateFmt;
    unsigned timeFmt;
    unsigned numberFmt;
};

nlsObject_t *newNlsGlobalObject(nlsOutFn_t *outFns, int envMode);
void destroyNlsGlobalObject();
nlsObject_t *getNlsGlobalObjectHandle();

// 0, or 610 when the message system cannot be set up.
int nlinit(const char *lang, int cacheLimit, const char *dir, cliType_t clientType, unsigned dateFmt,
           unsigned timeFmt, unsigned numberFmt, nlsReturnInfo_t *info, const char *reposFile);
