// The keys that encipher the password file's texts: the node key made from a
// node name, and the host key made from the cluster or host name, each a hash
// of the name passed twice through the system's crypt. docs/password-file.md
// ("Keys") gives the rule.
#pragma once

#include <cstdint>

#include "base/psmutex.h"

inline constexpr uint32_t PSWD_HASH_MODULUS = 99999989u;

// Serialises the key derivation: crypt's work area is shared.
extern psMutex_t cryptMutex;

// Key derivation: 16 bytes from a name. 1 on success, 0 when crypt fails or
// the name is null.
int psCreateCryptoKey(unsigned char *key, const char *name);
// The node key; 0 for a node name that no record could hold (over 67 bytes).
int psSetUpCryptoKey(unsigned char *key, const char *node);
// The host key, from the cluster name or the host name; 0 when neither is available.
int getCryptoKeyV1(unsigned char *key);
