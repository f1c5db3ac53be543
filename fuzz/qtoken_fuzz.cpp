// GetQuotedToken over hostile text: every token of the input is taken in turn,
// into a buffer of exactly the size the caller gives and into one of the full
// size. Byte 0 chooses the small size (low six bits) and the character set
// (top two bits: single bytes, UTF-8 or EUC-JP); the rest is the text.
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "diag/traceplus.h"
#include "fuzz/fuzzenv.h"

namespace {

void takeAll(const std::string &text, size_t outSize)
{
    std::vector<char> out(outSize);   // exactly outSize bytes: one more is an overflow
    const char *cursor = text.c_str();
    const char *end = cursor + text.size();
    while (*cursor != '\0') {
        const char *before = cursor;
        if (GetQuotedToken(&cursor, out.data(), outSize) != 0) {
            fuzzenv::check(cursor == before, "a failed take moved the cursor");
            return;
        }
        fuzzenv::check(cursor > before && cursor <= end, "the cursor did not move forward within the text");
        fuzzenv::check(strnlen(out.data(), outSize) < outSize, "the token is not terminated");
    }
}

void useCharacterSet(unsigned which)
{
    static const char *const names[4] = {"C", "C.UTF-8", "ja_JP.EUC-JP", "C.UTF-8"};
    static unsigned current = 0;
    if (which != current && setlocale(LC_CTYPE, names[which]) != nullptr)
        current = which;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // The text ends at its first NUL, as a C string does.
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    text.resize(strnlen(text.c_str(), text.size()));
    useCharacterSet(data[0] >> 6);
    takeAll(text, 1 + (data[0] & 63));
    takeAll(text, QTOKEN_MAX + 1);
    return 0;
}
