// The older list interface, against files built from the layout (pwfixture.h).
#include "store/pslist.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <vector>

#include "base/dslnklst.h"
#include "tests/support/pwfixture.h"

namespace {

using pwfix::Bytes;
using pwfix::Record;

const Bytes SRV = "SRV";
const Bytes N1 = "NODE1";
const Bytes N2 = "NODE2";
const Record RA = pwfix::v3(0, SRV, N1, "pwA");

TEST(pssecScan, ReadsRecordsAndStopsAtTheEnd)
{
    pwfix::TempDir d;
    Record odd{2, 3, {"NULL", "S", Bytes(67, 'n'), Bytes("\x01\x00\x02", 3), ""}};
    pwfix::writeFile(d.file(), pwfix::file({RA, odd}) + "trailing");
    FILE *f = fopen(d.file().c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseek(f, 71, SEEK_SET), 0);
    unsigned char hdr[PSWD_RECHDR_SIZE];
    char f1[PSWD_FIELD_BUF], f2[PSWD_FIELD_BUF], f3[PSWD_FIELD_BUF], f4[PSWD_FIELD_BUF], f5[PSWD_FIELD_BUF];
    EXPECT_EQ(psReadRecordFromPswdFile(f, hdr, f1, f2, f3, f4, f5), RA.bytes().size());
    EXPECT_EQ(Bytes(reinterpret_cast<char *>(hdr), 23), RA.bytes().substr(0, 23));
    EXPECT_STREQ(f2, "SRV");
    EXPECT_EQ(psReadRecordFromPswdFile(f, hdr, f1, f2, f3, f4, f5), odd.bytes().size());
    EXPECT_EQ(Bytes(f3), Bytes(67, 'n'));
    EXPECT_EQ(Bytes(f4, 4), Bytes("\x01\x00\x02\x00", 4));
    EXPECT_EQ(psReadRecordFromPswdFile(f, hdr, f1, f2, f3, f4, f5), 0u);
    fclose(f);
}

TEST(pssecScan, ListMarksTheRecordsOfTheNodeAndSeesSavedKeys)
{
    pwfix::TempDir d;
    pwfix::writeFile(d.file(), pwfix::file({pwfix::v3(1, SRV, N1, "k"), pwfix::saved(2, SRV, N1, "s"),
                                            pwfix::v3(1, SRV, N2, "k2"), pwfix::v3(0, SRV, N1, "p")}));
    FILE *f = fopen(d.file().c_str(), "rb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fseek(f, 71, SEEK_SET), 0);
    LinkedList_t *list = nullptr;
    int saved = -1;
    ASSERT_EQ(MakePswdList(&list, f, 1, SRV.c_str(), N1.c_str(), &saved), 1);
    fclose(f);
    EXPECT_EQ(saved, 1);
    std::vector<int> marks;
    for (llNode_t *n = llGetNextItem(list, nullptr); n != nullptr; n = llGetNextItem(list, n)) {
        const pswdListEnt *e = static_cast<const pswdListEnt *>(llGetData(list, n));
        marks.push_back(e->replace);
    }
    EXPECT_EQ(marks, (std::vector<int>{1, 0, 0, 0}));
    const pswdListEnt *first = static_cast<const pswdListEnt *>(llGetData(list, llGetNextItem(list, nullptr)));
    Bytes rec = pwfix::v3(1, SRV, N1, "k").bytes();
    EXPECT_EQ(Bytes(reinterpret_cast<const char *>(first->hdr), 23), rec.substr(0, 23));
    EXPECT_EQ(Bytes(first->data, first->dataLen), rec.substr(23));
    delete_LinkedList(list);
}

} // namespace
