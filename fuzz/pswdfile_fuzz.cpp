// The password file reader, list builder, writer and deleter on hostile file
// contents. The input is ZAR.PWD itself. Whatever it holds, nothing may crash,
// and a file that is damaged must come out of a write and a delete unchanged;
// a well-formed one must take the new record.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/unx/pssec.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static pswdFileInfo info{};   // the node key is derived once
    static const std::string path = fuzzenv::scratchDir() + "/ZAR.PWD";
    TR_PASSWORD = 1;   // every trace line is formatted; none is written anywhere
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
