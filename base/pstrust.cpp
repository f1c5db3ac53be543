#include "base/pstrust.h"

#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Root's, and writable by others only when sticky (others cannot then
// replace root's entries in it).
bool directoryProtected(const char *dir)
{
    struct stat st;
    return stat(dir, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0 &&
           ((st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0);
}

bool fileProtected(const char *file)
{
    struct stat st;
    return stat(file, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// The resolved path and every directory above it, up to "/". real is cut
// down in place while the walk goes up.
bool chainProtected(char *real)
{
    if (!fileProtected(real))
        return false;
    for (char *slash = strrchr(real, '/'); slash != nullptr; slash = strrchr(real, '/')) {
        *slash = '\0';
        if (!directoryProtected(real[0] != '\0' ? real : "/"))
            return false;
        if (real[0] == '\0')
            break;
    }
    return true;
}

} // namespace

int psIsSecureRun()
{
    return getauxval(AT_SECURE) != 0 || getuid() != geteuid() || getgid() != getegid();
}

int psPathTrusted(const char *path, char *canon, size_t canonSize)
{
    if (canon == nullptr || canonSize == 0) {
        errno = EINVAL;
        return 0;
    }
    canon[0] = '\0';
    if (path == nullptr) {
        errno = EINVAL;
        return 0;
    }
    char *real = realpath(path, nullptr);
    if (real == nullptr)
        return 0;   // errno from realpath: the file or a directory is missing
    size_t len = strlen(real);
    int err = 0;
    if (len >= canonSize)
        err = ENAMETOOLONG;
    else
        memcpy(canon, real, len + 1);
    // Every directory of the resolved path is root's and closed to others, so
    // it stays as checked until it is opened.
    if (err == 0 && !chainProtected(real))
        err = EPERM;
    free(real);
    if (err != 0) {
        canon[0] = '\0';
        errno = err;
        return 0;
    }
    return 1;
}
