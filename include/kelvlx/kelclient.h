/* The caller's library of the kelvlx password agent: starts the agent with
 * its 22 arguments and two pipes, speaks one operation's exchange and reports
 * the answer and the exit status. This header is the library's stable
 * interface: C99 and C++, opaque handles, plain structures, an enum of
 * statuses; every symbol carries a version node: KELVLX_CLIENT_1, or
 * KELVLX_CLIENT_1.1 for what version 1.1 added (kc_version,
 * kc_config_new_at, kc_config_refusal).
 * docs/client-library.md shows it in use; the bytes exchanged are in
 * docs/pipe-protocol.md. C++ callers may prefer kelclient.hpp, a header-only
 * layer over it.
 *
 * Threads: every call may run in several threads at once as long as no two
 * threads use one kc_agent at the same time and nobody changes a kc_config
 * while another thread reads it (a config that is only read may be shared).
 * Nothing is kept between calls; the library holds no global state.
 *
 * Signals and children: the library starts the agent without copying the
 * caller (so the caller's size does not matter): a waiter process that shares
 * the caller's memory and descriptor table, never execs and sends the caller
 * no signal when it ends (its exit signal is 0), starts the agent as its own
 * child, waits for it and leaves its status to the library. The library holds
 * pidfds of both: it ends the agent through its pidfd, so a kill can never
 * hit a recycled process id, and reaps the waiter through its own. Neither is
 * seen by the caller's waitpid(-1, ...) or wait() (only a wait with __WALL or
 * __WCLONE could take the waiter), and neither is reaped by the kernel when
 * SIGCHLD is ignored (SIG_IGN, SA_NOCLDWAIT): the caller's SIGCHLD handling
 * does not matter, the exit status is not lost. Where the kernel refuses
 * pidfds (before Linux 5.4, or a filter that forbids them) the library forks
 * a short-lived helper process instead, which does the waiter's work as the
 * caller's plain child; the caller must not kill that helper, and a caller
 * that reaps it sees an exit status of 0 that means nothing.
 * res->start_method says which way a run took. The environment variable
 * KELVLX_CLIENT_START=helper, read by the library at every start, makes it
 * take the helper's way (for tests of that way). SIGPIPE is blocked in the
 * calling thread while the library writes to the agent, so an agent that has
 * gone makes the call fail instead of ending the caller; the agent itself
 * starts with no signal blocked, the caller's signal handlers reset to their
 * defaults, and SIGPIPE and SIGCHLD at their defaults. */
#ifndef KELVLX_KELCLIENT_H
#define KELVLX_KELCLIENT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include <kelvlx/kelcontract.h>   /* the command line, the operations and the exit statuses */

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this header; kc_version() gives the library's. A caller
 * may test KC_VERSION_NUM >= KC_VERSION_AT(1, 1, 0) before using what 1.1 added. */
#define KC_VERSION_MAJOR 1
#define KC_VERSION_MINOR 1
#define KC_VERSION_PATCH 0
#define KC_VERSION_AT(major, minor, patch) (((major) << 16) | ((minor) << 8) | (patch))
#define KC_VERSION_NUM KC_VERSION_AT(KC_VERSION_MAJOR, KC_VERSION_MINOR, KC_VERSION_PATCH)

/* Sizes of the protocol's pieces, for the caller's buffers. */
#define KC_MAX_DATA KEL_MAX_DATA           /* data of one 'A' or 'B' request: 64 */
#define KC_MAX_ANSWER KEL_MAX_ANSWER       /* a cipher answer: 64 bytes padded by AES, 80 */
#define KC_KEY_BLOCK KEL_KEY_BLOCK         /* the key block: three slots, 192 */
#define KC_KEY_SLOT KEL_KEY_SLOT           /* 64 */
#define KC_MAX_KEY KEL_MAX_KEY             /* the caller's key of a 'C': 16 */
#define KC_MAX_PASSWORD KEL_MAX_PASSWORD   /* a password of 'C' as sent: 80 bytes of text enciphered with AES, 96 */

/* The confirmation of a 'C': 67 stores the new password, anything else keeps
 * the old one. */
#define KC_CONFIRM KEL_CONFIRM
#define KC_REFUSE 66
/* How long a confirmed 'C' may take at the least, in milliseconds: the agent
 * waits up to KEL_LOCK_WAIT_SECONDS (120) for the password file's lock, then rewrites it.
 * The default of KC_CFG_STORE_WAIT_MS. */
#define KC_STORE_WAIT_MS ((KEL_LOCK_WAIT_SECONDS + 30) * 1000)

/* What went wrong, on the caller's side or in the agent. The values are
 * fixed: new ones are only ever added at the end. */
typedef enum kcError {
    KC_OK = 0,
    KC_E_AGENT,      /* the agent ended with a non-zero status or by a signal */
    KC_E_ARGUMENT,   /* the request itself is not valid (too long, bad key length, no handle ...) */
    KC_E_PIPE,       /* the pipes could not be made */
    KC_E_START,      /* the agent could not be started */
    KC_E_SEND,       /* the request could not be written completely */
    KC_E_RECEIVE,    /* reading the answer failed */
    KC_E_TIMEOUT,    /* the agent did not answer in time and was ended (or, with
                        res->agent_running, could not be ended and still runs) */
    KC_E_PROTOCOL,   /* the agent exited with 0 but its answer was not what the protocol says */
    KC_E_WAIT,       /* the agent's end could not be observed */
    KC_E_UNKNOWN,    /* 'C': after the confirmation was sent the agent ended without a status
                        (killed) and no second look settled whether the new password is
                        stored, or it was still storing when the store wait ran out
                        (res->agent_running) */
    KC_E_NOMEM       /* the library could not allocate memory */
} kcError;

/* Which cause, of the several an error or exit status may have, the library
 * saw from the caller's side (kc_result.detail; kc_describe names it). The
 * values are fixed: new ones are only ever added at the end. */
typedef enum kcDetail {
    KC_D_NONE = 0,
    KC_D_NO_CONFIG,           /* KC_E_ARGUMENT: no configuration handle */
    KC_D_NO_OUTPUT,           /* KC_E_ARGUMENT: no output buffer or no length pointer */
    KC_D_OUTPUT_SMALL,        /* KC_E_ARGUMENT: the output buffer is smaller than the answer may be */
    KC_D_DATA_LONG,           /* KC_E_ARGUMENT: data longer than KC_MAX_DATA */
    KC_D_DATA_NULL,           /* KC_E_ARGUMENT: no data pointer with a length above 0 */
    KC_D_KEY_LONG,            /* KC_E_ARGUMENT: a key longer than KC_MAX_KEY */
    KC_D_KEY_NULL,            /* KC_E_ARGUMENT: no key pointer with a length above 0 */
    KC_D_PASSWORD_BUFFERS,    /* KC_E_ARGUMENT: no kc_passwords, a wrong size, or buffers below KC_MAX_PASSWORD */
    KC_D_NO_HANDLE,           /* KC_E_ARGUMENT: no agent handle */
    KC_D_PASSWORD_DIR_MISSING,   /* with 168: the password directory does not exist */
    KC_D_PASSWORD_DIR_NOT_DIR,   /* with 168: the password directory is not a directory */
    KC_D_NODE_LOWER_CASE         /* with 168: the node has lower-case letters; stored nodes are upper case */
} kcDetail;

/* Size of kc_result.diagnostic: the agent's first lines on its standard
 * error, cut at a line end where they are longer. */
#define KC_DIAGNOSTIC_MAX 512

/* The outcome of one run. The caller sets size to sizeof(kc_result) (or uses
 * KC_RESULT_INIT); the library fills only the fields that fit in size, so a
 * later version may add fields at the end. */
typedef struct kc_result {
    size_t size;
    int error;         /* a kcError */
    int sys_errno;     /* errno of a failed system call on the caller's side */
    int exit_status;   /* the agent's exit status as a caller sees it (0-255); -1 if it did not exit */
    int term_signal;   /* the signal that ended the agent, 0 if it exited */
    /* 'C': the agent ended without a status after the confirmation, and an
     * unconfirmed 'C' then showed which password is stored: error is KC_OK
     * when it is the new one, the agent's failure when it is the old one. */
    int settled;
    /* ---- Added in 1.1. A caller built with 1.0 passes a smaller size and
     * never sees these; a 1.0 library leaves them as the caller set them. */
    int start_method;  /* KC_START_PIDFD or KC_START_HELPER; 0 when nothing was started */
    /* 1 when the agent still ran as the call returned: it could not be ended
     * (error KC_E_TIMEOUT), or a confirmed 'C' was still storing when the
     * store wait ran out (KC_E_UNKNOWN; the library never ends an agent after
     * the confirmation). agent_pid and agent_pidfd then let the caller watch
     * it: agent_pidfd is the caller's, close-on-exec, to close; it names the
     * caller's child that waits for the agent (the waiter, or the helper),
     * becomes readable when that child has ended, right after the agent, and
     * the caller then reaps it with waitid(P_PIDFD, agent_pidfd, &info,
     * WEXITED | __WALL). With KC_START_PIDFD the exit status it gets is the
     * agent's (128 + the signal for an agent ended by a signal): 0 after a
     * 'C' means the new password is stored. The library's memory for that
     * run (about 132 KiB) stays with the waiter. */
    int agent_running;
    pid_t agent_pid;   /* with agent_running: the agent's process id, else -1 */
    int agent_pidfd;   /* with agent_running: see above, else -1 (also where the kernel has no pidfds) */
    int detail;          /* a kcDetail: the cause the library saw, KC_D_NONE when none */
    int cipher_used;     /* 'A' and 'B' that the agent served: 1 DES, 2 AES; 0 when not known or no cipher ran */
    /* What the agent wrote on its standard error (NUL-terminated; "" when
     * nothing, or when KC_CFG_STDERR_FD sent it elsewhere). */
    char diagnostic[KC_DIAGNOSTIC_MAX];
} kc_result;
#define KC_RESULT_INIT {sizeof(kc_result), KC_OK, 0, -1, 0, 0, 0, 0, -1, -1, KC_D_NONE, 0, {0}}

/* How an agent was started (kc_result.start_method). */
#define KC_START_PIDFD 1    /* by the library itself, held through a pidfd */
#define KC_START_HELPER 2   /* through a helper process, where pidfds are refused */

/* ---- Configuration: what a caller needs to start the agent. */
typedef struct kc_config kc_config;

/* The defaults of a new configuration (kc_config_new) besides the installed
 * paths and the build stamp. */
#define KC_DEFAULT_LANGUAGE "EN_US"
#define KC_DEFAULT_CLIENT_TYPE "\x01"
#define KC_DEFAULT_TIMEOUT_MS 30000
/* KC_CFG_STDERR_FD: the library reads the agent's standard error into
 * kc_result.diagnostic (the default); -1 lets the agent inherit the caller's. */
#define KC_STDERR_CAPTURE (-2)

typedef enum kc_config_text {
    KC_CFG_AGENT_PATH,     /* the kelvlx executable */
    KC_CFG_CATALOG_DIR,    /* directory holding <LANG>/kelclientV3.cat */
    KC_CFG_BUILD_DATE,     /* must equal the agent's build stamp */
    KC_CFG_BUILD_TIME,
    KC_CFG_LANGUAGE,       /* default KC_DEFAULT_LANGUAGE */
    KC_CFG_CLIENT_TYPE,    /* only its first byte is read; default KC_DEFAULT_CLIENT_TYPE */
    KC_CFG_PASSWORD_DIR,   /* directory of ZAR.PWD; "": the agent's current directory */
    KC_CFG_NODE,
    KC_CFG_SERVER
} kc_config_text;

typedef enum kc_config_number {
    KC_CFG_CIPHER_TYPE,    /* 0 best available, 1 DES, 2 AES; default 0 */
    KC_CFG_EXIT_LOGGING,   /* default 0 */
    KC_CFG_TIMEOUT_MS,     /* an agent silent this long is ended; default KC_DEFAULT_TIMEOUT_MS */
    KC_CFG_RUN_AS_UID,     /* run the agent as this user (root callers only); -1 keeps the caller's */
    KC_CFG_RUN_AS_GID,     /* and this group; -1 keeps the caller's */
    KC_CFG_STDOUT_FD,      /* where the agent's standard output goes; -1 inherits the caller's */
    KC_CFG_STDERR_FD,      /* its standard error: a descriptor, -1 inherits the caller's, default
                              KC_STDERR_CAPTURE (into kc_result.diagnostic) */
    KC_CFG_STORE_WAIT_MS   /* how long a confirmed 'C' may store before the call returns
                              KC_E_UNKNOWN with the agent still running; default
                              KC_STORE_WAIT_MS (a longer KC_CFG_TIMEOUT_MS wins) */
} kc_config_number;

/* Makes a configuration with the defaults of this library's build: the
 * installed agent, catalogs and password directory, and the build stamp the
 * agent must share. *out is the caller's; free it with kc_config_free.
 * Returns KC_OK, KC_E_ARGUMENT (out is NULL) or KC_E_NOMEM. */
int kc_config_new(kc_config **out);
/* As kc_config_new, with the agent and the catalogs of the tree installed
 * under prefix (a staged or moved install; the password directory stays the
 * installed default). KC_OK, KC_E_ARGUMENT (out or prefix NULL or prefix
 * empty) or KC_E_NOMEM. Since 1.1. */
int kc_config_new_at(const char *prefix, kc_config **out);
/* A copy of cfg in *out, the caller's to free. KC_OK, KC_E_ARGUMENT, KC_E_NOMEM. */
int kc_config_dup(const kc_config *cfg, kc_config **out);
/* Frees a configuration; NULL is allowed. */
void kc_config_free(kc_config *cfg);
/* Sets a text, copying value (NUL-terminated). KC_OK, KC_E_ARGUMENT (no
 * handle, no value, an unknown key, or a value the agent would refuse: an
 * empty language or one with other bytes than letters, digits and "_.@-",
 * a node or server longer than 67 bytes) or KC_E_NOMEM; the old value stays
 * then, and kc_config_refusal says what was refused. */
int kc_config_set_text(kc_config *cfg, kc_config_text key, const char *value);
/* The text, owned by cfg and valid until it is set again or cfg is freed;
 * NULL for no handle or an unknown key. */
const char *kc_config_text_of(const kc_config *cfg, kc_config_text key);
/* Sets a number. KC_OK or KC_E_ARGUMENT (no handle, unknown key, a value out
 * of the field's range: a cipher type other than 0, 1 or 2, a time-out below
 * 1, a descriptor below -2); the old value stays then, and kc_config_refusal
 * says what was refused. */
int kc_config_set_number(kc_config *cfg, kc_config_number key, long long value);
/* The sentence on the last value a setter refused on cfg, naming the field;
 * "" when none was refused, a static text for no handle. Valid until the next
 * set on cfg. Since 1.1. */
const char *kc_config_refusal(const kc_config *cfg);
/* The number; -1 for no handle or an unknown key. */
long long kc_config_number_of(const kc_config *cfg, kc_config_number key);

/* ---- Whole operations. Each starts one agent, runs its exchange, waits for
 * it and fills *res (which may be NULL). They return res->error. Answers go
 * to the caller's buffers; on any failure the library zeroes what it wrote
 * there and sets the length to 0. Copies the library makes of data, keys and
 * passwords are zeroed before it returns. */

/* 'A' and 'B': encipher or decipher len (at most KC_MAX_DATA) bytes with the
 * key folded from the stored server password. code_set 22 asks for the
 * server's EBCDIC code set, 0 for ASCII. The answer (at most KC_MAX_ANSWER
 * bytes) goes to out, of cap bytes; its length to *out_len. KC_E_ARGUMENT for
 * too much data, NULL data with len > 0, or cap below KC_MAX_ANSWER. */
int kc_encipher(const kc_config *cfg, unsigned char code_set, const unsigned char *data, size_t len,
                unsigned char *out, size_t cap, size_t *out_len, kc_result *res);
int kc_decipher(const kc_config *cfg, unsigned char code_set, const unsigned char *data, size_t len,
                unsigned char *out, size_t cap, size_t *out_len, kc_result *res);

/* 'A' key request: the KC_KEY_BLOCK bytes of three KC_KEY_SLOT-byte slots
 * (slot 0 the current key, slots 1 and 2 the saved earlier keys if any; each
 * used slot holds a NUL-terminated text, the rest is zero) into out, of cap
 * bytes (at least KC_KEY_BLOCK). request16 is the 16 bytes sent with it
 * (NULL sends zeros). KC_E_PROTOCOL when the block has another length. */
int kc_fetch_keys(const kc_config *cfg, const unsigned char *request16, unsigned char *out, size_t cap,
                  kc_result *res);

/* The two passwords of a 'C' as the agent sent them. The buffers are the
 * caller's, each of KC_MAX_PASSWORD bytes at least. */
typedef struct kc_passwords {
    size_t size;                 /* sizeof(kc_passwords), set by the caller */
    unsigned char *old_pw;
    size_t old_cap, old_len;
    unsigned char *new_pw;
    size_t new_cap, new_len;
} kc_passwords;

/* Sees both passwords and returns the confirmation to send (KC_CONFIRM to
 * store the new one). Runs in the calling thread, once per kc_generate_password. */
typedef int32_t (*kc_decide_fn)(void *ctx, const kc_passwords *pw);

/* 'C': generates a new password. decide (NULL refuses) chooses whether it is
 * stored. With encipher_flag 1 both passwords come enciphered with key
 * (key_len 0 to KC_MAX_KEY bytes). On return pw holds what the agent sent
 * (kept for KC_E_AGENT and KC_E_UNKNOWN too, zeroed for other failures).
 * After a confirmation the agent is given KC_CFG_STORE_WAIT_MS (or the
 * time-out, if longer) to store, and is never ended by the library. An
 * agent that ends without a status after it (killed) leaves the outcome
 * open: the library then runs an unconfirmed 'C' with the same arguments,
 * whose old password is the stored one, and reports what it shows
 * (res->settled), or KC_E_UNKNOWN when it shows neither password. An agent
 * still storing when the wait runs out (a lock held long, a frozen cgroup, a
 * hung file system) gives KC_E_UNKNOWN with res->agent_running 1: the call
 * returns, the agent goes on. The caller then keeps the new password (its
 * server may already have it), watches res->agent_pidfd and reaps the agent
 * when it ends: exit status 0 (KC_START_PIDFD) means stored; any other end,
 * or a helper's start, is settled by an unconfirmed 'C' afterwards, whose old
 * password is the stored one. Two confirmed 'C' for one node and server never
 * both store: the agent stores only over the old password it sent.
 * A stored encryption key is never replaced here. KC_E_ARGUMENT for a key
 * over KC_MAX_KEY bytes, NULL key with key_len > 0, or buffers too small. */
int kc_generate_password(const kc_config *cfg, unsigned char code_set, unsigned char encipher_flag,
                         const unsigned char *key, size_t key_len, kc_decide_fn decide, void *ctx,
                         kc_passwords *pw, kc_result *res);

/* ---- One agent process with its two pipes, for an exchange of one's own. */
typedef struct kc_agent kc_agent;

/* Makes a handle for one run with a copy of cfg; *out is the caller's, to
 * free with kc_agent_free. KC_OK, KC_E_ARGUMENT, KC_E_NOMEM. */
int kc_agent_new(const kc_config *cfg, kc_agent **out);
/* Closes what is still open and waits for the agent (ending it if it does
 * not go by itself within its time-out), so no process is left behind;
 * then frees the handle. NULL is allowed. An agent that cannot be ended is
 * left running (see kc_agent_finish); its waiter then stays unreaped, seen
 * by no wait of the caller but one with __WALL, until the caller exits. */
void kc_agent_free(kc_agent *agent);
/* Starts the agent for operation letter op. KC_OK, KC_E_ARGUMENT (already
 * started), KC_E_PIPE, KC_E_START (kc_agent_errno tells why). */
int kc_agent_start(kc_agent *agent, char op);
/* Writes all n bytes; KC_E_SEND when the pipe takes no more (the agent has
 * gone, kc_agent_errno tells why), KC_E_ARGUMENT without a handle. The agent reads
 * request data with one read: every request fits a pipe's atomic write. */
int kc_agent_send(kc_agent *agent, const void *p, size_t n);
/* Reads until n bytes or the end of the answer; *got says how many came.
 * KC_E_RECEIVE, or KC_E_TIMEOUT when the agent was silent too long (it is
 * then ended). */
int kc_agent_receive(kc_agent *agent, void *p, size_t n, size_t *got);
/* Reads exactly n bytes; KC_E_RECEIVE when the answer ends early. */
int kc_agent_receive_exact(kc_agent *agent, void *p, size_t n);
/* Closes the caller's end of the agent's input (the end of the request) or output. */
void kc_agent_close_input(kc_agent *agent);
void kc_agent_close_output(kc_agent *agent);
/* Closes both pipes, waits for the agent, fills *res (may be NULL) and
 * returns its error; KC_E_WAIT when no agent runs. An agent that does not
 * end within its time-out is ended; one that cannot be ended (its real user
 * id became root, or it does not go within another time-out) is left
 * running: KC_E_TIMEOUT with res->agent_running 1 (see kc_result), and the
 * handle no longer holds it. */
int kc_agent_finish(kc_agent *agent, kc_result *res);
/* From now on waits for the agent at least ms milliseconds at a time. */
void kc_agent_extend_timeout(kc_agent *agent, int ms);
/* The agent's process id from a successful kc_agent_start until
 * kc_agent_finish (-1 otherwise; still the agent's after a finish that left
 * it running): for information only, since the agent may already have ended
 * and been reaped, and with a helper it is not the caller's child. */
pid_t kc_agent_pid(const kc_agent *agent);
/* The caller's ends of the pipes (-1 when closed), owned by the handle. */
int kc_agent_input_fd(const kc_agent *agent);
int kc_agent_output_fd(const kc_agent *agent);
/* errno of the last failed system call of this handle. */
int kc_agent_errno(const kc_agent *agent);

/* ---- Sentences. */
/* Meaning of an exit status (0-255, as waitpid reports it); a static string. */
const char *kc_status_text(int exit_status);
/* Writes a sentence on what happened, naming the exit status or the caller's
 * failure, into buf of cap bytes (NUL-terminated, cut at cap - 1 bytes;
 * buf may be NULL when cap is 0). Returns the length of the whole sentence,
 * like snprintf, so a larger buffer can be asked for. */
size_t kc_describe(const kc_result *res, char *buf, size_t cap);

/* The library's version as "MAJOR.MINOR.PATCH" (a static string), which may
 * be newer than the KC_VERSION_* of the header a caller was built with.
 * Since 1.1. */
const char *kc_version(void);

#ifdef __cplusplus
}
#endif

#endif
