#include "common/unx/vlxcaps.h"

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

// Capability numbers the kernel knows end where PR_CAPBSET_READ says EINVAL.
constexpr int kCapsMax = 64;

bool dropBounding()
{
    bool ok = true;
    for (int cap = 0; cap < kCapsMax; ++cap) {
        if ((kKept & bit(cap)) != 0)
            continue;
        int in = prctl(PR_CAPBSET_READ, cap, 0, 0, 0);
        if (in < 0)
            break;   // past the last capability
        if (in == 1 && prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            ok = false;
    }
    return ok;
}

bool keepOnlyKept()
{
    __user_cap_header_struct head = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (syscall(SYS_capget, &head, data) != 0)
        return false;
    for (int i = 0; i < _LINUX_CAPABILITY_U32S_3; ++i) {
        const uint32_t keep = static_cast<uint32_t>(kKept >> (32 * i));
        data[i].permitted &= keep;
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
    if (prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL)
        ok = false;
    if (!keepOnlyKept())
        ok = false;
    return ok ? 0 : -1;
}
