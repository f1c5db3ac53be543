// The password file with 1 000, 10 000 and 100 000 records, each cost set
// beside what the same bytes cost without the password file's rules, in the
// same run:
// - finding the last record, against copying the file as cp does (read it,
//   write a new file, no flush to disk);
// - rewriting the file for one changed password, against a durable copy of it
//   (write a new file, flush it to disk, rename it over the target, flush the
//   directory);
// - the peak memory of one rewrite, against the file's size.
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

#include "base/pkbytes.h"
#include "store/dspswd.h"
#include "store/pssec.h"

namespace {

const char SERVER[] = "BACKUPSRV";
const char TARGET[] = "LASTNODE";
const int SIZES[] = {1000, 10000, 100000};

std::string benchDir;

std::string dirFor(int n)
{
    std::string d = benchDir;
    d += '/';
    d += std::to_string(n);
    return d;
}

std::string fileFor(int n) { return dirFor(n) + "/ZAR.PWD"; }

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
    mkdir(dirFor(n).c_str(), 0700);
    std::string b(PSWD_HEADER_SIZE, ' ');
    for (int i = 0; i < n - 1; i++)
        appendFiller(b, i);
    FILE *f = fopen(fileFor(n).c_str(), "wb");
    if (f == nullptr || fwrite(b.data(), 1, b.size(), f) != b.size() || fclose(f) != 0)
        return false;
    pswdFileInfo info{};
    const std::string path = fileFor(n);
    const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = TARGET, .server = SERVER};
    return psWritePswdFile(rq, 0, "", nullptr, "first-password") == 0;
}

void BM_find_last(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    pswdFileInfo info{};
    char pw[PSWD_FIELD_BUF];
    const std::string path = fileFor(n);
    const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = TARGET, .server = SERVER};
    // The first read derives the node key; the loop measures the scan.
    if (psReadPswdFile(rq, 0, nullptr, nullptr, pw, nullptr, 0) != 0) {
        state.SkipWithError("target not found");
        return;
    }
    for (auto _ : state) {
        int rc = psReadPswdFile(rq, 0, nullptr, nullptr, pw, nullptr, 0);
        benchmark::DoNotOptimize(rc);
    }
    state.counters["records"] = n;
}

void BM_rewrite(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    pswdFileInfo info{};
    const std::string path = fileFor(n);
    const pswdRequest rq{.fileInfo = &info, .path = path.c_str(), .node = TARGET, .server = SERVER};
    bool flip = false;
    for (auto _ : state) {
        int rc = psWritePswdFile(rq, 0, "", nullptr, flip ? "password-one" : "password-two");
        if (rc != 0) {
            state.SkipWithError("rewrite failed");
            break;
        }
        flip = !flip;
    }
    state.counters["records"] = n;
}

// Copies src to dst through a 64 KiB buffer; the descriptor of dst, or -1.
int copyTo(const std::string &src, const std::string &dst, std::vector<char> &buf)
{
    // A new file each time: ext4 flushes a file truncated over old contents when it is closed.
    unlink(dst.c_str());
    int in = open(src.c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(dst.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    ssize_t got = 0;
    while (in >= 0 && out >= 0 && (got = read(in, buf.data(), buf.size())) > 0)
        if (write(out, buf.data(), size_t(got)) != got) {
            got = -1;
            break;
        }
    if (in >= 0)
        close(in);
    if (got < 0 && out >= 0) {
        close(out);
        out = -1;
    }
    return out;
}

// What cp does with the file: read it and write a copy, nothing flushed.
void BM_cp(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    std::string src = fileFor(n), dst = dirFor(n) + "/copy.out";
    std::vector<char> buf(64 * 1024);
    for (auto _ : state) {
        int out = copyTo(src, dst, buf);
        if (out < 0 || close(out) != 0)
            state.SkipWithError("copy failed");
    }
    state.counters["records"] = n;
}

// The same bytes replaced durably: a new file flushed to disk, renamed over
// the target, the directory flushed.
void BM_durable_copy(benchmark::State &state)
{
    int n = static_cast<int>(state.range(0));
    // Not named like the store's new files (ZAR.PWD and six characters): a rewrite removes those.
    std::string src = fileFor(n), tmp = dirFor(n) + "/copy.tmp", dst = dirFor(n) + "/copy.out";
    std::vector<char> buf(64 * 1024);
    int dir = open(dirFor(n).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (auto _ : state) {
        int out = copyTo(src, tmp, buf);
        bool ok = out >= 0 && fsync(out) == 0;
        if (out >= 0)
            ok = close(out) == 0 && ok;
        if (!ok || rename(tmp.c_str(), dst.c_str()) != 0 || fsync(dir) != 0)
            state.SkipWithError("durable copy failed");
    }
    if (dir >= 0)
        close(dir);
    state.counters["records"] = n;
}

BENCHMARK(BM_find_last)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_rewrite)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_cp)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_durable_copy)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMicrosecond);

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
    const pswdRequest rq{.fileInfo = &info, .path = path, .node = TARGET, .server = SERVER};
    int rc = psWritePswdFile(rq, 0, "", nullptr, "password-three");
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
    std::string cmd = "'";
    cmd += self;
    cmd += "' ";
    cmd += PEAK_ARG;
    cmd += " '" + fileFor(n) + "'";
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
        const std::string dir = dirFor(n);
        for (const char *name : {"ZAR.PWD", "ZAR.PWD.lock", "copy.out", "copy.tmp"})
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

    // Real time: the rewrite and the durable copy wait for the disk.
    printf("\nEach cost against the same bytes without the file's rules (real time per call):\n");
    printf("%-8s %9s %11s %9s %8s %12s %13s %8s %13s %7s\n", "records", "file KiB", "find us", "cp us", "find/cp",
           "rewrite us", "durable us", "rw/dur", "rewrite peak", "peak/file");
    for (int n : SIZES) {
        std::string arg = "/";
        arg += std::to_string(n);
        const std::string f = "BM_find_last" + arg, c = "BM_cp" + arg, r = "BM_rewrite" + arg,
                          d = "BM_durable_copy" + arg;
        if (!reporter.real.count(f) || !reporter.real.count(c) || !reporter.real.count(r) || !reporter.real.count(d))
            continue;
        struct stat st{};
        stat(fileFor(n).c_str(), &st);
        const double kib = double(st.st_size) / 1024;
        const long peak = rewritePeakKiB(n);
        auto us = [](double s) { return s * 1e6; };
        printf("%-8d %9.0f %11.0f %9.0f %8.2f %12.0f %13.0f %8.2f %9ld KiB %7.2f\n", n, kib, us(reporter.real[f]),
               us(reporter.real[c]), reporter.real[f] / reporter.real[c], us(reporter.real[r]), us(reporter.real[d]),
               reporter.real[r] / reporter.real[d], peak, peak / kib);
    }
    removeTree();
    benchmark::Shutdown();
    return 0;
}
