// The agent's confinement: no new privileges, and a system-call allowlist
// loaded before the first byte of the request is read. docs/security.md lists
// the calls allowed and why each is needed.
#pragma once

// Sets no-new-privileges: neither the agent nor anything it could be made to
// start gains privileges by executing a file. 0, or -1 with errno.
int vlxNoNewPrivs();

// Loads the allowlist; any call outside it ends the process with SIGSYS.
// 0 when loaded (or when the build leaves the filter out: KEL_SANDBOX off),
// -1 when it could not be: the caller must not go on serving the request.
int vlxConfine();
