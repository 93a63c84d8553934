#include "stars/find_stars.hpp"
#include "stars/find_stars_internal.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "stars/star_field.hpp"

using namespace newstars;

namespace {

// Index of the star nearest (x, y) within maxDistance, or -1.
int starNear(const StarList& stars, double x, double y, double maxDistance)
{
    for (size_t i = 0; i < stars.x.size(); ++i) {
        if (std::hypot(stars.x[i] - x, stars.y[i] - y) <= maxDistance)
            return static_cast<int>(i);
    }
    return -1;
}

TEST(ComputeRegionStats, MatchesHandWorkedRegions)
{
    // A 5 x 4 image; the regions below are worked by hand.
    const std::vector<uint16_t> image = {
        9, 9, 9, 9, 9, 9, 1, 2, 3, 9, 9, 4, 5, 100, 9, 9, 100, 0, 0, 9,
    };
    struct Case {
        int x0, y0, w, h;
        uint16_t mean, median, minimum, maximum;
        int brightestX, brightestY;
        double sigma;
    };
    const Case cases[] = {
        // 1 2 3 / 4 5 100: sum 115, mean 19.17, third smallest 3, sigma sqrt(7850.83/5)
        {1, 1, 3, 2, 19, 3, 1, 100, 3, 2, 39.62532860010964},
        // the maximum twice: the first in scan order is kept
        {1, 2, 3, 2, 35, 4, 0, 100, 3, 2, 50.518973333458256},
        // a single pixel: half of 1 is 0, so the median is the first index, 0
        {2, 2, 1, 1, 5, 0, 5, 5, 2, 2, 0.0},
        // all equal: no spread
        {0, 0, 5, 1, 9, 9, 9, 9, 0, 0, 0.0},
    };
    for (const auto& c : cases) {
        RegionStats stats;
        computeRegionStats(image.data(), 5, c.x0, c.y0, c.w, c.h, &stats);
        EXPECT_EQ(stats.mean, c.mean) << c.x0 << "," << c.y0 << " " << c.w << "x" << c.h;
        EXPECT_EQ(stats.median, c.median) << c.x0 << "," << c.y0;
        EXPECT_EQ(stats.minimum, c.minimum) << c.x0 << "," << c.y0;
        EXPECT_EQ(stats.maximum, c.maximum) << c.x0 << "," << c.y0;
        EXPECT_EQ(stats.brightestX, c.brightestX) << c.x0 << "," << c.y0;
        EXPECT_EQ(stats.brightestY, c.brightestY) << c.x0 << "," << c.y0;
        EXPECT_NEAR(stats.sigma, c.sigma, 1e-12) << c.x0 << "," << c.y0;
    }
}

TEST(ComputeRegionStats, AllZeroRegionLeavesBrightestPositionUnset)
{
    const std::vector<uint16_t> image(16, 0);
    RegionStats stats;
    stats.brightestX = -7;
    stats.brightestY = -8;
    computeRegionStats(image.data(), 4, 1, 1, 2, 2, &stats);
    EXPECT_EQ(stats.brightestX, -7);
    EXPECT_EQ(stats.brightestY, -8);
    EXPECT_EQ(stats.maximum, 0);
    EXPECT_EQ(stats.median, 0);
}

TEST(ClipSpike, ClipsOnlyWhenNoNeighbourExceedsThreshold)
{
    // 3 x 3 image, centre bright; each case raises one neighbour (or none) above 100.
    for (int raised = -1; raised < 9; ++raised) {
        if (raised == 4)
            continue; // the centre itself
        std::vector<uint16_t> image(9, 100);
        image[4] = 5000;
        if (raised >= 0)
            image[raised] = 101;
        const std::vector<uint16_t> before = image;
        const int result = clipSpike(image.data(), 3, 1, 1, 100);
        if (raised < 0) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(image[4], 100);
        } else {
            EXPECT_EQ(result, -1) << "neighbour " << raised;
            EXPECT_EQ(image, before) << "neighbour " << raised;
        }
    }
}

TEST(ClimbToPeak, TakesTheFirstOfEqualNeighboursInFixedOrder)
{
    // The walk's order of neighbours: row below first, then the same row, then the row
    // above; within a row the column to the right first.
    const int order[8][2] = {{1, 1}, {0, 1}, {-1, 1}, {1, 0}, {-1, 0}, {1, -1}, {0, -1}, {-1, -1}};
    for (int first = 0; first < 8; ++first) {
        for (int second = first + 1; second < 8; ++second) {
            std::vector<uint16_t> image(25, 10);
            image[12] = 50;
            image[(2 + order[first][1]) * 5 + 2 + order[first][0]] = 90;
            image[(2 + order[second][1]) * 5 + 2 + order[second][0]] = 90;
            int px = -1, py = -1;
            uint16_t peak = 0;
            ASSERT_EQ(climbToPeak(image.data(), 5, 2, 2, 10, &px, &py, &peak), 0);
            EXPECT_EQ(px, 2 + order[first][0]) << first << " vs " << second;
            EXPECT_EQ(py, 2 + order[first][1]) << first << " vs " << second;
            EXPECT_EQ(peak, 90);
        }
    }
}

TEST(ClimbToPeak, FailsOnlyWhenTheWalkPassesTheLimit)
{
    // A ramp rising by 10 per pixel from the start (column 1) to its top, along the row.
    struct Case {
        int rampLength;
        int limit;
        int expected;
    };
    const Case cases[] = {
        {10, 10, 0},  // top exactly 10 away: reached
        {11, 10, -1}, // one step further: fails
        {3, 2, -1},
        {0, 0, 0}, // the start is the maximum
    };
    for (const auto& c : cases) {
        const int width = 16;
        std::vector<uint16_t> image(width * 3, 0);
        for (int i = 0; i <= c.rampLength; ++i)
            image[width + 1 + i] = static_cast<uint16_t>(100 + 10 * i);
        int px = -5, py = -5;
        uint16_t peak = 7;
        EXPECT_EQ(climbToPeak(image.data(), width, 1, 1, c.limit, &px, &py, &peak), c.expected)
            << c.rampLength << " " << c.limit;
        if (c.expected == 0) {
            EXPECT_EQ(px, 1 + c.rampLength);
            EXPECT_EQ(py, 1);
            EXPECT_EQ(peak, 100 + 10 * c.rampLength);
        } else {
            EXPECT_EQ(px, -5);
            EXPECT_EQ(py, -5);
            EXPECT_EQ(peak, 7);
        }
    }
}

TEST(ClimbToPeak, StopsAtTheFirstPlateauPixelReached)
{
    std::vector<uint16_t> image(7 * 7, 0);
    for (int x = 2; x <= 5; ++x)
        image[3 * 7 + x] = 500; // plateau along row 3
    image[3 * 7 + 1] = 100;
    int px = 0, py = 0;
    uint16_t peak = 0;
    ASSERT_EQ(climbToPeak(image.data(), 7, 1, 3, 10, &px, &py, &peak), 0);
    EXPECT_EQ(px, 2);
    EXPECT_EQ(py, 3);
}

TEST(CoreRadius, ReturnsTheFirstRingThePeakStandsClearOf)
{
    // Ring 2 alternates 100 and 300: mean 200, deviation sqrt(160000/15), level 716.398.
    struct Case {
        uint16_t ring3, ring4, peak;
        int expected;
    };
    const Case cases[] = {
        {1000, 1000, 717, 2}, {1000, 1000, 716, 5}, {500, 1000, 716, 3}, // flat ring 3: level 500
        {500, 1000, 500, 5}, // equal to the level is not above it
        {700, 400, 600, 4},
    };
    for (const auto& c : cases) {
        std::vector<uint16_t> image(9 * 9, 0);
        int ring2Index = 0;
        for (int dy = -4; dy <= 4; ++dy) {
            for (int dx = -4; dx <= 4; ++dx) {
                const int d2 = dx * dx + dy * dy;
                uint16_t& pixel = image[(4 + dy) * 9 + 4 + dx];
                if (d2 >= 4 && d2 < 9)
                    pixel = (ring2Index++ % 2) ? 300 : 100;
                if (d2 >= 9 && d2 < 16)
                    pixel = c.ring3;
                if (d2 >= 16 && d2 < 25)
                    pixel = c.ring4;
            }
        }
        EXPECT_EQ(coreRadius(image.data(), 9, 4, 4, c.peak), c.expected)
            << c.ring3 << " " << c.ring4 << " " << c.peak;
    }
}

TEST(SubpixelPeak, IsTheParabolaVertexOrTheIntegerPosition)
{
    struct Case {
        uint16_t before, centre, after;
        double offset;
    };
    const Case cases[] = {
        {50, 100, 50, 0.0},     {0, 100, 50, 1.0 / 6}, // p(t) = -75t^2 + 25t + 100, vertex at 1/6
        {50, 100, 0, -1.0 / 6}, {50, 100, 100, 0.5},
        {100, 100, 100, 0.0}, // zero second difference
        {0, 50, 100, 0.0},    // a straight ramp: zero second difference
    };
    for (const auto& c : cases) {
        // The same three samples along x (row 1) and along y (column 1).
        std::vector<uint16_t> image = {
            0, c.before, 0, c.before, c.centre, c.after, 0, c.after, 0,
        };
        double x = 0, y = 0;
        subpixelPeak(image.data(), 3, 1, 1, &x, &y);
        EXPECT_NEAR(x, 1 + c.offset, 1e-15) << c.before << " " << c.centre << " " << c.after;
        EXPECT_NEAR(y, 1 + c.offset, 1e-15) << c.before << " " << c.centre << " " << c.after;
    }
}

TEST(FindStars, FlatImageHasNoStarsAndOneElementArrays)
{
    const std::vector<uint16_t> image(100 * 80, 1000);
    StarList stars;
    stars.x = {1, 2, 3};
    ASSERT_EQ(findStars(image.data(), 100, 80, &stars), 0);
    EXPECT_TRUE(stars.x.empty());
    EXPECT_TRUE(stars.y.empty());
    EXPECT_TRUE(stars.peak.empty());
    EXPECT_GE(stars.x.capacity(), 1u);
    EXPECT_GE(stars.y.capacity(), 1u);
    EXPECT_GE(stars.peak.capacity(), 1u);
}

TEST(FindStars, ImagesWithoutScanAreaGiveNoStars)
{
    struct Case {
        int width, height;
    };
    const Case cases[] = {{64, 100}, {100, 64}, {1, 1}, {31, 200}, {0, 0}, {-3, 100}, {100, -3}};
    for (const auto& c : cases) {
        const size_t n =
            (c.width > 0 && c.height > 0) ? static_cast<size_t>(c.width) * c.height : 0;
        std::vector<uint16_t> image(n, 1000);
        if (n > 0)
            image[n / 2] = 60000;
        StarList stars;
        stars.x = {5};
        EXPECT_EQ(findStars(n ? image.data() : nullptr, c.width, c.height, &stars), 0)
            << c.width << "x" << c.height;
        EXPECT_TRUE(stars.x.empty());
    }
}

TEST(FindStars, LoneHotPixelIsClippedNotReported)
{
    std::vector<uint16_t> image(100 * 100, 1000);
    image[40 * 100 + 50] = 50000;
    const std::vector<uint16_t> before = image;
    StarList stars;
    EXPECT_EQ(findStars(image.data(), 100, 100, &stars), 0);
    EXPECT_EQ(image, before);
}

TEST(FindStars, SaturatedStarsAreNotReported)
{
    struct Case {
        double amplitude;
        int expected;
    };
    // 1000 + 64534 = 65534, the brightest value reported; 1000 + 64535 = 65535
    const Case cases[] = {{20000, 1}, {64000, 1}, {64534, 1}, {64535, 0}, {200000, 0}};
    for (const auto& c : cases) {
        std::vector<uint16_t> image(128 * 128, 1000);
        addGaussianStar(image.data(), 128, 128, 60, 50, c.amplitude, 1.5);
        StarList stars;
        EXPECT_EQ(findStars(image.data(), 128, 128, &stars), c.expected) << c.amplitude;
    }
}

TEST(FindStars, MaximaWithinFourPixelsAreOneStarTheFirstInScanOrder)
{
    // A star at (60, 50), a second one offset by (dx, dy).
    struct Case {
        int dx, dy;
        int expected;
    };
    const Case cases[] = {{4, 4, 1}, {4, 0, 1}, {-4, 3, 1}, {0, 4, 1},
                          {5, 0, 2}, {0, 5, 2}, {-5, 4, 2}};
    for (const auto& c : cases) {
        std::vector<uint16_t> image(128 * 128, 1000);
        addGaussianStar(image.data(), 128, 128, 60, 50, 10000, 1.0);
        addGaussianStar(image.data(), 128, 128, 60 + c.dx, 50 + c.dy, 10000, 1.0);
        StarList stars;
        ASSERT_EQ(findStars(image.data(), 128, 128, &stars), c.expected) << c.dx << "," << c.dy;
        // The upper star (or, in the same row, the left one) is met first.
        const bool firstIsBase = c.dy > 0 || (c.dy == 0 && c.dx > 0);
        const double fx = firstIsBase ? 60 : 60 + c.dx, fy = firstIsBase ? 50 : 50 + c.dy;
        EXPECT_LT(std::hypot(stars.x[0] - fx, stars.y[0] - fy), 0.5) << c.dx << "," << c.dy;
    }
}

// A smooth object with a flat top of the given radius, falling off as a Gaussian of
// sigma 1.5 outside it; radius 0 is a plain compact star.
void addFlatTopObject(uint16_t* image, int width, int cx, int cy, double amplitude,
                      double topRadius)
{
    for (int y = cy - 20; y <= cy + 20; ++y) {
        for (int x = cx - 20; x <= cx + 20; ++x) {
            const double r = std::max(0.0, std::hypot(x - cx, y - cy) - topRadius);
            image[y * width + x] +=
                static_cast<uint16_t>(std::lround(amplitude * std::exp(-r * r / 4.5)));
        }
    }
}

TEST(FindStars, BroadSmoothObjectFailsTheCoreTest)
{
    // With a flat top reaching past ring 4 no ring lies below the peak, and a walk that
    // stops at the top's edge sees rings half on the flanks: no star.
    struct Case {
        double topRadius;
        int expected;
    };
    const Case cases[] = {{0, 1}, {5, 0}, {8, 0}, {12, 0}};
    for (const auto& c : cases) {
        std::vector<uint16_t> image(160 * 160, 1000);
        addFlatTopObject(image.data(), 160, 80, 60, 20000, c.topRadius);
        StarList stars;
        EXPECT_EQ(findStars(image.data(), 160, 160, &stars), c.expected) << c.topRadius;
    }
}

TEST(FindStars, NothingIsFoundInTheBorderBand)
{
    struct Case {
        int x, y;
        int expected;
    };
    const Case cases[] = {
        {20, 60, 0}, {60, 20, 0}, {107, 60, 0}, {60, 107, 0}, // inside the 32-pixel band
        {37, 60, 1}, {60, 37, 1}, {90, 90, 1},                // just inside the scan area
    };
    for (const auto& c : cases) {
        std::vector<uint16_t> image(128 * 128, 1000);
        addGaussianStar(image.data(), 128, 128, c.x, c.y, 10000, 1.0);
        StarList stars;
        ASSERT_EQ(findStars(image.data(), 128, 128, &stars), c.expected) << c.x << "," << c.y;
        if (c.expected == 1) {
            EXPECT_NEAR(stars.x[0], c.x, 1e-9);
            EXPECT_NEAR(stars.y[0], c.y, 1e-9);
        }
    }
}

// A star 8 columns from the left band, with a bright plateau to its right, so that the
// left threshold window (reaching into the band) decides whether it is a candidate.
// The band is filled with median + 5 sigma of a 10-row strip at rows 80-89, columns
// 32-63; the strip's content sets that value.
TEST(FindStars, ThresholdWindowsSeeTheBorderFill)
{
    struct Case {
        const char* name;
        uint16_t stripHigh;
        bool found;
    };
    const Case cases[] = {
        {"flat strip: fill 1000", 1000, true},
        // half 1000, half 26776: median 1000, sigma 12908.18, fill 65540.9: clamped to
        // 65535 (its low 16 bits, 4, would make a dark band)
        {"fill above 65535", 26776, false},
    };
    const int width = 96, height = 160;
    for (const auto& c : cases) {
        std::vector<uint16_t> image(static_cast<size_t>(width) * height, 1000);
        for (int y = 10; y <= 70; ++y) {
            for (int x = 45; x < width; ++x)
                image[y * width + x] = 20000;
        }
        for (int y = 80; y < 90; ++y) {
            for (int x = 32; x < 64; ++x)
                image[y * width + x] = (x % 2) ? c.stripHigh : 1000;
        }
        addGaussianStar(image.data(), width, height, 40, 40, 10000, 1.0);
        StarList stars;
        ASSERT_GE(findStars(image.data(), width, height, &stars), 0);
        EXPECT_EQ(starNear(stars, 40, 40, 1.0) >= 0, c.found) << c.name;
    }
}

TEST(FindStars, GaussianStarsAtFractionalCentres)
{
    const double centres[][2] = {
        {100.0, 100.0}, {200.3, 100.0},  {300.0, 100.7},  {100.25, 200.75},
        {200.5, 200.1}, {300.9, 200.45}, {150.6, 300.35}, {250.15, 300.9},
    };
    const int width = 400, height = 400;
    std::vector<uint16_t> image(static_cast<size_t>(width) * height, 1000);
    for (const auto& c : centres)
        addGaussianStar(image.data(), width, height, c[0], c[1], 20000, 1.5);
    const std::vector<uint16_t> before = image;
    StarList stars;
    ASSERT_EQ(findStars(image.data(), width, height, &stars), 8);
    EXPECT_EQ(image, before);
    for (const auto& c : centres) {
        const int i = starNear(stars, c[0], c[1], 0.1);
        EXPECT_GE(i, 0) << c[0] << "," << c[1];
        if (i >= 0) {
            EXPECT_EQ(stars.peak[i], image[std::lround(c[1]) * width + std::lround(c[0])]);
        }
    }
}

TEST(FindStars, OutOfMemoryFailsCleanly)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer aborts on impossible allocations";
#else
    // Nothing is read before the working rows are allocated, which cannot succeed: the
    // whole image copied, or the band of 64 rows the vector kernels scan through.
    struct Case {
        FinderKernel kernel;
        const char* message;
    };
    const Case cases[] = {
        {FinderKernel::Portable, "findStars(): Can not malloc 9223372028264841218"},
        {FinderKernel::Automatic, "findStars(): Can not malloc 274877906816"},
    };
    const std::vector<uint16_t> tiny(4, 0);
    for (const Case& c : cases) {
        if (c.kernel == FinderKernel::Automatic && !finderKernelAvailable(FinderKernel::Sse2))
            continue;
        StarFinderWorkspace workspace;
        workspace.kernel = c.kernel;
        StarList stars;
        stars.x = {1.5};
        stars.y = {2.5};
        stars.peak = {7};
        std::string message;
        const int result =
            findStars(tiny.data(), 2147483647, 2147483647, &stars, &workspace, &message);
        EXPECT_EQ(result, -1);
        EXPECT_EQ(message, c.message);
        EXPECT_EQ(stars.x, std::vector<double>{1.5});
        EXPECT_EQ(stars.y, std::vector<double>{2.5});
        EXPECT_EQ(stars.peak, std::vector<uint16_t>{7});
    }
#endif
}

} // namespace
