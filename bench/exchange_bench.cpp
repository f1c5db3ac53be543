// What one exchange costs a caller, small or large: the library's DES 'A'
// request against the same request made by posix_spawn of the same agent
// with two pipes and waitpid, from the same process, interleaved, first as a
// small caller and then with 2 GiB of heap touched. Starting the agent must
// not copy the caller, so both ratios stay near 1 (README, "Exchange").
//
//   exchange_bench [runs]      (default 40; run as root: the agent serves only root)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/reqtiming.h"

using namespace reqbench;

namespace {

constexpr size_t BIG_HEAP = size_t{2} << 30;   // the large caller's touched heap
constexpr size_t DES_ANSWER = 16;

// The request as the library makes it, by posix_spawn: the agent's command
// line with the pipe ends, the request, the answer, the exit status.
bool spawnRequest(const kelvlx::Config &cfg)
{
    int in[2], out[2];
    if (pipe(in) != 0)
        return false;
    if (pipe(out) != 0) {
        close(in[0]);
        close(in[1]);
        return false;
    }
    const std::string pw = cfg.passwordDir + "/ZAR.PWD";
    std::vector<std::string> args = {cfg.agentPath, "0", KEL_INTERFACE_STRING,
                                     std::to_string(in[0]), std::to_string(in[1]), std::to_string(out[0]),
                                     std::to_string(out[1]), pw, cfg.language, "", cfg.catalogDir, "A", cfg.node,
                                     cfg.server, pw, "", cfg.buildDate, cfg.buildTime, cfg.clientType,
                                     std::to_string(cfg.exitLogging), "0", std::to_string(cfg.cipherType)};
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, cfg.agentPath.c_str(), nullptr, nullptr, argv.data(), environ);
    close(in[0]);
    close(out[1]);
    bool ok = rc == 0;
    const unsigned char req[18] = {0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    if (ok)
        ok = write(in[1], req, sizeof req) == static_cast<ssize_t>(sizeof req);
    close(in[1]);
    unsigned char answer[128];
    size_t got = 0;
    for (ssize_t n; ok && (n = read(out[0], answer + got, sizeof answer - got)) > 0;)
        got += static_cast<size_t>(n);
    close(out[0]);
    int status = -1;
    if (rc == 0)
        while (waitpid(pid, &status, 0) < 0) {
        }
    return ok && got == DES_ANSWER && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct Pair {
    std::vector<double> library, spawned;
};

// runs rounds of both, in turn; false at the first failure.
bool timePair(const Subject &lib, int runs, Pair *p)
{
    for (int i = 0; i < runs; ++i) {
        double t0 = nowUs();
        const bool a = oneRequest(lib);
        double t1 = nowUs();
        const bool b = spawnRequest(lib.cfg);
        double t2 = nowUs();
        if (!a || !b) {
            fprintf(stderr, "exchange_bench: run %d failed (%s)\n", i, a ? "posix_spawn" : "library");
            return false;
        }
        p->library.push_back(t1 - t0);
        p->spawned.push_back(t2 - t1);
    }
    return true;
}

void printPair(const char *caller, const Pair &p)
{
    printf("%-28s library %8.1f us (p10 %8.1f)   posix_spawn %8.1f us (p10 %8.1f)\n", caller, median(p.library),
           percentile(p.library, 0.1), median(p.spawned), percentile(p.spawned, 0.1));
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = runsFromArgs(argc, argv, 40, 10);
    if (!runningAsRoot("exchange_bench"))
        return 2;
    if (showBuildLibrary().empty())
        return 1;
    PasswordDir dir;
    if (!dir.ok())
        return 1;
    const Subject lib = {"'A' request, DES", agentConfig(dir, 1), DES_ANSWER, {}};
    if (!oneRequest(lib) || !spawnRequest(lib.cfg)) {
        fprintf(stderr, "exchange_bench: the agent did not answer as expected\n");
        return 1;
    }
    Pair small, big;
    if (!timePair(lib, runs, &small))
        return 1;
    auto *heap = static_cast<unsigned char *>(malloc(BIG_HEAP));
    if (heap == nullptr) {
        fprintf(stderr, "exchange_bench: no 2 GiB for the large caller\n");
        return 1;
    }
    memset(heap, 0x5a, BIG_HEAP);   // touched: every page is mapped and would be copied by a fork
    const bool ok = timePair(lib, runs, &big);
    const unsigned sum = heap[BIG_HEAP / 2] + heap[BIG_HEAP - 1];
    free(heap);
    if (!ok)
        return 1;
    printf("runs: %d of each, interleaved; DES 'A' request, start to exit (heap check %u)\n", runs, sum);
    printPair("small caller:", small);
    printPair("caller with 2 GiB touched:", big);
    printf("ratio library / posix_spawn, small caller:            %5.2f   (at most 1.15; quickest tenth %.2f)\n",
           median(small.library) / median(small.spawned),
           percentile(small.library, 0.1) / percentile(small.spawned, 0.1));
    printf("ratio library / posix_spawn, caller with 2 GiB touched: %5.2f   (at most 1.15; quickest tenth %.2f)\n",
           median(big.library) / median(big.spawned), percentile(big.library, 0.1) / percentile(big.spawned, 0.1));
    return 0;
}
