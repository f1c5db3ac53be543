// Translation of system error numbers into the system's return codes.
#pragma once

#include <cerrno>

inline constexpr int RC_ACCESS_DENIED = 106;
inline constexpr int RC_UNEXPECTED_ERRNO = 131;   // no specific mapping for the error
inline constexpr int RC_ERRNO_OVERFLOW = 434;     // EOVERFLOW, after remapping
inline constexpr int RC_ERRNO_TABLE_SIZE = 152;   // numbers at or above this are out of the table

// The table look-up with the special cases of "read" and "write".
int psTransErrno(int err, const char *callName);
// psTransErrno plus the remapping of unknown errors; the entry callers use.
int TransErrno(int err, const char *callName);

// Keeps errno across a scope, for code that must not disturb what its caller
// is about to read (diagnostics called between a failing call and its check).
class ErrnoKeeper {
public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper &) = delete;
    ErrnoKeeper &operator=(const ErrnoKeeper &) = delete;

private:
    int saved_;
};
