// After a request handler returns, no copy of a password, a key or the data
// it exchanged may be left on its stack. Each handler runs on a thread whose
// stack is a fresh mapping of our own; once the thread has ended, the whole
// mapping (every frame the handler and everything it called ever used) is
// searched for any 8 bytes in a row of each secret.
//
// What this proves: no secret is left in the memory that served as stack for
// the handler and its callees. It says nothing about the heap, registers or
// the caller's own frames, and it relies on stack frames really living on that
// stack (a positive control shows that they do in this build).
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "agent/kelvlx.h"
#include "base/testflags.h"
#include "crypto/crypto.h"
#include "crypto/oxlcrypt.h"
#include "diag/cvt2srv.h"
#include "store/dspswd.h"
#include "tests/secrets/secretscan.h"

namespace {
using secretscan::Bytes;
using secretscan::Secret;
using secretscan::WindowSet;

// Runs a function on a thread with a freshly mapped stack and keeps an image
// of that stack as it is right after the function has returned. The image is
// taken on the thread itself: when a thread ends, the address sanitizer hands
// its stack pages back to the system, which zeroes them.
class OwnStack {
public:
    static constexpr size_t size = 8u << 20;
    OwnStack()
    {
        mem_ = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    }
    ~OwnStack()
    {
        if (mem_ != MAP_FAILED)
            munmap(mem_, size);
    }
    OwnStack(const OwnStack &) = delete;
    OwnStack &operator=(const OwnStack &) = delete;

    bool run(std::function<void()> fn)
    {
        if (mem_ == MAP_FAILED)
            return false;
        fn_ = std::move(fn);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstack(&attr, mem_, size);
        pthread_t t;
        int rc = pthread_create(&t, &attr, &OwnStack::entry, this);
        pthread_attr_destroy(&attr);
        return rc == 0 && pthread_join(t, nullptr) == 0 && image_.size() == size;
    }
    // Bytes below the gap that are not zero: the function ran down there.
    size_t usedBelowGap() const
    {
        return static_cast<size_t>(std::count_if(image_.begin(), image_.begin() + static_cast<long>(gapOffset_),
                                                 [](unsigned char c) { return c != 0; }));
    }
    // Names of the secrets left anywhere in the stack.
    std::vector<std::string> leftovers(const std::vector<Secret> &secrets) const
    {
        WindowSet w(secrets);
        return w.names(secrets, w.scan(image_.data(), image_.size()));
    }

private:
    static void *entry(void *self)
    {
        OwnStack *st = static_cast<OwnStack *>(self);
        runBelowGap(st->fn_, st);
        st->keepImage();
        return nullptr;
    }
    // The function runs below a large gap, so that taking the image afterwards
    // (which runs above the gap) cannot write over the frames it left.
    __attribute__((noinline)) static void runBelowGap(std::function<void()> &fn, OwnStack *st)
    {
        char gap[gapSize];   // not alloca: the address sanitizer clears below one when it returns
        asm volatile("" : : "r"(gap) : "memory");   // the gap is kept
        st->gapOffset_ = static_cast<size_t>(gap - static_cast<char *>(st->mem_));
        fn();
        asm volatile("" : : "r"(gap) : "memory");   // ... until the function has returned
    }
    // Byte by byte and outside the address sanitizer's view: no frame owns this memory now.
    __attribute__((no_sanitize("address"), noinline)) void keepImage()
    {
        image_.assign(size, 0);
        const volatile unsigned char *p = static_cast<const unsigned char *>(mem_);
        for (size_t i = 0; i < size; i++)
            image_[i] = p[i];
    }
    static constexpr size_t gapSize = 1u << 20;

    void *mem_ = MAP_FAILED;
    std::function<void()> fn_;
    std::vector<unsigned char> image_;
    size_t gapOffset_ = 0;
};

// Leaves a copy of the bytes in its own frame, as a handler that forgot to
// zero a buffer would.
__attribute__((noinline)) void forgetToZero(const Bytes &b)
{
    volatile char buf[128];
    for (size_t i = 0; i < b.size() && i < sizeof buf; i++)
        buf[i] = b[i];
}

TEST(OwnStackScan, FindsWhatAFunctionLeftOnItsStack)
{
    const Bytes secret = "control secret 5Q-77-zx";
    OwnStack st;
    ASSERT_TRUE(st.run([&] { forgetToZero(secret); }));
    EXPECT_GT(st.usedBelowGap(), secret.size());
    EXPECT_EQ(st.leftovers({{"control", secret}, {"absent", "never written 0815"}}),
              std::vector<std::string>{"control"});
}

// ---------------------------------------------------------------- handlers


const char storedPassword[] = "Stack-Secret-Pw-4821-kelvlx";
const char currentKey[] = "current-data-key-9931";
const char earlierKey[] = "earlier-data-key-2277";
const Bytes requestData = "exchanged challenge 7Q2X-99-abcdefghij-klmnopqrst-UVWX";
const char nodeName[] = "NODE1";
const char serverName[] = "SERVER1";

Bytes upper(Bytes s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(toupper(c)); });
    return s;
}

// The key a cipher of the type folds from the text; empty when there is no such cipher.
Bytes foldedKey(unsigned char type, const Bytes &text)
{
    int rc = 0;
    Crypto *c = new_Crypto(type, &rc);
    if (c == nullptr)
        return Bytes();
    unsigned char key[16] = {};
    c->utEncKey(reinterpret_cast<const unsigned char *>(text.data()), static_cast<unsigned>(text.size()), key);
    delete_Crypto(c);
    return Bytes(reinterpret_cast<char *>(key), type == CRYPTO_TYPE_AES ? 16 : 8);
}

// The text in the server's code set.
Bytes serverText(int codeSet, Bytes s)
{
    Cvt2ServerCS(codeSet, reinterpret_cast<unsigned char *>(s.data()), s.size());
    return s;
}

// Deciphers what 'C' sent enciphered with the caller's key.
Bytes decipherWith(unsigned char type, const Bytes &key, const Bytes &in)
{
    int rc = 0;
    Crypto *c = new_Crypto(type, &rc);
    if (c == nullptr || in.empty())
        return Bytes();
    unsigned char k[16] = {};
    memcpy(k, key.data(), std::min<size_t>(key.size(), sizeof k));
    std::vector<unsigned char> out(in.size() + 32);
    unsigned int len = static_cast<unsigned>(in.size());
    rc = c->cipherData(0, k, reinterpret_cast<const unsigned char *>(in.data()), len, out.data(), &len);
    delete_Crypto(c);
    return rc == 0 ? Bytes(reinterpret_cast<char *>(out.data()), len) : Bytes();
}

// The two passwords of a 'C' answer: u64 length and bytes, twice.
std::vector<Bytes> passwordsOf(const Bytes &answer)
{
    std::vector<Bytes> pws;
    for (size_t off = 0; off + 8 <= answer.size();) {
        uint64_t len;
        memcpy(&len, answer.data() + off, 8);
        if (len > answer.size() - off - 8)
            break;
        pws.push_back(answer.substr(off + 8, len));
        off += 8 + len;
    }
    return pws;
}

Bytes i32(int32_t v) { return Bytes(reinterpret_cast<const char *>(&v), sizeof v); }

enum class Handler { Encrypt, Decrypt, KeyRequest, Generate };

struct Case {
    const char *name;
    Handler handler;
    unsigned char cipher;
    Bytes input;   // what the caller writes to the input pipe
};

// Only the name of a case is ever printed: its bytes hold keys.
void PrintTo(const Case &c, std::ostream *os) { *os << c.name; }

class HandlerStack : public ::testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite()
    {
        TEST_LOCALOXL.set = 1;
        oxlSetLocalDirectory(KEL_BINARY_DIR);
    }
    static void TearDownTestSuite()
    {
        oxlGlobalCleanUp();
        TEST_LOCALOXL.set = 0;
        oxlSetLocalDirectory("");
    }
    void SetUp() override
    {
        char tmpl[] = "/tmp/kelsecrets-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/ZAR.PWD";
        pswdFileInfo info{};
        const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = nodeName, .server = serverName};
        ASSERT_EQ(dsSetPassword(rq, PSWD_TYPE_SERVER, "", nullptr, storedPassword), 0);
        for (const char *key : {earlierKey, currentKey})
            ASSERT_EQ(dsSetPassword(rq, PSWD_TYPE_ENCRKEY, key, nullptr, ""), 0);
    }
    void TearDown() override
    {
        unlink(path.c_str());
        unlink((path + ".lock").c_str());
        rmdir(dir.c_str());
    }

    // The handler of the case on its own stack; the answer it wrote comes back.
    int runHandler(const Case &c, OwnStack &st, pswdFileInfo *info, Bytes *answer)
    {
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            return -1000;
        if (!c.input.empty() && write(in[1], c.input.data(), c.input.size()) != static_cast<ssize_t>(c.input.size()))
            return -1000;
        close(in[1]);
        unsigned char request16[16] = {'r', 'e', 'q'};
        const pswdRequest rq{.fileInfo = info,
                             .path = path.c_str(),
                             .node = nodeName,
                             .server = serverName,
                             .cipherType = c.cipher,
                             .inFd = in[0],
                             .outFd = out[1]};
        int rc = -1000;
        bool ran = st.run([&] {
            switch (c.handler) {
            case Handler::Encrypt:
                rc = EncryptBuff(rq);
                break;
            case Handler::Decrypt:
                rc = DecryptBuff(rq);
                break;
            case Handler::KeyRequest:
                rc = getEncryptKey(rq, request16);
                break;
            case Handler::Generate:
                rc = GeneratePassword(rq);
                break;
            }
        });
        close(in[0]);
        close(out[1]);
        char buf[512];
        ssize_t n;
        while ((n = read(out[0], buf, sizeof buf)) > 0)
            answer->append(buf, static_cast<size_t>(n));
        close(out[0]);
        return ran ? rc : -1000;
    }

    // The password stored now, read with a record of its own.
    Bytes storedNow()
    {
        pswdFileInfo info{};
        char pw[PSWD_FIELD_BUF] = {};
        char node[PSWD_FIELD_BUF] = "NODE1";
        const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = node, .server = serverName};
        if (dsGetPassword(rq, PSWD_TYPE_SERVER, nullptr, nullptr, pw, nullptr, 0) != 0)
            return Bytes();
        return Bytes(pw);
    }

    std::string dir, path;
};

TEST_P(HandlerStack, LeavesNoSecretBehind)
{
    const Case &c = GetParam();
    if (c.cipher == CRYPTO_TYPE_AES && foldedKey(CRYPTO_TYPE_AES, "x").empty())
        GTEST_SKIP() << "the crypto library of this build cannot be loaded";
    pswdFileInfo info{};
    OwnStack st;
    Bytes answer;
    int rc = runHandler(c, st, &info, &answer);
    ASSERT_EQ(rc, 0) << "the request must succeed for the scan to mean anything";
    ASSERT_FALSE(answer.empty());
    // The handler's frames were on the searched stack.
    ASSERT_GT(st.usedBelowGap(), 256u);

    const Bytes pw = storedPassword;
    const int codeSet = c.handler == Handler::KeyRequest ? 0 : static_cast<unsigned char>(c.input[0]);
    const Bytes text = serverText(codeSet, upper(pw));
    std::vector<Secret> secrets = {
        {"stored password", pw},
        {"stored password upper-cased", upper(pw)},
        {"password in the server's code set", text},
        {"DES key of the password", foldedKey(CRYPTO_TYPE_DES, text)},
        {"node key", Bytes(reinterpret_cast<char *>(info.cryptoKey), sizeof info.cryptoKey)},
        {"answer", answer},
    };
    Bytes aesKey = foldedKey(CRYPTO_TYPE_AES, text);
    if (!aesKey.empty())
        secrets.push_back({"AES key of the password", aesKey});
    switch (c.handler) {
    case Handler::Encrypt:
    case Handler::Decrypt:
        secrets.push_back({"request data", c.input.substr(1)});
        break;
    case Handler::KeyRequest:
        secrets.push_back({"current key text", currentKey});
        secrets.push_back({"earlier key text", earlierKey});
        break;
    case Handler::Generate: {
        const bool enciphered = c.input[1] == 1;
        const size_t keyLen = static_cast<unsigned char>(c.input[2]);
        const Bytes key = c.input.substr(3, keyLen);
        if (keyLen > 0)
            secrets.push_back({"caller's key", key});
        std::vector<Bytes> sent = passwordsOf(answer);
        ASSERT_EQ(sent.size(), 2u);
        Bytes sentNew = enciphered ? decipherWith(c.cipher, key, sent[1]) : sent[1];
        ASSERT_EQ(sentNew.size(), 63u);
        secrets.push_back({"new password", sentNew});
        Bytes now = storedNow();
        ASSERT_FALSE(now.empty());
        if (now != pw)
            secrets.push_back({"new password as stored", now});
        break;
    }
    }
    EXPECT_EQ(st.leftovers(secrets), std::vector<std::string>{});
}

const Bytes data = requestData;
const Bytes key16 = "caller-key-16-by";

INSTANTIATE_TEST_SUITE_P(
    Requests, HandlerStack,
    ::testing::Values(Case{"EncipherDes", Handler::Encrypt, CRYPTO_TYPE_DES, Bytes(1, '\0') + data},
                      Case{"EncipherAes", Handler::Encrypt, CRYPTO_TYPE_AES, Bytes(1, '\0') + data},
                      Case{"EncipherEbcdic", Handler::Encrypt, CRYPTO_TYPE_DES, Bytes(1, 22) + data},
                      Case{"DecipherDes", Handler::Decrypt, CRYPTO_TYPE_DES, Bytes(1, '\0') + data.substr(0, 24)},
                      Case{"KeyRequest", Handler::KeyRequest, CRYPTO_TYPE_DES, Bytes()},
                      Case{"NewPasswordAsText", Handler::Generate, CRYPTO_TYPE_DES,
                           Bytes(1, '\0') + Bytes(1, 2) + Bytes(1, '\0') + i32(67)},
                      Case{"NewPasswordEnciphered", Handler::Generate, CRYPTO_TYPE_AES,
                           Bytes(1, '\0') + Bytes(1, 1) + Bytes(1, 16) + key16 + i32(67)},
                      Case{"NewPasswordRefused", Handler::Generate, CRYPTO_TYPE_DES,
                           Bytes(1, '\0') + Bytes(1, 1) + Bytes(1, 8) + key16.substr(0, 8) + i32(66)}),
    [](const ::testing::TestParamInfo<Case> &i) { return std::string(i.param.name); });

}  // namespace
