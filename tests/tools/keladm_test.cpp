// The administrator's tool: the read-only scan of a password file against
// files laid out byte by byte, and keladm itself run as a person runs it.
#include "tools/pwfscan.h"

#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "tests/common/unx/pwfixture.h"
#include "tests/tools/toolrun.h"

namespace {

using pwfix::Bytes;

const std::string kKeladm = KEL_BINARY_DIR "/tools/keladm";

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const auto &p : parts)
        all += p;
    return all;
}

void scanImage(const Bytes &img, pwfScan *scan)
{
    pwfScanImage(reinterpret_cast<const unsigned char *>(img.data()), img.size(), scan);
}

TEST(PwfScan, FilesLaidOutByHand)
{
    const Bytes good = pwfix::v3(0, "SRV", "N1", "SECRET1").bytes();
    const Bytes key = pwfix::v3(1, "SRV", "N1", "KEYTEXT").bytes();
    Bytes longField = pwfix::Record{0, 3, {"NULL", Bytes(200, 'S'), "N1", "", ""}}.bytes();
    Bytes hugeLen = good;
    hugeLen[19] = hugeLen[20] = hugeLen[21] = hugeLen[22] = '\xFF';   // field 5 length 0xFFFFFFFF
    Bytes otherNode = pwfix::v3(0, "SRV", "N1", "SECRET1").bytes();
    otherNode[23 + 4 + 3 + 1] = '2';   // field 3 now says N2, field 4 still enciphers N1
    Bytes version2 = good;
    version2[2] = 2;

    struct Case {
        const char *name;
        Bytes image;
        size_t records;
        bool damaged;
        size_t damageOffset;
        const char *phrase;
    } cases[] = {
        {"empty file", {}, 0, false, 0, ""},
        {"header only", pwfix::header(), 0, false, 0, ""},
        {"header cut short", Bytes(30, ' '), 0, true, 0, "header is cut short"},
        {"two good records", pwfix::header() + good + key, 2, false, 0, ""},
        {"record header cut short", concat({pwfix::header(), good, Bytes("\x00\xEF\x03", 3)}), 1, true, 71 + good.size(),
         "record header is cut short"},
        {"record fields cut short", concat({pwfix::header(), good.substr(0, good.size() - 3)}), 0, true, 71,
         "cut short by the end of the file"},
        {"field length 0xFFFFFFFF", pwfix::header() + good + hugeLen, 1, true, 71 + good.size(), "field 5 claims"},
        {"200-byte field", pwfix::header() + longField, 0, true, 71, "field 2 claims 200 bytes"},
        {"garbage after the last record", concat({pwfix::header(), good, "junk"}), 1, true,
         71 + good.size(), "do not begin a record"},
        {"written for another node", pwfix::header() + otherNode, 0, true, 71, "does not decipher to 'N2'"},
        {"unknown version", pwfix::header() + version2, 0, true, 71, "version 2"},
    };
    for (const auto &c : cases) {
        pwfScan scan;
        scanImage(c.image, &scan);
        EXPECT_EQ(c.records, scan.records.size()) << c.name;
        EXPECT_EQ(c.damaged, scan.damaged) << c.name;
        if (c.damaged) {
            EXPECT_EQ(c.damageOffset, scan.damageOffset) << c.name;
            EXPECT_NE(std::string::npos, scan.damage.find(c.phrase)) << c.name << ": " << scan.damage;
        }
    }
}

TEST(PwfScan, RecordsAndSavedKeys)
{
    const Bytes img = pwfix::file({pwfix::v3(0, "SRV", "N1", "PW"), pwfix::v3(1, "SRV", "N1", "K3"),
                                   pwfix::saved(1, "SRV", "N1", "K1"), pwfix::saved(2, "SRV", "N1", "K2")});
    pwfScan scan;
    scanImage(img, &scan);
    ASSERT_FALSE(scan.damaged) << scan.damage;
    ASSERT_EQ(4u, scan.records.size());
    const unsigned char types[] = {0, 1, 1, 1}, saved[] = {0, 0, 1, 2}, versions[] = {3, 3, 3, 1};
    for (size_t i = 0; i < 4; ++i) {
        const auto &r = scan.records[i];
        EXPECT_EQ(types[i], r.type);
        EXPECT_EQ(saved[i], r.savedPrefix);
        EXPECT_EQ(versions[i], r.version);
        EXPECT_EQ("SRV", r.server);
        EXPECT_EQ("N1", r.node);
        EXPECT_EQ(i + 1, r.index);
    }
    EXPECT_TRUE(scan.records[0].nodeChecked);
    EXPECT_EQ("a\\x01\\x5Cb", pwfPrintable(std::string("a\x01\\b")));
}

class Keladm : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "keladm runs as root";
    }
    ToolRun adm(const std::string &args, const std::string &input = "")
    {
        return run(tmp, kKeladm + " --dir " + tmp.path() + " " + args, input);
    }
    pwfix::TempDir tmp;
};

TEST_F(Keladm, StoresListsAndDeletes)
{
    ToolRun r = adm("set-server N1 SRV", "SERVERPW1\n");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Stored the server password of node N1 for server SRV"));
    r = adm("set-key N1 SRV", "KEYPW1\n");
    ASSERT_EQ(0, r.status) << r.err;

    // The stored records, deciphered here from the layout with the node key.
    const Bytes want = pwfix::file({pwfix::v3(0, "SRV", "N1", "SERVERPW1"), pwfix::v3(1, "SRV", "N1", "KEYPW1")});
    const Bytes got = pwfix::readFile(tmp.file());
    ASSERT_EQ(want.size(), got.size());
    EXPECT_TRUE(std::equal(want.begin() + 71, want.end(), got.begin() + 71));
    struct stat sb;
    ASSERT_EQ(0, stat(tmp.file().c_str(), &sb));
    EXPECT_EQ(0600u, sb.st_mode & 07777);

    r = adm("list");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("2 records"));
    EXPECT_NE(std::string::npos, r.out.find("server password"));
    EXPECT_NE(std::string::npos, r.out.find("encryption key"));
    EXPECT_EQ(std::string::npos, r.out.find("SERVERPW1"));
    EXPECT_EQ(std::string::npos, r.out.find("KEYPW1"));

    r = adm("check");
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("is intact")) << r.out;

    r = adm("delete server N1 SRV");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("Deleted 1 server password record"));
    r = adm("delete server N1 SRV");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("no server password of node N1 for server SRV is stored"));
    r = adm("delete key N1 SRV");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("the file was removed"));
    r = adm("list");
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("does not exist"));
}

TEST_F(Keladm, RefusesBadInputAndLeavesTheFile)
{
    ASSERT_EQ(0, adm("set-server N1 SRV", "OLDPW\n").status);
    const Bytes before = pwfix::readFile(tmp.file());
    struct Case {
        const char *args, *input;
        int status;
        const char *phrase;
    } cases[] = {
        {"set-server N1 SRV", "\n", 1, "the password is empty"},
        {"set-server N1 SRV", "", 1, "the password is empty"},
        {"set-server N1 SRV", "0123456789012345678901234567890123456789012345678901234567890123\n", 1,
         "longer than 63 bytes"},
        {"set-server N1 SRV", "A\tB\n", 1, "control characters"},
        {"set-server N1 " /* 68-byte server name */
         "SSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSSS", "PW\n", 2, "1 to 67 bytes"},
        {"set-server N1", "PW\n", 2, "take a node name and a server name"},
        {"delete both N1 SRV", "", 2, "'server' or 'key'"},
        {"frobnicate", "", 2, "unknown command"},
        {"--bogus list", "", 2, "unknown option"},
    };
    for (const auto &c : cases) {
        ToolRun r = adm(c.args, c.input);
        EXPECT_EQ(c.status, r.status) << c.args;
        EXPECT_NE(std::string::npos, r.err.find(c.phrase)) << c.args << ": " << r.err;
        EXPECT_EQ(before, pwfix::readFile(tmp.file())) << c.args;
    }
}

TEST_F(Keladm, ReportsDamageWithoutChangingTheFile)
{
    const Bytes good = pwfix::v3(0, "SRV", "N1", "PW").bytes();
    const Bytes damaged = concat({pwfix::header(), good, Bytes("\x00\xEE\x01\x02", 4), " garbage"});
    ASSERT_TRUE(pwfix::writeFile(tmp.file(), damaged));
    ToolRun r = adm("check");
    EXPECT_EQ(3, r.status);
    EXPECT_NE(std::string::npos, r.out.find("is damaged: 1 intact record before offset " +
                                            std::to_string(71 + good.size())))
        << r.out;
    r = adm("list");
    EXPECT_EQ(3, r.status);
    EXPECT_NE(std::string::npos, r.out.find("Damage at offset"));
    r = adm("delete server N1 SRV");
    EXPECT_EQ(3, r.status);
    r = adm("set-server N1 SRV", "NEWPW\n");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("could not be stored")) << r.err;
    EXPECT_EQ(damaged, pwfix::readFile(tmp.file()));

    ASSERT_EQ(0, unlink(tmp.file().c_str()));
    ASSERT_EQ(0, symlink("/etc/passwd", tmp.file().c_str()));
    r = adm("check");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.out.find("symbolic link"));
}

} // namespace
