// The agent's system-call filter, in libseccomp's terms: the calls allowed,
// the calls that end the process, and ENOSYS for every other. The build turns
// it into the filter program the agent loads (vlxfiltergen); the agent itself
// never builds a filter at run time. docs/security.md lists the calls, why
// each allowed one is needed, and which end the process.
#pragma once

#include <seccomp.h>

#include <cstdint>

// Adds every rule of the filter to ctx (made with SCMP_ACT_ERRNO(ENOSYS) as
// its default). realUid is the caller's real user id, the one id besides
// root that the real user id may be set back to; selfPid the agent's process
// id, the only target of tgkill. mapExec allows PROT_EXEC in mmap and
// mprotect, for a request whose crypto library is still to be loaded.
// 0, or libseccomp's negative error.
int vlxBuildFilter(scmp_filter_ctx ctx, uint32_t realUid, uint32_t selfPid, bool mapExec);
