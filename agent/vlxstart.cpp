#include "agent/vlxstart.h"

#include "base/fio.h"
#include "base/pserrno.h"
#include "diag/pssyslog.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "base/kelmem.h"
#include "base/strutil.h"
#include "diag/logutils.h"
#include "diag/trace.h"

static const char trSrcFile[] = "vlxstart";

#ifndef KEL_BUILD_STAMP
#error "KEL_BUILD_STAMP must be set by the build"
#endif

namespace {

constexpr bool isDigit(char c) { return c >= '0' && c <= '9'; }
constexpr bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// " Www Mmm dd hh:mm:ss yyyy": callers compare it byte for byte, so its form
// is checked when the agent is built, not when a caller is refused.
template <size_t N>
constexpr bool stampFormOk(const char (&s)[N])
{
    if (N != 26)
        return false;
    const char *form = " aaa aaa dd nn:nn:nn nnnn";   // a letter, n digit, d day (digit or blank)
    for (int i = 0; i < 25; ++i) {
        char f = form[i];
        char c = s[i];
        bool ok = (f == 'a' && isLetter(c)) || (f == 'n' && isDigit(c)) || (f == 'd' && (isDigit(c) || c == ' ')) ||
                  (f != 'a' && f != 'n' && f != 'd' && c == f);
        if (!ok)
            return false;
    }
    return s[25] == '\0';
}

static_assert(sizeof(KEL_BUILD_STAMP) == 26, "KEL_BUILD_STAMP must be 25 characters: \" Www Mmm dd hh:mm:ss yyyy\"");
static_assert(stampFormOk(KEL_BUILD_STAMP), "KEL_BUILD_STAMP must have the form \" Www Mmm dd hh:mm:ss yyyy\"");

const char buildStamp[] = KEL_BUILD_STAMP;

bool isBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Taken before main: from the confirmation of 'C' on the real user id is
// root, and the audit line must still name the caller.
const uid_t callerUid = getuid();

// The limits a run sets for itself where the caller's are lower: a caller
// must not be able to end a run half-way (CPU time), fail its write (file
// size, descriptors) or its allocations (address space, data, stack). A
// caller's higher limit is left as it is: the agent never has less than the
// caller gave it. Core files alone are always off.
struct OwnLimit {
    int resource;
    rlim_t atLeast;
};
// 256 descriptors: a request holds fewer than 16 of its own at once, on top
// of whatever the caller left open.
constexpr rlim_t kOwnFiles = 256;
// 8 MiB of stack: the deepest request needs well under 1 MiB.
constexpr rlim_t kOwnStack = 8u << 20;
const OwnLimit ownLimits[] = {
    {RLIMIT_CPU, RLIM_INFINITY}, {RLIMIT_FSIZE, RLIM_INFINITY}, {RLIMIT_NOFILE, kOwnFiles},
    {RLIMIT_AS, RLIM_INFINITY},  {RLIMIT_DATA, RLIM_INFINITY},  {RLIMIT_STACK, kOwnStack},
};

// RLIM_INFINITY is the largest value of all.
rlim_t higher(rlim_t a, rlim_t b) { return a == RLIM_INFINITY || b == RLIM_INFINITY ? RLIM_INFINITY : a > b ? a : b; }
rlim_t lower(rlim_t a, rlim_t b) { return higher(a, b) == a ? b : a; }

// Raises both bounds to the limit where they are lower. Where the hard
// bound cannot be raised (not root, or root without CAP_SYS_RESOURCE) the
// soft bound still rises, up to the hard one, and the trace says so.
void raiseOwnLimit(const OwnLimit &l)
{
    struct rlimit have = {};
    if (getrlimit(l.resource, &have) != 0)
        return;
    struct rlimit want = {higher(have.rlim_cur, l.atLeast), higher(have.rlim_max, l.atLeast)};
    if (want.rlim_cur == have.rlim_cur && want.rlim_max == have.rlim_max)
        return;
    if (setrlimit(l.resource, &want) == 0)
        return;
    if (TR_GENERAL)
        trPrintf(trSrcFile, __LINE__, "Resource %d: the hard limit %llu stays, errno = %d.\n", l.resource,
                 static_cast<unsigned long long>(have.rlim_max), errno);
    want = {lower(want.rlim_cur, have.rlim_max), have.rlim_max};
    (void)setrlimit(l.resource, &want);   // the run goes on with what it has: each limit is a further wall
}
} // namespace

// Both the date and the time carry the whole stamp; callers pass it twice.
const char *BUILDDATE = buildStamp;
const char *BUILDTIME = buildStamp;
const char *BUILDDATETEST = "QUVPLIX";
const char *BUILDTIMETEST = "RONKWAF";

int vlxEnsureStdFds()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is this one: every lower one is open.
        int nfd = open("/dev/null", O_RDWR);
        if (nfd < 0)
            return -1;
        if (nfd != fd) {   // cannot happen unless another thread raced us
            close(nfd);
            return -1;
        }
    }
    return 0;
}

void vlxHardenProcess()
{
    // Results ignored: each is a further wall, none is needed to serve the request.
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    for (const OwnLimit &l : ownLimits)
        raiseOwnLimit(l);
    const struct rlimit noCore = {0, 0};
    (void)setrlimit(RLIMIT_CORE, &noCore);
    umask(077);
    signal(SIGPIPE, SIG_IGN);
}

int vlxNumber(const char *text)
{
    if (text == nullptr)
        return 0;
    const char *p = text;
    while (isBlank(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = (*p++ == '-');
    long long value = 0;
    for (; isDigit(*p); ++p) {
        value = value * 10 + (*p - '0');
        if (value > (long long)INT_MAX + 1)
            value = (long long)INT_MAX + 1;   // stays clamped; keeps the arithmetic in range
    }
    if (negative)
        return value > INT_MAX ? INT_MIN : -(int)value;
    return value > INT_MAX ? INT_MAX : (int)value;
}

unsigned char vlxCipherType(const char *text) { return (unsigned char)(vlxNumber(text) & 255); }

int vlxBuildStampAccepted(const char *callerDate, const char *callerTime)
{
    if (callerDate == nullptr || callerTime == nullptr)
        return 0;
    if (StrCmp(callerDate, BUILDDATETEST) == 0 && StrCmp(callerTime, BUILDTIMETEST) == 0)
        return 1;
    return StrCmp(callerDate, BUILDDATE) == 0 && StrCmp(callerTime, BUILDTIME) == 0;
}

size_t vlxPswdPathSize(const char *arg)
{
    size_t len = arg == nullptr ? 0 : strlen(arg);
    return len > SIZE_MAX - 8 ? 0 : len + 8;
}

int vlxBuildPswdPath(const char *arg, char *buf, size_t bufSize)
{
    if (buf == nullptr || bufSize == 0)
        return -1;
    buf[0] = '\0';
    size_t len = arg == nullptr ? 0 : strlen(arg);
    // '/' is never part of a multibyte character, so a byte search finds the
    // directory even in a path that is not valid text in the caller's locale.
    const char *slash = len == 0 ? nullptr : static_cast<const char *>(memrchr(arg, '/', len));
    size_t dirLen = slash == nullptr ? 0 : (size_t)(slash - arg) + 1;
    size_t nameLen = sizeof(VLX_PSWD_FILE_NAME) - 1;
    if (dirLen > bufSize - 1 || nameLen > bufSize - 1 - dirLen)
        return -1;
    if (dirLen != 0)
        memcpy(buf, arg, dirLen);
    memcpy(buf + dirLen, VLX_PSWD_FILE_NAME, nameLen + 1);
    return 0;
}

char *vlxNewPswdPath(const char *arg)
{
    size_t size = vlxPswdPathSize(arg);
    if (size == 0)
        return nullptr;
    char *buf = static_cast<char *>(KEL_MALLOC(size));
    if (buf == nullptr)
        return nullptr;
    if (vlxBuildPswdPath(arg, buf, size) != 0) {   // cannot happen: size always holds it
        KEL_FREE(buf);
        return nullptr;
    }
    return buf;
}

void vlxCloseCallerFd(int fd)
{
    if (fd <= 2) {
        if (TR_GENERAL)
            trPrintf(trSrcFile, __LINE__, "Caller's pipe end %d not closed.\n", fd);
        return;
    }
    (void)close(fd);   // the caller's end; a failure changes nothing for the agent
}

void vlxPrintUsage()
{
    pkFprintf(~0u, stderr, "VLX: Version %d, Release %d, Level %d.%d %s\n", 6, 1, 5, 0, " ");
    pkFprintf(~0u, stderr, "     build date : %s \n", BUILDDATE);
    pkFprintf(0, stderr, "     This program is not for general use.  It is used only\n");
    pkFprintf(0, stderr, "     by the Quorvane product.\n");
}

void vlxPrintIncompatible() { pkFprintf(0, stderr, "Error : calling program and kelvlx are not compatible\n"); }

namespace {

// Appends to a bounded line, always terminated; what does not fit is dropped.
class AuditLine {
public:
    AuditLine(char *buf, size_t size) : buf_(buf), size_(size)
    {
        if (size_ != 0)
            buf_[0] = '\0';
    }
    void add(const char *text)
    {
        for (; *text != '\0'; ++text)
            put(*text);
    }
    void addNumber(const char *name, long long value)
    {
        char num[32];
        snprintf(num, sizeof num, "%s=%lld", name, value);
        add(num);
    }
    // name="text", every byte a caller could use to forge a line escaped.
    void addQuoted(const char *name, const char *text)
    {
        add(name);
        add("=\"");
        size_t n = 0;
        for (const char *p = text != nullptr ? text : ""; *p != '\0'; ++p, ++n) {
            if (n == VLX_AUDIT_TEXT_MAX) {
                add("...");
                break;
            }
            unsigned char c = static_cast<unsigned char>(*p);
            if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
                put(static_cast<char>(c));
            } else {
                char esc[8];
                snprintf(esc, sizeof esc, "\\x%02x", c);
                add(esc);
            }
        }
        put('"');
    }

private:
    void put(char c)
    {
        if (size_ != 0 && len_ + 1 < size_) {
            buf_[len_++] = c;
            buf_[len_] = '\0';
        }
    }
    char *buf_;
    size_t size_;
    size_t len_ = 0;
};

} // namespace

void vlxAuditFormat(char *buf, size_t size, unsigned int uid, const VlxAuditEntry &e, int status)
{
    AuditLine line(buf, size);
    line.addNumber("uid", uid);
    if (e.refusal != nullptr) {
        line.add(" ");
        line.addQuoted("refused", e.refusal);
    } else {
        line.add(" ");
        line.addQuoted("op", e.op);
        line.add(" ");
        line.addQuoted("node", e.node);
        line.add(" ");
        line.addQuoted("server", e.server);
    }
    if (e.confinement != VlxConfinement::Undecided)
        line.add(e.confinement == VlxConfinement::Confined ? " confined=yes" : " confined=no");
    if (e.ended) {
        line.add(" ");
        line.addNumber("status", status);
    }
    if (e.files != nullptr) {
        line.add(" files=");
        line.add(e.files);
    }
}

void vlxAudit(const VlxAuditEntry &e, int status)
{
    ErrnoKeeper keepErrno;
    char text[VLX_AUDIT_LINE_SIZE];
    vlxAuditFormat(text, sizeof text, static_cast<unsigned int>(callerUid), e, status);
    // The outcome is settled before this line: a log that is missing or
    // full loses the line, and the run ends as it would have.
    (void)psLogSend(LOG_AUTHPRIV | (status == 0 ? LOG_INFO : LOG_NOTICE), "kelvlx", text);
}
