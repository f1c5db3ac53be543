// Shared by the request tests (DES and AES): the oracle for the agent's answers
// (OpenSSL and the system's EBCDIC converter, never the code under test) and
// one run of the built agent through real pipes, as a caller runs it.
#pragma once

#include <fcntl.h>
#include <iconv.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "client/kcinternal.h"
#include "kelvlx/kelclient.hpp"
#include "tests/support/pwfixture.h"

namespace reqfix {

// Request and answer bytes; password files are pwfix::Bytes.
using Bytes = std::vector<unsigned char>;

inline const std::string kAgent = KEL_BINARY_DIR "/kelvlx";
// The letters a new password is made of.
inline const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_.-+&";

inline Bytes bytes(const std::string &s) { return Bytes(s.begin(), s.end()); }

inline Bytes cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes pattern(size_t n, unsigned char seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<unsigned char>(seed + 37 * i);
    return b;
}

// ---- the oracle -----------------------------------------------------------

// The password as the server sees it: upper-cased (ASCII here), and for code
// set 22 converted by the system's CP1047 converter.
inline Bytes serverText(const std::string &password, int codeSet)
{
    std::string up = password;
    std::transform(up.begin(), up.end(), up.begin(), [](unsigned char c) { return static_cast<char>(toupper(c)); });
    Bytes t = bytes(up);
    if (codeSet != 22 || t.empty())
        return t;
    iconv_t cd = iconv_open("CP1047", "ISO-8859-1");
    Bytes out(t.size());
    char *ip = reinterpret_cast<char *>(t.data()), *op = reinterpret_cast<char *>(out.data());
    size_t il = t.size(), ol = out.size();
    iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    return out;
}

// AES-128-CBC, all-zero vector, PKCS padding. ok reports a failed decipherment.
inline Bytes aesCbc(const Bytes &key16, const Bytes &in, bool encrypt, bool *ok = nullptr)
{
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    Bytes out(in.size() + 16);
    int l1 = 0, l2 = 0;
    const unsigned char *inP = in.empty() ? out.data() : in.data();
    bool good = EVP_CipherInit_ex(ctx, EVP_aes_128_cbc(), nullptr, key16.data(), nullptr, encrypt ? 1 : 0) == 1 &&
                EVP_CipherUpdate(ctx, out.data(), &l1, inP, static_cast<int>(in.size())) == 1 &&
                EVP_CipherFinal_ex(ctx, out.data() + l1, &l2) == 1;
    EVP_CIPHER_CTX_free(ctx);
    if (ok != nullptr)
        *ok = good;
    out.resize(good ? static_cast<size_t>(l1 + l2) : 0);
    return out;
}

// The AES key of a password: its text enciphered under sixteen 0x4E bytes,
// the last block of the ciphertext.
inline Bytes aesFoldKey(const Bytes &text)
{
    const Bytes c = aesCbc(Bytes(16, 0x4E), text, true);
    return Bytes(c.end() - 16, c.end());
}

inline Bytes aesKeyOf(const std::string &password, int codeSet) { return aesFoldKey(serverText(password, codeSet)); }

// The answer to 'A' (encrypt) or 'B' for data under a stored password, with
// cipher 1 (DES) or 2 (AES).
inline Bytes expectedAnswer(int cipher, const std::string &password, int codeSet, const Bytes &data, bool encrypt,
                            bool *ok = nullptr)
{
    const Bytes text = serverText(password, codeSet);
    if (ok != nullptr)
        *ok = true;
    if (cipher == 2)
        return data.empty() ? Bytes() : aesCbc(aesFoldKey(text), data, encrypt, ok);
    auto key = pwfix::desFoldKey(text);
    return pwfix::desChain(key.data(), data, encrypt);
}

// The type 0 password of (server, node) in a password file, deciphered from
// the layout; "<none>" unless there is exactly one.
inline std::string storedPassword(const pwfix::Bytes &file, const std::string &server, const std::string &node)
{
    const std::vector<pwfix::Bytes> found = pwfix::serverPasswords(file, server, node);
    EXPECT_LE(found.size(), 1u) << "one record per node and server";
    return found.size() == 1 ? found[0] : "<none>";
}

// A new password: 63 letters of the alphabet.
inline bool fromAlphabet(const std::string &s)
{
    return s.size() == 63 && s.find_first_not_of(kAlphabet) == std::string::npos;
}

// ---- running the agent ----------------------------------------------------

// The agent's refusal of a cipher type is what these tests look at: the
// library's own refusal is turned off for them (kelclient, the test variant).
inline void acceptEveryCipherType()
{
    kcTestAcceptAnyCipherType(true);
}

// The caller's settings for node N1 and server SRV, the build's catalogs.
inline kelvlx::Config agentConfig(const std::string &agentPath, const std::string &passwordDir, int cipher)
{
    kelvlx::Config cfg = kelvlx::defaultConfig();
    cfg.agentPath = agentPath;
    cfg.catalogDir = KEL_BINARY_DIR "/catalogs";
    cfg.passwordDir = passwordDir;
    cfg.node = "N1";
    cfg.server = "SRV";
    cfg.cipherType = cipher;
    cfg.timeoutMs = 20000;
    return cfg;
}

struct Exchange {
    kelvlx::Status st;
    Bytes answer;
};

// Starts the agent for op, writes request in one piece, closes the pipe and
// reads the whole answer. Whatever the agent writes besides its answer lands
// in outPath: nothing should.
inline Exchange runAgent(kelvlx::Config c, char op, const Bytes &request, const std::string &outPath)
{
    int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    c.stdoutFd = c.stderrFd = outFd;
    Exchange ex;
    {
        kelvlx::Agent agent(c);
        EXPECT_EQ(KC_OK, agent.start(op));
        if (!request.empty()) {
            EXPECT_EQ(KC_OK, agent.send(request.data(), request.size()));
        }
        agent.closeInput();
        Bytes buf(512);
        size_t got = 0;
        EXPECT_EQ(KC_OK, agent.receive(buf.data(), buf.size(), &got));
        buf.resize(got);
        ex.answer = buf;
        agent.finish(&ex.st);
    }
    close(outFd);
    EXPECT_TRUE(pwfix::readFile(outPath).empty()) << "the agent wrote to standard output or error";
    return ex;
}

struct Generated {
    kelvlx::Status st;
    Bytes oldPw, newPw;
};

// Runs 'C' through the caller's library, answering with confirmation.
inline Generated generate(const kelvlx::Config &c, int codeSet, int flag, const Bytes &key, int32_t confirmation)
{
    kelvlx::Passwords pw;
    Generated g;
    // The returned code is g.st.error, which the callers check.
    (void)kelvlx::generatePassword(c, static_cast<unsigned char>(codeSet), static_cast<unsigned char>(flag),
                                   key.data(), key.size(), [&](const kelvlx::Passwords &) { return confirmation; },
                                   &pw, &g.st);
    g.oldPw.assign(pw.oldPw.b, pw.oldPw.b + pw.oldLen);
    g.newPw.assign(pw.newPw.b, pw.newPw.b + pw.newLen);
    return g;
}

}  // namespace reqfix
