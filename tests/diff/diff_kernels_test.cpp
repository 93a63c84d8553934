// Difference imaging: the separable filter, the mapped pixel's area, the kernel's basis
// and the convolution by direct sums and by Fourier transforms, each against sums
// written out here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "diff/convolve.hpp"
#include "diff/detect.hpp"
#include "diff/diff_image.hpp"
#include "diff/kernel_fit.hpp"
#include "diff/pixel_map.hpp"

using namespace newstars;

namespace {

FloatImage randomImage(int32_t width, int32_t height, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> value(-50.0f, 1000.0f);
    FloatImage image;
    image.width = width;
    image.height = height;
    image.pixels.resize(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (float& p : image.pixels)
        p = value(random);
    return image;
}

double pixelOrZero(const FloatImage& image, int x, int y)
{
    if (x < 0 || y < 0 || x >= image.width || y >= image.height)
        return 0;
    return image
        .pixels[static_cast<size_t>(y) * static_cast<size_t>(image.width) + static_cast<size_t>(x)];
}

double largestValue(const FloatImage& image)
{
    double largest = 0;
    for (float p : image.pixels)
        largest = std::max(largest, std::fabs(static_cast<double>(p)));
    return largest;
}

} // namespace

TEST(FilterSeparable, EqualsTheTwoDimensionalSumWithZerosOutside)
{
    struct Case {
        int32_t width, height;
        std::vector<float> weights;
    };
    const Case cases[] = {
        {7, 5, {1.0f}},                                       // radius 0: a copy
        {9, 6, {0.25f, 0.5f, 0.25f}},                         // radius 1
        {17, 11, {0.1f, -0.2f, 0.6f, -0.2f, 0.1f}},           // negative weights
        {3, 2, {0.05f, 0.1f, 0.2f, 0.3f, 0.2f, 0.1f, 0.05f}}, // wider than the image
        {1, 1, {0.2f, 0.6f, 0.2f}},
    };
    for (const Case& c : cases) {
        const FloatImage in = randomImage(c.width, c.height, 11);
        FloatImage out; // sized by the caller
        ASSERT_EQ(allocateFloatImage(c.width, c.height, &out), DiffStatus::Ok);
        filterSeparable(in, c.weights, &out);
        const int r = static_cast<int>(c.weights.size() / 2);
        double worst = 0;
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                double sum = 0;
                for (int b = 0; b <= 2 * r; ++b) {
                    for (int a = 0; a <= 2 * r; ++a)
                        sum += static_cast<double>(c.weights[static_cast<size_t>(a)]) *
                               c.weights[static_cast<size_t>(b)] *
                               pixelOrZero(in, x + a - r, y + b - r);
                }
                worst = std::max(worst, std::fabs(pixelOrZero(out, x, y) - sum));
            }
        }
        // Single-precision sums of at most 49 terms of values up to 1000.
        EXPECT_LE(worst, 1e-6 * largestValue(in) * static_cast<double>(c.weights.size()))
            << c.width << " x " << c.height << ", radius " << r;
    }
}

TEST(MapAreaFactor, IsTheJacobianDeterminantOfTheMap)
{
    struct Case {
        const char* what;
        PixelMap map;
        double x, y;
        double expected; // NaN: the numerical derivative of mapPosition
    };
    const double c = std::cos(0.3), s = std::sin(0.3);
    const Case cases[] = {
        {"identity", PixelMap{}, 12, -7, 1},
        {"stretched 2 by 3", PixelMap{1, 0, 0, 1, {5, 2, 0}, {1, 0, 3}}, 40, 40, 6},
        {"mirrored", PixelMap{1, 0, 0, 1, {0, -1, 0}, {0, 0, 1}}, 3, 3, 1},
        {"rotated and scaled by 1.5 with normalised coordinates",
         PixelMap{1, 100, 80, 50, {0, 75 * c, -75 * s}, {0, 75 * s, 75 * c}}, 10, 200, 2.25},
        {"quadratic", PixelMap{2, 50, 50, 100, {1, 100, 3, 4, -2, 1}, {-2, 5, 95, 1, 6, -3}}, 20,
         70, NAN},
        {"cubic",
         PixelMap{
             3, 0, 0, 200, {0, 200, 1, 2, 3, 4, 5, -6, 7, 8}, {0, -1, 190, 3, 2, -1, 4, 3, 2, 1}},
         150, 30, NAN},
    };
    for (const Case& k : cases) {
        double expected = k.expected;
        if (std::isnan(expected)) {
            // Central differences over 1e-3 pixels; the maps' third derivatives are tiny.
            const double step = 1e-3;
            double u1 = 0, v1 = 0, u2 = 0, v2 = 0, u3 = 0, v3 = 0, u4 = 0, v4 = 0;
            mapPosition(k.map, k.x + step, k.y, &u1, &v1);
            mapPosition(k.map, k.x - step, k.y, &u2, &v2);
            mapPosition(k.map, k.x, k.y + step, &u3, &v3);
            mapPosition(k.map, k.x, k.y - step, &u4, &v4);
            const double dudx = (u1 - u2) / (2 * step), dvdx = (v1 - v2) / (2 * step);
            const double dudy = (u3 - u4) / (2 * step), dvdy = (v3 - v4) / (2 * step);
            expected = std::fabs(dudx * dvdy - dudy * dvdx);
        }
        // Exact to rounding up to quadratic maps; for cubic ones the area over a pixel
        // differs from the derivative at its centre by about a 24th of the third derivative
        // (here below 1e-6).
        const double tolerance = k.map.order < 3 ? 1e-9 : 1e-6;
        EXPECT_NEAR(mapAreaFactor(k.map, k.x, k.y), expected, tolerance) << k.what;
    }
}

TEST(MakeKernelBasis, FirstSumsToOneOthersToZeroEachAGaussianTimesAMonomial)
{
    struct Case {
        std::vector<double> sigmas;
        std::vector<int> degrees;
        int halfWidth;
    };
    const Case cases[] = {
        {{1.2}, {0}, 3},
        {{0.7, 1.5, 3.0}, {4, 3, 2}, 8},
        {{0.9, 2.0}, {2, 1}, 1},
        {{1.0, 4.0}, {6, 0}, 30},
    };
    for (const Case& c : cases) {
        KernelFitOptions options;
        options.sigmas = c.sigmas;
        options.degrees = c.degrees;
        options.halfWidth = c.halfWidth;
        KernelSolution kernel;
        ASSERT_EQ(makeKernelBasis(options, &kernel), DiffStatus::Ok) << c.halfWidth;
        const int h = c.halfWidth, side = 2 * h + 1;
        size_t count = 0;
        for (int d : c.degrees)
            count += static_cast<size_t>((d + 1) * (d + 2) / 2);
        ASSERT_EQ(kernel.basis.size(), count) << h;
        EXPECT_EQ(kernel.halfWidth, h);
        EXPECT_TRUE(kernel.coefficients.empty());
        for (size_t k = 0; k < kernel.basis.size(); ++k) {
            ASSERT_EQ(kernel.basis[k].size(), static_cast<size_t>(side * side)) << k;
            // Gaussian termGaussian[k] times (a / h)^px (b / h)^py, written out here, with the
            // first one's multiple that makes its sum 0 taken off and scaled to unit length
            // (the first one scaled to sum 1).
            const double sigma = c.sigmas[static_cast<size_t>(kernel.termGaussian[k])];
            std::vector<double> raw(static_cast<size_t>(side * side));
            double sum = 0;
            for (int b = -h; b <= h; ++b) {
                for (int a = -h; a <= h; ++a) {
                    const double value =
                        std::pow(static_cast<double>(a) / h, kernel.termPowerX[k]) *
                        std::pow(static_cast<double>(b) / h, kernel.termPowerY[k]) *
                        std::exp(-(a * a + b * b) / (2 * sigma * sigma));
                    raw[static_cast<size_t>((b + h) * side + (a + h))] = value;
                    sum += value;
                }
            }
            double norm = 0, basisSum = 0;
            for (size_t q = 0; q < raw.size(); ++q) {
                raw[q] = k == 0 ? raw[q] / sum : raw[q] - sum * kernel.basis[0][q];
                norm += raw[q] * raw[q];
                basisSum += kernel.basis[k][q];
            }
            EXPECT_NEAR(basisSum, k == 0 ? 1.0 : 0.0, 1e-12) << "basis " << k << ", h " << h;
            norm = k == 0 ? 1 : std::sqrt(norm);
            double worst = 0;
            for (size_t q = 0; q < raw.size(); ++q)
                worst = std::max(worst, std::fabs(raw[q] / norm - kernel.basis[k][q]));
            EXPECT_LE(worst, 1e-12) << "basis " << k << ", h " << h;
        }
    }

    struct Bad {
        const char* what;
        std::vector<double> sigmas;
        std::vector<int> degrees;
        int halfWidth;
    };
    const Bad bad[] = {
        {"no Gaussian", {}, {}, 5},    {"degrees and sigmas differ", {1, 2}, {1}, 5},
        {"sigma 0", {0}, {1}, 5},      {"NaN sigma", {NAN}, {1}, 5},
        {"degree 7", {1}, {7}, 5},     {"negative degree", {1}, {-1}, 5},
        {"half width 0", {1}, {1}, 0}, {"half width 31", {1}, {1}, 31},
    };
    for (const Bad& c : bad) {
        KernelFitOptions options;
        options.sigmas = c.sigmas;
        options.degrees = c.degrees;
        options.halfWidth = c.halfWidth;
        KernelSolution kernel;
        kernel.halfWidth = 99;
        EXPECT_EQ(makeKernelBasis(options, &kernel), DiffStatus::BadInput) << c.what;
        EXPECT_EQ(kernel.halfWidth, 99) << c.what;
    }
}

// A kernel of the given half width whose coefficients vary over the image (spatial order
// 1), or not at all (order 0).
static KernelSolution spatialKernel(int halfWidth, int spatialOrder, int32_t width, int32_t height)
{
    KernelFitOptions options;
    options.sigmas = {0.8, 1.7};
    options.degrees = {2, 1};
    options.halfWidth = halfWidth;
    KernelSolution kernel;
    EXPECT_EQ(makeKernelBasis(options, &kernel), DiffStatus::Ok);
    kernel.spatialOrder = spatialOrder;
    kernel.centreX = width / 2.0;
    kernel.centreY = height / 2.0;
    kernel.scale = std::max(width, height) / 2.0;
    const size_t terms = static_cast<size_t>(polynomialTermCount(spatialOrder));
    kernel.coefficients.assign((kernel.basis.size() + 1) * terms, 0.0);
    for (size_t k = 0; k < kernel.basis.size(); ++k) {
        kernel.coefficients[k * terms] = k == 0 ? 1.1 : 0.3 / static_cast<double>(k + 1);
        for (size_t m = 1; m < terms; ++m)
            kernel.coefficients[k * terms + m] = 0.05 * static_cast<double>(m) - 0.02 * k;
    }
    kernel.coefficients[kernel.basis.size() * terms] = 7; // background, never added
    return kernel;
}

TEST(ConvolveImage, DirectAndFourierAgreeToRoundingAndMatchTheSum)
{
    struct Case {
        int32_t width, height;
        int halfWidth, tileSize, spatialOrder;
    };
    const Case cases[] = {
        {40, 33, 2, 16, 0}, {40, 33, 2, 16, 1},   {100, 70, 5, 64, 1},
        {64, 64, 8, 32, 1}, {37, 90, 3, 2048, 0}, {20, 20, 12, 16, 1}, // kernel wider than a tile
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << " x " << c.height << ", h " << c.halfWidth
                                        << ", tile " << c.tileSize << ", order " << c.spatialOrder);
        const FloatImage source = randomImage(c.width, c.height, 5);
        const KernelSolution kernel = spatialKernel(c.halfWidth, c.spatialOrder, c.width, c.height);
        FloatImage direct, fourier, automatic;
        ASSERT_EQ(convolveImage(source, kernel, c.tileSize, ConvolveMethod::Direct, &direct),
                  DiffStatus::Ok);
        ASSERT_EQ(convolveImage(source, kernel, c.tileSize, ConvolveMethod::Fourier, &fourier),
                  DiffStatus::Ok);
        ASSERT_EQ(convolveImage(source, kernel, c.tileSize, ConvolveMethod::Auto, &automatic),
                  DiffStatus::Ok);
        ASSERT_EQ(direct.pixels.size(), source.pixels.size());
        ASSERT_EQ(fourier.pixels.size(), source.pixels.size());
        const bool autoIsFourier = c.halfWidth >= FOURIER_FROM_HALF_WIDTH;
        EXPECT_EQ(automatic.pixels, autoIsFourier ? fourier.pixels : direct.pixels);

        // Single-precision rounding of sums of up to 625 products, relative to the largest
        // output value.
        const double largest = largestValue(direct);
        double worst = 0;
        for (size_t i = 0; i < direct.pixels.size(); ++i)
            worst = std::max(worst,
                             std::fabs(static_cast<double>(direct.pixels[i]) - fourier.pixels[i]));
        EXPECT_LE(worst, 2e-5 * largest);

        if (c.spatialOrder != 0)
            continue;
        // A kernel constant over the image: the sum of the definition, at every pixel.
        std::vector<double> k;
        kernelAt(kernel, 0, 0, &k);
        const int h = c.halfWidth, side = 2 * h + 1;
        double worstSum = 0;
        for (int y = 0; y < c.height; ++y) {
            for (int x = 0; x < c.width; ++x) {
                double sum = 0;
                for (int b = -h; b <= h; ++b) {
                    for (int a = -h; a <= h; ++a)
                        sum += k[static_cast<size_t>((b + h) * side + (a + h))] *
                               pixelOrZero(source, x - a, y - b);
                }
                worstSum = std::max(worstSum, std::fabs(pixelOrZero(direct, x, y) - sum));
            }
        }
        EXPECT_LE(worstSum, 2e-5 * largest);
    }
}
