#include "crypto/oxlcload.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <link.h>
#include <sys/wait.h>
#include <unistd.h>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "crypto/oxlcwrap.h"

namespace {

const std::string realDir = KEL_BINARY_DIR;
const std::string fakeDir = std::string(KEL_FIXTURE_DIR) + "/oxl-fake";
const std::string missingDir = std::string(KEL_FIXTURE_DIR) + "/oxl-missing";

// Sets or clears an environment variable for one test and puts it back after.
class EnvGuard {
public:
    EnvGuard(const char *name, const char *value) : name_(name)
    {
        const char *old = getenv(name);
        had_ = old != nullptr;
        if (had_)
            old_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~EnvGuard()
    {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char *name_;
    bool had_;
    std::string old_;
};

int collect(const char *dir, size_t len, void *arg)
{
    static_cast<std::vector<std::string> *>(arg)->emplace_back(dir, len);
    return 0;
}

std::vector<std::string> candidates(const char *dir, const char *ldPath, int secure)
{
    std::vector<std::string> out;
    EXPECT_EQ(OXLC_ForEachCandidate(dir, ldPath, secure, collect, &out), 0);
    return out;
}

void expectStatus(const OXL_STATUS &st, uint32_t majRC, uint32_t minRC, const char *desc)
{
    EXPECT_EQ(st.majRC, majRC);
    EXPECT_EQ(st.minRC, minRC);
    EXPECT_STREQ(st.desc, desc);
}

// Holds the stand-in library open while a test reads its records, so that
// they outlive the loader's own close.
class FakeLibrary {
public:
    FakeLibrary() : h_(dlopen((fakeDir + OXL_LIBRARY_SUBPATH).c_str(), RTLD_NOW)) {}
    ~FakeLibrary()
    {
        if (h_ != nullptr)
            dlclose(h_);
    }
    template <typename T>
    T symbol(const char *name)
    {
        void *sym = h_ != nullptr ? dlsym(h_, name) : nullptr;
        EXPECT_NE(sym, nullptr) << name;
        return reinterpret_cast<T>(sym);
    }

private:
    void *h_;
};

} // namespace

struct CandidateCase {
    const char *name;
    const char *ldPath;
    int secure;
    std::vector<std::string> expected;
};

class oxlcloadCandidates : public testing::TestWithParam<CandidateCase> {};

TEST_P(oxlcloadCandidates, ListsDirectoriesInSearchOrder)
{
    const CandidateCase &c = GetParam();
    EXPECT_EQ(candidates("D", c.ldPath, c.secure), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    oxlcload, oxlcloadCandidates,
    testing::Values(CandidateCase{"unset", nullptr, 0, {"D"}},
                    CandidateCase{"twoElements", "/a/b:/c", 0, {"D", "/a/b", "/a", "/c", "D"}},
                    CandidateCase{"relativeAndTrailingColon", "x/y:", 0, {"D", "x/y", "x", "D"}},
                    // empty elements and empty parents are never tried (no load from / or the cwd)
                    CandidateCase{"emptyElements", "::/c::/d/", 0, {"D", "/c", "/d/", "/d", "D"}},
                    CandidateCase{"setUserIdIgnoresPath", "/a/b:/c", 1, {"D"}}),
    [](const testing::TestParamInfo<CandidateCase> &i) { return std::string(i.param.name); });

TEST(oxlcload, CandidateWalkStopsWhenVisitorSaysSo)
{
    int seen = 0;
    auto stopAtSecond = [](const char *, size_t, void *arg) { return ++*static_cast<int *>(arg) == 2 ? 5 : 0; };
    EXPECT_EQ(OXLC_ForEachCandidate("D", "/a/b:/c", 0, stopAtSecond, &seen), 5);
    EXPECT_EQ(seen, 2);
}


TEST(oxlcload, InitLoadsTheBuildTreeLibraryAndCleansUp)
{
    EnvGuard env("LD_LIBRARY_PATH", nullptr);
    OXL_STATUS st{};
    OXLC_CTX *ctx = OXLC_Init(&st, realDir.c_str());
    ASSERT_NE(ctx, nullptr) << st.desc;
    expectStatus(st, 0, 0, "OK");
    EXPECT_NE(ctx->libraryHandle, nullptr);
    EXPECT_NE(ctx->libCtx, nullptr);
    for (int i = 0; i < OXL_ENTRY_COUNT; i++)
        EXPECT_NE(ctx->entry[i].address, nullptr) << ctx->entry[i].name;
    EXPECT_STREQ(ctx->entry[0].name, "METAC_GetStatus");
    EXPECT_STREQ(ctx->entry[OXL_ENTRY_COUNT - 1].name, "METAC_EVP_DecodeBlock");
    EXPECT_EQ(OXLC_Cleanup(ctx, &st), 1);
    expectStatus(st, 0, 0, "OK");
}

TEST(oxlcload, IncompleteLibraryIsClosedAndReported)
{
    EnvGuard env("LD_LIBRARY_PATH", nullptr);
    OXL_STATUS st{};
    EXPECT_EQ(OXLC_Init(&st, missingDir.c_str()), nullptr);
    expectStatus(st, 2, 5, "Failure in loading functions");
    void *still = dlopen((missingDir + OXL_LIBRARY_SUBPATH).c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(still, nullptr) << "the incomplete library was left open";
    if (still != nullptr)
        dlclose(still);
}

TEST(oxlcload, ResolutionStopsAtTheFirstMissingEntryPoint)
{
    OXLC_CTX ctx{};
    ctx.libraryHandle = OXLC_LoadLibrary((missingDir + OXL_LIBRARY_SUBPATH).c_str());
    ASSERT_NE(ctx.libraryHandle, nullptr);
    EXPECT_EQ(OXL_initialize_functions(&ctx), -2);
    EXPECT_NE(ctx.entry[OXL_IDX_RAND_bytes - 1].address, nullptr);
    EXPECT_EQ(ctx.entry[OXL_IDX_RAND_bytes].address, nullptr);
    EXPECT_EQ(ctx.entry[OXL_IDX_RAND_bytes + 1].address, nullptr);
    EXPECT_STREQ(ctx.entry[OXL_IDX_RAND_bytes + 1].name, "METAC_RAND_seed");
    EXPECT_EQ(OXLC_FreeLibrary(ctx.libraryHandle), 0);
}

TEST(oxlcload, SearchMovesOnFromAnIncompleteLibrary)
{
    EnvGuard env("LD_LIBRARY_PATH", realDir.c_str());
    OXL_STATUS st{};
    OXLC_CTX *ctx = OXLC_Init(&st, missingDir.c_str());
    ASSERT_NE(ctx, nullptr) << st.desc;
    expectStatus(st, 0, 0, "OK");
    EXPECT_EQ(OXLC_Cleanup(ctx, &st), 1);
}

// What a set-user-id run (real user nobody) makes of one library directory:
// whether the library opened, the status, and the path the linker was given.
struct SecureLoad {
    bool loaded = false;
    uint32_t majRC = 0, minRC = 0;
    char linkedPath[512] = "";
};

SecureLoad loadAsSetUserId(const std::string &dir)
{
    SecureLoad r;
    int fds[2];
    if (pipe(fds) != 0) {
        ADD_FAILURE() << "pipe";
        return r;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        SecureLoad out;
        if (setresuid(65534, 0, 0) != 0)
            _exit(2);
        OXL_STATUS st{};
        OXLC_CTX *ctx = OXLC_Init(&st, dir.c_str());
        out.loaded = ctx != nullptr;
        out.majRC = st.majRC;
        out.minRC = st.minRC;
        struct link_map *map = nullptr;
        if (ctx != nullptr && dlinfo(ctx->libraryHandle, RTLD_DI_LINKMAP, &map) == 0)
            snprintf(out.linkedPath, sizeof out.linkedPath, "%s", map->l_name);
        if (ctx != nullptr)
            OXLC_Cleanup(ctx, &st);
        _exit(write(fds[1], &out, sizeof out) == sizeof out ? 0 : 3);
    }
    close(fds[1]);
    EXPECT_EQ(read(fds[0], &r, sizeof r), static_cast<ssize_t>(sizeof r));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the set-user-id child failed: " << status;
    return r;
}

// A set-user-id run opens a library only when root alone can change it and
// every directory above it, and hands the linker the resolved path it
// checked; anything else counts as not loadable. (The rule itself is
// pstrust's; these rows show the loader follows it.)
TEST(oxlcload, SetUserIdRunOpensOnlyProtectedLibraries)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to take another real user id";
    char tmpl[] = "/tmp/keloxl.XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string base = tmpl;
    auto sh = [](const std::string &cmd) { return system(cmd.c_str()); };
    ASSERT_EQ(sh("chmod 0755 '" + base + "' && for d in root other; do mkdir -p '" + base + "'/$d/oxl/oxllib && cp '" +
                 fakeDir + OXL_LIBRARY_SUBPATH + "' '" + base + "'/$d/oxl/oxllib/; done && chown 65534 '" + base +
                 "/other/oxl' && mkdir '" + base + "/link' && ln -s '" + base + "/root/oxl' '" + base + "/link/oxl'"),
              0);
    const std::string rootLib = base + "/root" + OXL_LIBRARY_SUBPATH;
    struct Row {
        const char *name;
        std::string dir;
        bool loaded;
        uint32_t minRC;
        std::string linkedPath;
    } rows[] = {
        {"root's library in root's directories", base + "/root", true, 0, rootLib},
        {"root's library below the user's directory", base + "/other", false, EPERM, ""},
        {"a link to root's library", base + "/link", true, 0, rootLib},
        {"no library", base + "/absent", false, ENOENT, ""},
    };
    for (const Row &r : rows) {
        SecureLoad got = loadAsSetUserId(r.dir);
        EXPECT_EQ(got.loaded, r.loaded) << r.name;
        EXPECT_EQ(got.majRC, r.loaded ? 0u : 4u) << r.name;
        EXPECT_EQ(got.minRC, r.minRC) << r.name;
        EXPECT_EQ(std::string(got.linkedPath), r.linkedPath) << r.name;
    }
    // A run that is not set-user-id takes what its own user put there.
    OXL_STATUS st{};
    OXLC_CTX *ctx = OXLC_Init(&st, (base + "/other").c_str());
    EXPECT_NE(ctx, nullptr) << st.desc;
    if (ctx != nullptr)
        OXLC_Cleanup(ctx, &st);
    sh("rm -rf '" + base + "'");
}

TEST(oxlcload, AbsentLibraryGivesTheLinkerText)
{
    EnvGuard env("LD_LIBRARY_PATH", nullptr);
    OXL_STATUS st{};
    EXPECT_EQ(OXLC_Init(&st, "/nonexistent/oxl-dir"), nullptr);
    EXPECT_EQ(st.majRC, 4u);
    EXPECT_NE(strstr(st.desc, "/nonexistent/oxl-dir/oxl/oxllib/liboxllib.so"), nullptr) << st.desc;
    EXPECT_LT(strlen(st.desc), sizeof st.desc);
}

TEST(oxlcload, OverlongDirectoriesAreRefusedOrSkipped)
{
    EnvGuard env("LD_LIBRARY_PATH", nullptr);
    OXL_STATUS st{};
    // 240 characters: the full path would not fit, so nothing is opened; the
    // search then fails instead of reporting success with no library.
    std::string dir240 = "/" + std::string(239, 'd');
    EXPECT_EQ(OXLC_Init(&st, dir240.c_str()), nullptr);
    expectStatus(st, 2, 9, "Parameter is too large");

    std::string dir256 = "/" + std::string(255, 'd');
    EXPECT_EQ(OXLC_Init(&st, dir256.c_str()), nullptr);
    expectStatus(st, 2, 9, "Parameter is too large");
    EXPECT_EQ(st.mode, -1);
}

TEST(oxlcload, A240CharacterPathElementIsSkippedAndTheNextOneUsed)
{
    std::string path = "/" + std::string(239, 'p') + ":" + realDir;
    EnvGuard env("LD_LIBRARY_PATH", path.c_str());
    OXL_STATUS st{};
    OXLC_CTX *ctx = OXLC_Init(&st, "/nonexistent/oxl-dir");
    ASSERT_NE(ctx, nullptr) << st.desc;
    EXPECT_EQ(OXLC_Cleanup(ctx, &st), 1);
}

TEST(oxlcload, NullArguments)
{
    EXPECT_EQ(OXLC_Init(nullptr, realDir.c_str()), nullptr);
    OXL_STATUS st{};
    for (const char *dir : {static_cast<const char *>(nullptr), ""}) {
        st = OXL_STATUS{};
        EXPECT_EQ(OXLC_Init(&st, dir), nullptr);
        expectStatus(st, 2, 9, "Invalid parameter");
        EXPECT_EQ(st.mode, -1);
    }

    EXPECT_EQ(OXLC_Cleanup(nullptr, &st), 2);
    expectStatus(st, 2, 10, "OXL has not been initialized");
    EXPECT_EQ(st.mode, -1);
    EXPECT_EQ(OXLC_Cleanup(nullptr, nullptr), -2);
}

TEST(oxlcload, LibraryErrorTextIsAlwaysTerminated)
{
    EXPECT_EQ(OXLC_LoadLibrary("/nonexistent/liboxllib.so"), nullptr);
    char buf[8];
    memset(buf, 'x', sizeof buf);
    OXLC_GetLibraryError(buf, sizeof buf);
    EXPECT_EQ(strlen(buf), sizeof buf - 1);

    memset(buf, 'x', sizeof buf);
    OXLC_GetLibraryError(buf, sizeof buf);   // no error pending: empty text
    EXPECT_STREQ(buf, "");
}

TEST(oxlcload, StartUpFailureOfTheLibraryIsReported)
{
    EnvGuard path("LD_LIBRARY_PATH", nullptr);
    struct Case {
        const char *mode;
        uint32_t majRC;
    } cases[] = {{"fail", 3}, {"silent", 2}};   // a null context never reads as success
    for (const Case &c : cases) {
        EnvGuard env("OXL_FAKE_INIT", c.mode);
        OXL_STATUS st{};
        EXPECT_EQ(OXLC_Init(&st, fakeDir.c_str()), nullptr) << c.mode;
        EXPECT_EQ(st.majRC, c.majRC) << c.mode;
    }
}

TEST(oxlcwrap, PassTheLibraryContextAndResults)
{
    EnvGuard env("LD_LIBRARY_PATH", nullptr);
    OXL_STATUS st{};
    FakeLibrary fake;
    OXLC_CTX *ctx = OXLC_Init(&st, fakeDir.c_str());
    ASSERT_NE(ctx, nullptr) << st.desc;

    EXPECT_EQ(std::string(fake.symbol<char *>("fake_initDirectory")), fakeDir);
    size_t *lens = fake.symbol<size_t *>("fake_initHashLens");
    ASSERT_NE(lens, nullptr);
    EXPECT_EQ(lens[0], OXL_INTEGRITY_DIGITS);
    EXPECT_EQ(lens[1], OXL_INTEGRITY_DIGITS);

    auto lastName = fake.symbol<const char **>("fake_lastName");
    auto lastCtx = fake.symbol<OXL_LIBCTX **>("fake_lastLibCtx");
    ASSERT_NE(lastName, nullptr);
    EXPECT_EQ(OXLC_EVP_EncryptInit(ctx, nullptr, nullptr, nullptr, nullptr), 7);
    EXPECT_STREQ(*lastName, "EVP_EncryptInit");
    EXPECT_EQ(*lastCtx, ctx->libCtx);
    EXPECT_EQ(OXLC_ERR_get_error(ctx), 7u);
    EXPECT_STREQ(*lastName, "ERR_get_error");
    OXLC_RAND_seed(ctx, nullptr, 0);
    EXPECT_STREQ(*lastName, "RAND_seed");

    int *cleanups = fake.symbol<int *>("fake_cleanups");
    int before = *cleanups;
    EXPECT_EQ(OXLC_Cleanup(ctx, &st), 1);
    EXPECT_EQ(*cleanups, before + 1);
}

TEST(oxlcwrap, WithoutContextOrEntryCallNothing)
{
    OXLC_CTX unresolved{};   // a context whose entry points were never resolved
    for (OXLC_CTX *ctx : {static_cast<OXLC_CTX *>(nullptr), &unresolved}) {
        unsigned char buf[16] = {};
        int len = 0;
        OXL_STATUS st{};
        EXPECT_EQ(OXLC_EVP_EncryptInit(ctx, nullptr, nullptr, nullptr, nullptr), -2);
        EXPECT_EQ(OXLC_EVP_DecryptFinal(ctx, nullptr, buf, &len), -2);
        EXPECT_EQ(OXLC_GetStatus(ctx, &st), -2);
        EXPECT_EQ(OXLC_RAND_bytes(ctx, buf, 16), -2);
        EXPECT_EQ(OXLC_EVP_get_cipherbyname(ctx, "AES-128-CBC"), nullptr);
        EXPECT_EQ(OXLC_EVP_CIPHER_CTX_new(ctx), nullptr);
        EXPECT_EQ(OXLC_lib_init(ctx, &st, "/x", "", ""), nullptr);
        EXPECT_EQ(OXLC_ERR_error_string(ctx, 0, reinterpret_cast<char *>(buf)), nullptr);
        EXPECT_EQ(OXLC_ERR_get_error(ctx), 0u);
        OXLC_EVP_CIPHER_CTX_init(ctx, nullptr);   // no result: must simply return
        EXPECT_EQ(buf[0], 0);
    }
}
