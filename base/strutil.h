// Null-tolerant, multibyte-aware string helpers. Strings are byte strings in
// the locale's multibyte code set; positions handed back are byte positions.
#pragma once

#include <cstddef>
#include <cwchar>

inline constexpr size_t STR_WIDE_MAX = 2303;   // wide characters a helper works on

size_t StrLen(const char *s);                  // 0 for null
inline const char *StrOrEmpty(const char *s) { return s != nullptr ? s : ""; }   // for a %s that may be null
size_t StrLenInByte(const char *s);
char *StrCpy(char *dst, const char *src);      // null source: copies nothing, returns null
char *StrnCpy(char *dst, const char *src, size_t n);
char *StrCat(char *dst, const char *src);
int StrCmp(const char *a, const char *b);
int StriCmp(const char *a, const char *b);
char *StrStr(const char *hay, const char *needle);
char *StrChr(const char *s, int c);
char *StrrChr(const char *s, int c);
char *StrrChr(const char *s, int c, int *errOut);   // 207 in *errOut for an invalid string
// Upper-cases in place. Returns s, or null (string unchanged) when the
// upper-cased text would need more bytes than the string has. Text that is not
// valid in the code set is left as it is.
char *psStrUpper(char *s);
inline char *StrUpper(char *s) { return psStrUpper(s); }
// Upper-cases in into out (outSize bytes with the terminator): 0, or -1 when
// the result does not fit (out then holds an empty string) or an argument is null.
int StrUpperBounded(const char *in, char *out, size_t outSize);
int IsSBCSStr(const char *s);
int IsSpace(int c);
int IsPrint(int c);
char *StrDup(const char *s);                   // from kelMalloc; free with kelFree
char *StrDup(void *ignored, const char *s);
wchar_t *StrDup(const wchar_t *s);
