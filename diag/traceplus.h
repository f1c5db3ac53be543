// Byte dumps for traces and the quoted-token reader used for trace file names.
#pragma once

#include <cstddef>
#include <cstdio>

#include "kelvlx/kelcontract.h"

// Character forms of a dump.
enum {
    PS_EBCDIC = 0,   // byte translated from EBCDIC (code page 037), "." when not printable
    PS_CHAR = 1,     // byte as it is, "." when not printable
    PS_HEX = 2,      // two hex digits per byte
    PS_HEXDUMP = 3,  // hex, a blank every 4 bytes, a newline after every eighth blank
    PS_TEXT = 4,     // as PS_CHAR, or PS_HEX when the bytes are not all single-byte characters
};

// The EBCDIC-to-ASCII (ISO 8859-1) table used by form 0.
extern const unsigned char ebcdicToAscii[256];

// Characters a dump of length bytes in the given form needs, terminator not counted.
size_t PrintStrSize(size_t length, int form);

// Renders bytes to a stream: the number of characters written, -1 on a failed write.
int PrintStr(FILE *stream, const void *bytes, size_t length, int form);
// Renders bytes into buf (always terminated, never more than bufSize bytes):
// the number of characters stored; a dump that does not fit is cut short.
int PrintStrToBuf(char *buf, size_t bufSize, const void *bytes, size_t length, int form);

inline constexpr size_t QTOKEN_MAX = 1279;   // longest token GetQuotedToken takes

// GetQuotedToken's results besides 0.
inline constexpr int QTOKEN_RC_BAD_QUOTE = 177;   // a bad or unterminated quote
inline constexpr int QTOKEN_RC_TOO_LONG = 937;    // longer than QTOKEN_MAX or than out can hold
inline constexpr int QTOKEN_RC_INVALID_ARGUMENT = KEL_ST_INVALID_ARGUMENT;   // null arguments

// Takes one quoted or blank-delimited token from *cursor into out and leaves
// *cursor behind it (past one delimiter). 0; QTOKEN_RC_BAD_QUOTE for a bad or
// unterminated quote; QTOKEN_RC_TOO_LONG for a token longer than QTOKEN_MAX
// (or than out can hold); QTOKEN_RC_INVALID_ARGUMENT for null arguments.
int GetQuotedToken(const char **cursor, char *out, size_t outSize = QTOKEN_MAX + 1);
inline int GetQuotedToken(char **cursor, char *out, size_t outSize = QTOKEN_MAX + 1)
{
    return GetQuotedToken(const_cast<const char **>(cursor), out, outSize);
}
