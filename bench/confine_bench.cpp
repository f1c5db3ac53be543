// What the agent's confinement costs at start-up, step by step: each time in
// a freshly started process (every step is one-way, and a forked child would
// pay copy-on-write faults the agent never pays), alternately, nothing, the
// file rules, the capability drop, and all three with the system-call
// filter. Prints the medians of the time each step took, on the clock and on
// the processor (a loaded machine stretches the first, hardly the second),
// and the share of the file rules and the capabilities against the filter's,
// measured in the same run.
//
//   confine_bench [runs]   # as root
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "agent/vlxcaps.h"
#include "agent/vlxsandbox.h"

namespace {

double clockUs(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

enum Step { Nothing, FileRules, Capabilities, All, StepCount };
const char *const stepNames[StepCount] = {"nothing", "file rules", "capabilities",
                                          "file rules, capabilities and filter"};

struct Took {
    double wallUs;
    double cpuUs;
};

// The started process: takes the step and writes what it took to fd.
int runStep(Step step, const char *pswdPath, const char *catalogDir, int fd)
{
    VlxFilePaths paths;
    paths.pswdArgs[0] = pswdPath;
    paths.pswdArgs[1] = pswdPath;
    paths.catalogDir = catalogDir;
    // As in a request whose crypto library is loaded already, or needs none:
    // the library's load rules are there only where its load failed.
    paths.libraryDir = nullptr;
    (void)prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);   // as the agent's start-up has it
    // By then the agent has opened files (its catalog, the log): the first
    // file a process opens costs more than any after it.
    (void)close(open(catalogDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const double w0 = clockUs(CLOCK_MONOTONIC), c0 = clockUs(CLOCK_THREAD_CPUTIME_ID);
    VlxConfineResult got;
    if (step == FileRules)
        (void)vlxConfineFiles(paths);
    else if (step == Capabilities)
        (void)vlxDropCapabilities();
    else if (step == All)
        (void)vlxConfine(paths, false, &got);
    const Took took = {clockUs(CLOCK_MONOTONIC) - w0, clockUs(CLOCK_THREAD_CPUTIME_ID) - c0};
    return write(fd, &took, sizeof took) == sizeof took ? 0 : 1;
}

// The step's times in a freshly started process; false when it failed.
bool timeStep(Step step, const std::string &pswdPath, const char *catalogDir, Took *took)
{
    int ends[2];
    if (pipe(ends) != 0)
        return false;
    const std::string stepArg = std::to_string(static_cast<int>(step)), fdArg = std::to_string(ends[1]);
    const pid_t child = fork();
    if (child == 0) {
        close(ends[0]);
        execl("/proc/self/exe", "confine_bench", "--step", stepArg.c_str(), pswdPath.c_str(), catalogDir,
              fdArg.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(ends[1]);
    const bool ok = child > 0 && read(ends[0], took, sizeof *took) == sizeof *took;
    close(ends[0]);
    if (child > 0)
        waitpid(child, nullptr, 0);
    return ok;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

void printShares(const char *clock, const std::vector<double> (&us)[StepCount])
{
    const double rulesAndCaps = median(us[FileRules]) + median(us[Capabilities]) - 2 * median(us[Nothing]);
    const double filter = median(us[All]) - median(us[Nothing]) - rulesAndCaps;
    printf("%s: filter alone (all less the two) %.1f us; file rules and capabilities %.1f us, %.2f times the filter\n",
           clock, filter, rulesAndCaps, filter > 0 ? rulesAndCaps / filter : 0.0);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 6 && std::string(argv[1]) == "--step")
        return runStep(static_cast<Step>(atoi(argv[2])), argv[3], argv[4], atoi(argv[5]));
    const int runs = argc > 1 ? atoi(argv[1]) : 1000;
    if (geteuid() != 0 || runs < 10) {
        fprintf(stderr, "usage: confine_bench [runs >= 10], as root\n");
        return 2;
    }
    char dir[] = "/tmp/kelconfXXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    const std::string pw = std::string(dir) + "/dsm.sys";
    std::vector<double> wall[StepCount], cpu[StepCount];
    for (int i = 0; i < runs * StepCount; ++i) {
        const Step step = static_cast<Step>(i % StepCount);
        Took took;
        if (!timeStep(step, pw, dir, &took)) {
            fprintf(stderr, "confine_bench: a child failed\n");
            rmdir(dir);
            return 1;
        }
        wall[step].push_back(took.wallUs);
        cpu[step].push_back(took.cpuUs);
    }
    rmdir(dir);
    printf("runs: %d of each, interleaved, each in a freshly started process\n", runs);
    for (int s = 0; s < StepCount; ++s)
        printf("%-40s median %8.1f us on the clock, %8.1f us on the processor\n", stepNames[s], median(wall[s]),
               median(cpu[s]));
    printShares("clock", wall);
    printShares("processor", cpu);
    return 0;
}
