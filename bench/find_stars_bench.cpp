// Speed of findStars on synthetic star fields: sides of 1024, 4096 and 8192 pixels at two
// star densities (300 and 20000 stars per 4096 x 4096).
//
// Counters: items_per_second is pixels per second; "stars" the detections per image.

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

void runFinder(benchmark::State& state, int (*finder)(const uint16_t*, int, int, StarList*))
{
    const int side = static_cast<int>(state.range(0));
    const int density = static_cast<int>(state.range(1));
    const std::vector<uint16_t>& field = starField(side, density);
    int found = 0;
    for (auto _ : state) {
        StarList stars;
        found = finder(field.data(), side, side, &stars);
        benchmark::DoNotOptimize(stars.x.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(side) * side);
    state.counters["stars"] = found;
}

void BM_FindStars(benchmark::State& state)
{
    runFinder(state, [](const uint16_t* pixels, int width, int height, StarList* stars) {
        return findStars(pixels, width, height, stars);
    });
}
BENCHMARK(BM_FindStars)
    ->ArgNames({"side", "starsPer4096sq"})
    ->ArgsProduct({{1024, 4096, 8192}, {300, 20000}})
    ->Unit(benchmark::kMillisecond);
} // namespace

BENCHMARK_MAIN();
