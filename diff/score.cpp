#include "diff/score.hpp"

#include <omp.h>
#include <xgboost/c_api.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <numeric>

#include "base/angles.hpp"

// The model as tools/train_score wrote it, JSON text built into the library.
extern const char NEWSTARS_SCORE_MODEL[];
extern const size_t NEWSTARS_SCORE_MODEL_SIZE;

namespace newstars {

namespace {

const char* const FEATURE_NAMES[SCORE_FEATURE_COUNT] = {
    "snr",           "peak_snr",        "sharpness", "elongation", "dipole",
    "reference_ratio", "reference_snr", "star_distance", "mask_fraction", "cosmic_fraction",
    "psf_chi2",      "psf_sigma",       "neighbours", "negative_min", "reference_convolved",
};

// Detections nearer than this count as neighbours, test pixels.
constexpr double NEIGHBOUR_RADIUS = 12;
constexpr int MOST_NEIGHBOURS = 20;
// A reference star this many sky deviations above its sky at its peak counts as bright.
constexpr double BRIGHT_STAR_SIGMAS = 50;
constexpr double FARTHEST_STAR = 30; // point-spread deviations

float held(double value, double low, double high)
{
    if (std::isnan(value))
        return std::numeric_limits<float>::quiet_NaN();
    return static_cast<float>(std::clamp(value, low, high));
}

// Frees a handle of the model library when it goes out of scope.
struct BoosterOwner {
    BoosterHandle handle = nullptr;
    ~BoosterOwner()
    {
        if (handle != nullptr)
            XGBoosterFree(handle);
    }
};
struct MatrixOwner {
    DMatrixHandle handle = nullptr;
    ~MatrixOwner()
    {
        if (handle != nullptr)
            XGDMatrixFree(handle);
    }
};

// The model library runs OpenMP parallel regions (reading the model among them) on as many
// threads as the calling thread's OpenMP setting allows: held to one while it lives, so that
// the library starts no thread of its own, and given back after.
struct OneOpenMpThread {
    const int was = omp_get_max_threads();
    OneOpenMpThread() { omp_set_num_threads(1); }
    ~OneOpenMpThread() { omp_set_num_threads(was); }
    OneOpenMpThread(const OneOpenMpThread&) = delete;
    OneOpenMpThread& operator=(const OneOpenMpThread&) = delete;
};

} // namespace

const char* scoreFeatureName(int index)
{
    return index >= 0 && index < SCORE_FEATURE_COUNT ? FEATURE_NAMES[index] : "";
}

DiffStatus measureScoreFeatures(const DifferenceResult& result, std::vector<float>* features)
{
    const FloatImage& d = result.difference;
    const FloatImage& v = result.variance;
    const int w = d.width, h = d.height;
    const size_t pixels = static_cast<size_t>(std::max(w, 0)) * static_cast<size_t>(std::max(h, 0));
    if (w < 0 || h < 0 || v.width != w || v.height != h || d.pixels.size() != pixels ||
        v.pixels.size() != pixels || result.mask.size() != pixels)
        return DiffStatus::BadInput;
    try {
        const std::vector<DifferenceSource>& sources = result.sources;
        const size_t n = sources.size();
        std::vector<float> out(n * SCORE_FEATURE_COUNT);
        const double sigma = std::max({result.testSigma, result.referenceSigma, 0.5});
        const double noiseScale = result.noiseScale > 0 ? result.noiseScale : 1;

        // Bright reference stars, on the reference's own grid.
        std::vector<double> starX, starY;
        {
            const StarList& s = result.referenceStars;
            const size_t count = std::min({s.x.size(), s.y.size(), s.peakValue.size()});
            const double limit =
                result.referenceSky.level + BRIGHT_STAR_SIGMAS * result.referenceSky.sigma;
            for (size_t i = 0; i < count; ++i) {
                if (s.peakValue[i] >= limit) {
                    starX.push_back(s.x[i]);
                    starY.push_back(s.y[i]);
                }
            }
        }

        // Neighbours: detections ordered by column, each compared with those that follow
        // within the radius.
        std::vector<int> neighbours(n, 0);
        std::vector<size_t> order(n);
        std::iota(order.begin(), order.end(), size_t{0});
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return sources[a].x < sources[b].x; });
        for (size_t i = 0; i < n; ++i) {
            const DifferenceSource& a = sources[order[i]];
            for (size_t j = i + 1; j < n; ++j) {
                const DifferenceSource& b = sources[order[j]];
                if (b.x - a.x > NEIGHBOUR_RADIUS)
                    break;
                if (std::hypot(b.x - a.x, b.y - a.y) <= NEIGHBOUR_RADIUS) {
                    ++neighbours[order[i]];
                    ++neighbours[order[j]];
                }
            }
        }

        const double inv2s2 = 1 / (2 * sigma * sigma);
        const double norm = 1 / (2 * PI * sigma * sigma);
        const double lobe = 3 * sigma, lobe2 = lobe * lobe;
        const double core = std::max(2.0, 2 * sigma), core2 = core * core;
        const int reach = static_cast<int>(std::ceil(lobe));
        for (size_t k = 0; k < n; ++k) {
            const DifferenceSource& s = sources[k];
            float* f = out.data() + k * SCORE_FEATURE_COUNT;
            const double fluxError = s.fluxError > 0 ? s.fluxError : 1;
            f[0] = held(s.snr, -1e4, 1e4);
            f[1] = held(s.peakSnr, -1e4, 1e4);
            f[2] = held(s.sharpness, -99, 99);
            f[3] = held(s.elongation, 0, 99);
            f[4] = held(s.dipole, 0, 99);
            f[5] = held(s.referenceFlux / std::max(std::fabs(s.flux), fluxError), -1e4, 1e4);
            f[6] = held(s.referenceFlux / fluxError, -1e4, 1e4);

            // Distance to the nearest bright reference star, in test pixels through the
            // map's local scale.
            double u = 0, vv = 0, ux = 0, vx = 0, uy = 0, vy = 0;
            mapPosition(result.map, s.x, s.y, &u, &vv);
            mapPosition(result.map, s.x + 1, s.y, &ux, &vx);
            mapPosition(result.map, s.x, s.y + 1, &uy, &vy);
            const double det = std::fabs((ux - u) * (vy - vv) - (uy - u) * (vx - vv));
            const double perPixel = det > 0 && std::isfinite(det) ? std::sqrt(det) : 1;
            double nearest = FARTHEST_STAR * sigma * perPixel;
            for (size_t i = 0; i < starX.size(); ++i)
                nearest = std::min(nearest, std::hypot(starX[i] - u, starY[i] - vv));
            f[7] = held(nearest / perPixel / sigma, 0, FARTHEST_STAR);

            const int ix = static_cast<int>(std::lround(s.x));
            const int iy = static_cast<int>(std::lround(s.y));
            int lobePixels = 0, unusable = 0, corePixels = 0, cosmic = 0, fitted = 0;
            double chi2 = 0, lowest = 0;
            for (int y = iy - reach; y <= iy + reach; ++y) {
                for (int x = ix - reach; x <= ix + reach; ++x) {
                    const double dx = x - s.x, dy = y - s.y, r2 = dx * dx + dy * dy;
                    if (r2 > lobe2)
                        continue;
                    ++lobePixels;
                    if (r2 <= core2)
                        ++corePixels;
                    if (x < 0 || y < 0 || x >= w || y >= h) {
                        ++unusable;
                        continue;
                    }
                    const size_t at = static_cast<size_t>(y) * static_cast<size_t>(w) +
                                      static_cast<size_t>(x);
                    const uint8_t m = result.mask[at];
                    if (r2 <= core2 && (m & MASK_COSMIC))
                        ++cosmic;
                    if (m & MASK_UNUSABLE) {
                        ++unusable;
                        continue;
                    }
                    const double var = static_cast<double>(v.pixels[at]) * noiseScale * noiseScale;
                    if (!(var > 0))
                        continue;
                    const double noise = std::sqrt(var);
                    lowest = std::min(lowest, d.pixels[at] / noise);
                    if (r2 <= core2) {
                        const double model = s.flux * norm * std::exp(-r2 * inv2s2);
                        const double residual = d.pixels[at] - model;
                        chi2 += residual * residual / var;
                        ++fitted;
                    }
                }
            }
            f[8] = held(lobePixels > 0 ? static_cast<double>(unusable) / lobePixels : 1, 0, 1);
            f[9] = held(corePixels > 0 ? static_cast<double>(cosmic) / corePixels : 0, 0, 1);
            f[10] = fitted > 0 ? held(chi2 / fitted, 0, 1e4)
                               : std::numeric_limits<float>::quiet_NaN();
            f[11] = held(sigma, 0, 100);
            f[12] = held(std::min(neighbours[k], MOST_NEIGHBOURS), 0, MOST_NEIGHBOURS);
            f[13] = held(lowest, -1e4, 0);
            f[14] = result.referenceConvolved ? 1.0f : 0.0f;
        }
        features->swap(out);
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    return DiffStatus::Ok;
}

DiffStatus scoreFeatures(const std::vector<float>& features, size_t count,
                         std::vector<double>* scores, std::string* message)
{
    if (count > features.size() / SCORE_FEATURE_COUNT)
        return DiffStatus::BadInput;
    try {
        std::vector<double> out(count);
        if (count > 0) {
            const auto failed = [message]() {
                if (message != nullptr)
                    *message = XGBGetLastError();
                return DiffStatus::ModelFailed;
            };
            const OneOpenMpThread oneThread;
            BoosterOwner booster;
            MatrixOwner matrix;
            if (XGBoosterCreate(nullptr, 0, &booster.handle) != 0 ||
                XGBoosterLoadModelFromBuffer(booster.handle, NEWSTARS_SCORE_MODEL,
                                             NEWSTARS_SCORE_MODEL_SIZE) != 0 ||
                XGBoosterSetParam(booster.handle, "nthread", "1") != 0)
                return failed();
            if (XGDMatrixCreateFromMat_omp(features.data(), static_cast<bst_ulong>(count),
                                           SCORE_FEATURE_COUNT,
                                           std::numeric_limits<float>::quiet_NaN(),
                                           &matrix.handle, 1) != 0)
                return failed();
            bst_ulong length = 0;
            const float* values = nullptr;
            if (XGBoosterPredict(booster.handle, matrix.handle, 0, 0, 0, &length, &values) != 0)
                return failed();
            if (length != count || values == nullptr) {
                if (message != nullptr)
                    *message = "the score model gave " + std::to_string(length) +
                               " values for " + std::to_string(count) + " detections";
                return DiffStatus::ModelFailed;
            }
            for (size_t i = 0; i < count; ++i)
                out[i] = std::clamp(static_cast<double>(values[i]), 0.0, 1.0);
        }
        scores->swap(out);
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    return DiffStatus::Ok;
}

DiffStatus scoreSources(DifferenceResult* result, std::string* message)
{
    std::vector<float> features;
    if (DiffStatus s = measureScoreFeatures(*result, &features); s != DiffStatus::Ok)
        return s;
    std::vector<double> scores;
    if (DiffStatus s = scoreFeatures(features, result->sources.size(), &scores, message);
        s != DiffStatus::Ok)
        return s;
    for (size_t i = 0; i < scores.size(); ++i)
        result->sources[i].score = scores[i];
    return DiffStatus::Ok;
}

} // namespace newstars
