#include "stars/measure_star.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "stars/star_field.hpp"

using namespace newstars;

namespace {

// An image whose value depends only on the ring around (cx, cy): 1000 at the centre,
// 500 on ring 1 (8 pixels), 250 on ring 2 (16 pixels), 240 from ring 3 outward.
// With F = 0.1 the profile falls by half twice, then by 4 %: the star ends at radius 3
// with flux 1000 + 8 * 500 + 16 * 250 = 9000 over 25 pixels.
std::vector<uint16_t> ringImage(int width, int height, int cx, int cy)
{
    std::vector<uint16_t> image(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            image[static_cast<size_t>(y) * width + x] = d2 == 0  ? 1000
                                                        : d2 < 4 ? 500
                                                        : d2 < 9 ? 250
                                                                 : 240;
        }
    }
    return image;
}

TEST(MeasureStar, RingProfileAtEveryMaximumRadius)
{
    struct Case {
        int maxRadius;
        int useClimb;
        const char* message;
    };
    const Case cases[] = {
        {1, 1, "Star occupies entire radius"}, // no ring examined
        {1, 0, "Star occupies entire radius"},
        {0, 1, "Star occupies entire radius"},
        {3, 1, "Star occupies entire radius"}, // rings 1 and 2 both still falling
        {4, 1, "No pixels in noise annulus"},  // the star ends at R - 1
        {4, 0, "No pixels in noise annulus"},
        {5, 1, ""}, // the annulus is ring 3
        {9, 0, ""},
    };
    const std::vector<uint16_t> image = ringImage(40, 40, 20, 20);
    for (const auto& c : cases) {
        const MeasureParams params{3, c.maxRadius, 0.1};
        StarMeasurement result;
        std::string message;
        // Start off the peak, so that both modes must find it.
        const int status =
            measureStar(image.data(), 40, 40, &params, 21, 19, c.useClimb, &result, &message);
        EXPECT_EQ(status, c.message[0] ? -1 : 0) << c.maxRadius << " " << c.useClimb;
        EXPECT_EQ(message, c.message) << c.maxRadius << " " << c.useClimb;
        EXPECT_EQ(result.peak, 1000);
        if (c.message[0] == 'S')
            continue;
        EXPECT_EQ(result.radius, 3);
        EXPECT_EQ(result.flux, 9000);
        EXPECT_EQ(result.pixelCount, 25);
        if (status != 0)
            continue;
        EXPECT_EQ(result.x, 20.0);
        EXPECT_EQ(result.y, 20.0);
        EXPECT_EQ(result.backgroundMedian, 240);
        EXPECT_EQ(result.backgroundMean, 240);
        EXPECT_EQ(result.backgroundSigma, 0);
    }
}

TEST(MeasureStar, StarEndingAtRadiusOneIsItsPeakPixel)
{
    std::vector<uint16_t> image(30 * 30, 950);
    image[15 * 30 + 15] = 1000; // ring 1 at 950: a drop of 5 %, below F = 10 %
    const MeasureParams params{2, 6, 0.1};
    StarMeasurement result;
    std::string message;
    ASSERT_EQ(measureStar(image.data(), 30, 30, &params, 15, 15, 1, &result, &message), 0)
        << message;
    EXPECT_EQ(result.radius, 1);
    EXPECT_EQ(result.flux, 1000);
    EXPECT_EQ(result.pixelCount, 1);
    EXPECT_EQ(result.backgroundMedian, 950);
}

TEST(MeasureStar, ProfileDownToZeroEndsTheStar)
{
    // A lone pixel on a zero background: ring 1 falls by 100 % and joins the star; ring 2
    // cannot fall below a mean of 0, so the star ends there instead of growing on.
    std::vector<uint16_t> image(30 * 30, 0);
    image[15 * 30 + 15] = 700;
    const MeasureParams params{2, 8, 0.5};
    StarMeasurement result;
    std::string message;
    ASSERT_EQ(measureStar(image.data(), 30, 30, &params, 15, 15, 1, &result, &message), 0)
        << message;
    EXPECT_EQ(result.radius, 2);
    EXPECT_EQ(result.flux, 700);
    EXPECT_EQ(result.pixelCount, 9);
    EXPECT_EQ(result.backgroundMedian, 0);
    EXPECT_EQ(result.backgroundSigma, 0);
}

TEST(MeasureStar, FluxBeyond32BitsIsRefused)
{
    // Rings falling by one count each from 65535 keep dropping by more than F = 1e-6
    // until ring 111, as bright as ring 110: the star holds the 38000-odd pixels of
    // radius up to 110 at about 65480 each, some 2.5e9 counts, more than 2^31 - 1.
    const int side = 251, centre = 125;
    std::vector<uint16_t> image(static_cast<size_t>(side) * side);
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            const int d2 = (x - centre) * (x - centre) + (y - centre) * (y - centre);
            int ring = 0;
            while ((ring + 1) * (ring + 1) <= d2)
                ++ring;
            image[static_cast<size_t>(y) * side + x] =
                static_cast<uint16_t>(65535 - std::min(ring, 110));
        }
    }
    const MeasureParams params{0, 120, 1e-6};
    StarMeasurement result;
    std::string message;
    EXPECT_EQ(measureStar(image.data(), side, side, &params, centre, centre, 1, &result, &message),
              -1);
    EXPECT_EQ(message, "Star flux exceeds 32-bit range");
}

TEST(MeasureStar, GaussianStarHasSensibleFluxRadiusAndPosition)
{
    const int width = 64, height = 64;
    std::vector<uint16_t> image(static_cast<size_t>(width) * height);
    FieldRandom random{12345};
    for (auto& pixel : image) {
        pixel = static_cast<uint16_t>(1000 + std::lround((nextUniform(&random) - 0.5) * 20));
    }
    // Total flux 2 pi sigma^2 A = 141372 counts above the sky.
    addGaussianStar(image.data(), width, height, 32.3, 31.8, 10000, 1.5);
    const MeasureParams params{4, 15, 0.05};
    for (int useClimb = 0; useClimb <= 1; ++useClimb) {
        StarMeasurement result;
        std::string message;
        ASSERT_EQ(
            measureStar(image.data(), width, height, &params, 30, 30, useClimb, &result, &message),
            0)
            << message;
        EXPECT_NEAR(result.x, 32.3, 0.1);
        EXPECT_NEAR(result.y, 31.8, 0.1);
        EXPECT_EQ(result.peak, image[32 * width + 32]);
        EXPECT_GE(result.radius, 4);
        EXPECT_LE(result.radius, 9);
        EXPECT_NEAR(result.backgroundMedian, 1000, 3);
        EXPECT_NEAR(result.backgroundSigma, 5.8, 1.0); // uniform over 20 counts: 20 / sqrt(12)
        const double net =
            result.flux - static_cast<double>(result.pixelCount) * result.backgroundMedian;
        EXPECT_NEAR(net, 141372, 0.03 * 141372);
    }
}

TEST(MeasureStar, BoxModeTakesTheFirstOfEqualBrightestPixels)
{
    struct Case {
        int ax, ay, bx, by;
        int expectedX, expectedY;
    };
    const Case cases[] = {
        {18, 20, 22, 20, 18, 20}, // same row: the smaller column
        {19, 21, 21, 19, 21, 19}, // the smaller row first, whatever the column
        {22, 18, 18, 22, 22, 18},
    };
    for (const auto& c : cases) {
        std::vector<uint16_t> image(40 * 40, 100);
        image[c.ay * 40 + c.ax] = 5000;
        image[c.by * 40 + c.bx] = 5000;
        const MeasureParams params{3, 8, 0.1};
        StarMeasurement result;
        std::string message;
        ASSERT_EQ(measureStar(image.data(), 40, 40, &params, 20, 20, 0, &result, &message), 0)
            << message;
        EXPECT_EQ(result.peak, 5000);
        EXPECT_EQ(result.x, c.expectedX) << c.ax << "," << c.ay;
        EXPECT_EQ(result.y, c.expectedY) << c.ax << "," << c.ay;
    }
}

TEST(MeasureStar, NoBrightestPixel)
{
    struct Case {
        const char* name;
        uint16_t background;
        int searchHalfWidth;
        int useClimb;
    };
    const Case cases[] = {
        {"all-zero box", 0, 3, 0},
        {"walk on an all-zero area", 0, 3, 1}, // would divide by a peak of 0
        {"walk longer than S", 100, 1, 1},     // the peak lies 3 columns away
        {"negative box half-width", 100, -1, 0},
    };
    for (const auto& c : cases) {
        std::vector<uint16_t> image(40 * 40, c.background);
        if (c.background != 0) {
            for (int x = 20; x <= 23; ++x)
                image[20 * 40 + x] = static_cast<uint16_t>(200 + 100 * (x - 20));
        }
        const MeasureParams params{c.searchHalfWidth, 6, 0.1};
        StarMeasurement result;
        std::string message;
        EXPECT_EQ(measureStar(image.data(), 40, 40, &params, 20, 20, c.useClimb, &result, &message),
                  -1)
            << c.name;
        EXPECT_EQ(message, "No brightest pixel found") << c.name;
    }
}

TEST(MeasureStar, BoundsCoverTheSearchAndTheRings)
{
    // Every pixel read lies within S + R of (x, y); closer to an edge is refused. The
    // image has exactly 30 x 30 pixels, so a read outside it is caught by the sanitizer.
    struct Case {
        int x, y, searchHalfWidth, maxRadius;
        bool refused;
    };
    const Case cases[] = {
        {8, 15, 3, 6, true}, // x - R >= 0, but the walk and rings may reach x - 8
        {6, 6, 3, 6, true},  // the rings around (3, 3) would start before the buffer
        {9, 15, 3, 6, false},
        {9, 9, 3, 6, false},   // corner: reads come within a pixel of row 0 and column 0
        {20, 15, 3, 6, false}, // x + S + R = 29, the last column
        {21, 15, 3, 6, true},
        {15, 21, 3, 6, true},
        {15, 15, 0, 0, false}, // R below 1 still needs one pixel for the walk
        {0, 15, 0, 0, true},
        {15, 15, INT_MAX, INT_MAX, true},
    };
    for (const auto& c : cases) {
        for (int useClimb = 0; useClimb <= 1; ++useClimb) {
            // The star sits S away towards the nearest corner, where the walk takes it.
            const int cx = c.x < 15 ? c.x - 3 : c.x + 3, cy = c.y < 15 ? c.y - 3 : c.y + 3;
            const std::vector<uint16_t> image = ringImage(30, 30, cx, cy);
            const MeasureParams params{c.searchHalfWidth, c.maxRadius, 0.1};
            StarMeasurement result;
            std::string message;
            const int status =
                measureStar(image.data(), 30, 30, &params, c.x, c.y, useClimb, &result, &message);
            const std::string outside = "Coordinates [" + std::to_string(c.x) + "," +
                                        std::to_string(c.y) + "] lie outside image";
            if (c.refused) {
                EXPECT_EQ(status, -1) << c.x << "," << c.y;
                EXPECT_EQ(message, outside);
            } else {
                EXPECT_NE(message, outside) << c.x << "," << c.y;
            }
        }
    }
}

TEST(CompareMeasurements, MagnitudeDifferenceAndError)
{
    StarMeasurement a;
    a.flux = 9000, a.pixelCount = 25, a.backgroundMedian = 240, a.peak = 1000,
    a.backgroundSigma = 10;
    StarMeasurement b;
    b.flux = 4000, b.pixelCount = 25, b.backgroundMedian = 100, b.peak = 600,
    b.backgroundSigma = 20;
    // Net fluxes 3000 and 1500: 2.511886 log10(2); signal-to-noise 76 and 25.
    double difference = 0, error = 0;
    ASSERT_EQ(compareMeasurements(&a, &b, &difference, &error), 0);
    EXPECT_NEAR(difference, 0.7561530316884151, 1e-15);
    EXPECT_NEAR(error, std::sqrt(0.088 * 0.088 + (2.2 / 76) * (2.2 / 76)), 1e-15);
    ASSERT_EQ(compareMeasurements(&b, &a, &difference, &error), 0);
    EXPECT_NEAR(difference, -0.7561530316884151, 1e-15);

    // A flat background (sigma 0) adds no error.
    StarMeasurement flat = b;
    flat.backgroundSigma = 0;
    ASSERT_EQ(compareMeasurements(&a, &flat, &difference, &error), 0);
    EXPECT_NEAR(error, 2.2 / 76, 1e-15);
    ASSERT_EQ(compareMeasurements(&flat, &flat, &difference, &error), 0);
    EXPECT_EQ(difference, 0.0);
    EXPECT_EQ(error, 0.0);
}

TEST(CompareMeasurements, UndefinedComparisonsFailAndLeaveOutputs)
{
    StarMeasurement good;
    good.flux = 9000, good.pixelCount = 25, good.backgroundMedian = 240, good.peak = 1000,
    good.backgroundSigma = 10;
    StarMeasurement zeroNet = good;
    zeroNet.flux = 6000; // 25 * 240
    StarMeasurement negativeNet = good;
    negativeNet.flux = 100;
    StarMeasurement peakAtBackground = good;
    peakAtBackground.peak = 240;
    const StarMeasurement* bad[] = {&zeroNet, &negativeNet, &peakAtBackground};
    for (const StarMeasurement* star : bad) {
        double difference = 7, error = 8;
        EXPECT_EQ(compareMeasurements(&good, star, &difference, &error), -1);
        EXPECT_EQ(compareMeasurements(star, &good, &difference, &error), -1);
        EXPECT_EQ(difference, 7);
        EXPECT_EQ(error, 8);
    }
}

TEST(AddShiftedImage, AddsTheOverlapWithSaturation)
{
    // 3 x 2 images.
    const std::vector<uint16_t> destination = {1, 2, 3, 4, 5, 65000};
    const std::vector<uint16_t> source = {10, 20, 30, 40, 50, 600};
    struct Case {
        int dx, dy;
        std::vector<uint16_t> expected;
    };
    const Case cases[] = {
        {0, 0, {11, 22, 33, 44, 55, 65535}},
        {1, 0, {1, 12, 23, 4, 45, 65050}},
        {-1, 1, {1, 2, 3, 24, 35, 65000}},
        {2, -1, {1, 2, 43, 4, 5, 65000}},
        {3, 0, destination},
        {-3, 0, destination},
        {0, 2, destination},
        {0, -2, destination},
        {INT_MIN, INT_MAX, destination},
        {INT_MAX, 0, destination},
    };
    for (const auto& c : cases) {
        FitsImage image;
        image.width = 3;
        image.height = 2;
        image.pixels = destination;
        addShiftedImage(&image, source.data(), c.dx, c.dy);
        EXPECT_EQ(image.pixels, c.expected) << c.dx << "," << c.dy;
    }
}

} // namespace

namespace {

std::vector<float> asValues(const std::vector<uint16_t>& pixels, double scale, double offset)
{
    std::vector<float> values(pixels.size());
    for (size_t i = 0; i < pixels.size(); ++i)
        values[i] = static_cast<float>(pixels[i] * scale + offset);
    return values;
}

TEST(MeasureStarValues, AgreesWithMeasureStarOnWholeValues)
{
    // A noisy field of Gaussian stars of several widths, measured from many starting
    // points in both modes and at several flattening fractions.
    const int side = 96;
    std::vector<uint16_t> image(static_cast<size_t>(side) * side);
    uint64_t state = 12345;
    for (int y = 0; y < side; ++y) {
        for (int x = 0; x < side; ++x) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            double v = 300 + static_cast<double>(state >> 58); // sky and noise of 0..63
            const double stars[][4] = {
                {30.3, 31.6, 5000, 1.2}, {60.8, 40.1, 900, 2.5}, {45.0, 70.4, 20000, 0.8}};
            for (const auto& s : stars) {
                const double r2 = (x - s[0]) * (x - s[0]) + (y - s[1]) * (y - s[1]);
                v += s[2] * std::exp(-r2 / (2 * s[3] * s[3]));
            }
            image[static_cast<size_t>(y) * side + x] = static_cast<uint16_t>(v);
        }
    }
    const std::vector<float> values = asValues(image, 1, 0);
    int measured = 0;
    for (double fraction : {0.05, 0.2, 0.5}) {
        const MeasureParams params{4, 12, fraction};
        for (int y = 16; y < side - 16; y += 3) {
            for (int x = 16; x < side - 16; x += 3) {
                for (int climb = 0; climb <= 1; ++climb) {
                    StarMeasurement a;
                    StarValues b;
                    std::string ma, mb;
                    const int sa =
                        measureStar(image.data(), side, side, &params, x, y, climb, &a, &ma);
                    const int sb = measureStarValues(values.data(), nullptr, side, side, &params, x,
                                                     y, climb, &b, &mb);
                    ASSERT_EQ(sa, sb) << x << " " << y << " " << climb << " " << ma << " " << mb;
                    ASSERT_EQ(ma, mb) << x << " " << y << " " << climb;
                    if (sa != 0)
                        continue;
                    ++measured;
                    EXPECT_EQ(a.x, b.x);
                    EXPECT_EQ(a.y, b.y);
                    EXPECT_EQ(a.peak, b.peak);
                    EXPECT_EQ(a.radius, b.radius);
                    EXPECT_EQ(a.flux, b.flux);
                    EXPECT_EQ(a.pixelCount, b.pixelCount);
                    EXPECT_EQ(a.backgroundMedian, b.backgroundMedian);
                    EXPECT_EQ(a.backgroundMean, static_cast<int32_t>(b.backgroundMean + 0.5));
                    EXPECT_EQ(a.backgroundSigma, static_cast<int32_t>(b.backgroundSigma));
                }
            }
        }
    }
    EXPECT_GT(measured, 500);
}

TEST(MeasureStarValues, PixelsWithoutDataAreNeverPartOfTheStar)
{
    // The ring image of the tests above (star at (20, 20), rings 1000, 500, 250, then 240),
    // in physical units: (value - 240) / 1000, so the sky is 0.
    const std::vector<uint16_t> image = ringImage(40, 40, 20, 20);
    const std::vector<float> values = asValues(image, 1e-3, -0.24);
    struct Case {
        const char* what;
        int emptyX, emptyY; // the pixel without data (-1: none)
        int useClimb;
        const char* message;
    };
    const Case cases[] = {
        {"no pixel without data", -1, -1, 1, ""},
        {"one in the noise annulus", 26, 20, 1, ""},
        {"one in ring 1", 21, 20, 0, "Star reaches pixels without data"},
        {"one in the ring that ends the star", 20, 24, 1, "Star reaches pixels without data"},
        {"the starting pixel, walking", 21, 19, 1, "No brightest pixel found"},
        {"the peak, box", 20, 20, 0, "Star reaches pixels without data"},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> noData(values.size(), 0);
        if (c.emptyX >= 0)
            noData[static_cast<size_t>(c.emptyY) * 40 + c.emptyX] = 1;
        const MeasureParams params{3, 9, 0.1};
        StarValues result;
        std::string message;
        const int status = measureStarValues(values.data(), noData.data(), 40, 40, &params, 21, 19,
                                             c.useClimb, &result, &message);
        EXPECT_EQ(status, c.message[0] ? -1 : 0) << c.what;
        EXPECT_EQ(message, c.message) << c.what;
        if (status != 0)
            continue;
        // Ring 3 is the sky, 0: it still falls by 100 % and joins the star, whose profile
        // then ends at ring 4.
        EXPECT_EQ(result.x, 20.0) << c.what;
        EXPECT_EQ(result.y, 20.0) << c.what;
        EXPECT_EQ(result.radius, 4) << c.what;
        EXPECT_NEAR(result.flux, 0.76 + 8 * 0.26 + 16 * 0.01, 1e-5) << c.what;
        EXPECT_NEAR(result.backgroundMedian, 0, 1e-6) << c.what;
        EXPECT_NEAR(result.backgroundSigma, 0, 1e-6) << c.what;
    }
}

} // namespace
