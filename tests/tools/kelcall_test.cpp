// kelcall against the built agent, as a person runs it; expected answers from
// OpenSSL's DES and files laid out byte by byte.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/pwfixture.h"
#include "tests/tools/toolrun.h"

namespace {

const std::string kKelcall = KEL_BINARY_DIR "/tools/kelcall";
// The build tree's agent and catalogs: the tool's defaults are the installed ones.
const std::string kThisBuild = " --agent " KEL_BINARY_DIR "/kelvlx --catalogs " KEL_BINARY_DIR "/catalogs";

class Kelcall : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "the agent serves requests only as root";
        ASSERT_TRUE(pwfix::writeFile(tmp.file(), pwfix::file({pwfix::v3(0, "SRV", "N1", "Secret7"),
                                                              pwfix::v3(1, "SRV", "N1", "DATAKEY")})));
    }
    ToolRun call(const std::string &args, const std::string &input = "")
    {
        return run(tmp, kKelcall + kThisBuild + " --dir " + tmp.path() + " --node N1 --server SRV --cipher des " + args,
                   input);
    }
    pwfix::TempDir tmp;
};

TEST_F(Kelcall, EncipherDecipherAndKeys)
{
    const pwfix::Bytes data = "\x01\x23\x45\x67\x89\xAB\xCD\xEF\x10\x32\x54";
    auto key = pwfix::desFoldKey(pwfix::Bytes("SECRET7"));
    const pwfix::Bytes cipherText = pwfix::desChain(key.data(), data, true);

    ToolRun r = call("encipher " + hex(data));
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(hex(cipherText) + "\n", r.out);
    r = call("decipher '" + hex(cipherText).substr(0, 6) + " " + hex(cipherText).substr(6) + "'");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(hex(data) + "\n", r.out);
    r = call("encipher ''");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("\n", r.out);

    r = call("keys");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("current key: DATAKEY\nsaved key 1: (none)\nsaved key 2: (none)\n", r.out);
}

TEST_F(Kelcall, GenerateConfirmedOrRefused)
{
    const pwfix::Bytes before = pwfix::readFile(tmp.file());
    ToolRun r = call("generate");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("old password: SECRET7\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("the old one is kept"));
    EXPECT_EQ(before, pwfix::readFile(tmp.file()));

    // The key comes from a descriptor, here 3, as hex text.
    ASSERT_TRUE(pwfix::writeFile(tmp.file("key"), "00 11 22 33 44 55 66 77\n"));
    r = call("generate --confirm --key-fd 3 3<" + tmp.file("key"));
    ASSERT_EQ(0, r.status) << r.err;
    const pwfix::Bytes callerKey("\x00\x11\x22\x33\x44\x55\x66\x77", 8);
    const std::string oldSent = hex(pwfix::desChain(callerKey.data(), pwfix::Bytes("SECRET7"), true));
    EXPECT_NE(std::string::npos, r.out.find("old password: " + oldSent + " (enciphered, hex)")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("The new password is stored."));
    EXPECT_NE(before, pwfix::readFile(tmp.file()));
    // The old password is gone: enciphering now uses another key.
    r = call("encipher 0011");
    ASSERT_EQ(0, r.status) << r.err;
    auto oldKey = pwfix::desFoldKey(pwfix::Bytes("SECRET7"));
    EXPECT_NE(hex(pwfix::desChain(oldKey.data(), pwfix::Bytes("\x00\x11", 2), true)) + "\n", r.out);

    // Standard input works as well (descriptor 0); the key text is never echoed.
    r = call("generate --key-fd 0", "0011223344556677\n");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find(" (enciphered, hex)")) << r.out;
    EXPECT_EQ(std::string::npos, (r.out + r.err).find("0011223344556677"));
}

// A confirmed generate whose agent ends without a status, through a stand-in
// agent: kelcall reports what the caller's library settled, or that the
// outcome is unknown, never a failure.
TEST_F(Kelcall, AnEndWithoutStatusIsSettledOrUnknown)
{
    const std::string line =
        kKelcall + " --agent " KC_FAKE_AGENT " --dir " + tmp.path() + " --node generate generate --confirm --server ";
    unlink(tmp.file().c_str());   // the stand-in keeps its stored password there
    ToolRun r = run(tmp, line + "always-die");
    EXPECT_EQ(3, r.status);
    EXPECT_NE(std::string::npos, r.err.find("kelcall: unknown: check with 'kelcall --node generate --server "
                                            "always-die generate' (without --confirm)"))
        << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("failed")) << r.err;

    r = run(tmp, line + "store-die");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("The new password is stored.\n(")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("showed that the new password is stored")) << r.out;
}

TEST_F(Kelcall, FailuresAreSentences)
{
    struct Case {
        const char *args, *input;
        int status;
        const char *phrase;
    } cases[] = {
        {"encipher zz", "", 2, "hex digits, at most 64 bytes"},
        {"encipher " /* 65 bytes */
         "0000000000000000000000000000000000000000000000000000000000000000"
         "0000000000000000000000000000000000000000000000000000000000000000"
         "00",
         "", 2, "at most 64 bytes"},
        {"generate --key-fd 0", "001122334455667788990011223344556677\n", 2, "the key must be hex digits, at most 16 bytes"},
        {"generate --key-fd 0", "00112g\n", 2, "the key must be hex digits, at most 16 bytes"},
        {"generate --key-fd 0", "001\n", 2, "the key must be hex digits, at most 16 bytes"},
        {"generate --key-fd 9", "", 2, "the key could not be read from descriptor 9: Bad file descriptor"},
        {"generate --key-fd x", "", 2, "--key-fd takes a descriptor number"},
        {"generate --key 0011223344556677", "", 2, "--key is not accepted: a key on the command line can be read"},
        {"--codeset 300 keys", "", 2, "--codeset takes a number"},
        {"--cipher rot13 keys", "", 2, "--cipher takes best, des, aes or a number"},
        {"keys --node", "", 2, "option '--node' needs a value"},
        {"--bogus keys", "", 2, "unknown option '--bogus'"},
        {"frobnicate", "", 2, "unknown request 'frobnicate'"},
        {"keys --server NOSUCH", "", 1,
         "fetching the keys failed: the agent ended with exit status 168: no usable password or key is stored"},
        {"encipher 00 --build-stamp ' Mon Jan 01 00:00:00 2001'", "", 1, "exit status 138: the agent refused the caller"},
        // The agent's own lines come with the sentence: both stamps.
        {"encipher 00 --build-stamp ' Mon Jan 01 00:00:00 2001'", "", 1,
         "the agent wrote: Error : calling program and kelvlx are not compatible / calling program build date :  "
         "Mon Jan 01 00:00:00 2001 / VLX build date             : " KEL_BUILD_STAMP},
        {"--cipher 3 keys", "", 2, "--cipher takes best, des, aes or a number 0 to 2"},
        {"--node n1 keys", "", 1, "the node (KC_CFG_NODE) has lower-case letters"},
        {"encipher 00 --agent /nonexistent/kelvlx", "", 1, "the agent could not be started (No such file or directory)"},
        // A file the caller may not execute stands for an agent outside the caller's groups.
        {"encipher 00 --agent /etc/passwd", "", 1,
         "the agent could not be started (Permission denied); only members of the group kelvlx may call the agent, "
         "and a user just added to that group must log in again"},
    };
    for (const auto &c : cases) {
        ToolRun r = call(c.args, c.input);
        EXPECT_EQ(c.status, r.status) << c.args;
        EXPECT_NE(std::string::npos, r.err.find(c.phrase)) << c.args << ": " << r.err;
        EXPECT_EQ(c.status == 2, r.err.find("Try 'kelcall --help'") != std::string::npos) << c.args;
        EXPECT_TRUE(r.out.empty()) << c.args;
    }
    ToolRun r = run(tmp, kKelcall + " keys");
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("--node and --server are needed"));
}

// Both tools: the version with the agent build stamp they were built with,
// and the usage, on standard output with status 0.
TEST(InstalledTools, VersionAndHelp)
{
    pwfix::TempDir tmp;
    struct Case {
        const char *tool, *helpPhrase;
    } cases[] = {
        {"keladm", "(default " KEL_PASSWORD_DIR ")"},
        {"kelcall", "--key-fd N"},
    };
    for (const auto &c : cases) {
        const std::string path = std::string(KEL_BINARY_DIR "/tools/") + c.tool;
        ToolRun r = run(tmp, path + " --version");
        EXPECT_EQ(0, r.status) << c.tool;
        EXPECT_EQ(std::string(c.tool) + " (kelvlx) " KEL_VERSION "\nagent build stamp \"" KEL_BUILD_STAMP "\"\n", r.out);
        for (const char *opt : {" --help", " -h"}) {
            r = run(tmp, path + opt);
            EXPECT_EQ(0, r.status) << c.tool << opt;
            EXPECT_EQ(0u, r.out.find(std::string("usage: ") + c.tool)) << r.out;
            EXPECT_NE(std::string::npos, r.out.find(c.helpPhrase)) << r.out;
        }
    }
}

// What is installed names installed things only: no tool holds a path of
// the build tree (debug information, which names the sources, aside).
TEST(InstalledTools, NameNoBuildTreePath)
{
#ifdef KEL_SANITIZE_BUILD
    GTEST_SKIP() << "a sanitizer build is not installed, and its instrumentation names the generated sources";
#endif
    pwfix::TempDir tmp;
    for (const char *tool : {"tools/kelcall", "tools/keladm"}) {
        const std::string copy = tmp.file("stripped");
        ASSERT_EQ(0, system(("objcopy --strip-debug " KEL_BINARY_DIR "/" + std::string(tool) + " " + copy).c_str()));
        const std::string image = pwfix::readFile(copy);
        ASSERT_FALSE(image.empty()) << tool;
        EXPECT_EQ(std::string::npos, image.find(KEL_BINARY_DIR)) << tool;
        EXPECT_NE(std::string::npos, image.find(KEL_PASSWORD_DIR)) << tool;
    }
}

} // namespace
