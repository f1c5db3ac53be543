// Writes the seed corpora of the fuzz harnesses into <dir>/<harness>/ (run
// with the repository's fuzz/corpus). Password files are laid out byte by byte
// with OpenSSL's DES and crypt (tests/common/unx/pwfixture.h), never with the
// writer; the names match the fixed node and server of the harnesses.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "tests/common/unx/pwfixture.h"

namespace {

using pwfix::Bytes;
using pwfix::Record;

std::string outDir;

void seed(const char *harness, const char *name, const Bytes &b)
{
    std::string dir = outDir + "/" + harness;
    mkdir(dir.c_str(), 0755);
    FILE *f = fopen((dir + "/" + name).c_str(), "wb");
    if (f == nullptr || fwrite(b.data(), 1, b.size(), f) != b.size()) {
        perror(name);
        exit(1);
    }
    fclose(f);
}

Bytes i32(int32_t v) { return Bytes(reinterpret_cast<const char *>(&v), sizeof v); }
Bytes nul() { return Bytes(1, '\0'); }

void passwordFiles()
{
    const Bytes s = "SERVER1", n = "NODE1";
    const Bytes typeThreeKey = Bytes("key") + Bytes(13, '\0');   // the harness's key for types 3 to 5
    Record mine = pwfix::v3(0, s, n, "stored-pw.1");
    Record other = pwfix::v3(0, s, "NODE2", "other-node-pw");
    seed("pswdfile", "empty", "");
    seed("pswdfile", "header-only", pwfix::header());
    seed("pswdfile", "server-password", pwfix::file({mine}));
    seed("pswdfile", "mixed", pwfix::file({other, mine, pwfix::saved(1, s, n, "old key v1"),
                                           pwfix::saved(2, s, n, "old key v3"), pwfix::v3(1, s, n, "current key")}));
    seed("pswdfile", "version1", pwfix::file({pwfix::v1(0, s, n, "converted-pw")}));
    seed("pswdfile", "version1-key", pwfix::file({pwfix::v1(1, s, n, "old format key")}));
    seed("pswdfile", "other-type", pwfix::file({pwfix::v3(3, s, "user1", "entity-pw", typeThreeKey)}));
    // Copied from another node: field 4 does not decipher to NODE1.
    Record copied = pwfix::v3(0, s, n, "pw");
    copied.f[3] = pwfix::enc(pwfix::keyOf(n), "NODE9");
    seed("pswdfile", "wrong-node", pwfix::file({copied}));
    Bytes whole = pwfix::file({other, mine});
    seed("pswdfile", "cut-short", whole.substr(0, whole.size() - 5));
    seed("pswdfile", "trailing-bytes", whole + "xyz");
    seed("pswdfile", "short-header", pwfix::header().substr(0, 30));
    Record wide = other;
    wide.f[3] = Bytes(80, 'w');   // fits the list, not a reader
    seed("pswdfile", "long-field", pwfix::file({wide, mine}));
    Record huge = mine;
    huge.f[1] = Bytes(200, 's');
    seed("pswdfile", "oversized-name", pwfix::file({huge}));
}

void requests()
{
    const Bytes data = "challenge: 0123456789abcdef0123456789ABCDEF";
    // Byte 0: handler (0 encipher, 1 decipher, 2 key request, 3 new password) | cipher type << 2.
    seed("requests", "encipher-des", Bytes("\x04") + nul() + data);
    seed("requests", "encipher-aes", Bytes("\x08") + nul() + data);
    seed("requests", "encipher-best-ebcdic", Bytes(1, '\0') + "\x16" + data);
    seed("requests", "encipher-empty", Bytes("\x04") + nul());
    seed("requests", "encipher-70-bytes", Bytes("\x04") + nul() + Bytes(70, 'd'));
    seed("requests", "decipher-des", Bytes("\x05") + nul() + Bytes("8 bytes!"));
    seed("requests", "decipher-aes", Bytes("\x09") + nul() + Bytes(32, 'a'));
    seed("requests", "bad-cipher-type", Bytes("\x0c") + nul() + data);
    seed("requests", "key-request", Bytes("\x02") + Bytes(16, 'r'));
    seed("requests", "new-text-confirmed", Bytes("\x07") + nul() + nul() + nul() + i32(67));
    seed("requests", "new-des-refused", Bytes("\x07") + nul() + "\x01\x08" + "8bytekey" + i32(66));
    seed("requests", "new-aes-confirmed", Bytes("\x0b") + "\x16\x01\x10" + Bytes(16, 'k') + i32(67));
    seed("requests", "new-key-too-long", Bytes("\x07") + nul() + nul() + "\x11" + Bytes(17, 'k'));
    seed("requests", "new-no-confirmation", Bytes("\x07") + nul() + "\x02" + nul());
}

// Stored bodies in catalog form: every 0 byte of an ordered body is 0x10.
Bytes ordered(const std::vector<int> &order, const std::vector<std::pair<Bytes, Bytes>> &slots,
              const std::vector<Bytes> &pieces)
{
    // kind 0, escape mask 0 (bytes 2 to 4 are taken as they are), three unread bytes, N
    Bytes b = Bytes("\x10") + Bytes(1, '\0') + "xxx";
    b += static_cast<char>(order.empty() ? 0x10 : order.size());
    for (int k : order)
        b += static_cast<char>(k == 0 ? 0x10 : k);
    for (const auto &sl : slots)
        b += sl.first + sl.second + "\x10";   // star count and type, format, terminator
    for (const Bytes &p : pieces)
        b += p + "\x10";
    return b;
}

void messageBodies()
{
    const Bytes z = "\x10";   // an escaped 0: star count 0 or type 0
    seed("nlsbody", "plain-s", "\x01The password file location %s cannot be opened or created.\n");
    seed("nlsbody", "plain-sis", "\x01%s(%u): internal error: %s\n");
    seed("nlsbody", "plain-siis", "\x01The crypto library call %s failed with major code %d, minor code %d: %s\n");
    seed("nlsbody", "plain-none", "\x01<<< end of log data >>> 100%% done");
    seed("nlsbody", "plain-star", "\x01[%-*.*s]");
    seed("nlsbody", "plain-refused", "\x01%s wrote %n bytes");
    seed("nlsbody", "ordered-reversed",
         ordered({1, 0}, {{z + z, "%s"}, {z + z, "%-10s"}}, {"Knoten ", " auf Server ", "."}));
    seed("nlsbody", "ordered-star-int", ordered({0}, {{Bytes("\x01") + "\x01", "%*d"}}, {"[", "]"}));
    seed("nlsbody", "ordered-wide", ordered({0}, {{z + z, "%ls"}}, {"wide: ", ""}));
    seed("nlsbody", "ordered-double", ordered({0}, {{z + "\x03", "%.3f"}}, {"", " s"}));
    seed("nlsbody", "ordered-long", ordered({0, 1}, {{z + "\x01", "%d"}, {z + "\x02", "%ld"}}, {"", "/", ""}));
    seed("nlsbody", "ordered-none", ordered({}, {}, {"Keine Einf\xc3\xbcgungen."}));
    Bytes ten;
    std::vector<int> order;
    std::vector<std::pair<Bytes, Bytes>> slots;
    std::vector<Bytes> pieces(1, "<");
    for (int i = 0; i < 10; i++) {
        order.push_back(9 - i);
        slots.push_back({z + z, "%s"});
        pieces.push_back("|");
    }
    seed("nlsbody", "ordered-ten", ordered(order, slots, pieces));
    seed("nlsbody", "unknown-kind", "\x05whatever %s");
}

void quotedTokens()
{
    // Byte 0: the small buffer's size (1 + low six bits), the character set (top two bits).
    seed("qtoken", "plain", "\x20trace.out next");
    seed("qtoken", "quoted", "\x08  \"name with blanks\" 'single' rest");
    seed("qtoken", "assignment", "\x3f" "file=\"value with blanks\" other=x");
    seed("qtoken", "unterminated", "\x10\"no end");
    seed("qtoken", "glued-quote", "\x10\"a\"b c");
    seed("qtoken", "stray-quote", "\x10" "abc\"");
    seed("qtoken", "multibyte", "\x05na\xc3\xafve \"\xe4\xb8\xad\xe6\x96\x87\" \xe3\x80\x80tail");
    seed("qtoken", "utf8", "\x45na\xc3\xafve \"\xe4\xb8\xad\xe6\x96\x87\" \xe3\x80\x80tail 'x\xc3'");
    seed("qtoken", "eucjp", "\x85\xa4\xa2\xa4\xa4 \"\xc6\xfc\xcb\xdc\" \xa1\xa1tail");
    seed("qtoken", "long", "\x3f" + Bytes(1300, 'L') + " short");
    seed("qtoken", "blanks-only", "\x01   \t  ");
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s <corpus directory>\n", argv[0]);
        return 2;
    }
    outDir = argv[1];
    mkdir(outDir.c_str(), 0755);
    passwordFiles();
    requests();
    messageBodies();
    quotedTokens();
    return 0;
}
