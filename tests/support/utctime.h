// Tests of local time run in UTC, so that an expected date does not depend on
// the machine's zone; and "now" is bounded by both of the system's clocks.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

namespace kelts {

// Sets TZ to UTC for each test and gives the process its own zone back after.
class UtcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char *tz = getenv("TZ"))
            savedTz_ = tz;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override
    {
        if (savedTz_)
            setenv("TZ", savedTz_->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::optional<std::string> savedTz_;
};

// time() reads the kernel's coarse clock, which may be up to a tick behind the
// precise one gettimeofday() and clock_gettime() read: a time taken between
// clockBefore() and clockAfter() lies within them whichever clock it came from.
inline long preciseSeconds()
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long>(ts.tv_sec);
}
inline long clockBefore() { return std::min(static_cast<long>(time(nullptr)), preciseSeconds()); }
inline long clockAfter() { return std::max(static_cast<long>(time(nullptr)), preciseSeconds()); }

} // namespace kelts
