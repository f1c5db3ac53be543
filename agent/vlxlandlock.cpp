#include "agent/vlxlandlock.h"

#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/auxv.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(__SANITIZE_ADDRESS__)
#define VLX_LL_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VLX_LL_SANITIZED 1
#endif
#endif

// The system headers may predate the interface versions the running kernel
// offers; the values are the kernel's and never change.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#endif
#ifndef LANDLOCK_ACCESS_NET_CONNECT_TCP
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace {

// The ruleset's attributes in their newest layout; a kernel with an older
// one takes it as long as the fields it does not know are zero.
struct RulesetAttr {
    uint64_t handledFs;
    uint64_t handledNet;
    uint64_t scoped;
};

// The first interface that has every right and scope the rules below name.
constexpr int kWholeAbi = 6;

constexpr uint64_t kFsAbi1 = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;   // bits 0..12
constexpr uint64_t kFileOnly = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                               LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
                               LANDLOCK_ACCESS_FS_IOCTL_DEV;

// What each kind of path may be used for.
constexpr uint64_t kRead = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr uint64_t kLoad = kRead | LANDLOCK_ACCESS_FS_EXECUTE;
// The store: read it, write the new file, make it and the lock file, rename
// the new file over the old one and remove leftovers, all within the directory.
constexpr uint64_t kStore = kRead | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_MAKE_REG |
                            LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_TRUNCATE;

uint64_t handledFs(int abi)
{
    uint64_t fs = kFsAbi1;
    if (abi >= 2)
        fs |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        fs |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5)
        fs |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    return fs;
}

// Read by the C library after the rules are in place: message texts, time
// zones. (The locale and the conversion modules are loaded before, when the
// catalog is set up.) The zone is read at the first local time, which a run
// without a system log may never need: reading it before the rules would
// cost such a run a file it never reads.
enum class Kind { Dir, File };
struct FixedRule {
    const char *path;
    uint64_t rights;
    Kind kind;
    bool mayLinkIntoUsr = false;   // a top directory that a merged /usr makes a link
};
const FixedRule fixedRules[] = {
    {"/usr/share/locale", kRead, Kind::Dir},
    {"/usr/share/zoneinfo", kRead, Kind::Dir},
    {"/etc/localtime", kRead, Kind::File},
#ifdef VLX_LL_SANITIZED
    // The sanitizers' runtime reads the process's own maps at the exit.
    // Never in an agent that can be installed.
    {"/proc", kRead, Kind::Dir},
#endif
};

// What loading the crypto library needs: its dependencies, the loader's
// cache, the library's configuration. Only for a run that may load it after
// the rules (the load before them failed, and the request tries again).
// Where /lib or /lib64 is a link into /usr, as on a merged /usr, the rule on
// its target covers it.
const FixedRule loadRules[] = {
    {"/usr/lib", kLoad, Kind::Dir},
    {"/lib", kLoad, Kind::Dir, true},
    {"/usr/lib64", kLoad, Kind::Dir},
    {"/lib64", kLoad, Kind::Dir, true},
    {"/usr/local/lib", kLoad, Kind::Dir},
    {"/etc/ld.so.cache", kRead, Kind::File},
    {"/etc/ssl", kRead, Kind::Dir},
};

// Whether path is a link to a directory below /usr ("usr/lib" or "/usr/lib").
bool linksIntoUsr(const char *path)
{
    char target[64];
    const ssize_t n = readlink(path, target, sizeof target);
    if (n <= 0 || static_cast<size_t>(n) == sizeof target)
        return false;   // not a link, or one too long to be one of these
    target[n] = '\0';
    const char *t = target[0] == '/' ? target + 1 : target;
    return strncmp(t, "usr/", 4) == 0 && strstr(t, "..") == nullptr;
}

// Each call the ruleset makes costs the request time (a rule is two calls:
// open the path, add the rule); the descriptors of the rules are closed
// together at the end, a run of neighbours in one call.
class Ruleset {
public:
    Ruleset(int fd, uint64_t handled) : fd_(fd), handled_(handled) {}
    ~Ruleset()
    {
        keep(fd_);
        closeKept();
    }
    Ruleset(const Ruleset &) = delete;
    Ruleset &operator=(const Ruleset &) = delete;
    int fd() const { return fd_; }

    // Opens path for a rule. Where the caller's descriptor limit is reached,
    // the rules' descriptors kept so far are closed and the open is tried
    // again: a low limit costs calls, never a rule.
    int openForRule(const char *path, int flags)
    {
        int at = open(path, flags | O_PATH | O_CLOEXEC);
        if (at < 0 && outOfDescriptors() && count_ > 0) {
            closeKept();
            at = open(path, flags | O_PATH | O_CLOEXEC);
        }
        return at;
    }

    static bool outOfDescriptors() { return errno == EMFILE || errno == ENFILE; }

    // Adds rights on the directory, or the file, at path (followed); false
    // when the kernel refused a rule or no descriptor was left to name the
    // path, not when the path is missing or of the other kind. The kind is
    // known, not looked up.
    bool allow(const char *path, uint64_t rights, Kind kind = Kind::Dir)
    {
        if (path == nullptr || path[0] == '\0')
            return true;
        const int at = openForRule(path, kind == Kind::Dir ? O_DIRECTORY : 0);
        if (at < 0)
            return !outOfDescriptors();   // otherwise nothing there to reach
        return allowAt(at, kind == Kind::Dir ? rights : rights & kFileOnly);
    }

    // Adds rights beneath the open descriptor at, which the ruleset closes.
    bool allowAt(int at, uint64_t rights)
    {
        keep(at);
        landlock_path_beneath_attr rule = {};
        rule.allowed_access = rights & handled_;
        rule.parent_fd = at;
        if (rule.allowed_access == 0)
            return true;
        return syscall(SYS_landlock_add_rule, fd_, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) == 0;
    }

private:
    static constexpr size_t kKeptMax = 24;

    void keep(int fd)
    {
        if (fd < 0)
            return;
        if (count_ == kKeptMax)
            (void)close(fd);   // cannot happen with the rules above; closed at once then
        else
            kept_[count_++] = fd;
    }

    // Closes the kept descriptors: each got the lowest free number, so they
    // mostly form a few runs of neighbours.
    void closeKept()
    {
        std::sort(kept_, kept_ + count_);
        for (size_t i = 0; i < count_;) {
            size_t j = i;
            while (j + 1 < count_ && kept_[j + 1] == kept_[j] + 1)
                ++j;
            if (syscall(SYS_close_range, static_cast<unsigned>(kept_[i]), static_cast<unsigned>(kept_[j]), 0) != 0)
                for (size_t k = i; k <= j; ++k)
                    (void)close(kept_[k]);   // a kernel without close_range
            i = j + 1;
        }
        count_ = 0;
    }

    int fd_;
    int kept_[kKeptMax] = {};
    size_t count_ = 0;
    uint64_t handled_;
};

// The directory part of a path argument (up to its last '/', "." without
// one) in buf; false when it does not fit.
bool dirOf(const char *arg, char *buf, size_t size)
{
    const char *slash = strrchr(arg, '/');
    size_t len = slash == nullptr ? 0 : static_cast<size_t>(slash - arg) + 1;
    if (len == 0)
        return snprintf(buf, size, ".") > 0;
    if (len >= size)
        return false;
    memcpy(buf, arg, len);
    buf[len] = '\0';
    return true;
}

// Cuts dir to its parent ("a/b/" gives "a/", "/a" gives "/", "a" gives ".");
// false when there is none left.
bool toParent(char *dir)
{
    size_t len = strlen(dir);
    while (len > 1 && dir[len - 1] == '/')
        dir[--len] = '\0';
    if (strcmp(dir, "/") == 0 || strcmp(dir, ".") == 0)
        return false;
    char *slash = strrchr(dir, '/');
    if (slash == nullptr)
        strcpy(dir, ".");   // fits: dir held at least one character
    else if (slash == dir)
        dir[1] = '\0';
    else
        *slash = '\0';
    return true;
}

// The password directory. A root caller's run (not set-user-id) makes a
// missing directory on a write: the nearest directory that exists may then
// have directories made below it, and the store's rights reach them.
bool allowStore(Ruleset &rs, const char *arg)
{
    char dir[PATH_MAX];
    if (arg == nullptr || !dirOf(arg, dir, sizeof dir))
        return true;   // a path the agent could not open either
    int at = rs.openForRule(dir, O_DIRECTORY);
    if (at >= 0)
        return rs.allowAt(at, kStore);
    if (Ruleset::outOfDescriptors())
        return false;
    if (errno != ENOENT || getauxval(AT_SECURE) != 0)
        return true;   // never made in a set-user-id run
    while (toParent(dir)) {
        at = rs.openForRule(dir, O_DIRECTORY);
        if (at >= 0)
            return rs.allowAt(at, kStore | LANDLOCK_ACCESS_FS_MAKE_DIR);
        if (errno != ENOENT)
            return !Ruleset::outOfDescriptors();
    }
    return true;
}

// The time-zone file TZ names (":/path" or "/path"), and the directories a
// caller may name zones and locales in. In a set-user-id run the C library
// reads no zone file outside its own directory, and no such variable.
bool allowTimeZone(Ruleset &rs)
{
    const char *tz = getauxval(AT_SECURE) != 0 ? nullptr : getenv("TZ");
    if (tz != nullptr && tz[0] == ':')
        ++tz;
    if (tz != nullptr && tz[0] == '/' && !rs.allow(tz, kRead, Kind::File))
        return false;
    return rs.allow(secure_getenv("TZDIR"), kRead) && rs.allow(secure_getenv("LOCPATH"), kRead);
}

// Whether two path arguments name the same directory by the same words (the
// callers pass two names in one directory): one rule does for both.
bool sameDirectory(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr)
        return false;
    const char *sa = strrchr(a, '/'), *sb = strrchr(b, '/');
    const size_t la = sa == nullptr ? 0 : static_cast<size_t>(sa - a), lb = sb == nullptr ? 0 : static_cast<size_t>(sb - b);
    return (sa == nullptr) == (sb == nullptr) && la == lb && strncmp(a, b, la) == 0;
}

// Adds each rule of a table; a top directory that is a link into /usr needs
// none of its own.
template <size_t N>
bool allowAll(Ruleset &rs, const FixedRule (&rules)[N])
{
    for (const FixedRule &r : rules)
        if (!(r.mayLinkIntoUsr && linksIntoUsr(r.path)) && !rs.allow(r.path, r.rights, r.kind))
            return false;
    return true;
}

bool addRules(Ruleset &rs, const VlxFilePaths &paths)
{
    if (!allowStore(rs, paths.pswdArgs[0]))
        return false;
    if (!sameDirectory(paths.pswdArgs[0], paths.pswdArgs[1]) && !allowStore(rs, paths.pswdArgs[1]))
        return false;
    if (!rs.allow(paths.catalogDir, kRead) || !allowAll(rs, fixedRules))
        return false;
    if (paths.libraryDir != nullptr && (!rs.allow(paths.libraryDir, kLoad) || !allowAll(rs, loadRules)))
        return false;
    return allowTimeZone(rs);
}

int offeredAbi()
{
    long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    int got = abi < 0 ? 0 : abi > INT_MAX ? INT_MAX : static_cast<int>(abi);
#ifdef KEL_TEST_HOOKS
    // The tests' build may be told to use an older interface, or none.
    if (const char *cap = getenv("KEL_TEST_LANDLOCK_ABI"); cap != nullptr && atoi(cap) < got)
        got = atoi(cap) < 0 ? 0 : atoi(cap);
#endif
    return got;
}

RulesetAttr attrFor(int abi)
{
    RulesetAttr attr = {};
    attr.handledFs = handledFs(abi);
    if (abi >= 4)   // no TCP at all: no rule allows a port
        attr.handledNet = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
    if (abi >= 6)
        attr.scoped = LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET | LANDLOCK_SCOPE_SIGNAL;
    return attr;
}

int createRuleset(const RulesetAttr &attr)
{
    return static_cast<int>(syscall(SYS_landlock_create_ruleset, &attr, sizeof attr, 0));
}

// A ruleset with everything the newest interface this kernel offers can
// handle; its fd (or -1) and that interface in *abi. A kernel that has the
// whole interface takes it at the first call: the version is asked only
// where it does not.
int newRuleset(int *abi, RulesetAttr *attr)
{
#ifdef KEL_TEST_HOOKS
    const bool askFirst = getenv("KEL_TEST_LANDLOCK_ABI") != nullptr;
#else
    const bool askFirst = false;
#endif
    if (!askFirst) {
        *attr = attrFor(kWholeAbi);
        const int fd = createRuleset(*attr);
        if (fd >= 0) {
            *abi = kWholeAbi;
            return fd;
        }
        if (errno != EINVAL && errno != E2BIG)
            return -1;   // no Landlock, or it is switched off
    }
    *abi = offeredAbi();
    if (*abi < 1)
        return -1;
    *attr = attrFor(*abi < kWholeAbi ? *abi : kWholeAbi);
    return createRuleset(*attr);
}

} // namespace

int vlxLandlockAbi() { return offeredAbi(); }

VlxFiles vlxFilesForAbi(int abi)
{
    return abi >= kWholeAbi ? VlxFiles::Confined : abi >= 1 ? VlxFiles::Partial : VlxFiles::No;
}

const char *vlxFilesWord(VlxFiles f)
{
    switch (f) {
    case VlxFiles::Confined:
        return "confined";
    case VlxFiles::Partial:
        return "partial";
    case VlxFiles::No:
        break;
    }
    return "no";
}

VlxFiles vlxConfineFiles(const VlxFilePaths &paths)
{
    int abi = 0;
    RulesetAttr attr;
    const int fd = newRuleset(&abi, &attr);
    if (fd < 0)
        return VlxFiles::No;
    Ruleset rs(fd, attr.handledFs);
    // A rule the kernel would not take could leave a path of an ordinary
    // run out: then nothing is restricted, and the audit line says so.
    if (!addRules(rs, paths))
        return VlxFiles::No;
    // The agent has set no-new-privileges already; the kernel asks for it.
    if (syscall(SYS_landlock_restrict_self, rs.fd(), 0) != 0 &&
        (errno != EPERM || prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
         syscall(SYS_landlock_restrict_self, rs.fd(), 0) != 0))
        return VlxFiles::No;
    return vlxFilesForAbi(abi);
}
