#include "bench/reqtiming.h"

#include <sys/resource.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "diag/dscore.h"
#include "store/dspswd.h"

namespace reqbench {

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

int runsFromArgs(int argc, char **argv, int defaultRuns, int minRuns)
{
    return argc > 1 ? std::max(minRuns, atoi(argv[1])) : defaultRuns;
}

bool runningAsRoot(const char *bench)
{
    if (geteuid() == 0)
        return true;
    fprintf(stderr, "%s: run as root (the agent serves requests only for root)\n", bench);
    return false;
}

PasswordDir::PasswordDir()
{
    char tmpl[] = "/tmp/kelbench.XXXXXX";
    if (mkdtemp(tmpl) == nullptr)
        return;
    dir_ = tmpl;
    const std::string file = dir_ + "/ZAR.PWD";
    dsCoreInit(nullptr, 1);
    pswdFileInfo pfi;
    memset(&pfi, 0, sizeof pfi);
    pfi.pswdFile = const_cast<char *>(file.c_str());
    const pswdRequest rq{.fileInfo = &pfi, .path = file.c_str(), .node = "N1", .server = "SRV"};
    ok_ = dsSetPassword(rq, PSWD_TYPE_SERVER, "", nullptr, "BENCHPASSWORD") == 0;
    if (!ok_)
        fprintf(stderr, "cannot store the benchmark's password in %s\n", file.c_str());
}

PasswordDir::~PasswordDir()
{
    if (dir_.empty())
        return;
    for (const char *name : {"/ZAR.PWD", "/ZAR.PWD.lock"})
        unlink((dir_ + name).c_str());
    rmdir(dir_.c_str());
    dsCoreCleanUp();
}

kelvlx::Config agentConfig(const PasswordDir &dir, int cipherType)
{
    kelvlx::Config cfg = kelvlx::defaultConfig();
    cfg.agentPath = KEL_BINARY_DIR "/kelvlx";
    cfg.catalogDir = KEL_BINARY_DIR "/catalogs";
    cfg.passwordDir = dir.path();
    cfg.node = "N1";
    cfg.server = "SRV";
    cfg.cipherType = cipherType;
    return cfg;
}

kelvlx::Config programConfig(const kelvlx::Config &agent, const char *program)
{
    kelvlx::Config cfg = agent;
    cfg.agentPath = program;
    return cfg;
}

namespace {

// mkdir -p, for a path inside a scratch file system of this benchmark.
bool makePath(const std::string &path)
{
    for (size_t i = 1; i <= path.size(); ++i)
        if (i == path.size() || path[i] == '/')
            if (mkdir(path.substr(0, i).c_str(), 0755) != 0 && errno != EEXIST)
                return false;
    return true;
}

} // namespace

std::string showBuildLibrary()
{
    if (strcmp(KEL_OXL_DIR, KEL_BINARY_DIR) == 0)
        return KEL_BINARY_DIR;   // the agent looks in the build tree itself
    const std::string target = std::string(KEL_OXL_DIR) + "/oxl";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        perror("cannot make a mount namespace for the benchmark");
        return "";
    }
    struct stat st;
    if (stat(target.c_str(), &st) != 0) {
        // Nothing installed: in this namespace only, a scratch file system on
        // the deepest directory above the library's that exists holds the
        // path. Never on /, which everything needs.
        std::string top = target;
        while (top.size() > 1 && stat(top.c_str(), &st) != 0)
            top.erase(top.rfind('/') == 0 ? 1 : top.rfind('/'));
        if (top == "/" || mount("kelbench", top.c_str(), "tmpfs", 0, "mode=0755") != 0 || !makePath(target)) {
            fprintf(stderr, "cannot make %s in the benchmark's mount namespace\n", target.c_str());
            return "";
        }
    }
    if (mount(KEL_BINARY_DIR "/oxl", target.c_str(), nullptr, MS_BIND, nullptr) != 0) {
        perror("cannot show the build's crypto library to the agent");
        return "";
    }
    return KEL_OXL_DIR;
}

bool oneRequest(const Subject &s)
{
    kelvlx::Agent agent(s.cfg);
    if (agent.start('A') != KC_OK)
        return false;
    const unsigned char req[18] = {0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    (void)agent.send(req, sizeof req);   // a program that reads nothing may have gone already: the answer tells
    agent.closeInput();
    unsigned char answer[128];
    size_t got = 0;
    (void)agent.receive(answer, sizeof answer, &got);   // got and the finish tell how it went
    kelvlx::Status st;
    return agent.finish(&st) == KC_OK && got == s.answerLen;
}

// The processor time of every child reaped so far; a started program's is
// counted once it is reaped (through the library's waiter, whose own waits
// add the program's).
static double childrenCpuUs()
{
    rusage u = {};
    (void)getrusage(RUSAGE_CHILDREN, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e6 + u.ru_utime.tv_usec + u.ru_stime.tv_usec;
}

bool timeInterleaved(const char *bench, std::vector<Subject> &subjects, int runs,
                     const std::function<bool(int round)> &betweenRounds)
{
    for (const auto &s : subjects)
        if (!oneRequest(s)) {
            fprintf(stderr, "%s: %s did not run as expected\n", bench, s.name.c_str());
            return false;
        }
    for (int i = 0; i < runs; ++i) {
        for (auto &s : subjects) {
            const double c0 = childrenCpuUs(), t0 = nowUs();
            bool ok = oneRequest(s);
            s.us.push_back(nowUs() - t0);
            s.cpuUs.push_back(childrenCpuUs() - c0);
            if (!ok) {
                fprintf(stderr, "%s: run %d of %s failed\n", bench, i, s.name.c_str());
                return false;
            }
        }
        if (betweenRounds && !betweenRounds(i))
            return false;
    }
    return true;
}

void printSubjects(const std::vector<Subject> &subjects)
{
    for (const auto &s : subjects)
        printf("%-44s median %8.1f us   p10 %8.1f   p90 %8.1f   processor %8.1f us\n", s.name.c_str(),
               median(s.us), percentile(s.us, 0.1), percentile(s.us, 0.9), median(s.cpuUs));
}

} // namespace reqbench
