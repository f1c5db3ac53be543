// The agent's start-up pieces: process hardening, the build stamp, the
// argument conversions, the password path derivation and the pipe reads that
// main does itself. The command line and the exit statuses are described in
// README.md.
#pragma once

#include <cstddef>
#include "kelvlx/kelcontract.h"

// The agent's own build date and time (the same 25-character stamp
// " Www Mmm dd hh:mm:ss yyyy"), and the two test values a caller may pass
// instead of them.
extern const char *BUILDDATE;
extern const char *BUILDTIME;
extern const char *BUILDDATETEST;
extern const char *BUILDTIMETEST;

inline constexpr char VLX_INTERFACE_STRING[] = KEL_INTERFACE_STRING;
inline constexpr int VLX_ARGC = KEL_ARG_COUNT;
inline constexpr size_t VLX_TEXT_BUF_SIZE = 2304;   // exit line for the error log

// Exit statuses main sets itself.
inline constexpr int VLX_RC_USAGE = KEL_ST_USAGE;
inline constexpr int VLX_RC_INCOMPATIBLE = KEL_ST_INCOMPATIBLE;
inline constexpr int VLX_RC_NO_MEMORY = KEL_ST_START_NO_MEMORY;
inline constexpr int VLX_RC_UNKNOWN_OP = KEL_ST_UNKNOWN_OP;
inline constexpr int VLX_RC_PIPE = KEL_ST_PIPE;
inline constexpr int VLX_RC_NLS = KEL_ST_NLS;

inline constexpr char VLX_PSWD_FILE_NAME[] = "ZAR.PWD";

// Makes sure descriptors 0, 1 and 2 are open, opening /dev/null on each one
// that is closed, so that no file opened later becomes standard output or
// error. 0, or -1 when /dev/null could not be opened.
int vlxEnsureStdFds();

// No core file, no ptrace attach by the caller, the caller's resource limits
// raised where they are below the run's own (docs/security.md lists them), a private file-creation mask, and a closed
// output pipe turning into a failed write instead of SIGPIPE.
void vlxHardenProcess();

// atoi as the callers expect it (leading blanks, sign, digits; anything else
// ends the number; no digits give 0), without its undefined behaviour:
// null gives 0 and a value out of range is clamped to INT_MIN or INT_MAX.
int vlxNumber(const char *text);

// Argument 21: only the low 8 bits of the number are kept.
unsigned char vlxCipherType(const char *text);

// 1 when the caller's build date and time are accepted: both equal the test
// values, or both equal the agent's own stamp (exact byte comparisons).
int vlxBuildStampAccepted(const char *callerDate, const char *callerTime);

// Bytes a buffer needs for the password path derived from arg (its length + 8).
size_t vlxPswdPathSize(const char *arg);

// The directory part of arg (up to and including its last '/', searched byte
// by byte; empty without one) followed by "ZAR.PWD". 0, or -1 when buf
// (bufSize bytes) cannot hold it; buf is an empty string then.
int vlxBuildPswdPath(const char *arg, char *buf, size_t bufSize);

// The derived path in a new block from kelMalloc of vlxPswdPathSize(arg)
// bytes; null when memory is short.
char *vlxNewPswdPath(const char *arg);

// Closes a descriptor the caller named as its own pipe end. A standard
// descriptor (0, 1, 2) or a negative number is never closed.
void vlxCloseCallerFd(int fd);

// The four-line usage text on standard error.
void vlxPrintUsage();

// "Error : calling program and kelvlx are not compatible\n" on standard error.
void vlxPrintIncompatible();

// One run as the audit line names it: the request, or why start-up refused
// the call. Texts come from the caller and are quoted with every byte
// outside printable ASCII (and '"', '\\') escaped, each cut at
// VLX_AUDIT_TEXT_MAX bytes. No password, key or data byte ever goes in.
enum class VlxConfinement {
    Undecided,    // refused before the filter's turn: the line says nothing of it
    Confined,     // served under the system-call filter
    Unconfined,   // the kernel would not take the filter: served without it
};
struct VlxAuditEntry {
    const char *op = nullptr;        // "A", "A key request", "B", "C stored", ...; the letter when unknown
    const char *node = nullptr;
    const char *server = nullptr;
    const char *refusal = nullptr;   // set instead of op when start-up refused the call
    bool ended = true;               // false: the run goes on (the debug stop), no status
    VlxConfinement confinement = VlxConfinement::Undecided;
    const char *files = nullptr;     // "confined", "partial", "no" once the file rules were applied
};
inline constexpr size_t VLX_AUDIT_TEXT_MAX = 64;
inline constexpr size_t VLX_AUDIT_LINE_SIZE = 1024;   // holds every line vlxAuditFormat makes

// The line for the system log: "uid=<real uid> op="..." node="..." server="..."
// confined=yes|no status=<n>", or "uid=<real uid> refused="..." status=<n>";
// " files=<word>" follows the status once the file rules were applied. Always
// terminated within size bytes.
void vlxAuditFormat(char *buf, size_t size, unsigned int uid, const VlxAuditEntry &e, int status);

// Sends the line of this run to the system log (LOG_AUTHPRIV; LOG_INFO for
// status 0, LOG_NOTICE otherwise). Connects only now and closes again; a log
// that cannot be reached changes nothing, errno included.
void vlxAudit(const VlxAuditEntry &e, int status);
