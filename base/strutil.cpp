#include "base/strutil.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <cwctype>

#include "base/kelmem.h"
#include "base/secure.h"

namespace {

// Room for the characters a helper works on plus the terminator.
constexpr size_t WIDE_BUF = STR_WIDE_MAX + 1;
using WideBuf = wchar_t[WIDE_BUF];

// Converts at most STR_WIDE_MAX characters of s into buf (always terminated).
// Returns the number of characters, or -1 for text that is not valid in the
// locale's code set. *tail receives the byte offset after the last character
// converted, where an over-long string's unconverted rest begins.
long toWide(const char *s, WideBuf &buf, size_t *tail)
{
    mbstate_t st{};
    size_t len = strlen(s);
    size_t off = 0, n = 0;
    while (n < STR_WIDE_MAX && off < len) {
        size_t used = mbrtowc(&buf[n], s + off, len - off, &st);
        if (used == (size_t)-1 || used == (size_t)-2 || used == 0) {
            buf[0] = L'\0';
            return -1;
        }
        off += used;
        n++;
    }
    buf[n] = L'\0';
    if (tail != nullptr)
        *tail = off;
    return static_cast<long>(n);
}

// Byte length of the upper-cased form of wc, written to out (MB_LEN_MAX bytes).
// A character whose upper case cannot be encoded stays as it is.
size_t upperBytes(wchar_t wc, char *out, mbstate_t *st)
{
    mbstate_t save = *st;
    size_t n = wcrtomb(out, static_cast<wchar_t>(towupper(static_cast<wint_t>(wc))), st);
    if (n == (size_t)-1) {
        *st = save;
        n = wcrtomb(out, wc, st);
    }
    return n;
}

// Upper-cases the converted characters into out (outSize bytes, no terminator
// written). Returns the byte count, or -1 when it would exceed outSize.
long upperInto(const WideBuf &wide, char *out, size_t outSize)
{
    mbstate_t st{};
    size_t pos = 0;
    for (size_t i = 0; wide[i] != L'\0'; i++) {
        char mb[MB_LEN_MAX];
        size_t n = upperBytes(wide[i], mb, &st);
        if (n == (size_t)-1 || n > outSize - pos)
            return -1;
        if (out != nullptr)
            memcpy(out + pos, mb, n);
        pos += n;
    }
    return static_cast<long>(pos);
}

// The single-byte character c as a wide character; false when it is not a
// whole character in the code set.
bool charToWide(int c, wchar_t *wc)
{
    char b = static_cast<char>(c);
    mbstate_t st{};
    size_t used = mbrtowc(wc, &b, 1, &st);
    return used == 1;
}

// Byte offset of character number index in s (s is valid up to there).
size_t byteOffset(const char *s, size_t index)
{
    mbstate_t st{};
    size_t len = strlen(s), off = 0;
    for (size_t i = 0; i < index; i++)
        off += mbrtowc(nullptr, s + off, len - off, &st);
    return off;
}

// First (last == false) or last occurrence of c among the characters of s.
char *findChar(const char *s, int c, bool last, int *errOut)
{
    if (s == nullptr || *s == '\0')
        return nullptr;
    WideBuf wide;
    long n = toWide(s, wide, nullptr);
    if (n < 0) {
        if (errOut != nullptr)
            *errOut = 207;
        return nullptr;
    }
    wchar_t wc;
    if (!charToWide(c, &wc) || wc == L'\0')
        return nullptr;
    const wchar_t *hit = last ? wcsrchr(wide, wc) : wcschr(wide, wc);
    if (hit == nullptr)
        return nullptr;
    return const_cast<char *>(s) + byteOffset(s, static_cast<size_t>(hit - wide));
}

int byteCaseCompare(const char *a, const char *b)
{
    for (;; a++, b++) {
        int ua = toupper(static_cast<unsigned char>(*a));
        int ub = toupper(static_cast<unsigned char>(*b));
        if (*a == '\0' || *b == '\0')
            return *a == *b ? 0 : (*a == '\0' ? -1 : 1);
        if (ua != ub)
            return ua - ub;
    }
}

} // namespace

size_t StrLen(const char *s) { return s != nullptr ? strlen(s) : 0; }

size_t StrLenInByte(const char *s) { return strlen(s); }

char *StrCpy(char *dst, const char *src)
{
    if (src == nullptr || dst == nullptr)
        return nullptr;
    return strcpy(dst, src);
}

char *StrnCpy(char *dst, const char *src, size_t n)
{
    if (src == nullptr || dst == nullptr)
        return dst;
    return strncpy(dst, src, n);
}

char *StrCat(char *dst, const char *src)
{
    if (dst != nullptr && src != nullptr)
        strcat(dst, src);
    return dst;
}

int StrCmp(const char *a, const char *b)
{
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    return strcmp(a, b);
}

int StriCmp(const char *a, const char *b)
{
    if (b == nullptr)
        return a != nullptr ? 1 : 0;
    if (a == nullptr)
        return -1;
    WideBuf wa, wb;
    if (toWide(a, wa, nullptr) < 0 || toWide(b, wb, nullptr) < 0)
        return byteCaseCompare(a, b);   // not text in this code set: compare the bytes
    for (size_t i = 0;; i++) {
        if (wa[i] == L'\0' || wb[i] == L'\0')
            return wa[i] == wb[i] ? 0 : (wa[i] == L'\0' ? -1 : 1);
        long ua = static_cast<long>(towupper(static_cast<wint_t>(wa[i])));
        long ub = static_cast<long>(towupper(static_cast<wint_t>(wb[i])));
        if (ua != ub)
            return static_cast<int>(ua - ub);
    }
}

char *StrStr(const char *hay, const char *needle)
{
    if (hay == nullptr || needle == nullptr || *hay == '\0' || *needle == '\0')
        return nullptr;
    return const_cast<char *>(strstr(hay, needle));
}

char *StrChr(const char *s, int c) { return findChar(s, c, false, nullptr); }

char *StrrChr(const char *s, int c) { return findChar(s, c, true, nullptr); }

char *StrrChr(const char *s, int c, int *errOut) { return findChar(s, c, true, errOut); }

char *psStrUpper(char *s)
{
    if (s == nullptr)
        return nullptr;
    WideBuf wide;
    ZeroOnExit wipe(wide, sizeof wide);   // the text may be a password
    size_t tail = 0;
    if (toWide(s, wide, &tail) < 0)
        return s;   // not text in this code set: left as it is
    // The upper-cased characters must fit in the bytes they came from; the
    // unconverted rest of an over-long string then moves down behind them.
    long n = upperInto(wide, nullptr, tail);
    if (n < 0)
        return nullptr;
    upperInto(wide, s, tail);
    memmove(s + n, s + tail, strlen(s + tail) + 1);
    return s;
}

int StrUpperBounded(const char *in, char *out, size_t outSize)
{
    if (out == nullptr || outSize == 0)
        return -1;
    if (in == nullptr) {
        out[0] = '\0';
        return -1;
    }
    WideBuf wide;
    ZeroOnExit wipe(wide, sizeof wide);
    size_t tail = 0;
    size_t inLen = strlen(in);
    long n = 0;
    if (toWide(in, wide, &tail) < 0) {
        tail = 0;   // not text in this code set: copied as it is
    } else {
        n = upperInto(wide, out, outSize - 1);
        if (n < 0) {
            kelZero(out, outSize);
            return -1;
        }
    }
    size_t rest = inLen - tail;
    if (rest > outSize - 1 - static_cast<size_t>(n)) {
        kelZero(out, outSize);
        return -1;
    }
    memcpy(out + n, in + tail, rest);
    out[static_cast<size_t>(n) + rest] = '\0';
    return 0;
}

int IsSBCSStr(const char *s)
{
    if (s == nullptr)
        return 0;
    mbstate_t st{};
    size_t len = strlen(s);
    for (size_t off = 0; off < len; off++) {
        if (mbrtowc(nullptr, s + off, len - off, &st) != 1)
            return 0;
    }
    return 1;
}

int IsSpace(int c) { return isspace(static_cast<unsigned char>(c)) ? 1 : 0; }

int IsPrint(int c)
{
    int u = static_cast<unsigned char>(c);
    return (isalnum(u) || ispunct(u) || u == ' ') ? 1 : 0;
}

char *StrDup(const char *s)
{
    if (s == nullptr)
        return nullptr;
    size_t n = strlen(s) + 1;
    auto *copy = static_cast<char *>(KEL_MALLOC(n));
    if (copy != nullptr)
        memcpy(copy, s, n);
    return copy;
}

char *StrDup(void * /*ignored*/, const char *s) { return StrDup(s); }

wchar_t *StrDup(const wchar_t *s)
{
    if (s == nullptr)
        return nullptr;
    size_t n = wcslen(s) + 1;
    auto *copy = static_cast<wchar_t *>(KEL_MALLOC(n * sizeof(wchar_t)));
    if (copy != nullptr)
        wmemcpy(copy, s, n);
    return copy;
}
