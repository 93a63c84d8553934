// Reading a 4096 x 4096 16-bit FITS image from the page cache with readFitsImage,
// against plain reads of the same bytes. Prints both times and their ratio.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

#include "fits/fits_image.hpp"
#include "fits/fits_read.hpp"

using namespace newstars;

namespace {

constexpr int SIDE = 4096;

std::string benchFile;
size_t fileSize = 0;

// Writes the image file (header of one record, pixels, fill to a whole record).
bool writeBenchFile()
{
    char name[] = "/tmp/read_fits_bench_XXXXXX";
    int fd = mkstemp(name);
    if (fd < 0)
        return false;
    benchFile = name;
    std::string bytes(FITS_RECORD_LENGTH, ' ');
    char* card = bytes.data();
    formatLogicalCard(card, "SIMPLE", 1);
    formatIntCard(card + 80, "BITPIX", 16);
    formatIntCard(card + 160, "NAXIS", 2);
    formatIntCard(card + 240, "NAXIS1", SIDE);
    formatIntCard(card + 320, "NAXIS2", SIDE);
    formatIntCard(card + 400, "BZERO", 32768);
    formatEndCard(card + 480);
    size_t dataBytes = size_t{SIDE} * SIDE * 2;
    bytes.resize(FITS_RECORD_LENGTH + dataBytes);
    uint32_t state = 12345;
    for (size_t i = FITS_RECORD_LENGTH; i < bytes.size(); ++i) {
        state = state * 1664525u + 1013904223u;
        bytes[i] = static_cast<char>(state >> 24);
    }
    bytes.resize((bytes.size() + FITS_RECORD_LENGTH - 1) / FITS_RECORD_LENGTH * FITS_RECORD_LENGTH,
                 '\0');
    fileSize = bytes.size();
    bool ok = write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    close(fd);
    return ok;
}

// Reads the whole file into the buffer; false on any failure.
bool readAll(int fd, char* buffer, size_t length)
{
    size_t done = 0;
    while (done < length) {
        ssize_t got = read(fd, buffer + done, length - done);
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

void BM_ReadFitsImage(benchmark::State& state)
{
    for (auto _ : state) {
        int fd = open(benchFile.c_str(), O_RDONLY | O_CLOEXEC);
        FitsImage image;
        std::string message;
        if (readFitsImage(fd, &image, &message) != 0)
            state.SkipWithError(message.c_str());
        benchmark::DoNotOptimize(image.pixels.data());
        close(fd);
        freeFitsImage(&image);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SIDE * SIDE * 2);
}

// The same bytes (header and pixels) read with plain read into a freshly allocated
// buffer, as readFitsImage needs one for every image.
void BM_PlainRead(benchmark::State& state)
{
    const size_t length = FITS_RECORD_LENGTH + size_t{SIDE} * SIDE * 2;
    for (auto _ : state) {
        int fd = open(benchFile.c_str(), O_RDONLY | O_CLOEXEC);
        std::unique_ptr<char[]> buffer(new char[length]);
        if (!readAll(fd, buffer.get(), length))
            state.SkipWithError("plain read failed");
        benchmark::DoNotOptimize(buffer.get());
        close(fd);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SIDE * SIDE * 2);
}

// Plain reads into one buffer reused for every iteration (pages already mapped).
void BM_PlainReadReusedBuffer(benchmark::State& state)
{
    const size_t length = FITS_RECORD_LENGTH + size_t{SIDE} * SIDE * 2;
    std::vector<char> buffer(length);
    for (auto _ : state) {
        int fd = open(benchFile.c_str(), O_RDONLY | O_CLOEXEC);
        if (!readAll(fd, buffer.data(), length))
            state.SkipWithError("plain read failed");
        benchmark::DoNotOptimize(buffer.data());
        close(fd);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SIDE * SIDE * 2);
}

void BM_SwapPixelsFromFits(benchmark::State& state)
{
    FitsImage image;
    image.width = SIDE;
    image.height = SIDE;
    image.pixels.assign(size_t{SIDE} * SIDE, 0x1234);
    for (auto _ : state) {
        swapPixelsFromFits(&image);
        benchmark::DoNotOptimize(image.pixels.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * SIDE * SIDE * 2);
}

BENCHMARK(BM_ReadFitsImage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainRead)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PlainReadReusedBuffer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_SwapPixelsFromFits)->Unit(benchmark::kMillisecond)->UseRealTime();

// Console output as usual, keeping each benchmark's real time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> seconds;    // real time per iteration
    std::map<std::string, double> cpuSeconds; // CPU time of this process per iteration
    std::set<std::string> medians;
    void ReportRuns(const std::vector<Run>& runs) override
    {
        // With repetitions the median stands for the benchmark; without, its only run.
        for (const Run& run : runs) {
            const std::string& name = run.run_name.function_name;
            if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !medians.count(name)) {
                seconds[name] = run.real_accumulated_time / static_cast<double>(run.iterations);
                cpuSeconds[name] = run.cpu_accumulated_time / static_cast<double>(run.iterations);
            }
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                seconds[name] = run.GetAdjustedRealTime() * 1e-3; // reported in milliseconds
                cpuSeconds[name] = run.GetAdjustedCPUTime() * 1e-3;
                medians.insert(name);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (!writeBenchFile()) {
        std::fprintf(stderr, "read_fits_bench: cannot write the image file in /tmp\n");
        return 1;
    }
    // One read to bring the file into the page cache.
    {
        std::vector<char> warm(fileSize);
        int fd = open(benchFile.c_str(), O_RDONLY | O_CLOEXEC);
        readAll(fd, warm.data(), fileSize);
        close(fd);
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double fits = reporter.seconds["BM_ReadFitsImage"];
    const double plain = reporter.seconds["BM_PlainRead"];
    const double reused = reporter.seconds["BM_PlainReadReusedBuffer"];
    if (fits > 0 && plain > 0 && reused > 0) {
        std::printf(
            "real time: readFitsImage %.3f ms, plain read %.3f ms (fresh buffer): ratio %.2f; "
            "plain read into a reused buffer %.3f ms: ratio %.2f\n",
            fits * 1e3, plain * 1e3, fits / plain, reused * 1e3, fits / reused);
        const double fitsCpu = reporter.cpuSeconds["BM_ReadFitsImage"];
        const double plainCpu = reporter.cpuSeconds["BM_PlainRead"];
        const double reusedCpu = reporter.cpuSeconds["BM_PlainReadReusedBuffer"];
        std::printf(
            "CPU time:  readFitsImage %.3f ms, plain read %.3f ms (fresh buffer): ratio %.2f; "
            "plain read into a reused buffer %.3f ms: ratio %.2f\n",
            fitsCpu * 1e3, plainCpu * 1e3, fitsCpu / plainCpu, reusedCpu * 1e3,
            fitsCpu / reusedCpu);
    }
    unlink(benchFile.c_str());
    benchmark::Shutdown();
    return 0;
}
