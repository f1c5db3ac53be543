// Locale and code-set set-up, the message object's life, and the start-up of
// the message system with its date, time and number formats.
#include "diag/nlsinit.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <langinfo.h>
#include <strings.h>

#include "base/kelmem.h"
#include "base/testflags.h"
#include "diag/nlsfmt.h"
#include "diag/nlsmsg.h"
#include "diag/trace.h"

static const char trSrcFile[] = "nlsinit";

char Language[NLS_NAME_SIZE];
char Locale[NLS_NAME_SIZE];
char CodePage[NLS_NAME_SIZE];
char kelLocale[NLS_NAME_SIZE];
dsNLSCode_t actualNLSCode;
psNlsInfo_t *psNlsInfo = nullptr;
unsigned date_fmt = 0, time_fmt = 0, number_fmt = 0;
char date_fmt_str[12] = "%m/%d/%Y";
char time_fmt_str[12] = "%H:%M:%S";
char date_sep = '/', time_sep = ':';
char thousand_sep = ',', decimal_sep = '.', subsecond_sep = '.';
char am_str[6], pm_str[6];
int msgReposCodepage = 0;

static nlsObject_t nlsGlobalObject;
static nlsObject_t *nlsObjectP = nullptr;

// Copies src into a fixed field, cut to the field's size.
static void cutCopy(char *dst, size_t size, const char *src)
{
    snprintf(dst, size, "%s", src != nullptr ? src : "");
}

const char *nlsGetEnv(const char *name)
{
    // The secure form hands back nothing in a set-user-id run, so that the
    // caller's environment cannot steer which files root opens.
    return secure_getenv(name);
}

static bool isUtf8Name(const char *cs)
{
    return strcmp(cs, "UTF-8") == 0 || strcmp(cs, "utf-8") == 0 || strcmp(cs, "UTF8") == 0 ||
           strcmp(cs, "utf8") == 0;
}

dsNLSCode_t psEnvInit(int envMode)
{
    const char *arg = envMode == 1 ? "" : nullptr;
    setlocale(LC_ALL, arg);
    const char *t = nl_langinfo(THOUSEP);
    thousand_sep = t != nullptr && *t != '\0' ? *t : ',';
    const char *r = nl_langinfo(RADIXCHAR);
    decimal_sep = r != nullptr && *r != '\0' ? *r : '.';
    subsecond_sep = decimal_sep;

    cutCopy(CodePage, sizeof CodePage, nl_langinfo(CODESET));
    const char *name = nlsGetEnv("LANG");
    if (name == nullptr || *name == '\0')
        name = setlocale(LC_MESSAGES, arg);
    if (name == nullptr)
        name = "C";
    cutCopy(Locale, sizeof Locale, name);
    cutCopy(Language, sizeof Language, name);
    char *dot = strchr(Language, '.');
    if (dot != nullptr)
        *dot = '\0';

    if (strcmp(Language, "C") == 0 || strcmp(Language, "POSIX") == 0) {
        cutCopy(Language, sizeof Language, "EN_US");
        if (envMode == 1)
            setlocale(LC_CTYPE, "en_US");
    } else if (strcmp(Language, "ja") == 0 || strcmp(Language, "japanese") == 0) {
        cutCopy(Language, sizeof Language, "ja_JP");
    } else if (strcmp(Language, "zh") == 0 || strcmp(Language, "chinese") == 0) {
        cutCopy(Language, sizeof Language, "zh_CN");
    } else if (strcmp(Language, "ko") == 0 || strcmp(Language, "korean") == 0) {
        cutCopy(Language, sizeof Language, "ko_KR");
    } else if (strcmp(Language, "tchinese") == 0) {
        cutCopy(Language, sizeof Language, "zh_TW");
    }

    static const char *const supported[] = {"en_US", "cs_CZ", "de_DE", "es_ES", "fr_FR", "hu_HU", "it_IT",
                                            "pl_PL", "pt_BR", "ru_RU", "zh_CN", "zh_TW", "ko_KR", "Ja_JP"};
    static const char *const upperNames[] = {"CS_CZ", "EN_US", "DE_DE", "ES_ES", "FR_FR", "HU_HU", "IT_IT",
                                             "PL_PL", "PT_BR", "RU_RU", "ZH_CN", "ZH_TW", "KO_KR", "JA_JP"};
    kelLocale[0] = '\0';
    bool known = false;
    for (const char *s : supported)
        known = known || strcasecmp(Language, s) == 0;
    if (!known) {
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, "Language '%s' is not supported\n", Language);
        return NLS_CODE_UNSUPPORTED;
    }
    cutCopy(kelLocale, sizeof kelLocale, Language);
    for (char *p = kelLocale; *p != '\0'; p++)
        if (*p >= 'a' && *p <= 'z')
            *p = static_cast<char>(*p - 'a' + 'A');
    bool upperName = false;
    for (const char *s : upperNames)
        upperName = upperName || strcmp(Language, s) == 0;
    if (strcmp(CodePage, "UTF-8") == 0 || strcmp(CodePage, "UTF8") == 0 || upperName)
        cutCopy(CodePage, sizeof CodePage, "UTF-8");
    return NLS_CODE_SUPPORTED;
}

int psNlsInitSolConverters()
{
    if (psNlsInfo != nullptr)
        return 0;
    psNlsInfo = static_cast<psNlsInfo_t *>(KEL_MALLOC(sizeof(psNlsInfo_t)));
    if (psNlsInfo == nullptr)
        return -1;
    memset(psNlsInfo, 0, sizeof *psNlsInfo);
    psNlsInfo->asian = 1;
    iconv_t *cd = psNlsInfo->cd;
    for (int i = 0; i < 4; i++)
        cd[i] = NLS_CVT_CLOSED;
    cd[0] = iconv_open("UTF-8", CodePage);
    cd[1] = iconv_open(CodePage, "UTF-8");
    if (cd[0] == NLS_CVT_CLOSED || cd[1] == NLS_CVT_CLOSED) {
        for (int i = 0; i < 2; i++)
            if (cd[i] != NLS_CVT_CLOSED)
                iconv_close(cd[i]);
        cd[0] = cd[1] = NLS_CVT_CLOSED;
        return 0;
    }
    cd[2] = iconv_open("UCS-4", "UTF-8");
    cd[3] = iconv_open("UTF-8", "UCS-4");
    if (cd[2] == NLS_CVT_CLOSED || cd[3] == NLS_CVT_CLOSED) {
        for (int i = 0; i < 4; i++) {
            if (cd[i] != NLS_CVT_CLOSED)
                iconv_close(cd[i]);
            cd[i] = NLS_CVT_CLOSED;
        }
    }
    return 0;
}

int psNlsInit()
{
    if (!isUtf8Name(CodePage) && (strcmp(Language, "ja_JP") == 0 || strcmp(Language, "ko_KR") == 0 ||
                                  strcmp(Language, "zh_TW") == 0 || strcmp(Language, "zh_CN") == 0))
        return psNlsInitSolConverters();
    if (psNlsInfo != nullptr)
        return 0;
    psNlsInfo = static_cast<psNlsInfo_t *>(KEL_CALLOC(1, sizeof(psNlsInfo_t)));
    if (psNlsInfo == nullptr)
        return -1;
    iconv_t *cd = psNlsInfo->cd;
    cd[2] = cd[3] = NLS_CVT_CLOSED;
    cd[0] = iconv_open("UCS-2", CodePage);
    cd[1] = iconv_open(CodePage, "UCS-2");
    if (isUtf8Name(CodePage) || strcmp(Language, "en_US") == 0)
        cd[NLS_CVT_UTF8_TO_LOCAL] = nullptr;
    else
        cd[NLS_CVT_UTF8_TO_LOCAL] = iconv_open(CodePage, "UTF-8");
    return 0;
}

static void psNlsFree()
{
    if (psNlsInfo == nullptr)
        return;
    for (iconv_t cd : psNlsInfo->cd)
        if (cd != nullptr && cd != NLS_CVT_CLOSED)
            iconv_close(cd);
    KEL_FREE(psNlsInfo);
    psNlsInfo = nullptr;
}

// The converter for catalog texts: slot 4, or for an Asian code set (where
// slot 4 stays null) its UTF-8-to-local converter in slot 1, since the
// catalogs hold UTF-8 there too.
static iconv_t catalogConverter()
{
    if (psNlsInfo == nullptr)
        return nullptr;
    if (psNlsInfo->asian)
        return psNlsInfo->cd[1];
    return psNlsInfo->cd[NLS_CVT_UTF8_TO_LOCAL];
}

int psNlsConverterMissing()
{
    if (psNlsInfo == nullptr)
        return CodePage[0] != '\0' && !isUtf8Name(CodePage) ? 1 : 0;
    return catalogConverter() == NLS_CVT_CLOSED ? 1 : 0;
}

int psNlsConverterOpen()
{
    iconv_t cd = catalogConverter();
    return cd != nullptr && cd != NLS_CVT_CLOSED ? 1 : 0;
}

int psUTF8ToLocal(const char *in, unsigned long inLen, char *out, unsigned long outLen, unsigned long *written)
{
    if (written != nullptr)
        *written = 0;
    if (!psNlsConverterOpen() || out == nullptr || outLen == 0)
        return -1;
    iconv_t cd = catalogConverter();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    char *inP = const_cast<char *>(in);
    size_t inLeft = inLen;
    char *outP = out;
    size_t outLeft = outLen - 1;   // room for the terminator
    iconv(cd, &inP, &inLeft, &outP, &outLeft);
    *outP = '\0';
    if (written != nullptr)
        *written = static_cast<unsigned long>(outP - out);
    if (TR_NLS)
        trPrintf(trSrcFile, __LINE__, " In remainder %d Out count %d \n   InBuf '%.*s', \n  outBuf '%s'\n",
                 static_cast<int>(inLeft), static_cast<int>(outP - out), static_cast<int>(inLen), in, out);
    if (inLeft != 0) {
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, " inBuf is not completely consumed\n");
        return -1;
    }
    return 0;
}

void psOEMToAnsi(char *) {}

nlsObject_t *newNlsGlobalObject(nlsOutFn_t *outFns, int envMode)
{
    nlsGlobalObject = nlsObject_t{};
    actualNLSCode = psEnvInit(envMode);
    psNlsInit();
    nlsGlobalObject.localCat = NLS_CAT_CLOSED;
    nlsGlobalObject.englishCat = NLS_CAT_CLOSED;
    for (int i = 0; i < NLS_SEV_COUNT; i++)
        nlsGlobalObject.outFn[i] = outFns != nullptr && outFns[i] != nullptr ? outFns[i] : outDeflt;
    cutCopy(nlsGlobalObject.msgPrefix, sizeof nlsGlobalObject.msgPrefix, NLS_MSG_PREFIX);
    nlsGlobalObject.schedLineStart = 1;
    nlsObjectP = &nlsGlobalObject;
    return nlsObjectP;
}

void destroyNlsGlobalObject()
{
    nlsObject_t &o = nlsGlobalObject;
    if (nlsObjectP == nullptr)
        return;
    if (o.spareText != nullptr)
        KEL_FREE(o.spareText);
    o.FlushNLSCache(&o.msgCache);
    o.FlushNLSCache(&o.englishMsgCache);
    if (o.reposFile != nullptr)
        KEL_FREE(o.reposFile);
    if (o.failedReposPath != nullptr)
        KEL_FREE(o.failedReposPath);
    o.spareText = o.reposFile = o.failedReposPath = nullptr;
    // Catalogs and converters are released too, so that a new object starts clean.
    if (o.localCat != NLS_CAT_CLOSED && o.localCat != o.englishCat)
        catclose(o.localCat);
    if (o.englishCat != NLS_CAT_CLOSED)
        catclose(o.englishCat);
    o.localCat = o.englishCat = NLS_CAT_CLOSED;
    o.initialized = 0;
    psNlsFree();
    nlsObjectP = nullptr;
}

nlsObject_t *getNlsGlobalObjectHandle() { return nlsObjectP; }

int NlinitSetup(const char *lang, const char *reposFile, int cacheLimit, const char *dir, cliType_t clientType,
                unsigned dateFmt, unsigned timeFmt, unsigned numberFmt, nlsReturnInfo_t *info)
{
    if (info != nullptr)
        info->dateFmt = dateFmt;
    setDateFmt();
    if (info != nullptr)
        info->timeFmt = timeFmt;
    setTimeFmt();
    if (info != nullptr)
        info->numberFmt = numberFmt;
    setNumberFmt();
    nlsObject_t *o = getNlsGlobalObjectHandle();
    if (o == nullptr)
        return NLS_RC_SETUP_FAILED;
    if (o->initialized == 1)
        return 0;
    return o->initMsgSys(lang, reposFile != nullptr && *reposFile != '\0' ? reposFile : NLS_REPOS_FILE,
                         clientType, cacheLimit, dir, info);
}

int nlinit(const char *lang, int cacheLimit, const char *dir, cliType_t clientType, unsigned dateFmt,
           unsigned timeFmt, unsigned numberFmt, nlsReturnInfo_t *info, const char *reposFile)
{
    if (lang == nullptr || *lang == '\0')
        return NLS_RC_SETUP_FAILED;
    // The language must fit the fixed name fields it is copied into.
    if (strlen(lang) >= NLS_NAME_SIZE)
        return NLS_RC_SETUP_FAILED;
    nlsObject_t *o = getNlsGlobalObjectHandle();
    if (o == nullptr)
        return NLS_RC_SETUP_FAILED;
    msgReposCodepage = TEST_ANSINLSREPOS.set ? 0 : 1;
    if (info != nullptr)
        cutCopy(info->language, sizeof info->language, lang);
    o->clientType = static_cast<uint32_t>(clientType);
    date_fmt = dateFmt;
    time_fmt = timeFmt;
    number_fmt = numberFmt;
    int rc = NlinitSetup(lang, reposFile, cacheLimit, dir, clientType, dateFmt, timeFmt, numberFmt, info);
    setDateFmt();
    setTimeFmt();
    setNumberFmt();
    o->initialized = 1;
    return rc;
}

void setDateFmt()
{
    static const char *const fixed[] = {nullptr, "%m/%d/%Y", "%d-%m-%Y", "%Y-%m-%d",
                                        "%d.%m.%Y", "%Y.%m.%d", "%Y/%m/%d", "%d/%m/%Y"};
    if (date_fmt == 0) {
        const char *loc = nl_langinfo(D_FMT);
        // A locale format is taken only when it is acceptable and fits the field.
        if (loc != nullptr && validateDateFmtStr(loc) && strlen(loc) < sizeof date_fmt_str)
            cutCopy(date_fmt_str, sizeof date_fmt_str, loc);
        else
            cutCopy(date_fmt_str, sizeof date_fmt_str, "%m/%d/%Y");
    } else if (date_fmt < sizeof fixed / sizeof fixed[0]) {
        cutCopy(date_fmt_str, sizeof date_fmt_str, fixed[date_fmt]);
    }
    date_sep = date_fmt_str[2];
}

void setTimeFmt()
{
    static const char *const fixed[] = {nullptr, "%H:%M:%S", "%H,%M,%S", "%H.%M.%S", "%I:%M:%S%p"};
    am_str[0] = pm_str[0] = '\0';
    if (time_fmt == 0) {
        const char *loc = nl_langinfo(T_FMT);
        if (loc != nullptr && validateTimeFmtStr(loc) && strlen(loc) < sizeof time_fmt_str) {
            cutCopy(time_fmt_str, sizeof time_fmt_str, loc);
            cutCopy(am_str, sizeof am_str, nl_langinfo(AM_STR));
            cutCopy(pm_str, sizeof pm_str, nl_langinfo(PM_STR));
        } else {
            cutCopy(time_fmt_str, sizeof time_fmt_str, "%H:%M:%S");
        }
    } else if (time_fmt < sizeof fixed / sizeof fixed[0]) {
        cutCopy(time_fmt_str, sizeof time_fmt_str, fixed[time_fmt]);
        if (time_fmt == 4) {
            cutCopy(am_str, sizeof am_str, "AM");
            cutCopy(pm_str, sizeof pm_str, "PM");
        }
    }
    time_sep = time_fmt_str[2];
}

void setNumberFmt()
{
    static const char seps[][2] = {{',', '.'}, {',', '.'}, {',', ','}, {' ', ','},
                                   {' ', '.'}, {'.', ','}, {'\'', ','}};
    if (number_fmt >= 1 && number_fmt <= 6) {
        thousand_sep = seps[number_fmt][0];
        decimal_sep = seps[number_fmt][1];
    } else {
        const char *t = nl_langinfo(THOUSEP);
        thousand_sep = t != nullptr && *t != '\0' ? *t : ',';
        const char *r = nl_langinfo(RADIXCHAR);
        decimal_sep = r != nullptr && *r != '\0' ? *r : '.';
    }
    subsecond_sep = decimal_sep;
}

// Reads up to max items "%<letter>" with one separator between them; stops at
// the end, at a character that does not begin an item or at a letter not in allowed.
static int fmtItems(const char *s, const char *allowed, char *items, int max)
{
    int n = 0;
    size_t i = 0, len = strlen(s);
    while (n < max && i + 1 < len && s[i] == '%' && strchr(allowed, s[i + 1]) != nullptr) {
        items[n++] = s[i + 1];
        i += 2;
        if (i < len)
            i++;
    }
    return n;
}

int validateDateFmtStr(const char *fmt)
{
    if (fmt == nullptr || *fmt == '\0' || strlen(fmt) >= 15)
        return 0;
    char it[3];
    if (fmtItems(fmt, "mdyY", it, 3) != 3)
        return 0;
    int m = 0, d = 0, y = 0;
    for (char c : it) {
        m += c == 'm';
        d += c == 'd';
        y += c == 'y' || c == 'Y';
    }
    return m == 1 && d == 1 && y == 1 ? 1 : 0;
}

int validateTimeFmtStr(const char *fmt)
{
    if (fmt == nullptr || *fmt == '\0' || strlen(fmt) >= 15)
        return 0;
    char it[4];
    int n = fmtItems(fmt, "HIMSp", it, 4);
    if (n < 3)
        return 0;
    int h = 0, i12 = 0, m = 0, s = 0;
    for (int k = 0; k < 3; k++) {
        h += it[k] == 'H';
        i12 += it[k] == 'I';
        m += it[k] == 'M';
        s += it[k] == 'S';
    }
    if (h + i12 != 1 || m != 1 || s != 1)
        return 0;
    if (n == 4 && (it[3] != 'p' || i12 != 1))
        return 0;
    return 1;
}
