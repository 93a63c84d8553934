// End-to-end: --method difference and --vet on a simulated night turned into float images
// (BITPIX -32, sky subtracted) with an empty area, NaN or zeros read with --no-data 0, in
// the test or the reference image: no candidate is kept on it or at its edge.

#include <fitsio.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "night_support.hpp"

namespace {

// Rewrites the 16-bit FITS image at path as a 32-bit float image of its physical values
// less sky, the header's other cards kept; columns from emptyFrom on (0-based) hold fill.
// true on success.
bool rewriteAsFloat(const std::string& path, double sky, long emptyFrom, float fill)
{
    int status = 0;
    fitsfile* in = nullptr;
    if (fits_open_image(&in, path.c_str(), READONLY, &status) != 0)
        return false;
    long naxes[2] = {0, 0};
    int naxis = 0;
    fits_get_img_dim(in, &naxis, &status);
    fits_get_img_size(in, 2, naxes, &status);
    std::vector<float> values(static_cast<size_t>(naxes[0] * naxes[1]));
    long first[2] = {1, 1};
    fits_read_pix(in, TFLOAT, first, static_cast<LONGLONG>(values.size()), nullptr, values.data(),
                  nullptr, &status);
    int keys = 0;
    fits_get_hdrspace(in, &keys, nullptr, &status);
    std::vector<std::string> cards;
    for (int k = 1; k <= keys && status == 0; ++k) {
        char card[FLEN_CARD] = {};
        fits_read_record(in, k, card, &status);
        static const char* const structural[] = {"SIMPLE  ", "BITPIX  ", "NAXIS", "EXTEND  ",
                                                 "BZERO   ", "BSCALE  ", "BLANK   "};
        bool skip = false;
        for (const char* s : structural)
            skip = skip || std::strncmp(card, s, std::strlen(s)) == 0;
        if (!skip)
            cards.push_back(card);
    }
    fits_close_file(in, &status);
    if (status != 0 || naxis != 2)
        return false;
    for (size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(values[i] - sky);
        if (static_cast<long>(i % static_cast<size_t>(naxes[0])) >= emptyFrom)
            values[i] = fill;
    }
    fitsfile* out = nullptr;
    const std::string name = "!" + path;
    fits_create_file(&out, name.c_str(), &status);
    fits_create_img(out, FLOAT_IMG, 2, naxes, &status);
    for (std::string& card : cards)
        fits_write_record(out, card.c_str(), &status);
    fits_write_pix(out, TFLOAT, first, static_cast<LONGLONG>(values.size()), values.data(),
                   &status);
    fits_close_file(out, &status);
    return status == 0;
}

// The kept rows of a catalogue: test column x and reference column ref_x of each.
struct KeptRow {
    double x = 0, referenceX = 0;
};

std::vector<KeptRow> keptRows(const std::string& catalogue)
{
    std::istringstream in(catalogue);
    std::string line;
    std::vector<std::string> names;
    std::vector<KeptRow> rows;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, ',');)
            fields.push_back(field);
        if (names.empty()) {
            names = fields;
            continue;
        }
        KeptRow row;
        bool kept = false;
        for (size_t k = 0; k < names.size() && k < fields.size(); ++k) {
            if (names[k] == "verdict")
                kept = fields[k] == "kept";
            else if (names[k] == "x")
                row.x = std::stod(fields[k]);
            else if (names[k] == "ref_x")
                row.referenceX = std::stod(fields[k]);
        }
        if (kept)
            rows.push_back(row);
    }
    return rows;
}

TEST(FloatMaskRun, NothingKeptOnOrBesideAnEmptyArea)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const long none = 1 << 20, from = 300; // the empty area: columns 300 and up
    struct Case {
        const char* what;
        long testEmpty, referenceEmpty;
        float fill;
    };
    const Case cases[] = {
        {"test image empty, NaN", from, none, nan},
        {"test image empty, zeros", from, none, 0},
        {"reference empty, NaN", none, from, nan},
        {"reference empty, zeros", none, from, 0},
    };
    for (const Case& c : cases) {
        ScratchDirectory night;
        ASSERT_FALSE(night.path.empty());
        const ProgramResult made = runNightProgram(
            night.path, {SIMNIGHT_PATH, "--seed", "5", "--size", "512", "--objects", "1",
                         "--images", "1", "--inject", "12", "--no-fpack", "--out", "."});
        ASSERT_EQ(made.status, 0) << made.err;
        const std::vector<NightTruth> truth = readNightTruth(night.file("truth.txt"));
        ASSERT_FALSE(truth.empty());
        const double sky = truth[0].sky;
        ASSERT_TRUE(rewriteAsFloat(night.file("FLD01_1.fts"), sky, c.testEmpty, c.fill));
        ASSERT_TRUE(rewriteAsFloat(night.file("FLD01_r.fts"), sky, c.referenceEmpty, c.fill));
        for (const char* method : {"--method=difference", "--vet"}) {
            const ProgramResult run = runNightProgram(
                night.path, {NEWSTARS_PATH, method, "--no-data", "0", "--catalog", "rows.ecsv",
                             "-f", "files.txt", "2", "table.txt"});
            ASSERT_EQ(run.status, 0) << c.what << " " << method << ": " << run.err;
            EXPECT_NE(run.out.find("FLD01_1.fts"), std::string::npos)
                << c.what << " " << method << ": " << run.err;
            const std::vector<KeptRow> kept = keptRows(readFile(night.file("rows.ecsv")));
            EXPECT_FALSE(kept.empty()) << c.what << " " << method;
            // On or beside the area: within 5 pixels of its first column.
            for (const KeptRow& row : kept) {
                EXPECT_LT(row.x, c.testEmpty - 5.0) << c.what << " " << method;
                EXPECT_LT(row.referenceX, c.referenceEmpty - 5.0) << c.what << " " << method;
            }
        }
    }
}

} // namespace
