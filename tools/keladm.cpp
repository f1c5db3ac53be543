// keladm: the administrator's tool for ZAR.PWD. Run as root, it uses the
// password store directly: it puts a machine's first passwords into the file,
// lists and deletes records, and checks a file without changing it.
#include <errno.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/mem/secure.h"
#include "common/nls/nlsinit.h"
#include "common/unx/fio.h"
#include "common/unx/pssec.h"
#include "common/ut/dscore.h"
#include "common/ut/dspswd.h"
#include "tools/pwfscan.h"

#ifndef KEL_CATALOG_DIR
#define KEL_CATALOG_DIR "catalogs"
#endif

namespace {

// Exit statuses of the tool.
enum AdmExit { ADM_OK = 0, ADM_FAILED = 1, ADM_USAGE = 2, ADM_DAMAGED = 3 };

constexpr size_t ADM_MAX_PASSWORD = 63;   // fits a 64-byte key slot with its NUL

const char kUsage[] =
    "usage: keladm [--dir DIR] [--catalogs DIR] COMMAND [ARGUMENTS]\n"
    "  set-server NODE SERVER   store the password NODE signs on to SERVER with\n"
    "  set-key NODE SERVER      store the encryption-key password of NODE for SERVER\n"
    "                           (either password is read from standard input, at most 63 bytes)\n"
    "  list                     list the records: type, names, version, saved marks (never a password)\n"
    "  delete server|key NODE SERVER\n"
    "                           remove the server password or the current encryption key\n"
    "  check                    report any damage of the file and where it starts; changes nothing\n"
    "  --dir DIR                the directory of ZAR.PWD (default: the current directory)\n"
    "  --catalogs DIR           the message catalogs (default: those of this build)\n"
    "Exit status: 0 done, 1 failed, 2 usage error, 3 the file is damaged.\n";

struct AdmOptions {
    std::string dir = ".";
    std::string catalogs = KEL_CATALOG_DIR;
    std::vector<std::string> words;
};

int usage(const char *problem)
{
    if (problem != nullptr)
        fprintf(stderr, "keladm: %s\n", problem);
    fputs(kUsage, stderr);
    return ADM_USAGE;
}

std::string filePath(const AdmOptions &o)
{
    return o.dir.empty() || o.dir.back() == '/' ? o.dir + "ZAR.PWD" : o.dir + "/ZAR.PWD";
}

// What a code of the password store means, in words.
std::string storeCodeText(int rc)
{
    switch (rc) {
    case -1: return "the password file or its directory could not be opened, created or rewritten, or the file is "
                    "damaged (code -1)";
    case 165: return "the password file could not be written completely (code 165)";
    case 102: return "out of memory (code 102)";
    case 168: return "no usable record is stored (code 168)";
    default: return "the cipher failed (code " + std::to_string(rc) + ")";
    }
}

// Turns terminal echo off while a password is typed.
class EchoOff {
public:
    explicit EchoOff(int fd) : fd_(fd)
    {
        if (tcgetattr(fd_, &old_) == 0) {
            struct termios quiet = old_;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            active_ = tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~EchoOff()
    {
        if (active_) {
            tcsetattr(fd_, TCSAFLUSH, &old_);
            fputc('\n', stderr);
        }
    }
    EchoOff(const EchoOff &) = delete;
    EchoOff &operator=(const EchoOff &) = delete;

private:
    int fd_;
    struct termios old_ {};
    bool active_ = false;
};

// Reads one line from fd byte by byte (no stdio buffer keeps a copy) into
// buf. 0, or a sentence on what is wrong with it.
const char *readPasswordLine(int fd, SecretBuf<128> *buf, size_t *len)
{
    *len = 0;
    bool tooLong = false, control = false;
    for (;;) {
        unsigned char c;
        // byte by byte: nothing after the line is taken from the descriptor
        if (fioReadFull(fd, &c, 1) != 0 || c == '\n')
            break;
        if (*len >= ADM_MAX_PASSWORD)
            tooLong = true;
        else
            buf->b[(*len)++] = c;
        if (c < 0x20 || c == 0x7F)
            control = true;
        kelZero(&c, 1);
    }
    if (*len > 0 && buf->b[*len - 1] == '\r' && !tooLong)
        buf->b[--*len] = 0;
    if (tooLong)
        return "the password is longer than 63 bytes";
    if (control)
        return "the password holds control characters";
    if (*len == 0)
        return "the password is empty";
    return nullptr;
}

// The password from standard input; asked twice, without echo, on a terminal.
bool askPassword(const char *what, const std::string &node, const std::string &server, SecretBuf<128> *pw)
{
    size_t len = 0;
    const bool tty = isatty(0) == 1;
    if (tty) {
        fprintf(stderr, "%s of node %s for server %s: ", what, node.c_str(), server.c_str());
        EchoOff quiet(0);
        if (const char *bad = readPasswordLine(0, pw, &len)) {
            fprintf(stderr, "keladm: %s\n", bad);
            return false;
        }
    } else if (const char *bad = readPasswordLine(0, pw, &len)) {
        fprintf(stderr, "keladm: %s\n", bad);
        return false;
    }
    if (tty) {
        SecretBuf<128> again;
        size_t againLen = 0;
        fprintf(stderr, "Again: ");
        EchoOff quiet(0);
        if (readPasswordLine(0, &again, &againLen) != nullptr || againLen != len ||
            memcmp(again.b, pw->b, len) != 0) {
            fprintf(stderr, "keladm: the two entries differ; nothing was stored\n");
            return false;
        }
    }
    return true;
}

bool namesFit(const std::string &node, const std::string &server)
{
    if (node.empty() || server.empty() || node.size() > PSWD_MAX_FIELD || server.size() > PSWD_MAX_FIELD) {
        fprintf(stderr, "keladm: a node or server name must have 1 to 67 bytes\n");
        return false;
    }
    return true;
}

int cmdSet(const AdmOptions &o, unsigned char type)
{
    if (o.words.size() != 3)
        return usage("set-server and set-key take a node name and a server name");
    const std::string &node = o.words[1], &server = o.words[2];
    if (!namesFit(node, server))
        return ADM_USAGE;
    const char *what = type == PSWD_TYPE_SERVER ? "Server password" : "Encryption-key password";
    SecretBuf<128> pw;
    if (!askPassword(what, node, server, &pw))
        return ADM_FAILED;

    std::string path = filePath(o);
    pswdFileInfo pfi;
    memset(&pfi, 0, sizeof pfi);
    pfi.pswdFile = path.data();
    ZeroOnExit wipeKey(pfi.cryptoKey, sizeof pfi.cryptoKey);
    // A server password travels as the second password, a key as the first.
    int rc = type == PSWD_TYPE_SERVER
                 ? dsSetPassword(&pfi, type, "", nullptr, pw.chars(), node.c_str(), server.c_str(), nullptr,
                                 nullptr, nullptr, path.c_str())
                 : dsSetPassword(&pfi, type, pw.chars(), nullptr, "", node.c_str(), server.c_str(), nullptr,
                                 nullptr, nullptr, path.c_str());
    if (rc != 0) {
        fprintf(stderr, "keladm: the %s could not be stored in %s: %s; the file was left as it was\n",
                pwfTypeName(type), path.c_str(), storeCodeText(rc).c_str());
        return ADM_FAILED;
    }
    printf("Stored the %s of node %s for server %s in %s.\n", pwfTypeName(type), node.c_str(), server.c_str(),
           path.c_str());
    return ADM_OK;
}

const char *savedMark(const pwfRecord &r)
{
    switch (r.savedPrefix) {
    case 1: return "saved earlier key (host key)";
    case 2: return "saved earlier key (node key)";
    default: return "-";
    }
}

void printDamage(const pwfScan &scan)
{
    printf("Damage at offset %zu: %s.\n", scan.damageOffset, scan.damage.c_str());
}

int cmdList(const AdmOptions &o)
{
    if (o.words.size() != 1)
        return usage("list takes no arguments");
    const std::string path = filePath(o);
    pwfScan scan;
    if (pwfScanFile(path, &scan) != 0) {
        fprintf(stderr, "keladm: %s: %s\n", path.c_str(), scan.damage.c_str());
        return ADM_FAILED;
    }
    if (!scan.exists) {
        printf("%s does not exist: no password is stored.\n", path.c_str());
        return ADM_OK;
    }
    printf("%s: %zu record%s\n", path.c_str(), scan.records.size(), scan.records.size() == 1 ? "" : "s");
    if (!scan.records.empty())
        printf("%3s  %-17s %-24s %-24s %-7s %s\n", "#", "TYPE", "SERVER/ENTITY", "NODE/USER", "VERSION", "SAVED");
    for (const auto &r : scan.records)
        printf("%3u  %-17s %-24s %-24s %-7u %s\n", r.index, pwfTypeName(r.type), pwfPrintable(r.server).c_str(),
               pwfPrintable(r.node).c_str(), r.version, savedMark(r));
    if (scan.damaged) {
        printDamage(scan);
        printf("Records after the damage are not shown; run 'keladm check'.\n");
        return ADM_DAMAGED;
    }
    return ADM_OK;
}

unsigned countMatching(const pwfScan &scan, unsigned char type, const std::string &node, const std::string &server)
{
    unsigned n = 0;
    for (const auto &r : scan.records)
        if (r.type == type && r.savedPrefix == 0 && r.node == node && r.server == server)
            ++n;
    return n;
}

int cmdDelete(const AdmOptions &o)
{
    if (o.words.size() != 4 || (o.words[1] != "server" && o.words[1] != "key"))
        return usage("delete takes 'server' or 'key', a node name and a server name");
    const unsigned char type = o.words[1] == "server" ? PSWD_TYPE_SERVER : PSWD_TYPE_ENCRKEY;
    const std::string &node = o.words[2], &server = o.words[3];
    if (!namesFit(node, server))
        return ADM_USAGE;
    const std::string path = filePath(o);
    pwfScan before;
    if (pwfScanFile(path, &before) != 0) {
        fprintf(stderr, "keladm: %s: %s\n", path.c_str(), before.damage.c_str());
        return ADM_FAILED;
    }
    if (before.damaged) {
        fprintf(stderr, "keladm: %s is damaged at offset %zu (%s); nothing was deleted\n", path.c_str(),
                before.damageOffset, before.damage.c_str());
        return ADM_DAMAGED;
    }
    const unsigned had = countMatching(before, type, node, server);
    if (had == 0) {
        fprintf(stderr, "keladm: no %s of node %s for server %s is stored in %s\n", pwfTypeName(type), node.c_str(),
                server.c_str(), path.c_str());
        return ADM_FAILED;
    }
    dsDeletePasswordRecord(nullptr, type, nullptr, node.c_str(), server.c_str(), nullptr, nullptr, nullptr,
                           path.c_str());
    // The delete reports nothing: the file itself tells whether it worked.
    pwfScan after;
    if (pwfScanFile(path, &after) != 0 || after.damaged || countMatching(after, type, node, server) != 0) {
        fprintf(stderr, "keladm: the %s of node %s for server %s could not be deleted from %s\n", pwfTypeName(type),
                node.c_str(), server.c_str(), path.c_str());
        return ADM_FAILED;
    }
    printf("Deleted %u %s record%s of node %s for server %s from %s%s.\n", had, pwfTypeName(type),
           had == 1 ? "" : "s", node.c_str(), server.c_str(), path.c_str(),
           after.exists ? "" : " (no record was left, so the file was removed)");
    return ADM_OK;
}

int cmdCheck(const AdmOptions &o)
{
    if (o.words.size() != 1)
        return usage("check takes no arguments");
    const std::string path = filePath(o);
    pwfScan scan;
    if (pwfScanFile(path, &scan) != 0) {
        printf("%s cannot be checked: %s.\n", path.c_str(), scan.damage.c_str());
        return ADM_FAILED;
    }
    if (!scan.exists) {
        printf("%s does not exist.\n", path.c_str());
        return ADM_FAILED;
    }
    if (scan.damaged) {
        printf("%s is damaged: %zu intact record%s before offset %zu.\n", path.c_str(), scan.records.size(),
               scan.records.size() == 1 ? "" : "s", scan.damageOffset);
        printDamage(scan);
        return ADM_DAMAGED;
    }
    unsigned checked = 0;
    for (const auto &r : scan.records)
        checked += r.nodeChecked ? 1 : 0;
    printf("%s is intact: %zu bytes, %zu record%s, %u node name%s deciphered correctly.\n", path.c_str(),
           scan.fileSize, scan.records.size(), scan.records.size() == 1 ? "" : "s", checked, checked == 1 ? "" : "s");
    return ADM_OK;
}

int parseOptions(int argc, char **argv, AdmOptions *o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "--dir" || a == "--catalogs") && i + 1 < argc) {
            (a == "--dir" ? o->dir : o->catalogs) = argv[++i];
        } else if (a == "-h" || a == "--help") {
            fputs(kUsage, stdout);
            exit(ADM_OK);
        } else if (a.size() > 1 && a[0] == '-' && o->words.empty()) {
            return usage(("unknown option " + a).c_str());
        } else {
            o->words.push_back(a);
        }
    }
    return o->words.empty() ? usage("no command given") : ADM_OK;
}

int runCommand(const AdmOptions &o)
{
    const std::string &cmd = o.words[0];
    if (cmd == "set-server")
        return cmdSet(o, PSWD_TYPE_SERVER);
    if (cmd == "set-key")
        return cmdSet(o, PSWD_TYPE_ENCRKEY);
    if (cmd == "list")
        return cmdList(o);
    if (cmd == "delete")
        return cmdDelete(o);
    if (cmd == "check")
        return cmdCheck(o);
    return usage(("unknown command " + cmd).c_str());
}

} // namespace

int main(int argc, char **argv)
{
    AdmOptions opts;
    int rc = parseOptions(argc, argv, &opts);
    if (rc != ADM_OK)
        return rc;
    if (geteuid() != 0) {
        fprintf(stderr, "keladm: must be run as root: the password file is readable by root only\n");
        return ADM_FAILED;
    }
    dsCoreInit(nullptr, 1);   // without the message object the file header is written blank
    nlsReturnInfo_t info;
    memset(&info, 0, sizeof info);
    // The catalog gives the text of the file header; without it the header is blank.
    if (nlinit("EN_US", 5, opts.catalogs.c_str(), 0, 1, 1, 1, &info, nullptr) != 0)
        fprintf(stderr, "keladm: no message catalog in %s; a new file header will be blank\n", opts.catalogs.c_str());
    rc = runCommand(opts);
    fflush(stdout);
    dsCoreCleanUp();
    return rc;
}
