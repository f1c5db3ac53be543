// Small helpers shared by the fuzz harnesses: a scratch directory that lives
// as long as the process, and whole-file reads and writes.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzenv {

// A directory of its own for this process, on a memory file system where there
// is one (the writer flushes every file to disk); emptied and removed at exit.
inline const std::string &scratchDir()
{
    static const std::string dir = [] {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string tmpl = base + "/kelfuzz.XXXXXX";
        if (mkdtemp(&tmpl[0]) == nullptr)
            abort();
        return tmpl;
    }();
    static const struct Remover {
        ~Remover() { (void)!system(("rm -rf '" + dir + "'").c_str()); }
    } remover;
    return dir;
}

inline void writeFile(const std::string &path, const uint8_t *data, size_t size)
{
    unlink(path.c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        abort();
    for (size_t off = 0; off < size;) {
        ssize_t n = write(fd, data + off, size - off);
        if (n <= 0)
            abort();
        off += static_cast<size_t>(n);
    }
    close(fd);
}

// The file's bytes; "missing" tells a file that does not exist.
inline std::string readFile(const std::string &path, bool *missing = nullptr)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (missing != nullptr)
        *missing = f == nullptr;
    if (f == nullptr)
        return s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

// Ends the run with a message when an invariant of the code under test fails.
inline void check(bool ok, const char *what)
{
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

}  // namespace fuzzenv
