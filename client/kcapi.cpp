// The C entry points of kelclient.h: each checks the caller's arguments,
// runs its exchange or handle call with no exception crossing, and hands the
// answer and the result over in the caller's buffers.
#include "client/kcinternal.h"

#include <errno.h>
#include <string.h>

#include "client/kcexchange.h"
#include "client/kchandle.h"

void kcStore(kc_result *res, const kc_result &from)
{
    if (res == nullptr || res->size == 0)
        return;
    const size_t n = res->size < sizeof from ? res->size : sizeof from;
    const size_t keep = res->size;
    memcpy(res, &from, n);
    res->size = keep;
}

namespace {

// Copies an answer to the caller's buffer, or zeroes the buffer on failure.
void handOver(int rc, const unsigned char *from, size_t len, unsigned char *to, size_t cap, size_t *toLen)
{
    if (rc == KC_OK && len <= cap) {
        memcpy(to, from, len);
        *toLen = len;
        return;
    }
    explicit_bzero(to, cap);
    *toLen = 0;
}

int cipherCall(const kc_config *cfg, char op, unsigned char codeSet, const unsigned char *data, size_t len,
               unsigned char *out, size_t cap, size_t *outLen, kc_result *res)
{
    kc_result st = KC_RESULT_INIT;
    int rc;
    if (cfg == nullptr || out == nullptr || outLen == nullptr || cap < KC_MAX_ANSWER) {
        rc = kc::fail(&st, KC_E_ARGUMENT, EINVAL,
                  cfg == nullptr ? KC_D_NO_CONFIG : out == nullptr || outLen == nullptr ? KC_D_NO_OUTPUT
                                                                                        : KC_D_OUTPUT_SMALL);
        if (out != nullptr)
            explicit_bzero(out, cap);
        if (outLen != nullptr)
            *outLen = 0;
    } else {
        rc = kcGuarded([&] {
            kelvlx::Secret<KC_MAX_ANSWER> answer;
            size_t got = 0;
            int r = kc::cipherExchange(*cfg, op, codeSet, data, len, &answer, &got, &st);
            handOver(r, answer.b, got, out, cap, outLen);
            return r;
        });
        if (rc == KC_E_NOMEM)
            kc::fail(&st, rc, ENOMEM);
    }
    kcStore(res, st);
    return rc;
}

bool passwordBuffersFit(const kc_passwords *pw)
{
    return pw != nullptr && pw->size >= sizeof(kc_passwords) && pw->old_pw != nullptr && pw->new_pw != nullptr &&
           pw->old_cap >= KC_MAX_PASSWORD && pw->new_cap >= KC_MAX_PASSWORD;
}

} // namespace

extern "C" {

int kc_encipher(const kc_config *cfg, unsigned char code_set, const unsigned char *data, size_t len,
                unsigned char *out, size_t cap, size_t *out_len, kc_result *res)
{
    return cipherCall(cfg, KEL_OP_ENCIPHER, code_set, data, len, out, cap, out_len, res);
}

int kc_decipher(const kc_config *cfg, unsigned char code_set, const unsigned char *data, size_t len,
                unsigned char *out, size_t cap, size_t *out_len, kc_result *res)
{
    return cipherCall(cfg, KEL_OP_DECIPHER, code_set, data, len, out, cap, out_len, res);
}

int kc_fetch_keys(const kc_config *cfg, const unsigned char *request16, unsigned char *out, size_t cap,
                  kc_result *res)
{
    kc_result st = KC_RESULT_INIT;
    int rc;
    if (cfg == nullptr || out == nullptr || cap < KC_KEY_BLOCK) {
        rc = kc::fail(&st, KC_E_ARGUMENT, EINVAL,
                  cfg == nullptr ? KC_D_NO_CONFIG : out == nullptr ? KC_D_NO_OUTPUT : KC_D_OUTPUT_SMALL);
        if (out != nullptr)
            explicit_bzero(out, cap);
    } else {
        rc = kcGuarded([&] {
            kelvlx::Secret<KC_KEY_BLOCK> keys;
            size_t got = 0, len = 0;
            int r = kc::keysExchange(*cfg, request16, &keys, &got, &st);
            handOver(r, keys.b, got, out, cap, &len);
            return r;
        });
        if (rc == KC_E_NOMEM)
            kc::fail(&st, rc, ENOMEM);
    }
    kcStore(res, st);
    return rc;
}

int kc_generate_password(const kc_config *cfg, unsigned char code_set, unsigned char encipher_flag,
                         const unsigned char *key, size_t key_len, kc_decide_fn decide, void *ctx,
                         kc_passwords *pw, kc_result *res)
{
    kc_result st = KC_RESULT_INIT;
    int rc;
    if (cfg == nullptr || !passwordBuffersFit(pw)) {
        rc = kc::fail(&st, KC_E_ARGUMENT, EINVAL, cfg == nullptr ? KC_D_NO_CONFIG : KC_D_PASSWORD_BUFFERS);
        if (pw != nullptr && pw->size >= sizeof(kc_passwords)) {
            if (pw->old_pw != nullptr)
                explicit_bzero(pw->old_pw, pw->old_cap);
            if (pw->new_pw != nullptr)
                explicit_bzero(pw->new_pw, pw->new_cap);
            pw->old_len = pw->new_len = 0;
        }
    } else {
        rc = kcGuarded([&] {
            kc::Passwords got;
            int r = kc::generateExchange(*cfg, code_set, encipher_flag, key, key_len, kc::Decider{decide, ctx},
                                         &got, &st);
            // What the agent sent stays for its own failures: the caller may want to see it.
            const bool keep = r == KC_OK || r == KC_E_AGENT || r == KC_E_UNKNOWN;
            handOver(keep ? KC_OK : r, got.oldPw.b, got.oldLen, pw->old_pw, pw->old_cap, &pw->old_len);
            handOver(keep ? KC_OK : r, got.newPw.b, got.newLen, pw->new_pw, pw->new_cap, &pw->new_len);
            return r;
        });
        if (rc == KC_E_NOMEM)
            kc::fail(&st, rc, ENOMEM);
    }
    kcStore(res, st);
    return rc;
}

int kc_agent_new(const kc_config *cfg, kc_agent **out)
{
    return kcNewFrom(cfg, out);
}

void kc_agent_free(kc_agent *agent)
{
    delete agent;
}

int kc_agent_start(kc_agent *agent, char op)
{
    if (agent == nullptr)
        return KC_E_ARGUMENT;
    return kcGuarded([&] { return agent->start(op); });
}

int kc_agent_send(kc_agent *agent, const void *p, size_t n)
{
    if (agent == nullptr || (p == nullptr && n != 0))
        return KC_E_ARGUMENT;
    return agent->send(p, n);
}

int kc_agent_receive(kc_agent *agent, void *p, size_t n, size_t *got)
{
    if (got != nullptr)
        *got = 0;
    if (agent == nullptr || got == nullptr || (p == nullptr && n != 0))
        return KC_E_ARGUMENT;
    return agent->receive(p, n, got);
}

int kc_agent_receive_exact(kc_agent *agent, void *p, size_t n)
{
    if (agent == nullptr || (p == nullptr && n != 0))
        return KC_E_ARGUMENT;
    return agent->receiveExact(p, n);
}

void kc_agent_close_input(kc_agent *agent)
{
    if (agent != nullptr)
        agent->closeInput();
}

void kc_agent_close_output(kc_agent *agent)
{
    if (agent != nullptr)
        agent->closeOutput();
}

int kc_agent_finish(kc_agent *agent, kc_result *res)
{
    kc_result st = KC_RESULT_INIT;
    int rc = agent == nullptr ? kc::fail(&st, KC_E_ARGUMENT, EINVAL, KC_D_NO_HANDLE) : agent->finish(&st);
    kcStore(res, st);
    return rc;
}

void kc_agent_extend_timeout(kc_agent *agent, int ms)
{
    if (agent != nullptr)
        agent->extendTimeout(ms);
}

pid_t kc_agent_pid(const kc_agent *agent)
{
    return agent == nullptr ? -1 : agent->agentPid_;
}

int kc_agent_input_fd(const kc_agent *agent)
{
    return agent == nullptr ? -1 : agent->toAgent_;
}

int kc_agent_output_fd(const kc_agent *agent)
{
    return agent == nullptr ? -1 : agent->fromAgent_;
}

int kc_agent_errno(const kc_agent *agent)
{
    return agent == nullptr ? 0 : agent->errno_;
}

} // extern "C"
