// Difference imaging: kernel fit, resampling, noise image and detection on synthetic pairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "diff/convolve.hpp"
#include "diff/difference.hpp"
#include "diff/kernel_fit.hpp"
#include "diff/resample.hpp"
#include "fits/fits_image.hpp"

using namespace newstars;

namespace {

constexpr double PI = 3.141592653589793;

// Adds a Gaussian of total flux `flux` and deviation sigma at (cx, cy), sampled at pixel
// centres, out to 6 deviations.
void addStar(std::vector<double>* image, int w, int h, double cx, double cy, double flux,
             double sigma)
{
    const int r = static_cast<int>(std::ceil(6 * sigma));
    for (int y = std::max(0, static_cast<int>(cy) - r);
         y <= std::min(h - 1, static_cast<int>(cy) + r); ++y) {
        for (int x = std::max(0, static_cast<int>(cx) - r);
             x <= std::min(w - 1, static_cast<int>(cx) + r); ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            (*image)[static_cast<size_t>(y) * w + x] +=
                flux / (2 * PI * sigma * sigma) * std::exp(-r2 / (2 * sigma * sigma));
        }
    }
}

// Photon noise for 2 electrons per ADU and read noise 4 ADU, rounded, clipped to 16 bits.
std::vector<uint16_t> digitize(const std::vector<double>& signal, std::mt19937_64* random)
{
    std::normal_distribution<double> normal(0, 1);
    std::vector<uint16_t> pixels(signal.size());
    for (size_t i = 0; i < signal.size(); ++i) {
        const double v = signal[i] + std::sqrt(signal[i] / 2 + 16) * normal(*random);
        pixels[i] = static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
    }
    return pixels;
}

TEST(FitKernel, RecoversAKnownKernel)
{
    struct Case {
        double sigma, dx, dy, scale, background;
    };
    const Case cases[] = {
        {1.0, 0.0, 0.0, 0.8, 5.0},    // plain blur and flux scale
        {1.4, 0.3, -0.2, 1.25, -3.0}, // wider, off centre
    };
    const int w = 256, h = 256, hw = 7;
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> place(20, 236), bright(2e4, 2e5);
    std::vector<double> sky(static_cast<size_t>(w) * h, 100.0);
    std::vector<int32_t> cx, cy;
    for (int s = 0; s < 60; ++s) {
        const double x = place(random), y = place(random);
        addStar(&sky, w, h, x, y, bright(random), 1.2);
        cx.push_back(static_cast<int32_t>(std::lround(x)));
        cy.push_back(static_cast<int32_t>(std::lround(y)));
    }
    FloatImage source;
    source.width = w;
    source.height = h;
    source.pixels.assign(sky.begin(), sky.end());
    for (const Case& c : cases) {
        // The known kernel, and the target made from it by direct summation.
        std::vector<double> known(static_cast<size_t>((2 * hw + 1) * (2 * hw + 1)));
        double sum = 0;
        for (int b = -hw; b <= hw; ++b) {
            for (int a = -hw; a <= hw; ++a) {
                const double r2 = (a - c.dx) * (a - c.dx) + (b - c.dy) * (b - c.dy);
                known[static_cast<size_t>((b + hw) * (2 * hw + 1) + a + hw)] =
                    std::exp(-r2 / (2 * c.sigma * c.sigma));
                sum += std::exp(-r2 / (2 * c.sigma * c.sigma));
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
                        v += known[static_cast<size_t>((b + hw) * (2 * hw + 1) + a + hw)] *
                             sky[static_cast<size_t>(y - b) * w + (x - a)];
                target.pixels[static_cast<size_t>(y) * w + x] = static_cast<float>(v);
            }
        }
        KernelFitOptions options;
        options.sigmas = {0.7, 1.4, 2.8};
        options.degrees = {4, 3, 2};
        options.halfWidth = hw;
        options.stampHalfSize = 8;
        options.spatialOrder = 0;
        NoiseModel noise{2.0, 4.0};
        KernelSolution kernel;
        ASSERT_EQ(fitKernel(source, target, nullptr, noise, noise, cx, cy, options, &kernel),
                  DiffStatus::Ok)
            << c.sigma;
        std::vector<double> fitted;
        kernelAt(kernel, 128, 128, &fitted);
        double worst = 0, peak = 0;
        for (size_t q = 0; q < known.size(); ++q) {
            worst = std::max(worst, std::fabs(fitted[q] - known[q]));
            peak = std::max(peak, known[q]);
        }
        // The basis spans the kernel to about a percent of its peak.
        EXPECT_LT(worst, 0.02 * peak) << c.sigma;
        EXPECT_NEAR(kernelSumAt(kernel, 128, 128), c.scale, 2e-3 * c.scale) << c.sigma;
        EXPECT_NEAR(backgroundAt(kernel, 128, 128), c.background, 0.1) << c.sigma;

        // The convolution of the fitted kernel gives the target, by either method.
        for (ConvolveMethod method : {ConvolveMethod::Direct, ConvolveMethod::Fourier}) {
            FloatImage convolved;
            ASSERT_EQ(convolveImage(source, kernel, 64, method, &convolved), DiffStatus::Ok);
            double rms = 0, count = 0;
            for (int y = 2 * hw; y < h - 2 * hw; ++y) {
                for (int x = 2 * hw; x < w - 2 * hw; ++x) {
                    const size_t i = static_cast<size_t>(y) * w + x;
                    const double e =
                        convolved.pixels[i] + backgroundAt(kernel, x, y) - target.pixels[i];
                    rms += e * e;
                    ++count;
                }
            }
            EXPECT_LT(std::sqrt(rms / count), 1.0)
                << c.sigma << " method " << static_cast<int>(method);
        }
    }
}

TEST(ResampleLanczos3, KeepsFluxAndPlacesAShiftedStar)
{
    struct Case {
        double scale, angle, du, dv; // reference = scale * rotate(test) + shift
    };
    const Case cases[] = {
        {1.0, 0.0, 3.25, -1.5}, // shift only
        {1.1, 0.2, 5.4, -7.9},  // larger reference pixels... and a rotation
        {0.9, -0.5, 12.3, 2.2},
    };
    const int w = 160, h = 160;
    const double starU = 80.3, starV = 77.6, flux = 1e6, sigma = 2.0;
    std::vector<double> signal(static_cast<size_t>(w) * h, 0.0);
    addStar(&signal, w, h, starU, starV, flux, sigma);
    std::vector<uint16_t> reference(signal.size());
    for (size_t i = 0; i < signal.size(); ++i)
        reference[i] = static_cast<uint16_t>(std::lround(signal[i]));
    for (const Case& c : cases) {
        PixelMap map;
        map.centreX = 79.5;
        map.centreY = 79.5;
        map.scale = 80;
        const double ca = std::cos(c.angle) * c.scale, sa = std::sin(c.angle) * c.scale;
        // u = ca (x - 79.5) - sa (y - 79.5) + 79.5 + du, in normalised terms
        map.u = {79.5 + c.du, ca * 80, -sa * 80};
        map.v = {79.5 + c.dv, sa * 80, ca * 80};
        FloatImage out;
        std::vector<uint8_t> mask;
        double factor = 0;
        ASSERT_EQ(resampleLanczos3(reference.data(), w, h, map, w, h, &out, &mask, &factor),
                  DiffStatus::Ok);
        // Where the star should land: the inverse of the map.
        const double ou = starU - 79.5 - c.du, ov = starV - 79.5 - c.dv;
        const double det = ca * ca + sa * sa;
        const double ex = (ca * ou + sa * ov) / det + 79.5, ey = (-sa * ou + ca * ov) / det + 79.5;
        double total = 0, mx = 0, my = 0;
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < w; ++x) {
                const double v = out.pixels[static_cast<size_t>(y) * w + x];
                total += v;
                mx += v * x;
                my += v * y;
            }
        }
        EXPECT_NEAR(total, flux, 2e-3 * flux) << c.scale << " " << c.angle;
        EXPECT_NEAR(mx / total, ex, 0.002) << c.scale << " " << c.angle;
        EXPECT_NEAR(my / total, ey, 0.002) << c.scale << " " << c.angle;
        EXPECT_GT(factor, 0.3);
        EXPECT_LT(factor, 1.0);
        EXPECT_EQ(mask[80 * w + 80], 0) << c.scale;
        EXPECT_EQ(mask[0], MASK_NO_DATA) << c.scale;
    }
}

// A pair of 512 x 512 images of one star field, the reference shifted and of another
// seeing, and new sources, a cosmic ray and a hot pixel in the test image.
struct SyntheticPair {
    std::vector<uint16_t> test, reference;
    std::vector<double> newX, newY;
    double rayX = 0, rayY = 0;
};

SyntheticPair makePair(double testSigma, double referenceSigma, uint64_t seed)
{
    const int w = 512, h = 512;
    const double shiftX = 3.3, shiftY = -2.1; // reference position = test position + shift
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> place(10, 502), unit(0, 1);
    std::vector<double> t(static_cast<size_t>(w) * h, 800.0), r(t.size(), 1500.0);
    for (int s = 0; s < 400; ++s) {
        const double x = place(random), y = place(random);
        const double flux = 300 * std::pow(10.0, 3.0 * unit(random));
        addStar(&t, w, h, x, y, flux, testSigma);
        addStar(&r, w, h, x + shiftX, y + shiftY, 2 * flux, referenceSigma);
    }
    SyntheticPair pair;
    for (int k = 0; k < 6; ++k) {
        const double x = 60 + 78 * k + 0.37 * k, y = 100 + 61 * k + 0.21;
        addStar(&t, w, h, x, y, 6000, testSigma); // about 40 sigma
        pair.newX.push_back(x);
        pair.newY.push_back(y);
    }
    pair.test = digitize(t, &random);
    pair.reference = digitize(r, &random);
    pair.rayX = 300;
    pair.rayY = 420;
    pair.test[420 * w + 300] = 4000;
    return pair;
}

PixelMap shiftMap(double dx, double dy)
{
    PixelMap map;
    map.centreX = map.centreY = 255.5;
    map.scale = 256;
    map.u = {255.5 + dx, 256, 0};
    map.v = {255.5 + dy, 0, 256};
    return map;
}

TEST(SubtractImages, NoiseImageMatchesTheScatterOfTheDifference)
{
    struct Case {
        double testSigma, referenceSigma;
    };
    const Case cases[] = {{1.8, 1.2}, {1.2, 1.8}}; // seeing worse in the test, then better
    for (const Case& c : cases) {
        const SyntheticPair pair = makePair(c.testSigma, c.referenceSigma, 11);
        DifferenceOptions options;
        options.testGain = options.referenceGain = 2;
        DifferenceResult result;
        // The initial map is off by half a pixel; the star fit must find the rest.
        ASSERT_EQ(subtractImages(pair.test.data(), 512, 512, pair.reference.data(), 512, 512,
                                 shiftMap(2.8, -1.7), options, {}, &result),
                  DiffStatus::Ok);
        EXPECT_EQ(result.referenceConvolved, c.referenceSigma < c.testSigma);
        EXPECT_TRUE(result.registrationRefined);
        EXPECT_LT(result.registration.rms, 0.05);
        EXPECT_NEAR(result.fluxScale, 2.0, 0.02);
        double sum = 0, squares = 0, count = 0;
        for (size_t i = 0; i < result.difference.pixels.size(); ++i) {
            if (result.mask[i] != 0)
                continue;
            const double z = result.difference.pixels[i] / std::sqrt(result.variance.pixels[i]);
            sum += z;
            squares += z * z;
            ++count;
        }
        const double mean = sum / count, deviation = std::sqrt(squares / count - mean * mean);
        EXPECT_NEAR(mean, 0.0, 0.05) << c.testSigma;
        // Convolution and resampling correlate the noise; the model is good to 15 %.
        EXPECT_NEAR(deviation, 1.0, 0.15) << c.testSigma;
    }
}

TEST(SubtractImages, FindsNewSourcesAndRejectsACosmicRay)
{
    const double sigmas[][2] = {{1.8, 1.2}, {1.2, 1.8}};
    for (const auto& s : sigmas) {
        const SyntheticPair pair = makePair(s[0], s[1], 23);
        DifferenceOptions options;
        DifferenceResult result;
        ASSERT_EQ(subtractImages(pair.test.data(), 512, 512, pair.reference.data(), 512, 512,
                                 shiftMap(3.3, -2.1), options, {}, &result),
                  DiffStatus::Ok);
        size_t found = 0;
        int kept = 0, rayKept = 0;
        for (const DifferenceSource& d : result.sources) {
            kept += d.reasons == 0 ? 1 : 0;
            // The hit is rejected as sharp, or cleaned away before a convolution of the test.
            if (std::hypot(d.x - pair.rayX, d.y - pair.rayY) < 3)
                rayKept += d.reasons == 0 ? 1 : 0;
        }
        for (size_t k = 0; k < pair.newX.size(); ++k) {
            for (const DifferenceSource& d : result.sources) {
                if (d.reasons == 0 && std::hypot(d.x - pair.newX[k], d.y - pair.newY[k]) < 0.3) {
                    ++found;
                    EXPECT_NEAR(d.flux, 6000, 600) << k;
                }
            }
        }
        EXPECT_EQ(found, pair.newX.size()) << s[0];
        EXPECT_EQ(rayKept, 0) << s[0];
        EXPECT_LE(kept, static_cast<int>(pair.newX.size()) + 1) << s[0];
    }
}

// A float image of the 16-bit one: physical values (pixel - sky) * 1e-3 and SATURATE; the
// columns from emptyFrom on hold no data, with fill in values (NaN, 0, or anything: the
// mask decides).
FitsImage floatImage(const std::vector<uint16_t>& pixels, double sky, int32_t emptyFrom, float fill)
{
    FitsImage image;
    image.bitpix = -32;
    image.width = image.height = 512;
    image.values.resize(pixels.size());
    image.noData.assign(pixels.size(), PIXEL_HAS_DATA);
    for (size_t i = 0; i < pixels.size(); ++i) {
        image.values[i] = static_cast<float>((pixels[i] - sky) * 1e-3);
        if (static_cast<int32_t>(i % 512) >= emptyFrom) {
            image.values[i] = fill;
            image.noData[i] = PIXEL_NO_DATA;
        }
    }
    EXPECT_EQ(setRealCard(&image, "SATURATE", (65535 - sky) * 1e-3, 12), 0);
    return image;
}

TEST(SubtractImages, FloatImagesReportNothingOnOrBesideAnEmptyArea)
{
    // The new sources lie at x = 60, 138.4, 216.7, 295.1, 373.5, 451.9: an empty area from
    // column 300 of the test image (or 303 of the reference, shifted by 3.3) holds the last
    // two and has the fourth 5 pixels from its edge.
    const SyntheticPair pair = makePair(1.8, 1.2, 23);
    struct Case {
        const char* what;
        int32_t testEmpty, referenceEmpty;
        float fill;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Case cases[] = {
        {"no empty area", 512, 512, 0},          {"test empty, zeros", 300, 512, 0},
        {"test empty, NaN", 300, 512, nan},      {"reference empty, zeros", 512, 303, 0},
        {"reference empty, NaN", 512, 303, nan}, {"reference empty, values left", 512, 303, 1e6f},
    };
    for (const Case& c : cases) {
        ImagePlane test, reference;
        ASSERT_EQ(makeImagePlane(floatImage(pair.test, 800, c.testEmpty, c.fill), &test),
                  DiffStatus::Ok);
        ASSERT_EQ(
            makeImagePlane(floatImage(pair.reference, 1500, c.referenceEmpty, c.fill), &reference),
            DiffStatus::Ok);
        DifferenceOptions options;
        DifferenceResult result;
        ASSERT_EQ(subtractImages(test, reference, shiftMap(3.3, -2.1), options, {}, &result),
                  DiffStatus::Ok)
            << c.what;
        EXPECT_TRUE(result.registrationRefined) << c.what;
        // The first test column without data in either image (through the shift).
        const bool empty = c.testEmpty < 512 || c.referenceEmpty < 512;
        const double edge = std::min<double>(c.testEmpty, c.referenceEmpty - 3.3);
        size_t found = 0;
        for (const DifferenceSource& d : result.sources) {
            if (d.reasons != 0)
                continue;
            EXPECT_TRUE(!empty || d.x < edge - 6) << c.what << ": kept at " << d.x << " " << d.y;
            for (size_t k = 0; k < pair.newX.size(); ++k) {
                if (std::hypot(d.x - pair.newX[k], d.y - pair.newY[k]) < 0.3) {
                    ++found;
                    EXPECT_NEAR(d.flux, 6.0, 0.6) << c.what << " " << k;
                }
            }
        }
        EXPECT_EQ(found, empty ? 3u : pair.newX.size()) << c.what;
        const size_t masked =
            static_cast<size_t>(std::count_if(result.mask.begin(), result.mask.end(),
                                              [](uint8_t m) { return (m & MASK_NO_DATA) != 0; }));
        EXPECT_GE(masked, empty ? 212u * 512 : 0u) << c.what;
    }
}

} // namespace

namespace {

// Two pairs at once, their bands and tiles on threads both share.
TEST(SubtractImagesThreads, GiveTheSameResultOnEveryThread)
{
    const SyntheticPair pair = makePair(1.8, 1.2, 31);
    SharedThreads shared(3);
    auto run = [&](DifferenceResult* result, SharedThreads* threads) {
        DifferenceOptions options;
        options.threads = threads;
        return subtractImages(pair.test.data(), 512, 512, pair.reference.data(), 512, 512,
                              shiftMap(3.3, -2.1), options, {}, result);
    };
    DifferenceResult alone, first, second;
    ASSERT_EQ(run(&alone, nullptr), DiffStatus::Ok);
    DiffStatus s1 = DiffStatus::BadInput, s2 = DiffStatus::BadInput;
    std::thread a([&] { s1 = run(&first, &shared); });
    std::thread b([&] { s2 = run(&second, &shared); });
    a.join();
    b.join();
    ASSERT_EQ(s1, DiffStatus::Ok);
    ASSERT_EQ(s2, DiffStatus::Ok);
    for (const DifferenceResult* r : {&first, &second}) {
        EXPECT_EQ(r->difference.pixels, alone.difference.pixels);
        EXPECT_EQ(r->variance.pixels, alone.variance.pixels);
        ASSERT_EQ(r->sources.size(), alone.sources.size());
        for (size_t k = 0; k < alone.sources.size(); ++k) {
            EXPECT_EQ(r->sources[k].x, alone.sources[k].x) << k;
            EXPECT_EQ(r->sources[k].flux, alone.sources[k].flux) << k;
        }
    }
}

// Bands and tiles on shared threads: every step's output, bit for bit, and every
// detection are those of the calling thread alone, whichever image is convolved, by either
// convolution method, on 16-bit or floating-point planes. (Too long for the race checker:
// the test above runs the pipeline on shared threads there.)
TEST(SubtractImagesBands, EveryThreadCountGivesTheSameBytes)
{
    struct Case {
        const char* what;
        double testSigma, referenceSigma;
        ConvolveMethod method;
        bool floatPlanes;
    };
    const Case cases[] = {
        {"reference convolved, Fourier", 1.8, 1.2, ConvolveMethod::Fourier, false},
        {"test convolved, direct", 1.2, 1.8, ConvolveMethod::Direct, false},
        {"floating point, empty area", 1.8, 1.2, ConvolveMethod::Auto, true},
    };
    for (const Case& c : cases) {
        const SyntheticPair pair = makePair(c.testSigma, c.referenceSigma, 53);
        ImagePlane test, reference;
        if (c.floatPlanes) {
            ASSERT_EQ(makeImagePlane(floatImage(pair.test, 800, 400, 0), &test), DiffStatus::Ok);
            ASSERT_EQ(makeImagePlane(floatImage(pair.reference, 1500, 512, 0), &reference),
                      DiffStatus::Ok);
        } else {
            ASSERT_EQ(makePlane16(pair.test.data(), 512, 512, &test), DiffStatus::Ok);
            ASSERT_EQ(makePlane16(pair.reference.data(), 512, 512, &reference), DiffStatus::Ok);
        }
        DifferenceOptions options;
        options.method = c.method;
        options.tileSize = 128;
        DifferenceResult alone;
        ASSERT_EQ(subtractImages(test, reference, shiftMap(3.3, -2.1), options, {}, &alone),
                  DiffStatus::Ok)
            << c.what;
        ASSERT_FALSE(alone.sources.empty()) << c.what;
        for (int threads : {1, 2, 4}) {
            SharedThreads shared(threads);
            options.threads = &shared;
            DifferenceResult r;
            ASSERT_EQ(subtractImages(test, reference, shiftMap(3.3, -2.1), options, {}, &r),
                      DiffStatus::Ok)
                << c.what << " " << threads;
            EXPECT_EQ(r.difference.pixels, alone.difference.pixels) << c.what << " " << threads;
            EXPECT_EQ(r.variance.pixels, alone.variance.pixels) << c.what << " " << threads;
            EXPECT_EQ(r.reference.pixels, alone.reference.pixels) << c.what << " " << threads;
            EXPECT_EQ(r.mask, alone.mask) << c.what << " " << threads;
            EXPECT_EQ(r.noiseScale, alone.noiseScale) << c.what << " " << threads;
            ASSERT_EQ(r.sources.size(), alone.sources.size()) << c.what << " " << threads;
            for (size_t k = 0; k < alone.sources.size(); ++k) {
                const DifferenceSource &a = alone.sources[k], &b = r.sources[k];
                EXPECT_TRUE(a.x == b.x && a.y == b.y && a.flux == b.flux &&
                            a.fluxError == b.fluxError && a.peakSnr == b.peakSnr &&
                            a.referenceFlux == b.referenceFlux && a.reasons == b.reasons)
                    << c.what << " " << threads << " source " << k;
            }
        }
    }
}

} // namespace

namespace {

TEST(SubtractPlanes, GivesWhatSubtractImagesGivesAndReleasesTheValues)
{
    // Either image convolved, hot pixels in the reference (cleaned before resampling), and
    // floating-point planes with an area without data.
    struct Case {
        const char* what;
        double testSigma, referenceSigma;
        bool floatPlanes;
    };
    const Case cases[] = {
        {"reference convolved", 1.8, 1.2, false},
        {"test convolved", 1.2, 1.8, false},
        {"floating point, empty area", 1.8, 1.2, true},
    };
    for (const Case& c : cases) {
        SyntheticPair pair = makePair(c.testSigma, c.referenceSigma, 41);
        for (size_t at : {20000u, 70001u, 150003u})
            pair.reference[at] = 9000;
        ImagePlane test, reference;
        if (c.floatPlanes) {
            ASSERT_EQ(makeImagePlane(floatImage(pair.test, 800, 400, 0), &test), DiffStatus::Ok);
            ASSERT_EQ(makeImagePlane(floatImage(pair.reference, 1500, 512, 0), &reference),
                      DiffStatus::Ok);
        } else {
            ASSERT_EQ(makePlane16(pair.test.data(), 512, 512, &test), DiffStatus::Ok);
            ASSERT_EQ(makePlane16(pair.reference.data(), 512, 512, &reference), DiffStatus::Ok);
        }
        const DifferenceOptions options;
        DifferenceResult kept, taken;
        ASSERT_EQ(subtractImages(test, reference, shiftMap(3.3, -2.1), options, {}, &kept),
                  DiffStatus::Ok)
            << c.what;
        const size_t stars = test.stars.x.size();
        ASSERT_EQ(subtractPlanes(&test, &reference, shiftMap(3.3, -2.1), options, {}, &taken),
                  DiffStatus::Ok)
            << c.what;
        EXPECT_GT(kept.referenceCosmicPixels, 0) << c.what;
        EXPECT_EQ(taken.referenceCosmicPixels, kept.referenceCosmicPixels) << c.what;
        EXPECT_EQ(taken.testCosmicPixels, kept.testCosmicPixels) << c.what;
        EXPECT_EQ(taken.difference.pixels, kept.difference.pixels) << c.what;
        EXPECT_EQ(taken.variance.pixels, kept.variance.pixels) << c.what;
        EXPECT_EQ(taken.reference.pixels, kept.reference.pixels) << c.what;
        EXPECT_EQ(taken.mask, kept.mask) << c.what;
        ASSERT_EQ(taken.sources.size(), kept.sources.size()) << c.what;
        for (size_t k = 0; k < kept.sources.size(); ++k) {
            EXPECT_EQ(taken.sources[k].x, kept.sources[k].x) << c.what << " " << k;
            EXPECT_EQ(taken.sources[k].flux, kept.sources[k].flux) << c.what << " " << k;
        }
        EXPECT_TRUE(test.values.empty() && reference.values.empty()) << c.what;
        EXPECT_EQ(test.stars.x.size(), stars) << c.what;
    }
    ImagePlane one;
    DifferenceResult result;
    EXPECT_EQ(subtractPlanes(&one, &one, shiftMap(0, 0), DifferenceOptions{}, {}, &result),
              DiffStatus::BadInput);
}

} // namespace
