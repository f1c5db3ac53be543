#include "base/fio.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/pserrno.h"
#include "base/strutil.h"

namespace {

constexpr int RC_NAME_TOO_LONG = 119;
// TransErrno's code for EEXIST.
constexpr int RC_ALREADY_EXISTS = 108;

bool isDirectory(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Builds the directory held in copy (modified while working, restored before
// returning).
int buildPath(char *copy)
{
    int rc = fioMakeDirectory(copy);
    if (rc == 0)
        return 0;
    char *slash = strrchr(copy, '/');
    if (slash == nullptr)
        return -1;
    *slash = '\0';
    int parentRc = buildPath(copy);
    // A parent that exists already (made meanwhile by someone else) will do.
    if (parentRc != 0 && copy[0] != '\0' && isDirectory(copy))
        parentRc = 0;
    *slash = '/';
    if (parentRc != 0)
        return parentRc;
    return fioMakeDirectory(copy);
}

} // namespace

int fioBuildPath(const char *path)
{
    if (path == nullptr || path[0] == '\0')
        return -1;
    size_t len = strlen(path);
    if (len >= FIO_PATH_MAX)
        return RC_NAME_TOO_LONG;
    char copy[FIO_PATH_MAX];
    memcpy(copy, path, len + 1);
    // "a/b/" names the directory "a/b".
    while (len > 1 && copy[len - 1] == '/')
        copy[--len] = '\0';
    // A path that exists already is not built: -1, as when every mkdir up to
    // the top has failed. Callers ask for a directory they found missing.
    int rc = buildPath(copy);
    return rc == RC_ALREADY_EXISTS ? -1 : rc;
}

int fioMakeDirectory(const char *path, int /*flags*/)
{
    if (path == nullptr)
        return -1;
    if (mkdir(path, 0777) != 0)
        return TransErrno(errno, "fioMakeDirectory:mkdir");
    return 0;
}

int psBuildCurrentPath(char *buf, const char *name, size_t bufSize)
{
    if (buf == nullptr || bufSize == 0 || name == nullptr)
        return -1;
    if (strchr(name, '/') != nullptr)
        return 0;
    // In a set-user-id run PWD is the caller's word, not where the process is.
    const char *pwd = secure_getenv("PWD");
    if (pwd != nullptr) {
        size_t n = strlen(pwd);
        if (n >= bufSize) {
            buf[0] = '\0';
            return -1;
        }
        memcpy(buf, pwd, n + 1);
    } else if (getcwd(buf, bufSize) == nullptr) {
        buf[0] = '\0';
        return -1;
    }
    while (*name != '\0' && IsSpace(static_cast<unsigned char>(*name)))
        name++;
    size_t used = strlen(buf), nameLen = strlen(name);
    if (nameLen + 1 >= bufSize - used) {
        buf[0] = '\0';
        return -1;
    }
    buf[used] = '/';
    memcpy(buf + used + 1, name, nameLen + 1);
    return 0;
}
