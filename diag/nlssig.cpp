// Signatures of printf formats and stored bodies, read without trusting them.
// This unit is also compiled into the message compiler, so it uses nothing of
// the runtime.
#include "diag/nlssig.h"

#include <cstring>

#include "diag/nlsconv.h"

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
    size_t n = 0, pos = 0;
    sig[0] = '\0';
    nlsConv_t c;
    int found;
    while ((found = nlsNextConv(fmt, len, &pos, &c)) == 1) {
        for (int s = 0; s < c.stars; s++)
            if (appendSig(sig, sigSize, &n, 'i') != 0)
                return -1;
        if (c.cls != 0 && appendSig(sig, sigSize, &n, c.cls) != 0)
            return -1;
    }
    return found;
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
        size_t flen = strlen(o->fmt[s]), at = 0;
        nlsConv_t c;
        int found;
        while ((found = nlsNextConv(o->fmt[s], flen, &at, &c)) == 1) {
            if (c.cls != 0) {
                values++;
                stars += c.stars;
                cls = c.cls;
            }
        }
        if (found != 0 || values != 1 || stars != o->stars[s] || !typeFits(o->type[s], cls))
            return -1;
    }
    for (int p = 0; p <= n; p++)
        if (takeString(body, len, &pos, &o->piece[p]) != 0)
            return -1;
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
        if (appendSig(sig, sigSize, &n, nlsFirstValueClass(o.fmt[slot])) != 0)
            return -1;
    }
    return 0;
}
