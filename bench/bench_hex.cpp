// HEX loading speed on a file that fills the whole 128 KiB image (16-byte records with CR LF and
// an extended address record at 64 KiB, as avr-objcopy writes them):
//  1. in process: LoadHexText on the text in memory (Google Benchmark);
//  2. whole processes, side by side in one run: our zub-hex2bin against binutils
//     objcopy -I ihex -O binary --gap-fill 0xff on the same file, each run N times, as a ratio.
#include "image/HexImage.h"

#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string Record(uint32_t address, uint8_t type, const uint8_t* data, size_t n) {
    static const char digits[] = "0123456789ABCDEF";
    std::string s = ":";
    unsigned sum = 0;
    const auto put = [&](uint8_t b) {
        s += digits[b >> 4];
        s += digits[b & 15];
        sum += b;
    };
    put(static_cast<uint8_t>(n));
    put(static_cast<uint8_t>(address >> 8));
    put(static_cast<uint8_t>(address));
    put(type);
    for (size_t i = 0; i < n; ++i)
        put(data[i]);
    put(static_cast<uint8_t>(-sum));
    return s + "\r\n";
}

std::string FullImageHex() {
    std::string text;
    uint32_t seed = 12345;
    for (uint32_t a = 0; a < static_cast<uint32_t>(kImageSize); a += 16) {
        if (a == 0x10000) {
            const uint8_t seg[] = {0x10, 0x00};
            text += Record(0, 0x02, seg, 2);
        }
        uint8_t data[16];
        for (auto& b : data) {
            seed = seed * 1103515245u + 12345u;
            b = static_cast<uint8_t>(seed >> 16);
        }
        text += Record(a & 0xFFFF, 0x00, data, 16);
    }
    text += ":00000001FF\r\n";
    return text;
}

const std::string& Text() {
    static const std::string text = FullImageHex();
    return text;
}

void BM_LoadHexText(benchmark::State& state) {
    std::vector<uint8_t> image(kImageSize);
    for (auto _ : state) {
        HexLoadState st;
        benchmark::DoNotOptimize(LoadHexText(st, image.data(), Text().data(), Text().size()));
        if (st.End != kImageSize - 1 || st.Error != ImageError::None)
            state.SkipWithError("wrong load");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * Text().size()));
}
BENCHMARK(BM_LoadHexText)->Unit(benchmark::kMicrosecond);

struct ProcessTime {
    double wallMs = -1; // mean wall time of one run; negative when a run failed
    double cpuMs = -1;  // mean user + system time of one run
};

// Runs argv n times, one after the other.
ProcessTime MeanProcessTime(const std::vector<std::string>& args, int n) {
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ProcessTime r;
    double cpu = 0;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < n; ++i) {
        pid_t pid = 0;
        if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
            return r;
        int status = 0;
        struct rusage ru {};
        if (wait4(pid, &status, 0, &ru) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return r;
        cpu += (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e3 +
               (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e3;
    }
    const auto t1 = std::chrono::steady_clock::now();
    r.wallMs = std::chrono::duration<double, std::milli>(t1 - t0).count() / n;
    r.cpuMs = cpu / n;
    return r;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

void CompareWithObjcopy() {
    char dir[] = "/tmp/bench_hex_XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("mkdtemp");
        return;
    }
    const std::string hex = std::string(dir) + "/full.hex";
    const std::string oursBin = std::string(dir) + "/ours.bin";
    const std::string theirsBin = std::string(dir) + "/objcopy.bin";
    std::ofstream(hex, std::ios::binary) << Text();

    const int runs = 50;
    const std::vector<std::string> oursCmd = {ZUB_HEX2BIN, hex, oursBin};
    const std::vector<std::string> objcopyCmd = {"objcopy",    "-I",   "ihex", "-O",     "binary",
                                                 "--gap-fill", "0xff", hex,    theirsBin};
    // One warm-up run each, so both start with the file and the binaries in the page cache.
    MeanProcessTime(oursCmd, 1);
    const bool haveObjcopy = MeanProcessTime(objcopyCmd, 1).wallMs >= 0;
    const ProcessTime ours = MeanProcessTime(oursCmd, runs);
    const ProcessTime empty = MeanProcessTime({"true"}, runs); // what starting a process costs
    const ProcessTime theirs = haveObjcopy ? MeanProcessTime(objcopyCmd, runs) : ProcessTime();

    std::printf("\nWhole process, %zu-byte HEX file filling 128 KiB, mean of %d runs:\n",
                Text().size(), runs);
    std::printf("  true       : wall %8.3f ms, cpu %8.3f ms (process start alone)\n", empty.wallMs,
                empty.cpuMs);
    std::printf("  zub-hex2bin: wall %8.3f ms, cpu %8.3f ms\n", ours.wallMs, ours.cpuMs);
    if (!haveObjcopy || theirs.wallMs < 0) {
        std::printf("  objcopy    : not available (binutils missing)\n");
    } else {
        std::printf("  objcopy    : wall %8.3f ms, cpu %8.3f ms\n", theirs.wallMs, theirs.cpuMs);
        std::printf("  ratio zub-hex2bin / objcopy: wall %.3f, cpu %.3f\n",
                    ours.wallMs / theirs.wallMs, ours.cpuMs / theirs.cpuMs);
        std::printf("  outputs identical: %s\n",
                    ReadFile(oursBin) == ReadFile(theirsBin) ? "yes" : "NO");
    }
    std::remove(hex.c_str());
    std::remove(oursBin.c_str());
    std::remove(theirsBin.c_str());
    rmdir(dir);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    std::printf("HEX text: %zu bytes, %d data bytes\n", Text().size(), kImageSize);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    CompareWithObjcopy();
    return 0;
}
