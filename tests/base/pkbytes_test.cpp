#include "base/pkbytes.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(PkBytes, FourBytesMostSignificantFirst)
{
    struct Case {
        uint32_t value;
        unsigned char bytes[4];
    };
    const Case cases[] = {
        {0x01020304u, {0x01, 0x02, 0x03, 0x04}}, {0u, {0, 0, 0, 0}},
        {0xFFFFFFFFu, {0xFF, 0xFF, 0xFF, 0xFF}}, {0x80000001u, {0x80, 0x00, 0x00, 0x01}},
        {0x000000FFu, {0x00, 0x00, 0x00, 0xFF}},
    };
    for (const Case &c : cases) {
        unsigned char buf[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        SetFour(buf + 1, c.value);   // unaligned on purpose
        EXPECT_EQ(0, memcmp(buf + 1, c.bytes, 4)) << std::hex << c.value;
        EXPECT_EQ(0xEE, buf[0]);
        EXPECT_EQ(0xEE, buf[5]);
        EXPECT_EQ(c.value, GetFour(c.bytes)) << std::hex << c.value;
    }
}

TEST(PkBytes, TwoBytesMostSignificantFirst)
{
    struct Case {
        uint16_t value;
        unsigned char bytes[2];
    };
    const Case cases[] = {{0x1234, {0x12, 0x34}}, {0, {0, 0}}, {0xFFFF, {0xFF, 0xFF}}, {0x8001, {0x80, 0x01}},
                          {0x00FF, {0x00, 0xFF}}};
    for (const Case &c : cases) {
        unsigned char buf[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        SetTwo(buf + 1, c.value);
        EXPECT_EQ(0, memcmp(buf + 1, c.bytes, 2)) << std::hex << c.value;
        EXPECT_EQ(0xEE, buf[0]);
        EXPECT_EQ(0xEE, buf[3]);
        EXPECT_EQ(c.value, GetTwo(c.bytes)) << std::hex << c.value;
    }
}

} // namespace
