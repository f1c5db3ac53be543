// File-subsystem state: the cluster flags that start-up sets on request and
// the password store asks when it derives the host-based file key. None of
// these functions locks; the agent is single-threaded.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr size_t FSUB_CLUSTER_NAME_SIZE = 256;
inline constexpr int FSUB_RC_NO_CLUSTER = 4605;   // no cluster service on this platform

typedef struct fileSybsystemInfo {
    int32_t clusterNodeFlag;
    char clusterName[FSUB_CLUSTER_NAME_SIZE];   // filled only when a cluster handle is obtained
    int32_t clusterAvailable;
    int32_t clusterDisksOnly;
    int32_t clusterRC;
    int32_t clusterRS;
    int32_t caseSensitive;
    void *clusterHandle;
    int32_t initialized;
    int32_t clusterInitDone;
} fileSybsystemInfo_t;

extern fileSybsystemInfo_t gfileSubsystemInfo;
extern fileSybsystemInfo_t *fileSubsystemInfoP;

// Zeroes the record and runs the platform start-up; 0 marks it initialised.
int FileSubsystemInit();
int psFileSubsystemInit();
// 1 on this platform: the cluster is looked at only when asked for.
int psIsDeferredClusterStartup();
// Runs the cluster start-up once.
int fsubCheckClusterInit();
// Looks for a cluster; always 0, the outcome is left in the record.
int psInitClusterEnv();
// On this platform: *rc = 4605 and no handle.
void *psGetClusterHandle(int *rc);
// On this platform: *reason = 0, the name is left alone, returns 4605.
int psGetClusterName(void *handle, char *name, size_t nameSize, int *reason);

void fsubSetClusterNodeFlag(int flag);
int fsubIsClusterEnabled();
const char *fsubGetClusterName();
int fsubIsClusterAvailable();
int fsubClusterDisksOnly();
int fsubGetClusterRC();
int fsubGetClusterRS();
int IsClusterNode();

// Hook of the list sort's merge loop; does nothing here.
void SwitchProcess(unsigned char how);
