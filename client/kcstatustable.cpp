// The sentences of the agent's exit statuses and of the store's codes.
#include "client/kcstatustable.h"

#include "kelvlx/kelcontract.h"

namespace {

// The lock wait as the texts name it, from the one constant.
#define KC_LOCK_WAIT_TEXT KC_TEXT_OF(KEL_LOCK_WAIT_SECONDS)
// The store's refusal, which the agent's -1 shares with its usage error.
#define KC_STORE_REFUSED_TEXT "the password file or its directory could not be opened, created or rewritten"

// Who reports a status: the agent alone (its start-up, the cipher, the
// generator), the store alone, or both (the store's codes that the agent
// passes on as its status).
enum class Said { Agent, Store, Both };

struct StatusText {
    int status;   // KEL_ST_*, as the agent or the store returns it
    Said by;
    const char *text;
};

const StatusText kStatusTexts[] = {
    {KEL_ST_OK, Said::Agent, "the request was carried out"},
    {KEL_ST_USAGE, Said::Agent, "the agent was called wrongly (usage error), or " KC_STORE_REFUSED_TEXT " (-1)"},
    {KEL_ST_STORE_REFUSED, Said::Store, KC_STORE_REFUSED_TEXT ", or the file is damaged"},
    {KEL_ST_INCOMPATIBLE, Said::Agent,
     "the agent refused the caller: the argument count or the build stamp does not match the agent's, "
     "or the agent does not run with super-user rights"},
    {KEL_ST_START_NO_MEMORY, Said::Agent, "the agent ran out of memory at start-up (292)"},
    {KEL_ST_UNKNOWN_OP, Said::Agent, "the agent does not know the operation letter (295)"},
    {KEL_ST_PIPE, Said::Agent, "the request or the answer did not cross the pipes completely (297)"},
    {KEL_ST_NLS, Said::Agent,
     "the agent could not set up its message catalog: check the catalog directory and the language (610)"},
    {KEL_ST_NO_PASSWORD, Said::Both, "no usable password or key is stored for this node and server"},
    {KEL_ST_BAD_PASSWORD_LENGTH, Said::Agent, "the generated password had an unusable length"},
    {KEL_ST_INVALID_ARGUMENT, Said::Agent,
     "an argument was not valid: the cipher type is unknown or no key could be made from the stored password"},
    {KEL_ST_NO_MEMORY, Said::Both, "out of memory"},
    {KEL_ST_SHORT_WRITE, Said::Both, "the password file could not be written completely"},
    {KEL_ST_LOCKED, Said::Both,
     "the password file is locked by another writer: no lock came within " KC_LOCK_WAIT_TEXT
     " seconds, and nothing was stored"},
    {KEL_ST_CIPHER_STATE, Said::Agent, "a cipher stream was used in the wrong state"},
    {KEL_ST_LIB_FAILURE, Said::Agent, "the crypto library reported a failure (5801)"},
    {KEL_ST_NO_LIBRARY, Said::Agent, "the crypto library could not be loaded (5802)"},
};

} // namespace

const char *kcAgentStatusText(int seenStatus)
{
    for (const auto &s : kStatusTexts)
        if (s.by != Said::Store && KEL_ST_SEEN(s.status) == seenStatus)
            return s.text;
    return nullptr;
}

const char *kcStoreCodeText(int code)
{
    for (const auto &s : kStatusTexts)
        if (s.by != Said::Agent && s.status == code)
            return s.text;
    return nullptr;
}
