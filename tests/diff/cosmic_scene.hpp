#pragma once
// Test scenes for the cosmic-ray finder: a flat sky with photon and read noise, stars
// (pixel-integrated Gaussians) and hits of known pixels, and the score of a mask
// against them.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "diff/cosmic_rays.hpp"

struct SceneStar {
    double x = 0, y = 0, flux = 0;
};

struct CosmicScene {
    int32_t width = 0, height = 0;
    double psfSigma = 1, sky = 1000, gain = 2, readNoise = 4; // ADU, electrons per ADU
    std::vector<float> values;
    std::vector<uint8_t> hit; // 1 on every pixel a hit raised
    std::vector<SceneStar> stars;
};

inline double sceneNoise(const CosmicScene& s)
{
    return std::sqrt(s.sky / s.gain + s.readNoise * s.readNoise);
}

// Adds a noiseless star of the scene's width (its pixels' shares of the flux).
inline void addStar(CosmicScene* s, double x, double y, double flux)
{
    const double scale = 1 / (std::sqrt(2.0) * s->psfSigma);
    const int r = static_cast<int>(std::ceil(6 * s->psfSigma)) + 1;
    const int ix = static_cast<int>(std::lround(x)), iy = static_cast<int>(std::lround(y));
    for (int v = std::max(0, iy - r); v <= std::min(s->height - 1, iy + r); ++v) {
        const double fy = 0.5 * (std::erf((v + 0.5 - y) * scale) - std::erf((v - 0.5 - y) * scale));
        for (int u = std::max(0, ix - r); u <= std::min(s->width - 1, ix + r); ++u) {
            const double fx =
                0.5 * (std::erf((u + 0.5 - x) * scale) - std::erf((u - 0.5 - x) * scale));
            s->values[static_cast<size_t>(v) * s->width + u] += static_cast<float>(flux * fx * fy);
        }
    }
    s->stars.push_back({x, y, flux});
}

// A scene of isolated stars (peaks 10 to 1000 noise units) and hits of minLength to maxLength
// pixels (random walks between eight-neighbours, each pixel 30 to 300 noise units above
// what it held), kept 4 deviations + 4 pixels from every star and 8 pixels from the edges
// and from each other; noise drawn from the seed.
inline CosmicScene makeCosmicScene(int32_t width, int32_t height, double psfSigma, int stars,
                                   int hits, int minLength, int maxLength, unsigned seed)
{
    CosmicScene s;
    s.width = width;
    s.height = height;
    s.psfSigma = psfSigma;
    const size_t n = static_cast<size_t>(width) * height;
    s.values.assign(n, static_cast<float>(s.sky));
    s.hit.assign(n, 0);
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> unit(0, 1);
    const double noise = sceneNoise(s);
    const double peakShare = std::min(1.0, 1 / (2 * 3.14159265358979 * psfSigma * psfSigma));
    // Stars at least 8 deviations + 4 pixels apart: the fine-structure test takes a pair
    // closer than that for structure finer than a star, as the published method does.
    for (int k = 0, tries = 0; k < stars && tries < 100 * stars; ++tries) {
        const double x = 6 + unit(random) * (width - 12), y = 6 + unit(random) * (height - 12);
        bool apart = true;
        for (const SceneStar& star : s.stars)
            apart = apart && std::hypot(star.x - x, star.y - y) > 8 * psfSigma + 4;
        if (!apart)
            continue;
        ++k;
        const double peak = 10 * noise * std::exp(unit(random) * std::log(100.0));
        addStar(&s, x, y, peak / peakShare);
    }
    // Expected values drawn with photon and read noise.
    std::normal_distribution<double> normal(0, 1);
    for (float& v : s.values)
        v = static_cast<float>(v + std::sqrt(v / s.gain + s.readNoise * s.readNoise) *
                                       normal(random));
    const double clear = 4 * psfSigma + 4;
    std::vector<std::pair<int, int>> placed;
    for (int k = 0, tries = 0; k < hits && tries < 100 * hits; ++tries) {
        int x = 8 + static_cast<int>(unit(random) * (width - 16));
        int y = 8 + static_cast<int>(unit(random) * (height - 16));
        bool free = true;
        for (const SceneStar& star : s.stars)
            free = free && std::hypot(star.x - x, star.y - y) > clear + maxLength;
        for (const auto& [px, py] : placed)
            free = free && std::hypot(px - x, py - y) > 8 + 2 * maxLength;
        if (!free)
            continue;
        placed.emplace_back(x, y);
        ++k;
        const int length = minLength + static_cast<int>(unit(random) * (maxLength - minLength + 1));
        for (int p = 0; p < length; ++p) {
            const size_t at = static_cast<size_t>(y) * width + x;
            if (!s.hit[at]) {
                s.hit[at] = 1;
                s.values[at] += static_cast<float>(noise * (30 + 270 * unit(random)));
            }
            x = std::clamp(x + static_cast<int>(unit(random) * 3) - 1, 1, width - 2);
            y = std::clamp(y + static_cast<int>(unit(random) * 3) - 1, 1, height - 2);
        }
    }
    return s;
}

// The finder's settings for the scene's noise.
inline newstars::CosmicRayOptions sceneOptions(const CosmicScene& s)
{
    newstars::CosmicRayOptions o;
    o.gain = s.gain;
    o.readNoise = s.readNoise;
    o.saturation = std::numeric_limits<double>::infinity();
    return o;
}

struct MaskScore {
    double recall = 0;    // hit pixels flagged / hit pixels (1 when there are none)
    double precision = 0; // flagged pixels on or beside a hit / flagged (1 when none)
    int64_t onStars = 0;  // flagged pixels within 2 deviations + 1 pixel of a star
};

inline MaskScore scoreMask(const CosmicScene& s, const std::vector<uint8_t>& mask)
{
    int64_t hits = 0, found = 0, flagged = 0, near = 0;
    MaskScore score;
    for (int32_t y = 0; y < s.height; ++y) {
        for (int32_t x = 0; x < s.width; ++x) {
            const size_t at = static_cast<size_t>(y) * s.width + x;
            hits += s.hit[at];
            found += s.hit[at] && mask[at];
            if (!mask[at])
                continue;
            ++flagged;
            bool beside = false;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx) {
                    const int u = x + dx, v = y + dy;
                    beside = beside || (u >= 0 && v >= 0 && u < s.width && v < s.height &&
                                        s.hit[static_cast<size_t>(v) * s.width + u]);
                }
            near += beside;
            for (const SceneStar& star : s.stars)
                score.onStars += std::hypot(star.x - x, star.y - y) <= 2 * s.psfSigma + 1;
        }
    }
    score.recall = hits > 0 ? static_cast<double>(found) / hits : 1;
    score.precision = flagged > 0 ? static_cast<double>(near) / flagged : 1;
    return score;
}
