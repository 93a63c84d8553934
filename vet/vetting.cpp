#include "vet/vetting.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>

#include "base/angles.hpp"
#include "base/statistics.hpp"
#include "base/text.hpp"

namespace newstars {

namespace {

constexpr double NOT_A_NUMBER = std::numeric_limits<double>::quiet_NaN();
// Variance of a value rounded to whole ADU; the least noise a pixel can have.
constexpr double ROUNDING_VARIANCE = 1.0 / 12;
constexpr int MINIMUM_ANNULUS_PIXELS = 8;
// Farthest any measurement reaches from its centre, pixels, whatever the parameters say.
constexpr double MAXIMUM_REACH = 64;

size_t pixelIndex(const FitsImage& image, int32_t x, int32_t y)
{
    return static_cast<size_t>(y) * static_cast<size_t>(image.width) + static_cast<size_t>(x);
}

// The value of a pixel: the 16-bit pixel, or the physical value (0 where there is no data).
double pixelAt(const FitsImage& image, int32_t x, int32_t y)
{
    if (hasFloatPixels(&image))
        return image.values[pixelIndex(image, x, y)];
    return image.pixels[pixelIndex(image, x, y)];
}

// Whether a pixel holds no data (16-bit pixels always hold data).
bool noDataAt(const FitsImage& image, int32_t x, int32_t y)
{
    return hasFloatPixels(&image) && image.noData[pixelIndex(image, x, y)] != PIXEL_HAS_DATA;
}

// The level from which a pixel counts as saturated: the parameters' for 16-bit pixels; the
// SATURATE card's value for others, none (infinity) without a finite one.
double saturationOf(const FitsImage& image, const VetParams& params)
{
    if (!hasFloatPixels(&image))
        return params.saturationLevel;
    double level = 0;
    // Compared with float values, as a float: a card written with fewer digits than the
    // values still meets them.
    if (getRealCard(&image, "SATURATE", &level) == 0 && std::isfinite(level) &&
        std::fabs(level) <= std::numeric_limits<float>::max())
        return static_cast<float>(level);
    return std::numeric_limits<double>::infinity();
}

// How far from a position a pixel without data spoils its measures: the sky annulus.
double noDataReach(const VetParams& params)
{
    return std::max(params.backgroundOuter, 0.0);
}

// Whether a pixel without data lies within radius (at most MAXIMUM_REACH) of (x, y);
// pixels off the image do not count.
bool noDataNear(const FitsImage& image, double x, double y, double radius)
{
    if (!hasFloatPixels(&image) || !(std::fabs(x) < 1e9 && std::fabs(y) < 1e9))
        return false;
    const double r = std::clamp(radius, 0.0, MAXIMUM_REACH);
    const int32_t x0 = std::max<int32_t>(0, static_cast<int32_t>(std::floor(x - r)));
    const int32_t x1 = std::min<int32_t>(image.width - 1, static_cast<int32_t>(std::ceil(x + r)));
    const int32_t y0 = std::max<int32_t>(0, static_cast<int32_t>(std::floor(y - r)));
    const int32_t y1 = std::min<int32_t>(image.height - 1, static_cast<int32_t>(std::ceil(y + r)));
    for (int32_t yy = y0; yy <= y1; ++yy) {
        for (int32_t xx = x0; xx <= x1; ++xx) {
            const double dx = xx - x, dy = yy - y;
            if (dx * dx + dy * dy <= r * r && noDataAt(image, xx, yy))
                return true;
        }
    }
    return false;
}

// Nearest pixel to a position; false when it is not a number or lies far off any image.
bool nearestPixel(double x, double y, int32_t* ix, int32_t* iy)
{
    if (!(std::fabs(x) < 1e9 && std::fabs(y) < 1e9))
        return false;
    *ix = static_cast<int32_t>(std::lround(x));
    *iy = static_cast<int32_t>(std::lround(y));
    return true;
}

// The value of pixel (x, y) with an isolated spike (a cosmic-ray hit or hot pixel: more
// than SPIKE_NOISE noise units above the sky while the median of its eight neighbours
// rises less than SPIKE_FRACTION as far) replaced by that median. Pixels on the image's
// border are taken as they are.
constexpr double SPIKE_NOISE = 5;
constexpr double SPIKE_FRACTION = 0.3;

double despiked(const FitsImage& image, int32_t x, int32_t y, double background, double noise)
{
    const double v = pixelAt(image, x, y);
    if (!(v - background > SPIKE_NOISE * noise) || x < 1 || y < 1 || x > image.width - 2 ||
        y > image.height - 2)
        return v;
    const double rise = SPIKE_FRACTION * (v - background);
    double around[8];
    int n = 0, low = 0;
    for (int32_t dy = -1; dy <= 1; ++dy) {
        for (int32_t dx = -1; dx <= 1; ++dx) {
            if (dx == 0 && dy == 0)
                continue;
            around[n] = pixelAt(image, x + dx, y + dy);
            low += around[n] - background < rise ? 1 : 0;
            ++n;
        }
    }
    // The lower median (the 4th smallest) lies below the rise exactly when 4 of them do.
    if (low < 4)
        return v;
    std::nth_element(around, around + 3, around + 8);
    return around[3];
}

// Median and ROBUST_SIGMA_PER_MAD times the MAD of values (reordered); NaN for both when
// empty.
void robustCentre(std::vector<double>* values, double* median, double* spread)
{
    if (values->empty()) {
        *median = NOT_A_NUMBER;
        *spread = NOT_A_NUMBER;
        return;
    }
    const double m = medianInPlace(values, MedianSide::Lower);
    for (double& v : *values)
        v = std::fabs(v - m);
    *median = m;
    *spread = ROBUST_SIGMA_PER_MAD * medianInPlace(values, MedianSide::Lower);
}

// The k-th smallest of values (k from 0, k < size), by counting the high bytes and then
// the low bytes of those in the right high-byte bucket: two short passes, no reordering.
uint16_t kthSmallest(const std::vector<uint16_t>& values, size_t k)
{
    uint32_t high[256] = {};
    for (uint16_t v : values)
        ++high[v >> 8];
    uint32_t top = 0;
    size_t below = 0;
    while (below + high[top] <= k)
        below += high[top++];
    uint32_t low[256] = {};
    for (uint16_t v : values) {
        if ((v >> 8) == top)
            ++low[v & 255];
    }
    size_t rank = k - below;
    uint32_t bottom = 0;
    while (rank >= low[bottom])
        rank -= low[bottom++];
    return static_cast<uint16_t>(top << 8 | bottom);
}

// The sky around pixel (cx, cy): median and robust deviation of the unsaturated annulus
// pixels inside the image (whole ADU, so both medians are taken on integers). false with
// fewer than MINIMUM_ANNULUS_PIXELS.
bool localSky(const FitsImage& image, int32_t cx, int32_t cy, const VetParams& params,
              double* background, double* noise, int32_t* count)
{
    const double inner2 = params.backgroundInner * params.backgroundInner;
    const double outer2 = params.backgroundOuter * params.backgroundOuter;
    const int32_t reach =
        static_cast<int32_t>(std::ceil(std::clamp(params.backgroundOuter, 0.0, MAXIMUM_REACH)));
    const bool floating = hasFloatPixels(&image);
    const double saturation = saturationOf(image, params);
    std::vector<uint16_t> values;
    std::vector<double> physical;
    if (floating)
        physical.reserve(static_cast<size_t>(4 * reach * reach));
    else
        values.reserve(static_cast<size_t>(4 * reach * reach));
    for (int32_t dy = -reach; dy <= reach; ++dy) {
        const int32_t y = cy + dy;
        if (y < 0 || y >= image.height)
            continue;
        // The row's columns in the annulus: |dx| from inside to outside.
        int32_t outside = reach, inside = 0;
        while (outside >= 0 && static_cast<double>(outside * outside + dy * dy) > outer2)
            --outside;
        while (inside <= outside && static_cast<double>(inside * inside + dy * dy) < inner2)
            ++inside;
        for (int32_t dx = -outside; dx <= outside; ++dx) {
            if (dx > -inside && dx < inside) {
                dx = inside - 1;
                continue;
            }
            const int32_t x = cx + dx;
            if (x < 0 || x >= image.width)
                continue;
            if (floating) {
                const size_t at = pixelIndex(image, x, y);
                if (image.noData[at] == PIXEL_HAS_DATA && image.values[at] < saturation)
                    physical.push_back(image.values[at]);
            } else {
                const uint16_t v = image.pixels[pixelIndex(image, x, y)];
                if (v < params.saturationLevel)
                    values.push_back(v);
            }
        }
    }
    if (floating) {
        // Physical values are not whole numbers: no rounding noise is added.
        if (static_cast<int32_t>(physical.size()) < MINIMUM_ANNULUS_PIXELS)
            return false;
        *count = static_cast<int32_t>(physical.size());
        double median = 0, spread = 0;
        robustCentre(&physical, &median, &spread);
        *background = median;
        *noise = spread;
        return true;
    }
    if (static_cast<int32_t>(values.size()) < MINIMUM_ANNULUS_PIXELS)
        return false;
    const size_t middle = (values.size() - 1) / 2;
    const uint16_t median = kthSmallest(values, middle);
    for (uint16_t& v : values)
        v = static_cast<uint16_t>(v > median ? v - median : median - v);
    const double spread = ROBUST_SIGMA_PER_MAD * kthSmallest(values, middle);
    *count = static_cast<int32_t>(values.size());
    *background = median;
    *noise = std::sqrt(spread * spread + ROUNDING_VARIANCE);
    return true;
}

// Shape measures from windowed moments, with a first-order noise estimate of the
// elongation.
struct Moments {
    double fwhm = NOT_A_NUMBER;
    double elongation = NOT_A_NUMBER;
    double elongationError = NOT_A_NUMBER;
};

Moments windowedMoments(const FitsImage& image, int32_t cx, int32_t cy, double background,
                        double noise, double windowSigma)
{
    Moments m;
    const int32_t reach =
        static_cast<int32_t>(std::ceil(std::clamp(3 * windowSigma, 0.0, MAXIMUM_REACH)));
    const double scale = -1 / (2 * windowSigma * windowSigma);
    // The Gaussian window is separable: one factor per column offset, one per row offset.
    std::vector<double> factor(static_cast<size_t>(2 * reach + 1));
    for (int32_t d = -reach; d <= reach; ++d)
        factor[static_cast<size_t>(d + reach)] = std::exp(static_cast<double>(d * d) * scale);
    double sum = 0, sx = 0, sy = 0, sxx = 0, syy = 0, sxy = 0;
    double g4dd = 0, g4xy = 0; // sums of window^2 * (dx^2 - dy^2)^2 and * (2 dx dy)^2
    for (int32_t dy = -reach; dy <= reach; ++dy) {
        const int32_t y = cy + dy;
        if (y < 0 || y >= image.height)
            continue;
        for (int32_t dx = -reach; dx <= reach; ++dx) {
            const int32_t x = cx + dx;
            if (x < 0 || x >= image.width)
                continue;
            const double g =
                factor[static_cast<size_t>(dx + reach)] * factor[static_cast<size_t>(dy + reach)];
            // Spikes beside the source (not in its own 3 x 3 core) would swamp the moments.
            const bool core = dx >= -1 && dx <= 1 && dy >= -1 && dy <= 1;
            const double value =
                core ? pixelAt(image, x, y) : despiked(image, x, y, background, noise);
            const double w = g * (value - background);
            sum += w;
            sx += w * dx;
            sy += w * dy;
            sxx += w * dx * dx;
            syy += w * dy * dy;
            sxy += w * dx * dy;
            const double dd = static_cast<double>(dx * dx - dy * dy);
            const double xy = 2.0 * dx * dy;
            g4dd += g * g * dd * dd;
            g4xy += g * g * xy * xy;
        }
    }
    if (!(sum > 0))
        return m;
    const double mx = sx / sum, my = sy / sum;
    const double ixx = std::max(0.0, sxx / sum - mx * mx);
    const double iyy = std::max(0.0, syy / sum - my * my);
    const double ixy = sxy / sum - mx * my;
    const double half = (ixx + iyy) / 2;
    const double d = std::sqrt((ixx - iyy) * (ixx - iyy) / 4 + ixy * ixy);
    const double major = half + d;
    const double minor = std::max(0.0, half - d);
    m.elongation = std::sqrt((major + ROUNDING_VARIANCE) / (minor + ROUNDING_VARIANCE));
    const double differenceError = noise * std::sqrt((g4dd + g4xy) / 2) / sum;
    m.elongationError = differenceError / (2 * (half + ROUNDING_VARIANCE));
    // The window narrows a Gaussian of variance s2 to s2 w2 / (s2 + w2); undo that, up to
    // s2 = 4 w2 (beyond it the moments hardly depend on the width any more).
    const double w2 = windowSigma * windowSigma;
    if (half <= 0.8 * w2)
        m.fwhm = FWHM_PER_SIGMA * std::sqrt(half * w2 / (w2 - half));
    return m;
}

} // namespace

const char* vetStatusText(VetStatus status)
{
    switch (status) {
    case VetStatus::Ok:
        return "measured";
    case VetStatus::OutsideImage:
        return "too near the image edge to measure";
    case VetStatus::NoBackground:
        return "too few sky pixels around the position";
    case VetStatus::NoFlux:
        return "no signal above the local sky";
    }
    return "unknown vetting status";
}

VetStatus measureSourceShape(const FitsImage& image, double x, double y, const VetParams& params,
                             SourceShape* shape)
{
    int32_t ix = 0, iy = 0;
    if (!nearestPixel(x, y, &ix, &iy))
        return VetStatus::OutsideImage;
    // The brightest pixel of the 3 x 3 around (ix, iy) and its neighbours must be inside.
    if (ix < 2 || iy < 2 || ix > image.width - 3 || iy > image.height - 3)
        return VetStatus::OutsideImage;
    int32_t px = ix - 1, py = iy - 1;
    for (int32_t yy = iy - 1; yy <= iy + 1; ++yy) {
        for (int32_t xx = ix - 1; xx <= ix + 1; ++xx) {
            if (pixelAt(image, xx, yy) > pixelAt(image, px, py)) {
                px = xx;
                py = yy;
            }
        }
    }
    double background = 0, noise = 0;
    int32_t annulus = 0;
    if (!localSky(image, px, py, params, &background, &noise, &annulus))
        return VetStatus::NoBackground;
    const double peak = pixelAt(image, px, py) - background;
    if (!(peak > 0))
        return VetStatus::NoFlux;
    double neighbours = 0;
    for (int32_t dy = -1; dy <= 1; ++dy) {
        for (int32_t dx = -1; dx <= 1; ++dx) {
            if (dx != 0 || dy != 0)
                neighbours += pixelAt(image, px + dx, py + dy);
        }
    }
    const Moments moments = windowedMoments(image, px, py, background, noise, params.windowSigma);
    shape->peakX = px;
    shape->peakY = py;
    shape->background = background;
    shape->noise = noise;
    shape->skyPixels = annulus;
    shape->peak = peak;
    shape->snr = peak / noise;
    shape->sharpness = (neighbours / 8 - background) / peak;
    shape->fwhm = moments.fwhm;
    shape->elongation = moments.elongation;
    shape->elongationError = moments.elongationError;
    return VetStatus::Ok;
}

namespace {

// The nearest pixel (*ix, *iy) of (x, y) and the half-side *reach of the square that
// holds the aperture of radius there; false when that square leaves the image.
bool apertureSquare(const FitsImage& image, double x, double y, double radius, int32_t* ix,
                    int32_t* iy, int32_t* reach)
{
    if (!nearestPixel(x, y, ix, iy) || !(radius >= 0) || radius > 1e4)
        return false;
    *reach = static_cast<int32_t>(std::ceil(radius)) + 1;
    return *ix - *reach >= 0 && *iy - *reach >= 0 && *ix + *reach < image.width &&
           *iy + *reach < image.height;
}

// The aperture sum of measureApertureFlux around (x, y) with the sky already known.
VetStatus apertureWithSky(const FitsImage& image, double x, double y, double radius,
                          const VetParams& params, double background, double noise,
                          int32_t skyPixels, ApertureFlux* flux)
{
    int32_t ix = 0, iy = 0, reach = 0;
    if (!apertureSquare(image, x, y, radius, &ix, &iy, &reach))
        return VetStatus::OutsideImage;
    const double r2 = radius * radius;
    const double saturation = saturationOf(image, params);
    double sum = 0;
    int32_t count = 0;
    bool saturated = false;
    for (int32_t yy = iy - reach; yy <= iy + reach; ++yy) {
        for (int32_t xx = ix - reach; xx <= ix + reach; ++xx) {
            const double dx = xx - x, dy = yy - y;
            if (dx * dx + dy * dy > r2)
                continue;
            sum += despiked(image, xx, yy, background, noise);
            ++count;
            saturated = saturated || pixelAt(image, xx, yy) >= saturation;
        }
    }
    const double n = count;
    flux->background = background;
    flux->noise = noise;
    flux->flux = sum - n * background;
    flux->error = noise * std::sqrt(n + PI / 2 * n * n / skyPixels);
    flux->saturated = saturated;
    return VetStatus::Ok;
}

} // namespace

VetStatus measureApertureFlux(const FitsImage& image, double x, double y, double radius,
                              const VetParams& params, ApertureFlux* flux)
{
    int32_t ix = 0, iy = 0, reach = 0;
    if (!apertureSquare(image, x, y, radius, &ix, &iy, &reach))
        return VetStatus::OutsideImage;
    double background = 0, noise = 0;
    int32_t annulus = 0;
    if (!localSky(image, ix, iy, params, &background, &noise, &annulus))
        return VetStatus::NoBackground;
    return apertureWithSky(image, x, y, radius, params, background, noise, annulus, flux);
}

void indexReferenceStars(const StarList& stars, ReferenceStarIndex* index)
{
    const size_t n = std::min({stars.x.size(), stars.y.size(), stars.peak.size()});
    const bool values = stars.peakValue.size() >= n;
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return stars.y[a] < stars.y[b]; });
    ReferenceStarIndex sorted;
    sorted.x.reserve(n);
    sorted.y.reserve(n);
    sorted.peak.reserve(n);
    for (size_t i : order) {
        if (!std::isfinite(stars.x[i]) || !std::isfinite(stars.y[i]))
            continue;
        sorted.x.push_back(stars.x[i]);
        sorted.y.push_back(stars.y[i]);
        sorted.peak.push_back(values ? static_cast<double>(stars.peakValue[i]) : stars.peak[i]);
    }
    *index = std::move(sorted);
}

void measureStarStatistics(const FitsImage& test, const FitsImage& reference,
                           const std::vector<MatchedStar>& stars, const VetParams& params,
                           StarStatistics* statistics)
{
    const size_t limit = static_cast<size_t>(std::max(params.maximumStars, 1));
    const size_t step = stars.empty() ? 1 : (stars.size() + limit - 1) / limit;
    std::vector<double> sharpness, elongation, fwhm;
    std::vector<const MatchedStar*> bright;
    std::vector<SourceShape> brightShapes;
    const double reach = noDataReach(params);
    for (size_t i = 0; i < stars.size(); i += step) {
        if (noDataNear(test, stars[i].x, stars[i].y, reach) ||
            noDataNear(reference, stars[i].referenceX, stars[i].referenceY, reach))
            continue;
        SourceShape shape;
        if (measureSourceShape(test, stars[i].x, stars[i].y, params, &shape) != VetStatus::Ok)
            continue;
        if (!(shape.snr >= params.starMinimumSnr) ||
            shape.peak + shape.background >= saturationOf(test, params))
            continue;
        sharpness.push_back(shape.sharpness);
        elongation.push_back(shape.elongation);
        if (std::isfinite(shape.fwhm))
            fwhm.push_back(shape.fwhm);
        bright.push_back(&stars[i]);
        brightShapes.push_back(shape);
    }
    StarStatistics s;
    s.count = static_cast<int32_t>(sharpness.size());
    s.apertureRadius = params.minimumAperture;
    if (s.count < params.minimumStars) {
        s.sharpnessMedian = s.sharpnessSpread = NOT_A_NUMBER;
        s.elongationMedian = s.elongationSpread = NOT_A_NUMBER;
        s.fwhmMedian = NOT_A_NUMBER;
        s.fluxScale = NOT_A_NUMBER;
        *statistics = s;
        return;
    }
    robustCentre(&sharpness, &s.sharpnessMedian, &s.sharpnessSpread);
    robustCentre(&elongation, &s.elongationMedian, &s.elongationSpread);
    s.fwhmMedian = medianOf(fwhm, MedianSide::Lower, NOT_A_NUMBER);
    if (std::isfinite(s.fwhmMedian))
        s.apertureRadius = std::max(params.minimumAperture, params.apertureFwhm * s.fwhmMedian);

    std::vector<double> ratios;
    for (size_t k = 0; k < bright.size(); ++k) {
        const MatchedStar* star = bright[k];
        const SourceShape& shape = brightShapes[k];
        ApertureFlux t, r;
        if (apertureWithSky(test, star->x, star->y, s.apertureRadius, params, shape.background,
                            shape.noise, shape.skyPixels, &t) != VetStatus::Ok ||
            measureApertureFlux(reference, star->referenceX, star->referenceY, s.apertureRadius,
                                params, &r) != VetStatus::Ok)
            continue;
        if (t.saturated || r.saturated || !(t.flux >= params.starMinimumSnr * t.error) ||
            !(r.flux >= params.starMinimumSnr * r.error))
            continue;
        ratios.push_back(t.flux / r.flux);
    }
    s.scaleCount = static_cast<int32_t>(ratios.size());
    s.fluxScale = s.scaleCount >= params.minimumStars
                      ? medianOf(ratios, MedianSide::Lower, NOT_A_NUMBER)
                      : NOT_A_NUMBER;
    *statistics = s;
}

void vetCandidate(const FitsImage& test, const FitsImage& reference,
                  const ReferenceStarIndex& referenceStars, const StarStatistics& statistics,
                  const CandidatePosition& candidate, const VetParams& params,
                  CandidateVetting* vetting)
{
    CandidateVetting v;
    v.x = candidate.x;
    v.y = candidate.y;
    v.nearestStarDistance = NOT_A_NUMBER;
    v.nearestStarPeak = NOT_A_NUMBER;
    const double radius =
        statistics.apertureRadius > 0 ? statistics.apertureRadius : params.minimumAperture;
    v.measured =
        measureSourceShape(test, candidate.x, candidate.y, params, &v.shape) == VetStatus::Ok &&
        apertureWithSky(test, candidate.x, candidate.y, radius, params, v.shape.background,
                        v.shape.noise, v.shape.skyPixels, &v.testFlux) == VetStatus::Ok;
    if (!v.measured) {
        v.shape = SourceShape{};
        v.testFlux = ApertureFlux{};
    }

    if (candidate.hasReference) {
        v.hasReference = true;
        v.referenceX = candidate.referenceX;
        v.referenceY = candidate.referenceY;
        v.referenceMeasured =
            measureApertureFlux(reference, candidate.referenceX, candidate.referenceY, radius,
                                params, &v.referenceFlux) == VetStatus::Ok;
        if (v.referenceMeasured)
            v.referenceSnr = v.referenceFlux.flux / v.referenceFlux.error;
        else
            v.referenceFlux = ApertureFlux{};

        // Saturated reference pixels near the position, inside the reference; a lone
        // saturated pixel (a hot pixel or a hit) is no saturated star.
        const double skyLevel = v.referenceMeasured ? v.referenceFlux.background : 0;
        const double skyNoise = v.referenceMeasured ? v.referenceFlux.noise : 0;
        const double fwhm = std::isfinite(statistics.fwhmMedian) ? statistics.fwhmMedian : 0;
        const double satRadius = std::min(
            std::max(params.saturationMinimum, params.saturationFwhm * fwhm), MAXIMUM_REACH);
        int32_t ix = 0, iy = 0;
        const double saturation = saturationOf(reference, params);
        if (satRadius >= 0 && nearestPixel(candidate.referenceX, candidate.referenceY, &ix, &iy)) {
            const int32_t reach = static_cast<int32_t>(std::ceil(satRadius)) + 1;
            for (int32_t yy = iy - reach; yy <= iy + reach && !v.referenceSaturated; ++yy) {
                for (int32_t xx = ix - reach; xx <= ix + reach; ++xx) {
                    if (xx < 0 || yy < 0 || xx >= reference.width || yy >= reference.height)
                        continue;
                    const double dx = xx - candidate.referenceX, dy = yy - candidate.referenceY;
                    if (dx * dx + dy * dy <= satRadius * satRadius &&
                        pixelAt(reference, xx, yy) >= saturation &&
                        despiked(reference, xx, yy, skyLevel, skyNoise) >= saturation) {
                        v.referenceSaturated = true;
                        break;
                    }
                }
            }
        }

        // Outward from the candidate's row in both directions until the row difference
        // alone exceeds the best distance; ties go to the star earlier in the index.
        const std::vector<double>& ys = referenceStars.y;
        const size_t n = std::min({referenceStars.x.size(), ys.size(), referenceStars.peak.size()});
        const size_t start = static_cast<size_t>(
            std::lower_bound(ys.begin(), ys.begin() + static_cast<std::ptrdiff_t>(n),
                             candidate.referenceY) -
            ys.begin());
        double best = std::numeric_limits<double>::infinity();
        size_t bestIndex = n;
        const auto consider = [&](size_t i) {
            const double dx = referenceStars.x[i] - candidate.referenceX;
            const double dy = ys[i] - candidate.referenceY;
            const double d2 = dx * dx + dy * dy;
            if (d2 < best || (d2 == best && i < bestIndex)) {
                best = d2;
                bestIndex = i;
            }
        };
        for (size_t i = start; i < n; ++i) {
            const double dy = ys[i] - candidate.referenceY;
            if (dy * dy > best)
                break;
            consider(i);
        }
        for (size_t i = start; i-- > 0;) {
            const double dy = ys[i] - candidate.referenceY;
            if (dy * dy > best)
                break;
            consider(i);
        }
        if (bestIndex < n) {
            v.nearestStarDistance = std::sqrt(best);
            v.nearestStarPeak = referenceStars.peak[bestIndex];
        }
    }

    if (v.measured && statistics.count >= params.minimumStars) {
        const SourceShape& s = v.shape;
        const double sharpError = s.noise * std::sqrt(1.0 / 8 + s.sharpness * s.sharpness) / s.peak;
        const double sharpLimit = statistics.sharpnessMedian -
                                  params.sharpSpreads * std::sqrt(statistics.sharpnessSpread *
                                                                      statistics.sharpnessSpread +
                                                                  sharpError * sharpError);
        if (s.sharpness < sharpLimit)
            v.reasons |= VET_SHARP;
        const double elongationLimit =
            statistics.elongationMedian +
            params.elongationSpreads *
                std::sqrt(statistics.elongationSpread * statistics.elongationSpread +
                          s.elongationError * s.elongationError);
        if (s.elongation > elongationLimit)
            v.reasons |= VET_ELONGATED;
    }
    if (v.referenceSaturated)
        v.reasons |= VET_SATURATED_REFERENCE;
    const double reach = std::max(noDataReach(params), radius + 1);
    if (noDataNear(test, candidate.x, candidate.y, reach) ||
        (candidate.hasReference &&
         noDataNear(reference, candidate.referenceX, candidate.referenceY, reach)))
        v.reasons |= VET_NO_DATA;
    if (v.referenceMeasured && v.referenceSnr >= params.referenceSnr) {
        // Without a flux scale every significant reference source counts.
        const bool brightened = v.measured && std::isfinite(statistics.fluxScale) &&
                                v.testFlux.flux >= params.brighteningFactor * statistics.fluxScale *
                                                       v.referenceFlux.flux;
        if (!brightened)
            v.reasons |= VET_IN_REFERENCE;
    }
    *vetting = v;
}

std::string vetReasonText(uint32_t reasons)
{
    static const char* const WORDS[] = {"sharp", "elongated", "saturated-reference", "in-reference",
                                        "no-data"};
    return flagWords(reasons, WORDS, std::size(WORDS));
}

} // namespace newstars
