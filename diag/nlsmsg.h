// The message repository: the one message object, its catalogs and the cache
// of recently used messages.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "kelvlx/kelcontract.h"
#include <cstdio>
#include <cwchar>
#include <nl_types.h>

#include "base/pkmutex.h"
#include "diag/nlsinit.h"

class nlsCharBuffer;

inline constexpr size_t NLS_WORK_SIZE = 4864;      // msgText and insertArea
inline constexpr size_t NLS_PATH_LIMIT = 1279;     // longest catalog path accepted
inline constexpr size_t NLS_DIR_LIMIT = 1024;      // longest catalog directory accepted
inline constexpr const char NLS_REPOS_FILE[] = "kelclientV3.cat";
inline constexpr const char NLS_MSG_PREFIX[] = "QEB";
inline constexpr int NLS_RC_SETUP_FAILED = KEL_ST_NLS;
inline constexpr int NLS_SEV_COUNT = 9;
inline constexpr unsigned char NLS_SEV_UNKNOWN = 255;
inline const nl_catd NLS_CAT_CLOSED = reinterpret_cast<nl_catd>(-1);
// A stored text ends at its last byte 0x12; what follows it within the text's
// final 15 bytes is the message's tag. Catalogs are built with this marker.
inline constexpr char NLS_TAG_MARK = 0x12;
inline constexpr size_t NLS_TAG_WINDOW = 15;
// The identifier a K, I, W, E or S message keeps in front of its body:
// prefix, four digits, severity letter, blank ("QEB1834E ").
inline constexpr size_t NLS_KEPT_ID_LEN = 9;

// Severity codes of the identifier letters Z T R K I W E S L.
enum nlsSeverity : uint8_t {
    NLS_SEV_Z = 0, NLS_SEV_T = 1, NLS_SEV_R = 2, NLS_SEV_K = 3, NLS_SEV_I = 4,
    NLS_SEV_W = 5, NLS_SEV_E = 6, NLS_SEV_S = 7, NLS_SEV_L = 8
};

// One cached message; allocated as one block with its text.
struct nlsMsg {
    nlsMsg *next;
    nlsMsg *prev;
    uint16_t msgNum;
    uint8_t severity;
    char msgTag[16];
    uint32_t textLen;   // bytes of text before its terminator (the text may hold 0 bytes)
    char text[];        // body, NUL-terminated, in the local code set
};

// The expected conversions of one message, in the order its callers pass the
// arguments: 'i' int, 'l' long, 'f' double, 's' narrow string, 'w' wide string,
// 'p' pointer. A catalog text whose conversions differ counts as corrupted.
struct nlsMsgSig_t {
    uint16_t msgNum;
    const char *sig;
};

struct nlsObject_t {
    nlsOutFn_t outFn[NLS_SEV_COUNT];
    char msgPrefix[8];
    nlsMsg *msgCache;              // user's language, most recently used first
    nlsMsg *englishMsgCache;
    FILE *stream1;
    FILE *stream2;
    char *failedReposPath;         // owned
    char *reposFile;               // owned
    char *spareText;               // owned
    char msgText[NLS_WORK_SIZE];   // the message system's own diagnostics
    uint32_t cacheLimit;
    nl_catd localCat;
    nl_catd englishCat;
    uint32_t useEnglish;
    uint32_t initialized;
    char insertArea[NLS_WORK_SIZE];   // formatted inserts of one message
    uint32_t schedLineStart;
    uint32_t clientType;

    // 0, or 610 when the American English catalog cannot be opened or an argument is too long.
    int initMsgSys(const char *lang, const char *reposFile, cliType_t clientType, int cacheLimit,
                   const char *dir, nlsReturnInfo_t *info);
    // 0 when opened, 2 when not.
    int openCat(const char *dir, const char *lang, const char *reposFile, nl_catd &cat);
    // Cached lookup; null when the message is unavailable. Caller holds nls_mutex.
    nlsMsg *GetMsg(unsigned msgNum);
    nlsMsg *ReadMsg(unsigned msgNum, int english);
    void AddList(nlsMsg **head, nlsMsg *m);
    void DeleteList(nlsMsg **head, nlsMsg *m);
    void FlushNLSCache(nlsMsg **head);

    // Formats message msgNum into a new kelCalloc'd text (also returned through out, null
    // when there is none); stores the message's severity code (0 without a message).
    char *nlVmessage(int msgNum, char **out, va_list args, unsigned char *severity);
    // Formats one stored body of bodyLen bytes into buf; returns the buffer's text length.
    int nlOrderInsert(nlsCharBuffer *buf, const char *body, size_t bodyLen, va_list args);

private:
    void diagnose(int severity, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    void reportCorrupt(unsigned msgNum, unsigned line);
};

// Process-wide mutex of the message object; null until nlInitMutex.
extern MutexDesc *nls_mutex;
MutexDesc *nlInitMutex();

// Severity code 0..8 of a message, 255 when unavailable, 6 when the message
// system is not set up.
unsigned char nlGetMsgSev(int msgNum);

// Turns the escape byte 0x10 back into 0 where the stored form says so; len is
// the text's length.
void ReplacePseudoNull(char *s, size_t len);
// Replaces every wide character the local code set cannot hold by '_'.
void scrubChars(wchar_t *s);

// The 5-letter catalog language of a 2-letter name, null when there is none.
const char *lang2To5(const char *two);

// Expected conversions of a message number (empty when the program passes none).
const char *nlsExpectedSig(unsigned msgNum);
#ifdef KEL_TEST_HOOKS
// Replaces the table of expected conversions for a test's own catalogs; null
// restores the built-in table.
void nlsSetSigTable(const nlsMsgSig_t *table, size_t count);
#endif
