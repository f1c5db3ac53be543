// Run set-user-id root by another user, it shows what the agent's helpers
// make of such a run: without arguments, of the environment; with "store
// <path>", what the password store does when asked to store at path.
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "base/fio.h"
#include "base/pstrust.h"
#include "diag/dscore.h"
#include "diag/nlsinit.h"
#include "store/dspswd.h"

namespace {

int printEnvironment()
{
    const char *lang = nlsGetEnv("LANG");
    char path[4096] = "";
    int rc = psBuildCurrentPath(path, "ZAR.PWD", sizeof path);
    printf("LANG=%s\n", lang != nullptr ? lang : "(none)");
    printf("PATH=%d %s\n", rc, path);
    printf("SECURE=%d\n", psIsSecureRun());
    return 0;
}

int store(const char *path)
{
    dsCoreInit(nullptr, 1);
    pswdFileInfo info{};
    char file[4096];
    snprintf(file, sizeof file, "%s", path);
    info.pswdFile = file;
    const pswdRequest rq{.fileInfo = &info, .path = path, .node = "NODE1", .server = "SERVER1"};
    int rc = dsSetPassword(rq, 0, "NEWPASSWORD", nullptr, "");
    printf("STORE=%d\n", rc);
    dsCoreCleanUp();
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 3 && strcmp(argv[1], "store") == 0)
        return store(argv[2]);
    return printEnvironment();
}
