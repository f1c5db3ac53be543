// The request handlers end to end: the built agent started as a caller starts
// it, through real pipes. Password files are laid out byte by byte
// (pwfixture.h) and every expected answer comes from the oracle of
// reqfixture.h (OpenSSL and the system's own EBCDIC converter), never from the
// code under test.
#include <sys/file.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/fio.h"
#include "kelvlx/kelclient.hpp"
#include "tests/agent/reqfixture.h"

namespace {

using namespace reqfix;

class Requests : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        acceptEveryCipherType();
        // The run-time crypto library of this build, for AES.
        setenv("LD_LIBRARY_PATH", KEL_BINARY_DIR, 1);
    }
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "the agent serves requests only as root";
        cfg = agentConfig(kAgent, tmp.path(), 1);
    }

    void store(const std::vector<pwfix::Record> &records) { ASSERT_TRUE(pwfix::writeFile(tmp.file(), pwfix::file(records))); }

    // Whether the agent can load this build's crypto library. A library of
    // another build installed in the agent's library directory is found
    // first and refused (5802); the AES cases then cannot run and say so.
    bool aesUsable()
    {
        static int usable = -1;
        if (usable < 0) {
            pwfix::TempDir dir;
            pwfix::writeFile(dir.file(), pwfix::file({pwfix::v3(0, "SRV", "N1", "PROBE")}));
            kelvlx::Config c = cfg;
            c.passwordDir = dir.path();
            c.cipherType = 2;
            kelvlx::Answer answer;
            kelvlx::Status st;
            const unsigned char one = 1;
            usable = kelvlx::encipher(c, 0, &one, 1, &answer, &st) == KC_OK ? 1 : 0;
            if (!usable)
                printf("NOTE: AES cases not run: %s (is a crypto library of another build installed in the "
                       "agent's library directory?)\n",
                       kelvlx::describe(st).c_str());
        }
        return usable == 1;
    }

    // cfg starts a set-user-id copy of the agent in bin (a fresh root-owned
    // directory) as nobody, as an ordinary user's client would.
    void asNobodyThroughASetUserIdCopy(const pwfix::TempDir &bin)
    {
        ASSERT_EQ(0, chmod(bin.path().c_str(), 0755));
        const std::string copy = bin.file("kelvlx");
        ASSERT_TRUE(pwfix::writeFile(copy, pwfix::readFile(kAgent)));
        ASSERT_EQ(0, chmod(copy.c_str(), 04755));
        cfg.agentPath = copy;
        cfg.runAsUid = 65534;
        cfg.runAsGid = 65534;
    }

    Exchange raw(char op, const Bytes &request, int cipher = 1)
    {
        kelvlx::Config c = cfg;
        c.cipherType = cipher;
        return runAgent(c, op, request, tmp.file("agent-output"));
    }

    kelvlx::Config cfg;
    pwfix::TempDir tmp;
};

// ---- 'A' and 'B' ----------------------------------------------------------

// A version 1 record is answered from what was read whether or not its
// conversion can be written, at once: a reader never waits for a writer's
// lock, and a store this run may not write is only read.
TEST_F(Requests, Version1RecordsAreAnsweredWhereTheyCannotBeConverted)
{
    struct Case {
        const char *name;
        char op;
        bool lockHeld;      // another process holds the writers' lock
        mode_t dirMode;     // 0777: a store a set-user-id run may not write
    } cases[] = {
        {"A, store others may write", 'A', false, 0777},
        {"B, store others may write", 'B', false, 0777},
        {"A, lock held", 'A', true, 0700},
        {"B, lock held", 'B', true, 0700},
    };
    pwfix::TempDir bin;
    asNobodyThroughASetUserIdCopy(bin);
    const Bytes data = pattern(16, 40);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pwfix::TempDir dir;
        ASSERT_EQ(0, chmod(dir.path().c_str(), c.dirMode));
        cfg.passwordDir = dir.path();
        const pwfix::Bytes v1 = pwfix::file({pwfix::v1(0, "SRV", "N1", "OLDPW")});
        ASSERT_TRUE(pwfix::writeFile(dir.file(), v1));
        FdGuard lock;
        if (c.lockHeld) {
            lock.reset(open(dir.file("ZAR.PWD.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600));
            ASSERT_EQ(0, flock(lock.get(), LOCK_EX));
        }
        Bytes request = {0, 0};
        request.insert(request.end(), data.begin(), data.end());
        Exchange ex = raw(c.op, request);
        EXPECT_EQ(0, ex.st.exitStatus) << kelvlx::describe(ex.st);
        EXPECT_EQ(expectedAnswer(1, "OLDPW", 0, data, c.op == 'A'), ex.answer);
        EXPECT_EQ(v1, pwfix::readFile(dir.file())) << "the record stays as it was";
    }
}


TEST_F(Requests, CipherRequests)
{
    struct Case {
        const char *name;
        char op;
        int cipher;
        int codeSet;
        const char *stored;   // null: no password stored
        Bytes data;
        int status;
    } cases[] = {
        {"A DES 10 bytes", 'A', 1, 0, "SECRET1", pattern(10, 1), 0},
        {"A DES 64 bytes", 'A', 1, 0, "SECRET1", pattern(64, 2), 0},
        {"A DES empty buffer", 'A', 1, 0, "SECRET1", {}, 0},
        {"A DES code set 22", 'A', 1, 22, "SECRET1", pattern(16, 3), 0},
        {"A DES code set 21", 'A', 1, 21, "SECRET1", pattern(16, 3), 0},
        {"A DES lower-case password", 'A', 1, 0, "secret1", pattern(9, 4), 0},
        {"A DES password over 8 bytes", 'A', 1, 0, "AVERYLONGPASSWORD_63", pattern(12, 5), 0},
        {"B DES 11 bytes", 'B', 1, 0, "SECRET1", pattern(11, 6), 0},
        {"A AES 15 bytes", 'A', 2, 0, "SECRET1", pattern(15, 7), 0},
        {"A AES 16 bytes", 'A', 2, 0, "SECRET1", pattern(16, 8), 0},
        {"A AES 64 bytes", 'A', 2, 0, "SECRET1", pattern(64, 9), 0},
        {"A AES code set 22", 'A', 2, 22, "SECRET1", pattern(5, 10), 0},
        {"A best cipher is AES", 'A', 0, 0, "SECRET1", pattern(5, 11), 0},
        {"B AES bad padding", 'B', 2, 0, "SECRET1", pattern(16, 12), KEL_ST_SEEN(KEL_ST_LIB_FAILURE)},
        {"A no stored password", 'A', 1, 0, nullptr, pattern(8, 13), KEL_ST_NO_PASSWORD},
        {"B no stored password", 'B', 1, 0, nullptr, pattern(8, 13), KEL_ST_NO_PASSWORD},
        {"A empty stored password", 'A', 1, 0, "", pattern(8, 14), 109},
        {"A unknown cipher type", 'A', 4, 0, "SECRET1", pattern(8, 15), 109},
    };
    const bool aes = aesUsable();
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.cipher == 2 && !aes)
            continue;
        pwfix::TempDir dir;
        cfg.passwordDir = dir.path();
        if (c.stored != nullptr) {
            ASSERT_TRUE(pwfix::writeFile(dir.file(), pwfix::file({pwfix::v3(0, "SRV", "N1", c.stored),
                                                              pwfix::v3(0, "SRV2", "N1", "OTHER")})));
        }
        Bytes request = {0, static_cast<unsigned char>(c.codeSet)};
        request.insert(request.end(), c.data.begin(), c.data.end());
        Exchange ex = raw(c.op, request, c.cipher);
        EXPECT_EQ(c.status, ex.st.exitStatus) << kelvlx::describe(ex.st);
        if (c.status != 0) {
            EXPECT_TRUE(ex.answer.empty()) << "nothing is written on failure";
            continue;
        }
        const int cipher = c.cipher == 0 ? (aes ? 2 : 1) : c.cipher;   // the best available
        EXPECT_EQ(expectedAnswer(cipher, c.stored, c.codeSet, c.data, c.op == 'A'), ex.answer);
    }
}

TEST_F(Requests, CodeSetTwentyTwoChangesTheKeyOthersDoNot)
{
    store({pwfix::v3(0, "SRV", "N1", "SECRET1")});
    const Bytes data = pattern(8, 20);
    auto answer = [&](int codeSet) {
        Bytes req = {0, static_cast<unsigned char>(codeSet)};
        req.insert(req.end(), data.begin(), data.end());
        return raw('A', req).answer;
    };
    const Bytes a0 = answer(0);
    ASSERT_EQ(8u, a0.size());
    EXPECT_EQ(a0, answer(21));
    EXPECT_EQ(a0, answer(255));
    EXPECT_NE(a0, answer(22));
}

TEST_F(Requests, SeventyBytesWrittenAtOnceEncipherTheFirstSixtyFour)
{
    store({pwfix::v3(0, "SRV", "N1", "SECRET1")});
    const Bytes data = pattern(70, 30);
    Bytes req = {0, 0};
    req.insert(req.end(), data.begin(), data.end());
    Exchange ex = raw('A', req);
    EXPECT_EQ(0, ex.st.exitStatus);
    EXPECT_EQ(expectedAnswer(1, "SECRET1", 0, Bytes(data.begin(), data.begin() + 64), true), ex.answer);
}

TEST_F(Requests, ShortRequestsAndAClosedOutputPipe)
{
    store({pwfix::v3(0, "SRV", "N1", "SECRET1")});
    struct Case {
        const char *name;
        char op;
        Bytes request;
    } cases[] = {
        {"A without its code-set byte", 'A', {0}},
        {"B without its code-set byte", 'B', {0}},
        {"C without its key length", 'C', {0, 2}},
        {"C with key length 17", 'C', {0, 1, 17, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}},
        {"C with fewer key bytes than announced", 'C', {0, 1, 8, 1, 2, 3}},
    };
    for (const auto &c : cases) {
        Exchange ex = raw(c.op, c.request);
        EXPECT_EQ(KEL_ST_SEEN(KEL_ST_PIPE), ex.st.exitStatus) << c.name << ": " << kelvlx::describe(ex.st);
        EXPECT_TRUE(ex.answer.empty()) << c.name;
    }

    // A caller that stops reading: the write fails and the agent reports it,
    // it is not ended by SIGPIPE.
    for (char op : {'A', 'C'}) {
        kelvlx::Agent agent(cfg);
        ASSERT_EQ(KC_OK, agent.start(op));
        agent.closeOutput();
        const Bytes req = op == 'A' ? Bytes{0, 0, 1, 2, 3} : Bytes{0, 2, 0};
        (void)agent.send(req.data(), req.size());   // the agent may be gone already; its status tells
        agent.closeInput();
        kelvlx::Status st;
        agent.finish(&st);
        EXPECT_EQ(0, st.termSignal) << op;
        EXPECT_EQ(KEL_ST_SEEN(KEL_ST_PIPE), st.exitStatus) << op;
    }
    EXPECT_EQ(pwfix::file({pwfix::v3(0, "SRV", "N1", "SECRET1")}), pwfix::readFile(tmp.file()));
}

// ---- the key request ------------------------------------------------------

TEST_F(Requests, KeyRequest)
{
    struct Case {
        const char *name;
        std::vector<pwfix::Record> records;
        std::vector<std::string> slots;   // expected texts of slots 0, 1, 2
        int status;
    } cases[] = {
        {"current key only", {pwfix::v3(1, "SRV", "N1", "KEY-NOW")}, {"KEY-NOW"}, 0},
        {"current and both saved keys",
         {pwfix::saved(1, "SRV", "N1", "KEY-HOST"), pwfix::v3(1, "SRV", "N1", "KEY-NOW"),
          pwfix::saved(2, "SRV", "N1", "KEY-NODE")},
         {"KEY-NOW", "KEY-NODE", "KEY-HOST"},
         0},
        {"saved host-key copy only", {pwfix::v3(1, "SRV", "N1", "KEY-NOW"),
                                      pwfix::saved(1, "SRV", "N1", "KEY-HOST")},
         {"KEY-NOW", "KEY-HOST"}, 0},
        {"no key, only a server password", {pwfix::v3(0, "SRV", "N1", "SECRET1")}, {}, KEL_ST_NO_PASSWORD},
        {"a key of another node", {pwfix::v3(1, "SRV", "N2", "KEY-N2")}, {}, KEL_ST_NO_PASSWORD},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        store(c.records);
        Bytes req = {1};
        Bytes reqBytes = pattern(16, 40);
        req.insert(req.end(), reqBytes.begin(), reqBytes.end());
        Exchange ex = raw('A', req);
        EXPECT_EQ(c.status, ex.st.exitStatus) << kelvlx::describe(ex.st);
        if (c.status != 0) {
            EXPECT_TRUE(ex.answer.empty());
            continue;
        }
        Bytes want(192, 0);
        for (size_t i = 0; i < c.slots.size(); ++i)
            std::copy(c.slots[i].begin(), c.slots[i].end(), want.begin() + 64 * i);
        EXPECT_EQ(want, ex.answer);
    }
}

// ---- 'C' ------------------------------------------------------------------

class Generate : public Requests {
protected:
    Generated generate(int codeSet, int flag, const Bytes &key, int32_t confirmation, int cipher = 1)
    {
        kelvlx::Config c = cfg;
        c.cipherType = cipher;
        return reqfix::generate(c, codeSet, flag, key, confirmation);
    }

    std::string storedPassword(const std::string &server, const std::string &node)
    {
        return reqfix::storedPassword(pwfix::readFile(tmp.file()), server, node);
    }
};

TEST_F(Generate, TextFlagsConfirmed)
{
    for (int flag : {0, 2}) {
        SCOPED_TRACE(flag);
        store({pwfix::v3(0, "SRV", "N1", "oldpw"), pwfix::v3(0, "SRV", "N9", "KEEPME"),
               pwfix::v3(0, "SRV", "N1", "SECOND-COPY")});
        Generated g = generate(0, flag, {}, KC_CONFIRM);
        ASSERT_EQ(KC_OK, g.st.error) << kelvlx::describe(g.st);
        EXPECT_EQ(bytes("OLDPW"), g.oldPw);   // upper-cased, first record of the node
        const std::string fresh(g.newPw.begin(), g.newPw.end());
        EXPECT_TRUE(fromAlphabet(fresh)) << fresh;
        EXPECT_EQ(fresh, storedPassword("SRV", "N1"));
        EXPECT_EQ("KEEPME", storedPassword("SRV", "N9"));
    }
}

TEST_F(Generate, EncipheredWithTheCallersKey)
{
    struct Case {
        const char *name;
        int cipher;
        Bytes key;
    } cases[] = {
        {"DES, 8-byte key", 1, pattern(8, 50)},
        {"DES, no key bytes", 1, {}},
        {"AES, 16-byte key", 2, pattern(16, 51)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.cipher == 2 && !aesUsable())
            continue;
        store({pwfix::v3(0, "SRV", "N1", "OldPassword")});
        Generated g = generate(0, 1, c.key, KC_CONFIRM, c.cipher);
        ASSERT_EQ(KC_OK, g.st.error) << kelvlx::describe(g.st);
        Bytes key16(16, 0);
        std::copy(c.key.begin(), c.key.end(), key16.begin());
        Bytes oldClear, newClear;
        if (c.cipher == 2) {
            oldClear = aesCbc(key16, g.oldPw, false);
            newClear = aesCbc(key16, g.newPw, false);
        } else {
            oldClear = pwfix::desChain(key16.data(), g.oldPw, false);
            newClear = pwfix::desChain(key16.data(), g.newPw, false);
        }
        EXPECT_EQ(bytes("OLDPASSWORD"), oldClear);
        const std::string fresh(newClear.begin(), newClear.end());
        EXPECT_TRUE(fromAlphabet(fresh)) << fresh;
        EXPECT_EQ(fresh, storedPassword("SRV", "N1"));
    }
}

TEST_F(Generate, CodeSetTwentyTwoSendsEbcdicAndStoresTheText)
{
    store({pwfix::v3(0, "SRV", "N1", "pw-1")});
    Generated g = generate(22, 2, {}, KC_CONFIRM);
    ASSERT_EQ(KC_OK, g.st.error) << kelvlx::describe(g.st);
    EXPECT_EQ(serverText("pw-1", 22), g.oldPw);
    const std::string stored = storedPassword("SRV", "N1");
    EXPECT_TRUE(fromAlphabet(stored)) << stored;
    EXPECT_EQ(serverText(stored, 22), g.newPw);
}

TEST_F(Generate, NoStoredPassword)
{
    for (int flag : {2, 1}) {
        SCOPED_TRACE(flag);
        pwfix::TempDir dir;
        cfg.passwordDir = dir.path() + "/sub";   // not there yet: a root caller's store creates it
        Generated g = generate(0, flag, pattern(8, 60), KC_CONFIRM);
        ASSERT_EQ(KC_OK, g.st.error) << kelvlx::describe(g.st);
        EXPECT_TRUE(g.oldPw.empty());   // the empty text, enciphered or not, is empty
        EXPECT_EQ(63u, g.newPw.size());
        EXPECT_TRUE(pwfix::readFile(dir.path() + "/sub/ZAR.PWD").size() > 71);
    }
}

TEST_F(Generate, NotConfirmedLeavesTheFile)
{
    const pwfix::Bytes before = pwfix::file({pwfix::v3(0, "SRV", "N1", "OLDPW")});
    ASSERT_TRUE(pwfix::writeFile(tmp.file(), before));
    Generated g = generate(0, 2, {}, KC_REFUSE);   // 66
    EXPECT_EQ(KC_OK, g.st.error) << kelvlx::describe(g.st);
    EXPECT_EQ(63u, g.newPw.size());
    EXPECT_EQ(before, pwfix::readFile(tmp.file()));

    // The caller closes the pipe instead of confirming.
    kelvlx::Agent agent(cfg);
    ASSERT_EQ(KC_OK, agent.start('C'));
    const Bytes req = {0, 2, 0};
    ASSERT_EQ(KC_OK, agent.send(req.data(), req.size()));
    uint64_t n = 0;
    Bytes buf(96);
    ASSERT_EQ(KC_OK, agent.receiveExact(&n, 8));
    EXPECT_EQ(5u, n);
    ASSERT_EQ(KC_OK, agent.receiveExact(buf.data(), n));
    ASSERT_EQ(KC_OK, agent.receiveExact(&n, 8));
    EXPECT_EQ(63u, n);
    ASSERT_EQ(KC_OK, agent.receiveExact(buf.data(), n));
    agent.closeInput();
    kelvlx::Status st;
    EXPECT_EQ(KC_OK, agent.finish(&st)) << kelvlx::describe(st);
    EXPECT_EQ(before, pwfix::readFile(tmp.file()));
}

// A confirmation counts only for a caller that took the whole answer out of
// the pipe: one that stopped reading before the new password never saw it.
TEST_F(Generate, ConfirmationAfterReadingPartOfTheAnswer)
{
    struct Case {
        const char *name;
        size_t readFirst;   // answer bytes read before the caller closes its end
        int status;
        bool stored;
    } cases[] = {
        {"old password only", 8 + 5, KEL_ST_SEEN(KEL_ST_PIPE), false},
        {"old password and the new length", 8 + 5 + 8, KEL_ST_SEEN(KEL_ST_PIPE), false},
        {"whole answer", 8 + 5 + 8 + 63, 0, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const pwfix::Bytes before = pwfix::file({pwfix::v3(0, "SRV", "N1", "OLDPW")});
        ASSERT_TRUE(pwfix::writeFile(tmp.file(), before));
        kelvlx::Agent agent(cfg);
        ASSERT_EQ(KC_OK, agent.start('C'));
        const Bytes req = {0, 2, 0};
        ASSERT_EQ(KC_OK, agent.send(req.data(), req.size()));
        Bytes answer(c.readFirst);
        ASSERT_EQ(KC_OK, agent.receiveExact(answer.data(), answer.size()));
        agent.closeOutput();
        const int32_t confirm = KC_CONFIRM;
        ASSERT_EQ(KC_OK, agent.send(&confirm, sizeof confirm));
        agent.closeInput();
        kelvlx::Status st;
        agent.finish(&st);
        EXPECT_EQ(c.status, st.exitStatus) << kelvlx::describe(st);
        if (c.stored)
            EXPECT_EQ(std::string(answer.end() - 63, answer.end()), storedPassword("SRV", "N1"));
        else
            EXPECT_EQ(before, pwfix::readFile(tmp.file()));
    }
}

// A password the store would refuse is the request's failure, found before
// either password is sent (the caller would change its server's password
// for nothing), and the old password stays.
TEST_F(Generate, StoreFailureIsReportedAndTheOldPasswordStays)
{
    // Bytes after the last record: a read still finds the password, a rewrite
    // refuses the file.
    const pwfix::Bytes damaged = pwfix::file({pwfix::v3(0, "SRV", "N1", "OLDPW")}) + pwfix::Bytes("\x00\x11\x22", 3);
    ASSERT_TRUE(pwfix::writeFile(tmp.file(), damaged));
    Generated g = generate(0, 2, {}, KC_CONFIRM);
    EXPECT_EQ(KC_E_AGENT, g.st.error);
    EXPECT_EQ(255, g.st.exitStatus) << kelvlx::describe(g.st);
    EXPECT_TRUE(g.oldPw.empty() && g.newPw.empty()) << "something was sent";
    EXPECT_EQ(damaged, pwfix::readFile(tmp.file()));
}

// A stored password that exists but cannot be read ends 'C' before anything
// is sent: an empty old text would leave the caller unable to change its
// server's password, so no new one may be stored either.
TEST_F(Generate, AnOldPasswordThatCannotBeReadEndsTheRequestFirst)
{
    const pwfix::Bytes good = pwfix::file({pwfix::v3(0, "SRV", "N1", "OLDPW")});
    struct Case {
        const char *name;
        std::function<void(const std::string &file)> make;
    } cases[] = {
        {"node name enciphered with another key",
         [](const std::string &f) { pwfix::writeFile(f, pwfix::file({pwfix::v3(0, "SRV", "N1", "OLDPW", pwfix::keyOf("N2"))})); }},
        {"damaged before the record",
         [&](const std::string &f) {
             pwfix::writeFile(f, good.substr(0, 71) + pwfix::Bytes("\x00\xEF\x03\xFF\xFF\xFF\xFF", 7) +
                                     good.substr(71));
         }},
        {"header cut short", [&](const std::string &f) { pwfix::writeFile(f, good.substr(0, 40)); }},
        {"a directory in its place", [](const std::string &f) { mkdir(f.c_str(), 0700); }},
        {"a link in its place",
         [&](const std::string &f) {
             pwfix::writeFile(f + ".real", good);
             symlink((f + ".real").c_str(), f.c_str());
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pwfix::TempDir dir;
        cfg.passwordDir = dir.path();
        c.make(dir.file());
        const std::set<std::string> before = pwfix::dirEntries(dir.path());
        struct stat st0;
        ASSERT_EQ(0, lstat(dir.file().c_str(), &st0));
        const pwfix::Bytes contents = S_ISREG(st0.st_mode) ? pwfix::readFile(dir.file()) : pwfix::Bytes();
        Generated g = generate(0, 2, {}, KC_CONFIRM);
        EXPECT_EQ(KEL_ST_NO_PASSWORD, g.st.exitStatus) << kelvlx::describe(g.st);
        EXPECT_TRUE(g.oldPw.empty() && g.newPw.empty()) << "something was sent";
        EXPECT_EQ(before, pwfix::dirEntries(dir.path()));
        if (S_ISREG(st0.st_mode)) {
            EXPECT_EQ(contents, pwfix::readFile(dir.file()));
        }
    }
}

// Run by an ordinary user through a set-user-id copy of the agent: 'C'
// pointed at a directory without ZAR.PWD creates nothing and says so before
// it sends anything.
TEST_F(Generate, SetUserIdRunCreatesNothing)
{
    pwfix::TempDir bin;
    asNobodyThroughASetUserIdCopy(bin);
    pwfix::TempDir empty;
    ASSERT_EQ(0, chmod(empty.path().c_str(), 0777));
    cfg.passwordDir = empty.path();
    Generated g = generate(0, 2, {}, KC_CONFIRM);
    EXPECT_EQ(KC_E_AGENT, g.st.error) << kelvlx::describe(g.st);
    EXPECT_EQ(255, g.st.exitStatus) << kelvlx::describe(g.st);
    EXPECT_TRUE(g.oldPw.empty());
    EXPECT_TRUE(g.newPw.empty()) << "the new password was sent";
    struct stat sb;
    EXPECT_NE(0, stat(empty.file().c_str(), &sb)) << "no password file is created";
}

// Upper-casing may change the length of a multibyte password.
TEST_F(Requests, UpperCasingInAMultibyteLocale)
{
    const char *saved = getenv("LANG");
    const std::string savedLang = saved != nullptr ? saved : "";
    setenv("LANG", "en_US.UTF-8", 1);
    struct Case {
        const char *name;
        int cipher;
        std::string stored;
        int status;
        std::string upper;   // the text the key is folded from
    } cases[] = {
        // U+017F LONG S (2 bytes) upper-cases to S (1 byte): the key is
        // folded from the 4 bytes after upper-casing. Only AES shows the
        // length used: DES pads the folded text with zeros anyway.
        {"shortening letters", 2, "\xC5\xBF\xC5\xBF\xC5\xBF\xC5\xBF", 0, "SSSS"},
        // U+0250 (2 bytes) upper-cases to U+2C6F (3 bytes): 66 bytes grow to
        // 99, more than the 71-byte buffer holds.
        {"lengthening letters", 1, [] {
             std::string s;
             for (int i = 0; i < 33; ++i)
                 s += "\xC9\x90";
             return s;
         }(), KEL_ST_NO_PASSWORD, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.cipher == 2 && !aesUsable())
            continue;
        store({pwfix::v3(0, "SRV", "N1", c.stored)});
        const Bytes data = pattern(20, 70);
        Bytes req = {0, 0};
        req.insert(req.end(), data.begin(), data.end());
        Exchange ex = raw('A', req, c.cipher);
        EXPECT_EQ(c.status, ex.st.exitStatus) << kelvlx::describe(ex.st);
        if (c.status == 0) {
            Bytes key = aesFoldKey(bytes(c.upper));
            EXPECT_EQ(aesCbc(key, data, true), ex.answer);
        } else {
            EXPECT_TRUE(ex.answer.empty());
        }
    }
    if (saved != nullptr)
        setenv("LANG", savedLang.c_str(), 1);
    else
        unsetenv("LANG");
}

} // namespace
