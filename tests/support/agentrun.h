// The one way the tests start the agent: fork and exec it as a caller does,
// with the 22-entry command line, its two pipes, the caller's user,
// descriptors, environment and limits, and standard output and error caught
// in files read when it has ended.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "kelvlx/kelcontract.h"

namespace kelts {

// Short names of the command line's positions, for the tests' tables.
enum AgentArg {
    A_DEBUG = KEL_ARG_DEBUG_STOP, A_IFACE = KEL_ARG_INTERFACE, A_IN = KEL_ARG_IN_FD, A_END1 = KEL_ARG_CALLER_END_1,
    A_END2 = KEL_ARG_CALLER_END_2, A_OUT = KEL_ARG_OUT_FD, A_PWDIR = KEL_ARG_PSWD_DIR, A_LANG = KEL_ARG_LANGUAGE,
    A_UNUSED9 = KEL_ARG_UNUSED_9, A_CATDIR = KEL_ARG_CATALOG_DIR, A_OP = KEL_ARG_OPERATION, A_NODE = KEL_ARG_NODE,
    A_SERVER = KEL_ARG_SERVER, A_PWPATH = KEL_ARG_PSWD_PATH, A_PASS = KEL_ARG_UNUSED_15,
    A_DATE = KEL_ARG_BUILD_DATE, A_TIME = KEL_ARG_BUILD_TIME, A_CLIENT = KEL_ARG_CLIENT_TYPE,
    A_EXITLOG = KEL_ARG_EXIT_LOGGING, A_CLUSTER = KEL_ARG_CLUSTER_NODE, A_CIPHER = KEL_ARG_CIPHER_TYPE,
    A_COUNT = KEL_ARG_COUNT
};

inline const char agentInterface[] = KEL_INTERFACE_STRING;
inline const std::string agentStamp = KEL_BUILD_STAMP;
inline const int agentWaitSeconds = 60;   // a hung agent is killed, not waited for forever
inline const uid_t nobodyUid = 65534;
inline const gid_t nobodyGid = 65534;

// Largest single argument the kernel passes (MAX_ARG_STRLEN less the NUL).
inline const size_t hugeArgLen = 32 * 4096 - 1;

// The command line of a well-formed call for operation op, with the password
// files in pwDir; "@in" "@inW" "@outR" "@out" stand for the pipe descriptors.
inline std::vector<std::string> agentArgs(const std::string &pwDir, const std::string &catalogDir,
                                          const std::string &op)
{
    std::vector<std::string> a(A_COUNT);
    a[0] = "kelvlx";
    a[A_DEBUG] = "0";
    a[A_IFACE] = agentInterface;
    a[A_IN] = "@in";
    a[A_END1] = "@inW";
    a[A_END2] = "@outR";
    a[A_OUT] = "@out";
    a[A_PWDIR] = pwDir + "/dsm.sys";
    a[A_LANG] = "EN_US";
    a[A_CATDIR] = catalogDir;
    a[A_OP] = op;
    a[A_NODE] = "NODE1";
    a[A_SERVER] = "SERVER1";
    a[A_PWPATH] = pwDir + "/dsm.opt";
    a[A_DATE] = agentStamp;
    a[A_TIME] = agentStamp;
    a[A_CLIENT] = "1";
    a[A_EXITLOG] = "0";
    a[A_CLUSTER] = "0";
    a[A_CIPHER] = "1";
    return a;
}

struct AgentCall {
    std::string program;                          // the agent to run
    std::string captureDir;                       // where its standard output and error are caught
    std::vector<std::string> args;
    bool noArgv = false;                          // execve with an empty argument vector
    std::vector<std::string> env = {"PATH=/usr/bin:/bin"};
    bool switchUser = false;                      // run as uid:gid without supplementary groups
    uid_t uid = nobodyUid;
    gid_t gid = nobodyGid;
    std::vector<int> closedStd;                   // standard descriptors left closed
    std::string cwd;                              // empty: the test's own
    std::vector<std::pair<int, rlim_t>> limits;   // resource limits set before exec
    std::vector<std::pair<int, struct rlimit>> softAndHard;   // the same, with the two bounds apart
    int openThrough = 0;                          // every descriptor from 3 to this one open across exec (/dev/null where unused)
    std::vector<int> ignoredSignals;              // left ignored across exec
    long cpuBurnedMs = 0;                         // CPU time the caller uses up before exec (it carries over)
    bool splitStreams = false;                    // standard error caught apart from standard output
    bool keepUnread = false;                      // the test keeps the read end of the input pipe to see what is left
};

inline std::string readWhole(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// One started agent with the caller's ends of its pipes. The destructor kills
// and reaps an agent that is still running and removes the capture files.
class Agent {
public:
    Agent() = default;
    ~Agent()
    {
        closeInput();
        closeOutput();
        closeUnread();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (const std::string &f : {outFile_, errFile_})
            if (!f.empty())
                unlink(f.c_str());
    }
    Agent(const Agent &) = delete;
    Agent &operator=(const Agent &) = delete;

    bool start(const AgentCall &c)
    {
        int in[2], out[2], report[2];
        if (pipe(in) != 0 || pipe(out) != 0 || pipe2(report, O_CLOEXEC) != 0)
            return false;
        const std::string base = c.captureDir + "/capture." + std::to_string(getpid()) + "." + std::to_string(++serial());
        outFile_ = base;
        int cap = open(outFile_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        int capErr = cap;
        if (c.splitStreams) {
            errFile_ = base + ".err";
            capErr = open(errFile_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        }
        if (cap < 0 || capErr < 0)
            return false;
        std::vector<std::string> args = c.args;
        const std::map<std::string, int> fds = {{"@in", in[0]}, {"@inW", in[1]}, {"@outR", out[0]}, {"@out", out[1]}};
        for (std::string &a : args)
            if (fds.count(a) != 0)
                a = std::to_string(fds.at(a));
        std::vector<char *> argv, envp;
        for (std::string &a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> env = c.env;
        for (std::string &e : env)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        fflush(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            close(report[0]);
            signal(SIGPIPE, SIG_DFL);   // as a caller would leave it: the agent must ignore it itself
            dup2(cap, 1);
            dup2(capErr, 2);
            for (int fd : c.closedStd)
                close(fd);
            if (!c.cwd.empty() && chdir(c.cwd.c_str()) != 0)
                _exit(120);
            for (int sig : c.ignoredSignals)
                signal(sig, SIG_IGN);
            // A busy caller's descriptors leave no gap the agent's own could
            // take: one about to close at exec is replaced too.
            for (int fd = 3; fd <= c.openThrough; ++fd) {
                const int flags = fcntl(fd, F_GETFD);
                if (fd == report[1] || (flags != -1 && (flags & FD_CLOEXEC) == 0))
                    continue;
                int null = open("/dev/null", O_RDONLY);
                if (null < 0 || (null != fd && (dup2(null, fd) != fd || close(null) != 0)))
                    _exit(124);
            }
            for (const auto &[resource, value] : c.limits) {
                struct rlimit rl = {value, value};
                if (setrlimit(resource, &rl) != 0)
                    _exit(123);
            }
            for (const auto &[resource, bounds] : c.softAndHard)
                if (setrlimit(resource, &bounds) != 0)
                    _exit(123);
            if (c.switchUser && (setgroups(0, nullptr) != 0 || setgid(c.gid) != 0 || setuid(c.uid) != 0))
                _exit(121);
            for (struct timespec used = {0, 0};
                 clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used) == 0 && used.tv_sec * 1000 + used.tv_nsec / 1000000 < c.cpuBurnedMs;) {
            }
            if (c.noArgv) {
                char *none[] = {nullptr};
                execve(c.program.c_str(), none, envp.data());
            } else {
                execve(c.program.c_str(), argv.data(), envp.data());
            }
            int e = errno;
            (void)!write(report[1], &e, sizeof e);
            _exit(122);
        }
        close(cap);
        if (capErr != cap)
            close(capErr);
        close(report[1]);
        close(out[1]);
        if (c.keepUnread)
            unread_ = in[0];
        else
            close(in[0]);
        toAgent_ = in[1];
        fromAgent_ = out[0];
        int e = 0;
        execErrno_ = read(report[0], &e, sizeof e) == sizeof e ? e : 0;
        close(report[0]);
        return pid_ > 0;
    }

    // errno of a failed execve, 0 when the agent was started.
    int execErrno() const { return execErrno_; }
    pid_t pid() const { return pid_; }

    bool send(const std::string &b)
    {
        size_t off = 0;
        while (off < b.size()) {
            ssize_t n = write(toAgent_, b.data() + off, b.size() - off);
            if (n <= 0)
                return false;
            off += static_cast<size_t>(n);
        }
        return true;
    }

    // Exactly n bytes of the answer, or fewer when it ends or stays silent too long.
    std::string receive(size_t n)
    {
        std::string b;
        time_t limit = time(nullptr) + agentWaitSeconds;
        while (b.size() < n && time(nullptr) <= limit) {
            struct pollfd p = {fromAgent_, POLLIN, 0};
            if (poll(&p, 1, 200) <= 0)
                continue;
            char buf[4096];
            ssize_t got = read(fromAgent_, buf, std::min(sizeof buf, n - b.size()));
            if (got <= 0)
                break;
            b.append(buf, static_cast<size_t>(got));
        }
        return b;
    }

    void closeInput()
    {
        if (toAgent_ >= 0)
            close(toAgent_);
        toAgent_ = -1;
    }
    void closeOutput()
    {
        if (fromAgent_ >= 0)
            close(fromAgent_);
        fromAgent_ = -1;
    }
    int inputFd() const { return toAgent_; }

    // Closes the caller's ends and waits: the exit status, -signal when a
    // signal ended it, -1000 when it had to be killed for hanging.
    int finish()
    {
        closeInput();
        int status = 0;
        time_t limit = time(nullptr) + agentWaitSeconds;
        pid_t r;
        while ((r = waitpid(pid_, &status, WNOHANG)) == 0 && time(nullptr) <= limit) {
            struct timespec t = {0, 5 * 1000 * 1000};
            nanosleep(&t, nullptr);
        }
        closeOutput();
        if (r == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
            return -1000;
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    // True while the agent has not ended.
    bool running()
    {
        int status = 0;
        if (pid_ <= 0 || waitpid(pid_, &status, WNOHANG) == 0)
            return pid_ > 0;
        pid_ = -1;
        return false;
    }

    // Kills a running agent and reaps it: -signal, or the exit status when it had ended already.
    int kill9()
    {
        if (pid_ <= 0)
            return -1000;
        kill(pid_, SIGKILL);
        int status = 0;
        pid_t r = waitpid(pid_, &status, 0);
        pid_ = -1;
        if (r < 0)
            return -1000;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }

    // What the agent wrote to its standard output, and error unless caught apart.
    std::string printed() const { return readWhole(outFile_); }
    // Its standard error when caught apart.
    std::string printedErr() const { return errFile_.empty() ? "" : readWhole(errFile_); }
    // The request bytes the agent left in the input pipe (keepUnread), once it has ended.
    std::string unread()
    {
        std::string s;
        if (unread_ < 0)
            return s;
        fcntl(unread_, F_SETFL, O_NONBLOCK);
        char buf[4096];
        ssize_t n;
        while ((n = read(unread_, buf, sizeof buf)) > 0)
            s.append(buf, static_cast<size_t>(n));
        closeUnread();
        return s;
    }

private:
    static unsigned &serial()
    {
        static unsigned n = 0;
        return n;
    }
    void closeUnread()
    {
        if (unread_ >= 0)
            close(unread_);
        unread_ = -1;
    }
    pid_t pid_ = -1;
    int toAgent_ = -1;
    int fromAgent_ = -1;
    int unread_ = -1;
    int execErrno_ = 0;
    std::string outFile_, errFile_;
};

struct AgentResult {
    int status = -1;        // as Agent::finish
    std::string printed;    // standard output, and error unless caught apart
    std::string err;        // standard error when caught apart
    std::string answer;     // what the agent wrote to its output pipe
    std::string unread;     // request bytes left in the input pipe (keepUnread)
};

// Starts the agent, sends input, closes the pipe unless keepInputOpen (then
// it stays open until the agent has ended), collects everything.
inline AgentResult runAgent(const AgentCall &c, const std::string &input = "", bool keepInputOpen = false)
{
    AgentResult r;
    Agent a;
    if (!a.start(c)) {
        ADD_FAILURE() << "cannot start the agent";
        return r;
    }
    EXPECT_EQ(a.execErrno(), 0) << strerror(a.execErrno());
    if (!input.empty())
        (void)a.send(input);   // an agent that has ended early leaves the pipe closed
    if (!keepInputOpen)
        a.closeInput();
    r.answer = a.receive(1 << 20);
    r.status = a.finish();
    r.printed = a.printed();
    r.err = a.printedErr();
    r.unread = a.unread();
    return r;
}

} // namespace kelts
