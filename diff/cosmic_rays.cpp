#include "diff/cosmic_rays.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>

namespace newstars {

namespace {

// Pixels (along each axis) around a saturated pixel that are never hits.
constexpr ptrdiff_t SATURATION_REACH = 5;

// The upper median of the first count values of buffer (reordered); count >= 1.
float upperMedian(float* buffer, size_t count)
{
    float* middle = buffer + count / 2;
    std::nth_element(buffer, middle, buffer + count);
    return *middle;
}

// The image being searched, and what every step needs to know about its pixels.
struct Frame {
    ptrdiff_t width = 0, height = 0;
    std::vector<float> values;    // this round's values (hits of earlier rounds replaced)
    std::vector<uint8_t> usable;  // 1: the value enters medians and Laplacians
    std::vector<uint8_t> eligible; // 1: may be a hit (3 x 3 usable, unsaturated, inside)
};

// Upper median of the usable values in the square of half side r around (x, y), cut at
// the image's edges; fallback when none is usable.
float squareMedian(const Frame& f, const float* plane, ptrdiff_t x, ptrdiff_t y, int r,
                   float* buffer, float fallback)
{
    size_t count = 0;
    for (ptrdiff_t v = std::max<ptrdiff_t>(0, y - r); v <= std::min(f.height - 1, y + r); ++v) {
        for (ptrdiff_t u = std::max<ptrdiff_t>(0, x - r); u <= std::min(f.width - 1, x + r);
             ++u) {
            const size_t at = static_cast<size_t>(v * f.width + u);
            if (f.usable[at])
                buffer[count++] = plane[at];
        }
    }
    return count > 0 ? upperMedian(buffer, count) : fallback;
}

// L+ of every pixel: the Laplacian of the image split 2 x 2, clipped at 0, averaged back.
// Pixels with an unusable pixel among themselves and their four neighbours get 0; outside
// the image a pixel's own value stands in for its missing neighbour.
void laplacianPlus(const Frame& f, std::vector<float>* out)
{
    const ptrdiff_t w = f.width, h = f.height;
    for (ptrdiff_t y = 0; y < h; ++y) {
        for (ptrdiff_t x = 0; x < w; ++x) {
            const size_t at = static_cast<size_t>(y * w + x);
            const size_t left = x > 0 ? at - 1 : at, right = x < w - 1 ? at + 1 : at;
            const size_t up = y > 0 ? at - static_cast<size_t>(w) : at;
            const size_t down = y < h - 1 ? at + static_cast<size_t>(w) : at;
            if (!f.usable[at] || !f.usable[left] || !f.usable[right] || !f.usable[up] ||
                !f.usable[down]) {
                (*out)[at] = 0;
                continue;
            }
            const double c2 = 2.0 * f.values[at];
            const double l = f.values[left], r = f.values[right];
            const double u = f.values[up], d = f.values[down];
            const double sum = std::max(c2 - l - u, 0.0) + std::max(c2 - r - u, 0.0) +
                               std::max(c2 - l - d, 0.0) + std::max(c2 - r - d, 0.0);
            (*out)[at] = static_cast<float>(sum / 4);
        }
    }
}

bool optionsValid(const CosmicRayOptions& o)
{
    const bool noiseless = std::isinf(o.gain) && o.readNoise == 0;
    return std::isfinite(o.sigmaClip) && o.sigmaClip > 0 && std::isfinite(o.sigmaFraction) &&
           o.sigmaFraction > 0 && o.sigmaFraction <= 1 && std::isfinite(o.objectLimit) &&
           o.objectLimit >= 0 && o.iterations >= 1 && o.iterations <= 10 && o.gain > 0 &&
           std::isfinite(o.readNoise) && o.readNoise >= 0 && !noiseless &&
           !std::isnan(o.saturation) && o.bandRows >= 0;
}

// Rows beyond which nothing reaches a pixel's hits in the given number of rounds: the
// saturation reach and the eligibility square (6) before the first round, and per round
// at most the candidate test (4 rows of values), two growth steps (2), the cleaning's
// median (2) and the spread of the rows the cleaning changed (6); rounded up.
ptrdiff_t bandMargin(int iterations)
{
    return 8 + 16 * static_cast<ptrdiff_t>(iterations);
}

// findCosmicRays on the whole of a width x height image (sizes checked by the caller).
DiffStatus findInImage(const float* values, const uint8_t* exclude, int32_t width, int32_t height,
                       const CosmicRayOptions& options, std::vector<uint8_t>* hits,
                       int64_t* count)
{
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    const size_t n = w * h;
    std::vector<uint8_t> found;
    int64_t total = 0;
    try {
        Frame f;
        f.width = width;
        f.height = height;
        f.values.assign(values, values + n);
        f.usable.assign(n, 1);
        std::vector<uint8_t> bright(n, 0); // saturated
        for (size_t i = 0; i < n; ++i) {
            if (exclude != nullptr && exclude[i] != 0) {
                f.usable[i] = 0;
                continue;
            }
            if (!std::isfinite(f.values[i]))
                return DiffStatus::BadInput;
            bright[i] = f.values[i] >= options.saturation ? 1 : 0;
        }
        const ptrdiff_t pw = width, ph = height;
        // A saturated core's flat top and steep rim look sharp: its surroundings out to
        // SATURATION_REACH pixels are left alone (the square around it, by rows then
        // columns).
        for (int pass = 0; pass < 2; ++pass) {
            const ptrdiff_t step = pass == 0 ? 1 : pw, lines = pass == 0 ? ph : pw;
            const ptrdiff_t length = pass == 0 ? pw : ph, stride = pass == 0 ? pw : 1;
            std::vector<uint8_t> line(static_cast<size_t>(length));
            for (ptrdiff_t l = 0; l < lines; ++l) {
                uint8_t* start = bright.data() + l * stride;
                for (ptrdiff_t k = 0; k < length; ++k)
                    line[static_cast<size_t>(k)] = start[k * step];
                for (ptrdiff_t k = 0; k < length; ++k) {
                    if (!line[static_cast<size_t>(k)])
                        continue;
                    for (ptrdiff_t d = std::max<ptrdiff_t>(0, k - SATURATION_REACH);
                         d <= std::min(length - 1, k + SATURATION_REACH); ++d)
                        start[d * step] = 1;
                }
            }
        }
        f.eligible.assign(n, 0);
        for (ptrdiff_t y = 1; y < ph - 1; ++y) {
            for (ptrdiff_t x = 1; x < pw - 1; ++x) {
                bool ok = !bright[static_cast<size_t>(y * pw + x)];
                for (ptrdiff_t dy = -1; dy <= 1 && ok; ++dy)
                    for (ptrdiff_t dx = -1; dx <= 1 && ok; ++dx)
                        ok = f.usable[static_cast<size_t>((y + dy) * pw + x + dx)] != 0;
                f.eligible[static_cast<size_t>(y * pw + x)] = ok ? 1 : 0;
            }
        }
        std::vector<uint8_t>().swap(bright);

        // Every quantity below is computed where it is first needed and kept: most pixels
        // are ruled out by a bound before any median is taken.
        const double readVariance = options.readNoise * options.readNoise;
        const double perGain = 1 / options.gain; // 0 for an infinite gain
        float buffer[49];
        // The noise from the first round's 5 x 5 median (-1: not yet), and a lower bound
        // of it from the square's least usable value.
        std::vector<float> noise(n, -1.0f), noiseFloor(n);
        {
            std::vector<float> rowLeast(n);
            const float none = std::numeric_limits<float>::infinity();
            for (ptrdiff_t y = 0; y < ph; ++y)
                for (ptrdiff_t x = 0; x < pw; ++x) {
                    float least = none;
                    for (ptrdiff_t u = std::max<ptrdiff_t>(0, x - 2);
                         u <= std::min(pw - 1, x + 2); ++u) {
                        const size_t at = static_cast<size_t>(y * pw + u);
                        if (f.usable[at])
                            least = std::min(least, f.values[at]);
                    }
                    rowLeast[static_cast<size_t>(y * pw + x)] = least;
                }
            for (ptrdiff_t y = 0; y < ph; ++y)
                for (ptrdiff_t x = 0; x < pw; ++x) {
                    float least = none;
                    for (ptrdiff_t v = std::max<ptrdiff_t>(0, y - 2);
                         v <= std::min(ph - 1, y + 2); ++v)
                        least = std::min(least, rowLeast[static_cast<size_t>(v * pw + x)]);
                    const double m = least == none ? 0.0 : std::max<double>(least, 0.0);
                    noiseFloor[static_cast<size_t>(y * pw + x)] =
                        static_cast<float>(std::sqrt(m * perGain + readVariance));
                }
        }
        const float* first = values; // the first round's image, for the noise
        const auto noiseAt = [&](ptrdiff_t x, ptrdiff_t y) {
            const size_t at = static_cast<size_t>(y * pw + x);
            if (noise[at] < 0) {
                const float m5 = f.usable[at] ? squareMedian(f, first, x, y, 2, buffer, 0) : 0;
                noise[at] = static_cast<float>(
                    std::sqrt(std::max(static_cast<double>(m5), 0.0) * perGain + readVariance));
            }
            return noise[at];
        };

        found.assign(n, 0);
        std::vector<float> lplus(n), s(n), sPrime(n), m3(n);
        std::vector<uint8_t> stage(n);
        const float unknown = std::numeric_limits<float>::quiet_NaN();
        const double low = options.sigmaFraction * options.sigmaClip;
        std::fill(s.begin(), s.end(), unknown);
        std::fill(sPrime.begin(), sPrime.end(), unknown);
        std::fill(m3.begin(), m3.end(), unknown);
        // After the first round only the surroundings of the pixels the cleaning changed
        // can give new hits: L+ and m3 change within 1 pixel of them, S' within 3, the fine
        // structure within 4, and growth reaches 2 further. Elsewhere every value kept
        // from the earlier round is still exact, and every candidate already found.
        constexpr ptrdiff_t REACH = 6;
        std::vector<uint8_t> active; // empty: every pixel
        std::vector<size_t> changed;
        for (int round = 0; round < options.iterations; ++round) {
            laplacianPlus(f, &lplus);
            for (size_t at : changed) {
                const ptrdiff_t x = static_cast<ptrdiff_t>(at % w), y = static_cast<ptrdiff_t>(at / w);
                for (ptrdiff_t v = std::max<ptrdiff_t>(0, y - REACH);
                     v <= std::min(ph - 1, y + REACH); ++v)
                    for (ptrdiff_t u = std::max<ptrdiff_t>(0, x - REACH);
                         u <= std::min(pw - 1, x + REACH); ++u) {
                        const size_t near = static_cast<size_t>(v * pw + u);
                        const ptrdiff_t d = std::max(std::abs(u - x), std::abs(v - y));
                        active[near] = 1;
                        if (d <= 3)
                            sPrime[near] = unknown;
                        if (d <= 1)
                            s[near] = m3[near] = unknown;
                    }
            }
            const auto sAt = [&](ptrdiff_t x, ptrdiff_t y) {
                const size_t at = static_cast<size_t>(y * pw + x);
                if (std::isnan(s[at])) {
                    const double nz = noiseAt(x, y);
                    s[at] = nz > 0 ? static_cast<float>(lplus[at] / (2.0 * nz)) : 0.0f;
                }
                return s[at];
            };
            // S' of an eligible pixel, or 0 where S (hence S', S being >= 0 everywhere)
            // cannot exceed limit; the noise floor bounds S from above.
            const auto sPrimeAbove = [&](ptrdiff_t x, ptrdiff_t y, double limit) -> float {
                const size_t at = static_cast<size_t>(y * pw + x);
                if (!f.eligible[at])
                    return 0;
                if (!std::isnan(sPrime[at]))
                    return sPrime[at];
                // (The margin covers S's rounding to float.)
                if (!(noiseFloor[at] > 0) ||
                    lplus[at] / (2.0 * noiseFloor[at]) > limit * (1 - 1e-6)) {
                    if (sAt(x, y) > low) {
                        float window[25];
                        size_t k = 0;
                        for (ptrdiff_t v = std::max<ptrdiff_t>(0, y - 2);
                             v <= std::min(ph - 1, y + 2); ++v)
                            for (ptrdiff_t u = std::max<ptrdiff_t>(0, x - 2);
                                 u <= std::min(pw - 1, x + 2); ++u)
                                if (f.usable[static_cast<size_t>(v * pw + u)])
                                    window[k++] = sAt(u, v);
                        sPrime[at] = s[at] - (k > 0 ? upperMedian(window, k) : 0.0f);
                        return sPrime[at];
                    }
                    sPrime[at] = 0;
                    return 0;
                }
                return 0; // not kept: a lower limit may need it computed
            };
            const auto m3At = [&](ptrdiff_t x, ptrdiff_t y) {
                const size_t at = static_cast<size_t>(y * pw + x);
                if (std::isnan(m3[at]))
                    m3[at] = squareMedian(f, f.values.data(), x, y, 1, buffer, 0);
                return m3[at];
            };
            // Candidates: S' above the clip and above objectLimit times the fine structure.
            std::fill(stage.begin(), stage.end(), 0);
            for (ptrdiff_t y = 1; y < ph - 1; ++y) {
                for (ptrdiff_t x = 1; x < pw - 1; ++x) {
                    const size_t at = static_cast<size_t>(y * pw + x);
                    if (!active.empty() && !active[at])
                        continue;
                    const float sp = sPrimeAbove(x, y, options.sigmaClip);
                    if (!(sp > options.sigmaClip))
                        continue;
                    // m3 over the 7 x 7 square, then its median.
                    float m3s[49];
                    size_t k = 0;
                    for (ptrdiff_t v = std::max<ptrdiff_t>(0, y - 3);
                         v <= std::min(ph - 1, y + 3); ++v)
                        for (ptrdiff_t u = std::max<ptrdiff_t>(0, x - 3);
                             u <= std::min(pw - 1, x + 3); ++u)
                            if (f.usable[static_cast<size_t>(v * pw + u)])
                                m3s[k++] = m3At(u, v);
                    const double m7 = upperMedian(m3s, k);
                    const double fine =
                        std::max((m3At(x, y) - m7) / static_cast<double>(noiseAt(x, y)), 0.01);
                    if (sp / fine > options.objectLimit)
                        stage[at] = 1;
                }
            }
            // Growth: neighbours above the clip, then their neighbours above the lower limit.
            for (int step = 0; step < 2; ++step) {
                const double limit = step == 0 ? options.sigmaClip : low;
                std::vector<uint8_t> grown(stage);
                for (ptrdiff_t y = 1; y < ph - 1; ++y) {
                    for (ptrdiff_t x = 1; x < pw - 1; ++x) {
                        if (!stage[static_cast<size_t>(y * pw + x)])
                            continue;
                        for (ptrdiff_t dy = -1; dy <= 1; ++dy)
                            for (ptrdiff_t dx = -1; dx <= 1; ++dx) {
                                const size_t next = static_cast<size_t>((y + dy) * pw + x + dx);
                                if (sPrimeAbove(x + dx, y + dy, limit) > limit)
                                    grown[next] = 1;
                            }
                    }
                }
                stage.swap(grown);
            }
            int64_t added = 0;
            for (size_t i = 0; i < n; ++i) {
                if (stage[i] && !found[i]) {
                    found[i] = 1;
                    ++added;
                }
            }
            total += added;
            if (added == 0 || round + 1 == options.iterations)
                break;
            // Every hit so far replaced by the median of its square's other usable pixels
            // (in place: those medians read no hit).
            changed.clear();
            for (ptrdiff_t y = 0; y < ph; ++y) {
                for (ptrdiff_t x = 0; x < pw; ++x) {
                    const size_t at = static_cast<size_t>(y * pw + x);
                    if (!found[at])
                        continue;
                    size_t k = 0;
                    for (ptrdiff_t v = std::max<ptrdiff_t>(0, y - 2);
                         v <= std::min(ph - 1, y + 2); ++v)
                        for (ptrdiff_t u = std::max<ptrdiff_t>(0, x - 2);
                             u <= std::min(pw - 1, x + 2); ++u) {
                            const size_t near = static_cast<size_t>(v * pw + u);
                            if (f.usable[near] && !found[near])
                                buffer[k++] = f.values[near];
                        }
                    if (k == 0)
                        continue;
                    const float median = upperMedian(buffer, k);
                    if (median != f.values[at])
                        changed.push_back(at);
                    f.values[at] = median;
                }
            }
            active.assign(n, 0);
        }
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    hits->swap(found);
    if (count != nullptr)
        *count = total;
    return DiffStatus::Ok;
}

} // namespace

DiffStatus findCosmicRays(const float* values, const uint8_t* exclude, int32_t width,
                          int32_t height, const CosmicRayOptions& options,
                          std::vector<uint8_t>* hits, int64_t* count)
{
    if (values == nullptr || hits == nullptr || width < 8 || height < 8 || !optionsValid(options))
        return DiffStatus::BadInput;
    const size_t w = static_cast<size_t>(width), h = static_cast<size_t>(height);
    if (w > std::numeric_limits<size_t>::max() / sizeof(float) / h ||
        w * h > static_cast<size_t>(std::numeric_limits<ptrdiff_t>::max()))
        return DiffStatus::BadInput;
    const ptrdiff_t band = options.bandRows, margin = bandMargin(options.iterations);
    if (band == 0 || height <= band + margin)
        return findInImage(values, exclude, width, height, options, hits, count);
    // Each band searched with margin rows on either side (fewer at the image's edges), its
    // own rows' hits kept: those rows see exactly what they would in the whole image.
    std::vector<uint8_t> found;
    const int bands = static_cast<int>((height + band - 1) / band);
    std::vector<int64_t> counts(static_cast<size_t>(bands), 0);
    std::vector<DiffStatus> statuses(static_cast<size_t>(bands), DiffStatus::Ok);
    try {
        found.assign(w * h, 0);
    } catch (const std::bad_alloc&) {
        return DiffStatus::OutOfMemory;
    }
    runItems(options.threads, bands, [&](int b) {
        const ptrdiff_t y0 = static_cast<ptrdiff_t>(b) * band;
        const ptrdiff_t y1 = std::min<ptrdiff_t>(height, y0 + band);
        const ptrdiff_t from = std::max<ptrdiff_t>(0, y0 - margin);
        const ptrdiff_t to = std::min<ptrdiff_t>(height, y1 + margin);
        const size_t offset = static_cast<size_t>(from) * w;
        std::vector<uint8_t> part;
        if (DiffStatus s = findInImage(values + offset,
                                       exclude != nullptr ? exclude + offset : nullptr, width,
                                       static_cast<int32_t>(to - from), options, &part, nullptr);
            s != DiffStatus::Ok) {
            statuses[static_cast<size_t>(b)] = s;
            return;
        }
        const size_t first = static_cast<size_t>(y0 - from) * w;
        const size_t last = static_cast<size_t>(y1 - from) * w;
        std::copy(part.begin() + static_cast<ptrdiff_t>(first),
                  part.begin() + static_cast<ptrdiff_t>(last),
                  found.begin() + static_cast<ptrdiff_t>(static_cast<size_t>(y0) * w));
        for (size_t i = first; i < last; ++i)
            counts[static_cast<size_t>(b)] += part[i];
    });
    // The first band's failure, as the bands one after the other would give it.
    for (DiffStatus s : statuses) {
        if (s != DiffStatus::Ok)
            return s;
    }
    int64_t total = 0;
    for (int64_t c : counts)
        total += c;
    hits->swap(found);
    if (count != nullptr)
        *count = total;
    return DiffStatus::Ok;
}

int64_t dropHitsOnSources(std::vector<uint8_t>* hits, int32_t width, int32_t height,
                          const std::function<bool(int32_t x, int32_t y)>& onSource)
{
    if (hits == nullptr || width < 1 || height < 1 || !onSource ||
        static_cast<size_t>(width) > hits->size() / static_cast<size_t>(height) ||
        hits->size() != static_cast<size_t>(width) * static_cast<size_t>(height))
        return 0;
    const size_t w = static_cast<size_t>(width), n = hits->size();
    std::vector<uint8_t> seen(n, 0);
    std::vector<size_t> group, pending;
    int64_t cleared = 0;
    for (size_t start = 0; start < n; ++start) {
        if (!(*hits)[start] || seen[start])
            continue;
        group.clear();
        pending.assign(1, start);
        seen[start] = 1;
        bool source = false;
        while (!pending.empty()) {
            const size_t at = pending.back();
            pending.pop_back();
            group.push_back(at);
            const size_t x = at % w, y = at / w;
            source = source || onSource(static_cast<int32_t>(x), static_cast<int32_t>(y));
            for (size_t v = y > 0 ? y - 1 : 0; v <= std::min(y + 1, n / w - 1); ++v)
                for (size_t u = x > 0 ? x - 1 : 0; u <= std::min(x + 1, w - 1); ++u) {
                    const size_t next = v * w + u;
                    if ((*hits)[next] && !seen[next]) {
                        seen[next] = 1;
                        pending.push_back(next);
                    }
                }
        }
        if (!source)
            continue;
        for (size_t at : group)
            (*hits)[at] = 0;
        cleared += static_cast<int64_t>(group.size());
    }
    return cleared;
}

double pointSourceFineRatio(double psfSigma)
{
    if (!(psfSigma >= 0.3 && psfSigma <= 20))
        return 0;
    const int half = static_cast<int>(std::ceil(5 * psfSigma)) + 8;
    const int side = 2 * half + 1;
    const size_t n = static_cast<size_t>(side) * side;
    Frame f;
    f.width = f.height = side;
    f.values.assign(n, 0);
    f.usable.assign(n, 1);
    std::vector<float> lplus(n);
    float buffer[49];
    double best = 0;
    const double scale = 1 / (std::sqrt(2.0) * psfSigma);
    for (int sampled = 0; sampled <= 1; ++sampled)
    for (int i = 0; i <= 5; ++i) {
        for (int j = 0; j <= i; ++j) {
            const double cx = half + 0.1 * i, cy = half + 0.1 * j;
            // Each pixel's share of the flux: products of differences of error functions,
            // or of the profile at its centre.
            std::vector<double> fx(static_cast<size_t>(side)), fy(static_cast<size_t>(side));
            for (int k = 0; k < side; ++k) {
                if (sampled) {
                    fx[static_cast<size_t>(k)] = std::exp(-(k - cx) * (k - cx) * scale * scale);
                    fy[static_cast<size_t>(k)] = std::exp(-(k - cy) * (k - cy) * scale * scale);
                    continue;
                }
                fx[static_cast<size_t>(k)] =
                    0.5 * (std::erf((k + 0.5 - cx) * scale) - std::erf((k - 0.5 - cx) * scale));
                fy[static_cast<size_t>(k)] =
                    0.5 * (std::erf((k + 0.5 - cy) * scale) - std::erf((k - 0.5 - cy) * scale));
            }
            for (int y = 0; y < side; ++y)
                for (int x = 0; x < side; ++x)
                    f.values[static_cast<size_t>(y) * side + x] =
                        static_cast<float>(1e4 * fx[static_cast<size_t>(x)] *
                                           fy[static_cast<size_t>(y)]);
            laplacianPlus(f, &lplus);
            for (int y = half - 1; y <= half + 1; ++y) {
                for (int x = half - 1; x <= half + 1; ++x) {
                    const size_t at = static_cast<size_t>(y) * side + x;
                    const double sPrime =
                        (lplus[at] - squareMedian(f, lplus.data(), x, y, 2, buffer, 0)) / 2;
                    float m3s[49];
                    size_t k = 0;
                    float m3Here = 0;
                    for (int v = y - 3; v <= y + 3; ++v)
                        for (int u = x - 3; u <= x + 3; ++u) {
                            const float m3 = squareMedian(f, f.values.data(), u, v, 1, buffer, 0);
                            if (u == x && v == y)
                                m3Here = m3;
                            m3s[k++] = m3;
                        }
                    const double fine = m3Here - upperMedian(m3s, k);
                    if (fine > 0)
                        best = std::max(best, sPrime / fine);
                }
            }
        }
    }
    return best;
}

} // namespace newstars
