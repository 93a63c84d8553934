#include "diff/saturated.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

namespace newstars {

namespace {

double medianOf(std::vector<double>* values)
{
    if (values->empty())
        return std::numeric_limits<double>::quiet_NaN();
    const size_t half = values->size() / 2;
    std::nth_element(values->begin(), values->begin() + static_cast<std::ptrdiff_t>(half),
                     values->end());
    double m = (*values)[half];
    if (values->size() % 2 == 0) {
        m = (m + *std::max_element(values->begin(),
                                   values->begin() + static_cast<std::ptrdiff_t>(half))) /
            2;
    }
    return m;
}

// Measures one group (its pixel indices) into *core: centroid, moments, the rings around
// it in a box 2 pixels wider on each side, and the flags of the pixels beside it.
template <typename Pixel>
void measureCore(const std::vector<size_t>& group, const Pixel* test, const uint8_t* noData,
                 int32_t width, int32_t height, double saturation, const std::vector<uint8_t>& mask,
                 SaturatedCore* core)
{
    int32_t x0 = width, y0 = height, x1 = -1, y1 = -1;
    double sx = 0, sy = 0;
    for (size_t i : group) {
        const int32_t x = static_cast<int32_t>(i % static_cast<size_t>(width));
        const int32_t y = static_cast<int32_t>(i / static_cast<size_t>(width));
        x0 = std::min(x0, x);
        x1 = std::max(x1, x);
        y0 = std::min(y0, y);
        y1 = std::max(y1, y);
        sx += x;
        sy += y;
    }
    const double count = static_cast<double>(group.size());
    core->pixels = static_cast<int32_t>(group.size());
    core->x = sx / count;
    core->y = sy / count;
    double xx = 0, yy = 0, xy = 0;
    for (size_t i : group) {
        const double dx = static_cast<double>(i % static_cast<size_t>(width)) - core->x;
        const double dy = static_cast<double>(i / static_cast<size_t>(width)) - core->y;
        xx += dx * dx;
        yy += dy * dy;
        xy += dx * dy;
    }
    core->xx = xx / count;
    core->yy = yy / count;
    core->xy = xy / count;

    // Chessboard distance from the group, 0 to 2, in the box around it (3: farther).
    const int32_t bx0 = x0 - 2, by0 = y0 - 2;
    const int32_t bw = x1 - x0 + 5, bh = y1 - y0 + 5;
    std::vector<uint8_t> distance(static_cast<size_t>(bw) * static_cast<size_t>(bh), 3);
    for (size_t i : group) {
        const int32_t x = static_cast<int32_t>(i % static_cast<size_t>(width)) - bx0;
        const int32_t y = static_cast<int32_t>(i / static_cast<size_t>(width)) - by0;
        distance[static_cast<size_t>(y) * bw + x] = 0;
    }
    for (uint8_t d = 1; d <= 2; ++d) {
        for (int32_t y = 0; y < bh; ++y) {
            for (int32_t x = 0; x < bw; ++x) {
                uint8_t& here = distance[static_cast<size_t>(y) * bw + x];
                if (here <= d)
                    continue;
                for (int32_t v = std::max(y - 1, 0); v <= std::min(y + 1, bh - 1); ++v) {
                    for (int32_t u = std::max(x - 1, 0); u <= std::min(x + 1, bw - 1); ++u) {
                        if (distance[static_cast<size_t>(v) * bw + u] == d - 1)
                            here = d;
                    }
                }
            }
        }
    }
    std::vector<double> ring1, ring2;
    for (int32_t y = 0; y < bh; ++y) {
        for (int32_t x = 0; x < bw; ++x) {
            const uint8_t d = distance[static_cast<size_t>(y) * bw + x];
            if (d > 2)
                continue;
            const int32_t ix = x + bx0, iy = y + by0;
            if (ix < 0 || iy < 0 || ix >= width || iy >= height) {
                if (d <= 1)
                    core->noData = true;
                continue;
            }
            const size_t i = static_cast<size_t>(iy) * static_cast<size_t>(width) + ix;
            const bool missing = noData != nullptr && noData[i] != 0;
            if (d <= 1) {
                core->noData = core->noData || missing;
                core->referenceSaturated = core->referenceSaturated ||
                                           (!mask.empty() && (mask[i] & MASK_SATURATED) != 0);
            }
            if (d == 0 || missing || !(test[i] < saturation))
                continue;
            (d == 1 ? ring1 : ring2).push_back(test[i]);
        }
    }
    core->ring1 = medianOf(&ring1);
    core->ring2 = medianOf(&ring2);
}

template <typename Pixel>
DiffStatus findCores(const Pixel* test, const uint8_t* noData, int32_t width, int32_t height,
                     double saturation, const std::vector<uint8_t>& mask, int32_t maxPixels,
                     std::vector<SaturatedCore>* cores)
{
    const size_t n = width > 0 && height > 0
                         ? static_cast<size_t>(width) * static_cast<size_t>(height)
                         : 0;
    if (test == nullptr || n == 0 || std::isnan(saturation) || maxPixels < 1 ||
        (!mask.empty() && mask.size() != n))
        return DiffStatus::BadInput;
    try {
        std::vector<SaturatedCore> found;
        // The saturated pixels, in index order; a group grows by binary search among them.
        std::vector<size_t> saturated;
        for (size_t i = 0; i < n; ++i) {
            if (test[i] >= saturation && (noData == nullptr || noData[i] == 0))
                saturated.push_back(i);
        }
        std::vector<uint8_t> taken(saturated.size(), 0);
        std::vector<size_t> group;
        const size_t w = static_cast<size_t>(width);
        for (size_t start = 0; start < saturated.size(); ++start) {
            if (taken[start])
                continue;
            group.assign(1, saturated[start]);
            taken[start] = 1;
            for (size_t k = 0; k < group.size(); ++k) {
                const size_t i = group[k];
                const int32_t x = static_cast<int32_t>(i % w), y = static_cast<int32_t>(i / w);
                for (int32_t v = std::max(y - 1, 0); v <= std::min(y + 1, height - 1); ++v) {
                    for (int32_t u = std::max(x - 1, 0); u <= std::min(x + 1, width - 1); ++u) {
                        const size_t j = static_cast<size_t>(v) * w + static_cast<size_t>(u);
                        const auto at = std::lower_bound(saturated.begin(), saturated.end(), j);
                        if (at == saturated.end() || *at != j)
                            continue;
                        const size_t slot = static_cast<size_t>(at - saturated.begin());
                        if (!taken[slot]) {
                            taken[slot] = 1;
                            group.push_back(j);
                        }
                    }
                }
            }
            if (group.size() > static_cast<size_t>(maxPixels))
                continue;
            SaturatedCore core;
            measureCore(group, test, noData, width, height, saturation, mask, &core);
            found.push_back(core);
        }
        cores->swap(found);
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    return DiffStatus::Ok;
}

} // namespace

DiffStatus findSaturatedCores(const float* test, const uint8_t* noData, int32_t width,
                              int32_t height, double saturation, const std::vector<uint8_t>& mask,
                              int32_t maxPixels, std::vector<SaturatedCore>* cores)
{
    return findCores(test, noData, width, height, saturation, mask, maxPixels, cores);
}

DiffStatus findSaturatedCores(const uint16_t* test, int32_t width, int32_t height,
                              int32_t maxPixels, std::vector<SaturatedCore>* cores)
{
    return findCores(test, nullptr, width, height, 65535.0, {}, maxPixels, cores);
}

void addSaturatedSources(const std::vector<SaturatedCore>& cores, const FloatImage& difference,
                         const FloatImage& variance, const FloatImage& reference,
                         const std::vector<uint8_t>& mask, const SaturatedSourceOptions& options,
                         const std::function<bool(double x, double y)>& inside,
                         std::vector<DifferenceSource>* sources)
{
    const int32_t width = difference.width, height = difference.height;
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    if (width <= 0 || height <= 0 || difference.pixels.size() != n ||
        variance.pixels.size() != n || reference.pixels.size() != n || mask.size() != n)
        return;
    const double room = options.saturation - options.testSky;
    const double twoSigma2 = 2 * options.psfSigma * options.psfSigma;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const SaturatedCore& core : cores) {
        if (core.referenceSaturated || core.noData || !(room > 0) || !(twoSigma2 > 0))
            continue;
        // A point spread clipped to a disc of the core's area has, 1 pixel out, its peak
        // times exp(-((r + 1)^2 - r^2) / 2 sigma^2) of the room above the sky.
        const double r0 = std::sqrt(core.pixels / M_PI);
        const double wing = room * std::exp(-(2 * r0 + 1) / twoSigma2);
        const double excess = core.ring1 - options.testSky;
        if (!(excess >= options.wingFraction * wing) || !(excess >= 3 * options.testSkySigma))
            continue;
        if (inside && !inside(core.x, core.y))
            continue;
        const double radius = r0 + 3 * options.differenceSigma + 1;
        const int32_t cx = static_cast<int32_t>(std::lround(core.x));
        const int32_t cy = static_cast<int32_t>(std::lround(core.y));
        const int32_t reach = static_cast<int32_t>(std::ceil(radius));
        double flux = 0, var = 0, referenceFlux = 0;
        for (int32_t y = std::max(cy - reach, 0); y <= std::min(cy + reach, height - 1); ++y) {
            for (int32_t x = std::max(cx - reach, 0); x <= std::min(cx + reach, width - 1); ++x) {
                const double dx = x - core.x, dy = y - core.y;
                if (dx * dx + dy * dy > radius * radius)
                    continue;
                const size_t i = static_cast<size_t>(y) * static_cast<size_t>(width) + x;
                if (mask[i] & (MASK_NO_DATA | MASK_EDGE))
                    continue;
                flux += difference.pixels[i];
                var += variance.pixels[i];
                referenceFlux += reference.pixels[i] - options.referenceBackground;
            }
        }
        const double error = std::sqrt(std::max(var, 0.0)) * options.noiseScale;
        if (!(error > 0) || !(flux >= options.threshold * error) ||
            !(flux >= options.brightening * std::max(referenceFlux, 0.0)))
            continue;
        DifferenceSource s;
        s.x = core.x;
        s.y = core.y;
        s.flux = flux;
        s.fluxError = error;
        s.snr = flux / error;
        s.peakSnr = s.snr;
        s.referenceFlux = referenceFlux;
        s.magnitudeChange = referenceFlux >= 3 * error
                                ? -2.5 * std::log10((referenceFlux + flux) / referenceFlux)
                                : nan;
        // Axis ratio of the core, each pixel a unit square (1/12 on each axis).
        const double a = core.xx + 1.0 / 12, b = core.yy + 1.0 / 12;
        const double root = std::sqrt((a - b) * (a - b) / 4 + core.xy * core.xy);
        const double major = (a + b) / 2 + root, minor = (a + b) / 2 - root;
        s.elongation = minor > 0 ? std::sqrt(major / minor) : nan;
        s.sharpness = nan;
        s.dipole = nan;
        s.saturated = true;
        // The clipped source's wings beyond the mask are its own, not other detections.
        const double clear = r0 + options.maskReach + 2;
        sources->erase(std::remove_if(sources->begin(), sources->end(),
                                      [&](const DifferenceSource& d) {
                                          const double dx = d.x - s.x, dy = d.y - s.y;
                                          return !d.saturated &&
                                                 dx * dx + dy * dy < clear * clear;
                                      }),
                       sources->end());
        const auto before = [](const DifferenceSource& p, const DifferenceSource& q) {
            const long py = std::lround(p.y), qy = std::lround(q.y);
            return py != qy ? py < qy : std::lround(p.x) < std::lround(q.x);
        };
        sources->insert(std::find_if(sources->begin(), sources->end(),
                                     [&](const DifferenceSource& d) { return before(s, d); }),
                        s);
    }
}

} // namespace newstars
