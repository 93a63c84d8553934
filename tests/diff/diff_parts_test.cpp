// Difference imaging: the pixel map, mask dilation, sky and noise estimates, sharp pixels
// and the detection's shape and dipole tests.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "diff/convolve.hpp"
#include "diff/detect.hpp"
#include "diff/diff_image.hpp"
#include "diff/pixel_map.hpp"

using namespace newstars;

namespace {

TEST(PixelMap, SamplesACubicMappingAndRefinesItOnStars)
{
    // A mapping with rotation, scale and a cubic distortion: a cubic map reproduces it.
    const PixelMapping exact = [](double x, double y, double* u, double* v) {
        const double s = (x - 500) / 1000, t = (y - 400) / 1000;
        *u = 20 + 0.99 * x - 0.02 * y + 3 * s * s * s - 2 * s * t;
        *v = -7 + 0.02 * x + 0.99 * y + 2 * t * t * t + s * s;
        return true;
    };
    PixelMap map;
    double error = 1;
    ASSERT_EQ(samplePixelMap(exact, 1000, 800, 3, &map, &error), DiffStatus::Ok);
    EXPECT_LT(error, 1e-9);
    double u = 0, v = 0, eu = 0, ev = 0;
    exact(123.4, 567.8, &eu, &ev);
    mapPosition(map, 123.4, 567.8, &u, &v);
    EXPECT_NEAR(u, eu, 1e-9);
    EXPECT_NEAR(v, ev, 1e-9);
    EXPECT_EQ(samplePixelMap([](double, double, double*, double*) { return false; }, 1000, 800, 3,
                             &map, &error),
              DiffStatus::MappingFailed);

    // Stars that sit 0.3 pixel right and a little rotated from the map, and one outlier.
    struct Case {
        int order;
        double dx, dy, rotation;
    };
    const Case cases[] = {{0, 0.3, -0.2, 0}, {1, 0.3, -0.2, 1e-4}};
    for (const Case& c : cases) {
        PixelMap refined = map;
        std::vector<PositionPair> pairs;
        for (int k = 0; k < 40; ++k) {
            PositionPair p;
            p.x = 37 * k % 1000 + 0.25;
            p.y = 53 * k % 800 + 0.5;
            exact(p.x, p.y, &p.u, &p.v);
            p.u += c.dx - c.rotation * (p.y - 400);
            p.v += c.dy + c.rotation * (p.x - 500);
            pairs.push_back(p);
        }
        pairs[7].u += 5; // a mismatched star
        MapFit fit;
        ASSERT_EQ(refinePixelMap(pairs, c.order, &refined, &fit), DiffStatus::Ok) << c.order;
        EXPECT_EQ(fit.used, 39) << c.order;
        EXPECT_LT(fit.rms, 1e-6) << c.order;
        mapPosition(refined, 900, 100, &u, &v);
        exact(900, 100, &eu, &ev);
        EXPECT_NEAR(u, eu + c.dx - c.rotation * (100 - 400), 1e-6) << c.order;
        EXPECT_NEAR(v, ev + c.dy + c.rotation * (900 - 500), 1e-6) << c.order;
    }
    std::vector<PositionPair> few(3);
    PixelMap untouched = map;
    MapFit fit;
    EXPECT_EQ(refinePixelMap(few, 1, &untouched, &fit), DiffStatus::TooFewStars);
    EXPECT_EQ(untouched.u, map.u);
}

TEST(DilateMask, MatchesTheSquareAroundEverySourcePixel)
{
    struct Case {
        int radius;
        int sources; // a few take the direct path, many the row and column passes
    };
    const Case cases[] = {{1, 3}, {4, 5}, {2, 400}, {6, 300}};
    const int w = 61, h = 47;
    for (const Case& c : cases) {
        std::mt19937 random(static_cast<unsigned>(c.radius * 100 + c.sources));
        std::vector<uint8_t> mask(w * h, 0);
        for (int k = 0; k < c.sources; ++k)
            mask[random() % (w * h)] |= MASK_NO_DATA;
        std::vector<uint8_t> expected = mask;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int dy = -c.radius; dy <= c.radius; ++dy)
                    for (int dx = -c.radius; dx <= c.radius; ++dx)
                        if (x + dx >= 0 && x + dx < w && y + dy >= 0 && y + dy < h &&
                            (mask[(y + dy) * w + x + dx] & MASK_NO_DATA))
                            expected[y * w + x] |= MASK_EDGE;
        dilateMask(&mask, w, h, MASK_NO_DATA, MASK_EDGE, c.radius);
        EXPECT_EQ(mask, expected) << c.radius << " " << c.sources;
    }
}

TEST(EstimateSky, GivesLevelDeviationAndReadNoise)
{
    std::mt19937_64 random(3);
    std::normal_distribution<double> normal(0, 1);
    const double level = 1000, gain = 2, readNoise = 10;
    const double sigma = std::sqrt(level / gain + readNoise * readNoise);
    std::vector<uint16_t> pixels(512 * 512);
    for (uint16_t& p : pixels)
        p = static_cast<uint16_t>(std::lround(level + sigma * normal(random)));
    pixels[100] = SATURATION; // saturated and bright pixels do not move the estimate
    pixels[200] = 30000;
    SkyEstimate sky;
    ASSERT_EQ(estimateSky(pixels.data(), 512, 512, &sky), DiffStatus::Ok);
    EXPECT_NEAR(sky.level, level, 0.5);
    EXPECT_NEAR(sky.sigma, sigma, 0.02 * sigma);
    const NoiseModel known = noiseFromSky(sky, gain);
    EXPECT_EQ(known.gain, gain);
    EXPECT_NEAR(known.readNoise, readNoise, 2);
    const NoiseModel guessed = noiseFromSky(sky, 0); // photon noise alone
    EXPECT_NEAR(guessed.gain, level / (sigma * sigma), 0.05);
    EXPECT_EQ(guessed.readNoise, 0);
    EXPECT_EQ(estimateSky(pixels.data(), 0, 512, &sky), DiffStatus::BadInput);
}

TEST(MarkSharpPixels, FlagsHitsButNotStars)
{
    const int w = 64, h = 64;
    struct Case {
        const char* what;
        bool flagged;
    };
    const Case cases[] = {
        {"hot pixel", true}, {"track", true}, {"star 1.0", false}, {"star 1.8", false}};
    for (const Case& c : cases) {
        std::vector<uint16_t> pixels(w * h, 1000);
        const std::string what = c.what;
        if (what == "hot pixel") {
            pixels[32 * w + 32] = 3000;
        } else if (what == "track") {
            for (int k = 0; k < 3; ++k)
                pixels[32 * w + 31 + k] = 2500;
        } else {
            const double s = what == "star 1.0" ? 1.0 : 1.8;
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    pixels[y * w + x] += static_cast<uint16_t>(std::lround(
                        20000 * std::exp(-((x - 32.3) * (x - 32.3) + (y - 31.8) * (y - 31.8)) /
                                         (2 * s * s))));
        }
        std::vector<uint8_t> mask(w * h, 0);
        markSharpPixels(pixels.data(), w, h, 10, 1.2, &mask, MASK_COSMIC);
        EXPECT_EQ(mask[32 * w + 32] == MASK_COSMIC, c.flagged) << c.what;
    }
}

TEST(DetectSources, RejectsDipolesAndElongatedSources)
{
    const int w = 80, h = 80;
    struct Case {
        const char* what;
        uint32_t reasons;
    };
    const Case cases[] = {{"source", 0}, {"dipole", REJECT_DIPOLE}, {"streak", REJECT_ELONGATED}};
    for (const Case& c : cases) {
        FloatImage d, v;
        allocateFloatImage(w, h, &d);
        allocateFloatImage(w, h, &v);
        std::fill(v.pixels.begin(), v.pixels.end(), 100.0f);
        const std::string what = c.what;
        auto add = [&](double cx, double cy, double amplitude, double sx, double sy) {
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x)
                    d.pixels[y * w + x] += static_cast<float>(
                        amplitude * std::exp(-(x - cx) * (x - cx) / (2 * sx * sx) -
                                             (y - cy) * (y - cy) / (2 * sy * sy)));
        };
        if (what == "source") {
            add(40.3, 39.6, 500, 1.5, 1.5);
        } else if (what == "dipole") {
            add(40.8, 40, 500, 1.5, 1.5);
            add(39.2, 40, -500, 1.5, 1.5);
        } else {
            add(40, 40, 500, 6, 1.5);
        }
        std::vector<uint8_t> mask(w * h, 0);
        std::vector<DifferenceSource> found;
        DetectOptions options;
        options.psfSigma = 1.5;
        ASSERT_EQ(detectSources(d, v, mask, nullptr, options, {}, &found, nullptr), DiffStatus::Ok);
        ASSERT_EQ(found.size(), 1u) << c.what;
        EXPECT_EQ(found[0].reasons, c.reasons)
            << c.what << " dipole " << found[0].dipole << " elongation " << found[0].elongation;
        if (what == "source") {
            EXPECT_NEAR(found[0].x, 40.3, 0.01);
            EXPECT_NEAR(found[0].y, 39.6, 0.01);
            EXPECT_NEAR(found[0].flux, 500 * 2 * 3.141592653589793 * 1.5 * 1.5, 20);
        }
    }
}

TEST(FourierSize, IsTheNextProductOfSmallPrimes)
{
    const int cases[][2] = {{1, 1}, {11, 12}, {270, 270}, {271, 280}, {529, 540}, {1031, 1050}};
    for (const auto& c : cases)
        EXPECT_EQ(fourierSize(c[0]), c[1]) << c[0];
}

} // namespace
