// What the request benchmarks share: a password file for the agent to serve,
// one request as a caller makes it, interleaved timing of several programs
// started that way, and the medians. Each subject is a program started from
// start to exit through the caller's library (pipes, fork, exec, wait), so a
// reference program pays the same start as the agent.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "kelvlx/kelclient.hpp"

namespace reqbench {

double nowUs();
double median(std::vector<double> v);
double percentile(std::vector<double> v, double p);

// The number of runs from argv[1] (at least minRuns), or defaultRuns.
int runsFromArgs(int argc, char **argv, int defaultRuns, int minRuns);

// false, with a line on standard error, unless the benchmark runs as root
// (the agent serves requests only for root).
bool runningAsRoot(const char *bench);

// A temporary directory whose ZAR.PWD holds the server password of node N1
// for server SRV, stored through the password store; removed again.
class PasswordDir {
public:
    PasswordDir();
    ~PasswordDir();
    PasswordDir(const PasswordDir &) = delete;
    PasswordDir &operator=(const PasswordDir &) = delete;
    bool ok() const { return ok_; }
    const std::string &path() const { return dir_; }

private:
    std::string dir_;
    bool ok_ = false;
};

// This build's agent for node N1 and server SRV with the given cipher type.
kelvlx::Config agentConfig(const PasswordDir &dir, int cipherType);
// The same exchange, started with another program in the agent's place.
kelvlx::Config programConfig(const kelvlx::Config &agent, const char *program);

// Lets the agent find this build's crypto library where it looks for it,
// below its installation directory, without LD_LIBRARY_PATH (which every
// program started would search for each of its libraries): the process moves
// into a mount namespace of its own in which that directory shows the build
// tree's oxl/ (a library installed from another build would be refused), on
// a scratch file system there where nothing is installed. The directory the
// library is loaded from, or empty when it cannot be shown.
std::string showBuildLibrary();

struct Subject {
    std::string name;
    kelvlx::Config cfg;
    size_t answerLen;          // bytes the program answers: 16 for DES, 32 for AES, 0 for the others
    std::vector<double> us;    // start to exit, one entry per run
    std::vector<double> cpuUs = {};   // processor time of the started program (and the library's waiter), per run
};

// One 'A' exchange: flag 0, code set 0, 16 data bytes; true when the program
// exited with 0 after answering answerLen bytes.
bool oneRequest(const Subject &s);

// Runs each subject once to check it, then `runs` rounds of all of them in
// turn, so all see the same machine; betweenRounds (when set) runs after each
// round and may fail the benchmark. false, with a line on standard error, at
// the first failure.
bool timeInterleaved(const char *bench, std::vector<Subject> &subjects, int runs,
                     const std::function<bool(int round)> &betweenRounds = nullptr);

// One line per subject: median, 10th and 90th percentile; and the median
// processor time (a loaded machine stretches the first, hardly the second).
void printSubjects(const std::vector<Subject> &subjects);

} // namespace reqbench
