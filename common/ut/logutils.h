// Error and schedule logs, and the thin stdio wrappers.
#pragma once

#include <cstdio>

#include "common/ut/trace.h"

// Writes one message to the error log: 109 for a null text, 0 when the log is
// closed, else the number of characters written or 621 on a failed write.
int LogMsg(const char *text);
int LogSchedMsg(const char *text);

// The first argument names the conversions that take wide strings; the
// narrow forms ignore it. Callers pass 0 for a format without arguments and
// all ones otherwise. pkSprintf never writes more than size bytes.
int pkSprintf(unsigned wideMask, char *buf, size_t size, const char *fmt, ...) KEL_PRINTF(4, 5);
int pkFprintf(unsigned wideMask, FILE *stream, const char *fmt, ...) KEL_PRINTF(3, 4);
int pkFputs(const char *text, FILE *stream);
