// Trace facility: one flag byte per trace class, tested by callers before they
// trace, and printf-like entry points that prefix each line with the caller's
// source file and line.
#pragma once

#include <cstdarg>

#define KEL_PRINTF(f, a) __attribute__((format(printf, f, a)))

// Trace class flags: a class is on when its byte is non-zero.
extern char TR_ERROR, TR_GENERAL, TR_MEMORY, TR_ENTER, TR_FILEOPS, TR_NLS, TR_ENCRYPT, TR_ENCRYPTDETAIL,
    TR_PASSWORD, TR_EXTRC, TR_EXTRC_DETAIL, TR_COMM, TR_THREAD, TR_PREFIX, TR_TIMESTAMP, TR_PID, TR_TID,
    TR_CLIENTTYPE;

// The gate: 1 when trace output would reach a destination.
int trCanOutPut();

int trPrintf(const char *srcFile, unsigned line, const char *fmt, ...) KEL_PRINTF(3, 4);
int trVPrintf(const char *srcFile, unsigned line, const char *fmt, va_list ap) KEL_PRINTF(3, 0);
// Always writes the line to the error log; traces it when TR_ERROR is on or the
// class flag has a bit other than 2 set.
int trLogPrintf(const char *srcFile, unsigned line, char classFlag, const char *fmt, ...) KEL_PRINTF(4, 5);
// Text without any prefix.
int trPrint(const char *fmt, ...) KEL_PRINTF(1, 2);

// Call object carrying the caller's source file and line:
//   TRACE_Fkt(trSrcFile, __LINE__)(TR_ENCRYPT, "format", ...);
class TRACE_Fkt {
public:
    TRACE_Fkt(const char *srcFile, unsigned line) : srcFile_(srcFile), line_(line) {}
    void operator()(char classFlag, const char *fmt, ...) KEL_PRINTF(3, 4);

private:
    const char *srcFile_;
    unsigned line_;
};
