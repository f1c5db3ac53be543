// The caller's library pointed at the stand-in agent (fake_agent.cpp), which
// acts out the mode named as its node.
#pragma once

#include <string>

#include "kelvlx/kelclient.hpp"

namespace kctest {

// The time-out only ends a run that went wrong (a test of hanging sets its
// own); it leaves room for many exchanges at once on a loaded machine.
inline kelvlx::Config fakeConfig(const std::string &mode, const std::string &server = "SRV")
{
    kelvlx::Config cfg = kelvlx::defaultConfig();
    cfg.agentPath = KC_FAKE_AGENT;
    cfg.node = mode;
    cfg.server = server;
    cfg.timeoutMs = 10000;
    return cfg;
}

} // namespace kctest
