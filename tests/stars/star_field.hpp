#pragma once
// Synthetic star fields for the star-finder tests and benchmarks: Gaussian stars on a
// noisy sky, made deterministically from a seed.

#include <algorithm>
#include <cmath>
#include <cstdint>

// A small, fixed pseudo-random generator (xorshift64*), the same on every platform.
struct FieldRandom {
    uint64_t state;
};

inline double nextUniform(FieldRandom* random)
{
    random->state ^= random->state >> 12;
    random->state ^= random->state << 25;
    random->state ^= random->state >> 27;
    return static_cast<double>((random->state * 2685821657736338717ull) >> 11) * 0x1.0p-53;
}

// Adds amplitude * exp(-r^2 / (2 sigma^2)), rounded to nearest, to the pixels within
// 5 sigma of (cx, cy); sums above 65535 saturate.
inline void addGaussianStar(uint16_t* image, int width, int height, double cx, double cy,
                            double amplitude, double sigma)
{
    const int reach = static_cast<int>(std::ceil(5 * sigma));
    const int x0 = std::max(0, static_cast<int>(cx) - reach),
              x1 = std::min(width - 1, static_cast<int>(cx) + reach);
    const int y0 = std::max(0, static_cast<int>(cy) - reach),
              y1 = std::min(height - 1, static_cast<int>(cy) + reach);
    for (int y = y0; y <= y1; ++y) {
        for (int x = x0; x <= x1; ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            const double add = std::floor(amplitude * std::exp(-r2 / (2 * sigma * sigma)) + 0.5);
            uint16_t& pixel = image[static_cast<size_t>(y) * width + x];
            pixel = static_cast<uint16_t>(std::min(65535.0, pixel + add));
        }
    }
}

// Fills the image with a sky of 1000 plus noise of about 10 counts, then adds starCount
// stars at random positions, with peaks from about 100 to 60000 (most of them faint,
// a few saturated) and widths sigma 1.1 to 1.9 pixels, and a hot pixel per 10 stars.
inline void makeStarField(uint16_t* image, int width, int height, int starCount, uint64_t seed)
{
    FieldRandom random{seed * 0x9E3779B97F4A7C15ull + 1};
    const size_t n = static_cast<size_t>(width) * height;
    for (size_t i = 0; i < n; ++i) {
        const double noise =
            (nextUniform(&random) + nextUniform(&random) + nextUniform(&random) - 1.5) * 20;
        image[i] = static_cast<uint16_t>(1000 + std::lround(noise));
    }
    for (int s = 0; s < starCount; ++s) {
        const double x = nextUniform(&random) * width, y = nextUniform(&random) * height;
        const double amplitude = 100 * std::pow(700.0, nextUniform(&random) * nextUniform(&random));
        const double sigma = 1.1 + 0.8 * nextUniform(&random);
        addGaussianStar(image, width, height, x, y, amplitude, sigma);
        if (s % 10 == 0) {
            const auto hx = static_cast<size_t>(nextUniform(&random) * width);
            const auto hy = static_cast<size_t>(nextUniform(&random) * height);
            image[hy * width + hx] = 40000;
        }
    }
}
