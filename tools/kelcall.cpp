// kelcall: a caller of the agent on the command line, over the client
// library. Each run starts the agent once for one request.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/kelclient.h"

namespace {

enum CallExit { CALL_OK = 0, CALL_FAILED = 1, CALL_USAGE = 2 };

const char kUsage[] =
    "usage: kelcall --node NODE --server SERVER [OPTIONS] REQUEST\n"
    "  encipher HEX        encipher up to 64 bytes with the key of the stored server password\n"
    "  decipher HEX        decipher them again\n"
    "  keys                fetch the data-encryption key texts (current and saved)\n"
    "  generate            have the agent make a new server password and show it\n"
    "      --confirm       store it (the default is to show it and keep the old one)\n"
    "      --ask           ask on the terminal whether to store it\n"
    "      --key HEX       send both passwords enciphered with this key (up to 16 bytes)\n"
    "options:\n"
    "  --dir DIR           the directory of ZAR.PWD\n"
    "  --cipher best|des|aes|N   the cipher (default best)\n"
    "  --codeset N         the server's code set (22: EBCDIC; default 0)\n"
    "  --agent PATH, --catalogs DIR, --language L, --build-stamp TEXT\n"
    "                      another agent, catalog directory, language or build stamp than this build's\n"
    "Exit status: 0 done, 1 the request failed (the reason is printed), 2 usage error.\n";

struct CallOptions {
    kcConfig cfg = kcDefaultConfig();
    int codeSet = 0;
    bool confirm = false;
    bool ask = false;
    std::string keyHex;
    bool keyGiven = false;
    std::vector<std::string> words;
};

int usage(const std::string &problem)
{
    if (!problem.empty())
        fprintf(stderr, "kelcall: %s\n", problem.c_str());
    fputs(kUsage, stderr);
    return CALL_USAGE;
}

// Hex text (blanks allowed between bytes) into out; false when it is not hex
// or longer than max bytes.
bool parseHex(const std::string &text, size_t max, std::vector<unsigned char> *out)
{
    out->clear();
    int hi = -1;
    for (char ch : text) {
        if (ch == ' ' || ch == ':')
            continue;
        int v;
        if (ch >= '0' && ch <= '9')
            v = ch - '0';
        else if (ch >= 'a' && ch <= 'f')
            v = ch - 'a' + 10;
        else if (ch >= 'A' && ch <= 'F')
            v = ch - 'A' + 10;
        else
            return false;
        if (hi < 0) {
            hi = v;
        } else {
            out->push_back(static_cast<unsigned char>(hi * 16 + v));
            hi = -1;
        }
    }
    return hi < 0 && out->size() <= max;
}

std::string toHex(const unsigned char *p, size_t n)
{
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool parseNumber(const char *text, int lo, int hi, int *out)
{
    char *end = nullptr;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < lo || v > hi)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool parseCipher(const std::string &s, int *out)
{
    if (s == "best")
        *out = 0;
    else if (s == "des")
        *out = 1;
    else if (s == "aes")
        *out = 2;
    else
        return parseNumber(s.c_str(), 0, 255, out);
    return true;
}

int parseOptions(int argc, char **argv, CallOptions *o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            exit(CALL_OK);
        } else if (a == "--confirm") {
            o->confirm = true;
        } else if (a == "--ask") {
            o->ask = true;
        } else if (a.rfind("--", 0) == 0 && !hasValue) {
            return usage(a + " needs a value");
        } else if (a == "--node") {
            o->cfg.node = argv[++i];
        } else if (a == "--server") {
            o->cfg.server = argv[++i];
        } else if (a == "--dir") {
            o->cfg.passwordDir = argv[++i];
        } else if (a == "--agent") {
            o->cfg.agentPath = argv[++i];
        } else if (a == "--catalogs") {
            o->cfg.catalogDir = argv[++i];
        } else if (a == "--language") {
            o->cfg.language = argv[++i];
        } else if (a == "--build-stamp") {
            o->cfg.buildDate = o->cfg.buildTime = argv[++i];
        } else if (a == "--key") {
            o->keyHex = argv[++i];
            o->keyGiven = true;
        } else if (a == "--cipher") {
            if (!parseCipher(argv[++i], &o->cfg.cipherType))
                return usage("--cipher takes best, des, aes or a number 0 to 255");
        } else if (a == "--codeset") {
            if (!parseNumber(argv[++i], 0, 255, &o->codeSet))
                return usage("--codeset takes a number 0 to 255");
        } else if (a.rfind("--", 0) == 0) {
            return usage("unknown option " + a);
        } else {
            o->words.push_back(a);
        }
    }
    if (o->words.empty())
        return usage("no request given");
    if (o->cfg.node.empty() || o->cfg.server.empty())
        return usage("--node and --server are needed");
    return CALL_OK;
}

int failed(const char *what, const kcStatus &st)
{
    fprintf(stderr, "kelcall: %s failed: %s\n", what, kcDescribe(st).c_str());
    return CALL_FAILED;
}

int cmdCipher(const CallOptions &o, bool encipher)
{
    const char *what = encipher ? "encipher" : "decipher";
    if (o.words.size() != 2)
        return usage(std::string(what) + " takes one hex argument (use \"\" for an empty buffer)");
    std::vector<unsigned char> data;
    if (!parseHex(o.words[1], 64, &data))
        return usage("the data must be hex digits, at most 64 bytes");
    kcAnswer answer;
    kcStatus st;
    const unsigned char cs = static_cast<unsigned char>(o.codeSet);
    int rc = encipher ? kcEncipher(o.cfg, cs, data.data(), data.size(), &answer, &st)
                      : kcDecipher(o.cfg, cs, data.data(), data.size(), &answer, &st);
    if (rc != KC_OK)
        return failed(what, st);
    printf("%s\n", toHex(answer.buf.b, answer.len).c_str());
    return CALL_OK;
}

int cmdKeys(const CallOptions &o)
{
    if (o.words.size() != 1)
        return usage("keys takes no argument");
    kcAnswer keys;
    kcStatus st;
    if (kcFetchKeys(o.cfg, nullptr, &keys, &st) != KC_OK)
        return failed("fetching the keys", st);
    static const char *const names[] = {"current key", "saved key 1", "saved key 2"};
    for (size_t slot = 0; slot < 3; ++slot) {
        const unsigned char *p = keys.buf.b + slot * KC_KEY_SLOT;
        const size_t len = strnlen(reinterpret_cast<const char *>(p), KC_KEY_SLOT);
        if (len == 0)
            printf("%s: (none)\n", names[slot]);
        else if (len == KC_KEY_SLOT)
            printf("%s: (not terminated in its slot) %s\n", names[slot], toHex(p, len).c_str());
        else
            printf("%s: %.*s\n", names[slot], static_cast<int>(len), reinterpret_cast<const char *>(p));
    }
    return CALL_OK;
}

std::string showPassword(const unsigned char *p, size_t n, bool enciphered)
{
    if (enciphered)
        return toHex(p, n) + " (enciphered, hex)";
    if (n == 0)
        return "(none stored)";
    return std::string(reinterpret_cast<const char *>(p), n);
}

bool askYes()
{
    FILE *tty = fopen("/dev/tty", "r+");
    if (tty == nullptr)
        return false;
    fprintf(tty, "Store the new password? [y/N] ");
    fflush(tty);
    char line[16] = {};
    bool yes = fgets(line, sizeof line, tty) != nullptr && (line[0] == 'y' || line[0] == 'Y');
    fclose(tty);
    return yes;
}

int cmdGenerate(const CallOptions &o)
{
    if (o.words.size() != 1)
        return usage("generate takes no argument");
    std::vector<unsigned char> key;
    if (o.keyGiven && !parseHex(o.keyHex, 16, &key))
        return usage("--key must be hex digits, at most 16 bytes");
    const bool enciphered = o.keyGiven;
    bool store = false;
    auto decide = [&](const kcPasswords &pw) -> int32_t {
        printf("old password: %s\n", showPassword(pw.oldPw.b, pw.oldLen, enciphered).c_str());
        printf("new password: %s\n", showPassword(pw.newPw.b, pw.newLen, enciphered).c_str());
        fflush(stdout);
        store = o.confirm || (o.ask && askYes());
        return store ? KC_CONFIRM : KC_REFUSE;
    };
    kcPasswords pw;
    kcStatus st;
    int rc = kcGeneratePassword(o.cfg, static_cast<unsigned char>(o.codeSet), enciphered ? 1 : 2, key.data(),
                                key.size(), decide, &pw, &st);
    if (rc != KC_OK)
        return failed(o.confirm || o.ask ? "generating and storing the password" : "generating the password", st);
    printf(store ? "The new password is stored.\n" : "The new password was refused; the old one is kept.\n");
    return CALL_OK;
}

} // namespace

int main(int argc, char **argv)
{
    CallOptions opts;
    int rc = parseOptions(argc, argv, &opts);
    if (rc != CALL_OK)
        return rc;
    const std::string &req = opts.words[0];
    if (req == "encipher")
        return cmdCipher(opts, true);
    if (req == "decipher")
        return cmdCipher(opts, false);
    if (req == "keys")
        return cmdKeys(opts);
    if (req == "generate")
        return cmdGenerate(opts);
    return usage("unknown request " + req);
}
