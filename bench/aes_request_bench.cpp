// One 'A' request with AES against one with DES, each from starting the agent
// to its exit, interleaved in the same run; prints the medians, their ratio
// and how much of the difference is loading the crypto library. The share is
// taken from a probe: this program started afresh (so libcrypto is not yet
// in it) walks the agent's own AES start-up step by step with a clock.
//
//   aes_request_bench [runs]      (default 300; run as root: the agent serves only root)
//
// The agent finds this build's library where it looks for it, below its
// installation directory, in a mount namespace of the benchmark's own (see
// showBuildLibrary).
#include <dlfcn.h>
#include <link.h>

#include <openssl/opensslv.h>   // the library's soname only; nothing of libcrypto is linked

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bench/reqtiming.h"
#include "crypto/crypto.h"
#include "crypto/oxlcload.h"
#include "crypto/oxlcrypt.h"
#include "crypto/oxlcwrap.h"
#include "diag/dscore.h"
#include "oxlbuildid.h"

using namespace reqbench;

namespace {

#define KEL_STR2(x) #x
#define KEL_STR(x) KEL_STR2(x)
const char kCryptoSoname[] = "libcrypto.so." KEL_STR(OPENSSL_VERSION_MAJOR);

// ---- the probe: the agent's AES start-up, step by step --------------------

// The steps of the agent's first AES request that DES does not take, in the
// agent's order, each done by the program's own code.
const char *const kSteps[] = {
    "libcrypto mapped and relocated",
    "liboxllib mapped, 139 entry points resolved",
    "library start (integrity, context, provider, self-test)",
    "version, approved mode, attach",
    "AES object (cipher context, cipher lookup)",
    "key folding and one encipherment",
    "unload (library clean-up, dlclose)",
};
constexpr int kStepCount = sizeof kSteps / sizeof kSteps[0];

int countLoaded(const char *part)
{
    int n = 0;
    std::pair<const char *, int *> arg(part, &n);
    dl_iterate_phdr(
        [](struct dl_phdr_info *info, size_t, void *a) {
            auto *p = static_cast<std::pair<const char *, int *> *>(a);
            if (info->dlpi_name != nullptr && strstr(info->dlpi_name, p->first) != nullptr)
                ++*p->second;
            return 0;
        },
        &arg);
    return n;
}

// Prints the microseconds of each step on one line; 0 when all went well.
int probe(const char *dir)
{
    if (countLoaded("libcrypto") != 0) {
        fprintf(stderr, "probe: libcrypto is already in the process\n");
        return 1;
    }
    dsCoreInit(nullptr, 1);
    double t[kStepCount + 1];
    int step = 0;
    t[step++] = nowUs();

    void *crypto = dlopen(kCryptoSoname, RTLD_NOW | RTLD_LOCAL);
    t[step++] = nowUs();

    OXL_STATUS status{};
    auto *ctx = static_cast<OXLC_CTX *>(calloc(1, sizeof(OXLC_CTX)));
    const std::string path = std::string(dir) + OXL_LIBRARY_SUBPATH;
    ctx->libraryHandle = OXLC_LoadLibrary(path.c_str());
    bool ok = crypto != nullptr && ctx->libraryHandle != nullptr && OXL_initialize_functions(ctx) == 1;
    t[step++] = nowUs();

    if (ok)
        ctx->libCtx = OXLC_lib_init(ctx, &status, dir, KEL_OXL_LIBHASH, KEL_OXL_CRYPTOLIBHASH);
    ok = ok && ctx->libCtx != nullptr && countLoaded("libcrypto") == 1;
    t[step++] = nowUs();

    char version[64] = "";
    ok = ok && OXLC_GetValue(ctx, &status, OXL_VERSION, version, sizeof version) == 1 &&
         OXLC_SetValue(ctx, &status, OXL_FIPS_APPROVED_MODE, "on") == 1 && OXLC_Attach(ctx, &status) == 1;
    t[step++] = nowUs();

    ctxP = ok ? ctx : nullptr;
    int rc = 0;
    Crypto *aes = ok ? new_Crypto(CRYPTO_TYPE_AES, &rc) : nullptr;
    t[step++] = nowUs();

    unsigned char key[16], out[32];
    unsigned int len = 0;
    const unsigned char pw[] = "BENCHPASSWORD";
    const unsigned char data[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    ok = aes != nullptr && aes->utEncKey(pw, sizeof pw - 1, key) == 0 &&
         aes->cipherData(CRYPTO_ENCRYPT, key, data, sizeof data, out, &len) == 0 && len == 32;
    t[step++] = nowUs();

    delete_Crypto(aes);
    if (ctxP != nullptr) {
        OXLC_Cleanup(ctxP, &status);
        ctxP = nullptr;
    }
    t[step++] = nowUs();
    if (!ok) {
        fprintf(stderr, "probe: the library could not be started from %s (%s)\n", dir, status.desc);
        return 1;
    }
    for (int i = 0; i < kStepCount; ++i)
        printf("%.1f ", t[i + 1] - t[i]);
    printf("\n");
    return 0;
}

// Runs the probe in a fresh process of this program; false when it failed.
bool runProbe(const char *self, const char *dir, std::vector<double> *steps)
{
    std::string cmd = std::string("'") + self + "' --probe '" + dir + "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return false;
    bool ok = true;
    for (int i = 0; i < kStepCount; ++i) {
        double v = 0;
        ok = ok && fscanf(p, "%lf", &v) == 1;
        steps[i].push_back(v);
    }
    return pclose(p) == 0 && ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "--probe") == 0)
        return probe(argv[2]);
    const int runs = runsFromArgs(argc, argv, 300, 50);
    if (!runningAsRoot("aes_request_bench"))
        return 2;
    const std::string libDir = showBuildLibrary();
    if (libDir.empty())
        return 1;
    PasswordDir dir;
    if (!dir.ok())
        return 1;

    std::vector<Subject> subjects = {
        {"'A' request, DES (start to exit)", agentConfig(dir, 1), 16, {}},
        {"'A' request, AES (start to exit)", agentConfig(dir, 2), 32, {}},
    };
    std::vector<double> steps[kStepCount];
    const int probes = std::max(20, runs / 5);
    bool ok = timeInterleaved("aes_request_bench", subjects, runs, [&](int round) {
        if (round % (runs / probes) != 0 || runProbe(argv[0], libDir.c_str(), steps))
            return true;
        fprintf(stderr, "aes_request_bench: the probe failed\n");
        return false;
    });
    if (!ok)
        return 1;

    printf("runs: %d of each request, interleaved; %zu probes\n", runs, steps[0].size());
    printSubjects(subjects);
    const double des = median(subjects[0].us), aes = median(subjects[1].us);
    printf("ratio AES / DES: %.2f   (AES costs %.1f us more)\n", aes / des, aes - des);

    printf("AES start-up in a fresh process, step by step (medians):\n");
    double loading = 0, total = 0;
    for (int i = 0; i < kStepCount; ++i) {
        const double m = median(steps[i]);
        printf("  %-58s %8.1f us\n", kSteps[i], m);
        total += m;
        if (i < 4)
            loading += m;   // everything before the first AES object is loading the library
    }
    printf("  %-58s %8.1f us\n", "sum", total);
    printf("share of library loading (the first four steps) in the AES request: %.0f %%, in the difference "
           "to DES: %.0f %%\n",
           100 * loading / aes, 100 * std::min(1.0, loading / (aes - des)));
    return 0;
}
