// Byte dumps for traces and the quoted-token reader used for trace file names.
#pragma once

#include <cstddef>
#include <cstdio>

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

// Takes one quoted or blank-delimited token from *cursor into out and leaves
// *cursor behind it (past one delimiter). 0; 177 for a bad or unterminated
// quote; 937 for a token longer than QTOKEN_MAX (or than out can hold); 109
// for null arguments.
int GetQuotedToken(const char **cursor, char *out, size_t outSize = QTOKEN_MAX + 1);
inline int GetQuotedToken(char **cursor, char *out, size_t outSize = QTOKEN_MAX + 1)
{
    return GetQuotedToken(const_cast<const char **>(cursor), out, outSize);
}
