// Message formatting and issuing. A catalog text never reaches printf as a
// whole: each conversion (already checked against what the program passes,
// see nlssig) is formatted on its own with exactly one value of its class.
#include "diag/nlsfmt.h"

#include <cstring>
#include <cwchar>

#include "base/kelmem.h"
#include "base/strutil.h"
#include "diag/GlobalRC.h"
#include "diag/logutils.h"
#include "diag/nlsbuf.h"
#include "diag/nlsconv.h"
#include "diag/nlsmsg.h"
#include "diag/nlssig.h"
#include "diag/trace.h"

static const char trSrcFile[] = "nlsfmt";

namespace {

// One argument taken from the caller's list by its class.
struct Value {
    char cls = 0;
    int i = 0;
    long l = 0;
    double f = 0;
    const void *p = nullptr;
};

Value takeValue(char cls, va_list &args)
{
    Value v;
    v.cls = cls;
    switch (cls) {
    case 'i': v.i = va_arg(args, int); break;
    case 'l': v.l = va_arg(args, long); break;
    case 'f': v.f = va_arg(args, double); break;
    default: v.p = va_arg(args, const void *); break;
    }
    return v;
}

// snprintf of one validated conversion with its star values and its value.
int formatOne(char *dst, size_t room, const char *conv, int nstars, const int *stars, const Value &v)
{
    if (room == 0)
        return 0;
    wchar_t *wide = nullptr;
    const void *p = v.p;
    if (v.cls == 's' && p == nullptr)
        p = "(null)";
    if (v.cls == 'w') {
        if (p == nullptr)
            p = L"(null)";
        // A copy with every character the local code set cannot show replaced.
        wide = StrDup(static_cast<const wchar_t *>(p));
        if (wide == nullptr) {
            dst[0] = '\0';
            return 0;
        }
        scrubChars(wide);
        p = wide;
    }
    int a = nstars > 0 ? stars[0] : 0, b = nstars > 1 ? stars[1] : 0;
    int rc;
#define KEL_FMT_ONE(val)                                                                   \
    (nstars == 0   ? snprintf(dst, room, conv, val)                                         \
     : nstars == 1 ? snprintf(dst, room, conv, a, val)                                      \
                   : snprintf(dst, room, conv, a, b, val))
    switch (v.cls) {
    case 'i': rc = KEL_FMT_ONE(v.i); break;
    case 'l': rc = KEL_FMT_ONE(v.l); break;
    case 'f': rc = KEL_FMT_ONE(v.f); break;
    default: rc = KEL_FMT_ONE(p); break;
    }
#undef KEL_FMT_ONE
    if (wide != nullptr)
        KEL_FREE(wide);
    if (rc < 0) {
        dst[0] = '\0';
        return 0;
    }
    return static_cast<size_t>(rc) >= room ? static_cast<int>(room - 1) : rc;
}

// Formats a plain body (a printf format of len bytes) into dst, at most size-1 bytes.
size_t formatPlain(char *dst, size_t size, const char *fmt, size_t len, va_list &args)
{
    size_t out = 0, pos = 0;
    for (;;) {
        size_t from = pos;
        nlsConv_t c;
        int found = nlsNextConv(fmt, len, &pos, &c);
        size_t literal = c.at - from;
        if (literal > size - 1 - out)
            literal = size - 1 - out;   // the text is cut
        memcpy(dst + out, fmt + from, literal);
        out += literal;
        if (found != 1 || out + 1 >= size)
            break;   // a refused conversion is never reached for a checked text
        if (c.cls == 0) {
            dst[out++] = '%';
            continue;
        }
        char conv[32];
        if (c.used >= sizeof conv)
            break;
        memcpy(conv, fmt + c.at, c.used);
        conv[c.used] = '\0';
        int stars[2] = {0, 0};
        for (int s = 0; s < c.stars; s++)
            stars[s] = va_arg(args, int);
        Value v = takeValue(c.cls, args);
        out += static_cast<size_t>(formatOne(dst + out, size - out, conv, c.stars, stars, v));
    }
    dst[out] = '\0';
    return out;
}

void appendPiece(nlsCharBuffer *buf, const char *piece)
{
    if (*piece == '\0') {
        buf->addToBuffer("", 0);
        return;
    }
    char *work = static_cast<char *>(KEL_MALLOC(NLS_PIECE_MAX + 1));
    if (work == nullptr)
        return;
    size_t n = strnlen(piece, NLS_PIECE_MAX);   // a longer piece is cut
    memcpy(work, piece, n);
    work[n] = '\0';
    psOEMToAnsi(work);
    buf->addToBuffer(work, static_cast<long>(strlen(work)));
    KEL_FREE(work);
}

}  // namespace

int nlsObject_t::nlOrderInsert(nlsCharBuffer *buf, const char *body, size_t bodyLen, va_list args)
{
    va_list ap;
    va_copy(ap, args);
    if (bodyLen > 0 && body[0] == 1) {
        char *work = static_cast<char *>(KEL_MALLOC(NLS_PLAIN_MAX + 1));
        if (work != nullptr) {
            size_t n = formatPlain(work, NLS_PLAIN_MAX + 1, body + 1, bodyLen - 1, ap);
            if (n > 0)
                buf->addToBuffer(work, static_cast<long>(n));
            KEL_FREE(work);
        }
    } else if (bodyLen > 0 && body[0] == 0) {
        nlsOrdered_t o;
        if (nlsParseOrdered(body, bodyLen, &o) == 0) {
            const char *result[10] = {};
            size_t used = 0;
            for (int k = 0; k < o.count; k++) {
                int slot = o.order[k];
                int stars[2] = {0, 0};
                for (int s = 0; s < o.stars[slot]; s++)
                    stars[s] = va_arg(ap, int);
                Value v = takeValue(nlsFirstValueClass(o.fmt[slot]), ap);
                // The formatted inserts share insertArea; one that does not fit is cut.
                if (used < sizeof insertArea) {
                    char *dst = insertArea + used;
                    int n = formatOne(dst, sizeof insertArea - used, o.fmt[slot], o.stars[slot], stars, v);
                    result[slot] = dst;
                    used += static_cast<size_t>(n) + 1;
                }
            }
            appendPiece(buf, o.piece[0]);
            for (int s = 0; s < o.count; s++) {
                buf->addToBuffer(result[s] != nullptr ? result[s] : "", 0);
                appendPiece(buf, o.piece[s + 1]);
            }
        }
    }
    va_end(ap);
    if (TR_NLS)
        trPrintf(trSrcFile, __LINE__, "return from nlOrderInsert (char), msgLen %d:\n",
                 static_cast<int>(buf->getMsgLen()));
    return static_cast<int>(buf->getMsgLen());
}

char *nlsObject_t::nlVmessage(int msgNum, char **out, va_list args, unsigned char *severity)
{
    *out = nullptr;
    if (severity != nullptr)
        *severity = 0;
    if (nls_mutex == nullptr || pkAcquireMutexNested(nls_mutex) != 0)
        return nullptr;
    nlsMsg *m = msgNum < 0 ? nullptr : GetMsg(static_cast<unsigned>(msgNum));
    if (m == nullptr) {
        pkReleaseMutexNested(nls_mutex);   // result of no use: nothing was formatted
        return nullptr;
    }
    unsigned char sev = m->severity;
    {
        nlsCharBuffer buf(nlsBuffer::INIT_SIZE_KB);
        bool kept = sev >= NLS_SEV_K && sev <= NLS_SEV_S;
        if (!kept) {
            nlOrderInsert(&buf, m->text, m->textLen, args);
        } else if (m->textLen >= NLS_KEPT_ID_LEN) {
            buf.addToBuffer(m->text, NLS_KEPT_ID_LEN);
            nlOrderInsert(&buf, m->text + NLS_KEPT_ID_LEN, m->textLen - NLS_KEPT_ID_LEN, args);
        }
        unsigned len = buf.getMsgLen();
        if (len > 0 && buf.getBuffer() != nullptr) {
            char *text = static_cast<char *>(KEL_CALLOC(1, len + 10));
            if (text != nullptr) {
                memcpy(text, buf.getBuffer(), len + 1);
                *out = text;
            }
        }
    }
    if (severity != nullptr)
        *severity = sev;
    pkReleaseMutexNested(nls_mutex);   // a failed release leaves nothing to undo here
    return *out;
}

int nlvsprintf(char **out, int msgNum, va_list args)
{
    *out = nullptr;
    nlsObject_t *o = getNlsGlobalObjectHandle();
    if (o == nullptr)
        return 0;
    va_list ap;
    va_copy(ap, args);
    o->nlVmessage(msgNum, out, ap, nullptr);
    va_end(ap);
    return *out != nullptr ? static_cast<int>(strlen(*out)) : 0;
}

int nlsprintf(char **out, int msgNum, ...)
{
    va_list ap;
    va_start(ap, msgNum);
    int n = nlvsprintf(out, msgNum, ap);
    va_end(ap);
    return n;
}

int nlvfprintf(FILE *, int msgNum, va_list args)
{
    nlsObject_t *o = getNlsGlobalObjectHandle();
    if (o == nullptr)
        return 0;
    char *text = nullptr;
    unsigned char sev = 0;
    va_list ap;
    va_copy(ap, args);
    o->nlVmessage(msgNum, &text, ap, &sev);
    va_end(ap);
    if (text == nullptr)
        return 0;
    if (gRC != nullptr)
        gRC->set(msgNum);
    LogSchedMsg(text);   // writes only when the schedule log is active
    if (sev > NLS_SEV_I)
        LogMsg(text);    // 0 when the error log is closed
    if (o->clientType != NLS_CLIENT_QUIET)
        msgOut(sev, text);
    KEL_FREE(text);
    return 0;
}

int nlprintf(int msgNum, ...)
{
    va_list ap;
    va_start(ap, msgNum);
    nlvfprintf(stdout, msgNum, ap);
    va_end(ap);
    return 0;
}

void msgOut(int severity, const char *text)
{
    if (severity < 0 || severity >= NLS_SEV_COUNT || text == nullptr)
        return;
    char *copy = static_cast<char *>(KEL_MALLOC(NLS_OUT_MAX + 1));
    if (copy == nullptr)
        return;
    size_t n = strnlen(text, NLS_OUT_MAX);   // a longer text is cut
    memcpy(copy, text, n);
    copy[n] = '\0';
    nlsObject_t *o = getNlsGlobalObjectHandle();
    nlsOutFn_t fn = o != nullptr && o->outFn[severity] != nullptr ? o->outFn[severity] : outDeflt;
    fn(copy);
    KEL_FREE(copy);
}

int outDeflt(char *text) { return pkFputs(text, stdout); }
