// How the agent is linked is part of what keeps secrets out of memory: every
// symbol is bound when it starts (the lazy binder would save registers, and
// the password bytes in them, on the stack of a first call), its relocations
// are read-only from then on, and it needs no shared library but libc, so no
// library of its own binds lazily either (the shared libcrypt did).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/elfinfo.h"

TEST(agentLinkage, BindsEverySymbolAtStartWithReadOnlyRelocations)
{
    elfinfo::Linkage l = elfinfo::readLinkage(KEL_BINARY_DIR "/kelvlx");
    ASSERT_TRUE(l.read);
    EXPECT_TRUE(l.bindNow);
    EXPECT_TRUE(l.relro);
}

TEST(agentLinkage, NeedsNoSharedLibraryButLibc)
{
    if (elfinfo::kSanitized)
        GTEST_SKIP() << "a sanitizer build links the sanitizers' runtimes and the shared C++ runtime";
    elfinfo::Linkage l = elfinfo::readLinkage(KEL_BINARY_DIR "/kelvlx");
    ASSERT_TRUE(l.read);
    EXPECT_EQ(elfinfo::neededBeyond(l, {"libc.so.", "ld-linux"}), std::vector<std::string>{});
}
