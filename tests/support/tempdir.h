// The one temporary directory of the tests: made fresh, removed with
// everything in it when the test is done with it.
#pragma once

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace kelts {

// The names in a directory, without "." and "..".
inline std::set<std::string> dirEntries(const std::string &dir)
{
    std::set<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const struct dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..")
                names.insert(n);
        }
        closedir(d);
    }
    return names;
}

class TempDir {
public:
    // <parent>/<prefix>XXXXXX; path() is empty when mkdtemp failed.
    explicit TempDir(const std::string &parent = "/tmp", const std::string &prefix = "kel-test.")
    {
        std::string t = parent + "/" + prefix + "XXXXXX";
        std::vector<char> tmpl(t.begin(), t.end());
        tmpl.push_back('\0');
        if (mkdtemp(tmpl.data()) != nullptr)
            path_ = tmpl.data();
    }
    ~TempDir() { removeTree(path_); }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name = "ZAR.PWD") const { return path_ + "/" + name; }

    // Removes p and, for a directory, everything below it; links are removed,
    // never followed.
    static void removeTree(const std::string &p)
    {
        struct stat st;
        if (p.empty() || lstat(p.c_str(), &st) != 0)
            return;
        if (!S_ISDIR(st.st_mode)) {
            unlink(p.c_str());
            return;
        }
        for (const std::string &n : dirEntries(p))
            removeTree(p + "/" + n);
        rmdir(p.c_str());
    }

private:
    std::string path_;
};

} // namespace kelts
