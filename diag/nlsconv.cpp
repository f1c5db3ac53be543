// Reading the conversions of a printf format without trusting it. This unit
// is also compiled into the message compiler, so it uses nothing of the runtime.
#include "diag/nlsconv.h"

#include <cstring>

static bool isFlag(char c) { return c == '-' || c == '+' || c == ' ' || c == '#' || c == '0' || c == '\''; }
static bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A width or precision at *i: a star (a value the caller passes) or at most
// four digits; a fifth digit is left for the conversion letter to refuse.
static void skipCount(const char *fmt, size_t len, size_t *i, int *stars)
{
    if (*i < len && fmt[*i] == '*') {
        (*stars)++;
        (*i)++;
        return;
    }
    for (size_t digits = 0; *i < len && isDigit(fmt[*i]) && digits < 4; digits++)
        (*i)++;
}

int nlsConvSpec(const char *fmt, size_t len, size_t *used, char *cls, int *stars)
{
    if (len < 2 || fmt[0] != '%')
        return -1;
    size_t i = 1;
    *stars = 0;
    if (fmt[i] == '%') {
        *used = 2;
        *cls = 0;
        return 0;
    }
    while (i < len && isFlag(fmt[i]))
        i++;
    skipCount(fmt, len, &i, stars);   // width
    if (i < len && fmt[i] == '.') {
        i++;
        skipCount(fmt, len, &i, stars);   // precision
    }
    // Length modifier: none, h, hh, l, ll, z.
    int longs = 0, shorts = 0;
    if (i < len && fmt[i] == 'l') {
        longs++;
        i++;
        if (i < len && fmt[i] == 'l') {
            longs++;
            i++;
        }
    } else if (i < len && fmt[i] == 'h') {
        shorts++;
        i++;
        if (i < len && fmt[i] == 'h')
            i++;
    } else if (i < len && fmt[i] == 'z') {
        longs = 1;
        i++;
    }
    if (i >= len)
        return -1;
    char c = fmt[i++];
    switch (c) {
    case 'd': case 'i': case 'u': case 'x': case 'X': case 'o':
        *cls = longs ? 'l' : 'i';
        break;
    case 'c':
        if (longs)
            return -1;
        *cls = 'i';
        break;
    case 's':
        if (shorts || longs > 1)
            return -1;
        *cls = longs ? 'w' : 's';
        break;
    case 'p':
        if (shorts || longs)
            return -1;
        *cls = 'p';
        break;
    case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
        if (shorts || longs)
            return -1;
        *cls = 'f';
        break;
    default:   // %n and everything else never reach printf
        return -1;
    }
    *used = i;
    return 0;
}

int nlsNextConv(const char *fmt, size_t len, size_t *pos, nlsConv_t *conv)
{
    size_t i = *pos;
    while (i < len && fmt[i] != '\0' && fmt[i] != '%')
        i++;
    conv->at = i;
    conv->used = 0;
    conv->cls = 0;
    conv->stars = 0;
    if (i >= len || fmt[i] == '\0') {
        *pos = i;
        return 0;
    }
    if (nlsConvSpec(fmt + i, strnlen(fmt + i, len - i), &conv->used, &conv->cls, &conv->stars) != 0) {
        *pos = i;
        return -1;
    }
    *pos = i + conv->used;
    return 1;
}

char nlsFirstValueClass(const char *fmt)
{
    size_t len = strlen(fmt), pos = 0;
    nlsConv_t c;
    while (nlsNextConv(fmt, len, &pos, &c) == 1)
        if (c.cls != 0)
            return c.cls;
    return 0;
}
