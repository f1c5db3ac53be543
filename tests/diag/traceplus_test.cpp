#include "diag/traceplus.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cctype>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string bytesOf(std::initializer_list<int> v)
{
    std::string s;
    for (int b : v)
        s.push_back(static_cast<char>(b));
    return s;
}

// The locale's character classes decide printability and single-byte text.
class LocaleGuard {
public:
    explicit LocaleGuard(const char *name)
    {
        const char *old = setlocale(LC_CTYPE, nullptr);
        saved_ = old != nullptr ? old : "C";
        ok_ = setlocale(LC_CTYPE, name) != nullptr;
    }
    ~LocaleGuard() { setlocale(LC_CTYPE, saved_.c_str()); }
    bool ok() const { return ok_; }

private:
    std::string saved_;
    bool ok_;
};

struct DumpCase {
    const char *name;
    std::string bytes;
    int form;
    const char *expected;
};

std::string render(const std::string &bytes, int form)
{
    std::vector<char> buf(PrintStrSize(bytes.size(), form) + 1, 'Z');
    int n = PrintStrToBuf(buf.data(), buf.size(), bytes.data(), bytes.size(), form);
    EXPECT_EQ(n, (int)strlen(buf.data()));
    return buf.data();
}

TEST(PrintStr, FormsRenderEachByte)
{
    LocaleGuard c("C");
    const DumpCase cases[] = {
        {"ebcdic letters", "\xC8\xC5\xD3\xD3\xD6", PS_EBCDIC, "HELLO"},
        {"ebcdic digits and blank", "\xF1\x40\xF9", PS_EBCDIC, "1 9"},
        {"ebcdic control is a dot", bytesOf({0x00, 0x25, 0xC1}), PS_EBCDIC, "..A"},
        {"char printable", "ab C~", PS_CHAR, "ab C~"},
        {"char control and high", bytesOf({'a', 0x01, 0x7F, 0xE9, 'z'}), PS_CHAR, "a...z"},
        {"hex", bytesOf({0x00, 0x0F, 0xA5, 0xFF}), PS_HEX, "000FA5FF"},
        {"hexdump 4 bytes has no blank", bytesOf({1, 2, 3, 4}), PS_HEXDUMP, "01020304"},
        {"hexdump 5 bytes one blank", bytesOf({0, 1, 2, 3, 4}), PS_HEXDUMP, "00010203 04"},
        {"hexdump 9 bytes two blanks", bytesOf({0, 1, 2, 3, 4, 5, 6, 7, 8}), PS_HEXDUMP, "00010203 04050607 08"},
        {"text single-byte", "A.b", PS_TEXT, "A.b"},
        {"unknown form prints chars", "q\x02", 9, "q."},
    };
    for (const auto &c : cases)
        EXPECT_EQ(render(c.bytes, c.form), c.expected) << c.name;
}

TEST(PrintStr, HexDumpBreaksLineAfterEighthBlank)
{
    std::string bytes;
    for (int i = 0; i < 33; i++)
        bytes.push_back(static_cast<char>(i));
    // Written out: a blank before bytes 4, 8, ..., 32, and a newline behind the eighth blank.
    const char *expected = "00010203 04050607 08090A0B 0C0D0E0F 10111213 14151617 18191A1B 1C1D1E1F \n20";
    EXPECT_EQ(render(bytes, PS_HEXDUMP), expected);
    EXPECT_EQ(PrintStrSize(33, PS_HEXDUMP), strlen(expected));
}

TEST(PrintStr, TextFormWithMultibyteCharactersFallsBackToHex)
{
    LocaleGuard utf8("C.UTF-8");
    ASSERT_TRUE(utf8.ok());
    EXPECT_EQ(render("a\xC3\xA9", PS_TEXT), "61C3A9");
    EXPECT_EQ(render("plain", PS_TEXT), "plain");
}

TEST(PrintStr, EbcdicTableMatchesIconvCodePage037)
{
    iconv_t cd = iconv_open("ISO-8859-1", "CP037");
    if (cd == (iconv_t)-1)
        GTEST_SKIP() << "no CP037 converter";
    for (int b = 0; b < 256; b++) {
        char in = static_cast<char>(b), out = 0;
        char *ip = &in, *op = &out;
        size_t il = 1, ol = 1;
        ASSERT_NE(iconv(cd, &ip, &il, &op, &ol), (size_t)-1) << b;
        EXPECT_EQ(ebcdicToAscii[b], static_cast<unsigned char>(out)) << "byte " << b;
    }
    iconv_close(cd);
}

TEST(PrintStr, BufferIsNeverOverrun)
{
    const std::string bytes(40, '\x11');
    for (size_t size : {1u, 2u, 3u, 10u, 11u}) {
        std::vector<char> buf(size + 8, '#');
        int n = PrintStrToBuf(buf.data(), size, bytes.data(), bytes.size(), PS_HEXDUMP);
        EXPECT_LT((size_t)n, size) << size;
        EXPECT_EQ(strlen(buf.data()), (size_t)n) << size;
        for (size_t i = size; i < buf.size(); i++)
            EXPECT_EQ(buf[i], '#') << "size " << size << " byte " << i;
    }
    EXPECT_EQ(PrintStrToBuf(nullptr, 10, "x", 1, PS_HEX), -1);
}

TEST(PrintStr, StreamGetsTheSameAsBuffer)
{
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    const std::string bytes = bytesOf({0xDE, 0xAD, 0xBE, 0xEF, 0x01, 0x02});
    EXPECT_EQ(PrintStr(f, bytes.data(), bytes.size(), PS_HEXDUMP), 13);
    rewind(f);
    char got[64] = {};
    ASSERT_NE(fgets(got, sizeof got, f), nullptr);
    EXPECT_STREQ(got, "DEADBEEF 0102");
    fclose(f);
    EXPECT_EQ(PrintStr(nullptr, "x", 1, PS_CHAR), -1);
}

struct TokenCase {
    const char *name;
    std::string input;
    int rc;
    std::string token;
    std::string rest;
};

TEST(GetQuotedToken, Results)
{
    const std::string longest(QTOKEN_MAX, 'a');
    const std::string tooLong(QTOKEN_MAX + 1, 'a');
    const TokenCase cases[] = {
        {"blank-delimited", "  abc def", 0, "abc", "def"},
        {"last token", "abc", 0, "abc", ""},
        {"empty text", "   ", 0, "", ""},
        {"double quoted with blank", "\"a b\" c", 0, "a b", "c"},
        {"single quoted at end", "'x y'", 0, "x y", ""},
        {"quote glued to text", "\"abc\"d", 177, "", ""},
        {"unterminated quote", "\"abc", 177, "", ""},
        {"value quoted after equals", "opt=\"a b\" next", 0, "opt=\"a b\"", "next"},
        {"value quote glued to text", "opt=\"a b\"x", 177, "", ""},
        {"value quote unterminated", "opt='a b", 177, "", ""},
        {"inner quote is ordinary", "ab\"c d", 0, "ab\"c", "d"},
        {"quote as last character", "abc\"", 177, "", ""},
        {"longest token", longest + " z", 0, longest, "z"},
        {"token too long", tooLong, 937, "", ""},
        {"quoted token too long", "\"" + tooLong + "\"", 937, "", ""},
    };
    for (const auto &c : cases) {
        std::vector<char> out(QTOKEN_MAX + 1, 'X');
        const char *cursor = c.input.c_str();
        int rc = GetQuotedToken(&cursor, out.data(), out.size());
        EXPECT_EQ(rc, c.rc) << c.name;
        if (rc == 0) {
            EXPECT_EQ(std::string(out.data()), c.token) << c.name;
            EXPECT_EQ(std::string(cursor), c.rest) << c.name;
        } else {
            EXPECT_EQ(cursor, c.input.c_str()) << c.name << ": cursor moved on failure";
        }
    }
}

TEST(GetQuotedToken, OutputSizeAndArguments)
{
    char small[4];
    const char *cursor = "abcd";
    EXPECT_EQ(GetQuotedToken(&cursor, small, sizeof small), 937);
    cursor = "abc";
    EXPECT_EQ(GetQuotedToken(&cursor, small, sizeof small), 0);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(GetQuotedToken(static_cast<const char **>(nullptr), small), 109);
    const char *nullText = nullptr;
    EXPECT_EQ(GetQuotedToken(&nullText, small), 109);
}

TEST(GetQuotedToken, MultibyteBlankIsNotADelimiterByte)
{
    LocaleGuard utf8("C.UTF-8");
    ASSERT_TRUE(utf8.ok());
    // U+00A0 is two bytes; neither byte alone is white space.
    const char *cursor = "\xC2\xA0x y";
    char out[QTOKEN_MAX + 1];
    ASSERT_EQ(GetQuotedToken(&cursor, out), 0);
    EXPECT_STREQ(out, "\xC2\xA0x");
    EXPECT_STREQ(cursor, "y");
}

} // namespace
