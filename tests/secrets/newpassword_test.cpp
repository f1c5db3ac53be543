// The built agent generates a new password ('C') for a caller that takes it
// as text. Afterwards the password may be nowhere but in ZAR.PWD, and there
// only enciphered: not on the agent's standard output or error, not in any
// other file of the password directory, the catalog directory, the current
// directory or anything written below /tmp during the run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/rand.h>

#include <ctime>
#include <string>
#include <vector>

#include "kelvlx/kelclient.hpp"
#include "store/dspswd.h"
#include "tests/secrets/secretscan.h"

namespace {

using secretscan::Bytes;
using secretscan::Secret;
using secretscan::WindowSet;

// The stored password is made afresh for each run, so that no other file (a
// compiler's temporary output of this source, say) can hold it by chance.
Bytes freshPassword()
{
    static const char alphabet[] = "abcdefghijkmnopqrstuvwxyz0123456789-";
    unsigned char r[24];
    if (RAND_bytes(r, sizeof r) != 1)
        return Bytes();
    Bytes pw = "Old-";
    for (unsigned char c : r)
        pw += alphabet[c % (sizeof alphabet - 1)];
    return pw;
}

char nodeName[] = "NODE1";
char serverName[] = "SERVER1";

struct AgentRun {
    const char *name;
    int cipherType;
    int exitLogging;
    int32_t confirmation;
};

void PrintTo(const AgentRun &r, std::ostream *os) { *os << r.name; }

class NewPassword : public ::testing::TestWithParam<AgentRun> {
protected:
    void SetUp() override
    {
        for (std::string *d : {&pwDir, &outDir}) {
            char tmpl[] = "/tmp/kelsecrets-XXXXXX";
            ASSERT_NE(mkdtemp(tmpl), nullptr);
            *d = tmpl;
        }
        oldPassword = freshPassword();
        ASSERT_FALSE(oldPassword.empty());
        pswdFileInfo info{};
        const std::string path = pwDir + "/ZAR.PWD";
        const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = nodeName, .server = serverName};
        ASSERT_EQ(dsSetPassword(rq, PSWD_TYPE_SERVER, "", nullptr, oldPassword.c_str()), 0);
    }
    void TearDown() override
    {
        for (const std::string &d : {pwDir, outDir})
            (void)!system(("rm -rf '" + d + "'").c_str());
    }

    // The password stored now, read with a record of its own.
    Bytes storedNow()
    {
        pswdFileInfo info{};
        char pw[PSWD_FIELD_BUF] = {};
        char node[PSWD_FIELD_BUF] = "NODE1";
        const std::string path = pwDir + "/ZAR.PWD";
        const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = node, .server = serverName};
        if (dsGetPassword(rq, PSWD_TYPE_SERVER, nullptr, nullptr, pw, nullptr, 0) != 0)
            return Bytes();
        return pw;
    }

    std::string pwDir, outDir;
    Bytes oldPassword;
};

TEST_P(NewPassword, AppearsNowhereButInThePasswordFile)
{
    const AgentRun &r = GetParam();
    const time_t start = time(nullptr) - 1;
    const std::string outPath = outDir + "/stdout", errPath = outDir + "/stderr";
    int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(outFd, 0);
    ASSERT_GE(errFd, 0);

    kelvlx::Config cfg = kelvlx::defaultConfig();
    cfg.passwordDir = pwDir;
    cfg.node = nodeName;
    cfg.server = serverName;
    cfg.cipherType = r.cipherType;
    cfg.exitLogging = r.exitLogging;
    cfg.stdoutFd = outFd;
    cfg.stderrFd = errFd;
    kelvlx::Passwords sent;
    kelvlx::Status st;
    int err = kelvlx::generatePassword(
        cfg, 0, 2, nullptr, 0, [&](const kelvlx::Passwords &) { return r.confirmation; }, &sent, &st);
    close(outFd);
    close(errFd);
    ASSERT_EQ(err, KC_OK) << kelvlx::describe(st);
    ASSERT_EQ(st.exitStatus, 0);
    ASSERT_EQ(sent.newLen, 63u);
    const Bytes newPw(sent.newPw.chars(), sent.newLen);
    const std::vector<Secret> secrets = {{"new password", newPw}, {"old password", oldPassword}};
    const WindowSet windows(secrets);
    auto shown = [&](const Bytes &b) {
        return windows.names(secrets, windows.scan(reinterpret_cast<const unsigned char *>(b.data()), b.size()));
    };

    // Neither password reaches standard output or error.
    EXPECT_EQ(shown(secretscan::readFile(outPath)), std::vector<std::string>{}) << "standard output";
    EXPECT_EQ(shown(secretscan::readFile(errPath)), std::vector<std::string>{}) << "standard error";

    // The file keeps the stored password enciphered only.
    const std::string pwFile = pwDir + "/ZAR.PWD";
    EXPECT_EQ(shown(secretscan::readFile(pwFile)), std::vector<std::string>{}) << "ZAR.PWD in clear";
    EXPECT_EQ(storedNow(), r.confirmation == KC_CONFIRM ? newPw : oldPassword);

    std::vector<std::string> files;
    secretscan::filesBelow(pwDir, 4, 0, &files);
    secretscan::filesBelow(KEL_BINARY_DIR "/catalogs", 4, 0, &files);
    secretscan::filesBelow(".", 0, start, &files);
    secretscan::filesBelow("/tmp", 3, start, &files);
    for (const std::string &f : files) {
        if (f == pwFile || f == outPath || f == errPath)
            continue;
        EXPECT_EQ(shown(secretscan::readFile(f)), std::vector<std::string>{}) << f;
    }
}

INSTANTIATE_TEST_SUITE_P(Agent, NewPassword,
                         ::testing::Values(AgentRun{"StoredWithDes", 1, 0, KC_CONFIRM},
                                           AgentRun{"StoredWithExitLogging", 0, 1, KC_CONFIRM},
                                           AgentRun{"Refused", 1, 1, KC_REFUSE}),
                         [](const ::testing::TestParamInfo<AgentRun> &i) { return std::string(i.param.name); });

}  // namespace
