// Process-wide return-code accumulator: every issued message raises it to the
// level of that message; it never decreases.
#pragma once

#include "common/thrd/pkmutex.h"

class GlobalRC {
public:
    static GlobalRC *Instance();
    GlobalRC();
    ~GlobalRC();
    GlobalRC(const GlobalRC &) = delete;
    GlobalRC &operator=(const GlobalRC &) = delete;

    // 1 when msgNum raised rc, else 0.
    int set(int msgNum);

    int rc = 0;
    int rcMacroMax = 0;
    int rcMax = 0;
    MutexDesc *mutex = nullptr;

    static GlobalRC *instanceP;
};

extern GlobalRC *gRC;
