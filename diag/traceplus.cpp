#include "diag/traceplus.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "base/strutil.h"
#include "diag/logutils.h"

// Code page 037 to ISO 8859-1.
const unsigned char ebcdicToAscii[256] = {
    0x00, 0x01, 0x02, 0x03, 0x9C, 0x09, 0x86, 0x7F, 0x97, 0x8D, 0x8E, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F,
    0x10, 0x11, 0x12, 0x13, 0x9D, 0x85, 0x08, 0x87, 0x18, 0x19, 0x92, 0x8F, 0x1C, 0x1D, 0x1E, 0x1F,
    0x80, 0x81, 0x82, 0x83, 0x84, 0x0A, 0x17, 0x1B, 0x88, 0x89, 0x8A, 0x8B, 0x8C, 0x05, 0x06, 0x07,
    0x90, 0x91, 0x16, 0x93, 0x94, 0x95, 0x96, 0x04, 0x98, 0x99, 0x9A, 0x9B, 0x14, 0x15, 0x9E, 0x1A,
    0x20, 0xA0, 0xE2, 0xE4, 0xE0, 0xE1, 0xE3, 0xE5, 0xE7, 0xF1, 0xA2, 0x2E, 0x3C, 0x28, 0x2B, 0x7C,
    0x26, 0xE9, 0xEA, 0xEB, 0xE8, 0xED, 0xEE, 0xEF, 0xEC, 0xDF, 0x21, 0x24, 0x2A, 0x29, 0x3B, 0xAC,
    0x2D, 0x2F, 0xC2, 0xC4, 0xC0, 0xC1, 0xC3, 0xC5, 0xC7, 0xD1, 0xA6, 0x2C, 0x25, 0x5F, 0x3E, 0x3F,
    0xF8, 0xC9, 0xCA, 0xCB, 0xC8, 0xCD, 0xCE, 0xCF, 0xCC, 0x60, 0x3A, 0x23, 0x40, 0x27, 0x3D, 0x22,
    0xD8, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0xAB, 0xBB, 0xF0, 0xFD, 0xFE, 0xB1,
    0xB0, 0x6A, 0x6B, 0x6C, 0x6D, 0x6E, 0x6F, 0x70, 0x71, 0x72, 0xAA, 0xBA, 0xE6, 0xB8, 0xC6, 0xA4,
    0xB5, 0x7E, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0xA1, 0xBF, 0xD0, 0xDD, 0xDE, 0xAE,
    0x5E, 0xA3, 0xA5, 0xB7, 0xA9, 0xA7, 0xB6, 0xBC, 0xBD, 0xBE, 0x5B, 0x5D, 0xAF, 0xA8, 0xB4, 0xD7,
    0x7B, 0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0xAD, 0xF4, 0xF6, 0xF2, 0xF3, 0xF5,
    0x7D, 0x4A, 0x4B, 0x4C, 0x4D, 0x4E, 0x4F, 0x50, 0x51, 0x52, 0xB9, 0xFB, 0xFC, 0xF9, 0xFA, 0xFF,
    0x5C, 0xF7, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5A, 0xB2, 0xD4, 0xD6, 0xD2, 0xD3, 0xD5,
    0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0xB3, 0xDB, 0xDC, 0xD9, 0xDA, 0x9F,
};

namespace {

// Length of the character at p in the locale's code set; an invalid or
// incomplete sequence counts as one byte.
size_t charLen(const char *p, size_t avail)
{
    if (avail == 0)
        return 0;
    mbstate_t st{};
    size_t n = mbrlen(p, avail, &st);
    return (n == 0 || n == (size_t)-1 || n == (size_t)-2) ? 1 : n;
}

// Every character of the bytes is one byte long (a bounded IsSBCSStr: the
// bytes of a dump need not be terminated).
bool allSingleByte(const unsigned char *b, size_t length)
{
    for (size_t i = 0; i < length;) {
        size_t n = charLen(reinterpret_cast<const char *>(b + i), length - i);
        if (n != 1)
            return false;
        i += n;
    }
    return true;
}

int effectiveForm(const unsigned char *b, size_t length, int form)
{
    if (form == PS_TEXT && !allSingleByte(b, length))
        return PS_HEX;
    return form;
}

// Receives the pieces of a dump: either a stream or a bounded buffer.
class DumpSink {
public:
    explicit DumpSink(FILE *stream) : stream_(stream) {}
    DumpSink(char *buf, size_t size) : buf_(buf), size_(size) { buf_[0] = '\0'; }

    void fixed(const char *text)
    {
        if (stream_ != nullptr)
            account(pkFprintf(0, stream_, "%s", text));
        else
            append(pkSprintf(0, buf_ + used_, size_ - used_, "%s", text));
    }
    void hex(unsigned char c)
    {
        if (stream_ != nullptr)
            account(pkFprintf(0xFFFFFFFFu, stream_, "%.2X", c));
        else
            append(pkSprintf(0xFFFFFFFFu, buf_ + used_, size_ - used_, "%.2X", c));
    }
    void chr(unsigned char c)
    {
        if (stream_ != nullptr)
            account(pkFprintf(0xFFFFFFFFu, stream_, "%c", c));
        else
            append(pkSprintf(0xFFFFFFFFu, buf_ + used_, size_ - used_, "%c", c));
    }
    bool full() const { return failed_ || (stream_ == nullptr && used_ + 1 >= size_); }
    int result() const { return failed_ && stream_ != nullptr ? -1 : (int)std::min<size_t>(used_, 0x7FFFFFFF); }

private:
    void account(int n)
    {
        if (n < 0)
            failed_ = true;
        else
            used_ += (size_t)n;
    }
    // A piece that did not fit whole is cut back to what was stored whole.
    void append(int n)
    {
        if (n < 0 || used_ + (size_t)n >= size_) {
            buf_[used_] = '\0';
            failed_ = true;
            return;
        }
        used_ += (size_t)n;
    }

    FILE *stream_ = nullptr;
    char *buf_ = nullptr;
    size_t size_ = 0;
    size_t used_ = 0;
    bool failed_ = false;
};

void render(DumpSink &sink, const unsigned char *b, size_t length, int form)
{
    size_t blanks = 0;
    for (size_t i = 0; i < length && !sink.full(); i++) {
        unsigned char c = b[i];
        switch (form) {
        case PS_EBCDIC:
            c = ebcdicToAscii[c];
            if (IsPrint(c))
                sink.chr(c);
            else
                sink.fixed(".");
            break;
        case PS_HEX:
            sink.hex(c);
            break;
        case PS_HEXDUMP:
            if (i != 0 && i % 4 == 0) {
                sink.fixed(" ");
                if (++blanks % 8 == 0)
                    sink.fixed("\n");
            }
            sink.hex(c);
            break;
        default:
            if (IsPrint(c))
                sink.chr(c);
            else
                sink.fixed(".");
            break;
        }
    }
}

bool isBlankAt(const char *p, const char *textEnd)
{
    return p < textEnd && charLen(p, (size_t)(textEnd - p)) == 1 && IsSpace((unsigned char)*p);
}

bool isQuote(char c) { return c == '"' || c == '\''; }

} // namespace

size_t PrintStrSize(size_t length, int form)
{
    if (form == PS_HEXDUMP && length >= 5)
        return (length - 1) / 32 + (length - 1) / 4 + 2 * length;
    return 2 * length;
}

int PrintStr(FILE *stream, const void *bytes, size_t length, int form)
{
    if (stream == nullptr || (bytes == nullptr && length != 0))
        return -1;
    const unsigned char *b = static_cast<const unsigned char *>(bytes);
    DumpSink sink(stream);
    render(sink, b, length, effectiveForm(b, length, form));
    return sink.result();
}

int PrintStrToBuf(char *buf, size_t bufSize, const void *bytes, size_t length, int form)
{
    if (buf == nullptr || bufSize == 0)
        return -1;
    if (bytes == nullptr && length != 0) {
        buf[0] = '\0';
        return -1;
    }
    const unsigned char *b = static_cast<const unsigned char *>(bytes);
    DumpSink sink(buf, bufSize);
    render(sink, b, length, effectiveForm(b, length, form));
    return sink.result();
}

int GetQuotedToken(const char **cursor, char *out, size_t outSize)
{
    if (cursor == nullptr || *cursor == nullptr || out == nullptr || outSize == 0)
        return QTOKEN_RC_INVALID_ARGUMENT;
    out[0] = '\0';
    const char *p = *cursor;
    const char *textEnd = p + strlen(p);
    auto step = [textEnd](const char *c) { return c + charLen(c, (size_t)(textEnd - c)); };
    while (isBlankAt(p, textEnd))
        p++;

    const char *start = p;
    const char *end = nullptr;
    const char *next = nullptr;
    if (isQuote(*p)) {
        char q = *p;
        start = p + 1;
        const char *c = start;
        while (*c != '\0' && *c != q)
            c = step(c);
        if (*c == '\0')
            return QTOKEN_RC_BAD_QUOTE;   // no closing quote
        if (c[1] != '\0' && !isBlankAt(c + 1, textEnd))
            return QTOKEN_RC_BAD_QUOTE;   // closing quote glued to more text
        end = c;
        next = c[1] != '\0' ? c + 2 : c + 1;
    } else {
        const char *c = p;
        bool afterEquals = false;
        while (*c != '\0' && !isBlankAt(c, textEnd)) {
            size_t n = charLen(c, (size_t)(textEnd - c));
            if (n == 1 && isQuote(*c)) {
                if (afterEquals) {
                    // name="value with blanks": kept with its quotes
                    char q = *c;
                    const char *e = c + 1;
                    while (*e != '\0' && *e != q)
                        e = step(e);
                    if (*e == '\0' || (e[1] != '\0' && !isBlankAt(e + 1, textEnd)))
                        return QTOKEN_RC_BAD_QUOTE;
                    c = e + 1;
                    break;
                }
                if (c[1] == '\0')
                    return QTOKEN_RC_BAD_QUOTE;   // a stray quote ends the text
            }
            afterEquals = n == 1 && *c == '=';
            c += n;
        }
        end = c;
        next = *c != '\0' ? step(c) : c;
    }

    size_t len = (size_t)(end - start);
    if (len > QTOKEN_MAX || len >= outSize)
        return QTOKEN_RC_TOO_LONG;
    memcpy(out, start, len);
    out[len] = '\0';
    *cursor = next;
    return 0;
}
