// The system log line of the agent and of keladm. glibc's syslog sends on a
// blocking socket, so a log daemon that stops reading would hold every run
// after its work is done; this unit sends on a socket of its own that never
// waits, and drops a line that cannot go at once.
#include "diag/pssyslog.h"

#include "base/fio.h"
#include "base/pserrno.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Room for a whole line; the daemons of this system take at least this much.
constexpr size_t kLineMax = 1024;

int openLogSocket(const char *path, int type, FdGuard *out)
{
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path)
        return ENAMETOOLONG;
    memcpy(addr.sun_path, path, strlen(path) + 1);
    FdGuard fd(socket(AF_UNIX, type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.get() < 0)
        return errno;
    // A Unix socket's connect never waits when non-blocking: a stream
    // listener whose backlog is full answers EAGAIN at once, and the line is
    // dropped, since a daemon that does not accept is not reading either.
    if (connect(fd.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0)
        return errno;
    out->reset(fd.release());
    return 0;
}

// The connection psLogHold made, kept for the next line.
struct HeldSocket {
    int fd = -1;
    bool stream = false;
    bool tried = false;   // after psLogHold no socket is made here again
};
HeldSocket held;

// Connects to the listener at path: a datagram socket, or a stream one when
// it takes streams.
int connectLog(const char *path, FdGuard *fd, bool *stream)
{
    int rc = openLogSocket(path, SOCK_DGRAM, fd);
    *stream = false;
    if (rc == EPROTOTYPE) {   // the listener takes streams
        rc = openLogSocket(path, SOCK_STREAM, fd);
        *stream = true;
    }
    return rc;
}

int sendLine(int fd, bool stream, int facilityPriority, const char *ident, const char *text)
{
    char line[kLineMax];
    size_t len = psLogFormat(line, sizeof line, facilityPriority, ident, text);
    // On a stream the daemon finds the line's end by its terminating NUL.
    const size_t sendLen = stream ? len + 1 : len;
    ssize_t sent = send(fd, line, sendLen, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent < 0)
        return errno;
    return static_cast<size_t>(sent) == sendLen ? 0 : EAGAIN;   // a part of a line is not retried
}

} // namespace

size_t psLogFormat(char *buf, size_t size, int facilityPriority, const char *ident, const char *text)
{
    char stamp[32] = "";
    time_t now = time(nullptr);
    struct tm local = {};
    // RFC 3164's TIMESTAMP: the month in English whatever the locale, the day padded with a blank.
    static const char *const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    if (localtime_r(&now, &local) != nullptr)
        snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d", kMonths[local.tm_mon % 12], local.tm_mday,
                 local.tm_hour, local.tm_min, local.tm_sec);
    int n = snprintf(buf, size, "<%d>%s %s[%ld]: %s", facilityPriority, stamp, ident, static_cast<long>(getpid()),
                     text);
    if (n < 0) {
        buf[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

int psLogSendTo(const char *path, int facilityPriority, const char *ident, const char *text)
{
    FdGuard fd;
    bool stream = false;
    if (int rc = connectLog(path, &fd, &stream); rc != 0)
        return rc;
    return sendLine(fd.get(), stream, facilityPriority, ident, text);
}

int psLogHold()
{
    ErrnoKeeper keepErrno;
    if (held.fd >= 0)
        return 0;
    held.tried = true;
    FdGuard fd;
    if (int rc = connectLog(PSLOG_DEV_LOG, &fd, &held.stream); rc != 0)
        return rc;
    held.fd = fd.release();
    return 0;
}

int psLogSend(int facilityPriority, const char *ident, const char *text)
{
    ErrnoKeeper keepErrno;
    if (held.fd < 0)
        return held.tried ? ENOTCONN : psLogSendTo(PSLOG_DEV_LOG, facilityPriority, ident, text);
    FdGuard fd(held.fd);   // one line: a stream listener takes one line a connection
    held.fd = -1;
    return sendLine(fd.get(), held.stream, facilityPriority, ident, text);
}
