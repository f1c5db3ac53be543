// The message system over a catalog made from the input: it is started as the
// agent starts it, over a catalog directory holding that catalog, and every
// message of the catalog is then looked up, formatted with the arguments its
// callers pass, issued and asked for its severity. So the catalog text parse
// (identifier, severity letter, tag, escape bytes, the conversion to the local
// code set), the cache and the formatter all meet hostile catalog texts.
//
// Input: byte 0 chooses the locale (bits 0-2, kLocales), the client type
// (bits 3-4: 0, 4, 9, 10), the cache limit (bit 5: 5 as in the agent, or 1),
// whether every fifth allocation of the lookups is refused (bit 6) and whether
// the catalog of the user's language is missing (bit 7). Then the language
// argument up to the first NUL (also tried as a catalog language on its own),
// then the message texts, separated by NUL, in the order of kMsgNums; a
// number without a text is not in the catalog, and an input without any text
// (no NUL) has files in place of the catalogs that are none.
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "base/kelmem.h"
#include "diag/GlobalRC.h"
#include "diag/nlsfmt.h"
#include "diag/nlsinit.h"
#include "diag/nlsmsg.h"
#include "diag/trace.h"
#include "fuzz/fuzzenv.h"

namespace {

// Numbers the program issues, each with the conversions its callers pass
// (nlsExpectedSig), and one it does not know (4242, which takes none).
const unsigned kMsgNums[] = {102, 109, 1467, 1834, 2218, 9999, 21157, 21155, 11143, 4242};

// LANG, and the catalog directory the user's language reads from: supported
// languages with and without a converter, an Asian code set, a language the
// program does not support, one in upper case, a locale that does not exist.
const char *const kLocales[8] = {"C",           "de_DE.ISO-8859-1", "ja_JP.EUC-JP", "de_DE.UTF-8",
                                 "sv_SE.UTF-8", "en_US.ISO-8859-1", "DE_DE",        "xx_YY"};
const char *const kLocalDirs[8] = {"EN_US", "DE_DE", "JA_JP", "DE_DE", "SV_SE", "EN_US", "DE_DE", "EN_US"};
const cliType_t kClientTypes[4] = {0, NLS_CLIENT_QUIET, NLS_CLIENT_QUERY_NAMED, NLS_CLIENT_NAMED_A};

int silent(char *) { return 0; }

unsigned allocations = 0;
int refuseEveryFifth(uint64_t) { return ++allocations % 5 == 0 ? 1 : 0; }
nlsOutFn_t silentFns[NLS_SEV_COUNT] = {silent, silent, silent, silent, silent, silent, silent, silent, silent};

void put32(std::string *s, uint32_t v) { s->append(reinterpret_cast<const char *>(&v), sizeof v); }
void put32be(std::string *s, uint32_t v) { put32(s, __builtin_bswap32(v)); }

// A platform message catalog whose set 1 holds the texts under their numbers:
// the header (magic, plane size 1, plane depth n), the table of (set + 1,
// number, offset) in this machine's byte order and again swapped, then the
// texts, each ending in NUL.
std::string catalogOf(const std::vector<std::string> &texts)
{
    const uint32_t n = static_cast<uint32_t>(texts.size());
    std::string out;
    put32(&out, 0x960408deu);
    put32(&out, 1);
    put32(&out, n);
    std::string strings;
    std::vector<uint32_t> offsets;
    for (const std::string &t : texts) {
        offsets.push_back(static_cast<uint32_t>(strings.size()));
        strings += t;
        strings += '\0';
    }
    for (int swapped = 0; swapped < 2; swapped++) {
        for (uint32_t i = 0; i < n; i++) {
            const uint32_t row[3] = {2, kMsgNums[i], offsets[i]};
            for (uint32_t v : row)
                swapped ? put32be(&out, v) : put32(&out, v);
        }
    }
    return out + strings;
}

void writeCatalog(const std::string &dir, const std::string &catalog)
{
    mkdir(dir.c_str(), 0700);
    fuzzenv::writeFile(dir + "/" + NLS_REPOS_FILE, reinterpret_cast<const uint8_t *>(catalog.data()),
                       catalog.size());
}

// Formats message num with the arguments its signature asks for; the result's length.
int formatWithItsArguments(unsigned num, char **out)
{
    const std::string sig = nlsExpectedSig(num);
    const std::string longText(3000, 'y');
    const char *s = longText.c_str();
    const int m = static_cast<int>(num);
    if (sig == "")
        return nlsprintf(out, m);
    if (sig == "s")
        return nlsprintf(out, m, s);
    if (sig == "i")
        return nlsprintf(out, m, -2147483647 - 1);
    if (sig == "ii")
        return nlsprintf(out, m, 7, 2147483647);
    if (sig == "ss")
        return nlsprintf(out, m, "NODE1", s);
    if (sig == "sis")
        return nlsprintf(out, m, "amsgrtrv", 1234, s);
    if (sig == "siis")
        return nlsprintf(out, m, "op", 1, 2, s);
    fuzzenv::check(false, "a message of the table with a signature this harness has no caller for");
    return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string dir = fuzzenv::scratchDir();
    if (size == 0)
        return 0;
    const unsigned control = data[0];
    const unsigned locale = control & 7;
    const std::string input(reinterpret_cast<const char *>(data) + 1, size - 1);

    // The language argument, then the texts.
    size_t end = input.find('\0');
    const std::string lang = input.substr(0, end);
    std::vector<std::string> texts;
    while (end != std::string::npos && texts.size() < std::size(kMsgNums)) {
        size_t next = input.find('\0', end + 1);
        texts.push_back(input.substr(end + 1, next == std::string::npos ? std::string::npos : next - end - 1));
        end = next;
    }
    // Without any text the catalogs are files that are no catalogs at all.
    const std::string catalog = texts.empty() ? std::string("not a catalog\n") : catalogOf(texts);
    writeCatalog(dir + "/EN_US", catalog);
    const std::string localDir = dir + "/" + kLocalDirs[locale];
    if (localDir != dir + "/EN_US") {
        if (control & 0x80) {
            unlink((localDir + "/" + NLS_REPOS_FILE).c_str());
        } else {
            writeCatalog(localDir, catalog);
        }
    }

    TR_NLS = 1;   // every trace line is formatted; none is written anywhere
    gRC = GlobalRC::Instance();   // as the agent's start-up makes it: issued messages raise it
    setenv("LANG", kLocales[locale], 1);
    unsetenv("LC_ALL");
    destroyNlsGlobalObject();
    newNlsGlobalObject(silentFns, 1);
    nlsReturnInfo_t info{};
    const int cacheLimit = (control & 0x20) != 0 ? 1 : 5;
    // A failed start leaves the catalogs closed; the lookups meet that too.
    nlinit(lang.c_str(), cacheLimit, dir.c_str(), kClientTypes[(control >> 3) & 3], 1, 1, 1, &info, nullptr);
    allocations = 0;
    if (control & 0x40)
        pfnKelFailAlloc = refuseEveryFifth;
    // Each message twice (the second from the cache unless evicted), then
    // issued and asked for its severity.
    for (int round = 0; round < 2; round++) {
        for (unsigned num : kMsgNums) {
            char *out = nullptr;
            int n = formatWithItsArguments(num, &out);
            fuzzenv::check(n == (out != nullptr ? static_cast<int>(strlen(out)) : 0),
                           "the length differs from the formatted text");
            if (out != nullptr)
                KEL_FREE(out);
        }
    }
    for (unsigned num : kMsgNums) {
        if (nlsExpectedSig(num)[0] == '\0')
            nlprintf(static_cast<int>(num));
        unsigned char sev = nlGetMsgSev(static_cast<int>(num));
        fuzzenv::check(sev <= NLS_SEV_L || sev == NLS_SEV_UNKNOWN, "a severity outside the table");
    }
    // The language argument as the name of a catalog language.
    nl_catd cat = NLS_CAT_CLOSED;
    if (getNlsGlobalObjectHandle()->openCat(dir.c_str(), lang.c_str(), nullptr, cat) == 0)
        catclose(cat);
    pfnKelFailAlloc = nullptr;
    destroyNlsGlobalObject();
    return 0;
}
