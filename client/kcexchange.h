// The library's three operations as exchanges with one agent each: the
// bytes of docs/pipe-protocol.md over the agent handle, one sequence for all
// three. The C entry points (kcapi.cpp) check the caller's buffers and hand
// the answers over.
#pragma once

#include "client/kcinternal.h"

#include <stddef.h>
#include <stdint.h>

namespace kc {

// A fresh result in *st that says rc, err and detail; returns rc.
int fail(kc_result *st, int rc, int err, int detail = KC_D_NONE);

// 'A' or 'B' (op): enciphers or deciphers len bytes of data into *answer.
int cipherExchange(const kc_config &cfg, char op, unsigned char codeSet, const unsigned char *data, size_t len,
                   kelvlx::Secret<KC_MAX_ANSWER> *answer, size_t *answerLen, kc_result *st);

// The key request of an 'A': the key block into *keys.
int keysExchange(const kc_config &cfg, const unsigned char *request16, kelvlx::Secret<KC_KEY_BLOCK> *keys,
                 size_t *len, kc_result *st);

// The two passwords of a 'C' as the library holds them.
struct Passwords {
    kelvlx::Secret<KC_MAX_PASSWORD> oldPw;
    size_t oldLen = 0;
    kelvlx::Secret<KC_MAX_PASSWORD> newPw;
    size_t newLen = 0;
};

// The caller's choice between the two passwords of a 'C'.
struct Decider {
    kc_decide_fn fn;
    void *ctx;
};

// 'C': a new password, stored when decide confirms it; what the agent sent
// into *out. A confirmed one whose agent ended without a status is settled
// by an unconfirmed second look (st->settled).
int generateExchange(const kc_config &cfg, unsigned char codeSet, unsigned char encipherFlag,
                     const unsigned char *key, size_t keyLen, const Decider &decide, Passwords *out, kc_result *st);

} // namespace kc
