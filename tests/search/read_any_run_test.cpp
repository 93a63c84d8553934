// Whole runs of newstars over images in the forms survey files come in: extensions of
// multi-extension files, compressed files under plain names, other pixel types; the
// decompressor beside the program; the --no-data option.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include "compressed_files.hpp"
#include "search/options.hpp"
#include "support/cfitsio_file.hpp"
#include "test_support.hpp"

using namespace newstars;

namespace {

// The standard run's output with the test image named name (at most 12 characters),
// its columns kept.
std::string renamed(const std::string& text, const std::string& name)
{
    std::string out = text;
    const std::string old = "test.fts";
    for (size_t at = out.find(old); at != std::string::npos; at = out.find(old, at + 1)) {
        size_t blanks = 0;
        while (at + old.size() + blanks < out.size() && out[at + old.size() + blanks] == ' ')
            ++blanks;
        const size_t width = old.size() + blanks;
        const size_t pad = name.size() < width ? width - name.size() : 1;
        out.replace(at, width, name + std::string(pad, ' '));
        at += name.size();
    }
    return out;
}

// Copies the image of source into target under CFITSIO: as the extension behind a
// primary header holding only the image's OBJECT (mef), gzip-compressed (a target
// ending in .gz), or with its pixels as physical values of BITPIX -32 (toFloat).
int copyImage(const std::string& source, const std::string& target, bool mef, bool toFloat)
{
    fitsfile* in = nullptr;
    fitsfile* out = nullptr;
    int status = 0;
    fits_open_diskfile(&in, source.c_str(), READONLY, &status);
    fits_create_file(&out, ("!" + target).c_str(), &status);
    char object[FLEN_VALUE] = "";
    fits_read_key(in, TSTRING, "OBJECT", object, nullptr, &status);
    if (mef) {
        fits_create_img(out, 16, 0, nullptr, &status);
        fits_write_key(out, TSTRING, "OBJECT", object, nullptr, &status);
        fits_copy_hdu(in, out, 0, &status);
        fits_delete_key(out, "OBJECT", &status);
        fits_write_key(out, TSTRING, "EXTNAME", const_cast<char*>("SCI"), nullptr, &status);
    } else if (toFloat) {
        long axes[2] = {0, 0};
        fits_get_img_size(in, 2, axes, &status);
        fits_create_img(out, FLOAT_IMG, 2, axes, &status);
        int cards = 0;
        fits_get_hdrspace(in, &cards, nullptr, &status);
        for (int i = 1; i <= cards && status == 0; ++i) {
            char card[FLEN_CARD];
            fits_read_record(in, i, card, &status);
            const std::string keyword(card, 8);
            if (keyword != "SIMPLE  " && keyword != "BITPIX  " &&
                keyword.compare(0, 5, "NAXIS") != 0 && keyword != "BZERO   " &&
                keyword != "BSCALE  " && keyword != "EXTEND  ")
                fits_write_record(out, card, &status);
        }
        std::vector<float> values(static_cast<size_t>(axes[0] * axes[1]));
        fits_read_img(in, TFLOAT, 1, axes[0] * axes[1], nullptr, values.data(), nullptr, &status);
        fits_write_img(out, TFLOAT, 1, axes[0] * axes[1], values.data(), &status);
    } else {
        fits_copy_file(in, out, 1, 1, 1, &status);
    }
    int closing = 0;
    fits_close_file(out, &closing);
    fits_close_file(in, &closing);
    return status;
}

} // namespace

class ReadAnyRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        writeStandardScene(dir);
        writeFile(dir.file("table.txt"), STANDARD_TABLE_LINE);
        ASSERT_EQ(mkdir(dir.file("tmp").c_str(), 0700), 0);
        const char* path = std::getenv("PATH");
        options = {.directory = dir.path,
                   .environment = {{"PATH", binaryDirectory() + ":" + (path ? path : "")},
                                   {"TMPDIR", dir.file("tmp")}}};
        standard = runProgram({newstarsPath(), "2", "table.txt", "test.fts"}, options);
        ASSERT_EQ(standard.status, 0) << standard.err;
        ASSERT_EQ(standard.out.rfind(STANDARD_SUMMARY, 0), 0u) << standard.out;
    }
    ScratchDirectory dir;
    ProgramOptions options;
    ProgramResult standard;
};

// The standard test image in survey forms (an extension, compressed under any name,
// floating point) gives the standard report under its name.
TEST_F(ReadAnyRun, ReadsExtensionsCompressedFilesAndOtherTypes)
{
    const std::string test = dir.file("test.fts");
    ASSERT_EQ(copyImage(test, dir.file("mef.fits"), true, false), 0);
    ASSERT_EQ(copyImage(test, dir.file("gz.fits.gz"), false, false), 0);
    ASSERT_EQ(std::rename(dir.file("gz.fits.gz").c_str(), dir.file("gz.fits").c_str()), 0);
    ASSERT_TRUE(compressWithFpack("-r", test, dir.file("tiles.fits")));
    // Short copies, for names with an extension that fit the report's 12 columns.
    writeFile(dir.file("m.fits"), readFile(dir.file("mef.fits")));
    writeFile(dir.file("t.fits"), readFile(dir.file("tiles.fits")));
    ASSERT_TRUE(compressWithFpack("-r", dir.file("mef.fits"), dir.file("mef.fz")));
    ASSERT_EQ(copyImage(test, dir.file("float.fits"), false, true), 0);
    ASSERT_TRUE(compressWithFpack("-g", dir.file("float.fits"), dir.file("float.fits.fz")));
    writeFile(dir.file("float-ref.txt"), "M31 10:00:30 0:01:00 9:59:30 -0:01:00 float.fits\n");
    const std::string cutout =
        std::string(NEWSTARS_SOURCE_DIR) + "/tests/data/decam_obs04a_cutout.fits";
    struct Case {
        std::string table, image;
        std::string out, err; // "standard": the standard run's, renamed; "summary": its
                              // summary line, renamed (floats compressed with loss)
    };
    const Case cases[] = {
        {"table.txt", "mef.fits", "standard", ""},
        {"table.txt", "m.fits[1]", "standard", ""},
        {"table.txt", "m.fits[SCI]", "standard", ""},
        {"table.txt", "mef.fz", "standard", ""},
        {"table.txt", "gz.fits", "standard", ""},
        {"table.txt", "tiles.fits", "standard", ""},
        {"table.txt", "t.fits[1]", "standard", ""},
        {"table.txt", "m.fits[2]", "\f\n", "m.fits[2]: no HDU 2\n"},
        {"table.txt", "float.fits", "standard", ""},
        {"table.txt", "float.fits.fz", "summary", ""},
        {"float-ref.txt", "test.fts",
         "M31          float.fits   test.fts     2026-12-07 01:02:03   2   2   0\n\f\n", ""},
        {"table.txt", cutout, "\f\n", cutout + ": no OBJECT field\n"},
    };
    for (const Case& c : cases) {
        const ProgramResult r = runProgram({newstarsPath(), "2", c.table, c.image}, options);
        EXPECT_EQ(r.status, 0) << c.image;
        const std::string expected = renamed(standard.out, c.image);
        if (c.out == "summary")
            EXPECT_EQ(r.out.substr(0, r.out.find('\n')), expected.substr(0, expected.find('\n')))
                << c.image;
        else
            EXPECT_EQ(r.out, c.out == "standard" ? expected : c.out) << c.image;
        EXPECT_EQ(r.err, c.out == "standard" || c.out == "summary" ? standard.err : c.err)
            << c.image;
    }
    EXPECT_EQ(listDirectory(dir.file("tmp")), std::vector<std::string>{});
}

// newstars runs the fdecomp beside it, also with nothing on PATH; without one there
// and on PATH the image is reported and skipped.
TEST_F(ReadAnyRun, RunsTheDecompressorBesideTheProgram)
{
    const std::string bin = dir.file("bin");
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    writeFile(bin + "/newstars", readFile(newstarsPath()));
    chmod((bin + "/newstars").c_str(), 0755);
    writeFile(dir.file("test.fth"), readFile(dir.file("test.fts")));
    ProgramOptions bare = options;
    bare.environment = {{"PATH", ""}, {"TMPDIR", dir.file("tmp")}};

    const ProgramResult alone = runProgram({bin + "/newstars", "2", "table.txt", "test.fth"}, bare);
    EXPECT_EQ(alone.status, 0);
    EXPECT_EQ(alone.out, "\f\n");
    EXPECT_NE(alone.err.find("test.fth: Can not execute `fdecomp -r "), std::string::npos)
        << alone.err;

    writeFile(bin + "/fdecomp", readFile(binaryDirectory() + "/fdecomp"));
    chmod((bin + "/fdecomp").c_str(), 0755);
    const ProgramResult beside =
        runProgram({bin + "/newstars", "2", "table.txt", "test.fth"}, bare);
    EXPECT_EQ(beside.status, 0) << beside.err;
    EXPECT_EQ(beside.out, renamed(standard.out, "test.fth"));
    EXPECT_EQ(beside.err, standard.err);
    EXPECT_EQ(listDirectory(dir.file("tmp")), std::vector<std::string>{});
}

// Compressed images, gzip or tile-compressed under any name, as test and as reference
// images, are read in this process: the report and messages are the standard run's, no
// decompressor runs (the one beside the program only leaves a mark) and no temporary
// file is made. A .fth file still goes to the decompressor.
TEST_F(ReadAnyRun, ReadsCompressedImagesInThisProcess)
{
    const std::string bin = dir.file("bin");
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    writeFile(bin + "/newstars", readFile(newstarsPath()));
    chmod((bin + "/newstars").c_str(), 0755);
    const std::string mark = dir.file("decompressor-ran");
    writeFile(bin + "/fdecomp", "#!/bin/sh\ntouch " + mark + "\nexit 1\n");
    chmod((bin + "/fdecomp").c_str(), 0755);
    ProgramOptions bare = options;
    bare.environment = {{"PATH", "/usr/bin:/bin"}, {"TMPDIR", dir.file("tmp")}};

    const std::string test = dir.file("test.fts");
    ASSERT_TRUE(compressWithFpack("-r", test, dir.file("test.fits.fz")));
    ASSERT_TRUE(compressWithFpack("-h", test, dir.file("tiles.fts")));
    ASSERT_TRUE(compressWithFpack("-r", dir.file("ref.fts"), dir.file("ref.fz")));
    for (const char* zipped : {"test.fts.gz", "zipped.fts"}) {
        const ProgramResult gzip = runProgram({"gzip", "-c", test});
        ASSERT_EQ(gzip.status, 0) << gzip.err;
        writeFile(dir.file(zipped), gzip.out);
    }
    // Two gzip members back to back expand as one file.
    const ProgramResult head = runProgram({"head", "-c", "5000", test});
    const ProgramResult tail = runProgram({"tail", "-c", "+5001", test});
    writeFile(dir.file("head"), head.out);
    writeFile(dir.file("tail"), tail.out);
    writeFile(dir.file("two.fts.gz"), runProgram({"gzip", "-c", dir.file("head")}).out +
                                          runProgram({"gzip", "-c", dir.file("tail")}).out);
    writeFile(dir.file("packed.txt"), "M31 10:00:30 0:01:00 9:59:30 -0:01:00 ref.fz\n");
    std::string packedOut = standard.out;
    packedOut.replace(packedOut.find("ref.fts "), 8, "ref.fz  ");
    const std::string whole = readFile(dir.file("test.fts.gz"));
    writeFile(dir.file("cut.fts.gz"), whole.substr(0, whole.size() / 2));

    struct Case {
        std::string table, image, out, err;
    };
    const Case cases[] = {
        {"table.txt", "test.fits.fz", "standard", ""},
        {"table.txt", "tiles.fts", "standard", ""},
        {"table.txt", "test.fts.gz", "standard", ""},
        {"table.txt", "zipped.fts", "standard", ""},
        {"table.txt", "two.fts.gz", "standard", ""},
        {"packed.txt", "test.fits.fz", "packed", ""},
        {"table.txt", "cut.fts.gz", "\f\n", "cut.fts.gz: damaged gzip data: it ends early\n"},
    };
    for (const Case& c : cases) {
        const ProgramResult r = runProgram({bin + "/newstars", "2", c.table, c.image}, bare);
        EXPECT_EQ(r.status, 0) << c.image;
        if (c.out == "standard" || c.out == "packed") {
            EXPECT_EQ(r.out, renamed(c.out == "packed" ? packedOut : standard.out, c.image))
                << c.table << " " << c.image;
            EXPECT_EQ(r.err, standard.err) << c.image;
        } else {
            EXPECT_EQ(r.out, c.out) << c.image;
            EXPECT_EQ(r.err, c.err) << c.image;
        }
        EXPECT_FALSE(fileExists(mark)) << c.image << ": the decompressor ran";
    }
    EXPECT_EQ(listDirectory(dir.file("tmp")), std::vector<std::string>{});

    writeFile(dir.file("t.fth"), readFile(dir.file("test.fits.fz")));
    const ProgramResult fth = runProgram({bin + "/newstars", "2", "table.txt", "t.fth"}, bare);
    EXPECT_NE(fth.err.find("t.fth: Can not execute `fdecomp -r "), std::string::npos) << fth.err;
    EXPECT_TRUE(fileExists(mark)) << "a .fth file goes to the decompressor";
}

// --no-data takes one finite number within the float range, in either form.
TEST(NoDataOption, TakesAFiniteNumber)
{
    struct Case {
        std::vector<std::string> words;
        int status;
        int used;
        float value;
        std::string message;
    };
    const Case cases[] = {
        {{"--no-data", "0"}, 0, 2, 0.0f, ""},
        {{"--no-data=-1e3"}, 0, 1, -1000.0f, ""},
        {{"--no-data", "0.1"}, 0, 2, 0.1f, ""},
        {{"--no-data", "nan"}, -1, 0, 0, "--no-data needs a finite number, not `nan'"},
        {{"--no-data", "1e39"}, -1, 0, 0, "--no-data needs a finite number, not `1e39'"},
        {{"--no-data", "1x"}, -1, 0, 0, "--no-data needs a finite number, not `1x'"},
        {{"--no-data="}, -1, 0, 0, "--no-data needs a finite number, not `'"},
        {{"--no-data"}, -1, 0, 0, "--no-data needs a value"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> words = {"newstars"};
        words.insert(words.end(), c.words.begin(), c.words.end());
        std::vector<char*> argv;
        for (std::string& w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        RunOptions options;
        int used = -1;
        std::string message;
        EXPECT_EQ(
            takeRunOption(static_cast<int>(words.size()), argv.data(), &options, &used, &message),
            c.status)
            << c.words[0];
        EXPECT_EQ(used, c.used) << c.words[0];
        EXPECT_EQ(message, c.message) << c.words[0];
        EXPECT_EQ(options.reading.noDataValueSet, c.status == 0) << c.words[0];
        EXPECT_EQ(options.reading.noDataValue, c.value) << c.words[0];
    }
}
