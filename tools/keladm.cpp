// keladm: the administrator's tool for ZAR.PWD. Run as root, it uses the
// password store directly: it puts a machine's first passwords into the file,
// lists and deletes records, and checks a file without changing it. Every
// change, and every change it refuses, is logged to syslog (LOG_AUTHPRIV) as
// passwd and chpasswd log theirs: the record, the file and who asked; never
// a password.
#include <errno.h>
#include <getopt.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "base/secure.h"
#include "diag/nlsinit.h"
#include "store/pssec.h"
#include "diag/pssyslog.h"
#include "agent/vlxlandlock.h"
#include "agent/vlxsandbox.h"
#include "diag/dscore.h"
#include "base/fio.h"
#include "store/dspswd.h"
#include "client/kcstatustable.h"
#include "tools/pwfscan.h"
#include "tools/toolcli.h"

#ifndef KEL_CATALOG_DIR
#define KEL_CATALOG_DIR "/usr/share/kelvlx/catalogs"
#endif
#ifndef KEL_PASSWORD_DIR
#define KEL_PASSWORD_DIR "/var/lib/kelvlx"
#endif

namespace {

// Exit statuses of the tool.
enum AdmExit { ADM_OK = 0, ADM_FAILED = 1, ADM_USAGE = TOOL_USAGE, ADM_DAMAGED = 3 };

constexpr size_t ADM_MAX_PASSWORD = 63;   // fits a 64-byte key slot with its NUL
constexpr char kTool[] = "keladm";

const char kUsage[] =
    "usage: keladm [OPTIONS] COMMAND [ARGUMENTS]\n"
    "  set-server NODE SERVER   store the password NODE signs on to SERVER with\n"
    "  set-key NODE SERVER      store the encryption-key password of NODE for SERVER\n"
    "                           (either password is read from standard input, at most 63 bytes)\n"
    "      --drop-current       the file keeps one earlier key: when it holds one already, set-key\n"
    "                           replaces the current key only with this, dropping it for good\n"
    "  list                     list the records: type, names, version, saved marks (never a password)\n"
    "  delete server|key NODE SERVER\n"
    "                           remove the server password or the current encryption key\n"
    "  check                    report any damage of the file and where it starts, and files left by\n"
    "                           interrupted rewrites (the next write removes them); changes nothing\n"
    "options:\n"
    "  -d, --dir DIR            the directory of ZAR.PWD (default " KEL_PASSWORD_DIR ")\n"
    "      --create             make DIR (mode 0700) if it does not exist (set-server, set-key)\n"
    "      --format FORMAT      list as a table (default), tsv or json: one record per line\n"
    "      --catalogs DIR       the message catalogs (default " KEL_CATALOG_DIR ")\n"
    "  -h, --help               this text\n"
    "  -V, --version            the version and the agent build stamp\n"
    "Exit status: 0 done, 1 failed, 2 usage error, 3 the file is damaged.\n";

const char kDeleteUsage[] = "delete takes 'server' or 'key', a node name and a server name";

enum class ListFormat { Table, Tsv, Json };

struct AdmOptions {
    std::string dir = KEL_PASSWORD_DIR;
    std::string catalogs = KEL_CATALOG_DIR;
    bool create = false;
    bool dropCurrent = false;
    bool formatGiven = false;
    ListFormat format = ListFormat::Table;
    std::vector<std::string> words;
};

// One run of a command: what the audit line names.
struct AdmRun {
    const AdmOptions &o;
    std::string path;            // of ZAR.PWD
    bool changes = false;        // set and delete change the file; their outcome is logged
    int recordType = -1;         // once the command's words name a record
    std::string node, server;
};

std::string filePath(const std::string &dir)
{
    return dir.empty() || dir.back() == '/' ? dir + "ZAR.PWD" : dir + "/ZAR.PWD";
}

// A word of an audit line: a name can neither split the line nor forge a field.
std::string logWord(const std::string &s)
{
    return pwfPrintable(s, true);
}

// The name of uid, or its number.
std::string userName(uid_t uid)
{
    struct passwd *pw = getpwuid(uid);
    return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

// Who asked: the real user, and the login user the kernel keeps for the
// session when it is another (a change made through sudo or su).
std::string invokingUser()
{
    const uid_t uid = getuid();
    std::string who = "user=" + logWord(userName(uid)) + " uid=" + std::to_string(uid);
    if (FILE *f = fopen("/proc/self/loginuid", "re")) {
        unsigned long login = 0;
        const bool known = fscanf(f, "%lu", &login) == 1 && login != 4294967295ul;   // -1: not set
        fclose(f);
        if (known && login != uid)
            who += " login=" + logWord(userName(static_cast<uid_t>(login)));
    }
    return who;
}

const char *typeWord(int type)
{
    switch (type) {
    case PSWD_TYPE_SERVER: return "server";
    case PSWD_TYPE_ENCRKEY: return "key";
    default: return "other";
    }
}

// One audit line: "<command>: <outcome>; type=... node=... server=... file=... user=...".
void audit(const AdmRun &r, int priority, const std::string &outcome)
{
    std::string line = logWord(r.o.words.empty() ? "" : r.o.words[0]) + ": " + pwfPrintable(outcome) + ";";
    if (r.recordType >= 0)
        line += std::string(" type=") + typeWord(r.recordType) + " node=" + logWord(r.node) +
                " server=" + logWord(r.server);
    line += " file=" + logWord(r.path) + " " + invokingUser();
    (void)psLogSend(LOG_AUTHPRIV | priority, kTool, line.c_str());   // a log that cannot take it at once loses it
}

// Reports a failure on standard error (a usage error with the pointer to
// --help) and, for a command that would change the file, logs the refusal.
int refuse(const AdmRun &r, int status, const std::string &reason)
{
    if (r.changes)
        audit(r, LOG_WARNING, "refused: " + reason);
    if (status == ADM_USAGE)
        return toolUsageError(kTool, reason);
    fprintf(stderr, "%s: %s\n", kTool, reason.c_str());
    return status;
}

void changed(const AdmRun &r, const std::string &what)
{
    audit(r, LOG_NOTICE, what);
}

// What a code of the password store means, in words.
std::string storeCodeText(int rc)
{
    const char *text = kcStoreCodeText(rc);
    return std::string(text != nullptr ? text : "the cipher failed") + " (code " + std::to_string(rc) + ")";
}

// The password directory must exist: a mistyped --dir is refused rather than
// created. With --create a set command makes it, for root alone.
int checkDirectory(const AdmRun &r, bool mayCreate)
{
    struct stat sb;
    if (stat(r.o.dir.c_str(), &sb) == 0) {
        if (!S_ISDIR(sb.st_mode))
            return refuse(r, ADM_FAILED, r.o.dir + " is not a directory");
        return ADM_OK;
    }
    if (errno != ENOENT)
        return refuse(r, ADM_FAILED, r.o.dir + " cannot be examined: " + strerror(errno));
    if (!mayCreate || !r.o.create)
        return refuse(r, ADM_FAILED,
                      r.o.dir + " does not exist" + (mayCreate ? "; use --create to make it" : ""));
    // Missing parents too, as the agent makes them when it writes the first password.
    errno = 0;
    if (fioBuildPath(r.o.dir.c_str()) != 0) {
        const int e = errno;   // of the mkdir that failed; 0 for a path too long to build
        return refuse(r, ADM_FAILED, r.o.dir + " could not be created: " +
                                         (e != 0 ? strerror(e) : "the path is too long"));
    }
    if (chmod(r.o.dir.c_str(), 0700) != 0)   // the password directory is root's alone; its parents as the agent makes them
        return refuse(r, ADM_FAILED, r.o.dir + " was created, but its mode could not be set: " + strerror(errno));
    changed(r, "created the directory " + r.o.dir);
    return ADM_OK;
}

// The password from standard input; asked twice, without echo, on a terminal.
// An empty string, or the sentence on what is wrong with it.
std::string askPassword(const AdmRun &r, SecretBuf<128> *pw)
{
    const char *what = r.recordType == PSWD_TYPE_SERVER ? "Server password" : "Encryption-key password";
    const bool tty = isatty(0) == 1;
    size_t len = 0;
    bool tooLong = false, readOk;
    if (tty)
        fprintf(stderr, "%s of node %s for server %s: ", what, r.node.c_str(), r.server.c_str());
    {
        EchoOff quiet(0);   // does nothing unless standard input is a terminal
        readOk = toolReadSecretLine(0, pw->b, ADM_MAX_PASSWORD + 1, &len, &tooLong);
    }
    if (!readOk)
        return std::string("the password could not be read: ") + strerror(errno);
    if (tooLong || len > ADM_MAX_PASSWORD)
        return "the password is longer than 63 bytes";
    if (len == 0)
        return "the password is empty";
    for (size_t i = 0; i < len; ++i)
        if (pw->b[i] < 0x20 || pw->b[i] == 0x7F)
            return "the password holds control characters";
    if (tty) {
        SecretBuf<128> again;
        size_t againLen = 0;
        fprintf(stderr, "Again: ");
        EchoOff quiet(0);
        if (!toolReadSecretLine(0, again.b, ADM_MAX_PASSWORD + 1, &againLen, &tooLong) || againLen != len ||
            memcmp(again.b, pw->b, len) != 0)
            return "the two entries differ";
    }
    return "";
}

// Takes the record's names from the command's words; a usage problem or "".
std::string takeNames(AdmRun *r, size_t first)
{
    r->node = r->o.words[first];
    r->server = r->o.words[first + 1];
    if (r->node.empty() || r->server.empty() || r->node.size() > PSWD_MAX_FIELD ||
        r->server.size() > PSWD_MAX_FIELD)
        return "a node or server name must have 1 to 67 bytes";
    return "";
}

int cmdSet(AdmRun &r, unsigned char type)
{
    r.recordType = type;
    if (std::string bad = takeNames(&r, 1); !bad.empty())
        return refuse(r, ADM_USAGE, bad);
    if (int rc = checkDirectory(r, true); rc != ADM_OK)
        return rc;
    SecretBuf<128> pw;
    if (std::string bad = askPassword(r, &pw); !bad.empty())
        return refuse(r, ADM_FAILED, bad + "; nothing was stored");

    pswdFileInfo pfi;
    memset(&pfi, 0, sizeof pfi);
    pfi.pswdFile = r.path.data();
    ZeroOnExit wipeKey(pfi.cryptoKey, sizeof pfi.cryptoKey);
    const char *node = r.node.c_str(), *server = r.server.c_str();
    // A key is never dropped without the administrator's word: the file keeps
    // one earlier key, so with one kept already the current key would go.
    const pswdRequest rq{.fileInfo = &pfi, .path = r.path.c_str(), .node = node, .server = server};
    int rc = type == PSWD_TYPE_SERVER
                 ? dsSetPassword(rq, type, "", nullptr, pw.chars())
                 : psWriteKeyRecord(pw.chars(), node, server, &pfi, r.path.c_str(), r.o.dropCurrent ? 1 : 0);
    if (rc == PSWD_RC_KEY_WOULD_BE_LOST)
        return refuse(r, ADM_FAILED,
                      std::string("the file keeps one earlier key, and it holds one of node ") + node +
                          " for server " + server + " already: storing this key would drop the current key, and " +
                          "whatever was enciphered under it could no longer be deciphered; nothing was stored. " +
                          "Run again with --drop-current to replace the current key all the same");
    if (rc != 0)
        return refuse(r, ADM_FAILED,
                      std::string("the ") + pwfTypeName(type) + " could not be stored in " + r.path + ": " +
                          storeCodeText(rc) + "; the file was left as it was");
    changed(r, "stored");
    printf("Stored the %s of node %s for server %s in %s.\n", pwfTypeName(type), node, server, r.path.c_str());
    return ADM_OK;
}

const char *savedMark(const pwfRecord &rec)
{
    switch (rec.savedPrefix) {
    case 1: return "saved earlier key (host key)";
    case 2: return "saved earlier key (node key)";
    default: return "-";
    }
}

// A JSON string of a name: bytes outside printable ASCII as \u00XX.
std::string jsonString(const std::string &s)
{
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        }
    }
    return out + "\"";
}

// When the password file last changed, in UTC ("2026-12-11 06:40:52"), or ""
// when there is no file: an administrator sees that a change happened.
std::string lastChanged(const AdmRun &r, const char *format)
{
    struct stat sb;
    struct tm tm;
    char buf[32];
    if (lstat(r.path.c_str(), &sb) != 0 || gmtime_r(&sb.st_mtime, &tm) == nullptr ||
        strftime(buf, sizeof buf, format, &tm) == 0)
        return "";
    return buf;
}

void printTable(const AdmRun &r, const pwfScan &scan)
{
    const std::string changed = lastChanged(r, "%Y-%m-%d %H:%M:%S UTC");
    printf("%s: %zu record%s%s\n", r.path.c_str(), scan.records.size(), scan.records.size() == 1 ? "" : "s",
           changed.empty() ? "" : (", last changed " + changed).c_str());
    if (!scan.records.empty())
        printf("%3s  %-17s %-24s %-24s %-7s %s\n", "#", "TYPE", "SERVER/ENTITY", "NODE/USER", "VERSION", "SAVED");
    for (const auto &rec : scan.records)
        printf("%3u  %-17s %-24s %-24s %-7u %s\n", rec.index, pwfTypeName(rec.type),
               pwfPrintable(rec.server).c_str(), pwfPrintable(rec.node).c_str(), rec.version, savedMark(rec));
}

// index, type number, type word, server or entity, node or user, version, saved prefix.
void printTsv(const pwfScan &scan)
{
    for (const auto &rec : scan.records)
        printf("%u\t%u\t%s\t%s\t%s\t%u\t%u\n", rec.index, rec.type, typeWord(rec.type),
               pwfPrintable(rec.server).c_str(), pwfPrintable(rec.node).c_str(), rec.version, rec.savedPrefix);
}

// One object: the file, when it last changed (or null), its records one per
// line, and the damage (or null).
void printJson(const AdmRun &r, const pwfScan &scan)
{
    const std::string changed = lastChanged(r, "%Y-%m-%dT%H:%M:%SZ");
    printf("{\"file\":%s,\"changed\":%s,\"records\":[\n", jsonString(r.path).c_str(),
           changed.empty() ? "null" : jsonString(changed).c_str());
    for (size_t i = 0; i < scan.records.size(); ++i) {
        const auto &rec = scan.records[i];
        printf("{\"index\":%u,\"type\":%u,\"kind\":\"%s\",\"server\":%s,\"node\":%s,\"version\":%u,\"saved\":%u}%s\n",
               rec.index, rec.type, typeWord(rec.type), jsonString(rec.server).c_str(),
               jsonString(rec.node).c_str(), rec.version, rec.savedPrefix, i + 1 < scan.records.size() ? "," : "");
    }
    if (scan.damaged)
        printf("],\"damage\":{\"offset\":%zu,\"reason\":%s}}\n", scan.damageOffset, jsonString(scan.damage).c_str());
    else
        printf("],\"damage\":null}\n");
}

// Reads the file for list and check; ADM_OK when it could be read or does not exist yet
// (a fresh install has stored nothing, which is not a failure; scan->exists tells).
int scanStore(const AdmRun &r, pwfScan *scan)
{
    if (int rc = checkDirectory(r, false); rc != ADM_OK)
        return rc;
    if (pwfScanFile(r.path, scan) != 0)
        return refuse(r, ADM_FAILED, r.path + ": " + scan->damage);
    return ADM_OK;
}

// Reads the file for delete; ADM_OK when it exists and could be read.
int scanExisting(const AdmRun &r, pwfScan *scan)
{
    if (int rc = scanStore(r, scan); rc != ADM_OK)
        return rc;
    if (!scan->exists)
        return refuse(r, ADM_FAILED, r.path + " does not exist: no password is stored");
    return ADM_OK;
}

int reportDamage(const AdmRun &r, const pwfScan &scan, const std::string &consequence)
{
    return refuse(r, ADM_DAMAGED,
                  r.path + " is damaged at offset " + std::to_string(scan.damageOffset) + ": " + scan.damage + "; " +
                      consequence);
}

int cmdList(AdmRun &r)
{
    pwfScan scan;
    if (int rc = scanStore(r, &scan); rc != ADM_OK)
        return rc;
    switch (r.o.format) {
    case ListFormat::Table:
        printTable(r, scan);
        if (!scan.exists)
            printf("%s does not exist yet: no password is stored.\n", r.path.c_str());
        break;
    case ListFormat::Tsv: printTsv(scan); break;
    case ListFormat::Json: printJson(r, scan); break;
    }
    fflush(stdout);
    if (scan.damaged)
        return reportDamage(r, scan, "records after it are not shown; run 'keladm check'");
    return ADM_OK;
}

unsigned countMatching(const pwfScan &scan, unsigned char type, const std::string &node, const std::string &server)
{
    unsigned n = 0;
    for (const auto &rec : scan.records)
        if (rec.type == type && rec.savedPrefix == 0 && rec.node == node && rec.server == server)
            ++n;
    return n;
}

int cmdDelete(AdmRun &r)
{
    if (r.o.words[1] != "server" && r.o.words[1] != "key")
        return refuse(r, ADM_USAGE, kDeleteUsage);
    const unsigned char type = r.o.words[1] == "server" ? PSWD_TYPE_SERVER : PSWD_TYPE_ENCRKEY;
    r.recordType = type;
    if (std::string bad = takeNames(&r, 2); !bad.empty())
        return refuse(r, ADM_USAGE, bad);
    pwfScan before;
    if (int rc = scanExisting(r, &before); rc != ADM_OK)
        return rc;
    if (before.damaged)
        return reportDamage(r, before, "nothing was deleted");
    const unsigned had = countMatching(before, type, r.node, r.server);
    if (had == 0)
        return refuse(r, ADM_FAILED,
                      std::string("no ") + pwfTypeName(type) + " of node " + r.node + " for server " + r.server +
                          " is stored in " + r.path);
    const int rc = psRemovePasswordRecord(type, r.node.c_str(), r.server.c_str(), r.path.c_str());
    if (rc != 0)
        return refuse(r, ADM_FAILED,
                      std::string("the ") + pwfTypeName(type) + " of node " + r.node + " for server " + r.server +
                          " could not be deleted from " + r.path + ": " + storeCodeText(rc) +
                          "; the file was left as it was");
    struct stat sb;
    const bool removed = lstat(r.path.c_str(), &sb) != 0 && errno == ENOENT;
    changed(r, "deleted");
    printf("Deleted %u %s record%s of node %s for server %s from %s%s.\n", had, pwfTypeName(type),
           had == 1 ? "" : "s", r.node.c_str(), r.server.c_str(), r.path.c_str(),
           removed ? " (no record was left, so the file was removed)" : "");
    return ADM_OK;
}

// Files that rewrites which were killed left beside the password file.
void printLeftovers(const AdmRun &r)
{
    std::vector<std::string> names;
    auto collect = [](void *ctx, const char *name) { static_cast<std::vector<std::string> *>(ctx)->push_back(name); };
    if (psListLeftovers(r.path.c_str(), collect, &names) <= 0)
        return;
    for (const std::string &n : names)
        printf("Left by an interrupted rewrite: %s (it may hold passwords; the next write removes it).\n",
               pwfPrintable(n).c_str());
}

// True when something accepts datagrams on the system log socket. The agent's
// audit lines are dropped without a word when nothing does, so check says so.
bool systemLogListens()
{
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    static_assert(sizeof "/dev/log" <= sizeof sa.sun_path);
    memcpy(sa.sun_path, "/dev/log", sizeof "/dev/log");
    const bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
    close(fd);   // nothing was written: a failed close loses nothing
    return ok;
}

void warnIfNoSystemLog()
{
    if (!systemLogListens())
        fprintf(stderr, "%s: warning: nothing listens on /dev/log, so the agent's audit lines are lost "
                        "(start journald or a syslog daemon)\n", kTool);
}

// The agent confines its files with what the kernel offers and serves
// without where it offers nothing; check says when this machine gives less
// than the whole confinement.
void warnIfFilesNotConfined()
{
    const int abi = vlxLandlockAbi();
    switch (vlxFilesForAbi(abi)) {
    case VlxFiles::Confined:
        break;
    case VlxFiles::Partial:
        fprintf(stderr, "%s: warning: this kernel confines the agent's files only in part (Landlock interface %d): "
                        "its audit lines say files=partial\n", kTool, abi);
        break;
    case VlxFiles::No:
        fprintf(stderr, "%s: warning: this kernel does not confine the agent's files (no Landlock): its audit "
                        "lines say files=no\n", kTool);
        break;
    }
}

// Whether the agent can load its system-call filter on this machine. Where
// it cannot, it serves every request unconfined (its audit lines say
// confined=no): a warning at once. Where it can, one line after the file's
// report, returned as the check's own result.
int reportConfinement(int err, int rc)
{
    if (err == 0 && rc == ADM_OK)
        printf("This kernel lets the agent confine itself: requests run under its system-call filter.\n");
    return rc;
}

void warnIfUnconfined(int err)
{
    if (err != 0)
        fprintf(stderr, "%s: warning: this kernel does not let the agent confine itself (%s): it serves requests "
                        "without its system-call filter, and their audit lines say confined=no\n", kTool,
                strerror(err));
}

const char *fileKind(mode_t mode)
{
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISDIR(mode))
        return "a directory";
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "not a regular file";
}

// What makes every write of the agent fail (255, nothing stored) while the
// file itself reads well: the lock name taken by something that is not a
// regular file, a directory or file that is not root's alone. One sentence
// each, with what to do; empty when nothing blocks.
std::vector<std::string> writeBlockers(const AdmRun &r)
{
    std::vector<std::string> found;
    struct stat sb;
    const std::string lock = r.path + ".lock";
    if (lstat(lock.c_str(), &sb) == 0 && !S_ISREG(sb.st_mode))
        found.push_back(lock + " is " + fileKind(sb.st_mode) +
                        ", not a regular file, so no writer can take the lock and every write fails; remove it "
                        "(rm " + (S_ISDIR(sb.st_mode) ? "-r " : "") + lock + "): the next write makes it again");
    if (stat(r.o.dir.c_str(), &sb) == 0) {
        if (sb.st_uid != 0)
            found.push_back(r.o.dir + " is not root's (owner " + std::to_string(sb.st_uid) +
                            "), so the agent writes nothing there; chown root " + r.o.dir);
        if ((sb.st_mode & (S_IWGRP | S_IWOTH)) != 0)
            found.push_back(r.o.dir + " may be written by others than root (mode " +
                            std::to_string((sb.st_mode >> 6) & 7) + std::to_string((sb.st_mode >> 3) & 7) +
                            std::to_string(sb.st_mode & 7) + "), so the agent writes nothing there; chmod go-w " +
                            r.o.dir);
    }
    if (lstat(r.path.c_str(), &sb) == 0 && S_ISREG(sb.st_mode) && sb.st_uid != 0)
        found.push_back(r.path + " is not root's (owner " + std::to_string(sb.st_uid) +
                        "), so the agent leaves it alone and every write fails; chown root " + r.path);
    return found;
}

// The file's own report for check.
int checkStore(AdmRun &r)
{
    pwfScan scan;
    if (int rc = scanStore(r, &scan); rc != ADM_OK)
        return rc;
    printLeftovers(r);
    if (const std::vector<std::string> blockers = writeBlockers(r); !blockers.empty()) {
        for (const auto &b : blockers)
            fprintf(stderr, "%s: %s\n", kTool, b.c_str());
        return ADM_FAILED;
    }
    if (!scan.exists) {
        printf("%s does not exist yet: no password is stored, so there is nothing to check.\n", r.path.c_str());
        return ADM_OK;
    }
    if (scan.damaged)
        return reportDamage(r, scan,
                            std::to_string(scan.records.size()) + " intact record" +
                                (scan.records.size() == 1 ? "" : "s") + " before it");
    unsigned checked = 0;
    for (const auto &rec : scan.records)
        checked += rec.nodeChecked ? 1 : 0;
    printf("%s is intact: %zu bytes, %zu record%s, %u node name%s deciphered correctly.\n", r.path.c_str(),
           scan.fileSize, scan.records.size(), scan.records.size() == 1 ? "" : "s", checked,
           checked == 1 ? "" : "s");
    return ADM_OK;
}

int cmdCheck(AdmRun &r)
{
    warnIfNoSystemLog();
    const int confinement = vlxConfinementProbe();
    warnIfUnconfined(confinement);
    warnIfFilesNotConfined();
    return reportConfinement(confinement, checkStore(r));
}

bool parseFormat(const char *text, ListFormat *out)
{
    const std::string f = text;
    if (f == "table")
        *out = ListFormat::Table;
    else if (f == "tsv")
        *out = ListFormat::Tsv;
    else if (f == "json")
        *out = ListFormat::Json;
    else
        return false;
    return true;
}

// ADM_OK to go on, or the exit status (--help and --version end the run with 0).
int parseOptions(int argc, char **argv, AdmOptions *o, bool *done)
{
    enum { OPT_CREATE = 256, OPT_FORMAT, OPT_CATALOGS, OPT_DROP_CURRENT };
    static const struct option longOpts[] = {
        {"dir", required_argument, nullptr, 'd'},      {"create", no_argument, nullptr, OPT_CREATE},
        {"drop-current", no_argument, nullptr, OPT_DROP_CURRENT},
        {"format", required_argument, nullptr, OPT_FORMAT}, {"catalogs", required_argument, nullptr, OPT_CATALOGS},
        {"help", no_argument, nullptr, 'h'},           {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0}};
    opterr = 0;   // the problems are reported below, in the tool's own words
    int c;
    while ((c = getopt_long(argc, argv, ":d:hV", longOpts, nullptr)) != -1) {
        switch (c) {
        case 'd': o->dir = optarg; break;
        case OPT_CREATE: o->create = true; break;
        case OPT_DROP_CURRENT: o->dropCurrent = true; break;
        case OPT_CATALOGS: o->catalogs = optarg; break;
        case OPT_FORMAT:
            o->formatGiven = true;
            if (!parseFormat(optarg, &o->format))
                return toolUsageError(kTool, "--format takes table, tsv or json");
            break;
        default:
            if ((*done = toolHelpOrVersion(c, kTool, kUsage)))
                return ADM_OK;
            return toolUsageError(kTool, toolOptionProblem(c, argv, optind));
        }
    }
    for (int i = optind; i < argc; ++i)
        o->words.push_back(argv[i]);
    if (o->words.empty())
        return toolUsageError(kTool, "no command given");
    if (o->dir.empty())
        return toolUsageError(kTool, "--dir needs a directory");
    if (o->formatGiven && o->words[0] != "list")
        return toolUsageError(kTool, "--format applies to list only");
    if (o->dropCurrent && o->words[0] != "set-key")
        return toolUsageError(kTool, "--drop-current applies to set-key only");
    return ADM_OK;
}

struct AdmCommand {
    const char *name;
    int (*run)(AdmRun &r);
    bool changes;         // its outcome goes to syslog
    size_t words;         // with the command's own name
    const char *usage;    // when the count is wrong
};

int cmdSetServer(AdmRun &r) { return cmdSet(r, PSWD_TYPE_SERVER); }
int cmdSetKey(AdmRun &r) { return cmdSet(r, PSWD_TYPE_ENCRKEY); }

const char kSetUsage[] = "set-server and set-key take a node name and a server name";
const AdmCommand kCommands[] = {
    {"set-server", cmdSetServer, true, 3, kSetUsage},
    {"set-key", cmdSetKey, true, 3, kSetUsage},
    {"list", cmdList, false, 1, "list takes no arguments"},
    {"delete", cmdDelete, true, 4, kDeleteUsage},
    {"check", cmdCheck, false, 1, "check takes no arguments"},
};

const AdmCommand *findCommand(const std::string &name)
{
    for (const auto &cmd : kCommands)
        if (name == cmd.name)
            return &cmd;
    return nullptr;
}

} // namespace

int main(int argc, char **argv)
{
    AdmOptions opts;
    bool done = false;
    int rc = parseOptions(argc, argv, &opts, &done);
    if (rc != ADM_OK || done)
        return rc;
    const AdmCommand *cmd = findCommand(opts.words[0]);
    if (cmd == nullptr)
        return toolUsageError(kTool, "unknown command '" + opts.words[0] + "'");
    AdmRun run{opts, filePath(opts.dir), cmd->changes, -1, "", ""};
    if (opts.words.size() != cmd->words)
        return refuse(run, ADM_USAGE, cmd->usage);
    if (geteuid() != 0)
        return refuse(run, ADM_FAILED, "must be run as root: the password file is readable by root only");

    dsCoreInit(nullptr, 1);
    nlsReturnInfo_t info;
    memset(&info, 0, sizeof info);
    // The catalog gives the text of a new file's header; without it the header is blank.
    // Its set-up may print a notice, which goes to standard error with the
    // tool's others: standard output is the command's alone (list --format).
    int setUp;
    {
        StdoutToStderr notices;
        setUp = nlinit("EN_US", 5, opts.catalogs.c_str(), 0, 1, 1, 1, &info, nullptr);
    }
    if (setUp != 0 && cmd->changes)
        fprintf(stderr, "keladm: no message catalog in %s; a new file header will be blank\n",
                opts.catalogs.c_str());
    rc = cmd->run(run);
    fflush(stdout);
    dsCoreCleanUp();
    return rc;
}
