// Tests of simnight, the generator of simulated nights: the images it writes (checked
// with CFITSIO and WCSLIB), its determinism, its option handling and its recovery count.

#include <unistd.h>

#include <fitsio.h>
#include <gtest/gtest.h>
#include <wcslib/wcslib.h>

#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "night_support.hpp"

namespace {

// Reads the primary header of a plain FITS file into a WCSLIB description.
struct FitsWcs {
    fitsfile* file = nullptr;
    wcsprm* wcs = nullptr;
    int count = 0;
    ~FitsWcs()
    {
        if (wcs != nullptr)
            wcsvfree(&count, &wcs);
        int status = 0;
        if (file != nullptr)
            fits_close_file(file, &status);
    }
};

TEST(SimulatedNight, ImagesPlaceInjectedSourcesWhereWcslibPutsTheirSkyPositions)
{
    ScratchDirectory night;
    const ProgramResult made = runNightProgram(
        night.path, {SIMNIGHT_PATH, "--seed", "3", "--size", "512", "--objects", "1", "--images",
                     "1", "--inject", "6", "--no-fpack", "--out", "."});
    ASSERT_EQ(made.status, 0) << made.err;
    const std::vector<NightTruth> truth = readNightTruth(night.path + "/truth.txt");
    ASSERT_EQ(truth.size(), 6u);

    FitsWcs image;
    int status = 0;
    const std::string path = night.path + "/" + truth[0].image;
    ASSERT_EQ(fits_open_file(&image.file, path.c_str(), READONLY, &status), 0) << path;
    char* header = nullptr;
    int cards = 0;
    ASSERT_EQ(fits_hdr2str(image.file, 1, nullptr, 0, &header, &cards, &status), 0);
    int rejected = 0;
    const int parsed = wcspih(header, cards, WCSHDR_all, 0, &rejected, &image.count, &image.wcs);
    fits_free_memory(header, &status);
    ASSERT_EQ(parsed, 0);
    ASSERT_EQ(image.count, 1);
    ASSERT_EQ(wcsset(image.wcs), 0);

    struct Card {
        const char* keyword;
        const char* expected;
    };
    const Card expected[] = {{"BITPIX", "16"},
                             {"BZERO", "32768"},
                             {"OBJECT", "FLD01"},
                             {"CTYPE1", "RA---TAN"},
                             {"CTYPE2", "DEC--TAN"}};
    for (const Card& c : expected) {
        char value[FLEN_VALUE] = "", comment[FLEN_COMMENT] = "";
        status = 0;
        ASSERT_EQ(fits_read_keyword(image.file, c.keyword, value, comment, &status), 0)
            << c.keyword;
        std::string text = value;
        if (!text.empty() && text[0] == '\'') {
            text = text.substr(1, text.find_last_not_of(" '"));
        }
        EXPECT_EQ(text, c.expected) << c.keyword;
    }
    for (const char* keyword : {"CRVAL1", "CRVAL2", "CRPIX1", "CRPIX2", "CDELT1", "CDELT2",
                                "CROTA2", "DATE-OBS", "TIME-OBS"}) {
        char value[FLEN_VALUE] = "", comment[FLEN_COMMENT] = "";
        status = 0;
        EXPECT_EQ(fits_read_keyword(image.file, keyword, value, comment, &status), 0) << keyword;
    }

    for (const NightTruth& s : truth) {
        double world[2] = {s.raHours * 15, s.decDegrees}, intermediate[2], pixel[2], phi = 0,
               theta = 0;
        int stat = 0;
        ASSERT_EQ(wcss2p(image.wcs, 1, 2, world, &phi, &theta, intermediate, pixel, &stat), 0);
        // This system uses positions directly against CRPIX (no offset of one), as
        // WCSLIB does with pixel coordinates; truth positions carry 3 decimals.
        EXPECT_NEAR(pixel[0], s.x, 2e-3) << s.raHours << " " << s.decDegrees;
        EXPECT_NEAR(pixel[1], s.y, 2e-3) << s.raHours << " " << s.decDegrees;
        // The pixel nearest the centre holds sky plus nearly the whole peak (at most
        // 0.71 pixels from the centre, seeing of 2.6 pixels or more), within the noise.
        const long column = std::lround(s.x), row = std::lround(s.y);
        long first[2] = {column + 1, row + 1};
        unsigned short value = 0;
        int anyNull = 0;
        status = 0;
        ASSERT_EQ(fits_read_pix(image.file, TUSHORT, first, 1, nullptr, &value, &anyNull, &status),
                  0);
        const double above = value - s.sky;
        EXPECT_GE(above, 0.7 * s.peak - 6 * s.sigma) << column << "," << row << " peak " << s.peak;
        EXPECT_LE(above, s.peak + 6 * s.sigma) << column << "," << row << " peak " << s.peak;
    }
}

TEST(SimulatedNight, SameSeedGivesIdenticalFilesAndAnotherSeedDifferentImages)
{
    ScratchDirectory first, second, third;
    const std::vector<std::string> options = {"--size", "256",        "--objects", "1", "--images",
                                              "1",      "--no-fpack", "--out",     "."};
    std::vector<std::string> a = {SIMNIGHT_PATH, "--seed", "11"}, b = a,
                             c = {SIMNIGHT_PATH, "--seed", "12"};
    for (auto* args : {&a, &b, &c})
        args->insert(args->end(), options.begin(), options.end());
    ASSERT_EQ(runNightProgram(first.path, a).status, 0);
    ASSERT_EQ(runNightProgram(second.path, b).status, 0);
    ASSERT_EQ(runNightProgram(third.path, c).status, 0);
    for (const char* name : {"FLD01_r.fts", "FLD01_1.fts", "table.txt", "files.txt", "truth.txt"}) {
        const std::string one = readFile(first.path + "/" + name);
        EXPECT_FALSE(one.empty()) << name;
        EXPECT_EQ(one, readFile(second.path + "/" + name)) << name;
    }
    EXPECT_NE(readFile(first.path + "/FLD01_1.fts"), readFile(third.path + "/FLD01_1.fts"));
}

// Reads every pixel of a plain FITS file as float (NaN where the file holds NaN) and its
// BITPIX; false when CFITSIO cannot.
bool readFloatPixels(const std::string& path, int* bitpix, std::vector<float>* values)
{
    fitsfile* file = nullptr;
    int status = 0;
    if (fits_open_file(&file, path.c_str(), READONLY, &status) != 0)
        return false;
    long size[2] = {0, 0};
    int anyNull = 0;
    float nan = std::nanf("");
    fits_get_img_type(file, bitpix, &status);
    fits_get_img_size(file, 2, size, &status);
    values->assign(static_cast<size_t>(size[0] * size[1]), 0);
    long first[2] = {1, 1};
    fits_read_pix(file, TFLOAT, first, static_cast<LONGLONG>(values->size()), &nan,
                  values->data(), &anyNull, &status);
    int closed = 0;
    fits_close_file(file, &closed);
    return status == 0;
}

TEST(SimulatedNight, FloatImagesHoldTheValuesOfTheSixteenBitOnes)
{
    // The same night written as 16-bit and as floating-point images: every value equal,
    // but the test images' first columns NaN when asked for.
    struct Case {
        const char* nanColumns;
        int32_t columns;
    };
    const Case cases[] = {{"0", 0}, {"7", 7}};
    ScratchDirectory plain;
    const std::vector<std::string> options = {"--seed", "5", "--size", "256", "--objects", "1",
                                              "--images", "1", "--saturated-new", "1",
                                              "--no-fpack", "--out", "."};
    std::vector<std::string> arguments = {SIMNIGHT_PATH};
    arguments.insert(arguments.end(), options.begin(), options.end());
    ASSERT_EQ(runNightProgram(plain.path, arguments).status, 0);
    for (const Case& c : cases) {
        ScratchDirectory floating;
        std::vector<std::string> floatArguments = arguments;
        floatArguments.insert(floatArguments.begin() + 1, {"--float", "--nan-columns", c.nanColumns});
        const ProgramResult made = runNightProgram(floating.path, floatArguments);
        ASSERT_EQ(made.status, 0) << made.err;
        EXPECT_EQ(readFile(floating.path + "/truth.txt"), readFile(plain.path + "/truth.txt"));
        for (const char* name : {"FLD01_r.fts", "FLD01_1.fts"}) {
            int plainType = 0, floatType = 0;
            std::vector<float> expected, got;
            ASSERT_TRUE(readFloatPixels(plain.path + "/" + name, &plainType, &expected)) << name;
            ASSERT_TRUE(readFloatPixels(floating.path + "/" + name, &floatType, &got)) << name;
            EXPECT_EQ(plainType, SHORT_IMG);
            EXPECT_EQ(floatType, FLOAT_IMG);
            ASSERT_EQ(got.size(), expected.size());
            const int32_t empty = name[6] == 'r' ? 0 : c.columns;
            size_t differing = 0, nans = 0, saturated = 0;
            for (size_t i = 0; i < got.size(); ++i) {
                const bool shouldBeNan = static_cast<int32_t>(i % 256) < empty;
                nans += std::isnan(got[i]) ? 1 : 0;
                saturated += got[i] == 65535.0f ? 1 : 0;
                if (shouldBeNan ? !std::isnan(got[i]) : got[i] != expected[i])
                    ++differing;
            }
            EXPECT_EQ(differing, 0u) << name << " nan columns " << c.columns;
            EXPECT_EQ(nans, static_cast<size_t>(empty) * 256) << name;
            if (name[6] != 'r') {
                EXPECT_GT(saturated, 0u) << name << ": the saturated new source is clipped";
            }
        }
    }
}

TEST(SimulatedNight, WithoutFpackEveryImageIsWrittenUncompressed)
{
    ScratchDirectory night;
    const ProgramResult r = runNightProgram(
        night.path,
        {SIMNIGHT_PATH, "--size", "256", "--objects", "2", "--images", "2", "--out", "."},
        "/nonexistent");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("fpack not found"), std::string::npos) << r.err;
    const std::string listed =
        readFile(night.path + "/files.txt") + readFile(night.path + "/table.txt");
    EXPECT_EQ(listed.find(".fth"), std::string::npos) << listed;
    for (const auto& entry : std::filesystem::directory_iterator(night.path)) {
        EXPECT_NE(entry.path().extension(), ".fth") << entry.path();
        EXPECT_NE(entry.path().extension(), ".fz") << entry.path();
    }
    // With fpack on the PATH the second test image and the second reference are compressed.
    if (access("/usr/bin/fpack", X_OK) == 0) {
        ScratchDirectory packed;
        ASSERT_EQ(runNightProgram(packed.path,
                                  {SIMNIGHT_PATH, "--size", "256", "--objects", "2", "--images",
                                   "2", "--out", "."},
                                  "/usr/bin:/bin")
                      .status,
                  0);
        EXPECT_EQ(
            readFile(packed.path + "/files.txt"),
            "# test images, one per line\nFLD01_1.fts\nFLD01_2.fth\nFLD02_1.fts\nFLD02_2.fth\n");
        EXPECT_NE(readFile(packed.path + "/table.txt").find("FLD02_r.fth"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(packed.path + "/FLD01_2.fts"));
    }
}

TEST(SimulatedNight, RecoveryCountAllowsForThePrintedRounding)
{
    ScratchDirectory night;
    // Truth at 10:30:00.00 +20:00:00 and 10:31:00.00 -0:10:00 (exact in the file).
    writeFile(night.file("truth.txt"),
              "# object image ra dec peak sky sigma x y inbox\n"
              "F1 F1_1.fts 10.5000000000 20.0000000 1000.0 1000.0 20.0 100 100 1\n"
              "F1 F1_1.fts 10.5166666667 -0.1666667 100.0 1000.0 20.0 200 200 1\n"
              "F1 F1_2.fts 10.5000000000 20.0000000 1000.0 1000.0 20.0 100 100 0\n");
    struct Case {
        const char* candidates;
        const char* expected;
    };
    const Case cases[] = {
        // 0.1 s of time off: within the rounding (0.05 s) plus 0.75 arcsec at cos 20 degrees.
        {"F1           F1_1.fts     10:30:00.1  20:00:00\n",
         "recovered 1 of 3 injected sources (1 of 1 "},
        // 0.2 s of time: 0.15 s beyond the rounding, 2.1 arcseconds.
        {"F1           F1_1.fts     10:30:00.2  20:00:00\n",
         "recovered 0 of 3 injected sources (0 of 1 "},
        // 1 arcsecond in declination: 0.5 beyond the rounding.
        {"F1           F1_1.fts     10:30:00.0  20:00:01\n",
         "recovered 1 of 3 injected sources (1 of 1 "},
        {"F1           F1_1.fts     10:30:00.0  19:59:58\n",
         "recovered 0 of 3 injected sources (0 of 1 "},
        // The faint source, south of the equator, and a line of another image.
        {"F1           F1_1.fts     10:31:00.0  -0:10:00\n"
         "F1           F1_2.fts     10:30:00.0  20:00:00\n",
         "recovered 2 of 3 injected sources (0 of 1 "},
        // The right position in the wrong image recovers nothing.
        {"F1           F1_2.fts     10:31:00.0  -0:10:00\n",
         "recovered 0 of 3 injected sources (0 of 1 "},
    };
    for (const Case& c : cases) {
        writeFile(night.file("report.txt"),
                  std::string("F1 F1_r.fts F1_1.fts 01/01/26 00:00:00 1 1 1\n\f\n") + c.candidates);
        const ProgramResult r =
            runNightProgram(night.path, {SIMNIGHT_PATH, "recover", "report.txt", "truth.txt"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.rfind(c.expected, 0), 0u) << c.candidates << r.out;
    }
}

TEST(SimulatedNight, BadOptionsPrintTheUsage)
{
    ScratchDirectory night;
    const std::vector<std::vector<std::string>> cases = {
        {},                                // no output directory
        {"--out", ".", "--size", "100"},   // too small
        {"--out", ".", "--size", "512x"},  // incomplete size
        {"--out", ".", "--objects", "0"},  // no field
        {"--out", ".", "--images", "1.5"}, // not a whole number
        {"--out", ".", "--seed", "-3"},    // negative seed
        {"--out", ".", "--bright"},        // unknown option
        {"--out"},                         // missing value
        {"recover", "report.txt"},         // recover needs two files
        {"--out", ".", "--elongation", "0.8"},      // below 1
        {"--out", ".", "--elongation", "5.5"},      // above 5
        {"--out", ".", "--saturated-new", "101"},   // too many
        {"--out", ".", "--float", "--nan-columns", "41"}, // wider than the edge kept clear
        {"--out", ".", "--nan-columns", "3"},       // NaN needs floating point
    };
    for (const auto& arguments : cases) {
        std::vector<std::string> argv = {SIMNIGHT_PATH};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const ProgramResult r = runNightProgram(night.path, argv);
        std::string shown;
        for (const auto& a : arguments)
            shown += a + " ";
        EXPECT_EQ(r.status, 1) << shown;
        EXPECT_NE(r.err.find("usage: "), std::string::npos) << shown;
        EXPECT_FALSE(std::filesystem::exists(night.path + "/table.txt")) << shown;
    }
}

} // namespace
