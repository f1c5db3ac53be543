// Directory creation and path helpers.
#pragma once

#include <cstddef>

// Paths are built in buffers of this many bytes (terminator included).
inline constexpr size_t FIO_PATH_MAX = 1024;

// Creates path and every missing parent directory: 0, -1 for a null, empty or
// unbuildable path or one that exists already, 119 for a path of FIO_PATH_MAX
// bytes or more, or the return code of the mkdir that failed.
int fioBuildPath(const char *path);
// One mkdir (mode 0777 under the umask): 0 or the mapped return code. flags is not used.
int fioMakeDirectory(const char *path, int flags = 0);
// Makes a bare file name absolute: buf (bufSize bytes) becomes the current
// directory, "/" and the name without its leading white space. A name holding
// a "/" leaves buf untouched. 0, or -1 (buf emptied) when the result does not
// fit or the current directory cannot be found.
int psBuildCurrentPath(char *buf, const char *name, size_t bufSize = FIO_PATH_MAX);
