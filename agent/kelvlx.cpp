// The agent's request handlers. The bytes each one reads and writes are
// described in docs/pipe-protocol.md. Every buffer that holds a password, a
// key, request or answer data is a SecretBuf, zeroed when the handler returns
// whichever way it does.
#include "agent/kelvlx.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "crypto/crypto.h"
#include "base/secure.h"
#include "diag/cvt2srv.h"
#include "base/strutil.h"
#include "base/fio.h"
#include "store/fioreplace.h"
#include "store/dspswd.h"
#include "store/pswdf.h"
#include "diag/trace.h"
#include "kelvlx/kelcontract.h"

static const char trSrcFile[] = "kelvlx";

namespace {

constexpr int RC_PIPE = KEL_ST_PIPE;            // a pipe read or write incomplete
constexpr int RC_NO_PASSWORD = KEL_ST_NO_PASSWORD;     // no usable stored password
constexpr int RC_BAD_PASSWORD_LEN = KEL_ST_BAD_PASSWORD_LENGTH;

constexpr size_t VLX_DATA_MAX = KEL_MAX_DATA;       // request data of 'A' and 'B'
constexpr size_t VLX_PSWD_BUF = 71;       // stored password of 'A' and 'B', with its NUL
constexpr size_t VLX_KEY_BUF = 16;        // cipher key (DES uses 8 bytes)
constexpr size_t VLX_ANSWER_BUF = KEL_MAX_ANSWER;   // 64 bytes enciphered with AES and its padding
constexpr size_t VLX_C_PSWD_BUF = 81;     // a password of 'C', with its NUL
constexpr size_t VLX_C_OUT_BUF = VLX_C_PSWD_BUF + 16;   // 80 bytes enciphered with AES and its padding
constexpr size_t VLX_C_NEW_MAX = 64;      // longest generated password sent
constexpr unsigned char VLX_KEY_LEN_MAX = KEL_MAX_KEY;
constexpr size_t VLX_REQ_BYTES = KEL_KEY_REQUEST;   // sent with the key request
constexpr int32_t VLX_CONFIRM = KEL_CONFIRM;       // 'C': store the new password

// True when the pipe took all n bytes. A caller that closed its end makes the
// write fail (SIGPIPE is ignored by main), never ends the agent.
bool writeAll(int fd, const void *p, size_t n) { return fioWriteFull(fd, p, n) == 0; }

// Upper-cases text into out (outSize bytes with the NUL) and converts it to
// the server's code set; *len is the length after upper-casing, which may
// differ from the input's in a multibyte code set. 168 when it does not fit.
template <size_t N>
int prepareServerText(unsigned char codeSet, const char *text, SecretBuf<N> *out, unsigned int *len)
{
    if (StrUpperBounded(text, out->chars(), N) != 0) {
        out->clear();
        return RC_NO_PASSWORD;
    }
    *len = static_cast<unsigned int>(strnlen(out->chars(), N - 1));
    Cvt2ServerCS(codeSet, out->data(), *len);
    return 0;
}

// 'A' and 'B' with flag 0: direction 1 enciphers, 0 deciphers.
int cipherRequest(unsigned char direction, const pswdRequest &rq)
{
    const int inFd = rq.inFd;
    const unsigned char cipherType = rq.cipherType;
    unsigned char codeSet = 0;
    if (fioReadOnce(inFd, &codeSet, 1) != 1)
        return RC_PIPE;
    // The caller writes the data in one piece; one read takes what came.
    SecretBuf<VLX_DATA_MAX> data;
    ssize_t got = fioReadOnce(inFd, data.data(), data.size());
    if (got < 0)
        return RC_PIPE;
    unsigned int len = static_cast<unsigned int>(got);
    if (TR_GENERAL)
        trPrintf(trSrcFile, __LINE__, "%s: %u data bytes, code set %u, cipher type %u\n",
                 direction ? "EncryptBuff" : "DecryptBuff", len, codeSet, cipherType);

    SecretBuf<VLX_PSWD_BUF> pswd;
    int rc = dsGetPassword(rq, PSWD_TYPE_SERVER, nullptr, nullptr, pswd.chars(), nullptr, 0);
    if (rc != 0)
        return rc;

    CryptoPtr crypto(new_Crypto(cipherType, &rc));
    if (!crypto)
        return rc;

    SecretBuf<VLX_PSWD_BUF> serverText;
    unsigned int pswdLen = 0;
    rc = prepareServerText(codeSet, pswd.chars(), &serverText, &pswdLen);
    pswd.clear();
    if (rc != 0)
        return rc;

    // A password that cannot be folded leaves no key: answer nothing.
    SecretBuf<VLX_KEY_BUF> key;
    rc = crypto->utEncKey(serverText.data(), pswdLen, key.data());
    serverText.clear();
    if (rc != 0)
        return rc;

    SecretBuf<VLX_ANSWER_BUF> answer;
    rc = crypto->cipherData(direction, key.data(), data.data(), len, answer.data(), &len);
    crypto.reset();
    data.clear();
    key.clear();
    if (rc != 0)
        return rc;
    if (len > answer.size())
        return RC_INVALID_PARM;   // no cipher makes more of 64 bytes; never send past the buffer
    if (!writeAll(rq.outFd, answer.data(), len))
        return RC_PIPE;
    return 0;
}

} // namespace

int EncryptBuff(const pswdRequest &rq)
{
    return cipherRequest(CRYPTO_ENCRYPT, rq);
}

int DecryptBuff(const pswdRequest &rq)
{
    return cipherRequest(CRYPTO_DECRYPT, rq);
}

// Nothing more is read from the input pipe.
int getEncryptKey(const pswdRequest &rq, unsigned char *reqBytes)
{
    SecretBuf<PSWD_KEYBLOCK_SIZE> keyBlock;
    SecretBuf<PSWD_KEYBLOCK_SIZE> pswd;   // handed to the store, never sent
    int rc = dsGetPassword(rq, PSWD_TYPE_ENCRKEY, keyBlock.chars(), reqBytes, pswd.chars(), nullptr, 0);
    kelZero(reqBytes, VLX_REQ_BYTES);
    if (TR_GENERAL)
        trPrintf(trSrcFile, __LINE__, "getEncryptKey: key block read with rc %d\n", rc);
    if (rc == 0 && !writeAll(rq.outFd, keyBlock.data(), keyBlock.size()))
        rc = RC_PIPE;
    return rc;
}

namespace {

// True when part of the answer can never reach the caller: bytes still lie
// unread in the output pipe and the caller has closed its end. Such a caller
// stopped reading before the new password; storing that password on its
// confirmation would leave the node with a password nobody can give its
// server. (A caller that still holds its end may read after confirming.)
bool answerLost(int outFd)
{
    int unread = 0;
    if (ioctl(outFd, FIONREAD, &unread) != 0 || unread <= 0)
        return false;
    struct pollfd p = {outFd, POLLOUT, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLERR) != 0;
}

// From the confirmation on, the store alone decides the outcome: every signal
// that can be held waits, and is never acted on, since the agent ends with the
// store's status straight after. The raw call: glibc's wrappers leave out its
// two reserved real-time signals, whose default action would end the run.
void holdSignalsForGood()
{
    uint64_t all = ~uint64_t{0};   // the kernel's signal set: one bit a signal, 64 signals
    (void)syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, nullptr, sizeof all);   // cannot fail with a valid set
}

// SIGKILL and SIGSTOP cannot be held: from the confirmation on the real user
// id is root until the exit, so the caller can send neither. (The password
// rules still tell a set-user-id run by the kernel's mark of its start.)
void keepCallerOutUntilExit()
{
    uid_t caller = 0;
    if (fioRealIdToRoot(&caller) < 0 && TR_GENERAL)
        trPrintf(trSrcFile, __LINE__, "GeneratePassword: the real user id stays the caller's, errno = %d\n", errno);
}

// Sends one password of 'C': its length as a native 8-byte integer, then its bytes.
bool sendPassword(int outFd, const unsigned char *p, unsigned int len)
{
    uint64_t n = len;
    return writeAll(outFd, &n, sizeof n) && writeAll(outFd, p, len);
}

} // namespace

int GeneratePassword(const pswdRequest &rq, int *confirmed)
{
    const int inFd = rq.inFd, outFd = rq.outFd;
    unsigned char codeSet = 0, encipherFlag = 0, keyLen = 0;
    if (fioReadOnce(inFd, &codeSet, 1) != 1 || fioReadOnce(inFd, &encipherFlag, 1) != 1 ||
        fioReadOnce(inFd, &keyLen, 1) != 1 || keyLen > VLX_KEY_LEN_MAX)
        return RC_PIPE;
    SecretBuf<VLX_KEY_BUF> key;
    if (keyLen > 0 && fioReadOnce(inFd, key.data(), keyLen) != keyLen)
        return RC_PIPE;
    if (TR_GENERAL)
        trPrintf(trSrcFile, __LINE__, "GeneratePassword: code set %u, encipher flag %u, key length %u\n", codeSet,
                 encipherFlag, keyLen);

    // No stored password is no failure: the old password is then the empty
    // text. One that exists but cannot be read ends the request before
    // anything is sent: the caller cannot change its server's password with
    // an empty old one, so a new one must not be stored either.
    SecretBuf<VLX_C_PSWD_BUF> oldPw;
    int rc = dsGetPassword(rq, PSWD_TYPE_SERVER, nullptr, nullptr, oldPw.chars(), nullptr, 0);
    if (rc != 0) {
        if (rq.fileInfo == nullptr || rq.fileInfo->recordAbsent == 0) {
            if (TR_GENERAL)
                trPrintf(trSrcFile, __LINE__, "GeneratePassword: the stored password cannot be read (%d)\n", rc);
            return rc;
        }
        oldPw.clear();
    }
    const bool oldAbsent = rc != 0;
    // What the store would refuse whatever the confirmation is refused now,
    // before the caller can change its server's password to one never stored.
    rc = dsCheckPasswordStore(rq);
    if (rc != 0) {
        if (TR_GENERAL)
            trPrintf(trSrcFile, __LINE__, "GeneratePassword: the store would refuse the new password (%d); nothing "
                     "is sent\n", rc);
        return rc;
    }
    // The old password as stored: the new one replaces only that one.
    SecretBuf<VLX_C_PSWD_BUF> oldStored;
    memcpy(oldStored.data(), oldPw.data(), oldPw.size());

    SecretBuf<VLX_C_PSWD_BUF> newPw;
    rc = pswdFGeneratePswd(newPw.chars());
    if (rc != 0)
        return rc;
    // The clear copy is what the file keeps: the generated text as it was made.
    SecretBuf<VLX_C_PSWD_BUF> clearNew;
    const size_t clearLen = strnlen(newPw.chars(), newPw.size() - 1);
    memcpy(clearNew.data(), newPw.data(), clearLen);
    if (clearLen == 0 || clearLen > VLX_C_NEW_MAX)
        return RC_BAD_PASSWORD_LEN;

    SecretBuf<VLX_C_PSWD_BUF> oldText, newText;
    unsigned int oldLen = 0, newLen = 0;
    rc = prepareServerText(codeSet, oldPw.chars(), &oldText, &oldLen);
    if (rc == 0)
        rc = prepareServerText(codeSet, newPw.chars(), &newText, &newLen);
    oldPw.clear();
    newPw.clear();
    if (rc != 0)
        return rc;

    // What is sent: the texts, or their ciphertexts under the caller's key,
    // which is used as it is (no folding).
    SecretBuf<VLX_C_OUT_BUF> oldOut, newOut;
    if (encipherFlag == 1) {
        CryptoPtr crypto(new_Crypto(rq.cipherType, &rc));
        if (!crypto)
            return rc;
        rc = crypto->cipherData(CRYPTO_ENCRYPT, key.data(), oldText.data(), oldLen, oldOut.data(), &oldLen);
        if (rc == 0)
            rc = crypto->cipherData(CRYPTO_ENCRYPT, key.data(), newText.data(), newLen, newOut.data(), &newLen);
        if (rc != 0)
            return rc;
        if (oldLen > oldOut.size() || newLen > newOut.size())
            return RC_INVALID_PARM;   // never send past the buffers
    } else {
        memcpy(oldOut.data(), oldText.data(), oldLen);
        memcpy(newOut.data(), newText.data(), newLen);
    }
    oldText.clear();
    newText.clear();
    key.clear();

    if (!sendPassword(outFd, oldOut.data(), oldLen) || !sendPassword(outFd, newOut.data(), newLen))
        return RC_PIPE;
    oldOut.clear();
    newOut.clear();

    int32_t confirmation = 0;
    if (fioReadOnce(inFd, &confirmation, sizeof confirmation) == static_cast<ssize_t>(sizeof confirmation) &&
        confirmation == VLX_CONFIRM) {
        holdSignalsForGood();
        keepCallerOutUntilExit();
        if (confirmed != nullptr)
            *confirmed = VLX_C_CONFIRMED;
        if (answerLost(outFd))
            return RC_PIPE;
        // One rewrite replaces every server password of this node and server,
        // so a failure leaves the old one in place; it is the request's result,
        // since the caller changes its server's password only on success.
        // Only over the password that was sent as the old one: a change that
        // ran meanwhile stored its own, and that one stands.
        rc = dsReplacePassword(rq, oldAbsent ? nullptr : oldStored.chars(), clearNew.chars());
        if (rc == PSWD_RC_STORED_CHANGED) {
            if (TR_GENERAL)
                trPrintf(trSrcFile, __LINE__, "GeneratePassword: the stored password changed since it was sent; "
                         "nothing stored\n");
            if (confirmed != nullptr)
                *confirmed = VLX_C_STALE;
            rc = PSWD_RC_CANNOT_WRITE;
        }
        if (TR_GENERAL)
            trPrintf(trSrcFile, __LINE__, "GeneratePassword: new password stored with rc %d\n", rc);
    }
    return rc;
}
