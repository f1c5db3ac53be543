/* The calling contract of the kelvlx agent: the positions of its 22-entry
 * command line, the interface string, the operations and cipher types, and
 * the exit statuses. The agent, the caller's library, the tools and the tests
 * take these facts from here and nowhere else. What each argument means and
 * the bytes on the pipes are described in docs/pipe-protocol.md.
 *
 * C99 and C++: plain macros and enumerations, nothing else. */
#ifndef KELVLX_KELCONTRACT_H
#define KELVLX_KELCONTRACT_H

/* Argument 2; each \b is one backspace byte (32 bytes in all). */
#define KEL_INTERFACE_STRING "QRB Linkag\bestab\b VOMP Edition 4"

/* Entries of the command line, argument 0 included. */
#define KEL_ARG_COUNT 22

/* Positions on the command line. Positions 9 and 15 are passed and never read. */
enum kelArg {
    KEL_ARG_DEBUG_STOP = 1,   /* "1": wait for a debugger */
    KEL_ARG_INTERFACE = 2,
    KEL_ARG_IN_FD = 3,        /* the request pipe's read end */
    KEL_ARG_CALLER_END_1 = 4, /* the caller's pipe ends, closed by the agent */
    KEL_ARG_CALLER_END_2 = 5,
    KEL_ARG_OUT_FD = 6,       /* the answer pipe's write end */
    KEL_ARG_PSWD_DIR = 7,     /* a path in the password directory */
    KEL_ARG_LANGUAGE = 8,
    KEL_ARG_UNUSED_9 = 9,
    KEL_ARG_CATALOG_DIR = 10,
    KEL_ARG_OPERATION = 11,   /* KEL_OP_* */
    KEL_ARG_NODE = 12,
    KEL_ARG_SERVER = 13,
    KEL_ARG_PSWD_PATH = 14,   /* a path in the password directory */
    KEL_ARG_UNUSED_15 = 15,
    KEL_ARG_PASS_THROUGH = KEL_ARG_UNUSED_15, /* its former name, kept for callers */
    KEL_ARG_BUILD_DATE = 16,
    KEL_ARG_BUILD_TIME = 17,
    KEL_ARG_CLIENT_TYPE = 18,
    KEL_ARG_EXIT_LOGGING = 19,
    KEL_ARG_CLUSTER_NODE = 20,
    KEL_ARG_CIPHER_TYPE = 21  /* KEL_CIPHER_* */
};

/* Argument 11. */
#define KEL_OP_ENCIPHER 'A' /* encipher a challenge, or the key request */
#define KEL_OP_DECIPHER 'B'
#define KEL_OP_GENERATE 'C' /* generate and store a new password */

/* Argument 21. */
enum kelCipher { KEL_CIPHER_BEST = 0, KEL_CIPHER_DES = 1, KEL_CIPHER_AES = 2 };

/* 'C': the confirmation that stores the new password (a native 4-byte integer). */
#define KEL_CONFIRM 67

/* Sizes of what crosses the pipes, in bytes. */
#define KEL_MAX_DATA 64         /* data of one 'A' or 'B' request */
#define KEL_MAX_ANSWER 80       /* a cipher answer: KEL_MAX_DATA bytes padded by AES */
#define KEL_KEY_REQUEST 16      /* sent with the key request of an 'A' */
#define KEL_KEY_BLOCK 192       /* the key block: three slots */
#define KEL_KEY_SLOT 64
#define KEL_MAX_KEY 16          /* the caller's key of a 'C' */
#define KEL_MAX_PASSWORD 96     /* a password of 'C' as sent: 80 bytes of text enciphered with AES */

/* How long a writer of the password file waits for another writer's lock
 * before it gives up with KEL_ST_LOCKED, in seconds. A plain number, so that
 * texts can name it. */
#define KEL_LOCK_WAIT_SECONDS 120

/* The agent's exit statuses; a caller sees each modulo 256 (KEL_ST_SEEN). */
enum kelStatus {
    KEL_ST_OK = 0,
    KEL_ST_USAGE = -1,                /* too few arguments or a wrong interface string */
    KEL_ST_STORE_REFUSED = -1,        /* the password file or its directory cannot be opened, created or rewritten */
    KEL_ST_NO_MEMORY = 102,           /* an allocation failed in the request */
    KEL_ST_INVALID_ARGUMENT = 109,    /* unknown cipher type, no key from the stored password, too long */
    KEL_ST_BAD_PASSWORD_LENGTH = 113, /* 'C': the generated password had an unusable length */
    KEL_ST_CIPHER_STATE = 131,        /* a cipher stream used in the wrong state */
    KEL_ST_INCOMPATIBLE = 138,        /* argument count, not root, build stamp, system-call filter */
    KEL_ST_SHORT_WRITE = 165,         /* the new password file could not be written completely */
    KEL_ST_LOCKED = 166,              /* 'C': no lock on the password file within the wait */
    KEL_ST_NO_PASSWORD = 168,         /* no usable stored password or key */
    KEL_ST_START_NO_MEMORY = 292,     /* out of memory before the request */
    KEL_ST_UNKNOWN_OP = 295,
    KEL_ST_PIPE = 297,                /* the request or the answer incomplete on its pipe */
    KEL_ST_NLS = 610,                 /* the message catalog could not be set up */
    KEL_ST_LIB_FAILURE = 5801,        /* the crypto library reported a failure (AES padding included) */
    KEL_ST_NO_LIBRARY = 5802          /* the crypto library could not be loaded */
};

/* What a caller's wait reports for a status. */
#define KEL_ST_SEEN(st) ((st) & 255)

#endif
