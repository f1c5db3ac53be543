// Platform time routines.
#include "diag/psdate.h"

#include <cstring>
#include <sys/time.h>

#include "diag/dateutil.h"
#include "diag/nlsinit.h"

void psGetTimeOfDay(long *seconds, long *microseconds)
{
    struct timeval tv = {};
    gettimeofday(&tv, nullptr);   // cannot fail with a valid pointer and no time zone
    if (seconds != nullptr)
        *seconds = tv.tv_sec;
    if (microseconds != nullptr)
        *microseconds = tv.tv_usec;
}

void psLocalTime(const long *t, struct tm &out)
{
    time_t when = t != nullptr ? static_cast<time_t>(*t) : 0;
    if (t != nullptr && localtime_r(&when, &out) != nullptr)
        return;
    when = 172800;
    if (localtime_r(&when, &out) == nullptr)
        memset(&out, 0, sizeof out);
}

void psDateFormat(const nfDate *d, char *dateText, char *timeText)
{
    struct tm tm = dateNFDate2Tm(d);
    if (dateText != nullptr) {
        size_t n = strftime(dateText, DATE_TEXT_SIZE, date_fmt_str, &tm);
        if (n == 0) {
            dateText[0] = '\0';   // nothing produced: no padding either
        } else if (n <= 8) {
            // Short dates (two-digit years) line up with the ten-character forms.
            memcpy(dateText + n, "  ", 3);
        }
    }
    if (timeText != nullptr && strftime(timeText, DATE_TEXT_SIZE, time_fmt_str, &tm) == 0)
        timeText[0] = '\0';
}
