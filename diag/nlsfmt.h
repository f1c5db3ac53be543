// Message formatting and issuing.
#pragma once

#include <cstdarg>
#include <cstdio>

// Formats message msgNum with the arguments its catalog text expects. *out
// receives a kelCalloc'd text (free with kelFree) or null; returns its length.
int nlsprintf(char **out, int msgNum, ...);
int nlvsprintf(char **out, int msgNum, va_list args);

// Issues message msgNum: raises the process return code, logs it as its
// severity asks and shows it through the output routine of its severity. Returns 0.
int nlprintf(int msgNum, ...);
int nlvfprintf(FILE *stream, int msgNum, va_list args);

// Delivers a finished text through the output routine of its severity (0..8).
void msgOut(int severity, const char *text);
// The default output routine: the text on standard output, nothing added.
int outDeflt(char *text);

// Limits of the working areas.
inline constexpr size_t NLS_MAX_INSERTS = 10;
inline constexpr size_t NLS_PLAIN_MAX = 4860;   // formatted plain body
inline constexpr size_t NLS_PIECE_MAX = 2302;   // one text piece of an ordered body
inline constexpr size_t NLS_OUT_MAX = 4860;     // text handed to an output routine
