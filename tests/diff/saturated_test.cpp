// Saturated cores of a test image, kept as new sources or passed over, and the point
// spread's shape against which elongation is judged.

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "diff/psf_shape.hpp"
#include "diff/saturated.hpp"

namespace newstars {
namespace {

constexpr int32_t SIZE = 64;
constexpr double SKY = 1000;
constexpr double SATURATION = 65535;

// Adds a Gaussian of the given peak and deviation at (x, y), stretched by ratio along x.
void addStar(std::vector<float>* image, double x, double y, double peak, double sigma,
             double ratio = 1)
{
    const double sx = sigma * std::sqrt(ratio), sy = sigma / std::sqrt(ratio);
    for (int32_t j = 0; j < SIZE; ++j) {
        for (int32_t i = 0; i < SIZE; ++i) {
            const double dx = (i - x) / sx, dy = (j - y) / sy;
            (*image)[static_cast<size_t>(j) * SIZE + i] +=
                static_cast<float>(peak * std::exp(-(dx * dx + dy * dy) / 2));
        }
    }
}

TEST(SaturatedSources, PointSourcesWhoseCoresSaturateAreFoundAndFlagged)
{
    // test: what the test image holds at (32, 32) before clipping; reference: what the
    // matched reference holds there; spike: a lone saturated pixel instead of a star.
    struct Case {
        const char* name;
        double testPeak, referencePeak;
        bool spike, referenceSaturated;
        bool found;
    };
    const Case cases[] = {
        {"nova, barely saturated", 1.2 * (SATURATION - SKY), 0, false, false, true},
        {"nova, 20 times saturation", 20 * (SATURATION - SKY), 0, false, false, true},
        {"star brightened tenfold", 10 * (SATURATION - SKY), 0.5 * (SATURATION - SKY), false,
         false, true},
        {"steady star saturating in the test only", 1.3 * (SATURATION - SKY),
         1.3 * (SATURATION - SKY), false, false, false},
        {"saturated in the reference too", 5 * (SATURATION - SKY), 5 * (SATURATION - SKY), false,
         true, false},
        {"hot pixel", 0, 0, true, false, false},
        {"nothing saturated", 0.5 * (SATURATION - SKY), 0, false, false, false},
    };
    for (const Case& c : cases) {
        const size_t n = static_cast<size_t>(SIZE) * SIZE;
        std::vector<float> test(n, SKY), reference(n, SKY);
        addStar(&test, 32.3, 31.8, c.testPeak, 1.5);
        addStar(&reference, 32.3, 31.8, c.referencePeak, 1.5);
        // A faint detection in the nova's wings, which the saturated source replaces.
        std::vector<DifferenceSource> sources(1);
        sources[0].x = 36;
        sources[0].y = 33;
        if (c.spike)
            test[static_cast<size_t>(20) * SIZE + 40] = 70000;
        for (float& v : test)
            v = std::min(v, static_cast<float>(SATURATION));
        std::vector<uint8_t> mask(n, 0);
        if (c.referenceSaturated) {
            for (size_t i = 0; i < n; ++i)
                mask[i] = reference[i] >= SATURATION ? MASK_SATURATED : 0;
        }
        std::vector<SaturatedCore> cores;
        ASSERT_EQ(findSaturatedCores(test.data(), nullptr, SIZE, SIZE, SATURATION, mask, 1000,
                                     &cores),
                  DiffStatus::Ok)
            << c.name;
        FloatImage difference{SIZE, SIZE, std::vector<float>(n)};
        FloatImage variance{SIZE, SIZE, std::vector<float>(n)};
        FloatImage matched{SIZE, SIZE, reference};
        for (size_t i = 0; i < n; ++i) {
            difference.pixels[i] = test[i] - reference[i];
            variance.pixels[i] = (test[i] + reference[i]) / 2 + 32;
            if (test[i] >= SATURATION)
                mask[i] |= MASK_SATURATED;
        }
        SaturatedSourceOptions options;
        options.psfSigma = options.differenceSigma = 1.5;
        options.testSky = SKY;
        options.testSkySigma = std::sqrt(SKY / 2 + 16);
        options.referenceBackground = SKY;
        options.maskReach = 6;
        addSaturatedSources(cores, difference, variance, matched, mask, options, {}, &sources);
        const bool found = !sources.empty() && sources[0].saturated;
        EXPECT_EQ(found, c.found) << c.name;
        if (!found)
            continue;
        EXPECT_EQ(sources.size(), 1u) << c.name << ": the wing detection stays";
        EXPECT_NEAR(sources[0].x, 32.3, 0.3) << c.name;
        EXPECT_NEAR(sources[0].y, 31.8, 0.3) << c.name;
        EXPECT_GE(sources[0].snr, 5) << c.name;
        EXPECT_EQ(sources[0].reasons, 0u) << c.name;
        EXPECT_LT(sources[0].elongation, 1.5) << c.name;
    }
}

TEST(SaturatedSources, CoresOfSixteenBitPixelsMatchThoseOfTheirValues)
{
    const size_t n = static_cast<size_t>(SIZE) * SIZE;
    std::vector<float> values(n, SKY);
    addStar(&values, 20, 40, 4 * SATURATION, 1.2);
    addStar(&values, 45, 12, 2 * SATURATION, 2.0, 2.0);
    std::vector<uint16_t> pixels(n);
    for (size_t i = 0; i < n; ++i) {
        values[i] = std::min(std::round(values[i]), static_cast<float>(SATURATION));
        pixels[i] = static_cast<uint16_t>(values[i]);
    }
    std::vector<SaturatedCore> fromValues, fromPixels;
    ASSERT_EQ(findSaturatedCores(values.data(), nullptr, SIZE, SIZE, SATURATION, {}, 1000,
                                 &fromValues),
              DiffStatus::Ok);
    ASSERT_EQ(findSaturatedCores(pixels.data(), SIZE, SIZE, 1000, &fromPixels), DiffStatus::Ok);
    ASSERT_EQ(fromValues.size(), 2u);
    ASSERT_EQ(fromPixels.size(), 2u);
    for (size_t k = 0; k < 2; ++k) {
        EXPECT_EQ(fromPixels[k].pixels, fromValues[k].pixels);
        EXPECT_EQ(fromPixels[k].x, fromValues[k].x);
        EXPECT_EQ(fromPixels[k].ring1, fromValues[k].ring1);
    }
    // In the order of their first pixel: the star lower in the image first.
    EXPECT_NEAR(fromValues[0].y, 12, 0.1);
    EXPECT_NEAR(fromValues[1].x, 20, 0.1);
    // The stretched one is wider along x; more pixels than maxPixels are passed over.
    EXPECT_GT(fromValues[0].xx, 2 * fromValues[0].yy);
    ASSERT_EQ(findSaturatedCores(pixels.data(), SIZE, SIZE, 10, &fromPixels), DiffStatus::Ok);
    EXPECT_LT(fromPixels.size(), 2u);
}

TEST(PsfShape, ElongationIsJudgedAgainstTheMeasuredPointSpread)
{
    // Stars of the point spread (stretched by psfRatio along x) give its moments; a source
    // of the same shape is then round against it, and one stretched across it is not.
    struct Case {
        double psfRatio, sourceRatio;
        bool across; // the source stretched along y rather than x
        double low, high;
    };
    const Case cases[] = {
        {1.0, 1.0, false, 0.95, 1.1},  // round against round
        {2.2, 2.2, false, 0.95, 1.15}, // elongated seeing: the source is as the stars
        {2.2, 1.0, false, 1.8, 2.6},   // a round source in elongated seeing stands out
        {2.2, 2.2, true, 3.5, 99},     // stretched across the seeing
        {1.0, 2.2, false, 1.9, 2.5},   // elongated against round
    };
    const double sigma = 1.6;
    for (const Case& c : cases) {
        const size_t n = static_cast<size_t>(SIZE) * SIZE;
        FloatImage image{SIZE, SIZE, std::vector<float>(n, 100)};
        const int32_t xs[] = {14, 48, 14, 48}, ys[] = {14, 14, 48, 48};
        for (int k = 0; k < 4; ++k)
            addStar(&image.pixels, xs[k], ys[k], 5000, sigma, c.psfRatio);
        PsfMoments psf;
        measurePsfMoments(image, std::vector<uint8_t>(n, 0), 100, {14, 48, 14, 48},
                          {14, 14, 48, 48}, 2 * sigma, 3, &psf);
        ASSERT_EQ(psf.stars, 4);
        // The source's windowed moments, as detection measures them (window 2 sigma here).
        FloatImage source{SIZE, SIZE, std::vector<float>(n, 0)};
        addStar(&source.pixels, 32, 32, 1000, sigma, c.across ? 1 / c.sourceRatio : c.sourceRatio);
        const double window = 4 * sigma * sigma;
        double w = 0, a = 0, b = 0, d = 0;
        for (int32_t y = 0; y < SIZE; ++y) {
            for (int32_t x = 0; x < SIZE; ++x) {
                const double dx = x - 32, dy = y - 32;
                const double g = std::exp(-(dx * dx + dy * dy) / (2 * window)) *
                                 source.pixels[static_cast<size_t>(y) * SIZE + x];
                w += g;
                a += g * dx * dx;
                b += g * dy * dy;
                d += g * dx * dy;
            }
        }
        const double e = relativeElongation(a / w, b / w, d / w, window, psf);
        EXPECT_GE(e, c.low) << c.psfRatio << " " << c.sourceRatio << " " << c.across;
        EXPECT_LE(e, c.high) << c.psfRatio << " " << c.sourceRatio << " " << c.across;
        // Against a round point spread the measure is the plain axis ratio.
        const double plain = relativeElongation(a / w, b / w, d / w, window, PsfMoments{});
        EXPECT_NEAR(plain, c.sourceRatio, 0.15 * c.sourceRatio);
    }
}

} // namespace
} // namespace newstars
