// Packed date records: conversion both ways and the current local time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "diag/dateutil.h"
#include "tests/support/utctime.h"

namespace {

class dateutilTest : public kelts::UtcTest {};

TEST_F(dateutilTest, RecordLayoutIsByteForByte)
{
    struct tm tm = {};
    tm.tm_year = 2011 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 31;
    tm.tm_hour = 23;
    tm.tm_min = 59;
    tm.tm_sec = 60;   // a leap second fits
    nfDate d;
    dateConvert(&tm, &d);
    const unsigned char want[7] = {0x07, 0xDB, 12, 31, 23, 59, 60};
    EXPECT_EQ(memcmp(&d, want, 7), 0);
}

TEST_F(dateutilTest, RecordToBrokenDownTime)
{
    const nfDate d = {{0x07, 0xEA}, 12, 4, 13, 5, 9};   // 2026-12-04 13:05:09
    struct tm tm = dateNFDate2Tm(&d);
    EXPECT_EQ(tm.tm_year, 126);
    EXPECT_EQ(tm.tm_mon, 11);
    EXPECT_EQ(tm.tm_mday, 4);
    EXPECT_EQ(tm.tm_hour, 13);
    EXPECT_EQ(tm.tm_min, 5);
    EXPECT_EQ(tm.tm_sec, 9);
    EXPECT_EQ(tm.tm_isdst, 1);
    EXPECT_EQ(tm.tm_wday, 0);
    EXPECT_EQ(tm.tm_yday, 0);
    nfDate back;
    dateConvert(&tm, &back);
    EXPECT_EQ(memcmp(&back, &d, sizeof d), 0);
}

// The record of "now" lies between the local times taken just before and after.
TEST_F(dateutilTest, CurrentLocalTime)
{
    auto asSeconds = [](const nfDate &d) {
        struct tm tm = dateNFDate2Tm(&d);
        tm.tm_isdst = 0;
        return static_cast<long>(timegm(&tm));
    };
    long before = kelts::clockBefore();
    nfDate a, b;
    long usec = -1;
    dateLocal(&a);
    GetTimeOfDay(&b, &usec);
    long after = kelts::clockAfter();
    EXPECT_GE(asSeconds(a), before);
    EXPECT_LE(asSeconds(a), after);
    EXPECT_GE(asSeconds(b), before);
    EXPECT_LE(asSeconds(b), after);
    EXPECT_GE(usec, 0);
    EXPECT_LT(usec, 1000000);
}

}  // namespace
