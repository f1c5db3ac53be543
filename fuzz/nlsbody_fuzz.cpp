// A stored message text as the catalog hands it over (after the identifier,
// 0 bytes still in their escaped form) goes through the steps that read it:
// the escapes are undone, its conversions are read and, when they are ones the
// program passes (this harness has a caller for each), it is formatted with
// inserts. Plain and ordered bodies alike; the strings are long enough to fill
// the working areas.
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "diag/nlsbuf.h"
#include "diag/nlsmsg.h"
#include "diag/nlssig.h"
#include "diag/trace.h"
#include "fuzz/fuzzenv.h"

namespace {

const std::string longText(3000, 'x');
const wchar_t wideText[] = L"wide \u00e9\u4e2d text";

int formatBody(nlsObject_t *o, nlsCharBuffer *buf, const char *body, size_t len, ...)
{
    va_list ap;
    va_start(ap, len);
    int n = o->nlOrderInsert(buf, body, len, ap);
    va_end(ap);
    return n;
}

// Formats with the arguments the signature asks for; false when this harness
// has no caller with that signature (the catalog reader refuses such a text).
bool formatAs(const std::string &sig, nlsObject_t *o, nlsCharBuffer *b, const char *body, size_t len)
{
    const char *s = longText.c_str();
    const void *p = &longText;
    struct Caller {
        const char *sig;
        void (*call)(nlsObject_t *, nlsCharBuffer *, const char *, size_t, const char *, const void *);
    };
    static const Caller callers[] = {
        {"", [](auto o, auto b, auto t, auto n, auto, auto) { formatBody(o, b, t, n); }},
        {"s", [](auto o, auto b, auto t, auto n, auto s, auto) { formatBody(o, b, t, n, s); }},
        {"i", [](auto o, auto b, auto t, auto n, auto, auto) { formatBody(o, b, t, n, -12345); }},
        {"l", [](auto o, auto b, auto t, auto n, auto, auto) { formatBody(o, b, t, n, -1234567890123L); }},
        {"f", [](auto o, auto b, auto t, auto n, auto, auto) { formatBody(o, b, t, n, 1.5e300); }},
        {"w", [](auto o, auto b, auto t, auto n, auto, auto) { formatBody(o, b, t, n, wideText); }},
        {"p", [](auto o, auto b, auto t, auto n, auto, auto p) { formatBody(o, b, t, n, p); }},
        {"ii", [](auto o, auto b, auto t, auto n, auto, auto) { formatBody(o, b, t, n, 7, -8); }},
        {"ss", [](auto o, auto b, auto t, auto n, auto s, auto) { formatBody(o, b, t, n, "NODE1", s); }},
        {"is", [](auto o, auto b, auto t, auto n, auto s, auto) { formatBody(o, b, t, n, 4000, s); }},
        {"iis", [](auto o, auto b, auto t, auto n, auto s, auto) { formatBody(o, b, t, n, 4000, 3000, s); }},
        {"iif", [](auto o, auto b, auto t, auto n, auto, auto) { formatBody(o, b, t, n, 4000, 300, -1e-300); }},
        {"il", [](auto o, auto b, auto t, auto n, auto, auto) { formatBody(o, b, t, n, -3, 99L); }},
        {"sis", [](auto o, auto b, auto t, auto n, auto s, auto) { formatBody(o, b, t, n, s, 42, "end"); }},
        {"siis", [](auto o, auto b, auto t, auto n, auto s, auto) { formatBody(o, b, t, n, "op", 1, 2, s); }},
        {"ssssssssss",
         [](auto o, auto b, auto t, auto n, auto s, auto) { formatBody(o, b, t, n, s, s, s, s, s, s, s, s, s, s); }},
    };
    for (const Caller &c : callers) {
        if (sig == c.sig) {
            c.call(o, b, body, len, s, p);
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static nlsObject_t *object = new nlsObject_t{};   // only its insert area is used
    TR_NLS = 1;   // the trace line is formatted, and written nowhere
    // Exactly the text's bytes and its terminator, as the reader keeps it.
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    ReplacePseudoNull(text.data(), size);
    char sig[NLS_SIG_MAX + 1];
    if (nlsBodySig(text.data(), size, sig, sizeof sig) != 0)
        return 0;
    fuzzenv::check(strlen(sig) <= NLS_SIG_MAX, "signature longer than its limit");
    nlsCharBuffer buf(nlsBuffer::INIT_SIZE_KB);
    if (!formatAs(sig, object, &buf, text.data(), size))
        return 0;
    const char *out = buf.getBuffer();
    fuzzenv::check(out == nullptr || strlen(out) == buf.getMsgLen(), "text length differs from the buffer's count");
    return 0;
}
