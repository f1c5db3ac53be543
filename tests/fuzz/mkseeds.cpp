// Writes the seed corpora of the fuzz harnesses into <dir>/<harness>/ (run
// with the repository's fuzz/corpus). Password files are laid out byte by byte
// with OpenSSL's DES and crypt (tests/support/pwfixture.h), never with the
// writer; the names match the fixed node and server of the harnesses.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>

#include "tests/support/pwfixture.h"

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
    // The file's last byte chooses the harness's second write: the file ends
    // in a record of another node whose last ciphertext byte is set to it.
    const Bytes base = pwfix::file({mine, other});
    auto secondWrite = [&](const std::string &name, unsigned mode) {
        Bytes b = base;
        b.back() = static_cast<char>(mode);
        seed("pswdfile", ("second-write-" + name).c_str(), b);
    };
    const char *const modes[8] = {"paths", "key", "unserved-type", "type3", "long-password", "long-node", "", ""};
    for (unsigned m = 0; m < 6; m++)
        secondWrite(modes[m], m);
    for (unsigned step = 0; step < 9; step++)   // every step of the replacement failing once
        secondWrite("failing-step-" + std::to_string(step), 6 | step << 3);
    for (unsigned nth : {0u, 2u, 7u})
        secondWrite("refused-allocation-" + std::to_string(nth + 1), 7 | nth << 3);
    secondWrite("key-dropped", 1 | 1 << 3);
    secondWrite("key-of-a-long-node", 1 | 2 << 3);
    secondWrite("key-too-long", 1 | 4 << 3);
    secondWrite("type3-without-key", 3 | 1 << 3);
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
    // Bit 4: no password file; bit 5: the caller closed the output pipe.
    seed("requests", "encipher-without-file", Bytes("\x14") + nul() + data);
    seed("requests", "new-without-file", Bytes("\x17") + nul() + nul() + nul() + i32(67));
    seed("requests", "encipher-output-closed", Bytes("\x24") + nul() + data);
    seed("requests", "key-request-output-closed", Bytes("\x22") + Bytes(16, 'r'));
    seed("requests", "new-output-closed", Bytes("\x27") + nul() + nul() + nul() + i32(67));
    seed("requests", "new-enciphered-bad-type", Bytes("\x0f") + nul() + "\x01\x08" + "8bytekey" + i32(67));
    seed("requests", "no-code-set-byte", Bytes("\x04"));
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
    Bytes manyStars = "\x01";
    for (int i = 0; i < 16; i++)
        manyStars += "[%*d]";
    seed("nlsbody", "plain-many-stars", manyStars);   // more conversions than a signature holds
    seed("nlsbody", "ordered-reversed",
         ordered({1, 0}, {{z + z, "%s"}, {z + z, "%-10s"}}, {"Knoten ", " auf Server ", "."}));
    seed("nlsbody", "ordered-star-int", ordered({0}, {{Bytes("\x01") + "\x01", "%*d"}}, {"[", "]"}));
    seed("nlsbody", "ordered-wide", ordered({0}, {{z + z, "%ls"}}, {"wide: ", ""}));
    seed("nlsbody", "ordered-double", ordered({0}, {{z + "\x03", "%.3f"}}, {"", " s"}));
    seed("nlsbody", "ordered-long", ordered({0, 1}, {{z + "\x01", "%d"}, {z + "\x02", "%ld"}}, {"", "/", ""}));
    seed("nlsbody", "ordered-none", ordered({}, {}, {"Keine Einf\xc3\xbcgungen."}));
    seed("nlsbody", "ordered-literal-percent", ordered({0}, {{z + z, "%%%s"}}, {"", ""}));
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

// Catalogs of the message system, as the catalog harness reads them: a control
// byte, the language argument, then the stored texts of messages 102, 109,
// 1467, 1834, 2218, 9999, 21157, 21155, 11143 and 4242, each ending in 0.
Bytes catalog(unsigned char control, const Bytes &lang, const std::vector<Bytes> &texts)
{
    Bytes b = Bytes(1, static_cast<char>(control)) + lang;
    for (const Bytes &t : texts)
        b += nul() + t;
    return b;
}

void catalogs()
{
    // Control byte: locale (bits 0-2: C, de_DE.ISO-8859-1, ja_JP.EUC-JP,
    // de_DE.UTF-8, sv_SE.UTF-8, en_US.ISO-8859-1, DE_DE, xx_YY), client type
    // (bits 3-4: 0, 4, 9, 10), a cache of 1 instead of 5 (bit 5), every fifth
    // allocation refused (bit 6), the user's catalog missing (bit 7).
    const std::vector<Bytes> english = {
        "QEB0102W \x01Unable to open the message repository %s. The American English repository will be used "
        "instead.\n",
        "QEB0109E \x01Insufficient memory for allocation of message structure.\n",
        "QEB1467E \x01The crypto library call %s failed with major code %d, minor code %d: %s\n",
        "QEB1834E \x01The password file location %s cannot be opened or created.\n",
        "QEB2218I \x01The encryption key password of node %s for server %s has been converted to the current file "
        "format.\n",
        "QEB9999E \x01%s(%u): internal error: %s\n",
        "QEB21157W \x01Memory pool %d could not provide %d bytes.\n",
        "QEB21155E \x01Memory pool %d: an allocation of less than one byte was refused.\n",
        "QEB11143T \x01<<< end of log data >>>",
        "QEB4242I \x01A message the program does not issue.\n\x12TAG4242",
    };
    const Bytes z = "\x10";
    // A catalog holds no 0 byte: the mask says that bytes 2 to 4 are escaped 0s.
    auto ordered = [](const std::vector<int> &order, const std::vector<std::pair<Bytes, Bytes>> &slots,
                      const std::vector<Bytes> &pieces) {
        Bytes b = ::ordered(order, slots, pieces);
        return b.replace(1, 4, "\x0e\x10\x10\x10");
    };
    const std::vector<Bytes> german = {
        "QEB0102W " + ordered({0}, {{z + z, "%s"}}, {"Das Meldungsverzeichnis ", " kann nicht ge\xc3\xb6" "ffnet werden.\n"}),
        "QEB0109E \x01Zu wenig Speicher f\xc3\xbcr die Meldungsstruktur.\n",
        "QEB1467E " + ordered({1, 2, 3, 0}, {{z + z, "%s"}, {z + z, "%s"}, {z + "\x01", "%d"}, {z + "\x01", "%d"}},
                              {"Fehler (", "): Aufruf ", ", Hauptcode ", ", Nebencode ", ".\n"}),
        "QEB1834E " + ordered({0}, {{z + z, "%s"}}, {"Der Ort ", " kann nicht ge\xc3\xb6" "ffnet werden.\n"}),
        "QEB2218I " + ordered({1, 0}, {{z + z, "%s"}, {z + z, "%s"}}, {"F\xc3\xbcr Server ", ": Knoten ", ".\n"}),
        "QEB9999E " + ordered({1, 2, 0}, {{z + z, "%s"}, {z + z, "%s"}, {z + "\x01", "%u"}},
                              {"Interner Fehler: ", " (", ", Zeile ", ")\n"}),
        "QEB21157W " + ordered({0, 1}, {{z + "\x01", "%d"}, {z + "\x01", "%d"}},
                               {"Speicherpool ", " kann ", " Bytes nicht bereitstellen.\n"}),
        "QEB21155E \x01Speicherpool %d: weniger als ein Byte verweigert.\n",
        "QEB11143T \x01<<< Ende der Protokolldaten >>>",
        "QEB4242I \x01\xe2\x82\xac \xc3\x9f\x12" "ETIKETT",
    };
    seed("catalog", "english", catalog(0x00, "EN_US", english));
    seed("catalog", "german-latin1", catalog(0x01, "DE_DE", german));
    seed("catalog", "german-utf8", catalog(0x03, "DE_DE", german));
    seed("catalog", "german-eucjp", catalog(0x02, "JA_JP", german));
    seed("catalog", "unsupported-language", catalog(0x04, "SV_SE.UTF-8", german));
    seed("catalog", "english-latin1", catalog(0x05, "EN", english));
    seed("catalog", "upper-case-locale", catalog(0x06, "de", german));
    seed("catalog", "unknown-locale", catalog(0x07, "zh_TW.BIG5", english));
    seed("catalog", "users-catalog-missing", catalog(0x81, "DE_DE.ISO-8859-1", german));
    seed("catalog", "catalog-named-by-language", catalog(0x11, "kelclientV3.cat", german));
    seed("catalog", "quiet-client", catalog(0x08, "../EN_US", english));
    seed("catalog", "cache-of-one", catalog(0x21, "DE", german));
    seed("catalog", "few-messages", catalog(0x01, "DE_DE", {german[0], german[1]}));
    seed("catalog", "not-a-catalog", catalog(0x00, "EN_US", {}));
    seed("catalog", "long-language", catalog(0x01, Bytes(1300, 'L'), english));
    seed("catalog", "allocations-refused-english", catalog(0x40, "EN_US", english));
    seed("catalog", "allocations-refused-german", catalog(0x41, "DE", german));
    seed("catalog", "empty-language", catalog(0x00, "", {english[0]}));
    // Texts the reader must refuse or cut: an unknown letter, a withdrawn
    // message, five digits, no body, a tag and an early 0x12, escaped 0 bytes
    // in a plain body, conversions other than the program's, %n.
    seed("catalog", "damaged", catalog(0x01, "DE_DE",
                                       {"QEB0102X \x01%s\n", "QEB0109M withdrawn", "QEB01467E \x01%s %d %d %s",
                                        "QEB1", "QEB2218I \x01%s\x12" "early %s\x12TAG", "QEB9999E \x01%s\x10(%u)\x10%s",
                                        "QEB21157W \x01%s %s", "QEB21155E \x01%n", "QEB11143Z no body", "QEB42"}));
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
    catalogs();
    quotedTokens();
    return 0;
}
