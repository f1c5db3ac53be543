// The one oracle of the password file for every test: files, records, keys
// and expected answers built from the layout written out byte by byte
// (docs/password-file.md), with OpenSSL's DES and the system's crypt, never
// with the code under test.
#pragma once

#include <crypt.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "tests/support/tempdir.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/des.h>

namespace pwfix {

using Bytes = std::string;

// ---------------------------------------------------------------- keys

// The 16-byte key of a name (node key, host key): the running hash of the
// name as text, passed through crypt twice, salt characters mapped as the
// layout describes.
inline Bytes keyOf(const std::string &name)
{
    Bytes key;
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
        key += r != nullptr && strlen(r) >= 10 ? Bytes(r + 2, 8) : Bytes(8, '\0');
    }
    return key;
}

inline std::string hostName()
{
    char buf[256] = {};
    gethostname(buf, sizeof buf - 1);
    return buf;
}

inline Bytes hostKey() { return keyOf(hostName()); }

// ---------------------------------------------------------------- DES

// One DES block, ECB, with an 8-byte key (parity ignored).
inline void desBlock(const void *key8, const unsigned char *in, unsigned char *out, bool encrypt)
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
// preceding ciphertext block (the chaining value when there is none). B is a
// string or a vector of bytes; key8 the first 8 bytes of any key.
template <typename B>
B desChain(const void *key8, const B &in, bool encrypt)
{
    unsigned char prev[8];
    memset(prev, 0x2C, 8);
    B out(in.size(), 0);
    const auto *src = reinterpret_cast<const unsigned char *>(in.data());
    auto *dst = reinterpret_cast<unsigned char *>(out.data());
    const size_t n = in.size() / 8;
    for (size_t b = 0; b < n; ++b) {
        unsigned char x[8], y[8];
        if (encrypt) {
            for (int j = 0; j < 8; ++j)
                x[j] = src[8 * b + j] ^ prev[j];
            desBlock(key8, x, y, true);
            memcpy(dst + 8 * b, y, 8);
            memcpy(prev, y, 8);
        } else {
            desBlock(key8, src + 8 * b, y, false);
            for (int j = 0; j < 8; ++j)
                dst[8 * b + j] = y[j] ^ prev[j];
            memcpy(prev, src + 8 * b, 8);
        }
    }
    if (in.size() % 8 != 0) {
        unsigned char k[8];
        desBlock(key8, prev, k, true);
        for (size_t j = 0; j < in.size() % 8; ++j)
            dst[8 * n + j] = src[8 * n + j] ^ k[j];
    }
    return out;
}

inline Bytes enc(const Bytes &key16, const Bytes &clear) { return desChain(key16.data(), clear, true); }
inline Bytes dec(const Bytes &key16, const Bytes &cipher) { return desChain(key16.data(), cipher, false); }

// The DES key folded from a password (the request handlers' key): the
// password zero-filled to a multiple of 8, chained under eight 0x4E bytes;
// the last block.
template <typename B>
std::array<unsigned char, 8> desFoldKey(const B &password)
{
    B buf(password);
    buf.resize((password.size() + 7) / 8 * 8, 0);
    const unsigned char foldKey[8] = {0x4E, 0x4E, 0x4E, 0x4E, 0x4E, 0x4E, 0x4E, 0x4E};
    const B c = desChain(foldKey, buf, true);
    std::array<unsigned char, 8> k{};
    memcpy(k.data(), c.data() + c.size() - 8, 8);
    return k;
}

// ---------------------------------------------------------------- records and files

inline Bytes be32(uint32_t v)
{
    Bytes b(4, '\0');
    b[0] = static_cast<char>(v >> 24);
    b[1] = static_cast<char>(v >> 16);
    b[2] = static_cast<char>(v >> 8);
    b[3] = static_cast<char>(v);
    return b;
}

// One record exactly as laid out: header, then the five fields.
struct Record {
    unsigned char type = 0;
    unsigned char version = 3;
    Bytes f[5];

    Bytes bytes() const
    {
        Bytes r;
        r += static_cast<char>(type);
        r += static_cast<char>(0xEF);
        r += static_cast<char>(version);
        for (const Bytes &x : f)
            r += be32(static_cast<uint32_t>(x.size()));
        for (const Bytes &x : f)
            r += x;
        return r;
    }
};

inline bool isOther(unsigned char type) { return type >= 3 && type <= 5; }

// A version 3 record under key16 (the node key, or the caller's key for types 3 to 5).
inline Record v3(unsigned char type, const Bytes &server, const Bytes &node, const Bytes &pw, const Bytes &key16)
{
    return Record{type, 3, {"NULL", server, node, enc(key16, node), enc(key16, pw)}};
}
inline Record v3(unsigned char type, const Bytes &server, const Bytes &node, const Bytes &pw)
{
    return v3(type, server, node, pw, keyOf(node));
}

// A version 1 record: field 5 under the host key, field 4 whatever the old writer left.
inline Record v1(unsigned char type, const Bytes &server, const Bytes &node, const Bytes &pw)
{
    return Record{type, 1, {"OLDU", server, node, Bytes("junk"), enc(hostKey(), pw)}};
}

// Saved encryption keys: prefix 1 read with the host key, prefix 2 with the node key.
inline Record saved(unsigned char prefix, const Bytes &server, const Bytes &node, const Bytes &pw)
{
    Bytes key = prefix == 1 ? hostKey() : keyOf(node);
    Bytes p(1, static_cast<char>(prefix));
    return Record{1, static_cast<unsigned char>(prefix == 1 ? 3 : 1),
                  {"NULL", p + server, p + node, enc(keyOf(node), node), enc(key, pw)}};
}

// A header of 71 bytes that no reader may look at.
inline Bytes header(char fill = 'H') { return Bytes(71, fill); }

inline Bytes file(const std::vector<Record> &recs, const Bytes &hdr = header())
{
    Bytes b = hdr;
    for (const Record &r : recs)
        b += r.bytes();
    return b;
}

// Parses a file the same way, for checking what a writer left; false on any damage.
inline bool parse(const Bytes &b, std::vector<Record> &out)
{
    out.clear();
    if (b.empty())
        return true;
    if (b.size() < 71)
        return false;
    size_t p = 71;
    while (p < b.size()) {
        if (b.size() - p < 23 || static_cast<unsigned char>(b[p + 1]) != 0xEF)
            return false;
        Record r;
        r.type = static_cast<unsigned char>(b[p]);
        r.version = static_cast<unsigned char>(b[p + 2]);
        size_t q = p + 23;
        for (int i = 0; i < 5; i++) {
            const unsigned char *l = reinterpret_cast<const unsigned char *>(b.data()) + p + 3 + 4 * i;
            uint32_t n = (uint32_t(l[0]) << 24) | (uint32_t(l[1]) << 16) | (uint32_t(l[2]) << 8) | l[3];
            if (n > b.size() - q)
                return false;
            r.f[i] = b.substr(q, n);
            q += n;
        }
        out.push_back(r);
        p = q;
    }
    return true;
}

// The passwords of every type 0 record of (server, node) in a file's bytes,
// deciphered with the node key, in file order; {"<damaged>"} for a file that
// does not parse.
inline std::vector<Bytes> serverPasswords(const Bytes &file, const std::string &server, const std::string &node)
{
    std::vector<Record> recs;
    if (!parse(file, recs))
        return {"<damaged>"};
    std::vector<Bytes> out;
    for (const Record &r : recs)
        if (r.type == 0 && r.f[1] == server && r.f[2] == node)
            out.push_back(dec(keyOf(node), r.f[4]));
    return out;
}

inline Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes the bytes to a new file of that mode; false when any step failed.
inline bool writeFile(const std::string &path, const Bytes &b, mode_t mode = 0600)
{
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return false;
    size_t off = 0;
    while (off < b.size()) {
        ssize_t n = write(fd, b.data() + off, b.size() - off);
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
    bool ok = off == b.size() && fchmod(fd, mode) == 0;
    return close(fd) == 0 && ok;
}

using kelts::dirEntries;

// The name a writer gives its new file beside base, as the docs spell it out:
// "." + base + ".kelvlx-" + the writer's pid + "-" + six letters or digits.
inline std::string newFileName(const std::string &base, long pid, const std::string &six = "Ab3xY9")
{
    return "." + base + ".kelvlx-" + std::to_string(pid) + "-" + six;
}

// The pid of a process that has ended and been reaped: a writer that was killed.
inline long deadPid()
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
    return pid;
}

// A fresh directory under /tmp, removed with everything in it when the test ends.
using kelts::TempDir;

} // namespace pwfix

#pragma GCC diagnostic pop
