// Speed of findStars on synthetic star fields: sides of 1024, 4096 and 8192 pixels at two
// star densities (300 and 20000 stars per 4096 x 4096).
//   BM_FindStarsFresh      the one-shot call with the portable kernel: fresh buffers for
//                          every image, one pixel at a time (the finder as it was)
//   BM_FindStars/kernel:K  a workspace kept from image to image, kernel K (0 portable,
//                          1 SSE2, 2 AVX2; absent kernels are skipped)
//   BM_FindStarsInValues   the float finder on the same fields as float values (no pixel
//                          masked, saturation 65535: the same stars), a workspace kept
//                          from image to image (bytes: 4 per pixel)
//
// Counters: items_per_second is pixels per second, bytes_per_second bytes of image per
// second; "stars" the detections per image.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "stars/find_stars.hpp"
#include "../tests/stars/star_field.hpp"

using namespace newstars;

namespace {

// Fields are built once per (side, stars per 4096^2) and kept for the whole run.
const std::vector<uint16_t>& starField(int side, int starsPer4096)
{
    static std::map<std::pair<int, int>, std::vector<uint16_t>> fields;
    auto& field = fields[{side, starsPer4096}];
    if (field.empty()) {
        field.resize(static_cast<size_t>(side) * side);
        const double scale = static_cast<double>(side) * side / (4096.0 * 4096.0);
        makeStarField(field.data(), side, side, static_cast<int>(starsPer4096 * scale + 0.5),
                      static_cast<uint64_t>(side) * 7919 + starsPer4096);
    }
    return field;
}

int64_t pixelsOf(int side)
{
    return static_cast<int64_t>(side) * side;
}

void reportRates(benchmark::State& state, int side, int found)
{
    state.SetItemsProcessed(state.iterations() * pixelsOf(side));
    state.SetBytesProcessed(state.iterations() * pixelsOf(side) * 2);
    state.counters["stars"] = found;
}

void BM_FindStarsFresh(benchmark::State& state)
{
    const int side = static_cast<int>(state.range(0));
    const std::vector<uint16_t>& field = starField(side, static_cast<int>(state.range(1)));
    int found = 0;
    for (auto _ : state) {
        StarFinderWorkspace workspace;
        workspace.kernel = FinderKernel::Portable;
        StarList stars;
        found = findStars(field.data(), side, side, &stars, &workspace);
        benchmark::DoNotOptimize(stars.x.data());
    }
    reportRates(state, side, found);
}

void BM_FindStars(benchmark::State& state)
{
    const int side = static_cast<int>(state.range(0));
    const std::vector<uint16_t>& field = starField(side, static_cast<int>(state.range(1)));
    const FinderKernel kernels[] = {FinderKernel::Portable, FinderKernel::Sse2, FinderKernel::Avx2};
    StarFinderWorkspace workspace;
    workspace.kernel = kernels[state.range(2)];
    if (!finderKernelAvailable(workspace.kernel)) {
        state.SkipWithError("kernel not available on this processor");
        return;
    }
    StarList stars;
    findStars(field.data(), side, side, &stars, &workspace); // buffers in place
    int found = 0;
    for (auto _ : state) {
        found = findStars(field.data(), side, side, &stars, &workspace);
        benchmark::DoNotOptimize(stars.x.data());
    }
    reportRates(state, side, found);
}

void BM_FindStarsInValues(benchmark::State& state)
{
    const int side = static_cast<int>(state.range(0));
    const std::vector<uint16_t>& field = starField(side, static_cast<int>(state.range(1)));
    const std::vector<float> values(field.begin(), field.end());
    StarFinderWorkspace workspace;
    StarList stars;
    findStarsInValues(values.data(), nullptr, side, side, 65535, &stars, &workspace);
    int found = 0;
    for (auto _ : state) {
        found = findStarsInValues(values.data(), nullptr, side, side, 65535, &stars, &workspace);
        benchmark::DoNotOptimize(stars.x.data());
    }
    reportRates(state, side, found);
    state.SetBytesProcessed(state.iterations() * pixelsOf(side) * 4);
}

BENCHMARK(BM_FindStarsFresh)
    ->ArgNames({"side", "starsPer4096sq"})
    ->ArgsProduct({{1024, 4096, 8192}, {300, 20000}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindStars)
    ->ArgNames({"side", "starsPer4096sq", "kernel"})
    ->ArgsProduct({{1024, 4096, 8192}, {300, 20000}, {0, 1, 2}})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindStarsInValues)
    ->ArgNames({"side", "starsPer4096sq"})
    ->ArgsProduct({{1024, 4096, 8192}, {300, 20000}})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
