// The agent handle behind kc_agent of kelclient.h; the library's own
// operations use it the same way (kcexchange.cpp).
#pragma once

#include "client/kcinternal.h"
#include "client/kcstart.h"

#include <string>

// One agent, started directly or through its helper, with its two pipes, for
// one exchange.
struct kc_agent {
    explicit kc_agent(const kc_config &cfg) : cfg_(cfg), timeoutMs_(cfg.timeoutMs) {}
    ~kc_agent();
    kc_agent(const kc_agent &) = delete;
    kc_agent &operator=(const kc_agent &) = delete;

    int start(char op);
    int send(const void *p, size_t n);
    int receive(void *p, size_t n, size_t *got);
    int receiveExact(void *p, size_t n);
    void closeInput() { kc::closeFd(&toAgent_); }
    void closeOutput() { kc::closeFd(&fromAgent_); }
    int finish(kc_result *st);
    void extendTimeout(int ms)
    {
        if (ms > timeoutMs_)
            timeoutMs_ = ms;
    }
    // From a 'C' confirmation on: the agent is never ended by the library,
    // and the rest of the exchange, its wait included, shares one deadline.
    void storeFromNow()
    {
        extendTimeout(cfg_.storeWaitMs);
        storing_ = true;
        storeDeadline_ = kc::nowMs() + timeoutMs_;
    }

    kc_config cfg_;
    int method_ = 0;       // KC_START_PIDFD or KC_START_HELPER while an agent is held
    std::string diagnostic_;   // what the agent wrote on its standard error, when the library reads it
    pid_t helper_ = -1;
    int helperPidfd_ = -1;
    pid_t agentPid_ = -1;
    int agentPidfd_ = -1;  // the direct start's agent
    kc::DirectHold direct_;   // and its waiter
    int report_ = -1;      // the helper's reports
    int control_ = -1;     // to the helper: the go byte, a kill request
    int toAgent_ = -1;     // caller's end of the input pipe
    int fromAgent_ = -1;   // caller's end of the output pipe
    int diagFd_ = -1;      // caller's end of the agent's standard error (KC_STDERR_CAPTURE)
    int errno_ = 0;
    bool timedOut_ = false;
    bool killSent_ = false;
    bool storing_ = false;
    long long storeDeadline_ = 0;
    int timeoutMs_ = 0;    // cfg_.timeoutMs, or longer after extendTimeout

private:
    int launch();
    void requestKill();
    long long deadlineFromNow() const { return storing_ ? storeDeadline_ : kc::nowMs() + timeoutMs_; }
    int waitForExit(kc_result *st);
    int waitDirect(kc_result *st);
    int leaveRunning(kc_result *st, int watchFd);
    void reapHelper();
    static void statusOf(int status, kc_result *st);
    void readDiagnostic();
};
