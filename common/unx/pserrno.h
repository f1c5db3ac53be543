// Translation of system error numbers into the system's return codes.
#pragma once

inline constexpr int RC_ACCESS_DENIED = 106;
inline constexpr int RC_UNEXPECTED_ERRNO = 131;   // no specific mapping for the error
inline constexpr int RC_ERRNO_OVERFLOW = 434;     // EOVERFLOW, after remapping
inline constexpr int RC_ERRNO_TABLE_SIZE = 152;   // numbers at or above this are out of the table

// The table look-up with the special cases of "read" and "write".
int psTransErrno(int err, const char *callName);
// psTransErrno plus the remapping of unknown errors; the entry callers use.
int TransErrno(int err, const char *callName);
