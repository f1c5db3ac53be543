// Runs a fuzz harness without the fuzzer: every file of the directories (or
// the files) named on the command line is fed once to LLVMFuzzerTestOneInput,
// in name order. A harness reports a broken invariant by aborting, so the
// process ends with a non-zero status exactly when an input fails.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// The regular files named, a directory standing for the files in it.
bool collect(const std::string &path, std::vector<std::string> *files)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode)) {
        files->push_back(path);
        return true;
    }
    DIR *d = opendir(path.c_str());
    if (d == nullptr)
        return false;
    std::vector<std::string> names;
    while (dirent *e = readdir(d)) {
        std::string full = path + "/" + e->d_name;
        if (stat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            names.push_back(full);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    files->insert(files->end(), names.begin(), names.end());
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        if (!collect(argv[i], &files)) {
            fprintf(stderr, "cannot read %s\n", argv[i]);
            return 2;
        }
    }
    if (files.empty()) {
        fprintf(stderr, "no inputs to replay\n");
        return 2;
    }
    for (const std::string &f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        fprintf(stderr, "replaying %s (%zu bytes)\n", f.c_str(), bytes.size());
        // A copy of exactly its size, so a read past the input shows under ASan.
        std::vector<uint8_t> exact(bytes);
        LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    }
    printf("%zu inputs replayed\n", files.size());
    return 0;
}
