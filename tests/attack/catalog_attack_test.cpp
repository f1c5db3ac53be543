// The catalog directory comes from the caller and catalog texts are printf
// formats: a set-user-id run reads only catalogs that root alone can change,
// language names never step out of the catalog directory, and even a trusted
// catalog's texts reach printf only when they ask for what the program passes.
#include "tests/attack/attackenv.h"

#include <fstream>

namespace atk {
namespace {

const char catalogName[] = "kelclientV3.cat";

std::string genuineCatalog(const std::string &lang = "EN_US")
{
    return install().catalogs + "/" + lang + "/" + catalogName;
}

// Writes <dir>/<catalogName> holding the given raw texts in set 1, byte for byte.
bool writeCatalog(const std::string &dir, const std::map<unsigned, std::string> &texts)
{
    const std::string src = dir + "/src.gencat";
    {
        std::ofstream out(src, std::ios::binary);
        out << "$set 1\n";
        for (const auto &[num, text] : texts) {
            out << num << ' ';
            for (unsigned char c : text) {
                if (c == '\\') {
                    out << "\\\\";
                } else if (c < 0x20 || c == 0x7f) {
                    char oct[8];
                    snprintf(oct, sizeof oct, "\\%03o", c);
                    out << oct;
                } else {
                    out << static_cast<char>(c);
                }
            }
            out << '\n';
        }
    }
    const std::string cat = dir + "/" + catalogName;
    bool ok = sh("rm -f '" + cat + "' && LC_ALL=C.UTF-8 gencat '" + cat + "' '" + src + "'") == 0;
    unlink(src.c_str());
    chmod(cat.c_str(), 0644);
    return ok;
}

// The messages the agent's paths format, with the conversions their callers pass.
struct Msg {
    unsigned num;
    char severity;
    const char *conversions;
};
const Msg agentMessages[] = {
    {102, 'W', "%s"}, {109, 'E', ""}, {121, 'W', "%s"}, {1467, 'E', "%s %d %d %s"}, {1834, 'E', "%s"},
    {2218, 'I', "%s %s"}, {9180, 'E', ""}, {9999, 'E', "%s(%u) %s"}, {11143, 'T', ""}, {11144, 'T', ""},
    {11342, 'T', ""}, {21155, 'E', "%d"}, {21156, 'E', "%d"}, {21157, 'W', "%d %d"}, {21158, 'I', "%d %d"},
};

// A catalog whose every message has the body made by fn (stored as a plain body).
template <typename Fn>
std::map<unsigned, std::string> everyMessage(Fn fn)
{
    std::map<unsigned, std::string> texts;
    for (const Msg &m : agentMessages)
        texts[m.num] = "QEB" + std::to_string(m.num) + m.severity + " \x01" + fn(m);
    return texts;
}

// A request main serves at once ('B' with a non-zero flag): shows how the
// catalog set-up went. The locale comes from LC_ALL.
Result probe(const std::string &catalogDir, const std::string &lang = "EN_US", const std::string &locale = "",
             const std::string &clientType = "1")
{
    Dir pw;
    Call c;
    c.args = agentArgs(pw.path(), 'B');
    c.args[A_CATDIR] = catalogDir;
    c.args[A_LANG] = lang;
    c.args[A_CLIENT] = clientType;
    if (!locale.empty())
        c.env.push_back("LC_ALL=" + locale);
    return run(c, Bytes("\x01", 1));
}

// A catalog that a user can change, or that sits below a directory a user
// can change, counts as missing: without American English the agent gives 610.
TEST(AttackCatalog, CatalogsOthersCanChangeCountAsMissing)
{
    ATK_REQUIRE_INSTALL();
    Dir base(0755);
    auto tree = [&](const std::string &name, mode_t dirMode, uid_t dirOwner, mode_t fileMode, uid_t fileOwner) {
        std::string top = sub(base.path(), name, 0755);
        std::string lang = sub(top, "EN_US", dirMode, dirOwner, dirOwner == 0 ? 0 : nobodyGid);
        std::string cat = lang + "/" + catalogName;
        sh("cp '" + genuineCatalog() + "' '" + cat + "'");
        chmod(cat.c_str(), fileMode);
        EXPECT_EQ(chown(cat.c_str(), fileOwner, fileOwner == 0 ? 0 : nobodyGid), 0);
        return top;
    };
    const std::string userTop = sub(base.path(), "user-top", 0755, nobodyUid, nobodyGid);
    const std::string userLinkDir = sub(base.path(), "user-link", 0755, nobodyUid, nobodyGid);
    (void)!symlink(install().catalogs.c_str(), (userLinkDir + "/catalogs").c_str());
    (void)!lchown((userLinkDir + "/catalogs").c_str(), nobodyUid, nobodyGid);
    const std::string below = sub(userTop, "EN_US", 0755);   // root's directory in the user's
    sh("cp '" + genuineCatalog() + "' '" + below + "/" + catalogName + "'");

    struct Row {
        const char *name;
        std::string dir;
        int status;
    } rows[] = {
        {"the user's own directory and file", tree("own", 0755, nobodyUid, 0644, nobodyUid), ST_NLS},
        {"root's file in the user's directory", tree("own-dir", 0755, nobodyUid, 0644, 0), ST_NLS},
        {"the user's file in root's directory", tree("own-file", 0755, 0, 0644, nobodyUid), ST_NLS},
        {"a file anybody may write", tree("file-0666", 0755, 0, 0666, 0), ST_NLS},
        {"a file the group may write", tree("file-0664", 0755, 0, 0664, 0), ST_NLS},
        {"a directory anybody may write", tree("dir-0777", 0777, 0, 0644, 0), ST_NLS},
        {"root's tree below the user's directory", userTop, ST_NLS},
        {"a sticky directory holding root's file", tree("dir-1777", 01777, 0, 0644, 0), ST_OK},
        {"the user's link to root's catalogs", userLinkDir + "/catalogs", ST_OK},
        {"root's catalogs", install().catalogs, ST_OK},
    };
    for (const Row &r : rows) {
        Result res = probe(r.dir);
        EXPECT_EQ(res.status, r.status) << r.name << ": " << res.printed;
    }
}

// The user's language, chosen by the locale, in a catalog of the user's own
// counts as missing: American English is used instead, with the notice.
TEST(AttackCatalog, UsersOwnLanguageFallsBackToAmericanEnglish)
{
    ATK_REQUIRE_INSTALL();
    Dir base(0755);
    const std::string cats = sub(base.path(), "cats", 0755);
    sh("cp '" + genuineCatalog() + "' '" + sub(cats, "EN_US") + "/'");
    const std::string de = sub(cats, "DE_DE", 0755);
    sh("cp '" + genuineCatalog("DE_DE") + "' '" + de + "/'");
    Result trusted = probe(cats, "EN_US", "de_DE.utf8");
    EXPECT_EQ(trusted.status, ST_OK) << trusted.printed;
    EXPECT_EQ(trusted.printed.find("QEB0102W"), std::string::npos) << trusted.printed;

    ASSERT_TRUE(chownTree(de, nobodyUid, nobodyGid));
    Result own = probe(cats, "EN_US", "de_DE.utf8");
    EXPECT_EQ(own.status, ST_OK) << own.printed;
    EXPECT_NE(own.printed.find("QEB0102W"), std::string::npos) << own.printed;
}

// For client types 9 to 11 the language argument names the catalog file of
// the user's language: it never names one outside the language's directory.
TEST(AttackCatalog, LanguageNamesNeverLeaveTheCatalogDirectory)
{
    ATK_REQUIRE_INSTALL();
    Dir base(0755);
    const std::string cats = sub(base.path(), "cats", 0755);
    sh("cp '" + genuineCatalog() + "' '" + sub(cats, "EN_US") + "/'");
    sh("cp '" + genuineCatalog("DE_DE") + "' '" + sub(cats, "DE_DE") + "/other.cat'");
    sh("cp '" + genuineCatalog("DE_DE") + "' '" + sub(sub(base.path(), "outside"), "DE_DE") + "/other.cat'");
    struct Row {
        const char *name;
        std::string lang;
        bool opened;
    } rows[] = {
        {"a file of the language's directory", "other.cat", true},
        {"a parent step", "../../outside/DE_DE/other.cat", false},
        {"an absolute path", base.path() + "/outside/DE_DE/other.cat", false},
        {"two dots alone", "..", false},
        {"two dots inside a name", "other..cat", false},
    };
    for (const char *client : {"\t", "\n", "\v"}) {
        for (const Row &r : rows) {
            Result res = probe(cats, r.lang, "de_DE.utf8", client);
            EXPECT_EQ(res.status, ST_OK) << r.name << ": " << res.printed;
            EXPECT_EQ(res.printed.find("QEB0102W") == std::string::npos, r.opened) << r.name << ": " << res.printed;
        }
    }
}

// The user swaps a link in the catalog path back and forth between root's
// catalogs and their own while the agent starts: the catalog that was
// checked is the one that is read, so the user's own texts never are.
TEST(AttackCatalog, SwappedLinkNeverLetsTheUsersCatalogIn)
{
    ATK_REQUIRE_INSTALL();
    Dir base(0755);
    const std::string user = sub(base.path(), "user", 0755, nobodyUid, nobodyGid);
    const std::string own = sub(user, "own", 0755, nobodyUid, nobodyGid);
    const std::string marked = "MARKED: a header from the user's own catalog, never to be written by root.\n";
    ASSERT_TRUE(writeCatalog(sub(own, "EN_US", 0755, nobodyUid, nobodyGid), {{11342, "QEB11342T \x01" + marked}}));
    ASSERT_TRUE(chownTree(own, nobodyUid, nobodyGid));
    const std::string link = user + "/cats";

    pid_t flipper = fork();
    if (flipper == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(nobodyGid) != 0 || setuid(nobodyUid) != 0)
            _exit(2);
        const std::string tmp = user + "/cats.new";
        for (unsigned i = 0;; i++) {
            unlink(tmp.c_str());
            if (symlink((i % 2 == 0 ? install().catalogs : own).c_str(), tmp.c_str()) != 0 ||
                rename(tmp.c_str(), link.c_str()) != 0)
                _exit(3);
        }
    }
    Dir pw;
    const Bytes old = passwordFile();
    int served = 0, refused = 0, fromUser = 0;
    for (int i = 0; i < 200; i++) {
        pwfix::writeFile(pw.file(), old);
        Call c;
        c.args = agentArgs(pw.path(), 'C');
        c.args[A_CATDIR] = link;
        ChangeResult res = change(c);
        const Bytes now = pwfix::readFile(pw.file());
        if (res.status == ST_NLS) {
            refused++;
            EXPECT_EQ(now, old);
        } else {
            EXPECT_EQ(res.status, ST_OK) << res.printed;
            served++;
        }
        if (now.compare(0, 6, "MARKED") == 0)
            fromUser++;
    }
    kill(flipper, SIGKILL);
    int st = 0;
    waitpid(flipper, &st, 0);
    EXPECT_TRUE(WIFSIGNALED(st)) << "the link could not be swapped";
    EXPECT_EQ(fromUser, 0) << "the user's catalog was read " << fromUser << " times";
    RecordProperty("served", served);
    RecordProperty("refused", refused);
}

// Root-owned, so trusted, but hostile: every message the agent's paths
// format asks printf for something else. The agent serves its requests as
// usual; none of these texts is formatted.
TEST(AttackCatalog, HostileTextsInATrustedCatalogNeverReachPrintf)
{
    ATK_REQUIRE_INSTALL();
    const std::string huge(64 * 1024, 'x');
    const std::string blanks(71, ' ');
    struct Row {
        const char *name;
        std::map<unsigned, std::string> texts;
        std::string header;   // the password file header the rewrite writes
    } rows[] = {
        {"%n in every message",
         everyMessage([](const Msg &m) { return std::string(m.conversions) + "%n%n%n%n\n"; }), blanks},
        {"conversions that do not match", everyMessage([](const Msg &) { return std::string("%s%s%s%s%s%s%d%f\n"); }),
         blanks},
        {"positional and wide conversions", everyMessage([](const Msg &) { return std::string("%2$s %1$ls\n"); }),
         blanks},
        {"64-KiB texts", everyMessage([&](const Msg &m) { return huge + m.conversions + "\n"; }), huge.substr(0, 71)},
        {"every message missing", {{1, "QEB0001E \x01unrelated\n"}}, blanks},
    };
    Dir base(0755);
    int n = 0;
    for (const Row &r : rows) {
        const std::string cats = sub(base.path(), "cats" + std::to_string(++n), 0755);
        ASSERT_TRUE(writeCatalog(sub(cats, "EN_US"), r.texts)) << r.name;

        Dir pw;
        pwfix::writeFile(pw.file(), passwordFile());
        Call c;
        c.args = agentArgs(pw.path(), 'C');
        c.args[A_CATDIR] = cats;
        ChangeResult ch = change(c);
        EXPECT_EQ(ch.status, ST_OK) << r.name << ": " << ch.printed;
        const Bytes now = pwfix::readFile(pw.file());
        EXPECT_EQ(storedPassword(now), ch.pw.newPw) << r.name;
        EXPECT_EQ(now.substr(0, 71), r.header) << r.name;

        c.args = agentArgs(pw.path() + "/missing", 'C');   // the store reports the directory
        c.args[A_CATDIR] = cats;
        int refused = change(c).status;
        EXPECT_EQ(refused, ST_STORE_REFUSED) << r.name;

        c.args = agentArgs(pw.path(), 'A');
        c.args[A_CATDIR] = cats;
        c.args[A_NODE] = "NOBODY";
        Result none = run(c, Bytes("\x00\x00", 2) + "CHALLENG");
        EXPECT_EQ(none.status, ST_NO_PASSWORD) << r.name << ": " << none.printed;
        for (const std::string &out : {ch.printed, none.printed}) {
            EXPECT_EQ(out.find('%'), std::string::npos) << r.name << ": " << out;
            EXPECT_EQ(out.find("xxxxxxxx"), std::string::npos) << r.name;
        }
    }
}

} // namespace
} // namespace atk
