// Registration with few stars and coordinates several pixels or degrees off: the offset
// vote, the fallbacks from an affine fit to a shift to the coordinates alone, the kernel's
// stamps on bright pixels, and the whole pipeline on a sparse field.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "diff/difference.hpp"
#include "diff/kernel_fit.hpp"
#include "diff/register.hpp"

using namespace newstars;

namespace {

constexpr double DEGREE = 3.141592653589793 / 180;

// Reference positions spread over 1000 x 1000 pixels, from a fixed seed.
void referenceField(int count, uint64_t seed, std::vector<double>* u, std::vector<double>* v)
{
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> place(20, 980);
    for (int k = 0; k < count; ++k) {
        u->push_back(place(random));
        v->push_back(place(random));
    }
}

TEST(VoteShift, FindsTheOffsetAndTurnOfFewOrManyStars)
{
    struct Case {
        const char* what;
        int shared;      // stars in both lists
        int extraTest;   // stars of the test list only
        int extraRef;    // of the reference only
        double du, dv;   // true offset of the mapped test positions, reference pixels
        double turn;     // true turn, degrees
        double maxTurn;  // searched, degrees
        int leastVotes;  // the vote must gather at least this many
    };
    const Case cases[] = {
        {"four stars, header 5 px off", 4, 0, 0, 5.0, -3.0, 0, 0, 4},
        {"four stars among unmatched ones", 4, 3, 6, -6.5, 2.0, 0, 0, 4},
        {"three stars, small offset", 3, 1, 1, 0.6, 0.2, 0, 0, 3},
        {"many stars, no offset", 200, 20, 20, 0.0, 0.0, 0, 6, 190},
        {"many stars, turned 3 degrees", 200, 20, 20, 2.0, 1.0, 3, 6, 150},
        {"many stars, turned -5 degrees", 200, 20, 20, -1.0, 4.0, -5, 6, 150},
        {"few stars, turn searched, none there", 5, 0, 2, 3.0, 3.0, 0, 6, 5},
    };
    for (const Case& c : cases) {
        std::vector<double> ru, rv, mu, mv;
        referenceField(c.shared + c.extraRef, 17, &ru, &rv);
        ShiftSearch search;
        search.radius = 10;
        search.centreU = search.centreV = 500;
        search.turnReach = 700;
        search.maxTurn = c.maxTurn * DEGREE;
        // Mapped test positions: the reference positions, turned back and shifted back.
        const double a = -c.turn * DEGREE, co = std::cos(a), si = std::sin(a);
        for (int k = 0; k < c.shared; ++k) {
            const double u = ru[k] - c.du - 500, v = rv[k] - c.dv - 500;
            mu.push_back(500 + co * u - si * v);
            mv.push_back(500 + si * u + co * v);
        }
        referenceField(c.extraTest, 99, &mu, &mv);
        ShiftVote vote;
        ASSERT_EQ(voteShift(mu, mv, ru, rv, search, &vote), DiffStatus::Ok) << c.what;
        EXPECT_GE(vote.votes, c.leastVotes) << c.what;
        EXPECT_NEAR(vote.turn / DEGREE, c.turn, 0.1) << c.what;
        // The found map brings each shared star within the tolerance of its reference star
        // (the fit that follows does the rest).
        PixelMap map; // identity
        applyShiftVote(vote, search, &map);
        for (int k = 0; k < c.shared; ++k) {
            double u = 0, v = 0;
            mapPosition(map, mu[k], mv[k], &u, &v);
            EXPECT_LT(std::hypot(u - ru[k], v - rv[k]), search.tolerance) << c.what << " star " << k;
        }
    }
}

TEST(VoteShift, RefusesBadSearchesAndVotesNothingOnEmptyLists)
{
    std::vector<double> u{1, 2}, v{1, 2}, shortList{1};
    ShiftSearch bad;
    bad.radius = 0;
    ShiftVote vote;
    EXPECT_EQ(voteShift(u, v, u, v, bad, &vote), DiffStatus::BadInput);
    EXPECT_EQ(voteShift(u, shortList, u, v, ShiftSearch{}, &vote), DiffStatus::BadInput);
    bad = ShiftSearch{};
    bad.maxTurn = 1; // radians: beyond what a header's rotation is ever off by
    EXPECT_EQ(voteShift(u, v, u, v, bad, &vote), DiffStatus::BadInput);
    ASSERT_EQ(voteShift({}, {}, u, v, ShiftSearch{}, &vote), DiffStatus::Ok);
    EXPECT_EQ(vote.votes, 0);
    // Stars farther apart than the radius: no vote, no offset.
    ASSERT_EQ(voteShift({0}, {0}, {50}, {50}, ShiftSearch{}, &vote), DiffStatus::Ok);
    EXPECT_EQ(vote.votes, 0);
    EXPECT_EQ(vote.du, 0);
}

TEST(RefineWithFallback, AffineThenShiftThenCoordinates)
{
    struct Case {
        const char* what;
        int pairs;
        bool outlier; // one pair 6 pixels off
        RegistrationKind kind;
        int used;
    };
    const Case cases[] = {
        {"enough for the affine fit", 12, false, RegistrationKind::Fitted, 12},
        {"too few for it: a shift", 7, false, RegistrationKind::Shift, 7},
        {"four: a shift of the median", 4, false, RegistrationKind::Shift, 4},
        {"four, one off: clipped", 4, true, RegistrationKind::Shift, 3},
        {"two: still a shift", 2, false, RegistrationKind::Shift, 2},
        {"one: the coordinates alone", 1, false, RegistrationKind::Coordinates, 1},
        {"none", 0, false, RegistrationKind::Coordinates, 0},
    };
    const double du = 1.7, dv = -0.8;
    for (const Case& c : cases) {
        std::vector<PositionPair> pairs;
        for (int k = 0; k < c.pairs; ++k) {
            PositionPair p;
            p.x = 100 + 73 * k % 800;
            p.y = 50 + 131 * k % 900;
            p.u = p.x + du + (c.outlier && k == 0 ? 6 : 0);
            p.v = p.y + dv;
            pairs.push_back(p);
        }
        PixelMap map;
        map.centreX = map.centreY = 500;
        map.scale = 500;
        map.u = {500, 500, 0};
        map.v = {500, 0, 500};
        const PixelMap before = map;
        MapFit fit;
        RegistrationKind kind = RegistrationKind::Fitted;
        ASSERT_EQ(refineWithFallback(pairs, 1, &map, &fit, &kind), DiffStatus::Ok) << c.what;
        EXPECT_EQ(kind, c.kind) << c.what;
        EXPECT_EQ(fit.used, c.used) << c.what;
        double u = 0, v = 0;
        mapPosition(map, 300, 700, &u, &v);
        if (c.kind == RegistrationKind::Coordinates) {
            EXPECT_EQ(map.u, before.u) << c.what;
            EXPECT_EQ(map.v, before.v) << c.what;
        } else {
            EXPECT_NEAR(u, 300 + du, 1e-6) << c.what;
            EXPECT_NEAR(v, 700 + dv, 1e-6) << c.what;
            EXPECT_LT(fit.rms, 1e-6) << c.what;
        }
    }
    PixelMap map;
    MapFit fit;
    RegistrationKind kind;
    EXPECT_EQ(refineWithFallback({}, 3, &map, &fit, &kind), DiffStatus::BadInput);
    EXPECT_STREQ(registrationKindText(RegistrationKind::Fitted, 1), "affine");
    EXPECT_STREQ(registrationKindText(RegistrationKind::Shift, 1), "shift");
    EXPECT_STREQ(registrationKindText(RegistrationKind::Coordinates, 1), "coordinates");
}

// Adds a Gaussian of total flux and deviation sigma at (cx, cy) out to 6 deviations.
void addGaussian(std::vector<double>* image, int w, int h, double cx, double cy, double flux,
                 double sigma)
{
    const int r = static_cast<int>(std::ceil(6 * sigma));
    for (int y = std::max(0, static_cast<int>(cy) - r);
         y <= std::min(h - 1, static_cast<int>(cy) + r); ++y) {
        for (int x = std::max(0, static_cast<int>(cx) - r);
             x <= std::min(w - 1, static_cast<int>(cx) + r); ++x) {
            const double r2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
            (*image)[static_cast<size_t>(y) * w + x] +=
                flux / (2 * 3.141592653589793 * sigma * sigma) * std::exp(-r2 / (2 * sigma * sigma));
        }
    }
}

TEST(BrightPixelStamps, BrightestUnmaskedPeaksApart)
{
    const int w = 128, h = 128;
    std::vector<double> values(static_cast<size_t>(w) * h, 10.0);
    addGaussian(&values, w, h, 40, 40, 5000, 2);  // brightest
    addGaussian(&values, w, h, 44, 42, 3000, 2);  // too close to it
    addGaussian(&values, w, h, 90, 40, 2000, 2);  // masked below
    addGaussian(&values, w, h, 60, 90, 3000, 4);  // a wide source counts too
    addGaussian(&values, w, h, 100, 100, 20, 2);  // too faint
    FloatImage image;
    image.width = w;
    image.height = h;
    image.pixels.assign(values.begin(), values.end());
    std::vector<uint8_t> mask(values.size(), 0);
    mask[static_cast<size_t>(40) * w + 92] = MASK_SATURATED;
    std::vector<int32_t> xs, ys;
    brightPixelStamps(image, mask.data(), 10, 1, 10, 12, 10, &xs, &ys);
    ASSERT_EQ(xs.size(), 2u);
    EXPECT_EQ(xs[0], 40);
    EXPECT_EQ(ys[0], 40);
    EXPECT_EQ(xs[1], 60);
    EXPECT_EQ(ys[1], 90);
    brightPixelStamps(image, nullptr, 10, 1, 10, 12, 1, &xs, &ys);
    EXPECT_EQ(xs.size(), 1u);
    brightPixelStamps(image, nullptr, 10, 1, 10, 70, 10, &xs, &ys); // stamps wider than it
    EXPECT_TRUE(xs.empty());
}

// 16-bit test and reference of a sparse field: `stars` stars and a galaxy-like wide source,
// the reference shifted by (3.3, -2.1) and of sharper seeing, one new source in the test.
struct SparsePair {
    std::vector<uint16_t> test, reference;
    double newX = 0, newY = 0;
};

SparsePair sparsePair(int stars, uint64_t seed)
{
    const int w = 256, h = 256;
    std::mt19937_64 random(seed);
    std::uniform_real_distribution<double> place(40, 216), unit(0, 1);
    std::vector<double> t(static_cast<size_t>(w) * h, 800.0), r(t.size(), 1500.0);
    for (int s = 0; s < stars; ++s) {
        const double x = place(random), y = place(random);
        const double flux = 2e4 * std::pow(10.0, unit(random));
        addGaussian(&t, w, h, x, y, flux, 1.8);
        addGaussian(&r, w, h, x + 3.3, y - 2.1, 2 * flux, 1.2);
    }
    addGaussian(&t, w, h, 128, 128, 3e5, 6);
    addGaussian(&r, w, h, 131.3, 125.9, 6e5, 5.8);
    SparsePair pair;
    pair.newX = 100.4;
    pair.newY = 160.2;
    addGaussian(&t, w, h, pair.newX, pair.newY, 8000, 1.8);
    std::normal_distribution<double> normal(0, 1);
    auto digitize = [&](const std::vector<double>& signal) {
        std::vector<uint16_t> pixels(signal.size());
        for (size_t i = 0; i < signal.size(); ++i) {
            const double v = signal[i] + std::sqrt(signal[i] / 2 + 16) * normal(random);
            pixels[i] = static_cast<uint16_t>(std::clamp(std::lround(v), 0L, 65535L));
        }
        return pixels;
    };
    pair.test = digitize(t);
    pair.reference = digitize(r);
    return pair;
}

TEST(SubtractImages, RegistersAndSubtractsASparseFieldWithCoordinatesOff)
{
    struct Case {
        const char* what;
        int stars;
        double headerDx, headerDy; // error of the coordinates' map, pixels
        RegistrationKind kind;
    };
    const Case cases[] = {
        {"four stars, coordinates 5 px off", 4, -5.0, 1.0, RegistrationKind::Shift},
        {"six stars, coordinates 7 px off", 6, 4.0, -5.5, RegistrationKind::Shift},
        {"three stars, coordinates right", 3, 0.0, 0.0, RegistrationKind::Shift},
    };
    for (const Case& c : cases) {
        const SparsePair pair = sparsePair(c.stars, 5);
        PixelMap map;
        map.centreX = map.centreY = 127.5;
        map.scale = 128;
        map.u = {127.5 + 3.3 + c.headerDx, 128, 0};
        map.v = {127.5 - 2.1 + c.headerDy, 0, 128};
        DifferenceOptions options;
        options.testGain = options.referenceGain = 2;
        DifferenceResult result;
        ASSERT_EQ(subtractImages(pair.test.data(), 256, 256, pair.reference.data(), 256, 256, map,
                                 options, {}, &result),
                  DiffStatus::Ok)
            << c.what;
        EXPECT_EQ(result.registrationKind, c.kind) << c.what;
        EXPECT_TRUE(result.registrationRefined) << c.what;
        EXPECT_LT(result.registration.rms, 0.2) << c.what;
        EXPECT_NEAR(result.coordinateError, std::hypot(c.headerDx, c.headerDy), 0.3) << c.what;
        double u = 0, v = 0;
        mapPosition(result.map, 50, 200, &u, &v);
        EXPECT_NEAR(u, 53.3, 0.2) << c.what;
        EXPECT_NEAR(v, 197.9, 0.2) << c.what;
        int found = 0, kept = 0;
        for (const DifferenceSource& d : result.sources) {
            if (d.reasons != 0)
                continue;
            ++kept;
            found += std::hypot(d.x - pair.newX, d.y - pair.newY) < 1 ? 1 : 0;
        }
        EXPECT_EQ(found, 1) << c.what;
        EXPECT_LE(kept, 2) << c.what;
    }
}

} // namespace
