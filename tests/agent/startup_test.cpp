// Runs the built agent as a caller does: fork, exec with the 22-entry command
// line and two real pipes, then the exit status and everything the agent
// wrote to its standard output and error.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

const char agentPath[] = KEL_BINARY_DIR "/kelvlx";
const char catalogDir[] = KEL_BINARY_DIR "/catalogs";
const char interfaceString[] = "QRB Linkag\bestab\b VOMP Edition 4";
const std::string stamp = KEL_BUILD_STAMP;

const uid_t nobodyId = 65534;
const int waitLimitSeconds = 60;   // a hung agent is killed, not waited for forever

// Largest single argument the kernel passes (MAX_ARG_STRLEN less the NUL).
const size_t hugeArgLen = 32 * 4096 - 1;

const std::string usageText = "VLX: Version 6, Release 1, Level 5.0  \n"
                              "     build date : " +
                              stamp +
                              " \n"
                              "     This program is not for general use.  It is used only\n"
                              "     by the Quorvane product.\n";
const std::string incompatibleText = "Error : calling program and kelvlx are not compatible\n";

std::string stampText(const std::string &callerDate)
{
    return incompatibleText + "calling program build date : " + callerDate + " \n" +
           "VLX build date             : " + stamp + " \n";
}

// Argument positions of the command line.
enum { A_DEBUG = 1, A_IFACE, A_IN, A_END1, A_END2, A_OUT, A_PWDIR, A_LANG, A_CATDIR = 10, A_OP, A_NODE, A_SERVER,
       A_PWPATH, A_PASS, A_DATE, A_TIME, A_CLIENT, A_EXITLOG, A_CLUSTER, A_CIPHER };

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1)
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Temporary password directory, removed with what the agent left in it.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/kelvlx-agent-XXXXXX";
        if (mkdtemp(tmpl) != nullptr)
            path_ = tmpl;
    }
    ~TempDir()
    {
        if (!path_.empty())
            (void)!system(("rm -rf '" + path_ + "'").c_str());
    }
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

struct AgentResult {
    int status = -1000;   // exit status as the caller sees it, or -signal
    std::string out;
    std::string err;
    std::string answer;   // what the agent wrote to its output pipe
    std::string leftover; // request bytes the agent left unread
};

struct AgentCall {
    std::vector<std::string> args;   // entries 3 to 6 are filled in with the pipes when left "@"
    std::string input;               // written to the input pipe, which is then closed
    bool asNobody = false;
    std::vector<int> closedStd;      // standard descriptors the caller leaves closed
    bool keepInputOpen = false;      // the input pipe stays open until the agent has ended
};

// The 22-entry command line of a well-formed call for operation op.
std::vector<std::string> agentArgs(const std::string &dir, const std::string &op)
{
    std::vector<std::string> a(22);
    a[0] = "kelvlx";
    a[A_DEBUG] = "0";
    a[A_IFACE] = interfaceString;
    a[A_IN] = a[A_END1] = a[A_END2] = a[A_OUT] = "@";
    a[A_PWDIR] = dir + "/dsm.sys";
    a[A_LANG] = "EN_US";
    a[9] = "";
    a[A_CATDIR] = catalogDir;
    a[A_OP] = op;
    a[A_NODE] = "NODE1";
    a[A_SERVER] = "SERVER1";
    a[A_PWPATH] = dir + "/dsm.opt";
    a[A_PASS] = "";
    a[A_DATE] = stamp;
    a[A_TIME] = stamp;
    a[A_CLIENT] = "1";
    a[A_EXITLOG] = "0";
    a[A_CLUSTER] = "0";
    a[A_CIPHER] = "1";
    return a;
}

std::string drain(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        s.append(buf, (size_t)n);
    return s;
}

[[noreturn]] void execAgent(const AgentCall &call, const std::vector<std::string> &args, int outCap, int errCap)
{
    dup2(outCap, 1);
    dup2(errCap, 2);
    for (int fd : call.closedStd)
        close(fd);
    if (call.asNobody && (setgroups(0, nullptr) != 0 || setgid(nobodyId) != 0 || setuid(nobodyId) != 0))
        _exit(121);
    std::vector<char *> argv;
    for (const auto &s : args)
        argv.push_back(const_cast<char *>(s.c_str()));
    argv.push_back(nullptr);
    char *envp[] = {const_cast<char *>("PATH=/usr/bin:/bin"), nullptr};
    execve(agentPath, argv.data(), envp);
    _exit(122);
}

// Collects standard output and error until both are closed; false when the
// agent did not finish in time (it is killed then).
bool collect(pid_t pid, int outFd, int errFd, AgentResult *r)
{
    time_t limit = time(nullptr) + waitLimitSeconds;
    struct pollfd pf[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (time(nullptr) > limit) {
            kill(pid, SIGKILL);
            return false;
        }
        if (poll(pf, 2, 200) <= 0)
            continue;
        for (auto &p : pf) {
            if (p.fd < 0 || p.revents == 0)
                continue;
            char buf[65536];
            ssize_t n = read(p.fd, buf, sizeof(buf));
            if (n > 0) {
                (p.fd == outFd ? r->out : r->err).append(buf, (size_t)n);
            } else {
                p.fd = -1;
                --open;
            }
        }
    }
    return true;
}

AgentResult runAgent(const AgentCall &call)
{
    AgentResult r;
    int in[2], out[2], capOut[2], capErr[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe2(capOut, O_CLOEXEC) != 0 || pipe2(capErr, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe: " << strerror(errno);
        return r;
    }
    Fd inR(in[0]), inW(in[1]), outR(out[0]), outW(out[1]);
    Fd capOutR(capOut[0]), capOutW(capOut[1]), capErrR(capErr[0]), capErrW(capErr[1]);

    std::vector<std::string> args = call.args;
    const int pipeFds[] = {in[0], in[1], out[0], out[1]};
    for (int i = 0; i < 4; ++i)
        if ((size_t)(A_IN + i) < args.size() && args[A_IN + i] == "@")
            args[A_IN + i] = std::to_string(pipeFds[i]);

    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return r;
    }
    if (pid == 0)
        execAgent(call, args, capOut[1], capErr[1]);

    capOutW.reset();
    capErrW.reset();
    outW.reset();
    // The agent closes its copy of the caller's write end (argument 4); a
    // read of the closed pipe then ends instead of waiting.
    if (!call.input.empty() && write(inW.get(), call.input.data(), call.input.size()) != (ssize_t)call.input.size())
        ADD_FAILURE() << "write to the input pipe: " << strerror(errno);
    if (!call.keepInputOpen)
        inW.reset();

    bool finished = collect(pid, capOutR.get(), capErrR.get(), &r);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(finished) << "the agent did not end by itself";
    if (WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        r.status = -WTERMSIG(status);

    fcntl(inR.get(), F_SETFL, O_NONBLOCK);
    r.leftover = drain(inR.get());
    r.answer = drain(outR.get());
    return r;
}

struct StartCase {
    const char *name;
    std::function<void(std::vector<std::string> &)> edit;   // applied to a well-formed 'X' call
    std::string input;
    int status;             // the agent's own value; the caller sees it modulo 256
    std::string err;        // exactly this on standard error
    std::string leftover;   // request bytes the agent must leave unread
};

std::string oneOff(std::string s)
{
    s.back() = s.back() == '9' ? '8' : '9';
    return s;
}

std::vector<StartCase> startCases()
{
    using Args = std::vector<std::string>;
    return {
        {"usage_without_arguments", [](Args &a) { a.resize(1); }, "", -1, usageText, ""},
        {"usage_with_one_argument", [](Args &a) { a.resize(2); }, "", -1, usageText, ""},
        {"usage_without_interface", [](Args &a) { a.resize(3); a[A_IFACE] = "x"; }, "", -1, usageText, ""},
        {"usage_interface_without_backspaces",
         [](Args &a) { a[A_IFACE] = "QRB Linkagestab VOMP Edition 4"; }, "", -1, usageText, ""},
        {"usage_interface_prefix", [](Args &a) { a[A_IFACE].pop_back(); }, "", -1, usageText, ""},
        {"incompatible_21_arguments", [](Args &a) { a.resize(21); }, "", 138, incompatibleText, ""},
        {"incompatible_23_arguments", [](Args &a) { a.push_back("0"); }, "", 138, incompatibleText, ""},
        {"incompatible_3_arguments", [](Args &a) { a.resize(3); }, "", 138, incompatibleText, ""},
        {"incompatible_before_language_check", [](Args &a) { a[A_LANG] = ""; a.resize(21); }, "", 138,
         incompatibleText, ""},
        {"empty_language", [](Args &a) { a[A_LANG] = ""; }, "", 610, "", ""},
        {"stamp_last_character_differs", [](Args &a) { a[A_DATE] = oneOff(stamp); }, "", 138,
         stampText(oneOff(stamp)), ""},
        {"stamp_leading_blank_missing", [](Args &a) { a[A_DATE] = stamp.substr(1); }, "", 138,
         stampText(stamp.substr(1)), ""},
        {"stamp_time_differs", [](Args &a) { a[A_TIME] = oneOff(stamp); }, "", 138, stampText(stamp), ""},
        {"stamp_date_test_value_only", [](Args &a) { a[A_DATE] = "QUVPLIX"; }, "", 138, stampText("QUVPLIX"), ""},
        {"stamp_time_test_value_only", [](Args &a) { a[A_TIME] = "RONKWAF"; }, "", 138, stampText(stamp), ""},
        {"stamp_test_values_accepted", [](Args &a) { a[A_DATE] = "QUVPLIX"; a[A_TIME] = "RONKWAF"; }, "", 295, "",
         ""},
        {"unknown_operation", [](Args &) {}, "", 295, "", ""},
        {"empty_operation", [](Args &a) { a[A_OP] = ""; }, "", 295, "", ""},
        {"lower_case_operation", [](Args &a) { a[A_OP] = "a"; }, std::string("\x00", 1), 295, "", std::string("\x00", 1)},
        {"unknown_operation_exit_logging", [](Args &a) { a[A_EXITLOG] = "1"; }, "", 295, "", ""},
        {"unknown_operation_cluster_node", [](Args &a) { a[A_CLUSTER] = "1"; a[A_CIPHER] = "258"; }, "", 295, "",
         ""},
        {"encrypt_input_closed", [](Args &a) { a[A_OP] = "A"; }, "", 297, "", ""},
        {"decrypt_input_closed", [](Args &a) { a[A_OP] = "B"; }, "", 297, "", ""},
        {"key_request_short", [](Args &a) { a[A_OP] = "A"; }, "\x01" "0123456789", 297, "", ""},
        {"decrypt_flag_reads_one_byte", [](Args &a) { a[A_OP] = "B"; }, "\x01\x02\x03", 0, "", "\x02\x03"},
        {"password_path_without_slash", [](Args &a) { a[A_PWPATH] = "dsm.opt"; a[A_PWDIR] = "x"; }, "", 295, "",
         ""},
        {"huge_arguments",
         [](Args &a) {
             for (int i : {A_PWDIR, A_NODE, A_SERVER, A_PWPATH, A_PASS})
                 a[i] = std::string(hugeArgLen, 'n');
             a[A_PWPATH][10] = '/';
         },
         "", 295, "", ""},
    };
}

class AgentStartup : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "the agent refuses every caller unless it runs as root";
        ASSERT_EQ(access(agentPath, X_OK), 0) << agentPath;
        ASSERT_FALSE(dir_.path().empty());
    }
    TempDir dir_;
};

// Every refusal and every request main serves itself: the status, the exact
// text on standard error, nothing on standard output or the output pipe.
TEST_F(AgentStartup, StatusesAndTexts)
{
    for (const auto &c : startCases()) {
        SCOPED_TRACE(c.name);
        AgentCall call;
        call.args = agentArgs(dir_.path(), "X");
        c.edit(call.args);
        call.input = c.input;
        AgentResult r = runAgent(call);
        EXPECT_EQ(r.status, c.status & 255);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.answer, "");
        EXPECT_EQ(r.leftover, c.leftover);
        struct stat st;
        EXPECT_NE(stat((dir_.path() + "/ZAR.PWD").c_str(), &st), 0) << "nothing may create the password file";
    }
}

// The 16 bytes of a key request come in one read: a caller that sends fewer
// and keeps its pipe open gets 297 at once instead of an agent waiting for it.
TEST_F(AgentStartup, ShortKeyRequestEndsWithoutWaitingForTheRest)
{
    AgentCall call;
    call.args = agentArgs(dir_.path(), "A");
    call.input = "\x01" "0123456789";
    call.keepInputOpen = true;
    AgentResult r = runAgent(call);
    EXPECT_EQ(r.status, 297 & 255);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.answer, "");
}

// An empty argument vector is refused without a look at argv.
TEST_F(AgentStartup, EmptyArgumentVector)
{
    AgentCall call;
    AgentResult r = runAgent(call);
    EXPECT_EQ(r.status, -1 & 255);
    EXPECT_EQ(r.err, usageText);
    EXPECT_EQ(r.out, "");
}

// Without root rights the agent ends with 138 and says nothing, even for a
// call that would otherwise get a message.
TEST_F(AgentStartup, OtherUserRefusedSilently)
{
    struct {
        const char *name;
        std::function<void(std::vector<std::string> &)> edit;
    } cases[] = {
        {"well_formed", [](std::vector<std::string> &a) { a[A_OP] = "A"; }},
        {"wrong_stamp", [](std::vector<std::string> &a) { a[A_DATE] = "x"; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        AgentCall call;
        call.args = agentArgs(dir_.path(), "X");
        c.edit(call.args);
        call.asNobody = true;
        call.input = std::string(1, '\0');
        AgentResult r = runAgent(call);
        EXPECT_EQ(r.status, 138);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.answer, "");
    }
}

// A caller that leaves standard descriptors closed sees the same statuses, and
// no file the agent opens takes their place: a password file in the
// directory is left as it was.
TEST_F(AgentStartup, ClosedStandardDescriptors)
{
    const std::string pwFile = dir_.path() + "/ZAR.PWD";
    const std::string content = "not a password file\n";
    struct {
        const char *name;
        std::vector<int> closed;
    } closings[] = {{"stdout", {1}}, {"stderr", {2}}, {"all", {0, 1, 2}}};
    struct {
        const char *name;
        std::function<void(std::vector<std::string> &)> edit;
        std::string input;
        int status;
    } calls[] = {
        {"usage", [](std::vector<std::string> &a) { a.resize(2); }, "", -1},
        {"incompatible", [](std::vector<std::string> &a) { a.resize(21); }, "", 138},
        {"stamp", [](std::vector<std::string> &a) { a[A_DATE] = "x"; }, "", 138},
        {"unknown_operation", [](std::vector<std::string> &) {}, "", 295},
        {"input_closed", [](std::vector<std::string> &a) { a[A_OP] = "A"; }, "", 297},
        {"decrypt_flag", [](std::vector<std::string> &a) { a[A_OP] = "B"; }, "\x01", 0},
    };
    for (const auto &cl : closings) {
        for (const auto &c : calls) {
            SCOPED_TRACE(std::string(cl.name) + "/" + c.name);
            {
                Fd f(open(pwFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600));
                ASSERT_GE(f.get(), 0);
                ASSERT_EQ(write(f.get(), content.data(), content.size()), (ssize_t)content.size());
            }
            AgentCall call;
            call.args = agentArgs(dir_.path(), "X");
            call.args[A_PWPATH] = pwFile;
            call.args[A_PWDIR] = pwFile;
            c.edit(call.args);
            call.input = c.input;
            call.closedStd = cl.closed;
            AgentResult r = runAgent(call);
            EXPECT_EQ(r.status, c.status & 255);
            EXPECT_EQ(r.answer, "");
            Fd f(open(pwFile.c_str(), O_RDONLY));
            ASSERT_GE(f.get(), 0);
            EXPECT_EQ(drain(f.get()), content);
        }
    }
}

// "1" as argument 1 stops the agent before any other check, so that a
// debugger can be attached; it waits until it is killed.
TEST_F(AgentStartup, DebugStopWaits)
{
    struct {
        const char *name;
        size_t argc;
    } cases[] = {{"two_arguments", 2}, {"full_command_line", 22}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = agentArgs(dir_.path(), "X");
        args[A_DEBUG] = "1";
        args[A_IFACE] = "wrong";
        args.resize(c.argc);
        int cap[2];
        ASSERT_EQ(pipe2(cap, O_CLOEXEC), 0);
        Fd capR(cap[0]), capW(cap[1]);
        AgentCall call;
        fflush(nullptr);
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0)
            execAgent(call, args, cap[1], cap[1]);
        capW.reset();

        const std::string expected = "+++ Debug stop in PID " + std::to_string(pid) + " +++\n";
        std::string err;
        time_t limit = time(nullptr) + waitLimitSeconds;
        while (err.size() < expected.size() && time(nullptr) <= limit) {
            struct pollfd pf = {capR.get(), POLLIN, 0};
            if (poll(&pf, 1, 200) > 0) {
                char buf[256];
                ssize_t n = read(capR.get(), buf, sizeof(buf));
                if (n <= 0)
                    break;
                err.append(buf, (size_t)n);
            }
        }
        EXPECT_EQ(err, expected);
        usleep(200 * 1000);
        int status = 0;
        EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the agent went on by itself";
        kill(pid, SIGKILL);
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    }
}

} // namespace
