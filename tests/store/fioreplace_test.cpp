// Replacing a file whole: every step failing in turn, the lock and what
// happens to it, the leftovers of killed writers, owners and modes, held
// signals and the real user id of a set-user-id run.
#include "store/fioreplace.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/pwfixture.h"

namespace {

using pwfix::Bytes;

const char NAME[] = "DATA";
const char LOCK[] = "DATA.lock";

// A writer made of a lambda: what it writes, what it makes of the file, its code.
struct Writer {
    std::function<int(int oldFd, fioOut *out, fioAction *action)> fn;
    int calls = 0;

    static int call(void *ctx, int oldFd, fioOut *out, fioAction *action)
    {
        Writer *w = static_cast<Writer *>(ctx);
        w->calls++;
        return w->fn(oldFd, out, action);
    }
};

// A writer that puts text into the new file in pieces of 7 bytes, and reports
// what it found of the old one.
Writer writes(const Bytes &text, Bytes *old = nullptr)
{
    return Writer{[text, old](int oldFd, fioOut *out, fioAction *) {
        if (old != nullptr)
            *old = oldFd >= 0 ? Bytes(1, 'y') : Bytes(1, 'n');
        for (size_t i = 0; i < text.size(); i += 7)
            if (int rc = fioOutWrite(out, text.data() + i, std::min<size_t>(7, text.size() - i)))
                return rc;
        return 0;
    }};
}

class fioReplaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        fioResetSteps();
        dirFd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(dirFd, 0);
    }
    void TearDown() override
    {
        fioResetSteps();
        close(dirFd);
    }
    int replace(Writer &w, fioReplaceOpts opts = {}) { return fioReplace(dirFd, NAME, opts, Writer::call, &w); }
    std::string file(const std::string &n = NAME) const { return dir.file(n); }
    std::set<std::string> entries() const { return pwfix::dirEntries(dir.path()); }
    static std::set<std::string> fileAndLock() { return {NAME, LOCK}; }

    pwfix::TempDir dir;
    int dirFd = -1;
};

TEST_F(fioReplaceTest, ReplacesTheFileWhole)
{
    pwfix::writeFile(file(), "old contents");
    Bytes found;
    Writer w = writes("new contents, longer than the old ones", &found);
    ASSERT_EQ(replace(w), 0);
    EXPECT_EQ(found, "y");
    EXPECT_EQ(pwfix::readFile(file()), "new contents, longer than the old ones");
    EXPECT_EQ(entries(), fileAndLock());

    // Without an old file, the new one is created (mode from the options, whatever the umask).
    ASSERT_EQ(unlink(file().c_str()), 0);
    mode_t before = umask(0277);
    fioReplaceOpts opts;
    opts.mode = 0640;
    int rc = replace(w, opts);
    umask(before);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(found, "n");
    struct stat st;
    ASSERT_EQ(stat(file().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(fioReplaceTest, WhatTheWriterDecides)
{
    struct Row {
        const char *name;
        fioAction action;
        int writerRc;
        int rc;
        bool exists;
        Bytes after;
    } rows[] = {
        {"replace", fioAction::Replace, 0, 0, true, "written"},
        {"keep", fioAction::Keep, 0, 0, true, "original"},
        {"remove", fioAction::Remove, 0, 0, false, ""},
        {"writer fails", fioAction::Replace, 168, 168, true, "original"},
        {"writer fails after choosing removal", fioAction::Remove, -1, -1, true, "original"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pwfix::writeFile(file(), "original");
        struct stat before;
        ASSERT_EQ(stat(file().c_str(), &before), 0);
        Writer w{[&](int, fioOut *out, fioAction *action) {
            *action = r.action;
            int rc = fioOutWrite(out, "written", 7);
            return rc != 0 ? rc : r.writerRc;
        }};
        EXPECT_EQ(replace(w), r.rc);
        struct stat after;
        EXPECT_EQ(stat(file().c_str(), &after) == 0, r.exists);
        if (r.exists) {
            EXPECT_EQ(pwfix::readFile(file()), r.after);
            if (r.after == "original") {
                EXPECT_EQ(after.st_ino, before.st_ino) << "the file itself stays";
            }
        }
        std::set<std::string> want = {LOCK};
        if (r.exists)
            want.insert(NAME);
        EXPECT_EQ(entries(), want);
    }
}

// Each step fails in turn at each of its calls: the old file stays byte for
// byte and nothing is left beside it, except after the rename, which stands.
TEST_F(fioReplaceTest, EveryFailingStepLeavesTheOldFile)
{
    const Bytes original = "the original contents";
    Writer w = writes("the new contents, written in pieces of seven bytes");
    pwfix::writeFile(file(), original);
    fioResetSteps();
    ASSERT_EQ(replace(w), 0);
    const Bytes replaced = pwfix::readFile(file());
    unsigned calls[FIO_STEP_COUNT];
    for (int s = 0; s < FIO_STEP_COUNT; s++) {
        calls[s] = fioStepCalls(static_cast<fioStep>(s));
        EXPECT_GE(calls[s], 1u) << "step " << s << " is never taken";
    }
    EXPECT_GE(calls[FIO_STEP_WRITE], 7u);
    const int expected[FIO_STEP_COUNT] = {
        FIO_RC_CANNOT_WRITE, FIO_RC_CANNOT_WRITE, FIO_RC_CANNOT_WRITE, FIO_RC_SHORT_WRITE, FIO_RC_SHORT_WRITE,
        FIO_RC_SHORT_WRITE, FIO_RC_SHORT_WRITE, FIO_RC_CANNOT_WRITE, 0, FIO_RC_CANNOT_WRITE};
    for (int s = 0; s < FIO_STEP_COUNT; s++) {
        for (unsigned n = 1; n <= calls[s]; n++) {
            SCOPED_TRACE("step " + std::to_string(s) + " call " + std::to_string(n));
            pwfix::writeFile(file(), original);
            fioResetSteps();
            fioFailStep(static_cast<fioStep>(s), n);
            EXPECT_EQ(replace(w), expected[s]);
            EXPECT_EQ(pwfix::readFile(file()), s == FIO_STEP_SYNCDIR ? replaced : original);
            EXPECT_EQ(entries(), fileAndLock());
        }
    }
    // A removal that fails leaves the file.
    pwfix::writeFile(file(), original);
    fioResetSteps();
    fioFailStep(FIO_STEP_RENAME, 1);
    Writer remove{[](int, fioOut *, fioAction *action) {
        *action = fioAction::Remove;
        return 0;
    }};
    EXPECT_EQ(replace(remove), FIO_RC_CANNOT_WRITE);
    EXPECT_EQ(pwfix::readFile(file()), original);
}

// Only the new files of writers that are gone are removed under the lock;
// nothing else beside the file is touched, whatever its name.
TEST_F(fioReplaceTest, OnlyLeftoversOfWritersThatAreGoneAreRemoved)
{
    struct Row {
        std::string name;
        enum { File, Link, Dir, OtherUsers } kind;
        bool removed;
    };
    const long dead = pwfix::deadPid();
    const std::string own = pwfix::newFileName(NAME, dead);
    std::vector<Row> rows = {
        {own, Row::File, true},
        {pwfix::newFileName(NAME, dead, "000000"), Row::File, true},
        {pwfix::newFileName(NAME, getpid()), Row::File, false},      // a writer that still runs
        {pwfix::newFileName(NAME, dead, "Ab3xY"), Row::File, false},  // five characters
        {pwfix::newFileName(NAME, dead, "Ab3xY9z"), Row::File, false},
        {pwfix::newFileName(NAME, dead, "Ab3-Y9"), Row::File, false},
        {"." + std::string(NAME) + ".kelvlx-0" + std::to_string(dead) + "-Ab3xY9", Row::File, false},
        {own.substr(1), Row::File, false},   // without the leading dot
        {"DATA.backup", Row::File, false},
        {"DATA.202612", Row::File, false},
        {"DATA.Ab3xY9", Row::File, false},   // an administrator's copy of six characters
        {"DATA.Ab3xY", Row::File, false},
        {"DATA.Ab3xY9z", Row::File, false},
        {"OTHER.Ab3xY9", Row::File, false},
        {pwfix::newFileName("OTHER", dead), Row::File, false},
        {pwfix::newFileName(NAME, dead, "lnk001"), Row::Link, false},
        {pwfix::newFileName(NAME, dead, "dir001"), Row::Dir, false},
        {pwfix::newFileName(NAME, dead, "nobody"), Row::OtherUsers, false},
    };
    pwfix::writeFile(file(), "old");
    std::set<std::string> gone, stay = fileAndLock();
    for (const Row &r : rows) {
        switch (r.kind) {
        case Row::File:
            pwfix::writeFile(file(r.name), "a password that was deleted");
            break;
        case Row::Link:
            ASSERT_EQ(symlink(file("DATA.backup").c_str(), file(r.name).c_str()), 0);
            break;
        case Row::Dir:
            ASSERT_EQ(mkdir(file(r.name).c_str(), 0700), 0);
            break;
        case Row::OtherUsers:
            if (geteuid() != 0)
                continue;   // only root can give a file to another user
            pwfix::writeFile(file(r.name), "another user's");
            ASSERT_EQ(chown(file(r.name).c_str(), 65534, 65534), 0);
            break;
        }
        (r.removed ? gone : stay).insert(r.name);
    }

    std::set<std::string> listed;
    auto collect = [](void *ctx, const char *n) { static_cast<std::set<std::string> *>(ctx)->insert(n); };
    EXPECT_EQ(fioListLeftovers(dirFd, NAME, collect, &listed), static_cast<int>(gone.size()));
    EXPECT_EQ(listed, gone);

    // Every path of a rewrite: a replacement, a kept file and a removal.
    for (fioAction a : {fioAction::Replace, fioAction::Keep, fioAction::Remove}) {
        SCOPED_TRACE(static_cast<int>(a));
        for (const std::string &n : gone)
            pwfix::writeFile(file(n), "a password that was deleted");
        pwfix::writeFile(file(), "old");
        Writer w{[a](int, fioOut *out, fioAction *action) {
            *action = a;
            return fioOutWrite(out, "new", 3);
        }};
        ASSERT_EQ(replace(w), 0);
        std::set<std::string> want = stay;
        if (a == fioAction::Remove)
            want.erase(NAME);
        EXPECT_EQ(entries(), want);
        EXPECT_EQ(fioListLeftovers(dirFd, NAME, nullptr, nullptr), 0);
    }
}

TEST_F(fioReplaceTest, OwnerGroupAndModeOfTheOldFileAreKept)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "giving a file another owner needs root";
    struct Row {
        const char *name;
        bool keepMode;
        mode_t want;
    } rows[] = {{"write", false, 0600}, {"delete", true, 0640}};
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        pwfix::writeFile(file(), "old", 0640);
        ASSERT_EQ(chown(file().c_str(), 65534, 4), 0);
        Writer w = writes("new");
        fioReplaceOpts opts;
        opts.keepMode = r.keepMode;
        ASSERT_EQ(replace(w, opts), 0);
        struct stat st;
        ASSERT_EQ(stat(file().c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 4u);
        EXPECT_EQ(st.st_mode & 07777, r.want);
    }
}

// ---------------------------------------------------------------- the lock

// Runs fn in a child process; its exit status (-signal when a signal ended it).
int inChild(const std::function<int()> &fn)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

TEST_F(fioReplaceTest, AWriterWaitsWithoutSpinningAndGivesUp)
{
    pwfix::writeFile(file(), "old");
    int held = open(file(LOCK).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    // In a child, so that its context switches are counted alone.
    int status = inChild([&] {
        fioSetLockWaitMs(1500);
        Writer w = writes("new");
        struct rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        int rc = replace(w);
        getrusage(RUSAGE_SELF, &after);
        long switches = (after.ru_nvcsw - before.ru_nvcsw) + (after.ru_nivcsw - before.ru_nivcsw);
        return rc == FIO_RC_LOCKED ? (switches < 50 ? 0 : 2) : 1;
    });
    EXPECT_EQ(status, 0) << "1: not the lock code; 2: the wait woke up again and again";
    EXPECT_EQ(pwfix::readFile(file()), "old");

    // Released during the wait, the lock is taken: the last holder of the
    // lock's open file description is a child that ends after a while.
    pid_t releaser = fork();
    if (releaser == 0) {
        usleep(300 * 1000);
        _exit(0);
    }
    close(held);
    fioSetLockWaitMs(10000);
    Writer w = writes("new");
    EXPECT_EQ(replace(w), 0);
    waitpid(releaser, nullptr, 0);
    EXPECT_EQ(pwfix::readFile(file()), "new");
}

// A lock file removed and made anew while a writer waits for the old one:
// the writer must not take the old one for the lock, since another writer
// holds the new one.
TEST_F(fioReplaceTest, ALockFileReplacedWhileAwaitedIsNotTheLock)
{
    pwfix::writeFile(file(), "old");
    int first = open(file(LOCK).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(first, 0);
    ASSERT_EQ(flock(first, LOCK_EX), 0);
    int started[2];
    ASSERT_EQ(pipe(started), 0);
    pid_t writer = fork();
    if (writer == 0) {
        close(started[0]);
        close(first);   // a descriptor of the lock's open file description would keep it held
        Writer w = writes("new");
        (void)!write(started[1], "x", 1);
        _exit(replace(w) == 0 ? 0 : 1);
    }
    close(started[1]);
    char c;
    ASSERT_EQ(read(started[0], &c, 1), 1);
    close(started[0]);
    usleep(100 * 1000);   // the writer waits for the first lock file now
    ASSERT_EQ(unlink(file(LOCK).c_str()), 0);
    int second = open(file(LOCK).c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ASSERT_GE(second, 0);
    ASSERT_EQ(flock(second, LOCK_EX), 0);
    close(first);   // releases the first lock file: the writer gets it, and must see it is not the lock
    usleep(300 * 1000);
    EXPECT_EQ(pwfix::readFile(file()), "old") << "written while another writer held the lock file";
    close(second);
    int status = 0;
    waitpid(writer, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(pwfix::readFile(file()), "new");
}

// The lock file removed while the writer holds it: the writer's pass no
// longer counts, and it is done again under a new lock.
TEST_F(fioReplaceTest, ALockFileRemovedDuringTheWriteMakesItStartAgain)
{
    pwfix::writeFile(file(), "old");
    Writer w{[&](int, fioOut *out, fioAction *) {
        if (w.calls == 1)
            unlink(file(LOCK).c_str());
        return fioOutWrite(out, "new", 3);
    }};
    ASSERT_EQ(replace(w), 0);
    EXPECT_EQ(w.calls, 2);
    EXPECT_EQ(pwfix::readFile(file()), "new");
    EXPECT_EQ(entries(), fileAndLock());
}

// Whatever is done to the lock file, and whenever: the result is 0 exactly
// when the new contents are in place, and the old file stays byte for byte
// otherwise; nothing is left beside the file but lock files.
TEST_F(fioReplaceTest, WhateverIsDoneToTheLockFileTheResultSaysWhatHappened)
{
    enum Deed { Remove, MoveAwayAndBack, MoveAway, ReplaceByFile, ReplaceByLink };
    struct Moment {
        const char *name;
        fioStep step;   // the deed is done just before the first call of this step
    } moments[] = {
        {"while the writer writes", FIO_STEP_WRITE},
        {"before the new file is flushed", FIO_STEP_FLUSH},
        {"before the decision", FIO_STEP_CLOSE},
        {"just before the rename", FIO_STEP_RENAME},
        {"just after the rename", FIO_STEP_SYNCDIR},
    };
    struct Act {
        const std::string lock, away;
        Deed deed;
        int done = 0;
        fioStep at;
    };
    auto doIt = [](fioStep step, void *ctx) {
        Act &a = *static_cast<Act *>(ctx);
        if (step != a.at || a.done++ != 0)
            return;
        switch (a.deed) {
        case Remove:
            unlink(a.lock.c_str());
            break;
        case MoveAwayAndBack:
            rename(a.lock.c_str(), a.away.c_str());
            rename(a.away.c_str(), a.lock.c_str());
            break;
        case MoveAway:
            rename(a.lock.c_str(), a.away.c_str());
            break;
        case ReplaceByFile:
            unlink(a.lock.c_str());
            pwfix::writeFile(a.lock, "");
            break;
        case ReplaceByLink:
            unlink(a.lock.c_str());
            symlink(a.away.c_str(), a.lock.c_str());
            break;
        }
    };
    const Bytes original = "the original contents", replaced = "the new contents";
    for (const Moment &m : moments)
        for (Deed d : {Remove, MoveAwayAndBack, MoveAway, ReplaceByFile, ReplaceByLink}) {
            SCOPED_TRACE(std::string(m.name) + ", deed " + std::to_string(d));
            pwfix::writeFile(file(), original);
            unlink(file(LOCK).c_str());
            unlink(file("away").c_str());
            Act act{file(LOCK), file("away"), d, 0, m.step};
            fioResetSteps();
            fioSetStepHook(doIt, &act);
            Writer w = writes(replaced);
            const int rc = replace(w);
            fioSetStepHook(nullptr, nullptr);
            EXPECT_EQ(act.done > 0, true) << "the moment never came";
            const Bytes now = pwfix::readFile(file());
            EXPECT_EQ(rc == 0, now == replaced) << "rc " << rc;
            if (rc != 0) {
                EXPECT_EQ(now, original);
            }
            for (const std::string &n : entries())
                EXPECT_TRUE(n == NAME || n == LOCK || n == "away") << n << " left behind";
        }
}

// A stat of the lock or of the file that fails decides nothing: the result is
// a failure and the old file stays, never a success without the rename.
TEST_F(fioReplaceTest, AFailingLookBeforeTheRenameIsAFailure)
{
    const Bytes original = "the original contents";
    Writer w = writes("the new contents");
    pwfix::writeFile(file(), original);
    fioResetSteps();
    ASSERT_EQ(replace(w), 0);
    const unsigned checks = fioStepCalls(FIO_STEP_CHECK);
    ASSERT_GE(checks, 4u) << "the lock after taking it, the old file, the lock and the name before the rename";
    for (unsigned n = 1; n <= checks; n++) {
        SCOPED_TRACE("check " + std::to_string(n));
        pwfix::writeFile(file(), original);
        fioResetSteps();
        fioFailStep(FIO_STEP_CHECK, n);
        EXPECT_EQ(replace(w), FIO_RC_CANNOT_WRITE);
        EXPECT_EQ(pwfix::readFile(file()), original);
        EXPECT_EQ(entries(), fileAndLock());
    }
}

// A writer that lost its lock file to someone who moved it away finds
// another writer inside under a new one: it never renames over what that
// writer stored, and does its own change again on top of it.
TEST_F(fioReplaceTest, AWriterThatLostTheLockNeverDropsAnotherWritersChange)
{
    pwfix::writeFile(file(), "base");
    // Each writer appends its mark to what it read.
    auto appends = [](const char *mark) {
        return [mark](int oldFd, fioOut *out, fioAction *) {
            char buf[256];
            ssize_t n = oldFd >= 0 ? pread(oldFd, buf, sizeof buf, 0) : 0;
            int rc = n > 0 ? fioOutWrite(out, buf, static_cast<size_t>(n)) : 0;
            return rc != 0 ? rc : fioOutWrite(out, mark, strlen(mark));
        };
    };
    Writer first{[&](int oldFd, fioOut *out, fioAction *action) {
        if (first.calls == 1) {
            rename(file(LOCK).c_str(), file("away").c_str());
            Writer second{appends("+second")};
            EXPECT_EQ(inChild([&] { return replace(second); }), 0) << "the second writer got in and stored";
        }
        return appends("+first")(oldFd, out, action);
    }};
    ASSERT_EQ(replace(first), 0);
    EXPECT_EQ(first.calls, 2);
    EXPECT_EQ(pwfix::readFile(file()), "base+second+first");
}

// Tried once, a held lock gives FIO_RC_LOCKED at once and changes nothing.
TEST_F(fioReplaceTest, ALockTriedOnceIsNotAwaited)
{
    pwfix::writeFile(file(), "old");
    int held = open(file(LOCK).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    fioSetLockWaitMs(3600 * 1000);   // a wait would outlast the test's own time limit
    fioReplaceOpts once;
    once.waitForLock = false;
    Writer w = writes("new");
    EXPECT_EQ(replace(w, once), FIO_RC_LOCKED);
    EXPECT_EQ(w.calls, 0);
    EXPECT_EQ(pwfix::readFile(file()), "old");
    close(held);
    EXPECT_EQ(replace(w, once), 0);
    EXPECT_EQ(pwfix::readFile(file()), "new");
}

// A writer waiting for the lock stays one process: it starts no helper that
// could outlive it or hold the lock after it ends, and it takes the lock
// once the holder lets go.
TEST_F(fioReplaceTest, TheLockWaitStartsNoProcessAndTakesTheFreedLock)
{
    pwfix::writeFile(file(), "old");
    int held = open(file(LOCK).c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX), 0);
    pid_t writer = fork();
    if (writer == 0) {
        close(held);
        // A writer holding many descriptors, with a few free low numbers: the
        // lock's own descriptors get those, and the others lie on both sides.
        int first = -1;
        for (int i = 0; i < 40; i++) {
            const int fd = open("/dev/null", O_RDONLY);
            if (first < 0)
                first = fd;
        }
        for (int fd = first; fd >= 0 && fd < first + 4; fd++)
            close(fd);
        fioSetLockWaitMs(3600 * 1000);
        Writer w = writes("new");
        _exit(replace(w));
    }
    const std::string childrenFile =
        "/proc/" + std::to_string(writer) + "/task/" + std::to_string(writer) + "/children";
    if (access(childrenFile.c_str(), R_OK) != 0) {
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
        close(held);
        GTEST_SKIP() << "this kernel does not list a process's children in /proc";
    }
    bool started = false;
    for (int i = 0; i < 30 && !started; i++) {   // the wait's first steps and a good many later ones
        usleep(10 * 1000);
        std::ifstream in(childrenFile);
        long p;
        started = static_cast<bool>(in >> p);
    }
    EXPECT_FALSE(started) << "the waiting writer started a process";
    close(held);
    int status = -1;
    ASSERT_EQ(waitpid(writer, &status, 0), writer);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(pwfix::readFile(file()), "new");
}

// In a set-user-id run the lock file this run creates is root's, group too.
TEST_F(fioReplaceTest, InASetUserIdRunTheLockFileIsRoots)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act out a set-user-id run";
    pwfix::writeFile(file(), "old");
    int status = inChild([&] {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 0, 0) != 0)
            return 10;
        Writer w = writes("new");
        return replace(w) == 0 ? 0 : 11;
    });
    ASSERT_EQ(status, 0);
    struct stat st;
    ASSERT_EQ(stat(file(LOCK).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
}

// ---------------------------------------------------------------- signals and the real user id

TEST_F(fioReplaceTest, SignalsWaitUntilTheNewFileIsInPlace)
{
    pwfix::writeFile(file(), "old");
    int status = inChild([&] {
        Writer w{[](int, fioOut *out, fioAction *) {
            int rc = fioOutWrite(out, "new ", 4);
            raise(SIGTERM);   // held: the file is completed and renamed first
            return rc != 0 ? rc : fioOutWrite(out, "contents", 8);
        }};
        replace(w);
        return 3;   // not reached: the held signal ends the process when it is let through
    });
    EXPECT_EQ(status, -SIGTERM);
    EXPECT_EQ(pwfix::readFile(file()), "new contents");
    EXPECT_EQ(entries(), fileAndLock());
}

// In a set-user-id root run the invoking user cannot signal the writer while
// it holds the lock; the real user id comes back afterwards.
TEST_F(fioReplaceTest, InASetUserIdRunTheLockHolderCannotBeStopped)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to act out a set-user-id run";
    pwfix::writeFile(file(), "old");
    int status = inChild([&] {
        if (setresuid(65534, 0, 0) != 0)
            return 10;
        const pid_t self = getpid();
        int seen = -1, stopErrno = 0;
        Writer w{[&](int, fioOut *out, fioAction *) {
            seen = static_cast<int>(getuid());
            // The invoking user tries to stop the lock holder.
            pid_t caller = fork();
            if (caller == 0) {
                if (setresuid(65534, 65534, 65534) != 0)
                    _exit(20);
                _exit(kill(self, SIGSTOP) == 0 ? 0 : errno);
            }
            int st = 0;
            waitpid(caller, &st, 0);
            stopErrno = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            return fioOutWrite(out, "new", 3);
        }};
        if (replace(w) != 0)
            return 11;
        if (seen != 0)
            return 12;
        if (stopErrno != EPERM)
            return 13;
        return getuid() == 65534 ? 0 : 14;
    });
    EXPECT_EQ(status, 0) << "12: the real user id was not root under the lock; 13: the caller could stop it; "
                            "14: the caller's id did not come back";
    EXPECT_EQ(pwfix::readFile(file()), "new");
}

} // namespace
