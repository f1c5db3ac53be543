// Runs the built agent as a caller does (tests/support/agentrun.h): the
// 22-entry command line and two real pipes, then the exit status and
// everything the agent wrote to its standard output and error.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "tests/support/pwfixture.h"
#include "tests/support/agentrun.h"
#include "tests/support/tempdir.h"

namespace {

using namespace kelts;

const char agentPath[] = KEL_BINARY_DIR "/kelvlx";
const char catalogDir[] = KEL_BINARY_DIR "/catalogs";
const std::string stamp = agentStamp;

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

std::string drain(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof(buf))) > 0)
        s.append(buf, (size_t)n);
    return s;
}

// Runs a call to its end; a hung agent is killed and fails the test.
AgentResult runToEnd(const AgentCall &call, const std::string &input = "", bool keepInputOpen = false)
{
    AgentResult r = runAgent(call, input, keepInputOpen);
    EXPECT_NE(r.status, -1000) << "the agent did not end by itself";
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
        {"incompatible_21_arguments", [](Args &a) { a.resize(21); }, "", KEL_ST_INCOMPATIBLE, incompatibleText, ""},
        {"incompatible_23_arguments", [](Args &a) { a.push_back("0"); }, "", KEL_ST_INCOMPATIBLE, incompatibleText, ""},
        {"incompatible_3_arguments", [](Args &a) { a.resize(3); }, "", KEL_ST_INCOMPATIBLE, incompatibleText, ""},
        {"incompatible_before_language_check", [](Args &a) { a[A_LANG] = ""; a.resize(21); }, "", KEL_ST_INCOMPATIBLE,
         incompatibleText, ""},
        {"empty_language", [](Args &a) { a[A_LANG] = ""; }, "", KEL_ST_NLS, "", ""},
        {"stamp_last_character_differs", [](Args &a) { a[A_DATE] = oneOff(stamp); }, "", KEL_ST_INCOMPATIBLE,
         stampText(oneOff(stamp)), ""},
        {"stamp_leading_blank_missing", [](Args &a) { a[A_DATE] = stamp.substr(1); }, "", KEL_ST_INCOMPATIBLE,
         stampText(stamp.substr(1)), ""},
        {"stamp_time_differs", [](Args &a) { a[A_TIME] = oneOff(stamp); }, "", KEL_ST_INCOMPATIBLE, stampText(stamp), ""},
        {"stamp_date_test_value_only", [](Args &a) { a[A_DATE] = "QUVPLIX"; }, "", KEL_ST_INCOMPATIBLE, stampText("QUVPLIX"), ""},
        {"stamp_time_test_value_only", [](Args &a) { a[A_TIME] = "RONKWAF"; }, "", KEL_ST_INCOMPATIBLE, stampText(stamp), ""},
        {"stamp_test_values_accepted", [](Args &a) { a[A_DATE] = "QUVPLIX"; a[A_TIME] = "RONKWAF"; }, "", KEL_ST_UNKNOWN_OP, "",
         ""},
        {"unknown_operation", [](Args &) {}, "", KEL_ST_UNKNOWN_OP, "", ""},
        {"empty_operation", [](Args &a) { a[A_OP] = ""; }, "", KEL_ST_UNKNOWN_OP, "", ""},
        {"lower_case_operation", [](Args &a) { a[A_OP] = "a"; }, std::string("\x00", 1), KEL_ST_UNKNOWN_OP, "", std::string("\x00", 1)},
        {"unknown_operation_exit_logging", [](Args &a) { a[A_EXITLOG] = "1"; }, "", KEL_ST_UNKNOWN_OP, "", ""},
        {"unknown_operation_cluster_node", [](Args &a) { a[A_CLUSTER] = "1"; a[A_CIPHER] = "258"; }, "", KEL_ST_UNKNOWN_OP, "",
         ""},
        {"encrypt_input_closed", [](Args &a) { a[A_OP] = "A"; }, "", KEL_ST_PIPE, "", ""},
        {"decrypt_input_closed", [](Args &a) { a[A_OP] = "B"; }, "", KEL_ST_PIPE, "", ""},
        {"key_request_short", [](Args &a) { a[A_OP] = "A"; }, "\x01" "0123456789", KEL_ST_PIPE, "", ""},
        {"decrypt_flag_reads_one_byte", [](Args &a) { a[A_OP] = "B"; }, "\x01\x02\x03", 0, "", "\x02\x03"},
        {"password_path_without_slash", [](Args &a) { a[A_PWPATH] = "dsm.opt"; a[A_PWDIR] = "x"; }, "", KEL_ST_UNKNOWN_OP, "",
         ""},
        {"huge_arguments",
         [](Args &a) {
             for (int i : {A_PWDIR, A_NODE, A_SERVER, A_PWPATH, A_PASS})
                 a[i] = std::string(hugeArgLen, 'n');
             a[A_PWPATH][10] = '/';
         },
         "", KEL_ST_UNKNOWN_OP, "", ""},
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
        ASSERT_FALSE(captures_.path().empty());
    }
    // A well-formed call of operation op as root, standard error caught apart
    // and the request bytes the agent leaves unread kept.
    AgentCall callFor(const std::string &op) const
    {
        AgentCall c;
        c.program = agentPath;
        c.captureDir = captures_.path();
        c.args = agentArgs(dir_.path(), catalogDir, op);
        c.splitStreams = true;
        c.keepUnread = true;
        return c;
    }
    TempDir dir_{"/tmp", "kelvlx-agent-"};   // the password directory
    TempDir captures_{"/tmp", "kelvlx-agent-out-"};
};

// Every refusal and every request main serves itself: the status, the exact
// text on standard error, nothing on standard output or the output pipe.
TEST_F(AgentStartup, StatusesAndTexts)
{
    for (const auto &c : startCases()) {
        SCOPED_TRACE(c.name);
        AgentCall call = callFor("X");
        c.edit(call.args);
        AgentResult r = runToEnd(call, c.input);
        EXPECT_EQ(r.status, c.status & 255);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.printed, "");
        EXPECT_EQ(r.answer, "");
        EXPECT_EQ(r.unread, c.leftover);
        struct stat st;
        EXPECT_NE(stat((dir_.path() + "/ZAR.PWD").c_str(), &st), 0) << "nothing may create the password file";
    }
}

// The 16 bytes of a key request come in one read: a caller that sends fewer
// and keeps its pipe open gets 297 at once instead of an agent waiting for it.
TEST_F(AgentStartup, ShortKeyRequestEndsWithoutWaitingForTheRest)
{
    AgentResult r = runToEnd(callFor("A"), "\x01" "0123456789", true);
    EXPECT_EQ(r.status, KEL_ST_SEEN(KEL_ST_PIPE));
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.answer, "");
}

// An empty argument vector is refused without a look at argv.
TEST_F(AgentStartup, EmptyArgumentVector)
{
    AgentCall call = callFor("X");
    call.args.clear();
    AgentResult r = runToEnd(call);
    EXPECT_EQ(r.status, -1 & 255);
    EXPECT_EQ(r.err, usageText);
    EXPECT_EQ(r.printed, "");
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
        AgentCall call = callFor("X");
        c.edit(call.args);
        call.switchUser = true;
        AgentResult r = runToEnd(call, std::string(1, '\0'));
        EXPECT_EQ(r.status, KEL_ST_INCOMPATIBLE);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.printed, "");
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
        {"incompatible", [](std::vector<std::string> &a) { a.resize(21); }, "", KEL_ST_INCOMPATIBLE},
        {"stamp", [](std::vector<std::string> &a) { a[A_DATE] = "x"; }, "", KEL_ST_INCOMPATIBLE},
        {"unknown_operation", [](std::vector<std::string> &) {}, "", KEL_ST_UNKNOWN_OP},
        {"input_closed", [](std::vector<std::string> &a) { a[A_OP] = "A"; }, "", KEL_ST_PIPE},
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
            AgentCall call = callFor("X");
            call.args[A_PWPATH] = pwFile;
            call.args[A_PWDIR] = pwFile;
            c.edit(call.args);
            call.closedStd = cl.closed;
            AgentResult r = runToEnd(call, c.input);
            EXPECT_EQ(r.status, c.status & 255);
            EXPECT_EQ(r.answer, "");
            Fd f(open(pwFile.c_str(), O_RDONLY));
            ASSERT_GE(f.get(), 0);
            EXPECT_EQ(drain(f.get()), content);
        }
    }
}

// main hands the handlers one request: the node and server of arguments 12
// and 13, and the password file in the directory of argument 14 (argument 7
// names it in the traces only). A key request shows which record was read,
// a confirmed 'C' where the new password went.
TEST_F(AgentStartup, RequestCarriesItsNamesAndPasswordFile)
{
    TempDir other{"/tmp", "kelvlx-agent-other-"};
    ASSERT_FALSE(other.path().empty());
    const std::string pwFile = dir_.path() + "/ZAR.PWD";
    const pwfix::Bytes stored = pwfix::file({pwfix::v3(1, "SERVER1", "NODE1", "key of node 1"),
                                             pwfix::v3(1, "SERVER2", "NODE2", "key of node 2")});
    using Args = std::vector<std::string>;
    struct {
        const char *name;
        std::function<void(Args &)> edit;
        int status;
        std::string key;   // the first slot of the key block
    } cases[] = {
        {"as_called", [](Args &) {}, 0, "key of node 1"},
        {"other_node_and_server", [](Args &a) { a[A_NODE] = "NODE2"; a[A_SERVER] = "SERVER2"; }, 0, "key of node 2"},
        {"node_and_server_swapped", [](Args &a) { a[A_NODE] = "SERVER1"; a[A_SERVER] = "NODE1"; },
         KEL_ST_NO_PASSWORD, ""},
        {"argument_7_elsewhere", [&](Args &a) { a[A_PWDIR] = other.path() + "/dsm.sys"; }, 0, "key of node 1"},
        {"argument_14_elsewhere", [&](Args &a) { a[A_PWPATH] = other.path() + "/dsm.opt"; }, KEL_ST_NO_PASSWORD, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(pwfix::writeFile(pwFile, stored));
        AgentCall call = callFor("A");
        c.edit(call.args);
        AgentResult r = runToEnd(call, std::string(1, '\x01') + std::string(16, 'r'));
        EXPECT_EQ(r.status, KEL_ST_SEEN(c.status));
        EXPECT_EQ(r.err, "");
        if (c.status == 0) {
            ASSERT_EQ(r.answer.size(), 192u);
            EXPECT_EQ(std::string(r.answer.c_str()), c.key);
        } else {
            EXPECT_EQ(r.answer, "");
        }
    }

    // 'C' as text (flag 2, no key), confirmed: the new password is stored in
    // argument 14's directory, none in argument 7's.
    ASSERT_TRUE(pwfix::writeFile(pwFile, pwfix::file({pwfix::v3(0, "SERVER1", "NODE1", "OLDPW")})));
    AgentCall call = callFor("C");
    call.args[A_PWDIR] = other.path() + "/dsm.sys";
    const int32_t confirm = KEL_CONFIRM;
    AgentResult r = runToEnd(call, std::string("\x00\x02\x00", 3) + std::string(reinterpret_cast<const char *>(&confirm),
                                                                              sizeof confirm));
    EXPECT_EQ(r.status, 0);
    const size_t lenSize = sizeof(uint64_t);
    ASSERT_GE(r.answer.size(), 2 * lenSize + 5);
    EXPECT_EQ(r.answer.substr(lenSize, 5), "OLDPW");
    const std::string sentNew = r.answer.substr(2 * lenSize + 5);
    const std::vector<pwfix::Bytes> now = pwfix::serverPasswords(pwfix::readFile(pwFile), "SERVER1", "NODE1");
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(now[0], sentNew);
    EXPECT_EQ(access((other.path() + "/ZAR.PWD").c_str(), F_OK), -1) << "a password file beside argument 7";
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
        AgentCall call = callFor("X");
        call.args[A_DEBUG] = "1";
        call.args[A_IFACE] = "wrong";
        call.args.resize(c.argc);
        call.splitStreams = false;
        Agent agent;
        ASSERT_TRUE(agent.start(call));
        ASSERT_EQ(agent.execErrno(), 0);

        const std::string expected = "+++ Debug stop in PID " + std::to_string(agent.pid()) + " +++\n";
        std::string err;
        time_t limit = time(nullptr) + agentWaitSeconds;
        while ((err = agent.printed()).size() < expected.size() && time(nullptr) <= limit)
            usleep(20 * 1000);
        EXPECT_EQ(err, expected);
        usleep(200 * 1000);
        EXPECT_TRUE(agent.running()) << "the agent went on by itself";
        EXPECT_EQ(agent.kill9(), -SIGKILL);
    }
}

} // namespace
