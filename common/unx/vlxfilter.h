// The agent's system-call allowlist, in libseccomp's terms. The build turns
// it into the filter program the agent loads (vlxfiltergen); the agent itself
// never builds a filter at run time. docs/security.md lists the calls and why
// each is needed.
#pragma once

#include <seccomp.h>

#include <cstdint>

// Adds every rule of the allowlist to ctx (made with SCMP_ACT_KILL_PROCESS as
// its default). realUid is the caller's real user id, the one id besides
// root that the real user id may be set back to; selfPid the agent's process
// id, the only target of tgkill. mapExec allows PROT_EXEC in mmap and
// mprotect, for a request whose crypto library is still to be loaded.
// 0, or libseccomp's negative error.
int vlxBuildFilter(scmp_filter_ctx ctx, uint32_t realUid, uint32_t selfPid, bool mapExec);
