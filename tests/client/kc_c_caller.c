/* A C99 caller of the shared library, run by kcabi_test.cpp with the
 * stand-in agent's path: the C interface alone, no C++ anywhere, and SIGCHLD
 * ignored as many daemons have it. Exit status 0 when every check holds. */
#include <kelvlx/kelclient.h>

#include <signal.h>
#include <stdio.h>
#include <string.h>

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "kc_c_caller: %s\n", what);
        ++failures;
    }
}

static int32_t refuse(void *ctx, const kc_passwords *pw)
{
    *(size_t *)ctx = pw->new_len;
    return KC_REFUSE;
}

int main(int argc, char **argv)
{
    kc_config *cfg = NULL;
    kc_result res = KC_RESULT_INIT;
    const unsigned char data[3] = {1, 2, 3};
    unsigned char out[KC_MAX_ANSWER];
    unsigned char old_pw[KC_MAX_PASSWORD], new_pw[KC_MAX_PASSWORD];
    kc_passwords pw = {sizeof pw, old_pw, sizeof old_pw, 0, new_pw, sizeof new_pw, 0};
    size_t len = 0, seen = 0;
    char text[256];

    if (argc != 2)
        return 2;
    signal(SIGCHLD, SIG_IGN);
    if (kc_config_new(&cfg) != KC_OK)
        return 1;
    check(kc_config_set_text(cfg, KC_CFG_AGENT_PATH, argv[1]) == KC_OK, "set the agent");
    check(kc_config_set_text(cfg, KC_CFG_NODE, "echo") == KC_OK, "set the node");
    check(kc_config_set_number(cfg, (kc_config_number)99, 0) == KC_E_ARGUMENT &&
              strstr(kc_config_refusal(cfg), "kc_config_set_number") != NULL,
          "an unknown number key is refused by name");

    check(kc_encipher(cfg, 22, data, sizeof data, out, sizeof out, &len, &res) == KC_OK, "encipher");
    check(len == 5 && out[0] == 0 && out[1] == 22 && memcmp(out + 2, data, 3) == 0, "the echoed request");
    kc_describe(&res, text, sizeof text);
    check(strstr(text, "exit status 0") != NULL, text);

    check(kc_config_set_text(cfg, KC_CFG_NODE, "status") == KC_OK && kc_config_set_text(cfg, KC_CFG_SERVER, "166") == KC_OK,
          "set the status");
    check(kc_decipher(cfg, 0, data, sizeof data, out, sizeof out, &len, &res) == KC_E_AGENT, "decipher");
    check(res.exit_status == 166 && len == 0, "exit status 166 with SIGCHLD ignored");
    check(strstr(kc_status_text(166), "locked") != NULL, "the sentence of 166");

    check(kc_config_set_text(cfg, KC_CFG_NODE, "generate") == KC_OK && kc_config_set_text(cfg, KC_CFG_PASSWORD_DIR, "/nonexistent") == KC_OK,
          "set generate");
    check(kc_generate_password(cfg, 0, 2, NULL, 0, refuse, &seen, &pw, &res) == KC_OK, "generate");
    check(seen == 3 && pw.new_len == 3 && memcmp(new_pw, "NEW", 3) == 0, "the passwords reach the caller");
    check(pw.old_len == 3 && memcmp(old_pw, "OLD", 3) == 0, "the old password");

    kc_config_free(cfg);
    return failures == 0 ? 0 : 1;
}
