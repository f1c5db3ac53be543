// The caller's library of the kelvlx password agent: starts the agent as a
// child with its 22 arguments and two pipes, speaks one operation's exchange
// and reports the answer and the exit status. Needs the C++17 standard
// library and POSIX, nothing else. docs/client-library.md describes each
// call; the bytes exchanged are in docs/pipe-protocol.md.
#pragma once

#include <string.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// The interface string of argument 2; each \b is one backspace byte.
inline constexpr char KC_INTERFACE[] = "QRB Linkag\bestab\b VOMP Edition 4";
inline constexpr int KC_ARG_COUNT = 22;

// A fixed buffer for a password, a key or exchanged data, zeroed (by a call
// the compiler cannot drop) when it goes and by clear().
template <size_t N>
struct kcSecret {
    unsigned char b[N] = {};

    kcSecret() = default;
    kcSecret(const kcSecret &) = delete;
    kcSecret &operator=(const kcSecret &) = delete;
    ~kcSecret() { clear(); }

    unsigned char *data() { return b; }
    const unsigned char *data() const { return b; }
    char *chars() { return reinterpret_cast<char *>(b); }
    static constexpr size_t size() { return N; }
    void clear() { explicit_bzero(b, N); }
};

// What a caller needs to start the agent for one node and server.
struct kcConfig {
    std::string agentPath;     // the kelvlx executable
    std::string catalogDir;    // directory holding <LANG>/kelclientV3.cat
    std::string buildDate;     // must equal the agent's build stamp
    std::string buildTime;
    std::string language = "EN_US";
    std::string clientType = "\x01";   // only its first byte is read
    std::string passwordDir;   // directory of ZAR.PWD; empty: the agent's current directory
    std::string node;
    std::string server;
    int cipherType = 0;        // 0 best available, 1 DES, 2 AES
    int exitLogging = 0;
    int timeoutMs = 30000;     // an agent silent for this long is ended
    // Run the agent as this user and group instead of the caller's (only a
    // root caller can; (uid_t)-1 keeps the caller's).
    uid_t runAsUid = static_cast<uid_t>(-1);
    gid_t runAsGid = static_cast<gid_t>(-1);
    // Where the agent's standard output and error go; -1 inherits the caller's.
    int stdoutFd = -1;
    int stderrFd = -1;
};

// The installed agent, catalogs and password directory, and the build stamp
// of the build this library comes from, which the agent must share.
kcConfig kcDefaultConfig();

// What went wrong, on the caller's side or in the agent.
enum kcError : int {
    KC_OK = 0,
    KC_E_AGENT,      // the agent ended with a non-zero status or by a signal
    KC_E_ARGUMENT,   // the request itself is not valid (too long, bad key length ...)
    KC_E_PIPE,       // the pipes could not be made
    KC_E_START,      // the agent could not be started
    KC_E_SEND,       // the request could not be written completely
    KC_E_RECEIVE,    // reading the answer failed
    KC_E_TIMEOUT,    // the agent did not answer in time and was ended
    KC_E_PROTOCOL,   // the agent exited with 0 but its answer was not what the protocol says
    KC_E_WAIT,       // the agent's end could not be observed
    KC_E_UNKNOWN,    // 'C': the agent ended without a status after the confirmation was sent (killed, or it
                     // did not answer in time), and no second look settled whether the new password is stored
};

// The outcome of one run.
struct kcStatus {
    int error = KC_OK;     // a kcError
    int sysErrno = 0;      // errno of a failed system call on the caller's side
    int exitStatus = -1;   // the agent's exit status as a caller sees it (0-255); -1 if it did not exit
    int termSignal = 0;    // the signal that ended the agent, 0 if it exited
    // 'C': the agent ended without a status after the confirmation, and an
    // unconfirmed 'C' then showed which password is stored: error is KC_OK
    // when it is the new one, the agent's failure when it is the old one.
    bool settled = false;
    bool ok() const { return error == KC_OK; }
};

// Meaning of an exit status (0-255, as waitpid reports it) in one sentence.
const char *kcStatusText(int exitStatus);
// A sentence on what happened, naming the exit status or the caller's failure.
std::string kcDescribe(const kcStatus &st);

// One agent process with its two pipes, for one exchange. The destructor
// closes what is still open and waits for the agent (ending it if it does not
// go by itself), so no child is ever left behind.
class kcAgent {
public:
    explicit kcAgent(const kcConfig &cfg);
    ~kcAgent();
    kcAgent(const kcAgent &) = delete;
    kcAgent &operator=(const kcAgent &) = delete;

    // Starts the agent for operation letter op; a kcError.
    int start(char op);
    // Writes all n bytes, carrying on after a short write; KC_E_SEND when
    // the pipe takes no more. The agent reads request data with one read:
    // every request fits a pipe's atomic write, so it arrives in one piece.
    int send(const void *p, size_t n);
    // Reads until n bytes or the end of the answer; *got says how many came.
    int receive(void *p, size_t n, size_t *got);
    // Reads exactly n bytes; KC_E_RECEIVE (with *got set) when the answer ends early.
    int receiveExact(void *p, size_t n);
    void closeInput();
    void closeOutput();
    // Closes both pipes and waits for the agent; fills st and returns its error.
    int finish(kcStatus *st);
    // From now on waits for the agent at least ms milliseconds at a time
    // (after a confirmed 'C': its lock wait and the rewrite).
    void extendTimeout(int ms);

    pid_t pid() const { return pid_; }
    int inputFd() const { return toAgent_; }
    int outputFd() const { return fromAgent_; }
    int lastErrno() const { return errno_; }

private:
    int waitForExit(kcStatus *st);

    kcConfig cfg_;
    pid_t pid_ = -1;
    int toAgent_ = -1;     // caller's end of the input pipe
    int fromAgent_ = -1;   // caller's end of the output pipe
    int errno_ = 0;
    bool timedOut_ = false;
    int timeoutMs_ = 0;    // cfg_.timeoutMs, or longer after extendTimeout
};

// An answer of at most 192 bytes, zeroed when it goes.
struct kcAnswer {
    kcSecret<192> buf;
    size_t len = 0;
};

// 'A' and 'B': encipher or decipher up to 64 bytes with the key folded from
// the stored server password. Returns a kcError; st tells the details.
int kcEncipher(const kcConfig &cfg, unsigned char codeSet, const unsigned char *data, size_t len,
               kcAnswer *answer, kcStatus *st);
int kcDecipher(const kcConfig &cfg, unsigned char codeSet, const unsigned char *data, size_t len,
               kcAnswer *answer, kcStatus *st);

// 'A' key request: the 192-byte block of three 64-byte key slots. request is
// the 16 bytes sent with it (null sends zeros).
inline constexpr size_t KC_KEY_BLOCK = 192;
inline constexpr size_t KC_KEY_SLOT = 64;
int kcFetchKeys(const kcConfig &cfg, const unsigned char *request16, kcAnswer *keys, kcStatus *st);

// 'C': the two passwords as the agent sent them.
struct kcPasswords {
    kcSecret<96> oldPw;
    size_t oldLen = 0;
    kcSecret<96> newPw;
    size_t newLen = 0;
};
inline constexpr int32_t KC_CONFIRM = 67;   // 'C': store the new password
inline constexpr int32_t KC_REFUSE = 66;    // anything but 67 keeps the old one
// How long a confirmed 'C' may take at the least: the agent waits up to 120
// seconds for the password file's lock, then rewrites the file.
inline constexpr int KC_STORE_WAIT_MS = (120 + 30) * 1000;
// Generates a new password. decide sees both passwords and returns the
// confirmation to send. With encipherFlag 1 both come enciphered with key
// (keyLen 0 to 16 bytes). On return *out holds what the agent sent. After a
// confirmation the agent is given at least KC_STORE_WAIT_MS. An agent that
// ends without a status after it (killed, or silent too long) leaves the
// outcome open: the library then runs an unconfirmed 'C' with the same
// arguments, whose old password is the stored one, and reports what it shows
// (st->settled), or KC_E_UNKNOWN when it shows neither password.
// A stored encryption key is never replaced here; note that the password
// file keeps one earlier key only, so an administrator's third key change
// drops the second one (keladm set-key asks for --drop-current first).
int kcGeneratePassword(const kcConfig &cfg, unsigned char codeSet, unsigned char encipherFlag,
                       const unsigned char *key, size_t keyLen,
                       const std::function<int32_t(const kcPasswords &)> &decide, kcPasswords *out,
                       kcStatus *st);
