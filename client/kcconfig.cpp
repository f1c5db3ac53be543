// The caller's configuration behind its opaque handle.
#include "client/kcinternal.h"

#include <limits.h>
#include <string.h>

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

} // namespace

extern "C" {

int kc_config_new(kc_config **out)
{
    if (out == nullptr)
        return KC_E_ARGUMENT;
    *out = nullptr;
    return kcGuarded([&] {
        kc_config *cfg = new kc_config;
        cfg->agentPath = KEL_AGENT_PATH;
        cfg->catalogDir = KEL_CATALOG_DIR;
        cfg->buildDate = KEL_BUILD_STAMP;
        cfg->buildTime = KEL_BUILD_STAMP;
        cfg->passwordDir = KEL_PASSWORD_DIR;
        *out = cfg;
        return static_cast<int>(KC_OK);
    });
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
    if (cfg == nullptr || value == nullptr)
        return KC_E_ARGUMENT;
    std::string *field = textField(cfg, key);
    if (field == nullptr)
        return KC_E_ARGUMENT;
    return kcGuarded([&] {
        field->assign(value);
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
    bool ok = false;
    switch (key) {
    case KC_CFG_CIPHER_TYPE: ok = setInt(&cfg->cipherType, value, INT_MIN); break;   // the agent judges it
    case KC_CFG_EXIT_LOGGING: ok = setInt(&cfg->exitLogging, value, INT_MIN); break;
    case KC_CFG_TIMEOUT_MS: ok = setInt(&cfg->timeoutMs, value, 1); break;
    case KC_CFG_RUN_AS_UID: ok = setId(&cfg->runAsUid, value); break;
    case KC_CFG_RUN_AS_GID: ok = setId(&cfg->runAsGid, value); break;
    case KC_CFG_STDOUT_FD: ok = setInt(&cfg->stdoutFd, value, -1); break;
    case KC_CFG_STDERR_FD: ok = setInt(&cfg->stderrFd, value, -1); break;
    case KC_CFG_STORE_WAIT_MS: ok = setInt(&cfg->storeWaitMs, value, 1); break;
    }
    return ok ? KC_OK : KC_E_ARGUMENT;
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
