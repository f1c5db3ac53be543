// The message repository against the build's catalogs and fixture catalogs:
// cache, identifiers, tags, escape bytes, catalog choice and hostile texts.
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "base/kelmem.h"
#include "diag/nlsfmt.h"
#include "diag/nlsmsg.h"
#include "tests/diag/nlstest.h"

using namespace nlstest;

namespace {

const std::string Z(1, '\0');

// Stored form: every 0 byte of a body is kept as 0x10 in the catalog.
std::string esc(std::string s)
{
    for (char &c : s)
        if (c == '\0')
            c = 0x10;
    return s;
}

// An ordered body: kind 0, mask, three unread bytes, count, order, descriptors, pieces.
struct Desc {
    int stars;
    int type;
    std::string fmt;
};
std::string ordered(int count, const std::vector<int> &order, const std::vector<Desc> &desc,
                    const std::vector<std::string> &pieces, bool terminateLast = true)
{
    std::string b = Z + "\x0e" + Z + Z + Z + std::string(1, static_cast<char>(count));
    for (int o : order)
        b += static_cast<char>(o);
    for (const Desc &d : desc)
        b += std::string(1, static_cast<char>(d.stars)) + std::string(1, static_cast<char>(d.type)) + d.fmt + Z;
    for (size_t i = 0; i < pieces.size(); i++)
        b += pieces[i] + (i + 1 < pieces.size() || terminateLast ? Z : "");
    return b;
}

nlsMsg *lookup(nlsObject_t *o, unsigned num)
{
    pkAcquireMutexNested(nls_mutex);
    nlsMsg *m = o->GetMsg(num);
    pkReleaseMutexNested(nls_mutex);
    return m;
}

std::vector<unsigned> cacheOrder(nlsMsg *head)
{
    std::vector<unsigned> nums;
    if (head == nullptr)
        return nums;
    nlsMsg *m = head;
    do {
        nums.push_back(m->msgNum);
        m = m->next;
    } while (m != head && nums.size() < 100);
    return nums;
}

class nlsMsgTest : public NlsEnv {};

TEST(nlsMsgUnit, ReplacePseudoNullFollowsTheStoredForm)
{
    struct Row {
        const char *name;
        std::string in, out;
    } rows[] = {
        {"plain body: every escape byte", "\x01" "a\x10" "b\x10", "\x01" "a" + Z + "b" + Z},
        // 'E' as mask frees byte 3 only; from byte 5 on every escape byte goes.
        {"identifier text", "QEB\x10\x10\x10x\x10", "QEB" + Z + "\x10" + Z + "x" + Z},
        {"ordered: mask 0x08 frees byte 2 only", "\x10\x08\x10\x10\x10\x10", Z + "\x08" + Z + "\x10\x10" + Z},
        {"ordered: mask 0x06 frees bytes 3 and 4", "\x10\x06\x10\x10\x10", Z + "\x06\x10" + Z + Z},
        {"mask byte itself is never changed", "\x10\x10\x10", Z + "\x10\x10"},
        {"one byte", "\x10", Z},
    };
    for (const Row &r : rows) {
        std::string s = r.in;
        ReplacePseudoNull(s.data(), s.size());
        EXPECT_EQ(s, r.out) << r.name;
    }
    ReplacePseudoNull(nullptr, 4);   // tolerated
}

TEST(nlsMsgUnit, TwoLetterNamesAreLookedUpCaseSensitively)
{
    EXPECT_STREQ(lang2To5("DE"), "DE_DE");
    EXPECT_STREQ(lang2To5("CZ"), "CS_CZ");
    EXPECT_STREQ(lang2To5("ZH"), "ZH_CN");
    EXPECT_EQ(lang2To5("de"), nullptr);
    EXPECT_EQ(lang2To5("XX"), nullptr);
}

TEST(nlsMsgUnit, ScrubCharsReplacesWhatTheCodeSetCannotHold)
{
    setlocale(LC_ALL, "C");
    wchar_t s[] = L"a\u00e9b\u65e5";
    scrubChars(s);
    EXPECT_STREQ(s, L"a_b_");
    ASSERT_NE(setlocale(LC_ALL, "de_DE.ISO-8859-1"), nullptr);
    wchar_t t[] = L"a\u00e9b\u65e5";
    scrubChars(t);
    EXPECT_STREQ(t, L"a\u00e9b_");
    setlocale(LC_ALL, "C");
    scrubChars(nullptr);
}

TEST_F(nlsMsgTest, SeverityBeforeSetUpIsError)
{
    MutexDesc *saved = nls_mutex;
    nls_mutex = nullptr;
    EXPECT_EQ(nlGetMsgSev(2218), NLS_SEV_E);
    nls_mutex = saved;
}

TEST_F(nlsMsgTest, SeveritiesOfTheBuiltCatalog)
{
    ASSERT_EQ(start(nullptr, kCatalogs), 0);
    struct {
        int num;
        unsigned char sev;
    } rows[] = {{102, 5}, {109, 6}, {2218, 4}, {9999, 6}, {11143, 1}, {11342, 1}, {21157, 5}, {4242, 255}};
    for (auto r : rows)
        EXPECT_EQ(nlGetMsgSev(r.num), r.sev) << r.num;
}

TEST_F(nlsMsgTest, CacheKeepsFiveMostRecentlyUsed)
{
    ASSERT_EQ(start(nullptr, kCatalogs), 0);
    ASSERT_EQ(obj->cacheLimit, 5u);
    for (unsigned n : {102u, 109u, 121u, 1467u, 1834u})
        ASSERT_NE(lookup(obj, n), nullptr) << n;
    EXPECT_EQ(cacheOrder(obj->msgCache), (std::vector<unsigned>{1834, 1467, 121, 109, 102}));
    nlsMsg *again = lookup(obj, 102);   // a hit moves to the front
    EXPECT_EQ(cacheOrder(obj->msgCache), (std::vector<unsigned>{102, 1834, 1467, 121, 109}));
    ASSERT_NE(lookup(obj, 2218), nullptr);   // the sixth evicts the least recently used
    EXPECT_EQ(cacheOrder(obj->msgCache), (std::vector<unsigned>{2218, 102, 1834, 1467, 121}));
    EXPECT_EQ(lookup(obj, 102), again);
    EXPECT_EQ(obj->msgCache->prev->msgNum, 121);
    EXPECT_TRUE(shown.empty());
}

TEST_F(nlsMsgTest, FiveDigitIdentifiersReadAsFour)
{
    ASSERT_EQ(start(nullptr, kCatalogs), 0);
    nlsMsg *m = lookup(obj, 21155);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->severity, NLS_SEV_E);
    EXPECT_EQ(std::string(m->text, 9), "QEB1155E ");
    nlsMsg *h = lookup(obj, 11342);   // T: no identifier kept
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->text[0], 1);
}

TEST_F(nlsMsgTest, IdentifiersTagsAndEscapesOfFixtureTexts)
{
    static const nlsMsgSig_t sigs[] = {{1234, "s"}, {102, "s"}, {9180, ""}, {7010, ""}};
    const std::string dir = scratch();
    ASSERT_TRUE(writeRawCatalog(dir, "EN_US",
                                {{1234, "QEB01234E \x01" "Five %s\n"},
                                 {102, "QEB0102W \x01" "Tagged %s\n\x12TAGX"},
                                 {9180, "QEB9180E \x01" "Early\x12 and then much more than fifteen bytes\n"},
                                 {7010, "QEB7010T \x01" "abc\x10" "def"}}));
    ASSERT_EQ(start(nullptr, dir), 0);
    nlsSetSigTable(sigs, 4);

    nlsMsg *m = lookup(obj, 1234);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->severity, NLS_SEV_E);
    EXPECT_STREQ(m->text, "QEB1234E \x01" "Five %s\n");

    m = lookup(obj, 102);
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->msgTag, "TAGX");
    EXPECT_STREQ(m->text, "QEB0102W \x01" "Tagged %s\n");

    m = lookup(obj, 9180);   // a mark before the last 15 bytes is no tag, but the text ends there
    ASSERT_NE(m, nullptr);
    EXPECT_STREQ(m->msgTag, "");
    EXPECT_STREQ(m->text, "QEB9180E \x01" "Early");

    m = lookup(obj, 7010);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->severity, NLS_SEV_T);
    EXPECT_EQ(std::string(m->text, m->textLen), "\x01" "abc" + Z + "def");
    EXPECT_TRUE(shown.empty()) << joined();
}

TEST_F(nlsMsgTest, OpenCatChoosesAmongCatalogLanguagesOnly)
{
    ASSERT_EQ(start(nullptr, kCatalogs), 0);
    struct Row {
        const char *dir;
        const char *lang;
        int rc;
        const char *start;   // of message 2218's text when opened
    } rows[] = {
        {"", "EN_US", 0, "QEB2218I \x01The"},
        {"", "DE", 0, "QEB2218I "},               // DE_DE: an ordered body follows
        {"", "de", 0, "QEB2218I \x01The"},        // lower case is not in the table: English
        {"", "XX", 0, "QEB2218I \x01The"},
        {"", "DE_DE.UTF-8", 0, "QEB2218I "},      // tried whole, then cut at the point
        {"", "FR_FR", 2, nullptr},
        {"/EN_US", "../DE_DE", 2, nullptr},       // never leaves the catalog directory
        {"", "DE_DE/../EN_US", 2, nullptr},
    };
    for (const Row &r : rows) {
        nl_catd cat = NLS_CAT_CLOSED;
        std::string dir = kCatalogs + r.dir;
        ASSERT_EQ(obj->openCat(dir.c_str(), r.lang, nullptr, cat), r.rc) << r.lang;
        if (r.rc != 0)
            continue;
        const char *t = catgets(cat, 1, 2218, "none");
        EXPECT_EQ(std::string(t).rfind(r.start, 0), 0u) << r.lang;
        if (strcmp(r.lang, "DE") == 0 || strcmp(r.lang, "DE_DE.UTF-8") == 0) {
            EXPECT_EQ(t[9], 0x10) << r.lang;
        }
        catclose(cat);
    }
    EXPECT_NE(strstr(obj->failedReposPath, "/FR_FR/kelclientV3.cat"), nullptr);
    nl_catd cat = NLS_CAT_CLOSED;
    std::string longDir(1270, 'd');
    EXPECT_EQ(obj->openCat(longDir.c_str(), "EN_US", nullptr, cat), 2);
}

TEST_F(nlsMsgTest, MissingLanguageFallsBackToAmericanEnglish)
{
    ASSERT_EQ(start("sv_SE.UTF-8", kCatalogs), 0);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].severity, NLS_SEV_W);
    EXPECT_EQ(shown[0].text.rfind("QEB0102W Unable to open the message repository " + kCatalogs + "/SV_SE", 0), 0u)
        << shown[0].text;
    EXPECT_STREQ(info.language, "EN_US");
    EXPECT_STREQ(kelLocale, "EN_US");
    EXPECT_EQ(obj->localCat, obj->englishCat);
    nlsMsg *m = lookup(obj, 2218);
    ASSERT_NE(m, nullptr);
    EXPECT_NE(strstr(m->text, "has been converted"), nullptr);
}

TEST_F(nlsMsgTest, MissingAmericanEnglishCatalogFailsSetUp)
{
    const std::string dir = scratch();
    ASSERT_TRUE(writeRawCatalog(dir, "DE_DE", {{9180, "QEB9180E \x01x"}}));
    EXPECT_EQ(start("de_DE.UTF-8", dir), NLS_RC_SETUP_FAILED);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "QEB0102W Unable to open the message repository " + dir +
                                 "/EN_US/kelclientV3.cat. The American English repository will be used instead.\n");
}

TEST_F(nlsMsgTest, UnavailableMessagesYieldNothing)
{
    const std::string dir = scratch();
    ASSERT_TRUE(writeRawCatalog(dir, "EN_US", {{9180, "QEB9180M \x01withdrawn"}}));
    ASSERT_EQ(start(nullptr, dir), 0);
    EXPECT_EQ(lookup(obj, 9180), nullptr);   // M: no diagnostic
    EXPECT_TRUE(shown.empty()) << joined();
    EXPECT_EQ(lookup(obj, 4321), nullptr);
    ASSERT_EQ(shown.size(), 1u) << joined();
    EXPECT_NE(shown[0].text.find("QEB9999E amsgrtrv("), std::string::npos);
    EXPECT_NE(shown[0].text.find("Message No 4321 could not be found"), std::string::npos);
}

// Texts a hostile or damaged catalog may hold: each counts as corrupted and
// nothing of it reaches printf.
TEST_F(nlsMsgTest, HostileTextsCountAsCorrupted)
{
    const std::string id = "QEB2218I ";
    const Desc s{0, 0, "%s"};
    struct Row {
        const char *name;
        std::string text;
    } rows[] = {
        {"%n in a plain body", id + "\x01" "%s%s%n\n"},
        {"one conversion too many", id + "\x01" "%s %s %s\n"},
        {"conversion of another type", id + "\x01" "%s %d\n"},
        {"positional conversion", id + "\x01" "%2$s %1$s\n"},
        {"wide string where narrow is passed", id + "\x01" "%ls %s\n"},
        {"huge width", id + "\x01" "%99999s %s\n"},
        {"insert count 11", id + ordered(11, {0, 1}, {s, s}, {"a", "b", "c"})},
        // A catalog holds UTF-8 only: 0xC3 0xA4 reads as count -61 and one order entry.
        {"negative insert count", id + Z + "\x0e" + Z + Z + Z + "\xc3\xa4" + Z + Z + "%s" + Z + "a" + Z},
        {"order repeats a slot", id + ordered(2, {0, 0}, {s, s}, {"a", "b", "c"})},
        {"order names a missing slot", id + ordered(2, {0, 2}, {s, s}, {"a", "b", "c"})},
        {"star count 3", id + ordered(2, {0, 1}, {{3, 0, "%s"}, s}, {"a", "b", "c"})},
        {"value type 4", id + ordered(2, {0, 1}, {{0, 4, "%s"}, s}, {"a", "b", "c"})},
        {"type 1 with a string conversion", id + ordered(2, {0, 1}, {{0, 1, "%s"}, s}, {"a", "b", "c"})},
        {"%n as an insert", id + ordered(2, {0, 1}, {{0, 0, "%n"}, s}, {"a", "b", "c"})},
        {"two conversions in one insert", id + ordered(2, {0, 1}, {{0, 0, "%s%s"}, s}, {"a", "b", "c"})},
        {"stars not declared", id + ordered(2, {0, 1}, {{0, 0, "%*s"}, s}, {"a", "b", "c"})},
        {"piece missing", id + ordered(2, {1, 0}, {s, s}, {"a", "b"})},
        {"last piece unterminated", id + ordered(2, {1, 0}, {s, s}, {"a", "b", "c"}, false)},
        {"descriptor runs past the end", id + Z + "\x0e" + Z + Z + Z + "\x02\x01" + Z + Z + Z + "%s"},
        {"order list past the end", id + Z + "\x0e" + Z + Z + Z + "\x05\x01"},
        {"identifier cut short", "QEB22"},
        {"identifier without its blank", "QEB2218I"},
        {"three-digit identifier", "QEB218I \x01%s%s"},
        {"unknown severity letter", "QEB2218X \x01%s%s"},
    };
    std::map<unsigned, std::string> texts;
    std::vector<nlsMsgSig_t> sigs;
    unsigned num = 3000;
    for (const Row &r : rows) {
        texts[++num] = esc(r.text);
        sigs.push_back({static_cast<uint16_t>(num), "ss"});
    }
    const std::string dir = scratch();
    ASSERT_TRUE(writeRawCatalog(dir, "EN_US", texts));
    ASSERT_EQ(start(nullptr, dir), 0);
    nlsSetSigTable(sigs.data(), sigs.size());
    num = 3000;
    for (const Row &r : rows) {
        ++num;
        shown.clear();
        EXPECT_EQ(lookup(obj, num), nullptr) << r.name;
        EXPECT_NE(joined().find("Message No " + std::to_string(num) + " is corrupted"), std::string::npos)
            << r.name << ": " << joined();
        char *out = reinterpret_cast<char *>(1);
        EXPECT_EQ(nlsprintf(&out, static_cast<int>(num), "a", "b"), 0) << r.name;
        EXPECT_EQ(out, nullptr) << r.name;
    }
}

TEST_F(nlsMsgTest, WellFormedOrderedFixtureIsAccepted)
{
    static const nlsMsgSig_t sigs[] = {{3100, "ss"}};
    const std::string dir = scratch();
    ASSERT_TRUE(writeRawCatalog(
        dir, "EN_US", {{3100, esc("QEB3100I " + ordered(2, {1, 0}, {{0, 0, "%s"}, {0, 0, "<%s>"}}, {"A", "B", "C"}))}}));
    ASSERT_EQ(start(nullptr, dir), 0);
    nlsSetSigTable(sigs, 1);
    char *out = nullptr;
    // The caller's first argument fills slot 1.
    EXPECT_EQ(nlsprintf(&out, 3100, "first", "second"), 25);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "QEB3100I AsecondB<first>C");
    kelFree(out, __FILE__, __LINE__);
}

}  // namespace
