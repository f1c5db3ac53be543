// Start-up and tear-down of the process-wide runtime.
#pragma once

#include "diag/nlsinit.h"

// 1 once the wider library's second-stage objects exist; the tear-down then
// releases them through the registered clean-up hooks.
extern int isCoreInitialized;

// 0, or KEL_ST_NO_MEMORY when the message system object could not be created.
int dsCoreInit(nlsOutFn_t *outFns, int flag);
// The second stage, which the wider library's programs start after
// dsCoreInit and the agent never does: from then on dsCoreCleanUp also
// releases what registered itself below (the message object, the return-code
// accumulator, the password mutexes, ...).
void dsCoreInitSecondStage();
void dsCoreCleanUp();

// The second-stage releases, run by dsCoreCleanUp in this order.
enum dsCleanUpStep {
    DS_CLEANUP_COMM_MUTEX,
    DS_CLEANUP_FIO_MUTEX,
    DS_CLEANUP_PSWDF_MUTEX,
    DS_CLEANUP_PSWDOP_MUTEX,
    DS_CLEANUP_REMOTE_FILES_MUTEX,
    DS_CLEANUP_DELTA_COMP,
    DS_CLEANUP_KEY_RING,
    DS_CLEANUP_CRYPTO_LIBRARY,
    DS_CLEANUP_SESSION,
    DS_CLEANUP_DI_SESSION,
    DS_CLEANUP_STATS,
    DS_CLEANUP_NLS_OBJECT,
    DS_CLEANUP_GLOBAL_RC,
    DS_CLEANUP_STEP_COUNT
};

typedef void (*dsCleanUpFn_t)();

inline constexpr int DS_CLEANUP_HOOKS_PER_STEP = 4;

// Registers fn to run at step (hooks of one step run in registration order;
// registering the same fn twice for a step keeps one). 0, or -1 for a bad
// step, a null fn or a full step.
int dsCoreAddCleanUpHook(dsCleanUpStep step, dsCleanUpFn_t fn);
// 0, or -1 when fn is not registered at step.
int dsCoreRemoveCleanUpHook(dsCleanUpStep step, dsCleanUpFn_t fn);
