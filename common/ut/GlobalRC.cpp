#include "common/ut/GlobalRC.h"

GlobalRC *GlobalRC::instanceP = nullptr;
GlobalRC *gRC = nullptr;

GlobalRC *GlobalRC::Instance()
{
    if (instanceP == nullptr)
        instanceP = new GlobalRC();
    return instanceP;
}

GlobalRC::GlobalRC() { mutex = pkCreateMutex(); }

GlobalRC::~GlobalRC()
{
    if (mutex != nullptr) {
        pkDestroyMutex(mutex);
        mutex = nullptr;
    }
    instanceP = nullptr;
}

// The level table and its tracing follow with the diagnostics work.
int GlobalRC::set(int) { return 0; }
