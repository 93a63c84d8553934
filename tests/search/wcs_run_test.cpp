// One simulated pair of images, written with three headers: classic cards, a CD matrix
// with pixels counted from 1, and a CD matrix with SIP distortion of several pixels at
// the corners. The stars are drawn where astropy (an independent reader) places them
// for each header, so every variant shows the same sky; the search must find the same
// candidates in all three.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "base/angles.hpp"
#include "stars/star_field.hpp"
#include "test_support.hpp"

namespace {

using newstars::PI;

const char* const PYTHON = "/usr/bin/python3";
const std::string SCRIPT = std::string(NEWSTARS_SOURCE_DIR) + "/tests/wcs/astropy_positions.py";

constexpr int SIZE = 600;
constexpr double SCALE = 2.0 / 3600; // degrees per pixel
constexpr double ROTATION = 12.0;    // degrees
constexpr double RA0 = 150.3, DEC0 = 25.2;

struct SkyStar {
    double ra, dec, amplitude;
};

enum class Kind { Classic, Cd, Sip };

// The world-coordinate cards of one variant, reference point (ra, dec) at the centre.
std::vector<std::string> wcsCards(Kind kind, double ra, double dec)
{
    const double c = std::cos(ROTATION * PI / 180);
    const double s = std::sin(ROTATION * PI / 180);
    const char* ctype1 = kind == Kind::Sip ? "RA---TAN-SIP" : "RA---TAN";
    const char* ctype2 = kind == Kind::Sip ? "DEC--TAN-SIP" : "DEC--TAN";
    std::vector<std::string> cards = {stringCard("CTYPE1", ctype1), stringCard("CTYPE2", ctype2),
                                      realCard("CRVAL1", ra), realCard("CRVAL2", dec)};
    if (kind == Kind::Classic) {
        // Classic positions are used as written: the centre pixel is 300.
        for (const std::string& card :
             {realCard("CRPIX1", 300), realCard("CRPIX2", 300), realCard("CDELT1", -SCALE),
              realCard("CDELT2", SCALE), realCard("CROTA2", ROTATION)})
            cards.push_back(card);
        return cards;
    }
    // Pixels counted from 1: the same centre pixel is 301.
    for (const std::string& card : {realCard("CRPIX1", 301), realCard("CRPIX2", 301),
                                    realCard("CD1_1", -SCALE * c), realCard("CD1_2", -SCALE * s),
                                    realCard("CD2_1", -SCALE * s), realCard("CD2_2", SCALE * c)})
        cards.push_back(card);
    if (kind == Kind::Sip) {
        // About 5 pixels at the corners (u, v = +-300).
        for (const std::string& card :
             {realCard("A_ORDER", 2), realCard("B_ORDER", 2), realCard("A_2_0", 3e-5),
              realCard("A_1_1", 2e-5), realCard("A_0_2", 1e-5), realCard("B_2_0", -1e-5),
              realCard("B_1_1", 3e-5), realCard("B_0_2", 2e-5)})
            cards.push_back(card);
    }
    return cards;
}

// One image's stars to place: the world-coordinate cards and the stars' sky positions.
struct Placing {
    std::vector<std::string> cards;
    const std::vector<SkyStar>* stars;
};

// Pixel positions (0-based) of the stars under the cards, from astropy, for every placing
// in one run of it.
std::vector<std::vector<std::pair<double, double>>>
pixelPositions(const ScratchDirectory& scratch, const std::vector<Placing>& placings)
{
    std::string jobs;
    for (size_t k = 0; k < placings.size(); ++k) {
        std::string header, sky;
        for (const std::string& card : placings[k].cards)
            header += card;
        for (const SkyStar& star : *placings[k].stars) {
            char line[80];
            std::snprintf(line, sizeof line, "%.17g %.17g\n", star.ra, star.dec);
            sky += line;
        }
        const std::string name = std::to_string(k);
        writeFile(scratch.file("header" + name), header);
        writeFile(scratch.file("sky" + name), sky);
        jobs +=
            "to-pixels " + scratch.file("header" + name) + " " + scratch.file("sky" + name) + "\n";
    }
    writeFile(scratch.file("jobs"), jobs);
    ProgramResult result = runProgram({PYTHON, SCRIPT, "--batch", scratch.file("jobs")});
    EXPECT_EQ(result.status, 0) << "python3 with astropy is needed: " << result.err;
    std::vector<std::vector<std::pair<double, double>>> positions(1);
    std::istringstream in(result.out);
    for (std::string line; std::getline(in, line);) {
        if (line == "end") {
            positions.emplace_back();
            continue;
        }
        double x = 0, y = 0;
        if (std::sscanf(line.c_str(), "%lf %lf", &x, &y) == 2)
            positions.back().emplace_back(x, y);
    }
    positions.pop_back();
    EXPECT_EQ(positions.size(), placings.size());
    positions.resize(placings.size());
    for (size_t k = 0; k < placings.size(); ++k)
        EXPECT_EQ(positions[k].size(), placings[k].stars->size()) << k;
    return positions;
}

// Writes the image of the stars drawn at the positions astropy gave for them.
void writeImage(const std::string& path, Kind kind, double ra, double dec,
                const std::vector<SkyStar>& stars,
                const std::vector<std::pair<double, double>>& positions)
{
    std::vector<std::string> cards = {stringCard("OBJECT", "FIELD7"),
                                      stringCard("DATE-OBS", "2026-12-07"),
                                      stringCard("TIME-OBS", "01:02:03")};
    std::vector<std::string> coordinates = wcsCards(kind, ra, dec);
    cards.insert(cards.end(), coordinates.begin(), coordinates.end());
    std::vector<uint16_t> pixels(static_cast<size_t>(SIZE) * SIZE, 1000);
    for (size_t i = 0; i < positions.size() && i < stars.size(); ++i)
        addGaussianStar(pixels.data(), SIZE, SIZE, positions[i].first, positions[i].second,
                        stars[i].amplitude, 1.6);
    writeFile(path, fitsImageFile(SIZE, SIZE, pixels, cards));
}

// "hh:mm:ss.s" or "dd:mm:ss" to a number of the last digit's units.
double sexagesimalUnits(const std::string& text, double unitsPerSecond)
{
    double a = 0, b = 0, c = 0;
    std::sscanf(text.c_str(), "%lf:%lf:%lf", &a, &b, &c);
    double sign = text.find('-') != std::string::npos ? -1 : 1;
    return sign * (std::fabs(a) * 3600 + b * 60 + c) * unitsPerSecond;
}

} // namespace

TEST(WcsRun, ClassicCdAndSipHeadersGiveTheSameCandidates)
{
    FieldRandom random{20261207};
    std::vector<SkyStar> reference;
    for (int i = 0; i < 45; ++i) {
        double dRa = (nextUniform(&random) - 0.5) * 0.2, dDec = (nextUniform(&random) - 0.5) * 0.2;
        reference.push_back({RA0 + dRa / std::cos(DEC0 * PI / 180), DEC0 + dDec,
                             2000 + 20000 * nextUniform(&random)});
    }
    std::vector<SkyStar> test = reference;
    test.push_back({RA0 + 0.031, DEC0 - 0.042, 9000});
    test.push_back({RA0 - 0.077, DEC0 + 0.018, 6000});
    test.push_back({RA0 + 0.064, DEC0 + 0.081, 12000});

    // The box: 0.12 degrees around the centre, in hours and degrees.
    char table[200];
    const double raReach = 0.12 / std::cos(DEC0 * PI / 180);
    std::snprintf(table, sizeof table, "FIELD7 %.8f %.8f %.8f %.8f ref.fts\n", (RA0 + raReach) / 15,
                  DEC0 + 0.12, (RA0 - raReach) / 15, DEC0 - 0.12);

    // The test image points a little elsewhere: other pixel positions, same sky. Classic
    // cards put the centre at pixel 300 as the CD cards put it at 301 (counted from 1):
    // the same pixels, which astropy gives for the CD cards.
    const double testRa = RA0 + 0.006, testDec = DEC0 - 0.004;
    std::vector<std::vector<std::pair<double, double>>> placed;
    {
        ScratchDirectory scratch;
        placed = pixelPositions(scratch, {{wcsCards(Kind::Cd, RA0, DEC0), &reference},
                                          {wcsCards(Kind::Cd, testRa, testDec), &test},
                                          {wcsCards(Kind::Sip, RA0, DEC0), &reference},
                                          {wcsCards(Kind::Sip, testRa, testDec), &test}});
    }

    std::vector<std::string> outputs;
    // The classic headers read once more in the standard convention (--wcs fits).
    const std::pair<Kind, const char*> runs[] = {
        {Kind::Classic, "auto"}, {Kind::Cd, "auto"}, {Kind::Sip, "auto"}, {Kind::Classic, "fits"}};
    for (const auto& [kind, mode] : runs) {
        ScratchDirectory scratch;
        const size_t first = kind == Kind::Sip ? 2 : 0;
        writeImage(scratch.file("ref.fts"), kind, RA0, DEC0, reference, placed[first]);
        writeImage(scratch.file("test.fts"), kind, testRa, testDec, test, placed[first + 1]);
        writeFile(scratch.file("table"), table);
        ProgramResult result = runNewstars(scratch.path, {"--wcs", mode, "3", "table", "test.fts"});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        outputs.push_back(result.out);
        // Vetting maps through the same frames: it keeps the three new stars, each with a
        // position in the reference.
        ProgramResult vetted = runNewstars(scratch.path, {"--wcs", mode, "--vet", "--catalog",
                                                          "c.ecsv", "3", "table", "test.fts"});
        EXPECT_EQ(vetted.out, result.out) << mode;
        std::istringstream catalog(readFile(scratch.file("c.ecsv")));
        int rows = 0;
        for (std::string line; std::getline(catalog, line);) {
            if (line[0] == '#' || line.rfind("object,", 0) == 0)
                continue;
            ++rows;
            EXPECT_NE(line.find(",kept,none,"), std::string::npos) << line;
            EXPECT_EQ(line.find(",nan,"), std::string::npos) << line;
        }
        EXPECT_EQ(rows, 3) << mode;
    }
    // Classic and CD headers describe the same pixels: the same report, byte for byte.
    EXPECT_EQ(outputs[1], outputs[0]);

    // The SIP images hold the stars elsewhere; the same summary and the same three
    // candidates, each position within one unit of its last printed digit.
    auto lines = [](const std::string& text) {
        std::vector<std::string> all;
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);)
            all.push_back(line);
        return all;
    };
    std::vector<std::string> classic = lines(outputs[0]), sip = lines(outputs[2]);
    ASSERT_EQ(classic.size(), 5u) << outputs[0]; // summary, form feed, three candidates
    ASSERT_EQ(sip.size(), classic.size()) << outputs[2];
    EXPECT_EQ(sip[0], classic[0]);
    EXPECT_EQ(sip[1], classic[1]);
    for (size_t i = 2; i < classic.size(); ++i) {
        std::istringstream a(classic[i]), b(sip[i]);
        std::string objectA, fileA, raA, decA, objectB, fileB, raB, decB;
        a >> objectA >> fileA >> raA >> decA;
        b >> objectB >> fileB >> raB >> decB;
        EXPECT_EQ(objectB + fileB, objectA + fileA) << sip[i];
        EXPECT_LE(std::fabs(sexagesimalUnits(raA, 10) - sexagesimalUnits(raB, 10)), 1.0)
            << classic[i] << " | " << sip[i];
        EXPECT_LE(std::fabs(sexagesimalUnits(decA, 1) - sexagesimalUnits(decB, 1)), 1.0)
            << classic[i] << " | " << sip[i];
    }

    // Classic cards in the standard convention: every star one pixel further along both
    // axes, the same candidates about 2 * sqrt(2) arcseconds away.
    std::vector<std::string> shifted = lines(outputs[3]);
    ASSERT_EQ(shifted.size(), classic.size()) << outputs[3];
    EXPECT_EQ(shifted[0], classic[0]);
    for (size_t i = 2; i < classic.size(); ++i) {
        std::istringstream a(classic[i]), b(shifted[i]);
        std::string object, file, raA, decA, raB, decB;
        a >> object >> file >> raA >> decA;
        b >> object >> file >> raB >> decB;
        double dRa =
            (sexagesimalUnits(raB, 1) - sexagesimalUnits(raA, 1)) * 15 * std::cos(DEC0 * PI / 180);
        double dDec = sexagesimalUnits(decB, 1) - sexagesimalUnits(decA, 1);
        EXPECT_NEAR(std::hypot(dRa, dDec), 2 * std::sqrt(2.0), 1.2)
            << classic[i] << " | " << shifted[i];
    }
}
