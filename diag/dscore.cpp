#include "diag/dscore.h"

#include "base/kelmem.h"
#include "base/mempool.h"
#include "base/pkmutex.h"
#include "base/psmutex.h"
#include "diag/GlobalRC.h"
#include "kelvlx/kelcontract.h"

int isCoreInitialized = 0;

namespace {

dsCleanUpFn_t cleanUpHooks[DS_CLEANUP_STEP_COUNT][DS_CLEANUP_HOOKS_PER_STEP];

bool validStep(dsCleanUpStep step) { return step >= 0 && step < DS_CLEANUP_STEP_COUNT; }

// Communication methods' global init and terminate entries. Nothing in this
// program fills the table, so terminating finds nothing to call.
constexpr int COMM_METHODS = 7;
enum commFuncKind { COMM_GLOBAL_INIT, COMM_GLOBAL_TERMINATE };

struct commGlobalFunc_t {
    int (*fn)();
    int flag;   // non-zero: skip the call
};

commGlobalFunc_t commGlobalFuncTable[COMM_METHODS][2];
psMutex_t commMutex = PTHREAD_MUTEX_INITIALIZER;

int commCallGlobalFunc(int method, commFuncKind kind)
{
    if (method < 0 || method >= COMM_METHODS)
        return 0;
    const commGlobalFunc_t &entry = commGlobalFuncTable[method][kind];
    return entry.fn != nullptr && entry.flag == 0 ? entry.fn() : 0;
}

int commTerminate(int method)
{
    psMutexLock(&commMutex, 1);
    int rc = commCallGlobalFunc(method, COMM_GLOBAL_TERMINATE);
    psMutexUnlock(&commMutex);
    return rc;
}

void commGlobalTerminate()
{
    for (int method = 1; method <= 6; method++)
        commTerminate(method);   // a method's terminate result changes nothing at exit
}

void runCleanUpHooks()
{
    for (auto &step : cleanUpHooks)
        for (dsCleanUpFn_t fn : step)
            if (fn != nullptr)
                fn();
}

} // namespace

int dsCoreInit(nlsOutFn_t *outFns, int flag)
{
    kelInitMemStatics();
    mpPoolInit();
    gRC = GlobalRC::Instance();
    // Each object is released by the second stage of the tear-down; a step
    // with room for four cannot refuse its first hook.
    (void)dsCoreAddCleanUpHook(DS_CLEANUP_GLOBAL_RC, GlobalRC::Destroy);
    if (newNlsGlobalObject(outFns, flag) == nullptr)
        return KEL_ST_NO_MEMORY;
    (void)dsCoreAddCleanUpHook(DS_CLEANUP_NLS_OBJECT, destroyNlsGlobalObject);
    return 0;
}

void dsCoreInitSecondStage() { isCoreInitialized = 1; }

void dsCoreCleanUp()
{
    commGlobalTerminate();
    if (isCoreInitialized)
        runCleanUpHooks();
    mpDestroyAll();
    kelFreeMemoryList();
    pkDestroyAllMutex();
    isCoreInitialized = 0;
}

int dsCoreAddCleanUpHook(dsCleanUpStep step, dsCleanUpFn_t fn)
{
    if (!validStep(step) || fn == nullptr)
        return -1;
    for (dsCleanUpFn_t &slot : cleanUpHooks[step]) {
        if (slot == fn)
            return 0;
        if (slot == nullptr) {
            slot = fn;
            return 0;
        }
    }
    return -1;
}

int dsCoreRemoveCleanUpHook(dsCleanUpStep step, dsCleanUpFn_t fn)
{
    if (!validStep(step) || fn == nullptr)
        return -1;
    dsCleanUpFn_t *hooks = cleanUpHooks[step];
    for (int i = 0; i < DS_CLEANUP_HOOKS_PER_STEP; i++) {
        if (hooks[i] == fn) {
            for (int j = i; j + 1 < DS_CLEANUP_HOOKS_PER_STEP; j++)
                hooks[j] = hooks[j + 1];
            hooks[DS_CLEANUP_HOOKS_PER_STEP - 1] = nullptr;
            return 0;
        }
    }
    return -1;
}
