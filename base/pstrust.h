// What a privileged run takes from the file system: only files that root
// alone can change. The message catalogs and the crypto library follow this
// rule; docs/security.md describes it.
#pragma once

#include <cstddef>

// Non-zero when the process runs with privileges it did not start with
// (set-user-id or set-group-id, or the kernel says so), where the caller's
// environment and the caller's files are not trusted.
int psIsSecureRun();

// Resolves path and checks that it names a regular file that it and every
// directory above it belong to root and that nobody else can write them (a
// sticky directory counts as safe for the root-owned entries below it).
// 1 and the resolved path in canon (canonSize bytes) when trusted; open
// that path, not the caller's, so a link swapped after the check changes
// nothing. Else 0, canon empty and errno telling why (EPERM: someone other
// than root could change it; ENAMETOOLONG: canon cannot hold the path).
int psPathTrusted(const char *path, char *canon, size_t canonSize);
