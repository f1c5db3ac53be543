// The agent's confinement: no new privileges, and a system-call allowlist
// loaded before the first byte of the request is read. docs/security.md lists
// the calls allowed and why each is needed.
#pragma once

#include "agent/vlxlandlock.h"

// Sets no-new-privileges: neither the agent nor anything it could be made to
// start gains privileges by executing a file. 0, or -1 with errno.
int vlxNoNewPrivs();

// What the file rules and the capabilities got from the running kernel.
struct VlxConfineResult {
    VlxFiles files = VlxFiles::No;
    bool capsDropped = false;
};

// Applies the file rules for paths (vlxConfineFiles), keeps only the
// capabilities the request needs (vlxDropCapabilities), then loads the
// system-call filter: a call only an attack makes ends the process with
// SIGSYS, one neither allowed nor killed fails with ENOSYS (and goes to the
// kernel's audit log). What the first two got goes into *got: they never
// fail the run. 0 when the filter is loaded; -1 with errno when the kernel
// would not take it, or the build leaves the filter out (KEL_SANDBOX off):
// the request is then served without it, and the caller says so. mapExec
// leaves PROT_EXEC to mmap and mprotect, for a request that may still load
// the crypto library.
int vlxConfine(const VlxFilePaths &paths, bool mapExec, VlxConfineResult *got);

// Whether this machine's kernel takes the agent's filter: a child process
// loads it and ends. 0 when it does, otherwise the errno of the refusal
// (ENOSYS too where the build leaves the filter out).
int vlxConfinementProbe();
