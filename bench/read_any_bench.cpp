// Reading a 4096 x 4096 image from the page cache: 16-bit with readFitsImage (pixels),
// and single- and double-precision floating point with readAnyFitsImage (values and
// no-data mask, through CFITSIO). Also the 16-bit file read through readAnyFitsImage.

#include <benchmark/benchmark.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "fits/fits_image.hpp"
#include "fits/fits_read.hpp"
#include "fits/fits_read_any.hpp"

using namespace newstars;

namespace {

constexpr int SIDE = 4096;

struct BenchFile {
    std::string path;
    ~BenchFile()
    {
        if (!path.empty())
            unlink(path.c_str());
    }
};

BenchFile sixteen, single, twice;

// Writes a file of one header record and SIDE x SIDE pixels of the type: random 16-bit
// values, or a smooth sky with noise as floating point, every 1000th pixel NaN.
bool writeBenchFile(int bitpix, BenchFile* file)
{
    char name[] = "/tmp/read_any_bench_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0)
        return false;
    file->path = name;
    std::string bytes(FITS_RECORD_LENGTH, ' ');
    char* card = bytes.data();
    formatLogicalCard(card, "SIMPLE", 1);
    formatIntCard(card + 80, "BITPIX", bitpix);
    formatIntCard(card + 160, "NAXIS", 2);
    formatIntCard(card + 240, "NAXIS1", SIDE);
    formatIntCard(card + 320, "NAXIS2", SIDE);
    formatEndCard(card + 400);
    const size_t size = static_cast<size_t>(bitpix < 0 ? -bitpix : bitpix) / 8;
    const size_t count = size_t{SIDE} * SIDE;
    bytes.resize(FITS_RECORD_LENGTH + count * size);
    uint32_t state = 12345;
    for (size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        const double noise = static_cast<double>(state >> 8) / 16777216.0 - 0.5;
        const double value =
            i % 1000 == 999 ? std::numeric_limits<double>::quiet_NaN() : 1000.0 + 30.0 * noise;
        unsigned char big[8];
        if (bitpix == 16) {
            const auto v = static_cast<uint16_t>(state >> 16);
            big[0] = static_cast<unsigned char>(v >> 8);
            big[1] = static_cast<unsigned char>(v);
        } else if (bitpix == -32) {
            const auto v = std::bit_cast<uint32_t>(static_cast<float>(value));
            for (int b = 0; b < 4; ++b)
                big[b] = static_cast<unsigned char>(v >> (24 - 8 * b));
        } else {
            const auto v = std::bit_cast<uint64_t>(value);
            for (int b = 0; b < 8; ++b)
                big[b] = static_cast<unsigned char>(v >> (56 - 8 * b));
        }
        std::memcpy(bytes.data() + FITS_RECORD_LENGTH + i * size, big, size);
    }
    bytes.resize((bytes.size() + FITS_RECORD_LENGTH - 1) / FITS_RECORD_LENGTH * FITS_RECORD_LENGTH,
                 '\0');
    const bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return ok;
}

void BM_ReadSixteenBit(benchmark::State& state)
{
    for (auto _ : state) {
        const int fd = open(sixteen.path.c_str(), O_RDONLY | O_CLOEXEC);
        FitsImage image;
        std::string message;
        if (readFitsImage(fd, &image, &message) != 0)
            state.SkipWithError(message.c_str());
        benchmark::DoNotOptimize(image.pixels.data());
        close(fd);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * SIDE * SIDE);
}

// readAnyFitsImage on the file at path (from the benchmark's argument: 0 the 16-bit
// file, 32 the single-precision one, 64 the double-precision one).
void BM_ReadAny(benchmark::State& state)
{
    const std::string& path = state.range(0) == 0    ? sixteen.path
                              : state.range(0) == 32 ? single.path
                                                     : twice.path;
    for (auto _ : state) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        FitsImage image;
        std::string message;
        if (readAnyFitsImage(fd, "", {}, &image, &message) != 0)
            state.SkipWithError(message.c_str());
        benchmark::DoNotOptimize(image.values.data());
        benchmark::DoNotOptimize(image.pixels.data());
        close(fd);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * SIDE * SIDE);
}

BENCHMARK(BM_ReadSixteenBit)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadAny)->Arg(0)->Arg(32)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    if (!writeBenchFile(16, &sixteen) || !writeBenchFile(-32, &single) ||
        !writeBenchFile(-64, &twice)) {
        std::fprintf(stderr, "read_any_bench: can not write the image files\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
