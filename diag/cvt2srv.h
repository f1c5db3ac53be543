// Conversion of password text to the code set of the backup server before it
// is folded into a cipher key.
#pragma once

#include <cstddef>

// Code-set number of a server that uses EBCDIC; every other number means the
// local ASCII-based code set.
inline constexpr int CVT_CS_EBCDIC = 22;

// The ASCII to EBCDIC table used for servers of code set 22.
extern const unsigned char asciitoebcdic[256];

// Converts len bytes of buf in place when codeSet is 22 (bytes 0x18 and 0x19
// are kept); any other code set leaves buf unchanged. buf is not treated as
// text: a 0 byte inside the range is converted like any other.
void Cvt2ServerCS(int codeSet, unsigned char *buf, unsigned long len);
