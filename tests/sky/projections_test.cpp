#include "sky/projections.hpp"

#include <gtest/gtest.h>

#include <cmath>

using namespace newstars;

// Codes of the nine projection numbers, linear first.
static const char* const ALL_CODES[] = {"",     "-SIN", "-TAN", "-ARC", "-NCP",
                                        "-GLS", "-MER", "-AIT", "-STG"};

// The full turn divided by the degree factor used by the projections: 359.9999999988
// degrees, what a forward wrap adds instead of 360.
static const double WRAP_TURN = 359.9999999988;
static const double PI = 3.141592653589793;

TEST(ProjectionPixelToSky, ReferencePixelGivesReferencePoint)
{
    struct Case {
        double crval1, crval2, expectedRa;
    };
    const Case cases[] = {
        {150.25, 33.5, 150.25},
        {0.0, -47.0, 0.0},
        {359.5, 12.0, 359.5},
        {-10.0, 5.0, -10.0 + WRAP_TURN}, // made non-negative by one forward turn
        {201.0, -0.5, 201.0},
    };
    for (const char* code : ALL_CODES) {
        for (const auto& c : cases) {
            double ra = -1, dec = -1;
            int status = projectionPixelToSky(512.0, 384.5, c.crval1, c.crval2, 512.0, 384.5,
                                              -2.5e-4, 2.5e-4, 12.0, code, &ra, &dec);
            ASSERT_EQ(status, 0) << "code '" << code << "' crval " << c.crval1 << " " << c.crval2;
            EXPECT_NEAR(ra, c.expectedRa, 1e-9) << "code '" << code << "' crval1 " << c.crval1;
            EXPECT_NEAR(dec, c.crval2, 1e-9) << "code '" << code << "' crval2 " << c.crval2;
        }
    }
}

// Forward then inverse returns the starting pixel: the only residual is the wrap of
// 359.9999999988 against 360 degrees, far below 1e-3 pixels for increments from 1e-5
// degrees per pixel up.
TEST(ProjectionSkyToPixel, UndoesPixelToSky)
{
    struct Frame {
        double crval1, crval2, cdelt1, cdelt2, crota2;
    };
    const Frame frames[] = {
        {150.0, 30.0, -1e-5, 1e-5, 0.0},
        {0.01, -42.0, -1e-5, 1.2e-5, 25.0},  // right ascension crosses 0
        {359.99, 61.0, -2e-4, 2e-4, -110.0}, // and from the other side
        {83.0, 2.5, 1e-3, 1e-3, 90.0},
        {271.0, -75.0, -8e-4, 8e-4, 180.0},
        {10.0, 15.0, -0.005, 0.005, 7.5}, // offsets of several degrees
    };
    const double offsets[] = {-1000.0, -333.3, -1.0, 0.0, 0.25, 17.0, 640.0};
    for (const char* code : ALL_CODES) {
        for (const auto& f : frames) {
            for (double ox : offsets) {
                for (double oy : offsets) {
                    const double x0 = 100.0 + ox, y0 = 200.0 + oy;
                    double ra = 0, dec = 0, x = 0, y = 0;
                    ASSERT_EQ(projectionPixelToSky(x0, y0, f.crval1, f.crval2, 100.0, 200.0,
                                                   f.cdelt1, f.cdelt2, f.crota2, code, &ra, &dec),
                              0)
                        << code << " " << f.crval1 << " " << f.crval2 << " " << ox << " " << oy;
                    ASSERT_EQ(projectionSkyToPixel(ra, dec, f.crval1, f.crval2, 100.0, 200.0,
                                                   f.cdelt1, f.cdelt2, f.crota2, code, &x, &y),
                              0)
                        << code << " " << ra << " " << dec;
                    EXPECT_NEAR(x, x0, 1e-3) << "code '" << code << "' crval " << f.crval1 << " "
                                             << f.crval2 << " offset " << ox << " " << oy;
                    EXPECT_NEAR(y, y0, 1e-3) << "code '" << code << "' crval " << f.crval1 << " "
                                             << f.crval2 << " offset " << ox << " " << oy;
                }
            }
        }
    }
}

TEST(ProjectionPixelToSky, RotatesOffsetsByCrota2)
{
    struct Case {
        double crota2, x, y, expectedRa, expectedDec;
    };
    const Case cases[] = {
        {0.0, 11.0, 20.0, 101.0, 40.0},  // one step along axis 1: right ascension
        {0.0, 10.0, 21.0, 100.0, 41.0},  // one step along axis 2: declination
        {90.0, 11.0, 20.0, 100.0, 41.0}, // a quarter turn makes axis 1 declination
        {90.0, 10.0, 21.0, 99.0, 40.0},  {-90.0, 11.0, 20.0, 100.0, 39.0},
        {180.0, 12.0, 23.0, 98.0, 37.0}, {30.0, 12.0, 20.0, 100.0 + std::sqrt(3.0), 41.0},
    };
    for (const auto& c : cases) {
        double ra = 0, dec = 0;
        ASSERT_EQ(projectionPixelToSky(c.x, c.y, 100.0, 40.0, 10.0, 20.0, 1.0, 1.0, c.crota2, "",
                                       &ra, &dec),
                  0);
        EXPECT_NEAR(ra, c.expectedRa, 1e-9) << "crota2 " << c.crota2 << " at " << c.x << "," << c.y;
        EXPECT_NEAR(dec, c.expectedDec, 1e-9)
            << "crota2 " << c.crota2 << " at " << c.x << "," << c.y;

        double x = 0, y = 0;
        ASSERT_EQ(projectionSkyToPixel(c.expectedRa, c.expectedDec, 100.0, 40.0, 10.0, 20.0, 1.0,
                                       1.0, c.crota2, "", &x, &y),
                  0);
        EXPECT_NEAR(x, c.x, 1e-9) << "crota2 " << c.crota2;
        EXPECT_NEAR(y, c.y, 1e-9) << "crota2 " << c.crota2;
    }
}

// Offsets the projections refuse: status 1 and the unrotated linear estimate
// CRVAL + offset left in the outputs, not normalised.
TEST(ProjectionPixelToSky, RefusesOffsetsOutsideTheDomain)
{
    struct Case {
        const char* code;
        double crval2, dx, dy;
        const char* why;
    };
    const double radian = 1 / 0.01745329252; // degrees
    const Case cases[] = {
        {"-SIN", 20.0, 60.0, 0.0, "more than one radian"},
        {"-SIN", 0.0, 0.0, radian, "the pole seen edge-on, l = 0"},
        {"-TAN", 20.0, 0.0, -57.3, "more than one radian"},
        {"-TAN", 20.0, 45.0, 45.0, "more than one radian diagonally"},
        {"-ARC", 20.0, 180.0, 0.0, "radius of half a turn"},
        {"-ARC", 20.0, -130.0, -130.0, "radius beyond half a turn"},
        {"-NCP", 30.0, 0.0, -28.6, "cosine of declination above 1"},
        {"-GLS", 80.0, 0.0, 15.0, "beyond the pole"},
        {"-GLS", 0.0, 183.0, 0.0, "beyond half a turn along the equator"},
        {"-MER", 0.0, 400.0, 0.0, "more than a turn in right ascension"},
        {"-MER", 90.0, 1.0, 1.0, "reference at the pole: no scale"},
        {"-AIT", 10.0, 0.0, 200.0, "outside the ellipse"},
        {"-STG", 0.0, 0.0, 2 * radian, "lands on the pole"},
    };
    for (const auto& c : cases) {
        double ra = 0, dec = 0;
        int status = projectionPixelToSky(c.dx, c.dy, -150.0, c.crval2, 0.0, 0.0, 1.0, 1.0, 0.0,
                                          c.code, &ra, &dec);
        EXPECT_EQ(status, 1) << c.code << ": " << c.why;
        EXPECT_EQ(ra, -150.0 + c.dx) << c.code << ": " << c.why;
        EXPECT_EQ(dec, c.crval2 + c.dy) << c.code << ": " << c.why;
    }
}

TEST(ProjectionPixelToSky, AcceptsOffsetsJustInsideTheDomain)
{
    struct Case {
        const char* code;
        double crval2, dx, dy;
    };
    const Case cases[] = {
        {"-SIN", 20.0, 57.0, 0.0},  {"-TAN", 20.0, 0.0, -57.2},
        {"-ARC", 20.0, 179.9, 0.0}, {"-GLS", 80.0, 0.0, 9.9},
        {"-MER", 0.0, 359.0, 0.0},  {"", 0.0, 1000.0, 1000.0}, // linear never refuses
    };
    for (const auto& c : cases) {
        double ra = 0, dec = 0;
        EXPECT_EQ(projectionPixelToSky(c.dx, c.dy, 40.0, c.crval2, 0.0, 0.0, 1.0, 1.0, 0.0, c.code,
                                       &ra, &dec),
                  0)
            << c.code << " " << c.dx << " " << c.dy;
    }
}

TEST(ProjectionPixelToSky, TakesTheBranchesOfSouthernNcpPolarGlsAndFarStg)
{
    double ra = 0, dec = 0;
    // NCP below the equator gives southern declinations.
    ASSERT_EQ(
        projectionPixelToSky(0.0, 0.0, 50.0, -35.0, 0.0, 0.0, 1.0, 1.0, 0.0, "-NCP", &ra, &dec), 0);
    EXPECT_NEAR(dec, -35.0, 1e-9);
    ASSERT_EQ(
        projectionPixelToSky(0.5, 0.0, 50.0, -35.0, 0.0, 0.0, 1.0, 1.0, 0.0, "-NCP", &ra, &dec), 0);
    EXPECT_LT(dec, -34.0);

    // GLS next to the pole (cosine of declination below 1e-5): right ascension stays at
    // the reference, normalised, instead of dividing by the cosine.
    ASSERT_EQ(
        projectionPixelToSky(1e-4, 0.0, -20.0, 89.9999, 0.0, 0.0, 1.0, 1.0, 0.0, "-GLS", &ra, &dec),
        0);
    EXPECT_NEAR(ra, -20.0 + WRAP_TURN, 1e-9);
    EXPECT_NEAR(dec, 89.9999, 1e-9);

    // STG more than 90 degrees of longitude away: the second arcsine branch. The pixel
    // is the stereographic image of (ra, dec) = (130, 20) seen from (10, 10), worked by
    // hand: R = 2 tan(theta/2) along the great circle, with l = x, m = y in radians.
    const double d = PI / 180;
    const double dec0 = 10 * d, dec1 = 20 * d, dra = 120 * d;
    const double h =
        std::sin(dec1) * std::sin(dec0) + std::cos(dec1) * std::cos(dec0) * std::cos(dra);
    const double l = 2 * std::cos(dec1) * std::sin(dra) / (1 + h);
    const double m =
        2 * (std::sin(dec1) * std::cos(dec0) - std::cos(dec1) * std::sin(dec0) * std::cos(dra)) /
        (1 + h);
    ASSERT_EQ(
        projectionPixelToSky(l / d, m / d, 10.0, 10.0, 0.0, 0.0, 1.0, 1.0, 0.0, "-STG", &ra, &dec),
        0);
    EXPECT_NEAR(ra, 130.0, 1e-7);
    EXPECT_NEAR(dec, 20.0, 1e-7);
}

// Aitoff at the reference pixel skips its domain tests: with the reference at a pole
// they would refuse it (the declination's cosine falls below 1e-5).
TEST(ProjectionPixelToSky, AitoffReferencePixelAtAPole)
{
    const double poles[] = {90.0, -90.0, 89.9999};
    for (double crval2 : poles) {
        double ra = 0, dec = 0;
        ASSERT_EQ(projectionPixelToSky(7.0, 9.0, 45.0, crval2, 7.0, 9.0, 1e-3, 1e-3, 0.0, "-AIT",
                                       &ra, &dec),
                  0)
            << crval2;
        EXPECT_NEAR(ra, 45.0, 1e-9) << crval2;
        EXPECT_NEAR(dec, crval2, 1e-9) << crval2;
    }
}

TEST(ProjectionPixelToSky, NormalisesRightAscensionWithoutReducingTurns)
{
    struct Case {
        const char* code;
        double crval1, dx, expectedRa, tolerance;
    };
    const Case cases[] = {
        {"", 359.9, 0.2, 360.1, 1e-9}, // never reduced below 360
        {"-CAR", 359.9, 0.2, 360.1, 1e-9},
        {"", 0.1, -0.2, 359.9, 2e-9}, // made non-negative by one forward turn
        // On the tangent plane of the equator one degree is atan(1 degree) of longitude.
        {"-TAN", 0.5, -1.0, 360.5 - std::atan(PI / 180) * 180 / PI, 1e-8},
        {"-TAN", 359.5, 1.0, 359.5 + std::atan(PI / 180) * 180 / PI, 1e-8},
        {"", 10.0, 200.0, 210.0, 1e-9},               // a turn taken off, then put back
        {"", 350.0, -200.0, 150.0 + WRAP_TURN, 1e-9}, // within half a turn of 350
        {"", 10.0, -200.0, -190.0 + WRAP_TURN, 1e-9},
    };
    for (const auto& c : cases) {
        double ra = 0, dec = 0;
        ASSERT_EQ(projectionPixelToSky(c.dx, 0.0, c.crval1, 0.0, 0.0, 0.0, 1.0, 1.0, 0.0, c.code,
                                       &ra, &dec),
                  0);
        EXPECT_NEAR(ra, c.expectedRa, c.tolerance) << c.code << " " << c.crval1 << " + " << c.dx;
        EXPECT_NEAR(dec, 0.0, 1e-6) << c.code << " " << c.crval1 << " + " << c.dx;
    }
}

TEST(ProjectionSkyToPixel, WrapsRightAscensionTowardsTheReference)
{
    struct Case {
        double crval1, ra, expectedX;
    };
    const Case cases[] = {
        {1.0, 359.0, -2.0},  // 359 is taken as -1
        {359.0, 1.0, 2.0},   // 1 is taken as 361
        {0.0, 180.0, 180.0}, // exactly half a turn is not moved
        {0.0, -180.0, -180.0}, {1.0, -359.0, 0.0}, {100.0, 200.0, 100.0},
    };
    for (const auto& c : cases) {
        double x = 0, y = 0;
        ASSERT_EQ(
            projectionSkyToPixel(c.ra, 5.0, c.crval1, 5.0, 0.0, 0.0, 1.0, 1.0, 0.0, "", &x, &y), 0);
        EXPECT_EQ(x, c.expectedX) << "crval1 " << c.crval1 << " ra " << c.ra;
        EXPECT_EQ(y, 0.0);
    }
}

TEST(ProjectionSkyToPixel, ZeroIncrementGivesStatusTwoAndZeros)
{
    for (const char* code : ALL_CODES) {
        for (int axis = 0; axis < 2; axis++) {
            double x = -7, y = -7;
            EXPECT_EQ(projectionSkyToPixel(10.0, 20.0, 10.0, 20.0, 5.0, 6.0, axis == 0 ? 0.0 : 1.0,
                                           axis == 1 ? 0.0 : 1.0, 0.0, code, &x, &y),
                      2)
                << "code '" << code << "' axis " << axis;
            EXPECT_EQ(x, 0.0);
            EXPECT_EQ(y, 0.0);
        }
    }
}

// Sky positions the projections refuse: the status, and the linear estimate
// (ra - CRVAL1) / CDELT1 + CRPIX1, (dec - CRVAL2) / CDELT2 + CRPIX2 left in the outputs.
TEST(ProjectionSkyToPixel, RefusesPositionsOutsideTheDomain)
{
    struct Case {
        const char* code;
        double crval1, crval2, ra, dec;
        int status;
    };
    const Case cases[] = {
        {"-SIN", 40.0, 0.0, 130.0, 0.0, 1},    // 90 degrees formed with the degree factor
        {"-SIN", 40.0, 10.0, 220.0, -10.0, 1}, // antipode
        {"-TAN", 40.0, 0.0, 130.0, 0.0, 1},
        {"-TAN", 40.0, 30.0, 40.0, -61.0, 1},
        {"-NCP", 40.0, 0.0, 41.0, 1.0, 1}, // reference on the equator
        {"-GLS", 40.0, 10.0, 41.0, 90.0, 1},
        {"-GLS", 40.0, 10.0, 41.0, -90.0, 1},
        {"-GLS", 40.0, 91.0, 41.0, 80.0, 1}, // reference beyond the pole
        {"-STG", 40.0, 10.0, 41.0, 90.0, 1},
        {"-STG", 40.0, 10.0, 41.0, -90.0, 1},
        {"-STG", 40.0, 30.0, 220.0, -30.0, 1}, // antipode
        {"-MER", 40.0, 10.0, 41.0, -90.0, 2},
        {"-AIT", 40.0, 10.0, 220.0, 5.0, 1}, // half a turn from the reference meridian
        {"-AIT", 40.0, 0.0, 40.0, 180.0, 3}, // the singular point
    };
    for (const auto& c : cases) {
        double x = 0, y = 0;
        EXPECT_EQ(projectionSkyToPixel(c.ra, c.dec, c.crval1, c.crval2, 3.0, 4.0, 0.5, 0.25, 0.0,
                                       c.code, &x, &y),
                  c.status)
            << c.code << " at " << c.ra << " " << c.dec;
        EXPECT_EQ(x, (c.ra - c.crval1) / 0.5 + 3.0) << c.code << " at " << c.ra << " " << c.dec;
        EXPECT_EQ(y, (c.dec - c.crval2) / 0.25 + 4.0) << c.code << " at " << c.ra << " " << c.dec;
    }
}

TEST(ProjectionSkyToPixel, AcceptsPositionsJustInsideTheDomain)
{
    struct Case {
        const char* code;
        double crval1, crval2, ra, dec;
    };
    const Case cases[] = {
        {"-SIN", 40.0, 0.0, 129.99, 0.0},        {"-GLS", 40.0, 10.0, 41.0, 89.9999999},
        {"-GLS", 40.0, 10.0, 41.0, -89.9999999}, {"-STG", 40.0, 10.0, 41.0, 89.9999999},
        {"-STG", 40.0, 10.0, 41.0, -89.9999999}, {"-MER", 40.0, 10.0, 41.0, -89.99},
        {"-AIT", 40.0, 10.0, 219.9999, 5.0},     {"-ARC", 40.0, 10.0, 219.0, -10.0},
    };
    for (const auto& c : cases) {
        double x = 0, y = 0;
        EXPECT_EQ(projectionSkyToPixel(c.ra, c.dec, c.crval1, c.crval2, 3.0, 4.0, 0.5, 0.25, 0.0,
                                       c.code, &x, &y),
                  0)
            << c.code << " at " << c.ra << " " << c.dec;
    }
}

// GLS, MER and AIT are scaled so that one pixel step from the reference pixel is one
// increment on the sky. The pixel positions below follow from the classical formulas
// of the sinusoidal, Mercator and Aitoff projections with that scaling, in degrees:
//   GLS  x = da cos(d) / CDELT1,  y = (d - d0) / CDELT2
//   MER  x = da cos(d0) / CDELT1, y = (Y(d) - Y(d0)) / (Y(d0 + CDELT2) - Y(d0)),
//        Y(d) = ln tan(45 + d/2)
//   AIT  x = X(d, da) / X(d0, CDELT1), y = (A(d, da) - A(d0, 0)) / (A(d0 + CDELT2, 0) - A(d0, 0)),
//        X(d, da) = 2 sqrt2 cos d sin(da/2) / sqrt(1 + cos d cos(da/2)),
//        A(d, da) = sqrt2 sin d / sqrt(1 + cos d cos(da/2))
// (da = ra - CRVAL1, d0 = CRVAL2, pixels relative to the reference pixel).
TEST(ProjectionSkyToPixel, ScalesGlsMerAndAitToTheIncrements)
{
    const double r = PI / 180;
    auto mercatorY = [&](double d) { return std::log(std::tan((45 + d / 2) * r)); };
    auto aitoffX = [&](double d, double da) {
        return 2 * std::sqrt(2.0) * std::cos(d * r) * std::sin(da / 2 * r) /
               std::sqrt(1 + std::cos(d * r) * std::cos(da / 2 * r));
    };
    auto aitoffY = [&](double d, double da) {
        return std::sqrt(2.0) * std::sin(d * r) /
               std::sqrt(1 + std::cos(d * r) * std::cos(da / 2 * r));
    };
    const double crval1 = 100, d0 = 20, cdelt1 = 0.5, cdelt2 = 0.25;
    const double points[][2] = {
        {130.0, 50.0}, {60.0, -10.0}, {100.0, 20.25}, {100.5, 20.0}, {250.0, 75.0}};
    for (const auto& pt : points) {
        const double da = pt[0] - crval1, d = pt[1];
        struct Expected {
            const char* code;
            double x, y;
        };
        const Expected expected[] = {
            {"-GLS", da * std::cos(d * r) / cdelt1, (d - d0) / cdelt2},
            {"-MER", da * std::cos(d0 * r) / cdelt1,
             (mercatorY(d) - mercatorY(d0)) / (mercatorY(d0 + cdelt2) - mercatorY(d0))},
            {"-AIT", aitoffX(d, da) / aitoffX(d0, cdelt1),
             (aitoffY(d, da) - aitoffY(d0, 0)) / (aitoffY(d0 + cdelt2, 0) - aitoffY(d0, 0))},
        };
        for (const auto& e : expected) {
            double x = 0, y = 0;
            ASSERT_EQ(projectionSkyToPixel(pt[0], d, crval1, d0, 10.0, 20.0, cdelt1, cdelt2, 0.0,
                                           e.code, &x, &y),
                      0)
                << e.code;
            EXPECT_NEAR(x, 10.0 + e.x, 1e-6) << e.code << " at " << pt[0] << " " << d;
            EXPECT_NEAR(y, 20.0 + e.y, 1e-6) << e.code << " at " << pt[0] << " " << d;
            double ra = 0, dec = 0;
            ASSERT_EQ(projectionPixelToSky(10.0 + e.x, 20.0 + e.y, crval1, d0, 10.0, 20.0, cdelt1,
                                           cdelt2, 0.0, e.code, &ra, &dec),
                      0)
                << e.code;
            EXPECT_NEAR(ra, pt[0], 1e-7) << e.code << " at " << pt[0] << " " << d;
            EXPECT_NEAR(dec, d, 1e-7) << e.code << " at " << pt[0] << " " << d;
        }
    }
    // Turned by 90 degrees, axis 1 runs along declination and its increment sets the
    // declination scale: x = (Y(d) - Y(d0)) / (Y(d0 + CDELT1) - Y(d0)), y = 0.
    struct Rotated {
        const char* code;
        double x;
    };
    const Rotated rotated[] = {
        {"-MER", (mercatorY(50) - mercatorY(d0)) / (mercatorY(d0 + cdelt1) - mercatorY(d0))},
        {"-AIT", (aitoffY(50, 0) - aitoffY(d0, 0)) / (aitoffY(d0 + cdelt1, 0) - aitoffY(d0, 0))},
    };
    for (const auto& e : rotated) {
        double x = 0, y = 0;
        ASSERT_EQ(projectionSkyToPixel(crval1, 50.0, crval1, d0, 10.0, 20.0, cdelt1, cdelt2, 90.0,
                                       e.code, &x, &y),
                  0);
        EXPECT_NEAR(x, 10.0 + e.x, 1e-6) << e.code << " turned";
        EXPECT_NEAR(y, 20.0, 1e-6) << e.code << " turned";
    }
}

// The first four characters select, case-sensitively; anything else is linear.
TEST(ProjectionCode, SelectsByTheFirstFourCharacters)
{
    struct Case {
        const char* code;
        const char* selects;
    };
    const Case cases[] = {
        {"-TAN", "-TAN"},    {"-TANGENT", "-TAN"}, {"-SIN-SIP", "-SIN"}, {"-STG ", "-STG"},
        {"-TA", ""},         {"-tan", ""},         {"TAN", ""},          {"", ""},
        {nullptr, ""},       {"-CAR", ""},         {"-AITX", "-AIT"},    {"-MER", "-MER"},
        {"-GLSfoo", "-GLS"}, {"-NCP", "-NCP"},     {"-ARC", "-ARC"},
    };
    for (const auto& c : cases) {
        double ra = 0, dec = 0, expectedRa = 0, expectedDec = 0;
        double x = 0, y = 0, expectedX = 0, expectedY = 0;
        projectionPixelToSky(40.0, 35.0, 30.0, 40.0, 0.0, 0.0, 0.2, 0.2, 0.0, c.code, &ra, &dec);
        projectionPixelToSky(40.0, 35.0, 30.0, 40.0, 0.0, 0.0, 0.2, 0.2, 0.0, c.selects,
                             &expectedRa, &expectedDec);
        projectionSkyToPixel(45.0, 50.0, 30.0, 40.0, 0.0, 0.0, 0.2, 0.2, 0.0, c.code, &x, &y);
        projectionSkyToPixel(45.0, 50.0, 30.0, 40.0, 0.0, 0.0, 0.2, 0.2, 0.0, c.selects, &expectedX,
                             &expectedY);
        const char* shown = c.code ? c.code : "(null)";
        EXPECT_EQ(ra, expectedRa) << shown;
        EXPECT_EQ(dec, expectedDec) << shown;
        EXPECT_EQ(x, expectedX) << shown;
        EXPECT_EQ(y, expectedY) << shown;
    }
    // The linear default adds the offsets; every projection differs from it here.
    double ra = 0, dec = 0;
    projectionPixelToSky(40.0, 35.0, 30.0, 40.0, 0.0, 0.0, 0.2, 0.2, 0.0, "-tan", &ra, &dec);
    EXPECT_NEAR(ra, 38.0, 1e-9);
    EXPECT_NEAR(dec, 47.0, 1e-9);
    for (int i = 1; i < 9; i++) {
        double pra = 0, pdec = 0;
        projectionPixelToSky(40.0, 35.0, 30.0, 40.0, 0.0, 0.0, 0.2, 0.2, 0.0, ALL_CODES[i], &pra,
                             &pdec);
        EXPECT_TRUE(std::fabs(pra - ra) > 1e-3 || std::fabs(pdec - dec) > 1e-3) << ALL_CODES[i];
    }
}

// A position that is not a finite number is a failure, never a result.
TEST(ProjectionPixelToSky, NonFinitePositionIsRefused)
{
    double ra = 0, dec = 0;
    EXPECT_EQ(
        projectionPixelToSky(NAN, 0.0, 10.0, 20.0, 0.0, 0.0, 1.0, 1.0, 0.0, "-TAN", &ra, &dec), 1);
    EXPECT_EQ(projectionPixelToSky(0.0, 0.0, 10.0, 20.0, 0.0, 0.0, 1.0, 1.0, 0.0, "", &ra, &dec),
              0);
    EXPECT_EQ(
        projectionPixelToSky(INFINITY, 0.0, 10.0, 20.0, 0.0, 0.0, 1.0, 1.0, 0.0, "", &ra, &dec), 1);
    double x = 0, y = 0;
    EXPECT_EQ(projectionSkyToPixel(NAN, 20.0, 10.0, 20.0, 0.0, 0.0, 1.0, 1.0, 0.0, "-SIN", &x, &y),
              1);
    EXPECT_EQ(projectionSkyToPixel(10.0, NAN, 10.0, 20.0, 0.0, 0.0, 1.0, 1.0, 0.0, "", &x, &y), 1);
    EXPECT_EQ(projectionSkyToPixel(10.5, 20.0, 10.0, 90.0, 0.0, 0.0, 1.0, 1.0, 0.0, "-MER", &x, &y),
              1);
    EXPECT_EQ(x, 0.5);
    EXPECT_EQ(y, -70.0);

    // A declination beyond the range of doubles once in degrees again; the linear
    // estimate (itself infinite) stays.
    EXPECT_EQ(projectionPixelToSky(0.0, 1e308, 10.0, 1e308, 0.0, 0.0, 1.0, 1.0, 0.0, "", &ra, &dec),
              1);
    EXPECT_EQ(ra, 10.0);
    EXPECT_EQ(dec, INFINITY);
}

// A zero increment maps every pixel onto one sky point, and a value that is not finite
// gives no sky at all: every projection refuses both, outputs untouched.
TEST(ProjectionPixelToSky, RefusesZeroIncrementsAndValuesThatAreNotFinite)
{
    struct Case {
        double crval1, crval2, crpix1, crpix2, cdelt1, cdelt2, crota2;
        const char* what;
    };
    const Case cases[] = {
        {10, 20, 5, 6, 0.0, 1e-3, 0, "CDELT1 zero"},
        {10, 20, 5, 6, 1e-3, -0.0, 0, "CDELT2 zero"},
        {NAN, 20, 5, 6, 1e-3, 1e-3, 0, "CRVAL1 NaN"},
        {10, INFINITY, 5, 6, 1e-3, 1e-3, 0, "CRVAL2 infinite"},
        {10, 20, -INFINITY, 6, 1e-3, 1e-3, 0, "CRPIX1 infinite"},
        {10, 20, 5, NAN, 1e-3, 1e-3, 0, "CRPIX2 NaN"},
        {10, 20, 5, 6, INFINITY, 1e-3, 0, "CDELT1 infinite"},
        {10, 20, 5, 6, 1e-3, NAN, 0, "CDELT2 NaN"},
        {10, 20, 5, 6, 1e-3, 1e-3, INFINITY, "CROTA2 infinite"},
    };
    for (const char* code : ALL_CODES) {
        for (const auto& c : cases) {
            double ra = -7, dec = -7;
            // At the reference pixel and away from it.
            for (double x : {c.crpix1, 7.0}) {
                EXPECT_EQ(projectionPixelToSky(x, 6.0, c.crval1, c.crval2, c.crpix1, c.crpix2,
                                               c.cdelt1, c.cdelt2, c.crota2, code, &ra, &dec),
                          2)
                    << "code '" << code << "' " << c.what << " x " << x;
                EXPECT_EQ(ra, -7) << "code '" << code << "' " << c.what;
                EXPECT_EQ(dec, -7) << "code '" << code << "' " << c.what;
            }
        }
    }
}

// The linear offset may be any number of turns: the result is brought within half a turn
// of CRVAL1 and made non-negative, the same direction on the sky.
TEST(ProjectionPixelToSky, LinearBringsAnyOffsetIntoRange)
{
    struct Case {
        double crval1, dx;
    };
    const Case cases[] = {
        {10.0, 1000.0},   {0.0, -990.0},  {10.0, 1e6 + 0.25},
        {200.0, -7200.5}, {359.0, 722.0}, {5.0, -1e9},
    };
    for (const auto& c : cases) {
        double ra = 0, dec = 0;
        ASSERT_EQ(
            projectionPixelToSky(c.dx, 0.0, c.crval1, 0.0, 0.0, 0.0, 1.0, 1.0, 0.0, "", &ra, &dec),
            0)
            << c.crval1 << " + " << c.dx;
        EXPECT_GE(ra, 0.0) << c.crval1 << " + " << c.dx;
        // Within half a turn of CRVAL1, but for the turn that made it non-negative.
        double offset = ra - c.crval1;
        if (offset > 180)
            offset -= WRAP_TURN;
        EXPECT_LE(std::fabs(offset), 180.0) << c.crval1 << " + " << c.dx;
        // Same direction: the difference is whole turns (of the rounded turn), within the
        // rounding of the offset itself.
        double turns = (c.crval1 + c.dx - ra) / WRAP_TURN;
        EXPECT_NEAR(turns, std::round(turns), 1e-12 * std::fabs(c.dx) + 1e-9)
            << c.crval1 << " + " << c.dx;
    }
}

// Only the result decides: a linear estimate out of range does not refuse a position
// whose projected offset fits. GLS shrinks 50 degrees of right ascension at declination
// 80 to 50 cos 80 degrees, which fits in a double once divided by the tiny increment.
TEST(ProjectionSkyToPixel, FiniteResultDespiteAnInfiniteEstimate)
{
    double x = 0, y = 0;
    ASSERT_EQ(
        projectionSkyToPixel(50.0, 80.0, 0.0, 80.0, 0.0, 0.0, 1e-307, 1.0, 0.0, "-GLS", &x, &y), 0);
    EXPECT_NEAR(x / (50 * std::cos(80 * PI / 180) / 1e-307), 1.0, 1e-9);
    EXPECT_EQ(y, 0.0);
}
