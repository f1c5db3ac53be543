// The password generator: length, alphabet, the test switch and a failing random source.
#include "store/pswdf.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>

#include "base/testflags.h"
#include "crypto/descrypt.h"

namespace {

const std::string ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-+&";

class pswdf : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedLen = TEST_MINPWLENGTH;
        savedNoAes = TEST_NO_AES;
    }
    void TearDown() override
    {
        TEST_MINPWLENGTH = savedLen;
        TEST_NO_AES = savedNoAes;
        desSetRandomSource(nullptr);
    }
    testFlag_t savedLen{}, savedNoAes{};
};

void expectPassword(const char *out, size_t len)
{
    ASSERT_EQ(strlen(out), len);
    for (size_t i = 0; i < len; i++)
        EXPECT_NE(ALPHABET.find(out[i]), std::string::npos) << "character " << i;
}

TEST_F(pswdf, SixtyThreeCharactersOfTheAlphabet)
{
    EXPECT_EQ(std::string(PSWDF_ALPHABET), ALPHABET);
    for (bool desOnly : {false, true}) {
        SCOPED_TRACE(desOnly ? "DES only" : "best cipher");
        TEST_NO_AES.set = desOnly ? 1 : 0;
        char out[PSWDF_BUF_SIZE + 1];
        memset(out, 'x', sizeof out);
        ASSERT_EQ(pswdFGeneratePswd(out), 0);
        expectPassword(out, 63);
        EXPECT_EQ(out[64], 'x') << "wrote past the 64-byte buffer";
        char again[PSWDF_BUF_SIZE];
        ASSERT_EQ(pswdFGeneratePswd(again), 0);
        EXPECT_STRNE(out, again);
    }
}

TEST_F(pswdf, EveryCharacterOfTheAlphabetOccurs)
{
    std::set<char> seen;
    for (int i = 0; i < 40 && seen.size() < ALPHABET.size(); i++) {
        char out[PSWDF_BUF_SIZE];
        ASSERT_EQ(pswdFGeneratePswd(out), 0);
        seen.insert(out, out + 63);
    }
    EXPECT_EQ(seen.size(), ALPHABET.size());
}

TEST_F(pswdf, TestSwitchSetsTheLengthWithinItsRange)
{
    struct Row {
        char set;
        int32_t value;
        size_t len;
    } rows[] = {{0, 8, 63}, {1, 8, 8}, {1, 20, 20}, {1, 63, 63}, {1, 7, 63}, {1, 64, 63}, {1, -1, 63}};
    for (const Row &r : rows) {
        SCOPED_TRACE(std::to_string(r.set) + "/" + std::to_string(r.value));
        TEST_MINPWLENGTH.set = r.set;
        TEST_MINPWLENGTH.value = r.value;
        char out[PSWDF_BUF_SIZE];
        ASSERT_EQ(pswdFGeneratePswd(out), 0);
        expectPassword(out, r.len);
    }
}

ssize_t failingSource(void *, size_t, unsigned int)
{
    errno = EIO;
    return -1;
}

TEST_F(pswdf, FailingRandomSourceWritesNothing)
{
    TEST_NO_AES.set = 1;
    desSetRandomSource(failingSource);
    char out[PSWDF_BUF_SIZE] = "untouched";
    EXPECT_NE(pswdFGeneratePswd(out), 0);
    EXPECT_STREQ(out, "untouched");
}

} // namespace
