#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "fits/fits_read.hpp"

using namespace newstars;

namespace {

// A card: the text left-justified and blank-filled to 80 columns.
std::string card(const std::string& text)
{
    std::string c = text.substr(0, 80);
    c.resize(80, ' ');
    return c;
}

// "KEYWORD = value" with the value right-justified to column 30.
std::string valueCard(const char* keyword, const char* value)
{
    char text[81];
    std::snprintf(text, sizeof text, "%-8.8s= %20s", keyword, value);
    return card(text);
}

// A header as a reader expects it: the cards, END, blank cards to the end of its record.
std::string header(const std::vector<std::string>& cards)
{
    std::string bytes;
    for (const std::string& c : cards)
        bytes += c;
    bytes += card("END");
    bytes.resize((bytes.size() + 2879) / 2880 * 2880, ' ');
    return bytes;
}

std::vector<std::string> imageCards(int width, int height)
{
    return {valueCard("SIMPLE", "T"), valueCard("BITPIX", "16"), valueCard("NAXIS", "2"),
            valueCard("NAXIS1", std::to_string(width).c_str()),
            valueCard("NAXIS2", std::to_string(height).c_str())};
}

// Big-endian bytes of the file values.
std::string pixelBytes(const std::vector<int16_t>& values)
{
    std::string bytes;
    for (int16_t v : values) {
        auto u = static_cast<uint16_t>(v);
        bytes += static_cast<char>(u >> 8);
        bytes += static_cast<char>(u & 0xFF);
    }
    return bytes;
}

// A descriptor positioned at the start of an anonymous file holding the bytes.
int memoryFile(const std::string& bytes)
{
    int fd = memfd_create("fits", MFD_CLOEXEC);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    lseek(fd, 0, SEEK_SET);
    return fd;
}

struct ReadResult {
    int status;
    std::string message;
    FitsImage image;
    off_t position; // descriptor offset after the read
};

ReadResult readBytes(const std::string& bytes)
{
    ReadResult r;
    int fd = memoryFile(bytes);
    r.message = "unset";
    r.status = readFitsImage(fd, &r.image, &r.message);
    r.position = lseek(fd, 0, SEEK_CUR);
    close(fd);
    return r;
}

void expectEmpty(const FitsImage& image, const std::string& what)
{
    EXPECT_EQ(image.cardCount, 0) << what;
    EXPECT_TRUE(image.cards.empty()) << what;
    EXPECT_TRUE(image.pixels.empty()) << what;
    EXPECT_EQ(image.width, 0) << what;
    EXPECT_EQ(image.height, 0) << what;
    EXPECT_EQ(image.bitpix, 0) << what;
    EXPECT_EQ(image.xfactor, 1) << what;
}

std::vector<std::string> withCards(std::vector<std::string> cards,
                                   const std::vector<std::string>& more)
{
    cards.insert(cards.end(), more.begin(), more.end());
    return cards;
}

std::vector<std::string> without(std::vector<std::string> cards, const char* keyword)
{
    std::erase_if(cards, [&](const std::string& c) {
        return c.compare(0, 8, card(keyword).substr(0, 8)) == 0;
    });
    return cards;
}

std::vector<std::string> replaced(std::vector<std::string> cards, const char* keyword,
                                  const char* value)
{
    for (std::string& c : cards)
        if (c.compare(0, 8, card(keyword).substr(0, 8)) == 0)
            c = valueCard(keyword, value);
    return cards;
}

} // namespace

TEST(ReadFitsImage, PixelByteOrderAndRecordFields)
{
    std::string bytes = header(
        withCards(imageCards(3, 2), {valueCard("BZERO", "32768"), valueCard("XFACTOR", "2"),
                                     valueCard("YFACTOR", "3"), valueCard("OFFSET1", "-4"),
                                     valueCard("OFFSET2", "5"), valueCard("EXPTIME", "1.9999")}));
    // 0x80 0x00, 0x00 0x00, 0x7F 0xFF, 0xFF 0xFF, 0x12 0x34, 0x00 0x01
    bytes += pixelBytes({-32768, 0, 32767, -1, 0x1234, 1});
    bytes += std::string(100, '\0'); // record fill after the data is not read
    ReadResult r = readBytes(bytes);
    ASSERT_EQ(r.status, 0) << r.message;
    EXPECT_EQ(r.image.bitpix, 16);
    EXPECT_EQ(r.image.width, 3);
    EXPECT_EQ(r.image.height, 2);
    EXPECT_EQ(r.image.xfactor, 2);
    EXPECT_EQ(r.image.yfactor, 3);
    EXPECT_EQ(r.image.offset1, -4);
    EXPECT_EQ(r.image.offset2, 5);
    EXPECT_EQ(r.image.exposureMs, 1999);
    EXPECT_EQ(r.image.cardCount, 11);
    EXPECT_EQ(r.image.cards.size(), 11u * 80);
    EXPECT_EQ(std::string(r.image.cards.data(), 80), valueCard("SIMPLE", "T"));
    const std::vector<uint16_t> expected = {0, 32768, 65535, 32767, 0x9234, 32769};
    EXPECT_EQ(r.image.pixels, expected);
    EXPECT_EQ(r.position, 2880 + 12);
}

TEST(ReadFitsImage, ExposureAndOptionalCards)
{
    struct Case {
        const char* exptime; // nullptr: no card
        int32_t expected;
    };
    const Case cases[] = {{"1.9999", 1999},    {"30", 30000},       {nullptr, 0},
                          {"-1.9999", -1999},  {"0.0005", 0},       {"1.5D1", 15000},
                          {"1E10", INT32_MAX}, {"-1E10", INT32_MIN}};
    for (const Case& c : cases) {
        std::vector<std::string> cards = imageCards(1, 1);
        if (c.exptime)
            cards.push_back(valueCard("EXPTIME", c.exptime));
        ReadResult r = readBytes(header(cards) + pixelBytes({7}));
        ASSERT_EQ(r.status, 0) << r.message;
        EXPECT_EQ(r.image.exposureMs, c.expected) << (c.exptime ? c.exptime : "none");
        EXPECT_EQ(r.image.xfactor, 1);
        EXPECT_EQ(r.image.yfactor, 1);
        EXPECT_EQ(r.image.offset1, 0);
        EXPECT_EQ(r.image.offset2, 0);
    }
}

TEST(ReadFitsImage, FailureMessages)
{
    const std::vector<std::string> good = imageCards(2, 2);
    const std::string pixels = pixelBytes({1, 2, 3, 4});
    std::string endThenPartial = header(good);
    endThenPartial.resize(good.size() * 80 + 80 + 80); // END and one blank card only
    struct Case {
        const char* what;
        std::string bytes;
        std::string message;
    };
    const Case cases[] = {
        {"empty file", "", "FITS file is short"},
        {"partial card", header(good).substr(0, 170), "FITS file is short"},
        {"no END", std::string(good[0]) + good[1] + good[2] + good[3] + good[4],
         "FITS file is short"},
        {"END record cut short", endThenPartial, "FITS file is short"},
        {"no END in 10000 records", std::string(10000 * 2880, ' ') + card("END"),
         "FITS header longer than 10000 records"},
        {"SIMPLE absent", header(without(good, "SIMPLE")) + pixels,
         "File must claim to be a SIMPLE image."},
        {"SIMPLE false", header(replaced(good, "SIMPLE", "F")) + pixels,
         "File must claim to be a SIMPLE image."},
        {"SIMPLE not logical", header(replaced(good, "SIMPLE", "1")) + pixels,
         "File must claim to be a SIMPLE image."},
        {"SIMPLE false before BITPIX 8",
         header(replaced(replaced(good, "SIMPLE", "F"), "BITPIX", "8")) + pixels,
         "File must claim to be a SIMPLE image."},
        {"BITPIX absent", header(without(good, "BITPIX")) + pixels, "BITPIX must be 16."},
        {"BITPIX 8", header(replaced(good, "BITPIX", "8")) + pixels, "BITPIX must be 16."},
        {"BITPIX -32", header(replaced(good, "BITPIX", "-32")) + pixels, "BITPIX must be 16."},
        {"BITPIX 8 before no NAXIS",
         header(without(replaced(good, "BITPIX", "8"), "NAXIS")) + pixels, "BITPIX must be 16."},
        {"NAXIS absent", header(without(good, "NAXIS")) + pixels, "No NAXIS"},
        {"NAXIS3 absent", header(replaced(good, "NAXIS", "3")) + pixels, "NAXIS=3 but no NAXIS3"},
        {"NAXIS3 not 1",
         header(withCards(replaced(good, "NAXIS", "3"), {valueCard("NAXIS3", "2")})) + pixels,
         "Require NAXIS3 to be 1"},
        {"NAXIS4 absent",
         header(withCards(replaced(good, "NAXIS", "4"), {valueCard("NAXIS3", "1")})) + pixels,
         "NAXIS=4 but no NAXIS4"},
        {"NAXIS3 before NAXIS1", header(without(replaced(good, "NAXIS", "3"), "NAXIS1")) + pixels,
         "NAXIS=3 but no NAXIS3"},
        {"NAXIS1 absent", header(without(good, "NAXIS1")) + pixels, "No NAXIS1"},
        {"NAXIS2 absent", header(without(good, "NAXIS2")) + pixels, "No NAXIS2"},
        {"NAXIS1 before NAXIS2", header(without(without(good, "NAXIS2"), "NAXIS1")) + pixels,
         "No NAXIS1"},
        {"NAXIS1 negative", header(replaced(good, "NAXIS1", "-1")) + pixels,
         "NAXIS1 = -1 must not be negative"},
        {"NAXIS2 negative", header(replaced(good, "NAXIS2", "-5")) + pixels,
         "NAXIS2 = -5 must not be negative"},
        {"both negative", header(replaced(replaced(good, "NAXIS2", "-1"), "NAXIS1", "-1")),
         "NAXIS1 = -1 must not be negative"},
        {"NAXIS2 absent before NAXIS1 negative",
         header(without(replaced(good, "NAXIS1", "-1"), "NAXIS2")), "No NAXIS2"},
        {"too large",
         header(replaced(replaced(good, "NAXIS1", "50000"), "NAXIS2", "50000")) + pixels,
         "Image of 50000 x 50000 pixels is too large"},
        {"product beyond 32 bits",
         header(replaced(replaced(good, "NAXIS1", "65536"), "NAXIS2", "65536")),
         "Image of 65536 x 65536 pixels is too large"},
        {"no data", header(good), "data is short"},
        {"one byte short", header(good) + pixels.substr(0, 7), "data is short"},
        // 600 x 600 pixels are read in several pieces: the file ends inside one, or on a boundary.
        {"short after several pieces", header(imageCards(600, 600)) + std::string(720000 - 1, '\0'),
         "data is short"},
        {"short at a piece boundary", header(imageCards(600, 600)) + std::string(131072, '\0'),
         "data is short"},
    };
    for (const Case& c : cases) {
        ReadResult r = readBytes(c.bytes);
        EXPECT_EQ(r.status, -1) << c.what;
        EXPECT_EQ(r.message, c.message) << c.what;
        expectEmpty(r.image, c.what);
    }
}

TEST(ReadFitsImage, SystemErrorTexts)
{
    // A read on a directory fails at the first card.
    int directory = open("/tmp", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(directory, 0);
    FitsImage image;
    std::string message;
    EXPECT_EQ(readFitsImage(directory, &image, &message), -1);
    EXPECT_EQ(message, std::strerror(EISDIR));
    expectEmpty(image, "directory");
    close(directory);

    // A non-blocking pipe holding only the header fails in the data.
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC | O_NONBLOCK), 0);
    std::string bytes = header(imageCards(2, 2));
    ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(readFitsImage(ends[0], &image, &message), -1);
    EXPECT_EQ(message, std::strerror(EAGAIN));
    expectEmpty(image, "pipe");
    close(ends[0]);
    close(ends[1]);
}

TEST(ReadFitsImage, HeaderRecords)
{
    struct Case {
        const char* what;
        std::vector<std::string> cards;
        std::string end;   // the card that ends the header
        std::string after; // bytes between the END card and the end of its record, or "" for blanks
        int cardCount;
        off_t dataStart;
    };
    std::vector<std::string> forty = imageCards(1, 1);
    while (forty.size() < 40)
        forty.push_back(card("COMMENT filler " + std::to_string(forty.size())));
    std::vector<std::string> thirtyFive = imageCards(1, 1);
    while (thirtyFive.size() < 35)
        thirtyFive.push_back(card(""));
    std::vector<std::string> longest = imageCards(1, 1);
    longest.resize(10000 * 36 - 1, card(""));
    const Case cases[] = {
        {"forty cards span two records", forty, card("END"), "", 40, 5760},
        {"END as the 36th card", thirtyFive, card("END"), "", 35, 2880},
        {"END as the last card of record 10000", longest, card("END"), "", 10000 * 36 - 1,
         10000 * 2880},
        {"END followed by letters", imageCards(1, 1), card("ENDING  = 'still the end'"), "", 5,
         2880},
        {"cards after END ignored", imageCards(1, 1), card("END"),
         valueCard("NAXIS1", "99") + valueCard("BITPIX", "8") + card("END"), 5, 2880},
    };
    for (const Case& c : cases) {
        std::string bytes;
        for (const std::string& k : c.cards)
            bytes += k;
        bytes += c.end;
        size_t recordEnd = (bytes.size() + 2879) / 2880 * 2880;
        bytes += c.after;
        bytes.resize(recordEnd, ' ');
        bytes += pixelBytes({-32768});
        ReadResult r = readBytes(bytes);
        ASSERT_EQ(r.status, 0) << c.what << ": " << r.message;
        EXPECT_EQ(r.image.cardCount, c.cardCount) << c.what;
        EXPECT_EQ(r.image.width, 1) << c.what;
        EXPECT_EQ(r.image.pixels, std::vector<uint16_t>{0}) << c.what;
        EXPECT_EQ(r.position, c.dataStart + 2) << c.what;
        for (int i = 0; i < r.image.cardCount && i < static_cast<int>(c.cards.size()); ++i)
            EXPECT_EQ(std::string(r.image.cards.data() + 80 * i, 80), c.cards[i])
                << c.what << " card " << i;
    }
}

TEST(ReadFitsImage, AcceptedSizeHeaders)
{
    struct Case {
        const char* what;
        std::vector<std::string> cards;
        int width;
        int height;
    };
    std::vector<std::string> manyAxes = replaced(imageCards(2, 1), "NAXIS", "2147483647");
    for (int i = 3; i <= 999; ++i)
        manyAxes.push_back(valueCard(("NAXIS" + std::to_string(i)).c_str(), "1"));
    const Case cases[] = {
        {"lower-case t", replaced(imageCards(2, 1), "SIMPLE", "t"), 2, 1},
        {"NAXIS 3 with NAXIS3 = 1",
         withCards(replaced(imageCards(2, 1), "NAXIS", "3"), {valueCard("NAXIS3", "1")}), 2, 1},
        {"NAXIS 1", replaced(imageCards(2, 1), "NAXIS", "1"), 2, 1},
        {"NAXIS 0", replaced(imageCards(2, 1), "NAXIS", "0"), 2, 1},
        {"NAXIS1 = 0", imageCards(0, 5), 0, 5},
        {"NAXIS2 = 0", imageCards(5, 0), 5, 0},
        {"every axis keyword up to 999", manyAxes, 2, 1},
    };
    for (const Case& c : cases) {
        std::string bytes = header(c.cards);
        size_t headerSize = bytes.size();
        bytes += pixelBytes(std::vector<int16_t>(static_cast<size_t>(c.width * c.height), 0));
        bytes += "tail";
        ReadResult r = readBytes(bytes);
        ASSERT_EQ(r.status, 0) << c.what << ": " << r.message;
        EXPECT_EQ(r.image.width, c.width) << c.what;
        EXPECT_EQ(r.image.height, c.height) << c.what;
        EXPECT_EQ(r.image.pixels,
                  std::vector<uint16_t>(static_cast<size_t>(c.width * c.height), 32768))
            << c.what;
        EXPECT_EQ(r.position, static_cast<off_t>(headerSize) + 2 * c.width * c.height) << c.what;
    }
}

TEST(ReadFitsImage, LargeImageThroughAPipeInSmallWrites)
{
    // More pixels than one piece of the reader, arriving in odd-sized writes.
    const int width = 1021;
    const int height = 1031;
    std::vector<int16_t> values(static_cast<size_t>(width) * height);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<int16_t>(static_cast<uint16_t>(i * 40503u));
    std::string bytes = header(imageCards(width, height)) + pixelBytes(values);
    int ends[2];
    ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
    std::thread writer([&] {
        for (size_t at = 0; at < bytes.size();) {
            size_t n = std::min<size_t>(bytes.size() - at, 4093);
            ssize_t put = write(ends[1], bytes.data() + at, n);
            if (put <= 0)
                break;
            at += static_cast<size_t>(put);
        }
        close(ends[1]);
    });
    FitsImage image;
    std::string message;
    int status = readFitsImage(ends[0], &image, &message);
    writer.join();
    close(ends[0]);
    ASSERT_EQ(status, 0) << message;
    ASSERT_EQ(image.pixels.size(), values.size());
    for (size_t i = 0; i < values.size(); ++i)
        ASSERT_EQ(image.pixels[i], static_cast<uint16_t>(static_cast<uint16_t>(values[i]) + 32768u))
            << i;
}

// An image stored in the first extension behind an empty primary header is read, its
// header made a primary one; anything else behind an empty primary header is judged as
// the primary header alone, as before.
TEST(ReadFitsImage, ImageInTheFirstExtensionBehindAnEmptyPrimaryHeader)
{
    const std::string emptyPrimary =
        header({valueCard("SIMPLE", "T"), valueCard("BITPIX", "8"), valueCard("NAXIS", "0"),
                valueCard("EXTEND", "T"), valueCard("OBJECT", "'primary'")});
    const std::vector<std::string> imageExtension = {
        card("XTENSION= 'IMAGE   '"), valueCard("BITPIX", "16"), valueCard("NAXIS", "2"),
        valueCard("NAXIS1", "2"),     valueCard("NAXIS2", "1"),  valueCard("PCOUNT", "0"),
        valueCard("GCOUNT", "1"),     valueCard("EXPTIME", "3")};
    std::vector<std::string> tableExtension = imageExtension;
    tableExtension[0] = card("XTENSION= 'BINTABLE'");
    const std::string pixels = pixelBytes({-32768, 7}) + std::string(2876, '\0');
    struct Case {
        const char* what;
        std::string bytes;
        int status;
        const char* message;
    };
    const Case cases[] = {
        {"image extension", emptyPrimary + header(imageExtension) + pixels, 0, ""},
        {"table extension", emptyPrimary + header(tableExtension) + pixels, -1,
         "BITPIX must be 16."},
        {"nothing after the primary header", emptyPrimary, -1, "BITPIX must be 16."},
        {"extension header cut short", emptyPrimary + header(imageExtension).substr(0, 1000), -1,
         "FITS file is short"},
        {"primary image with NAXIS 2",
         header(imageCards(2, 1)) + pixels + header(imageExtension) + pixels, 0, ""},
    };
    for (const auto& c : cases) {
        ReadResult r = readBytes(c.bytes);
        EXPECT_EQ(r.status, c.status) << c.what << ": " << r.message;
        if (c.status != 0) {
            EXPECT_EQ(r.message, c.message) << c.what;
            expectEmpty(r.image, c.what);
            continue;
        }
        EXPECT_EQ(r.image.width, 2) << c.what;
        EXPECT_EQ(r.image.height, 1) << c.what;
        ASSERT_EQ(r.image.pixels.size(), 2u) << c.what;
        EXPECT_EQ(r.image.pixels[0], 0) << c.what;
        EXPECT_EQ(r.image.pixels[1], 32775) << c.what;
        std::string first(r.image.cards.data(), 80);
        EXPECT_EQ(first.substr(0, 30), valueCard("SIMPLE", "T").substr(0, 30)) << c.what;
        const FitsImage* image = &r.image;
        const char* found = nullptr;
        EXPECT_NE(findCard(image, "XTENSION", &found), 0) << c.what;
        EXPECT_NE(findCard(image, "PCOUNT", &found), 0) << c.what;
        freeFitsImage(&r.image);
    }
}
