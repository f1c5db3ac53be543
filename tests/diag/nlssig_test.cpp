// Conversion signatures: what a catalog text may hand to printf.
#include <gtest/gtest.h>

#include <string>

#include "diag/nlssig.h"

namespace {

TEST(nlsSigTest, FormatSignatures)
{
    struct Row {
        const char *fmt;
        const char *sig;   // null: refused
    } rows[] = {
        {"plain text", ""},
        {"%s and %d", "si"},
        {"%%d is literal", ""},
        {"%-10.3s|%+05d|%#x|%c|%u|%o|%X", "siiiiii"},
        {"%ld %lu %lld %zu", "llll"},
        {"%hd %hhu", "ii"},
        {"%f %e %G %a", "ffff"},
        {"%ls %p", "wp"},
        {"%*d %.*s %*.*f", "iiisiif"},
        {"%n", nullptr},
        {"ok %s then %n", nullptr},
        {"%hn", nullptr},
        {"%1$s", nullptr},
        {"%Lf", nullptr},
        {"%lf", nullptr},
        {"%lc", nullptr},
        {"%hs", nullptr},
        {"%lp", nullptr},
        {"%q", nullptr},
        {"%", nullptr},
        {"100%", nullptr},
        {"%12345d", nullptr},   // widths are kept below 10000
        {"%.12345d", nullptr},
        {"%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s", nullptr},   // too long a signature
    };
    for (const Row &r : rows) {
        char sig[NLS_SIG_MAX + 1];
        int rc = nlsFmtSig(r.fmt, std::string(r.fmt).size(), sig, sizeof sig);
        if (r.sig == nullptr) {
            EXPECT_EQ(rc, -1) << r.fmt;
        } else {
            EXPECT_EQ(rc, 0) << r.fmt;
            EXPECT_STREQ(sig, r.sig) << r.fmt;
        }
    }
}

TEST(nlsSigTest, FormatIsReadOnlyUpToItsLength)
{
    const char text[] = {'%', 's', '%', 'n'};   // no terminator
    char sig[8];
    EXPECT_EQ(nlsFmtSig(text, 2, sig, sizeof sig), 0);
    EXPECT_STREQ(sig, "s");
    EXPECT_EQ(nlsFmtSig(text, 4, sig, sizeof sig), -1);
    EXPECT_EQ(nlsFmtSig(text, 1, sig, sizeof sig), -1);   // a lone '%' at the end
}

TEST(nlsSigTest, OrderedBodySignatureFollowsTheCallersOrder)
{
    using namespace std::string_literals;
    // Two inserts, order 1,0: slot 0 "%.*f" (1 star, type 3), slot 1 "%ld" (type 2).
    std::string body = "\0\x0e\0\0\0\x02\x01\0"s + "\x01\x03%.*f\0"s + "\0\x02%ld\0"s + "a\0b\0c\0"s;
    char sig[NLS_SIG_MAX + 1];
    ASSERT_EQ(nlsBodySig(body.data(), body.size(), sig, sizeof sig), 0);
    EXPECT_STREQ(sig, "lif");   // the caller's first argument fills slot 1
    nlsOrdered_t o;
    ASSERT_EQ(nlsParseOrdered(body.data(), body.size(), &o), 0);
    EXPECT_EQ(o.count, 2);
    EXPECT_STREQ(o.piece[2], "c");
    // Every shorter prefix is refused without reading past it.
    for (size_t n = 0; n < body.size(); n++) {
        std::string cut = body.substr(0, n);
        EXPECT_EQ(nlsParseOrdered(cut.data(), cut.size(), &o), -1) << n;
    }
    // Kind 1 is a plain format; other kinds take nothing.
    EXPECT_EQ(nlsBodySig("\x01%s", 3, sig, sizeof sig), 0);
    EXPECT_STREQ(sig, "s");
    EXPECT_EQ(nlsBodySig("\x07%s", 3, sig, sizeof sig), 0);
    EXPECT_STREQ(sig, "");
}

}  // namespace
