#include "common/ut/logutils.h"

#include <cstdarg>

// The agent never opens a log: the writers see a closed log.
int LogMsg(const char *text)
{
    if (text == nullptr)
        return 109;
    return 0;
}

int LogSchedMsg(const char *) { return 0; }

int pkSprintf(unsigned, char *buf, size_t size, const char *fmt, ...)
{
    if (buf == nullptr || size == 0)
        return -1;
    va_list ap;
    va_start(ap, fmt);
    int rc = vsnprintf(buf, size, fmt, ap);
    va_end(ap);
    return rc;
}

int pkFprintf(unsigned, FILE *stream, const char *fmt, ...)
{
    if (stream == nullptr)
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
