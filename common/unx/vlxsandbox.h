// The agent's confinement: no new privileges, and a system-call allowlist
// loaded before the first byte of the request is read. docs/security.md lists
// the calls allowed and why each is needed.
#pragma once

// Sets no-new-privileges: neither the agent nor anything it could be made to
// start gains privileges by executing a file. 0, or -1 with errno.
int vlxNoNewPrivs();

// Loads the system-call filter: a call only an attack makes ends the process
// with SIGSYS, one neither allowed nor killed fails with ENOSYS (and goes to
// the kernel's audit log). 0 when loaded; -1 with errno when the kernel would
// not take it, or the build leaves the filter out (KEL_SANDBOX off): the
// request is then served unconfined, and the caller says so.
int vlxConfine();

// Whether this machine's kernel takes the agent's filter: a child process
// loads it and ends. 0 when it does, otherwise the errno of the refusal
// (ENOSYS too where the build leaves the filter out).
int vlxConfinementProbe();
