// Password files built in the tests from the layout written out byte by byte
// (docs/password-file.md), with OpenSSL's DES and crypt itself: never with the
// writer under test.
#pragma once

#define OPENSSL_SUPPRESS_DEPRECATED 1
#include <openssl/des.h>

#include <crypt.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace pwfix {

using Bytes = std::string;

// The 16-byte key of a name, made as the file format describes: the hash
// text passed through crypt twice. Hash texts hold only digits and blanks,
// and a blank salt character stands for 'm' (value 50).
inline Bytes hashText(uint32_t h)
{
    char t[16];
    snprintf(t, sizeof t, "%8u", static_cast<unsigned>(h));
    return Bytes(t, 8);
}

inline uint32_t hashStep(uint32_t h, const Bytes &name)
{
    for (unsigned char c : name) {
        int32_t v = static_cast<signed char>(c);
        h = static_cast<uint32_t>(h * static_cast<uint32_t>(v)) % 99999989u;
    }
    return h;
}

inline Bytes saltOf(const Bytes &text)
{
    Bytes s = text.substr(0, 2);
    for (char &c : s)
        if (c == ' ')
            c = 'm';
    return s;
}

inline Bytes cryptHalf(const Bytes &text)
{
    Bytes salt = saltOf(text);
    const char *r = crypt(text.c_str(), salt.c_str());
    if (r == nullptr || strlen(r) < 10)
        return Bytes();
    return Bytes(r + 2, 8);
}

inline Bytes keyOf(const Bytes &name)
{
    uint32_t h = hashStep(1, name);
    Bytes k = cryptHalf(hashText(h));
    h = hashStep(h, name);
    return k + cryptHalf(hashText(h));
}

inline Bytes hostKey()
{
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    return keyOf(host);
}

// DES-CBC over whole blocks with the chaining value 2C..2C; a final partial
// block is XORed with DES-encrypt of the preceding ciphertext block.
inline Bytes desField(const Bytes &key16, const Bytes &in, bool encrypt)
{
    DES_cblock k;
    memcpy(k, key16.data(), 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&k, &ks);
    Bytes out(in.size(), '\0');
    size_t whole = in.size() / 8 * 8;
    DES_cblock iv;
    memset(iv, 0x2C, 8);
    DES_cblock last;
    memcpy(last, iv, 8);
    if (whole > 0) {
        DES_ncbc_encrypt(reinterpret_cast<const unsigned char *>(in.data()),
                         reinterpret_cast<unsigned char *>(&out[0]), static_cast<long>(whole), &ks, &iv,
                         encrypt ? DES_ENCRYPT : DES_DECRYPT);
        memcpy(last, (encrypt ? out : in).data() + whole - 8, 8);
    }
    if (whole < in.size()) {
        DES_cblock ksBlock;
        DES_ecb_encrypt(&last, &ksBlock, &ks, DES_ENCRYPT);
        for (size_t i = whole; i < in.size(); i++)
            out[i] = static_cast<char>(in[i] ^ ksBlock[i - whole]);
    }
    return out;
}

inline Bytes enc(const Bytes &key16, const Bytes &clear) { return desField(key16, clear, true); }
inline Bytes dec(const Bytes &key16, const Bytes &cipher) { return desField(key16, cipher, false); }

inline Bytes be32(uint32_t v)
{
    Bytes b(4, '\0');
    b[0] = static_cast<char>(v >> 24);
    b[1] = static_cast<char>(v >> 16);
    b[2] = static_cast<char>(v >> 8);
    b[3] = static_cast<char>(v);
    return b;
}

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

inline Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const std::string &path, const Bytes &b, mode_t mode = 0600)
{
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0)
        return;
    size_t off = 0;
    while (off < b.size()) {
        ssize_t n = write(fd, b.data() + off, b.size() - off);
        if (n <= 0)
            break;
        off += static_cast<size_t>(n);
    }
    fchmod(fd, mode);
    close(fd);
}

inline std::set<std::string> dirEntries(const std::string &dir)
{
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

// A fresh directory removed with everything in it when the test ends.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/pwfix.XXXXXX";
        const char *d = mkdtemp(tmpl);
        path_ = d != nullptr ? d : "";
    }
    ~TempDir() { removeTree(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name = "ZAR.PWD") const { return path_ + "/" + name; }

    static void removeTree(const std::string &p)
    {
        struct stat st;
        if (p.empty() || lstat(p.c_str(), &st) != 0)
            return;
        if (S_ISDIR(st.st_mode)) {
            for (const std::string &n : dirEntries(p))
                removeTree(p + "/" + n);
            rmdir(p.c_str());
        } else {
            unlink(p.c_str());
        }
    }

private:
    std::string path_;
};

} // namespace pwfix
