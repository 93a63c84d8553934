// End-to-end: a night of B1950 (FK4) headers gives ICRS positions in the report, the
// catalogue and the region file, checked against astropy's conversion; the catalogue
// gives each test image's observation time from the cards its header has.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace {

// The catalogue's rows as maps from column name to cell (no quoted cells in these runs).
std::vector<std::vector<std::pair<std::string, std::string>>> catalogRows(const std::string& text)
{
    std::vector<std::vector<std::pair<std::string, std::string>>> rows;
    std::istringstream in(text);
    std::vector<std::string> names;
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> cells;
        std::istringstream fields(line);
        for (std::string cell; std::getline(fields, cell, ',');)
            cells.push_back(cell);
        if (names.empty()) {
            names = cells;
            continue;
        }
        rows.emplace_back();
        for (size_t i = 0; i < cells.size() && i < names.size(); ++i)
            rows.back().emplace_back(names[i], cells[i]);
    }
    return rows;
}

std::string cell(const std::vector<std::pair<std::string, std::string>>& row,
                 const std::string& name)
{
    for (const auto& [key, value] : row) {
        if (key == name)
            return value;
    }
    return "(no " + name + ")";
}

// "hh:mm:ss.s" or "-d:mm:ss" to degrees (hours times 15 when hours).
double sexagesimalDegrees(const std::string& text, bool hours)
{
    double a = 0, b = 0, c = 0;
    std::sscanf(text.c_str(), "%lf:%lf:%lf", &a, &b, &c);
    const double sign = text.find('-') != std::string::npos ? -1 : 1;
    return sign * (std::fabs(a) + b / 60 + c / 3600) * (hours ? 15 : 1);
}

} // namespace

TEST(EquinoxRun, B1950HeadersGiveIcrsPositionsAndTheCatalogueItsTimes)
{
    ScratchDirectory d;
    const std::string equinox = realCard("EQUINOX", 1950);
    TestImage reference = skyImage("M31", 150, 0, {{150, 120}});
    reference.cards.push_back(equinox);
    writeTestImage(d.file("ref.fts"), reference);
    // The new star at pixel (180, 120): B1950 right ascension 150 - 30", declination 0.
    struct Timing {
        const char* name;
        std::vector<std::string> cards; // in place of DATE-OBS and TIME-OBS
        const char* isoTime;            // obs_time expected
        const char* epochTime;          // the same for astropy (UTC, ISO)
    };
    const Timing timings[] = {
        {"a.fts", {}, "2026-12-07T01:02:03.000", "2026-12-07T01:02:03"},
        {"b.fts",
         {stringCard("DATE-OBS", "2026-12-07T01:02:03.5")},
         "2026-12-07T01:02:03.500",
         "2026-12-07T01:02:03.5"},
        {"c.fts", {realCard("MJD-OBS", 61381.5)}, "2026-12-07T12:00:00.000", "2026-12-07T12:00:00"},
    };
    std::string names;
    for (const Timing& t : timings) {
        TestImage test = skyImage("M31", 150, 0, {{150, 120}, {180, 120}});
        if (!t.cards.empty()) {
            std::erase_if(test.cards, [](const std::string& c) {
                return c.compare(0, 8, "DATE-OBS") == 0 || c.compare(0, 8, "TIME-OBS") == 0;
            });
            test.cards.insert(test.cards.end(), t.cards.begin(), t.cards.end());
        }
        test.cards.push_back(equinox);
        writeTestImage(d.file(t.name), test);
        names += std::string(t.name) + "\n";
    }
    writeFile(d.file("files.txt"), names);
    // A box around the ICRS positions, some 0.64 degrees east and 0.24 south of B1950.
    writeFile(d.file("table.txt"), "M31 10:03:30 0:05:00 10:01:30 -0:30:00 ref.fts\n");
    const ProgramResult r = runNewstars(d.path, {"--vet", "--catalog", "c.ecsv", "--regions",
                                                 "r.reg", "-f", "files.txt", "2", "table.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    // astropy: FK4 B1950 at the observation's epoch to ICRS, the new star and the
    // reference star, for each image.
    std::string script = R"(
import sys
from astropy.coordinates import SkyCoord, FK4, ICRS
from astropy.time import Time
import astropy.units as u
for when in sys.argv[1:]:
    epoch = Time(Time(when, scale='utc').byear, format='byear')
    for ra in (150 - 30 / 3600, 150):
        c = SkyCoord(ra * u.deg, 0 * u.deg, frame=FK4(equinox='B1950', obstime=epoch))
        i = c.transform_to(ICRS())
        print('%.10f %.10f' % (i.ra.deg, i.dec.deg))
)";
    std::vector<std::string> arguments = {"/usr/bin/python3", "-c", script};
    for (const Timing& t : timings)
        arguments.emplace_back(t.epochTime);
    const ProgramResult astropy = runProgram(arguments);
    ASSERT_EQ(astropy.status, 0) << "python3 with astropy is needed: " << astropy.err;
    std::istringstream expectedIn(astropy.out);
    std::vector<std::pair<double, double>> expected;
    for (double ra = 0, dec = 0; expectedIn >> ra >> dec;)
        expected.emplace_back(ra, dec);
    ASSERT_EQ(expected.size(), 2 * std::size(timings));
    // B1950 and ICRS are 0.64 degrees apart here: 0.1" tells them apart for certain and
    // allows for FK5 J2000 against ICRS (some 0.02") and the report's rounding.
    const double tolerance = 0.1 / 3600;

    const auto rows = catalogRows(readFile(d.file("c.ecsv")));
    ASSERT_EQ(rows.size(), std::size(timings));
    std::istringstream regions(readFile(d.file("r.reg")));
    std::vector<std::pair<double, double>> circles;
    for (std::string line; std::getline(regions, line);) {
        double ra = 0, dec = 0;
        if (std::sscanf(line.c_str(), "circle(%lf,%lf,", &ra, &dec) == 2)
            circles.emplace_back(ra, dec);
    }
    ASSERT_EQ(circles.size(), std::size(timings));
    for (size_t i = 0; i < std::size(timings); ++i) {
        SCOPED_TRACE(timings[i].name);
        const auto& [ra, dec] = expected[2 * i];
        EXPECT_EQ(cell(rows[i], "image"), timings[i].name);
        EXPECT_NEAR(std::stod(cell(rows[i], "ra")), ra, tolerance / std::cos(dec * M_PI / 180));
        EXPECT_NEAR(std::stod(cell(rows[i], "dec")), dec, tolerance);
        EXPECT_NEAR(circles[i].first, ra, tolerance);
        EXPECT_NEAR(circles[i].second, dec, tolerance);
        EXPECT_EQ(cell(rows[i], "obs_time"), timings[i].isoTime);
        // MJD from the same ISO time by astropy's own count: checked to the millisecond.
        const double mjd = std::stod(cell(rows[i], "obs_mjd"));
        const double days =
            i == 2 ? 61381.5 : 61381 + (1 * 3600 + 2 * 60 + (i == 1 ? 3.5 : 3)) / 86400.0;
        EXPECT_NEAR(mjd, days, 1e-3 / 86400);
    }
    // The report (of a run without vetting, which might reject the new stars): each image
    // matches its reference star (one candidate each, not two) and prints the ICRS
    // position of the new one.
    const ProgramResult plain = runNewstars(d.path, {"-f", "files.txt", "2", "table.txt"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    std::istringstream report(plain.out);
    int candidates = 0;
    for (std::string line; std::getline(report, line);) {
        char object[40], image[40], raText[40], decText[40];
        if (std::sscanf(line.c_str(), "%39s %39s %39s %39s", object, image, raText, decText) != 4 ||
            std::string(raText).find(':') == std::string::npos)
            continue;
        ++candidates;
        EXPECT_NEAR(sexagesimalDegrees(raText, true), expected[0].first, 0.06 * 15 / 3600) << line;
        EXPECT_NEAR(sexagesimalDegrees(decText, false), expected[0].second, 0.6 / 3600) << line;
    }
    EXPECT_EQ(candidates, static_cast<int>(std::size(timings))) << plain.out;
}
