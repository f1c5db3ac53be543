// Starting the agent and waiting for it, below the agent handle.
//
// The agent is started without a copy of the caller: a waiter that shares
// the caller's memory and descriptors, whose exit signal is 0 and whose pidfd
// the library holds, starts it as its own child and waits for it. The
// caller's SIGCHLD handling and waitpid(-1, ...) never see either, and a kill
// through the agent's pidfd can never hit a recycled process id. Where the
// kernel refuses pidfds, a helper process, forked for each run, does the
// waiter's work and writes the wait status to a pipe, which gives the same
// guarantees at the cost of copying the caller.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kc {

// Milliseconds of the monotonic clock.
long long nowMs();
// Closes *fd if open and marks it closed.
void closeFd(int *fd);
// Moves a descriptor above the standard ones, so that a caller with 0, 1 or 2
// closed never hands the agent a pipe at a standard descriptor number.
int liftFd(int fd);
// A pidfd of pid, or -1 with errno.
int pidfdOpen(pid_t pid);

// What the helper tells the caller: once that the agent started (errno 0)
// or why it did not, once its wait status. Small enough for one atomic write.
enum HelperWhat : int32_t { HELPER_STARTED = 1, HELPER_ENDED = 2 };
struct HelperReport {
    int32_t what;
    int32_t value;   // errno of the start, or the wait status
    int32_t pid;     // the agent's
};

// The byte the caller sends to have the agent killed.
constexpr char HELPER_KILL = 'k';

struct SpawnPlan {
    std::vector<char *> argv;
    const char *agentPath;
    int agentEnds[4];   // all four pipe ends: the agent closes the caller's two itself
    int stdoutFd, stderrFd;
    uid_t runAsUid;
    gid_t runAsGid;
    int reportFd;       // helper -> caller
    int controlFd;      // caller -> helper
};

// Forks the helper: it closes the caller's ends of its two pipes
// (reportRead, controlWrite), waits for the go byte and starts the agent.
// Its process id, or -1 with errno.
pid_t helperStart(const SpawnPlan &plan, int reportRead, int controlWrite);

// Whether a run may use pidfds: the kernel must take pidfd_open and wait on a
// pidfd (P_PIDFD, 5.4 and later), and the environment must not ask for the
// helper.
bool pidfdStartUsable();

// What the child needs, made before the clone. execErrno is written by the
// child when it could not exec; the caller reads it once the clone returned.
struct DirectChild {
    const SpawnPlan *plan;
    char *const *envp;
    int execErrno;
};

// An exec'd child of the caller is the caller's plain child whatever exit
// signal it was started with (the kernel makes it SIGCHLD at the exec): the
// caller's waitpid(-1, ...) would take it, an ignored SIGCHLD would reap it.
// So the agent is the child of a waiter that never execs: a clone sharing
// the caller's memory and descriptor table (a copy of neither is made), with
// exit signal 0, which starts the agent, waits for it and leaves its status
// in memory. The two stacks and what the waiter shares with the caller lie in
// one mapping made before the clone.
struct DirectRun {
    DirectChild child;
    int startFd;        // the waiter writes one byte here once the agent runs or failed to
    pid_t agentPid;     // -1 when the clone of the agent failed
    int agentPidfd;     // in the shared descriptor table
    int cloneErrno;
    int siCode;         // how the agent ended, once the waiter has ended
    int siStatus;
};

// Outcome of a direct start beyond the started agent.
enum class Direct { Started, Refused, Failed };

// A direct start's processes and mapping, held by the caller.
struct DirectHold {
    void *map = nullptr;
    DirectRun *run = nullptr;
    pid_t waiter = -1;
    int waiterPidfd = -1;
};

// Starts the waiter, which starts the agent. Refused: the kernel or a filter
// does not take the flags, and the helper is to be tried.
Direct directStart(const SpawnPlan &plan, DirectHold *h, int *err);

// Waits for the waiter's end (it ends right after the agent), takes how the
// agent ended and frees the mapping; false when it could not be waited for
// (the mapping is then kept: the waiter may still use it).
bool directReap(DirectHold *h, int *siCode, int *siStatus);

} // namespace kc
