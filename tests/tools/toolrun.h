// Runs a tool as a person does, with given standard input, and captures
// both outputs, the exit status and, where asked, its syslog lines.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/pwfixture.h"

struct ToolRun {
    int status = -1;
    std::string out, err;
    std::vector<std::string> log;   // syslog lines, with runLogged
};

// Bytes as the tools print them: lower-case hex.
inline std::string hex(const std::string &b)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : b) {
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

namespace toolrun_detail {

inline std::string shellLine(const pwfix::TempDir &tmp, const std::string &args, const std::string &input)
{
    const std::string in = tmp.file("stdin");
    pwfix::writeFile(in, input);
    // Braces, so that a pipeline or a list is redirected as a whole.
    return "{ " + args + "\n} <" + in + " >" + tmp.file("stdout") + " 2>" + tmp.file("stderr");
}

inline void collect(const pwfix::TempDir &tmp, int waitStatus, ToolRun *r)
{
    r->status = WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
    r->out = pwfix::readFile(tmp.file("stdout"));
    r->err = pwfix::readFile(tmp.file("stderr"));
}

// In the child, before the command: a mount namespace of its own whose /dev
// is a new tmpfs with the few devices a tool opens, and /dev/log a link to
// the test's socket. The machine's /dev and its syslog never see the run.
inline bool privateDevLog(const std::string &socketPath)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/dev", "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755") != 0)
        return false;
    const struct {
        const char *path;
        unsigned minor;
    } devices[] = {{"/dev/null", 3}, {"/dev/zero", 5}, {"/dev/random", 8}, {"/dev/urandom", 9}};
    for (const auto &d : devices)
        if (mknod(d.path, S_IFCHR | 0666, makedev(1, d.minor)) != 0 || chmod(d.path, 0666) != 0)
            return false;
    return symlink(socketPath.c_str(), "/dev/log") == 0;
}

} // namespace toolrun_detail

// Runs a command line with the given standard input; captures both outputs.
inline ToolRun run(const pwfix::TempDir &tmp, const std::string &args, const std::string &input = "")
{
    ToolRun r;
    toolrun_detail::collect(tmp, system(toolrun_detail::shellLine(tmp, args, input).c_str()), &r);
    return r;
}

// As run, and collects what the command sends to syslog (needs root: it
// makes a mount namespace). status -1 and no output when that failed.
inline ToolRun runLogged(const pwfix::TempDir &tmp, const std::string &args, const std::string &input = "")
{
    ToolRun r;
    const std::string cmd = toolrun_detail::shellLine(tmp, args, input), sock = tmp.file("log.sock");
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    if (s < 0 || sock.size() >= sizeof sa.sun_path)
        return r;
    memcpy(sa.sun_path, sock.c_str(), sock.size() + 1);
    unlink(sock.c_str());
    if (bind(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 || chmod(sock.c_str(), 0666) != 0) {
        close(s);
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        if (!toolrun_detail::privateDevLog(sock))
            _exit(126);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int ws = 0;
    if (pid > 0 && waitpid(pid, &ws, 0) == pid && !(WIFEXITED(ws) && WEXITSTATUS(ws) == 126)) {
        toolrun_detail::collect(tmp, ws, &r);
        char buf[2048];
        ssize_t n;
        while ((n = recv(s, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            r.log.emplace_back(buf, static_cast<size_t>(n));
    }
    close(s);
    unlink(sock.c_str());
    return r;
}
