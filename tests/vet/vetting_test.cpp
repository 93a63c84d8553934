// Tests of candidate vetting on synthetic pairs: the shape measures of known profiles and
// the verdict on each kind of false candidate beside real new sources.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "base/statistics.hpp"
#include "vet/vetting.hpp"
#include "vet_scene.hpp"

using namespace newstars;

namespace {

TEST(MeasureSourceShape, MatchesKnownProfilesWithoutNoise)
{
    // Noise-free Gaussians on a flat sky of 1000. A centred Gaussian of deviation s has
    // four neighbours at exp(-1/(2 s^2)) and four at exp(-1/s^2) of its peak.
    struct Case {
        double sx, sy;
        double sharpness, fwhm, elongation, tolerance;
    };
    const auto gaussSharpness = [](double s) {
        return (std::exp(-1 / (2 * s * s)) + std::exp(-1 / (s * s))) / 2;
    };
    const Case cases[] = {
        {1.3, 1.3, gaussSharpness(1.3), 2.3548 * 1.3, 1.0, 0.02},
        {2.0, 2.0, gaussSharpness(2.0), 2.3548 * 2.0, 1.0, 0.02},
        // A 3:1 ellipse: the window shortens the long axis, leaving a ratio above 1.5.
        {3.0, 1.0, NAN, NAN, 1.5, 0},
        {0.3, 0.3, 0.0, NAN, 1.0, 0.01}, // a single hot pixel
    };
    for (const Case& c : cases) {
        std::vector<double> signal(static_cast<size_t>(SCENE_SIZE) * SCENE_SIZE);
        addSource(&signal, 200, 200, 20000, c.sx, c.sy);
        FitsImage image;
        image.width = image.height = SCENE_SIZE;
        for (double v : signal)
            image.pixels.push_back(static_cast<uint16_t>(std::lround(1000 + v)));
        SourceShape shape;
        ASSERT_EQ(measureSourceShape(image, 200.2, 199.8, VetParams{}, &shape), VetStatus::Ok);
        EXPECT_EQ(shape.peakX, 200);
        EXPECT_EQ(shape.peakY, 200);
        EXPECT_EQ(shape.background, 1000);
        EXPECT_NEAR(shape.peak, 20000, 0.5);
        if (!std::isnan(c.sharpness)) {
            EXPECT_NEAR(shape.sharpness, c.sharpness, c.tolerance) << c.sx << " " << c.sy;
        }
        if (!std::isnan(c.fwhm)) {
            EXPECT_NEAR(shape.fwhm, c.fwhm, 0.05 * c.fwhm) << c.sx << " " << c.sy;
        }
        if (c.tolerance > 0) {
            EXPECT_NEAR(shape.elongation, c.elongation, 0.05) << c.sx << " " << c.sy;
        } else {
            EXPECT_GT(shape.elongation, c.elongation) << c.sx << " " << c.sy;
        }
    }
}

TEST(MeasureApertureFlux, SkyIsTheMedianAndDeviationOfTheAnnulus)
{
    // Pixel patterns whose values cross byte boundaries, spread over the whole range, or
    // hold saturated pixels (left out of the sky); the expected values by sorting.
    struct Case {
        const char* what;
        uint16_t (*pixel)(int x, int y);
    };
    const Case cases[] = {
        {"across 256",
         [](int x, int y) { return static_cast<uint16_t>(200 + (x * 7 + y * 13) % 120); }},
        {"whole range",
         [](int x, int y) {
             return static_cast<uint16_t>((x * 2654435761u + y * 40503u) % 65535);
         }},
        {"with saturated pixels",
         [](int x, int y) {
             return static_cast<uint16_t>((x + y) % 3 == 0 ? 65535 : 1000 + x % 5);
         }},
    };
    const VetParams params;
    for (const Case& c : cases) {
        FitsImage image;
        image.width = image.height = 64;
        std::vector<uint16_t> annulus;
        for (int y = 0; y < 64; ++y) {
            for (int x = 0; x < 64; ++x) {
                image.pixels.push_back(c.pixel(x, y));
                const int r2 = (x - 30) * (x - 30) + (y - 31) * (y - 31);
                if (r2 >= 49 && r2 <= 144 && c.pixel(x, y) < 65535)
                    annulus.push_back(c.pixel(x, y));
            }
        }
        std::sort(annulus.begin(), annulus.end());
        const uint16_t median = annulus[(annulus.size() - 1) / 2];
        std::vector<uint16_t> deviations;
        for (uint16_t v : annulus)
            deviations.push_back(static_cast<uint16_t>(std::abs(v - median)));
        std::sort(deviations.begin(), deviations.end());
        const double spread = ROBUST_SIGMA_PER_MAD * deviations[(deviations.size() - 1) / 2];
        ApertureFlux flux;
        ASSERT_EQ(measureApertureFlux(image, 30.2, 30.9, 2.5, params, &flux), VetStatus::Ok);
        EXPECT_EQ(flux.background, median) << c.what;
        EXPECT_DOUBLE_EQ(flux.noise, std::sqrt(spread * spread + 1.0 / 12)) << c.what;
    }
}

TEST(MeasureSourceShape, RefusesPositionsItCannotMeasure)
{
    FitsImage image;
    image.width = image.height = 40;
    image.pixels.assign(1600, 1000);
    SourceShape shape;
    shape.peak = -7;
    EXPECT_EQ(measureSourceShape(image, 1, 20, VetParams{}, &shape), VetStatus::OutsideImage);
    EXPECT_EQ(measureSourceShape(image, 20, NAN, VetParams{}, &shape), VetStatus::OutsideImage);
    EXPECT_EQ(measureSourceShape(image, 20, 20, VetParams{}, &shape), VetStatus::NoFlux);
    image.pixels.assign(1600, 65535);
    EXPECT_EQ(measureSourceShape(image, 20, 20, VetParams{}, &shape), VetStatus::NoBackground);
    EXPECT_EQ(shape.peak, -7);
    ApertureFlux flux;
    EXPECT_EQ(measureApertureFlux(image, 2, 20, 3, VetParams{}, &flux), VetStatus::OutsideImage);
}

// The candidates of the scene, each kind of false one beside real new sources, and the
// verdict each should get.
struct CandidateCase {
    const char* what;
    double x, y;
    uint32_t expected;
};

const CandidateCase CANDIDATES[] = {
    {"new source, peak 40 sigma", 260, 60, 0},
    {"faint new source, peak 12 sigma", 320, 60, 0},
    {"broad new source", 260, 120, 0},
    {"hot pixel", 320, 120, VET_SHARP},
    {"cosmic-ray track of two pixels", 260, 180, VET_SHARP | VET_ELONGATED},
    {"long cosmic-ray track", 320, 180, VET_SHARP | VET_ELONGATED},
    {"elongated blob", 260, 240, VET_ELONGATED},
    {"star in both images", 320, 240, VET_IN_REFERENCE},
    {"star brightened tenfold", 260, 300, 0},
    {"star saturated in the reference only", 320, 300, VET_SATURATED_REFERENCE | VET_IN_REFERENCE},
    {"new source with a cosmic-ray track beside it", 260, 360, 0},
    {"new source by a saturated hot pixel of the reference", 320, 360, 0},
};

// Puts the candidates of CANDIDATES into the scene; *test and *reference get the images.
void addCandidates(Scene* scene, FitsImage* test, FitsImage* reference)
{
    std::vector<double>& t = scene->testSignal;
    std::vector<double>& r = scene->referenceSignal;
    const double dx = SCENE_SHIFT_X, dy = SCENE_SHIFT_Y;
    addSource(&t, 260, 60, 400, 1.3, 1.3);
    addSource(&t, 320.4, 60.3, 120, 1.3, 1.3);
    addSource(&t, 260, 120, 600, 2.2, 2.2);
    t[120 * SCENE_SIZE + 320] += 3000;
    t[180 * SCENE_SIZE + 260] += 2000;
    t[181 * SCENE_SIZE + 261] += 1500;
    for (int k = 0; k < 6; ++k)
        t[static_cast<size_t>(180) * SCENE_SIZE + 317 + k] += 1200 + 200 * k;
    addSource(&t, 260, 240, 900, 3.5, 1.2);
    addSource(&t, 320, 240, 800, 1.3, 1.3);
    addSource(&r, 320 + dx, 240 + dy, 400, 1.3, 1.3);
    addSource(&t, 260, 300, 4000, 1.3, 1.3);
    addSource(&r, 260 + dx, 300 + dy, 200, 1.3, 1.3);
    addSource(&t, 320, 300, 30000, 1.3, 1.3);
    addSource(&r, 320 + dx, 300 + dy, 150000, 1.3, 1.3);
    addSource(&t, 260, 360, 400, 1.3, 1.3);
    t[364 * SCENE_SIZE + 263] += 3000;
    t[365 * SCENE_SIZE + 263] += 2500;
    addSource(&t, 320, 360, 400, 1.3, 1.3);
    r[static_cast<size_t>(362 - 2) * SCENE_SIZE + 322 + 3] += 90000;
    *test = digitize(t, 5);
    *reference = digitize(r, 6);
}

// The 16-bit image as a 32-bit float image of physical values (value - 1000) * scale, the
// sky subtracted, with SATURATE where 65535 was; pixels from column emptyFrom on hold no
// data (value 0).
FitsImage floatImage(const FitsImage& image16, double scale, int32_t emptyFrom)
{
    FitsImage image;
    image.bitpix = -32;
    image.width = image16.width;
    image.height = image16.height;
    image.values.resize(image16.pixels.size());
    image.noData.assign(image16.pixels.size(), PIXEL_HAS_DATA);
    for (size_t i = 0; i < image16.pixels.size(); ++i) {
        image.values[i] = static_cast<float>((image16.pixels[i] - 1000.0) * scale);
        if (static_cast<int32_t>(i % static_cast<size_t>(image.width)) >= emptyFrom) {
            image.values[i] = 0;
            image.noData[i] = PIXEL_NO_DATA;
        }
    }
    EXPECT_EQ(setRealCard(&image, "SATURATE", (65535 - 1000) * scale, 10), 0);
    return image;
}

TEST(VetCandidate, RejectsEachKindOfFalseCandidateAndKeepsNewSources)
{
    Scene scene;
    FitsImage test, reference;
    addCandidates(&scene, &test, &reference);

    const VetParams params;
    ReferenceStarIndex index;
    indexReferenceStars(scene.referenceStars, &index);
    StarStatistics statistics;
    measureStarStatistics(test, reference, scene.stars, params, &statistics);
    EXPECT_EQ(statistics.count, 36);
    EXPECT_NEAR(statistics.fwhmMedian, 2.3548 * 1.3, 0.15);
    EXPECT_NEAR(statistics.fluxScale, 2.0, 0.05);
    EXPECT_NEAR(statistics.elongationMedian, 1.0, 0.05);

    for (const CandidateCase& c : CANDIDATES) {
        CandidateVetting v;
        vetCandidate(test, reference, index, statistics, scene.at(c.x, c.y), params, &v);
        EXPECT_TRUE(v.measured) << c.what;
        EXPECT_EQ(vetReasonText(v.reasons), vetReasonText(c.expected))
            << c.what << ": sharpness " << v.shape.sharpness << " elongation " << v.shape.elongation
            << " ref S/N " << v.referenceSnr << " flux " << v.testFlux.flux;
    }
}

TEST(VetCandidate, FloatImagesJudgeAlikeAtAnyScaleAndRejectBesideEmptyAreas)
{
    Scene scene;
    FitsImage test16, reference16;
    addCandidates(&scene, &test16, &reference16);
    const VetParams params;
    ReferenceStarIndex index;
    indexReferenceStars(scene.referenceStars, &index);
    // Candidates at x = 320 lie 10 pixels from an empty area from column 330 on, in the
    // test image or (through the shift) in the reference; those at x = 260 lie 70 away.
    const int32_t none = SCENE_SIZE, near = 330;
    struct Case {
        const char* what;
        double scale;
        int32_t testEmpty, referenceEmpty;
    };
    const Case cases[] = {
        {"values in ADU", 1.0, none, none},
        {"values of 1e-4 ADU", 1e-4, none, none},
        {"values of 1e3 ADU", 1e3, none, none},
        {"empty area in the test image", 1e-4, near, none},
        {"empty area in the reference", 1e-4, none, near + 4},
    };
    for (const Case& c : cases) {
        const FitsImage test = floatImage(test16, c.scale, c.testEmpty);
        const FitsImage reference = floatImage(reference16, c.scale, c.referenceEmpty);
        StarStatistics statistics;
        measureStarStatistics(test, reference, scene.stars, params, &statistics);
        EXPECT_EQ(statistics.count, 36) << c.what;
        EXPECT_NEAR(statistics.fluxScale, 2.0, 0.05) << c.what;
        const bool empty = c.testEmpty != none || c.referenceEmpty != none;
        for (const CandidateCase& k : CANDIDATES) {
            CandidateVetting v;
            vetCandidate(test, reference, index, statistics, scene.at(k.x, k.y), params, &v);
            const uint32_t expected = k.expected | (empty && k.x > 300 ? VET_NO_DATA : 0u);
            EXPECT_EQ(vetReasonText(v.reasons), vetReasonText(expected))
                << c.what << ", " << k.what << ": sharpness " << v.shape.sharpness << " elongation "
                << v.shape.elongation << " ref S/N " << v.referenceSnr;
        }
    }
}

TEST(VetCandidate, WithoutEnoughStarsOrReferenceJudgesOnlyWhatItCan)
{
    Scene scene;
    scene.testSignal[120 * SCENE_SIZE + 320] += 3000; // hot pixel
    const FitsImage test = digitize(scene.testSignal, 5);
    const FitsImage reference = digitize(scene.referenceSignal, 6);
    const VetParams params;
    ReferenceStarIndex index;
    indexReferenceStars(scene.referenceStars, &index);
    StarStatistics none;
    measureStarStatistics(test, reference, {}, params, &none);
    EXPECT_EQ(none.count, 0);
    EXPECT_TRUE(std::isnan(none.sharpnessMedian));
    EXPECT_EQ(none.apertureRadius, params.minimumAperture);

    CandidateVetting v;
    vetCandidate(test, reference, index, none, scene.at(320, 120), params, &v);
    EXPECT_TRUE(v.measured);
    EXPECT_EQ(v.reasons, 0u);
    // The nearest reference star, against a plain search of the list.
    double nearest = 1e300, nearestPeak = 0;
    for (size_t i = 0; i < scene.referenceStars.x.size(); ++i) {
        const double d = std::hypot(scene.referenceStars.x[i] - (320 + SCENE_SHIFT_X),
                                    scene.referenceStars.y[i] - (120 + SCENE_SHIFT_Y));
        if (d < nearest) {
            nearest = d;
            nearestPeak = scene.referenceStars.peak[i];
        }
    }
    EXPECT_DOUBLE_EQ(v.nearestStarDistance, nearest);
    EXPECT_EQ(v.nearestStarPeak, nearestPeak);

    CandidatePosition edge{1, 1, false, 0, 0};
    vetCandidate(test, reference, index, none, edge, params, &v);
    EXPECT_FALSE(v.measured);
    EXPECT_FALSE(v.hasReference);
    EXPECT_TRUE(std::isnan(v.nearestStarDistance));
    EXPECT_EQ(v.reasons, 0u);
}

TEST(VetReasonText, JoinsTheReasonsInOrder)
{
    EXPECT_EQ(vetReasonText(0), "");
    EXPECT_EQ(vetReasonText(VET_IN_REFERENCE | VET_SHARP), "sharp;in-reference");
    EXPECT_EQ(vetReasonText(VET_ELONGATED | VET_SATURATED_REFERENCE),
              "elongated;saturated-reference");
    EXPECT_EQ(vetReasonText(VET_NO_DATA | VET_SHARP), "sharp;no-data");
}

} // namespace

// The index keeps each star's peak as the image holds it: a float image's peak value, not
// its 16-bit rounding (which stops at 65534 and loses every fraction); the 16-bit peak
// where the list has no values. Rows ascending, positions that are not numbers left out.
TEST(ReferenceStarIndex, PeaksAreTheImageValues)
{
    struct Case {
        const char* what;
        std::vector<double> y;
        std::vector<uint16_t> peak;
        std::vector<float> peakValue;
        std::vector<double> expected; // in row order
    };
    const Case cases[] = {
        {"16-bit list", {5, 1}, {1200, 65534}, {}, {65534, 1200}},
        {"float values", {5, 1, 3}, {65534, 0, 2}, {70000.5f, -3.25f, 1.5f}, {-3.25, 1.5, 70000.5}},
        {"16-bit values as floats", {2, 4}, {7, 65534}, {7.0f, 65534.0f}, {7, 65534}},
        {"position not a number", {NAN, 2}, {9, 8}, {9.5f, 8.5f}, {8.5}},
    };
    for (const Case& c : cases) {
        StarList stars;
        stars.y = c.y;
        stars.x.assign(c.y.size(), 10.0);
        stars.peak = c.peak;
        stars.peakValue = c.peakValue;
        ReferenceStarIndex index;
        indexReferenceStars(stars, &index);
        EXPECT_EQ(index.peak, c.expected) << c.what;
    }
}
