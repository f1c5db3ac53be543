// The password file reader, list builder, writer and deleter on hostile file
// contents. The input is ZAR.PWD itself. Whatever it holds, nothing may crash,
// and a file that is damaged must come out of a write and a delete unchanged;
// a well-formed one must take the new record. Then a second write, chosen by
// the file's last byte (see secondWrite), meets the same contents: other
// record types, values that do not fit, a failing system call or allocation.
// Whatever it does, it either succeeds or leaves the file as it was.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "base/dslnklst.h"
#include "base/kelmem.h"
#include "diag/GlobalRC.h"
#include "diag/trace.h"
#include "fuzz/fuzzenv.h"
#include "store/dspswd.h"
#include "store/fioreplace.h"
#include "store/pslist.h"
#include "store/pssec.h"

namespace {

const char server[] = "SERVER1";
const char nodeName[] = "NODE1";
const char newPassword[] = "NEWPASSWORD.42";

// The request record of one store call.
pswdRequest req(pswdFileInfo *info, const char *path, const char *node, const char *srv = server)
{
    return pswdRequest{.fileInfo = info, .path = path, .node = node, .server = srv};
}

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// Read straight from the layout: whole records from offset 71 up to the very
// end, each field within what the list holds.
bool recordsWellFormed(const uint8_t *d, size_t n)
{
    const uint32_t maxLen[5] = {67, 67, 67, 83, 80};
    for (size_t p = 71; p < n;) {
        if (n - p < 23 || d[p + 1] != 0xEF)
            return false;
        size_t q = p + 23;
        for (int i = 0; i < 5; i++) {
            uint32_t len = be32(d + p + 3 + 4 * i);
            if (len > maxLen[i] || len > n - q)
                return false;
            q += len;
        }
        p = q;
    }
    return true;
}

// True when every record also fits the reader's buffers (67 bytes a field): a
// read stops at the first record that does not, so a rewrite refuses such a
// file rather than store a password behind it that could not be read back.
bool recordsFitReader(const uint8_t *d, size_t n)
{
    for (size_t p = 71; p + 23 <= n;) {
        size_t q = p + 23;
        for (int i = 0; i < 5; i++) {
            uint32_t len = be32(d + p + 3 + 4 * i);
            if (len > 67)
                return false;
            q += len;
        }
        p = q;
    }
    return true;
}

// A file a rewrite may take: empty, or the whole header and well-formed records
// that a reader can pass.
bool wellFormed(const uint8_t *d, size_t n)
{
    return n == 0 || (n >= 71 && recordsWellFormed(d, n) && recordsFitReader(d, n));
}

// The list builder on its own, from behind the header, as the writer calls it.
int listFile(const std::string &path, unsigned char type)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return -1;
    char hdr[PSWD_HEADER_SIZE];
    (void)!fread(hdr, 1, sizeof hdr, f);   // a short header is the builder's problem too
    LinkedList_t *list = nullptr;
    int saved = 0;
    int ok = MakePswdList(&list, f, type, server, nodeName, &saved);
    if (list != nullptr)
        delete_LinkedList(list);
    fclose(f);
    return ok;
}

// The record reader of the tools, record by record from behind the header.
void readRecords(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return;
    char hdr[PSWD_HEADER_SIZE];
    unsigned char rh[PSWD_RECHDR_SIZE];
    char fields[5][PSWD_FIELD_BUF];
    if (fread(hdr, 1, sizeof hdr, f) == sizeof hdr)
        while (psReadRecordFromPswdFile(f, rh, fields[0], fields[1], fields[2], fields[3], fields[4]) != 0)
            for (const char *field : fields)
                fuzzenv::check(strnlen(field, PSWD_FIELD_BUF) < PSWD_FIELD_BUF, "a field read without its end");
    fclose(f);
}

void countLeftover(void *ctx, const char *) { ++*static_cast<int *>(ctx); }

// Paths a caller may name besides the usual one: none, too long, relative, in
// a directory that does not exist yet, behind a file, a directory in place of
// the file. Reads find nothing there and deletes change nothing.
void otherPaths(const std::string &path, pswdFileInfo *info)
{
    static const std::string dir = fuzzenv::scratchDir();
    char pw[PSWD_FIELD_BUF] = {}, keys[PSWD_KEYBLOCK_SIZE] = {}, node[PSWD_FIELD_BUF] = {};
    unsigned char keyIn[PSWD_KEY_SIZE] = {};
    // (The file at the top of the tree is only read, never written.)
    strcpy(node, nodeName);
    psReadPswdFile(req(info, "/ZAR.PWD", node), PSWD_TYPE_SERVER, keys, keyIn, pw, node, 0);
    for (const std::string &p :
         {std::string(), std::string(1100, 'x'), dir + "/missing/ZAR.PWD", dir + "/NOFILE.PWD"}) {
        strcpy(node, nodeName);
        fuzzenv::check(psReadPswdFile(req(info, p.c_str(), node), PSWD_TYPE_SERVER, keys, keyIn, pw, node, 0) != 0,
                       "a password read where there is no file");
        psRemovePasswordRecord(PSWD_TYPE_SERVER, nodeName, server, p.c_str());
    }
    // Names no record can hold, and a type 3 read without its key: nothing is found or removed.
    const std::string longName(PSWD_MAX_FIELD + 1, 'L');
    fuzzenv::check(psReadPswdFile(req(info, path.c_str(), node, longName.c_str()), PSWD_TYPE_SERVER, keys, keyIn,
                                  pw, node, 0) != 0 &&
                       psReadPswdFile(req(info, path.c_str(), node), 3, keys, nullptr, pw, node, 0) != 0 &&
                       psRemovePasswordRecord(PSWD_TYPE_SERVER, longName.c_str(), server, path.c_str()) == 0,
                   "a name no record can hold was found");
    const int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cwd < 0 || chdir(dir.c_str()) != 0)
        abort();
    strcpy(node, nodeName);
    psReadPswdFile(req(info, "ZAR.PWD", node), PSWD_TYPE_SERVER, keys, keyIn, pw, node, 1);
    if (fchdir(cwd) != 0)   // the fuzzer's own paths are relative to it
        abort();
    close(cwd);

    const std::string fresh = dir + "/new/level/ZAR.PWD";
    fuzzenv::check(psWritePswdFile(req(info, fresh.c_str(), nodeName), PSWD_TYPE_SERVER, newPassword, nullptr, "") == 0,
                   "a password file in a new directory was not made");
    unlink(fresh.c_str());
    rmdir((dir + "/new/level").c_str());
    rmdir((dir + "/new").c_str());
    fuzzenv::check(psWritePswdFile(req(info, (path + "/sub/ZAR.PWD").c_str(), nodeName), PSWD_TYPE_SERVER,
                                   newPassword, nullptr, "") != 0,
                   "a password file made behind a file");
    const std::string asDir = dir + "/dir/ZAR.PWD";
    mkdir((dir + "/dir").c_str(), 0700);
    mkdir(asDir.c_str(), 0700);
    fuzzenv::check(psRemovePasswordRecord(PSWD_TYPE_SERVER, nodeName, server, asDir.c_str()) != 0 &&
                       psWritePswdFile(req(info, asDir.c_str(), nodeName), PSWD_TYPE_SERVER, newPassword, nullptr,
                                       "") != 0,
                   "a directory in place of the password file was taken for one");
    rmdir(asDir.c_str());
    rmdir((dir + "/dir").c_str());

    int leftovers = 0;
    fuzzenv::check(psListLeftovers(path.c_str(), countLeftover, &leftovers) == leftovers && leftovers == 0,
                   "a rewrite left a file behind");
    FILE *hdr = tmpfile();
    if (hdr == nullptr || psWriteHeader(hdr, 11342) != 0 || ftell(hdr) != PSWD_HEADER_SIZE)
        fuzzenv::check(false, "the header was not written whole");
    fclose(hdr);
}

// The allocation that fails in mode 7: the n-th from the start of the write.
unsigned allocsLeft = 0;
int failNthAlloc(uint64_t) { return allocsLeft > 0 && --allocsLeft == 0 ? 1 : 0; }

// The second write on a fresh copy of the file. Mode (the last byte): bits
// 0-2 the write, bits 3-7 a number n for modes 6 and 7.
//   0: other paths (otherPaths), then the removal of another node's record;
//   1: an encryption key (see the case for n); 2: the type no request serves;
//   3: a type 3 password with its key (none when n is odd), read back; 4: a password too long
//   for a record; 5: a node name too long for a record; 6: the server
//   password with the n-th step of the replacement failing (n % steps);
//   7: the server password with the (n + 1)-th allocation refused.
void secondWrite(const uint8_t *data, size_t size, const std::string &path, pswdFileInfo *info)
{
    const unsigned mode = size > 0 ? data[size - 1] : 0;
    const unsigned n = mode >> 3;
    const std::string original(reinterpret_cast<const char *>(data), size);
    const unsigned char key3[PSWD_KEY_SIZE] = {'k', '3'};
    char pw[PSWD_FIELD_BUF] = {};
    char keys[PSWD_KEYBLOCK_SIZE] = {};
    unsigned char keyIn[PSWD_KEY_SIZE] = {};
    char node[PSWD_FIELD_BUF] = {};
    fuzzenv::writeFile(path, data, size);
    int rc = 0;
    switch (mode & 7) {
    case 0:
        otherPaths(path, info);
        // Another node's record, most often none: what the file holds stays.
        rc = psRemovePasswordRecord(PSWD_TYPE_SERVER, "NODE9", server, path.c_str());
        break;
    case 1: {
        // n: bit 0 allows the current key to be dropped, bit 1 names a node
        // too long for a saved copy, bit 2 a key text too long for its slot.
        const std::string keyNode = n & 2 ? std::string(PSWD_MAX_FIELD, 'n') : std::string(nodeName);
        const std::string keyText = n & 4 ? std::string(PSWD_MAX_FIELD, 'K') : std::string("NEW DATA KEY");
        pswdFileInfo keyInfo{};   // the node key of that node
        pswdFileInfo *ki = n & 2 ? &keyInfo : info;
        rc = psWriteKeyRecord(keyText.c_str(), keyNode.c_str(), server, ki, path.c_str(), n & 1);
        if (rc == 0 && (n & 2)) {
            // A second key would save the first under names one byte longer.
            const std::string before = fuzzenv::readFile(path);
            fuzzenv::check(psWriteKeyRecord("SECOND KEY", keyNode.c_str(), server, ki, path.c_str(), 1) != 0,
                           "a key saved under names too long for a record");
            fuzzenv::check(fuzzenv::readFile(path) == before, "a refused key write changed the file");
            return;
        }
        break;
    }
    case 2:
        // As the program asks: never served, never stored.
        strcpy(node, nodeName);
        fuzzenv::check(dsGetPassword(req(info, path.c_str(), node), PSWD_TYPE_TSA, keys, keyIn, pw, node, 0) != 0,
                       "the type no request serves was read");
        fuzzenv::check(dsSetPassword(req(info, path.c_str(), nodeName), PSWD_TYPE_TSA, "tsa-pw", nullptr, "") != 0,
                       "the type no request serves was stored");
        fuzzenv::check(fuzzenv::readFile(path) == original, "a refused write changed the file");
        // The file routine itself takes it like any other record.
        rc = psWritePswdFile(req(info, path.c_str(), nodeName), PSWD_TYPE_TSA, "tsa-pw", nullptr, "");
        break;
    case 3:
        rc = psWritePswdFile(req(info, path.c_str(), "user1"), 3, "", n & 1 ? nullptr : key3, "entity-pw");
        fuzzenv::check(rc != 0 || (n & 1) == 0, "a type 3 password stored without its key");
        if (rc == 0) {
            strcpy(node, "user1");
            memcpy(keyIn, key3, sizeof keyIn);
            rc = psReadPswdFile(req(info, path.c_str(), node), 3, keys, keyIn, pw, node, 0);
            fuzzenv::check(rc == 0 && strcmp(pw, "entity-pw") == 0, "a type 3 password does not read back");
            return;
        }
        break;
    case 4:
        rc = psWritePswdFile(req(info, path.c_str(), nodeName), PSWD_TYPE_SERVER,
                             std::string(PSWD_MAX_FIELD + 13, 'p').c_str(), nullptr, "");
        fuzzenv::check(rc != 0, "a password too long for a record was stored");
        break;
    case 5:
        rc = psWritePswdFile(req(info, path.c_str(), std::string(PSWD_MAX_FIELD + 1, 'n').c_str()), PSWD_TYPE_SERVER,
                             newPassword, nullptr, "");
        fuzzenv::check(rc != 0, "a node name too long for a record was stored");
        break;
    case 6:
        fioResetSteps();
        fioFailStep(static_cast<fioStep>(n % FIO_STEP_COUNT), 1);
        rc = psWritePswdFile(req(info, path.c_str(), nodeName), PSWD_TYPE_SERVER, newPassword, nullptr, "");
        fioResetSteps();
        break;
    default:
        allocsLeft = n + 1;
        pfnKelFailAlloc = failNthAlloc;
        rc = psWritePswdFile(req(info, path.c_str(), nodeName), PSWD_TYPE_SERVER, newPassword, nullptr, "");
        pfnKelFailAlloc = nullptr;
        break;
    }
    if (rc != 0)
        fuzzenv::check(fuzzenv::readFile(path) == original, "a write that failed changed the file");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static pswdFileInfo info{};   // the node key is derived once
    static const std::string path = fuzzenv::scratchDir() + "/ZAR.PWD";
    TR_PASSWORD = TR_ENTER = 1;   // every trace line is formatted; none is written anywhere
    gRC = GlobalRC::Instance();   // as the agent's start-up makes it: a wrong node raises it
    secondWrite(data, size, path, &info);
    const std::string original(reinterpret_cast<const char *>(data), size);
    const bool good = wellFormed(data, size);

    // Readers of each kind of record, with and without leave to convert a
    // version 1 record; a conversion rewrites the file, so every read starts
    // from the input again.
    char pw[PSWD_FIELD_BUF] = {};
    char keys[PSWD_KEYBLOCK_SIZE] = {};
    unsigned char keyIn[PSWD_KEY_SIZE] = {'k', 'e', 'y'};
    char node[PSWD_FIELD_BUF] = {};
    const unsigned char readTypes[] = {PSWD_TYPE_SERVER, PSWD_TYPE_ENCRKEY, 3};
    for (unsigned char type : readTypes) {
        for (int convertOK = 0; convertOK < 2; convertOK++) {
            fuzzenv::writeFile(path, data, size);
            strcpy(node, nodeName);
            psReadPswdFile(req(&info, path.c_str(), node), type, keys, keyIn, pw, node, convertOK);
        }
    }

    fuzzenv::writeFile(path, data, size);
    for (unsigned char type : readTypes)
        fuzzenv::check(listFile(path, type) == (recordsWellFormed(data, size) ? 1 : 0),
                       "the list builder disagrees with the layout");
    readRecords(path);

    int rc = psWritePswdFile(req(&info, path.c_str(), nodeName), PSWD_TYPE_SERVER, newPassword, nullptr, "");
    if (!good) {
        fuzzenv::check(rc != 0, "a damaged file was rewritten");
        fuzzenv::check(fuzzenv::readFile(path) == original, "a refused write changed the file");
        psDeletePasswordRecord(req(&info, path.c_str(), nodeName), PSWD_TYPE_SERVER);
        fuzzenv::check(fuzzenv::readFile(path) == original, "a delete changed a damaged file");
        return 0;
    }
    fuzzenv::check(rc == 0, "a well-formed file was not rewritten");
    strcpy(node, nodeName);
    rc = psReadPswdFile(req(&info, path.c_str(), node), PSWD_TYPE_SERVER, keys, keyIn, pw, node, 0);
    fuzzenv::check(rc == 0 && strcmp(pw, newPassword) == 0, "the stored password does not read back");
    psDeletePasswordRecord(req(&info, path.c_str(), nodeName), PSWD_TYPE_SERVER);
    rc = psReadPswdFile(req(&info, path.c_str(), node), PSWD_TYPE_SERVER, keys, keyIn, pw, node, 0);
    fuzzenv::check(rc == PSWD_RC_NO_RECORD, "a deleted password still reads back");
    return 0;
}
