// Cross-check of the zenithal projections against WCSLIB.
//
// The header values go across unchanged. With CROTA2 on the latitude axis WCSLIB forms
// the intermediate coordinates from p = pixel - CRPIX as
//   x = CDELT1 cos(rho) p1 - CDELT2 sin(rho) p2,   y = CDELT1 sin(rho) p1 + CDELT2 cos(rho) p2,
// which is the rotation applied here (dx cr - dy sr, dy cr + dx sr); and with the
// default LONPOLE of 180 degrees its zenithal projections put increasing x towards
// increasing right ascension and increasing y towards the north, as l and m here. NCP
// has no code of its own there: it is the slant orthographic projection, SIN with
// PV2_1 = 0 and PV2_2 = cot(CRVAL2).
//
// The two differ only by the degree factor 0.01745329252 used here instead of pi/180
// (a relative 3e-12, far below the 1e-7 degrees allowed over a few degrees) and by
// WCSLIB's own range for right ascension, so right ascensions are compared modulo 360.

#include <gtest/gtest.h>
#include <wcslib/wcslib.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "sky/projections.hpp"

using namespace newstars;

struct Frame {
    double crval1, crval2, cdelt1, cdelt2, crota2;
};

// A two-axis WCSLIB description of the frame for the projection code ("TAN", "NCP", ...).
static void setUpWcs(const Frame& f, const char* code, wcsprm* wcs)
{
    wcs->flag = -1;
    ASSERT_EQ(wcsini(1, 2, wcs), 0);
    const bool ncp = std::strcmp(code, "NCP") == 0;
    std::snprintf(wcs->ctype[0], sizeof wcs->ctype[0], "RA---%s", ncp ? "SIN" : code);
    std::snprintf(wcs->ctype[1], sizeof wcs->ctype[1], "DEC--%s", ncp ? "SIN" : code);
    wcs->crval[0] = f.crval1;
    wcs->crval[1] = f.crval2;
    wcs->crpix[0] = 1024.5;
    wcs->crpix[1] = 2048.0;
    wcs->cdelt[0] = f.cdelt1;
    wcs->cdelt[1] = f.cdelt2;
    wcs->crota[1] = f.crota2;
    wcs->altlin |= 4;
    if (ncp) {
        const double dec0 = f.crval2 * 3.141592653589793 / 180;
        wcs->pv[0] = {2, 1, 0.0};
        wcs->pv[1] = {2, 2, std::cos(dec0) / std::sin(dec0)};
        wcs->npv = 2;
    }
    ASSERT_EQ(wcsset(wcs), 0) << code;
}

static double rightAscensionDifference(double a, double b)
{
    return std::fmod(a - b + 540.0, 360.0) - 180.0;
}

TEST(ProjectionCrossCheck, AgreesWithWcslibForZenithalProjections)
{
    const char* const codes[] = {"TAN", "SIN", "ARC", "STG", "NCP"};
    const double declinations[] = {-62.0, -20.0, 0.0, 8.5, 35.0, 71.0, 86.0};
    const double rightAscensions[] = {0.5, 187.25, 359.75};
    const double rotations[] = {0.0, 23.0, -140.0};
    const double increments[][2] = {{-1e-3, 1e-3}, {7e-4, 1.1e-3}};
    // Up to 3 degrees from the reference point along each axis.
    const double offsets[] = {-3000.0, -1200.0, -7.0, 0.0, 0.5, 450.0, 2999.0};

    for (const char* code : codes) {
        char projectionCode[8];
        std::snprintf(projectionCode, sizeof projectionCode, "-%s", code);
        for (double crval2 : declinations) {
            // NCP is undefined for a reference on the equator and folds declinations
            // across it, so its frames stay well clear of it.
            if (std::strcmp(code, "NCP") == 0 && std::fabs(crval2) < 10)
                continue;
            for (double crval1 : rightAscensions) {
                for (double crota2 : rotations) {
                    for (const auto& inc : increments) {
                        const Frame f{crval1, crval2, inc[0], inc[1], crota2};
                        wcsprm wcs;
                        setUpWcs(f, code, &wcs);
                        for (double ox : offsets) {
                            for (double oy : offsets) {
                                double pixel[2] = {1024.5 + ox, 2048.0 + oy};
                                double intermediate[2], phi, theta, world[2];
                                int stat = 0;
                                ASSERT_EQ(wcsp2s(&wcs, 1, 2, pixel, intermediate, &phi, &theta,
                                                 world, &stat),
                                          0);
                                double ra = 0, dec = 0;
                                ASSERT_EQ(projectionPixelToSky(pixel[0], pixel[1], crval1, crval2,
                                                               1024.5, 2048.0, inc[0], inc[1],
                                                               crota2, projectionCode, &ra, &dec),
                                          0);
                                EXPECT_NEAR(rightAscensionDifference(ra, world[0]), 0.0, 1e-7)
                                    << code << " crval " << crval1 << " " << crval2 << " crota2 "
                                    << crota2 << " offset " << ox << " " << oy;
                                EXPECT_NEAR(dec, world[1], 1e-7)
                                    << code << " crval " << crval1 << " " << crval2 << " crota2 "
                                    << crota2 << " offset " << ox << " " << oy;

                                // And back: WCSLIB's sky position to the pixel here, within
                                // 1e-7 degrees expressed in pixels.
                                double x = 0, y = 0;
                                ASSERT_EQ(projectionSkyToPixel(world[0], world[1], crval1, crval2,
                                                               1024.5, 2048.0, inc[0], inc[1],
                                                               crota2, projectionCode, &x, &y),
                                          0);
                                EXPECT_NEAR(x, pixel[0], 1e-7 / 7e-4) << code << " back";
                                EXPECT_NEAR(y, pixel[1], 1e-7 / 7e-4) << code << " back";
                            }
                        }
                        wcsfree(&wcs);
                    }
                }
            }
        }
    }
}

// A reference point exactly at a pole: ARC and STG turn the sky as every projection here
// does just off the pole, right ascension ra0 + atan2(x, -y) around the north pole and
// ra0 + atan2(x, y) around the south pole. That is WCSLIB with LONPOLE 180, its default
// except exactly at the north pole (where it defaults to 0, the frame turned by half a
// turn), so LONPOLE is given.
TEST(ProjectionCrossCheck, AgreesWithWcslibAtThePoles)
{
    const char* const codes[] = {"ARC", "STG"};
    const double offsets[][2] = {{300, 0}, {0, 300}, {-250, -40}, {1000, -1500}, {-7, 2}};
    for (const char* code : codes) {
        char projectionCode[8];
        std::snprintf(projectionCode, sizeof projectionCode, "-%s", code);
        for (double crval2 : {90.0, -90.0}) {
            for (double crota2 : {0.0, 30.0}) {
                const Frame f{40.0, crval2, -1e-3, 1e-3, crota2};
                wcsprm wcs;
                setUpWcs(f, code, &wcs);
                wcs.lonpole = 180;
                ASSERT_EQ(wcsset(&wcs), 0);
                for (const auto& o : offsets) {
                    double pixel[2] = {1024.5 + o[0], 2048.0 + o[1]};
                    double intermediate[2], phi, theta, world[2];
                    int stat = 0;
                    ASSERT_EQ(wcsp2s(&wcs, 1, 2, pixel, intermediate, &phi, &theta, world, &stat),
                              0);
                    double ra = 0, dec = 0, x = 0, y = 0;
                    ASSERT_EQ(projectionPixelToSky(pixel[0], pixel[1], 40.0, crval2, 1024.5, 2048.0,
                                                   -1e-3, 1e-3, crota2, projectionCode, &ra, &dec),
                              0);
                    // STG takes right ascension from an arcsine, which loses precision at
                    // 90 degrees from the reference meridian (offset 300, 0): 1e-4 degrees.
                    EXPECT_NEAR(rightAscensionDifference(ra, world[0]), 0.0, 1e-4)
                        << code << " pole " << crval2 << " crota2 " << crota2 << " offset " << o[0]
                        << " " << o[1];
                    EXPECT_NEAR(dec, world[1], 1e-7) << code << " pole " << crval2;
                    ASSERT_EQ(projectionSkyToPixel(world[0], world[1], 40.0, crval2, 1024.5, 2048.0,
                                                   -1e-3, 1e-3, crota2, projectionCode, &x, &y),
                              0);
                    EXPECT_NEAR(x, pixel[0], 1e-3) << code << " pole " << crval2 << " back";
                    EXPECT_NEAR(y, pixel[1], 1e-3) << code << " pole " << crval2 << " back";
                }
                wcsfree(&wcs);
            }
        }
    }
}
