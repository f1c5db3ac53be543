// One 'A' request with DES and one with AES, each from starting the agent to
// its exit, against the programs they are held to, all started the same way
// (pipes, fork, exec, wait) and interleaved in one run:
//   - DES against a trivial C++ program;
//   - AES against the least program that loads libcrypto and enciphers one
//     block with EVP AES-128-CBC;
//   - both against the floor, a static C program that does nothing;
//   - DES against the same agent built without its system-call filter: the
//     difference is what the filter costs a request.
// Prints the medians and the ratios.
//
//   request_bench [runs]      (default 300; run as root: the agent serves only root)
#include <cstdio>
#include <vector>

#include "bench/reqtiming.h"

using namespace reqbench;

namespace {

// Prints the ratio of the medians beside the bound it is held to (README,
// "Request"), and that of the 10th percentiles: on a loaded machine the
// median can fall among runs that waited for a processor, the quickest tenth
// rarely does.
void printRatio(const char *what, const Subject &a, const Subject &b, const char *bound)
{
    printf("ratio %-36s %5.2f   (%s; quickest tenth %.2f)\n", what, median(a.us) / median(b.us), bound,
           percentile(a.us, 0.1) / percentile(b.us, 0.1));
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = runsFromArgs(argc, argv, 300, 50);
    if (!runningAsRoot("request_bench"))
        return 2;
    if (showBuildLibrary().empty())
        return 1;
    PasswordDir dir;
    if (!dir.ok())
        return 1;

    const kelvlx::Config des = agentConfig(dir, 1);
    std::vector<Subject> subjects = {
        {"'A' request, DES", des, 16, {}},
        {"trivial C++ program", programConfig(des, KEL_BINARY_DIR "/bench/kel_trivial"), 0, {}},
        {"'A' request, AES", agentConfig(dir, 2), 32, {}},
        {"least OpenSSL AES-128-CBC program", programConfig(des, KEL_BINARY_DIR "/bench/kel_aes_reference"), 0, {}},
        {"static C program doing nothing (floor)", programConfig(des, KEL_BINARY_DIR "/bench/kel_nothing"), 0, {}},
        {"'A' request, DES, agent without its confinement", programConfig(des, KEL_BINARY_DIR "/bench/kel_unconfined"),
         16, {}},
    };
    if (KEL_FILTER_ONLY_BUILT)
        subjects.push_back({"'A' request, DES, agent with its filter alone",
                            programConfig(des, KEL_BINARY_DIR "/bench/kel_filter_only"), 16, {}});
    if (!timeInterleaved("request_bench", subjects, runs))
        return 1;

    printf("runs: %d of each, interleaved, start to exit through the caller's library\n", runs);
    printSubjects(subjects);
    double m[5];
    for (int i = 0; i < 5; ++i)
        m[i] = median(subjects[i].us);
    printRatio("'A' DES / trivial C++ program:", subjects[0], subjects[1], "at most 1.40, goal 1.25");
    printRatio("'A' AES / least OpenSSL program:", subjects[2], subjects[3], "at most 1.25");
    printRatio("'A' DES / the same without the confinement:", subjects[0], subjects[5], "the confinement's cost");
    printf("confinement: %.3f ms a request (median with it less median without; quickest tenth %.3f ms)\n",
           (median(subjects[0].us) - median(subjects[5].us)) / 1000.0,
           (percentile(subjects[0].us, 0.1) - percentile(subjects[5].us, 0.1)) / 1000.0);
    if (subjects.size() > 6)
        printf("of it the filter alone %.3f ms, the file rules and capabilities %.3f ms (medians; at most 0.1)\n",
               (median(subjects[6].us) - median(subjects[5].us)) / 1000.0,
               (median(subjects[0].us) - median(subjects[6].us)) / 1000.0);
    if (subjects.size() > 6)
        printf("on the processor: the filter alone %.3f ms, the file rules and capabilities %.3f ms (medians)\n",
               (median(subjects[6].cpuUs) - median(subjects[5].cpuUs)) / 1000.0,
               (median(subjects[0].cpuUs) - median(subjects[6].cpuUs)) / 1000.0);
    printf("floor: trivial C++ program %.2f, 'A' DES %.2f, OpenSSL program %.2f, 'A' AES %.2f times the static "
           "program\n",
           m[1] / m[4], m[0] / m[4], m[3] / m[4], m[2] / m[4]);
    return 0;
}
