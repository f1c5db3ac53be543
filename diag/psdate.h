// Platform time: the current time, local broken-down time and the formatting
// of a packed date record.
#pragma once

#include <cstdint>
#include <ctime>

// Packed local date and time, 7 bytes: year (2 bytes, most significant first),
// month 1..12, day 1..31, hour 0..23, minute 0..59, second 0..60.
struct nfDate {
    uint8_t year[2];
    uint8_t mon;
    uint8_t day;
    uint8_t hour;
    uint8_t min;
    uint8_t sec;
};
static_assert(sizeof(nfDate) == 7, "nfDate is stored as 7 bytes");

inline constexpr size_t DATE_TEXT_SIZE = 15;   // room each date or time text must have

void psGetTimeOfDay(long *seconds, long *microseconds);
// Local time of *t; a time localtime_r cannot convert gives that of two days after the epoch.
void psLocalTime(const long *t, struct tm &out);
// Formats d with the date and time formats in use; either text may be null,
// each other one has room for DATE_TEXT_SIZE bytes.
void psDateFormat(const nfDate *d, char *dateText, char *timeText);
