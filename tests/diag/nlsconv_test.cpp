// The walker over a catalog text's conversions: what it hands on, and where it
// stops on a conversion that must never reach printf.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "diag/nlsconv.h"

namespace {

struct Step {
    size_t at, used;
    char cls;
    int stars;
};

struct Row {
    const char *name;
    std::string text;
    size_t len;                // bytes the walker may read; npos: the whole text
    std::vector<Step> steps;   // the conversions found, in order
    int last;                  // 0 at the end of the text, -1 at a refused conversion
    size_t lastAt;             // where the walk stopped
};

const size_t whole = std::string::npos;

const Row rows[] = {
    {"empty", "", whole, {}, 0, 0},
    {"literal only", "no inserts", whole, {}, 0, 10},
    {"flags and width", "a%-+ #0'5d", whole, {{1, 9, 'i', 0}}, 0, 10},
    {"width and precision", "%10.4f!", whole, {{0, 6, 'f', 0}}, 0, 7},
    {"empty precision", "%.d", whole, {{0, 3, 'i', 0}}, 0, 3},
    {"star width and precision", "%*.*s", whole, {{0, 5, 's', 2}}, 0, 5},
    {"star width", "%-*d", whole, {{0, 4, 'i', 1}}, 0, 4},
    {"four digits are the widest width", "%9999d", whole, {{0, 6, 'i', 0}}, 0, 6},
    {"length modifiers",
     "%hhd%hd%ld%lld%zu%ls",
     whole,
     {{0, 4, 'i', 0}, {4, 3, 'i', 0}, {7, 3, 'l', 0}, {10, 4, 'l', 0}, {14, 3, 'l', 0}, {17, 3, 'w', 0}},
     0,
     20},
    {"every letter class", "%c%u%x%X%o%e%G%a%p", whole,
     {{0, 2, 'i', 0}, {2, 2, 'i', 0}, {4, 2, 'i', 0}, {6, 2, 'i', 0}, {8, 2, 'i', 0},
      {10, 2, 'f', 0}, {12, 2, 'f', 0}, {14, 2, 'f', 0}, {16, 2, 'p', 0}},
     0, 18},
    {"percent sign", "100%% sure", whole, {{3, 2, 0, 0}}, 0, 10},
    {"percent sign then a value", "%%%s", whole, {{0, 2, 0, 0}, {2, 2, 's', 0}}, 0, 4},
    {"positional argument", "%1$s", whole, {}, -1, 0},
    {"positional star", "%*1$d", whole, {}, -1, 0},
    {"%n after a good one", "%d then %n", whole, {{0, 2, 'i', 0}}, -1, 8},
    {"%hn", "%hn", whole, {}, -1, 0},
    {"long double", "%Lf", whole, {}, -1, 0},
    {"long float", "%lf", whole, {}, -1, 0},
    {"wide character", "%lc", whole, {}, -1, 0},
    {"short string", "%hs", whole, {}, -1, 0},
    {"unknown letter", "x%q", whole, {}, -1, 1},
    {"five width digits", "%12345d", whole, {}, -1, 0},
    {"five precision digits", "%.12345d", whole, {}, -1, 0},
    {"lone percent at the end", "50%", whole, {}, -1, 2},
    {"flags at the end", "x %-", whole, {}, -1, 2},
    {"width at the end", "%12", whole, {}, -1, 0},
    {"star at the end", "%*", whole, {}, -1, 0},
    {"precision dot at the end", "%.", whole, {}, -1, 0},
    {"length modifier at the end", "%ll", whole, {}, -1, 0},
    {"a NUL ends the text", std::string("a%s\0%n", 6), whole, {{1, 2, 's', 0}}, 0, 3},
    {"a NUL cuts a conversion", std::string("%5\0d", 4), whole, {}, -1, 0},
    {"the length ends the text", "%s%n", 2, {{0, 2, 's', 0}}, 0, 2},
    {"the length cuts a conversion", "%5d", 2, {}, -1, 0},
};

TEST(nlsConvTest, WalksEveryConversionAndStopsAtARefusedOne)
{
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        size_t len = r.len == whole ? r.text.size() : r.len;
        // A copy of exactly len bytes, so that a read past the length is caught.
        std::vector<char> text(r.text.begin(), r.text.begin() + static_cast<long>(len));
        size_t pos = 0;
        nlsConv_t c;
        int found;
        std::vector<Step> steps;
        while ((found = nlsNextConv(text.data(), len, &pos, &c)) == 1) {
            steps.push_back({c.at, c.used, c.cls, c.stars});
            EXPECT_EQ(pos, c.at + c.used);
            ASSERT_LT(steps.size(), 20u);
        }
        ASSERT_EQ(steps.size(), r.steps.size());
        for (size_t k = 0; k < steps.size(); k++) {
            EXPECT_EQ(steps[k].at, r.steps[k].at) << "conversion " << k;
            EXPECT_EQ(steps[k].used, r.steps[k].used) << "conversion " << k;
            EXPECT_EQ(steps[k].cls, r.steps[k].cls) << "conversion " << k;
            EXPECT_EQ(steps[k].stars, r.steps[k].stars) << "conversion " << k;
        }
        EXPECT_EQ(found, r.last);
        EXPECT_EQ(c.at, r.lastAt);
        EXPECT_EQ(pos, r.lastAt);
    }
}

TEST(nlsConvTest, FirstValueClassSkipsPercentSigns)
{
    struct {
        const char *fmt;
        char cls;
    } rows[] = {
        {"%%%-5ld", 'l'}, {"x%.*s", 's'}, {"%ls and %d", 'w'}, {"no value %%", 0}, {"", 0}, {"%n%d", 0}, {"%", 0},
    };
    for (const auto &r : rows)
        EXPECT_EQ(nlsFirstValueClass(r.fmt), r.cls) << r.fmt;
}

}  // namespace
