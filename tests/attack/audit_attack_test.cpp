// Every use of the agent is on record: one line per run in the system log
// (LOG_AUTHPRIV), naming the caller's real user, the request, the node, the
// server and the status, or why start-up refused the call; never a password,
// a key or a data byte. The log is read from a socket of the test's, the
// /dev/log of a private mount namespace.
#include "tests/attack/attackenv.h"

#include "base/fio.h"

namespace atk {
namespace {

const char keyText[] = "KEYTEXTNEVERLOGGED";
const Bytes challenge = "CHALLENG";

// The message of one syslog datagram ("<pri>timestamp kelvlx[pid]: message")
// and its priority.
struct LogLine {
    int priority = -1;
    std::string message;
};
LogLine parse(const std::string &datagram)
{
    LogLine l;
    size_t close = datagram.find('>'), tag = datagram.find(" kelvlx["), colon = datagram.find("]: ");
    if (datagram.empty() || datagram[0] != '<' || close == std::string::npos || tag == std::string::npos ||
        colon == std::string::npos)
        return l;
    l.priority = atoi(datagram.c_str() + 1);
    l.message = datagram.substr(colon + 3);
    return l;
}

struct Row {
    const char *name;
    std::function<int(Call &)> call;   // runs the agent; its exit status
    std::string line;                  // the message expected, after "uid=65534 "
};

TEST(AttackAudit, EachRunLeavesOneLineAndNoSecret)
{
    ATK_REQUIRE_INSTALL();
    Dir sockDir(0755);
    PrivateDevLog log(sockDir.path());
    ATK_REQUIRE_PRIVATE_MOUNTS(log);
    Dir pw;
    auto freshFile = [&] {
        std::vector<pwfix::Record> recs = {pwfix::v3(0, "SERVER1", "NODE1", oldPassword),
                                           pwfix::v3(1, "SERVER1", "NODE1", keyText)};
        pwfix::writeFile(pw.file(), pwfix::file(recs));
    };
    std::vector<std::string> secrets = {oldPassword, keyText, challenge, "0123456789ABCDEF"};
    auto request = [](const Bytes &input) { return [input](Call &c) { return run(c, input).status; }; };
    auto change = [&](int32_t confirmation) {
        return [&, confirmation](Call &c) {
            ChangeResult r = atk::change(c, confirmation);
            if (!r.pw.newPw.empty())
                secrets.push_back(r.pw.newPw);
            return r.status;
        };
    };
    const std::string names = "node=\"NODE1\" server=\"SERVER1\"";
    // Every request the agent served says whether it ran under its filter;
    // a call refused at start-up ends before the filter's turn and says nothing.
    const std::string confined = KEL_SANDBOX_BUILT ? " confined=yes" : " confined=no";
    Dir plain(0755);   // a copy of the agent without the set-user-id bit
    const std::string plainAgent = plain.path() + "/kelvlx";
    ASSERT_EQ(sh("cp '" + install().agent + "' '" + plainAgent + "' && chmod 0755 '" + plainAgent + "'"), 0);
    Row rows[] = {
        {"'A' challenge", request(Bytes("\x00\x00", 2) + challenge), "op=\"A\" " + names + confined + " status=0"},
        {"'A' key request", request(Bytes("\x01", 1) + "0123456789ABCDEF"), "op=\"A key request\" " + names + confined},
        {"'B'", request(Bytes("\x00\x00", 2) + challenge), "op=\"B\" " + names + confined + " status=0"},
        {"'C' confirmed", change(67), "op=\"C stored\" " + names + confined + " status=0"},
        {"'C' not confirmed", change(0), "op=\"C not confirmed\" " + names + confined + " status=0"},
        {"'A' for a node without a password",
         [&](Call &c) {
             c.args[A_NODE] = "NOBODY";
             return run(c, Bytes("\x00\x00", 2) + challenge).status;
         },
         "op=\"A\" node=\"NOBODY\" server=\"SERVER1\"" + confined + " status=168"},
        {"a node name that would forge a line",
         [&](Call &c) {
             c.args[A_NODE] = "N\n<86>kelvlx[1]: uid=0 \"\\";
             return run(c, Bytes("\x00\x00", 2) + challenge).status;
         },
         "op=\"A\" node=\"N\\x0a<86>kelvlx[1]: uid=0 \\x22\\x5c\" server=\"SERVER1\"" + confined + " status=168"},
        {"an unknown operation", [&](Call &c) { c.args[A_OP] = "X"; return run(c).status; },
         "op=\"X\" " + names + confined + " status=295"},
        {"the input pipe closed before the flag", [&](Call &c) { return run(c).status; },
         "op=\"A\" " + names + confined + " status=297"},
        {"too few arguments", [&](Call &c) { c.args.resize(21); return run(c).status; },
         "refused=\"argument count\" status=138"},
        {"another build's stamp", [&](Call &c) { c.args[A_DATE] = " Thu Jan 01 00:00:00 1970"; return run(c).status; },
         "refused=\"build stamp\" status=138"},
        {"no interface string", [&](Call &c) { c.args[A_IFACE] = "x"; return run(c).status; },
         "refused=\"usage\" status=-1"},
        {"no language", [&](Call &c) { c.args[A_LANG] = ""; return run(c).status; },
         "refused=\"message catalog\" status=610"},
        {"a copy without the set-user-id bit", [&](Call &c) { c.program = plainAgent; return run(c).status; },
         "refused=\"not running as root\" status=138"},
    };
    for (Row &r : rows) {
        freshFile();
        log.take();
        Call c;
        c.args = agentArgs(pw.path(), r.name[1] == 'B' ? 'B' : r.name[1] == 'C' ? 'C' : 'A');
        const int status = r.call(c);
        std::vector<std::string> lines = log.take();
        ASSERT_EQ(lines.size(), 1u) << r.name;
        LogLine l = parse(lines[0]);
        EXPECT_EQ(l.message.rfind("uid=65534 " + r.line, 0), 0u) << r.name << ": " << lines[0];
        EXPECT_NE(l.message.find(" status="), std::string::npos) << r.name;
        const int logged = atoi(l.message.c_str() + l.message.rfind("status=") + 7);
        EXPECT_EQ(logged & 255, status) << r.name << ": " << lines[0];
        EXPECT_EQ(l.priority, logged == 0 ? (10 << 3) + 6 : (10 << 3) + 5) << r.name << ": authpriv.info or notice";
        EXPECT_EQ(lines[0].find('\n'), std::string::npos) << r.name;
        for (const std::string &s : secrets)
            EXPECT_EQ(lines[0].find(s), std::string::npos) << r.name << ": a secret in " << lines[0];
    }
    EXPECT_GE(secrets.size(), 6u) << "no new password was seen";

    // The debug stop goes on record as it starts waiting (without a status:
    // the run goes on until the caller ends it).
    {
        Call c;
        c.args = agentArgs(pw.path(), 'A');
        c.args[A_DEBUG] = "1";
        Agent a;
        ASSERT_TRUE(a.start(c));
        std::vector<std::string> lines;
        for (int i = 0; i < 500 && lines.empty(); i++) {
            struct timespec t = {0, 20 * 1000 * 1000};
            nanosleep(&t, nullptr);
            lines = log.take();
        }
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(parse(lines[0]).message, "uid=65534 refused=\"debug stop: waits for a debugger\"") << lines[0];
    }   // the agent is killed here

    // Without a log to reach, the outcome is the same.
    freshFile();
    Call c;
    c.args = agentArgs(pw.path(), 'A');
    Result logged = run(c, Bytes("\x00\x00", 2) + challenge);
    ASSERT_EQ(unlink("/dev/log"), 0);   // the private namespace's, not the machine's
    Result unlogged = run(c, Bytes("\x00\x00", 2) + challenge);
    EXPECT_EQ(unlogged.status, logged.status);
    EXPECT_EQ(unlogged.answer, logged.answer);
    EXPECT_EQ(logged.status, ST_OK) << logged.printed;
}

// A log that stops reading holds no run: a datagram listener that never reads
// (its queue fills after a dozen lines) and a stream listener that never
// accepts. Every run ends with its usual status, before the wait limit.
TEST(AttackAudit, ALogThatNeverReadsHoldsNoRun)
{
    ATK_REQUIRE_INSTALL();
    Dir sockDir(0755);
    PrivateDevLog log(sockDir.path());   // its datagram socket is never read below
    ATK_REQUIRE_PRIVATE_MOUNTS(log);
    Dir pw;
    pwfix::writeFile(pw.file(), pwfix::file({pwfix::v3(0, "SERVER1", "NODE1", oldPassword)}));
    for (const char *kind : {"datagram never read", "stream never accepted"}) {
        FdGuard stream;
        if (kind[0] == 's') {
            ASSERT_EQ(unlink("/dev/log"), 0);   // the private namespace's, not the machine's
            stream.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
            struct sockaddr_un sa {};
            sa.sun_family = AF_UNIX;
            memcpy(sa.sun_path, "/dev/log", sizeof "/dev/log");
            ASSERT_EQ(bind(stream.get(), reinterpret_cast<struct sockaddr *>(&sa), sizeof sa), 0);
            ASSERT_EQ(chmod("/dev/log", 0666), 0);
            ASSERT_EQ(listen(stream.get(), 1), 0);
        }
        for (int i = 0; i < 50; ++i) {
            Call c;
            c.args = agentArgs(pw.path(), 'A');
            Result r = run(c, Bytes("\x00\x00", 2) + challenge);
            ASSERT_EQ(r.status, ST_OK) << kind << ", run " << i << ": " << r.printed;
        }
        for (int i = 0; i < 50; ++i) {
            Call c;
            c.args = agentArgs(pw.path(), 'C');
            ChangeResult r = change(c);
            ASSERT_EQ(r.status, ST_OK) << kind << ", 'C' run " << i << ": " << r.printed;
            ASSERT_EQ(storedPassword(pwfix::readFile(pw.file())), r.pw.newPw) << kind;
        }
    }
}

} // namespace
} // namespace atk
