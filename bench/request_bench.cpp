// One 'A' request with DES, from starting the agent to its exit, against
// starting a trivial program built the same way through the same caller's
// path (pipes, fork, exec, wait). Prints the medians and their ratio.
//
//   request_bench [runs]      (default 300; run as root: the agent serves only root)
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/kelclient.h"
#include "common/ut/dscore.h"
#include "common/ut/dspswd.h"

namespace {

double nowUs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1))];
}

// One exchange as a caller makes it: flag 0, code set 0, 16 data bytes.
bool oneRequest(const kcConfig &cfg, size_t expectLen)
{
    kcAgent agent(cfg);
    if (agent.start('A') != KC_OK)
        return false;
    const unsigned char req[18] = {0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    agent.send(req, sizeof req);
    agent.closeInput();
    unsigned char answer[128];
    size_t got = 0;
    agent.receive(answer, sizeof answer, &got);
    kcStatus st;
    return agent.finish(&st) == KC_OK && got == expectLen;
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(200, atoi(argv[1])) : 300;
    if (geteuid() != 0) {
        fprintf(stderr, "request_bench: run as root (the agent serves requests only for root)\n");
        return 2;
    }
    char dirTmpl[] = "/tmp/kelbench.XXXXXX";
    if (mkdtemp(dirTmpl) == nullptr)
        return 1;
    const std::string dir = dirTmpl;
    const std::string path = dir + "/ZAR.PWD";

    // The password the agent folds its key from, stored through the password store.
    dsCoreInit(nullptr, 1);
    pswdFileInfo pfi;
    memset(&pfi, 0, sizeof pfi);
    pfi.pswdFile = const_cast<char *>(path.c_str());
    if (dsSetPassword(&pfi, PSWD_TYPE_SERVER, "", nullptr, "BENCHPASSWORD", "N1", "SRV", nullptr, nullptr, nullptr,
                      path.c_str()) != 0) {
        fprintf(stderr, "request_bench: cannot store the password in %s\n", path.c_str());
        return 1;
    }

    kcConfig agentCfg = kcDefaultConfig();
    agentCfg.agentPath = KEL_BINARY_DIR "/kelvlx";
    agentCfg.catalogDir = KEL_BINARY_DIR "/catalogs";
    agentCfg.passwordDir = dir;
    agentCfg.node = "N1";
    agentCfg.server = "SRV";
    agentCfg.cipherType = 1;
    kcConfig trivialCfg = agentCfg, trivialLibsCfg = agentCfg;
    trivialCfg.agentPath = KEL_BINARY_DIR "/bench/kel_trivial";
    trivialLibsCfg.agentPath = KEL_BINARY_DIR "/bench/kel_trivial_libs";

    struct Subject {
        const char *name;
        const kcConfig *cfg;
        size_t answerLen;
        std::vector<double> us;
    } subjects[] = {
        {"'A' request, DES (start to exit)", &agentCfg, 16, {}},
        {"trivial program", &trivialCfg, 0, {}},
        {"trivial program, agent's libraries", &trivialLibsCfg, 0, {}},
    };
    for (auto &s : subjects)
        if (!oneRequest(*s.cfg, s.answerLen)) {
            fprintf(stderr, "request_bench: %s did not run as expected\n", s.name);
            return 1;
        }
    for (int i = 0; i < runs; ++i) {   // interleaved, so all see the same machine
        for (auto &s : subjects) {
            double t0 = nowUs();
            bool ok = oneRequest(*s.cfg, s.answerLen);
            s.us.push_back(nowUs() - t0);
            if (!ok) {
                fprintf(stderr, "request_bench: run %d of %s failed\n", i, s.name);
                return 1;
            }
        }
    }
    printf("runs: %d of each, interleaved\n", runs);
    for (const auto &s : subjects)
        printf("%-36s median %8.1f us   p10 %8.1f   p90 %8.1f\n", s.name, median(s.us), percentile(s.us, 0.1),
               percentile(s.us, 0.9));
    const double a = median(subjects[0].us);
    printf("ratio request / trivial program: %.2f\n", a / median(subjects[1].us));
    printf("ratio request / trivial program with the agent's libraries: %.2f\n", a / median(subjects[2].us));

    unlink(path.c_str());
    std::string lock = path + ".lock";
    unlink(lock.c_str());
    rmdir(dir.c_str());
    dsCoreCleanUp();
    return 0;
}
