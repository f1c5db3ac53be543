// Sentences for the agent's exit statuses and for the caller's own failures.
#include "kelvlx/kelclient.h"

#include <errno.h>
#include <string.h>

#include <string>

namespace {

struct StatusText {
    int status;   // as the caller sees it, modulo 256
    const char *text;
};

// -1, 292, 295, 297, 610, 5801 and 5802 reach the caller modulo 256.
const StatusText kStatusTexts[] = {
    {0, "the request was carried out"},
    {255, "the agent was called wrongly (usage error), or the password file or its directory could not be "
          "opened, created or rewritten (-1)"},
    {138, "the agent refused the caller: the argument count or the build stamp does not match the agent's, "
          "or the agent does not run with super-user rights"},
    {36, "the agent ran out of memory at start-up (292)"},
    {39, "the agent does not know the operation letter (295)"},
    {41, "the request or the answer did not cross the pipes completely (297)"},
    {98, "the agent could not set up its message catalog: check the catalog directory and the language (610)"},
    {168, "no usable password or key is stored for this node and server"},
    {113, "the generated password had an unusable length"},
    {109, "an argument was not valid: the cipher type is unknown or no key could be made from the stored "
          "password"},
    {102, "the agent ran out of memory"},
    {165, "the password file could not be written completely"},
    {166, "the password file is locked by another writer: the agent waited 120 seconds for its lock and stored "
          "nothing"},
    {131, "a cipher stream was used in the wrong state"},
    {169, "the crypto library reported a failure (5801)"},
    {170, "the crypto library could not be loaded (5802)"},
};

const char *callerErrorText(int error)
{
    switch (error) {
    case KC_OK: return "the request was carried out";
    case KC_E_ARGUMENT: return "the request is not valid (data longer than 64 bytes, or a key longer than 16)";
    case KC_E_PIPE: return "the pipes to the agent could not be made";
    case KC_E_START: return "the agent could not be started";
    case KC_E_SEND: return "the request could not be written to the agent";
    case KC_E_RECEIVE: return "the agent's answer could not be read completely";
    case KC_E_TIMEOUT: return "the agent did not answer in time and was ended";
    case KC_E_PROTOCOL: return "the agent's answer does not have the form the protocol gives it";
    case KC_E_WAIT: return "the end of the agent could not be observed";
    case KC_E_UNKNOWN:
        return "the agent ended without a status after the new password was confirmed: whether it is stored is "
               "unknown (an unconfirmed 'C' shows the stored password as the old one)";
    default: return "an unknown failure of the caller";
    }
}

} // namespace

const char *kcStatusText(int exitStatus)
{
    for (const auto &s : kStatusTexts)
        if (s.status == exitStatus)
            return s.text;
    return "the agent ended with a status it does not document";
}

std::string kcDescribe(const kcStatus &st)
{
    std::string s;
    if (st.error == KC_OK && st.settled)
        return "the agent ended without a status after the confirmation, and an unconfirmed 'C' showed that the "
               "new password is stored";
    if (st.error == KC_OK)
        return "the agent ended with exit status 0: the request was carried out";
    const std::string kept = st.settled ? "; an unconfirmed 'C' showed that the old password is still stored" : "";
    if (st.error == KC_E_AGENT) {
        if (st.termSignal != 0)
            return "the agent was ended by signal " + std::to_string(st.termSignal) + " (" +
                   strsignal(st.termSignal) + ")" + kept;
        return "the agent ended with exit status " + std::to_string(st.exitStatus) + ": " +
               kcStatusText(st.exitStatus);
    }
    s = callerErrorText(st.error);
    if (st.error == KC_E_UNKNOWN && st.termSignal != 0)
        s += std::string(" (the agent was ended by signal ") + std::to_string(st.termSignal) + ", " +
             strsignal(st.termSignal) + ")";
    if (st.sysErrno != 0)
        s += std::string(" (") + strerror(st.sysErrno) + ")";
    // The agent is 4750 root:group, so the kernel's refusal means the caller is not in the group.
    if (st.error == KC_E_START && st.sysErrno == EACCES)
        s += "; only members of the group " KEL_AGENT_GROUP " may call the agent, and a user just added to "
             "that group must log in again before it counts";
    if (st.exitStatus > 0)
        s += "; the agent then ended with exit status " + std::to_string(st.exitStatus) + ": " +
             kcStatusText(st.exitStatus);
    return s + kept;
}
