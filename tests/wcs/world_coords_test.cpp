#include "wcs/world_coords.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "fits/fits_image.hpp"

using namespace newstars;

static const double PI = 3.141592653589793;

// A header with all eight world-coordinate cards.
static void makeHeader(FitsImage* image, const char* ctype1, double crval1 = 150.25,
                       double crval2 = 0.0, double crota2 = 0.0)
{
    initFitsImage(image);
    setRealCard(image, "CRVAL1", crval1, 17);
    setRealCard(image, "CRVAL2", crval2, 17);
    setRealCard(image, "CRPIX1", 1024.5, 17);
    setRealCard(image, "CRPIX2", 512.0, 17);
    setRealCard(image, "CDELT1", 1e-3, 17);
    setRealCard(image, "CDELT2", 1e-3, 17);
    setRealCard(image, "CROTA2", crota2, 17);
    setStringCard(image, "CTYPE1", ctype1);
    setStringCard(image, "CTYPE2", "DEC--TAN");
}

TEST(PixelToSky, ConvertsThroughTheHeaderCards)
{
    struct Case {
        const char* ctype1;
        double crval1, crval2, crota2, x, y, expectedRa, expectedDec;
    };
    // One degree along the equator on the tangent plane is atan(1 degree) of longitude.
    const double tanDegree = std::atan(PI / 180) * 180 / PI;
    const Case cases[] = {
        {"RA---TAN", 150.25, 0.0, 0.0, 1024.5, 512.0, 150.25, 0.0},
        {"RA---TAN", 150.25, -33.0, 0.0, 1024.5, 512.0, 150.25, -33.0},
        {"RA---TAN", -30.0, 20.0, 0.0, 1024.5, 512.0, 329.9999999988, 20.0}, // made non-negative
        {"RA---TAN", 150.25, 0.0, 0.0, 2024.5, 512.0, 150.25 + tanDegree, 0.0},
        {"RA---TAN", 150.25, 0.0, 90.0, 1024.5, 1512.0, 150.25 - tanDegree, 0.0},
        {"RA---SIN", 150.25, 0.0, 0.0, 1024.5, 1512.0, 150.25, std::asin(PI / 180) * 180 / PI},
        {"RA--", 150.25, 0.0, 0.0, 2024.5, 12.0, 151.25, -0.5},    // exactly four: linear
        {"RA--TAN", 150.25, 0.0, 0.0, 2024.5, 12.0, 151.25, -0.5}, // code TAN: linear
        {"RA---TAN-SIP", 150.25, 0.0, 0.0, 2024.5, 512.0, 150.25 + tanDegree, 0.0},
    };
    for (const auto& c : cases) {
        FitsImage image;
        makeHeader(&image, c.ctype1, c.crval1, c.crval2, c.crota2);
        double ra = -1, dec = -1;
        ASSERT_EQ(pixelToSky(&image, c.x, c.y, &ra, &dec), 0) << c.ctype1;
        EXPECT_NEAR(ra, c.expectedRa * PI / 180, 1e-12) << c.ctype1 << " at " << c.x << "," << c.y;
        EXPECT_NEAR(dec, c.expectedDec * PI / 180, 1e-12)
            << c.ctype1 << " at " << c.x << "," << c.y;
        freeFitsImage(&image);
    }
}

TEST(PixelToSky, RefusesOtherCoordinateTypes)
{
    const char* const types[] = {"DEC--TAN", "ra---tan", "Ra---TAN", "RA-",
                                 "",         "GLON-TAN", "RA_-TAN"};
    for (const char* type : types) {
        FitsImage image;
        makeHeader(&image, type);
        double ra = -7, dec = -7, x = -7, y = -7;
        EXPECT_EQ(pixelToSky(&image, 1024.5, 512.0, &ra, &dec), -1) << "'" << type << "'";
        EXPECT_EQ(skyToPixel(&image, 2.6, 0.0, &x, &y), -1) << "'" << type << "'";
        EXPECT_EQ(ra, -7);
        EXPECT_EQ(dec, -7);
        EXPECT_EQ(x, -7);
        EXPECT_EQ(y, -7);
        freeFitsImage(&image);
    }
}

// Every card is required: without any one of them there is no conversion, even where
// a default (a rotation of 0) would do.
TEST(PixelToSky, RequiresEveryCard)
{
    const char* const keywords[] = {"CRVAL1", "CRVAL2", "CRPIX1", "CRPIX2",
                                    "CDELT1", "CDELT2", "CROTA2", "CTYPE1"};
    for (const char* keyword : keywords) {
        FitsImage image;
        makeHeader(&image, "RA---TAN");
        ASSERT_EQ(deleteCard(&image, keyword), 0);
        double ra = -7, dec = -7, x = -7, y = -7;
        EXPECT_EQ(pixelToSky(&image, 1024.5, 512.0, &ra, &dec), -1) << keyword;
        EXPECT_EQ(skyToPixel(&image, 2.6, 0.0, &x, &y), -1) << keyword;
        EXPECT_EQ(ra, -7) << keyword;
        EXPECT_EQ(dec, -7) << keyword;
        EXPECT_EQ(x, -7) << keyword;
        EXPECT_EQ(y, -7) << keyword;
        freeFitsImage(&image);
    }
    // A CTYPE1 that is not a quoted text is missing as well.
    FitsImage image;
    makeHeader(&image, "RA---TAN");
    setRealCard(&image, "CTYPE1", 1.0, 6);
    double ra = -7, dec = -7;
    EXPECT_EQ(pixelToSky(&image, 1024.5, 512.0, &ra, &dec), -1);
    EXPECT_EQ(ra, -7);
    freeFitsImage(&image);
    EXPECT_EQ(pixelToSky(nullptr, 1024.5, 512.0, &ra, &dec), -1);
}

TEST(PixelToSky, PositionTheProjectionRefusesLeavesOutputsUntouched)
{
    FitsImage image;
    makeHeader(&image, "RA---SIN", 150.25, 10.0);
    setRealCard(&image, "CDELT1", 0.1, 17);
    double ra = -7, dec = -7;
    // 60 degrees from the reference: more than one radian.
    EXPECT_EQ(pixelToSky(&image, 1024.5 + 600, 512.0, &ra, &dec), -1);
    EXPECT_EQ(ra, -7);
    EXPECT_EQ(dec, -7);
    EXPECT_EQ(pixelToSky(&image, 1024.5 + 500, 512.0, &ra, &dec), 0);
    freeFitsImage(&image);
}

TEST(SkyToPixel, ProjectionFailureLeavesItsEstimate)
{
    FitsImage image;
    makeHeader(&image, "RA---TAN", 150.25, 0.0);
    double x = -7, y = -7;
    // 100 degrees from the reference: beyond the tangent plane, the linear estimate stays.
    EXPECT_EQ(skyToPixel(&image, 250.25 * PI / 180, 0.0, &x, &y), -1);
    EXPECT_NEAR(x, 1024.5 + 100 / 1e-3, 1e-6);
    EXPECT_NEAR(y, 512.0, 1e-9);

    setRealCard(&image, "CDELT1", 0.0, 17);
    x = y = -7;
    EXPECT_EQ(skyToPixel(&image, 150.25 * PI / 180, 0.0, &x, &y), -1);
    EXPECT_EQ(x, 0.0);
    EXPECT_EQ(y, 0.0);
    freeFitsImage(&image);
}

TEST(WorldCoords, TellWhyAPositionFails)
{
    FitsImage image;
    makeHeader(&image, "RA---TAN", 150.25, 0.0);
    FitsImage bare;
    initFitsImage(&bare);
    FitsImage flat;
    makeHeader(&flat, "RA---TAN", 150.25, 0.0);
    setRealCard(&flat, "CDELT1", 0.0, 17);
    struct Case {
        const FitsImage* image;
        double ra, x;   // degrees; pixel column (the reference row)
        int sky, pixel; // statuses of skyToPixel and pixelToSky
    };
    const Case cases[] = {
        {&image, 150.5, 1200.0, PROJECTION_OK, PROJECTION_OK},
        {&image, 250.25, 1200.0, PROJECTION_OUTSIDE, PROJECTION_OK},
        {&flat, 150.5, 1200.0, PROJECTION_ZERO_INCREMENT, PROJECTION_ZERO_INCREMENT},
        {&bare, 150.5, 1200.0, -1, -1},
    };
    for (const Case& c : cases) {
        double x = 0, y = 0, ra = 0, dec = 0;
        int status = 99;
        EXPECT_EQ(skyToPixel(c.image, c.ra * PI / 180, 0.0, &x, &y, &status),
                  c.sky == PROJECTION_OK ? 0 : -1)
            << c.ra;
        EXPECT_EQ(status, c.sky) << c.ra;
        status = 99;
        EXPECT_EQ(pixelToSky(c.image, c.x, 512.0, &ra, &dec, &status),
                  c.pixel == PROJECTION_OK ? 0 : -1)
            << c.x;
        EXPECT_EQ(status, c.pixel) << c.x;
    }
    EXPECT_STREQ(projectionStatusText(PROJECTION_OUTSIDE), "outside the projection");
    EXPECT_STREQ(projectionStatusText(7), "unknown projection status");
    freeFitsImage(&image);
    freeFitsImage(&flat);
}

TEST(SkyToPixel, UndoesPixelToSky)
{
    struct Case {
        const char* ctype1;
        double crval1, crval2, crota2;
    };
    const Case cases[] = {
        {"RA---TAN", 150.25, 30.0, 0.0},  {"RA---SIN", 0.2, -45.0, 12.0},
        {"RA---ARC", 359.9, 60.0, -75.0}, {"RA---STG", 10.0, 5.0, 180.0},
        {"RA---NCP", 200.0, 40.0, 0.0},   {"RA--", 359.5, 0.0, 30.0},
    };
    const double positions[][2] = {{1024.5, 512.0}, {0.0, 0.0}, {2047.0, 1023.0}, {-300.0, 1800.5}};
    for (const auto& c : cases) {
        FitsImage image;
        makeHeader(&image, c.ctype1, c.crval1, c.crval2, c.crota2);
        for (const auto& p : positions) {
            double ra = 0, dec = 0, x = 0, y = 0;
            ASSERT_EQ(pixelToSky(&image, p[0], p[1], &ra, &dec), 0) << c.ctype1;
            EXPECT_GE(ra, 0.0) << c.ctype1;
            ASSERT_EQ(skyToPixel(&image, ra, dec, &x, &y), 0) << c.ctype1;
            EXPECT_NEAR(x, p[0], 1e-3) << c.ctype1 << " at " << p[0] << "," << p[1];
            EXPECT_NEAR(y, p[1], 1e-3) << c.ctype1 << " at " << p[0] << "," << p[1];
        }
        freeFitsImage(&image);
    }
}
