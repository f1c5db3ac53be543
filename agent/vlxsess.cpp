// The agent's entry: checks how it was called, serves exactly one request and
// exits with its return code. The command line and the exit statuses are
// described in README.md, the pipe exchange in docs/pipe-protocol.md.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <unistd.h>

#include "crypto/oxlcrypt.h"
#include "base/kelmem.h"
#include "base/secure.h"
#include "diag/nlsinit.h"
#include "base/strutil.h"
#include "base/fio.h"
#include "base/fsubsys.h"
#include "diag/pssyslog.h"
#include "agent/vlxsandbox.h"
#include "agent/vlxstart.h"
#include "diag/dscore.h"
#include "store/dspswd.h"
#include "diag/logutils.h"
#include "diag/trace.h"
#include "agent/kelvlx.h"

static const char trSrcFile[] = "vlxsess";

namespace {

const int nlsCacheLimit = 5;
const unsigned nlsFmtDefault = 1;

[[noreturn]] void vlxExit(int rc)
{
    dsCoreCleanUp();
    exit(rc);
}

// A call refused at start-up goes on record before the agent ends.
[[noreturn]] void vlxRefuse(const char *why, int rc)
{
    VlxAuditEntry e;
    e.refusal = why;
    vlxAudit(e, rc);
    vlxExit(rc);
}

// Waits for a debugger to be attached; never proceeds by itself.
[[noreturn]] void vlxDebugStop()
{
    VlxAuditEntry e;
    e.refusal = "debug stop: waits for a debugger";
    e.ended = false;
    vlxAudit(e, -1);
    pkFprintf(~0u, stderr, "+++ Debug stop in PID %d +++\n", (int)getpid());
    for (;;)
        pause();
}

void vlxLogExit(char *text, const char *fmt, int rc)
{
    pkSprintf(~0u, text, VLX_TEXT_BUF_SIZE, fmt, rc);
    LogMsg(text);
}

// The heap copies the request record points at; released when the request
// is over, whichever way it ends.
struct VlxRequestArgs {
    char *node = nullptr;
    char *server = nullptr;
    char *pswdFileName = nullptr;   // from argument 7
    char *pswdPath = nullptr;       // from argument 14

    VlxRequestArgs() = default;
    VlxRequestArgs(const VlxRequestArgs &) = delete;
    VlxRequestArgs &operator=(const VlxRequestArgs &) = delete;
    ~VlxRequestArgs()
    {
        for (char *p : {node, server, pswdFileName, pswdPath})
            if (p != nullptr)
                KEL_FREE(p);
    }

    bool complete() const
    {
        return node != nullptr && server != nullptr && pswdFileName != nullptr && pswdPath != nullptr;
    }
};

// How a request went beyond its return code.
struct VlxOutcome {
    bool returnAtOnce = false;   // 292, or 297 of main's own reads: see vlxServeRequest
    const char *op = nullptr;    // the request as the audit line names it; null: the letter itself
};

// Operation 'A': a zero flag asks for a challenge to be enciphered, any other
// flag for the encryption keys (16 request bytes follow it).
int vlxServeEncrypt(const pswdRequest &rq, VlxOutcome *out)
{
    out->op = "A";
    unsigned char flag = 0;
    if (fioReadOnce(rq.inFd, &flag, 1) != 1) {
        out->returnAtOnce = true;
        return VLX_RC_PIPE;
    }
    if (flag == 0)
        return EncryptBuff(rq);
    // The protocol's single read (docs/pipe-protocol.md): the caller writes the
    // 16 bytes at once, and fewer mean 297, never a wait for the rest.
    out->op = "A key request";
    SecretBuf<16> reqBytes;
    if (fioReadOnce(rq.inFd, reqBytes.data(), reqBytes.size()) != static_cast<ssize_t>(reqBytes.size())) {
        out->returnAtOnce = true;
        return VLX_RC_PIPE;
    }
    return getEncryptKey(rq, reqBytes.data());
}

// Operation 'B': a zero flag asks for the caller's buffer to be deciphered;
// any other flag ends the request at once with 0.
int vlxServeDecrypt(const pswdRequest &rq, VlxOutcome *out)
{
    out->op = "B";
    unsigned char flag = 0;
    if (fioReadOnce(rq.inFd, &flag, 1) != 1) {
        out->returnAtOnce = true;
        return VLX_RC_PIPE;
    }
    if (flag != 0)
        return 0;
    return DecryptBuff(rq);
}

// Operation 'C': the audit line tells a stored password from one the caller
// did not confirm, or whose storing failed (and why, when another change
// stored its own password meanwhile).
int vlxServeChange(const pswdRequest &rq, VlxOutcome *out)
{
    int confirmed = 0;
    int rc = GeneratePassword(rq, &confirmed);
    out->op = confirmed == 0                ? "C not confirmed"
              : confirmed == VLX_C_STALE    ? "C confirmed, not stored: the stored password changed meanwhile"
              : rc == 0                     ? "C stored"
                                            : "C confirmed, not stored";
    return rc;
}

int vlxDispatch(const pswdRequest &rq, VlxOutcome *out)
{
    if (TR_GENERAL)
        trPrintf(trSrcFile, __LINE__, "Operation '%c' for node '%s', server '%s', cipher type %d.\n",
                 rq.operation == '\0' ? ' ' : rq.operation, rq.node, rq.server, (int)rq.cipherType);
    switch (rq.operation) {
    case 'A':
        return vlxServeEncrypt(rq, out);
    case 'B':
        return vlxServeDecrypt(rq, out);
    case 'C':
        return vlxServeChange(rq, out);
    default:
        return VLX_RC_UNKNOWN_OP;
    }
}

// Parses the pipe and cipher arguments, closes the caller's pipe ends, makes
// the request record with the copies and paths it points at and serves the
// one request. Out of
// memory (292) and an incomplete flag read (297) set out->returnAtOnce: main
// returns them without closing the pipes, logging or tearing down the runtime.
int vlxServeRequest(char **argv, VlxOutcome *out)
{
    unsigned char cipherType = vlxCipherType(argv[KEL_ARG_CIPHER_TYPE]);
    int inFd = vlxNumber(argv[KEL_ARG_IN_FD]);
    int outFd = vlxNumber(argv[KEL_ARG_OUT_FD]);
    vlxCloseCallerFd(vlxNumber(argv[KEL_ARG_CALLER_END_1]));
    vlxCloseCallerFd(vlxNumber(argv[KEL_ARG_CALLER_END_2]));

    pswdFileInfo pfi{};
    ZeroOnExit pfiZero(&pfi, sizeof(pfi));   // holds the node key once the store has read the file

    int clusterNode = vlxNumber(argv[KEL_ARG_CLUSTER_NODE]);
    if (clusterNode != 0) {
        // Results ignored: without a cluster the host name keys the file.
        (void)FileSubsystemInit();
        (void)fsubCheckClusterInit();
        fsubSetClusterNodeFlag(clusterNode);
    }

    int rc = 0;
    {
        VlxRequestArgs args;
        args.node = StrDup(argv[KEL_ARG_NODE]);
        args.server = StrDup(argv[KEL_ARG_SERVER]);
        args.pswdFileName = vlxNewPswdPath(argv[KEL_ARG_PSWD_DIR]);
        args.pswdPath = vlxNewPswdPath(argv[KEL_ARG_PSWD_PATH]);
        if (!args.complete()) {
            out->returnAtOnce = true;   // the copies obtained are released on the way out
            return VLX_RC_NO_MEMORY;
        }
        pfi.pswdFile = args.pswdFileName;
        const pswdRequest rq{.fileInfo = &pfi,
                             .path = args.pswdPath,
                             .node = args.node,
                             .server = args.server,
                             .operation = argv[KEL_ARG_OPERATION][0],
                             .cipherType = cipherType,
                             .inFd = inFd,
                             .outFd = outFd};
        rc = vlxDispatch(rq, out);
    }
    if (!out->returnAtOnce) {
        vlxCloseCallerFd(inFd);
        vlxCloseCallerFd(outFd);
    }
    return rc;
}

// Whether the crypto library is loaded now, before the filter, for a request
// that may need it: 'C' makes its passwords with the best cipher there is,
// 'A' and 'B' use the cipher asked for. Loaded here, it lets the filter
// refuse executable memory for the whole request. A load that fails leaves
// nothing behind: the request tries again where it always did and fails as
// it always did, so for that run the filter keeps allowing executable memory.
// true when executable memory must stay allowed.
bool vlxPreloadLibrary(const char *op, unsigned char cipherType)
{
    // Every cipher type with the DES bit is served by DES (new_Crypto).
    const bool mayNeed =
        op[0] == 'C' || ((op[0] == 'A' || op[0] == 'B') && (cipherType & KEL_CIPHER_DES) == 0);
    if (!mayNeed || !oxlIsSupported())
        return false;
    if (oxlGlobalInit() == 0 && oxlIsLoaded())
        return false;
    oxlGlobalCleanUp();
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    // Before anything can open a file: no file may become standard output or
    // error and receive a message.
    if (vlxEnsureStdFds() != 0) {
        VlxAuditEntry e;
        e.refusal = "standard descriptors";
        vlxAudit(e, VLX_RC_INCOMPATIBLE);
        return VLX_RC_INCOMPATIBLE;
    }
    // It never executes a program: nothing it could be made to start gains
    // privileges. Checked again before the filter is loaded.
    (void)vlxNoNewPrivs();
    vlxHardenProcess();

    dsCoreInit(nullptr, 1);   // its result is not looked at: a failure shows in the catalog set-up below

    char exitText[VLX_TEXT_BUF_SIZE] = {};

    if (argc < 2 || argv == nullptr) {
        vlxPrintUsage();
        vlxRefuse("usage", VLX_RC_USAGE);
    }
    if (argv[KEL_ARG_DEBUG_STOP][0] == '1')
        vlxDebugStop();
    if (argc <= 2 || StrCmp(argv[KEL_ARG_INTERFACE], VLX_INTERFACE_STRING) != 0) {
        vlxPrintUsage();
        vlxRefuse("usage", VLX_RC_USAGE);
    }
    if (argc != VLX_ARGC) {
        vlxPrintIncompatible();
        vlxRefuse("argument count", VLX_RC_INCOMPATIBLE);
    }

    int exitLogging = vlxNumber(argv[KEL_ARG_EXIT_LOGGING]);
    nlsReturnInfo_t nlsInfo = {};
    cliType_t clientType = (signed char)argv[KEL_ARG_CLIENT_TYPE][0];
    if (nlinit(argv[KEL_ARG_LANGUAGE], nlsCacheLimit, argv[KEL_ARG_CATALOG_DIR], clientType, nlsFmtDefault, nlsFmtDefault,
               nlsFmtDefault, &nlsInfo, nullptr) != 0)
        vlxRefuse("message catalog", VLX_RC_NLS);
    argv[KEL_ARG_INTERFACE] = nullptr;   // nothing after the catalog set-up looks at it

    if (geteuid() != 0)
        vlxRefuse("not running as root", VLX_RC_INCOMPATIBLE);

    if (!vlxBuildStampAccepted(argv[KEL_ARG_BUILD_DATE], argv[KEL_ARG_BUILD_TIME])) {
        vlxPrintIncompatible();
        pkFprintf(~0u, stderr, "calling program build date : %s \n", argv[KEL_ARG_BUILD_DATE]);
        pkFprintf(~0u, stderr, "VLX build date             : %s \n", BUILDDATE);
        vlxLogExit(exitText, "VLX EXIT Build Dates do not match rc = %d\n", VLX_RC_INCOMPATIBLE);
        vlxRefuse("build stamp", VLX_RC_INCOMPATIBLE);
    }

    // From here on the caller's bytes are read and parsed: only the files,
    // capabilities and calls the request's own paths need are left. A kernel
    // that gives less costs the caller nothing: the request is served with
    // what it gave, and the trace and the audit line say so.
    VlxFilePaths paths;
    paths.pswdArgs[0] = argv[KEL_ARG_PSWD_DIR];
    paths.pswdArgs[1] = argv[KEL_ARG_PSWD_PATH];
    paths.catalogDir = argv[KEL_ARG_CATALOG_DIR];
    paths.libraryDir = KEL_OXL_DIR;
    (void)psLogHold();   // the audit line's connection, made while sockets may be; without a log the line is lost
    const bool mapExec = vlxPreloadLibrary(argv[KEL_ARG_OPERATION], vlxCipherType(argv[KEL_ARG_CIPHER_TYPE]));
    VlxConfineResult got;
    const VlxConfinement confinement =
        vlxConfine(paths, mapExec, &got) == 0 ? VlxConfinement::Confined : VlxConfinement::Unconfined;
    if (confinement == VlxConfinement::Unconfined && TR_GENERAL)
        trPrintf(trSrcFile, __LINE__, "Serving unconfined: the kernel did not take the system-call filter, errno = %d.\n",
                 errno);

    VlxOutcome outcome;
    int rc = vlxServeRequest(argv, &outcome);
    VlxAuditEntry e;
    e.confinement = confinement;
    e.files = vlxFilesWord(got.files);
    e.op = outcome.op != nullptr ? outcome.op : argv[KEL_ARG_OPERATION];
    e.node = argv[KEL_ARG_NODE];
    e.server = argv[KEL_ARG_SERVER];
    vlxAudit(e, rc);   // the outcome is settled: the log cannot change it
    if (outcome.returnAtOnce)
        return rc;

    if (exitLogging != 0 || rc != 0)
        vlxLogExit(exitText, "VLX EXIT rc = %d\n", rc);
    vlxExit(rc);
}
