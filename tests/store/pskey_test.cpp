// Key derivation for the password file, against keys made independently
// with the system's crypt (pwfixture.h).
#include "store/pskey.h"

#include <gtest/gtest.h>

#include <cstring>

#include "base/fsubsys.h"
#include "store/pswdrec.h"
#include "tests/support/pwfixture.h"

namespace {

using pwfix::Bytes;

TEST(pssecKeys, DigitSaltsMatchCryptItself)
{
    // Hash texts of both passes computed independently; each starts with two digits.
    struct Row {
        const char *name, *text1, *text2;
    } rows[] = {
        {"NODE1", "16693250", "40190487"},     {"CLIENT01", "46232283", "86574201"},
        {"ServerA", "49169304", "11446533"},   {"PAYROLL", "38632815", "75809173"},
        {"HOST-ALPHA", "25292189", "34702879"}, {"\xE9t\xE9", "89540256", "69835130"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        std::string half1(crypt(r.text1, r.text1) + 2, 8);
        std::string half2(crypt(r.text2, r.text2) + 2, 8);
        unsigned char key[PSWD_KEY_SIZE];
        ASSERT_EQ(psCreateCryptoKey(key, r.name), 1);
        EXPECT_EQ(Bytes(reinterpret_cast<char *>(key), 16), half1 + half2);
    }
}

TEST(pssecKeys, BlankSaltCharactersStandForM)
{
    // A blank has the 6-bit value 50 under the traditional rule: salt character 'm'.
    struct Row {
        const char *name, *text1, *salt1, *text2, *salt2;
    } rows[] = {
        {"N1", "    3822", "mm", "14607684", "14"},
        {"SRV", "  585316", "mm", "99889762", "99"},
        {"NODE2", "45605354", "45", " 8803348", "m8"},
        {"A", "      65", "mm", "    4225", "mm"},
        {"", "       1", "mm", "       1", "mm"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        std::string half1(crypt(r.text1, r.salt1) + 2, 8);
        std::string half2(crypt(r.text2, r.salt2) + 2, 8);
        unsigned char key[PSWD_KEY_SIZE];
        ASSERT_EQ(psCreateCryptoKey(key, r.name), 1);
        EXPECT_EQ(Bytes(reinterpret_cast<char *>(key), 16), half1 + half2);
    }
}

TEST(pssecKeys, NodeKeyOnlyForNamesThatFit)
{
    unsigned char key[PSWD_KEY_SIZE], direct[PSWD_KEY_SIZE];
    Bytes fits(67, 'n');
    ASSERT_EQ(psSetUpCryptoKey(key, fits.c_str()), 1);
    ASSERT_EQ(psCreateCryptoKey(direct, fits.c_str()), 1);
    EXPECT_EQ(memcmp(key, direct, 16), 0);

    memset(key, 0x5A, sizeof key);
    Bytes tooLong(68, 'n');
    EXPECT_EQ(psSetUpCryptoKey(key, tooLong.c_str()), 0);
    EXPECT_EQ(psSetUpCryptoKey(key, nullptr), 0);
    EXPECT_EQ(Bytes(reinterpret_cast<char *>(key), 16), Bytes(16, 0x5A));
    EXPECT_EQ(psCreateCryptoKey(key, nullptr), 0);
}

TEST(pssecKeys, HostKeyComesFromTheHostName)
{
    unsigned char key[PSWD_KEY_SIZE];
    ASSERT_EQ(getCryptoKeyV1(key), 1);
    EXPECT_EQ(Bytes(reinterpret_cast<char *>(key), 16), pwfix::hostKey());
}

TEST(pssecKeys, HostKeyOfAClusterComesFromTheClusterName)
{
    fileSybsystemInfo_t saved = *fileSubsystemInfoP;
    fileSubsystemInfoP->clusterNodeFlag = 1;
    fileSubsystemInfoP->clusterAvailable = 1;
    snprintf(fileSubsystemInfoP->clusterName, sizeof fileSubsystemInfoP->clusterName, "%s", "CLUSTERA");
    unsigned char key[PSWD_KEY_SIZE];
    int rc = getCryptoKeyV1(key);
    *fileSubsystemInfoP = saved;
    ASSERT_EQ(rc, 1);
    EXPECT_EQ(Bytes(reinterpret_cast<char *>(key), 16), pwfix::keyOf("CLUSTERA"));
}

} // namespace
