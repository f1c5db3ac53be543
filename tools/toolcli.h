// What the two command-line tools share: the --version text, usage errors,
// the report of an option getopt_long refused, and reading a secret line
// from a descriptor without a copy in a stdio buffer.
#pragma once

#include <termios.h>

#include <cstddef>
#include <string>

// Exit status of a usage error, the same in both tools.
inline constexpr int TOOL_USAGE = 2;

// "<tool> (kelvlx) <version>" and the agent build stamp the tool was built
// with: a caller's build stamp must equal the agent's.
void toolPrintVersion(const char *tool);

// For the option getopt_long returned: 'h' prints usage, 'V' the version, on
// standard output. True when it was one of the two.
bool toolHelpOrVersion(int c, const char *tool, const char *usage);

// "<tool>: <problem>" and where the full usage is, on standard error; returns TOOL_USAGE.
int toolUsageError(const char *tool, const std::string &problem);

// The problem getopt_long reported as '?' or ':' (with a leading ':' in its
// option string) for the option at argv[optind - 1].
std::string toolOptionProblem(int code, char *const *argv, int optind);

// Turns terminal echo off while a secret is typed; restores it, and ends the
// prompt's line, when it goes.
class EchoOff {
public:
    explicit EchoOff(int fd);
    ~EchoOff();
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

private:
    int fd_;
    struct termios old_ {};
    bool active_ = false;
};

// Reads one line from fd byte by byte into buf (at most cap bytes kept; the
// newline and a carriage return before it are not). *tooLong says more bytes
// came (they are read and dropped). False when the read failed.
bool toolReadSecretLine(int fd, unsigned char *buf, size_t cap, size_t *len, bool *tooLong);

// Sends what is written to standard output to standard error while it
// lives (a library's notices), so that standard output keeps the tool's
// machine-readable answer alone.
class StdoutToStderr {
public:
    StdoutToStderr();
    ~StdoutToStderr();
    StdoutToStderr(const StdoutToStderr &) = delete;
    StdoutToStderr &operator=(const StdoutToStderr &) = delete;

private:
    int saved_ = -1;
};
