// Sentences for the agent's exit statuses and for the caller's own failures.
#include "client/kcinternal.h"
#include "client/kcstatustable.h"

#include <errno.h>
#include <string.h>

#include <string>

namespace {

const char *callerErrorText(int error)
{
    switch (error) {
    case KC_OK: return "the request was carried out";
    case KC_E_ARGUMENT: return "the request is not valid";
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
    case KC_E_NOMEM: return "the caller's library ran out of memory";
    default: return "an unknown failure of the caller";
    }
}

// What the library saw of the cause (kc_result.detail).
const char *detailText(int detail)
{
    switch (detail) {
    case KC_D_NO_CONFIG: return "no configuration handle was given (NULL)";
    case KC_D_NO_OUTPUT: return "no output buffer or no pointer for its length was given (NULL)";
    case KC_D_OUTPUT_SMALL:
        return "the output buffer is smaller than the answer may be (KC_MAX_ANSWER bytes for 'A' and 'B', "
               "KC_KEY_BLOCK for the key block)";
    case KC_D_DATA_LONG: return "the data is longer than " KC_TEXT_OF(KEL_MAX_DATA) " bytes (KC_MAX_DATA)";
    case KC_D_DATA_NULL: return "the data pointer is NULL with a length above 0";
    case KC_D_KEY_LONG: return "the key is longer than " KC_TEXT_OF(KEL_MAX_KEY) " bytes (KC_MAX_KEY)";
    case KC_D_KEY_NULL: return "the key pointer is NULL with a key length above 0";
    case KC_D_PASSWORD_BUFFERS:
        return "the kc_passwords is NULL, its size is not set, or a buffer is NULL or smaller than "
               KC_TEXT_OF(KEL_MAX_PASSWORD) " bytes (KC_MAX_PASSWORD)";
    case KC_D_NO_HANDLE: return "no agent handle was given (NULL)";
    case KC_D_PASSWORD_DIR_MISSING: return "the password directory (KC_CFG_PASSWORD_DIR) does not exist";
    case KC_D_PASSWORD_DIR_NOT_DIR: return "the password directory (KC_CFG_PASSWORD_DIR) is not a directory";
    case KC_D_NODE_LOWER_CASE:
        return "the node (KC_CFG_NODE) has lower-case letters, and nodes are usually stored in upper case "
               "(keladm list shows the stored ones)";
    default: return nullptr;
    }
}

// The agent's lines on its standard error, in one line: each trimmed, joined with " / ".
std::string agentLines(const char *diag)
{
    std::string out, line;
    auto flush = [&] {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
            line.pop_back();
        if (!line.empty())
            out += (out.empty() ? "" : " / ") + line;
        line.clear();
    };
    for (const char *p = diag; *p != '\0'; ++p) {
        if (*p == '\n')
            flush();
        else
            line += *p;
    }
    flush();
    return out;
}

// strsignal and strerror may share a buffer between threads; these do not.
std::string signalName(int sig)
{
    const char *d = sigdescr_np(sig);
    return d != nullptr ? d : "unknown signal";
}

std::string errorName(int err)
{
    char buf[128];
    return strerror_r(err, buf, sizeof buf);   // the GNU form: it returns the text, maybe not in buf
}

const char *statusText(int exitStatus)
{
    const char *text = kcAgentStatusText(exitStatus);
    return text != nullptr ? text : "the agent ended with a status it does not document";
}

std::string describeBare(const kc_result &st)
{
    std::string s;
    if (st.error == KC_OK && st.settled)
        return "the agent ended without a status after the confirmation, and an unconfirmed 'C' showed that the "
               "new password is stored";
    if (st.error == KC_OK)
        return "the agent ended with exit status 0: the request was carried out";
    const std::string kept = st.settled ? "; an unconfirmed 'C' showed that the old password is still stored" : "";
    if (st.error == KC_E_AGENT) {
        if (st.term_signal != 0)
            return "the agent was ended by signal " + std::to_string(st.term_signal) + " (" +
                   signalName(st.term_signal) + ")" + kept;
        return "the agent ended with exit status " + std::to_string(st.exit_status) + ": " +
               statusText(st.exit_status);
    }
    if (st.agent_running != 0 && st.error == KC_E_TIMEOUT)
        return "the agent did not answer in time and could not be ended: it still runs (process id " +
               std::to_string(st.agent_pid) + ")";
    if (st.agent_running != 0 && st.error == KC_E_UNKNOWN)
        return "the agent was still storing after the confirmation when the wait for it ran out: it still runs "
               "(process id " + std::to_string(st.agent_pid) + "), and whether the new password is stored is "
               "known only once it ends";
    s = callerErrorText(st.error);
    if (st.error == KC_E_ARGUMENT && detailText(st.detail) != nullptr)
        s += std::string(": ") + detailText(st.detail);
    if (st.error == KC_E_UNKNOWN && st.term_signal != 0)
        s += std::string(" (the agent was ended by signal ") + std::to_string(st.term_signal) + ", " +
             signalName(st.term_signal) + ")";
    if (st.sys_errno != 0)
        s += " (" + errorName(st.sys_errno) + ")";
    // The agent is 4750 root:group, so the kernel's refusal means the caller is not in the group.
    if (st.error == KC_E_START && st.sys_errno == EACCES)
        s += "; only members of the group " KEL_AGENT_GROUP " may call the agent, and a user just added to "
             "that group must log in again before it counts";
    if (st.exit_status > 0)
        s += "; the agent then ended with exit status " + std::to_string(st.exit_status) + ": " +
             statusText(st.exit_status);
    return s + kept;
}

// The sentence, then what the library saw of the cause and what the agent
// itself wrote.
std::string describe(const kc_result &st)
{
    std::string s = describeBare(st);
    if (st.error != KC_E_ARGUMENT && detailText(st.detail) != nullptr)
        s += std::string("; ") + detailText(st.detail);
    const std::string said = agentLines(st.diagnostic);
    if (!said.empty())
        s += "; the agent wrote: " + said;
    return s;
}

} // namespace

extern "C" {

const char *kc_status_text(int exit_status)
{
    return statusText(exit_status);
}

size_t kc_describe(const kc_result *res, char *buf, size_t cap)
{
    // A result from an older caller lacks the later fields: they count as unset.
    kc_result st = KC_RESULT_INIT;
    if (res != nullptr)
        memcpy(&st, res, res->size < sizeof st ? res->size : sizeof st);
    else
        st.error = KC_E_ARGUMENT;
    st.diagnostic[sizeof st.diagnostic - 1] = '\0';   // a caller's own result may not end its text
    std::string text;
    try {
        text = describe(st);
    } catch (...) {
        text.clear();   // out of memory: an empty sentence, whose length says so
    }
    if (cap != 0 && buf != nullptr) {
        const size_t n = text.size() < cap - 1 ? text.size() : cap - 1;
        memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return text.size();
}

} // extern "C"
