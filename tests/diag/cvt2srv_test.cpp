// Server code-set conversion: the EBCDIC table against the system's own
// CP1047 converter for printable ASCII, and the rules around it.
#include "diag/cvt2srv.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <cstring>
#include <vector>

namespace {

std::vector<unsigned char> convert(int codeSet, std::vector<unsigned char> in)
{
    Cvt2ServerCS(codeSet, in.data(), in.size());
    return in;
}

TEST(Cvt2ServerCS, PrintableAsciiMatchesSystemEbcdicConverter)
{
    iconv_t cd = iconv_open("CP1047", "ISO-8859-1");
    ASSERT_NE(cd, (iconv_t)-1) << "glibc's CP1047 converter is needed as the reference";
    std::vector<unsigned char> in;
    for (int c = 0x20; c < 0x7F; ++c)
        in.push_back(static_cast<unsigned char>(c));
    std::vector<unsigned char> ref(in.size());
    char *ip = reinterpret_cast<char *>(in.data());
    char *op = reinterpret_cast<char *>(ref.data());
    size_t il = in.size(), ol = ref.size();
    ASSERT_NE(iconv(cd, &ip, &il, &op, &ol), (size_t)-1);
    iconv_close(cd);
    EXPECT_EQ(convert(CVT_CS_EBCDIC, in), ref);
}

TEST(Cvt2ServerCS, Rules)
{
    struct Case {
        const char *name;
        int codeSet;
        std::vector<unsigned char> in, out;
    } cases[] = {
        {"letter A and digit 0", 22, {0x41, 0x30}, {0xC1, 0xF0}},
        {"0x18 and 0x19 kept", 22, {0x18, 0x19, 0x41}, {0x18, 0x19, 0xC1}},
        {"0 byte inside converted", 22, {0x41, 0x00, 0x42}, {0xC1, 0x00, 0xC2}},
        {"high bytes through the table", 22, {0x80, 0xFF, 0x0A}, {0x43, 0xFF, 0x15}},
        {"code set 21 unchanged", 21, {0x41, 0x30, 0x80}, {0x41, 0x30, 0x80}},
        {"code set 0 unchanged", 0, {0x41, 0x30}, {0x41, 0x30}},
        {"empty", 22, {}, {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(convert(c.codeSet, c.in), c.out) << c.name;
}

TEST(Cvt2ServerCS, ConvertsOnlyTheGivenLength)
{
    unsigned char buf[4] = {0x41, 0x42, 0x43, 0x44};
    Cvt2ServerCS(CVT_CS_EBCDIC, buf, 2);
    const unsigned char want[4] = {0xC1, 0xC2, 0x43, 0x44};
    EXPECT_EQ(0, memcmp(buf, want, 4));
    Cvt2ServerCS(CVT_CS_EBCDIC, nullptr, 4);   // tolerated
}

} // namespace
