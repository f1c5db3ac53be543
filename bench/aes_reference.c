/* The yardstick of the AES request: the least program that loads libcrypto
 * and enciphers one block with EVP AES-128-CBC (zero key and vector, PKCS
 * padding, so 16 bytes give 32), with nothing else in it. */
#include <openssl/evp.h>

int main(void)
{
    static const unsigned char key[16], in[16];
    unsigned char out[32];
    int n = 0, fin = 0;
    EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
    int ok = c != NULL && EVP_EncryptInit_ex(c, EVP_aes_128_cbc(), NULL, key, NULL) == 1 &&
             EVP_EncryptUpdate(c, out, &n, in, (int)sizeof in) == 1 && EVP_EncryptFinal_ex(c, out + n, &fin) == 1 &&
             n + fin == 32;
    EVP_CIPHER_CTX_free(c);
    return ok ? 0 : 1;
}
