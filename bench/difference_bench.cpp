// Speed of the difference-imaging pipeline on synthetic pairs: one pair of side 1024,
// 2048 or 4096 pixels (24000 stars per 4096 x 4096, the reference shifted, rotated by
// 0.3 degree and sharper), on 1 or 2 threads, with the seconds of each step as counters;
// and the tile convolution alone, direct against Fourier, over kernel half widths.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <vector>

#include "base/angles.hpp"
#include "diff/convolve.hpp"
#include "diff/difference.hpp"

using namespace newstars;

namespace {

void addStar(std::vector<float>* image, int side, double cx, double cy, double flux, double sigma)
{
    const int r = static_cast<int>(std::ceil(5 * sigma));
    const int x0 = std::max(0, static_cast<int>(cx) - r),
              x1 = std::min(side - 1, static_cast<int>(cx) + r);
    const int y0 = std::max(0, static_cast<int>(cy) - r),
              y1 = std::min(side - 1, static_cast<int>(cy) + r);
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            (*image)[static_cast<size_t>(y) * side + x] += static_cast<float>(
                flux / (2 * PI * sigma * sigma) *
                std::exp(-((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (2 * sigma * sigma)));
}

struct Pair {
    std::vector<uint16_t> test, reference;
    PixelMap map;
};

const Pair& pairOfSide(int side)
{
    static std::map<int, Pair> pairs;
    Pair& pair = pairs[side];
    if (!pair.test.empty())
        return pair;
    const double angle = 0.3 * PI / 180, c = std::cos(angle), s = std::sin(angle);
    const double half = (side - 1) / 2.0, shiftX = 7.3, shiftY = -4.6;
    std::mt19937_64 random(static_cast<uint64_t>(side));
    std::uniform_real_distribution<double> place(0, side), unit(0, 1);
    std::normal_distribution<double> normal(0, 1);
    std::vector<float> t(static_cast<size_t>(side) * side, 900.0f), r(t.size(), 2000.0f);
    const int stars = static_cast<int>(24000.0 * side * side / (4096.0 * 4096.0));
    for (int k = 0; k < stars; ++k) {
        const double x = place(random), y = place(random);
        const double flux = 300 * std::pow(10.0, 3.6 * std::pow(unit(random), 2.0));
        addStar(&t, side, x, y, flux, 1.5);
        const double u = c * (x - half) - s * (y - half) + half + shiftX;
        const double v = s * (x - half) + c * (y - half) + half + shiftY;
        addStar(&r, side, u, v, 2.5 * flux, 1.1);
    }
    auto digitize = [&](const std::vector<float>& signal, std::vector<uint16_t>* out) {
        out->resize(signal.size());
        for (size_t i = 0; i < signal.size(); ++i)
            (*out)[i] = static_cast<uint16_t>(
                std::clamp(std::lround(signal[i] + std::sqrt(signal[i] / 2 + 16) * normal(random)),
                           0L, 65535L));
    };
    digitize(t, &pair.test);
    digitize(r, &pair.reference);
    pair.map.centreX = pair.map.centreY = half;
    pair.map.scale = side / 2.0;
    // The initial map is off by 0.4 pixel, as a coarse world-coordinate frame may be.
    pair.map.u = {half + shiftX + 0.4, c * pair.map.scale, -s * pair.map.scale};
    pair.map.v = {half + shiftY - 0.3, s * pair.map.scale, c * pair.map.scale};
    return pair;
}

void BM_DifferencePair(benchmark::State& state)
{
    const int side = static_cast<int>(state.range(0));
    const Pair& pair = pairOfSide(side);
    DifferenceOptions options;
    options.testGain = options.referenceGain = 2;
    std::optional<SharedThreads> threads;
    if (state.range(1) > 1) {
        threads.emplace(static_cast<int>(state.range(1)));
        options.threads = &*threads;
    }
    DifferenceTimings sum;
    int runs = 0;
    size_t sources = 0;
    for (auto _ : state) {
        DifferenceResult result;
        if (subtractImages(pair.test.data(), side, side, pair.reference.data(), side, side,
                           pair.map, options, {}, &result) != DiffStatus::Ok) {
            state.SkipWithError("subtractImages failed");
            return;
        }
        sum.stars += result.timings.stars;
        sum.registration += result.timings.registration;
        sum.resampling += result.timings.resampling;
        sum.kernelFit += result.timings.kernelFit;
        sum.convolution += result.timings.convolution;
        sum.subtraction += result.timings.subtraction;
        sum.detection += result.timings.detection;
        sources = result.sources.size();
        state.counters["kernel_half_width"] = result.kernel.halfWidth;
        ++runs;
    }
    state.counters["stars_s"] = sum.stars / runs;
    state.counters["register_s"] = sum.registration / runs;
    state.counters["resample_s"] = sum.resampling / runs;
    state.counters["kernelfit_s"] = sum.kernelFit / runs;
    state.counters["convolve_s"] = sum.convolution / runs;
    state.counters["subtract_s"] = sum.subtraction / runs;
    state.counters["detect_s"] = sum.detection / runs;
    state.counters["detections"] = static_cast<double>(sources);
    state.SetItemsProcessed(state.iterations() * side * side);
}
BENCHMARK(BM_DifferencePair)
    ->ArgsProduct({{1024, 2048, 4096}, {1, 2}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);

// The convolution of a 2048 x 2048 image with a kernel of the given half width, by direct
// sums (method 1) or Fourier transforms (method 2), over tiles of 256.
void BM_Convolve(benchmark::State& state)
{
    const int h = static_cast<int>(state.range(0));
    const ConvolveMethod method =
        state.range(1) == 1 ? ConvolveMethod::Direct : ConvolveMethod::Fourier;
    const Pair& pair = pairOfSide(2048);
    FloatImage source;
    source.width = source.height = 2048;
    source.pixels.assign(pair.test.begin(), pair.test.end());
    KernelFitOptions fit;
    fit.halfWidth = h;
    fit.sigmas = {0.4 * h, 0.8 * h};
    fit.degrees = {2, 0};
    KernelSolution kernel;
    makeKernelBasis(fit, &kernel);
    kernel.spatialOrder = 1;
    kernel.coefficients.assign((kernel.basis.size() + 1) * 3, 0.0);
    kernel.coefficients[0] = 1;
    kernel.coefficients[1] = 0.01;
    for (size_t k = 1; k < kernel.basis.size(); ++k)
        kernel.coefficients[k * 3] = 0.01;
    FloatImage out;
    for (auto _ : state)
        convolveImage(source, kernel, 256, method, &out);
    state.SetItemsProcessed(state.iterations() * 2048 * 2048);
}
BENCHMARK(BM_Convolve)->ArgsProduct({{2, 4, 6, 8, 12, 16}, {1, 2}})->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
