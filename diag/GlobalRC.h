// Process-wide return-code accumulator: every issued message raises it to the
// level of that message; it never decreases.
#pragma once

#include "base/pkmutex.h"

class GlobalRC {
public:
    static GlobalRC *Instance();
    // Deletes the instance, if any (the last release of the core tear-down).
    static void Destroy();
    GlobalRC();
    ~GlobalRC();
    GlobalRC(const GlobalRC &) = delete;
    GlobalRC &operator=(const GlobalRC &) = delete;

    // 1 when msgNum raised rc, else 0.
    int set(int msgNum);

    // The return-code level of a message number: 0, 4, 8 or 12 (or the
    // AUDITLOGRC test switch's value for message 2046).
    static int levelOf(int msgNum);

    int rc = 0;
    int rcMacroMax = 0;
    int rcMax = 0;
    MutexDesc *mutex = nullptr;

    static GlobalRC *instanceP;

private:
    void reportMutexFailure(unsigned line, const char *text);
};

extern GlobalRC *gRC;
