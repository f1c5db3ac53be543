// kelcall: a caller of the agent on the command line, over the caller's
// library. Each run starts the agent once for one request. A key for 'C'
// comes from a descriptor, never from the command line, which every user
// can read.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/secure.h"
#include "kelvlx/kelclient.hpp"
#include "tools/toolcli.h"

namespace {

enum CallExit { CALL_OK = 0, CALL_FAILED = 1, CALL_USAGE = TOOL_USAGE, CALL_UNKNOWN = 3 };

constexpr char kTool[] = "kelcall";
constexpr size_t CALL_MAX_KEY = 16;           // bytes of a 'C' key
constexpr size_t CALL_MAX_KEY_TEXT = 128;     // its hex text, separators included

const char kUsage[] =
    "usage: kelcall --node NODE --server SERVER [OPTIONS] REQUEST\n"
    "  encipher HEX        encipher up to 64 bytes with the key of the stored server password\n"
    "  decipher HEX        decipher them again\n"
    "  keys                fetch the data-encryption key texts (current and saved)\n"
    "  generate            have the agent make a new server password and show it\n"
    "      --confirm       store it (the default is to show it and keep the old one)\n"
    "      --ask           ask on the terminal whether to store it\n"
    "      --key-fd N      send both passwords enciphered with the key read, as hex (up to 16\n"
    "                      bytes), from descriptor N (0: standard input)\n"
    "options:\n"
    "  --dir DIR           the directory of ZAR.PWD (default: the installed one)\n"
    "  --cipher best|des|aes|N   the cipher (default best)\n"
    "  --codeset N         the server's code set (22: EBCDIC; default 0)\n"
    "  --agent PATH, --catalogs DIR, --language L, --build-stamp TEXT\n"
    "                      another agent, catalog directory, language or build stamp than the installed\n"
    "  -h, --help          this text\n"
    "  -V, --version       the version and the agent build stamp\n"
    "Exit status: 0 done, 1 the request failed (the reason is printed), 2 usage error,\n"
    "3 generate --confirm: whether the new password is stored is unknown (the agent ended without a status).\n";

struct CallOptions {
    kelvlx::Config cfg = kelvlx::defaultConfig();
    int codeSet = 0;
    bool confirm = false;
    bool ask = false;
    int keyFd = -1;
    std::vector<std::string> words;
};

int usage(const std::string &problem)
{
    return toolUsageError(kTool, problem);
}

// Hex text (blanks and colons allowed between bytes) into out (room for max
// bytes); false when it is not hex or longer.
bool parseHex(const unsigned char *text, size_t len, size_t max, unsigned char *out, size_t *outLen)
{
    *outLen = 0;
    int hi = -1;
    for (size_t i = 0; i < len; ++i) {
        const unsigned char ch = text[i];
        if (ch == ' ' || ch == ':' || ch == '\t')
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
            if (*outLen == max)
                return false;
            out[(*outLen)++] = static_cast<unsigned char>(hi * 16 + v);
            hi = -1;
        }
    }
    return hi < 0;
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
        return parseNumber(s.c_str(), 0, 2, out);   // the agent knows no other type
    return true;
}

// CALL_OK to go on, or the exit status (--help and --version end the run with 0).
int parseOptions(int argc, char **argv, CallOptions *o, bool *done)
{
    enum {
        OPT_NODE = 256, OPT_SERVER, OPT_DIR, OPT_AGENT, OPT_CATALOGS, OPT_LANGUAGE, OPT_STAMP, OPT_CIPHER,
        OPT_CODESET, OPT_CONFIRM, OPT_ASK, OPT_KEY_FD, OPT_KEY
    };
    static const struct option longOpts[] = {
        {"node", required_argument, nullptr, OPT_NODE},         {"server", required_argument, nullptr, OPT_SERVER},
        {"dir", required_argument, nullptr, OPT_DIR},           {"agent", required_argument, nullptr, OPT_AGENT},
        {"catalogs", required_argument, nullptr, OPT_CATALOGS}, {"language", required_argument, nullptr, OPT_LANGUAGE},
        {"build-stamp", required_argument, nullptr, OPT_STAMP}, {"cipher", required_argument, nullptr, OPT_CIPHER},
        {"codeset", required_argument, nullptr, OPT_CODESET},   {"confirm", no_argument, nullptr, OPT_CONFIRM},
        {"ask", no_argument, nullptr, OPT_ASK},                 {"key-fd", required_argument, nullptr, OPT_KEY_FD},
        {"key", required_argument, nullptr, OPT_KEY},           {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},                 {nullptr, 0, nullptr, 0}};
    opterr = 0;   // the problems are reported below, in the tool's own words
    int c;
    while ((c = getopt_long(argc, argv, ":hV", longOpts, nullptr)) != -1) {
        switch (c) {
        case OPT_NODE: o->cfg.node = optarg; break;
        case OPT_SERVER: o->cfg.server = optarg; break;
        case OPT_DIR: o->cfg.passwordDir = optarg; break;
        case OPT_AGENT: o->cfg.agentPath = optarg; break;
        case OPT_CATALOGS: o->cfg.catalogDir = optarg; break;
        case OPT_LANGUAGE: o->cfg.language = optarg; break;
        case OPT_STAMP: o->cfg.buildDate = o->cfg.buildTime = optarg; break;
        case OPT_CONFIRM: o->confirm = true; break;
        case OPT_ASK: o->ask = true; break;
        case OPT_CIPHER:
            if (!parseCipher(optarg, &o->cfg.cipherType))
                return usage("--cipher takes best, des, aes or a number 0 to 2");
            break;
        case OPT_CODESET:
            if (!parseNumber(optarg, 0, 255, &o->codeSet))
                return usage("--codeset takes a number 0 to 255");
            break;
        case OPT_KEY_FD:
            if (!parseNumber(optarg, 0, 1 << 20, &o->keyFd))
                return usage("--key-fd takes a descriptor number");
            break;
        case OPT_KEY:
            return usage("--key is not accepted: a key on the command line can be read by every user "
                         "(ps); give it with --key-fd");
        default:
            if ((*done = toolHelpOrVersion(c, kTool, kUsage)))
                return CALL_OK;
            return usage(toolOptionProblem(c, argv, optind));
        }
    }
    for (int i = optind; i < argc; ++i)
        o->words.push_back(argv[i]);
    if (o->words.empty())
        return usage("no request given");
    if (o->cfg.node.empty() || o->cfg.server.empty())
        return usage("--node and --server are needed");
    // The agent's notices go with the tool's to standard error; standard
    // output carries the answer alone.
    o->cfg.stdoutFd = 2;
    return CALL_OK;
}

int failed(const char *what, const kelvlx::Status &st)
{
    fprintf(stderr, "kelcall: %s failed: %s\n", what, kelvlx::describe(st).c_str());
    return CALL_FAILED;
}

int cmdCipher(const CallOptions &o, bool encipher)
{
    const char *what = encipher ? "encipher" : "decipher";
    if (o.words.size() != 2)
        return usage(std::string(what) + " takes one hex argument (use \"\" for an empty buffer)");
    const std::string &text = o.words[1];
    SecretBuf<64> data;   // the most the agent takes
    size_t len = 0;
    if (!parseHex(reinterpret_cast<const unsigned char *>(text.data()), text.size(), data.size(), data.b, &len))
        return usage("the data must be hex digits, at most 64 bytes");
    kelvlx::Answer answer;
    kelvlx::Status st;
    const unsigned char cs = static_cast<unsigned char>(o.codeSet);
    int rc = encipher ? kelvlx::encipher(o.cfg, cs, data.b, len, &answer, &st)
                      : kelvlx::decipher(o.cfg, cs, data.b, len, &answer, &st);
    if (rc != KC_OK)
        return failed(what, st);
    printf("%s\n", toHex(answer.buf.b, answer.len).c_str());
    return CALL_OK;
}

int cmdKeys(const CallOptions &o)
{
    if (o.words.size() != 1)
        return usage("keys takes no argument");
    kelvlx::Answer keys;
    kelvlx::Status st;
    if (kelvlx::fetchKeys(o.cfg, nullptr, &keys, &st) != KC_OK)
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
    FILE *tty = fopen("/dev/tty", "r+e");
    if (tty == nullptr)
        return false;
    fprintf(tty, "Store the new password? [y/N] ");
    fflush(tty);
    char line[16] = {};
    bool yes = fgets(line, sizeof line, tty) != nullptr && (line[0] == 'y' || line[0] == 'Y');
    fclose(tty);
    return yes;
}

// The key for 'C': hex text on one line of descriptor fd (asked for without
// echo on a terminal). An empty string, or what is wrong with it.
std::string readKey(int fd, SecretBuf<CALL_MAX_KEY> *key, size_t *keyLen)
{
    SecretBuf<CALL_MAX_KEY_TEXT> text;
    size_t len = 0;
    bool tooLong = false, readOk;
    if (isatty(fd) == 1)
        fprintf(stderr, "Key (hex, up to 16 bytes): ");
    {
        EchoOff quiet(fd);   // does nothing unless fd is a terminal
        readOk = toolReadSecretLine(fd, text.b, sizeof text.b, &len, &tooLong);
    }
    if (!readOk)
        return "the key could not be read from descriptor " + std::to_string(fd) + ": " + strerror(errno);
    if (tooLong || !parseHex(text.b, len, CALL_MAX_KEY, key->b, keyLen))
        return "the key must be hex digits, at most 16 bytes";
    return "";
}

int cmdGenerate(const CallOptions &o)
{
    if (o.words.size() != 1)
        return usage("generate takes no argument");
    SecretBuf<CALL_MAX_KEY> key;
    size_t keyLen = 0;
    const bool enciphered = o.keyFd >= 0;
    if (enciphered)
        if (std::string bad = readKey(o.keyFd, &key, &keyLen); !bad.empty())
            return usage(bad);
    bool store = false;
    auto decide = [&](const kelvlx::Passwords &pw) -> int32_t {
        printf("old password: %s\n", showPassword(pw.oldPw.b, pw.oldLen, enciphered).c_str());
        printf("new password: %s\n", showPassword(pw.newPw.b, pw.newLen, enciphered).c_str());
        fflush(stdout);
        store = o.confirm || (o.ask && askYes());
        return store ? KC_CONFIRM : KC_REFUSE;
    };
    kelvlx::Passwords pw;
    kelvlx::Status st;
    int rc = kelvlx::generatePassword(o.cfg, static_cast<unsigned char>(o.codeSet), enciphered ? 1 : 2, key.b, keyLen,
                                decide, &pw, &st);
    if (rc == KC_E_UNKNOWN) {
        // Neither "stored" nor "failed": the server's password must not change yet.
        fprintf(stderr,
                "kelcall: unknown: check with 'kelcall --node %s --server %s generate' (without --confirm), whose "
                "old password is the stored one: %s\n",
                o.cfg.node.c_str(), o.cfg.server.c_str(), kelvlx::describe(st).c_str());
        return CALL_UNKNOWN;
    }
    if (rc != KC_OK)
        return failed(o.confirm || o.ask ? "generating and storing the password" : "generating the password", st);
    printf(store ? "The new password is stored.\n" : "The new password was refused; the old one is kept.\n");
    if (st.settled)
        printf("(%s.)\n", kelvlx::describe(st).c_str());
    return CALL_OK;
}

struct CallRequest {
    const char *name;
    int (*run)(const CallOptions &o);
};

int cmdEncipher(const CallOptions &o) { return cmdCipher(o, true); }
int cmdDecipher(const CallOptions &o) { return cmdCipher(o, false); }

const CallRequest kRequests[] = {
    {"encipher", cmdEncipher}, {"decipher", cmdDecipher}, {"keys", cmdKeys}, {"generate", cmdGenerate}};

} // namespace

int main(int argc, char **argv)
{
    CallOptions opts;
    bool done = false;
    int rc = parseOptions(argc, argv, &opts, &done);
    if (rc != CALL_OK || done)
        return rc;
    for (const auto &req : kRequests)
        if (opts.words[0] == req.name)
            return req.run(opts);
    return usage("unknown request '" + opts.words[0] + "'");
}
