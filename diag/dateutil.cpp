// Packed date records.
#include "diag/dateutil.h"

#include <cstring>

#include "base/pkbytes.h"

void dateConvert(const struct tm *tm, nfDate *d)
{
    SetTwo(d->year, static_cast<uint16_t>(tm->tm_year + 1900));
    d->mon = static_cast<uint8_t>(tm->tm_mon + 1);
    d->day = static_cast<uint8_t>(tm->tm_mday);
    d->hour = static_cast<uint8_t>(tm->tm_hour);
    d->min = static_cast<uint8_t>(tm->tm_min);
    d->sec = static_cast<uint8_t>(tm->tm_sec);
}

struct tm dateNFDate2Tm(const nfDate *d)
{
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_sec = d->sec;
    tm.tm_min = d->min;
    tm.tm_hour = d->hour;
    tm.tm_mday = d->day;
    tm.tm_mon = d->mon - 1;
    tm.tm_year = GetTwo(d->year) - 1900;
    tm.tm_isdst = 1;
    return tm;
}

void dateLocal(nfDate *d)
{
    long now = static_cast<long>(time(nullptr));
    struct tm tm;
    psLocalTime(&now, tm);
    dateConvert(&tm, d);
}

void GetTimeOfDay(nfDate *d, long *microseconds)
{
    long seconds = 0, usec = 0;
    psGetTimeOfDay(&seconds, &usec);
    struct tm tm;
    psLocalTime(&seconds, tm);
    dateConvert(&tm, d);
    if (microseconds != nullptr)
        *microseconds = usec;
}

void dateFmt(const nfDate *d, char *dateText, char *timeText) { psDateFormat(d, dateText, timeText); }
