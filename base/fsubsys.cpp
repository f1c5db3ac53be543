#include "base/fsubsys.h"

#include <cstring>

fileSybsystemInfo_t gfileSubsystemInfo;
fileSybsystemInfo_t *fileSubsystemInfoP = &gfileSubsystemInfo;

int FileSubsystemInit()
{
    memset(fileSubsystemInfoP, 0, sizeof(*fileSubsystemInfoP));
    fileSubsystemInfoP->caseSensitive = 0;
    int rc = psFileSubsystemInit();
    if (rc == 0)
        fileSubsystemInfoP->initialized = 1;
    return rc;
}

int psFileSubsystemInit()
{
    if (psIsDeferredClusterStartup())
        return 0;
    fileSubsystemInfoP->clusterInitDone = 1;
    return psInitClusterEnv();
}

int psIsDeferredClusterStartup() { return 1; }

int fsubCheckClusterInit()
{
    if (fileSubsystemInfoP->clusterInitDone)
        return 0;
    fileSubsystemInfoP->clusterInitDone = 1;
    return psInitClusterEnv();
}

int psInitClusterEnv()
{
    fileSybsystemInfo_t *fs = fileSubsystemInfoP;
    fs->clusterHandle = psGetClusterHandle(&fs->clusterRC);
    if (fs->clusterHandle != nullptr)
        fs->clusterRC = psGetClusterName(fs->clusterHandle, fs->clusterName, sizeof(fs->clusterName), &fs->clusterRS);
    if (fs->clusterRC != 0)
        return 0;   // no cluster: clusterRC says why
    fs->clusterAvailable = 1;
    fs->clusterDisksOnly = 0;
    return 0;
}

void *psGetClusterHandle(int *rc)
{
    if (rc != nullptr)
        *rc = FSUB_RC_NO_CLUSTER;
    return nullptr;
}

int psGetClusterName(void *, char *, size_t, int *reason)
{
    if (reason != nullptr)
        *reason = 0;
    return FSUB_RC_NO_CLUSTER;
}

void fsubSetClusterNodeFlag(int flag) { fileSubsystemInfoP->clusterNodeFlag = flag; }

int fsubIsClusterEnabled() { return fileSubsystemInfoP->clusterNodeFlag != 0 && fileSubsystemInfoP->clusterAvailable != 0; }

const char *fsubGetClusterName() { return fileSubsystemInfoP->clusterName; }

int fsubIsClusterAvailable() { return fileSubsystemInfoP->clusterAvailable; }

int fsubClusterDisksOnly() { return fileSubsystemInfoP->clusterDisksOnly; }

int fsubGetClusterRC() { return fileSubsystemInfoP->clusterRC; }

int fsubGetClusterRS() { return fileSubsystemInfoP->clusterRS; }

int IsClusterNode() { return fileSubsystemInfoP->clusterNodeFlag; }

void SwitchProcess(unsigned char) {}
