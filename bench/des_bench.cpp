// DES-CBC throughput of desCipherData against OpenSSL's DES CBC on the same
// buffers in the same run, and the cost of a key change; prints the ratios.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/des.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "crypto/descrypt.h"

namespace {

const unsigned char benchKey[8] = {0x13, 0x34, 0x57, 0x79, 0x9B, 0xBC, 0xDF, 0xF1};
const unsigned char otherKey[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};

std::vector<unsigned char> input(size_t len)
{
    std::vector<unsigned char> v(len);
    for (size_t i = 0; i < len; ++i)
        v[i] = static_cast<unsigned char>(i * 31 + 7);
    return v;
}

void kelCbc(benchmark::State &state, bool encrypt)
{
    const size_t len = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> in = input(len), out(len);
    unsigned char iv[8] = {};
    DESCrypt des;
    const unsigned char flags = (encrypt ? DESCRYPT_ENCRYPT : 0) | DESCRYPT_WRITE_BACK_IV;
    for (auto _ : state) {
        des.desCipherData(flags, benchKey, iv, in.data(), out.data(), static_cast<unsigned int>(len));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(len));
}

void sslCbc(benchmark::State &state, bool encrypt)
{
    const size_t len = static_cast<size_t>(state.range(0));
    std::vector<unsigned char> in = input(len), out(len);
    DES_cblock key, iv = {};
    memcpy(key, benchKey, 8);
    DES_key_schedule ks;
    DES_set_key_unchecked(&key, &ks);
    for (auto _ : state) {
        DES_ncbc_encrypt(in.data(), out.data(), static_cast<long>(len), &ks, &iv, encrypt ? DES_ENCRYPT : DES_DECRYPT);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(len));
}

void BM_kel_encrypt(benchmark::State &s) { kelCbc(s, true); }
void BM_ssl_encrypt(benchmark::State &s) { sslCbc(s, true); }
void BM_kel_decrypt(benchmark::State &s) { kelCbc(s, false); }
void BM_ssl_decrypt(benchmark::State &s) { sslCbc(s, false); }
BENCHMARK(BM_kel_encrypt)->Arg(8)->Arg(64)->Arg(65536);
BENCHMARK(BM_ssl_encrypt)->Arg(8)->Arg(64)->Arg(65536);
BENCHMARK(BM_kel_decrypt)->Arg(65536);
BENCHMARK(BM_ssl_decrypt)->Arg(65536);

// One 8-byte block under a key that differs from the previous call's, so the
// key schedule is rebuilt every time.
void BM_kel_keychange(benchmark::State &state)
{
    unsigned char block[8] = {}, iv[8] = {};
    DESCrypt des;
    bool flip = false;
    for (auto _ : state) {
        des.desCipherData(DESCRYPT_ENCRYPT, flip ? benchKey : otherKey, iv, block, block, 8);
        flip = !flip;
        benchmark::DoNotOptimize(block);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void BM_ssl_keychange(benchmark::State &state)
{
    DES_cblock block = {}, iv = {}, k1, k2;
    memcpy(k1, benchKey, 8);
    memcpy(k2, otherKey, 8);
    DES_key_schedule ks;
    bool flip = false;
    for (auto _ : state) {
        DES_set_key_unchecked(flip ? &k1 : &k2, &ks);
        DES_ncbc_encrypt(block, block, 8, &ks, &iv, DES_ENCRYPT);
        flip = !flip;
        benchmark::DoNotOptimize(block);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_kel_keychange);
BENCHMARK(BM_ssl_keychange);

// Console output as usual, and the rate of every benchmark kept by name (the
// median when repetitions are asked for).
class RateReporter : public benchmark::ConsoleReporter {
public:
    explicit RateReporter(OutputOptions options) : ConsoleReporter(options) {}

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (!run.aggregate_name.empty() && run.aggregate_name != "median")
                continue;
            auto it = run.counters.find("bytes_per_second");
            if (it == run.counters.end())
                it = run.counters.find("items_per_second");
            if (it != run.counters.end())
                rates[run.run_name.str()] = it->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> rates;
};

void printRatio(const RateReporter &r, const char *label, const std::string &kel, const std::string &ssl)
{
    auto k = r.rates.find(kel), s = r.rates.find(ssl);
    if (k == r.rates.end() || s == r.rates.end() || s->second <= 0)
        return;
    printf("ratio kelvlx/OpenSSL %s: %.2f\n", label, k->second / s->second);
}

} // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    // Colours only on a terminal, so that saved output stays plain text.
    RateReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_Defaults
                                                : benchmark::ConsoleReporter::OO_None);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    printRatio(reporter, "encrypt 8B", "BM_kel_encrypt/8", "BM_ssl_encrypt/8");
    printRatio(reporter, "encrypt 64B", "BM_kel_encrypt/64", "BM_ssl_encrypt/64");
    printRatio(reporter, "encrypt 64KiB", "BM_kel_encrypt/65536", "BM_ssl_encrypt/65536");
    printRatio(reporter, "decrypt 64KiB", "BM_kel_decrypt/65536", "BM_ssl_decrypt/65536");
    printRatio(reporter, "key change", "BM_kel_keychange", "BM_ssl_keychange");
    benchmark::Shutdown();
    return 0;
}
