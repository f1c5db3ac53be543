// The agent's four request handlers. Each reads the rest of its request from
// the input pipe, writes its answer to the output pipe and returns the
// request's return code (0 on success). The bytes on the pipes are described
// in docs/pipe-protocol.md.
#pragma once

struct pswdRequest;

// rq is the request as main made it: the pipes, the cipher type, the node,
// the server and the password file (store/pssec.h).
int EncryptBuff(const pswdRequest &rq);
int DecryptBuff(const pswdRequest &rq);
// reqBytes: the 16 bytes main read after the key-request flag; zeroed here.
int getEncryptKey(const pswdRequest &rq, unsigned char *reqBytes);
// Once a confirmation to store has been read, every signal that can be held
// stays held in the calling thread when it returns, so that the agent ends
// with the store's status and never by a signal; a caller that goes on
// running restores its signal mask itself. *confirmed (when given) becomes
// VLX_C_CONFIRMED once the caller has confirmed: the status then is the
// store's; VLX_C_STALE when the store then found that the stored password
// was no longer the old one sent (another change stored its own), and
// nothing was stored. Before anything is sent, 'C' ends with the store's
// own status where the store would refuse whatever the confirmation.
inline constexpr int VLX_C_CONFIRMED = 1;
inline constexpr int VLX_C_STALE = 2;
int GeneratePassword(const pswdRequest &rq, int *confirmed = nullptr);
