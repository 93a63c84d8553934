#include "fits/fits_write.hpp"

#include <fitsio.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fits/fits_read.hpp"

#include <erfa.h>

#include "support/files.hpp"
#include "support/fits_file.hpp"
#include "support/program.hpp"

using namespace newstars;

// A file for one test, removed when the holder goes away; bytes() gives its content.
struct WriterTestFile : ScratchFile {
    std::vector<unsigned char> bytes() const
    {
        std::string data = readFile(path);
        return std::vector<unsigned char>(data.begin(), data.end());
    }
};

static std::string cardAt(const std::vector<unsigned char>& data, std::size_t index)
{
    return std::string(data.begin() + static_cast<long>(index * 80),
                       data.begin() + static_cast<long>(index * 80 + 80));
}

// Reads the primary image through CFITSIO as unsigned 16-bit values (BZERO applied).
static std::vector<uint16_t> readWithCfitsio(const std::string& path, long* width, long* height)
{
    fitsfile* file = nullptr;
    int status = 0;
    std::vector<uint16_t> pixels;
    fits_open_file(&file, path.c_str(), READONLY, &status);
    long size[2] = {0, 0};
    int axes = 0;
    fits_get_img_dim(file, &axes, &status);
    fits_get_img_size(file, 2, size, &status);
    *width = size[0];
    *height = size[1];
    pixels.resize(static_cast<std::size_t>(size[0] * size[1]));
    int anyNull = 0;
    fits_read_img(file, TUSHORT, 1, static_cast<LONGLONG>(pixels.size()), nullptr, pixels.data(),
                  &anyNull, &status);
    int closeStatus = 0;
    fits_close_file(file, &closeStatus);
    EXPECT_EQ(status, 0) << "CFITSIO status reading " << path;
    EXPECT_EQ(axes, 2);
    return pixels;
}

// A card with the keyword in columns 1-8 and a number right-justified to column 30.
static std::string numberedCard(int i)
{
    char text[81];
    std::snprintf(text, sizeof text, "K%-7d= %20d", i, i);
    return fitsCard(text);
}

TEST(WriteFitsHeader, PadsToWholeRecords)
{
    struct Case {
        int cards;
        std::size_t bytes;
    };
    const Case cases[] = {
        {0, 2880},  // END and 35 blank cards
        {35, 2880}, // END is card 36, no blank card
        {36, 5760}, // END opens the second record, then 35 blank cards
        {71, 5760}, {72, 8640},
    };
    for (const Case& c : cases) {
        FitsImage image;
        initFitsImage(&image);
        for (int i = 0; i < c.cards; ++i) {
            addCard(&image, numberedCard(i).data());
        }
        WriterTestFile file;
        std::string message;
        ASSERT_EQ(writeFitsHeader(&image, file.fd, &message), 0) << message;
        std::vector<unsigned char> data = file.bytes();
        ASSERT_EQ(data.size(), c.bytes) << c.cards << " cards";
        for (int i = 0; i < c.cards; ++i) {
            EXPECT_EQ(cardAt(data, static_cast<std::size_t>(i)), numberedCard(i));
        }
        EXPECT_EQ(cardAt(data, static_cast<std::size_t>(c.cards)), fitsCard("END"))
            << c.cards << " cards";
        for (std::size_t i = static_cast<std::size_t>(c.cards) + 1; i < c.bytes / 80; ++i) {
            EXPECT_EQ(cardAt(data, i), fitsCard("")) << c.cards << " cards, card " << i;
        }
    }
}

TEST(WriteFitsBuffer, WritesDefaultHeaderPixelsAndRecordFill)
{
    const int width = 512;
    const int height = 512;
    std::vector<uint16_t> pixels(static_cast<std::size_t>(width) * height);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint16_t>(i * 7919u);
    }
    const std::vector<uint16_t> original = pixels;
    WriterTestFile file;
    ASSERT_EQ(writeFitsBuffer(file.fd, pixels.data(), width, height, 1), 0);
    EXPECT_EQ(pixels, original);
    std::vector<unsigned char> data = file.bytes();
    // One header record (14 cards, END, 21 blanks), 524288 data bytes, and a zero fill
    // of 2752 bytes that completes the data's 183rd record.
    ASSERT_EQ(data.size(), 2880u + 524288u + 2752u);
    const char* expected[] = {
        "SIMPLE  =                    T",
        "BITPIX  =                   16",
        "NAXIS   =                    2",
        "NAXIS1  =                  512",
        "NAXIS2  =                  512",
        "BZERO   =                32768",
        "OFFSET1 =                    0",
        "OFFSET2 =                    0",
        "XFACTOR =                    1",
        "YFACTOR =                    1",
        "EXPTIME =                    0",
        "COMMENT Rows are flipped from FITS standard",
        "ORIGIN  = 'Dept of Physics and Astronomy, University of Corvale, USA'",
        "TELESCOP= 'Astrophysics 7\" Refractor'",
        "END",
    };
    for (std::size_t i = 0; i < 15; ++i) {
        EXPECT_EQ(cardAt(data, i), fitsCard(expected[i])) << "card " << i;
    }
    for (std::size_t i = 15; i < 36; ++i) {
        EXPECT_EQ(cardAt(data, i), fitsCard("")) << "card " << i;
    }
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        unsigned fileValue =
            (static_cast<unsigned>(data[2880 + 2 * i]) << 8) | data[2880 + 2 * i + 1];
        ASSERT_EQ((fileValue + 32768u) & 0xFFFFu, original[i]) << "pixel " << i;
    }
    for (std::size_t i = 2880 + 524288; i < data.size(); ++i) {
        ASSERT_EQ(data[i], 0) << "fill byte " << i;
    }
}

TEST(WriteFitsImage, StoresPixelsHighByteFirstAndRestoresThem)
{
    struct Case {
        uint16_t memory;
        unsigned char high;
        unsigned char low;
    };
    const Case cases[] = {
        {0, 0x80, 0x00},     {32768, 0x00, 0x00}, {65535, 0x7F, 0xFF},          {1, 0x80, 0x01},
        {32767, 0xFF, 0xFF}, {32769, 0x00, 0x01}, {0x1234 + 32768, 0x12, 0x34},
    };
    const int count = static_cast<int>(std::size(cases));
    for (int restore = 0; restore <= 1; ++restore) {
        FitsImage image;
        initFitsImage(&image);
        image.bitpix = 16;
        image.width = count;
        image.height = 1;
        for (const Case& c : cases) {
            image.pixels.push_back(c.memory);
        }
        setDefaultCards(&image);
        WriterTestFile file;
        std::string message;
        ASSERT_EQ(writeFitsImage(file.fd, &image, &message, restore), 0) << message;
        std::vector<unsigned char> data = file.bytes();
        ASSERT_EQ(data.size(), 2u * 2880u);
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(data[2880 + 2 * i], cases[i].high) << cases[i].memory;
            EXPECT_EQ(data[2880 + 2 * i + 1], cases[i].low) << cases[i].memory;
            // restored: the memory value; not restored: the file's bytes in memory order
            const unsigned char* inMemory =
                reinterpret_cast<const unsigned char*>(&image.pixels[i]);
            if (restore) {
                EXPECT_EQ(image.pixels[i], cases[i].memory);
            } else {
                EXPECT_EQ(inMemory[0], cases[i].high) << cases[i].memory;
                EXPECT_EQ(inMemory[1], cases[i].low) << cases[i].memory;
            }
        }
        // and the reader turns the file back into the memory values
        ASSERT_EQ(lseek(file.fd, 0, SEEK_SET), 0);
        FitsImage back;
        initFitsImage(&back);
        ASSERT_EQ(readFitsImage(file.fd, &back, &message), 0) << message;
        for (int i = 0; i < count; ++i) {
            EXPECT_EQ(back.pixels[i], cases[i].memory);
        }
    }
}

TEST(SwapPixelsToFits, IsUndoneBySwapPixelsFromFits)
{
    FitsImage image;
    initFitsImage(&image);
    image.width = 256;
    image.height = 256;
    for (unsigned v = 0; v < 65536; ++v) {
        image.pixels.push_back(static_cast<uint16_t>(v));
    }
    swapPixelsToFits(&image);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(image.pixels.data());
    EXPECT_EQ(bytes[0], 0x80); // memory 0 is file value -32768
    EXPECT_EQ(bytes[2 * 32768], 0x00);
    EXPECT_EQ(bytes[2 * 65535 + 1], 0xFF);
    swapPixelsFromFits(&image);
    for (unsigned v = 0; v < 65536; ++v) {
        ASSERT_EQ(image.pixels[v], v);
    }
}

TEST(WriteFitsImage, ReadsBackTheSameCardsAndPixels)
{
    FitsImage image;
    initFitsImage(&image);
    image.bitpix = 16;
    image.width = 37;
    image.height = 23;
    image.offset1 = -12;
    image.offset2 = 40;
    image.xfactor = 2;
    image.yfactor = 3;
    image.exposureMs = 30500;
    for (int i = 0; i < 37 * 23; ++i) {
        image.pixels.push_back(static_cast<uint16_t>(i * 2654435761u >> 16));
    }
    setDefaultCards(&image);
    setStringCard(&image, "OBJECT", "M31 FIELD");
    setRealCard(&image, "CRVAL1", 10.684708, 12);
    setCommentCard(&image, "HISTORY", std::string(150, 'h').c_str());
    for (int i = 0; i < 30; ++i) {
        setIntCard(&image, ("EXTRA" + std::to_string(i)).c_str(), i);
    }
    ASSERT_EQ(image.cardCount, 14 + 2 + 3 + 30);
    WriterTestFile file;
    std::string message;
    ASSERT_EQ(writeFitsImage(file.fd, &image, &message, 1), 0) << message;
    ASSERT_EQ(lseek(file.fd, 0, SEEK_SET), 0);
    FitsImage back;
    initFitsImage(&back);
    ASSERT_EQ(readFitsImage(file.fd, &back, &message), 0) << message;
    EXPECT_EQ(back.cardCount, image.cardCount);
    EXPECT_EQ(back.cards, image.cards);
    EXPECT_EQ(back.pixels, image.pixels);
    EXPECT_EQ(back.width, 37);
    EXPECT_EQ(back.height, 23);
    EXPECT_EQ(back.offset1, -12);
    EXPECT_EQ(back.offset2, 40);
    EXPECT_EQ(back.xfactor, 2);
    EXPECT_EQ(back.yfactor, 3);
    EXPECT_EQ(back.exposureMs, 30500);
}

TEST(WriteFitsImage, ReportsFailuresAndKeepsPixels)
{
    FitsImage image;
    initFitsImage(&image);
    std::string message;
    WriterTestFile file;
    EXPECT_EQ(writeFitsImage(file.fd, &image, &message, 1), -1);
    EXPECT_EQ(message, "No pixels :-(");
    // a buffer shorter than the size the record claims is refused before writing
    image.width = 10;
    image.height = 10;
    image.pixels.assign(99, 7);
    EXPECT_EQ(writeFitsImage(file.fd, &image, &message, 1), -1);
    EXPECT_EQ(message, "Image of 10 x 10 pixels does not match its 99-pixel buffer");
    EXPECT_TRUE(file.bytes().empty());

    // a descriptor open for reading only: the header write fails, pixels untouched
    image.pixels.assign(100, 7);
    setDefaultCards(&image);
    int readOnly = open(file.path.c_str(), O_RDONLY);
    ASSERT_NE(readOnly, -1);
    EXPECT_EQ(writeFitsImage(readOnly, &image, &message, 0), -1);
    EXPECT_EQ(message, std::strerror(EBADF));
    EXPECT_EQ(image.pixels, std::vector<uint16_t>(100, 7));
    close(readOnly);
    EXPECT_EQ(writeFitsBuffer(-1, image.pixels.data(), 10, 10, 0), -1);
    EXPECT_EQ(writeFitsBuffer(file.fd, nullptr, 10, 10, 0), -1);
    EXPECT_EQ(writeFitsBuffer(file.fd, image.pixels.data(), -1, 10, 0), -1);
    EXPECT_EQ(image.pixels, std::vector<uint16_t>(100, 7));
}

// Writes a 100 x 100 image under a file size limit, reports the result, the message and
// the pixels' form on standard error, and ends the process.
static void writeUnderSizeLimit(int fd, rlim_t bytes, int restorePixels)
{
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    limit.rlim_cur = bytes;
    limit.rlim_max = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
    FitsImage image;
    initFitsImage(&image);
    image.bitpix = 16;
    image.width = 100;
    image.height = 100;
    image.pixels.assign(10000, 40000);
    setDefaultCards(&image);
    std::string message;
    int result = writeFitsImage(fd, &image, &message, restorePixels);
    bool restored = image.pixels == std::vector<uint16_t>(10000, 40000);
    std::fprintf(stderr, "%d [%s] %s\n", result, message.c_str(),
                 restored ? "memory form" : "file form");
    std::exit(0);
}

// With the file size limited, the kernel cuts writes short and then refuses them.
TEST(WriteFitsImageDeathTest, ShortAndFailedWritesUnderAFileSizeLimit)
{
    struct Case {
        rlim_t limit;
        int restore;
        std::string expected;
    };
    const Case cases[] = {
        {1000, 0, "-1 \\[Short write of FITS header\\] memory form"},
        // part of the pixels, then a refusal
        {2880 + 50, 1, "-1 \\[" + std::string(std::strerror(EFBIG)) + "\\] memory form"},
        {2880 + 50, 0, "-1 \\[" + std::string(std::strerror(EFBIG)) + "\\] file form"},
    };
    for (const Case& c : cases) {
        WriterTestFile file;
        EXPECT_EXIT(writeUnderSizeLimit(file.fd, c.limit, c.restore), testing::ExitedWithCode(0),
                    c.expected);
    }
}

TEST(SetDefaultCards, ReplacesCardsButAppendsTheComment)
{
    FitsImage image;
    initFitsImage(&image);
    image.bitpix = 16;
    image.width = 5;
    image.exposureMs = 2500;
    setDefaultCards(&image);
    image.width = 6;
    setDefaultCards(&image);
    EXPECT_EQ(image.cardCount, 15);
    const char* keywords[] = {"SIMPLE  ", "BITPIX  ", "NAXIS   ", "NAXIS1  ", "NAXIS2  ",
                              "BZERO   ", "OFFSET1 ", "OFFSET2 ", "XFACTOR ", "YFACTOR ",
                              "EXPTIME ", "COMMENT ", "ORIGIN  ", "TELESCOP", "COMMENT "};
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(std::string(image.cards.data() + 80 * i, 8), keywords[i]) << "card " << i;
    }
    EXPECT_EQ(std::string(image.cards.data() + 3 * 80, 80),
              fitsCard("NAXIS1  =                    6"));
    EXPECT_EQ(std::string(image.cards.data() + 10 * 80, 80),
              fitsCard("EXPTIME =                  2.5"));
}

// The three observation cards of an image after setObservationTime.
struct ObservationCards {
    int result = 0;
    std::string date;
    std::string time;
    double jd = 0;
};

static ObservationCards observationCardsAt(int64_t seconds)
{
    FitsImage image;
    initFitsImage(&image);
    ObservationCards cards;
    cards.result = setObservationTime(&image, seconds);
    getStringCard(&image, "DATE-OBS", &cards.date);
    getStringCard(&image, "TIME-OBS", &cards.time);
    getRealCard(&image, "JD", &cards.jd);
    EXPECT_EQ(image.cardCount, cards.result == 0 ? 3 : 0) << seconds;
    return cards;
}

// The card holds 12 significant digits: 5 decimals for these Julian Dates.
static constexpr double JD_CARD_TOLERANCE = 0.6e-5;

TEST(SetObservationTime, BreaksTheInstantDownInUtc)
{
    // instants from date(1) -u; Julian Dates of the Gregorian dates from ERFA
    struct Case {
        int64_t seconds;
        const char* date;
        const char* time;
        int year, month, day, hour, minute, second;
    };
    const Case cases[] = {
        {0, "01/01/70", "00:00:00", 1970, 1, 1, 0, 0, 0},
        {946684799, "31/12/99", "23:59:59", 1999, 12, 31, 23, 59, 59},
        {946684800, "2000-01-01", "00:00:00", 2000, 1, 1, 0, 0, 0},
        {951782400, "2000-02-29", "00:00:00", 2000, 2, 29, 0, 0, 0},
        {1118752496, "2005-06-14", "12:34:56", 2005, 6, 14, 12, 34, 56},
        {4102444800LL, "2100-01-01", "00:00:00", 2100, 1, 1, 0, 0, 0},
        {253402300799LL, "9999-12-31", "23:59:59", 9999, 12, 31, 23, 59, 59},
        // before 1970
        {-1, "31/12/69", "23:59:59", 1969, 12, 31, 23, 59, 59},
        {-615232372, "04/07/50", "06:07:08", 1950, 7, 4, 6, 7, 8},
        {-2147483648LL, "13/12/01", "20:45:52", 1901, 12, 13, 20, 45, 52},
        {-2208988800LL, "01/01/00", "00:00:00", 1900, 1, 1, 0, 0, 0},
        {-2208988801LL, "1899-12-31", "23:59:59", 1899, 12, 31, 23, 59, 59},
        {-12219292800LL, "1582-10-15", "00:00:00", 1582, 10, 15, 0, 0, 0}, // first Gregorian day
    };
    for (const Case& c : cases) {
        ObservationCards cards = observationCardsAt(c.seconds);
        ASSERT_EQ(cards.result, 0) << c.seconds;
        EXPECT_EQ(cards.date, c.date) << c.seconds;
        EXPECT_EQ(cards.time, c.time) << c.seconds;
        double mjdZero = 0;
        double mjd = 0;
        ASSERT_EQ(eraCal2jd(c.year, c.month, c.day, &mjdZero, &mjd), 0);
        double jd = mjdZero + mjd + ((c.hour * 60 + c.minute) * 60 + c.second) / 86400.0;
        EXPECT_NEAR(cards.jd, jd, JD_CARD_TOLERANCE) << c.seconds;
    }
}

TEST(SetObservationTime, UsesTheJulianCalendarBeforeTheSwitchAndRefusesOtherMillennia)
{
    struct Case {
        int64_t seconds;
        int result;
        const char* date;
        const char* time;
        double jd;
    };
    const Case cases[] = {
        // Julian 1582 October 4 is the day before Gregorian October 15
        {-12219292801LL, 0, "1582-10-04", "23:59:59", 2299160.5 - 1 / 86400.0},
        {-12219379200LL, 0, "1582-10-04", "00:00:00", 2299159.5},
        {-62135769600LL, 0, "0001-01-01", "00:00:00", 1721423.5}, // 1 AD January 1
        {-62135769601LL, -1, "", "", 0},
        {253402300800LL, -1, "", "", 0},
    };
    for (const Case& c : cases) {
        ObservationCards cards = observationCardsAt(c.seconds);
        EXPECT_EQ(cards.result, c.result) << c.seconds;
        EXPECT_EQ(cards.date, c.date) << c.seconds;
        EXPECT_EQ(cards.time, c.time) << c.seconds;
        EXPECT_NEAR(cards.jd, c.jd, JD_CARD_TOLERANCE) << c.seconds;
    }
}

TEST(SetObservationTime, WritesTheExactCardTexts)
{
    FitsImage image;
    initFitsImage(&image);
    setObservationTime(&image, 0);
    setObservationTime(&image, 946684799); // rewrites the three cards in place
    ASSERT_EQ(image.cardCount, 3);
    EXPECT_EQ(std::string(image.cards.data(), 80), fitsCard("DATE-OBS= '31/12/99'"));
    EXPECT_EQ(std::string(image.cards.data() + 80, 80), fitsCard("TIME-OBS= '23:59:59'"));
    EXPECT_EQ(std::string(image.cards.data() + 160, 80),
              fitsCard("JD      =        2451544.49999"));
}

TEST(SplitPath, DividesDirectoryBaseNameAndExtension)
{
    struct Case {
        const char* path;
        const char* directory;
        const char* base;
        const char* extension;
    };
    const Case cases[] = {
        {"/data/night1/m31.fits", "/data/night1/", "m31", "fits"},
        {"m31", "", "m31", ""},
        {"m31.fits", "", "m31", "fits"},
        {".hidden", "", "", "hidden"},
        {"dir/.hidden", "dir/", "", "hidden"},
        {"/data.d/m31", "/data.d/", "m31", ""},
        {"a.tar.gz", "", "a.tar", "gz"},
        {"C:\\images\\m31.fth", "C:\\images\\", "m31", "fth"},
        {"mixed/dir\\name.x", "mixed/dir\\", "name", "x"},
        {"dir/", "dir/", "", ""},
        {"name.", "", "name", ""},
        {"", "", "", ""},
    };
    for (const Case& c : cases) {
        std::string directory = "x";
        std::string base = "x";
        std::string extension = "x";
        splitPath(c.path, &directory, &base, &extension);
        EXPECT_EQ(directory, c.directory) << c.path;
        EXPECT_EQ(base, c.base) << c.path;
        EXPECT_EQ(extension, c.extension) << c.path;
    }
}

// Checks a written file with the independent validator and reader.
static void expectValidFits(const std::string& path, const std::vector<uint16_t>& pixels,
                            long width, long height)
{
    ProgramResult fitsverify = runProgram({"fitsverify", path});
    std::string report = fitsverify.out + fitsverify.err;
    EXPECT_NE(report.find("Verification found"), std::string::npos) << report;
    EXPECT_NE(report.find(" and 0 error(s)"), std::string::npos) << report;
    long readWidth = 0;
    long readHeight = 0;
    std::vector<uint16_t> read = readWithCfitsio(path, &readWidth, &readHeight);
    EXPECT_EQ(readWidth, width);
    EXPECT_EQ(readHeight, height);
    EXPECT_EQ(read, pixels);
}

TEST(WrittenFiles, PassFitsverifyAndReadBackThroughCfitsio)
{
    std::vector<uint16_t> pixels(64 * 48);
    for (std::size_t i = 0; i < pixels.size(); ++i) {
        pixels[i] = static_cast<uint16_t>(i * 40503u);
    }
    pixels[0] = 0;
    pixels[1] = 65535;
    pixels[2] = 32768;
    const std::vector<uint16_t> original = pixels;
    {
        WriterTestFile file;
        ASSERT_EQ(writeFitsBuffer(file.fd, pixels.data(), 64, 48, 1), 0);
        expectValidFits(file.path, original, 64, 48);
    }
    const int64_t times[] = {0, 946684799, 1118752496, -615232372};
    for (int64_t seconds : times) {
        FitsImage image;
        initFitsImage(&image);
        image.bitpix = 16;
        image.width = 64;
        image.height = 48;
        image.exposureMs = 120000;
        image.pixels = original;
        setDefaultCards(&image);
        setObservationTime(&image, seconds);
        setStringCard(&image, "OBJECT", "NGC 7331");
        WriterTestFile file;
        std::string message;
        ASSERT_EQ(writeFitsImage(file.fd, &image, &message, 1), 0) << message;
        expectValidFits(file.path, original, 64, 48);
    }
}
