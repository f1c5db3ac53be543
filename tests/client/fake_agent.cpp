// A stand-in for the agent that shows the client library what a caller does:
// argument 12 (the node name) chooses its behaviour.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

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
