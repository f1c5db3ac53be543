// Searching memory and files for secrets: a secret shows when any 8 of its
// bytes in a row do. Failures name the secret, never show its bytes.
#pragma once

#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace secretscan {

using Bytes = std::string;

inline constexpr size_t window = 8;

struct Secret {
    std::string name;   // shown on failure; the bytes never are
    Bytes bytes;
};

// Every 8-byte window of the secrets, as 64-bit values; windows of one or two
// distinct byte values are left out, so a filler pattern never counts.
class WindowSet {
public:
    explicit WindowSet(const std::vector<Secret> &secrets)
    {
        for (size_t s = 0; s < secrets.size(); s++) {
            const Bytes &b = secrets[s].bytes;
            for (size_t i = 0; i + window <= b.size(); i++) {
                std::set<char> distinct(b.begin() + i, b.begin() + i + window);
                if (distinct.size() <= 2)
                    continue;
                uint64_t w;
                memcpy(&w, b.data() + i, window);
                owner_.emplace(w, s);
            }
        }
    }
    // Indexes of the secrets that show anywhere in [p, p + n). Read byte by
    // byte and outside the address sanitizer's view: the memory may be a
    // stack that no frame owns any more.
    __attribute__((no_sanitize("address"))) std::set<size_t> scan(const unsigned char *p, size_t n) const
    {
        std::set<size_t> hits;
        for (size_t i = 0; i + window <= n; i++) {
            uint64_t w = 0;
            for (size_t k = 0; k < window; k++)
                w |= static_cast<uint64_t>(p[i + k]) << (8 * k);
            auto range = owner_.equal_range(w);
            for (auto it = range.first; it != range.second; ++it)
                hits.insert(it->second);
        }
        return hits;
    }
    std::vector<std::string> names(const std::vector<Secret> &secrets, const std::set<size_t> &hits) const
    {
        std::vector<std::string> n;
        for (size_t h : hits)
            n.push_back(secrets[h].name);
        return n;
    }

private:
    std::unordered_multimap<uint64_t, size_t> owner_;
};

inline Bytes readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Regular files below dir (links not followed, at most depth levels down)
// whose last change is not older than since (0: any).
inline void filesBelow(const std::string &dir, int depth, time_t since, std::vector<std::string> *out)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr)
        return;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
            continue;
        std::string p = dir + "/" + e->d_name;
        struct stat st;
        if (lstat(p.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode) && depth > 0)
            filesBelow(p, depth - 1, since, out);
        else if (S_ISREG(st.st_mode) && st.st_mtime >= since && st.st_size <= (64 << 20))
            out->push_back(p);
    }
    closedir(d);
}

}  // namespace secretscan
