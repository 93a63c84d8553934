// Star positions through the world frame against astropy's all_pix2world, an
// independent reader of the same headers (its own SIP code, its own header parser).
// astropy is installed by scripts/setup; a machine without it fails these tests.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "base/angles.hpp"
#include "fits/fits_image.hpp"
#include "support/files.hpp"
#include "support/fits_file.hpp"
#include "support/program.hpp"
#include "wcs/world_frame.hpp"

using namespace newstars;

static const char* const PYTHON = "/usr/bin/python3";
static const std::string SCRIPT =
    std::string(NEWSTARS_SOURCE_DIR) + "/tests/wcs/astropy_positions.py";

// The header cards of the text (80 characters each; stops at END).
static void readCards(const std::string& text, FitsImage* image)
{
    initFitsImage(image);
    for (size_t at = 0; at + 80 <= text.size(); at += 80) {
        if (text.compare(at, 3, "END") == 0 && text.compare(at, 8, "END     ") == 0)
            break;
        addCard(image, text.data() + at);
    }
}

static std::string cards(const std::vector<std::string>& list)
{
    std::string text;
    for (const std::string& card : list)
        text += fitsCard(card);
    return text;
}

// Distortion of a few pixels at the corners of a 2048-pixel image (A_2_0 u^2 is 1.6
// pixels at u = 1024, the third-order terms add about one more).
static std::vector<std::string> sipCards()
{
    return {realCard("A_ORDER", 3),      realCard("B_ORDER", 3),    realCard("A_2_0", 1.5e-6),
            realCard("A_1_1", -8e-7),    realCard("A_0_2", 6e-7),   realCard("A_3_0", 4e-10),
            realCard("A_1_2", -2.5e-10), realCard("B_2_0", -5e-7),  realCard("B_1_1", 1.1e-6),
            realCard("B_0_2", 9e-7),     realCard("B_0_3", -3e-10), realCard("B_2_1", 2e-10)};
}

// The outputs of the jobs of one batch (see astropy_positions.py), in order.
static std::vector<std::string> jobOutputs(const std::string& text)
{
    std::vector<std::string> outputs(1);
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (line == "end")
            outputs.emplace_back();
        else
            outputs.back() += line + "\n";
    }
    outputs.pop_back();
    return outputs;
}

TEST(WorldFrameAgainstAstropy, PositionsAgreeForCdPcSipAndTpvHeaders)
{
    ScratchDirectory scratch;
    struct Case {
        const char* what;
        std::string header;
    };
    std::vector<std::string> cd = {
        stringCard("CTYPE1", "RA---TAN"), stringCard("CTYPE2", "DEC--TAN"),
        realCard("CRVAL1", 83.8221),      realCard("CRVAL2", -5.3911),
        realCard("CRPIX1", 1000.5),       realCard("CRPIX2", 1030.25),
        realCard("CD1_1", -2.1e-4),       realCard("CD1_2", 4.4e-5),
        realCard("CD2_1", 4.3e-5),        realCard("CD2_2", 2.05e-4)};
    std::vector<std::string> sip = cd;
    sip[0] = stringCard("CTYPE1", "RA---TAN-SIP");
    sip[1] = stringCard("CTYPE2", "DEC--TAN-SIP");
    for (const std::string& card : sipCards())
        sip.push_back(card);
    std::vector<std::string> pc = {stringCard("CTYPE1", "RA---ZEA"),
                                   stringCard("CTYPE2", "DEC--ZEA"),
                                   realCard("CRVAL1", 359.8),
                                   realCard("CRVAL2", 71.5),
                                   realCard("CRPIX1", 512.0),
                                   realCard("CRPIX2", 700.0),
                                   realCard("CDELT1", -3e-4),
                                   realCard("CDELT2", 3e-4),
                                   realCard("PC1_1", 0.96592582628906831),
                                   realCard("PC1_2", -0.25881904510252074),
                                   realCard("PC2_1", 0.25881904510252074),
                                   realCard("PC2_2", 0.96592582628906831)};
    // TPV: polynomial terms on the intermediate coordinates (degrees); x^2, xy and y^3
    // move the corners by about half a pixel.
    std::vector<std::string> tpv = cd;
    tpv[0] = stringCard("CTYPE1", "RA---TPV");
    tpv[1] = stringCard("CTYPE2", "DEC--TPV");
    for (const std::string& card :
         {realCard("PV1_1", 1.0), realCard("PV1_4", 2e-3), realCard("PV1_5", -1e-3),
          realCard("PV2_1", 1.0), realCard("PV2_5", 1.5e-3), realCard("PV2_10", 4e-3)})
        tpv.push_back(card);
    // The last header is written by astropy itself, in the same batch before it is used.
    std::vector<Case> cases = {
        {"CD matrix, TAN", cards(cd)},
        {"CD matrix, TPV", cards(tpv)},
        {"PC matrix and CDELT, ZEA across 0h", cards(pc)},
        {"CD matrix with SIP", cards(sip)},
        {"TAN-SIP written by astropy", ""},
    };

    // A grid over a 2048-pixel image, corners included, at fractional positions too.
    std::string positionText;
    std::vector<std::pair<double, double>> positions;
    for (int i = 0; i <= 8; ++i) {
        for (int j = 0; j <= 8; ++j) {
            double x = i * 2047.0 / 8 + (j % 3) * 0.25, y = j * 2047.0 / 8 + (i % 2) * 0.5;
            positions.emplace_back(x, y);
            char line[64];
            std::snprintf(line, sizeof line, "%.17g %.17g\n", x, y);
            positionText += line;
        }
    }
    writeFile(scratch.file("positions"), positionText);

    // Every header's positions from one run of astropy.
    const std::string written = scratch.file("header" + std::to_string(cases.size() - 1));
    std::string jobs = "write-sip " + written + "\n";
    for (size_t k = 0; k < cases.size(); ++k) {
        const std::string header = scratch.file("header" + std::to_string(k));
        if (!cases[k].header.empty())
            writeFile(header, cases[k].header);
        jobs += "positions " + header + " " + scratch.file("positions") + "\n";
    }
    writeFile(scratch.file("jobs"), jobs);
    const ProgramResult result = runProgram({PYTHON, SCRIPT, "--batch", scratch.file("jobs")});
    ASSERT_EQ(result.status, 0) << "python3 with astropy is needed: " << result.err;
    const std::vector<std::string> outputs = jobOutputs(result.out);
    ASSERT_EQ(outputs.size(), 1 + cases.size()) << result.out;
    cases.back().header = readFile(written);

    for (size_t k = 0; k < cases.size(); ++k) {
        const Case& c = cases[k];
        ASSERT_FALSE(c.header.empty()) << c.what;
        std::istringstream expected(outputs[1 + k]);

        FitsImage image;
        readCards(c.header, &image);
        WorldFrame frame;
        ASSERT_EQ(readWorldFrame(image, WcsMode::Auto, &frame), WcsStatus::Ok) << c.what;
        EXPECT_TRUE(frame.standard) << c.what;
        double largest = 0;
        for (const auto& [x, y] : positions) {
            double raExpected = 0, decExpected = 0;
            ASSERT_TRUE(expected >> raExpected >> decExpected) << c.what;
            double ra = 0, dec = 0;
            ASSERT_EQ(pixelToSky(frame, x, y, &ra, &dec), WcsStatus::Ok) << c.what;
            double raDifference = std::remainder(radiansToDegrees(ra) - raExpected, 360.0);
            double decDifference = radiansToDegrees(dec) - decExpected;
            EXPECT_NEAR(raDifference, 0.0, 1e-8) << c.what << " at " << x << "," << y;
            EXPECT_NEAR(decDifference, 0.0, 1e-8) << c.what << " at " << x << "," << y;
            largest = std::max({largest, std::fabs(raDifference), std::fabs(decDifference)});
        }
        std::printf("%-36s largest difference %.3g degrees\n", c.what, largest);
        freeFitsImage(&image);
    }
}
