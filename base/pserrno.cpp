#include "base/pserrno.h"

#include <cerrno>
#include <cstring>

#include "base/testflags.h"
#include "kelvlx/kelcontract.h"

namespace {

// The codes are keyed by the symbolic names; this platform's numbers for
// them differ from those the codes were first assigned under.
int tableEntry(int err)
{
    switch (err) {
    case 0: return 0;
    case EPERM: return RC_ACCESS_DENIED;
    case ENOENT: return 104;
    case EIO: return 164;
    case E2BIG: return KEL_ST_NO_MEMORY;
    case EAGAIN: return 112;
    case ENOMEM: return KEL_ST_NO_MEMORY;
    case EACCES: return RC_ACCESS_DENIED;
    case EEXIST: return 108;
    case ENODEV: return 104;
    case ENOTDIR: return RC_ACCESS_DENIED;
    case EISDIR: return RC_ACCESS_DENIED;
    case ENFILE: return 164;
    case EMFILE: return 164;
    case ETXTBSY: return 116;
    case EFBIG: return 166;
    case ENOSPC: return 111;
    case EROFS: return 158;
    case EDEADLK: return RC_ACCESS_DENIED;
#if defined(EDEADLOCK) && EDEADLOCK != EDEADLK
    case EDEADLOCK: return RC_ACCESS_DENIED;
#endif
    case EDQUOT: return 431;
    case EREMOTE: return 163;
    case ENAMETOOLONG: return 119;
    case ENOSYS: return 198;
    case ELOOP: return 118;
    case ENOTEMPTY: return 164;
    case ETIMEDOUT: return RC_ACCESS_DENIED;
    case EHOSTDOWN: return 164;
    case EHOSTUNREACH: return 164;
    case ESTALE: return 171;
    default: return RC_UNEXPECTED_ERRNO;
    }
}

bool isPipeCall(const char *callName)
{
    return callName != nullptr && (strcmp(callName, "write") == 0 || strcmp(callName, "read") == 0);
}

} // namespace

int psTransErrno(int err, const char *callName)
{
    if (isPipeCall(callName)) {
        if (err == ESPIPE || err == ECONNABORTED || err == ESRCH) {
            return err == ESPIPE ? 815 : 816;
        }
        if (err == EBADF || err == ENOENT)
            return 104;
    }
    if (err < 0 || err >= RC_ERRNO_TABLE_SIZE)
        return RC_UNEXPECTED_ERRNO;
    return tableEntry(err);
}

int TransErrno(int err, const char *callName)
{
    int rc = psTransErrno(err, callName);
    if (rc != RC_UNEXPECTED_ERRNO && rc != 114)
        return rc;
    if (TEST_CONTINUEWITHUNKNOWNRC.set)
        return RC_ACCESS_DENIED;
    if (err == EOVERFLOW)
        return RC_ERRNO_OVERFLOW;
    return rc;
}
