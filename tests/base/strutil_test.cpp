#include "base/strutil.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

#include "base/kelmem.h"

namespace {

// The helpers follow the locale's code set; these tests use UTF-8.
class Utf8 : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char *old = setlocale(LC_ALL, nullptr);
        saved = old != nullptr ? old : "C";
        ASSERT_NE(nullptr, setlocale(LC_ALL, "C.UTF-8"));
    }
    void TearDown() override { setlocale(LC_ALL, saved.c_str()); }
    std::string saved;
};

// U+00E9, U+00FC and U+00F1: two bytes each in UTF-8.
const char kPath[] = "/h\xC3\xA9/\xC3\xBC\xC3\xB1/ZAR.PWD";

TEST(Str, NullTolerance)
{
    EXPECT_EQ(0u, StrLen(nullptr));
    EXPECT_EQ(3u, StrLen("abc"));
    EXPECT_EQ(3u, StrLenInByte("abc"));
    char dst[8] = "keep";
    EXPECT_EQ(nullptr, StrCpy(dst, nullptr));
    EXPECT_STREQ("keep", dst);
    EXPECT_EQ(dst, StrCpy(dst, "new"));
    EXPECT_STREQ("new", dst);
    EXPECT_EQ(dst, StrCat(dst, "er"));
    EXPECT_STREQ("newer", dst);
    EXPECT_EQ(dst, StrCat(dst, nullptr));
    EXPECT_STREQ("newer", dst);
    EXPECT_EQ(0, StrCmp("a", "a"));
    EXPECT_LT(StrCmp("a", "b"), 0);
    EXPECT_EQ(0, StrCmp(nullptr, nullptr));
    EXPECT_LT(StrCmp(nullptr, "a"), 0);
    EXPECT_GT(StrCmp("a", nullptr), 0);
}

TEST(Str, StrStr)
{
    const char *hay = "abcabc";
    EXPECT_EQ(hay + 1, StrStr(hay, "bc"));
    EXPECT_EQ(nullptr, StrStr(hay, "x"));
    EXPECT_EQ(nullptr, StrStr(hay, ""));
    EXPECT_EQ(nullptr, StrStr("", "a"));
    EXPECT_EQ(nullptr, StrStr(nullptr, "a"));
    EXPECT_EQ(nullptr, StrStr(hay, nullptr));
}

TEST(Str, StrDupCopiesIntoATrackedBlock)
{
    char *c = StrDup("text");
    ASSERT_NE(nullptr, c);
    EXPECT_STREQ("text", c);
    EXPECT_EQ(0, chkSnake(c, __FILE__, __LINE__));
    kelFree(c, __FILE__, __LINE__);
    char *c2 = StrDup(nullptr, "other");
    ASSERT_NE(nullptr, c2);
    EXPECT_STREQ("other", c2);
    kelFree(c2, __FILE__, __LINE__);
    wchar_t *w = StrDup(L"wide");
    ASSERT_NE(nullptr, w);
    EXPECT_STREQ(L"wide", w);
    EXPECT_EQ(0, chkSnake(w, __FILE__, __LINE__));
    kelFree(w, __FILE__, __LINE__);
    EXPECT_EQ(nullptr, StrDup(static_cast<const char *>(nullptr)));
    EXPECT_EQ(nullptr, StrDup(static_cast<const wchar_t *>(nullptr)));
}

TEST_F(Utf8, StriCmp)
{
    struct Case {
        const char *a;
        const char *b;
        int sign;
    };
    const Case cases[] = {
        {"node1", "NODE1", 0},
        {"h\xC3\xA9llo", "H\xC3\x89LLO", 0},          // U+00E9 against U+00C9
        {"\xCF\x83\xCF\x84", "\xCE\xA3\xCE\xA4", 0},   // Greek sigma tau in both cases
        {"abc", "abd", -1},
        {"abd", "ABC", 1},
        {"ab", "abc", -1},
        {"abc", "ab", 1},
        {"", "", 0},
        {"", "a", -1},
        {nullptr, nullptr, 0},
        {"a", nullptr, 1},
        {nullptr, "a", -1},
        {"", nullptr, 1},
        {"\xFF" "a", "\xFF" "A", 0},   // not UTF-8: compared byte by byte
        {"\xFF" "a", "\xFF" "b", -1},
    };
    for (const Case &c : cases) {
        int rc = StriCmp(c.a, c.b);
        int sign = rc > 0 ? 1 : (rc < 0 ? -1 : 0);
        EXPECT_EQ(c.sign, sign) << (c.a ? c.a : "null") << " / " << (c.b ? c.b : "null");
    }
    EXPECT_EQ(-1, StriCmp("ab", "abc"));
    EXPECT_EQ(1, StriCmp("abc", "ab"));
    EXPECT_EQ('A' - 'B', StriCmp("a", "b"));   // the difference of the upper-cased characters
}

TEST_F(Utf8, StrChrAndStrrChrReturnByteOffsets)
{
    EXPECT_EQ(kPath + 0, StrChr(kPath, '/'));
    EXPECT_EQ(strrchr(kPath, '/'), StrrChr(kPath, '/'));
    EXPECT_EQ(strchr(kPath, 'Z'), StrChr(kPath, 'Z'));
    int err = 0;
    EXPECT_EQ(strrchr(kPath, '/'), StrrChr(kPath, '/', &err));
    EXPECT_EQ(0, err);
    EXPECT_EQ(nullptr, StrChr(kPath, 'q'));
    EXPECT_EQ(nullptr, StrrChr("", '/'));
    EXPECT_EQ(nullptr, StrrChr(nullptr, '/'));
    EXPECT_EQ(nullptr, StrChr(kPath, 0xC3));   // a lead byte is not a character
    EXPECT_EQ(nullptr, StrChr(kPath, 0));
}

TEST_F(Utf8, InvalidTextFindsNothing)
{
    const char bad[] = "/ok/\xC3(/tail";   // a lead byte followed by ASCII
    EXPECT_EQ(nullptr, StrChr(bad, '/'));
    EXPECT_EQ(nullptr, StrrChr(bad, '/'));
    int err = 0;
    EXPECT_EQ(nullptr, StrrChr(bad, '/', &err));
    EXPECT_EQ(207, err);
    err = 0;
    EXPECT_EQ(nullptr, StrrChr("/cut\xC3", '/', &err));   // truncated character at the end
    EXPECT_EQ(207, err);
}

TEST_F(Utf8, SearchCoversOnlyTheFirstCharactersOfALongString)
{
    std::string s(STR_WIDE_MAX + 200, 'a');
    s[10] = '/';
    s[STR_WIDE_MAX - 1] = '/';    // the last character looked at
    s[STR_WIDE_MAX + 100] = '/';   // beyond it
    EXPECT_EQ(s.data() + STR_WIDE_MAX - 1, StrrChr(s.c_str(), '/'));
    s[STR_WIDE_MAX - 1] = 'a';
    EXPECT_EQ(s.data() + 10, StrrChr(s.c_str(), '/'));
    s[10] = 'a';
    EXPECT_EQ(nullptr, StrChr(s.c_str(), '/'));
    // Invalid bytes past the limit are never looked at either.
    s[STR_WIDE_MAX + 150] = '\xC3';
    s[20] = '/';
    EXPECT_EQ(s.data() + 20, StrrChr(s.c_str(), '/'));
}

TEST_F(Utf8, StrUpperInPlace)
{
    struct Case {
        const char *in;
        const char *out;   // null: does not fit, left unchanged
    };
    const Case cases[] = {
        {"secret1", "SECRET1"},
        {"", ""},
        {"h\xC3\xA9llo", "H\xC3\x89LLO"},            // same length
        {"x\xC4\xB1y", "XIY"},                        // U+0131 upper-cases to one byte: shorter
        {"a\xC9\x90", nullptr},                       // U+0250 upper-cases to three bytes
        {"\xC9\x90\xC4\xB1\xC4\xB1", "\xE2\xB1\xAFII"},  // grows first, shrinks later: fits in all
        {"ab\xFF" "cd", "ab\xFF" "cd"},              // not UTF-8: left as it is
    };
    for (const Case &c : cases) {
        std::string buf(c.in);
        size_t len = buf.size();
        buf.append(8, 'Z');   // guard bytes behind the terminator
        buf[len] = '\0';
        char *rc = StrUpper(buf.data());
        if (c.out != nullptr) {
            EXPECT_EQ(buf.data(), rc) << c.in;
            EXPECT_STREQ(c.out, buf.c_str()) << c.in;
        } else {
            EXPECT_EQ(nullptr, rc) << c.in;
            EXPECT_STREQ(c.in, buf.c_str()) << c.in;
        }
        EXPECT_EQ(std::string(7, 'Z'), buf.substr(len + 1)) << c.in;
    }
    EXPECT_EQ(nullptr, StrUpper(nullptr));
    char plain[] = "abc";
    EXPECT_STREQ("ABC", psStrUpper(plain));   // the platform layer's name for it
}

TEST_F(Utf8, StrUpperOfALongStringStopsAtTheLimit)
{
    std::string s(STR_WIDE_MAX + 50, 'a');
    std::string want = std::string(STR_WIDE_MAX, 'A') + std::string(50, 'a');
    ASSERT_EQ(s.data(), StrUpper(s.data()));
    EXPECT_EQ(want, s);
    // A shorter upper case before the limit moves the rest down.
    std::string t = "\xC4\xB1" + std::string(STR_WIDE_MAX + 10, 'b');
    ASSERT_EQ(t.data(), StrUpper(t.data()));
    EXPECT_EQ("I" + std::string(STR_WIDE_MAX - 1, 'B') + std::string(11, 'b'), std::string(t.c_str()));
}

TEST_F(Utf8, StrUpperBounded)
{
    struct Case {
        const char *in;
        size_t outSize;
        int rc;
        const char *out;
    };
    const Case cases[] = {
        {"pw", 3, 0, "PW"},
        {"pw", 2, -1, ""},
        {"a\xC9\x90", 5, 0, "A\xE2\xB1\xAF"},   // grows, and has room to
        {"a\xC9\x90", 4, -1, ""},
        {"", 1, 0, ""},
        {"ab\xFF", 4, 0, "ab\xFF"},              // not UTF-8: copied as it is
        {"ab\xFF", 3, -1, ""},
    };
    for (const Case &c : cases) {
        char out[16];
        memset(out, 'Z', sizeof out);
        EXPECT_EQ(c.rc, StrUpperBounded(c.in, out, c.outSize)) << c.in << " in " << c.outSize;
        EXPECT_STREQ(c.out, out) << c.in << " in " << c.outSize;
        for (size_t i = c.outSize; i < sizeof out; i++)
            ASSERT_EQ('Z', out[i]) << c.in << " in " << c.outSize;
    }
    char out[4];
    EXPECT_EQ(-1, StrUpperBounded(nullptr, out, sizeof out));
    EXPECT_EQ(-1, StrUpperBounded("a", nullptr, 4));
    EXPECT_EQ(-1, StrUpperBounded("a", out, 0));
}

TEST_F(Utf8, IsSBCSStr)
{
    EXPECT_EQ(1, IsSBCSStr(""));
    EXPECT_EQ(1, IsSBCSStr("plain ascii"));
    EXPECT_EQ(0, IsSBCSStr("h\xC3\xA9"));
    EXPECT_EQ(0, IsSBCSStr("\xFF"));
    EXPECT_EQ(0, IsSBCSStr(nullptr));
}

TEST(Str, IsSpaceAndIsPrintTakeTheByteUnsigned)
{
    struct Case {
        int c;
        int space;
        int print;
    };
    const Case cases[] = {
        {' ', 1, 1}, {'\t', 1, 0}, {'\n', 1, 0}, {'a', 0, 1}, {'Z', 0, 1}, {'7', 0, 1},
        {'~', 0, 1}, {0, 0, 0},    {0x7F, 0, 0}, {static_cast<char>(0xE9), 0, 0}, {-1, 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.space, IsSpace(c.c)) << c.c;
        EXPECT_EQ(c.print, IsPrint(c.c)) << c.c;
    }
}

} // namespace
