// AES through the built agent: 'A', 'B' and 'C' with cipher types 2 and 0,
// and type 0 falling back to DES when the crypto library cannot be loaded
// (absent, of another build, not a library at all, or out of reach of a
// set-user-id run). Password files are laid out byte by byte (pwfixture.h);
// every expected answer comes from OpenSSL's AES-128-CBC and DES (reqfixture.h).
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "kelvlx/kelclient.hpp"
#include "oxlbuildid.h"
#include "tests/agent/reqfixture.h"

namespace {

using namespace reqfix;

const std::string kBuiltLibrary = KEL_BINARY_DIR "/oxl/oxllib/liboxllib.so";
const std::string kInstalledLibrary = KEL_OXL_DIR "/oxl/oxllib/liboxllib.so";
constexpr int kLibraryFailure = KEL_ST_SEEN(KEL_ST_LIB_FAILURE);
constexpr int kNoLibrary = KEL_ST_SEEN(KEL_ST_NO_LIBRARY);

Bytes desAnswer(const std::string &password, const Bytes &data, bool encrypt)
{
    return expectedAnswer(1, password, 0, data, encrypt);
}

// ---- where the agent finds a crypto library -------------------------------

// The agent looks below its installation directory first, then (unless it runs
// set-user-id) below each LD_LIBRARY_PATH element, and stops at the first
// library it opens. These are the trees the tests show it.
enum class Library {
    buildTree,     // this build's library
    absent,        // an empty tree
    otherBuild,    // this build's library with another build's integrity value
    notALibrary,   // a text file where the library should be
};

const char *libraryName(Library l)
{
    switch (l) {
    case Library::buildTree: return "this build's library";
    case Library::absent: return "no library";
    case Library::otherBuild: return "a library of another build";
    case Library::notALibrary: return "a file that is no library";
    }
    return "?";
}

// The agent is started through this script: in a mount namespace of its own,
// the installation directory's oxl/ shows the tree a test chose (when that
// directory exists; a library installed there would otherwise be found before
// any other), optionally as an ordinary user.
const char kRunner[] = R"(#!/bin/sh
exec unshare --mount --propagation private /bin/sh -c '
  if [ -d "$KEL_T_INSTALLED/oxl" ]; then
    mount --bind "$KEL_T_LIB/oxl" "$KEL_T_INSTALLED/oxl" || exit 120
  fi
  exec $KEL_T_AS "$KEL_T_AGENT" "$@"' kelvlx "$@"
)";
constexpr int kRunnerFailed = 120;

class LibraryTrees {
public:
    LibraryTrees()
    {
        for (pwfix::TempDir *d : {&absent_, &otherBuild_, &notALibrary_}) {
            mkdir((d->path() + "/oxl").c_str(), 0755);
            mkdir((d->path() + "/oxl/oxllib").c_str(), 0755);
        }
        pwfix::writeFile(notALibrary_.path() + "/oxl/oxllib/liboxllib.so", "not a shared object\n");
        otherBuildReady_ = writeOtherBuild();
        chmod(bin_.path().c_str(), 0755);
        pwfix::writeFile(runner(), kRunner);
        chmod(runner().c_str(), 0755);
    }

    // The library with each copy of this build's integrity value changed in one
    // digit: what a library built in another tree looks like to the agent.
    bool writeOtherBuild()
    {
        pwfix::Bytes lib = pwfix::readFile(kBuiltLibrary);
        const std::string id = KEL_OXL_LIBHASH;
        int changed = 0;
        for (auto it = std::search(lib.begin(), lib.end(), id.begin(), id.end()); it != lib.end();
             it = std::search(it + 1, lib.end(), id.begin(), id.end())) {
            *it = *it == '0' ? '1' : '0';
            ++changed;
        }
        const std::string path = otherBuild_.path() + "/oxl/oxllib/liboxllib.so";
        return changed > 0 && pwfix::writeFile(path, lib) && chmod(path.c_str(), 0755) == 0;
    }

    bool otherBuildReady() const { return otherBuildReady_; }
    std::string runner() const { return bin_.file("run-agent"); }
    std::string binFile(const std::string &name) const { return bin_.file(name); }

    std::string dir(Library l) const
    {
        switch (l) {
        case Library::buildTree: return KEL_BINARY_DIR;
        case Library::absent: return absent_.path();
        case Library::otherBuild: return otherBuild_.path();
        case Library::notALibrary: return notALibrary_.path();
        }
        return "";
    }

private:
    pwfix::TempDir absent_, otherBuild_, notALibrary_, bin_;
    bool otherBuildReady_ = false;
};

// ---- running the agent ----------------------------------------------------

class AesAgent : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        acceptEveryCipherType();
        trees = new LibraryTrees;
        setenv("KEL_T_INSTALLED", KEL_OXL_DIR, 1);
        canHide = system("unshare --mount --propagation private true >/dev/null 2>&1") == 0;
    }
    static void TearDownTestSuite()
    {
        delete trees;
        trees = nullptr;
        for (const char *v : {"LD_LIBRARY_PATH", "KEL_T_INSTALLED", "KEL_T_LIB", "KEL_T_AGENT", "KEL_T_AS"})
            unsetenv(v);
    }

    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "the agent serves requests only as root";
        // Without a mount namespace an installed library is found first, and
        // one of another build is refused: no case here could choose.
        if (!canHide && access(kInstalledLibrary.c_str(), F_OK) == 0)
            GTEST_SKIP() << "a crypto library is installed at " << kInstalledLibrary
                         << " and no mount namespace can hide it";
        cfg = agentConfig(canHide ? trees->runner() : kAgent, tmp.path(), 2);
        setenv("KEL_T_AGENT", kAgent.c_str(), 1);
        setenv("KEL_T_AS", "", 1);
        useLibrary(Library::buildTree);
    }

    // What the installation directory shows and what LD_LIBRARY_PATH names.
    void useLibrary(Library installed, Library searched)
    {
        setenv("KEL_T_LIB", trees->dir(installed).c_str(), 1);
        setenv("LD_LIBRARY_PATH", trees->dir(searched).c_str(), 1);
    }
    void useLibrary(Library l) { useLibrary(l, l); }

    void store(const std::vector<pwfix::Record> &records) { ASSERT_TRUE(pwfix::writeFile(tmp.file(), pwfix::file(records))); }

    Exchange run(char op, const Bytes &request, int cipher)
    {
        kelvlx::Config c = cfg;
        c.cipherType = cipher;
        Exchange ex = runAgent(c, op, request, tmp.file("agent-output"));
        EXPECT_NE(kRunnerFailed, ex.st.exitStatus) << "the library tree could not be shown to the agent";
        return ex;
    }

    // 'A' (encrypt) or 'B' with flag 0 and the code-set byte.
    Exchange cipherRequest(bool encrypt, int cipher, int codeSet, const Bytes &data)
    {
        return run(encrypt ? 'A' : 'B', cat({0, static_cast<unsigned char>(codeSet)}, data), cipher);
    }

    Generated generate(int cipher, int codeSet, int flag, const Bytes &key, int32_t confirmation)
    {
        kelvlx::Config c = cfg;
        c.cipherType = cipher;
        return reqfix::generate(c, codeSet, flag, key, confirmation);
    }

    static LibraryTrees *trees;
    static bool canHide;
    kelvlx::Config cfg;
    pwfix::TempDir tmp;
};

LibraryTrees *AesAgent::trees = nullptr;
bool AesAgent::canHide = false;

// ---- 'A' and 'B' with AES -------------------------------------------------

TEST_F(AesAgent, EncipherAndDecipherAgreeWithOpenSSL)
{
    struct Case {
        const char *name;
        char op;
        int cipher;
        int codeSet;
        std::string stored;
        size_t plainLen;   // 'A': the data sent; 'B': the plaintext whose ciphertext is sent
    } cases[] = {
        {"A 1 byte", 'A', 2, 0, "SECRET1", 1},
        {"A 15 bytes: one block", 'A', 2, 0, "SECRET1", 15},
        {"A 16 bytes: a whole padding block more", 'A', 2, 0, "SECRET1", 16},
        {"A 17 bytes", 'A', 2, 0, "SECRET1", 17},
        {"A 63 bytes", 'A', 2, 0, "SECRET1", 63},
        {"A 64 bytes: the 80-byte answer", 'A', 2, 0, "SECRET1", 64},
        {"A password of 15 bytes: folded from one block", 'A', 2, 0, "ABCDEFGHIJKLMNO", 20},
        {"A password of 16 bytes: folded from the padding block", 'A', 2, 0, "ABCDEFGHIJKLMNOP", 20},
        {"A password of 17 bytes", 'A', 2, 0, "ABCDEFGHIJKLMNOPQ", 20},
        {"A password of 63 bytes", 'A', 2, 0, std::string(63, 'Z'), 20},
        {"A password of one byte", 'A', 2, 0, "X", 20},
        {"A lower-case password is upper-cased", 'A', 2, 0, "secret1", 20},
        {"A code set 22: the key from the EBCDIC text", 'A', 2, 22, "SECRET1", 20},
        {"A code set 21 leaves the text", 'A', 2, 21, "SECRET1", 20},
        {"A best cipher", 'A', 0, 0, "SECRET1", 20},
        {"B 1 block", 'B', 2, 0, "SECRET1", 5},
        {"B 2 blocks, the second all padding", 'B', 2, 0, "SECRET1", 16},
        {"B 4 blocks", 'B', 2, 0, "SECRET1", 63},
        {"B code set 22", 'B', 2, 22, "pw-22", 30},
        {"B best cipher", 'B', 0, 0, "SECRET1", 40},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        store({pwfix::v3(0, "SRV", "N1", c.stored), pwfix::v3(0, "SRV2", "N1", "OTHER")});
        const Bytes key = aesKeyOf(c.stored, c.codeSet);
        const Bytes plain = pattern(c.plainLen, static_cast<unsigned char>(c.plainLen));
        const Bytes cipherText = aesCbc(key, plain, true);
        ASSERT_EQ((c.plainLen / 16 + 1) * 16, cipherText.size());
        Exchange ex = cipherRequest(c.op == 'A', c.cipher, c.codeSet, c.op == 'A' ? plain : cipherText);
        ASSERT_EQ(0, ex.st.exitStatus) << kelvlx::describe(ex.st);
        EXPECT_EQ(c.op == 'A' ? cipherText : plain, ex.answer);
    }
}

TEST_F(AesAgent, EdgesAndFailuresOfACipherRequest)
{
    const std::string pw = "SECRET1";
    const Bytes key = aesKeyOf(pw, 0);
    // A block that does not decipher to valid padding, chosen by the oracle.
    Bytes badPadding;
    for (unsigned char seed = 0; badPadding.empty(); ++seed) {
        bool ok = true;
        aesCbc(key, pattern(16, seed), false, &ok);
        if (!ok)
            badPadding = pattern(16, seed);
    }
    // 80 bytes of ciphertext sent at once: the agent reads the first 64 only,
    // so the padding block is missing; what that gives is the oracle's to say.
    const Bytes long80 = aesCbc(key, pattern(64, 3), true);
    bool firstOk = true;
    const Bytes first64 = aesCbc(key, Bytes(long80.begin(), long80.begin() + 64), false, &firstOk);
    // Ciphertext made under another password's key.
    bool otherOk = true;
    const Bytes other = aesCbc(aesKeyOf("OTHERPW", 0), pattern(10, 4), true);
    const Bytes underOther = aesCbc(key, other, false, &otherOk);
    const Bytes plain70 = pattern(70, 5);

    struct Case {
        const char *name;
        char op;
        const char *stored;   // null: no password stored
        Bytes data;
        int status;
        Bytes answer;
    } cases[] = {
        {"A of nothing: nothing", 'A', "SECRET1", {}, 0, {}},
        {"B of nothing: nothing", 'B', "SECRET1", {}, 0, {}},
        {"A of 70 bytes enciphers the first 64", 'A', "SECRET1", plain70, 0,
         aesCbc(key, Bytes(plain70.begin(), plain70.begin() + 64), true)},
        {"B with wrong padding", 'B', "SECRET1", badPadding, kLibraryFailure, {}},
        {"B of 15 bytes: no whole block", 'B', "SECRET1", pattern(15, 6), kLibraryFailure, {}},
        {"B of 17 bytes", 'B', "SECRET1", pattern(17, 7), kLibraryFailure, {}},
        {"B of 80 bytes reads 64", 'B', "SECRET1", long80, firstOk ? 0 : kLibraryFailure, first64},
        {"B under another password's key", 'B', "SECRET1", other, otherOk ? 0 : kLibraryFailure, underOther},
        {"A with an empty stored password: no key", 'A', "", pattern(8, 8), 109, {}},
        {"A without a stored password", 'A', nullptr, pattern(8, 9), KEL_ST_NO_PASSWORD, {}},
        {"B without a stored password", 'B', nullptr, pattern(16, 9), KEL_ST_NO_PASSWORD, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pwfix::TempDir dir;
        cfg.passwordDir = dir.path();
        if (c.stored != nullptr) {
            ASSERT_TRUE(pwfix::writeFile(dir.file(), pwfix::file({pwfix::v3(0, "SRV", "N1", c.stored)})));
        }
        Exchange ex = cipherRequest(c.op == 'A', 2, 0, c.data);
        EXPECT_EQ(c.status, ex.st.exitStatus) << kelvlx::describe(ex.st);
        EXPECT_EQ(c.status == 0 ? c.answer : Bytes{}, ex.answer) << "nothing is written on failure";
    }
}

// ---- 'C' with AES ---------------------------------------------------------

TEST_F(AesAgent, NewPasswordEncipheredWithTheCallersKey)
{
    struct Case {
        const char *name;
        int cipher;
        int codeSet;
        Bytes key;            // as sent; the agent fills it up to 16 bytes with zeros
        const char *stored;   // null: no password stored
        int32_t confirmation;
    } cases[] = {
        {"16-byte key, confirmed", 2, 0, pattern(16, 50), "OldPassword", KC_CONFIRM},
        {"5-byte key", 2, 0, pattern(5, 51), "OldPassword", KC_CONFIRM},
        {"no key bytes: the zero key", 2, 0, {}, "OldPassword", KC_CONFIRM},
        {"old password of 16 bytes", 2, 0, pattern(16, 52), "ABCDEFGHIJKLMNOP", KC_CONFIRM},
        {"code set 22", 2, 22, pattern(16, 53), "pw-22", KC_CONFIRM},
        {"no stored password: the empty text enciphers to nothing", 2, 0, pattern(16, 54), nullptr, KC_CONFIRM},
        {"best cipher", 0, 0, pattern(16, 55), "OldPassword", KC_CONFIRM},
        {"refused: the file stays", 2, 0, pattern(16, 56), "OldPassword", KC_REFUSE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        pwfix::TempDir dir;
        cfg.passwordDir = dir.path();
        const pwfix::Bytes before = c.stored != nullptr ? pwfix::file({pwfix::v3(0, "SRV", "N1", c.stored),
                                                                     pwfix::v3(0, "SRV", "N9", "KEEPME")})
                                                        : pwfix::Bytes();
        if (c.stored != nullptr) {
            ASSERT_TRUE(pwfix::writeFile(dir.file(), before));
        }
        Generated g = generate(c.cipher, c.codeSet, 1, c.key, c.confirmation);
        ASSERT_EQ(KC_OK, g.st.error) << kelvlx::describe(g.st);

        Bytes key16(16, 0);
        std::copy(c.key.begin(), c.key.end(), key16.begin());
        const Bytes oldText = serverText(c.stored != nullptr ? c.stored : "", c.codeSet);
        EXPECT_EQ(oldText.empty() ? Bytes{} : aesCbc(key16, oldText, true), g.oldPw);
        ASSERT_EQ(64u, g.newPw.size()) << "63 characters and one byte of padding";
        bool ok = false;
        const Bytes newText = aesCbc(key16, g.newPw, false, &ok);
        ASSERT_TRUE(ok);

        const pwfix::Bytes after = pwfix::readFile(dir.file());
        if (c.confirmation != KC_CONFIRM) {
            EXPECT_EQ(before, after);
            continue;
        }
        const std::string stored = storedPassword(after, "SRV", "N1");
        EXPECT_TRUE(fromAlphabet(stored)) << stored;
        EXPECT_EQ(serverText(stored, c.codeSet), newText);
        if (c.stored != nullptr) {
            EXPECT_EQ("KEEPME", storedPassword(after, "SRV", "N9"));
        }
    }
}

// ---- which cipher type 0 gives ---------------------------------------------

TEST_F(AesAgent, BestCipherIsAesWhenTheLibraryLoadsElseDes)
{
    ASSERT_TRUE(trees->otherBuildReady()) << "cannot make the other build's library from " << kBuiltLibrary;
    store({pwfix::v3(0, "SRV", "N1", "SECRET1")});
    const Bytes data = pattern(10, 60);
    const Bytes aes = aesCbc(aesKeyOf("SECRET1", 0), data, true);
    const Bytes des = desAnswer("SECRET1", data, true);
    struct Case {
        Library library;
        int cipher;
        int status;
        Bytes answer;
    } cases[] = {
        {Library::buildTree, 0, 0, aes},      {Library::buildTree, 2, 0, aes},
        {Library::buildTree, 1, 0, des},      {Library::buildTree, 3, 0, des},
        {Library::absent, 0, 0, des},         {Library::absent, 2, kNoLibrary, {}},
        {Library::absent, 1, 0, des},         {Library::otherBuild, 0, 0, des},
        {Library::otherBuild, 2, kNoLibrary, {}}, {Library::notALibrary, 0, 0, des},
        {Library::notALibrary, 2, kNoLibrary, {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(libraryName(c.library)) + ", cipher type " + std::to_string(c.cipher));
        useLibrary(c.library);
        Exchange ex = cipherRequest(true, c.cipher, 0, data);
        EXPECT_EQ(c.status, ex.st.exitStatus) << kelvlx::describe(ex.st);
        EXPECT_EQ(c.answer, ex.answer);
    }
}

// Without a library, 'C' still makes a password (from the DES side's random
// bytes) unless the caller asks for AES enciphering, which ends the request
// before anything is sent or stored.
TEST_F(AesAgent, NewPasswordWithoutTheLibrary)
{
    useLibrary(Library::absent);
    struct Case {
        const char *name;
        int cipher;
        int flag;
        int status;
    } cases[] = {
        {"AES enciphering asked for", 2, 1, kNoLibrary},
        {"text asked for", 2, 2, 0},
        {"best cipher enciphers with DES", 0, 1, 0},
    };
    const Bytes key = pattern(8, 70);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const pwfix::Bytes before = pwfix::file({pwfix::v3(0, "SRV", "N1", "OLDPW")});
        ASSERT_TRUE(pwfix::writeFile(tmp.file(), before));
        Generated g = generate(c.cipher, 0, c.flag, key, KC_CONFIRM);
        EXPECT_EQ(c.status, g.st.exitStatus) << kelvlx::describe(g.st);
        const pwfix::Bytes after = pwfix::readFile(tmp.file());
        if (c.status != 0) {
            EXPECT_TRUE(g.oldPw.empty() && g.newPw.empty()) << "nothing is sent";
            EXPECT_EQ(before, after);
            continue;
        }
        const std::string stored = storedPassword(after, "SRV", "N1");
        EXPECT_TRUE(fromAlphabet(stored)) << stored;
        Bytes key16(16, 0);
        std::copy(key.begin(), key.end(), key16.begin());
        const bool des = c.flag == 1;
        EXPECT_EQ(des ? pwfix::desChain(key16.data(), bytes("OLDPW"), true) : bytes("OLDPW"), g.oldPw);
        EXPECT_EQ(des ? pwfix::desChain(key16.data(), bytes(stored), true) : bytes(stored), g.newPw);
    }
}

// Run by an ordinary user through a set-user-id copy, the agent does not
// search the caller's LD_LIBRARY_PATH: this build's library, named there,
// is not loaded while the installation directory holds none, so type 0 is
// DES and type 2 fails.
TEST_F(AesAgent, SetUserIdRunIgnoresTheCallersLibraryPath)
{
    if (!canHide && access(kInstalledLibrary.c_str(), F_OK) == 0)
        GTEST_SKIP() << "a library is installed where a set-user-id run looks";
    const std::string copy = trees->binFile("kelvlx-setuid");
    ASSERT_TRUE(pwfix::writeFile(copy, pwfix::readFile(kAgent)));
    ASSERT_EQ(0, chmod(copy.c_str(), 04755));
    if (canHide) {
        setenv("KEL_T_AGENT", copy.c_str(), 1);
        setenv("KEL_T_AS", "setpriv --reuid=65534 --regid=65534 --clear-groups", 1);
    } else {
        cfg.agentPath = copy;
        cfg.runAsUid = 65534;
        cfg.runAsGid = 65534;
    }
    store({pwfix::v3(0, "SRV", "N1", "SECRET1")});
    useLibrary(Library::absent, Library::buildTree);
    const Bytes data = pattern(10, 80);

    Exchange best = cipherRequest(true, 0, 0, data);
    EXPECT_EQ(0, best.st.exitStatus) << kelvlx::describe(best.st);
    EXPECT_EQ(desAnswer("SECRET1", data, true), best.answer);

    Exchange aes = cipherRequest(true, 2, 0, data);
    EXPECT_EQ(kNoLibrary, aes.st.exitStatus) << kelvlx::describe(aes.st);
    EXPECT_TRUE(aes.answer.empty());

    // The same call by root reaches the library through the search path.
    setenv("KEL_T_AGENT", kAgent.c_str(), 1);
    setenv("KEL_T_AS", "", 1);
    cfg.agentPath = canHide ? trees->runner() : kAgent;
    cfg.runAsUid = static_cast<uid_t>(-1);
    cfg.runAsGid = static_cast<gid_t>(-1);
    Exchange root = cipherRequest(true, 2, 0, data);
    EXPECT_EQ(0, root.st.exitStatus) << kelvlx::describe(root.st);
    EXPECT_EQ(aesCbc(aesKeyOf("SECRET1", 0), data, true), root.answer);
}

} // namespace
