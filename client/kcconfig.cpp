// The caller's configuration behind its opaque handle.
#include "client/kcinternal.h"

#include <limits.h>
#include <string.h>

#ifdef KEL_TEST_HOOKS
#include <atomic>
#endif

#ifndef KEL_AGENT_PATH
#define KEL_AGENT_PATH "kelvlx"
#endif
#ifndef KEL_CATALOG_DIR
#define KEL_CATALOG_DIR "catalogs"
#endif
#ifndef KEL_BUILD_STAMP
#define KEL_BUILD_STAMP ""
#endif
#ifndef KEL_PASSWORD_DIR
#define KEL_PASSWORD_DIR ""   // the agent's current directory
#endif
#ifndef KEL_AGENT_BELOW_PREFIX
#define KEL_AGENT_BELOW_PREFIX "libexec/kelvlx"
#endif
#ifndef KEL_CATALOGS_BELOW_PREFIX
#define KEL_CATALOGS_BELOW_PREFIX "share/kelvlx/catalogs"
#endif
#ifndef KEL_VERSION_STRING
#define KEL_VERSION_STRING "0.0.0"
#endif

namespace {

std::string *textField(kc_config *cfg, kc_config_text key)
{
    switch (key) {
    case KC_CFG_AGENT_PATH: return &cfg->agentPath;
    case KC_CFG_CATALOG_DIR: return &cfg->catalogDir;
    case KC_CFG_BUILD_DATE: return &cfg->buildDate;
    case KC_CFG_BUILD_TIME: return &cfg->buildTime;
    case KC_CFG_LANGUAGE: return &cfg->language;
    case KC_CFG_CLIENT_TYPE: return &cfg->clientType;
    case KC_CFG_PASSWORD_DIR: return &cfg->passwordDir;
    case KC_CFG_NODE: return &cfg->node;
    case KC_CFG_SERVER: return &cfg->server;
    }
    return nullptr;
}

// The longest node or server name a password record holds (keladm refuses
// longer ones alike).
constexpr size_t kMaxName = 67;
// The agent keeps the language in a field of this many bytes with its NUL.
constexpr size_t kMaxLanguage = 84;

bool languageByte(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' ||
           c == '@' || c == '-';
}

// Why the agent would refuse value for key, or null. The language names a
// directory below the catalog directory, so it is one plain name.
const char *textRefusal(kc_config_text key, const char *value)
{
    const size_t len = strlen(value);
    switch (key) {
    case KC_CFG_LANGUAGE:
        if (len == 0)
            return "KC_CFG_LANGUAGE: the language is empty (the agent then ends with 98); EN_US is the default";
        if (len > kMaxLanguage)
            return "KC_CFG_LANGUAGE: the language is longer than 84 bytes";
        if (strcmp(value, ".") == 0 || strcmp(value, "..") == 0)
            return "KC_CFG_LANGUAGE: the language must name a catalog directory, not . or ..";
        for (size_t i = 0; i < len; ++i)
            if (!languageByte(value[i]))
                return "KC_CFG_LANGUAGE: the language may hold only letters, digits and _ . @ -";
        return nullptr;
    case KC_CFG_NODE:
        return len > kMaxName ? "KC_CFG_NODE: the node is longer than 67 bytes, which no password record holds"
                              : nullptr;
    case KC_CFG_SERVER:
        return len > kMaxName ? "KC_CFG_SERVER: the server is longer than 67 bytes, which no password record holds"
                              : nullptr;
    default:
        return nullptr;
    }
}

// A user or group id of -1 keeps the caller's, as setuid's callers spell it.
bool setId(unsigned *field, long long value)
{
    if (value == -1) {
        *field = static_cast<unsigned>(-1);
        return true;
    }
    if (value < 0 || value >= static_cast<long long>(UINT_MAX))
        return false;
    *field = static_cast<unsigned>(value);
    return true;
}

bool setInt(int *field, long long value, long long lowest)
{
    if (value < lowest || value > INT_MAX)
        return false;
    *field = static_cast<int>(value);
    return true;
}

#ifdef KEL_TEST_HOOKS
std::atomic<bool> anyCipherType{false};
#endif

bool cipherTypeAccepted(long long value)
{
#ifdef KEL_TEST_HOOKS
    if (anyCipherType)
        return value >= INT_MIN && value <= INT_MAX;
#endif
    return value >= KEL_CIPHER_BEST && value <= KEL_CIPHER_AES;
}

} // namespace

#ifdef KEL_TEST_HOOKS
void kcTestAcceptAnyCipherType(bool any)
{
    anyCipherType = any;
}
#endif

extern "C" {

namespace {

// A path of the installed tree: below prefix, unless it is absolute.
std::string belowPrefix(const char *prefix, const char *path)
{
    if (path[0] == '/')
        return path;
    std::string p = prefix;
    if (p.back() != '/')
        p += '/';
    return p + path;
}

int newConfig(const char *prefix, kc_config **out)
{
    if (out == nullptr)
        return KC_E_ARGUMENT;
    *out = nullptr;
    if (prefix != nullptr && prefix[0] == '\0')
        return KC_E_ARGUMENT;
    return kcGuarded([&] {
        kc_config *cfg = new kc_config;
        cfg->agentPath = prefix == nullptr ? KEL_AGENT_PATH : belowPrefix(prefix, KEL_AGENT_BELOW_PREFIX);
        cfg->catalogDir = prefix == nullptr ? KEL_CATALOG_DIR : belowPrefix(prefix, KEL_CATALOGS_BELOW_PREFIX);
        cfg->buildDate = KEL_BUILD_STAMP;
        cfg->buildTime = KEL_BUILD_STAMP;
        cfg->passwordDir = KEL_PASSWORD_DIR;
        *out = cfg;
        return static_cast<int>(KC_OK);
    });
}

int refuse(kc_config *cfg, const char *why)
{
    // Out of memory for the sentence: the refusal itself still stands.
    kcGuarded([&] {
        cfg->refusal = why;
        return static_cast<int>(KC_OK);
    });
    return KC_E_ARGUMENT;
}

} // namespace

int kc_config_new(kc_config **out)
{
    return newConfig(nullptr, out);
}

int kc_config_new_at(const char *prefix, kc_config **out)
{
    if (prefix == nullptr) {
        if (out != nullptr)
            *out = nullptr;
        return KC_E_ARGUMENT;
    }
    return newConfig(prefix, out);
}

const char *kc_config_refusal(const kc_config *cfg)
{
    return cfg == nullptr ? "no configuration handle" : cfg->refusal.c_str();
}

const char *kc_version(void)
{
    return KEL_VERSION_STRING;
}

int kc_config_dup(const kc_config *cfg, kc_config **out)
{
    return kcNewFrom(cfg, out);
}

void kc_config_free(kc_config *cfg)
{
    delete cfg;
}

int kc_config_set_text(kc_config *cfg, kc_config_text key, const char *value)
{
    if (cfg == nullptr)
        return KC_E_ARGUMENT;
    std::string *field = textField(cfg, key);
    if (field == nullptr)
        return refuse(cfg, "kc_config_set_text: the key is not a kc_config_text");
    if (value == nullptr)
        return refuse(cfg, "kc_config_set_text: the value is NULL");
    if (const char *why = textRefusal(key, value))
        return refuse(cfg, why);
    return kcGuarded([&] {
        field->assign(value);
        cfg->refusal.clear();
        return static_cast<int>(KC_OK);
    });
}

const char *kc_config_text_of(const kc_config *cfg, kc_config_text key)
{
    if (cfg == nullptr)
        return nullptr;
    const std::string *field = textField(const_cast<kc_config *>(cfg), key);
    return field == nullptr ? nullptr : field->c_str();
}

int kc_config_set_number(kc_config *cfg, kc_config_number key, long long value)
{
    if (cfg == nullptr)
        return KC_E_ARGUMENT;
    const char *why = "kc_config_set_number: the key is not a kc_config_number";
    bool ok = false;
    switch (key) {
    case KC_CFG_CIPHER_TYPE:
        // The agent reads the low 8 bits and refuses every type but these three.
        ok = cipherTypeAccepted(value) && setInt(&cfg->cipherType, value, INT_MIN);
        why = "KC_CFG_CIPHER_TYPE: the cipher type must be 0 (best available), 1 (DES) or 2 (AES)";
        break;
    case KC_CFG_EXIT_LOGGING:
        ok = setInt(&cfg->exitLogging, value, INT_MIN);
        why = "KC_CFG_EXIT_LOGGING: the value does not fit an int";
        break;
    case KC_CFG_TIMEOUT_MS:
        ok = setInt(&cfg->timeoutMs, value, 1);
        why = "KC_CFG_TIMEOUT_MS: the time-out must be 1 to INT_MAX milliseconds";
        break;
    case KC_CFG_RUN_AS_UID:
        ok = setId(&cfg->runAsUid, value);
        why = "KC_CFG_RUN_AS_UID: a user id, or -1 for the caller's";
        break;
    case KC_CFG_RUN_AS_GID:
        ok = setId(&cfg->runAsGid, value);
        why = "KC_CFG_RUN_AS_GID: a group id, or -1 for the caller's";
        break;
    case KC_CFG_STDOUT_FD:
        ok = setInt(&cfg->stdoutFd, value, -1);
        why = "KC_CFG_STDOUT_FD: a descriptor, or -1 for the caller's";
        break;
    case KC_CFG_STDERR_FD:
        ok = setInt(&cfg->stderrFd, value, KC_STDERR_CAPTURE);
        why = "KC_CFG_STDERR_FD: a descriptor, -1 for the caller's or KC_STDERR_CAPTURE";
        break;
    case KC_CFG_STORE_WAIT_MS:
        ok = setInt(&cfg->storeWaitMs, value, 1);
        why = "KC_CFG_STORE_WAIT_MS: the store wait must be 1 to INT_MAX milliseconds";
        break;
    }
    if (!ok)
        return refuse(cfg, why);
    cfg->refusal.clear();
    return KC_OK;
}

long long kc_config_number_of(const kc_config *cfg, kc_config_number key)
{
    if (cfg == nullptr)
        return -1;
    switch (key) {
    case KC_CFG_CIPHER_TYPE: return cfg->cipherType;
    case KC_CFG_EXIT_LOGGING: return cfg->exitLogging;
    case KC_CFG_TIMEOUT_MS: return cfg->timeoutMs;
    case KC_CFG_RUN_AS_UID: return cfg->runAsUid == static_cast<uid_t>(-1) ? -1 : cfg->runAsUid;
    case KC_CFG_RUN_AS_GID: return cfg->runAsGid == static_cast<gid_t>(-1) ? -1 : cfg->runAsGid;
    case KC_CFG_STDOUT_FD: return cfg->stdoutFd;
    case KC_CFG_STDERR_FD: return cfg->stderrFd;
    case KC_CFG_STORE_WAIT_MS: return cfg->storeWaitMs;
    }
    return -1;
}

} // extern "C"
