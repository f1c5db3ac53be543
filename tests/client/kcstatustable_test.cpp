// The one table of status sentences: every status of the contract has its
// sentence, the store's codes that the agent passes on read alike from the
// caller's library and from keladm, and the lock wait is named from its
// constant. Also the relations between the contract's pipe sizes that both
// sides of the pipes rely on.
#include <gtest/gtest.h>

#include <string>

#include "client/kcstatustable.h"
#include "kelvlx/kelclient.h"
#include "kelvlx/kelcontract.h"

namespace {

// AES pads its input up to a whole 16-byte block, one more when it is whole.
constexpr int aesPadded(int n)
{
    return (n / 16 + 1) * 16;
}

static_assert(KEL_MAX_ANSWER == aesPadded(KEL_MAX_DATA), "a cipher answer holds the longest data enciphered with AES");
static_assert(KEL_MAX_PASSWORD == aesPadded(80), "a 'C' password as sent holds 80 bytes of text enciphered with AES");
static_assert(KEL_KEY_BLOCK == 3 * KEL_KEY_SLOT, "the key block is three slots");
static_assert(KC_STORE_WAIT_MS > KEL_LOCK_WAIT_SECONDS * 1000, "a confirmed 'C' is waited for beyond the lock wait");
static_assert(KC_MAX_DATA == KEL_MAX_DATA && KC_MAX_ANSWER == KEL_MAX_ANSWER && KC_KEY_BLOCK == KEL_KEY_BLOCK &&
                  KC_KEY_SLOT == KEL_KEY_SLOT && KC_MAX_KEY == KEL_MAX_KEY && KC_MAX_PASSWORD == KEL_MAX_PASSWORD,
              "the library's sizes are the contract's");

// Every status the contract names, as the agent or the store returns it.
const int kContractStatuses[] = {
    KEL_ST_OK, KEL_ST_USAGE, KEL_ST_NO_MEMORY, KEL_ST_INVALID_ARGUMENT, KEL_ST_BAD_PASSWORD_LENGTH,
    KEL_ST_CIPHER_STATE, KEL_ST_INCOMPATIBLE, KEL_ST_SHORT_WRITE, KEL_ST_LOCKED, KEL_ST_NO_PASSWORD,
    KEL_ST_START_NO_MEMORY, KEL_ST_UNKNOWN_OP, KEL_ST_PIPE, KEL_ST_NLS, KEL_ST_LIB_FAILURE, KEL_ST_NO_LIBRARY,
};

TEST(KcStatusTable, EveryStatusOfTheContractHasOneSentence)
{
    for (int status : kContractStatuses) {
        const char *text = kcAgentStatusText(KEL_ST_SEEN(status));
        ASSERT_NE(nullptr, text) << status;
        EXPECT_STREQ(text, kc_status_text(KEL_ST_SEEN(status))) << status;
    }
    // No two statuses a caller sees share a value, so none hides another's sentence.
    for (int a : kContractStatuses) {
        for (int b : kContractStatuses) {
            if (a != b) {
                EXPECT_NE(KEL_ST_SEEN(a), KEL_ST_SEEN(b)) << a << " " << b;
            }
        }
    }
    EXPECT_EQ(nullptr, kcAgentStatusText(77));
    EXPECT_NE(std::string::npos, std::string(kc_status_text(77)).find("does not document"));
}

TEST(KcStatusTable, TheStoresCodesReadAlikeFromTheLibraryAndKeladm)
{
    struct Case {
        int code;
        bool fromStore;      // keladm meets it from the store
        bool sameAsAgent;    // the caller of the agent reads the same sentence
        const char *phrase;
    } cases[] = {
        {KEL_ST_STORE_REFUSED, true, false, "could not be opened, created or rewritten, or the file is damaged"},
        {KEL_ST_NO_MEMORY, true, true, "out of memory"},
        {KEL_ST_SHORT_WRITE, true, true, "could not be written completely"},
        {KEL_ST_LOCKED, true, true, "locked by another writer"},
        {KEL_ST_NO_PASSWORD, true, true, "no usable password or key"},
        {KEL_ST_INVALID_ARGUMENT, false, false, nullptr},
        {KEL_ST_LIB_FAILURE, false, false, nullptr},
        {KEL_ST_START_NO_MEMORY, false, false, nullptr},
        {KEL_ST_OK, false, false, nullptr},
    };
    for (const auto &c : cases) {
        const char *store = kcStoreCodeText(c.code);
        if (!c.fromStore) {
            EXPECT_EQ(nullptr, store) << c.code;
            continue;
        }
        ASSERT_NE(nullptr, store) << c.code;
        EXPECT_NE(std::string::npos, std::string(store).find(c.phrase)) << store;
        if (c.sameAsAgent) {
            EXPECT_EQ(store, kcAgentStatusText(KEL_ST_SEEN(c.code))) << c.code;   // the one row
        }
    }
    // The agent's -1 is also its usage error; the store's is not.
    const std::string agent255 = kcAgentStatusText(KEL_ST_SEEN(KEL_ST_USAGE));
    EXPECT_NE(std::string::npos, agent255.find("usage error")) << agent255;
    EXPECT_NE(std::string::npos, agent255.find("could not be opened, created or rewritten")) << agent255;
    EXPECT_EQ(std::string::npos, std::string(kcStoreCodeText(KEL_ST_STORE_REFUSED)).find("usage")) << agent255;
}

TEST(KcStatusTable, TheLockWaitIsNamedFromItsConstant)
{
    const std::string wait = " " + std::to_string(KEL_LOCK_WAIT_SECONDS) + " seconds";
    EXPECT_NE(std::string::npos, std::string(kc_status_text(KEL_ST_LOCKED)).find(wait)) << kc_status_text(KEL_ST_LOCKED);
    EXPECT_NE(std::string::npos, std::string(kcStoreCodeText(KEL_ST_LOCKED)).find(wait));
}

} // namespace
