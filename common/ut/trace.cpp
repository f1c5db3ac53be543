#include "common/ut/trace.h"

#include <cerrno>
#include <cstdio>

#include "common/ut/logutils.h"

char TR_ERROR, TR_GENERAL, TR_MEMORY, TR_ENTER, TR_FILEOPS, TR_NLS, TR_ENCRYPT, TR_ENCRYPTDETAIL, TR_PASSWORD,
    TR_EXTRC, TR_EXTRC_DETAIL, TR_COMM, TR_THREAD, TR_PREFIX, TR_TIMESTAMP, TR_PID, TR_TID, TR_CLIENTTYPE;

namespace {
// Keeps errno across an output entry point.
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }

private:
    int saved_;
};
} // namespace

// No trace object exists yet: the gate stays shut and nothing is written.
int trCanOutPut() { return 0; }

int trVPrintf(const char *, unsigned, const char *fmt, va_list ap)
{
    ErrnoKeeper keep;
    if (!trCanOutPut() || fmt == nullptr)
        return 0;
    return vfprintf(stderr, fmt, ap);
}

int trPrintf(const char *srcFile, unsigned line, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int rc = trVPrintf(srcFile, line, fmt, ap);
    va_end(ap);
    return rc;
}

int trPrint(const char *fmt, ...)
{
    ErrnoKeeper keep;
    if (!trCanOutPut())
        return 0;
    va_list ap;
    va_start(ap, fmt);
    int rc = vfprintf(stderr, fmt, ap);
    va_end(ap);
    return rc;
}

int trLogPrintf(const char *srcFile, unsigned line, char classFlag, const char *fmt, ...)
{
    ErrnoKeeper keep;
    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0)
        return 0;
    LogMsg(text);
    if (TR_ERROR || (classFlag & ~2) != 0)
        return trPrintf(srcFile, line, "%s", text);
    return 0;
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
