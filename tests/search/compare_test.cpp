// The star comparison: its small operations, the indexed matching against the plain
// pair loop, and whole runs of the built program.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <algorithm>
#include <random>

#include <erfa.h>

#include "search/compare.hpp"
#include "test_support.hpp"

using namespace newstars;

static const double PI = 3.141592653589793;
static const double ARCSEC = PI / 180 / 3600;

TEST(InSearchBox, BoundsAreInclusiveAfterTheMargin)
{
    const SearchBox box{1.0, 0.5, 0.8, 0.3, std::cos(0.4)};
    const double margin = 0.01;
    struct Case {
        double ra, dec, margin;
        bool expected;
    };
    const Case cases[] = {
        {0.9, 0.4, 0, true},
        {0.8, 0.3, 0, true}, // corners are inside
        {1.0, 0.5, 0, true},
        {std::nextafter(0.8, 0.0), 0.4, 0, false},
        {std::nextafter(1.0, 2.0), 0.4, 0, false},
        {0.9, std::nextafter(0.3, 0.0), 0, false},
        {0.9, std::nextafter(0.5, 1.0), 0, false},
        {0.8 + margin, 0.4, margin, true},
        {std::nextafter(0.8 + margin, 0.0), 0.4, margin, false},
        {1.0 - margin, 0.4, margin, true},
        {std::nextafter(1.0 - margin, 2.0), 0.4, margin, false},
        {0.9, 0.3 + margin, margin, true},
        {0.9, std::nextafter(0.3 + margin, 0.0), margin, false},
        {0.9, 0.5 - margin, margin, true},
        {0.9, std::nextafter(0.5 - margin, 1.0), margin, false},
        {NAN, 0.4, 0, false},
        {0.9, NAN, 0, false},
        {0.9, 0.4, NAN, false},
        {0.9, 0.4, INFINITY, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(inSearchBox(&box, c.ra, c.dec, c.margin), c.expected)
            << c.ra << " " << c.dec << " " << c.margin;
}

TEST(InSearchBox, BoxWithItsWestEdgeEastOfItsEastEdgeCrossesZeroHours)
{
    // 23h to 1h of right ascension.
    const double west = 23 * PI / 12, east = PI / 12;
    const SearchBox box{east, 0.5, west, 0.3, std::cos(0.4)};
    const double margin = 0.01;
    struct Case {
        double ra, margin;
        bool expected;
    };
    const Case cases[] = {
        {0, 0, true},
        {0.1, 0, true},
        {6.2, 0, true},
        {west, 0, true}, // both edges are inside
        {east, 0, true},
        {std::nextafter(west, 0.0), 0, false},
        {std::nextafter(east, 1.0), 0, false},
        {PI, 0, false}, // 12h, the other side of the sky
        {-0.1, 0, true}, // whole turns do not matter
        {2 * PI + 0.1, 0, true},
        {4 * PI + 0.1, 0, true},
        {2 * PI + 1, 0, false},
        {west + 0.5 * margin, margin, false},
        {west + 1.5 * margin, margin, true},
        {east - 1.5 * margin, margin, true},
        {east - 0.5 * margin, margin, false},
        {0, INFINITY, false},
        {NAN, 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(inSearchBox(&box, c.ra, 0.4, c.margin), c.expected) << c.ra << " " << c.margin;
        EXPECT_FALSE(inSearchBox(&box, c.ra, 0.6, c.margin)) << c.ra << " " << c.margin;
    }
    // A margin of 0.1 that moves an edge past 0h leaves one side of it.
    struct Edge {
        double westRa, eastRa, ra;
        bool expected;
    };
    const Edge edges[] = {
        {2 * PI - 0.05, 0.5, 0.06, true}, // west edge moved to 0.05
        {2 * PI - 0.05, 0.5, 0.04, false},
        {2 * PI - 0.05, 0.5, 6.25, false},
        {2 * PI - 0.05, 0.5, 0.41, false},
        {5.5, 0.05, 6.2, true}, // east edge moved back to 2 pi - 0.05
        {5.5, 0.05, 6.25, false},
        {5.5, 0.05, 0.01, false},
        {5.5, 0.05, 5.59, false},
        {6.2, 0.1, 0, false}, // narrower than twice the margin
    };
    for (const Edge& e : edges) {
        const SearchBox narrow{e.eastRa, 0.5, e.westRa, 0.3, std::cos(0.4)};
        EXPECT_EQ(inSearchBox(&narrow, e.ra, 0.4, 0.1), e.expected)
            << e.westRa << " " << e.eastRa << " " << e.ra;
    }
}

TEST(SeparationCosine, AgreesWithErfaAndClamps)
{
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> ra(0, 2 * PI), dec(-PI / 2, PI / 2);
    for (int i = 0; i < 1000; ++i) {
        double ra1 = ra(random), dec1 = dec(random), ra2 = ra(random), dec2 = dec(random);
        double x = separationCosine(ra2 - ra1, PI / 2 - dec1, std::sin(dec2), std::cos(dec2));
        double expected = eraSeps(ra1, dec1, ra2, dec2);
        // The law of cosines loses precision only near 0 and pi.
        if (expected > 1e-3 && expected < PI - 1e-3) {
            EXPECT_NEAR(std::acos(x), expected, 1e-12)
                << ra1 << " " << dec1 << " " << ra2 << " " << dec2;
        }
    }
    EXPECT_EQ(separationCosine(0, 0, 2, 1), 1.0);
    EXPECT_EQ(separationCosine(0, 0, -2, 1), -1.0);
}

// The distance of a pair exactly as the comparison computes it.
static double pairDistance(const SkyPosition& test, const SkyPosition& reference)
{
    return std::acos(separationCosine(test.ra - reference.ra, PI / 2 - reference.dec,
                                      std::sin(test.dec), std::cos(test.dec)));
}

TEST(MatchStars, ExactlyOneToleranceAwayDoesNotMatch)
{
    const SkyPosition cases[][2] = {
        {{1.0, 0.5}, {1.0, 0.5 + 2 * ARCSEC}},
        {{1.0, -0.5}, {1.0 + 3 * ARCSEC, -0.5}},
        {{2 * PI - ARCSEC, 1.2}, {ARCSEC, 1.2}}, // across right ascension 0
        {{0.1, 1.5707}, {3.0, 1.5707}},          // near the pole
    };
    for (const auto& c : cases) {
        const std::vector<SkyPosition> reference = {c[0]}, test = {c[1]};
        double d = pairDistance(c[1], c[0]);
        std::vector<char> plain, indexed;
        matchStarsPlain(reference, test, d, &plain);
        matchStars(reference, test, d, &indexed);
        EXPECT_EQ(plain[0], 0) << d;
        EXPECT_EQ(indexed[0], 0) << d;
        double wider = std::nextafter(d, 1.0);
        matchStarsPlain(reference, test, wider, &plain);
        matchStars(reference, test, wider, &indexed);
        EXPECT_EQ(plain[0], 1) << d;
        EXPECT_EQ(indexed[0], 1) << d;
    }
}

TEST(MatchStars, IndexGivesThePlainLoopsAnswers)
{
    std::mt19937_64 random(11);
    struct Field {
        const char* name;
        double ra0, dec0, size; // radians
    };
    const Field fields[] = {
        {"equator", 1.0, 0.0, 600 * ARCSEC},
        {"across right ascension 0", 0.0, 0.3, 600 * ARCSEC},
        {"high declination across 0", 0.0, -1.3, 300 * ARCSEC},
        {"at the pole", 2.0, PI / 2 - 100 * ARCSEC, 200 * ARCSEC},
    };
    for (const Field& f : fields) {
        std::uniform_real_distribution<double> offset(-f.size / 2, f.size / 2),
            direction(0, 2 * PI);
        auto place = [&](double dra, double ddec) {
            double ra = f.ra0 + dra;
            if (ra < 0)
                ra += 2 * PI;
            return SkyPosition{ra, std::min(f.dec0 + ddec, PI / 2)};
        };
        std::vector<SkyPosition> reference, test;
        for (int i = 0; i < 1200; ++i)
            reference.push_back(place(offset(random), offset(random)));
        for (int i = 0; i < 1200; ++i)
            test.push_back(place(offset(random), offset(random)));
        // Pairs at exactly the tolerance, and just inside and outside it.
        double tolerance = 4 * ARCSEC;
        for (int i = 0; i < 200; ++i) {
            const SkyPosition& r = reference[static_cast<size_t>(i)];
            double angle = direction(random);
            SkyPosition t{r.ra + tolerance * std::cos(angle) / std::cos(r.dec),
                          std::min(r.dec + tolerance * std::sin(angle), PI / 2)};
            if (t.ra >= 2 * PI)
                t.ra -= 2 * PI;
            test.push_back(t);
        }
        for (double tol : {tolerance, pairDistance(test.back(), reference[199]), 0.5 * ARCSEC,
                           30 * ARCSEC, 0.0}) {
            std::vector<char> plain, indexed;
            matchStarsPlain(reference, test, tol, &plain);
            matchStars(reference, test, tol, &indexed);
            EXPECT_EQ(plain, indexed) << f.name << " tolerance " << tol;
            if (tol == tolerance) {
                size_t matched = static_cast<size_t>(std::count(plain.begin(), plain.end(), 1));
                EXPECT_GT(matched, 50u) << f.name;
                EXPECT_LT(matched, test.size()) << f.name;
            }
        }
    }
}

// Star lists the comparison never builds itself but the matching must still agree on:
// positions around the poles with tolerances whose band crosses them, right ascensions
// far outside one turn, declinations off the sphere, undefined and infinite values,
// and tolerances that are negative, undefined, huge or tiny.
TEST(MatchStars, IndexAgreesWithThePlainLoopOnOddInput)
{
    std::mt19937_64 random(23);
    std::uniform_real_distribution<double> unit(0, 1);
    auto near = [&](double centre, double spread) {
        return centre + spread * (2 * unit(random) - 1);
    };
    struct Family {
        const char* name;
        std::function<SkyPosition()> place;
    };
    // One position in ten gets an odd value; the first family keeps every declination
    // on the sphere, so the index is used, the second does not.
    auto oddOne = [&](const std::vector<double>& values, bool declination) {
        SkyPosition p{near(1, 0.01), near(0.5, 0.01)};
        size_t pick = static_cast<size_t>(unit(random) * 10 * values.size());
        if (pick < values.size())
            (declination ? p.dec : p.ra) = values[pick];
        return p;
    };
    const std::vector<double> oddRa = {NAN, INFINITY, -INFINITY, 1e300, -1e300};
    const std::vector<double> oddDec = {
        NAN, INFINITY, -INFINITY, PI / 2, -PI / 2, std::nextafter(PI / 2, 2.0), 1.6};
    const Family families[] = {
        {"whole sphere",
         [&] {
             return SkyPosition{near(PI, PI), std::asin(near(0, 1))};
         }},
        {"north pole",
         [&] {
             return SkyPosition{near(PI, PI), std::min(near(PI / 2, 0.02), PI / 2)};
         }},
        {"south pole, right ascensions beyond one turn",
         [&] {
             return SkyPosition{near(0, 20), std::max(near(-PI / 2, 0.02), -PI / 2)};
         }},
        {"right ascension 0 unwrapped",
         [&] {
             return SkyPosition{near(0, 0.01), near(0.2, 0.01)};
         }},
        {"huge right ascensions",
         [&] {
             return SkyPosition{near(1e15, 1e4), near(0, 0.01)};
         }},
        {"odd right ascensions", [&] { return oddOne(oddRa, false); }},
        {"odd declinations", [&] { return oddOne(oddDec, true); }},
    };
    const double tolerances[] = {-1.0, -0.0, 0.0, NAN,   1e-13, 1e-9, 5 * ARCSEC,
                                 1e-3, 0.05, 0.3, 0.999, 1.0,   3.0,  INFINITY};
    for (const Family& f : families) {
        std::vector<SkyPosition> reference, test;
        for (int i = 0; i < 300; ++i)
            reference.push_back(f.place());
        for (int i = 0; i < 300; ++i)
            test.push_back(f.place());
        // Test positions close to reference positions, some of them across a pole.
        for (int i = 0; i < 100; ++i) {
            SkyPosition p = reference[static_cast<size_t>(i)];
            p.ra += (i % 2 == 0 ? PI : 0) + near(0, 1e-3);
            p.dec += near(0, 1e-3);
            test.push_back(p);
        }
        for (double tolerance : tolerances) {
            std::vector<char> plain, indexed;
            matchStarsPlain(reference, test, tolerance, &plain);
            matchStars(reference, test, tolerance, &indexed);
            EXPECT_EQ(plain, indexed) << f.name << " tolerance " << tolerance;
        }
    }
}

// A right ascension difference of about 1e15 radians that is a whole number of turns
// within 0.005 radians: only the exact reduction of the cosine sees that.
TEST(MatchStars, HugeRightAscensionDifferencesAreNotFoldedByTheRoundedTurn)
{
    double ra = 1e15;
    while (std::cos(ra) <= std::cos(0.005))
        ra = std::nextafter(ra, 2e15);
    const std::vector<SkyPosition> reference = {{0.0, 0.0}}, test = {{ra, 0.0}};
    std::vector<char> plain, indexed;
    matchStarsPlain(reference, test, 0.01, &plain);
    matchStars(reference, test, 0.01, &indexed);
    EXPECT_EQ(plain, std::vector<char>{1});
    EXPECT_EQ(indexed, plain);
}
