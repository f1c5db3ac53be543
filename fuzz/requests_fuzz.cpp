// The request handlers on hostile pipe input. Byte 0 chooses the handler (low
// two bits: encipher, decipher, key request, new password), the cipher type
// (next two bits: 0 best, 1 DES, 2 AES, 3 not a type), whether the password
// file is missing (bit 4) and whether the caller has closed the output pipe
// before the agent answers (bit 5); the rest is what the caller writes to the
// input pipe (for the key request: the 16 bytes main reads). The password file
// is the same fixed one for every run that has one.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "agent/kelvlx.h"
#include "base/testflags.h"
#include "crypto/oxlcrypt.h"
#include "diag/trace.h"
#include "fuzz/fuzzenv.h"
#include "store/dspswd.h"

namespace {

const size_t pipeMax = 4096;   // all of it fits the pipe before the handler reads
const char node[] = "NODE1";
const char server[] = "SERVER1";

struct Fixture {
    std::string path = fuzzenv::scratchDir() + "/ZAR.PWD";
    std::string bytes;
    Fixture()
    {
        signal(SIGPIPE, SIG_IGN);   // as the agent's start-up does: a write to a closed pipe fails
        TR_GENERAL = TR_ENCRYPT = TR_PASSWORD = 1;   // every trace line is formatted; none is written anywhere
        // AES comes from the crypto library of this build tree.
        TEST_LOCALOXL.set = 1;
        oxlSetLocalDirectory(KEL_FUZZ_OXL_DIR);
        pswdFileInfo info{};
        const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = node, .server = server};
        // A server password with lower-case letters and two generations of
        // encryption keys (the first becomes the saved pair).
        if (dsSetPassword(rq, PSWD_TYPE_SERVER, "", nullptr, "Stored-pw.1") != 0 ||
            dsSetPassword(rq, PSWD_TYPE_ENCRKEY, "first data key", nullptr, "") != 0 ||
            dsSetPassword(rq, PSWD_TYPE_ENCRKEY, "second data key", nullptr, "") != 0)
            fuzzenv::check(false, "the fixed password file cannot be made");
        bytes = fuzzenv::readFile(path);
    }
};

std::string drain(int fd)
{
    std::string s;
    char buf[512];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

uint64_t u64At(const std::string &s, size_t off)
{
    uint64_t v = 0;
    if (s.size() >= off + sizeof v)
        memcpy(&v, s.data() + off, sizeof v);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Fixture fx;
    if (size == 0)
        return 0;
    const unsigned handler = data[0] & 3;
    const unsigned char cipherType = (data[0] >> 2) & 3;
    const bool noFile = (data[0] & 0x10) != 0, outputClosed = (data[0] & 0x20) != 0;
    const uint8_t *in = data + 1;
    size_t inLen = size - 1 < pipeMax ? size - 1 : pipeMax;
    if (noFile)
        unlink(fx.path.c_str());
    else
        fuzzenv::writeFile(fx.path, reinterpret_cast<const uint8_t *>(fx.bytes.data()), fx.bytes.size());

    int toAgent[2], fromAgent[2];
    if (pipe2(toAgent, O_CLOEXEC) != 0 || pipe2(fromAgent, O_CLOEXEC) != 0)
        abort();
    unsigned char request16[16] = {};
    if (handler == 2) {
        memcpy(request16, in, inLen < 16 ? inLen : 16);
    } else if (inLen > 0 && write(toAgent[1], in, inLen) != static_cast<ssize_t>(inLen)) {
        abort();
    }
    close(toAgent[1]);
    if (outputClosed)
        close(fromAgent[0]);

    pswdFileInfo info{};
    const pswdRequest rq{.fileInfo = &info,
                         .path = fx.path.c_str(),
                         .node = node,
                         .server = server,
                         .operation = handler == 1 ? 'B' : handler == 3 ? 'C' : 'A',
                         .cipherType = cipherType,
                         .inFd = toAgent[0],
                         .outFd = fromAgent[1]};
    int rc = 0;
    switch (handler) {
    case 0: rc = EncryptBuff(rq); break;
    case 1: rc = DecryptBuff(rq); break;
    case 2: rc = getEncryptKey(rq, request16); break;
    default: {
        sigset_t mask;   // a confirmed 'C' leaves every signal held, as the agent exits then
        pthread_sigmask(SIG_SETMASK, nullptr, &mask);
        rc = GeneratePassword(rq);
        pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        break;
    }
    }
    close(toAgent[0]);
    close(fromAgent[1]);
    const std::string answer = outputClosed ? std::string() : drain(fromAgent[0]);
    if (!outputClosed)
        close(fromAgent[0]);

    switch (handler) {
    case 0:
    case 1:
        fuzzenv::check(!noFile || rc != 0, "a request without a password file succeeded");
        fuzzenv::check(rc == 0 || answer.empty(), "a failed request wrote an answer");
        fuzzenv::check(answer.size() <= 80, "an answer longer than 80 bytes");
        if (rc == 0 && cipherType == 1 && handler == 0)
            fuzzenv::check(answer.size() == (inLen - 1 < 64 ? inLen - 1 : 64), "DES answer of another length");
        break;
    case 2:
        fuzzenv::check(answer.size() == (rc == 0 ? PSWD_KEYBLOCK_SIZE : 0), "key block of the wrong size");
        break;
    default: {
        // Three header bytes and the key; the confirmation follows them.
        size_t keyLen = inLen >= 3 ? in[2] : 0;
        int32_t confirm = 0;
        bool confirmed = inLen >= 3 + keyLen + 4 && keyLen <= 16 &&
                         (memcpy(&confirm, in + 3 + keyLen, 4), confirm == 67);
        if (!confirmed || outputClosed) {
            bool missing = false;
            const std::string after = fuzzenv::readFile(fx.path, &missing);
            fuzzenv::check(missing == noFile && (noFile || after == fx.bytes),
                           "a password was stored that the caller did not confirm or never received");
        }
        if (rc == 0) {
            uint64_t oldLen = u64At(answer, 0);
            fuzzenv::check(oldLen <= 80 && answer.size() > 8 + oldLen, "old password of a bad length");
            uint64_t newLen = u64At(answer, 8 + oldLen);
            fuzzenv::check(answer.size() == 16 + oldLen + newLen, "answer is not two passwords");
        }
        break;
    }
    }
    return 0;
}
