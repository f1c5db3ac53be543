// Trace facility. The trace file, its header, markers and wrapping are
// described in docs/trace-file.md; client programs and support tools read it.
#include "diag/trace.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <strings.h>

#include "base/fio.h"
#include "base/kelmem.h"
#include "base/pserrno.h"
#include "diag/dateutil.h"
#include "diag/logutils.h"
#include "diag/traceplus.h"

static const char trSrcFile[] = "trace";

char TR_ERROR, TR_GENERAL, TR_MEMORY, TR_ENTER, TR_FILEOPS, TR_NLS, TR_ENCRYPT, TR_ENCRYPTDETAIL, TR_PASSWORD,
    TR_EXTRC, TR_EXTRC_DETAIL, TR_COMM, TR_THREAD, TR_PREFIX, TR_TIMESTAMP, TR_PID, TR_TID, TR_CLIENTTYPE;
char TR_COMMDETAIL, TR_COMMFULL, TR_DELTA, TR_DELTASTAT;

// Classes of library areas beside the agent: they exist so that a trace
// option naming them is accepted and reset like every other class.
static char trSession, trVerbInfo, trTxn, trBackup, trRestore, trArchive, trRetrieve, trFileAttr, trJournal,
    trPolicy, trDedup, trVServer, trLanFree, trFmDb, trBtree, trMedia, trCompress, trStatus, trOptions, trSsl,
    trShm, trGuid, trMd5, trAudit, trSched, trWeb, trInclExcl, trDirScan, trSnapshot, trStats;

trClass_t trClassTable[TR_CLASS_TABLE_SIZE] = {
    // ERROR stays first: a reset switches off every class but this one.
    {"ERROR", &TR_ERROR, 0},
    {"GENERAL", &TR_GENERAL, 0},
    {"MEMORY", &TR_MEMORY, 0},
    {"ENTER", &TR_ENTER, 0},
    {"FILEOPS", &TR_FILEOPS, 0},
    {"NLS", &TR_NLS, 0},
    {"ENCRYPT", &TR_ENCRYPT, 0},
    {"ENCRYPTDETAIL", &TR_ENCRYPTDETAIL, 0},
    {"PASSWORD", &TR_PASSWORD, 0},
    {"EXTRC", &TR_EXTRC, 0},
    {"EXTRC_DETAIL", &TR_EXTRC_DETAIL, 0},
    {"COMM", &TR_COMM, 1},
    {"COMMDETAIL", &TR_COMMDETAIL, 1},
    {"COMMFULL", &TR_COMMFULL, 1},
    {"DELTA", &TR_DELTA, 1},
    {"DELTASTAT", &TR_DELTASTAT, 1},
    {"THREAD", &TR_THREAD, 0},
    {"PREFIX", &TR_PREFIX, 0},
    {"TIMESTAMP", &TR_TIMESTAMP, 0},
    {"PID", &TR_PID, 0},
    {"TID", &TR_TID, 0},
    {"CLIENTTYPE", &TR_CLIENTTYPE, 0},
    {"SESSION", &trSession, 0},
    {"VERBINFO", &trVerbInfo, 0},
    {"TXN", &trTxn, 0},
    {"BACKUP", &trBackup, 0},
    {"RESTORE", &trRestore, 0},
    {"ARCHIVE", &trArchive, 0},
    {"RETRIEVE", &trRetrieve, 0},
    {"FILEATTR", &trFileAttr, 0},
    {"JOURNAL", &trJournal, 0},
    {"POLICY", &trPolicy, 0},
    {"DEDUP", &trDedup, 0},
    {"VSERVER", &trVServer, 0},
    {"LANFREE", &trLanFree, 0},
    {"FMDB", &trFmDb, 0},
    {"BTREE", &trBtree, 0},
    {"MEDIA", &trMedia, 0},
    {"COMPRESS", &trCompress, 0},
    {"STATUS", &trStatus, 0},
    {"OPTIONS", &trOptions, 0},
    {"SSL", &trSsl, 0},
    {"SHM", &trShm, 0},
    {"GUID", &trGuid, 0},
    {"MD5", &trMd5, 0},
    {"AUDIT", &trAudit, 0},
    {"SCHED", &trSched, 0},
    {"WEB", &trWeb, 0},
    {"INCLEXCL", &trInclExcl, 0},
    {"DIRSCAN", &trDirScan, 0},
    {"SNAPSHOT", &trSnapshot, 0},
    {"STATS", &trStats, 0},
    {nullptr, nullptr, 0},
};

traceObj_t traceObjStatic;
traceObj_t *traceObj = nullptr;

namespace {

// One recursive lock guards the object's configuration and every write: a
// write that reaches the size limit closes and reopens the file (next
// segment) while it holds the lock, so two locks would invert their order.
std::recursive_mutex &trLock()
{
    static std::recursive_mutex m;
    return m;
}
using Guard = std::lock_guard<std::recursive_mutex>;

const char EOD_MARKER[] = "\nEND OF DATA\n\n";
const char PRODUCT_TEXT[] = "Quorvane 6.1.5.00";
constexpr uint64_t MB = 1048576;
constexpr size_t PREFIX_SIZE = 128;
// Largest position the 12-character header field can hold.
constexpr uint64_t MAX_POSITION = 999999999999ull;

// The header's fields: the identifier, the next-write position behind it and
// the maximum size behind that (docs/trace-file.md).
const char HEADER_ID[] = "ZAR Trace   ";
constexpr off_t POSITION_FIELD_AT = sizeof HEADER_ID - 1;
constexpr off_t MAXIMUM_FIELD_AT = POSITION_FIELD_AT + 12;

// Written at the next-write position when the output reaches the limit.
const char WRAP_MARKER[] = "\nContinued at beginning of file\n\n";
const char SEGMENT_WRAP_FORMAT[] = "\nContinued at beginning of segment %u\n\n";
const char CLOSE_MARKER[] = "\nEND OF DATA - close\n\n";
static_assert(sizeof CLOSE_MARKER <= sizeof WRAP_MARKER && sizeof EOD_MARKER <= sizeof WRAP_MARKER,
              "the room kept for the continuation marker holds every marker");

const char *const clientTags[] = {
    "[ctCLBackup  ]", "[ctCLAdmin   ]", "[ctGUIBackup ]", "[ctODBCDriver]", "[ctCLAPI     ]",
    "[ctCLSpaceMGT]", "[ctDICAD     ]", "[ctDIWebClien]", "[ctJBBDaemon ]", "[ctUtlAppl   ]",
    "[ctCLUtlAppl ]", "[ctGUIUtlAppl]", "[ctDIJavaGUI ]",
};

const char *clientTag(int clientType)
{
    if (clientType >= 0 && clientType < (int)(sizeof clientTags / sizeof clientTags[0]))
        return clientTags[clientType];
    return "[ctUnkown    ]";
}

const char *buildDate()
{
    const char *d = KEL_BUILD_STAMP;
    while (*d == ' ')
        d++;
    return d;
}

// Local date and time texts of now, and the microseconds of the current second.
void stampTexts(char *date, char *timeText, long *usec)
{
    nfDate d{};
    long micro = 0;
    GetTimeOfDay(&d, &micro);
    dateFmt(&d, date, timeText);
    if (usec != nullptr)
        *usec = micro;
}

bool isStdStream(FILE *f) { return f == stdout || f == stderr; }

bool isFileStream(const traceObj_t *t) { return t->stream != nullptr && !isStdStream(t->stream) && !t->consoleMode; }

bool isWrappingFile(const traceObj_t *t) { return t->wrapping && isFileStream(t); }

// Bounded copy that always terminates; false when src did not fit.
bool copyName(char *dst, size_t size, const char *src)
{
    size_t n = strnlen(src, size);
    if (n >= size) {
        dst[0] = '\0';
        return false;
    }
    memcpy(dst, src, n + 1);
    return true;
}

// A bare name is made absolute in the current directory; a name that holds
// a "/" stays as it is. False when the result does not fit.
bool absoluteName(const char *name, char *out, size_t size)
{
    out[0] = '\0';
    if (psBuildCurrentPath(out, name, size) != 0)
        return false;
    return out[0] != '\0' || copyName(out, size, name);
}

void invalidName()
{
    fputs("Invalid trace file name\n", stdout);
    fflush(stdout);
}

// Prefix "%-20s(%4u): " when TR_PREFIX is on, then the caller's text. The
// result is the length of the caller's text as stored (prefix not counted).
int buildLine(char *buf, size_t size, const char *srcFile, unsigned line, const char *fmt, va_list ap)
{
    memset(buf, 0, size);
    size_t used = 0;
    if (TR_PREFIX) {
        int n = snprintf(buf, size, "%-20s(%4u): ", srcFile != nullptr ? srcFile : "", line);
        used = n < 0 ? 0 : ((size_t)n >= size ? size - 1 : (size_t)n);
    }
    int n = vsnprintf(buf + used, size - used, fmt, ap);
    if (n < 0) {
        buf[used] = '\0';
        return 0;
    }
    return (size_t)n >= size - used ? (int)(size - used - 1) : n;
}

// Appends to a bounded prefix buffer.
void appendText(char *buf, size_t size, const char *text)
{
    size_t used = strnlen(buf, size);
    if (used + 1 < size)
        snprintf(buf + used, size - used, "%s", text);
}

// After every write to a wrapping file: record the position, then the marker.
void markEndOfData(FILE *f)
{
    SetNextWrite(f);
    fputs(EOD_MARKER, f);
    fflush(f);
}

// The size in bytes the file being written may reach: the maximum, or with
// segments the size of the current one.
uint64_t wrapLimit(const traceObj_t *t)
{
    if (t->segmentCount < 2)
        return (uint64_t)t->maxSize * MB;
    return (uint64_t)(t->currentSegment == t->segmentCount ? t->lastSegmentSize : t->segmentSize) * MB;
}

// Room kept behind every write for the longest marker that may follow it at
// the next-write position: the continuation marker, with the largest segment
// number it can name.
uint64_t markerRoom(const traceObj_t *t)
{
    if (t->segmentCount < 2)
        return sizeof WRAP_MARKER - 1;
    char marker[64];
    return (uint64_t)snprintf(marker, sizeof marker, SEGMENT_WRAP_FORMAT, t->segmentCount);
}

// Writes at most n bytes of s; false when the write failed.
bool putBounded(FILE *f, const char *s, size_t n) { return n == 0 || fwrite(s, 1, n, f) == n; }

// Writes prefix and text at the next-write position of the wrapping file,
// under one wrap check; the write result. An output longer than a whole file
// can hold behind its header is cut to what fits.
int writeWrapped(traceObj_t *t, const char *prefix, const char *text)
{
    size_t plen = strlen(prefix), tlen = strlen(text);
    fflush(t->stream);
    if (ckwrap(plen + tlen) != 0 || t->stream == nullptr)
        return -1;
    uint64_t used = (uint64_t)t->nextWrite + markerRoom(t);
    uint64_t fits = wrapLimit(t) > used ? wrapLimit(t) - used : 0;
    if (plen > fits)
        plen = (size_t)fits;
    if (tlen > fits - plen)
        tlen = (size_t)(fits - plen);
    int rc = putBounded(t->stream, prefix, plen) && putBounded(t->stream, text, tlen) ? (int)(plen + tlen) : -1;
    if (fflush(t->stream) != 0)
        rc = -1;
    if (rc >= 0)
        markEndOfData(t->stream);
    return rc;
}

void writeFailed(const char *fmt, int err)
{
    char name[TR_ACTIVE_NAME_SIZE];
    copyName(name, sizeof name, traceObj != nullptr ? traceObj->activeFileName : "");
    trReset(1);
    if (err < 0)
        fprintf(stdout, fmt, name);
    else
        fprintf(stdout, fmt, name, err, strerror(err));
    fflush(stdout);
}

// Parses an unsigned decimal number at *p (blanks before it skipped).
bool parseNumber(const char **p, uint64_t *value)
{
    const char *s = *p;
    while (*s == ' ')
        s++;
    if (*s < '0' || *s > '9')
        return false;
    uint64_t v = 0;
    while (*s >= '0' && *s <= '9') {
        if (v > (UINT64_MAX - 9) / 10)
            return false;
        v = v * 10 + (uint64_t)(*s - '0');
        s++;
    }
    *p = s;
    *value = v;
    return true;
}

// " <max> Quorvane ...   Build date: <date>\n\n" part of the header, from offset 24.
int headerTail(char *buf, size_t size, uint32_t maxSize)
{
    return snprintf(buf, size, "%-10u %s   Build date: %s\n\n", maxSize, PRODUCT_TEXT, buildDate());
}

// An existing trace file is reused when its header is ours and consistent
// with the current limits; returns the open stream, or null to recreate.
FILE *reuseExisting(traceObj_t *t, const char *tail, size_t tailLen)
{
    if (t->segmentCount >= 2)
        return nullptr;
    FILE *f = pkFopenNoLink(t->activeFileName, "r+");
    if (f == nullptr)
        return nullptr;
    struct stat st {};
    char first[258] = {};
    bool ok = fstat(fileno(f), &st) == 0 && S_ISREG(st.st_mode) && fgets(first, 257, f) != nullptr;
    uint64_t next = 0, recordedMax = 0;
    const char *p = first;
    ok = ok && strncmp(p, HEADER_ID, POSITION_FIELD_AT) == 0;
    p += ok ? POSITION_FIELD_AT : 0;
    ok = ok && parseNumber(&p, &next) && parseNumber(&p, &recordedMax);
    uint64_t size = ok ? (uint64_t)st.st_size : 0;
    uint64_t dataStart = MAXIMUM_FIELD_AT + tailLen;
    ok = ok && size <= wrapLimit(t) && recordedMax <= t->maxSize
         // The rewritten header must cover exactly the old one and the recorded
         // position must lie inside the data, with room for a marker behind it,
         // or older lines would be damaged or the file outgrow its limit.
         && strlen(first) == dataStart - 1 && first[dataStart - 2] == '\n' && next >= dataStart && next <= size &&
         next + markerRoom(t) <= wrapLimit(t);
    if (ok && (fseeko(f, MAXIMUM_FIELD_AT, SEEK_SET) != 0 || fputs(tail, f) < 0 || fflush(f) != 0))
        ok = false;
    if (!ok) {
        fclose(f);
        return nullptr;
    }
    t->startOfData = (int64_t)dataStart;
    t->nextWrite = (int64_t)next;
    return f;
}

// Creates the trace file anew with its header.
FILE *createNew(traceObj_t *t, const char *tail)
{
    FILE *f = pkFopenNoLink(t->activeFileName, "w+");
    if (f == nullptr)
        return nullptr;
    if (fputs(HEADER_ID, f) < 0 || fputs("123456789012", f) < 0 || fputs(tail, f) < 0) {
        fclose(f);
        return nullptr;
    }
    SetNextWrite(f);
    t->startOfData = t->nextWrite;
    return f;
}

void openFailed(traceObj_t *t)
{
    if (t->screenOutput) {
        fprintf(stdout, "Unable to open trace output file %s\n", t->activeFileName);
        fflush(stdout);
    }
    trReset(1);
}

// Opens a wrapping trace file: 0 or 426.
int beginWrapping(traceObj_t *t)
{
    char tail[128];
    int n = headerTail(tail, sizeof tail, t->maxSize);
    if (n < 0 || (size_t)n >= sizeof tail)
        return 426;
    FILE *f = reuseExisting(t, tail, (size_t)n);
    if (f == nullptr) {
        t->stream = nullptr;
        t->nextWrite = 0;
        f = createNew(t, tail);
        if (f == nullptr) {
            openFailed(t);
            return 426;
        }
    }
    t->stream = f;
    if (t->continuing) {
        fprintf(f, "Continued from end of segment %u\n\n", t->previousSegment);
        fflush(f);
    } else {
        static const char begin[] = "BEGINNING NEW TRACE\n\n";
        if (ckwrap(sizeof begin - 1) != 0 || t->stream == nullptr)
            return 426;
        fputs(begin, f);
    }
    SetNextWrite(f);
    return 0;
}

int beginPlain(traceObj_t *t)
{
    FILE *f = pkFopenNoLink(t->activeFileName, "a");
    if (f == nullptr) {
        openFailed(t);
        return 426;
    }
    fprintf(f, "ZAR Trace   %s  \nBuild Date: %s\nBEGINNING NEW TRACE\n\n", PRODUCT_TEXT, buildDate());
    fflush(f);
    t->stream = f;
    return 0;
}

void beginConsole(traceObj_t *t)
{
    if (t->consoleFn == nullptr || t->consoleFn(0, nullptr, t->consoleCtx) != 0)
        return;
    t->consoleMode = 1;
    t->wrapping = 0;
    t->started = 1;
    t->stream = stderr;
    fputs("Tracing to stderr\n", stdout);
    fflush(stdout);
}

void firstBeginOfFile(traceObj_t *t, int printHeader)
{
    if (t->timestampOpt) {
        TR_TIMESTAMP = 1;
        TR_PREFIX = 1;
    }
    // Output is enabled before the header lines so that they reach the file.
    t->started = 1;
    if (printHeader) {
        char date[DATE_TEXT_SIZE + 1] = {}, timeText[DATE_TEXT_SIZE + 1] = {};
        stampTexts(date, timeText, nullptr);
        trPrintf(trSrcFile, __LINE__, "Tracing to file: %s\n", t->activeFileName);
        trPrintf(trSrcFile, __LINE__, "Tracefile maximum length set to %lu MB.\n", (unsigned long)t->maxSize);
        trPrintf(trSrcFile, __LINE__,
                 "----------------------------------------------------------------\n%s %s - Trace begun.\n", date,
                 timeText);
    }
}

// Writes prefix and text to the current destination; the write result.
// No allocation here: the allocator traces.
int emit(traceObj_t *t, const char *prefix, const char *text)
{
    size_t len = strlen(prefix) + strlen(text);
    if (t->consoleMode) {
        if (t->consoleFn == nullptr)
            return 0;
        char line[PREFIX_SIZE + TR_LINE_SIZE];
        if (prefix[0] == '\0' || len >= sizeof line)
            return (prefix[0] == '\0' || t->consoleFn(1, prefix, t->consoleCtx) >= 0)
                       ? t->consoleFn(1, text, t->consoleCtx)
                       : -1;
        size_t plen = strlen(prefix);
        memcpy(line, prefix, plen);
        memcpy(line + plen, text, len - plen + 1);
        return t->consoleFn(1, line, t->consoleCtx);
    }
    if (isStdStream(t->stream) && !t->screenOutput) {
        fflush(t->stream);
        return 0;
    }
    if (isWrappingFile(t))
        return writeWrapped(t, prefix, text);
    // A buffered write fails only when it is flushed: the flush is part of it.
    if (fputs(prefix, t->stream) < 0 || fputs(text, t->stream) < 0 || fflush(t->stream) != 0)
        return -1;
    return (int)len;
}

// The thread-tag hook's line goes out first as its own output; its tag joins the prefix.
void threadTag(traceObj_t *t, char *prefix)
{
    char tagLine[TR_TAG_LINE_SIZE] = {};
    char tag[TR_TAG_SIZE] = {};
    t->threadTagFn(tagLine, sizeof tagLine, tag, sizeof tag);
    tagLine[sizeof tagLine - 1] = '\0';
    tag[sizeof tag - 1] = '\0';
    if (tagLine[0] != '\0') {
        if (isWrappingFile(t)) {
            fflush(t->stream);
            if (ckwrap(sizeof tagLine) == 0 && t->stream != nullptr) {
                fputs(tagLine, t->stream);
                fflush(t->stream);
                markEndOfData(t->stream);
            }
        } else if (t->stream != nullptr) {
            emit(t, "", tagLine);
        }
    }
    appendText(prefix, PREFIX_SIZE, tag);
}

void buildPrefix(traceObj_t *t, char *prefix)
{
    memset(prefix, 0, PREFIX_SIZE);
    if (TR_TIMESTAMP) {
        char date[DATE_TEXT_SIZE + 1] = {}, timeText[DATE_TEXT_SIZE + 1] = {};
        long usec = 0;
        stampTexts(date, timeText, &usec);
        snprintf(prefix, PREFIX_SIZE, "%s %s.%03lu ", date, timeText, (unsigned long)usec / 1000);
    }
    if (TR_PID) {
        char pid[32];
        snprintf(pid, sizeof pid, "[%.6u] ", (unsigned)getpid());
        appendText(prefix, PREFIX_SIZE, pid);
    }
    if (TR_TID && t->threadTagFn != nullptr)
        threadTag(t, prefix);
    if (TR_CLIENTTYPE)
        appendText(prefix, PREFIX_SIZE, clientTag(t->clientType));
    if (TR_TIMESTAMP || TR_PID || (TR_TID && t->threadTagFn != nullptr))
        appendText(prefix, PREFIX_SIZE, ": ");
}

} // namespace

int trSetClass(const char *name, int on)
{
    if (name == nullptr)
        return -1;
    for (int i = 0; i < TR_CLASS_TABLE_SIZE && trClassTable[i].name != nullptr; i++) {
        if (strcasecmp(trClassTable[i].name, name) == 0) {
            *trClassTable[i].flag = on ? 1 : 0;
            return 0;
        }
    }
    return -1;
}

int trCanOutPut()
{
    const traceObj_t *t = traceObj;
    if (t == nullptr || t->stream == nullptr || !t->started)
        return 0;
    if (t->screenOutput || t->consoleMode)
        return 1;
    return isStdStream(t->stream) ? 0 : 1;
}

int trOutTSTrMessage(const char *text)
{
    ErrnoKeeper keep;
    if (text == nullptr)
        return 0;
    Guard g(trLock());
    traceObj_t *t = traceObj;
    if (t == nullptr || t->stream == nullptr)
        return 0;
    char prefix[PREFIX_SIZE];
    buildPrefix(t, prefix);
    if (t->stream == nullptr)
        return 0;

    int rc = emit(t, prefix, text);
    if (rc < 0) {
        writeFailed("Unable to write to trace file %s. Tracing disabled.\n", -1);
        return rc;
    }
    if (t->stream != nullptr)
        fflush(t->stream);
    return rc;
}

int trOutTrMessage(const char *text)
{
    ErrnoKeeper keep;
    if (text == nullptr)
        return 0;
    Guard g(trLock());
    traceObj_t *t = traceObj;
    if (t == nullptr || t->stream == nullptr)
        return 0;
    if (isFileStream(t) && !t->wrapping)
        errno = 0;
    int rc = emit(t, "", text);
    if (rc < 0) {
        int err = t->wrapping ? 0 : errno;
        writeFailed("Unable to write to trace file %s error is (%d) %s. Tracing disabled.\n", err);
        return rc;
    }
    if (t->stream != nullptr)
        fflush(t->stream);
    return rc;
}

int ckwrap(size_t n)
{
    Guard g(trLock());
    traceObj_t *t = traceObj;
    if (t == nullptr || t->stream == nullptr)
        return -1;
    bool segmented = t->segmentCount >= 2;
    if ((uint64_t)t->nextWrite + n + markerRoom(t) > wrapLimit(t)) {
        fseeko(t->stream, t->nextWrite, SEEK_SET);
        uint32_t nextSegment = segmented ? t->currentSegment % t->segmentCount + 1 : 0;
        if (segmented)
            fprintf(t->stream, SEGMENT_WRAP_FORMAT, nextSegment);
        else
            fputs(WRAP_MARKER, t->stream);
        fflush(t->stream);
        t->nextWrite = t->startOfData;
        if (segmented) {
            char base[TR_BASE_NAME_SIZE];
            copyName(base, sizeof base, t->baseFileName);
            t->continuing = 1;
            fflush(t->stream);
            trClose(0);
            t->previousSegment = t->currentSegment;
            t->currentSegment = nextSegment;
            int rc = trBegin(base, 1);
            t->continuing = 0;
            if (rc != 0 || t->stream == nullptr)
                return -1;
        }
    }
    return fseeko(t->stream, t->nextWrite, SEEK_SET) == 0 ? 0 : -1;
}

void SetNextWrite(FILE *stream)
{
    if (stream == nullptr)
        return;
    Guard g(trLock());
    off_t pos = ftello(stream);
    if (pos < 0)
        return;
    if (traceObj != nullptr)
        traceObj->nextWrite = (int64_t)pos;
    // The field is 12 characters wide; a position beyond it is not recorded.
    if ((uint64_t)pos > MAX_POSITION)
        return;
    fseeko(stream, POSITION_FIELD_AT, SEEK_SET);
    fprintf(stream, "%-12" PRIu64, (uint64_t)pos);
    fseeko(stream, pos, SEEK_SET);
}

int trSetTraceFileNameNoLink(const char *fileName)
{
    ErrnoKeeper keep;
    traceObj_t *t = traceObj;
    size_t len = fileName != nullptr ? strnlen(fileName, TR_MAX_NAME_LEN + 1) : 0;
    if (t == nullptr || len == 0 || len > TR_MAX_NAME_LEN) {
        invalidName();
        return -1;
    }
    char name[QTOKEN_MAX + 1];
    if (fileName[0] == '"' || fileName[0] == '\'') {
        const char *cursor = fileName;
        if (GetQuotedToken(&cursor, name, sizeof name) != 0 || name[0] == '\0') {
            invalidName();
            return -1;
        }
    } else {
        memcpy(name, fileName, len + 1);
    }

    Guard g(trLock());
    if (strcasecmp(name, "STDOUT") == 0 || strcasecmp(name, "STDERR") == 0 || strcasecmp(name, "CONSOLE") == 0) {
        copyName(t->activeFileName, sizeof t->activeFileName, name);
        return 0;
    }
    char path[TR_BASE_NAME_SIZE];
    if (!absoluteName(name, path, sizeof path) || path[0] == '\0') {
        invalidName();
        return -1;
    }
    if (t->baseFileName[0] == '\0')
        copyName(t->baseFileName, sizeof t->baseFileName, path);
    if (t->segmentCount >= 2)
        snprintf(t->activeFileName, sizeof t->activeFileName, "%s.%u", t->baseFileName, t->currentSegment);
    else
        copyName(t->activeFileName, sizeof t->activeFileName, t->baseFileName);
    return 0;
}

int trBegin(const char *fileName, int printHeader)
{
    ErrnoKeeper keep;
    int rc = trSetTraceFileNameNoLink(fileName);
    if (rc != 0)
        return rc;
    traceObj_t *t = traceObj;
    if (t->stream != nullptr)
        return 0;

    Guard g(trLock());
    if (strcasecmp(t->activeFileName, "CONSOLE") == 0) {
        beginConsole(t);
    } else if (strcasecmp(t->activeFileName, "STDOUT") == 0) {
        t->wrapping = 0;
        t->stream = stdout;
        trPrintf(trSrcFile, __LINE__, "Tracing to stdout\n");
    } else if (strcasecmp(t->activeFileName, "STDERR") == 0) {
        t->wrapping = 0;
        t->stream = stderr;
        trPrintf(trSrcFile, __LINE__, "Tracing to stderr\n");
    } else {
        rc = t->wrapping ? beginWrapping(t) : beginPlain(t);
        if (rc != 0)
            return rc;
        if (!t->begun)
            firstBeginOfFile(t, printHeader);
    }
    t->begun = 1;
    return 0;
}

void trReset(int closeFlag)
{
    Guard g(trLock());
    for (int i = 1; i < TR_CLASS_TABLE_SIZE && trClassTable[i].name != nullptr; i++)
        *trClassTable[i].flag = 0;
    traceObj_t *t = traceObj;
    if (t == nullptr)
        return;
    if (closeFlag)
        trClose(0);
    t->maxSize = 0;
    t->segmentSize = 0;
    t->wrapping = 0;
    t->timestampOpt = 0;
    t->begun = 0;
    t->baseFileName[0] = '\0';
}

void trClose(int resetFlag)
{
    ErrnoKeeper keep;
    Guard g(trLock());
    traceObj_t *t = traceObj;
    if (t == nullptr)
        return;
    if (resetFlag)
        trReset(0);
    if (!t->continuing && t->consoleMode) {
        if (t->consoleFn != nullptr)
            t->consoleFn(2, nullptr, t->consoleCtx);
        t->consoleMode = 0;
    }
    if (t->stream != nullptr && !isStdStream(t->stream)) {
        if (t->wrapping && !t->continuing && fseeko(t->stream, t->nextWrite, SEEK_SET) == 0)
            fputs(CLOSE_MARKER, t->stream);
        if (fclose(t->stream) != 0) {
            fprintf(stdout, "Unable to close trace output file %s: %s \n", t->activeFileName, strerror(errno));
            fflush(stdout);
        }
    }
    t->stream = nullptr;
    t->activeFileName[0] = '\0';
}

void trPrintStr(const void *bytes, size_t length, int form)
{
    ErrnoKeeper keep;
    if (!trCanOutPut() || length == 0 || bytes == nullptr)
        return;
    Guard g(trLock());
    traceObj_t *t = traceObj;
    if (t == nullptr || t->stream == nullptr)
        return;
    if (t->consoleMode || isWrappingFile(t)) {
        size_t size = PrintStrSize(length, form) + 1;
        char *buf = static_cast<char *>(KEL_MALLOC(size));
        if (buf == nullptr)
            return;   // the dump is dropped
        PrintStrToBuf(buf, size, bytes, length, form);
        if (t->consoleMode) {
            if (t->consoleFn != nullptr)
                t->consoleFn(1, buf, t->consoleCtx);
        } else if (writeWrapped(t, "", buf) < 0) {
            KEL_FREE(buf);
            writeFailed("Unable to write to trace file %s. Tracing disabled.\n", -1);
            return;
        }
        KEL_FREE(buf);
        return;
    }
    PrintStr(t->stream, bytes, length, form);
    fflush(t->stream);
}

int trVPrintf(const char *srcFile, unsigned line, const char *fmt, va_list ap)
{
    ErrnoKeeper keep;
    if (!trCanOutPut() || fmt == nullptr)
        return 0;
    char buf[TR_LINE_SIZE];
    int textLen = buildLine(buf, sizeof buf, srcFile, line, fmt, ap);
    trOutTSTrMessage(buf);
    return textLen;
}

int trPrintf(const char *srcFile, unsigned line, const char *fmt, ...)
{
    ErrnoKeeper keep;
    va_list ap;
    va_start(ap, fmt);
    int rc = trVPrintf(srcFile, line, fmt, ap);
    va_end(ap);
    return rc;
}

int trPrint(const char *fmt, ...)
{
    ErrnoKeeper keep;
    if (!trCanOutPut() || fmt == nullptr)
        return 0;
    char buf[TR_LINE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0)
        return 0;
    return trOutTrMessage(buf);
}

int trLogPrintf(const char *srcFile, unsigned line, char classFlag, const char *fmt, ...)
{
    ErrnoKeeper keep;
    if (fmt == nullptr)
        return 0;
    char buf[TR_LINE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int textLen = buildLine(buf, sizeof buf, srcFile, line, fmt, ap);
    va_end(ap);
    LogMsg(buf);
    if (!trCanOutPut())
        return 0;
    if (TR_ERROR || (classFlag & ~2) != 0)
        trOutTSTrMessage(buf);
    return textLen;
}

void TRACE_Fkt::operator()(char classFlag, const char *fmt, ...)
{
    ErrnoKeeper keep;
    if (!classFlag)
        return;
    va_list ap;
    va_start(ap, fmt);
    trVPrintf(srcFile_, line_, fmt, ap);
    va_end(ap);
}

int trOpen(const trOpenParms_t *p)
{
    ErrnoKeeper keep;
    if (p == nullptr || p->fileName == nullptr)
        return -1;
    bool segmented = p->segmentCount >= 2;
    uint32_t lastSize = p->lastSegmentSizeMB != 0 ? p->lastSegmentSizeMB : p->segmentSizeMB;
    // Every limit must leave room for output and fit the header's position field.
    const uint32_t maxMB = (uint32_t)(MAX_POSITION / MB) - 1;
    if (segmented && (!p->wrapping || p->segmentSizeMB == 0 || p->segmentSizeMB > maxMB || lastSize > maxMB))
        return -1;
    // The header records a maximum; a segmented trace without one records its segment size.
    uint32_t maxSize = segmented && p->maxSizeMB == 0 ? p->segmentSizeMB : p->maxSizeMB;
    if (p->wrapping && (maxSize == 0 || maxSize > maxMB))
        return -1;

    Guard g(trLock());
    // A destination still open is closed; the class switches stay as they are.
    if (traceObj != nullptr) {
        trClose(0);
        traceObj = nullptr;
    }
    traceObj_t *t = &traceObjStatic;
    memset(t, 0, sizeof *t);
    t->errCopyStream = p->errCopyStream;
    t->clientType = p->clientType;
    t->wrapping = p->wrapping ? 1 : 0;
    t->screenOutput = p->screenOutput ? 1 : 0;
    t->maxSize = maxSize;
    t->timestampOpt = p->timestamp ? 1 : 0;
    t->segmentCount = segmented ? p->segmentCount : 0;
    t->segmentSize = segmented ? p->segmentSizeMB : 0;
    t->lastSegmentSize = segmented ? lastSize : 0;
    t->currentSegment = 1;
    t->consoleFn = p->consoleFn;
    t->consoleCtx = p->consoleCtx;
    t->threadTagFn = p->threadTagFn;
    t->started = 1;
    traceObj = t;

    int rc = trBegin(p->fileName, p->printHeader);
    if (rc == 0 && t->stream == nullptr)
        rc = 426;   // a console without a callback that accepts
    if (rc != 0) {
        trClose(0);
        traceObj = nullptr;
    }
    return rc;
}

void trShutdown()
{
    ErrnoKeeper keep;
    Guard g(trLock());
    if (traceObj == nullptr)
        return;
    trClose(0);
    trReset(0);
    traceObj->started = 0;
    traceObj = nullptr;
}
