// Sky matching: the separation formula against ERFA, and the indexed matching against
// the plain pair loop.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <random>

#include <erfa.h>

#include "sky/sky_match.hpp"

using namespace newstars;

static const double PI = 3.141592653589793;
static const double ARCSEC = PI / 180 / 3600;

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
