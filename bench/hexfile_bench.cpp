// LoadHex and SaveHex on a full 65,535-byte image.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "UHexFile.h"

namespace {

std::string TempDir() {
    std::string tmpl = "/tmp/corvane-bench-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) std::abort();
    return tmpl;
}

corvane::THexFile FullImage() {
    corvane::THexFile image;
    image.SetMemSize(65535);
    for (unsigned a = 0; a < 65535; ++a) {
        image.SetByte(static_cast<std::uint16_t>(a), static_cast<std::uint8_t>(a * 7 + 3));
    }
    return image;
}

void BM_SaveHex(benchmark::State& state) {
    const std::string dir = TempDir();
    const std::string file = dir + "/full.hex";
    corvane::THexFile image = FullImage();
    for (auto _ : state) image.SaveHex(file);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 65535);
    unlink(file.c_str());
    rmdir(dir.c_str());
}

void BM_LoadHex(benchmark::State& state) {
    const std::string dir = TempDir();
    const std::string file = dir + "/full.hex";
    FullImage().SaveHex(file);
    corvane::THexFile image;
    image.SetMemSize(65535);
    for (auto _ : state) image.LoadHex(file);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 65535);
    unlink(file.c_str());
    rmdir(dir.c_str());
}

BENCHMARK(BM_SaveHex)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadHex)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
