// The three operations as exchanges over the agent handle: the bytes each
// sends and reads (docs/pipe-protocol.md), one sequence of start, send,
// receive and settle that all three share, and what the caller's side can
// tell about a failure.
#include "client/kcexchange.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "client/kchandle.h"

namespace kc {

namespace {

// The head of an 'A' or 'B' request: the flag byte, then the code-set byte.
constexpr size_t CIPHER_HEAD = 2;
constexpr unsigned char FLAG_CIPHER = 0;   // the flag of a cipher request
constexpr unsigned char FLAG_KEYS = 1;     // any other flag asks for the key block
// The head of a 'C' request: the code-set byte, the encipher flag, the key's length.
constexpr size_t GENERATE_HEAD = 3;
// kc_result.cipher_used when the answer does not tell the cipher.
constexpr int CIPHER_NOT_KNOWN = 0;

// Ends the exchange: the agent's own report (a non-zero status, a signal, a
// time-out) says more than the caller-side failure it caused, so it wins.
int settle(kc_agent &agent, int callerRc, kc_result *st)
{
    int rc = agent.finish(st);
    if (rc != KC_OK)
        return rc;
    if (callerRc != KC_OK) {
        st->error = callerRc;
        st->sys_errno = agent.errno_;
    }
    return st->error;
}

// Reads the rest of an answer that should already be complete: anything more
// is a protocol error.
int expectEnd(kc_agent &agent)
{
    unsigned char extra;
    size_t got = 0;
    int rc = agent.receive(&extra, 1, &got);
    explicit_bzero(&extra, 1);
    if (rc != KC_OK)
        return rc;
    return got == 0 ? KC_OK : KC_E_PROTOCOL;
}

// How a request ends: at once once sent (the agent reads a request's data
// with one read, and an empty one is ended by the closed pipe), or after the
// conversation, which speaks again.
enum class RequestEnd { WhenSent, AfterConversation };

// One exchange, the sequence all three operations share: starts the agent
// for op, sends the request, lets converse read the answer (and, for a 'C',
// answer it), ends the request, checks that nothing more comes and settles
// the agent's end into *st.
template <typename Converse>
int exchange(const kc_config &cfg, char op, const unsigned char *request, size_t n, RequestEnd end, kc_result *st,
             Converse converse)
{
    kc_agent agent(cfg);
    int rc = agent.start(op);
    if (rc != KC_OK)
        return fail(st, rc, agent.errno_);
    rc = agent.send(request, n);
    if (end == RequestEnd::WhenSent)
        agent.closeInput();
    if (rc == KC_OK)
        rc = converse(agent);
    agent.closeInput();
    if (rc == KC_OK)
        rc = expectEnd(agent);
    return settle(agent, rc, st);
}

bool hasLowerCase(const std::string &s)
{
    for (char c : s)
        if (c >= 'a' && c <= 'z')
            return true;
    return false;
}

// 168 has many causes, most only the root-only store can tell apart; these
// the caller's side can see: the password directory missing or not a
// directory, and a node in lower case (records are stored under upper-case
// nodes by the usual tools).
void explainNoPassword(const kc_config &cfg, kc_result *st)
{
    if (st->error != KC_E_AGENT || st->exit_status != KEL_ST_NO_PASSWORD)
        return;
    struct stat sb;
    if (!cfg.passwordDir.empty()) {
        if (stat(cfg.passwordDir.c_str(), &sb) != 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                st->detail = errno == ENOENT ? KC_D_PASSWORD_DIR_MISSING : KC_D_PASSWORD_DIR_NOT_DIR;
            if (st->detail != KC_D_NONE)
                return;
        } else if (!S_ISDIR(sb.st_mode)) {
            st->detail = KC_D_PASSWORD_DIR_NOT_DIR;
            return;
        }
    }
    if (hasLowerCase(cfg.node))
        st->detail = KC_D_NODE_LOWER_CASE;
}

// The cipher an 'A' or 'B' ran, from the answer's length: DES gives as many
// bytes as it was given; AES pads an encipherment up to a whole block, one
// more when it is whole, and takes that padding off a decipherment.
int cipherOf(const kc_config &cfg, char op, size_t sent, size_t answered)
{
    if (cfg.cipherType == KEL_CIPHER_DES || cfg.cipherType == KEL_CIPHER_AES)
        return cfg.cipherType;
    if (answered == sent)
        return KEL_CIPHER_DES;
    return (op == KEL_OP_ENCIPHER ? answered > sent : answered < sent) ? KEL_CIPHER_AES : CIPHER_NOT_KNOWN;
}

// One password of the 'C' answer: its 8-byte length, then its bytes.
int receivePassword(kc_agent &agent, unsigned char *dst, size_t cap, size_t *len)
{
    uint64_t n = 0;
    int rc = agent.receiveExact(&n, sizeof n);
    if (rc != KC_OK)
        return rc;
    if (n > cap)
        return KC_E_PROTOCOL;
    rc = agent.receiveExact(dst, static_cast<size_t>(n));
    if (rc == KC_OK)
        *len = static_cast<size_t>(n);
    return rc;
}

bool samePassword(const kelvlx::Secret<KC_MAX_PASSWORD> &a, size_t aLen, const kelvlx::Secret<KC_MAX_PASSWORD> &b,
                  size_t bLen)
{
    return aLen == bLen && memcmp(a.b, b.b, aLen) == 0;
}

int32_t askCaller(const Decider &d, const Passwords &pw)
{
    if (d.fn == nullptr)
        return KC_REFUSE;
    // The caller sees the library's copies, read-only by contract.
    kc_passwords view = {sizeof view, const_cast<unsigned char *>(pw.oldPw.b), pw.oldPw.size(), pw.oldLen,
                         const_cast<unsigned char *>(pw.newPw.b), pw.newPw.size(), pw.newLen};
    return d.fn(d.ctx, &view);
}

// A confirmed 'C' whose agent ended without a status (killed, or ended for
// being silent too long) may or may not have stored the new password. An
// unconfirmed 'C' with the same arguments sends the stored password as its
// old one: the new one stored (KC_OK), the old one kept (the agent's failure
// stands), or neither (KC_E_UNKNOWN). The passwords compare as sent: the
// same key and cipher encipher the same text alike.
int settleUnknown(const kc_config &cfg, unsigned char codeSet, unsigned char encipherFlag, const unsigned char *key,
                  size_t keyLen, const Passwords &sent, kc_result *st)
{
    const int agentError = st->error;
    Passwords now;
    kc_result look = KC_RESULT_INIT;
    st->error = KC_E_UNKNOWN;
    if (generateExchange(cfg, codeSet, encipherFlag, key, keyLen, Decider{nullptr, nullptr}, &now, &look) != KC_OK)
        return st->error;
    if (samePassword(now.oldPw, now.oldLen, sent.newPw, sent.newLen)) {
        st->settled = 1;
        st->error = KC_OK;
    } else if (samePassword(now.oldPw, now.oldLen, sent.oldPw, sent.oldLen)) {
        st->settled = 1;
        st->error = agentError;
    }
    return st->error;
}

} // namespace

int fail(kc_result *st, int rc, int err, int detail)
{
    const kc_result fresh = KC_RESULT_INIT;
    *st = fresh;
    st->error = rc;
    st->sys_errno = err;
    st->detail = detail;
    return rc;
}

int cipherExchange(const kc_config &cfg, char op, unsigned char codeSet, const unsigned char *data, size_t len,
                   kelvlx::Secret<KC_MAX_ANSWER> *answer, size_t *answerLen, kc_result *st)
{
    if (len > KC_MAX_DATA)
        return fail(st, KC_E_ARGUMENT, EINVAL, KC_D_DATA_LONG);
    if (data == nullptr && len != 0)
        return fail(st, KC_E_ARGUMENT, EINVAL, KC_D_DATA_NULL);
    kelvlx::Secret<CIPHER_HEAD + KC_MAX_DATA> req;
    req.b[0] = FLAG_CIPHER;
    req.b[1] = codeSet;
    if (len != 0)
        memcpy(req.b + CIPHER_HEAD, data, len);
    int rc = exchange(cfg, op, req.b, CIPHER_HEAD + len, RequestEnd::WhenSent, st,
                      [&](kc_agent &agent) { return agent.receive(answer->b, KC_MAX_ANSWER, answerLen); });
    if (rc == KC_OK)
        st->cipher_used = cipherOf(cfg, op, len, *answerLen);
    explainNoPassword(cfg, st);
    return rc;
}

int keysExchange(const kc_config &cfg, const unsigned char *request16, kelvlx::Secret<KC_KEY_BLOCK> *keys,
                 size_t *len, kc_result *st)
{
    kelvlx::Secret<1 + KEL_KEY_REQUEST> req;   // the flag, then the bytes sent with it
    req.b[0] = FLAG_KEYS;
    if (request16 != nullptr)
        memcpy(req.b + 1, request16, KEL_KEY_REQUEST);
    int rc = exchange(cfg, KEL_OP_ENCIPHER, req.b, req.size(), RequestEnd::WhenSent, st,
                      [&](kc_agent &agent) { return agent.receive(keys->b, KC_KEY_BLOCK, len); });
    if (rc == KC_OK && *len != KC_KEY_BLOCK)
        rc = st->error = KC_E_PROTOCOL;
    explainNoPassword(cfg, st);
    return rc;
}

int generateExchange(const kc_config &cfg, unsigned char codeSet, unsigned char encipherFlag,
                     const unsigned char *key, size_t keyLen, const Decider &decide, Passwords *out, kc_result *st)
{
    if (keyLen > KC_MAX_KEY)
        return fail(st, KC_E_ARGUMENT, EINVAL, KC_D_KEY_LONG);
    if (key == nullptr && keyLen != 0)
        return fail(st, KC_E_ARGUMENT, EINVAL, KC_D_KEY_NULL);
    kelvlx::Secret<GENERATE_HEAD + KC_MAX_KEY> req;
    req.b[0] = codeSet;
    req.b[1] = encipherFlag;
    req.b[2] = static_cast<unsigned char>(keyLen);
    if (keyLen != 0)
        memcpy(req.b + GENERATE_HEAD, key, keyLen);
    bool confirmed = false;
    int rc = exchange(cfg, KEL_OP_GENERATE, req.b, GENERATE_HEAD + keyLen, RequestEnd::AfterConversation, st,
                      [&](kc_agent &agent) {
                          int r = receivePassword(agent, out->oldPw.b, KC_MAX_PASSWORD, &out->oldLen);
                          if (r == KC_OK)
                              r = receivePassword(agent, out->newPw.b, KC_MAX_PASSWORD, &out->newLen);
                          if (r != KC_OK)
                              return r;
                          int32_t confirmation = askCaller(decide, *out);
                          confirmed = confirmation == KC_CONFIRM;
                          if (confirmed)
                              agent.storeFromNow();
                          r = agent.send(&confirmation, sizeof confirmation);
                          confirmed = confirmed && r == KC_OK;
                          return r;
                      });
    if (confirmed && st->agent_running != 0)
        rc = st->error = KC_E_UNKNOWN;   // still storing: only its end will tell
    else if (confirmed && (st->term_signal != 0 || rc == KC_E_TIMEOUT))
        rc = settleUnknown(cfg, codeSet, encipherFlag, key, keyLen, *out, st);
    explainNoPassword(cfg, st);
    return rc;
}

} // namespace kc
