// What the agent's confinement costs at start-up, step by step: in a fresh
// child process each time (every step is one-way), alternately, nothing, the
// file rules, the capability drop, and all three with the system-call
// filter. Prints the medians and the share of the file rules and the
// capabilities against the filter's, measured in the same run.
//
//   confine_bench [runs]   # as root
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

double nowUs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

enum Step { Nothing, FileRules, Capabilities, All, StepCount };
const char *const stepNames[StepCount] = {"nothing", "file rules", "capabilities",
                                          "file rules, capabilities and filter"};

// The step's time in a fresh child, or a negative value when it failed.
double timeStep(Step step, const VlxFilePaths &paths)
{
    int ends[2];
    if (pipe(ends) != 0)
        return -1;
    const pid_t child = fork();
    if (child == 0) {
        (void)prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);   // as the agent's start-up has it
        const double t0 = nowUs();
        VlxConfineResult got;
        if (step == FileRules)
            (void)vlxConfineFiles(paths);
        else if (step == Capabilities)
            (void)vlxDropCapabilities();
        else if (step == All)
            (void)vlxConfine(paths, false, &got);
        const double t = nowUs() - t0;
        _exit(write(ends[1], &t, sizeof t) == sizeof t ? 0 : 1);
    }
    close(ends[1]);
    double t = -1;
    if (child < 0 || read(ends[0], &t, sizeof t) != sizeof t)
        t = -1;
    close(ends[0]);
    if (child > 0)
        waitpid(child, nullptr, 0);
    return t;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? atoi(argv[1]) : 1000;
    if (geteuid() != 0 || runs < 10) {
        fprintf(stderr, "usage: confine_bench [runs >= 10], as root\n");
        return 2;
    }
    char dir[] = "/tmp/kelconfXXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    const std::string pw = std::string(dir) + "/dsm.sys";
    VlxFilePaths paths;
    paths.pswdArgs[0] = pw.c_str();
    paths.pswdArgs[1] = pw.c_str();
    paths.catalogDir = dir;
    paths.libraryDir = KEL_OXL_DIR;
    std::vector<double> us[StepCount];
    for (int i = 0; i < runs * StepCount; ++i) {
        const Step step = static_cast<Step>(i % StepCount);
        const double t = timeStep(step, paths);
        if (t < 0) {
            fprintf(stderr, "confine_bench: a child failed\n");
            rmdir(dir);
            return 1;
        }
        us[step].push_back(t);
    }
    rmdir(dir);
    printf("runs: %d of each, interleaved, each in a fresh child\n", runs);
    for (int s = 0; s < StepCount; ++s)
        printf("%-40s median %8.1f us\n", stepNames[s], median(us[s]));
    const double rulesAndCaps = median(us[FileRules]) + median(us[Capabilities]) - 2 * median(us[Nothing]);
    const double filter = median(us[All]) - median(us[Nothing]) - rulesAndCaps;
    printf("filter alone (all less the two) %.1f us; file rules and capabilities %.1f us, %.2f times the filter\n",
           filter, rulesAndCaps, filter > 0 ? rulesAndCaps / filter : 0.0);
    return 0;
}
