// Cosmic-ray hits and hot pixels by the sharpness of their edges, on images made here with
// known hits and stars.
#include "diff/cosmic_rays.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "cosmic_scene.hpp"

using namespace newstars;

namespace {

TEST(FindCosmicRays, FindsHitsOfEveryShapeButNoStar)
{
    // Stars pixel-integrated Gaussians of the given deviation; hits of 1 to 10 pixels, 30
    // to 300 noise units above the sky. The object limit is the one the pipeline uses:
    // the largest of 5 and 1.5 times what a point source of the stars' width reaches.
    struct Case {
        double psfSigma;
        int minLength, maxLength; // pixels per hit
        double recall;            // of the hits' pixels, at least
    };
    const Case cases[] = {
        {2.5, 1, 1, 0.97},  {2.5, 2, 5, 0.95}, {1.5, 1, 10, 0.9},
        {1.0, 1, 4, 0.9},   {0.6, 1, 1, 0.9},  {0.6, 2, 10, 0.6},
    };
    for (const Case& c : cases) {
        const CosmicScene scene = makeCosmicScene(256, 256, c.psfSigma, 60, 40, c.minLength,
                                                  c.maxLength, 11 + c.maxLength);
        CosmicRayOptions options = sceneOptions(scene);
        options.objectLimit = std::max(5.0, 1.5 * pointSourceFineRatio(c.psfSigma));
        std::vector<uint8_t> hits;
        int64_t count = -1;
        ASSERT_EQ(findCosmicRays(scene.values.data(), nullptr, scene.width, scene.height, options,
                                 &hits, &count),
                  DiffStatus::Ok);
        const MaskScore score = scoreMask(scene, hits);
        EXPECT_GE(score.recall, c.recall) << "sigma " << c.psfSigma << " length " << c.maxLength;
        // A noise peak or two in the sky passes the clip too.
        EXPECT_GE(score.precision, 0.9) << "sigma " << c.psfSigma << " length " << c.maxLength;
        EXPECT_EQ(score.onStars, 0) << "sigma " << c.psfSigma << " length " << c.maxLength;
        int64_t flagged = 0;
        for (uint8_t h : hits)
            flagged += h;
        EXPECT_EQ(count, flagged);
    }
}

TEST(FindCosmicRays, BandsFindWhatTheWholeImageFinds)
{
    // Tall narrow scenes with hits of up to 15 pixels that the first round finds only in
    // part, saturated star cores and excluded blocks across band borders: every band
    // height gives the hits of the whole image at once.
    struct Case {
        double psfSigma;
        int maxLength;
        double sigmaClip; // low: noise peaks too, grown over rounds
        int iterations;
    };
    const Case cases[] = {
        {1.5, 15, 4.5, 4}, {1.0, 6, 3.0, 4}, {2.0, 10, 3.5, 10}, {1.2, 3, 3.0, 1}};
    for (const Case& c : cases) {
        CosmicScene scene = makeCosmicScene(80, 900, c.psfSigma, 60, 120, 1, c.maxLength,
                                            7 + c.maxLength);
        const size_t w = static_cast<size_t>(scene.width);
        for (size_t k = 0; k < scene.stars.size(); k += 4) {
            const size_t at = static_cast<size_t>(std::lround(scene.stars[k].y)) * w +
                              static_cast<size_t>(std::lround(scene.stars[k].x));
            scene.values[at] = 60000;
        }
        std::vector<uint8_t> exclude(scene.values.size(), 0);
        for (size_t y : {100u, 255u, 511u, 590u})
            for (size_t x = 20; x < 30; ++x)
                exclude[y * w + x] = 1;
        CosmicRayOptions options = sceneOptions(scene);
        options.saturation = 50000;
        options.sigmaClip = c.sigmaClip;
        options.iterations = c.iterations;
        options.bandRows = 0;
        std::vector<uint8_t> whole;
        int64_t wholeCount = -1;
        ASSERT_EQ(findCosmicRays(scene.values.data(), exclude.data(), scene.width, scene.height,
                                 options, &whole, &wholeCount),
                  DiffStatus::Ok);
        ASSERT_GT(wholeCount, 100);
        for (int band : {512, 200, 33, 1}) {
            options.bandRows = band;
            std::vector<uint8_t> hits;
            int64_t count = -1;
            ASSERT_EQ(findCosmicRays(scene.values.data(), exclude.data(), scene.width,
                                     scene.height, options, &hits, &count),
                      DiffStatus::Ok);
            EXPECT_EQ(count, wholeCount) << "sigma " << c.psfSigma << " band " << band;
            EXPECT_TRUE(hits == whole) << "sigma " << c.psfSigma << " band " << band;
        }
    }
}

// Bands searched at once on shared threads find the hits of the whole image at once,
// whatever the threads and however the bands split the image.
TEST(FindCosmicRaysThreads, BandsOnEveryThreadCountFindTheSameHits)
{
    CosmicScene scene = makeCosmicScene(64, 700, 1.5, 50, 100, 1, 10, 23);
    CosmicRayOptions options;
    options.gain = 2;
    options.readNoise = 4;
    options.saturation = 50000;
    options.bandRows = 0;
    std::vector<uint8_t> whole;
    int64_t wholeCount = -1;
    ASSERT_EQ(findCosmicRays(scene.values.data(), nullptr, scene.width, scene.height, options,
                             &whole, &wholeCount),
              DiffStatus::Ok);
    ASSERT_GT(wholeCount, 50);
    struct Case {
        int bandRows, threads;
    };
    const Case cases[] = {{100, 1}, {100, 2}, {100, 4}, {37, 2}, {37, 4}};
    for (const Case& c : cases) {
        SharedThreads shared(c.threads);
        options.threads = &shared;
        options.bandRows = c.bandRows;
        std::vector<uint8_t> hits;
        int64_t count = -1;
        ASSERT_EQ(findCosmicRays(scene.values.data(), nullptr, scene.width, scene.height,
                                 options, &hits, &count),
                  DiffStatus::Ok);
        EXPECT_EQ(count, wholeCount) << c.bandRows << " rows, " << c.threads << " threads";
        EXPECT_TRUE(hits == whole) << c.bandRows << " rows, " << c.threads << " threads";
    }
}

TEST(FindCosmicRays, LeavesExcludedAndSaturatedPixelsAndTheirNeighbours)
{
    const CosmicScene scene = makeCosmicScene(128, 128, 2.0, 10, 0, 1, 1, 5);
    struct Case {
        const char* what;
        int32_t x, y;          // where a bright single-pixel hit goes
        int32_t ex, ey;        // an excluded pixel (-1: none)
        bool saturatedHit;     // the hit reaches saturation
        bool found;
        int32_t sx, sy; // a saturated pixel (-1: none)
    };
    const Case cases[] = {
        {"clear sky", 60, 60, -1, -1, false, true, -1, -1},
        {"excluded neighbour", 60, 60, 61, 61, false, false, -1, -1},
        {"excluded itself", 60, 60, 60, 60, false, false, -1, -1},
        {"saturated", 60, 60, -1, -1, true, false, -1, -1},
        {"5 pixels from a saturated one", 60, 60, -1, -1, false, false, 65, 55},
        {"6 pixels from a saturated one", 60, 60, -1, -1, false, true, 66, 60},
        {"on the edge", 0, 60, -1, -1, false, false, -1, -1},
    };
    for (const Case& c : cases) {
        std::vector<float> values = scene.values;
        std::vector<uint8_t> exclude(values.size(), 0);
        const size_t at = static_cast<size_t>(c.y) * 128 + c.x;
        values[at] += c.saturatedHit ? 70000.0f : 3000.0f;
        if (c.sx >= 0)
            values[static_cast<size_t>(c.sy) * 128 + c.sx] = 70000.0f;
        if (c.ex >= 0) {
            exclude[static_cast<size_t>(c.ey) * 128 + c.ex] = 1;
            values[static_cast<size_t>(c.ey) * 128 + c.ex] =
                std::numeric_limits<float>::quiet_NaN(); // excluded: never read as a value
        }
        CosmicRayOptions options = sceneOptions(scene);
        options.saturation = 65535;
        std::vector<uint8_t> hits;
        ASSERT_EQ(findCosmicRays(values.data(), exclude.data(), 128, 128, options, &hits, nullptr),
                  DiffStatus::Ok)
            << c.what;
        EXPECT_EQ(hits[at] != 0, c.found) << c.what;
        if (c.ex >= 0) {
            EXPECT_EQ(hits[static_cast<size_t>(c.ey) * 128 + c.ex], 0) << c.what;
        }
    }
}

TEST(FindCosmicRays, RefusesBadInputAndLeavesOutputsUntouched)
{
    const CosmicScene scene = makeCosmicScene(64, 64, 2.0, 5, 5, 1, 3, 7);
    const CosmicRayOptions good = sceneOptions(scene);
    std::vector<float> withNan = scene.values;
    withNan[100] = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char* what;
        const float* values;
        int32_t width, height;
        CosmicRayOptions options;
    };
    auto with = [&](auto change) {
        CosmicRayOptions o = good;
        change(&o);
        return o;
    };
    const Case cases[] = {
        {"null values", nullptr, 64, 64, good},
        {"too narrow", scene.values.data(), 7, 64, good},
        {"too low", scene.values.data(), 64, 0, good},
        {"value not finite", withNan.data(), 64, 64, good},
        {"no iterations", scene.values.data(), 64, 64, with([](auto* o) { o->iterations = 0; })},
        {"too many iterations", scene.values.data(), 64, 64,
         with([](auto* o) { o->iterations = 11; })},
        {"clip 0", scene.values.data(), 64, 64, with([](auto* o) { o->sigmaClip = 0; })},
        {"fraction above 1", scene.values.data(), 64, 64,
         with([](auto* o) { o->sigmaFraction = 1.5; })},
        {"negative object limit", scene.values.data(), 64, 64,
         with([](auto* o) { o->objectLimit = -1; })},
        {"gain 0", scene.values.data(), 64, 64, with([](auto* o) { o->gain = 0; })},
        {"no noise at all", scene.values.data(), 64, 64, with([](auto* o) {
             o->gain = std::numeric_limits<double>::infinity();
             o->readNoise = 0;
         })},
        {"read noise NaN", scene.values.data(), 64, 64,
         with([](auto* o) { o->readNoise = std::nan(""); })},
        {"saturation NaN", scene.values.data(), 64, 64,
         with([](auto* o) { o->saturation = std::nan(""); })},
        {"negative band", scene.values.data(), 64, 64, with([](auto* o) { o->bandRows = -1; })},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> hits = {7};
        int64_t count = 99;
        EXPECT_EQ(findCosmicRays(c.values, nullptr, c.width, c.height, c.options, &hits, &count),
                  DiffStatus::BadInput)
            << c.what;
        EXPECT_EQ(hits, std::vector<uint8_t>{7}) << c.what;
        EXPECT_EQ(count, 99) << c.what;
    }
}

TEST(PointSourceFineRatio, SeparatesPointSourcesOfThatWidthFromHits)
{
    // Sharper point sources reach higher ratios; a bright star of that width is left alone
    // above the ratio and, when undersampled, taken for a hit well below it (a wider one
    // fails the clip on S' there, its whole core being bright in the Laplacian).
    struct Case {
        double psfSigma;
        bool hitBelow;
    };
    const Case cases[] = {{0.5, true}, {0.8, true}, {1.2, true}, {2.0, false}};
    double previous = std::numeric_limits<double>::infinity();
    for (const Case& c : cases) {
        const double ratio = pointSourceFineRatio(c.psfSigma);
        EXPECT_LT(ratio, previous) << c.psfSigma;
        EXPECT_GT(ratio, 0) << c.psfSigma;
        previous = ratio;
        // One bright star (peak some 500 noise units) and nothing else.
        CosmicScene scene = makeCosmicScene(64, 64, c.psfSigma, 0, 0, 1, 1, 3);
        addStar(&scene, 32.2, 31.9, 200000);
        CosmicRayOptions options = sceneOptions(scene);
        std::vector<uint8_t> hits;
        options.objectLimit = 1.2 * ratio;
        ASSERT_EQ(findCosmicRays(scene.values.data(), nullptr, 64, 64, options, &hits, nullptr),
                  DiffStatus::Ok);
        EXPECT_EQ(scoreMask(scene, hits).onStars, 0) << c.psfSigma;
        options.objectLimit = 0.2 * ratio;
        ASSERT_EQ(findCosmicRays(scene.values.data(), nullptr, 64, 64, options, &hits, nullptr),
                  DiffStatus::Ok);
        EXPECT_EQ(scoreMask(scene, hits).onStars > 0, c.hitBelow) << c.psfSigma;
    }
    EXPECT_EQ(pointSourceFineRatio(0.2), 0);
    EXPECT_EQ(pointSourceFineRatio(std::nan("")), 0);
}

TEST(DropHitsOnSources, ClearsWholeGroupsThatTouchASource)
{
    // Three groups on a 10 x 6 grid: a diagonal pair (joined through a corner), a single
    // pixel and an L of three pixels.
    const std::vector<uint8_t> start = {
        1, 0, 0, 0, 0, 0, 0, 0, 0, 0, //
        0, 1, 0, 0, 0, 1, 0, 0, 0, 0, //
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, //
        0, 0, 0, 0, 0, 0, 0, 1, 0, 0, //
        0, 0, 0, 0, 0, 0, 0, 1, 1, 0, //
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, //
    };
    struct Case {
        const char* what;
        int32_t sourceX, sourceY; // the one pixel where a source lies
        int64_t cleared;
        std::vector<size_t> gone; // pixels cleared
    };
    const Case cases[] = {
        {"on the pair's second pixel", 1, 1, 2, {0, 11}},
        {"on the single pixel", 5, 1, 1, {15}},
        {"on the L's corner", 7, 4, 3, {37, 47, 48}},
        {"beside the L", 9, 4, 0, {}},
        {"off the grid", 20, 20, 0, {}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> hits = start;
        const int64_t cleared = dropHitsOnSources(
            &hits, 10, 6, [&](int32_t x, int32_t y) { return x == c.sourceX && y == c.sourceY; });
        EXPECT_EQ(cleared, c.cleared) << c.what;
        std::vector<uint8_t> expected = start;
        for (size_t at : c.gone)
            expected[at] = 0;
        EXPECT_EQ(hits, expected) << c.what;
    }
    std::vector<uint8_t> hits = start;
    EXPECT_EQ(dropHitsOnSources(&hits, 10, 5, [](int32_t, int32_t) { return true; }), 0);
    EXPECT_EQ(hits, start);
}

} // namespace
