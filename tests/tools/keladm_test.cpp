// The administrator's tool: the read-only scan of a password file against
// files laid out byte by byte, and keladm itself run as a person runs it.
#include "tools/pwfscan.h"

#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include <gtest/gtest.h>

#include "tests/support/pwfixture.h"
#include "tests/tools/toolrun.h"

namespace {

// Whether this kernel takes a system-call filter from an unprivileged
// process (no-new-privileges set): one that allows everything, loaded by a
// child that then ends.
bool kernelTakesAFilter()
{
    const pid_t child = fork();
    if (child == 0) {
        sock_filter allowAll = {BPF_RET | BPF_K, 0, 0, SECCOMP_RET_ALLOW};
        sock_fprog prog = {1, &allowAll};
        _exit(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &prog) == 0
                  ? 0
                  : 1);
    }
    int status = 0;
    return child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const char confinesLine[] = "This kernel lets the agent confine itself: requests run under its system-call filter.\n";
const char cannotConfine[] = "keladm: warning: this kernel does not let the agent confine itself";
// Where the kernel's Landlock is older or missing (vlxFilesForAbi).
const char filesInPart[] = "keladm: warning: this kernel confines the agent's files only in part";
const char filesNot[] = "keladm: warning: this kernel does not confine the agent's files";

using pwfix::Bytes;

const std::string kKeladm = KEL_BINARY_DIR "/tools/keladm";
// The build tree's catalogs: the tool's default is the installed ones.
const std::string kCatalogs = " --catalogs " KEL_BINARY_DIR "/catalogs";

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
    std::string line(const std::string &args) const { return kKeladm + kCatalogs + " --dir " + tmp.path() + " " + args; }
    ToolRun adm(const std::string &args, const std::string &input = "") { return run(tmp, line(args), input); }
    ToolRun admLogged(const std::string &args, const std::string &input = "")
    {
        ToolRun r = runLogged(tmp, line(args), input);
        EXPECT_NE(-1, r.status) << "no mount namespace for the syslog capture";
        return r;
    }
    bool has(const std::string &text, const std::string &phrase) { return text.find(phrase) != std::string::npos; }
    pwfix::TempDir tmp;
};

TEST_F(Keladm, StoresListsAndDeletes)
{
    ToolRun r = adm("set-server N1 SRV", "SERVERPW1\n");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.out, "Stored the server password of node N1 for server SRV"));
    EXPECT_EQ("", r.err);
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
    EXPECT_TRUE(has(r.out, "2 records"));
    EXPECT_TRUE(has(r.out, "server password"));
    EXPECT_TRUE(has(r.out, "encryption key"));
    EXPECT_FALSE(has(r.out, "SERVERPW1"));
    EXPECT_FALSE(has(r.out, "KEYPW1"));

    r = adm("check");
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(has(r.out, "is intact")) << r.out;

    r = adm("delete server N1 SRV");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.out, "Deleted 1 server password record"));
    r = adm("delete server N1 SRV");
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(has(r.err, "no server password of node N1 for server SRV is stored"));
    r = adm("delete key N1 SRV");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.out, "the file was removed"));
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
        {"--bogus list", "", 2, "unknown option '--bogus'"},
        {"list --dir", "", 2, "option '--dir' needs a value"},
        {"--format=xml list", "", 2, "--format takes table, tsv or json"},
        {"--format=json check", "", 2, "--format applies to list only"},
        {"", "", 2, "no command given"},
    };
    for (const auto &c : cases) {
        ToolRun r = adm(c.args, c.input);
        EXPECT_EQ(c.status, r.status) << c.args;
        EXPECT_TRUE(has(r.err, c.phrase)) << c.args << ": " << r.err;
        EXPECT_EQ(c.status == 2, has(r.err, "Try 'keladm --help'")) << c.args;
        EXPECT_EQ("", r.out) << c.args;
        EXPECT_EQ(before, pwfix::readFile(tmp.file())) << c.args;
    }
}

// A fresh install has a directory but no file yet: reading commands succeed with nothing.
TEST_F(Keladm, AFreshStoreListsAndChecksNothing)
{
    struct Case {
        const char *args;
        const char *out;   // the whole output, after the directory's path
    } cases[] = {
        {"list", "/ZAR.PWD: 0 records\n@/ZAR.PWD does not exist yet: no password is stored.\n"},
        {"--format=tsv list", ""},
        {"--format=json list", "{\"file\":\"@/ZAR.PWD\",\"changed\":null,\"records\":[\n],\"damage\":null}\n"},
        {"check", "/ZAR.PWD does not exist yet: no password is stored, so there is nothing to check.\n"},
    };
    for (const auto &c : cases) {
        ToolRun r = run(tmp, kKeladm + kCatalogs + " --dir " + tmp.path() + " " + c.args, "");
        EXPECT_EQ(0, r.status) << c.args << ": " << r.err;
        std::string want = c.out;
        for (size_t at; (at = want.find('@')) != std::string::npos;)
            want.replace(at, 1, tmp.path());
        if (!want.empty() && want[0] == '/')
            want = tmp.path() + want;
        // check says whether the kernel lets the agent confine itself, and
        // may warn about the system log: both depend on the machine.
        const bool isCheck = std::string(c.args) == "check";
        if (isCheck && kernelTakesAFilter() && KEL_SANDBOX_BUILT)
            want += confinesLine;
        EXPECT_EQ(want, r.out) << c.args;
        for (size_t at = 0, end; at < r.err.size(); at = end + 1) {
            end = r.err.find('\n', at);
            const std::string line = r.err.substr(at, end - at);
            EXPECT_TRUE(isCheck && (line.rfind("keladm: warning: nothing listens on /dev/log", 0) == 0 ||
                                    line.rfind(cannotConfine, 0) == 0 || line.rfind(filesInPart, 0) == 0 ||
                                    line.rfind(filesNot, 0) == 0))
                << c.args << ": " << r.err;
            if (end == std::string::npos)
                break;
        }
        EXPECT_NE(0, access(tmp.file().c_str(), F_OK)) << "created by " << c.args;
    }
}

// The warning follows whether /dev/log takes datagrams, as the agent sends them.
TEST_F(Keladm, CheckWarnsWhenNothingListensOnTheSystemLog)
{
    struct stat sb;
    const bool listens = [] {
        const int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un sa = {};
        sa.sun_family = AF_UNIX;
        strcpy(sa.sun_path, "/dev/log");
        const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
        if (fd >= 0)
            close(fd);
        return ok;
    }();
    ToolRun r = run(tmp, kKeladm + kCatalogs + " --dir " + tmp.path() + " check", "");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(!listens, has(r.err, "nothing listens on /dev/log")) << r.err << " (/dev/log "
                                                                    << (stat("/dev/log", &sb) == 0 ? "exists" : "missing")
                                                                    << ")";
}

// check says whether the agent can load its filter here, as a filter loaded
// by the test itself tells.
TEST_F(Keladm, CheckSaysWhetherTheAgentCanConfineItself)
{
    ToolRun r = run(tmp, kKeladm + kCatalogs + " --dir " + tmp.path() + " check", "");
    EXPECT_EQ(0, r.status) << r.err;
    const bool confines = kernelTakesAFilter() && KEL_SANDBOX_BUILT;
    EXPECT_EQ(confines, has(r.out, confinesLine)) << r.out;
    EXPECT_EQ(!confines, has(r.err, cannotConfine)) << r.err;
}

TEST_F(Keladm, TheDirectoryMustExist)
{
    const std::string missing = tmp.path() + "/missing", file = tmp.path() + "/plain";
    ASSERT_TRUE(pwfix::writeFile(file, "x"));
    struct Case {
        const char *dir, *args;
        int status;
        const char *phrase;
    } cases[] = {
        {"missing", "set-server N1 SRV", 1, "/missing does not exist; use --create to make it"},
        {"missing", "set-key N1 SRV", 1, "/missing does not exist; use --create to make it"},
        {"missing", "delete server N1 SRV", 1, "/missing does not exist"},
        {"missing", "list", 1, "/missing does not exist"},
        {"missing", "--create check", 1, "/missing does not exist"},
        {"plain", "--create set-server N1 SRV", 1, "/plain is not a directory"},
        {"plain", "list", 1, "/plain is not a directory"},
        {"", "delete key N1 SRV", 1, "ZAR.PWD does not exist: no password is stored"},
    };
    for (const auto &c : cases) {
        const std::string dir = tmp.path() + (*c.dir ? "/" : "") + c.dir;
        ToolRun r = run(tmp, kKeladm + kCatalogs + " --dir " + dir + " " + c.args, "PW\n");
        EXPECT_EQ(c.status, r.status) << c.dir << " " << c.args;
        EXPECT_TRUE(has(r.err, c.phrase)) << c.args << ": " << r.err;
        EXPECT_EQ("", r.out) << c.args;
        EXPECT_NE(0, access(missing.c_str(), F_OK)) << "created by " << c.args;
        EXPECT_NE(0, access(tmp.file().c_str(), F_OK)) << "created by " << c.args;
    }

    ToolRun r = run(tmp, kKeladm + kCatalogs + " --create --dir " + missing + " set-server N1 SRV", "PW\n");
    ASSERT_EQ(0, r.status) << r.err;
    struct stat sb;
    ASSERT_EQ(0, stat(missing.c_str(), &sb));
    EXPECT_TRUE(S_ISDIR(sb.st_mode));
    EXPECT_EQ(0700u, sb.st_mode & 07777);
    EXPECT_EQ(0, access((missing + "/ZAR.PWD").c_str(), F_OK));
    // Missing parents are made too, as the agent makes them for its first
    // write; the password directory itself is root's alone.
    const std::string nested = tmp.path() + "/no/such";
    r = run(tmp, kKeladm + kCatalogs + " --create --dir " + nested + " set-server N1 SRV", "PW\n");
    EXPECT_EQ(0, r.status) << r.err;
    ASSERT_EQ(0, stat(nested.c_str(), &sb));
    EXPECT_EQ(0700u, sb.st_mode & 07777);
    EXPECT_EQ(0, access((nested + "/ZAR.PWD").c_str(), F_OK));
    // What cannot be made is refused with the reason: here a path longer than any the store builds.
    std::string deep = tmp.path();
    for (int i = 0; i < 6; ++i)
        deep += "/" + std::string(200, 'd');
    r = run(tmp, kKeladm + kCatalogs + " --create --dir " + deep + " set-server N1 SRV", "PW\n");
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(has(r.err, " could not be created: the path is too long")) << r.err;
    EXPECT_NE(0, access((tmp.path() + "/" + std::string(200, 'd')).c_str(), F_OK));
}

TEST_F(Keladm, ListFormatsForScripts)
{
    // Names with a blank, a tab, a quote, a backslash and a byte above 0x7F.
    const std::string odd = "A B\t\"\\\xE9";
    ASSERT_TRUE(pwfix::writeFile(tmp.file(), pwfix::file({pwfix::v3(0, "SRV", "N1", "PW1"),
                                                          pwfix::v3(1, odd, "N2", "KEY"),
                                                          pwfix::saved(1, odd, "N2", "K0")})));
    const std::string path = tmp.file();
    // When the file last changed is shown: 2026-12-10 00:00:00 UTC.
    const struct timespec times[2] = {{1796860800, 0}, {1796860800, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW));
    struct Case {
        const char *format;
        std::string out;
    } cases[] = {
        {"tsv", "1\t0\tserver\tSRV\tN1\t3\t0\n"
                "2\t1\tkey\tA B\\x09\"\\x5C\\xE9\tN2\t3\t0\n"
                "3\t1\tkey\tA B\\x09\"\\x5C\\xE9\tN2\t3\t1\n"},
        {"json", "{\"file\":\"" + path + "\",\"changed\":\"2026-12-10T00:00:00Z\",\"records\":[\n"
                 "{\"index\":1,\"type\":0,\"kind\":\"server\",\"server\":\"SRV\",\"node\":\"N1\",\"version\":3,\"saved\":0},\n"
                 "{\"index\":2,\"type\":1,\"kind\":\"key\",\"server\":\"A B\\u0009\\u0022\\u005c\\u00e9\",\"node\":\"N2\","
                 "\"version\":3,\"saved\":0},\n"
                 "{\"index\":3,\"type\":1,\"kind\":\"key\",\"server\":\"A B\\u0009\\u0022\\u005c\\u00e9\",\"node\":\"N2\","
                 "\"version\":3,\"saved\":1}\n"
                 "],\"damage\":null}\n"},
        {"table", path + ": 3 records, last changed 2026-12-10 00:00:00 UTC\n"
                  "  #  TYPE              SERVER/ENTITY            NODE/USER                VERSION SAVED\n"
                  "  1  server password   SRV                      N1                       3       -\n"
                  "  2  encryption key    A B\\x09\"\\x5C\\xE9         N2                       3       -\n"
                  "  3  encryption key    A B\\x09\"\\x5C\\xE9         N2                       3       saved earlier key (host key)\n"},
    };
    for (const auto &c : cases) {
        ToolRun r = adm(std::string("list --format=") + c.format);
        EXPECT_EQ(0, r.status) << c.format << ": " << r.err;
        EXPECT_EQ(c.out, r.out) << c.format;
        EXPECT_FALSE(has(r.out, "PW1") || has(r.out, "KEY") || has(r.out, "K0")) << c.format;
    }
    EXPECT_EQ(adm("list --format table").out, adm("list").out);

    // Damage: the intact records, then where it starts; exit status 3.
    const Bytes good = pwfix::v3(0, "SRV", "N1", "PW").bytes();
    ASSERT_TRUE(pwfix::writeFile(tmp.file(), pwfix::header() + good + "junk"));
    ToolRun r = adm("list --format=json");
    EXPECT_EQ(3, r.status);
    EXPECT_TRUE(has(r.out, "],\"damage\":{\"offset\":" + std::to_string(71 + good.size()) + ",\"reason\":\"")) << r.out;
    EXPECT_TRUE(has(r.err, "is damaged at offset " + std::to_string(71 + good.size()))) << r.err;
    r = adm("list --format=tsv");
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("1\t0\tserver\tSRV\tN1\t3\t0\n", r.out);
}

// Without its catalogs keladm still keeps standard output to the command's
// answer: the set-up's notice goes to standard error, so the JSON and TSV
// stay whole.
TEST_F(Keladm, MachineOutputStaysWholeWithoutCatalogs)
{
    ASSERT_TRUE(pwfix::writeFile(tmp.file(), pwfix::file({pwfix::v3(0, "SRV", "N1", "PW1")})));
    const struct timespec times[2] = {{1796860800, 0}, {1796860800, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, tmp.file().c_str(), times, AT_SYMLINK_NOFOLLOW));
    struct Case {
        const char *format;
        std::string out;
    } cases[] = {
        {"json", "{\"file\":\"" + tmp.file() + "\",\"changed\":\"2026-12-10T00:00:00Z\",\"records\":[\n"
                 "{\"index\":1,\"type\":0,\"kind\":\"server\",\"server\":\"SRV\",\"node\":\"N1\",\"version\":3,"
                 "\"saved\":0}\n],\"damage\":null}\n"},
        {"tsv", "1\t0\tserver\tSRV\tN1\t3\t0\n"},
    };
    for (const auto &c : cases) {
        ToolRun r = run(tmp, kKeladm + " --catalogs " + tmp.path() + "/no-catalogs --dir " + tmp.path() +
                                 " list --format=" + c.format);
        EXPECT_EQ(0, r.status) << c.format << ": " << r.err;
        EXPECT_EQ(c.out, r.out) << c.format;
    }
}

// What makes every write fail while the file reads well: check reports it,
// says what to do and exits 1. The ordinary store beside it passes.
TEST_F(Keladm, CheckSeesWhatBlocksEveryWrite)
{
    struct Case {
        const char *name;
        std::function<int(const std::string &dir)> spoil;   // 0 when done
        const char *phrase;
    } cases[] = {
        {"nothing wrong", [](const std::string &) { return 0; }, nullptr},
        {"lock a symbolic link",
         [](const std::string &d) { return symlink("/nonexistent", (d + "/ZAR.PWD.lock").c_str()); },
         "ZAR.PWD.lock is a symbolic link, not a regular file"},
        {"lock a directory", [](const std::string &d) { return mkdir((d + "/ZAR.PWD.lock").c_str(), 0700); },
         "ZAR.PWD.lock is a directory, not a regular file"},
        {"lock a FIFO", [](const std::string &d) { return mkfifo((d + "/ZAR.PWD.lock").c_str(), 0600); },
         "ZAR.PWD.lock is a FIFO, not a regular file"},
        {"directory others may write", [](const std::string &d) { return chmod(d.c_str(), 0777); },
         "may be written by others than root (mode 777)"},
        {"directory not root's", [](const std::string &d) { return chown(d.c_str(), 65534, 0); },
         "is not root's (owner 65534)"},
        {"file not root's", [](const std::string &d) { return chown((d + "/ZAR.PWD").c_str(), 65534, 0); },
         "ZAR.PWD is not root's (owner 65534)"},
    };
    for (const auto &c : cases) {
        const std::string dir = tmp.path() + "/" + std::to_string(&c - cases);
        ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
        ASSERT_TRUE(pwfix::writeFile(dir + "/ZAR.PWD", pwfix::file({pwfix::v3(0, "SRV", "N1", "PW1")})));
        ASSERT_EQ(0, c.spoil(dir)) << c.name;
        ToolRun r = run(tmp, kKeladm + kCatalogs + " --dir " + dir + " check");
        EXPECT_EQ(c.phrase == nullptr ? 0 : 1, r.status) << c.name << ": " << r.err;
        if (c.phrase != nullptr) {
            EXPECT_TRUE(has(r.err, c.phrase)) << c.name << ": " << r.err;
            EXPECT_FALSE(has(r.out, "is intact")) << c.name << ": " << r.out;
        }
    }
}

// The file keeps one earlier key: with one kept already, a new key replaces
// the current one only on the administrator's word, and the key request then
// gives the new key and the saved first one, as the layout places them.
TEST_F(Keladm, ASecondReplacedKeyNeedsTheAdministratorsWord)
{
    const std::string keys = KEL_BINARY_DIR "/tools/kelcall --agent " KEL_BINARY_DIR "/kelvlx --catalogs " KEL_BINARY_DIR
                             "/catalogs --cipher des --node N1 --server SRV --dir " + tmp.path() + " keys";
    struct Row {
        const char *name;
        const char *command;
        int status;
        const char *phrase;   // on standard error, or standard output when it worked
        const char *keyRequest;
    } rows[] = {
        {"K3 without --drop-current", "set-key N1 SRV", 1, "Run again with --drop-current",
         "current key: K2\nsaved key 1: K1\nsaved key 2: K1\n"},
        {"K3 with --drop-current", "set-key --drop-current N1 SRV", 0, "Stored the encryption key",
         "current key: K3\nsaved key 1: K1\nsaved key 2: K1\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        unlink(tmp.file().c_str());
        ASSERT_EQ(0, adm("set-key N1 SRV", "K1\n").status);
        ASSERT_EQ(0, adm("set-key N1 SRV", "K2\n").status) << "the first replacement keeps K1";
        const Bytes before = pwfix::readFile(tmp.file());
        ToolRun r = adm(row.command, "K3\n");
        EXPECT_EQ(row.status, r.status) << r.err;
        EXPECT_TRUE(has(row.status == 0 ? r.out : r.err, row.phrase)) << r.out << r.err;
        if (row.status != 0) {
            EXPECT_EQ(before, pwfix::readFile(tmp.file()));
        }
        r = run(tmp, keys);
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ(row.keyRequest, r.out);
    }
    EXPECT_EQ(2, adm("set-server --drop-current N1 SRV", "PW\n").status);
}

// check names what killed rewrites left behind; a delete reports what its
// own rewrite gave, and the next write takes the leftovers away.
TEST_F(Keladm, CheckNamesLeftoversAndDeleteReportsItsRewrite)
{
    ASSERT_EQ(0, adm("set-server N1 SRV", "PW1\n").status);
    ASSERT_EQ(0, adm("set-server N2 SRV", "PW2\n").status);
    const std::string killed = pwfix::newFileName("ZAR.PWD", pwfix::deadPid(), "aB3dE9");
    ASSERT_TRUE(pwfix::writeFile(tmp.file(killed), "the new file of a killed writer"));
    // An administrator's copies are never taken for a writer's leftovers.
    const std::vector<std::string> copies = {"ZAR.PWD.backup", "ZAR.PWD.202612", "ZAR.PWD.aB3dE9"};
    for (const std::string &c : copies)
        ASSERT_TRUE(pwfix::writeFile(tmp.file(c), "an administrator's copy"));
    ToolRun r = adm("check");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.out, "Left by an interrupted rewrite: " + killed)) << r.out;
    EXPECT_TRUE(has(r.out, "the next write removes it")) << r.out;
    for (const std::string &c : copies)
        EXPECT_FALSE(has(r.out, c + " ")) << r.out;

    // A lock that cannot be taken: the rewrite fails, and the delete says so.
    unlink(tmp.file("ZAR.PWD.lock").c_str());
    ASSERT_EQ(0, mkdir(tmp.file("ZAR.PWD.lock").c_str(), 0700));
    const Bytes before = pwfix::readFile(tmp.file());
    r = adm("delete server N1 SRV");
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(has(r.err, "could not be deleted")) << r.err;
    EXPECT_TRUE(has(r.err, "(code -1)")) << r.err;
    EXPECT_EQ(before, pwfix::readFile(tmp.file()));

    ASSERT_EQ(0, rmdir(tmp.file("ZAR.PWD.lock").c_str()));
    r = adm("delete server N1 SRV");
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(has(r.out, "Deleted 1 server password record")) << r.out;
    EXPECT_EQ(0u, pwfix::dirEntries(tmp.path()).count(killed));
    for (const std::string &c : copies)
        EXPECT_EQ("an administrator's copy", pwfix::readFile(tmp.file(c))) << c;
    EXPECT_FALSE(has(adm("check").out, "interrupted rewrite"));
}

TEST_F(Keladm, ReportsDamageWithoutChangingTheFile)
{
    const Bytes good = pwfix::v3(0, "SRV", "N1", "PW").bytes();
    const Bytes damaged = concat({pwfix::header(), good, Bytes("\x00\xEE\x01\x02", 4), " garbage"});
    const std::string at = "is damaged at offset " + std::to_string(71 + good.size());
    ASSERT_TRUE(pwfix::writeFile(tmp.file(), damaged));
    ToolRun r = adm("check");
    EXPECT_EQ(3, r.status);
    EXPECT_TRUE(has(r.err, at) && has(r.err, "; 1 intact record before it")) << r.err;
    EXPECT_EQ("", r.out);
    r = adm("list");
    EXPECT_EQ(3, r.status);
    EXPECT_TRUE(has(r.err, at) && has(r.err, "records after it are not shown")) << r.err;
    r = adm("delete server N1 SRV");
    EXPECT_EQ(3, r.status);
    EXPECT_TRUE(has(r.err, at) && has(r.err, "nothing was deleted")) << r.err;
    r = adm("set-server N1 SRV", "NEWPW\n");
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(has(r.err, "could not be stored")) << r.err;
    EXPECT_EQ(damaged, pwfix::readFile(tmp.file()));

    ASSERT_EQ(0, unlink(tmp.file().c_str()));
    ASSERT_EQ(0, symlink("/etc/passwd", tmp.file().c_str()));
    r = adm("check");
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(has(r.err, "symbolic link")) << r.err;
}

// Every change and every refused change is one LOG_AUTHPRIV line naming the
// record, the file and the user; reading commands log nothing; no line ever
// holds a password.
TEST_F(Keladm, LogsChangesAndRefusalsToSyslog)
{
    constexpr const char *kNotice = "<85>";    // LOG_AUTHPRIV | LOG_NOTICE
    constexpr const char *kWarning = "<84>";   // LOG_AUTHPRIV | LOG_WARNING
    const std::string where = " file=" + tmp.file() + " user=root uid=0";
    struct Case {
        const char *args, *input;
        int status;
        const char *priority;
        std::string line;   // after "keladm[pid]: "
    } cases[] = {
        {"set-server N1 SRV", "Secret-1\n", 0, kNotice, "set-server: stored; type=server node=N1 server=SRV" + where},
        {"set-key 'N 1' SRV", "Secret-2\n", 0, kNotice, "set-key: stored; type=key node=N\\x201 server=SRV" + where},
        {"set-server N1 SRV", "Secret-3\x01\n", 1, kWarning,
         "set-server: refused: the password holds control characters; nothing was stored; type=server node=N1 "
         "server=SRV" + where},
        {"set-server N1", "Secret-4\n", 2, kWarning,
         "set-server: refused: set-server and set-key take a node name and a server name;" + where},
        {"delete server N1 NOSUCH", "", 1, kWarning,
         "delete: refused: no server password of node N1 for server NOSUCH is stored in " + tmp.file() +
             "; type=server node=N1 server=NOSUCH" + where},
        {"delete key 'N 1' SRV", "", 0, kNotice, "delete: deleted; type=key node=N\\x201 server=SRV" + where},
        {"list", "", 0, nullptr, ""},
        {"check", "", 0, nullptr, ""},
    };
    for (const auto &c : cases) {
        ToolRun r = admLogged(c.args, c.input);
        EXPECT_EQ(c.status, r.status) << c.args << ": " << r.err;
        if (c.priority == nullptr) {
            EXPECT_TRUE(r.log.empty()) << c.args << ": " << (r.log.empty() ? "" : r.log[0]);
            continue;
        }
        ASSERT_EQ(1u, r.log.size()) << c.args;
        const std::string &l = r.log[0];
        EXPECT_EQ(0u, l.find(c.priority)) << l;
        EXPECT_TRUE(has(l, " keladm[")) << l;
        const size_t msg = l.find("]: ");
        ASSERT_NE(std::string::npos, msg) << l;
        // A login user the kernel keeps for the session may follow.
        EXPECT_EQ(0u, l.substr(msg + 3).find(c.line)) << c.args << "\n" << l;
        EXPECT_FALSE(has(l, "Secret")) << l;
    }

    ToolRun r = admLogged("--dir " + tmp.path() + "/typo set-key N1 SRV", "Secret-5\n");
    EXPECT_EQ(1, r.status);
    ASSERT_EQ(1u, r.log.size());
    EXPECT_TRUE(has(r.log[0], "set-key: refused: " + tmp.path() + "/typo does not exist; use --create to make it;"))
        << r.log[0];

    ASSERT_EQ(0, chmod(tmp.path().c_str(), 0711));   // so that nobody reaches the log socket
    r = runLogged(tmp, "setpriv --reuid=nobody --regid=nogroup --clear-groups " + line("delete server N1 SRV"));
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(has(r.err, "must be run as root")) << r.err;
    ASSERT_EQ(1u, r.log.size());
    EXPECT_TRUE(has(r.log[0], "delete: refused: must be run as root")) << r.log[0];
    EXPECT_TRUE(has(r.log[0], " user=nobody uid=")) << r.log[0];
}

} // namespace
