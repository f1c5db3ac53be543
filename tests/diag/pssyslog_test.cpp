// The system log line: its RFC 3164 form, and that no listener can hold the sender.
#include "diag/pssyslog.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <cctype>
#include <string>

#include "base/fio.h"

namespace {

class LogSocket : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kel-pslog-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        path_ = dir_ + "/log";
    }
    void TearDown() override
    {
        listener_.reset();
        unlink(path_.c_str());
        rmdir(dir_.c_str());
    }
    // A listener that is there but never reads (datagram) or never accepts (stream).
    void listen(int type)
    {
        listener_.reset(socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
        ASSERT_GE(listener_.get(), 0);
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        strncpy(a.sun_path, path_.c_str(), sizeof a.sun_path - 1);
        ASSERT_EQ(bind(listener_.get(), reinterpret_cast<struct sockaddr *>(&a), sizeof a), 0);
        if (type == SOCK_STREAM) {
            ASSERT_EQ(::listen(listener_.get(), 1), 0);
        }
    }
    std::string receive()
    {
        char buf[2048];
        ssize_t n = recv(listener_.get(), buf, sizeof buf, MSG_DONTWAIT);
        return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
    }
    std::string dir_, path_;
    FdGuard listener_;
};

TEST_F(LogSocket, DatagramCarriesOneRfc3164Line)
{
    listen(SOCK_DGRAM);
    ASSERT_EQ(psLogSendTo(path_.c_str(), LOG_AUTHPRIV | LOG_NOTICE, "kelvlx", "uid=7 refused=\"x\""), 0);
    // PRI = facility 10 (authpriv) * 8 + severity 5 (notice) = 85; then
    // "Mmm dd hh:mm:ss" (a: letter, n: digit, d: digit or blank).
    const std::string got = receive();
    const std::string form = "aaa dn nn:nn:nn";
    ASSERT_GE(got.size(), 4 + form.size());
    EXPECT_EQ(got.substr(0, 4), "<85>");
    for (size_t i = 0; i < form.size(); ++i) {
        const char c = got[4 + i], f = form[i];
        EXPECT_TRUE(f == 'a' ? isalpha(c) != 0 : f == 'n' ? isdigit(c) != 0 : f == 'd' ? (isdigit(c) || c == ' ') : c == f)
            << got;
    }
    EXPECT_EQ(got.substr(4 + form.size()), " kelvlx[" + std::to_string(getpid()) + "]: uid=7 refused=\"x\"");
}

// Whatever listens, and however often, no send waits: each run of the agent
// sends one line, and a log that stopped reading must not hold the 12th.
TEST_F(LogSocket, ListenerThatNeverReadsNeverHoldsTheSender)
{
    struct Case {
        const char *name;
        int type;      // 0: nothing at the path
    } const cases[] = {{"datagram never read", SOCK_DGRAM}, {"stream never accepted", SOCK_STREAM}, {"no log", 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        listener_.reset();
        unlink(path_.c_str());
        if (c.type != 0)
            listen(c.type);
        int dropped = 0;
        // alarm ends the test program if a send ever blocks.
        alarm(30);
        for (int i = 0; i < 200; ++i)
            dropped += psLogSendTo(path_.c_str(), LOG_AUTHPRIV | LOG_INFO, "kelvlx", std::string(900, 'x').c_str()) != 0;
        alarm(0);
        EXPECT_GT(dropped, 0);   // the queue did fill (or nothing was there): the drop path ran
    }
}

TEST(LogFormat, CutToTheBuffer)
{
    char buf[24];
    size_t n = psLogFormat(buf, sizeof buf, LOG_AUTHPRIV | LOG_INFO, "kelvlx", "a long line of text");
    EXPECT_EQ(n, sizeof buf - 1);
    EXPECT_EQ(strlen(buf), n);
    EXPECT_EQ(std::string(buf, 4), "<86>");
}

} // namespace
