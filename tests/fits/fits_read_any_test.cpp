// readAnyFitsImage, fitsFileForm and holdsSixteenBitImage on files CFITSIO writes (every
// image type, scaled, with missing pixels, extensions, compressed) and on cut-outs of
// real survey images.

#include <gtest/gtest.h>

#include <cmath>
#include <fcntl.h>
#include <limits>
#include <string>
#include <unistd.h>
#include <vector>

#include "fits/fits_read.hpp"
#include "fits/fits_read_any.hpp"
#include "support/cfitsio_file.hpp"
#include "support/files.hpp"

using namespace newstars;

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

// A 3 x 2 image of the type with the stored values and further cards.
HduSpec image(int bitpix, std::vector<double> stored, std::vector<std::string> cards = {})
{
    HduSpec hdu;
    hdu.bitpix = bitpix;
    hdu.width = 3;
    hdu.height = 2;
    hdu.stored = std::move(stored);
    hdu.cards = std::move(cards);
    return hdu;
}

struct Read {
    int status = -1;
    std::string message;
    FitsImage image;
};

// Writes the HDUs to name in the scratch directory and reads them back.
Read writeAndRead(const ScratchDirectory& scratch, const std::string& name,
                  const std::vector<HduSpec>& hdus, const std::string& hdu = "",
                  const FitsReadOptions& options = {})
{
    Read read;
    const std::string path = scratch.file(name);
    EXPECT_EQ(writeFitsHdus(path, hdus), 0) << name;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0) << path;
    read.status = readAnyFitsImage(fd, hdu, options, &read.image, &read.message);
    EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0) << name << ": the descriptor stays where it was";
    close(fd);
    return read;
}

std::string stringCard(const FitsImage& image, const char* keyword)
{
    std::string value = "(none)";
    getStringCard(&image, keyword, &value);
    return value;
}

} // namespace

// Every type with BSCALE and BZERO: the physical values, the mask, and for 16-bit the
// stored values + 32768 as readFitsImage gives them (no scaling, no BLANK).
TEST(ReadAnyFitsImage, GivesPhysicalValuesAndMasksOfEveryType)
{
    ScratchDirectory scratch;
    const float inf = std::numeric_limits<float>::infinity();
    struct Case {
        const char* what;
        HduSpec hdu;
        std::vector<float> values;
        std::vector<uint8_t> noData;
        std::vector<uint16_t> pixels;
    };
    const std::vector<std::string> scaled = {"BSCALE  =                  2.5",
                                             "BZERO   =                -10.0"};
    const Case cases[] = {
        {"8 scaled, BLANK",
         image(8, {0, 1, 255, 7, 7, 200}, {scaled[0], scaled[1], "BLANK   =                    7"}),
         {-10, -7.5, 627.5, 0, 0, 490},
         {0, 0, 0, 1, 1, 0},
         {}},
        {"16: stored + 32768, BLANK and scale ignored",
         image(16, {-32768, -1, 0, 1, 32767, 5}, {scaled[0], "BLANK   =                    5"}),
         {},
         {},
         {0, 32767, 32768, 32769, 65535, 32773}},
        {"32 scaled, BLANK",
         image(32, {-2147483648.0, 2147483647, 0, 1, -1, 100},
               {scaled[0], scaled[1], "BLANK   =          -2147483648"}),
         {0, 5368709107.5f, -10, -7.5, -12.5, 240},
         {1, 0, 0, 0, 0, 0},
         {}},
        {"-32 NaN and infinities",
         image(-32, {1.5, NaN, -2.25, inf, -inf, 0}),
         {1.5, 0, -2.25, 0, 0, 0},
         {0, 1, 0, 1, 1, 0},
         {}},
        {"-32 scaled",
         image(-32, {1, 2, 3, 4, NaN, 6}, scaled),
         {-7.5, -5, -2.5, 0, 0, 5},
         {0, 0, 0, 0, 1, 0},
         {}},
        {"-64 NaN, beyond the float range",
         image(-64, {0.1, NaN, 1e300, -1e-300, 3.5e38, -3e38}),
         {0.1f, 0, 0, -0.0f, 0, -3e38f},
         {0, 1, 1, 0, 1, 0},
         {}},
        {"-64 scaled",
         image(-64, {1, 2, 3, 4, 5, 6}, scaled),
         {-7.5, -5, -2.5, 0, 2.5, 5},
         {0, 0, 0, 0, 0, 0},
         {}},
    };
    for (const Case& c : cases) {
        Read r = writeAndRead(scratch, "image.fits", {c.hdu});
        ASSERT_EQ(r.status, 0) << c.what << ": " << r.message;
        EXPECT_EQ(r.image.bitpix, c.hdu.bitpix) << c.what;
        EXPECT_EQ(r.image.width, 3) << c.what;
        EXPECT_EQ(r.image.height, 2) << c.what;
        EXPECT_EQ(hasFloatPixels(&r.image), c.hdu.bitpix != 16) << c.what;
        EXPECT_EQ(r.image.values, c.values) << c.what;
        EXPECT_EQ(r.image.noData, c.noData) << c.what;
        EXPECT_EQ(r.image.pixels, c.pixels) << c.what;
    }
}

// --no-data: a chosen value marks pixels too, compared with the value as stored in
// values (after scaling, rounded to float).
TEST(ReadAnyFitsImage, MarksTheChosenNoDataValue)
{
    ScratchDirectory scratch;
    struct Case {
        const char* what;
        HduSpec hdu;
        float noDataValue;
        std::vector<uint8_t> noData;
    };
    const Case cases[] = {
        {"zeros of a float frame", image(-32, {0, 1, -0.0, NaN, 0, 2}), 0, {1, 0, 1, 1, 1, 0}},
        {"a scaled integer value",
         image(32, {0, 1, 2, 3, 4, 5}, {"BZERO   =                 -3.0"}),
         -1,
         {0, 0, 1, 0, 0, 0}},
        {"a double rounded to float",
         image(-64, {0.1, 0.1000000001, 0.2, 1, 1, 1}),
         0.1f,
         {1, 1, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        FitsReadOptions options;
        options.noDataValueSet = true;
        options.noDataValue = c.noDataValue;
        Read r = writeAndRead(scratch, "image.fits", {c.hdu}, "", options);
        ASSERT_EQ(r.status, 0) << c.what << ": " << r.message;
        EXPECT_EQ(r.image.noData, c.noData) << c.what;
        for (size_t i = 0; i < r.image.values.size(); ++i) {
            if (r.image.noData[i] == PIXEL_NO_DATA) {
                EXPECT_EQ(r.image.values[i], 0.0f) << c.what << " pixel " << i;
            }
        }
    }
}

// The HDU chosen by the name, the cards an extension inherits, and what is refused.
TEST(ReadAnyFitsImage, ChoosesTheHduAndInheritsPrimaryCards)
{
    ScratchDirectory scratch;
    HduSpec primary;
    primary.cards = {"OBJECT  = 'NGC 1316'", "DATE-OBS= '2026-03-02'", "TELESCOP= 'T1'",
                     "OBSERVER= 'X'"};
    HduSpec sci = image(-32, {1, 2, 3, 4, 5, 6}, {"EXTNAME = 'SCI'", "EXTVER  = 2"});
    HduSpec inheriting =
        image(32, {1, 2, 3, 4, 5, 6}, {"EXTNAME = 'VAR'", "INHERIT = T", "OBSERVER= 'Y'"});
    HduSpec own = image(-64, {1, 2, 3, 4, 5, 6}, {"EXTNAME = 'OWN'", "OBJECT  = 'M 31'"});
    HduSpec table;
    table.table = true;
    struct Case {
        std::string hdu;
        int status;
        std::string message;
        int bitpix;
        std::string object, date, telescope, observer;
    };
    const std::vector<HduSpec> hdus = {primary, sci, inheriting, own, table};
    const Case cases[] = {
        {"", 0, "", -32, "NGC 1316", "2026-03-02", "(none)", "(none)"},
        {"1", 0, "", -32, "NGC 1316", "2026-03-02", "(none)", "(none)"},
        {"SCI", 0, "", -32, "NGC 1316", "2026-03-02", "(none)", "(none)"},
        {"sci,2", 0, "", -32, "NGC 1316", "2026-03-02", "(none)", "(none)"},
        {"VAR", 0, "", 32, "NGC 1316", "2026-03-02", "T1", "Y"},
        {"3", 0, "", -64, "M 31", "2026-03-02", "(none)", "(none)"},
        {"SCI,1", -1, "no HDU SCI,1", 0, "", "", "", ""},
        {"9", -1, "no HDU 9", 0, "", "", "", ""},
        {"4", -1, "HDU 4 is not an image", 0, "", "", "", ""},
        {"0", -1, "image has NAXIS = 0, not 2 axes", 0, "", "", "", ""},
    };
    for (const Case& c : cases) {
        Read r = writeAndRead(scratch, "mef.fits", hdus, c.hdu);
        EXPECT_EQ(r.status, c.status) << c.hdu << ": " << r.message;
        EXPECT_EQ(r.message, c.message) << c.hdu;
        if (c.status != 0) {
            EXPECT_EQ(r.image.cardCount, 0) << c.hdu;
            continue;
        }
        EXPECT_EQ(r.image.bitpix, c.bitpix) << c.hdu;
        EXPECT_EQ(stringCard(r.image, "OBJECT"), c.object) << c.hdu;
        EXPECT_EQ(stringCard(r.image, "DATE-OBS"), c.date) << c.hdu;
        EXPECT_EQ(stringCard(r.image, "TELESCOP"), c.telescope) << c.hdu;
        EXPECT_EQ(stringCard(r.image, "OBSERVER"), c.observer) << c.hdu;
        EXPECT_EQ(std::string(r.image.cards.data(), 30), "SIMPLE  =                    T")
            << c.hdu << ": the header reads as a primary one";
        const char* card = nullptr;
        EXPECT_NE(findCard(&r.image, "XTENSION", &card), 0) << c.hdu;
        EXPECT_NE(findCard(&r.image, "PCOUNT", &card), 0) << c.hdu;
    }
}

// Shapes and types that are refused, with the image left empty.
TEST(ReadAnyFitsImage, RefusesWhatIsNotOneTwoDimensionalImage)
{
    ScratchDirectory scratch;
    HduSpec bits64 = image(64, {1, 2, 3, 4, 5, 6});
    struct Case {
        const char* what;
        std::string name;
        std::vector<HduSpec> hdus;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"64-bit integers", "b64.fits", {bits64}, "BITPIX 64 is not read"},
        {"no image at all", "empty.fits", {HduSpec{}}, "holds no image"},
    };
    for (const Case& c : cases) {
        Read r = writeAndRead(scratch, c.name, c.hdus);
        EXPECT_EQ(r.status, -1) << c.what;
        EXPECT_EQ(r.message, c.message) << c.what;
        EXPECT_TRUE(r.image.values.empty() && r.image.cards.empty()) << c.what;
    }
    // A three-axis image with a third axis longer than 1.
    const std::string path = scratch.file("cube.fits");
    fitsfile* file = nullptr;
    int status = 0;
    long axes[3] = {2, 2, 3};
    fits_create_file(&file, ("!" + path).c_str(), &status);
    fits_create_img(file, FLOAT_IMG, 3, axes, &status);
    fits_close_file(file, &status);
    ASSERT_EQ(status, 0);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    FitsImage image;
    std::string message;
    EXPECT_EQ(readAnyFitsImage(fd, "", {}, &image, &message), -1);
    EXPECT_EQ(message, "image has NAXIS = 3, not 2 axes");
    close(fd);
}

// Compressed files, by tiles or as a whole, whatever their names: the same values, the
// image's own header, and the form and 16-bit content the search decides on.
TEST(ReadAnyFitsImage, ReadsCompressedImagesWhateverTheirNames)
{
    ScratchDirectory scratch;
    std::vector<double> stored(64 * 48);
    for (size_t i = 0; i < stored.size(); ++i)
        stored[i] = std::sin(static_cast<double>(i)) * 1000.0;
    stored[70] = NaN;
    HduSpec plain;
    plain.bitpix = -32;
    plain.width = 64;
    plain.height = 48;
    plain.stored = stored;
    plain.cards = {"OBJECT  = 'FLD'"};
    HduSpec tiles = plain;
    tiles.compression = GZIP_2;
    HduSpec sixteen = plain;
    sixteen.bitpix = 16;
    sixteen.stored[70] = 0;
    sixteen.compression = RICE_1;
    Read expected = writeAndRead(scratch, "plain.fits", {plain});
    ASSERT_EQ(expected.status, 0) << expected.message;
    EXPECT_EQ(expected.image.noData[70], PIXEL_NO_DATA);
    struct Case {
        const char* name;
        HduSpec hdu;
        FitsFileForm form;
        int sixteenBit;
    };
    const Case cases[] = {
        {"plain.fits", plain, FitsFileForm::OtherType, 0},
        {"tiles.fits.fz", tiles, FitsFileForm::Compressed, 0},
        {"tiles-named-plainly.fits", tiles, FitsFileForm::Compressed, 0},
        {"whole.fits.gz", plain, FitsFileForm::Compressed, 0},
        {"sixteen.fits", sixteen, FitsFileForm::Compressed, 1},
    };
    for (const Case& c : cases) {
        Read r = writeAndRead(scratch, c.name, {c.hdu});
        ASSERT_EQ(r.status, 0) << c.name << ": " << r.message;
        if (c.hdu.bitpix == -32) {
            EXPECT_EQ(r.image.values, expected.image.values) << c.name;
            EXPECT_EQ(r.image.noData, expected.image.noData) << c.name;
        } else {
            ASSERT_EQ(r.image.pixels.size(), stored.size()) << c.name;
            EXPECT_EQ(r.image.pixels[1], static_cast<uint16_t>(841 + 32768)) << c.name;
        }
        EXPECT_EQ(stringCard(r.image, "OBJECT"), "FLD") << c.name;
        const char* card = nullptr;
        EXPECT_NE(findCard(&r.image, "ZIMAGE", &card), 0) << c.name << ": the image's header";
        // Renamed to a name that says nothing, the content tells.
        const std::string renamed = scratch.file("renamed");
        ASSERT_EQ(std::rename(scratch.file(c.name).c_str(), renamed.c_str()), 0);
        const int fd = open(renamed.c_str(), O_RDONLY | O_CLOEXEC);
        EXPECT_EQ(fitsFileForm(fd), c.form) << c.name;
        EXPECT_EQ(holdsSixteenBitImage(fd), c.sixteenBit) << c.name;
        EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 0) << c.name;
        close(fd);
    }
}

// A compressed image whose tiles were damaged after writing is refused, not decoded
// into wrong pixels.
TEST(ReadAnyFitsImage, RefusesDamagedCompressedData)
{
    ScratchDirectory scratch;
    HduSpec tiles;
    tiles.bitpix = -32;
    tiles.width = 64;
    tiles.height = 64;
    tiles.stored.assign(64 * 64, 1.0);
    for (size_t i = 0; i < tiles.stored.size(); ++i)
        tiles.stored[i] = static_cast<double>(i % 977);
    tiles.compression = GZIP_2;
    const std::string path = scratch.file("damaged.fits.fz");
    ASSERT_EQ(writeFitsHdus(path, {tiles}), 0);
    // fpack-style checksums, then one byte of the heap changed.
    fitsfile* file = nullptr;
    int status = 0;
    fits_open_file(&file, path.c_str(), READWRITE, &status);
    fits_movabs_hdu(file, 2, nullptr, &status);
    fits_write_chksum(file, &status);
    fits_close_file(file, &status);
    ASSERT_EQ(status, 0);
    std::string bytes = readFile(path);
    bytes[bytes.size() - 3000] ^= 0x55;
    writeFile(path, bytes);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    FitsImage image;
    std::string message;
    EXPECT_EQ(readAnyFitsImage(fd, "", {}, &image, &message), -1);
    EXPECT_EQ(message, "data do not match their DATASUM card: file damaged");
    close(fd);
}

// Cut-outs of real survey images: values checked against the file's bytes decoded
// independently (Python's struct), the five NaN pixels of the NIRCam frame masked.
TEST(ReadAnyFitsImage, ReadsRealSurveyCutOuts)
{
    struct Pixel {
        int x, y;
        float value;
    };
    struct Case {
        const char* file;
        int bitpix;
        std::vector<Pixel> pixels;
        std::vector<std::pair<int, int>> missing;
    };
    const Case cases[] = {
        {"decam_obs04a_cutout.fits",
         -64,
         {{0, 0, 39.169921875f}, {32, 31, 448.71240234375f}, {63, 63, 2.77392578125f}},
         {}},
        {"a2744_f200w_cutout.fits",
         -32,
         {{0, 0, -0.009027437306940556f},
          {5, 10, 0.005423709750175476f},
          {63, 63, 0.0020571607165038586f}},
         {{61, 25}, {62, 25}, {61, 26}, {62, 26}, {63, 26}}},
    };
    for (const Case& c : cases) {
        const std::string path = std::string(NEWSTARS_SOURCE_DIR) + "/tests/data/" + c.file;
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << path;
        EXPECT_EQ(fitsFileForm(fd), FitsFileForm::OtherType) << c.file;
        FitsImage image;
        std::string message;
        ASSERT_EQ(readAnyFitsImage(fd, "", {}, &image, &message), 0) << c.file << ": " << message;
        close(fd);
        EXPECT_EQ(image.bitpix, c.bitpix) << c.file;
        ASSERT_EQ(image.width, 64) << c.file;
        ASSERT_EQ(image.height, 64) << c.file;
        for (const Pixel& p : c.pixels)
            EXPECT_EQ(image.values[static_cast<size_t>(p.y * 64 + p.x)], p.value)
                << c.file << " " << p.x << "," << p.y;
        std::vector<std::pair<int, int>> missing;
        for (int i = 0; i < 64 * 64; ++i) {
            if (image.noData[static_cast<size_t>(i)] == PIXEL_NO_DATA)
                missing.emplace_back(i % 64, i / 64);
        }
        EXPECT_EQ(missing, c.missing) << c.file;
        const char* card = nullptr;
        EXPECT_EQ(findCard(&image, "CRPIX1", &card), 0) << c.file << ": every card kept";
    }
}

// An image read into a record that held a larger one of the same form fills the memory
// the record already had (no fresh pages) and reads exactly as into an empty record,
// for each reader and each form of pixels.
TEST(ReadAnyFitsImage, KeepsTheBuffersOfTheImageItReplaces)
{
    ScratchDirectory scratch;
    auto pattern = [](long width, long height, int bitpix, int compression) {
        HduSpec hdu;
        hdu.bitpix = bitpix;
        hdu.width = width;
        hdu.height = height;
        hdu.compression = compression;
        hdu.cards = {"OBJECT  = 'FLD'"};
        for (long i = 0; i < width * height; ++i)
            hdu.stored.push_back(static_cast<double>((i * 37) % 2001 - 1000));
        return hdu;
    };
    HduSpec empty;
    empty.width = 0;
    struct Case {
        const char* name;
        std::vector<HduSpec> large, small;
        bool plainReader; // readFitsImage; otherwise readAnyFitsImage
    };
    const Case cases[] = {
        {"sixteen.fits", {pattern(90, 80, 16, 0)}, {pattern(70, 60, 16, 0)}, true},
        {"extension.fits",
         {empty, pattern(90, 80, 16, 0)},
         {empty, pattern(70, 60, 16, 0)},
         true},
        {"any-sixteen.fits", {pattern(90, 80, 16, 0)}, {pattern(70, 60, 16, 0)}, false},
        {"float.fits", {pattern(90, 80, -32, 0)}, {pattern(70, 60, -32, 0)}, false},
        {"rice.fits.fz", {pattern(90, 80, 16, RICE_1)}, {pattern(70, 60, 16, RICE_1)}, false},
        {"whole.fits.gz", {pattern(90, 80, 32, 0)}, {pattern(70, 60, 32, 0)}, false},
    };
    for (const Case& c : cases) {
        auto readInto = [&](const std::vector<HduSpec>& hdus, FitsImage* image) {
            const std::string path = scratch.file(c.name);
            EXPECT_EQ(writeFitsHdus(path, hdus), 0) << c.name;
            const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            std::string message;
            const int status = c.plainReader ? readFitsImage(fd, image, &message)
                                             : readAnyFitsImage(fd, "", {}, image, &message);
            close(fd);
            EXPECT_EQ(status, 0) << c.name << ": " << message;
        };
        FitsImage reused, fresh;
        readInto(c.large, &reused);
        const void* pixels = reused.pixels.data();
        const void* values = reused.values.data();
        const void* noData = reused.noData.data();
        readInto(c.small, &reused);
        readInto(c.small, &fresh);
        EXPECT_EQ(reused.width, 70) << c.name;
        EXPECT_EQ(reused.height, 60) << c.name;
        EXPECT_EQ(reused.bitpix, fresh.bitpix) << c.name;
        EXPECT_EQ(reused.cardCount, fresh.cardCount) << c.name;
        EXPECT_EQ(reused.cards, fresh.cards) << c.name;
        EXPECT_EQ(reused.pixels, fresh.pixels) << c.name;
        EXPECT_EQ(reused.values, fresh.values) << c.name;
        EXPECT_EQ(reused.noData, fresh.noData) << c.name;
        EXPECT_EQ(reused.pixels.data(), pixels) << c.name << ": the pixel memory kept";
        EXPECT_EQ(reused.values.data(), values) << c.name << ": the value memory kept";
        EXPECT_EQ(reused.noData.data(), noData) << c.name << ": the mask memory kept";
    }
}
