// The password file reader, list builder, writer and deleter on hostile file
// contents. The input is ZAR.PWD itself. Whatever it holds, nothing may crash,
// and a file that is damaged must come out of a write and a delete unchanged;
// a well-formed one must take the new record. Then a second write, chosen by
// the file's last byte (see secondWrite), meets the same contents: other
// record types, values that do not fit, a failing system call or allocation.
// Whatever it does, it either succeeds or leaves the file as it was.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/mem/kelmem.h"
#include "common/unx/fioreplace.h"
#include "common/unx/pssec.h"
#include "common/ut/GlobalRC.h"
#include "common/ut/dslnklst.h"
#include "common/ut/dspswd.h"
#include "common/ut/trace.h"
#include "fuzz/fuzzenv.h"

namespace {

const char server[] = "SERVER1";
const char nodeName[] = "NODE1";
const char newPassword[] = "NEWPASSWORD.42";

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
int listFile(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return -1;
    char hdr[PSWD_HEADER_SIZE];
    (void)!fread(hdr, 1, sizeof hdr, f);   // a short header is the builder's problem too
    LinkedList_t *list = nullptr;
    int saved = 0;
    int ok = MakePswdList(&list, f, PSWD_TYPE_SERVER, server, nodeName, &saved);
    if (list != nullptr)
        delete_LinkedList(list);
    fclose(f);
    return ok;
}

// The allocation that fails in mode 7: the n-th from the start of the write.
unsigned allocsLeft = 0;
int failNthAlloc(uint64_t) { return allocsLeft > 0 && --allocsLeft == 0 ? 1 : 0; }

// The second write on a fresh copy of the file. Mode (the last byte): bits
// 0-2 the write, bits 3-7 a number n for modes 6 and 7.
//   0: the server password through a relative path, and into a directory
//      that does not exist yet; 1: an encryption key (the old one saved, or
//      dropped when bit 3 allows it); 2: the type no request serves;
//   3: a type 3 password with its key, read back; 4: a password too long
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
    case 0: {
        static const std::string dir = fuzzenv::scratchDir();
        const int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (cwd < 0 || chdir(dir.c_str()) != 0)
            abort();
        strcpy(node, nodeName);
        psReadPswdFile(PSWD_TYPE_SERVER, keys, keyIn, pw, node, server, nullptr, info, nullptr, nullptr, "ZAR.PWD",
                       1);
        if (fchdir(cwd) != 0)   // the fuzzer's own paths are relative to it
            abort();
        close(cwd);
        const std::string fresh = dir + "/new/level/ZAR.PWD";
        rc = psWritePswdFile(PSWD_TYPE_SERVER, newPassword, nullptr, "", nodeName, server, nullptr, info, nullptr,
                             nullptr, fresh.c_str());
        fuzzenv::check(rc == 0, "a password file in a new directory was not made");
        unlink(fresh.c_str());
        rmdir((dir + "/new/level").c_str());
        rmdir((dir + "/new").c_str());
        return;
    }
    case 1: rc = psWriteKeyRecord("NEW DATA KEY", nodeName, server, info, path.c_str(), n & 1); break;
    case 2:
        // As the program asks: never served, never stored.
        strcpy(node, nodeName);
        fuzzenv::check(dsGetPassword(info, PSWD_TYPE_TSA, keys, keyIn, pw, node, server, nullptr, nullptr, nullptr,
                                     path.c_str(), 0) != 0,
                       "the type no request serves was read");
        fuzzenv::check(dsSetPassword(info, PSWD_TYPE_TSA, "tsa-pw", nullptr, "", nodeName, server, nullptr, nullptr,
                                     nullptr, path.c_str()) != 0,
                       "the type no request serves was stored");
        fuzzenv::check(fuzzenv::readFile(path) == original, "a refused write changed the file");
        // The file routine itself takes it like any other record.
        rc = psWritePswdFile(PSWD_TYPE_TSA, "tsa-pw", nullptr, "", nodeName, server, nullptr, info, nullptr, nullptr,
                             path.c_str());
        break;
    case 3:
        rc = psWritePswdFile(3, "", key3, "entity-pw", "user1", server, nullptr, info, nullptr, nullptr,
                             path.c_str());
        if (rc == 0) {
            strcpy(node, "user1");
            memcpy(keyIn, key3, sizeof keyIn);
            rc = psReadPswdFile(3, keys, keyIn, pw, node, server, nullptr, info, nullptr, nullptr, path.c_str(), 0);
            fuzzenv::check(rc == 0 && strcmp(pw, "entity-pw") == 0, "a type 3 password does not read back");
            return;
        }
        break;
    case 4:
        rc = psWritePswdFile(PSWD_TYPE_SERVER, std::string(PSWD_MAX_FIELD + 13, 'p').c_str(), nullptr, "",
                             nodeName, server, nullptr, info, nullptr, nullptr, path.c_str());
        fuzzenv::check(rc != 0, "a password too long for a record was stored");
        break;
    case 5:
        rc = psWritePswdFile(PSWD_TYPE_SERVER, newPassword, nullptr, "", std::string(PSWD_MAX_FIELD + 1, 'n').c_str(),
                             server, nullptr, info, nullptr, nullptr, path.c_str());
        fuzzenv::check(rc != 0, "a node name too long for a record was stored");
        break;
    case 6:
        fioResetSteps();
        fioFailStep(static_cast<fioStep>(n % FIO_STEP_COUNT), 1);
        rc = psWritePswdFile(PSWD_TYPE_SERVER, newPassword, nullptr, "", nodeName, server, nullptr, info, nullptr,
                             nullptr, path.c_str());
        fioResetSteps();
        break;
    default:
        allocsLeft = n + 1;
        pfnKelFailAlloc = failNthAlloc;
        rc = psWritePswdFile(PSWD_TYPE_SERVER, newPassword, nullptr, "", nodeName, server, nullptr, info, nullptr,
                             nullptr, path.c_str());
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
    TR_PASSWORD = 1;   // every trace line is formatted; none is written anywhere
    gRC = GlobalRC::Instance();   // as the agent's start-up makes it: a wrong node raises it
    secondWrite(data, size, path, &info);
    const std::string original(reinterpret_cast<const char *>(data), size);
    const bool good = wellFormed(data, size);

    // Readers of each kind of record; a version 1 record may be converted, so
    // every read starts from the input again.
    char pw[PSWD_FIELD_BUF] = {};
    char keys[PSWD_KEYBLOCK_SIZE] = {};
    unsigned char keyIn[PSWD_KEY_SIZE] = {'k', 'e', 'y'};
    char node[PSWD_FIELD_BUF] = {};
    const unsigned char readTypes[] = {PSWD_TYPE_SERVER, PSWD_TYPE_ENCRKEY, 3};
    for (unsigned char type : readTypes) {
        fuzzenv::writeFile(path, data, size);
        strcpy(node, nodeName);
        psReadPswdFile(type, keys, keyIn, pw, node, server, nullptr, &info, nullptr, nullptr, path.c_str(),
                       type == PSWD_TYPE_ENCRKEY);
    }

    fuzzenv::writeFile(path, data, size);
    fuzzenv::check(listFile(path) == (recordsWellFormed(data, size) ? 1 : 0),
                   "the list builder disagrees with the layout");

    int rc = psWritePswdFile(PSWD_TYPE_SERVER, newPassword, nullptr, "", nodeName, server, nullptr, &info, nullptr,
                             nullptr, path.c_str());
    if (!good) {
        fuzzenv::check(rc != 0, "a damaged file was rewritten");
        fuzzenv::check(fuzzenv::readFile(path) == original, "a refused write changed the file");
        psDeletePasswordRecord(PSWD_TYPE_SERVER, nullptr, nodeName, server, nullptr, &info, nullptr, nullptr,
                               path.c_str());
        fuzzenv::check(fuzzenv::readFile(path) == original, "a delete changed a damaged file");
        return 0;
    }
    fuzzenv::check(rc == 0, "a well-formed file was not rewritten");
    strcpy(node, nodeName);
    rc = psReadPswdFile(PSWD_TYPE_SERVER, keys, keyIn, pw, node, server, nullptr, &info, nullptr, nullptr,
                        path.c_str(), 0);
    fuzzenv::check(rc == 0 && strcmp(pw, newPassword) == 0, "the stored password does not read back");
    psDeletePasswordRecord(PSWD_TYPE_SERVER, nullptr, nodeName, server, nullptr, &info, nullptr, nullptr,
                           path.c_str());
    rc = psReadPswdFile(PSWD_TYPE_SERVER, keys, keyIn, pw, node, server, nullptr, &info, nullptr, nullptr,
                        path.c_str(), 0);
    fuzzenv::check(rc == PSWD_RC_NO_RECORD, "a deleted password still reads back");
    return 0;
}
