// Current local date and time as a packed record, and its formatting.
#pragma once

#include <ctime>

#include "diag/psdate.h"

void dateConvert(const struct tm *tm, nfDate *d);
struct tm dateNFDate2Tm(const nfDate *d);
// The current local date and time, to the second.
void dateLocal(nfDate *d);
// The current local date and time plus the microseconds of the current second.
void GetTimeOfDay(nfDate *d, long *microseconds);
void dateFmt(const nfDate *d, char *dateText, char *timeText);
