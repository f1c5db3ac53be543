// Trace facility: one flag byte per trace class, tested by callers before they
// trace, printf-like entry points that prefix each line with the caller's
// source file and line, and one trace object that owns the destination (a
// file that may wrap and rotate over segments, standard output, standard
// error or a console callback). The trace file is described in docs/trace-file.md.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#define KEL_PRINTF(f, a) __attribute__((format(printf, f, a)))

// Trace class flags: a class is on when its byte is non-zero.
extern char TR_ERROR, TR_GENERAL, TR_MEMORY, TR_ENTER, TR_FILEOPS, TR_NLS, TR_ENCRYPT, TR_ENCRYPTDETAIL,
    TR_PASSWORD, TR_EXTRC, TR_EXTRC_DETAIL, TR_COMM, TR_THREAD, TR_PREFIX, TR_TIMESTAMP, TR_PID, TR_TID,
    TR_CLIENTTYPE;
extern char TR_COMMDETAIL, TR_COMMFULL, TR_DELTA, TR_DELTASTAT;

// One row of the class table: name, flag byte, and 1 for the communication
// classes (COMM, COMMDETAIL, COMMFULL, DELTA, DELTASTAT). A null name ends it.
struct trClass_t {
    const char *name;
    char *flag;
    int commClass;
};
inline constexpr int TR_CLASS_TABLE_SIZE = 192;
extern trClass_t trClassTable[TR_CLASS_TABLE_SIZE];

// Switches one class on (non-zero) or off by its table name, compared without
// regard to case: 0, or -1 for an unknown name.
int trSetClass(const char *name, int on);

inline constexpr size_t TR_LINE_SIZE = 4862;        // one formatted line, prefix included
inline constexpr size_t TR_BASE_NAME_SIZE = 1280;
inline constexpr size_t TR_ACTIVE_NAME_SIZE = 1292; // base name plus ".<segment>"
inline constexpr size_t TR_MAX_NAME_LEN = 1024;     // longest name a caller may configure
inline constexpr size_t TR_TAG_LINE_SIZE = 68;      // a thread-tag hook's line, terminator included
inline constexpr size_t TR_TAG_SIZE = 32;           // a thread-tag hook's tag, terminator included

// Console callback: kind 0 = open (answer 0 accepts), 1 = text, 2 = close.
typedef int (*trConsoleFn_t)(int kind, const char *text, void *context);
// Thread-tag hook: may fill a line to emit before the message and a tag for
// the prefix; both buffers come zeroed with the sizes given.
typedef void (*trThreadTagFn_t)(char *line, size_t lineSize, char *tag, size_t tagSize);

struct traceObj_t {
    FILE *stream;
    FILE *errCopyStream;       // copy of logged catalog messages below 10000
    int64_t startOfData;       // where wrapped output restarts
    int64_t nextWrite;         // where the next line goes; mirrored in the header
    int clientType;
    int wrapping;
    int screenOutput;
    char baseFileName[TR_BASE_NAME_SIZE];
    char activeFileName[TR_ACTIVE_NAME_SIZE];
    uint32_t maxSize;          // MB
    int timestampOpt;
    uint32_t segmentSize;      // MB
    uint32_t segmentCount;
    uint32_t currentSegment;   // 1-based
    uint32_t previousSegment;
    uint32_t lastSegmentSize;  // MB
    int continuing;
    int started;
    int consoleMode;
    trConsoleFn_t consoleFn;
    void *consoleCtx;
    trThreadTagFn_t threadTagFn;
    int begun;
};

extern traceObj_t traceObjStatic;
extern traceObj_t *traceObj;   // null until a trace object is created

// The gate: 1 when trace output would reach a destination.
int trCanOutPut();

int trPrintf(const char *srcFile, unsigned line, const char *fmt, ...) KEL_PRINTF(3, 4);
int trVPrintf(const char *srcFile, unsigned line, const char *fmt, va_list ap) KEL_PRINTF(3, 0);
// Always writes the line to the error log; traces it when TR_ERROR is on or the
// class flag has a bit other than 2 set.
int trLogPrintf(const char *srcFile, unsigned line, char classFlag, const char *fmt, ...) KEL_PRINTF(4, 5);
// Text without any prefix.
int trPrint(const char *fmt, ...) KEL_PRINTF(1, 2);
// Dumps bytes in a character form of PrintStr (diag/traceplus.h).
void trPrintStr(const void *bytes, size_t length, int form);

// Writes one finished line with the time-stamp/pid/thread/client prefix, or
// without any prefix; the result of the write, 0 when there is no stream.
int trOutTSTrMessage(const char *text);
int trOutTrMessage(const char *text);

// Object operations; they act on the trace object and need it to exist.
int trBegin(const char *fileName, int printHeader);   // 0, -1 bad name, 426 cannot open
int trSetTraceFileNameNoLink(const char *fileName);   // 0 or -1
void trReset(int closeFlag);
void trClose(int resetFlag);
// Wraps or rotates when n more bytes would pass the limit and positions the
// stream at the next-write position: 0, or -1 when no stream is left.
int ckwrap(size_t n);
void SetNextWrite(FILE *stream);

// What a client program or a test needs to start tracing; the agent never
// calls it, so its trace object stays absent.
struct trOpenParms_t {
    const char *fileName = nullptr;   // a file, or "STDOUT", "STDERR", "CONSOLE"
    uint32_t maxSizeMB = 0;           // wrap limit of a single file (segments: 0 takes segmentSizeMB)
    uint32_t segmentCount = 0;        // 2 or more: rotate over that many files
    uint32_t segmentSizeMB = 0;       // wrap limit of each segment but the last
    uint32_t lastSegmentSizeMB = 0;   // wrap limit of the last segment; 0: segmentSizeMB
    int wrapping = 0;                 // 1: header, end-of-data marker and wrapping
    int screenOutput = 0;             // 1: standard streams allowed, open failures printed
    int timestamp = 0;                // 1: first begin switches TIMESTAMP and PREFIX on
    int printHeader = 0;              // 1: trace where and how tracing begins
    int clientType = 0;
    trConsoleFn_t consoleFn = nullptr;
    void *consoleCtx = nullptr;
    trThreadTagFn_t threadTagFn = nullptr;
    FILE *errCopyStream = nullptr;
};
// Creates the trace object, configures and starts it: 0, -1 for bad
// parameters or name, 426 when the destination cannot be opened.
int trOpen(const trOpenParms_t *parms);
// Closes the destination, switches the classes off and removes the object.
void trShutdown();

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
