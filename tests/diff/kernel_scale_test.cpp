// The flux scale from large apertures and the kernel fit that holds it: Moffat point
// spreads whose wings reach beyond the kernel, known kernels, degenerate inputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "diff/kernel_fit.hpp"

using namespace newstars;

namespace {

constexpr double PI = 3.141592653589793;

// Adds a Moffat profile of index beta, width at half maximum fwhm and total flux (over the
// whole plane) at (cx, cy), sampled at pixel centres out to radius reach.
void addMoffat(std::vector<double>* image, int w, int h, double cx, double cy, double flux,
               double fwhm, double beta, int reach)
{
    const double alpha = fwhm / (2 * std::sqrt(std::pow(2.0, 1 / beta) - 1));
    const double norm = (beta - 1) / (PI * alpha * alpha);
    const int ix = static_cast<int>(std::lround(cx)), iy = static_cast<int>(std::lround(cy));
    for (int y = std::max(0, iy - reach); y <= std::min(h - 1, iy + reach); ++y) {
        for (int x = std::max(0, ix - reach); x <= std::min(w - 1, ix + reach); ++x) {
            const double r2 = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (alpha * alpha);
            (*image)[static_cast<size_t>(y) * w + x] += flux * norm * std::pow(1 + r2, -beta);
        }
    }
}

// An exponential disc of total flux about `flux` and scale length `length` (a galaxy's
// halo), the same in any seeing to the precision that matters here.
void addHalo(std::vector<double>* image, int w, int h, double cx, double cy, double flux,
             double length)
{
    const double norm = flux / (2 * PI * length * length);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const double r = std::sqrt((x - cx) * (x - cx) + (y - cy) * (y - cy));
            (*image)[static_cast<size_t>(y) * w + x] += norm * std::exp(-r / length);
        }
    }
}

FloatImage floatImage(const std::vector<double>& values, int w, int h)
{
    FloatImage image;
    image.width = w;
    image.height = h;
    image.pixels.assign(values.begin(), values.end());
    return image;
}

// Photon and read noise (gain 2, read noise 4 ADU) added to every pixel.
void addNoise(FloatImage* image, std::mt19937_64* random)
{
    std::normal_distribution<double> normal(0, 1);
    for (float& v : image->pixels)
        v = static_cast<float>(v + std::sqrt(std::max(static_cast<double>(v), 0.0) / 2 + 16) *
                                       normal(*random));
}

struct Scene {
    FloatImage source, target;
    std::vector<int32_t> x, y; // star centres, whole pixels
};

// A sharp source and a blurrier target of the same stars (Moffat, index beta) and halo,
// the target's fluxes times scale, both on a sky of 100 ADU with noise.
// newSources stars are in the source alone (new sources of a sharper test image).
Scene moffatPair(double beta, double sharpFwhm, double blurFwhm, double scale, bool halo,
                 int newSources, unsigned seed)
{
    const int w = 512, h = 512;
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> place(30, 482), bright(1e5, 1e6), sub(-0.5, 0.5);
    std::vector<double> sharp(static_cast<size_t>(w) * h, 100.0), blur = sharp;
    if (halo) {
        addHalo(&sharp, w, h, 256, 256, 3e6, 25);
        addHalo(&blur, w, h, 256, 256, 3e6 * scale, 25);
    }
    Scene scene;
    for (int s = 0; s < 40; ++s) {
        const double x = std::round(place(random)) + sub(random);
        const double y = std::round(place(random)) + sub(random);
        const double flux = bright(random);
        addMoffat(&sharp, w, h, x, y, flux, sharpFwhm, beta, 150);
        addMoffat(&blur, w, h, x, y, flux * scale, blurFwhm, beta, 150);
        scene.x.push_back(static_cast<int32_t>(std::lround(x)));
        scene.y.push_back(static_cast<int32_t>(std::lround(y)));
    }
    for (int s = 0; s < newSources; ++s)
        addMoffat(&sharp, w, h, place(random), place(random), bright(random), sharpFwhm, beta, 150);
    scene.source = floatImage(sharp, w, h);
    scene.target = floatImage(blur, w, h);
    addNoise(&scene.source, &random);
    addNoise(&scene.target, &random);
    return scene;
}

KernelFitOptions smallKernel()
{
    KernelFitOptions options;
    options.sigmas = {0.8, 1.6, 3.2};
    options.degrees = {4, 3, 2};
    options.halfWidth = 8;
    options.stampHalfSize = 10;
    options.spatialOrder = 0;
    return options;
}

TEST(ApertureFluxScale, HoldsTheScaleOfMoffatPairsThatTheFreeFitMisses)
{
    struct Case {
        double beta, sharpFwhm, blurFwhm, scale;
        bool halo;
        double skyError; // ADU added to the target's stated sky level
        int newSources;  // bright sources in the source image alone
    };
    const Case cases[] = {
        {2.5, 3.0, 4.5, 0.9, false, 0, 0},  // the wings beyond the kernel
        {2.5, 3.0, 4.5, 1.2, true, 0, 0},   // and a galaxy's halo under the stars
        {2.0, 2.5, 3.0, 1.0, false, 0, 0},  // wider wings
        {4.0, 3.0, 5.0, 0.8, true, 0, 0},   // nearly Gaussian
        {2.5, 3.0, 4.5, 1.1, true, 3, 0},   // a sky level 3 ADU off (5 400 ADU per aperture)
        {2.5, 3.0, 4.5, 1.1, false, 3, 12}, // and new sources among the brightest peaks
    };
    const NoiseModel noise{2.0, 4.0};
    for (const Case& c : cases) {
        const Scene scene =
            moffatPair(c.beta, c.sharpFwhm, c.blurFwhm, c.scale, c.halo, c.newSources, 11);
        ApertureScaleOptions apertures;
        apertures.radius = 24;
        double scale = 0;
        int used = 0;
        ASSERT_EQ(apertureFluxScale(scene.source, scene.target, nullptr, noise, noise, 100,
                                    100 + c.skyError, std::sqrt(100 / 2.0 + 16), apertures, &scale,
                                    &used),
                  DiffStatus::Ok)
            << c.beta;
        EXPECT_GE(used, 10) << c.beta;
        EXPECT_NEAR(scale, c.scale, 0.005 * c.scale) << c.beta << " " << c.halo;

        // The kernel fitted with that sum held keeps it; the shape still fits.
        KernelFitOptions fit = smallKernel();
        fit.fixedSum = scale;
        KernelSolution held;
        ASSERT_EQ(fitKernel(scene.source, scene.target, nullptr, noise, noise, scene.x, scene.y,
                            fit, &held),
                  DiffStatus::Ok)
            << c.beta;
        EXPECT_NEAR(kernelSumAt(held, 256, 256), c.scale, 0.005 * c.scale) << c.beta;
        EXPECT_NEAR(kernelSumAt(held, 10, 300), scale, 1e-12) << c.beta;
        EXPECT_LT(held.chiSquare, 50) << c.beta;
    }
}

TEST(FitKernel, HoldingTheTrueSumRecoversAKnownConvolution)
{
    struct Case {
        double sigma, dx, dy, scale, background;
        int spatialOrder;
        double basisWidth; // the basis's Gaussians: half, once and twice this
    };
    const Case cases[] = {
        {1.0, 0.0, 0.0, 0.8, 5.0, 0, 1.0},
        {1.4, 0.3, -0.2, 1.25, -3.0, 1, 1.4},
        {1.0, -0.2, 0.1, 1.0, 0.0, 2, 1.0},
        {2.0, 0.0, 0.0, 1.1, 2.0, 0, 1.8}, // a width the basis does not hold
    };
    const int w = 256, h = 256, hw = 8;
    std::mt19937_64 random(5);
    std::uniform_real_distribution<double> place(25, 231), bright(2e4, 2e5);
    std::vector<double> sky(static_cast<size_t>(w) * h, 100.0);
    std::vector<int32_t> cx, cy;
    for (int s = 0; s < 80; ++s) {
        const double x = place(random), y = place(random);
        addMoffat(&sky, w, h, x, y, bright(random), 2.5, 3.0, 40);
        cx.push_back(static_cast<int32_t>(std::lround(x)));
        cy.push_back(static_cast<int32_t>(std::lround(y)));
    }
    const FloatImage source = floatImage(sky, w, h);
    const int side = 2 * hw + 1;
    for (const Case& c : cases) {
        std::vector<double> known(static_cast<size_t>(side * side));
        double sum = 0;
        for (int b = -hw; b <= hw; ++b) {
            for (int a = -hw; a <= hw; ++a) {
                const double r2 = (a - c.dx) * (a - c.dx) + (b - c.dy) * (b - c.dy);
                known[static_cast<size_t>((b + hw) * side + a + hw)] =
                    std::exp(-r2 / (2 * c.sigma * c.sigma));
                sum += known[static_cast<size_t>((b + hw) * side + a + hw)];
            }
        }
        for (double& k : known)
            k *= c.scale / sum;
        FloatImage target = source;
        for (int y = hw; y < h - hw; ++y) {
            for (int x = hw; x < w - hw; ++x) {
                double v = c.background;
                for (int b = -hw; b <= hw; ++b)
                    for (int a = -hw; a <= hw; ++a)
                        v += known[static_cast<size_t>((b + hw) * side + a + hw)] *
                             sky[static_cast<size_t>(y - b) * w + (x - a)];
                target.pixels[static_cast<size_t>(y) * w + x] = static_cast<float>(v);
            }
        }
        KernelFitOptions fit = smallKernel();
        fit.sigmas = {0.5 * c.basisWidth, c.basisWidth, 2 * c.basisWidth};
        fit.halfWidth = hw;
        fit.spatialOrder = c.spatialOrder;
        fit.fixedSum = c.scale;
        const NoiseModel noise{2.0, 4.0};
        KernelSolution kernel;
        ASSERT_EQ(fitKernel(source, target, nullptr, noise, noise, cx, cy, fit, &kernel),
                  DiffStatus::Ok)
            << c.sigma;
        for (const double at : {40.0, 128.0, 215.0}) {
            std::vector<double> fitted;
            kernelAt(kernel, at, 255 - at, &fitted);
            double worst = 0, peak = 0;
            for (size_t q = 0; q < known.size(); ++q) {
                worst = std::max(worst, std::fabs(fitted[q] - known[q]));
                peak = std::max(peak, known[q]);
            }
            // The basis spans the kernel to 3 % of its peak, everywhere.
            EXPECT_LT(worst, 0.03 * peak) << c.sigma << " at " << at;
            EXPECT_NEAR(kernelSumAt(kernel, at, 255 - at), c.scale, 1e-12) << c.sigma;
            EXPECT_NEAR(backgroundAt(kernel, at, 255 - at), c.background, 0.2) << c.sigma;
        }
    }
}

TEST(ApertureFluxScale, DegenerateInputsGiveAStatusAndLeaveTheOutputs)
{
    const int w = 200, h = 200;
    const NoiseModel noise{2.0, 4.0};
    const FloatImage flat =
        floatImage(std::vector<double>(static_cast<size_t>(w) * h, 100.0), w, h);
    std::vector<double> starry(static_cast<size_t>(w) * h, 100.0);
    for (int s = 0; s < 5; ++s)
        addMoffat(&starry, w, h, 30 + 35 * s, 30 + 34 * s, 3e5, 3.0, 2.5, 30);
    const FloatImage stars = floatImage(starry, w, h);
    const std::vector<uint8_t> allMasked(static_cast<size_t>(w) * h, 1);
    FloatImage small = flat;
    small.width = 64;
    ApertureScaleOptions good;
    good.radius = 10;
    ApertureScaleOptions tiny = good, huge = good, none = good;
    tiny.radius = 1;
    huge.radius = 101;
    none.minApertures = 0;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        const char* what;
        const FloatImage* source;
        const FloatImage* target;
        const uint8_t* mask;
        double sourceLevel, sigma;
        const ApertureScaleOptions* options;
        DiffStatus expected;
    };
    const Case cases[] = {
        {"flat images", &flat, &flat, nullptr, 100, 6, &good, DiffStatus::TooFewStars},
        {"all masked", &stars, &stars, allMasked.data(), 100, 6, &good, DiffStatus::TooFewStars},
        {"sizes differ", &stars, &small, nullptr, 100, 6, &good, DiffStatus::BadInput},
        {"radius 1", &stars, &stars, nullptr, 100, 6, &tiny, DiffStatus::BadInput},
        {"radius 101", &stars, &stars, nullptr, 100, 6, &huge, DiffStatus::BadInput},
        {"no apertures asked", &stars, &stars, nullptr, 100, 6, &none, DiffStatus::BadInput},
        {"level not a number", &stars, &stars, nullptr, nan, 6, &good, DiffStatus::BadInput},
        {"no sky deviation", &stars, &stars, nullptr, 100, 0, &good, DiffStatus::BadInput},
        {"stars", &stars, &stars, nullptr, 100, 6, &good, DiffStatus::Ok},
    };
    for (const Case& c : cases) {
        double scale = -7;
        int used = -7;
        EXPECT_EQ(apertureFluxScale(*c.source, *c.target, c.mask, noise, noise, c.sourceLevel, 100,
                                    c.sigma, *c.options, &scale, &used),
                  c.expected)
            << c.what;
        if (c.expected == DiffStatus::Ok) {
            EXPECT_NEAR(scale, 1.0, 1e-9) << c.what;
            EXPECT_EQ(used, 5) << c.what;
        } else {
            EXPECT_EQ(scale, -7) << c.what;
            EXPECT_EQ(used, -7) << c.what;
        }
    }
}

TEST(FitKernel, DegenerateInputsWithAHeldSumGiveAStatus)
{
    const int w = 128, h = 128;
    const NoiseModel noise{2.0, 4.0};
    const FloatImage flat =
        floatImage(std::vector<double>(static_cast<size_t>(w) * h, 100.0), w, h);
    std::vector<double> starry(static_cast<size_t>(w) * h, 100.0);
    std::vector<int32_t> x, y;
    for (int s = 0; s < 5; ++s) {
        addMoffat(&starry, w, h, 30 + 17 * s, 30 + 16 * s, 3e5, 3.0, 2.5, 30);
        x.push_back(30 + 17 * s);
        y.push_back(30 + 16 * s);
    }
    const FloatImage stars = floatImage(starry, w, h);
    const std::vector<uint8_t> allMasked(static_cast<size_t>(w) * h, 1);
    struct Case {
        const char* what;
        const FloatImage* source;
        const uint8_t* mask;
        double fixedSum;
        DiffStatus expected;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"all masked", &stars, allMasked.data(), 1.0, DiffStatus::TooFewStars},
        {"flat source", &flat, nullptr, 1.0, DiffStatus::TooFewStars},
        {"negative sum", &stars, nullptr, -1.0, DiffStatus::BadInput},
        {"sum not a number", &stars, nullptr, nan, DiffStatus::BadInput},
        {"infinite sum", &stars, nullptr, inf, DiffStatus::BadInput},
        {"stars", &stars, nullptr, 1.0, DiffStatus::Ok},
    };
    for (const Case& c : cases) {
        KernelFitOptions fit = smallKernel();
        fit.halfWidth = 6;
        fit.stampHalfSize = 6;
        fit.fixedSum = c.fixedSum;
        KernelSolution kernel;
        kernel.stampsUsed = -7;
        EXPECT_EQ(fitKernel(*c.source, stars, c.mask, noise, noise, x, y, fit, &kernel), c.expected)
            << c.what;
        if (c.expected == DiffStatus::Ok)
            EXPECT_NEAR(kernelSumAt(kernel, 64, 64), 1.0, 1e-12) << c.what;
        else
            EXPECT_EQ(kernel.stampsUsed, -7) << c.what;
    }
}

} // namespace
