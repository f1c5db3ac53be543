// The password file routines against files built from the layout
// (pwfixture.h), never against files of the writer's own making alone.
#include "store/pssec.h"

#include <gtest/gtest.h>

#include <sys/file.h>
#include <sys/wait.h>

#include <algorithm>
#include <climits>
#include <functional>

#include "base/dslnklst.h"
#include "base/fsubsys.h"
#include "base/kelmem.h"
#include "diag/trace.h"
#include "store/dspswd.h"
#include "tests/support/pwfixture.h"

using pwfix::Bytes;
using pwfix::Record;

namespace {

const Bytes SRV = "SRV";
const Bytes N1 = "NODE1";
const Bytes N2 = "NODE2";
const Bytes N3 = "NODE3";

struct ReadResult {
    int rc;
    Bytes text;   // the password, or the 192-byte key block for type 1
    Bytes node;   // what the node buffer holds afterwards
};

// One read with a fresh pswdFileInfo, as a new agent run makes it.
ReadResult readPw(const std::string &path, unsigned char type, const Bytes &server, const Bytes &node,
                  int convertOK = 0, const Bytes *callerKey = nullptr, bool keyReady = false)
{
    pswdFileInfo info{};
    info.pswdFile = const_cast<char *>(path.c_str());
    if (keyReady)
        info.cryptoKeyOK = 1;
    char pw[PSWD_FIELD_BUF + 8];
    memset(pw, 'Z', sizeof pw);
    pw[sizeof pw - 1] = '\0';
    char block[PSWD_KEYBLOCK_SIZE];
    memset(block, 'Z', sizeof block);
    std::vector<char> nodeBuf(node.begin(), node.end());
    nodeBuf.resize(std::max<size_t>(node.size() + 1, PSWD_FIELD_BUF), '\0');
    unsigned char keyIn[PSWD_KEY_SIZE] = {};
    if (callerKey != nullptr)
        memcpy(keyIn, callerKey->data(), PSWD_KEY_SIZE);
    const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = nodeBuf.data(), .server = server.c_str()};
    int rc = psReadPswdFile(rq, type, block, keyIn, pw, nodeBuf.data(), convertOK);
    ReadResult r{rc, type == PSWD_TYPE_ENCRKEY ? Bytes(block, sizeof block) : Bytes(pw), Bytes(nodeBuf.data())};
    return r;
}

int writePw(const std::string &path, unsigned char type, const Bytes &server, const Bytes &node, const Bytes &pw,
            const Bytes *callerKey = nullptr)
{
    pswdFileInfo info{};
    info.pswdFile = const_cast<char *>(path.c_str());
    unsigned char key[PSWD_KEY_SIZE] = {};
    if (callerKey != nullptr)
        memcpy(key, callerKey->data(), PSWD_KEY_SIZE);
    const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = node.c_str(), .server = server.c_str()};
    return psWritePswdFile(rq, type, pw.c_str(), key, pw.c_str());
}

// The delete that reports its rewrite's result.
int removePw(const std::string &path, unsigned char type, const Bytes &server, const Bytes &node)
{
    return psRemovePasswordRecord(type, node.c_str(), server.c_str(), path.c_str());
}

void deletePw(const std::string &path, unsigned char type, const Bytes &server, const Bytes &node)
{
    pswdFileInfo info{};
    psDeletePasswordRecord({.fileInfo = &info, .path = path.c_str(), .node = node.c_str(), .server = server.c_str()},
                           type);
}

// The key block as the reader fills it: one text per 64-byte slot.
Bytes keyBlock(const std::vector<Bytes> &slots)
{
    Bytes b(PSWD_KEYBLOCK_SIZE, '\0');
    for (size_t i = 0; i < slots.size(); i++)
        b.replace(i * PSWD_KEYSLOT_SIZE, slots[i].size(), slots[i]);
    return b;
}

std::vector<Record> records(const std::string &path)
{
    std::vector<Record> recs;
    EXPECT_TRUE(pwfix::parse(pwfix::readFile(path), recs)) << "the file does not parse";
    return recs;
}

std::set<std::string> onlyTheFile() { return {"ZAR.PWD", "ZAR.PWD.lock"}; }

class pssecFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Every trace line is formatted (the trace gate keeps them from any output).
        TR_PASSWORD = 1;
        TR_ENTER = 1;
        fioResetSteps();
    }
    void TearDown() override
    {
        TR_PASSWORD = 0;
        TR_ENTER = 0;
        fioResetSteps();
    }
    pwfix::TempDir dir;
    std::string path = dir.file();
};

// ---------------------------------------------------------------- reading

struct ReadCase {
    const char *name;
    std::vector<Record> recs;
    unsigned char type;
    Bytes server, node;
    int rc;
    Bytes text;
};

class pssecRead : public pssecFile, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(pssecRead, FindsTheRecord)
{
    const ReadCase &c = GetParam();
    pwfix::writeFile(path, pwfix::file(c.recs));
    Bytes before = pwfix::readFile(path);
    ReadResult r = readPw(path, c.type, c.server, c.node);
    EXPECT_EQ(r.rc, c.rc);
    EXPECT_EQ(r.text, c.text);
    EXPECT_EQ(pwfix::readFile(path), before) << "a read changed the file";
}

Bytes nothing() { return Bytes(); }

INSTANTIATE_TEST_SUITE_P(
    Cases, pssecRead,
    ::testing::Values(
        ReadCase{"HeaderOnly", {}, 0, SRV, N1, KEL_ST_NO_PASSWORD, nothing()},
        ReadCase{"OneServerPassword", {pwfix::v3(0, SRV, N1, "secret1")}, 0, SRV, N1, 0, "secret1"},
        ReadCase{"AmongOthers",
                 {pwfix::v3(0, SRV, N2, "other"), pwfix::v3(1, SRV, N1, "key"), pwfix::v3(0, "SRV2", N1, "x"),
                  pwfix::v3(0, SRV, N1, "mine")},
                 0, SRV, N1, 0, "mine"},
        ReadCase{"TwoRecordsTheFirstWins",
                 {pwfix::v3(0, SRV, N1, "first"), pwfix::v3(0, SRV, N1, "second")}, 0, SRV, N1, 0, "first"},
        ReadCase{"ServerComparedByteForByte", {pwfix::v3(0, "srv", N1, "lower")}, 0, SRV, N1, KEL_ST_NO_PASSWORD, nothing()},
        ReadCase{"NodeComparedByteForByte", {pwfix::v3(0, SRV, "NODE1 ", "blank")}, 0, SRV, N1, KEL_ST_NO_PASSWORD, nothing()},
        ReadCase{"ServerPrefixIsNotAMatch", {pwfix::v3(0, "SRVX", N1, "longer")}, 0, SRV, N1, KEL_ST_NO_PASSWORD, nothing()},
        ReadCase{"LongestPassword", {pwfix::v3(0, SRV, N1, Bytes(67, 'p'))}, 0, SRV, N1, 0, Bytes(67, 'p')},
        ReadCase{"EmptyPassword", {pwfix::v3(0, SRV, N1, "")}, 0, SRV, N1, 0, nothing()},
        ReadCase{"OtherNodesKeyFails9180",
                 {pwfix::v3(0, SRV, N1, "copied", pwfix::keyOf(N2))}, 0, SRV, N1, KEL_ST_NO_PASSWORD, nothing()},
        ReadCase{"UnsupportedVersion",
                 {[] { Record r = pwfix::v3(0, SRV, N1, "v2"); r.version = 2; return r; }()}, 0, SRV, N1, KEL_ST_NO_PASSWORD,
                 nothing()},
        ReadCase{"SavedRecordIsNoCurrentKey", {pwfix::saved(2, SRV, N1, "old")}, 1, SRV, N1, KEL_ST_NO_PASSWORD,
                 keyBlock({})},
        ReadCase{"CurrentKeyOnly", {pwfix::v3(1, SRV, N1, "cur")}, 1, SRV, N1, 0, keyBlock({"cur"})},
        ReadCase{"LastCurrentKeyWins", {pwfix::v3(1, SRV, N1, "k1"), pwfix::v3(1, SRV, N1, "k2")}, 1, SRV, N1,
                 0, keyBlock({"k2"})},
        ReadCase{"SavedKeysAt64And128",
                 {pwfix::saved(1, SRV, N1, "savedByHost"), pwfix::v3(1, SRV, N1, "current"),
                  pwfix::saved(2, SRV, N1, "savedByNode"), pwfix::saved(2, SRV, N2, "notMine")},
                 1, SRV, N1, 0, keyBlock({"current", "savedByNode", "savedByHost"})},
        ReadCase{"OnlyHostSavedKeyLandsAt64",
                 {pwfix::v3(1, SRV, N1, "current"), pwfix::saved(1, SRV, N1, "savedByHost")}, 1, SRV, N1, 0,
                 keyBlock({"current", "savedByHost"})},
        ReadCase{"LongestKeyText", {pwfix::v3(1, SRV, N1, Bytes(63, 'k'))}, 1, SRV, N1, 0,
                 keyBlock({Bytes(63, 'k')})},
        // A text past its slot reads back as the layout places it while no other text follows it.
        ReadCase{"KeyTextRunningIntoTheNextSlot", {pwfix::v3(1, SRV, N1, Bytes(64, 'k'))}, 1, SRV, N1, 0,
                 keyBlock({Bytes(64, 'k')})},
        ReadCase{"KeyTextRunningIntoASavedKey",
                 {pwfix::v3(1, SRV, N1, Bytes(64, 'k')), pwfix::saved(2, SRV, N1, "s")}, 1, SRV, N1, KEL_ST_NO_PASSWORD,
                 keyBlock({})},
        ReadCase{"SavedKeyRunningIntoTheNextSlot",
                 {pwfix::v3(1, SRV, N1, "cur"), pwfix::saved(2, SRV, N1, Bytes(64, 's'))}, 1, SRV, N1, 0,
                 keyBlock({"cur", Bytes(64, 's')})},
        ReadCase{"EncryptionKeyV1WithoutPermission", {pwfix::v1(1, SRV, N1, "oldkey")}, 1, SRV, N1, KEL_ST_NO_PASSWORD,
                 keyBlock({})},
        ReadCase{"ServerNameTooLong", {}, 0, Bytes(68, 's'), N1, KEL_ST_NO_PASSWORD, nothing()},
        ReadCase{"NodeNameTooLong", {}, 0, SRV, Bytes(68, 'n'), KEL_ST_NO_PASSWORD, nothing()}),
    [](const ::testing::TestParamInfo<ReadCase> &i) { return std::string(i.param.name); });

TEST_F(pssecFile, MissingOrEmptyFileHasNoRecord)
{
    EXPECT_EQ(readPw(path, 0, SRV, N1).rc, KEL_ST_NO_PASSWORD);
    pwfix::writeFile(path, "");
    EXPECT_EQ(readPw(path, 0, SRV, N1).rc, KEL_ST_NO_PASSWORD);
    // The 71 header bytes are never looked at, whatever they hold.
    pwfix::writeFile(path, pwfix::file({pwfix::v3(0, SRV, N1, "pw")}, Bytes(71, '\xEF')));
    EXPECT_EQ(readPw(path, 0, SRV, N1).text, "pw");
}

TEST_F(pssecFile, NullRecordGives168)
{
    char pw[PSWD_FIELD_BUF] = "untouched";
    char node[PSWD_FIELD_BUF] = "NODE1";
    const pswdRequest noFileInfo{.fileInfo = nullptr, .path = path.c_str(), .node = node, .server = "SRV"};
    EXPECT_EQ(psReadPswdFile(noFileInfo, 0, nullptr, nullptr, pw, nullptr, 0), KEL_ST_NO_PASSWORD);
    EXPECT_STREQ(pw, "untouched");
}

TEST_F(pssecFile, OtherTypesUseTheCallersKeyAndReturnTheUser)
{
    Bytes key = "0123456789abcdef";
    pwfix::writeFile(path, pwfix::file({pwfix::v3(4, "ENTITY", "someone", "otherpw", key),
                                        pwfix::v3(3, "ENTITY", "user3", "type3pw", key)}));
    // With the node key in hand the caller's key is used.
    ReadResult r = readPw(path, 4, "ENTITY", "", 0, &key, true);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "otherpw");
    EXPECT_EQ(r.node, "someone");
    // Without it too: a record just written with the caller's key reads back
    // at once, and nothing is derived from the user-name buffer.
    ASSERT_EQ(writePw(path, 5, "ENTITY", "user5", "fresh", &key), 0);
    pswdFileInfo info{};
    char pw[PSWD_FIELD_BUF] = {}, user[PSWD_FIELD_BUF] = "user5";
    unsigned char keyIn[PSWD_KEY_SIZE];
    memcpy(keyIn, key.data(), sizeof keyIn);
    const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = user, .server = "ENTITY"};
    EXPECT_EQ(psReadPswdFile(rq, 5, nullptr, keyIn, pw, user, 0), 0);
    EXPECT_STREQ(pw, "fresh");
    EXPECT_EQ(info.cryptoKeyOK, 0) << "a node key made from a user name";
    // A record under a key made from the user name is not the caller's.
    pwfix::writeFile(path, pwfix::file({pwfix::v3(5, "ENTITY", "user5", "derived")}));
    EXPECT_EQ(readPw(path, 5, "ENTITY", "user5", 0, &key, false).rc, KEL_ST_NO_PASSWORD);
    EXPECT_EQ(readPw(path, 5, "OTHER", "user5", 0, &key, false).rc, KEL_ST_NO_PASSWORD);
}

TEST_F(pssecFile, LinkAtTheNameIsNotFollowed)
{
    std::string target = dir.file("target");
    pwfix::writeFile(target, pwfix::file({pwfix::v3(0, SRV, N1, "behindLink")}));
    Bytes before = pwfix::readFile(target);
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);

    EXPECT_EQ(readPw(path, 0, SRV, N1).rc, KEL_ST_NO_PASSWORD);
    EXPECT_EQ(writePw(path, 0, SRV, N1, "new"), -1);
    deletePw(path, 0, SRV, N1);

    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(pwfix::readFile(target), before);
}

TEST_F(pssecFile, NonRegularFileIsRefused)
{
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);   // would block an open for reading
    EXPECT_EQ(readPw(path, 0, SRV, N1).rc, KEL_ST_NO_PASSWORD);
    EXPECT_EQ(writePw(path, 0, SRV, N1, "new"), -1);
    deletePw(path, 0, SRV, N1);
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

// ---------------------------------------------------------------- version 1 conversion

TEST_F(pssecFile, Version1ServerPasswordIsConvertedWithTheHostKey)
{
    Record other = pwfix::v3(0, SRV, N2, "keepme");
    pwfix::writeFile(path, pwfix::file({pwfix::v1(0, SRV, N1, "oldpw"), other}));

    ReadResult r = readPw(path, 0, SRV, N1);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "oldpw");

    std::vector<Record> recs = records(path);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].bytes(), other.bytes());
    EXPECT_EQ(recs[1].bytes(), pwfix::v3(0, SRV, N1, "oldpw").bytes());
    EXPECT_EQ(readPw(path, 0, SRV, N1).text, "oldpw");
}

TEST_F(pssecFile, Version1EncryptionKeyIsConvertedWhenAllowed)
{
    pwfix::writeFile(path, pwfix::file({pwfix::v1(1, SRV, N1, "oldkey")}));
    ReadResult r = readPw(path, 1, SRV, N1, 1);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, keyBlock({"oldkey"}));
    // Afterwards a current version 3 key and both saved copies give the same key.
    EXPECT_EQ(readPw(path, 1, SRV, N1).text, keyBlock({"oldkey", "oldkey", "oldkey"}));
}

// A conversion that starts after another process stored a new password
// must not bring the old one back: it reads the record that stands now.
TEST_F(pssecFile, ConversionNeverOverwritesANewerPassword)
{
    pwfix::writeFile(path, pwfix::file({pwfix::v1(0, SRV, N1, "oldpw")}));
    const Bytes newer = pwfix::file({pwfix::v3(0, SRV, N1, "newpw")});
    struct Store {
        std::string tmp, path;
        Bytes newer;
        bool done = false;
    } store{dir.file("newer"), path, newer};
    // Just before the conversion opens the lock file, the newer file goes into place.
    fioSetStepHook(
        [](fioStep step, void *ctx) {
            Store &st = *static_cast<Store *>(ctx);
            if (step != FIO_STEP_LOCK || st.done)
                return;
            st.done = true;
            pwfix::writeFile(st.tmp, st.newer);
            rename(st.tmp.c_str(), st.path.c_str());
        },
        &store);
    ReadResult r = readPw(path, 0, SRV, N1);
    fioSetStepHook(nullptr, nullptr);
    ASSERT_TRUE(store.done);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.text, "newpw");
    EXPECT_EQ(pwfix::readFile(path), newer);
}

// A conversion is a chance, never a condition: where the rewrite cannot be
// made at once, the version 1 record is answered as read and left as it is,
// and the reader never waits for a writer.
TEST_F(pssecFile, AConversionThatCannotBeWrittenStillAnswers)
{
    const Bytes v1 = pwfix::file({pwfix::v1(0, SRV, N1, "oldpw")});
    struct Row {
        const char *name;
        std::function<void(int *lockFd)> before;
    } rows[] = {
        {"another process holds the lock",
         [&](int *lockFd) {
             *lockFd = open(dir.file("ZAR.PWD.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
             ASSERT_EQ(flock(*lockFd, LOCK_EX), 0);
         }},
        {"the new file cannot be created", [](int *) { fioFailStep(FIO_STEP_CREATE, 1); }},
        {"the rename fails", [](int *) { fioFailStep(FIO_STEP_RENAME, 1); }},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        pwfix::writeFile(path, v1);
        fioResetSteps();
        fioSetLockWaitMs(3600 * 1000);   // a wait would outlast the test's own time limit
        int lockFd = -1;
        row.before(&lockFd);
        ReadResult r = readPw(path, 0, SRV, N1);
        fioResetSteps();
        if (lockFd >= 0)
            close(lockFd);
        EXPECT_EQ(r.rc, 0);
        EXPECT_EQ(r.text, "oldpw");
        EXPECT_EQ(pwfix::readFile(path), v1);
    }
}

// ---------------------------------------------------------------- writing

TEST_F(pssecFile, WriteCreatesDirectoriesAndTheFileByteForByte)
{
    std::string deep = dir.path() + "/a/b/c/ZAR.PWD";
    mode_t old = umask(0277);   // the mode is set whatever the umask
    int rc = writePw(deep, 0, SRV, N1, "pw1");
    umask(old);
    ASSERT_EQ(rc, 0);
    Bytes b = pwfix::readFile(deep);
    ASSERT_GE(b.size(), 71u);
    EXPECT_EQ(b.substr(71), pwfix::v3(0, SRV, N1, "pw1").bytes());
    struct stat st;
    ASSERT_EQ(stat(deep.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(pwfix::dirEntries(dir.path() + "/a/b/c"), onlyTheFile());
}

TEST_F(pssecFile, WriteReplacesEveryRecordOfTheNodeAndAppends)
{
    Record a = pwfix::v3(0, SRV, N2, "a");
    Record b = pwfix::v3(1, SRV, N1, "b");
    Record odd = Record{0, 3, {"NULL", Bytes("S\0V", 3), N1, Bytes("\0\0", 2), Bytes("x\0y", 3)}};
    pwfix::writeFile(path, pwfix::file({pwfix::v3(0, SRV, N1, "old1"), a, b, pwfix::v3(0, SRV, N1, "old2"), odd}),
                     0644);
    ASSERT_EQ(writePw(path, 0, SRV, N1, "new"), 0);
    std::vector<Record> recs = records(path);
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[0].bytes(), a.bytes());
    EXPECT_EQ(recs[1].bytes(), b.bytes());
    EXPECT_EQ(recs[2].bytes(), odd.bytes()) << "fields holding 0 bytes are carried whole";
    EXPECT_EQ(recs[3].bytes(), pwfix::v3(0, SRV, N1, "new").bytes());
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(pwfix::dirEntries(dir.path()), onlyTheFile());
}

TEST_F(pssecFile, WriteWithoutAnyReadFirstDerivesTheNodeKey)
{
    pswdFileInfo info{};
    const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = N1.c_str(), .server = SRV.c_str()};
    ASSERT_EQ(psWritePswdFile(rq, 0, "pw", nullptr, ""), 0);
    EXPECT_EQ(info.cryptoKeyOK, 1);
    EXPECT_EQ(records(path).at(0).bytes(), pwfix::v3(0, SRV, N1, "pw").bytes());
}

TEST_F(pssecFile, ReplacedKeyIsKeptAsTwoReadableSavedRecords)
{
    struct Row {
        const char *name;
        Record current;
    } rows[] = {{"version3", pwfix::v3(1, SRV, N1, "oldkey")}, {"version1", pwfix::v1(1, SRV, N1, "oldkey")}};
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        Record other = pwfix::v3(0, SRV, N1, "server");
        pwfix::writeFile(path, pwfix::file({row.current, other}));
        ASSERT_EQ(writePw(path, 1, SRV, N1, "newkey"), 0);

        const Record &cur = row.current;
        Record savedHost{1, 3, {cur.f[0], "\x01" + SRV, "\x01" + N1, cur.f[3], pwfix::enc(pwfix::hostKey(), "oldkey")}};
        Record savedNode{1, 1, {cur.f[0], "\x02" + SRV, "\x02" + N1, cur.f[3], pwfix::enc(pwfix::keyOf(N1), "oldkey")}};
        std::vector<Record> recs = records(path);
        ASSERT_EQ(recs.size(), 4u);
        EXPECT_EQ(recs[0].bytes(), savedHost.bytes());
        EXPECT_EQ(recs[1].bytes(), savedNode.bytes());
        EXPECT_EQ(recs[2].bytes(), other.bytes());
        EXPECT_EQ(recs[3].bytes(), pwfix::v3(1, SRV, N1, "newkey").bytes());
        EXPECT_EQ(readPw(path, 1, SRV, N1).text, keyBlock({"newkey", "oldkey", "oldkey"}));

        // With saved keys already there, the next replacement drops the current key only.
        ASSERT_EQ(writePw(path, 1, SRV, N1, "third"), 0);
        recs = records(path);
        ASSERT_EQ(recs.size(), 4u);
        EXPECT_EQ(recs[3].bytes(), pwfix::v3(1, SRV, N1, "third").bytes());
        EXPECT_EQ(readPw(path, 1, SRV, N1).text, keyBlock({"third", "oldkey", "oldkey"}));
    }
}

int writeKey(const std::string &path, const Bytes &key, bool dropCurrentOK)
{
    pswdFileInfo info{};
    return psWriteKeyRecord(key.c_str(), N1.c_str(), SRV.c_str(), &info, path.c_str(), dropCurrentOK ? 1 : 0);
}

// The file keeps one earlier key. K1, then K2 saves K1; K3 would drop K2
// without a trace, so it is stored only when the caller allows that.
TEST_F(pssecFile, AKeyIsDroppedOnlyWhenTheCallerAllowsIt)
{
    struct Row {
        const char *name;
        bool dropCurrentOK;
        int rc;
        Bytes block;   // the key request afterwards, as the layout places the texts
    } rows[] = {
        {"K3 without the confirmation", false, PSWD_RC_KEY_WOULD_BE_LOST, keyBlock({"K2", "K1", "K1"})},
        {"K3 with the confirmation", true, 0, keyBlock({"K3", "K1", "K1"})},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        unlink(path.c_str());
        ASSERT_EQ(writeKey(path, "K1", false), 0);
        ASSERT_EQ(writeKey(path, "K2", false), 0) << "the first replacement saves K1";
        const Bytes before = pwfix::readFile(path);
        EXPECT_EQ(writeKey(path, "K3", r.dropCurrentOK), r.rc);
        if (r.rc != 0) {
            EXPECT_EQ(pwfix::readFile(path), before);
        }
        ReadResult k = readPw(path, 1, SRV, N1);
        EXPECT_EQ(k.rc, 0);
        EXPECT_EQ(k.text, r.block);
    }
}

// Key texts of 64 to 67 bytes run into the next slot of the key block: they
// read back as the layout places them where no other text follows, and are
// refused (read 168, write -1) where one would be overwritten.
TEST_F(pssecFile, LongKeyTextsReadBackWhereNoOtherKeyFollows)
{
    const Bytes k64(64, 'a'), k67(67, 'b'), k63(63, 'c');
    struct Row {
        const char *name;
        std::vector<Record> recs;
        int rc;
        Bytes block;
    } rows[] = {
        {"current key of 67 bytes alone", {pwfix::v3(1, SRV, N1, k67)}, 0, keyBlock({k67})},
        {"current key of 64 bytes before a saved key",
         {pwfix::v3(1, SRV, N1, k64), pwfix::saved(2, SRV, N1, "old")}, KEL_ST_NO_PASSWORD, Bytes(PSWD_KEYBLOCK_SIZE, '\0')},
        {"saved key of 67 bytes in the last text", {pwfix::v3(1, SRV, N1, "cur"), pwfix::saved(2, SRV, N1, k67)}, 0,
         keyBlock({"cur", k67})},
        {"saved key of 67 bytes before another",
         {pwfix::v3(1, SRV, N1, "cur"), pwfix::saved(2, SRV, N1, k67), pwfix::saved(1, SRV, N1, "x")}, KEL_ST_NO_PASSWORD,
         Bytes(PSWD_KEYBLOCK_SIZE, '\0')},
        {"64 bytes in the third slot would pass the block's end",
         {pwfix::v3(1, SRV, N1, "cur"), pwfix::saved(2, SRV, N1, "s"), pwfix::saved(1, SRV, N1, k64)}, KEL_ST_NO_PASSWORD,
         Bytes(PSWD_KEYBLOCK_SIZE, '\0')},
        {"63 bytes in the third slot",
         {pwfix::v3(1, SRV, N1, "cur"), pwfix::saved(2, SRV, N1, "s"), pwfix::saved(1, SRV, N1, k63)}, 0,
         keyBlock({"cur", "s", k63})},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pwfix::writeFile(path, pwfix::file(r.recs));
        ReadResult k = readPw(path, 1, SRV, N1);
        EXPECT_EQ(k.rc, r.rc);
        EXPECT_EQ(k.text, r.block);
    }

    struct WriteRow {
        const char *name;
        std::vector<Record> recs;
        Bytes key;
        int rc;
    } writes[] = {
        {"67 bytes where no key is stored", {}, k67, 0},
        {"67 bytes over a key, which would be saved after it", {pwfix::v3(1, SRV, N1, "cur")}, k67, -1},
        {"67 bytes before saved keys", {pwfix::v3(1, SRV, N1, "cur"), pwfix::saved(2, SRV, N1, "s")}, k67, -1},
        {"a current key of 64 bytes cannot be saved before another", {pwfix::v3(1, SRV, N1, k64)}, "new", -1},
        {"63 bytes before saved keys", {pwfix::v3(1, SRV, N1, "cur"), pwfix::saved(2, SRV, N1, "s")}, k63, 0},
    };
    for (const WriteRow &w : writes) {
        SCOPED_TRACE(w.name);
        pwfix::writeFile(path, pwfix::file(w.recs));
        const Bytes before = pwfix::readFile(path);
        EXPECT_EQ(writeKey(path, w.key, true), w.rc);
        if (w.rc == 0) {
            EXPECT_EQ(readPw(path, 1, SRV, N1).text.substr(0, w.key.size() + 1), w.key + Bytes(1, '\0'));
        } else {
            EXPECT_EQ(pwfix::readFile(path), before);
        }
    }
}

TEST_F(pssecFile, OtherTypesAreKeyedByEntity)
{
    Bytes key = "fedcba9876543210";
    pwfix::writeFile(path, pwfix::file({pwfix::v3(3, "ENT", "olduser", "oldpw", key)}));
    ASSERT_EQ(writePw(path, 3, "ENT", "newuser", "newpw", &key), 0);
    std::vector<Record> recs = records(path);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].bytes(), pwfix::v3(3, "ENT", "newuser", "newpw", key).bytes());
}

TEST_F(pssecFile, WhatNoReaderCouldHoldIsRefused)
{
    Bytes original = pwfix::file({pwfix::v3(0, SRV, N1, "keep")});
    struct Row {
        const char *name;
        unsigned char type;
        Bytes server, node, pw;
    } rows[] = {
        {"server name of 68 bytes", 0, Bytes(68, 's'), N1, "pw"},
        {"node name of 68 bytes", 0, SRV, Bytes(68, 'n'), "pw"},
        {"password of 68 bytes", 0, SRV, N1, Bytes(68, 'p')},
        {"key text of 68 bytes", 1, SRV, N1, Bytes(68, 'k')},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pwfix::writeFile(path, original);
        EXPECT_EQ(writePw(path, r.type, r.server, r.node, r.pw), -1);
        EXPECT_EQ(pwfix::readFile(path), original);
    }
    // A key can be saved only while the prefixed names still fit.
    Bytes node67(67, 'n');
    pwfix::writeFile(path, pwfix::file({pwfix::v3(1, SRV, node67, "cur")}));
    Bytes before = pwfix::readFile(path);
    EXPECT_EQ(writePw(path, 1, SRV, node67, "next"), -1);
    EXPECT_EQ(pwfix::readFile(path), before);
    // Names of 67 bytes are stored and read back.
    EXPECT_EQ(writePw(path, 0, Bytes(67, 's'), node67, "fits"), 0);
    EXPECT_EQ(readPw(path, 0, Bytes(67, 's'), node67).text, "fits");
}

TEST_F(pssecFile, PathWithoutDirectoryUsesTheCurrentDirectory)
{
    char cwd[PATH_MAX];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    int rc = writePw("ZAR.PWD", 0, SRV, N1, "here");
    ReadResult r = readPw("ZAR.PWD", 0, SRV, N1);
    ASSERT_EQ(chdir(cwd), 0);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(r.text, "here");
    EXPECT_EQ(pwfix::dirEntries(dir.path()), onlyTheFile());
}

// ---------------------------------------------------------------- deleting

TEST_F(pssecFile, DeleteRemovesEveryRecordOfTheNode)
{
    Record keep1 = pwfix::v3(0, SRV, N2, "n2");
    Record keep2 = pwfix::v3(1, SRV, N1, "key");
    pwfix::writeFile(path, pwfix::file({pwfix::v3(0, SRV, N1, "a"), keep1, pwfix::v3(0, SRV, N1, "b"), keep2}),
                     0640);
    deletePw(path, 0, SRV, N1);
    std::vector<Record> recs = records(path);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].bytes(), keep1.bytes());
    EXPECT_EQ(recs[1].bytes(), keep2.bytes());
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u) << "a delete keeps the permission bits";
    EXPECT_EQ(pwfix::dirEntries(dir.path()), onlyTheFile());

    // Nothing of the node left: the file stays byte for byte.
    Bytes before = pwfix::readFile(path);
    deletePw(path, 0, SRV, N1);
    EXPECT_EQ(pwfix::readFile(path), before);
}

TEST_F(pssecFile, DeleteThatLeavesNoRecordRemovesTheFile)
{
    struct Row {
        const char *name;
        Bytes content;
    } rows[] = {
        {"empty file", ""},
        {"header only", pwfix::header()},
        {"last record", pwfix::file({pwfix::v3(0, SRV, N1, "only")})},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pwfix::writeFile(path, r.content);
        deletePw(path, 0, SRV, N1);
        EXPECT_NE(access(path.c_str(), F_OK), 0);
    }
    deletePw(path, 0, SRV, N1);   // no file at all: nothing happens
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST_F(pssecFile, DeleteOfOtherTypesMatchesTheEntityOnly)
{
    Record keep = pwfix::v3(4, "ENT", "u", "pw4", "0123456789abcdef");
    pwfix::writeFile(path, pwfix::file({pwfix::v3(3, "ENT", "u1", "pw3", "0123456789abcdef"), keep}));
    deletePw(path, 3, "ENT", "anyone");
    std::vector<Record> recs = records(path);
    ASSERT_EQ(recs.size(), 1u);
    EXPECT_EQ(recs[0].bytes(), keep.bytes());
}

// ---------------------------------------------------------------- damaged files

struct DamageCase {
    const char *name;
    Bytes content;
    Bytes readNode;     // the node whose type 0 password is read
    int readRc;
    Bytes readText;
    int writeRc;        // writing NODE3: -1 refused (file unchanged) or 0
};

Bytes patchedLength(const Record &r, int field, uint32_t len)
{
    Bytes b = r.bytes();
    b.replace(3 + 4 * field, 4, pwfix::be32(len));
    return b;
}

const Record RA = pwfix::v3(0, SRV, N1, "pwA");
const Record RB = pwfix::v3(0, SRV, N2, "pwB");

class pssecDamaged : public pssecFile, public ::testing::WithParamInterface<DamageCase> {};

TEST_P(pssecDamaged, NoOverflowAndNothingLost)
{
    const DamageCase &c = GetParam();
    pwfix::writeFile(path, c.content);
    ReadResult r = readPw(path, 0, SRV, c.readNode);
    EXPECT_EQ(r.rc, c.readRc);
    EXPECT_EQ(r.text, c.readText);

    int rc = writePw(path, 0, SRV, N3, "pwC");
    EXPECT_EQ(rc, c.writeRc);
    if (c.writeRc != 0) {
        EXPECT_EQ(pwfix::readFile(path), c.content) << "a refused write changed the file";
        EXPECT_EQ(removePw(path, 0, SRV, N1), -1);
        EXPECT_EQ(pwfix::readFile(path), c.content) << "a refused delete changed the file";
    } else {
        // The header is written anew; every record is carried whole.
        EXPECT_EQ(pwfix::readFile(path).substr(71), c.content.substr(71) + pwfix::v3(0, SRV, N3, "pwC").bytes());
    }
    EXPECT_EQ(pwfix::dirEntries(dir.path()).count("ZAR.PWD"), 1u);
    for (const std::string &n : pwfix::dirEntries(dir.path()))
        EXPECT_TRUE(n == "ZAR.PWD" || n == "ZAR.PWD.lock") << "left behind: " << n;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, pssecDamaged,
    ::testing::Values(
        DamageCase{"TruncatedHeader", pwfix::header().substr(0, 30), N1, KEL_ST_NO_PASSWORD, "", -1},
        DamageCase{"RecordCutInItsFields", pwfix::file({RA}) + RB.bytes().substr(0, 30), N1, 0, "pwA", -1},
        DamageCase{"RecordCutInItsFieldsBeforeTheMatch", pwfix::file({RB}) + RA.bytes().substr(0, 30), N1, KEL_ST_NO_PASSWORD, "",
                   -1},
        DamageCase{"RecordHeaderCutShort", pwfix::file({RA}) + Bytes("\x00\xEF\x03\x00", 4), N2, KEL_ST_NO_PASSWORD, "", -1},
        DamageCase{"FieldLengthAllOnes", pwfix::header() + patchedLength(RB, 1, 0xFFFFFFFFu) + RA.bytes(), N1, KEL_ST_NO_PASSWORD,
                   "", -1},
        DamageCase{"FieldOf200Bytes", pwfix::file({pwfix::v3(0, Bytes(200, 's'), N2, "x"), RA}), N1, KEL_ST_NO_PASSWORD, "", -1},
        DamageCase{"PasswordOf200Bytes", pwfix::file({RA, pwfix::v3(0, SRV, N2, Bytes(200, 'p'))}), N1, 0, "pwA",
                   -1},
        DamageCase{"GarbageAfterTheLastRecord", pwfix::file({RA}) + "garbage!", N1, 0, "pwA", -1},
        DamageCase{"GarbageEndsTheScan", pwfix::file({RB}) + "garbage!" + RA.bytes(), N1, KEL_ST_NO_PASSWORD, "", -1},
        DamageCase{"MarkerMissing", pwfix::file({RB}) + patchedLength(RA, 0, 4).replace(1, 1, "\x00", 1), N1, KEL_ST_NO_PASSWORD,
                   "", -1},
        // The list holds field 4 in 83 bytes and field 5 in 80, but a reader stops at such a record:
        // a password stored behind it could never be read back, so the rewrite is refused.
        DamageCase{"LongFieldsOfAnotherNode",
                   pwfix::file({Record{0, 3, {"NULL", SRV, "BIG", Bytes(83, 'e'), Bytes(80, 'p')}}, RA}), N1, KEL_ST_NO_PASSWORD, "",
                   -1},
        DamageCase{"LongPasswordFieldBeforeTheMatch",
                   pwfix::file({Record{0, 3, {"NULL", SRV, "BIG", Bytes(80, 'e'), Bytes(4, 'p')}}, RA}), N1, KEL_ST_NO_PASSWORD, "",
                   -1}),
    [](const ::testing::TestParamInfo<DamageCase> &i) { return std::string(i.param.name); });

// ---------------------------------------------------------------- failure injection

// Each write, flush, sync, close and rename of a rewrite fails in turn: the
// original stays byte for byte and no new file is left behind.
TEST_F(pssecFile, EveryFailingStepLeavesTheOriginal)
{
    Bytes original = pwfix::file({pwfix::v3(0, SRV, N1, "old"), pwfix::v3(1, SRV, N1, "key"), pwfix::v3(0, SRV, N2, "n2"),
                                  pwfix::v3(0, "OTHER", N1, "o")});
    struct Op {
        const char *name;
        std::function<int()> run;
        Bytes expectAfter;
    };
    std::vector<Op> ops = {
        {"write", [&] { return writePw(path, 0, SRV, N1, "new"); }, Bytes()},
        {"write key", [&] { return writePw(path, 1, SRV, N1, "newkey"); }, Bytes()},
        {"delete", [&] { return removePw(path, 0, SRV, N2); }, Bytes()},
    };
    for (Op &op : ops) {
        // Count the steps of a run that succeeds.
        pwfix::writeFile(path, original);
        fioResetSteps();
        ASSERT_EQ(op.run(), 0) << op.name;
        op.expectAfter = pwfix::readFile(path);
        ASSERT_NE(op.expectAfter, original);
        unsigned calls[FIO_STEP_COUNT];
        for (int s = 0; s < FIO_STEP_COUNT; s++)
            calls[s] = fioStepCalls(static_cast<fioStep>(s));
        EXPECT_GE(calls[FIO_STEP_WRITE], 3u) << op.name;
        EXPECT_EQ(calls[FIO_STEP_RENAME], 1u) << op.name;

        for (int s = 0; s < FIO_STEP_COUNT; s++) {
            for (unsigned n = 1; n <= calls[s]; n++) {
                SCOPED_TRACE(std::string(op.name) + " step " + std::to_string(s) + " call " + std::to_string(n));
                pwfix::writeFile(path, original);
                fioResetSteps();
                fioFailStep(static_cast<fioStep>(s), n);
                int rc = op.run();
                if (s == FIO_STEP_SYNCDIR) {
                    // After the rename the new file stands; the failure is only logged.
                    EXPECT_EQ(rc, 0);
                    EXPECT_EQ(pwfix::readFile(path), op.expectAfter);
                } else {
                    // Opening, creating or owning a file, and the rename, give -1; the data 165.
                    const bool data = s == FIO_STEP_WRITE || s == FIO_STEP_FLUSH || s == FIO_STEP_SYNC ||
                                      s == FIO_STEP_CLOSE;
                    EXPECT_EQ(rc, data ? KEL_ST_SHORT_WRITE : -1);
                    EXPECT_EQ(pwfix::readFile(path), original);
                }
                EXPECT_EQ(pwfix::dirEntries(dir.path()), onlyTheFile());
            }
        }
    }
}

unsigned allocCalls, allocFailAt;
int failNthAllocation(uint64_t) { return ++allocCalls == allocFailAt ? 1 : 0; }

// Without memory at any allocation a write either fails (102 for a record
// block, -1 when the list cannot be built) and leaves the original, or ends
// as a complete write.
TEST_F(pssecFile, EveryFailingAllocationLeavesTheOriginalOrFinishes)
{
    Bytes original = pwfix::file({pwfix::v3(0, SRV, N1, "old"), pwfix::v3(1, SRV, N1, "key"), pwfix::v3(0, SRV, N2, "n2")});
    pwfix::writeFile(path, original);
    allocCalls = 0;
    allocFailAt = 0;
    pfnKelFailAlloc = failNthAllocation;
    ASSERT_EQ(writePw(path, 1, SRV, N1, "newkey"), 0);
    unsigned total = allocCalls;
    Bytes expected = pwfix::readFile(path).substr(71);
    ASSERT_GE(total, 5u);
    for (unsigned k = 1; k <= total; k++) {
        SCOPED_TRACE("allocation " + std::to_string(k));
        pwfix::writeFile(path, original);
        allocCalls = 0;
        allocFailAt = k;
        int rc = writePw(path, 1, SRV, N1, "newkey");
        if (rc == 0) {
            EXPECT_EQ(pwfix::readFile(path).substr(71), expected);
        } else {
            EXPECT_TRUE(rc == 102 || rc == -1) << rc;
            EXPECT_EQ(pwfix::readFile(path), original);
        }
        EXPECT_EQ(pwfix::dirEntries(dir.path()), onlyTheFile());
    }
    pfnKelFailAlloc = nullptr;
}

TEST_F(pssecFile, FailedUnlinkOfAnEmptiedFileLeavesIt)
{
    Bytes original = pwfix::file({pwfix::v3(0, SRV, N1, "only")});
    pwfix::writeFile(path, original);
    fioFailStep(FIO_STEP_RENAME, 1);
    deletePw(path, 0, SRV, N1);
    EXPECT_EQ(pwfix::readFile(path), original);
}

// ---------------------------------------------------------------- set-user-id runs and processes

// Runs fn in a child whose real user is not root while the effective one is,
// as in a set-user-id run; returns fn's result.
int inSetUidRun(const std::function<int()> &fn)
{
    pid_t pid = fork();
    if (pid == 0) {
        if (setresuid(65534, 0, 0) != 0)
            _exit(100);
        _exit(fn() & 0x7f);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 101;
}

TEST_F(pssecFile, SetUidRunCreatesNothing)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act out a set-user-id run";
    std::string missingDir = dir.path() + "/new/ZAR.PWD";
    EXPECT_EQ(inSetUidRun([&] { return writePw(missingDir, 0, SRV, N1, "pw") == -1 ? 0 : 1; }), 0);
    EXPECT_NE(access((dir.path() + "/new").c_str(), F_OK), 0);

    EXPECT_EQ(inSetUidRun([&] { return writePw(path, 0, SRV, N1, "pw") == -1 ? 0 : 1; }), 0);
    EXPECT_TRUE(pwfix::dirEntries(dir.path()).empty());

    // An existing file is rewritten.
    pwfix::writeFile(path, pwfix::file({pwfix::v3(0, SRV, N2, "n2")}));
    EXPECT_EQ(inSetUidRun([&] { return writePw(path, 0, SRV, N1, "pw"); }), 0);
    EXPECT_EQ(readPw(path, 0, SRV, N1).text, "pw");
}

// In a set-user-id run the store is written only where root alone can
// change it; anywhere else nothing is created or changed, not even the lock.
TEST_F(pssecFile, SetUidRunWritesOnlyARootOnlyStore)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act out a set-user-id run";
    struct Row {
        const char *name;
        mode_t dirMode;
        uid_t fileOwner;
        int rc;
    } rows[] = {
        {"a sticky directory that everybody may write, the caller's file", 01777, 65534, -1},
        {"a sticky directory that everybody may write, root's file", 01777, 0, -1},
        {"root's directory that its group may write", 0770, 0, -1},
        {"root's directory, the caller's file", 0755, 65534, -1},
        {"root's directory, root's file", 0755, 0, 0},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pwfix::TempDir d;
        ASSERT_EQ(chmod(d.path().c_str(), r.dirMode), 0);
        const std::string f = d.file();
        const Bytes original = pwfix::file({pwfix::v3(0, SRV, N2, "n2")});
        pwfix::writeFile(f, original);
        ASSERT_EQ(chown(f.c_str(), r.fileOwner, r.fileOwner), 0);
        EXPECT_EQ(inSetUidRun([&] { return writePw(f, 0, SRV, N1, "pw") == r.rc ? 0 : 1; }), 0);
        if (r.rc != 0) {
            EXPECT_EQ(pwfix::readFile(f), original);
            EXPECT_EQ(pwfix::dirEntries(d.path()), std::set<std::string>{"ZAR.PWD"});
        } else {
            EXPECT_EQ(readPw(f, 0, SRV, N1).text, "pw");
        }
    }
}

// The rewritten file keeps the old one's owner and group; a write sets the
// permission bits to 0600 and a delete keeps them.
TEST_F(pssecFile, OwnerAndGroupAreKept)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file another owner needs root";
    pwfix::writeFile(path, pwfix::file({pwfix::v3(0, SRV, N1, "a"), pwfix::v3(0, SRV, N2, "b")}), 0640);
    ASSERT_EQ(chown(path.c_str(), 65534, 4), 0);
    struct stat st;
    ASSERT_EQ(removePw(path, 0, SRV, N2), 0);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 4u);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(writePw(path, 0, SRV, N3, "c"), 0);
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 4u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// A new file left by a writer that was killed holds passwords, perhaps
// deleted ones: it is listed, and the next rewrite removes it.
TEST_F(pssecFile, LeftoversAreListedAndRemovedByTheNextRewrite)
{
    pwfix::writeFile(path, pwfix::file({pwfix::v3(0, SRV, N1, "a")}));
    const std::string killed = pwfix::newFileName("ZAR.PWD", pwfix::deadPid(), "k1LLed");
    pwfix::writeFile(dir.file(killed), pwfix::file({pwfix::v3(0, SRV, N2, "deleted")}));
    std::vector<std::string> seen;
    auto collect = [](void *ctx, const char *n) { static_cast<std::vector<std::string> *>(ctx)->push_back(n); };
    EXPECT_EQ(psListLeftovers(path.c_str(), collect, &seen), 1);
    EXPECT_EQ(seen, std::vector<std::string>{killed});
    ASSERT_EQ(writePw(path, 0, SRV, N3, "c"), 0);
    EXPECT_EQ(pwfix::dirEntries(dir.path()), onlyTheFile());
    EXPECT_EQ(psListLeftovers(path.c_str(), nullptr, nullptr), 0);
}

// A writer that waits for the lock too long gives up with a code of its own
// and changes nothing.
TEST_F(pssecFile, LockHeldTooLongGivesItsOwnCode)
{
    const Bytes original = pwfix::file({pwfix::v3(0, SRV, N2, "n2")});
    pwfix::writeFile(path, original);
    int lockFd = open(dir.file("ZAR.PWD.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(lockFd, 0);
    ASSERT_EQ(flock(lockFd, LOCK_EX), 0);
    fioSetLockWaitMs(300);
    EXPECT_EQ(writePw(path, 0, SRV, N1, "pw"), PSWD_RC_LOCKED);
    EXPECT_EQ(removePw(path, 0, SRV, N2), PSWD_RC_LOCKED);
    close(lockFd);
    EXPECT_EQ(pwfix::readFile(path), original);
}

TEST_F(pssecFile, WritersInSeveralProcessesLoseNothing)
{
    const int procs = 6, perProc = 5;
    std::vector<pid_t> kids;
    for (int p = 0; p < procs; p++) {
        pid_t pid = fork();
        if (pid == 0) {
            int failures = 0;
            for (int i = 0; i < perProc; i++) {
                Bytes node = "PROC" + std::to_string(p) + "_" + std::to_string(i);
                failures += writePw(path, 0, SRV, node, "pw" + node) != 0;
            }
            _exit(failures);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    EXPECT_EQ(records(path).size(), static_cast<size_t>(procs * perProc));
    for (int p = 0; p < procs; p++)
        for (int i = 0; i < perProc; i++) {
            Bytes node = "PROC" + std::to_string(p) + "_" + std::to_string(i);
            EXPECT_EQ(readPw(path, 0, SRV, node).text, "pw" + node);
        }
    EXPECT_EQ(pwfix::dirEntries(dir.path()), onlyTheFile());
}

TEST_F(pssecFile, WriterWaitsForTheLockHolder)
{
    pwfix::writeFile(path, pwfix::file({pwfix::v3(0, SRV, N2, "n2")}));
    int lockFd = open(dir.file("ZAR.PWD.lock").c_str(), O_RDONLY | O_CREAT, 0600);
    ASSERT_GE(lockFd, 0);
    ASSERT_EQ(flock(lockFd, LOCK_EX), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        if (write(ready[1], "x", 1) != 1)
            _exit(2);
        _exit(writePw(path, 0, SRV, N1, "after") == 0 ? 0 : 1);
    }
    close(ready[1]);
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    close(ready[0]);
    // While the lock is held the file cannot change; the writer is still waiting or not yet started.
    usleep(100 * 1000);
    EXPECT_EQ(records(path).size(), 1u);
    flock(lockFd, LOCK_UN);
    close(lockFd);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(records(path).size(), 2u);
}

} // namespace

// ---------------------------------------------------------------- 'C': the checks before sending, the store under the lock

namespace {

int checkStore(const std::string &path, const Bytes &node)
{
    pswdFileInfo info{};
    info.pswdFile = const_cast<char *>(path.c_str());
    return psCheckServerStore({.fileInfo = &info, .path = path.c_str(), .node = node.c_str(), .server = SRV.c_str()});
}

int replacePw(const std::string &path, const Bytes &node, const Bytes *oldPw, const Bytes &newPw)
{
    pswdFileInfo info{};
    info.pswdFile = const_cast<char *>(path.c_str());
    const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = node.c_str(), .server = SRV.c_str()};
    return psReplaceServerPassword(rq, oldPw != nullptr ? oldPw->c_str() : nullptr, newPw.c_str());
}

} // namespace

// What the writer would refuse whatever happens meanwhile is found before;
// the check changes nothing. (Not a set-user-id run: the rules of that run
// are the attack tests'.)
TEST_F(pssecFile, TheCheckBeforeAChangeFindsWhatTheWriterWouldRefuse)
{
    const Bytes good = pwfix::file({pwfix::v3(0, SRV, N1, "old"), pwfix::v3(0, SRV, N2, "two")});
    struct Case {
        const char *name;
        Bytes file;        // empty: no file
        bool fifo;
        bool noDir;
        int rc;
    } cases[] = {
        {"an intact file", good, false, false, 0},
        {"no file yet", "", false, false, 0},
        {"no directory yet", "", false, true, 0},
        {"damage after the matching record", good + Bytes("\x00\x2a\x03garbage", 10), false, false, -1},
        {"a header cut short", Bytes(good.data(), 10), false, false, -1},
        {"a FIFO at the name", "", true, false, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pwfix::TempDir d;
        const std::string p = c.noDir ? d.path() + "/not/yet/ZAR.PWD" : d.file();
        if (c.fifo)
            ASSERT_EQ(mkfifo(p.c_str(), 0600), 0);
        else if (!c.file.empty())
            pwfix::writeFile(p, c.file);
        const std::set<std::string> before = pwfix::dirEntries(d.path());
        EXPECT_EQ(checkStore(p, N1), c.rc);
        EXPECT_EQ(pwfix::dirEntries(d.path()), before);
        if (!c.file.empty()) {
            EXPECT_EQ(pwfix::readFile(p), c.file);
        }
    }
}

// The new password replaces only the one that was read as the old one (or,
// where none was read, none); otherwise the file stays as it is.
TEST_F(pssecFile, AChangeStoresOnlyOverThePasswordItReplaces)
{
    const Bytes old = "old", other = "other";
    struct Case {
        const char *name;
        std::vector<Record> recs;   // empty: no file
        const Bytes *expected;      // the old password the change read; null: none
        int rc;
    } cases[] = {
        {"still the old one", {pwfix::v3(0, SRV, N1, "old"), pwfix::v3(0, SRV, N2, "two")}, &old, 0},
        {"still version 1 of the old one", {pwfix::v1(0, SRV, N1, "old")}, &old, 0},
        {"still none, no file", {}, nullptr, 0},
        {"still none, other nodes only", {pwfix::v3(0, SRV, N2, "two")}, nullptr, 0},
        {"another stored meanwhile", {pwfix::v3(0, SRV, N1, "other")}, &old, PSWD_RC_STORED_CHANGED},
        {"one stored where there was none", {pwfix::v3(0, SRV, N1, "other")}, nullptr, PSWD_RC_STORED_CHANGED},
        {"removed meanwhile", {pwfix::v3(0, SRV, N2, "two")}, &old, PSWD_RC_STORED_CHANGED},
        {"a prefix of the old one", {pwfix::v3(0, SRV, N1, "ol")}, &old, PSWD_RC_STORED_CHANGED},
        {"the old one with more", {pwfix::v3(0, SRV, N1, "old2")}, &other, PSWD_RC_STORED_CHANGED},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pwfix::TempDir d;
        const std::string p = d.file();
        const Bytes before = c.recs.empty() ? Bytes() : pwfix::file(c.recs);
        if (!c.recs.empty())
            pwfix::writeFile(p, before);
        EXPECT_EQ(replacePw(p, N1, c.expected, "NEWPW"), c.rc);
        if (c.rc == 0) {
            EXPECT_EQ(readPw(p, 0, SRV, N1).text, "NEWPW");
        } else {
            EXPECT_EQ(pwfix::readFile(p), before);
        }
    }
}

// A password file directly under / has / as its directory: run in a child
// whose root directory is the test's own.
TEST_F(pssecFile, AFileDirectlyUnderTheRootDirectoryIsReadAndWritten)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to give a child another root directory";
    pwfix::writeFile(path, pwfix::file({pwfix::v3(0, SRV, N1, "atroot")}));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (chroot(dir.path().c_str()) != 0 || chdir("/") != 0)
            _exit(2);
        if (readPw("/ZAR.PWD", 0, SRV, N1).text != "atroot")
            _exit(3);
        if (checkStore("/ZAR.PWD", N1) != 0 || writePw("/ZAR.PWD", 0, SRV, N2, "second") != 0)
            _exit(4);
        _exit(readPw("/ZAR.PWD", 0, SRV, N2).text == "second" ? 0 : 5);
    }
    int status = -1;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ(readPw(path, 0, SRV, N2).text, "second");
}
