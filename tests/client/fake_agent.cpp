// A stand-in for the agent that shows the client library what a caller does:
// argument 12 (the node name) chooses its behaviour.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void writeAll(int fd, const std::string &s)
{
    size_t off = 0;
    while (off < s.size()) {
        ssize_t w = write(fd, s.data() + off, s.size() - off);
        if (w <= 0)
            return;
        off += static_cast<size_t>(w);
    }
}

std::string readAll(int fd)
{
    std::string s;
    char buf[256];
    ssize_t r;
    while ((r = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(r));
    return s;
}

bool readExact(int fd, void *p, size_t n)
{
    size_t off = 0;
    while (off < n) {
        ssize_t r = read(fd, static_cast<char *>(p) + off, n - off);
        if (r <= 0)
            return false;
        off += static_cast<size_t>(r);
    }
    return true;
}

std::string readFile(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return "";
    std::string s = readAll(fd);
    close(fd);
    return s;
}

void writeFile(const std::string &path, const std::string &s)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        writeAll(fd, s);
        close(fd);
    }
}

std::string lengthAndText(const std::string &s)
{
    uint64_t n = s.size();
    return std::string(reinterpret_cast<const char *>(&n), sizeof n) + s;
}

// 'C' with a stored password kept in the file argument 14 names ("OLD" while
// it is missing): sends it as the old password and "NEW" as the new one. On
// confirmation 67 argument 13 says what happens: "store-die" stores NEW and
// is killed, "die" is killed, "other-die" stores another password and is
// killed, "slow" stores NEW after a second and exits 0, "always-die" is killed
// whatever the confirmation, "stop" stops itself and stores NEW once continued.
int generate(int in, int out, const std::string &behaviour, const std::string &state)
{
    unsigned char req[3];
    char key[16];
    if (!readExact(in, req, sizeof req) || req[2] > sizeof key || !readExact(in, key, req[2]))
        return 202;
    std::string stored = readFile(state);
    if (stored.empty())
        stored = "OLD";
    writeAll(out, lengthAndText(stored) + lengthAndText("NEW"));
    int32_t confirmation = 0;
    const bool confirmed = readExact(in, &confirmation, sizeof confirmation) && confirmation == 67;
    if (confirmed && behaviour == "stop") {
        kill(getpid(), SIGSTOP);
        writeFile(state, "NEW");
        return 0;
    }
    if (behaviour == "always-die" || (confirmed && behaviour != "slow")) {
        if (confirmed && behaviour == "store-die")
            writeFile(state, "NEW");
        if (confirmed && behaviour == "other-die")
            writeFile(state, "ELSE");
        kill(getpid(), SIGKILL);
    }
    if (confirmed) {
        sleep(1);
        writeFile(state, "NEW");
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 22)
        return 200;
    const int in = atoi(argv[3]);
    const int out = atoi(argv[6]);
    const std::string mode = argv[12];
    if (mode == "dumpargs") {
        // Every argument, NUL-separated, then the uid, then which descriptors up to 63 are open.
        std::string s;
        for (int i = 0; i < argc; ++i)
            s += std::string(argv[i]) + '\0';
        s += "uid=" + std::to_string(geteuid()) + '\0' + "fds=";
        for (int fd = 0; fd < 64; ++fd)
            if (fcntl(fd, F_GETFD) != -1)
                s += std::to_string(fd) + ",";
        s += '\0';
        close(atoi(argv[4]));
        close(atoi(argv[5]));
        writeAll(out, s);
        return 0;
    }
    close(atoi(argv[4]));
    close(atoi(argv[5]));
    if (mode == "say") {   // argument 13 on standard error, then 138, as the agent refuses a stamp
        writeAll(2, std::string(argv[13]) + "\n");
        return 138;
    }
    if (mode == "echo") {   // the whole request back
        writeAll(out, readAll(in));
        return 0;
    }
    if (mode == "hang") {
        for (;;)
            pause();
    }
    if (mode == "flood") {   // more than any answer may hold, after the whole request
        readAll(in);
        writeAll(out, std::string(300, 'x'));
        return 0;
    }
    if (mode == "status")   // the exit status named by argument 13
        return atoi(argv[13]);
    if (mode == "signal") {
        signal(SIGTERM, SIG_DFL);
        kill(getpid(), SIGTERM);
        pause();
    }
    if (mode == "generate")
        return generate(in, out, argv[13], argv[14]);
    if (mode == "bigpassword") {   // 'C' answer with an old length past any password
        char req[3];
        if (read(in, req, sizeof req) != static_cast<ssize_t>(sizeof req))
            return 202;
        unsigned long long n = 1000;
        writeAll(out, std::string(reinterpret_cast<char *>(&n), sizeof n));
        return 0;
    }
    return 201;
}
