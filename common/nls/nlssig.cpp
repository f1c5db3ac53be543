// Reading printf conversions and stored bodies without trusting them. This unit
// is also compiled into the message compiler, so it uses nothing of the runtime.
#include "common/nls/nlssig.h"

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

static int appendSig(char *sig, size_t sigSize, size_t *n, char c)
{
    if (*n + 1 >= sigSize)
        return -1;
    sig[(*n)++] = c;
    sig[*n] = '\0';
    return 0;
}

int nlsFmtSig(const char *fmt, size_t len, char *sig, size_t sigSize)
{
    if (sigSize == 0)
        return -1;
    size_t n = 0;
    sig[0] = '\0';
    for (size_t i = 0; i < len && fmt[i] != '\0';) {
        if (fmt[i] != '%') {
            i++;
            continue;
        }
        size_t used;
        char cls;
        int stars;
        if (nlsConvSpec(fmt + i, strnlen(fmt + i, len - i), &used, &cls, &stars) != 0)
            return -1;
        for (int s = 0; s < stars; s++)
            if (appendSig(sig, sigSize, &n, 'i') != 0)
                return -1;
        if (cls != 0 && appendSig(sig, sigSize, &n, cls) != 0)
            return -1;
        i += used;
    }
    return 0;
}

// Reads a NUL-terminated string at *pos; -1 when it runs past len.
static int takeString(const char *body, size_t len, size_t *pos, const char **out)
{
    if (*pos >= len)
        return -1;
    const void *nul = memchr(body + *pos, '\0', len - *pos);
    if (nul == nullptr)
        return -1;
    *out = body + *pos;
    *pos = static_cast<size_t>(static_cast<const char *>(nul) - body) + 1;
    return 0;
}

static bool typeFits(unsigned char type, char cls)
{
    switch (type) {
    case 0: return cls == 's' || cls == 'w' || cls == 'p';
    case 1: return cls == 'i';
    case 2: return cls == 'l' || cls == 'p';
    case 3: return cls == 'f';
    default: return false;
    }
}

int nlsParseOrdered(const char *body, size_t len, nlsOrdered_t *o)
{
    if (len < 6 || body[0] != 0)
        return -1;
    int n = static_cast<signed char>(body[5]);
    if (n < 0 || n > 10)
        return -1;
    o->count = n;
    size_t pos = 6;
    if (len - pos < static_cast<size_t>(n))
        return -1;
    bool seen[10] = {};
    for (int k = 0; k < n; k++) {
        unsigned char slot = static_cast<unsigned char>(body[pos++]);
        if (slot >= n || seen[slot])
            return -1;
        seen[slot] = true;
        o->order[k] = slot;
    }
    for (int s = 0; s < n; s++) {
        if (len - pos < 2)
            return -1;
        o->stars[s] = static_cast<unsigned char>(body[pos++]);
        o->type[s] = static_cast<unsigned char>(body[pos++]);
        if (o->stars[s] > 2 || o->type[s] > 3)
            return -1;
        if (takeString(body, len, &pos, &o->fmt[s]) != 0)
            return -1;
        // Exactly one value conversion, taking exactly the declared star values.
        int values = 0, stars = 0;
        char cls = 0;
        const char *f = o->fmt[s];
        size_t flen = strlen(f);
        for (size_t i = 0; i < flen;) {
            if (f[i] != '%') {
                i++;
                continue;
            }
            size_t used;
            char c;
            int st;
            if (nlsConvSpec(f + i, flen - i, &used, &c, &st) != 0)
                return -1;
            if (c != 0) {
                values++;
                stars += st;
                cls = c;
            }
            i += used;
        }
        if (values != 1 || stars != o->stars[s] || !typeFits(o->type[s], cls))
            return -1;
    }
    for (int p = 0; p <= n; p++)
        if (takeString(body, len, &pos, &o->piece[p]) != 0)
            return -1;
    return 0;
}

static char slotClass(const nlsOrdered_t &o, int slot)
{
    const char *f = o.fmt[slot];
    size_t flen = strlen(f);
    for (size_t i = 0; i < flen;) {
        size_t used;
        char c;
        int st;
        if (f[i] != '%') {
            i++;
            continue;
        }
        if (nlsConvSpec(f + i, flen - i, &used, &c, &st) != 0)
            return 0;
        if (c != 0)
            return c;
        i += used;
    }
    return 0;
}

int nlsBodySig(const char *body, size_t len, char *sig, size_t sigSize)
{
    if (sigSize == 0)
        return -1;
    sig[0] = '\0';
    if (len == 0)
        return 0;
    if (body[0] == 1)
        return nlsFmtSig(body + 1, len - 1, sig, sigSize);
    if (body[0] != 0)
        return 0;   // a body of unknown kind contributes nothing and takes nothing
    nlsOrdered_t o;
    if (nlsParseOrdered(body, len, &o) != 0)
        return -1;
    size_t n = 0;
    for (int k = 0; k < o.count; k++) {
        int slot = o.order[k];
        for (int s = 0; s < o.stars[slot]; s++)
            if (appendSig(sig, sigSize, &n, 'i') != 0)
                return -1;
        if (appendSig(sig, sigSize, &n, slotClass(o, slot)) != 0)
            return -1;
    }
    return 0;
}
