// Read-only walk over a password file, for listing and checking it.
#include "tools/pwfscan.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "base/fio.h"
#include "base/secure.h"
#include "crypto/crypto.h"
#include "store/pskey.h"
#include "store/pswdrec.h"

namespace {

void markDamage(pwfScan *out, size_t offset, const std::string &what)
{
    out->damaged = true;
    out->damageOffset = offset;
    out->damage = what;
}

std::string recordPlace(unsigned index, size_t offset)
{
    return "record " + std::to_string(index) + " at offset " + std::to_string(offset);
}

// Deciphers field 4 with the key derived from the node name and compares:
// a version 3 record is readable only when it matches.
bool nodeNameDeciphers(const std::string &node, const unsigned char *f4, uint32_t f4Len)
{
    if (node.size() != f4Len || node.size() > PSWD_MAX_FIELD)
        return false;
    SecretBuf<PSWD_KEY_SIZE> key;
    if (psSetUpCryptoKey(key.b, node.c_str()) != 1)
        return false;
    int rc = 0;
    Crypto *des = new_Crypto(CRYPTO_TYPE_DES, &rc);
    if (des == nullptr)
        return false;
    SecretBuf<PSWD_FIELD_BUF> clear;
    unsigned int outLen = 0;
    rc = des->cipherData(CRYPTO_DECRYPT, key.b, f4, f4Len, clear.b, &outLen);
    delete_Crypto(des);
    return rc == 0 && outLen == f4Len && memcmp(clear.b, node.data(), f4Len) == 0;
}

// Takes the saved-key prefix off fields 2 and 3 of a type 1 record.
void splitSavedPrefix(pwfRecord *rec)
{
    if (rec->type != PSWD_TYPE_ENCRKEY || rec->server.empty() || rec->node.empty())
        return;
    unsigned char p2 = static_cast<unsigned char>(rec->server[0]);
    unsigned char p3 = static_cast<unsigned char>(rec->node[0]);
    if (p2 == p3 && (p2 == PSWD_SAVED_V1 || p2 == PSWD_SAVED_V3)) {
        rec->savedPrefix = p2;
        rec->server.erase(0, 1);
        rec->node.erase(0, 1);
    }
}

} // namespace

void pwfScanImage(const unsigned char *img, size_t size, pwfScan *out)
{
    out->fileSize = size;
    if (size == 0)
        return;   // an empty file holds no record
    if (size < PSWD_HEADER_SIZE) {
        markDamage(out, 0, "the 71-byte file header is cut short: the file has only " + std::to_string(size) +
                               " bytes");
        return;
    }
    size_t off = PSWD_HEADER_SIZE;
    unsigned index = 1;
    while (off < size) {
        const std::string where = recordPlace(index, off);
        pswdRecordRef r;
        const pswdScan st = pswdRecordAt(img, size, off, PSWD_READER_FIELD_MAX, &r);
        const size_t left = size - off;
        if (r.damage == pswdDamage::HeaderCut || (st == pswdScan::Trailing && left < 2)) {
            markDamage(out, off, where + ": the 23-byte record header is cut short by the end of the file (" +
                                     std::to_string(left) + " bytes left)");
            return;
        }
        if (st == pswdScan::Trailing) {
            char buf[128];
            snprintf(buf, sizeof buf, ": %zu bytes that do not begin a record (marker 0x%02X, not 0xEF)", left,
                     img[off + PSWD_RH_MARKER]);
            markDamage(out, off, where + buf);
            return;
        }
        if (r.damage == pswdDamage::FieldTooLong) {
            markDamage(out, off, where + ": field " + std::to_string(r.longField + 1) + " claims " +
                                     std::to_string(r.len[r.longField]) + " bytes, more than the 67 a reader holds");
            return;
        }
        if (r.damage == pswdDamage::RecordCut) {
            uint64_t need = 0;
            for (uint32_t len : r.len)
                need += len;
            markDamage(out, off, where + ": the record is cut short by the end of the file (its fields need " +
                                     std::to_string(need) + " bytes, " + std::to_string(left - PSWD_RECHDR_SIZE) +
                                     " are left)");
            return;
        }
        pwfRecord rec;
        rec.index = index;
        rec.offset = off;
        rec.type = r.type();
        rec.version = r.version();
        rec.userId.assign(r.f[0], r.len[0]);
        rec.server.assign(r.f[1], r.len[1]);
        rec.node.assign(r.f[2], r.len[2]);
        rec.passwordLen = r.len[4];
        splitSavedPrefix(&rec);
        if (rec.savedPrefix == 0 && rec.version != PSWD_VERSION_1 && rec.version != PSWD_VERSION_3) {
            markDamage(out, off, where + ": record version " + std::to_string(rec.version) +
                                     " is neither 1 nor 3, so no reader accepts it");
            return;
        }
        if (rec.savedPrefix == 0 && rec.version == PSWD_VERSION_3 && rec.type <= PSWD_TYPE_TSA) {
            if (!nodeNameDeciphers(rec.node, reinterpret_cast<const unsigned char *>(r.f[3]), r.len[3])) {
                markDamage(out, off, where + ": the stored node name does not decipher to '" +
                                         pwfPrintable(rec.node) +
                                         "' (the record was written for another node name, or is damaged)");
                return;
            }
            rec.nodeChecked = true;
        }
        out->records.push_back(rec);
        off += r.total;
        ++index;
    }
}

int pwfScanFile(const std::string &path, pwfScan *out)
{
    *out = pwfScan();
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT)
            return 0;
        out->exists = true;
        out->damage = e == ELOOP ? "the password file is a symbolic link, which no routine follows"
                                 : std::string("the password file cannot be opened: ") + strerror(e);
        return e;
    }
    out->exists = true;
    struct stat sb;
    int rc = 0;
    if (fstat(fd, &sb) != 0) {
        rc = errno;
        out->damage = std::string("the password file cannot be examined: ") + strerror(rc);
    } else if (!S_ISREG(sb.st_mode)) {
        rc = EINVAL;
        out->damage = "the password file is not a regular file";
    } else if (static_cast<uint64_t>(sb.st_size) > PWF_MAX_FILE) {
        rc = EFBIG;
        out->damage = "the password file is larger than " + std::to_string(PWF_MAX_FILE) + " bytes";
    }
    if (rc != 0) {
        close(fd);
        return rc;
    }
    std::vector<unsigned char> img(static_cast<size_t>(sb.st_size));
    int r = fioReadFull(fd, img.data(), img.size());
    if (r != 0)
        rc = r < 0 ? errno : EIO;   // EIO: the file shrank while it was read
    close(fd);
    if (rc == 0)
        pwfScanImage(img.data(), img.size(), out);
    else
        out->damage = std::string("the password file cannot be read: ") + strerror(rc);
    kelZero(img.data(), img.size());   // it holds enciphered passwords
    return rc;
}

const char *pwfTypeName(unsigned char type)
{
    switch (type) {
    case 0: return "server password";
    case 1: return "encryption key";
    case 2: return "unserved (type 2)";
    case 3:
    case 4:
    case 5: return "other type";
    default: return "unknown type";
    }
}

std::string pwfPrintable(const std::string &s, bool escapeBlank)
{
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c < 0x7F && c != '\\' && !(escapeBlank && c == ' ')) {
            out += static_cast<char>(c);
        } else {
            char buf[8];
            snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}
