#include "diff/resample.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <new>

#include "base/angles.hpp"

namespace newstars {

static constexpr int32_t AREA_STEP = 64; // pixels between exact area factors along a row

double lanczos3(double d)
{
    const double a = std::fabs(d);
    if (a < 1e-12)
        return 1;
    if (a >= 3)
        return 0;
    const double x = PI * d;
    return 3 * std::sin(x) * std::sin(x / 3) / (x * x);
}

// Weights of the six source pixels at offsets -2..3 from floor(u) for each tabulated
// fractional part f of u. The Lanczos weights are corrected by the smallest linear term
// that makes them sum to 1 and reproduce a linear ramp exactly (first moment f): plain
// normalised Lanczos-3 weights would move smooth profiles by up to 0.02 pixel.
static void lanczosTable(std::vector<float>* table, double* squaredSum)
{
    table->resize(static_cast<size_t>(LANCZOS_STEPS + 1) * 6);
    double meanSquares = 0;
    for (int q = 0; q <= LANCZOS_STEPS; ++q) {
        const double f = static_cast<double>(q) / LANCZOS_STEPS;
        double w[6], d[6], s0 = 0, s1 = 0, sd = 0, sdd = 0;
        for (int k = 0; k < 6; ++k) {
            d[k] = (k - 2) - f;
            w[k] = lanczos3(d[k]);
            s0 += w[k];
            s1 += w[k] * d[k];
            sd += d[k];
            sdd += d[k] * d[k];
        }
        // w + alpha + beta d: 6 alpha + sd beta = 1 - s0, sd alpha + sdd beta = -s1.
        const double det = 6 * sdd - sd * sd;
        const double alpha = ((1 - s0) * sdd + s1 * sd) / det;
        const double beta = (-6 * s1 - sd * (1 - s0)) / det;
        double squares = 0;
        for (int k = 0; k < 6; ++k) {
            const double weight = w[k] + alpha + beta * d[k];
            (*table)[static_cast<size_t>(q) * 6 + k] = static_cast<float>(weight);
            squares += weight * weight;
        }
        if (q < LANCZOS_STEPS)
            meanSquares += squares;
    }
    meanSquares /= LANCZOS_STEPS;
    *squaredSum = meanSquares * meanSquares;
}

// The 6 x 6 source pixels from row on (rows sw apart) weighted by wy down and wx across:
// each column's weighted sum over the rows, then the columns weighted across, in float in
// that order (so that values taken from 16-bit pixels give the same sums whichever path).
// *saturated tells whether any of them is at or above saturation.
static inline float interpolate6x6(const float* row, size_t sw, const float* wx, const float* wy,
                                   float saturation, bool* saturated)
{
#if defined(__SSE2__) && defined(__x86_64__)
    const __m128 limit = _mm_set1_ps(saturation);
    __m128 left = _mm_setzero_ps(), right = _mm_setzero_ps();
    __m128 hit = _mm_setzero_ps();
    bool lastColumns = false;
    for (int j = 0; j < 6; ++j, row += sw) {
        const __m128 four = _mm_loadu_ps(row);
        hit = _mm_or_ps(hit, _mm_cmpge_ps(four, limit));
        lastColumns = lastColumns || row[4] >= saturation || row[5] >= saturation;
        const __m128 weight = _mm_set1_ps(wy[j]);
        left = _mm_add_ps(left, _mm_mul_ps(weight, four));
        right = _mm_add_ps(right, _mm_mul_ps(weight, _mm_setr_ps(row[4], row[5], 0.0f, 0.0f)));
    }
    *saturated = lastColumns || _mm_movemask_ps(hit) != 0;
    float column[8];
    _mm_storeu_ps(column, left);
    _mm_storeu_ps(column + 4, right);
#else
    float column[6] = {0, 0, 0, 0, 0, 0};
    bool any = false;
    for (int j = 0; j < 6; ++j, row += sw) {
        for (int i = 0; i < 6; ++i) {
            column[i] += wy[j] * row[i];
            any = any || row[i] >= saturation;
        }
    }
    *saturated = any;
#endif
    return wx[0] * column[0] + wx[1] * column[1] + wx[2] * column[2] + wx[3] * column[3] +
           wx[4] * column[4] + wx[5] * column[5];
}

// Whether any of the 6 x 6 pixels from row on (rows sw apart) holds no data.
static inline bool anyNoData(const uint8_t* row, size_t sw)
{
    for (int j = 0; j < 6; ++j, row += sw) {
        if ((row[0] | row[1] | row[2] | row[3] | row[4] | row[5]) != 0)
            return true;
    }
    return false;
}

// The polynomial of one output collapsed for one row: value = a[0] + a[1] s + a[2] s^2 +
// a[3] s^3, and its derivative in t likewise in b.
static void collapseRow(const std::vector<double>& c, int order, double t, double a[4], double b[4])
{
    for (int i = 0; i < 4; ++i)
        a[i] = b[i] = 0;
    for (int d = 0; d <= order; ++d) {
        for (int j = 0; j <= d; ++j) {
            const double coefficient = c[static_cast<size_t>(d * (d + 1) / 2 + j)];
            double tp = 1, dtp = 0;
            for (int e = 0; e < j; ++e) {
                dtp = dtp * t + tp;
                tp *= t;
            }
            a[d - j] += coefficient * tp;
            b[d - j] += coefficient * dtp;
        }
    }
}

DiffStatus resampleLanczos3(const uint16_t* source, int32_t sourceWidth, int32_t sourceHeight,
                            const PixelMap& map, int32_t width, int32_t height, FloatImage* output,
                            std::vector<uint8_t>* mask, double* varianceFactor)
{
    if (source == nullptr || sourceWidth < 1 || sourceHeight < 1)
        return DiffStatus::BadInput;
    std::vector<float> values;
    try {
        values.assign(source, source + static_cast<size_t>(sourceWidth) * sourceHeight);
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    return resampleLanczos3(values.data(), nullptr, SATURATION, sourceWidth, sourceHeight, map,
                            width, height, output, mask, varianceFactor);
}

DiffStatus resampleLanczos3(const float* source, const uint8_t* noData, double saturation,
                            int32_t sourceWidth, int32_t sourceHeight, const PixelMap& map,
                            int32_t width, int32_t height, FloatImage* output,
                            std::vector<uint8_t>* mask, double* varianceFactor,
                            SharedThreads* threads)
{
    if (source == nullptr || sourceWidth < 1 || sourceHeight < 1 || width < 1 || height < 1 ||
        map.order < 1 || map.order > 3 ||
        map.u.size() < static_cast<size_t>(polynomialTermCount(map.order)) ||
        map.v.size() < static_cast<size_t>(polynomialTermCount(map.order)))
        return DiffStatus::BadInput;
    FloatImage result;
    if (DiffStatus s = allocateFloatImage(width, height, &result); s != DiffStatus::Ok)
        return s;
    std::vector<uint8_t> bits;
    std::vector<float> table;
    double squares = 0;
    const size_t sw = static_cast<size_t>(sourceWidth);
    try {
        bits.assign(result.pixels.size(), 0);
        lanczosTable(&table, &squares);
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    const double inverseScale = 1 / map.scale;
    // Values at or above the level as float; an infinite one leaves nothing saturated.
    const float level = saturation < std::numeric_limits<float>::max()
                            ? static_cast<float>(saturation)
                            : std::numeric_limits<float>::infinity();
    const auto resampleRow = [&](int32_t y) {
        const double t = (y - map.centreY) * inverseScale;
        double au[4], bu[4], av[4], bv[4];
        collapseRow(map.u, map.order, t, au, bu);
        collapseRow(map.v, map.order, t, av, bv);
        float* out = result.pixels.data() + static_cast<size_t>(y) * width;
        uint8_t* outMask = bits.data() + static_cast<size_t>(y) * width;
        // The area factor changes slowly: exact at every AREA_STEP-th pixel and at the row's
        // end, linear between.
        auto areaAt = [&](double s) {
            const double dus = au[1] + s * (2 * au[2] + s * 3 * au[3]);
            const double dvs = av[1] + s * (2 * av[2] + s * 3 * av[3]);
            const double dut = bu[0] + s * (bu[1] + s * (bu[2] + s * bu[3]));
            const double dvt = bv[0] + s * (bv[1] + s * (bv[2] + s * bv[3]));
            return std::fabs(dus * dvt - dut * dvs) * inverseScale * inverseScale;
        };
        double areaStart = areaAt((0 - map.centreX) * inverseScale), areaEnd = areaStart;
        int32_t stepStart = 0, stepEnd = 0;
        for (int32_t x = 0; x < width; ++x) {
            const double s = (x - map.centreX) * inverseScale;
            if (x == stepEnd) {
                stepStart = stepEnd;
                areaStart = areaEnd;
                stepEnd = std::min(width - 1, stepStart + AREA_STEP);
                areaEnd = areaAt((stepEnd - map.centreX) * inverseScale);
            }
            const double area =
                stepEnd > stepStart
                    ? areaStart + (areaEnd - areaStart) * (x - stepStart) / (stepEnd - stepStart)
                    : areaStart;
            const double u = au[0] + s * (au[1] + s * (au[2] + s * au[3]));
            const double v = av[0] + s * (av[1] + s * (av[2] + s * av[3]));
            if (!(u >= 2 && v >= 2 && u < sourceWidth - 3 && v < sourceHeight - 3)) {
                outMask[x] = MASK_NO_DATA;
                continue;
            }
            int64_t iu = static_cast<int64_t>(u), iv = static_cast<int64_t>(v);
            const int64_t qu =
                static_cast<int64_t>((u - static_cast<double>(iu)) * LANCZOS_STEPS + 0.5);
            const int64_t qv =
                static_cast<int64_t>((v - static_cast<double>(iv)) * LANCZOS_STEPS + 0.5);
            const float* wx = table.data() + qu * 6;
            const float* wy = table.data() + qv * 6;
            const size_t corner = static_cast<size_t>(iv - 2) * sw + static_cast<size_t>(iu - 2);
            if (noData != nullptr && anyNoData(noData + corner, sw)) {
                outMask[x] = MASK_NO_DATA;
                continue;
            }
            bool saturated = false;
            const float sum = interpolate6x6(source + corner, sw, wx, wy, level, &saturated);
            out[x] = static_cast<float>(sum * area);
            outMask[x] = saturated ? MASK_SATURATED : 0;
        }
    };
    const int bands = static_cast<int>((height + RESAMPLE_BAND_ROWS - 1) / RESAMPLE_BAND_ROWS);
    runItems(threads, bands, [&](int band) {
        const int32_t first = band * RESAMPLE_BAND_ROWS;
        const int32_t end = std::min(height, first + RESAMPLE_BAND_ROWS);
        for (int32_t y = first; y < end; ++y)
            resampleRow(y);
    });
    output->width = result.width;
    output->height = result.height;
    output->pixels.swap(result.pixels);
    mask->swap(bits);
    if (varianceFactor != nullptr)
        *varianceFactor = squares;
    return DiffStatus::Ok;
}

} // namespace newstars
