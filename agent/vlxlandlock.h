// The agent's file confinement: before the request is read it takes, with
// the kernel's Landlock interface, every file right but the ones its paths
// need, and closes signals and abstract Unix sockets to anything outside
// itself. docs/security.md lists each rule and why it is there.
#pragma once

// What the running kernel gave. The audit line and keladm name it.
enum class VlxFiles {
    No,         // no Landlock (kernel without it, or it refused): the agent serves unconfined
    Partial,    // an older interface: the file rules hold, some rights or scopes are missing
    Confined,   // every right and scope the rules name
};

// The paths a request may touch, known from the arguments.
struct VlxFilePaths {
    const char *pswdArgs[2] = {nullptr, nullptr};   // arguments 7 and 14: paths in the password directory
    const char *catalogDir = nullptr;               // argument 10
    const char *libraryDir = nullptr;               // the crypto library's directory, where it may be
                                                    // loaded after the rules; nullptr where it is not
};

// Applies the rules for paths with the highest interface the kernel offers,
// and says what that gave. Never fails the run: whatever the kernel lacks is
// left out.
VlxFiles vlxConfineFiles(const VlxFilePaths &paths);

// The highest Landlock interface this kernel offers, 0 without one.
int vlxLandlockAbi();

// What an interface version gives, as vlxConfineFiles would report it.
VlxFiles vlxFilesForAbi(int abi);

// "confined", "partial" or "no".
const char *vlxFilesWord(VlxFiles f);
