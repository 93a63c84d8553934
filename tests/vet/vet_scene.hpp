#pragma once
// A small synthetic test and reference pair for the vetting tests: a noisy sky, a grid of
// stars present in both images (the reference shifted and at half the flux), and room
// for the candidates each test puts in.

#include <cmath>
#include <cstdint>
#include <vector>

#include "fits/fits_image.hpp"
#include "stars/star_field.hpp"
#include "vet/vetting.hpp"

// Reference pixel position = test pixel position + this offset.
inline constexpr double SCENE_SHIFT_X = 3.5, SCENE_SHIFT_Y = -2.25;
inline constexpr int SCENE_SIZE = 400;

// Adds an elliptical Gaussian (deviations sx along x, sy along y) of the given peak at
// (cx, cy) to signal (SCENE_SIZE x SCENE_SIZE doubles).
inline void addSource(std::vector<double>* signal, double cx, double cy, double peak, double sx,
                      double sy)
{
    for (int y = std::max(0, static_cast<int>(cy) - 15);
         y <= std::min(SCENE_SIZE - 1, static_cast<int>(cy) + 15); ++y) {
        for (int x = std::max(0, static_cast<int>(cx) - 15);
             x <= std::min(SCENE_SIZE - 1, static_cast<int>(cx) + 15); ++x) {
            const double u = (x - cx) / sx, v = (y - cy) / sy;
            (*signal)[static_cast<size_t>(y) * SCENE_SIZE + x] +=
                peak * std::exp(-(u * u + v * v) / 2);
        }
    }
}

// Sky of 1000 plus noise of deviation 10 (sums of uniforms), rounded and clipped.
inline newstars::FitsImage digitize(const std::vector<double>& signal, uint64_t seed)
{
    newstars::FitsImage image;
    image.bitpix = 16;
    image.width = image.height = SCENE_SIZE;
    image.pixels.resize(signal.size());
    FieldRandom random{seed};
    for (size_t i = 0; i < signal.size(); ++i) {
        double noise = 0;
        for (int k = 0; k < 12; ++k)
            noise += nextUniform(&random);
        const double v = std::floor(1000 + signal[i] + 10 * (noise - 6) + 0.5);
        image.pixels[i] = static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
    }
    return image;
}

struct Scene {
    std::vector<double> testSignal, referenceSignal;
    std::vector<newstars::MatchedStar> stars;
    newstars::StarList referenceStars;
    Scene()
        : testSignal(static_cast<size_t>(SCENE_SIZE) * SCENE_SIZE),
          referenceSignal(testSignal.size())
    {
        // 36 stars on a grid along the left and bottom, peaks 1500 to 9000 in the test,
        // at varied sub-pixel phases, deviation 1.3 pixels in both images.
        FieldRandom random{77};
        for (int k = 0; k < 36; ++k) {
            const double x = 20 + (k % 6) * 30 + nextUniform(&random);
            const double y = 20 + (k / 6) * 30 + nextUniform(&random);
            const double peak = 1500 + 7500 * nextUniform(&random);
            addSource(&testSignal, x, y, peak, 1.3, 1.3);
            addSource(&referenceSignal, x + SCENE_SHIFT_X, y + SCENE_SHIFT_Y, peak / 2, 1.3, 1.3);
            stars.push_back({x, y, x + SCENE_SHIFT_X, y + SCENE_SHIFT_Y});
            referenceStars.x.push_back(x + SCENE_SHIFT_X);
            referenceStars.y.push_back(y + SCENE_SHIFT_Y);
            referenceStars.peak.push_back(static_cast<uint16_t>(1000 + peak / 2));
        }
    }
    newstars::CandidatePosition at(double x, double y) const
    {
        return {x, y, true, x + SCENE_SHIFT_X, y + SCENE_SHIFT_Y};
    }
};
