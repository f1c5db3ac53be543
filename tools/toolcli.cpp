// Pieces the command-line tools share (toolcli.h).
#include "tools/toolcli.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "base/fio.h"
#include "base/secure.h"

#ifndef KEL_VERSION
#define KEL_VERSION "unknown"
#endif
#ifndef KEL_BUILD_STAMP
#define KEL_BUILD_STAMP ""
#endif

void toolPrintVersion(const char *tool)
{
    printf("%s (kelvlx) %s\nagent build stamp \"%s\"\n", tool, KEL_VERSION, KEL_BUILD_STAMP);
}

bool toolHelpOrVersion(int c, const char *tool, const char *usage)
{
    if (c == 'h')
        fputs(usage, stdout);
    else if (c == 'V')
        toolPrintVersion(tool);
    return c == 'h' || c == 'V';
}

int toolUsageError(const char *tool, const std::string &problem)
{
    fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", tool, problem.c_str(), tool);
    return TOOL_USAGE;
}

std::string toolOptionProblem(int code, char *const *argv, int optind)
{
    const std::string opt = optind > 0 ? argv[optind - 1] : "";
    if (code == ':')
        return "option '" + opt + "' needs a value";
    return "unknown option '" + opt + "'";
}

EchoOff::EchoOff(int fd) : fd_(fd)
{
    if (tcgetattr(fd_, &old_) == 0) {
        struct termios quiet = old_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
    }
}

EchoOff::~EchoOff()
{
    if (active_) {
        tcsetattr(fd_, TCSAFLUSH, &old_);
        fputc('\n', stderr);
    }
}

bool toolReadSecretLine(int fd, unsigned char *buf, size_t cap, size_t *len, bool *tooLong)
{
    *len = 0;
    *tooLong = false;
    for (;;) {
        unsigned char c = 0;
        // One byte at a time: nothing after the line is taken from the
        // descriptor, and no buffer but the caller's keeps the secret.
        const int r = fioReadFull(fd, &c, 1);
        if (r < 0)
            return false;
        if (r == FIO_RC_EOF || c == '\n')
            break;
        if (*len < cap)
            buf[(*len)++] = c;
        else
            *tooLong = true;
        kelZero(&c, 1);
    }
    if (*len > 0 && buf[*len - 1] == '\r' && !*tooLong)
        buf[--*len] = 0;
    return true;
}

StdoutToStderr::StdoutToStderr()
{
    fflush(stdout);
    saved_ = fcntl(1, F_DUPFD_CLOEXEC, 3);
    if (saved_ >= 0 && dup2(2, 1) < 0) {
        close(saved_);
        saved_ = -1;
    }
}

StdoutToStderr::~StdoutToStderr()
{
    fflush(stdout);
    if (saved_ < 0)
        return;
    dup2(saved_, 1);   // 1 was taken from this very descriptor: nothing else can be done if it fails
    close(saved_);
}
