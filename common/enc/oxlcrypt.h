// Stand-in until the AES cipher replaces this file: the crypto library is never available here.
#pragma once

class Crypto;

// Makes an AES object of the given type (2). On failure sets *rcP (102 no
// memory, 5801 library failure, 5802 library not loadable), destroys any
// half-made object and returns null; on success *rcP is 0.
Crypto *newOXLCrypt(unsigned char type, int *rcP);
// Loads the crypto library once; 0 when loaded (or AES unsupported), else 5801/5802.
int oxlGlobalInit();
// Unloads the crypto library (core tear-down).
void oxlGlobalCleanUp();
// 1 when AES can be used, else 0.
int oxlIsSupported();
// 1 while the crypto library is loaded, else 0.
int oxlIsLoaded();
