// The one walker of the record format, against record bytes laid out by hand
// (pwfixture.h): what it makes of each kind of place in a file.
#include "store/pswdrec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/pwfixture.h"

namespace {

using pwfix::Bytes;

TEST(pswdRecord, EachKindOfPlaceIsTold)
{
    const Bytes rec = pwfix::v3(0, "SRV", "NODE1", "pw").bytes();
    Bytes tooLong = rec;
    tooLong.replace(3 + 4 * 2, 4, pwfix::be32(68));   // field 3 claims 68 bytes
    struct Row {
        const char *name;
        Bytes after;   // what follows the file header
        pswdScan scan;
        pswdDamage damage;
        int longField;
    } rows[] = {
        {"a whole record", rec, pswdScan::Record, pswdDamage::None, -1},
        {"nothing", "", pswdScan::End, pswdDamage::None, -1},
        {"one byte", Bytes(1, '\0'), pswdScan::Trailing, pswdDamage::None, -1},
        {"no marker", Bytes("\x00\x11\x22", 3), pswdScan::Trailing, pswdDamage::None, -1},
        {"header cut short", rec.substr(0, 22), pswdScan::Damage, pswdDamage::HeaderCut, -1},
        {"a field over the reader's limit", tooLong, pswdScan::Damage, pswdDamage::FieldTooLong, 2},
        {"fields cut short", rec.substr(0, rec.size() - 1), pswdScan::Damage, pswdDamage::RecordCut, -1},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        const Bytes img = pwfix::header() + r.after;
        const auto *p = reinterpret_cast<const unsigned char *>(img.data());
        pswdRecordRef ref;
        EXPECT_EQ(pswdRecordAt(p, img.size(), PSWD_HEADER_SIZE, PSWD_READER_FIELD_MAX, &ref), r.scan);
        EXPECT_EQ(ref.damage, r.damage);
        EXPECT_EQ(ref.longField, r.longField);
        if (r.scan == pswdScan::Record) {
            EXPECT_EQ(ref.total, rec.size());
            EXPECT_EQ(Bytes(ref.f[1], ref.len[1]), "SRV");
            EXPECT_EQ(Bytes(ref.f[2], ref.len[2]), "NODE1");
        }
    }
}

TEST(pswdRecord, TheWalkStopsWhereTheCallerOrTheFileSays)
{
    const Bytes img = pwfix::file({pwfix::v3(0, "S", "A", "1"), pwfix::v3(0, "S", "B", "2"),
                                   pwfix::v3(0, "S", "C", "3")}) +
                      "trailing";
    const auto *p = reinterpret_cast<const unsigned char *>(img.data());
    std::vector<std::string> nodes;
    EXPECT_EQ(pswdEachRecord(p, img.size(),
                             [&](const pswdRecordRef &r) {
                                 nodes.emplace_back(r.f[2], r.len[2]);
                                 return true;
                             }),
              pswdScan::Trailing);
    EXPECT_EQ(nodes, (std::vector<std::string>{"A", "B", "C"}));
    nodes.clear();
    EXPECT_EQ(pswdEachRecord(p, img.size(),
                             [&](const pswdRecordRef &r) {
                                 nodes.emplace_back(r.f[2], r.len[2]);
                                 return nodes.size() < 2;
                             }),
              pswdScan::Record);
    EXPECT_EQ(nodes, (std::vector<std::string>{"A", "B"}));
}

} // namespace
