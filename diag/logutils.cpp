#include "diag/logutils.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "base/kelmem.h"
#include "base/pkmutex.h"
#include "base/pserrno.h"
#include "diag/GlobalRC.h"
#include "diag/dateutil.h"
#include "diag/nlsfmt.h"
#include "diag/nlsinit.h"
#include "diag/nlsmsg.h"

static const char trSrcFile[] = "logutils";

DLogFile errorLogFile, schedLogFile, webLogFile, auditLogFile;
char continuedText[LOG_TEXT_SIZE];
char endOfDataText[LOG_TEXT_SIZE];

namespace {

constexpr int MSG_END_OF_DATA = 11143;
constexpr int MSG_CONTINUED = 11144;
constexpr int MSG_SCHED_NO_LOG = 11025;
constexpr size_t HEADER_LINE_MAX = 4096;
const char HEADER_TAG[] = "LOGHEADERREC ";

// Set while this thread takes the message system's lock for a log write: a
// failure to take it is itself logged, which must not come back here.
thread_local bool acquiringLogLock = false;

// Releases nls_mutex when the write is done.
class NlsLock {
public:
    NlsLock()
    {
        if (nls_mutex == nullptr || acquiringLogLock)
            return;
        acquiringLogLock = true;
        held_ = pkAcquireMutexNested(nls_mutex) == 0;
        acquiringLogLock = false;
    }
    ~NlsLock()
    {
        if (held_)
            pkReleaseMutexNested(nls_mutex);
    }
    NlsLock(const NlsLock &) = delete;
    NlsLock &operator=(const NlsLock &) = delete;
    bool held() const { return held_; }

private:
    bool held_ = false;
};

// The local date and time texts of now.
void logDateTime(char *date, char *timeText)
{
    nfDate d{};
    dateLocal(&d);
    dateFmt(&d, date, timeText);
}

// Catalog text msgNum without trailing line ends into a LOG_TEXT_SIZE buffer;
// fallback when the catalog does not give it.
void catalogText(int msgNum, char *dst, const char *fallback)
{
    char *text = nullptr;
    if (getNlsGlobalObjectHandle() != nullptr)
        nlsprintf(&text, msgNum);
    const char *src = text != nullptr && text[0] != '\0' ? text : fallback;
    snprintf(dst, LOG_TEXT_SIZE, "%s", src);
    size_t n = strlen(dst);
    while (n > 0 && (dst[n - 1] == '\n' || dst[n - 1] == '\r'))
        dst[--n] = '\0';
    if (text != nullptr)
        KEL_FREE(text);
}

// The next-write position recorded in the header, or fallback.
uint64_t headerNextWrite(FILE *f, uint64_t fallback)
{
    char head[64] = {};
    if (fseeko(f, 0, SEEK_SET) != 0 || fgets(head, sizeof head, f) == nullptr)
        return fallback;
    if (strncmp(head, HEADER_TAG, sizeof HEADER_TAG - 1) != 0)
        return fallback;
    const char *p = head + sizeof HEADER_TAG - 1;
    if (*p < '0' || *p > '9')
        return fallback;
    uint64_t v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        if (v > (UINT64_MAX - 9) / 10)
            return fallback;
        v = v * 10 + (uint64_t)(*p - '0');
    }
    return v;
}

// Writes count blanks.
bool writeBlanks(FILE *f, uint64_t count)
{
    static const char blanks[] = "                                                                ";
    while (count > 0) {
        size_t n = count < sizeof blanks - 1 ? (size_t)count : sizeof blanks - 1;
        if (fwrite(blanks, 1, n, f) != n)
            return false;
        count -= n;
    }
    return true;
}

// The error log write: status 0, 109 or 621; characters written in *written.
int logMsgWrite(const char *text, int *written)
{
    *written = 0;
    if (text == nullptr || getNlsGlobalObjectHandle() == nullptr)
        return LOG_RC_INVALID;
    DLogFile &log = errorLogFile;
    if (!log.isOpen || log.stream == nullptr)
        return 0;
    NlsLock lock;
    if (!lock.held())
        return LOG_RC_INVALID;
    if (!log.isOpen || log.stream == nullptr)
        return 0;

    char date[DATE_TEXT_SIZE + 1] = {}, timeText[DATE_TEXT_SIZE + 1] = {};
    logDateTime(date, timeText);
    size_t textLen = strlen(text);
    log.utCheckWrap(strlen(date) + strlen(timeText) + textLen + 2, 0);
    int rc = 0;
    int n = fprintf(log.stream, "%s %s %s", date, timeText, text);
    if (n < 0) {
        log.lastError = errno;
        rc = LOG_RC_WRITE_FAILED;
    } else {
        if (textLen == 0 || text[textLen - 1] != '\n') {
            if (fputc('\n', log.stream) == EOF) {
                log.lastError = errno;
                rc = LOG_RC_WRITE_FAILED;
            } else {
                n++;
            }
        }
        *written = n;
    }
    if (fflush(log.stream) != 0 && rc == 0) {
        log.lastError = errno;
        rc = LOG_RC_WRITE_FAILED;
    }
    log.utSetNextWrite();
    return rc;
}

int openFlags(const char *mode)
{
    if (strcmp(mode, "r+") == 0)
        return O_RDWR;
    if (strcmp(mode, "w+") == 0)
        return O_RDWR | O_CREAT | O_TRUNC;
    if (strcmp(mode, "a") == 0)
        return O_WRONLY | O_CREAT | O_APPEND;
    return -1;
}

} // namespace

FILE *pkFopenNoLink(const char *path, const char *mode)
{
    int flags = path != nullptr && mode != nullptr ? openFlags(mode) : -1;
    if (flags < 0) {
        errno = EINVAL;
        return nullptr;
    }
    // Truncation waits until the file is known to be a regular file.
    bool truncate = (flags & O_TRUNC) != 0;
    int fd = ::open(path, (flags & ~O_TRUNC) | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return nullptr;
    }
    int fl = fcntl(fd, F_GETFL);
    if ((truncate && ftruncate(fd, 0) != 0) || fl < 0 || fcntl(fd, F_SETFL, fl & ~O_NONBLOCK) != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return nullptr;
    }
    FILE *f = fdopen(fd, mode);
    if (f == nullptr) {
        int err = errno;
        ::close(fd);
        errno = err;
    }
    return f;
}

DLogFile::~DLogFile() { close(); }

int DLogFile::open(const char *path, uint32_t maxSz, int wrap)
{
    if (path == nullptr || path[0] == '\0')
        return LOG_RC_INVALID;
    close();
    catalogText(MSG_END_OF_DATA, endOfDataText, "END OF DATA");
    catalogText(MSG_CONTINUED, continuedText, "Continued at beginning of file");
    char header[64];
    int headerLen = snprintf(header, sizeof header, "%s%-12" PRIu64 "\n", HEADER_TAG, (uint64_t)0);
    // A wrapping log must hold its header, a wrap and its end-of-data text.
    if (wrap && (uint64_t)maxSz < (uint64_t)headerLen + strlen(continuedText) + strlen(endOfDataText) + 16)
        return LOG_RC_INVALID;

    FILE *f = nullptr;
    uint64_t next = 0;
    if (!wrap) {
        f = pkFopenNoLink(path, "a");
    } else if ((f = pkFopenNoLink(path, "r+")) != nullptr) {
        struct stat st {};
        uint64_t size = fstat(fileno(f), &st) == 0 ? (uint64_t)st.st_size : 0;
        next = headerNextWrite(f, 0);
        if (size == 0) {
            fclose(f);
            f = pkFopenNoLink(path, "w+");
            next = 0;
        } else if (next < (uint64_t)headerLen || next > size) {
            // Not a wrapping log of ours: its contents are kept, the open refused.
            fclose(f);
            lastError = EINVAL;
            return LOG_RC_WRITE_FAILED;
        }
    } else if (errno == ENOENT) {
        f = pkFopenNoLink(path, "w+");
    }
    if (f == nullptr) {
        lastError = errno;
        return LOG_RC_WRITE_FAILED;
    }
    stream = f;
    maxSize = maxSz;
    wrapping = wrap ? 1 : 0;
    if (wrapping && next == 0) {
        if (fputs(header, f) < 0 || fflush(f) != 0) {
            lastError = errno;
            close();
            return LOG_RC_WRITE_FAILED;
        }
        utSetNextWrite();
    }
    nextWrite = next != 0 ? next : nextWrite;
    isOpen = 1;
    return 0;
}

void DLogFile::close()
{
    if (stream != nullptr)
        fclose(stream);
    stream = nullptr;
    isOpen = 0;
    wrapping = 0;
    maxSize = 0;
    nextWrite = 0;
}

void DLogFile::utCheckWrap(size_t length, int /*flags: none defined*/)
{
    if (!wrapping || stream == nullptr)
        return;
    uint64_t next = headerNextWrite(stream, nextWrite);
    // Signed arithmetic: after an oversized message the position may lie
    // beyond the maximum, and the room left is then negative, not huge.
    int64_t need = (int64_t)length + (int64_t)strlen(endOfDataText) + (int64_t)next + 1;
    int64_t room = (int64_t)maxSize - (int64_t)strlen(continuedText) - 1;
    if (need > room) {
        fseeko(stream, (off_t)next, SEEK_SET);
        fputs(continuedText, stream);
        fflush(stream);
        off_t pos = ftello(stream);
        int64_t r = pos < 0 ? 0 : (int64_t)maxSize - (int64_t)pos;
        if (r == 1) {
            fputc('\n', stream);
        } else if (r >= 2) {
            writeBlanks(stream, (uint64_t)(r - 2));
            fputs("*\n", stream);
        }
        char line[HEADER_LINE_MAX + 1];
        fflush(stream);
        if (fseeko(stream, 0, SEEK_SET) == 0 && fgets(line, sizeof line, stream) != nullptr) {
            off_t behind = ftello(stream);
            if (behind > 0)
                next = (uint64_t)behind;
        }
    }
    fflush(stream);
    fseeko(stream, (off_t)next, SEEK_SET);
    nextWrite = next;
}

void DLogFile::utSetNextWrite()
{
    if (!wrapping || stream == nullptr)
        return;
    off_t pos = ftello(stream);
    if (pos < 0)
        return;
    nextWrite = (uint64_t)pos;
    fseeko(stream, 0, SEEK_SET);
    fprintf(stream, "%s%-12" PRIu64, HEADER_TAG, nextWrite);
    fflush(stream);
    fseeko(stream, pos, SEEK_SET);
    if (TR_GENERAL)
        trPrintf(trSrcFile, __LINE__, "utSetNextWrite(): nextWrite for END OF DATA is %" PRIu64 " .\n", nextWrite);
    fprintf(stream, "%s\n", endOfDataText);
    fflush(stream);
}

int LogMsg(const char *text)
{
    ErrnoKeeper keep;
    int written = 0;
    int rc = logMsgWrite(text, &written);
    return rc != 0 ? rc : written;
}

int LogSchedMsg(const char *text)
{
    ErrnoKeeper keep;
    nlsObject_t *nls = getNlsGlobalObjectHandle();
    DLogFile &log = schedLogFile;
    if (text == nullptr || nls == nullptr || !log.isOpen || log.stream == nullptr)
        return 0;
    if (nls->msgCache != nullptr && nls->msgCache->msgNum == MSG_SCHED_NO_LOG)
        return 0;
    char date[DATE_TEXT_SIZE + 1] = {}, timeText[DATE_TEXT_SIZE + 1] = {};
    logDateTime(date, timeText);
    size_t textLen = strlen(text);
    log.utCheckWrap(strlen(date) + strlen(timeText) + textLen + 2, 0);
    // A message issued in pieces gets one date and time, before its first piece.
    int n = nls->schedLineStart == 1 ? fprintf(log.stream, "%s %s %s", date, timeText, text)
                                     : fprintf(log.stream, "%s", text);
    if (n < 0)
        log.lastError = errno;
    nls->schedLineStart = textLen > 0 && text[textLen - 1] == '\n' ? 1 : 0;
    fflush(log.stream);
    log.utSetNextWrite();
    return 0;
}

int nlLogvsprintf(char *&out, int msgNum, va_list args)
{
    out = nullptr;
    if (gRC != nullptr)
        gRC->set(msgNum);
    nlsObject_t *nls = getNlsGlobalObjectHandle();
    if (nls == nullptr)
        return 0;
    unsigned char severity = 0;
    va_list ap;
    va_copy(ap, args);
    nls->nlVmessage(msgNum, &out, ap, &severity);
    va_end(ap);
    if (out == nullptr)
        return 0;
    if (severity >= NLS_SEV_W && errorLogFile.stream != nullptr)
        LogMsg(out);
    return (int)strlen(out);
}

int nlLogsprintf(char *&out, int msgNum, ...)
{
    va_list ap;
    va_start(ap, msgNum);
    int rc = nlLogvsprintf(out, msgNum, ap);
    va_end(ap);
    return rc;
}

int trNlsPrintf(const char *srcFile, unsigned line, int msgNum, ...)
{
    ErrnoKeeper keep;
    if (traceObj == nullptr || traceObj->stream == nullptr || !trCanOutPut())
        return 0;
    if (gRC != nullptr)
        gRC->set(msgNum);
    char buf[TR_LINE_SIZE] = {};
    size_t used = 0;
    if (TR_PREFIX) {
        int n = snprintf(buf, sizeof buf, "%-20s(%4u): ", srcFile != nullptr ? srcFile : "", line);
        used = n < 0 ? 0 : ((size_t)n >= sizeof buf ? sizeof buf - 1 : (size_t)n);
    }
    char *text = nullptr;
    va_list ap;
    va_start(ap, msgNum);
    nlLogvsprintf(text, msgNum, ap);
    va_end(ap);
    if (text != nullptr) {
        snprintf(buf + used, sizeof buf - used, "%s", text);
        KEL_FREE(text);
    }
    return trOutTSTrMessage(buf);
}

int trNlsLogPrintf(const char *srcFile, unsigned line, char classFlag, int msgNum, ...)
{
    ErrnoKeeper keep;
    bool classOn = TR_ERROR || (classFlag & ~2) != 0;
    const char *src = srcFile != nullptr ? srcFile : "";
    if (gRC != nullptr)
        gRC->set(msgNum);

    va_list ap;
    va_start(ap, msgNum);
    char *text = nullptr;
    if (msgNum < 10000) {
        int len = nlLogvsprintf(text, msgNum, ap);
        va_end(ap);
        if (text == nullptr)
            return 0;
        if (classOn)
            trPrintf(src, line, "%s", text);
        FILE *copy = traceObj != nullptr ? traceObj->errCopyStream : nullptr;
        if (copy != nullptr) {
            fputs(text, copy);
            fflush(copy);
        }
        KEL_FREE(text);
        return len;
    }

    nlvsprintf(&text, msgNum, ap);
    va_end(ap);
    if (text == nullptr)
        return 0;
    // The prefix pads the source name to 20 characters but never cuts it: the
    // block is sized from the prefix actually built.
    size_t prefixLen = 0;
    if (TR_PREFIX) {
        int n = snprintf(nullptr, 0, "%-20s(%4u): ", src, line);
        prefixLen = n > 0 ? (size_t)n : 0;
    }
    size_t textLen = strlen(text);
    char *block = static_cast<char *>(KEL_MALLOC(prefixLen + textLen + 1));
    if (block == nullptr) {
        KEL_FREE(text);
        return 0;
    }
    if (prefixLen > 0)
        snprintf(block, prefixLen + 1, "%-20s(%4u): ", src, line);
    memcpy(block + prefixLen, text, textLen + 1);
    KEL_FREE(text);

    int written = 0;
    int logRc = logMsgWrite(block, &written);
    if (!trCanOutPut()) {
        KEL_FREE(block);
        return 0;
    }
    if (classOn)
        trOutTSTrMessage(block);
    KEL_FREE(block);
    return logRc != 0 ? -logRc : (int)textLen;
}

int pkSprintf(unsigned, char *buf, size_t size, const char *fmt, ...)
{
    if (buf == nullptr || size == 0 || fmt == nullptr)
        return -1;
    va_list ap;
    va_start(ap, fmt);
    int rc = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return rc;
}

int pkFprintf(unsigned, FILE *stream, const char *fmt, ...)
{
    if (stream == nullptr || fmt == nullptr)
        return -1;
    va_list ap;
    va_start(ap, fmt);
    int rc = vfprintf(stream, fmt, ap);
    va_end(ap);
    return rc;
}

int pkFputs(const char *text, FILE *stream)
{
    if (stream == nullptr || text == nullptr)
        return -1;
    return fputs(text, stream);
}
