// Prints what the agent's helpers make of the environment, so that a test can
// run it set-user-id root as another user and see which variables count.
#include <cstdio>
#include <unistd.h>

#include "common/nls/nlsinit.h"
#include "common/unx/fio.h"
#include "crypto-loader/oxlcload.h"

int main()
{
    const char *lang = nlsGetEnv("LANG");
    char path[4096] = "";
    int rc = psBuildCurrentPath(path, "ZAR.PWD", sizeof path);
    printf("LANG=%s\n", lang != nullptr ? lang : "(none)");
    printf("PATH=%d %s\n", rc, path);
    printf("SECURE=%d\n", OXLC_IsSecureRun());
    return 0;
}
