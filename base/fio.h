// Directory creation, path helpers, whole reads and writes, and the guards of
// descriptors and streams.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>

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

// Whole reads and writes, and the guards below, are inline so that the
// caller's library can use them without the rest of this unit.

// A transfer's result when the descriptor reached its end first.
inline constexpr int FIO_RC_EOF = 1;

// The one loop behind every whole read or write: op(offset, count) moves at
// most count bytes at offset like read or write does. Retries after a signal,
// carries on after a short count. 0 when all n went, FIO_RC_EOF when op
// returned 0 first, -1 on an error (errno set). *done (may be null) receives
// the bytes moved either way.
template <typename Op>
int fioTransferFull(Op op, size_t n, size_t *done = nullptr)
{
    size_t moved = 0;
    int rc = 0;
    while (moved < n) {
        ssize_t r = op(moved, n - moved);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            rc = r < 0 ? -1 : FIO_RC_EOF;
            break;
        }
        moved += static_cast<size_t>(r);
    }
    if (done != nullptr)
        *done = moved;
    return rc;
}

// Reads n bytes: 0, FIO_RC_EOF when the descriptor ended first, -1 (errno).
// A protocol that counts on what one read returns must not use this.
inline int fioReadFull(int fd, void *buf, size_t n, size_t *got = nullptr)
{
    char *p = static_cast<char *>(buf);
    return fioTransferFull([&](size_t off, size_t len) { return read(fd, p + off, len); }, n, got);
}

// One read of at most n bytes, repeated only when a signal interrupted it, for
// a protocol that counts on what a single read returns (a caller's piece
// written at once arrives at once): what read returned.
inline ssize_t fioReadOnce(int fd, void *buf, size_t n)
{
    ssize_t r;
    do
        r = read(fd, buf, n);
    while (r < 0 && errno == EINTR);
    return r;
}

// Writes n bytes: 0, or -1 (errno set; EIO when the descriptor took nothing).
inline int fioWriteFull(int fd, const void *buf, size_t n)
{
    const char *p = static_cast<const char *>(buf);
    int rc = fioTransferFull([&](size_t off, size_t len) { return write(fd, p + off, len); }, n);
    if (rc == FIO_RC_EOF) {
        errno = EIO;
        rc = -1;
    }
    return rc;
}

// Closes a descriptor when the scope ends. Only for descriptors whose close
// reports nothing the owner still needs (read-only, or already flushed).
class FdGuard {
public:
    explicit FdGuard(int fd = -1) : fd_(fd) {}
    ~FdGuard() { reset(); }
    FdGuard(const FdGuard &) = delete;
    FdGuard &operator=(const FdGuard &) = delete;
    int get() const { return fd_; }
    int release()
    {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);   // see above: nothing to report
        fd_ = fd;
    }

private:
    int fd_;
};

// Closes a stream when the scope ends; as FdGuard, for streams whose close
// has nothing left to report.
class StreamGuard {
public:
    explicit StreamGuard(FILE *f = nullptr) : f_(f) {}
    ~StreamGuard() { reset(); }
    StreamGuard(const StreamGuard &) = delete;
    StreamGuard &operator=(const StreamGuard &) = delete;
    FILE *get() const { return f_; }
    FILE *release()
    {
        FILE *f = f_;
        f_ = nullptr;
        return f;
    }
    void reset(FILE *f = nullptr)
    {
        if (f_ != nullptr)
            fclose(f_);   // see above: nothing to report
        f_ = f;
    }

private:
    FILE *f_;
};
