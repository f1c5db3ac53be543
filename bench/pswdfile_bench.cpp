// The password file with 1 000, 10 000 and 100 000 records: finding the last
// record, and rewriting the file for one new password, each against copying
// the same file (read it, write a new file, flush it to disk, rename it) in
// the same run; and the peak memory of one rewrite.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
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

// Console output as usual, and the real and CPU time per iteration (seconds) kept by name.
class TimeReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (!run.aggregate_name.empty() && run.aggregate_name != "median")
                continue;
            if (run.iterations > 0) {
                real[run.run_name.str()] = run.real_accumulated_time / double(run.iterations);
                cpu[run.run_name.str()] = run.cpu_accumulated_time / double(run.iterations);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> real, cpu;
};

const char PEAK_ARG[] = "--rewrite-peak-of";

// In a freshly executed copy of this program: one rewrite, and the growth of
// the resident high-water mark it causes, in KiB, on standard output.
int peakChild(const char *path)
{
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    pswdFileInfo info{};
    int rc = psWritePswdFile(0, "", nullptr, "password-three", TARGET, SERVER, nullptr, &info, nullptr, nullptr, path);
    getrusage(RUSAGE_SELF, &after);
    printf("%ld\n", rc == 0 ? after.ru_maxrss - before.ru_maxrss : -1L);
    return rc;
}

long rewritePeakKiB(int n)
{
    char self[4096];
    ssize_t len = readlink("/proc/self/exe", self, sizeof self - 1);
    if (len <= 0)
        return -1;
    self[len] = '\0';
    std::string cmd = "'" + std::string(self) + "' " + PEAK_ARG + " '" + fileFor(n) + "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return -1;
    long kib = -1;
    if (fscanf(p, "%ld", &kib) != 1)
        kib = -1;
    pclose(p);
    return kib;
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
    if (argc == 3 && strcmp(argv[1], PEAK_ARG) == 0)
        return peakChild(argv[2]);
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

    printf("\nPer record (CPU time; real time, which includes the flushes to disk, in brackets):\n");
    printf("%-8s %8s %18s %20s %18s %13s %13s %12s\n", "records", "file KiB", "find ns/rec", "rewrite ns/rec",
           "copy ns/rec", "find/copy", "rewrite/copy", "rewrite peak");
    for (int n : SIZES) {
        std::string arg = "/" + std::to_string(n);
        std::string f = "BM_find_last" + arg, r = "BM_rewrite" + arg, c = "BM_copy" + arg;
        if (!reporter.cpu.count(f) || !reporter.cpu.count(r) || !reporter.cpu.count(c))
            continue;
        struct stat st{};
        stat(fileFor(n).c_str(), &st);
        auto ns = [n](double s) { return s * 1e9 / n; };
        printf("%-8d %8lld %8.0f (%7.0f) %9.0f (%8.0f) %8.0f (%7.0f) %5.2f (%5.2f) %5.2f (%5.2f) %8ld KiB\n", n,
               (long long)st.st_size / 1024, ns(reporter.cpu[f]), ns(reporter.real[f]), ns(reporter.cpu[r]),
               ns(reporter.real[r]), ns(reporter.cpu[c]), ns(reporter.real[c]), reporter.cpu[f] / reporter.cpu[c],
               reporter.real[f] / reporter.real[c], reporter.cpu[r] / reporter.cpu[c],
               reporter.real[r] / reporter.real[c], rewritePeakKiB(n));
    }
    removeTree();
    benchmark::Shutdown();
    return 0;
}
