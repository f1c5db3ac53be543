// The agent's confinement: no new privileges, and a system-call allowlist
// loaded before the first byte of the request is read. docs/security.md lists
// the calls allowed and why each is needed.
#pragma once

#include "common/unx/vlxlandlock.h"

// Sets no-new-privileges: neither the agent nor anything it could be made to
// start gains privileges by executing a file. 0, or -1 with errno.
int vlxNoNewPrivs();

// What the confinement got from the running kernel.
struct VlxConfinement {
    VlxFiles files = VlxFiles::No;
    bool capsDropped = false;
};

// Applies the file rules for paths (vlxConfineFiles), keeps only the
// capabilities the request needs (vlxDropCapabilities), then loads the
// allowlist; any call outside it ends the process with SIGSYS. What the
// first two got goes into *got: they never fail the run. 0 when the filter
// is loaded (or when the build leaves it out: KEL_SANDBOX off), -1 when it
// could not be: the caller must not go on serving the request. mapExec
// leaves PROT_EXEC to mmap and mprotect, for a request that may still load
// the crypto library.
int vlxConfine(const VlxFilePaths &paths, bool mapExec, VlxConfinement *got);
