// Headers in other equatorial systems than ICRS: positions come out in ICRS (FK5 J2000),
// checked against astropy's own frame transformations, through both readings of the
// cards; headers in ICRS or FK5 J2000 give the positions they always gave.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "fits/fits_image.hpp"
#include "support/files.hpp"
#include "support/fits_file.hpp"
#include "support/program.hpp"
#include "wcs/world_frame.hpp"

using namespace newstars;

namespace {

const char* const PYTHON = "/usr/bin/python3";
const std::string SCRIPT = std::string(NEWSTARS_SOURCE_DIR) + "/tests/wcs/astropy_positions.py";
constexpr double PI = 3.141592653589793;
constexpr double DEGREE = PI / 180;

FitsImage imageOf(const std::vector<std::string>& cards)
{
    FitsImage image;
    initFitsImage(&image);
    image.width = 1024;
    image.height = 1024;
    for (const std::string& card : cards)
        addCard(&image, fitsCard(card).c_str());
    return image;
}

std::string headerText(const std::vector<std::string>& cards)
{
    std::string text;
    for (const std::string& card : cards)
        text += fitsCard(card);
    return text;
}

// TAN headers of 1024 x 1024 pixels of 1 arcsecond, rotated by 12 degrees, centred on
// (ra, dec): the classic cards (CDELT, CROTA2), or the same as a CD matrix.
std::vector<std::string> tanCards(bool classic, double ra, double dec)
{
    std::vector<std::string> cards = {stringCard("CTYPE1", "RA---TAN"),
                                      stringCard("CTYPE2", "DEC--TAN"), realCard("CRVAL1", ra),
                                      realCard("CRVAL2", dec), realCard("CRPIX1", 512),
                                      realCard("CRPIX2", 512)};
    const double scale = 1.0 / 3600, c = std::cos(12 * DEGREE), s = std::sin(12 * DEGREE);
    if (classic) {
        cards.push_back(realCard("CDELT1", -scale));
        cards.push_back(realCard("CDELT2", scale));
        cards.push_back(realCard("CROTA2", 12));
    } else {
        cards.push_back(realCard("CD1_1", -scale * c));
        cards.push_back(realCard("CD1_2", -scale * s));
        cards.push_back(realCard("CD2_1", -scale * s));
        cards.push_back(realCard("CD2_2", scale * c));
    }
    return cards;
}

std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Pixel positions over the image, corners included.
std::vector<std::pair<double, double>> grid()
{
    std::vector<std::pair<double, double>> positions;
    for (int i = 0; i <= 4; ++i) {
        for (int j = 0; j <= 4; ++j)
            positions.emplace_back(i * 1023.0 / 4 + 0.25 * (j % 2), j * 1023.0 / 4);
    }
    return positions;
}

} // namespace

TEST(EquatorialSystem, B1950AndOtherEquinoxesComeOutInJ2000AsAstropyGivesThem)
{
    struct System {
        const char* what;
        std::vector<std::string> cards;
        const char* mjd; // observation time astropy is given for FK4; "-": its default
    };
    const System systems[] = {
        {"EQUINOX 1950", {realCard("EQUINOX", 1950)}, "-"},
        {"RADESYS FK4 and DATE-OBS",
         {stringCard("RADESYS", "FK4"), stringCard("DATE-OBS", "2018-08-04T09:23:31.598174")},
         "58334.39133794"},
        {"FK4 at the MJD-OBS of the observation",
         {stringCard("RADESYS", "FK4"), realCard("EQUINOX", 1950),
          realCard("MJD-OBS", 44000.25)},
         "44000.25"},
        {"FK4-NO-E", {stringCard("RADESYS", "FK4-NO-E"), realCard("EQUINOX", 1950)}, "-"},
        {"EPOCH 1950, the old name of EQUINOX", {realCard("EPOCH", 1950)}, "-"},
        {"FK5 J1980", {stringCard("RADESYS", "FK5"), realCard("EQUINOX", 1980)}, "-"},
    };
    const struct {
        double ra, dec;
    } centres[] = {{150, 30}, {0.05, -45}, {318.1, -66.0}, {200, 85}};

    ScratchDirectory scratch;
    std::string positionText;
    for (const auto& [x, y] : grid()) {
        char line[64];
        std::snprintf(line, sizeof line, "%.17g %.17g\n", x, y);
        positionText += line;
    }
    writeFile(scratch.file("positions"), positionText);
    // Classic cards count pixels as CRPIX is written, the standard from 1: the classic
    // position x is the standard x - 1.
    std::string classicText;
    for (const auto& [x, y] : grid()) {
        char line[64];
        std::snprintf(line, sizeof line, "%.17g %.17g\n", x - 1, y - 1);
        classicText += line;
    }
    writeFile(scratch.file("classic-positions"), classicText);

    // One astropy run for every header (starting it takes seconds).
    struct Run {
        std::string what;
        std::vector<std::string> cards, native;
        bool classic;
    };
    std::vector<Run> runs;
    std::string list;
    for (const System& system : systems) {
        for (const auto& centre : centres) {
            for (bool classic : {true, false}) {
                Run run;
                run.what = std::string(system.what) + (classic ? ", classic" : ", standard") +
                           " at " + std::to_string(centre.ra);
                run.native = tanCards(classic, centre.ra, centre.dec);
                run.cards = joined(run.native, system.cards);
                run.classic = classic;
                const std::string header = scratch.file("header" + std::to_string(runs.size()));
                writeFile(header, headerText(run.cards));
                // astropy reads the classic cards as standard ones (CROTA2 included).
                list += std::string(system.mjd) + " " + header + " " +
                        scratch.file(classic ? "classic-positions" : "positions") + "\n";
                runs.push_back(std::move(run));
            }
        }
    }
    writeFile(scratch.file("list"), list);
    const ProgramResult result = runProgram({PYTHON, SCRIPT, "--j2000", scratch.file("list")});
    ASSERT_EQ(result.status, 0) << "python3 with astropy is needed: " << result.err;
    std::istringstream expected(result.out);

    double largest = 0, largestShift = 0, largestTrip = 0;
    for (const Run& run : runs) {
        const std::string& what = run.what;
        FitsImage image = imageOf(run.cards);
        FitsImage plain = imageOf(run.native);
        WorldFrame frame, plainFrame;
        ASSERT_EQ(readWorldFrame(image, WcsMode::Auto, &frame), WcsStatus::Ok) << what;
        ASSERT_EQ(readWorldFrame(plain, WcsMode::Auto, &plainFrame), WcsStatus::Ok);
        EXPECT_EQ(frame.standard, !run.classic) << what;
        for (const auto& [x, y] : grid()) {
            double raExpected = 0, decExpected = 0;
            ASSERT_TRUE(expected >> raExpected >> decExpected) << what;
            double ra = 0, dec = 0, raNative = 0, decNative = 0;
            ASSERT_EQ(pixelToSky(frame, x, y, &ra, &dec), WcsStatus::Ok) << what;
            ASSERT_EQ(pixelToSky(plainFrame, x, y, &raNative, &decNative), WcsStatus::Ok);
            // Within half a turn of the reference point, not negative.
            EXPECT_GE(ra, 0) << what;
            EXPECT_LT(ra, 2 * PI + 0.01) << what;
            // ERFA and astropy model FK4 apart by up to about 10 mas.
            const double raError = std::remainder(ra / DEGREE - raExpected, 360.0) * std::cos(dec);
            const double error = std::hypot(raError, dec / DEGREE - decExpected) * 3600;
            EXPECT_LT(error, 0.02) << what << " at " << x << "," << y;
            largest = std::max(largest, error);
            // The conversion does move the position (by minutes of arc for FK4).
            const double shift =
                std::hypot(std::remainder(ra - raNative, 2 * PI) * std::cos(dec), dec - decNative) /
                DEGREE * 3600;
            EXPECT_GT(shift, 10) << what;
            largestShift = std::max(largestShift, shift);
            // Back to the pixel, as exactly as the projection itself goes back.
            double u = 0, v = 0, uNative = 0, vNative = 0;
            ASSERT_EQ(skyToPixel(frame, ra, dec, &u, &v), WcsStatus::Ok) << what;
            ASSERT_EQ(skyToPixel(plainFrame, raNative, decNative, &uNative, &vNative),
                      WcsStatus::Ok);
            const double trip = std::max(std::fabs(u - x), std::fabs(v - y));
            const double nativeTrip = std::max(std::fabs(uNative - x), std::fabs(vNative - y));
            EXPECT_LT(trip, nativeTrip + 1e-7) << what << " at " << x << "," << y;
            largestTrip = std::max(largestTrip, trip);
        }
        freeFitsImage(&image);
        freeFitsImage(&plain);
    }
    std::printf("largest difference from astropy %.3g arcsec; largest shift %.3g arcsec; "
                "largest round trip %.3g pixels\n",
                largest, largestShift, largestTrip);
}

TEST(EquatorialSystem, IcrsAndJ2000HeadersGiveTheirPositionsAsBefore)
{
    const std::vector<std::string> unchanged[] = {
        {realCard("EQUINOX", 2000)},
        {stringCard("RADESYS", "FK5")},
        {stringCard("RADESYS", "FK5"), realCard("EQUINOX", 2000)},
        {stringCard("RADESYS", "ICRS")},
        {stringCard("RADESYS", "ICRS"), realCard("EQUINOX", 1950)}, // ICRS has no equinox
        {stringCard("DATE-OBS", "1990-01-01")},
    };
    for (bool classic : {true, false}) {
        FitsImage plain = imageOf(tanCards(classic, 0.05, -45));
        WorldFrame plainFrame;
        ASSERT_EQ(readWorldFrame(plain, WcsMode::Auto, &plainFrame), WcsStatus::Ok);
        for (const auto& extra : unchanged) {
            FitsImage image = imageOf(joined(tanCards(classic, 0.05, -45), extra));
            WorldFrame frame;
            ASSERT_EQ(readWorldFrame(image, WcsMode::Auto, &frame), WcsStatus::Ok);
            for (const auto& [x, y] : grid()) {
                double ra = 0, dec = 0, raPlain = 0, decPlain = 0, u = 0, v = 0, uPlain = 0,
                       vPlain = 0;
                ASSERT_EQ(pixelToSky(frame, x, y, &ra, &dec), WcsStatus::Ok);
                ASSERT_EQ(pixelToSky(plainFrame, x, y, &raPlain, &decPlain), WcsStatus::Ok);
                EXPECT_EQ(ra, raPlain) << classic << " " << extra[0];
                EXPECT_EQ(dec, decPlain) << classic << " " << extra[0];
                ASSERT_EQ(skyToPixel(frame, ra, dec, &u, &v), WcsStatus::Ok);
                ASSERT_EQ(skyToPixel(plainFrame, ra, dec, &uPlain, &vPlain), WcsStatus::Ok);
                EXPECT_EQ(u, uPlain) << classic << " " << extra[0];
                EXPECT_EQ(v, vPlain) << classic << " " << extra[0];
            }
            freeFitsImage(&image);
        }
        freeFitsImage(&plain);
    }
}

// Precession far from J2000 gives no position: such an equinox is refused, not turned
// into NaN positions.
TEST(EquatorialSystem, Fk5OfAFarEquinoxIsRefused)
{
    const struct {
        std::vector<std::string> extra;
        WcsStatus expected;
    } cases[] = {
        {{realCard("EPOCH", 1e72)}, WcsStatus::FarEquinox},
        {{stringCard("RADESYS", "FK5"), realCard("EQUINOX", 3000.5)}, WcsStatus::FarEquinox},
        {{stringCard("RADESYS", "FK5"), realCard("EQUINOX", 999)}, WcsStatus::FarEquinox},
        {{stringCard("RADESYS", "FK5"), realCard("EQUINOX", 1900)}, WcsStatus::Ok},
        {{realCard("EQUINOX", 2950)}, WcsStatus::Ok},
    };
    for (bool classic : {true, false}) {
        for (const auto& c : cases) {
            FitsImage image = imageOf(joined(tanCards(classic, 150, 30), c.extra));
            WorldFrame frame;
            EXPECT_EQ(readWorldFrame(image, WcsMode::Auto, &frame), c.expected)
                << classic << " " << c.extra.back();
            freeFitsImage(&image);
        }
    }
}

TEST(EquatorialSystem, Fk4OfAnotherEquinoxIsRefused)
{
    const std::vector<std::string> refused[] = {
        {realCard("EQUINOX", 1900)},
        {stringCard("RADESYS", "FK4"), realCard("EQUINOX", 1975)},
        {stringCard("RADESYS", "FK4-NO-E"), realCard("EQUINOX", 2000)},
    };
    for (bool classic : {true, false}) {
        for (const auto& extra : refused) {
            FitsImage image = imageOf(joined(tanCards(classic, 150, 30), extra));
            WorldFrame frame;
            EXPECT_EQ(readWorldFrame(image, WcsMode::Auto, &frame), WcsStatus::UnknownEquinox)
                << classic << " " << extra.back();
            freeFitsImage(&image);
        }
    }
}
