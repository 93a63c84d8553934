// Tests of simnight's false-candidate cases: the causes it writes for the cases it adds,
// and the score of a report or a catalogue by cause.

#include <fitsio.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "night_support.hpp"

namespace {

// Value of the pixel nearest (x, y) of a plain FITS file (x, y from 0).
int pixelValue(const std::string& path, double x, double y)
{
    fitsfile* file = nullptr;
    int status = 0;
    if (fits_open_file(&file, path.c_str(), READONLY, &status) != 0)
        return -1;
    long first[2] = {std::lround(x) + 1, std::lround(y) + 1};
    unsigned short value = 0;
    int anyNull = 0;
    fits_read_pix(file, TUSHORT, first, 1, nullptr, &value, &anyNull, &status);
    int closeStatus = 0;
    fits_close_file(file, &closeStatus);
    return status == 0 ? value : -1;
}

// Every pixel of a plain 16-bit FITS image, row after row; empty when it cannot be read.
std::vector<int> imagePixels(const std::string& path, long width, long height)
{
    fitsfile* file = nullptr;
    int status = 0;
    if (fits_open_file(&file, path.c_str(), READONLY, &status) != 0)
        return {};
    std::vector<unsigned short> values(static_cast<size_t>(width * height));
    int anyNull = 0;
    fits_read_img(file, TUSHORT, 1, width * height, nullptr, values.data(), &anyNull, &status);
    int closeStatus = 0;
    fits_close_file(file, &closeStatus);
    if (status != 0)
        return {};
    return std::vector<int>(values.begin(), values.end());
}

TEST(SimulatedNightCauses, AddedCasesAreWrittenWhereTheImagesShowThem)
{
    ScratchDirectory night;
    const ProgramResult made = runNightProgram(
        night.path, {SIMNIGHT_PATH, "--seed",   "5", "--size",   "512", "--objects",
                     "1",           "--images", "2", "--tracks", "4",   "--saturated-ref",
                     "3",           "--pairs",  "2", "--hot",    "7",   "--causes",
                     "--no-fpack",  "--out",    "."});
    ASSERT_EQ(made.status, 0) << made.err;
    std::istringstream in(readFile(night.file("causes.txt")));
    std::string line;
    std::map<std::string, int> count;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string cause, object, image;
        double ra0, dec0, ra1, dec1, x0, y0, x1, y1;
        ASSERT_TRUE(fields >> cause >> object >> image >> ra0 >> dec0 >> ra1 >> dec1 >> x0 >> y0 >>
                    x1 >> y1)
            << line;
        ++count[cause];
        const int value = pixelValue(night.file(image), x0, y0);
        // Skies are 600 ADU and more, noise below 40; hits add 300 ADU and more, hot
        // pixels 2000 and more.
        if (cause == "cosmic") {
            EXPECT_GT(value, 750) << line;
        }
        if (cause == "hot" || cause == "saturated-ref") {
            EXPECT_GT(value, 2400) << line;
        }
        if (cause == "saturated-ref") {
            EXPECT_LT(value, 65535) << line;
        }
        if (cause == "saturated") {
            EXPECT_EQ(value, 65535) << line;
        }
        if (cause == "pair") {
            const double separation = std::hypot(x1 - x0, y1 - y0);
            EXPECT_GE(separation, 2.9) << line;
            EXPECT_LE(separation, 5.1) << line;
        }
    }
    EXPECT_EQ(count["hot"], 2 * 7);
    EXPECT_EQ(count["pair"], 2 * 2);
    EXPECT_GE(count["saturated-ref"], 2 * 3);
    EXPECT_GE(count["track"], 2 * 4);
    EXPECT_GT(count["star"], 100);
}

TEST(SimulatedNightCauses, CompactHitsInEveryImageAndASharpSecondTestImage)
{
    // The same night with and without compact hits and a sharp second test image; nothing
    // else of it changes.
    const std::vector<std::string> common = {"--seed", "8",   "--size",   "512", "--objects", "1",
                                             "--images", "2", "--cosmic", "0",   "--hot",     "0",
                                             "--inject", "10", "--causes", "--no-fpack", "--out",
                                             "."};
    ScratchDirectory plain, added;
    std::vector<std::string> plainArguments = {SIMNIGHT_PATH}, addedArguments = {SIMNIGHT_PATH};
    plainArguments.insert(plainArguments.end(), common.begin(), common.end());
    addedArguments.insert(addedArguments.end(), common.begin(), common.end());
    addedArguments.insert(addedArguments.end(),
                          {"--compact-cosmic", "6", "--sharp-test", "1.2"});
    ASSERT_EQ(runNightProgram(plain.path, plainArguments).status, 0);
    const ProgramResult made = runNightProgram(added.path, addedArguments);
    ASSERT_EQ(made.status, 0) << made.err;

    // Every test image has its 6 hits among the causes, on raised pixels.
    std::istringstream in(readFile(added.file("causes.txt")));
    std::map<std::string, int> hits;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string cause, object, image;
        double ra0, dec0, ra1, dec1, x0, y0, x1, y1;
        if (line.empty() || line[0] == '#' || !(fields >> cause >> object >> image >> ra0 >>
                                                dec0 >> ra1 >> dec1 >> x0 >> y0 >> x1 >> y1))
            continue;
        if (cause != "cosmic" && cause != "track")
            continue;
        ++hits[image];
        EXPECT_GT(pixelValue(added.file(image), x0, y0), 750) << line;
        EXPECT_LE(std::max(std::fabs(x1 - x0), std::fabs(y1 - y0)), 9) << line;
    }
    EXPECT_EQ(hits["FLD01_1.fts"], 6);
    EXPECT_EQ(hits["FLD01_2.fts"], 6);

    // The reference holds them too: a few pixels raised by 300 ADU or more, no other change.
    struct Image {
        const char* name;
        int least, most; // pixels changed
    };
    const Image images[] = {{"FLD01_r.fts", 6, 60}, {"FLD01_1.fts", 6, 60}};
    for (const Image& image : images) {
        const std::vector<int> before = imagePixels(plain.file(image.name), 512, 512);
        const std::vector<int> after = imagePixels(added.file(image.name), 512, 512);
        ASSERT_EQ(before.size(), 512u * 512u) << image.name;
        ASSERT_EQ(after.size(), before.size()) << image.name;
        int changed = 0;
        for (size_t i = 0; i < before.size(); ++i) {
            if (after[i] == before[i])
                continue;
            ++changed;
            EXPECT_TRUE(after[i] >= before[i] + 300 || after[i] == 65535) << image.name << i;
        }
        EXPECT_GE(changed, image.least) << image.name;
        EXPECT_LE(changed, image.most) << image.name;
    }

    // The second test image's point spread is 1.2 pixels wide: its bright sources hold
    // over 20 % of their 5 x 5 light in one pixel (24 % centred on a pixel corner), the
    // first image's (2.6 to 4.2 pixels) below 16 % (14 % centred on a pixel).
    int measured = 0;
    for (const NightTruth& t : readNightTruth(added.file("truth.txt"))) {
        if (t.peak < 50 * t.sigma || t.x < 3 || t.y < 3 || t.x > 508 || t.y > 508)
            continue;
        const std::vector<int> pixels = imagePixels(added.file(t.image), 512, 512);
        ASSERT_EQ(pixels.size(), 512u * 512u) << t.image;
        const long cx = std::lround(t.x), cy = std::lround(t.y);
        double brightest = 0, sum = 0;
        for (long y = cy - 2; y <= cy + 2; ++y)
            for (long x = cx - 2; x <= cx + 2; ++x) {
                const double v = pixels[static_cast<size_t>(y * 512 + x)] - t.sky;
                brightest = std::max(brightest, v);
                sum += v;
            }
        ++measured;
        if (t.image == "FLD01_2.fts") {
            EXPECT_GT(brightest / sum, 0.2) << t.x << " " << t.y;
        } else {
            EXPECT_LT(brightest / sum, 0.16) << t.x << " " << t.y;
        }
    }
    EXPECT_GT(measured, 2);
}

TEST(SimulatedNightCauses, ReportAndCatalogueAreScoredByCause)
{
    ScratchDirectory night;
    // One bright injected source at 10:30:00 +20:00:00 and a faint one (5 sigma) beside it.
    writeFile(night.file("truth.txt"),
              "# object image ra dec peak sky sigma x y inbox\n"
              "F1 F1_1.fts 10.5000000000 20.0000000 1000.0 1000.0 20.0 100 100 1\n"
              "F1 F1_1.fts 10.5100000000 20.0000000 100.0 1000.0 20.0 300 100 1\n");
    // A track from 10:31:00 to 10:31:00.4 at +20:00:00, and a hot pixel at +20:01:00.
    writeFile(night.file("causes.txt"),
              "# cause object image ra0 dec0 ra1 dec1 x0 y0 x1 y1\n"
              "track F1 F1_1.fts 10.5166666667 20.0 10.5167777778 20.0 1 1 9 1\n"
              "hot   F1 F1_1.fts 10.5166666667 20.0166666667 10.5166666667 20.0166666667 5 5 5 5\n"
              "hot   F1 F1_2.fts 10.6 20.0 10.6 20.0 5 5 5 5\n");
    writeFile(night.file("report.txt"), "F1 F1_r.fts F1_1.fts 01/01/26 00:00:00 1 1 4\n\f\n"
                                        "F1           F1_1.fts     10:30:00.0  20:00:00\n"
                                        "F1           F1_1.fts     10:31:00.2  20:00:00\n"
                                        "F1           F1_1.fts     10:31:00.0  20:01:00\n"
                                        "F1           F1_1.fts     10:40:00.0  20:01:00\n");
    ProgramResult r = runNightProgram(
        night.path, {SIMNIGHT_PATH, "recover", "report.txt", "truth.txt", "causes.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("cause              kept  rejected\n"
                         "injected              1         0\n"
                         "track                 1         0\n"
                         "hot                   1         0\n"
                         "other                 1         0\n"
                         "false (all)           3         0\n"
                         "injected sources >= 10 sigma found: 1, of them rejected: 0\n"),
              std::string::npos)
        << r.out;

    // The same candidates as catalogue rows, the bright source and the hot pixel rejected.
    writeFile(night.file("catalog.ecsv"), "# %ECSV 1.0\n# ---\n"
                                          "object,image,x,ra,dec,verdict\n"
                                          "F1,F1_1.fts,1,157.5,20.0,rejected\n"
                                          "\"F1\",F1_1.fts,1,157.7508333,20.0,kept\n"
                                          "F1,\"F1_1.fts\",1,157.75,20.0166667,rejected\n"
                                          "F1,F1_1.fts,1,160.0,20.0166667,kept\n");
    r = runNightProgram(night.path, {SIMNIGHT_PATH, "recover", "--catalog", "catalog.ecsv",
                                     "truth.txt", "causes.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "cause              kept  rejected\n"
                     "injected              0         1\n"
                     "track                 1         0\n"
                     "hot                   0         1\n"
                     "other                 1         0\n"
                     "false (all)           2         1\n"
                     "injected sources >= 10 sigma found: 1, of them rejected: 1\n");
}

} // namespace
