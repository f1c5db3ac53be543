// Formatting and issuing against the build's catalogs, and against fixture
// catalogs compiled from message sources for the insert kinds the product's
// own messages do not use (stars, wide strings, long and double values).
#include <climits>
#include <cstring>
#include <string>

#include "base/kelmem.h"
#include "diag/nlsbuf.h"
#include "diag/nlsfmt.h"
#include "diag/nlsmsg.h"
#include "tests/diag/nlstest.h"

using namespace nlstest;

namespace {

// Formats a message and hands back its text ("<none>" when there is none).
template <typename... A>
std::string fmt(int num, A... args)
{
    char *out = nullptr;
    int n = nlsprintf(&out, num, args...);
    if (out == nullptr)
        return n == 0 ? "<none>" : "<length without text>";
    std::string s(out);
    kelFree(out, __FILE__, __LINE__);
    if (static_cast<size_t>(n) != s.size())
        return "<length " + std::to_string(n) + " for " + s + ">";
    return s;
}

class nlsFmtTest : public NlsEnv {};

char *vmessage(nlsObject_t *o, int num, char **out, unsigned char *sev, ...)
{
    va_list ap;
    va_start(ap, sev);
    char *r = o->nlVmessage(num, out, ap, sev);
    va_end(ap);
    return r;
}

TEST_F(nlsFmtTest, AmericanEnglishTextsWithTheirInserts)
{
    ASSERT_EQ(start(nullptr, kCatalogs), 0);
    EXPECT_EQ(fmt(102, "/x/FR/kelclientV3.cat"),
              "QEB0102W Unable to open the message repository /x/FR/kelclientV3.cat. The American English "
              "repository will be used instead.\n");
    EXPECT_EQ(fmt(1467, "EVP_EncryptInit", -3, 7, "bad key"),
              "QEB1467E The crypto library call EVP_EncryptInit failed with major code -3, minor code 7: bad key\n");
    EXPECT_EQ(fmt(2218, "NODE1", "SRV1"),
              "QEB2218I The encryption key password of node NODE1 for server SRV1 has been converted to the "
              "current file format.\n");
    EXPECT_EQ(fmt(9999, "amsgrtrv", 812u, "Unable to release NLS mutex"),
              "QEB9999E amsgrtrv(812): internal error: Unable to release NLS mutex\n");
    EXPECT_EQ(fmt(21158, 64, 3), "QEB1158I Allocated 64 bytes from memory pool 3.\n");
    EXPECT_EQ(fmt(11143), "<<< end of log data >>>");
    EXPECT_EQ(fmt(4242), "<none>");
}

TEST_F(nlsFmtTest, PasswordFileHeaderIsSeventyOneBytesOfText)
{
    ASSERT_EQ(start(nullptr, kCatalogs), 0);
    std::string h = fmt(11342);
    ASSERT_GE(h.size(), 71u) << h;
    EXPECT_EQ(h.substr(0, 71), "kelvlx password file: binary records follow; edit only with the agent.\n");
}

TEST_F(nlsFmtTest, GermanOrderedBodiesPutInsertsInTheirOwnOrder)
{
    ASSERT_EQ(start("de_DE.UTF-8", kCatalogs), 0);
    EXPECT_TRUE(shown.empty()) << joined();   // UTF-8 needs no converter: no warning
    EXPECT_EQ(fmt(2218, "NODE1", "SRV1"),
              "QEB2218I Für Server SRV1 wurde das Kennwort des Verschlüsselungsschlüssels von Knoten NODE1 in das "
              "aktuelle Dateiformat umgesetzt.\n");
    EXPECT_EQ(fmt(9999, "pssec", 17u, "kaputt"), "QEB9999E Interner Fehler: kaputt (pssec, Zeile 17)\n");
    EXPECT_EQ(fmt(1467, "op", 1, 2, "desc"),
              "QEB1467E Fehler der Verschlüsselungsbibliothek (desc): Aufruf op, Hauptcode 1, Nebencode 2.\n");
    // A message the German catalog lacks comes from the American English one.
    EXPECT_EQ(fmt(21155, 4), "QEB1155E Memory pool 4: an allocation of less than one byte was refused.\n");
}

TEST_F(nlsFmtTest, GermanTextsAreConvertedToAnIsoLocale)
{
    ASSERT_EQ(start("de_DE.ISO-8859-1", kCatalogs), 0);
    EXPECT_TRUE(shown.empty()) << joined();
    EXPECT_EQ(fmt(9180),
              "QEB9180E Das gespeicherte Kennwort geh\xf6rt nicht zu diesem Knotennamen. Es kann nicht verwendet "
              "werden; bitte das Kennwort neu speichern.\n");
    EXPECT_EQ(fmt(2218, "N", "S").substr(0, 22), "QEB2218I F\xfcr Server S ");
}

const char kFixtureSource[] =
    "7001 I \"[%*d] [%-*.*s]\"\n"
    "7002 W ordered \"{1:%-*s}|{0:%.*f}\"\n"
    "7003 I \"wide %ls.\"\n"
    "7004 I ordered \"<{0:%ls}>\"\n"
    "7005 E \"%ld %lu %g %c %%\"\n"
    "7006 T ordered \"{1:%d}-{0:%ld}\"\n"
    "7007 I ordered \"{0:%s}{1:%s}{2:%s}{3:%s}{4:%s}{5:%s}{6:%s}{7:%s}{8:%s}{9:%s}\"\n"
    "7008 T \"%s\"\n";
const nlsMsgSig_t kFixtureSigs[] = {{7001, "iiiis"}, {7002, "ifis"}, {7003, "w"},  {7004, "w"},
                                    {7005, "llfi"},  {7006, "li"},   {7007, "ssssssssss"}, {7008, "s"}};

class nlsFmtFixture : public NlsEnv {
protected:
    void SetUp() override
    {
        const std::string dir = scratch();
        ASSERT_TRUE(writeSourceCatalog(dir, "EN_US", kFixtureSource));
        ASSERT_EQ(start(nullptr, dir), 0);
        nlsSetSigTable(kFixtureSigs, sizeof kFixtureSigs / sizeof kFixtureSigs[0]);
    }
};

TEST_F(nlsFmtFixture, StarCountsTakeWidthAndPrecisionFirst)
{
    EXPECT_EQ(fmt(7001, 5, 42, 6, 2, "abcdef"), "QEB7001I [   42] [ab    ]");
    // Caller order: precision and value of slot 1, then width and value of slot 0.
    EXPECT_EQ(fmt(7002, 2, 3.14159, 6, "ab"), "QEB7002W ab    |3.14");
}

TEST_F(nlsFmtFixture, ValueTypesLongDoubleAndInt)
{
    EXPECT_EQ(fmt(7005, LONG_MIN, ULONG_MAX, 0.5, 'x'),
              "QEB7005E " + std::to_string(LONG_MIN) + " " + std::to_string(ULONG_MAX) + " 0.5 x %");
    EXPECT_EQ(fmt(7006, 1234567890123L, 7), "7-1234567890123");
}

TEST_F(nlsFmtFixture, UnrepresentableWideCharactersShowAsUnderscore)
{
    // The C locale holds only ASCII.
    EXPECT_EQ(fmt(7003, L"caf\u00e9 \u65e5"), "QEB7003I wide caf_ _.");
    EXPECT_EQ(fmt(7004, L"\u00e9t\u00e9"), "QEB7004I <_t_>");
    EXPECT_EQ(fmt(7004, static_cast<const wchar_t *>(nullptr)), "QEB7004I <(null)>");
    ASSERT_NE(setlocale(LC_ALL, "de_DE.ISO-8859-1"), nullptr);
    EXPECT_EQ(fmt(7004, L"\u00e9\u65e5"), "QEB7004I <\xe9_>");
}

TEST_F(nlsFmtFixture, TenInsertsInOneBody)
{
    EXPECT_EQ(fmt(7007, "a", "b", "c", "d", "e", "f", "g", "h", "i", "j"), "QEB7007I abcdefghij");
}

TEST_F(nlsFmtFixture, WorkingAreaLimitsCutWithoutOverrun)
{
    std::string big(64 * 1024, 'x');
    // A plain body's formatted text stays within 4860 bytes.
    EXPECT_EQ(fmt(7008, big.c_str()), std::string(NLS_PLAIN_MAX, 'x'));
    EXPECT_EQ(fmt(7003, std::wstring(8000, L'w').c_str()), "QEB7003I wide " + std::string(NLS_PLAIN_MAX - 5, 'w'));
    // The inserts of one message share the 4864-byte area: later ones are cut or dropped.
    std::string all = fmt(7007, big.c_str(), "b", big.c_str(), "d", "e", "f", "g", "h", "i", "j");
    EXPECT_EQ(all.size(), 9 + NLS_WORK_SIZE - 1) << all.substr(0, 40);
    EXPECT_EQ(all.substr(0, 12), "QEB7007I xxx");
    // What reaches an output routine stays within 4860 bytes.
    nlprintf(7008, big.c_str());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text.size(), NLS_OUT_MAX);
    EXPECT_EQ(shown[0].severity, NLS_SEV_T);
}

TEST_F(nlsFmtTest, LongCatalogTextsAreCut)
{
    static const nlsMsgSig_t sigs[] = {{7101, ""}, {7102, "s"}};
    const std::string dir = scratch();
    std::string piece(64 * 1024, 'p');
    ASSERT_TRUE(writeSourceCatalog(dir, "EN_US",
                                   "7101 T \"" + piece + "\"\n7102 T ordered \"" + piece + "{0:%s}" + piece + "\"\n"));
    ASSERT_EQ(start(nullptr, dir), 0);
    nlsSetSigTable(sigs, 2);
    EXPECT_EQ(fmt(7101), std::string(NLS_PLAIN_MAX, 'p'));
    EXPECT_EQ(fmt(7102, "!"), std::string(NLS_PIECE_MAX, 'p') + "!" + std::string(NLS_PIECE_MAX, 'p'));
}

TEST_F(nlsFmtTest, IssuingShowsThroughTheSeverityRoutine)
{
    ASSERT_EQ(start(nullptr, kCatalogs), 0);
    EXPECT_EQ(nlprintf(2218, "N", "S"), 0);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].severity, NLS_SEV_I);
    EXPECT_EQ(shown[0].text.rfind("QEB2218I The encryption key password of node N for server S", 0), 0u);
    shown.clear();
    EXPECT_EQ(nlprintf(4242), 0);   // unknown: only the repository's own diagnostic
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].text.find("QEB9999E"), std::string::npos);
}

TEST_F(nlsFmtTest, QuietClientShowsNothing)
{
    ASSERT_EQ(start(nullptr, kCatalogs, "EN", NLS_CLIENT_QUIET), 0);
    EXPECT_EQ(nlprintf(2218, "N", "S"), 0);
    EXPECT_TRUE(shown.empty()) << joined();
    EXPECT_EQ(fmt(2218, "N", "S").substr(0, 9), "QEB2218I ");   // formatting still works
}

TEST_F(nlsFmtTest, NothingBeforeTheMessageSystemExists)
{
    ASSERT_EQ(start(nullptr, kCatalogs), 0);
    MutexDesc *saved = nls_mutex;
    nls_mutex = nullptr;
    char *out = reinterpret_cast<char *>(1);
    EXPECT_EQ(nlsprintf(&out, 2218, "N", "S"), 0);
    EXPECT_EQ(out, nullptr);
    unsigned char sev = 9;
    EXPECT_EQ(vmessage(obj, 2218, &out, &sev, "N", "S"), nullptr);
    EXPECT_EQ(sev, 0);
    nls_mutex = saved;
}

TEST(nlsFmtUnit, BufferGrowsInFourKilobyteSteps)
{
    nlsCharBuffer b(1);
    EXPECT_TRUE(b.isChar());
    EXPECT_EQ(b.addToBuffer("abc", 0), 3);
    EXPECT_EQ(b.addToBuffer("defgh", 2), 5);
    EXPECT_STREQ(b.getBuffer(), "abcde");
    std::string big(5000, 'z');
    EXPECT_EQ(b.addToBuffer(big.c_str(), static_cast<long>(big.size())), 5005);
    EXPECT_EQ(b.getMsgLen(), 5005u);
    EXPECT_EQ(std::string(b.getBuffer()).substr(5000), "zzzzz");
}

}  // namespace
