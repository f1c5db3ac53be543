// A read-only walk over a password file for the administrator's tool: the
// records' public parts (type, names, version, saved marks) and the first
// damage met, with its offset. Passwords are skipped, never kept.
// docs/password-file.md gives the layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct pwfRecord {
    unsigned index = 0;          // 1 for the first record
    size_t offset = 0;           // of its header in the file
    unsigned char type = 0;
    unsigned char version = 0;
    unsigned char savedPrefix = 0;   // 0 current record, 1 or 2 a saved encryption key
    std::string userId;          // field 1
    std::string server;          // field 2 (server or entity), without a saved prefix
    std::string node;            // field 3 (node or user), without a saved prefix
    uint32_t passwordLen = 0;    // length of field 5 (the password itself is skipped)
    bool nodeChecked = false;    // field 4 was deciphered and compared with the node name
};

struct pwfScan {
    bool exists = false;         // false: no file at the path
    size_t fileSize = 0;
    std::vector<pwfRecord> records;   // the intact records before any damage
    bool damaged = false;
    size_t damageOffset = 0;
    std::string damage;          // what is wrong, in a sentence
};

inline constexpr size_t PWF_MAX_FILE = 16u << 20;   // a larger file is not read

// Reads path (never through a symbolic link) and fills out. Returns 0 when
// the file was read, or missing (exists false); otherwise an errno value and
// out->damage says why.
int pwfScanFile(const std::string &path, pwfScan *out);

// Walks an image of the file held in memory; pwfScanFile's second half.
void pwfScanImage(const unsigned char *img, size_t size, pwfScan *out);

// The label of a record type: "server password", "encryption key", ...
const char *pwfTypeName(unsigned char type);
// A name made printable: bytes outside printable ASCII, and the backslash, as
// \xNN; with escapeBlank the blank too, so the result is one word.
std::string pwfPrintable(const std::string &s, bool escapeBlank = false);
