// kelcall against the built agent, as a person runs it; expected answers from
// OpenSSL's DES and files laid out byte by byte.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "tests/common/vlx/pwlayout.h"
#include "tests/tools/toolrun.h"

namespace {

const std::string kKelcall = KEL_BINARY_DIR "/tools/kelcall";

std::string hex(const pwl::Bytes &b)
{
    std::string s;
    char buf[3];
    for (unsigned char c : b) {
        snprintf(buf, sizeof buf, "%02x", c);
        s += buf;
    }
    return s;
}

class Kelcall : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "the agent serves requests only as root";
        ASSERT_TRUE(pwl::writeFile(tmp.file(), pwl::file({pwl::v3Record(0, "SRV", "N1", "Secret7"),
                                                          pwl::v3Record(1, "SRV", "N1", "DATAKEY")})));
    }
    ToolRun call(const std::string &args)
    {
        return run(tmp, kKelcall + " --dir " + tmp.path() + " --node N1 --server SRV --cipher des " + args);
    }
    pwl::TempDir tmp;
};

TEST_F(Kelcall, EncipherDecipherAndKeys)
{
    const pwl::Bytes data = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF, 0x10, 0x32, 0x54};
    auto key = pwl::desFoldKey(pwl::bytes("SECRET7"));
    const pwl::Bytes cipherText = pwl::desChain(key.data(), data, true);

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
    const pwl::Bytes before = pwl::readFile(tmp.file());
    ToolRun r = call("generate");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("old password: SECRET7\n")) << r.out;
    EXPECT_NE(std::string::npos, r.out.find("the old one is kept"));
    EXPECT_EQ(before, pwl::readFile(tmp.file()));

    r = call("generate --confirm --key 0011223344556677");
    ASSERT_EQ(0, r.status) << r.err;
    const pwl::Bytes callerKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    EXPECT_NE(std::string::npos,
              r.out.find("old password: " + hex(pwl::desChain(callerKey.data(), pwl::bytes("SECRET7"), true)) +
                         " (enciphered, hex)"))
        << r.out;
    EXPECT_NE(std::string::npos, r.out.find("The new password is stored."));
    EXPECT_NE(before, pwl::readFile(tmp.file()));
    // The old password is gone: enciphering now uses another key.
    r = call("encipher 0011");
    ASSERT_EQ(0, r.status) << r.err;
    auto oldKey = pwl::desFoldKey(pwl::bytes("SECRET7"));
    EXPECT_NE(hex(pwl::desChain(oldKey.data(), {0x00, 0x11}, true)) + "\n", r.out);
}

TEST_F(Kelcall, FailuresAreSentences)
{
    struct Case {
        const char *args;
        int status;
        const char *phrase;
    } cases[] = {
        {"encipher zz", 2, "hex digits, at most 64 bytes"},
        {"encipher " /* 65 bytes */
         "0000000000000000000000000000000000000000000000000000000000000000"
         "0000000000000000000000000000000000000000000000000000000000000000"
         "00",
         2, "at most 64 bytes"},
        {"generate --key 001122334455667788990011223344556677", 2, "at most 16 bytes"},
        {"--codeset 300 keys", 2, "--codeset takes a number"},
        {"frobnicate", 2, "unknown request"},
        {"keys --server NOSUCH", 1,
         "fetching the keys failed: the agent ended with exit status 168: no usable password or key is stored"},
        {"encipher 00 --build-stamp ' Mon Jan 01 00:00:00 2001'", 1, "exit status 138: the agent refused the caller"},
        {"encipher 00 --agent /nonexistent/kelvlx", 1, "the agent could not be started (No such file or directory)"},
    };
    for (const auto &c : cases) {
        ToolRun r = call(c.args);
        EXPECT_EQ(c.status, r.status) << c.args;
        EXPECT_NE(std::string::npos, r.err.find(c.phrase)) << c.args << ": " << r.err;
        EXPECT_TRUE(r.out.empty()) << c.args;
    }
    ToolRun r = run(tmp, kKelcall + " keys");
    EXPECT_EQ(2, r.status);
    EXPECT_NE(std::string::npos, r.err.find("--node and --server are needed"));
}

} // namespace
