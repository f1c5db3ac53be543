// Error and schedule logs, the bridges from catalog messages to the log and
// the trace, and the thin stdio wrappers.
//
// Wrapping log file layout (client programs and support tools read it):
//   "LOGHEADERREC " and the next-write position, decimal, left-justified in 12
//   characters, then a newline (rewritten in place after every message);
//   messages, each "<date> <time> <text>\n";
//   directly behind the last message the end-of-data text and a newline.
// A message that would pass the maximum size is preceded by the continuation
// text at the next-write position; the rest of the file up to the maximum is
// filled with blanks ending in "*\n", and writing restarts behind the header.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "diag/trace.h"
#include "kelvlx/kelcontract.h"

inline constexpr int LOG_RC_INVALID = KEL_ST_INVALID_ARGUMENT;       // null text, no message system, bad open arguments
inline constexpr int LOG_RC_WRITE_FAILED = 621;  // the log could not be written (or opened)
inline constexpr size_t LOG_TEXT_SIZE = 128;     // the continuation and end-of-data texts

class DLogFile {
public:
    constexpr DLogFile() = default;
    ~DLogFile();
    DLogFile(const DLogFile &) = delete;
    DLogFile &operator=(const DLogFile &) = delete;

    // Opens the log at path for writing; with wrapping, the file keeps within
    // maxSize bytes. An existing wrapping log is continued where its header
    // says; an existing non-empty file without that header is left alone and
    // refused. 0, LOG_RC_INVALID for bad arguments, LOG_RC_WRITE_FAILED when
    // the file cannot be opened or prepared (lastError holds errno).
    int open(const char *path, uint32_t maxSize, int wrapping);
    void close();

    // Wrapping steps of the writers: make room for length more bytes and
    // position the stream; record the position and write the end-of-data text.
    void utCheckWrap(size_t length, int flags);
    void utSetNextWrite();

    uint32_t maxSize = 0;      // bytes
    int isOpen = 0;
    int wrapping = 0;
    uint64_t nextWrite = 0;
    int lastError = 0;
    FILE *stream = nullptr;
};

extern DLogFile errorLogFile, schedLogFile, webLogFile, auditLogFile;
extern char continuedText[LOG_TEXT_SIZE];
extern char endOfDataText[LOG_TEXT_SIZE];

// Writes one message to the error log: 109 for a null text or without the
// message system, 0 when the log is closed, else the number of characters
// written or 621 on a failed write.
int LogMsg(const char *text);
// Writes one message (or a piece of one) to the schedule log; always 0.
int LogSchedMsg(const char *text);

// Formats catalog message msgNum into a new text (out, free with kelFree),
// raises the return code and logs the text when its severity is a warning
// or worse: the text's length, 0 when there is none.
int nlLogsprintf(char *&out, int msgNum, ...);
int nlLogvsprintf(char *&out, int msgNum, va_list args);
// Traces catalog message msgNum with the caller's source file and line.
int trNlsPrintf(const char *srcFile, unsigned line, int msgNum, ...);
// Logs and traces catalog message msgNum. Below 10000: the text's length.
// From 10000 on: the text's length, -621 (or -109) when logging failed, 0
// when the trace gate is shut.
int trNlsLogPrintf(const char *srcFile, unsigned line, char classFlag, int msgNum, ...);

// The first argument names the conversions that take wide strings; the
// narrow forms ignore it. Callers pass 0 for a format without arguments and
// all ones otherwise. pkSprintf never writes more than size bytes.
int pkSprintf(unsigned wideMask, char *buf, size_t size, const char *fmt, ...) KEL_PRINTF(4, 5);
int pkFprintf(unsigned wideMask, FILE *stream, const char *fmt, ...) KEL_PRINTF(3, 4);
int pkFputs(const char *text, FILE *stream);
// fopen for trace and log files: mode "r+", "w+" or "a"; a symbolic link or
// anything but a regular file is refused (null, errno set). Close-on-exec.
FILE *pkFopenNoLink(const char *path, const char *mode);
