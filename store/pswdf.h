// Generator of new random passwords.
#pragma once

#include "base/psmutex.h"

inline constexpr unsigned PSWDF_LENGTH = 63;          // length of a generated password
inline constexpr unsigned PSWDF_MIN_TEST_LENGTH = 8;  // TEST_MINPWLENGTH is honoured from 8 to 63
inline constexpr unsigned PSWDF_BUF_SIZE = 64;        // the output buffer: 63 characters and the NUL

// The characters of a generated password, in this order.
inline constexpr char PSWDF_ALPHABET[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-+&";

extern psMutex_t pswdFMutex;

// Writes a new password of 63 characters (or TEST_MINPWLENGTH's value when
// that switch is set to 8..63) and its NUL to out, which holds at least 64
// bytes. Returns 0, or the code of the cipher factory or of the random source;
// on failure out is left untouched.
int pswdFGeneratePswd(char *out);

// Destroys pswdFMutex.
void pswdFMutexDestroy();
