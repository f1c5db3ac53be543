#include "agent/vlxcaps.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#if defined(__SANITIZE_ADDRESS__)
#define VLX_CAPS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VLX_CAPS_SANITIZED 1
#endif
#endif

namespace {

constexpr uint64_t bit(int cap) { return uint64_t{1} << cap; }

// CAP_CHOWN: the new password file gets the old one's owner, the lock file root's group.
// CAP_DAC_OVERRIDE: a root caller's password directory may belong to another user.
// CAP_FOWNER: the new file's mode is set after it was given to the old file's owner.
// CAP_SETUID: the real user id becomes root around the lock and from a confirmation on.
constexpr uint64_t kKept = bit(CAP_CHOWN) | bit(CAP_DAC_OVERRIDE) | bit(CAP_FOWNER) | bit(CAP_SETUID)
#ifdef VLX_CAPS_SANITIZED
                           // The leak check at the exit traces the agent, which is not
                           // dumpable, from a helper. Never in an agent that can be installed.
                           | bit(CAP_SYS_PTRACE)
#endif
    ;

// Capability numbers the kernel knows end where PR_CAPBSET_DROP says EINVAL.
constexpr int kCapsMax = 64;

// Each call costs a request time: a capability already out of the bounding
// set is dropped again rather than looked at first (dropping it is a no-op).
bool dropBounding()
{
    bool ok = true;
    for (int cap = 0; cap < kCapsMax; ++cap) {
        if ((kKept & bit(cap)) != 0)
            continue;
        if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) == 0)
            continue;
        if (errno == EINVAL)
            break;   // past the last capability
        ok = false;
    }
    return ok;
}

// Permitted and effective become the kept ones, inheritable (and with it the
// ambient set, which never holds more) empty. Where some kept one is not
// permitted already, what is left of them is kept.
bool keepOnlyKept()
{
    __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i)
        data[i].permitted = data[i].effective = static_cast<uint32_t>(kKept >> (32 * i));
    if (syscall(SYS_capset, &head, data) == 0)
        return true;
    if (errno != EPERM || syscall(SYS_capget, &head, data) != 0)
        return false;
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
        data[i].permitted &= static_cast<uint32_t>(kKept >> (32 * i));
        data[i].effective &= data[i].permitted;
        data[i].inheritable = 0;
    }
    return syscall(SYS_capset, &head, data) == 0;
}

} // namespace

uint64_t vlxKeptCapabilities() { return kKept; }

int vlxDropCapabilities()
{
    // The bounding set first: dropping from it needs CAP_SETPCAP, which goes next.
    bool ok = dropBounding();
    if (!keepOnlyKept())
        ok = false;
    return ok ? 0 : -1;
}
