// Platform time: local time with its fallback, and date and time texts in
// the formats chosen at start-up.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <ctime>

#include "diag/nlsinit.h"
#include "diag/psdate.h"
#include "tests/support/utctime.h"

namespace {

class psdateTest : public kelts::UtcTest {
protected:
    void TearDown() override
    {
        kelts::UtcTest::TearDown();
        date_fmt = time_fmt = 1;
        setDateFmt();
        setTimeFmt();
    }
};

const nfDate kDec4 = {{0x07, 0xEA}, 12, 4, 13, 5, 9};   // 2026-12-04 13:05:09

TEST_F(psdateTest, LocalTimeAndItsFallback)
{
    struct tm tm;
    long t = 86400 + 3661;
    psLocalTime(&t, tm);
    EXPECT_EQ(tm.tm_year, 70);
    EXPECT_EQ(tm.tm_mday, 2);
    EXPECT_EQ(tm.tm_hour, 1);
    EXPECT_EQ(tm.tm_min, 1);
    EXPECT_EQ(tm.tm_sec, 1);
    long huge = LONG_MAX;   // beyond what localtime_r can convert
    psLocalTime(&huge, tm);
    EXPECT_EQ(tm.tm_year, 70);
    EXPECT_EQ(tm.tm_mday, 3);   // two days after the epoch
    EXPECT_EQ(tm.tm_hour, 0);
}

TEST_F(psdateTest, TimeOfDay)
{
    long s = 0, us = -1;
    long before = kelts::clockBefore();
    psGetTimeOfDay(&s, &us);
    long after = kelts::clockAfter();
    EXPECT_GE(s, before);
    EXPECT_LE(s, after);
    EXPECT_GE(us, 0);
    EXPECT_LT(us, 1000000);
}

TEST_F(psdateTest, TextsInEveryFixedFormat)
{
    struct {
        unsigned dateFmt, timeFmt;
        const char *date, *time;
    } rows[] = {
        {1, 1, "12/04/2026", "13:05:09"}, {2, 2, "04-12-2026", "13,05,09"}, {3, 3, "2026-12-04", "13.05.09"},
        {4, 4, "04.12.2026", "01:05:09PM"}, {5, 1, "2026.12.04", "13:05:09"}, {6, 1, "2026/12/04", "13:05:09"},
        {7, 1, "04/12/2026", "13:05:09"},
    };
    for (auto r : rows) {
        date_fmt = r.dateFmt;
        time_fmt = r.timeFmt;
        setDateFmt();
        setTimeFmt();
        char d[DATE_TEXT_SIZE], t[DATE_TEXT_SIZE];
        memset(d, '#', sizeof d);
        memset(t, '#', sizeof t);
        psDateFormat(&kDec4, d, t);
        EXPECT_STREQ(d, r.date) << r.dateFmt;
        EXPECT_STREQ(t, r.time) << r.timeFmt;
    }
}

TEST_F(psdateTest, ShortDatesArePaddedAndOverlongOnesEmpty)
{
    char d[DATE_TEXT_SIZE], t[DATE_TEXT_SIZE];
    snprintf(date_fmt_str, sizeof date_fmt_str, "%s", "%d.%m.%y");
    psDateFormat(&kDec4, d, nullptr);
    EXPECT_STREQ(d, "04.12.26  ");
    snprintf(date_fmt_str, sizeof date_fmt_str, "%s", "%Y%Y%Y%Y");   // 16 characters: does not fit
    snprintf(time_fmt_str, sizeof time_fmt_str, "%s", "%c");   // 24 characters
    memset(d, '#', sizeof d);
    memset(t, '#', sizeof t);
    psDateFormat(&kDec4, d, t);
    EXPECT_STREQ(d, "");
    EXPECT_STREQ(t, "");
    psDateFormat(&kDec4, nullptr, nullptr);   // both texts are optional
}

}  // namespace
