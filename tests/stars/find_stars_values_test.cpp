// The star finder on float values: the same stars bit for bit as the 16-bit finder on
// whole numbers, stars that follow a change of unit and zero point, pixels without data,
// and the saturation level.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "stars/find_stars.hpp"
#include "stars/star_field.hpp"

using namespace newstars;

namespace {

uint64_t bitsOf(double value)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Noise of the given deviation (sum of 12 uniforms) around level.
double noise(FieldRandom* random, double level, double deviation)
{
    double u = -6;
    for (int i = 0; i < 12; ++i)
        u += nextUniform(random);
    return level + deviation * u;
}

uint16_t clamped(double v)
{
    return static_cast<uint16_t>(std::clamp(v, 0.0, 65535.0));
}

std::vector<float> asValues(const std::vector<uint16_t>& pixels)
{
    return std::vector<float>(pixels.begin(), pixels.end());
}

TEST(FindStarsInValues, SameStarsAsTheSixteenBitFinderOnWholeNumbers)
{
    struct Case {
        const char* name;
        int width, height;
        int stars; // a star field of that many stars, or -1 for pixels drawn by draw
        uint16_t (*draw)(FieldRandom* random);
    };
    const Case cases[] = {
        {"dense field", 1024, 600, 8000, nullptr},
        {"sparse field, odd size", 333, 271, 40, nullptr},
        {"crowded small field", 130, 97, 600, nullptr},
        {"smallest", 65, 65, 6, nullptr},
        {"hot pixels", 400, 300, -1,
         [](FieldRandom* r) {
             return nextUniform(r) < 0.01 ? uint16_t{40000} : clamped(noise(r, 1000, 10));
         }},
        {"near zero", 301, 203, -1, [](FieldRandom* r) { return clamped(noise(r, 2, 2)); }},
        {"near saturation", 202, 150, -1,
         [](FieldRandom* r) { return clamped(noise(r, 65530, 4)); }},
        {"heavy noise", 517, 133, -1,
         [](FieldRandom* r) { return clamped(noise(r, 30000, 8000)); }},
        {"flat", 100, 90, -1, [](FieldRandom*) { return uint16_t{777}; }},
        {"zeros and saturation", 150, 150, -1,
         [](FieldRandom* r) { return nextUniform(r) < 0.5 ? uint16_t{0} : uint16_t{65535}; }},
        {"mostly zeros", 211, 180, -1,
         [](FieldRandom* r) { return nextUniform(r) < 0.97 ? uint16_t{0} : uint16_t{65535}; }},
        {"uniform", 180, 170, -1,
         [](FieldRandom* r) { return static_cast<uint16_t>(nextUniform(r) * 65536); }},
        {"dense field again", 1000, 700, 9000, nullptr},
    };
    std::vector<FinderKernel> kernels;
    for (const FinderKernel kernel :
         {FinderKernel::Portable, FinderKernel::Sse2, FinderKernel::Avx2}) {
        if (finderKernelAvailable(kernel))
            kernels.push_back(kernel);
    }
    StarFinderWorkspace valueWorkspace; // reused across sizes, as a run does
    FieldRandom random{4711};
    for (const Case& c : cases) {
        std::vector<uint16_t> image(static_cast<size_t>(c.width) * c.height);
        if (c.draw == nullptr) {
            makeStarField(image.data(), c.width, c.height, c.stars, c.width + 3 * c.stars);
        } else {
            for (uint16_t& pixel : image)
                pixel = c.draw(&random);
            for (int s = 0; s < 30; ++s) {
                addGaussianStar(image.data(), c.width, c.height, nextUniform(&random) * c.width,
                                nextUniform(&random) * c.height, 20000 * nextUniform(&random),
                                1.0 + nextUniform(&random));
            }
        }
        const std::vector<float> values = asValues(image);
        const std::vector<uint8_t> allData(values.size(), PIXEL_HAS_DATA);
        for (const uint8_t* mask : {static_cast<const uint8_t*>(nullptr), allData.data()}) {
            StarList found;
            const int n = findStarsInValues(values.data(), mask, c.width, c.height, 65535, &found,
                                            &valueWorkspace);
            for (const FinderKernel kernel : kernels) {
                StarFinderWorkspace workspace;
                workspace.kernel = kernel;
                StarList expected;
                const int k = static_cast<int>(kernel);
                ASSERT_EQ(findStars(image.data(), c.width, c.height, &expected, &workspace), n)
                    << c.name << ", kernel " << k;
                ASSERT_EQ(found.flags.size(), static_cast<size_t>(n)) << c.name;
                ASSERT_EQ(found.peakValue.size(), static_cast<size_t>(n)) << c.name;
                for (int i = 0; i < n; ++i) {
                    ASSERT_EQ(bitsOf(found.x[i]), bitsOf(expected.x[i]))
                        << c.name << ", kernel " << k << ", star " << i;
                    ASSERT_EQ(bitsOf(found.y[i]), bitsOf(expected.y[i]))
                        << c.name << ", kernel " << k << ", star " << i;
                    ASSERT_EQ(found.peak[i], expected.peak[i]) << c.name << ", star " << i;
                    ASSERT_EQ(found.peakValue[i], expected.peak[i]) << c.name << ", star " << i;
                    ASSERT_EQ(found.flags[i], 0) << c.name << ", star " << i;
                    ASSERT_EQ(expected.flags[i], 0) << c.name << ", star " << i;
                    ASSERT_EQ(expected.peakValue[i], expected.peak[i]) << c.name << ", star " << i;
                }
            }
        }
    }
}

TEST(FindStarsInValues, StarsFollowAChangeOfUnitAndZeroPoint)
{
    // A sky-subtracted field, (v - 1000) / 1024, then times a power of two: every sum,
    // level, clipped spike and vertex scales exactly, so the stars are the same bit for
    // bit. A shift of the zero point moves the roundings only: the same stars, positions
    // equal to far below a thousandth of a pixel.
    struct Case {
        double scale, zero;
        bool exact;
    };
    const Case cases[] = {{1, 0, true},         {0x1p-30, 0, true}, {0x1p-10, 0, true},
                          {32, 0, true},        {1, 0.375, false},  {1, -3, false},
                          {0x1p-8, 0.01, false}};
    const int width = 700, height = 500;
    std::vector<uint16_t> image(static_cast<size_t>(width) * height);
    makeStarField(image.data(), width, height, 1500, 99);
    std::vector<float> sky(image.size());
    for (size_t i = 0; i < image.size(); ++i)
        sky[i] = static_cast<float>((image[i] - 1000) / 1024.0);
    StarFinderWorkspace workspace;
    StarList reference;
    const int n = findStarsInValues(sky.data(), nullptr, width, height, 64535 / 1024.0, &reference,
                                    &workspace);
    ASSERT_GT(n, 500);
    for (const Case& c : cases) {
        std::vector<float> values(image.size());
        for (size_t i = 0; i < image.size(); ++i)
            values[i] = static_cast<float>(sky[i] * c.scale + c.zero);
        StarList found;
        ASSERT_EQ(findStarsInValues(values.data(), nullptr, width, height,
                                    64535 / 1024.0 * c.scale + c.zero, &found, &workspace),
                  n)
            << c.scale << " " << c.zero;
        for (int i = 0; i < n; ++i) {
            if (c.exact) {
                ASSERT_EQ(bitsOf(found.x[i]), bitsOf(reference.x[i])) << c.scale << ", star " << i;
                ASSERT_EQ(bitsOf(found.y[i]), bitsOf(reference.y[i])) << c.scale << ", star " << i;
                ASSERT_EQ(found.peakValue[i], reference.peakValue[i] * c.scale);
            } else {
                ASSERT_NEAR(found.x[i], reference.x[i], 1e-4) << c.zero << ", star " << i;
                ASSERT_NEAR(found.y[i], reference.y[i], 1e-4) << c.zero << ", star " << i;
            }
        }
    }
}

// A sky of 100 with noise of 5 and a float Gaussian star added.
void addStar(std::vector<float>* image, int width, double cx, double cy, double amplitude)
{
    for (int y = static_cast<int>(cy) - 8; y <= static_cast<int>(cy) + 8; ++y) {
        for (int x = static_cast<int>(cx) - 8; x <= static_cast<int>(cx) + 8; ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            (*image)[static_cast<size_t>(y) * width + x] +=
                static_cast<float>(amplitude * std::exp(-r2 / (2 * 1.5 * 1.5)));
        }
    }
}

TEST(FindStarsInValues, PixelsWithoutDataNeverStartOrJoinAStar)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    struct Star {
        double x, y;
        uint8_t flags;
    };
    struct Case {
        const char* name;
        int x0, y0, x1, y1; // the area without data, columns x0..x1 - 1, rows y0..y1 - 1
        float value;        // what its pixels hold
        bool masked;        // PIXEL_NO_DATA in noData (otherwise the value alone says so)
        std::vector<Star> add, expected; // stars added to the sky; stars to be found
    };
    const std::vector<Case> cases = {
        {"nothing masked", 0, 0, 0, 0, 0, false, {{150.2, 140.6, 0}}, {{150.2, 140.6, 0}}},
        {"star beside a NaN area",
         100,
         60,
         160,
         200,
         nan,
         false,
         {{200.5, 100.2, 0}, {97.3, 128.4, 0}},
         {{200.5, 100.2, 0}, {97.3, 128.4, STAR_NEAR_NO_DATA}}},
        {"star beside a zero area",
         100,
         60,
         160,
         200,
         0,
         true,
         {{163.0, 90.7, 0}},
         {{163.0, 90.7, STAR_NEAR_NO_DATA}}},
        {"star inside a masked area", 100, 60, 160, 200, 0, true, {{130.4, 120.5, 0}}, {}},
        {"star on the edge of a masked area",
         100,
         60,
         160,
         200,
         0,
         true,
         {{100.4, 120.5, 0}, {128.0, 59.6, 0}},
         {}},
        {"bright values masked", 80, 80, 180, 180, 1e30f, true, {}, {}},
        {"infinite values", 80, 80, 180, 180, inf, false, {}, {}},
        {"negative infinite values", 80, 80, 180, 180, -inf, false, {{120.5, 120.5, 0}}, {}},
        {"masked stripe one pixel wide",
         120,
         0,
         121,
         256,
         -1e6f,
         true,
         {{123.4, 150.6, 0}},
         {{123.4, 150.6, STAR_NEAR_NO_DATA}}},
        {"masked strip through the middle rows",
         0,
         120,
         256,
         140,
         0,
         true,
         {{70.2, 60.3, 0}},
         {{70.2, 60.3, 0}}},
        {"fully masked", 0, 0, 256, 256, 0, true, {{128.5, 128.5, 0}}, {}},
        {"fully NaN", 0, 0, 256, 256, nan, false, {{128.5, 128.5, 0}}, {}},
    };
    const int width = 256, height = 256;
    for (const Case& c : cases) {
        FieldRandom random{77};
        std::vector<float> image(static_cast<size_t>(width) * height);
        for (float& v : image)
            v = static_cast<float>(noise(&random, 100, 5));
        for (const Star& s : c.add)
            addStar(&image, width, s.x, s.y, 3000);
        std::vector<uint8_t> noData(image.size(), PIXEL_HAS_DATA);
        for (int y = c.y0; y < c.y1; ++y) {
            for (int x = c.x0; x < c.x1; ++x) {
                image[static_cast<size_t>(y) * width + x] = c.value;
                if (c.masked)
                    noData[static_cast<size_t>(y) * width + x] = PIXEL_NO_DATA;
            }
        }
        StarFinderWorkspace workspace;
        StarList found;
        const int n =
            findStarsInValues(image.data(), noData.data(), width, height,
                              std::numeric_limits<double>::infinity(), &found, &workspace);
        ASSERT_EQ(n, static_cast<int>(c.expected.size())) << c.name;
        for (int i = 0; i < n; ++i) {
            const Star& e = c.expected[static_cast<size_t>(i)];
            EXPECT_NEAR(found.x[i], e.x, 0.2) << c.name << ", star " << i;
            EXPECT_NEAR(found.y[i], e.y, 0.2) << c.name << ", star " << i;
            EXPECT_EQ(found.flags[i], e.flags) << c.name << ", star " << i;
        }
    }
}

TEST(FindStarsInValues, SaturationLevelLeavesOutBrighterPeaks)
{
    // A sky-subtracted image: sky 0, noise 0.02, stars of peak 3 and 9 (in the image's
    // units), the fainter found first.
    const double nan = std::nan("");
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double saturation;
        int expected; // stars: 2 both, 1 the fainter only, 0 none
    };
    const Case cases[] = {{inf, 2}, {nan, 2}, {9.5, 2}, {5, 1}, {2, 0}, {-1, 0}};
    const int width = 160, height = 120;
    FieldRandom random{5};
    std::vector<float> image(static_cast<size_t>(width) * height);
    for (float& v : image)
        v = static_cast<float>(noise(&random, 0, 0.02));
    addStar(&image, width, 60.3, 50.2, 3);
    addStar(&image, width, 110.6, 70.4, 9);
    for (const Case& c : cases) {
        StarFinderWorkspace workspace;
        StarList found;
        ASSERT_EQ(findStarsInValues(image.data(), nullptr, width, height, c.saturation, &found,
                                    &workspace),
                  c.expected)
            << c.saturation;
        const double expectedX[] = {60.3, 110.6};
        for (int i = 0; i < c.expected; ++i) {
            EXPECT_NEAR(found.x[i], expectedX[i], 0.1) << c.saturation;
            const int px = static_cast<int>(std::lround(found.x[i]));
            const int py = static_cast<int>(std::lround(found.y[i]));
            const float peak = image[static_cast<size_t>(py) * width + px];
            EXPECT_EQ(found.peakValue[i], peak) << c.saturation;
            EXPECT_EQ(found.peak[i], std::lround(peak)) << c.saturation;
        }
    }
}

TEST(FindStarsInValues, ImagesWithoutScanAreaOrMemoryGiveNoStars)
{
    struct Case {
        int width, height;
        bool values;
    };
    const Case cases[] = {
        {64, 100, true}, {100, 64, true}, {0, 0, true}, {-5, 100, true}, {100, 100, false}};
    const std::vector<float> image(100 * 100, 1.0f);
    for (const Case& c : cases) {
        StarFinderWorkspace workspace;
        StarList stars;
        stars.x = {1};
        EXPECT_EQ(findStarsInValues(c.values ? image.data() : nullptr, nullptr, c.width, c.height,
                                    65535, &stars, &workspace),
                  0)
            << c.width << "x" << c.height;
        EXPECT_TRUE(stars.x.empty());
        EXPECT_GE(stars.flags.capacity(), 1u);
        EXPECT_GE(stars.peakValue.capacity(), 1u);
    }
#if !defined(__SANITIZE_ADDRESS__)
    // The working copy of 2^62 pixels cannot be allocated; nothing is read before that.
    StarFinderWorkspace workspace;
    StarList stars;
    stars.x = {1.5};
    std::string message;
    EXPECT_EQ(findStarsInValues(image.data(), nullptr, 2147483647, 2147483647, 65535, &stars,
                                &workspace, &message),
              -1);
    EXPECT_EQ(message, "findStars(): Can not malloc 9223372036854775807");
    EXPECT_EQ(stars.x, std::vector<double>{1.5});
#endif
}

} // namespace
