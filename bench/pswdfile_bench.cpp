// The password file with 1 000, 10 000 and 100 000 records: finding the last
// record, and rewriting the file for one new password, each against copying
// the same file (read it, write a new file, flush it to disk, rename it) in
// the same run; and the peak memory of one rewrite.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/thrd/pkbytes.h"
#include "common/unx/pssec.h"
#include "common/ut/dspswd.h"

namespace {

const char SERVER[] = "BACKUPSRV";
const char TARGET[] = "LASTNODE";
const int SIZES[] = {1000, 10000, 100000};

std::string benchDir;

std::string fileFor(int n) { return benchDir + "/" + std::to_string(n) + "/ZAR.PWD"; }

// A record of another node: its enciphered fields are only carried, never read.
void appendFiller(std::string &b, int i)
{
    char node[32];
    int nodeLen = snprintf(node, sizeof node, "NODE%07d", i);
    const uint32_t len[5] = {4, sizeof SERVER - 1, uint32_t(nodeLen), uint32_t(nodeLen), 63};
    unsigned char hdr[PSWD_RECHDR_SIZE] = {0, PSWD_MARKER, PSWD_VERSION_3};
    for (int f = 0; f < 5; f++)
        SetFour(hdr + PSWD_RH_LEN1 + 4 * f, len[f]);
    b.append(reinterpret_cast<char *>(hdr), sizeof hdr);
    b += "NULL";
    b += SERVER;
    b.append(node, nodeLen);
    for (int k = 0; k < nodeLen + 63; k++)
        b += static_cast<char>((i * 131 + k * 7) & 0xFF);
}

// n - 1 filler records, then the target appended by the writer itself.
bool makeFile(int n)
{
    std::string dir = benchDir + "/" + std::to_string(n);
    mkdir(dir.c_str(), 0700);
    std::string b(PSWD_HEADER_SIZE, ' ');
    for (int i = 0; i < n - 1; i++)
        appendFiller(b, i);
    FILE *f = fopen(fileFor(n).c_str(), "wb");
    if (f == nullptr || fwrite(b.data(), 1, b.size(), f) != b.size() || fclose(f) != 0)
        return false;
    pswdFileInfo info{};
    return psWritePswdFile(0, "", nullptr, "first-password", TARGET, SERVER, nullptr, &info, nullptr, nullptr,
                           fileFor(n).c_str()) == 0;
}

void BM_find_last(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    pswdFileInfo info{};
    char pw[PSWD_FIELD_BUF], node[PSWD_FIELD_BUF];
    snprintf(node, sizeof node, "%s", TARGET);
    // The first read derives the node key; the loop measures the scan.
    if (psReadPswdFile(0, nullptr, nullptr, pw, node, SERVER, nullptr, &info, nullptr, nullptr, fileFor(n).c_str(), 0) != 0) {
        state.SkipWithError("target not found");
        return;
    }
    for (auto _ : state) {
        int rc = psReadPswdFile(0, nullptr, nullptr, pw, node, SERVER, nullptr, &info, nullptr, nullptr,
                                fileFor(n).c_str(), 0);
        benchmark::DoNotOptimize(rc);
    }
    state.counters["records"] = n;
}

void BM_rewrite(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    pswdFileInfo info{};
    bool flip = false;
    for (auto _ : state) {
        int rc = psWritePswdFile(0, "", nullptr, flip ? "password-one" : "password-two", TARGET, SERVER, nullptr, &info,
                                 nullptr, nullptr, fileFor(n).c_str());
        if (rc != 0) {
            state.SkipWithError("rewrite failed");
            break;
        }
        flip = !flip;
    }
    state.counters["records"] = n;
}

// The plain durable copy of the same bytes.
void BM_copy(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    std::string src = fileFor(n), tmp = src + ".copy", dst = src + ".copied";
    std::vector<char> buf(64 * 1024);
    for (auto _ : state) {
        int in = open(src.c_str(), O_RDONLY);
        int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ssize_t got;
        while ((got = read(in, buf.data(), buf.size())) > 0)
            if (write(out, buf.data(), size_t(got)) != got)
                state.SkipWithError("copy failed");
        fsync(out);
        close(out);
        close(in);
        rename(tmp.c_str(), dst.c_str());
    }
    state.counters["records"] = n;
}

BENCHMARK(BM_find_last)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_rewrite)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_copy)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

// Console output as usual, and the real time per iteration (seconds) kept by name.
class TimeReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (!run.aggregate_name.empty() && run.aggregate_name != "median")
                continue;
            if (run.iterations > 0)
                seconds[run.run_name.str()] = run.real_accumulated_time / double(run.iterations);
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> seconds;
};

// Peak memory of one rewrite: the growth of the resident high-water mark of a
// child that does nothing else.
long rewritePeakKiB(int n)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        rusage before{}, after{};
        getrusage(RUSAGE_SELF, &before);
        pswdFileInfo info{};
        int rc = psWritePswdFile(0, "", nullptr, "password-three", TARGET, SERVER, nullptr, &info, nullptr, nullptr,
                                 fileFor(n).c_str());
        getrusage(RUSAGE_SELF, &after);
        long grew = rc == 0 ? after.ru_maxrss - before.ru_maxrss : -1;
        if (write(fds[1], &grew, sizeof grew) != sizeof grew)
            _exit(1);
        _exit(0);
    }
    close(fds[1]);
    long grew = -1;
    if (read(fds[0], &grew, sizeof grew) != sizeof grew)
        grew = -1;
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return grew;
}

void removeTree()
{
    for (int n : SIZES) {
        std::string dir = benchDir + "/" + std::to_string(n);
        for (const char *name : {"ZAR.PWD", "ZAR.PWD.lock", "ZAR.PWD.copied", "ZAR.PWD.copy"})
            unlink((dir + "/" + name).c_str());
        rmdir(dir.c_str());
    }
    rmdir(benchDir.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::string tmpl = std::string(KEL_BINARY_DIR) + "/pswdbench.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    benchDir = tmpl;
    for (int n : SIZES)
        if (!makeFile(n)) {
            fprintf(stderr, "cannot build the file of %d records\n", n);
            removeTree();
            return 1;
        }

    TimeReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    printf("\n%-8s %-9s %14s %14s %14s %11s %11s %12s\n", "records", "file KiB", "find ns/rec", "rewrite ns/rec",
           "copy ns/rec", "find/copy", "rewrite/copy", "rewrite peak");
    for (int n : SIZES) {
        std::string arg = "/" + std::to_string(n);
        auto find = reporter.seconds.find("BM_find_last" + arg), rew = reporter.seconds.find("BM_rewrite" + arg),
             cp = reporter.seconds.find("BM_copy" + arg);
        if (find == reporter.seconds.end() || rew == reporter.seconds.end() || cp == reporter.seconds.end())
            continue;
        struct stat st{};
        stat(fileFor(n).c_str(), &st);
        long peak = rewritePeakKiB(n);
        printf("%-8d %-9lld %14.1f %14.1f %14.1f %11.2f %11.2f %9ld KiB\n", n, (long long)st.st_size / 1024,
               find->second * 1e9 / n, rew->second * 1e9 / n, cp->second * 1e9 / n, find->second / cp->second,
               rew->second / cp->second, peak);
    }
    removeTree();
    benchmark::Shutdown();
    return 0;
}
