// Password files and expected answers built from the published layout
// (docs/password-file.md) with OpenSSL's DES and the system's crypt, never
// with the code under test.
#pragma once

#include <crypt.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/des.h>

namespace pwl {

using Bytes = std::vector<unsigned char>;

inline Bytes bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

// One DES block, ECB, with an 8-byte key (parity ignored).
inline void desBlock(const unsigned char *key8, const unsigned char *in, unsigned char *out, bool encrypt)
{
    DES_cblock k;
    memcpy(k, key8, 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&k, &ks);
    DES_cblock i, o;
    memcpy(i, in, 8);
    DES_ecb_encrypt(&i, &o, &ks, encrypt ? DES_ENCRYPT : DES_DECRYPT);
    memcpy(out, o, 8);
}

// The project's DES chaining: CBC from eight 0x2C bytes, and a final partial
// block of r bytes XORed with the first r bytes of DES-encrypt of the
// preceding ciphertext block (the chaining value when there is none).
inline Bytes desChain(const unsigned char *key8, const Bytes &in, bool encrypt,
                      const unsigned char *iv8 = nullptr)
{
    unsigned char prev[8];
    if (iv8 != nullptr)
        memcpy(prev, iv8, 8);
    else
        memset(prev, 0x2C, 8);
    Bytes out(in.size());
    const size_t n = in.size() / 8;
    for (size_t b = 0; b < n; ++b) {
        unsigned char x[8], y[8];
        if (encrypt) {
            for (int j = 0; j < 8; ++j)
                x[j] = in[8 * b + j] ^ prev[j];
            desBlock(key8, x, y, true);
            memcpy(&out[8 * b], y, 8);
            memcpy(prev, y, 8);
        } else {
            desBlock(key8, &in[8 * b], y, false);
            for (int j = 0; j < 8; ++j)
                out[8 * b + j] = y[j] ^ prev[j];
            memcpy(prev, &in[8 * b], 8);
        }
    }
    if (in.size() % 8 != 0) {
        unsigned char k[8];
        desBlock(key8, prev, k, true);
        for (size_t j = 0; j < in.size() % 8; ++j)
            out[8 * n + j] = in[8 * n + j] ^ k[j];
    }
    return out;
}

// The DES key folded from a password: the password zero-filled to a
// multiple of 8, chained under eight 0x4E bytes; the last block.
inline std::array<unsigned char, 8> desFoldKey(const Bytes &password)
{
    Bytes buf(password);
    buf.resize((password.size() + 7) / 8 * 8, 0);
    const unsigned char foldKey[8] = {0x4E, 0x4E, 0x4E, 0x4E, 0x4E, 0x4E, 0x4E, 0x4E};
    Bytes c = desChain(foldKey, buf, true);
    std::array<unsigned char, 8> k{};
    memcpy(k.data(), &c[c.size() - 8], 8);
    return k;
}

// Key of a name (node key, host key): two crypt() results over a running hash.
inline std::array<unsigned char, 16> nameKey(const std::string &name)
{
    std::array<unsigned char, 16> key{};
    uint32_t h = 1;
    for (int half = 0; half < 2; ++half) {
        for (char c : name) {
            h = h * static_cast<uint32_t>(static_cast<int>(static_cast<signed char>(c)));
            h %= 99999989u;
        }
        char text[16];
        snprintf(text, sizeof text, "%8u", h);
        char salt[3] = {0, 0, 0};
        for (int i = 0; i < 2; ++i) {
            int c = static_cast<unsigned char>(text[i]);
            if (c > 'Z')
                c -= 6;
            if (c > '9')
                c -= 7;
            int v = (c - '.') & 63;
            salt[i] = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"[v];
        }
        struct crypt_data cd;
        memset(&cd, 0, sizeof cd);
        const char *r = crypt_r(text, salt, &cd);
        if (r != nullptr && strlen(r) >= 10)
            memcpy(key.data() + 8 * half, r + 2, 8);
    }
    return key;
}

inline void putBE32(Bytes *b, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8)
        b->push_back(static_cast<unsigned char>(v >> s));
}

// One record exactly as laid out: header, then the five fields.
inline Bytes record(unsigned char type, unsigned char version, const Bytes &f1, const Bytes &f2, const Bytes &f3,
                    const Bytes &f4, const Bytes &f5)
{
    Bytes r = {type, 0xEF, version};
    for (const Bytes *f : {&f1, &f2, &f3, &f4, &f5})
        putBE32(&r, static_cast<uint32_t>(f->size()));
    for (const Bytes *f : {&f1, &f2, &f3, &f4, &f5})
        r.insert(r.end(), f->begin(), f->end());
    return r;
}

// A version 3 record of type 0 or 1 under the node key.
inline Bytes v3Record(unsigned char type, const std::string &server, const std::string &node,
                      const std::string &password)
{
    auto k = nameKey(node);
    return record(type, 3, bytes("NULL"), bytes(server), bytes(node), desChain(k.data(), bytes(node), true),
                  desChain(k.data(), bytes(password), true));
}

// A saved encryption key (prefix 1: host key, prefix 2: node key).
inline Bytes savedKeyRecord(unsigned char prefix, const std::string &server, const std::string &node,
                            const std::string &keyText, const std::string &hostName)
{
    auto nk = nameKey(node);
    auto k = prefix == 1 ? nameKey(hostName) : nk;
    Bytes s = {prefix}, n = {prefix};
    s.insert(s.end(), server.begin(), server.end());
    n.insert(n.end(), node.begin(), node.end());
    return record(1, prefix == 1 ? 3 : 1, bytes("NULL"), s, n, desChain(nk.data(), bytes(node), true),
                  desChain(k.data(), bytes(keyText), true));
}

inline Bytes header() { return Bytes(71, ' '); }

inline Bytes file(const std::vector<Bytes> &records)
{
    Bytes f = header();
    for (const auto &r : records)
        f.insert(f.end(), r.begin(), r.end());
    return f;
}

inline bool writeFile(const std::string &path, const Bytes &content)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    return close(fd) == 0 && ok;
}

inline Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string hostName()
{
    char buf[256] = {};
    gethostname(buf, sizeof buf - 1);
    return buf;
}

// A fresh directory under /tmp, removed with everything in it when done.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/kelreq.XXXXXX";
        const char *d = mkdtemp(tmpl);
        path_ = d != nullptr ? d : "";
    }
    ~TempDir()
    {
        if (!path_.empty()) {
            std::string cmd = "rm -rf '" + path_ + "'";
            int rc = system(cmd.c_str());
            (void)rc;   // a left-over test directory is harmless
        }
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name = "ZAR.PWD") const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace pwl

#pragma GCC diagnostic pop
