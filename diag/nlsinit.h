// Locale and code-set set-up, and the start-up of the message system.
#pragma once

#include <cstddef>
#include <iconv.h>

typedef int cliType_t;       // client type number given to nlinit
typedef int dsNLSCode_t;     // result of psEnvInit

inline constexpr dsNLSCode_t NLS_CODE_UNSUPPORTED = 1;
inline constexpr dsNLSCode_t NLS_CODE_SUPPORTED = 4;

// Client types that change how the message system starts and outputs.
inline constexpr cliType_t NLS_CLIENT_QUIET = 4;        // locale only queried, messages not shown
inline constexpr cliType_t NLS_CLIENT_QUERY_NAMED = 9;  // locale only queried, catalog names from arguments
inline constexpr cliType_t NLS_CLIENT_NAMED_A = 10;     // catalog names from arguments
inline constexpr cliType_t NLS_CLIENT_NAMED_B = 11;

// Output routine of one severity; the message system calls it with a finished text.
typedef int (*nlsOutFn_t)(char *text);

struct nlsObject_t;

inline constexpr size_t NLS_NAME_SIZE = 85;   // Language, Locale, CodePage, kelLocale, info

struct nlsReturnInfo_t {
    char language[NLS_NAME_SIZE];   // effective language or locale name
    unsigned dateFmt;
    unsigned timeFmt;
    unsigned numberFmt;
};

// Converter block: five iconv handles, (iconv_t)-1 when not open. Slot 4 is the
// UTF-8-to-local converter of the catalog texts; null there means no conversion
// is needed, -1 that one is needed and not available.
struct psNlsInfo_t {
    iconv_t cd[5];
    int asian;   // slots 0..3 hold the UTF-8 converters of an Asian code set
};
inline constexpr int NLS_CVT_UTF8_TO_LOCAL = 4;
inline const iconv_t NLS_CVT_CLOSED = reinterpret_cast<iconv_t>(-1);

extern char Language[NLS_NAME_SIZE];
extern char Locale[NLS_NAME_SIZE];
extern char CodePage[NLS_NAME_SIZE];
extern char kelLocale[NLS_NAME_SIZE];
extern dsNLSCode_t actualNLSCode;
extern psNlsInfo_t *psNlsInfo;
extern unsigned date_fmt, time_fmt, number_fmt;
extern char date_fmt_str[12], time_fmt_str[12];
extern char date_sep, time_sep;
extern char thousand_sep, decimal_sep, subsecond_sep;
extern char am_str[6], pm_str[6];
extern int msgReposCodepage;

nlsObject_t *newNlsGlobalObject(nlsOutFn_t *outFns, int envMode);
void destroyNlsGlobalObject();
nlsObject_t *getNlsGlobalObjectHandle();

// 0, or 610 when the message system cannot be set up.
int nlinit(const char *lang, int cacheLimit, const char *dir, cliType_t clientType, unsigned dateFmt,
           unsigned timeFmt, unsigned numberFmt, nlsReturnInfo_t *info, const char *reposFile);
int NlinitSetup(const char *lang, const char *reposFile, int cacheLimit, const char *dir, cliType_t clientType,
                unsigned dateFmt, unsigned timeFmt, unsigned numberFmt, nlsReturnInfo_t *info);

dsNLSCode_t psEnvInit(int envMode);
int psNlsInit();
int psNlsInitSolConverters();
// 1 when the UTF-8-to-local converter is needed but could not be opened.
int psNlsConverterMissing();
// 1 when catalog texts must pass through the UTF-8-to-local converter.
int psNlsConverterOpen();
// 0, or -1 when the input was not converted completely (out holds what was).
int psUTF8ToLocal(const char *in, unsigned long inLen, char *out, unsigned long outLen, unsigned long *written);
void psOEMToAnsi(char *text);

void setDateFmt();
void setTimeFmt();
void setNumberFmt();
int validateDateFmtStr(const char *fmt);   // 1 when acceptable, else 0
int validateTimeFmtStr(const char *fmt);

// Reads an environment variable; in a set-user-id run only through the secure form.
const char *nlsGetEnv(const char *name);
