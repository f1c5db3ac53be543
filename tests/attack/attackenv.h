// The setting of every attack: the agent installed set-user-id root by the
// build's own install rules into a temporary root-owned tree, and started by
// an unprivileged user (nobody) who chooses its arguments, descriptors,
// environment, pipes and the directories it is pointed at.
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tests/support/agentrun.h"
#include "tests/support/pwfixture.h"
#include "tests/support/tempdir.h"
#include "tests/tools/toolrun.h"

namespace atk {

using pwfix::Bytes;

// The agent is started through the tests' one harness; its names are used here as the attacks' own.
using namespace kelts;

// nobodyGid is nogroup: the agent group of the test install.
inline const char agentGroup[] = "nogroup";

// Exit statuses as a caller sees them.
enum {
    ST_OK = KEL_ST_OK, ST_STORE_REFUSED = KEL_ST_SEEN(KEL_ST_STORE_REFUSED), ST_USAGE = KEL_ST_SEEN(KEL_ST_USAGE),
    ST_INCOMPATIBLE = KEL_ST_INCOMPATIBLE, ST_NLS = KEL_ST_SEEN(KEL_ST_NLS), ST_PIPE = KEL_ST_SEEN(KEL_ST_PIPE),
    ST_NO_PASSWORD = KEL_ST_NO_PASSWORD, ST_NO_LIBRARY = KEL_ST_SEEN(KEL_ST_NO_LIBRARY)
};

inline int sh(const std::string &cmd) { return system(cmd.c_str()); }

inline bool chownTree(const std::string &path, uid_t uid, gid_t gid)
{
    return sh("chown -R " + std::to_string(uid) + ":" + std::to_string(gid) + " '" + path + "'") == 0;
}

// The install every test uses, made once per test program.
struct Install {
    std::string root;       // temporary root-owned directory (mode 0755)
    std::string agent;      // <root>/kel/libexec/kelvlx, root:nogroup 4750
    std::string catalogs;   // <root>/kel/share/kelvlx/catalogs
    std::string probe;      // set-user-id copy of the environment probe
    std::string problem;    // why the attacks cannot run here (skipped), empty when they can
    std::string failure;    // why the install failed (a test failure)
    bool byRules = true;    // made by the build's install rules (not in a sanitizer build)
};

// A sanitizer build's install rules refuse it, so the attacks meet its agent
// in a copy staged here the same way: the agent root:<group> 4750 and the
// catalogs root's, in a root-owned tree only this test program uses. The
// install rules themselves are tested in the plain build.
inline int stageByHand(const Install &in)
{
    const std::string share = in.root + "/kel/share/kelvlx";
    return sh("mkdir -p '" + in.root + "/kel/libexec' '" + share + "' && cp '" KEL_BINARY_DIR "/kelvlx' '" + in.agent +
              "' && cp -R '" KEL_BINARY_DIR "/catalogs' '" + in.catalogs + "' && chown -R root:root '" + in.root +
              "/kel' && chmod -R go-w '" + in.root + "/kel' && chown root:" + agentGroup + " '" + in.agent +
              "' && chmod 4750 '" + in.agent + "'");
}

inline Install makeInstall()
{
    Install in;
    // An agent that ends early closes the pipe the test is writing.
    signal(SIGPIPE, SIG_IGN);
    if (geteuid() != 0) {
        in.problem = "the attacks install a set-user-id root program: run as root";
        return in;
    }
    char tmpl[] = "/tmp/kelatk.XXXXXX";
    if (mkdtemp(tmpl) == nullptr || chmod(tmpl, 0755) != 0) {
        in.failure = std::string("mkdtemp: ") + strerror(errno);
        return in;
    }
    in.root = tmpl;
    struct statvfs vfs;
    if (statvfs(in.root.c_str(), &vfs) == 0 && (vfs.f_flag & ST_NOSUID) != 0) {
        in.problem = "/tmp is mounted nosuid";
        return in;
    }
    in.agent = in.root + "/kel/libexec/kelvlx";
    in.catalogs = in.root + "/kel/share/kelvlx/catalogs";
    if (KEL_AGENT_SANITIZED) {
        in.byRules = false;
        if (stageByHand(in) != 0) {
            in.failure = "cannot stage the sanitizer build's agent";
            return in;
        }
    } else {
        // The build's own live install rules, staged below the root, with a
        // group that exists on every machine so that nothing is added to it.
        const std::string log = in.root + "/install.log";
        int rc = sh("DESTDIR='" + in.root + "' '" KEL_CMAKE_COMMAND "' -DKEL_LIVE_INSTALL=ON -DCMAKE_INSTALL_PREFIX=/kel -DKEL_AGENT_GROUP=" +
                    agentGroup + " -P '" KEL_BINARY_DIR "/cmake_install.cmake' >'" + log + "' 2>&1");
        if (rc != 0) {
            in.failure = "cmake --install failed: " + pwfix::readFile(log);
            return in;
        }
    }
    in.probe = in.root + "/kel/libexec/envprobe";
    if (sh("cp '" KEL_PROBE_PATH "' '" + in.probe + "' && chown root:root '" + in.probe + "' && chmod 4755 '" +
           in.probe + "'") != 0)
        in.failure = "cannot install the environment probe";
    return in;
}

inline const Install &install()
{
    static const Install in = makeInstall();
    static const struct RemoveAtExit {
        std::string root;
        ~RemoveAtExit() { TempDir::removeTree(root); }
    } removeAtExit{in.root};
    return in;
}

// Skips a test where set-user-id programs cannot run; fails when the install did.
#define ATK_REQUIRE_INSTALL()                                  \
    do {                                                       \
        if (!atk::install().problem.empty())                   \
            GTEST_SKIP() << atk::install().problem;            \
        ASSERT_TRUE(atk::install().failure.empty()) << atk::install().failure; \
    } while (0)

// As ATK_REQUIRE_INSTALL, for a test of what the install rules themselves do.
#define ATK_REQUIRE_INSTALL_RULES()                                                            \
    do {                                                                                       \
        ATK_REQUIRE_INSTALL();                                                                 \
        if (!atk::install().byRules)                                                           \
            GTEST_SKIP() << "a sanitizer build is never installed: the plain build tests the " \
                            "install rules";                                                   \
    } while (0)

// A directory below the install root, removed with its contents at the end.
class Dir : public TempDir {
public:
    explicit Dir(mode_t mode = 0700, uid_t uid = 0, gid_t gid = 0) : TempDir(install().root, "d.")
    {
        if (path().empty())
            return;
        chmod(path().c_str(), mode);
        if (chown(path().c_str(), uid, gid) != 0)
            ADD_FAILURE() << "chown " << path();
    }
};

inline std::string sub(const std::string &dir, const std::string &name, mode_t mode = 0755, uid_t uid = 0,
                       gid_t gid = 0)
{
    std::string p = dir + "/" + name;
    mkdir(p.c_str(), mode);
    chmod(p.c_str(), mode);
    if (chown(p.c_str(), uid, gid) != 0)
        ADD_FAILURE() << "chown " << p;
    return p;
}

// A private mount namespace for this test process and everything it starts
// while the guard lives; the guard returns the process to the machine's own,
// and the private one, with all mounted in it, goes with its last process.
class PrivateMounts {
public:
    PrivateMounts()
    {
        origin_ = open("/proc/self/ns/mnt", O_RDONLY | O_CLOEXEC);
        cwd_ = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (origin_ < 0 || cwd_ < 0)
            problem_ = std::string("cannot hold the mount namespace: ") + strerror(errno);
    }
    ~PrivateMounts()
    {
        if (entered_ && (setns(origin_, CLONE_NEWNS) != 0 || fchdir(cwd_) != 0))
            abort();   // the rest of the tests would run in the private namespace
        for (int fd : {origin_, cwd_})
            if (fd >= 0)
                close(fd);
    }
    PrivateMounts(const PrivateMounts &) = delete;
    PrivateMounts &operator=(const PrivateMounts &) = delete;

    const std::string &problem() const { return problem_; }   // skip: no namespace here
    const std::string &failure() const { return failure_; }   // fail: the namespace is not as it should be

protected:
    // Enters a new namespace in which nothing mounted propagates back.
    bool enter()
    {
        if (!problem_.empty())
            return false;
        if (unshare(CLONE_NEWNS) != 0) {
            problem_ = std::string("no private mount namespace here: ") + strerror(errno);
            return false;
        }
        entered_ = true;
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            failure_ = std::string("cannot make the mounts private: ") + strerror(errno);
            return false;
        }
        return true;
    }
    void fail(const std::string &what) { failure_ = what + ": " + strerror(errno); }
    void skip(const std::string &why) { problem_ = why; }
    // For a helper that enters a namespace itself: whatever it did, the
    // guard returns to the machine's (a return to the same one is harmless).
    void entered() { entered_ = true; }

private:
    int origin_ = -1;
    int cwd_ = -1;
    bool entered_ = false;
    std::string problem_;
    std::string failure_;
};

// The crypto library's default directory (KEL_OXL_DIR) in a private mount
// namespace: an empty root-owned tmpfs lies over the deepest directory of
// that path that exists, and the path is made again inside it. A test
// plants what it likes there without touching the machine's own directory,
// and nothing is left to restore.
class PrivateLibraryDir : public PrivateMounts {
public:
    PrivateLibraryDir()
    {
        std::string top = KEL_OXL_DIR;
        struct stat st;
        while (top.size() > 1 && stat(top.c_str(), &st) != 0)
            top = top.substr(0, top.rfind('/') == 0 ? 1 : top.rfind('/'));
        if (top.size() <= 1) {
            skip("no directory of " KEL_OXL_DIR " exists to hide under a private mount");
            return;
        }
        if (enter() && (mount("kelatk", top.c_str(), "tmpfs", 0, "mode=0755,uid=0,gid=0") != 0 ||
                        sh("mkdir -p '" KEL_OXL_DIR "'") != 0))
            fail("cannot lay a tmpfs over " + top);
    }
};

// The system log of a private mount namespace: /dev is a tmpfs with the few
// devices a program opens and /dev/log a socket of the test's, so what the
// agent sends to syslog is read here and never reaches the machine's log.
class PrivateDevLog : public PrivateMounts {
public:
    explicit PrivateDevLog(const std::string &dir)
    {
        const std::string path = dir + "/log.sock";
        struct sockaddr_un sa {};
        sa.sun_family = AF_UNIX;
        if (path.size() >= sizeof sa.sun_path) {
            fail("socket path too long");
            return;
        }
        memcpy(sa.sun_path, path.c_str(), path.size() + 1);
        socket_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (socket_ < 0 || bind(socket_, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 ||
            chmod(path.c_str(), 0666) != 0) {
            fail("cannot make the log socket");
            return;
        }
        if (!problem().empty())
            return;
        const bool made = toolrun_detail::privateDevLog(path);   // the tools' tests make theirs so too
        entered();
        if (!made)
            skip(std::string("no private /dev here: ") + strerror(errno));
    }
    ~PrivateDevLog()
    {
        if (socket_ >= 0)
            close(socket_);
    }
    // The messages sent since the last call, each a whole syslog datagram.
    std::vector<std::string> take()
    {
        std::vector<std::string> out;
        char buf[4096];
        ssize_t n;
        while (socket_ >= 0 && (n = recv(socket_, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            out.emplace_back(buf, static_cast<size_t>(n));
        return out;
    }

private:
    int socket_ = -1;
};

// Skips where no private mount namespace can be made; fails where it is not as asked.
#define ATK_REQUIRE_PRIVATE_MOUNTS(guard)                        \
    do {                                                         \
        if (!(guard).problem().empty())                          \
            GTEST_SKIP() << (guard).problem();                   \
        ASSERT_TRUE((guard).failure().empty()) << (guard).failure(); \
    } while (0)

// The stored server password of NODE1 for SERVER1, and two other nodes.
inline const char oldPassword[] = "OLDPASSWORD1";
inline Bytes passwordFile(size_t others = 2)
{
    std::vector<pwfix::Record> recs;
    recs.push_back(pwfix::v3(0, "SERVER1", "NODE1", oldPassword));
    for (size_t i = 0; i < others; i++)
        recs.push_back(pwfix::v3(0, "SERVER" + std::to_string(i % 7), "N" + std::to_string(i), "PW" + std::to_string(i)));
    return pwfix::file(recs);
}

// The stored password of (server, node) in a file's bytes, "" when none or damaged.
inline std::string storedPassword(const Bytes &file, const std::string &server = "SERVER1",
                                  const std::string &node = "NODE1")
{
    std::vector<pwfix::Record> recs;
    if (!pwfix::parse(file, recs))
        return "";
    for (const pwfix::Record &r : recs)
        if (r.type == 0 && r.f[1] == server && r.f[2] == node)
            return pwfix::dec(pwfix::keyOf(node), r.f[4]);
    return "";
}

// The records of a file other than (server, node), for showing that a rewrite kept them.
inline std::vector<Bytes> otherRecords(const Bytes &file, const std::string &node = "NODE1")
{
    std::vector<pwfix::Record> recs;
    std::vector<Bytes> out;
    if (!pwfix::parse(file, recs))
        return {"damaged"};
    for (const pwfix::Record &r : recs)
        if (r.f[2] != node)
            out.push_back(r.bytes());
    return out;
}

// The command line of a well-formed call for the install's catalogs.
inline std::vector<std::string> agentArgs(const std::string &pwDir, char op)
{
    return kelts::agentArgs(pwDir, install().catalogs, std::string(1, op));
}

// A call of the installed agent by nobody; standard output and error are
// caught together below the install root.
struct Call : AgentCall {
    Call()
    {
        program = install().agent;
        captureDir = install().root;
        switchUser = true;
    }
};

using Result = AgentResult;

// Starts the agent, sends input, closes the pipe, collects everything.
inline Result run(const Call &c, const Bytes &input = "") { return runAgent(c, input); }

inline Bytes u64(uint64_t v) { return Bytes(reinterpret_cast<const char *>(&v), sizeof v); }
inline Bytes i32(int32_t v) { return Bytes(reinterpret_cast<const char *>(&v), sizeof v); }

// Operation 'C' with the passwords sent as text: what the agent sent.
struct Generated {
    Bytes oldPw, newPw;
    bool complete = false;
};
inline Generated receivePasswords(Agent &a)
{
    Generated g;
    if (!a.send(Bytes("\x00\x00\x00", 3)))   // code-set byte, encipher flag 0, key length 0
        return g;
    Bytes n = a.receive(8);
    if (n.size() != 8)
        return g;
    uint64_t len;
    memcpy(&len, n.data(), 8);
    g.oldPw = a.receive(len);
    n = a.receive(8);
    if (g.oldPw.size() != len || n.size() != 8)
        return g;
    memcpy(&len, n.data(), 8);
    g.newPw = a.receive(len);
    g.complete = g.newPw.size() == len && len > 0;
    return g;
}

// A whole 'C' exchange ending with the given confirmation.
struct ChangeResult {
    int status = -1;
    Generated pw;
    std::string printed;
};
inline ChangeResult change(const Call &c, int32_t confirmation = 67)
{
    ChangeResult r;
    Agent a;
    if (!a.start(c)) {
        ADD_FAILURE() << "cannot start the agent";
        return r;
    }
    r.pw = receivePasswords(a);
    if (r.pw.complete)
        (void)a.send(i32(confirmation));
    r.status = a.finish();
    r.printed = a.printed();
    return r;
}

} // namespace atk
