// The message repository: catalogs, reading and checking one message, and the
// cache of recently used messages.
#include "diag/nlsmsg.h"

#include <cassert>
#include <climits>
#include <cerrno>
#include <clocale>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "base/kelmem.h"
#include "base/pstrust.h"
#include "base/strutil.h"
#include "diag/GlobalRC.h"
#include "diag/logutils.h"
#include "diag/nlsfmt.h"
#include "diag/nlssig.h"
#include "diag/trace.h"

static const char trSrcFile[] = "nlsmsg";
// Source name the message system's own diagnostics report.
static const char diagSrcFile[] = "amsgrtrv";

MutexDesc *nls_mutex = nullptr;

// Built from the American English message source (msg/).
extern const nlsMsgSig_t nlsBuiltinSigs[];
extern const size_t nlsBuiltinSigCount;

#ifdef KEL_TEST_HOOKS
static const nlsMsgSig_t *sigTable = nullptr;
static size_t sigCount = 0;

void nlsSetSigTable(const nlsMsgSig_t *table, size_t count)
{
    sigTable = table;
    sigCount = table == nullptr ? 0 : count;
}
#else
static const nlsMsgSig_t *const sigTable = nullptr;   // the built-in table alone
static const size_t sigCount = 0;
#endif

const char *nlsExpectedSig(unsigned msgNum)
{
    const nlsMsgSig_t *t = sigTable != nullptr ? sigTable : nlsBuiltinSigs;
    size_t n = sigTable != nullptr ? sigCount : nlsBuiltinSigCount;
    for (size_t i = 0; i < n; i++)
        if (t[i].msgNum == msgNum)
            return t[i].sig;
    return "";
}

MutexDesc *nlInitMutex()
{
    if (nls_mutex == nullptr)
        nls_mutex = pkCreateMutex();
    return nls_mutex;
}

static const struct {
    const char *two;
    const char *five;
} lang2To5Table[] = {
    {"CZ", "CS_CZ"}, {"DE", "DE_DE"}, {"EN", "EN_US"}, {"ES", "ES_ES"}, {"FR", "FR_FR"},
    {"HU", "HU_HU"}, {"IT", "IT_IT"}, {"JA", "JA_JP"}, {"KO", "KO_KR"}, {"PL", "PL_PL"},
    {"PT", "PT_BR"}, {"RU", "RU_RU"}, {"ZH", "ZH_CN"},
};

const char *lang2To5(const char *two)
{
    for (const auto &row : lang2To5Table)
        if (strcmp(row.two, two) == 0)
            return row.five;
    return nullptr;
}

void ReplacePseudoNull(char *s, size_t n)
{
    if (s == nullptr || n == 0)
        return;
    if (s[0] == 0x01) {
        for (size_t i = 0; i < n; i++)
            if (s[i] == 0x10)
                s[i] = 0;
        return;
    }
    if (s[0] == 0x10)
        s[0] = 0;
    if (n < 2)
        return;
    unsigned char mask = static_cast<unsigned char>(s[1]);
    for (size_t i = 0; i < 3 && 2 + i < n; i++)
        if (s[2 + i] == 0x10 && (mask & (0x08 >> i)) != 0)
            s[2 + i] = 0;
    for (size_t i = 5; i < n; i++)
        if (s[i] == 0x10)
            s[i] = 0;
}

void scrubChars(wchar_t *s)
{
    if (s == nullptr)
        return;
    char mb[MB_LEN_MAX];
    for (; *s != L'\0'; s++) {
        if (wctomb(mb, *s) == -1) {
            *s = L'_';
            // Resets the shift state after a failure; whether the code set has
            // states is not needed (a (void) cast does not silence the fortified glibc).
            [[maybe_unused]] const int stateful = wctomb(nullptr, 0);
        }
    }
}

// A language or file name only chooses among the catalogs below the catalog
// directory: anything that could step out of it never reaches a path.
static bool safeName(const char *name)
{
    return name != nullptr && strchr(name, '/') == nullptr && strstr(name, "..") == nullptr;
}

// A catalog the caller could have written is never read by a set-user-id run.
static nl_catd openCatalogFile(const char *path)
{
    if (!psIsSecureRun())
        return catopen(path, -1);
    char canon[NLS_PATH_LIMIT + 8];
    if (!psPathTrusted(path, canon, sizeof canon)) {
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, "Catalog '%s' is not protected; not used\n", path);
        errno = EPERM;
        return NLS_CAT_CLOSED;
    }
    return catopen(canon, -1);
}

// Opens the catalog at path into cat; true when it opened.
static bool tryCatalog(const char *path, nl_catd &cat)
{
    errno = 0;
    cat = openCatalogFile(path);
    if (TR_NLS)
        trPrintf(trSrcFile, __LINE__, "catopen() returned %p (%d) errno = %d '%s'\n", static_cast<void *>(cat),
                 cat == NLS_CAT_CLOSED ? -1 : 0, errno, strerror(errno));
    return cat != NLS_CAT_CLOSED;
}

void nlsObject_t::diagnose(int severity, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msgText, sizeof msgText, fmt, ap);
    va_end(ap);
    msgOut(severity, msgText);
}

int nlsObject_t::openCat(const char *dir, const char *lang, const char *file, nl_catd &cat)
{
    if (TR_NLS)
        trPrintf(trSrcFile, __LINE__, "openCat(): lang: '%s', reposFile: '%s', dsdir: '%s', eitherCatP: %p\n",
                 lang ? lang : "", file ? file : "", dir ? dir : "", static_cast<void *>(&cat));
    if (dir == nullptr)
        dir = "";
    if (lang == nullptr)
        lang = "";
    if (file == nullptr || *file == '\0')
        file = NLS_REPOS_FILE;
    size_t fileLen = strlen(file) > strlen(NLS_REPOS_FILE) ? strlen(file) : strlen(NLS_REPOS_FILE);
    if (fileLen + strlen(dir) + strlen(lang) + 2 > NLS_PATH_LIMIT) {
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, "openCat(): The passed arguments are too long\n");
        return 2;
    }
    if (!safeName(lang) || !safeName(file)) {
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, "openCat(): language or file name refused\n");
        return 2;
    }
    char path[NLS_PATH_LIMIT + 8];
    snprintf(path, sizeof path, "%s/%s/%s", dir, lang, file);
    if (tryCatalog(path, cat))
        return 0;

    // Second try: the name without its code set, or the 5-letter form of a 2-letter name.
    size_t nameSize = (strlen(lang) > 32 ? strlen(lang) : 32) + 1;
    char *name = static_cast<char *>(KEL_MALLOC(nameSize));
    if (name == nullptr)
        return 2;
    snprintf(name, nameSize, "%s", strcmp(lang, "zh_TW.BIG5") == 0 ? "Zh_TW" : lang);
    char *dot = strchr(name, '.');
    if (dot != nullptr) {
        *dot = '\0';
    } else if (strlen(name) == 2) {
        const char *five = lang2To5(name);
        if (five == nullptr) {
            if (TR_NLS)
                trPrintf(trSrcFile, __LINE__, "Language name \"%s\" not found, substituting US English\n",
                         name);
            five = "EN_US";
        }
        snprintf(name, nameSize, "%s", five);
    }
    if (strlen(dir) + strlen(name) + strlen(file) + 2 > NLS_PATH_LIMIT) {
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, "openCat(): The passed arguments are too long\n");
        KEL_FREE(name);
        return 2;
    }
    snprintf(path, sizeof path, "%s/%s/%s", dir, name, file);
    KEL_FREE(name);
    if (tryCatalog(path, cat))
        return 0;
    char *copy = StrDup(path);
    if (failedReposPath != nullptr)
        KEL_FREE(failedReposPath);
    failedReposPath = copy;
    return 2;
}

// Bounded copy into a fixed field; false (and an empty field) when it does not fit.
static bool copyField(char *dst, size_t size, const char *src)
{
    size_t n = strlen(src);
    if (n >= size) {
        dst[0] = '\0';
        return false;
    }
    memcpy(dst, src, n + 1);
    return true;
}

static void upperAscii(char *s)
{
    for (; *s != '\0'; s++)
        if (*s >= 'a' && *s <= 'z')
            *s = static_cast<char>(*s - 'a' + 'A');
}

int nlsObject_t::initMsgSys(const char *lang, const char *reposFileArg, cliType_t clientTypeArg, int limit,
                            const char *dir, nlsReturnInfo_t *info)
{
    if (dir == nullptr)
        dir = "";
    if ((lang != nullptr && strlen(lang) > NLS_PATH_LIMIT) || strlen(dir) > NLS_DIR_LIMIT)
        return NLS_RC_SETUP_FAILED;
    const char *localeArg =
        (clientTypeArg == NLS_CLIENT_QUIET || clientTypeArg == NLS_CLIENT_QUERY_NAMED) ? nullptr : "";
    localCat = NLS_CAT_CLOSED;
    cacheLimit = limit < 1 ? 1 : static_cast<uint32_t>(limit);
    nlInitMutex();

    const char *englishFile = NLS_REPOS_FILE;
    const char *localFile = NLS_REPOS_FILE;
    if (lang != nullptr && *lang != '\0' &&
        (clientTypeArg == NLS_CLIENT_QUERY_NAMED || clientTypeArg == NLS_CLIENT_NAMED_A ||
         clientTypeArg == NLS_CLIENT_NAMED_B)) {
        englishFile = reposFileArg != nullptr && *reposFileArg != '\0' ? reposFileArg : NLS_REPOS_FILE;
        localFile = lang;
    }
    if (reposFile != nullptr)
        KEL_FREE(reposFile);
    reposFile = StrDup(englishFile);

    if (lang != nullptr && *lang != '\0') {
        FlushNLSCache(&msgCache);
        FlushNLSCache(&englishMsgCache);
    }
    if (openCat(dir, "EN_US", englishFile, englishCat) != 0) {
        diagnose(NLS_SEV_W,
                 "QEB0102W Unable to open the message repository %s. The American English repository will be "
                 "used instead.\n",
                 failedReposPath != nullptr ? failedReposPath : "???");
        return NLS_RC_SETUP_FAILED;
    }
    if (lang == nullptr || *lang == '\0' || reposFileArg == nullptr) {
        localCat = englishCat;
        return 0;
    }

    char *copy = StrDup(lang);
    if (failedReposPath != nullptr)
        KEL_FREE(failedReposPath);
    failedReposPath = copy;

    const char *language = nullptr;
    bool useFallback = false;
    if (kelLocale[0] == '\0') {
        setlocale(LC_ALL, localeArg);
        const char *name = setlocale(LC_MESSAGES, localeArg);
        if (name == nullptr || strcmp(name, "C") == 0)
            name = name == nullptr ? "C" : "EN_US";
        if (strcmp(name, "C") == 0)
            name = "EN_US";
        copyField(kelLocale, sizeof kelLocale, name);
        upperAscii(kelLocale);
        if (info != nullptr)
            copyField(info->language, sizeof info->language, name);
        if (strcmp(kelLocale, "C") == 0 || kelLocale[0] == '\0')
            useFallback = true;
        else
            language = psNlsConverterMissing() ? "EN_US" : kelLocale;
    } else if (psNlsConverterMissing()) {
        diagnose(NLS_SEV_W,
                 "QEB0121W Unable to open the iconv converter for the message repository %s. The American "
                 "English repository will be used instead.\n",
                 CodePage);
        language = "EN_US";
    } else {
        language = kelLocale;
    }
    if (!useFallback && strcmp(language, "EN_US") == 0 && strcmp(localFile, englishFile) == 0) {
        localCat = englishCat;   // the same catalog: one descriptor, and no second lookup on a miss
        return 0;
    }
    if (!useFallback && openCat(dir, language, localFile, localCat) != 2)
        return 0;

    copyField(kelLocale, sizeof kelLocale, "EN_US");
    if (info != nullptr)
        copyField(info->language, sizeof info->language, "EN_US");
    localCat = englishCat;
    const char *insert =
        strlen(dir) + strlen(Language) + strlen(localFile) + 2 <= NLS_PATH_LIMIT && failedReposPath != nullptr
            ? failedReposPath
            : "???";
    diagnose(NLS_SEV_W,
             "QEB0102W Unable to open the message repository %s. The American English repository will be used "
             "instead.\n",
             insert);
    return 0;
}

void nlsObject_t::reportCorrupt(unsigned msgNum, unsigned line)
{
    diagnose(NLS_SEV_E, "QEB9999E %s(%u): Message No %u is corrupted.\n", diagSrcFile, line, msgNum);
    if (TR_NLS)
        trPrintf(trSrcFile, __LINE__, "%s", msgText);
    LogMsg(msgText);
}

// A cache entry is one block of the text's length plus 45 bytes: room for the
// fields in front of the text (at most 44 bytes) and the terminator.
static constexpr size_t ENTRY_OVERHEAD = 45;
static_assert(offsetof(nlsMsg, text) + 1 <= ENTRY_OVERHEAD);

static int severityOf(char letter, bool *kept)
{
    static const char letters[] = "ZTRKIWESL";
    const char *p = strchr(letters, letter);
    if (letter == '\0' || p == nullptr)
        return -1;
    int sev = static_cast<int>(p - letters);
    *kept = sev >= NLS_SEV_K && sev <= NLS_SEV_S;
    return sev;
}

nlsMsg *nlsObject_t::ReadMsg(unsigned msgNum, int english)
{
    nl_catd cat = english ? englishCat : localCat;
    if (cat == NLS_CAT_CLOSED) {
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, "Cannot get an NLS message due to catalog file is closed\n");
        LogMsg("Cannot get an NLS message due to catalog file is closed\n");
        return nullptr;
    }
    static const char dflt[] = "QEB1111M Error retrieving message %d from kelclientV3.cat.\n";
    errno = 0;
    const char *raw = catgets(cat, 1, static_cast<int>(msgNum), dflt);
    if (TR_NLS)
        trPrintf(trSrcFile, __LINE__, "catgets() of message %u returned %p errno = %d\n", msgNum,
                 static_cast<const void *>(raw), errno);
    if (raw == nullptr || strcmp(raw, dflt) == 0) {
        diagnose(NLS_SEV_E, "QEB9999E %s(%u): Message No %u could not be found.\n", diagSrcFile, __LINE__, msgNum);
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, "%s", msgText);
        LogMsg(msgText);
        return nullptr;
    }
    size_t rawLen = strlen(raw);

    // Identifier: prefix, number, severity letter.
    size_t li = 4;
    while (li < rawLen && raw[li] >= '0' && raw[li] <= '9')
        li++;
    if (li >= rawLen) {
        reportCorrupt(msgNum, __LINE__);
        return nullptr;
    }
    if (raw[li] == 'M')
        return nullptr;
    bool kept = false;
    int sev = severityOf(raw[li], &kept);
    // A kept identifier must read prefix + four or five digits + letter + blank.
    if (sev < 0 || (kept && ((li != 7 && li != 8) || rawLen < li + 2)) || (!kept && rawLen < li + 2)) {
        reportCorrupt(msgNum, __LINE__);
        return nullptr;
    }

    char tag[16] = "";
    for (size_t i = rawLen, seen = 0; i > 0 && seen < NLS_TAG_WINDOW; i--, seen++) {
        if (raw[i - 1] == NLS_TAG_MARK) {
            snprintf(tag, sizeof tag, "%s", raw + i);
            break;
        }
    }

    // Body in catalog form; a five-digit number loses its first digit.
    const char *bodySrc = kept ? raw : raw + li + 2;
    size_t bodyLen = kept ? rawLen : rawLen - (li + 2);
    size_t dropAt = kept && li == 8 ? 3 : SIZE_MAX;
    if (dropAt != SIZE_MAX)
        bodyLen--;

    size_t blockSize = bodyLen + ENTRY_OVERHEAD;
    nlsMsg *m = static_cast<nlsMsg *>(KEL_CALLOC(1, blockSize));
    if (m == nullptr) {
        diagnose(NLS_SEV_E, "QEB0109E Insufficient memory for allocation of message structure.\n");
        if (gRC != nullptr)
            gRC->set(9999);
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, "%s", msgText);
        return nullptr;
    }
    size_t room = blockSize - offsetof(nlsMsg, text);   // at least bodyLen + 1
    m->msgNum = static_cast<uint16_t>(msgNum);
    m->severity = static_cast<uint8_t>(sev);
    memcpy(m->msgTag, tag, sizeof m->msgTag);
    if (dropAt != SIZE_MAX) {
        memcpy(m->text, bodySrc, dropAt);
        memcpy(m->text + dropAt, bodySrc + dropAt + 1, bodyLen - dropAt);
    } else {
        memcpy(m->text, bodySrc, bodyLen);
    }
    m->text[bodyLen] = '\0';
    m->textLen = static_cast<uint32_t>(bodyLen);

    if (psNlsConverterOpen() && bodyLen > 0) {
        size_t prefix = m->text[0] == 0x01 ? 1 : 4;
        if (prefix > bodyLen)
            prefix = bodyLen;
        char *in = static_cast<char *>(KEL_MALLOC(bodyLen + 1));
        if (in != nullptr) {
            memcpy(in, m->text, bodyLen + 1);
            unsigned long written = 0;
            int rc = psUTF8ToLocal(in + prefix, bodyLen - prefix, m->text + prefix, room - prefix, &written);
            if (TR_NLS)
                trPrintf(trSrcFile, __LINE__, "rc %d, Input length %d, written %d\n", rc,
                         static_cast<int>(bodyLen - prefix), static_cast<int>(written));
            m->textLen = static_cast<uint32_t>(prefix + written);
            m->text[m->textLen] = '\0';
            KEL_FREE(in);
        }
    }

    const void *mark = memrchr(m->text, NLS_TAG_MARK, m->textLen);
    if (mark != nullptr) {
        m->textLen = static_cast<uint32_t>(static_cast<const char *>(mark) - m->text);
        m->text[m->textLen] = '\0';
    }
    ReplacePseudoNull(m->text, m->textLen);
    if (msgReposCodepage == 1)
        psOEMToAnsi(m->text);

    // Second wall: the text's conversions must be the ones the program passes.
    size_t skip = kept ? NLS_KEPT_ID_LEN : 0;
    char sig[NLS_SIG_MAX + 1];
    if (m->textLen < skip || nlsBodySig(m->text + skip, m->textLen - skip, sig, sizeof sig) != 0 ||
        strcmp(sig, nlsExpectedSig(msgNum)) != 0) {
        KEL_FREE(m);
        reportCorrupt(msgNum, __LINE__);
        return nullptr;
    }
    return m;
}

void nlsObject_t::AddList(nlsMsg **head, nlsMsg *m)
{
    assert(m->next == nullptr);
    if (*head == nullptr) {
        m->next = m;
        m->prev = m;
    } else {
        m->next = *head;
        m->prev = (*head)->prev;
        (*head)->prev->next = m;
        (*head)->prev = m;
    }
    *head = m;
}

void nlsObject_t::DeleteList(nlsMsg **head, nlsMsg *m)
{
    assert(m->next != nullptr && m->prev != nullptr);
    if (m->next == m) {
        *head = nullptr;
    } else {
        m->prev->next = m->next;
        m->next->prev = m->prev;
        if (*head == m)
            *head = m->next;
    }
    m->next = nullptr;
    m->prev = nullptr;
}

void nlsObject_t::FlushNLSCache(nlsMsg **head)
{
    while (*head != nullptr) {
        nlsMsg *m = *head;
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, "Flushing cache entry for message: %d\n", m->msgNum);
        DeleteList(head, m);
        KEL_FREE(m);
    }
}

nlsMsg *nlsObject_t::GetMsg(unsigned msgNum)
{
    if (TR_NLS)
        trPrintf(trSrcFile, __LINE__, "Searching for message number: %d\n", msgNum);
    bool english = useEnglish != 0;
    nlsMsg **head = english ? &englishMsgCache : &msgCache;
    uint32_t count = 0;
    if (*head != nullptr) {
        nlsMsg *m = *head;
        do {
            count++;
            if (m->msgNum == msgNum) {
                if (TR_NLS)
                    trPrintf(trSrcFile, __LINE__, "Found message: %d in cache.\n", msgNum);
                DeleteList(head, m);
                AddList(head, m);
                useEnglish = 0;
                return m;
            }
            m = m->next;
        } while (m != *head);
    }
    nlsMsg *m = ReadMsg(msgNum, english ? 1 : 0);
    // The English retry reads another catalog only when the user's is not the English one.
    if (m == nullptr && !english && localCat != englishCat)
        m = ReadMsg(msgNum, 1);
    useEnglish = 0;
    if (m == nullptr)
        return nullptr;
    if (count >= cacheLimit && *head != nullptr) {
        nlsMsg *old = (*head)->prev;
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, "Deleting message: %d from the cache.\n", old->msgNum);
        DeleteList(head, old);
        KEL_FREE(old);
    }
    if (TR_NLS)
        trPrintf(trSrcFile, __LINE__, "Adding message: %d to the cache.\n", msgNum);
    AddList(head, m);
    return m;
}

unsigned char nlGetMsgSev(int msgNum)
{
    if (TR_NLS)
        trPrintf(trSrcFile, __LINE__, "Getting severity for message %d\n", msgNum);
    nlsObject_t *obj = getNlsGlobalObjectHandle();
    if (nls_mutex == nullptr || obj == nullptr || pkAcquireMutexNested(nls_mutex) != 0) {
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, "Unable to acquire NLS mutex\n");
        return NLS_SEV_E;
    }
    nlsMsg *m = obj->GetMsg(static_cast<unsigned>(msgNum));
    unsigned char sev = m != nullptr ? m->severity : NLS_SEV_UNKNOWN;
    if (pkReleaseMutexNested(nls_mutex) != 0) {
        if (TR_NLS)
            trPrintf(trSrcFile, __LINE__, "Unable to release NLS mutex\n");
        nlprintf(9999, diagSrcFile, __LINE__, "Unable to release NLS mutex");
        return NLS_SEV_UNKNOWN;
    }
    if (m != nullptr && TR_NLS)
        trPrintf(trSrcFile, __LINE__, "Severity is %d\n", sev);
    return sev;
}
