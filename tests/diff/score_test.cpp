// The detection score: its features on hand-made planes, the built-in model's range, and
// the order it gives a new star, a cosmic-ray hit and a subtraction's dipole.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "diff/difference.hpp"
#include "diff/score.hpp"

using namespace newstars;

namespace {

constexpr double PI = 3.141592653589793;

// A 100 x 100 result: zero difference of unit variance, an identity map, psf deviation 1.5,
// a block of saturated pixels at columns 80 to 99, rows 0 to 19, and one bright reference
// star at (50, 80).
DifferenceResult handMadeResult()
{
    DifferenceResult r;
    const int w = 100, h = 100;
    r.difference.width = r.variance.width = r.reference.width = w;
    r.difference.height = r.variance.height = r.reference.height = h;
    r.difference.pixels.assign(static_cast<size_t>(w) * h, 0.0f);
    r.variance.pixels.assign(r.difference.pixels.size(), 1.0f);
    r.reference.pixels.assign(r.difference.pixels.size(), 0.0f);
    r.mask.assign(r.difference.pixels.size(), 0);
    for (int y = 0; y < 20; ++y)
        for (int x = 80; x < w; ++x)
            r.mask[static_cast<size_t>(y) * w + x] = MASK_SATURATED;
    r.map.centreX = r.map.centreY = 49.5;
    r.map.scale = 50;
    r.map.u = {49.5, 50, 0};
    r.map.v = {49.5, 0, 50};
    r.testSigma = 1.5;
    r.referenceSigma = 1.2;
    r.noiseScale = 1;
    r.referenceSky = {100, 10};
    r.referenceStars.x = {50, 10};
    r.referenceStars.y = {80, 10};
    r.referenceStars.peakValue = {5000, 300}; // bright (>= 100 + 50 x 10), faint
    r.referenceStars.peak = {5000, 300};
    return r;
}

void plantGaussian(FloatImage* image, double cx, double cy, double flux, double sigma)
{
    for (int y = 0; y < image->height; ++y)
        for (int x = 0; x < image->width; ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            image->pixels[static_cast<size_t>(y) * image->width + x] += static_cast<float>(
                flux / (2 * PI * sigma * sigma) * std::exp(-r2 / (2 * sigma * sigma)));
        }
}

TEST(MeasureScoreFeatures, MeasuresNeighboursMasksStarsAndFit)
{
    DifferenceResult r = handMadeResult();
    plantGaussian(&r.difference, 30, 30, 500, 1.5); // an exact point source
    r.difference.pixels[60 * 100 + 30] = -40;        // a negative pixel at (30, 60)
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        double x, y, flux;
        float neighbours, maskFraction, starDistance, lowest, chi2;
    };
    // Distances to the bright star in deviations: hypot(20, 20) / 1.5, hypot(12, 20) / 1.5.
    const Case cases[] = {
        {30, 30, 500, 0, 0, 30, 0, 0},           // alone, the planted source fitting exactly
        {30, 60, 0, 1, 0, 18.8562f, -40, 1600.0f / 29}, // its neighbour 8 pixels off, and
        {38, 60, 0, 1, 0, 15.5492f, 0, 0},       // back; the -40 pixel is 8 pixels off here
        {90, 10, 0, 0, 1, 30, 0, nan},           // inside the saturated block: nothing fitted
        {50, 77, 0, 0, 0, 2, 0, 0},              // 3 pixels = 2 deviations from the bright star
        {10, 12, 0, 0, 0, 30, 0, 0},             // 2 pixels from the faint star: not counted
    };
    for (const Case& c : cases) {
        DifferenceSource s;
        s.x = c.x;
        s.y = c.y;
        s.flux = c.flux;
        s.fluxError = 10;
        r.sources.push_back(s);
    }
    std::vector<float> f;
    ASSERT_EQ(measureScoreFeatures(r, &f), DiffStatus::Ok);
    ASSERT_EQ(f.size(), std::size(cases) * SCORE_FEATURE_COUNT);
    for (size_t k = 0; k < std::size(cases); ++k) {
        const Case& c = cases[k];
        const float* row = f.data() + k * SCORE_FEATURE_COUNT;
        EXPECT_EQ(row[12], c.neighbours) << c.x << " " << c.y;
        EXPECT_EQ(row[8], c.maskFraction) << c.x << " " << c.y;
        EXPECT_NEAR(row[7], c.starDistance, 1e-3) << c.x << " " << c.y;
        EXPECT_NEAR(row[13], c.lowest, 1e-5) << c.x << " " << c.y;
        if (std::isnan(c.chi2))
            EXPECT_TRUE(std::isnan(row[10])) << c.x << " " << c.y;
        else
            EXPECT_NEAR(row[10], c.chi2, 1e-3 * (1 + c.chi2)) << c.x << " " << c.y;
        EXPECT_EQ(row[11], 1.5f);
        EXPECT_EQ(row[14], 1.0f);
    }
    EXPECT_STREQ(scoreFeatureName(0), "snr");
    EXPECT_STREQ(scoreFeatureName(SCORE_FEATURE_COUNT - 1), "reference_convolved");
    EXPECT_STREQ(scoreFeatureName(SCORE_FEATURE_COUNT), "");

    // Planes of another size than the mask are refused, the features left as they were.
    r.mask.pop_back();
    std::vector<float> untouched = {7};
    EXPECT_EQ(measureScoreFeatures(r, &untouched), DiffStatus::BadInput);
    EXPECT_EQ(untouched, std::vector<float>{7});
}

TEST(ScoreFeatures, BuiltInModelGivesScoresFromZeroToOne)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float rows[][SCORE_FEATURE_COUNT] = {
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
        {40, 38, 1, 1.05f, 0, 0, 0, 30, 0, 0, 1, 1.5f, 0, -1, 1},      // a clean point source
        {30, 20, 8, 1.2f, 0, 0, 0, 30, 0, 0.5f, 80, 1.5f, 0, -1, 1},   // a sharp hit
        {12, 10, 1, 1.8f, 0.9f, 40, 400, 1, 0, 0, 20, 2, 2, -15, 1},   // beside a bright star
        {nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan, nan},
        {1e4, 1e4, 99, 99, 99, 1e4, 1e4, 30, 1, 1, 1e4, 100, 20, -1e4, 0},
    };
    std::vector<float> features;
    for (const auto& row : rows)
        features.insert(features.end(), row, row + SCORE_FEATURE_COUNT);
    std::vector<double> scores, again;
    std::string message;
    ASSERT_EQ(scoreFeatures(features, std::size(rows), &scores, &message), DiffStatus::Ok)
        << message;
    ASSERT_EQ(scores.size(), std::size(rows));
    for (size_t i = 0; i < scores.size(); ++i) {
        EXPECT_GE(scores[i], 0) << i;
        EXPECT_LE(scores[i], 1) << i;
    }
    // The same bits again, and the same for each row scored alone.
    ASSERT_EQ(scoreFeatures(features, std::size(rows), &again, &message), DiffStatus::Ok);
    EXPECT_EQ(again, scores);
    for (size_t i = 0; i < std::size(rows); ++i) {
        const std::vector<float> one(rows[i], rows[i] + SCORE_FEATURE_COUNT);
        ASSERT_EQ(scoreFeatures(one, 1, &again, &message), DiffStatus::Ok);
        EXPECT_EQ(again, std::vector<double>{scores[i]}) << i;
    }
    EXPECT_GT(scores[1], scores[2]);
    EXPECT_GT(scores[1], scores[3]);

    // No rows: no scores; more rows asked for than given: refused, scores untouched.
    ASSERT_EQ(scoreFeatures({}, 0, &again, &message), DiffStatus::Ok);
    EXPECT_TRUE(again.empty());
    again = {0.25};
    EXPECT_EQ(scoreFeatures(features, std::size(rows) + 1, &again, &message),
              DiffStatus::BadInput);
    EXPECT_EQ(again, std::vector<double>{0.25});
}

// Adds a Gaussian star of total flux and deviation sigma at (cx, cy), out to 6 deviations.
void addStar(std::vector<double>* image, int w, int h, double cx, double cy, double flux,
             double sigma)
{
    const int r = static_cast<int>(std::ceil(6 * sigma));
    for (int y = std::max(0, static_cast<int>(cy) - r);
         y <= std::min(h - 1, static_cast<int>(cy) + r); ++y)
        for (int x = std::max(0, static_cast<int>(cx) - r);
             x <= std::min(w - 1, static_cast<int>(cx) + r); ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            (*image)[static_cast<size_t>(y) * w + x] +=
                flux / (2 * PI * sigma * sigma) * std::exp(-r2 / (2 * sigma * sigma));
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

TEST(ScoreSources, NewStarScoresAboveACosmicRayAndADipole)
{
    const int w = 256, h = 256;
    std::mt19937_64 random(3);
    std::uniform_real_distribution<double> place(12, 244), unit(0, 1);
    std::vector<double> t(static_cast<size_t>(w) * h, 800.0), r(t.size(), 800.0);
    for (int s = 0; s < 120; ++s) {
        const double x = place(random), y = place(random);
        if (std::hypot(x - 60, y - 60) < 20 || std::hypot(x - 190, y - 70) < 20 ||
            std::hypot(x - 128, y - 190) < 20)
            continue;
        const double flux = 300 * std::pow(10.0, 2.5 * unit(random));
        addStar(&t, w, h, x, y, flux, 1.8);
        addStar(&r, w, h, x, y, flux, 1.5);
    }
    addStar(&t, w, h, 60.3, 60.2, 8000, 1.8); // the new star
    // A bright star that moved by a pixel between the images: a dipole residual.
    addStar(&t, w, h, 129.0, 190.0, 60000, 1.8);
    addStar(&r, w, h, 128.0, 190.0, 60000, 1.5);
    std::vector<uint16_t> test = digitize(t, &random), reference = digitize(r, &random);
    // A compact cosmic-ray hit of three pixels.
    for (int dx = 0; dx < 3; ++dx)
        test[70 * w + 190 + dx] = static_cast<uint16_t>(test[70 * w + 190 + dx] + 3000 - 800 * dx);
    PixelMap map;
    map.centreX = map.centreY = 127.5;
    map.scale = 128;
    map.u = {127.5, 128, 0};
    map.v = {127.5, 0, 128};
    DifferenceResult result;
    ASSERT_EQ(subtractImages(test.data(), w, h, reference.data(), w, h, map, DifferenceOptions{},
                             {}, &result),
              DiffStatus::Ok);
    std::string message;
    ASSERT_EQ(scoreSources(&result, &message), DiffStatus::Ok) << message;
    // The best score near each: the new star, the hit, the moved star's residual.
    const double places[][3] = {{60.3, 60.2, 1.5}, {191, 70, 3}, {128.5, 190, 4}};
    double best[3] = {-1, -1, -1};
    for (const DifferenceSource& d : result.sources) {
        EXPECT_GE(d.score, 0);
        EXPECT_LE(d.score, 1);
        for (int i = 0; i < 3; ++i)
            if (std::hypot(d.x - places[i][0], d.y - places[i][1]) < places[i][2])
                best[i] = std::max(best[i], d.score);
    }
    ASSERT_GE(best[0], 0) << "the new star is not detected";
    ASSERT_GE(best[1], 0) << "the cosmic-ray hit is not detected";
    ASSERT_GE(best[2], 0) << "the moved star leaves no residual";
    EXPECT_GE(best[0], DEFAULT_MIN_SCORE);
    EXPECT_LT(best[1], DEFAULT_MIN_SCORE);
    EXPECT_GT(best[0], best[1]);
    EXPECT_GT(best[0], best[2]);
}

} // namespace
