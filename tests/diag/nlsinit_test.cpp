// Locale and code-set set-up, message-system start-up and the formats.
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

#include "base/kelmem.h"
#include "base/pstrust.h"
#include "diag/nlsfmt.h"
#include "diag/nlsinit.h"
#include "diag/nlsmsg.h"
#include "tests/diag/nlstest.h"

using namespace nlstest;

namespace {

class nlsInitTest : public NlsEnv {};

enum Slot { NUL, OPEN, CLOSED };

Slot slot(int i)
{
    iconv_t cd = psNlsInfo->cd[i];
    return cd == nullptr ? NUL : cd == NLS_CVT_CLOSED ? CLOSED : OPEN;
}

TEST_F(nlsInitTest, LanguageAndCodeSetFromTheEnvironment)
{
    struct Row {
        const char *lang;   // null: LANG unset
        const char *language, *kel, *codePage;
        dsNLSCode_t rc;
        Slot utf8ToLocal, slot0;
    } rows[] = {
        {nullptr, "EN_US", "EN_US", "UTF-8", NLS_CODE_SUPPORTED, NUL, OPEN},
        {"C", "EN_US", "EN_US", "UTF-8", NLS_CODE_SUPPORTED, NUL, OPEN},
        {"POSIX", "EN_US", "EN_US", "UTF-8", NLS_CODE_SUPPORTED, NUL, OPEN},
        {"de_DE.ISO-8859-1", "de_DE", "DE_DE", "ISO-8859-1", NLS_CODE_SUPPORTED, OPEN, OPEN},
        {"de_DE.UTF-8", "de_DE", "DE_DE", "UTF-8", NLS_CODE_SUPPORTED, NUL, OPEN},
        {"en_US.ISO-8859-1", "en_US", "EN_US", "ISO-8859-1", NLS_CODE_SUPPORTED, NUL, OPEN},
        // Asian code sets: the converters to and from UTF-8, no catalog converter.
        {"ja_JP.EUC-JP", "ja_JP", "JA_JP", "EUC-JP", NLS_CODE_SUPPORTED, NUL, OPEN},
        {"japanese", "ja_JP", "JA_JP", "EUC-JP", NLS_CODE_SUPPORTED, NUL, OPEN},   // the system's alias
        {"sv_SE.UTF-8", "sv_SE", "", "UTF-8", NLS_CODE_UNSUPPORTED, NUL, OPEN},
    };
    for (const Row &r : rows) {
        const char *what = r.lang ? r.lang : "(unset)";
        create(r.lang);
        EXPECT_EQ(actualNLSCode, r.rc) << what;
        EXPECT_STREQ(Language, r.language) << what;
        EXPECT_STREQ(kelLocale, r.kel) << what;
        EXPECT_STREQ(CodePage, r.codePage) << what;
        EXPECT_STREQ(Locale, r.lang ? r.lang : "C") << what;
        ASSERT_NE(psNlsInfo, nullptr) << what;
        EXPECT_EQ(slot(NLS_CVT_UTF8_TO_LOCAL), r.utf8ToLocal) << what;
        EXPECT_EQ(slot(0), r.slot0) << what;
        EXPECT_EQ(psNlsConverterMissing(), 0) << what;
    }
}

TEST_F(nlsInitTest, LongEnvironmentNamesAreCut)
{
    std::string lang(200, 'q');
    create(lang.c_str());
    EXPECT_EQ(strlen(Locale), NLS_NAME_SIZE - 1);
    EXPECT_EQ(strlen(Language), NLS_NAME_SIZE - 1);
    EXPECT_EQ(actualNLSCode, NLS_CODE_UNSUPPORTED);
}

TEST_F(nlsInitTest, Utf8ToLocalConversion)
{
    create("de_DE.ISO-8859-1");
    char out[8];
    unsigned long written = 99;
    EXPECT_EQ(psUTF8ToLocal("F\xc3\xbcr", 4, out, sizeof out, &written), 0);
    EXPECT_STREQ(out, "F\xfcr");
    EXPECT_EQ(written, 3u);
    // A character the code set lacks stops the conversion; what came before stays.
    EXPECT_EQ(psUTF8ToLocal("ab\xe6\x97\xa5z", 6, out, sizeof out, &written), -1);
    EXPECT_STREQ(out, "ab");
    // Output room is kept, the terminator included.
    EXPECT_EQ(psUTF8ToLocal("abcdefghijk", 11, out, sizeof out, &written), -1);
    EXPECT_STREQ(out, "abcdefg");
    EXPECT_EQ(written, 7u);
}

TEST_F(nlsInitTest, NlinitRefusesMissingOrOverlongLanguage)
{
    struct Row {
        std::string lang;
        bool null;
        int rc;
    } rows[] = {
        {"", true, NLS_RC_SETUP_FAILED},
        {"", false, NLS_RC_SETUP_FAILED},
        {std::string(NLS_NAME_SIZE, 'L'), false, NLS_RC_SETUP_FAILED},   // too long for info and kelLocale
        {std::string(NLS_NAME_SIZE - 1, 'L'), false, 0},
        {"EN", false, 0},
    };
    for (const Row &r : rows) {
        obj = create(nullptr);
        info = {};
        int rc = nlinit(r.null ? nullptr : r.lang.c_str(), 5, kCatalogs.c_str(), 0, 1, 1, 1, &info, nullptr);
        EXPECT_EQ(rc, r.rc) << r.lang.size();
        if (rc == 0) {
            EXPECT_EQ(obj->initialized, 1u);
            EXPECT_EQ(obj->cacheLimit, 5u);
            EXPECT_EQ(info.language, r.lang);   // the catalog of the environment's language opened
            EXPECT_EQ(info.dateFmt, 1u);
        }
    }
}

TEST_F(nlsInitTest, SetUpRunsOnce)
{
    ASSERT_EQ(start(nullptr, kCatalogs), 0);
    // Already initialised: the catalogs stay as they are.
    EXPECT_EQ(nlinit("EN", 5, "/nonexistent", 0, 1, 1, 1, &info, nullptr), 0);
    EXPECT_TRUE(shown.empty()) << joined();
    char *out = nullptr;
    EXPECT_GT(nlsprintf(&out, 9180), 0);
    kelFree(out, __FILE__, __LINE__);
}

TEST_F(nlsInitTest, MissingConverterFallsBackWithWarning)
{
    obj = create("de_DE.ISO-8859-1");
    iconv_close(psNlsInfo->cd[NLS_CVT_UTF8_TO_LOCAL]);
    psNlsInfo->cd[NLS_CVT_UTF8_TO_LOCAL] = NLS_CVT_CLOSED;   // needed but not available
    ASSERT_EQ(nlinit("DE", 5, kCatalogs.c_str(), 0, 1, 1, 1, &info, nullptr), 0);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "QEB0121W Unable to open the iconv converter for the message repository ISO-8859-1. "
                             "The American English repository will be used instead.\n");
    char *out = nullptr;
    nlsprintf(&out, 9180);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(std::string(out).rfind("QEB9180E The stored password", 0), 0u);
    kelFree(out, __FILE__, __LINE__);
}

TEST_F(nlsInitTest, JapaneseWithoutCatalogFallsBackWithoutConverterWarning)
{
    ASSERT_EQ(start("ja_JP.EUC-JP", kCatalogs), 0);
    ASSERT_EQ(shown.size(), 1u) << joined();
    EXPECT_NE(shown[0].text.find("QEB0102W"), std::string::npos);
    EXPECT_NE(shown[0].text.find("/JA_JP/kelclientV3.cat"), std::string::npos);
}

TEST_F(nlsInitTest, JapaneseCatalogIsConvertedToTheLocalCodeSet)
{
    const std::string dir = scratch();
    ASSERT_TRUE(writeSourceCatalog(dir, "EN_US", "9180 E \"english\"\n"));
    ASSERT_TRUE(writeSourceCatalog(dir, "JA_JP", "9180 E \"\xe6\x97\xa5\xe6\x9c\xac\"\n"));
    ASSERT_EQ(start("ja_JP.EUC-JP", dir), 0);
    EXPECT_TRUE(shown.empty()) << joined();
    char *out = nullptr;
    nlsprintf(&out, 9180);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "QEB9180E \xc6\xfc\xcb\xdc");   // EUC-JP
    kelFree(out, __FILE__, __LINE__);
}

TEST_F(nlsInitTest, NamedCatalogCannotStepOutOfItsDirectory)
{
    const std::string dir = scratch();
    ASSERT_TRUE(writeSourceCatalog(dir, "EN_US", "9180 E \"english text\"\n"));
    ASSERT_TRUE(writeSourceCatalog(dir, "evil", "9180 E \"planted text\"\n"));
    run("cp '" + dir + "/evil/kelclientV3.cat' '" + dir + "/evil.cat'");
    ASSERT_EQ(start(nullptr, dir, "../evil.cat", NLS_CLIENT_NAMED_A), 0);
    EXPECT_NE(joined().find("QEB0102W"), std::string::npos);
    char *out = nullptr;
    nlsprintf(&out, 9180);
    ASSERT_NE(out, nullptr);
    EXPECT_STREQ(out, "QEB9180E english text");
    kelFree(out, __FILE__, __LINE__);
}

TEST_F(nlsInitTest, ObjectCanBeRebuilt)
{
    for (int i = 0; i < 3; i++) {
        ASSERT_EQ(start("de_DE.UTF-8", kCatalogs), 0);
        char *out = nullptr;
        nlsprintf(&out, 2218, "N", "S");
        ASSERT_NE(out, nullptr);
        EXPECT_NE(strstr(out, "Für Server S"), nullptr);
        kelFree(out, __FILE__, __LINE__);
        destroyNlsGlobalObject();
        EXPECT_EQ(getNlsGlobalObjectHandle(), nullptr);
        EXPECT_EQ(psNlsInfo, nullptr);
    }
}

TEST(nlsFormatTest, DateFormatValidator)
{
    struct {
        const char *fmt;
        int ok;
    } rows[] = {
        {"%m/%d/%Y", 1}, {"%d.%m.%y", 1}, {"%Y-%m-%d", 1}, {"%y%m%d", 0},   // no separators: one item only
        {"%d.%m", 0},    {"%m/%m/%Y", 0}, {"%d/%y/%Y", 0}, {"", 0},
        {"%d.%m.%y rest", 1},   // what follows the third item is not examined
        {"%d.%m.%Y      x", 0}, // 15 characters
        {"%x", 0},       {"%d.%H.%Y", 0},
    };
    for (auto r : rows)
        EXPECT_EQ(validateDateFmtStr(r.fmt), r.ok) << r.fmt;
}

TEST(nlsFormatTest, TimeFormatValidator)
{
    struct {
        const char *fmt;
        int ok;
    } rows[] = {
        {"%H:%M:%S", 1}, {"%I:%M:%S %p", 1}, {"%I:%M:%S", 1}, {"%S.%M.%H", 1},
        {"%H:%M:%S %p", 0},   // the marker only with a 12-hour hour
        {"%H:%I:%S", 0},      {"%p:%M:%S", 0}, {"%H:%M:%M", 0}, {"%H:%M", 0},
        {"", 0},              {"%I:%M:%S %p   xx", 0},
    };
    for (auto r : rows)
        EXPECT_EQ(validateTimeFmtStr(r.fmt), r.ok) << r.fmt;
}

TEST(nlsFormatTest, DateTimeAndNumberFormatsByNumber)
{
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    const char *dates[] = {"%d.%m.%Y", "%m/%d/%Y", "%d-%m-%Y", "%Y-%m-%d", "%d.%m.%Y", "%Y.%m.%d", "%Y/%m/%d", "%d/%m/%Y"};
    for (unsigned n = 0; n < 8; n++) {
        date_fmt = n;
        setDateFmt();
        EXPECT_STREQ(date_fmt_str, dates[n]) << n;
        EXPECT_EQ(date_sep, dates[n][2]) << n;
    }
    date_fmt = 42;   // unknown: unchanged
    setDateFmt();
    EXPECT_STREQ(date_fmt_str, dates[7]);

    struct {
        unsigned n;
        const char *fmt, *am, *pm;
    } times[] = {{1, "%H:%M:%S", "", ""},    {2, "%H,%M,%S", "", ""}, {3, "%H.%M.%S", "", ""},
                 {4, "%I:%M:%S%p", "AM", "PM"}, {0, "%T", "", ""}};
    for (auto t : times) {
        time_fmt = t.n;
        setTimeFmt();
        if (t.n == 0) {   // the German locale's "%T" is not an accepted form
            EXPECT_STREQ(time_fmt_str, "%H:%M:%S");
            continue;
        }
        EXPECT_STREQ(time_fmt_str, t.fmt);
        EXPECT_STREQ(am_str, t.am);
        EXPECT_STREQ(pm_str, t.pm);
        EXPECT_EQ(time_sep, t.fmt[2]);
    }
    setlocale(LC_ALL, "C");
    time_fmt = 0;
    setTimeFmt();   // C: "%H:%M:%S" with its markers
    EXPECT_STREQ(time_fmt_str, "%H:%M:%S");
    EXPECT_STREQ(am_str, "AM");
    date_fmt = 0;
    setDateFmt();
    EXPECT_STREQ(date_fmt_str, "%m/%d/%y");

    struct {
        unsigned n;
        char thousand, decimal;
    } nums[] = {{1, ',', '.'}, {2, ',', ','}, {3, ' ', ','}, {4, ' ', '.'}, {5, '.', ','}, {6, '\'', ','}, {0, ',', '.'}};
    for (auto r : nums) {
        number_fmt = r.n;
        setNumberFmt();
        EXPECT_EQ(thousand_sep, r.thousand) << r.n;
        EXPECT_EQ(decimal_sep, r.decimal) << r.n;
        EXPECT_EQ(subsecond_sep, decimal_sep);
    }
    ASSERT_NE(setlocale(LC_ALL, "de_DE.UTF-8"), nullptr);
    number_fmt = 7;   // above 6: the locale's own
    setNumberFmt();
    EXPECT_EQ(thousand_sep, '.');
    EXPECT_EQ(decimal_sep, ',');
    setlocale(LC_ALL, "C");
    date_fmt = time_fmt = number_fmt = 1;
    setDateFmt();
    setTimeFmt();
    setNumberFmt();
}

}  // namespace

namespace {

// A run whose real user is not root (as in a set-user-id start) treats a
// catalog the user could have written as missing.
TEST_F(nlsInitTest, SetUserIdRunIgnoresUnprotectedCatalogs)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to take another real user id";
    const std::string dir = scratch();
    ASSERT_EQ(run("mkdir -p '" + dir + "/EN_US' && cp '" + kCatalogs + "/EN_US/kelclientV3.cat' '" + dir +
                  "/EN_US/' && chown -R 65534 '" + dir + "'"),
              0);
    const bool buildProtected = psPathTrusted((kCatalogs + "/EN_US/kelclientV3.cat").c_str(),
                                              std::string(2048, '\0').data(), 2048) == 1;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setresuid(65534, 0, 0) != 0)
            _exit(10);
        int rc = start(nullptr, dir);
        if (rc != NLS_RC_SETUP_FAILED)
            _exit(11);
        if (buildProtected && start(nullptr, kCatalogs) != 0)
            _exit(12);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
