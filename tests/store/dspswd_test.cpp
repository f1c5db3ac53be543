// Password operations: dispatch by record type, and the request record carried to the file.
#include "store/dspswd.h"

#include <gtest/gtest.h>

#include "tests/support/pwfixture.h"

using pwfix::Bytes;

namespace {

TEST(dspswd, OtherTypesAreThreeToFive)
{
    struct Row {
        unsigned char type;
        int other;
    } rows[] = {{0, 0}, {1, 0}, {2, 0}, {3, 1}, {4, 1}, {5, 1}, {6, 0}, {7, 0}, {255, 0}};
    for (const Row &r : rows)
        EXPECT_EQ(isOtherType(r.type), r.other) << int(r.type);
}

class dspswdFile : public ::testing::Test {
protected:
    pwfix::TempDir dir;
    std::string path = dir.file();
    pswdFileInfo info{};
    char pw[PSWD_FIELD_BUF + 4] = "untouched";
    char block[PSWD_KEYBLOCK_SIZE] = "untouched";
    char node[PSWD_FIELD_BUF] = "NODE1";

    pswdRequest request(const char *n, const char *server)
    {
        return {.fileInfo = &info, .path = path.c_str(), .node = n, .server = server};
    }

    int get(unsigned char type, const char *server = "SRV")
    {
        unsigned char keyIn[PSWD_KEY_SIZE] = {};
        return dsGetPassword(request(node, server), type, block, keyIn, pw, node, 0);
    }
    int set(unsigned char type, const char *pswd1, const char *pswd2, const char *n = "NODE1",
            const unsigned char *key = nullptr)
    {
        return dsSetPassword(request(n, "SRV"), type, pswd1, key, pswd2);
    }
};

TEST_F(dspswdFile, GetReadsTypesZeroAndOneByServerAndNode)
{
    pwfix::writeFile(path, pwfix::file({pwfix::v3(0, "SRV", "NODE1", "server-pw"), pwfix::v3(1, "SRV", "NODE1", "key")}));
    EXPECT_EQ(get(0), 0);
    EXPECT_STREQ(pw, "server-pw");
    EXPECT_EQ(info.cryptoKeyOK, 1);
    EXPECT_EQ(get(1), 0);
    EXPECT_STREQ(block, "key");
    EXPECT_EQ(get(0, "OTHER"), KEL_ST_NO_PASSWORD);
}

TEST_F(dspswdFile, TypeTwoIsNeverServed)
{
    pwfix::writeFile(path, pwfix::file({pwfix::v3(2, "SRV", "NODE1", "tsa")}));
    Bytes before = pwfix::readFile(path);
    EXPECT_EQ(get(2), KEL_ST_NO_PASSWORD);
    EXPECT_STREQ(pw, "untouched");
    EXPECT_EQ(set(2, "new", "new"), -1);
    EXPECT_EQ(pwfix::readFile(path), before);
}

TEST_F(dspswdFile, UnknownTypesTouchNothing)
{
    for (unsigned char type : {6, 7, 255}) {
        EXPECT_EQ(get(type), 0);
        EXPECT_STREQ(pw, "untouched");
        EXPECT_STREQ(block, "untouched");
        EXPECT_EQ(set(type, "a", "b"), 0);
    }
    EXPECT_TRUE(pwfix::dirEntries(dir.path()).empty());
    EXPECT_EQ(info.cryptoKeyOK, 0);
}

TEST_F(dspswdFile, SetStoresThePasswordOfItsType)
{
    const unsigned char key[PSWD_KEY_SIZE] = {'k', 'e', 'y', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f', 'g'};
    struct Row {
        const char *name;
        unsigned char type;
        const char *pswd1, *pswd2, *stored;
    } rows[] = {
        {"server password is the second", 0, "first", "second", "second"},
        {"empty second gives the first", 0, "first", "", "first"},
        {"encryption key is the first", 1, "first", "second", "first"},
        {"other types take the second", 3, "first", "second", "second"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        unlink(path.c_str());
        ASSERT_EQ(set(r.type, r.pswd1, r.pswd2, "NODE1", key), 0);
        std::vector<pwfix::Record> recs;
        ASSERT_TRUE(pwfix::parse(pwfix::readFile(path), recs));
        ASSERT_EQ(recs.size(), 1u);
        Bytes k = pwfix::isOther(r.type) ? Bytes(reinterpret_cast<const char *>(key), 16) : pwfix::keyOf("NODE1");
        EXPECT_EQ(recs[0].bytes(), pwfix::v3(r.type, "SRV", "NODE1", r.stored, k).bytes());
    }
}

TEST_F(dspswdFile, DeleteRemovesOnlyTheRequestsNodeAndServer)
{
    pwfix::Record keep = pwfix::v3(0, "SRV", "NODE2", "two");
    pwfix::writeFile(path, pwfix::file({pwfix::v3(0, "SRV", "NODE1", "one"), keep}));
    dsDeletePasswordRecord(request("NODE1", "SRV"), 0);
    std::vector<pwfix::Record> recs;
    ASSERT_TRUE(pwfix::parse(pwfix::readFile(path), recs));
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].bytes(), keep.bytes());
}

// Every operation works on the file and the names its request carries and
// keeps the node key in the request's own file description: a request for
// another file, node and server touches neither the fixture's file nor its key.
TEST_F(dspswdFile, EveryOperationUsesTheRequestsFileNamesAndKey)
{
    const std::string otherPath = dir.file("OTHER.PWD");
    pswdFileInfo otherInfo{};
    const pswdRequest rq{.fileInfo = &otherInfo, .path = otherPath.c_str(), .node = "NODE2", .server = "SRV2"};
    auto storedIs = [&](const char *pswd) {
        std::vector<pwfix::Record> recs;
        return pwfix::parse(pwfix::readFile(otherPath), recs) && recs.size() == 1 &&
               recs[0].bytes() == pwfix::v3(0, "SRV2", "NODE2", pswd).bytes();
    };
    const Bytes nodeKey = pwfix::keyOf("NODE2");

    ASSERT_EQ(dsSetPassword(rq, PSWD_TYPE_SERVER, "", nullptr, "pw-two"), 0);
    EXPECT_TRUE(storedIs("pw-two"));
    EXPECT_EQ(otherInfo.cryptoKeyOK, 1);
    EXPECT_EQ(Bytes(reinterpret_cast<const char *>(otherInfo.cryptoKey), PSWD_KEY_SIZE), nodeKey);

    char got[PSWD_FIELD_BUF] = {};
    EXPECT_EQ(dsGetPassword(rq, PSWD_TYPE_SERVER, nullptr, nullptr, got, nullptr, 0), 0);
    EXPECT_STREQ(got, "pw-two");

    EXPECT_EQ(dsCheckPasswordStore(rq), 0);
    EXPECT_EQ(dsReplacePassword(rq, "pw-one", "pw-three"), PSWD_RC_STORED_CHANGED);
    EXPECT_TRUE(storedIs("pw-two"));
    EXPECT_EQ(dsReplacePassword(rq, "pw-two", "pw-three"), 0);
    EXPECT_TRUE(storedIs("pw-three"));

    dsDeletePasswordRecord(rq, PSWD_TYPE_SERVER);
    EXPECT_EQ(access(otherPath.c_str(), F_OK), -1) << "a file left without records is removed";

    EXPECT_EQ(access(path.c_str(), F_OK), -1) << "the fixture's file was made";
    EXPECT_EQ(info.cryptoKeyOK, 0);
}

} // namespace
